// Entry point of the test launchers: the launcher's own, plus a thread that raises a console
// control event inside the process on request, the way the system delivers one: it calls the
// registered handler on a thread of its own and, when the handler returns FALSE, ends the process
// as the system's default handling does. This reaches launchers that have no console (the
// graphical ones) and events that Wine does not deliver.
//
// The test creates a named event, passes its name in ONEFILE_TEST_CTRL_NAME and the control code
// in ONEFILE_TEST_CTRL_CODE, and sets the event. Both variables are taken out of the environment
// at once, so that only the process the test started (the parent) listens, never its child.
//
// More seams, for the parent alike: ONEFILE_TEST_NO_JOB=1 makes the child's job assignment fail
// (as nested jobs do before Windows 8), ONEFILE_TEST_FIRST_RANDOM_ZERO=1 makes the first random
// name AAAAAAAAAAA, so that a test can make it collide, and ONEFILE_TEST_UNPACK_THREADS=N unpacks
// with N writers (1: the main thread alone), whatever the processors. ONEFILE_TEST_REFUSE_OPEN,
// which stays for the child, refuses its opening of the parent: "vm-read" the right to read its
// memory, as restricted tokens do, "all" every right, a process id every right to that process
// alone (as to a service's, which has taken the id of a parent that ended).
// ONEFILE_TEST_SLOW_JUDGEMENT=1 makes a kept launcher's parent take half a second longer for its
// first judgement of the kept directory. ONEFILE_TEST_LEVEL=user, which stays for the child, makes
// the launch take the user level's path (under Wine every token is elevated).
// ONEFILE_TEST_FILE_LABELS=1 makes the parent judge labels as where they are kept (Wine keeps
// none), and ONEFILE_TEST_NO_ACLS=1 shows it a volume that keeps no access control lists.
// ONEFILE_TEST_REFUSE_HANDLE_LIST=1 makes every start of the child that carries a handle list fail
// with ERROR_INVALID_PARAMETER, as the system does for a list it refuses. ONEFILE_TEST_JOB_LIMITS=N
// answers the parent's query of its own job's limits with the flags N, standing in for Windows'
// answer about the job that the test put the launcher into (Wine's queries answer no limits for
// any job). ONEFILE_TEST_SESSION_ENDING=PATH stands a file in for the system's flag that the
// session is shutting down (SM_SHUTTINGDOWN, which Wine never sets): the session ends while PATH
// exists. ONEFILE_TEST_REFUSE_RENAME=N makes a kept launcher's move into place fail with access
// denied (as a scanner's open file makes it fail on Windows) N times, =PATH while PATH exists;
// ONEFILE_TEST_REFUSE_SET_ASIDE=N refuses the setting aside of a stale kept directory N times.
// ONEFILE_TEST_LOSE_STARTS=N fails the first N starts of the child with ERROR_INTERNAL_ERROR, as
// Wine does when it loses a new process while it starts. ONEFILE_TEST_NO_NESTING=1 refuses to put
// a child that is in a job already into the parent's job (ERROR_ACCESS_DENIED), as Windows 7
// does, where a process is in one job only. ONEFILE_TEST_PAGE_FAULT_AT=N makes the payload
// block's page at or after byte N unreadable, and a read of it the in-page error that Windows
// raises when the launcher's file is gone (the share or disk it runs from), with the status
// STATUS_NETWORK_NAME_DELETED. ONEFILE_TEST_SLOW_WRITES=MS makes the creation of every unpacked
// file take that many milliseconds longer, so that unpacking lasts.
#include <cwchar>

#include <windows.h>

#include "cleanup/cleanup.h"
#include "launcher/launcher.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/payload.h"

