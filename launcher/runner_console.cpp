// The stock runner's console control handling. Console control events reach every process on the
// console, the program's and this one alike: Ctrl+C and Ctrl+Break are the program's to handle
// (a program that survives them goes on, one that ends ends the run with its own exit code), and
// this process must not die of them first, which would end the program's job with the program
// still in its handler. A handler that returns TRUE, and not SetConsoleCtrlHandler(nullptr,
// TRUE): the program would inherit that and ignore Ctrl+C.
#include <atomic>

#include <windows.h>

#include "launcher/launcher.h"

namespace {

// Close, log-off and shut-down: the system ends this process when the handler returns, and the
// parent stops it 1.5 s into its own hurried cleanup (cleanup/cleanup.cpp). The program has
// 1 s to finish its own handler, then it is stopped here, also when no job would do it.
constexpr DWORD program_grace_ms = 1000;
constexpr DWORD program_stop_wait_ms = 300;
constexpr UINT program_stopped_exit_code = STATUS_CONTROL_C_EXIT;

std::atomic<HANDLE> program{nullptr};
std::atomic<DWORD> program_id{0};

// A program on another console or none (a graphical one) has no part in the event: this process
// then ends of it, and the job ends the program, as Ctrl+C ends a launch whose application can't
// see it.
bool program_shares_console() {
  DWORD attached[256];
  const DWORD count = GetConsoleProcessList(attached, 256);
  if (count > 256) return true;  // too many to tell: the program may well be among them
  for (DWORD i = 0; i < count; ++i) {
    if (attached[i] == program_id.load()) return true;
  }
  return false;
}

}  // namespace

BOOL WINAPI pass_control_event(DWORD event_code) {
  const HANDLE running = program.load();
  // Before the program runs this process ends, as the program would have.
  if (running == nullptr) return FALSE;
  switch (event_code) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      return program_shares_console();
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (WaitForSingleObject(running, program_grace_ms) != WAIT_OBJECT_0) {
        TerminateProcess(running, program_stopped_exit_code);
        // A stopped process lets go of its files only once it has ended.
        WaitForSingleObject(running, program_stop_wait_ms);
      }
      return FALSE;
    default:
      return FALSE;
  }
}

void watch_console_control() {
  SetConsoleCtrlHandler(pass_control_event, TRUE);
}

void pass_console_control_to(void* process) {
  program_id.store(GetProcessId(process));
  program.store(process);
}
