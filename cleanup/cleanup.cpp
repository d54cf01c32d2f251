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

// How long a cleanup may wait: for the steps under way (writing one chunk, making a directory or
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

// True when no directory is left at the target's name (nothing, or something else, stands there).
bool target_gone() {
  const DWORD attributes = attributes_query(target_directory);
  return attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// One attempt; true when the directory is gone. The direct walk removes what it can; the shell's
// request follows only when the walk left the directory, while nothing is left that it could
// follow out of the directory (under Wine it deletes what a link points to), and only for a name
// that the shell takes: it handles none of MAX_PATH units or more, and Wine's crashes the process
// on one of about 560 units. After a walk that removed everything, loading the shell (a dozen
// libraries) would only slow the launch's end, and its request would act on a name that
// someone else may have taken since.
bool remove_target_once() {
  const bool contained = remove_tree_directly(target_directory, nullptr, removal_helpers);
  if (target_gone()) return true;
  if (!contained || wcsnlen(target_directory, wide_path_capacity) >= MAX_PATH) return false;
  request_deletion();
  return target_gone();
}

}  // namespace

void begin_step(int slot) {
  step_threads[slot].store(GetCurrentThreadId());
  int expected = step_idle;
  if (thread_steps[slot].compare_exchange_strong(expected, step_busy)) return;
  for (;;) Sleep(INFINITE);
}

void end_step(int slot) {
  int expected = step_busy;
  if (thread_steps[slot].compare_exchange_strong(expected, step_idle)) return;
  // A cleanup waits for this step: hand over, and start nothing more.
  thread_steps[slot].store(step_stopped);
  for (;;) Sleep(INFINITE);
}

bool cleanup_waits_for(int slot) {
  return thread_steps[slot].load() == step_stopping;
}

void hand_over_if_cleanup_waits(int slot, void* open_file) {
  if (!cleanup_waits_for(slot)) return;
  if (step_files[slot].exchange(nullptr) == open_file && open_file != nullptr) {
    CloseHandle(open_file);
  }
  end_step(slot);
}

void release_own_step() {
  const DWORD self = GetCurrentThreadId();
  for (int slot = 0; slot < step_slot_count; ++slot) {
    const int state = thread_steps[slot].load();
    if (step_threads[slot].load() != self || (state != step_busy && state != step_stopping)) {
      continue;
    }
    // The file goes first: a cleanup that sees the slot stopped goes on to remove it.
    if (HANDLE file = step_files[slot].exchange(nullptr)) CloseHandle(file);
    thread_steps[slot].store(step_stopped);
  }
}

void stop_every_step(DWORD wait_limit_ms) {
  // The wait has a limit: a step that hangs must not keep the directory from being removed.
  const DWORD self = GetCurrentThreadId();
  const ULONGLONG wait_start = GetTickCount64();
  for (;;) {
    bool all_stopped = true;
    for (int slot = 0; slot < step_slot_count; ++slot) {
      int state = thread_steps[slot].load();
      if (state == step_stopped) continue;
      if (state == step_idle && thread_steps[slot].compare_exchange_strong(state, step_stopped)) {
        continue;
      }
      if (step_threads[slot].load() == self) {
        // The calling thread's own step (a failure in the middle of it) ends here.
        release_own_step();
        continue;
      }
      if (state == step_busy) {
        thread_steps[slot].compare_exchange_strong(state, step_stopping);
      }
      all_stopped = false;
    }
    if (all_stopped || GetTickCount64() - wait_start >= wait_limit_ms) return;
    Sleep(1);
  }
}

namespace {

void remove_target_directory_until(ULONGLONG deadline) {
  if (!cleanup_armed.load()) return;
  // The mark's own handle would keep its file, and so the directory, from being deleted.
  if (HANDLE mark = target_mark.exchange(nullptr)) CloseHandle(mark);
  if (remove_target_once()) return;
  for (int retry = 0; retry < deletion_retries; ++retry) {
    if (GetTickCount64() + retry_pause_ms > deadline) return;
    retry_pause(retry_pause_ms);
    if (remove_target_once()) return;
  }
}

void cleanup_within(const cleanup_limits& limits) {
  const ULONGLONG start = GetTickCount64();
  const ULONGLONG deadline = limits.total_ms == INFINITE ? ~0ull : start + limits.total_ms;
  // No file and no child comes into being beside the cleanup: stop every thread's steps for good,
  // after the ones under way (one chunk of an entry, a directory, or the child's start) have
  // ended.
  stop_every_step(limits.step_wait_ms);
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
  stop_every_step(unhurried.step_wait_ms);
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
      // A child on this console has the event too, and the application's own handling decides,
      // as without the launcher (a program that survives Ctrl+C goes on); when it ends, the main
      // thread passes its exit code on and removes the directory.
      if (child_shares_console.load() && child_process.load() != nullptr) return TRUE;
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
