// The start-up state that the launcher's processes pass on: the child gets what the parent was
// started with, and a stock runner's program what the child was started with.
#include <windows.h>

#include "launcher/launcher.h"

namespace {

// What a shortcut, a scheduled task or a parent program chose for the window and the console:
// the show state ("Run: Minimised"), position, size, console buffer and colours, and the title,
// which for a shortcut names the link (or, with STARTF_TITLEISAPPID, the application id that the
// taskbar groups by).
constexpr DWORD passed_on_flags =
    STARTF_USESHOWWINDOW | STARTF_USESIZE | STARTF_USEPOSITION | STARTF_USECOUNTCHARS |
    STARTF_USEFILLATTRIBUTE | STARTF_FORCEONFEEDBACK | STARTF_FORCEOFFFEEDBACK |
    STARTF_TITLEISLINKNAME | STARTF_TITLEISAPPID | STARTF_PREVENTPINNING | STARTF_UNTRUSTEDSOURCE;
// Shell data in the place of standard handles (STARTUPINFO's documentation): with
// STARTF_USEHOTKEY, hStdInput holds a shortcut's hotkey; with STARTF_HASSHELLDATA, hStdOutput
// holds the monitor that the user started the program from. Neither goes with
// STARTF_USESTDHANDLES. (STARTF_HASSHELLDATA is missing from some SDKs' headers.)
constexpr DWORD startf_hasshelldata = 0x400;
constexpr DWORD shell_data_flags = STARTF_USEHOTKEY | startf_hasshelldata;

STARTUPINFOW own_startup;

}  // namespace

bool pass_on_startup_state(STARTUPINFOW* info) {
  own_startup.cb = sizeof own_startup;
  GetStartupInfoW(&own_startup);
  *info = STARTUPINFOW{};
  info->cb = sizeof *info;
  info->dwFlags = own_startup.dwFlags & passed_on_flags;
  info->lpTitle = own_startup.lpTitle;
  info->dwX = own_startup.dwX;
  info->dwY = own_startup.dwY;
  info->dwXSize = own_startup.dwXSize;
  info->dwYSize = own_startup.dwYSize;
  info->dwXCountChars = own_startup.dwXCountChars;
  info->dwYCountChars = own_startup.dwYCountChars;
  info->dwFillAttribute = own_startup.dwFillAttribute;
  info->wShowWindow = own_startup.wShowWindow;
  if ((own_startup.dwFlags & shell_data_flags) == 0 ||
      (own_startup.dwFlags & STARTF_USESTDHANDLES) != 0) {
    return false;
  }
  // The raw values, unchanged: they are no handles of this process. A console process started so
  // has the default standard handles ("STARTUPINFO": the keyboard buffer and the console window's
  // buffer), those of the console it shares with this process: for a console launcher started
  // from the taskbar, the console that the system made for it.
  info->dwFlags |= own_startup.dwFlags & shell_data_flags;
  info->hStdInput = own_startup.hStdInput;
  info->hStdOutput = own_startup.hStdOutput;
  return true;
}
