// What the child starts with: what the parent was started with, and of the parent's handles
// exactly its standard ones.
#include <windows.h>

#include "launcher/launcher.h"

decltype(&CreateProcessW) process_creation = CreateProcessW;

// Under Wine a new process that dies while it is set up (now and then, more often under load)
// fails CreateProcessW with ERROR_INTERNAL_ERROR, and nothing of it is left. Windows reports a
// process that fails to initialise through its exit code instead, so on Windows this never
// applies; where it does, a start is tried twice more.
bool start_again_after(unsigned long error, int* lost_starts) {
  return error == ERROR_INTERNAL_ERROR && ++*lost_starts < 3;
}

namespace {

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
  STARTUPINFOW& info = startup->info.StartupInfo;
  const bool shell_data = pass_on_startup_state(&info);
  info.cb = sizeof startup->info;

  // The standard handles go to the child as inheritable duplicates, and nothing else does: any
  // other inheritable handle of the parent (a caller's pipe, say) would stay open for as long as
  // the application and whatever it starts live. Since Windows 8 a standard handle that the child
  // does not inherit is not valid there. Started with shell data, the parent has none to give.
  inherited_count = 0;
  const HANDLE self = GetCurrentProcess();
  if (!shell_data) {
    info.dwFlags |= STARTF_USESTDHANDLES;
    HANDLE* standard[] = {&info.hStdInput, &info.hStdOutput, &info.hStdError};
    const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
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
  // window for it. The child stays in the job that the parent runs in (a scheduled task's, a
  // remote session's, a CI agent's), whose end and limits are the caller's to apply to it; it
  // leaves that job only where it can't be put into the parent's own as well (start_child).
  DWORD priority = GetPriorityClass(self);
  if (priority == 0) priority = NORMAL_PRIORITY_CLASS;
  startup->creation_flags =
      priority | CREATE_SUSPENDED |
      (startup->info.lpAttributeList != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0) |
      (GetConsoleCP() == 0 ? DETACHED_PROCESS : 0);
}

bool drop_handle_list(child_startup* startup) {
  if ((startup->creation_flags & EXTENDED_STARTUPINFO_PRESENT) == 0) return false;
  // The list itself stays until release_child_startup deletes it.
  startup->creation_flags &= ~EXTENDED_STARTUPINFO_PRESENT;
  return true;
}

void release_child_startup(child_startup* startup) {
  if (startup->info.lpAttributeList != nullptr) {
    DeleteProcThreadAttributeList(startup->info.lpAttributeList);
    startup->info.lpAttributeList = nullptr;
  }
  for (DWORD i = 0; i < inherited_count; ++i) CloseHandle(inherited[i]);
  inherited_count = 0;
}
