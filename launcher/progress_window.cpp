// The progress window of a long unpacking. A first launch of a large application unpacks for
// seconds with nothing on screen, and a user who sees nothing starts it again. A graphical launch
// that is still unpacking a second after it began therefore shows a small window: the product's
// name, a progress bar (the bytes of the files read from the payload, out of the listing's total)
// and the file count, with a Cancel button. A console launch shows nothing: its console is the
// application's.
//
// Nothing of it costs a short launch anything but a clock reading per entry and per 32 KiB chunk:
// the main thread makes the window's thread only once the window is due, and that thread loads
// the windowing libraries (user32, comctl32 for the bar, gdi32 for the font) by name; the image
// imports none of them.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include "cleanup/cleanup.h"
#include "diagnostics/diagnostics.h"
#include "launcher/launcher.h"
#include "launcher/state.h"

namespace {

// A launch that unpacks for less shows nothing and loads no windowing library for it.
constexpr ULONGLONG window_delay_ms = 1000;
// How often the window shows the counts anew.
constexpr DWORD refresh_ms = 100;
// How long the main thread waits for the window to close before it goes on: the window's thread
// only leaves its message loop, which takes milliseconds, unless a Cancel is under way (whose
// cleanup stops the main thread's next step anyway).
constexpr DWORD close_wait_ms = 5000;
// The thread's stack, reserved: a Cancel runs the cleanup on it (the removal walk's state, some
// 58 KiB, and the shell's deletion request), and a fault in reading the listing is reported on it
// (with a message box). The build checks the deepest path against it (tools/stack_check.py).
constexpr SIZE_T progress_thread_stack = 1024 * 1024;
constexpr wchar_t progress_class_name[] = L"onefile_progress";
// The bar's range: finer than any window is wide.
constexpr int bar_range = 1000;

// Sizes at 96 dots per inch, scaled to the system's.
constexpr int client_width = 360;
constexpr int client_height = 124;
constexpr int margin = 16;
constexpr int text_height = 20;
constexpr int bar_top = 40;
constexpr int bar_height = 18;
constexpr int count_top = 66;
constexpr int button_width = 88;
constexpr int button_height = 26;

// Loaded on demand: the child, which runs from the same image, and every short launch never
// need them.
struct windowing_functions {
  decltype(&RegisterClassExW) register_class;
  decltype(&CreateWindowExW) create_window;
  decltype(&DestroyWindow) destroy_window;
  decltype(&ShowWindow) show_window;
  decltype(&DefWindowProcW) default_procedure;
  decltype(&PeekMessageW) peek_message;
  decltype(&IsDialogMessageW) is_dialog_message;
  decltype(&TranslateMessage) translate_message;
  decltype(&DispatchMessageW) dispatch_message;
  decltype(&MsgWaitForMultipleObjects) wait_for_messages;
  decltype(&SendMessageW) send_message;
  decltype(&SetWindowTextW) set_window_text;
  decltype(&SystemParametersInfoW) system_parameters;
  decltype(&AdjustWindowRectEx) adjust_window_rect;
  decltype(&LoadCursorW) load_cursor;
  decltype(&GetForegroundWindow) foreground_window;
  decltype(&AllowSetForegroundWindow) allow_foreground;
  decltype(&InitCommonControlsEx) init_common_controls;
  decltype(&CreateFontIndirectW) create_font;
  decltype(&DeleteObject) delete_object;
  UINT(WINAPI* system_dpi)();  // GetDpiForSystem: Windows 10 1607 and later; 96 without it
} windowing;

// The totals from the listing beside the payload, and what the window shows now.
std::uint64_t total_entries;
std::uint64_t total_bytes;
HWND progress_bar;
HWND count_label;
HFONT message_font;
int shown_position = -1;
std::uint64_t shown_entries = UINT64_MAX;
// Set by the window procedure, acted on by the message loop, outside the procedure.
bool cancel_requested;

template <typename Function>
bool find(HMODULE module, const char* name, Function* function) {
  *function =
      module == nullptr
          ? nullptr
          : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *function != nullptr;
}

HMODULE system_library(const wchar_t* name) {
  // comctl32 of the manifest's version 6 comes from the side-by-side store: the activation
  // context's redirection comes before the directory search that the flag chooses.
  return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool load_windowing() {
  const HMODULE user32 = system_library(L"user32.dll");
  const HMODULE comctl32 = system_library(L"comctl32.dll");
  const HMODULE gdi32 = system_library(L"gdi32.dll");
  find(user32, "GetDpiForSystem", &windowing.system_dpi);
  return find(user32, "RegisterClassExW", &windowing.register_class) &&
         find(user32, "CreateWindowExW", &windowing.create_window) &&
         find(user32, "DestroyWindow", &windowing.destroy_window) &&
         find(user32, "ShowWindow", &windowing.show_window) &&
         find(user32, "DefWindowProcW", &windowing.default_procedure) &&
         find(user32, "PeekMessageW", &windowing.peek_message) &&
         find(user32, "IsDialogMessageW", &windowing.is_dialog_message) &&
         find(user32, "TranslateMessage", &windowing.translate_message) &&
         find(user32, "DispatchMessageW", &windowing.dispatch_message) &&
         find(user32, "MsgWaitForMultipleObjects", &windowing.wait_for_messages) &&
         find(user32, "SendMessageW", &windowing.send_message) &&
         find(user32, "SetWindowTextW", &windowing.set_window_text) &&
         find(user32, "SystemParametersInfoW", &windowing.system_parameters) &&
         find(user32, "AdjustWindowRectEx", &windowing.adjust_window_rect) &&
         find(user32, "LoadCursorW", &windowing.load_cursor) &&
         find(user32, "GetForegroundWindow", &windowing.foreground_window) &&
         find(user32, "AllowSetForegroundWindow", &windowing.allow_foreground) &&
         find(comctl32, "InitCommonControlsEx", &windowing.init_common_controls) &&
         find(gdi32, "CreateFontIndirectW", &windowing.create_font) &&
         find(gdi32, "DeleteObject", &windowing.delete_object);
}

// The listing (payload/attached_section.h): per entry its name's UTF-16 units, a 0 unit and the
// 8-byte size; a lone 0 unit ends it. Unaligned, so read by copying.
void count_listing() {
  const unsigned char* at = payload_listing;
  std::size_t left = payload_listing_size;
  const auto unit_at = [&at] {
    std::uint16_t unit;
    std::memcpy(&unit, at, sizeof unit);
    return unit;
  };
  while (left >= 2 && unit_at() != 0) {
    while (left >= 2 && unit_at() != 0) {
      at += 2;
      left -= 2;
    }
    if (left < 2 + sizeof(std::uint64_t)) return;
    std::uint64_t size;
    std::memcpy(&size, at + 2, sizeof size);
    at += 2 + sizeof size;
    left -= 2 + sizeof size;
    ++total_entries;
    total_bytes += size;
  }
}

void show_counts() {
  const std::uint64_t entries = unpacked_entries.load(std::memory_order_relaxed);
  const std::uint64_t bytes = unpacked_bytes.load(std::memory_order_relaxed);
  // Bytes where the files have any, else entries; never beyond the end.
  std::uint64_t position = 0;
  if (total_bytes > 0) {
    position = bytes >= total_bytes ? bar_range : bytes * bar_range / total_bytes;
  } else if (total_entries > 0) {
    position = entries >= total_entries ? bar_range : entries * bar_range / total_entries;
  }
  if (static_cast<int>(position) != shown_position) {
    shown_position = static_cast<int>(position);
    windowing.send_message(progress_bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  }
  if (entries != shown_entries) {
    shown_entries = entries;
    // "N of M files", without the printf family (see format_decimal).
    wchar_t text[96];
    std::size_t length = format_decimal(text, 32, entries);
    std::wmemcpy(text + length, L" of ", 4);
    length += 4;
    length += format_decimal(text + length, 32, total_entries);
    std::wmemcpy(text + length, L" files", 7);
    windowing.set_window_text(count_label, text);
  }
}

LRESULT CALLBACK progress_window_procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  // The Cancel button (and Esc, through the dialog keys) sends IDCANCEL; the close box, Alt+F4
  // and the taskbar's Close send WM_CLOSE. Either cancels.
  if ((message == WM_COMMAND && LOWORD(w) == IDCANCEL) || message == WM_CLOSE) {
    cancel_requested = true;
    return 0;
  }
  return windowing.default_procedure(window, message, w, l);
}

HWND make_child(HWND parent, const wchar_t* class_name, const wchar_t* text, DWORD style, int x,
                int y, int width, int height, UINT dpi, int id) {
  HWND child = windowing.create_window(
      0, class_name, text, WS_CHILD | WS_VISIBLE | style, MulDiv(x, dpi, 96), MulDiv(y, dpi, 96),
      MulDiv(width, dpi, 96), MulDiv(height, dpi, 96), parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  if (child != nullptr && message_font != nullptr) {
    windowing.send_message(child, WM_SETFONT, reinterpret_cast<WPARAM>(message_font), FALSE);
  }
  return child;
}

HWND make_progress_window() {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  if (!windowing.init_common_controls(&controls)) return nullptr;
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = progress_window_procedure;
  window_class.hInstance = GetModuleHandleW(nullptr);
  // IDC_ARROW, as a wide resource name.
  window_class.hCursor = windowing.load_cursor(nullptr, MAKEINTRESOURCEW(32512));
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  window_class.lpszClassName = progress_class_name;
  if (windowing.register_class(&window_class) == 0) return nullptr;

  // Sized for the system's DPI, which is the one the system scales an unaware process's window
  // from, and the one a DPI-aware manifest makes the process's own.
  const UINT dpi = windowing.system_dpi != nullptr ? windowing.system_dpi() : 96;
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (windowing.system_parameters(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    message_font = windowing.create_font(&metrics.lfMessageFont);
  }
  // A popup with a caption, without WS_EX_APPWINDOW: the hotkey of a shortcut (STARTF_USEHOTKEY)
  // goes to the first top-level window that the process makes, unless it is such a popup
  // ("STARTUPINFO", hStdInput); the launcher passes it on to the application. Unowned, it still
  // has its taskbar button.
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  RECT frame{0, 0, MulDiv(client_width, dpi, 96), MulDiv(client_height, dpi, 96)};
  windowing.adjust_window_rect(&frame, style, FALSE, 0);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  RECT work{0, 0, width, height};
  windowing.system_parameters(SPI_GETWORKAREA, 0, &work, 0);
  HWND window = windowing.create_window(0, progress_class_name, onefile_product, style,
                                        work.left + (work.right - work.left - width) / 2,
                                        work.top + (work.bottom - work.top - height) / 2, width,
                                        height, nullptr, nullptr, window_class.hInstance, nullptr);
  if (window == nullptr) return nullptr;

  wchar_t heading[320] = L"Unpacking ";
  std::wcsncat(heading, onefile_product, 300);
  const int inner_width = client_width - 2 * margin;
  make_child(window, L"STATIC", heading, SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, margin, 14,
             inner_width, text_height, dpi, -1);
  progress_bar = make_child(window, PROGRESS_CLASSW, L"", 0, margin, bar_top, inner_width,
                            bar_height, dpi, -1);
  count_label = make_child(window, L"STATIC", L"", SS_LEFT | SS_NOPREFIX, margin, count_top,
                           inner_width - button_width - margin, text_height, dpi, -1);
  HWND button = make_child(window, L"BUTTON", L"Cancel", WS_TABSTOP | BS_DEFPUSHBUTTON,
                           client_width - margin - button_width, client_height - 12 - button_height,
                           button_width, button_height, dpi, IDCANCEL);
  if (progress_bar == nullptr || count_label == nullptr || button == nullptr) {
    windowing.destroy_window(window);
    return nullptr;
  }
  windowing.send_message(progress_bar, PBM_SETRANGE32, 0, bar_range);
  return window;
}

// As Ctrl+C during unpacking: every writer stops after its chunk under way, the directory goes,
// and the process ends with the code of the console's default handling of Ctrl+C.
[[noreturn]] void cancel_launch(HWND window) {
  windowing.show_window(window, SW_HIDE);
  cleanup_child_and_directory();
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

DWORD WINAPI show_progress(void*) {
  count_listing();
  if (!load_windowing()) return 0;
  HWND window = make_progress_window();
  if (window == nullptr) return 0;
  show_counts();
  // As the process was started: hidden, minimised or normal, from its start-up record.
  windowing.show_window(window, SW_SHOWDEFAULT);
  for (;;) {
    MSG message;
    while (windowing.peek_message(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (windowing.is_dialog_message(window, &message)) continue;
      windowing.translate_message(&message);
      windowing.dispatch_message(&message);
    }
    if (cancel_requested) cancel_launch(window);
    show_counts();
    const DWORD woken =
        windowing.wait_for_messages(1, &progress_close_event, FALSE, refresh_ms, QS_ALLINPUT);
    if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) break;
  }
  // The application's window is to come to the front once this one is gone: the foreground then
  // passes to some other window, and the process that started the application would no longer
  // be the foreground process, which alone may give it the foreground ("SetForegroundWindow").
  if (windowing.foreground_window() == window) windowing.allow_foreground(ASFW_ANY);
  windowing.destroy_window(window);
  if (message_font != nullptr) windowing.delete_object(message_font);
  return 0;
}

void start_progress_window() {
  progress_close_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (progress_close_event == nullptr) return;
  progress_thread = CreateThread(nullptr, progress_thread_stack, show_progress, nullptr,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (progress_thread == nullptr) {
    CloseHandle(progress_close_event);
    progress_close_event = nullptr;
  }
}

// The subsystem that the tool gave the image: console launches show nothing.
bool is_graphical_image() {
  const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

}  // namespace

void begin_unpack_progress() {
  unpacked_entries.store(0, std::memory_order_relaxed);
  unpacked_bytes.store(0, std::memory_order_relaxed);
  if (onefile_progress_window && is_graphical_image()) {
    progress_window_maker = start_progress_window;
    progress_window_due = GetTickCount64() + window_delay_ms;
  }
}

void end_unpack_progress() {
  progress_window_due = UINT64_MAX;
  if (progress_thread == nullptr) return;
  SetEvent(progress_close_event);
  // A thread that does not end in time is left its handles.
  if (WaitForSingleObject(progress_thread, close_wait_ms) == WAIT_OBJECT_0) {
    CloseHandle(progress_thread);
    CloseHandle(progress_close_event);
  }
  progress_thread = nullptr;
  progress_close_event = nullptr;
}
