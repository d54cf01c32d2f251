// The stock runner's job. The program and everything it starts run in a job that ends them when
// this process ends in any way (the launch's cleanup, Task Manager, a killed launch), so that the
// cleanup can remove the directory they run from; a process that asks to leave it
// (CREATE_BREAKAWAY_FROM_JOB) may. When the program ends by itself, only the job's processes whose
// image lies below the unpack directory are ended: the others (a browser opened on a help page,
// an editor, a server it started) go on, as they would without the launcher.
#include <cwchar>

#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/launcher.h"

BOOL(WINAPI* program_job_assignment)(HANDLE job, HANDLE process) = AssignProcessToJobObject;

namespace {

constexpr DWORD listed_process_capacity = 1024;
// Each pass ends what runs from the directory; the next one finds what those started meanwhile.
constexpr int end_passes = 8;
// For all the processes ended to be gone: a stopped process lets go of its files only then.
constexpr DWORD end_wait_ms = 5000;
constexpr DWORD ending_process_wait_ms = 100;
constexpr UINT ended_exit_code = 1;
constexpr std::size_t path_capacity = 32768;

union {
  JOBOBJECT_BASIC_PROCESS_ID_LIST list;
  unsigned char space[sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) +
                      (listed_process_capacity - 1) * sizeof(ULONG_PTR)];
} job_processes;
HANDLE ended[listed_process_capacity];

// The unpack directory as the runner was given it, and as the system names it (links and short
// names resolved); the same for each process's image.
wchar_t directory[path_capacity];
wchar_t final_directory[path_capacity];
wchar_t image[path_capacity];
wchar_t final_image[path_capacity];
wchar_t long_form[path_capacity];

// The final path of a file or directory, or an empty text when it can't be opened.
void find_final_path(const wchar_t* path, wchar_t* final_path) {
  final_path[0] = L'\0';
  const wchar_t* opened = path;
  const std::size_t length = std::wcslen(path);
  // A drive path opens in the "\\?\" form, which has no MAX_PATH limit.
  if (length > 2 && path[1] == L':' && path[2] == L'\\' && length + 4 < path_capacity) {
    std::wmemcpy(long_form, L"\\\\?\\", 4);
    std::wmemcpy(long_form + 4, path, length + 1);
    opened = long_form;
  }
  HANDLE file = CreateFileW(opened, FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const DWORD final_length = GetFinalPathNameByHandleW(file, final_path, path_capacity, 0);
  CloseHandle(file);
  if (final_length == 0 || final_length >= path_capacity) final_path[0] = L'\0';
}

// True when path names something below parent; letter case aside, as the file system compares.
bool lies_below(const wchar_t* path, const wchar_t* parent) {
  const std::size_t length = std::wcslen(parent);
  return length > 0 && std::wcslen(path) > length + 1 && path[length] == L'\\' &&
         CompareStringOrdinal(path, static_cast<int>(length), parent, static_cast<int>(length),
                              TRUE) == CSTR_EQUAL;
}

// True when the process may run from the directory: its image lies below it in either form, or
// can't be told (which the removal of the directory must not trust).
bool may_run_from_directory(HANDLE process) {
  DWORD length = path_capacity;
  if (!QueryFullProcessImageNameW(process, 0, image, &length)) return true;
  if (lies_below(image, directory)) return true;
  find_final_path(image, final_image);
  return final_image[0] != L'\0' && lies_below(final_image, final_directory);
}

struct pass_result {
  int ended;
  bool whole;       // the list held every process of the job
  bool unresolved;  // a process that may run from the directory could not be ended
};

pass_result end_processes_below_directory(HANDLE job, ULONGLONG deadline) {
  pass_result result{0, true, false};
  job_processes.list = {};
  if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &job_processes,
                                 sizeof job_processes, nullptr) &&
      GetLastError() != ERROR_MORE_DATA) {
    return {0, false, true};
  }
  const JOBOBJECT_BASIC_PROCESS_ID_LIST& list = job_processes.list;
  result.whole = list.NumberOfProcessIdsInList >= list.NumberOfAssignedProcesses;
  for (DWORD i = 0; i < list.NumberOfProcessIdsInList; ++i) {
    const DWORD id = static_cast<DWORD>(list.ProcessIdList[i]);
    // The full query right, which Wine's IsProcessInJob needs (Windows' takes the limited one).
    HANDLE process =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (process == nullptr) {
      if (GetLastError() == ERROR_INVALID_PARAMETER) continue;  // it has ended since
      // Not ours to end: only its name can be judged.
      HANDLE judged = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
      if (judged == nullptr || may_run_from_directory(judged)) result.unresolved = true;
      if (judged != nullptr) CloseHandle(judged);
      continue;
    }
    // The id may name another process by now.
    BOOL in_job = FALSE;
    if (!IsProcessInJob(process, job, &in_job) || !in_job || !may_run_from_directory(process)) {
      CloseHandle(process);
      continue;
    }
    if (TerminateProcess(process, ended_exit_code) ||
        WaitForSingleObject(process, ending_process_wait_ms) == WAIT_OBJECT_0) {
      ended[result.ended++] = process;
    } else {
      result.unresolved = true;
      CloseHandle(process);
    }
  }
  for (int i = 0; i < result.ended; ++i) {
    const ULONGLONG now = GetTickCount64();
    if (WaitForSingleObject(ended[i], now < deadline ? static_cast<DWORD>(deadline - now) : 0) !=
        WAIT_OBJECT_0) {
      result.unresolved = true;
    }
    CloseHandle(ended[i]);
  }
  return result;
}

bool set_job_limits(HANDLE job, bool kill_on_close) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_BREAKAWAY_OK | (kill_on_close ? JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE : 0);
  return SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

}  // namespace

void* make_program_job() {
  // Never closed: the system closes it when this process ends, for whatever reason.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr && !set_job_limits(job, true)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

void end_program_job(void* job, const wchar_t* main_module_path) {
  const wchar_t* last_backslash = std::wcsrchr(main_module_path, L'\\');
  const std::size_t length =
      last_backslash != nullptr ? static_cast<std::size_t>(last_backslash - main_module_path) : 0;
  if (length == 0 || length >= path_capacity) return;
  std::wmemcpy(directory, main_module_path, length);
  directory[length] = L'\0';
  find_final_path(directory, final_directory);

  const ULONGLONG deadline = GetTickCount64() + end_wait_ms;
  bool released = false;
  for (int pass = 0; pass < end_passes; ++pass) {
    const pass_result result = end_processes_below_directory(job, deadline);
    if (result.unresolved) break;
    if (result.ended > 0 || !result.whole) continue;
    if (released) return;
    // Nothing runs from the directory any more: from now on the job ends nothing when this
    // process ends. One more pass finds what was started from it meanwhile.
    if (!set_job_limits(job, false)) return;
    released = true;
  }
  // Something that may run from the directory is still there: everything ends with this process,
  // as after a hard kill.
  if (released) set_job_limits(job, true);
}

void end_with_parent_watch(void* process) {
  wchar_t value[32];
  format_decimal(value, 32, static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(process)));
  SetEnvironmentVariableW(watched_program_variable, value);
}
