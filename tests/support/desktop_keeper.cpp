// Keeps a Wine prefix's desktop up for a test run. Wine starts its desktop process for the first
// process that uses the desktop and hands it that process's Linux standard handles; it then lives
// while any process of the desktop does. Started first, detached, the keeper makes the desktop
// process hold nothing of a test's: otherwise a launcher's hidden window would start it with the
// pipes that the test reads to their end, and the test would wait for good.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  GetDesktopWindow();
  Sleep(INFINITE);
  return 0;
}
