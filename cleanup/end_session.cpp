// The end of an interactive session. Windows tells a graphical process, and a console process
// that has loaded user32 (the parent does, for this very window), that the session ends only
// through WM_QUERYENDSESSION and WM_ENDSESSION to its top-level windows, then ends it: without a
// window of its own the parent would leave the whole directory behind at every log-off with the
// application open.
#include <windows.h>

#include "cleanup/cleanup.h"

namespace {

// The thread's stack, reserved: the hurried cleanup runs on it inside the window procedure, below
// user32's callback frames, and takes the removal walk's state (some 58 KiB) and the shell's
// deletion request with it. The build checks the deepest path against it (tools/stack_check.py).
constexpr SIZE_T session_thread_stack = 1024 * 1024;

// Loading user32 and making the window take tens of milliseconds under Wine (a few on Windows)
// and hold the loader lock, which the process's exit and every thread's start and end wait for:
// the window is made once the launch has run this long, so that a short launch (a tool that a
// script runs a hundred times) never pays for it. A session that ends within this time finds no
// window, and the directory is left to a later launch's sweep, as a launch ended from outside
// leaves it.
constexpr DWORD window_delay_ms = 200;

// user32 is loaded on demand: the child, which runs from the same image, never needs it.
struct user32_functions {
  decltype(&RegisterClassExW) register_class;
  decltype(&CreateWindowExW) create_window;
  decltype(&GetMessageW) get_message;
  decltype(&DispatchMessageW) dispatch_message;
  decltype(&DefWindowProcW) default_procedure;
  decltype(&GetSystemMetrics) system_metrics;
} user32;

template <typename Function>
bool find(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *function != nullptr;
}

bool system_session_ending() {
  return user32.system_metrics(SM_SHUTTINGDOWN) != 0;
}

LRESULT CALLBACK session_window_procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_QUERYENDSESSION:
      return TRUE;  // the launch never holds the session up
    case WM_ENDSESSION:
      // Any process on the desktop can send this message, so it is obeyed only while the system
      // itself says that the session is shutting down (log-off, shut-down, restart). The process
      // may be ended as soon as this returns, so the cleanup is done before.
      //
      // The Restart Manager's request (ENDSESSION_CLOSEAPP in lParam, the session going on) is
      // not obeyed: that bit is as easy to forge as the message, and the application is asked
      // to close by the same request, for itself, and given the time to save its work; stopping
      // it after the hurried cleanup's 1.5 s would cut that short. When it has closed, this
      // launch ends as always, and removes the directory.
      if (w && session_ending()) cleanup_before_process_end();
      return 0;
    default:
      return user32.default_procedure(window, message, w, l);
  }
}

DWORD WINAPI session_window_thread(void*) {
  Sleep(window_delay_ms);
  HMODULE module = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr || !find(module, "RegisterClassExW", &user32.register_class) ||
      !find(module, "CreateWindowExW", &user32.create_window) ||
      !find(module, "GetMessageW", &user32.get_message) ||
      !find(module, "DispatchMessageW", &user32.dispatch_message) ||
      !find(module, "DefWindowProcW", &user32.default_procedure) ||
      !find(module, "GetSystemMetrics", &user32.system_metrics)) {
    return 0;
  }
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = session_window_procedure;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"onefile_session_watch";
  if (user32.register_class(&window_class) == 0) return 0;
  // A top-level window, never shown: message-only windows get no end-session messages. A popup
  // without WS_EX_APPWINDOW: the hotkey of a shortcut (STARTF_USEHOTKEY) goes to the first
  // top-level window that the process makes, unless it is such a popup ("STARTUPINFO",
  // hStdInput), and the launcher passes it on to the application, whose window it belongs to.
  HWND window = user32.create_window(0, window_class.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0,
                                     nullptr, nullptr, window_class.hInstance, nullptr);
  if (window == nullptr) return 0;
  MSG message;
  while (user32.get_message(&message, nullptr, 0, 0) > 0) user32.dispatch_message(&message);
  return 0;
}

}  // namespace

bool (*session_ending)() = system_session_ending;

void watch_end_of_session() {
  // Below the default level (0x280): the application, which runs in the child, is asked to end
  // before the parent that removes its files.
  SetProcessShutdownParameters(0x27F, 0);
  if (HANDLE thread = CreateThread(nullptr, session_thread_stack, session_window_thread, nullptr,
                                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)) {
    CloseHandle(thread);
  }
}
