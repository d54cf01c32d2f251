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
  PROCESS_INFORMATION child{};
  child_job = make_child_job();
  begin_main_thread_step();
  // Started suspended, so that it runs nothing before it is in the job; outside a job (none could
  // be had, or nested jobs are refused) it watches the parent itself.
  if (!CreateProcessW(child_executable_path, child_command_line, nullptr, nullptr,
                      startup.inherit_handles, startup.creation_flags, nullptr, nullptr,
                      &startup.info.StartupInfo, &child)) {
    fatal_launch_error(GetLastError());
  }
  release_child_startup(&startup);
  if (child_job != nullptr) job_assignment(child_job, child.hProcess);
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
  if (WaitForSingleObject(own_handle, sweep_delay_ms) == WAIT_TIMEOUT) start_sweep();
  WaitForSingleObject(own_handle, INFINITE);
  DWORD exit_code = 1;
  if (!GetExitCodeProcess(own_handle, &exit_code)) exit_code = 1;
  CloseHandle(own_handle);
  release_child_process();
  cleanup_child_and_directory();
  // The sweep had the child's run and the parent's own removal; the exit does not wait for it.
  stop_sweep();
  return static_cast<int>(exit_code);
}

int launch_child_and_wait(wchar_t** arguments) {
  return wait_for_child(start_child(arguments));
}
