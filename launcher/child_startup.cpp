// What the child starts with: what the parent was started with, and of the parent's handles
// exactly its standard ones.
#include <windows.h>

#include "launcher/launcher.h"

namespace {

// What a shortcut, a scheduled task or a parent program chose for the window and the console:
// the show state ("Run: Minimised"), position, size, console buffer and colours, and the title,
// which for a shortcut names the link.
constexpr DWORD passed_on_flags =
    STARTF_USESHOWWINDOW | STARTF_USESIZE | STARTF_USEPOSITION | STARTF_USECOUNTCHARS |
    STARTF_USEFILLATTRIBUTE | STARTF_FORCEONFEEDBACK | STARTF_FORCEOFFFEEDBACK |
    STARTF_TITLEISLINKNAME | STARTF_TITLEISAPPID | STARTF_PREVENTPINNING | STARTF_UNTRUSTEDSOURCE;

STARTUPINFOW parent_startup;
alignas(8) unsigned char attribute_list_space[256];
HANDLE inherited[3];
DWORD inherited_count;

// Windows 7 gives console handles as pseudo-handles (low bits 11), which are not kernel objects:
// they reach the child through its console, not through inheritance.
bool is_kernel_handle(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         (reinterpret_cast<ULONG_PTR>(handle) & 3) != 3;
}

}  // namespace

void prepare_child_startup(child_startup* startup) {
  parent_startup.cb = sizeof parent_startup;
  GetStartupInfoW(&parent_startup);
  STARTUPINFOW& info = startup->info.StartupInfo;
  info = STARTUPINFOW{};
  info.cb = sizeof startup->info;
  info.dwFlags = (parent_startup.dwFlags & passed_on_flags) | STARTF_USESTDHANDLES;
  info.lpTitle = parent_startup.lpTitle;
  info.dwX = parent_startup.dwX;
  info.dwY = parent_startup.dwY;
  info.dwXSize = parent_startup.dwXSize;
  info.dwYSize = parent_startup.dwYSize;
  info.dwXCountChars = parent_startup.dwXCountChars;
  info.dwYCountChars = parent_startup.dwYCountChars;
  info.dwFillAttribute = parent_startup.dwFillAttribute;
  info.wShowWindow = parent_startup.wShowWindow;

  // The standard handles go to the child as inheritable duplicates, and nothing else does: any
  // other inheritable handle of the parent (a caller's pipe, say) would stay open for as long as
  // the application and whatever it starts live. Since Windows 8 a standard handle that the child
  // does not inherit is not valid there.
  HANDLE* standard[] = {&info.hStdInput, &info.hStdOutput, &info.hStdError};
  const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  inherited_count = 0;
  const HANDLE self = GetCurrentProcess();
  for (int i = 0; i < 3; ++i) {
    HANDLE handle = GetStdHandle(which[i]);
    HANDLE duplicate = nullptr;
    if (is_kernel_handle(handle) &&
        DuplicateHandle(self, handle, self, &duplicate, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
      inherited[inherited_count++] = duplicate;
      handle = duplicate;
    }
    *standard[i] = handle;
  }
  // Without a handle list (the system refuses it) every inheritable handle goes, as before.
  startup->inherit_handles = inherited_count > 0;
  startup->info.lpAttributeList = nullptr;
  SIZE_T size = sizeof attribute_list_space;
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attribute_list_space);
  if (inherited_count > 0 && InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                  inherited_count * sizeof(HANDLE), nullptr, nullptr)) {
      startup->info.lpAttributeList = list;
    } else {
      DeleteProcThreadAttributeList(list);
    }
  }

  // The parent's priority class (a task set to below normal), and no console of the child's own
  // when the parent has none (started detached): a console launcher would otherwise open a new
  // window for it.
  DWORD priority = GetPriorityClass(self);
  if (priority == 0) priority = NORMAL_PRIORITY_CLASS;
  startup->creation_flags =
      priority | CREATE_SUSPENDED |
      (startup->info.lpAttributeList != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0) |
      (GetConsoleCP() == 0 ? DETACHED_PROCESS : 0);
}

void release_child_startup(child_startup* startup) {
  if (startup->info.lpAttributeList != nullptr) {
    DeleteProcThreadAttributeList(startup->info.lpAttributeList);
    startup->info.lpAttributeList = nullptr;
  }
  for (DWORD i = 0; i < inherited_count; ++i) CloseHandle(inherited[i]);
  inherited_count = 0;
}
