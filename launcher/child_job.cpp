// The child ends with its parent, however the parent ends (Task Manager, TerminateProcess, a
// killed Wine process): the parent puts it into a job that kills it when the job's last handle,
// the parent's, closes. Where that can't be had (a job of someone else's on Windows 7, or one
// that forbids nesting), the child watches its parent itself.
#include <cwchar>

#include <windows.h>

#include "launcher/launcher.h"
#include "launcher/state.h"
#include "paths/paths.h"

BOOL(WINAPI* job_assignment)(HANDLE job, HANDLE process) = AssignProcessToJobObject;
decltype(&QueryInformationJobObject) job_information_query = QueryInformationJobObject;

namespace {

constexpr UINT orphaned_child_exit_code = 1;
VOID CALLBACK end_with_parent(void*, BOOLEAN) {
  // A stock runner's program that no job of the runner's holds ends first (see
  // watched_program_variable).
  wchar_t value[32];
  const DWORD length = GetEnvironmentVariableW(watched_program_variable, value, 32);
  wchar_t* end = nullptr;
  const unsigned long long program = std::wcstoull(value, &end, 10);
  if (length > 0 && length < 32 && *end == L'\0' && program != 0) {
    TerminateProcess(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(program)),
                     orphaned_child_exit_code);
  }
  TerminateProcess(GetCurrentProcess(), orphaned_child_exit_code);
}

}  // namespace

void* make_child_job() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);  // not inherited: the child must not hold it
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  // Processes that the application starts stay out of the job, as they would without the
  // launcher.
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

bool own_job_allows_breakaway() {
  BOOL in_job = FALSE;
  if (!IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) || !in_job) return false;
  // No handle: the job that this process is in directly (the innermost of nested ones), which is
  // the one that decides about breakaway.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  return job_information_query(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits,
                               nullptr) &&
         (limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK);
}

void watch_parent_unless_in_job() {
  // Whether the parent put this process into its job only the parent knows: the limits of the
  // job this process is in can't tell, since a build tool's or CI agent's job may kill on close
  // as well.
  const wchar_t* in_parent_job = get_env_var(in_parent_job_variable);
  unset_env_var(in_parent_job_variable);
  if (in_parent_job != nullptr && std::wcscmp(in_parent_job, L"1") == 0) return;
  // Only the parent's own child: a process of this executable that the application starts takes
  // the child role too, and keeps living as it would without the launcher.
  DWORD parent_id = 0;
  if (!is_named_parents_own_child(&parent_id, false)) return;
  HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, parent_id);
  if (parent == nullptr) return;
  HANDLE wait = nullptr;  // kept for the process's life, like the parent's handle
  RegisterWaitForSingleObject(&wait, parent, end_with_parent, nullptr, INFINITE,
                              WT_EXECUTEONLYONCE);
}