namespace {

HANDLE trigger;
DWORD control_code;

DWORD WINAPI raise_on_request(void*) {
  WaitForSingleObject(trigger, INFINITE);
  if (!console_ctrl_handler(control_code)) ExitProcess(STATUS_CONTROL_C_EXIT);
  return 0;
}

void listen_for_requests() {
  wchar_t value[256];
  const DWORD length = GetEnvironmentVariableW(L"ONEFILE_TEST_CTRL_NAME", value, 256);
  SetEnvironmentVariableW(L"ONEFILE_TEST_CTRL_NAME", nullptr);
  if (length == 0 || length >= 256) return;
  trigger = OpenEventW(SYNCHRONIZE, FALSE, value);
  wchar_t code[32];
  const DWORD code_length = GetEnvironmentVariableW(L"ONEFILE_TEST_CTRL_CODE", code, 32);
  SetEnvironmentVariableW(L"ONEFILE_TEST_CTRL_CODE", nullptr);
  control_code = code_length > 0 && code_length < 32 ? std::wcstoul(code, nullptr, 10) : 0;
  if (trigger != nullptr)
    CloseHandle(CreateThread(nullptr, 0, raise_on_request, nullptr, 0, nullptr));
}

BOOL WINAPI refuse_job(HANDLE, HANDLE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL WINAPI refuse_nesting(HANDLE job, HANDLE process) {
  BOOL in_job = FALSE;
  if (IsProcessInJob(process, nullptr, &in_job) && in_job) return refuse_job(job, process);
  return AssignProcessToJobObject(job, process);
}

// The page made unreadable; an access to it is passed on as the in-page error, to the launcher's
// handler, which comes after this one.
ULONG_PTR unreadable_page;

LONG CALLBACK fault_as_in_page_error(EXCEPTION_POINTERS* exception) {
  EXCEPTION_RECORD* record = exception->ExceptionRecord;
  if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2 &&
      record->ExceptionInformation[1] - unreadable_page < 4096) {
    constexpr ULONG_PTR network_name_deleted = 0xC00000C9;
    record->ExceptionCode = EXCEPTION_IN_PAGE_ERROR;
    record->NumberParameters = 3;
    record->ExceptionInformation[2] = network_name_deleted;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

void make_payload_page_unreadable(unsigned long long offset) {
  read_attached_settings();
  if (offset >= payload_block_size) return;
  const auto at = reinterpret_cast<ULONG_PTR>(payload_block) + offset;
  unreadable_page = (at + 4095) & ~ULONG_PTR{4095};
  DWORD old_protection = 0;
  AddVectoredExceptionHandler(1, fault_as_in_page_error);
  VirtualProtect(reinterpret_cast<void*>(unreadable_page), 1, PAGE_NOACCESS, &old_protection);
}

bool first_random_zero(std::uint8_t (&bytes)[random_byte_count]) {
  static bool first = true;
  if (!first) return false;
  first = false;
  for (std::uint8_t& byte : bytes) byte = 0;
  return true;
}

bool seam(const wchar_t* name) {
  wchar_t value[8];
  const DWORD length = GetEnvironmentVariableW(name, value, 8);
  SetEnvironmentVariableW(name, nullptr);
  return length == 1 && value[0] == L'1';
}

HANDLE WINAPI refuse_memory_reading(DWORD access, BOOL inherit, DWORD process_id) {
  if (access & PROCESS_VM_READ) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return OpenProcess(access, inherit, process_id);
}

BOOL WINAPI volume_without_acls(HANDLE, wchar_t*, DWORD, DWORD* serial, DWORD*, DWORD* flags,
                                wchar_t* file_system, DWORD file_system_size) {
  if (serial != nullptr) *serial = 0;
  *flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  if (file_system != nullptr && file_system_size > 5) std::wcscpy(file_system, L"FAT32");
  return TRUE;
}

HANDLE WINAPI refuse_every_open(DWORD, BOOL, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

DWORD refused_process_id;

HANDLE WINAPI refuse_one_process(DWORD access, BOOL inherit, DWORD process_id) {
  return process_id == refused_process_id ? refuse_every_open(access, inherit, process_id)
                                          : OpenProcess(access, inherit, process_id);
}

BOOL WINAPI refuse_handle_list(LPCWSTR application, LPWSTR line, LPSECURITY_ATTRIBUTES process,
                               LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                               LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                               LPPROCESS_INFORMATION information) {
  if (flags & EXTENDED_STARTUPINFO_PRESENT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return CreateProcessW(application, line, process, thread, inherit, flags, environment, directory,
                        startup, information);
}

DWORD own_job_limits;

wchar_t session_ending_flag[MAX_PATH];

// A refusal seam: a count of refusals, or a file that refuses while it exists.
struct refusal {
  long count = 0;
  wchar_t flag[MAX_PATH] = {};

  bool read(const wchar_t* name) {
    wchar_t value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    SetEnvironmentVariableW(name, nullptr);
    if (length == 0 || length >= MAX_PATH) return false;
    wchar_t* end = nullptr;
    count = std::wcstol(value, &end, 10);
    if (*end != L'\0') std::wcscpy(flag, value);
    return true;
  }
  bool refuses() {
    if (flag[0] != L'\0') return GetFileAttributesW(flag) != INVALID_FILE_ATTRIBUTES;
    return count-- > 0;
  }
};
refusal rename_refusal;
refusal set_aside_refusal;
refusal start_loss;

BOOL WINAPI lose_start(LPCWSTR application, LPWSTR line, LPSECURITY_ATTRIBUTES process,
                       LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                       LPCWSTR directory, LPSTARTUPINFOW startup,
                       LPPROCESS_INFORMATION information) {
  if (start_loss.refuses()) {
    SetLastError(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  return CreateProcessW(application, line, process, thread, inherit, flags, environment, directory,
                        startup, information);
}

DWORD slow_write_ms;

HANDLE WINAPI create_slowly(const wchar_t* path, DWORD access, DWORD share,
                            SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags,
                            HANDLE template_file) {
  Sleep(slow_write_ms);
  return CreateFileW(path, access, share, security, disposition, flags, template_file);
}

void install_seams() {
  wchar_t threads[8];
  const DWORD threads_length = GetEnvironmentVariableW(L"ONEFILE_TEST_UNPACK_THREADS", threads, 8);
  SetEnvironmentVariableW(L"ONEFILE_TEST_UNPACK_THREADS", nullptr);
  if (threads_length > 0 && threads_length < 8) {
    unpack_threads_setting = static_cast<int>(std::wcstol(threads, nullptr, 10));
  }
  wchar_t refused[16];
  const DWORD refused_length = GetEnvironmentVariableW(L"ONEFILE_TEST_REFUSE_OPEN", refused, 16);
  if (refused_length > 0 && refused_length < 16) {
    refused_process_id = std::wcstoul(refused, nullptr, 10);
    process_open = std::wcscmp(refused, L"all") == 0 ? refuse_every_open
                   : refused_process_id != 0         ? refuse_one_process
                                                     : refuse_memory_reading;
  }
  if (seam(L"ONEFILE_TEST_NO_JOB")) job_assignment = refuse_job;
  if (seam(L"ONEFILE_TEST_NO_NESTING")) job_assignment = refuse_nesting;
  wchar_t fault_offset[32];
  const DWORD fault_offset_length =
      GetEnvironmentVariableW(L"ONEFILE_TEST_PAGE_FAULT_AT", fault_offset, 32);
  SetEnvironmentVariableW(L"ONEFILE_TEST_PAGE_FAULT_AT", nullptr);
  if (fault_offset_length > 0 && fault_offset_length < 32) {
    make_payload_page_unreadable(std::wcstoull(fault_offset, nullptr, 10));
  }
  wchar_t level[8];
  if (GetEnvironmentVariableW(L"ONEFILE_TEST_LEVEL", level, 8) == 4 &&
      std::wcscmp(level, L"user") == 0) {
    token_level = [] { return launch_level::user; };
  }
  if (seam(L"ONEFILE_TEST_FILE_LABELS")) file_labels_kept = [] { return true; };
  if (seam(L"ONEFILE_TEST_NO_ACLS")) volume_information_query = volume_without_acls;
  if (seam(L"ONEFILE_TEST_REFUSE_HANDLE_LIST")) process_creation = refuse_handle_list;
  if (start_loss.read(L"ONEFILE_TEST_LOSE_STARTS")) process_creation = lose_start;
  wchar_t limits[32];
  const DWORD limits_length = GetEnvironmentVariableW(L"ONEFILE_TEST_JOB_LIMITS", limits, 32);
  SetEnvironmentVariableW(L"ONEFILE_TEST_JOB_LIMITS", nullptr);
  if (limits_length > 0 && limits_length < 32) {
    own_job_limits = std::wcstoul(limits, nullptr, 10);
    // The launcher asks only for the extended limits of the job it is in.
    job_information_query = [](HANDLE, JOBOBJECTINFOCLASS, void* information, DWORD, DWORD*) {
      *static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION*>(information) = {};
      static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION*>(information)
          ->BasicLimitInformation.LimitFlags = own_job_limits;
      return TRUE;
    };
  }
  const DWORD flag_length =
      GetEnvironmentVariableW(L"ONEFILE_TEST_SESSION_ENDING", session_ending_flag, MAX_PATH);
  SetEnvironmentVariableW(L"ONEFILE_TEST_SESSION_ENDING", nullptr);
  if (flag_length > 0 && flag_length < MAX_PATH) {
    session_ending = [] {
      return GetFileAttributesW(session_ending_flag) != INVALID_FILE_ATTRIBUTES;
    };
  }
  if (rename_refusal.read(L"ONEFILE_TEST_REFUSE_RENAME")) {
    kept_rename = [](void* staging) -> unsigned long {
      return rename_refusal.refuses() ? ERROR_ACCESS_DENIED : rename_to_kept_directory(staging);
    };
  }
  if (set_aside_refusal.read(L"ONEFILE_TEST_REFUSE_SET_ASIDE")) {
    kept_directory_set_aside = [](const wchar_t* path) {
      return !set_aside_refusal.refuses() && set_aside_own_directory(path);
    };
  }
  wchar_t slow[16];
  const DWORD slow_length = GetEnvironmentVariableW(L"ONEFILE_TEST_SLOW_WRITES", slow, 16);
  SetEnvironmentVariableW(L"ONEFILE_TEST_SLOW_WRITES", nullptr);
  if (slow_length > 0 && slow_length < 16) {
    slow_write_ms = std::wcstoul(slow, nullptr, 10);
    entry_file_create = create_slowly;
  }
  if (seam(L"ONEFILE_TEST_SLOW_JUDGEMENT")) {
    judgement_pause = [] {
      Sleep(500);
      judgement_pause = nullptr;
    };
  }
  if (seam(L"ONEFILE_TEST_FIRST_RANDOM_ZERO")) {
    static bool (*const system_source)(std::uint8_t(&)[random_byte_count]) = random_source;
    random_source = [](std::uint8_t(&bytes)[random_byte_count]) {
      return first_random_zero(bytes) || system_source(bytes);
    };
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  listen_for_requests();
  install_seams();
  return run_launcher(__argc, __wargv);
}
