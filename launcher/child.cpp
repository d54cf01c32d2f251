// Child launch and supervision (parent role).
#include <cwchar>

#include <windows.h>

#include "cleanup/cleanup.h"
#include "diagnostics/diagnostics.h"
#include "launcher/launcher.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/payload.h"

namespace {

// The child reaches run_code within some 30 ms of its start.
constexpr DWORD sweep_delay_ms = 500;
constexpr UINT unstarted_child_exit_code = 1;

// Starts the child suspended. A handle list that the system refuses is refused by CreateProcessW
// itself (ERROR_INVALID_PARAMETER), not when it is built: the child then starts without it, with
// its standard handles and every other inheritable handle, as before the list. A job whose
// children may leave it could have changed its mind: the child then starts inside it. in_job tells
// the child whether it is to be in the parent's job, which only the parent can know.
PROCESS_INFORMATION create_child(child_startup* startup, bool in_job) {
  set_env_var(in_parent_job_variable, in_job ? L"1" : L"0");
  PROCESS_INFORMATION child{};
  int lost_starts = 0;
  for (;;) {
    if (process_creation(child_executable_path, child_command_line, nullptr, nullptr,
                         startup->inherit_handles, startup->creation_flags, nullptr, nullptr,
                         &startup->info.StartupInfo, &child)) {
      break;
    }
    const DWORD error = GetLastError();
    if (start_again_after(error, &lost_starts)) continue;
    if (error == ERROR_INVALID_PARAMETER && drop_handle_list(startup)) continue;
    if (error == ERROR_ACCESS_DENIED && (startup->creation_flags & CREATE_BREAKAWAY_FROM_JOB)) {
      startup->creation_flags &= ~CREATE_BREAKAWAY_FROM_JOB;
      continue;
    }
    fatal_launch_error(error);
  }
  unset_env_var(in_parent_job_variable);
  return child;
}

// A child that has run nothing (started suspended) and is to be started again otherwise.
void end_unstarted_child(PROCESS_INFORMATION* child) {
  TerminateProcess(child->hProcess, unstarted_child_exit_code);
  WaitForSingleObject(child->hProcess, INFINITE);
  CloseHandle(child->hProcess);
  CloseHandle(child->hThread);
}

// Starts the child in the parent's job, or, where that can't be had, watching the parent itself.
// A child started in the caller's job (a scheduled task's, a remote session's, a CI agent's) stays
// in it, so that ending that job ends the application as well and its limits apply to it: since
// Windows 8 the parent's job nests inside the caller's ("Nested Jobs"). Where nesting is refused
// with ERROR_ACCESS_DENIED (Windows 7, where a process is in one job only), a child that the
// caller's job lets leave (JOB_OBJECT_LIMIT_BREAKAWAY_OK) is started again outside it
// (CREATE_BREAKAWAY_FROM_JOB) and put into the parent's job there; otherwise it is started again
// knowing that it must watch the parent. Each refused child is ended before it has run anything.
PROCESS_INFORMATION start_child_in_job(child_startup* startup) {
  if (child_job == nullptr) return create_child(startup, false);
  PROCESS_INFORMATION child = create_child(startup, true);
  if (job_assignment(child_job, child.hProcess)) return child;
  const bool nesting_refused = GetLastError() == ERROR_ACCESS_DENIED;
  end_unstarted_child(&child);
  if (nesting_refused && own_job_allows_breakaway()) {
    startup->creation_flags |= CREATE_BREAKAWAY_FROM_JOB;
    child = create_child(startup, true);
    if (job_assignment(child_job, child.hProcess)) return child;
    end_unstarted_child(&child);
    startup->creation_flags &= ~CREATE_BREAKAWAY_FROM_JOB;
  }
  return create_child(startup, false);
}

}  // namespace

void* start_child(wchar_t** arguments) {
  close_payload();

  copy_bounded(executable_directory, get_executable_path(executable_path_form::plain),
               executable_path_capacity);
  if (wchar_t* last_backslash = std::wcsrchr(executable_directory, L'\\')) *last_backslash = L'\0';
  set_env_var("VESKAR_ONEFILE_DIRECTORY", executable_directory);
  set_env_var("VESKAR_ORIGINAL_ARGV0", arguments[0] != nullptr ? arguments[0] : L"");

  // A cut path would start some other program, or none: never use one. The path was asked for
  // before the end-of-session window's thread began loading the windowing libraries, which holds
  // the loader lock that the query takes.
  const wchar_t* own_path = get_executable_path(executable_path_form::plain);
  if (own_path[0] == L'\0') abnormal_end();
  copy_bounded(child_executable_path, own_path, wide_path_capacity);

  // The child's runtime splits exactly what the user typed: rebuilding the line from a split
  // would change arguments wherever two splitting rules disagree (doubled quotes).
  if (!join_command_line(child_executable_path, arguments_after_program_name(GetCommandLineW()),
                         child_command_line, command_line_capacity)) {
    abnormal_end();
  }

  static child_startup startup;
  prepare_child_startup(&startup);
  child_job = make_child_job();
  begin_main_thread_step();
  // Started suspended, so that it runs nothing before it is in the job.
  PROCESS_INFORMATION child = start_child_in_job(&startup);
  release_child_startup(&startup);
  // Console control events reach a child on the parent's console too.
  child_shares_console.store((startup.creation_flags & DETACHED_PROCESS) == 0);
  ResumeThread(child.hThread);
  CloseHandle(child.hThread);

  // The console handler may take and close the shared handle at any moment; the main thread
  // waits on a duplicate of its own.
  HANDLE own_handle = share_child_process(child.hProcess);
  end_main_thread_step();
  return own_handle;
}

void abandon_child(void* own_handle) {
  TerminateProcess(own_handle, 1);
  WaitForSingleObject(own_handle, INFINITE);
  CloseHandle(own_handle);
  release_child_process();
}

int wait_for_child(void* own_handle) {
  // The parent is idle from here on: time to remove what earlier launches left, once the
  // application has surely been handed control, so that the sweep never competes with the
  // child's start (under Wine every file operation queues at the one server process).
  const bool swept_during_run = WaitForSingleObject(own_handle, sweep_delay_ms) == WAIT_TIMEOUT;
  if (swept_during_run) start_sweep();
  WaitForSingleObject(own_handle, INFINITE);
  DWORD exit_code = 1;
  if (!GetExitCodeProcess(own_handle, &exit_code)) exit_code = 1;
  CloseHandle(own_handle);
  release_child_process();
  cleanup_child_and_directory();
  if (swept_during_run) {
    // The sweep had the child's run and the parent's own removal; the exit does not wait for it.
    stop_sweep();
  } else {
    // An application that ends within the delay leaves the sweep no run to use: it sweeps now,
    // with the application done, or a tool that is only ever run briefly would let what killed
    // launches left pile up for good. One leftover at most, so that the exit waits for one
    // removal, not for all of them; with nothing left, this is one listing of the folder.
    sweep_one_now();
  }
  return static_cast<int>(exit_code);
}

int launch_child_and_wait(wchar_t** arguments) {
  return wait_for_child(start_child(arguments));
}
