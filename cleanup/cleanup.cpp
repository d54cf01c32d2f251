// Stopping a lingering child and removing the target directory.
#include "cleanup/cleanup.h"

#include <cstddef>
#include <cstdint>
#include <cwchar>

#include "launcher/shell32.h"
#include "launcher/state.h"

namespace {

int WINAPI shell_file_operation_on_demand(SHFILEOPSTRUCTW* request) {
  const auto operation = shell32_function<int(WINAPI*)(SHFILEOPSTRUCTW*)>("SHFileOperationW");
  return operation != nullptr ? operation(request) : ERROR_MOD_NOT_FOUND;
}

}  // namespace

int(WINAPI* shell_file_operation)(SHFILEOPSTRUCTW* request) = shell_file_operation_on_demand;
DWORD(WINAPI* attributes_query)(const wchar_t* path) = GetFileAttributesW;
void(WINAPI* retry_pause)(DWORD milliseconds) = Sleep;
BOOL(WINAPI* handle_close)(HANDLE handle) = CloseHandle;

namespace {

constexpr UINT child_stopped_exit_code = 0;
constexpr int deletion_retries = 20;
constexpr DWORD retry_pause_ms = 100;
constexpr FILEOP_FLAGS deletion_flags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;

// How long a cleanup may wait: for the main thread's step under way (writing one chunk or
// starting the child normally takes far less), for the child, and for the whole cleanup.
struct cleanup_limits {
  DWORD step_wait_ms;
  DWORD child_grace_ms;
  DWORD total_ms;
};
constexpr cleanup_limits unhurried{2000, 5000, INFINITE};
// Windows ends a process about 5 s after a console close, and after the end-session message
// (log-off, shut-down) soon after the handler returns: the whole cleanup fits in 4 s.
constexpr cleanup_limits hurried{500, 1500, 4000};

// The shell's deletion request for the target directory, built afresh for every call.
void request_deletion() {
  wchar_t from[wide_path_capacity + 2];
  const std::size_t length = wcsnlen(target_directory, wide_path_capacity);
  std::wmemcpy(from, target_directory, length);
  from[length] = L'\0';
  from[length + 1] = L'\0';
  SHFILEOPSTRUCTW request{};
  request.hwnd = nullptr;
  request.wFunc = FO_DELETE;
  request.pFrom = from;
  request.pTo = L"";
  request.fFlags = deletion_flags;
  request.fAnyOperationsAborted = FALSE;
  request.hNameMappings = nullptr;
  request.lpszProgressTitle = L"";
  shell_file_operation(&request);
}

// The direct walk removes what it can; the shell's request follows only while nothing is left
// that it could follow out of the directory (under Wine it deletes what a link points to), and
// only for a name that the shell takes: it handles none of MAX_PATH units or more, and Wine's
// crashes the process on one of about 560 units.
void remove_target_once() {
  if (!remove_tree_directly(target_directory)) return;
  if (wcsnlen(target_directory, wide_path_capacity) >= MAX_PATH) return;
  request_deletion();
}

}  // namespace

void begin_main_thread_step() {
  int expected = main_thread_idle;
  if (main_thread_step.compare_exchange_strong(expected, main_thread_busy)) return;
  for (;;) Sleep(INFINITE);
}

void end_main_thread_step() {
  int expected = main_thread_busy;
  if (main_thread_step.compare_exchange_strong(expected, main_thread_idle)) return;
  // A cleanup waits for this step: hand over, and start nothing more.
  main_thread_step.store(main_thread_stopped);
  for (;;) Sleep(INFINITE);
}

void hand_over_if_cleanup_waits(void* open_file) {
  if (main_thread_step.load() != main_thread_stopping) return;
  if (open_file != nullptr) CloseHandle(open_file);
  entry_file = nullptr;
  end_main_thread_step();
}

namespace {

void remove_target_directory_until(ULONGLONG deadline) {
  if (!cleanup_armed.load()) return;
  // The mark's own handle would keep its file, and so the directory, from being deleted.
  if (HANDLE mark = target_mark.exchange(nullptr)) CloseHandle(mark);
  remove_target_once();
  for (int retry = 0; retry < deletion_retries; ++retry) {
    const DWORD attributes = attributes_query(target_directory);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    if (GetTickCount64() + retry_pause_ms > deadline) return;
    retry_pause(retry_pause_ms);
    remove_target_once();
  }
}

void cleanup_within(const cleanup_limits& limits) {
  const ULONGLONG start = GetTickCount64();
  const ULONGLONG deadline = limits.total_ms == INFINITE ? ~0ull : start + limits.total_ms;
  // No file and no child comes into being beside the cleanup: stop the main thread's steps for
  // good, after the one under way (one chunk of an entry, or the child's start) has ended. The
  // wait has a limit: a step that hangs must not keep the directory from being removed.
  for (;;) {
    int state = main_thread_step.load();
    if (state == main_thread_idle &&
        main_thread_step.compare_exchange_strong(state, main_thread_stopped)) {
      break;
    }
    if (state == main_thread_stopped || GetTickCount64() - start >= limits.step_wait_ms) break;
    if (state == main_thread_busy) {
      main_thread_step.compare_exchange_strong(state, main_thread_stopping);
    }
    Sleep(1);
  }
  // Taken by exchange: of the handler and the main thread, only the one that gets it closes it.
  if (HANDLE child = child_process.exchange(nullptr)) {
    if (WaitForSingleObject(child, limits.child_grace_ms) != WAIT_OBJECT_0) {
      TerminateProcess(child, child_stopped_exit_code);
      // A stopped process lets go of its files only once it has ended.
      WaitForSingleObject(child, limits.child_grace_ms);
    }
    handle_close(child);
  }
  remove_target_directory_until(deadline);
}

}  // namespace

void remove_target_directory() {
  remove_target_directory_until(~0ull);
}

void remove_target_after_failure() {
  // Only the main thread writes files, and only the main thread fails while one is open.
  if (entry_file != nullptr) CloseHandle(entry_file);
  entry_file = nullptr;
  remove_target_directory();
}

void cleanup_child_and_directory() {
  cleanup_within(unhurried);
}

void cleanup_before_process_end() {
  cleanup_within(hurried);
}

BOOL WINAPI console_ctrl_handler(DWORD event_code) {
  switch (event_code) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      cleanup_child_and_directory();
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      cleanup_before_process_end();
      break;
    default:
      break;
  }
  // The next handler, the system's default, ends the process.
  return FALSE;
}

void* share_child_process(void* process) {
  const HANDLE self = GetCurrentProcess();
  HANDLE own = nullptr;
  if (!DuplicateHandle(self, process, self, &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) return process;
  child_process.store(process);
  return own;
}

void release_child_process() {
  if (HANDLE shared = child_process.exchange(nullptr)) handle_close(shared);
}
