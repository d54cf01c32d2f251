// Sends WM_ENDSESSION, as any process on the desktop can, to every launcher's end-of-session
// window: session_message.exe LPARAM (hexadecimal; 1 is ENDSESSION_CLOSEAPP). The message is
// sent, so the call returns once the window procedure has. Exit code 0 when it reached a window
// (waiting up to 10 s for one to be there), 1 when none, or one that is not a plain popup.
#include <cstdio>
#include <cwchar>

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  const LPARAM end_flags = argc > 1 ? static_cast<LPARAM>(std::wcstoull(argv[1], nullptr, 16)) : 0;
  // The launcher makes its window on a thread of its own, which may come after the application
  // has started.
  for (int waited = 0; waited < 10000 && !FindWindowW(L"onefile_session_watch", nullptr);
       waited += 20) {
    Sleep(20);
  }
  int reached = 0;
  for (HWND window = nullptr;
       (window = FindWindowExW(nullptr, window, L"onefile_session_watch", nullptr)) != nullptr;) {
    // Never a window that a shortcut's hotkey could land on: a popup without WS_EX_APPWINDOW.
    if ((GetWindowLongW(window, GWL_STYLE) & WS_POPUP) == 0 ||
        (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0) {
      std::printf("a window that a hotkey may go to\n");
      return 1;
    }
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, end_flags, SMTO_NORMAL, 10000,
                            &answer) &&
        SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, end_flags, SMTO_NORMAL, 10000, &answer)) {
      ++reached;
    }
  }
  std::printf("reached %d\n", reached);
  return reached > 0 ? 0 : 1;
}
