// The stock main module: runs a program of the payload as if the user had started it directly,
// with the user's own argument text, the same start-up state, standard handles and console, and
// its exit code. The program and everything it starts run in a job (launcher/runner_job.cpp), and
// console control events are the program's to handle (launcher/runner_console.cpp).
#include <cwchar>

#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/launcher.h"
#include "launcher/state.h"

namespace {

constexpr std::size_t line_capacity = 32768;
// ERROR_ELEVATION_REQUIRED of Windows' winerror.h (MinGW's lacks it).
constexpr DWORD elevation_required = 740;
wchar_t program_path[line_capacity];
wchar_t program_command_line[line_capacity];

bool build_program_path(const wchar_t* main_module_path) {
  const wchar_t* last_backslash = std::wcsrchr(main_module_path, L'\\');
  const std::size_t directory_length =
      last_backslash != nullptr ? static_cast<std::size_t>(last_backslash - main_module_path) : 0;
  const std::size_t name_length = std::wcslen(onefile_run_target);
  if (directory_length + 1 + name_length >= line_capacity) return false;
  std::wmemcpy(program_path, main_module_path, directory_length);
  program_path[directory_length] = L'\\';
  std::wmemcpy(program_path + directory_length + 1, onefile_run_target, name_length + 1);
  return true;
}

[[noreturn]] void start_failed(DWORD code) {
  if (onefile_run_error_caption[0] != L'\0') enable_error_dialog(onefile_run_error_caption);
  // CreateProcess can't raise a program to the level its manifest asks for (or that installer
  // detection gives it); only a launcher that runs elevated itself can start it.
  if (code == elevation_required) {
    fatal_path_system_error("Error, couldn't start '", program_path,
                            "': the program must run as administrator; rebuild the launcher "
                            "with --uac-admin so that it asks for elevation",
                            code);
  }
  fatal_path_system_error("Error, couldn't start '", program_path, "'", code);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t* main_module_path) {
  // The program to start and the error box's caption are the launcher's settings.
  read_attached_settings();
  if (!build_program_path(main_module_path) ||
      !join_command_line(program_path, arguments_after_program_name(GetCommandLineW()),
                         program_command_line, line_capacity)) {
    start_failed(ERROR_FILENAME_EXCED_RANGE);
  }

  // What the launcher was started with reaches the program: the taskbar groups it with its
  // shortcut, and it opens where and as the shortcut says.
  STARTUPINFOW startup{};
  if (!pass_on_startup_state(&startup)) {
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // Without any standard handle a console program keeps those of its own console.
    if (startup.hStdInput != nullptr || startup.hStdOutput != nullptr ||
        startup.hStdError != nullptr) {
      startup.dwFlags |= STARTF_USESTDHANDLES;
    }
  }
  // A console program shares the launcher's console; a graphical launcher has none to share, and
  // the program gets one without a window rather than a stray console on the desktop. An above
  // normal priority class would not pass on by itself.
  DWORD flags =
      CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | GetPriorityClass(GetCurrentProcess());
  if (GetConsoleCP() == 0) flags |= CREATE_NO_WINDOW;

  watch_console_control();
  HANDLE job = make_program_job();
  PROCESS_INFORMATION program{};
  int lost_starts = 0;
  while (!process_creation(program_path, program_command_line, nullptr, nullptr, TRUE, flags,
                           nullptr, nullptr, &startup, &program)) {
    const DWORD error = GetLastError();
    if (!start_again_after(error, &lost_starts)) start_failed(error);
  }
  // Without a job the program still runs, and this process ends it itself where the job would.
  const bool in_job = job != nullptr && program_job_assignment(job, program.hProcess);
  if (!in_job) end_with_parent_watch(program.hProcess);
  pass_console_control_to(program.hProcess);
  ResumeThread(program.hThread);
  CloseHandle(program.hThread);
  WaitForSingleObject(program.hProcess, INFINITE);
  DWORD exit_code = 1;
  if (!GetExitCodeProcess(program.hProcess, &exit_code)) exit_code = 1;
  if (in_job) end_program_job(job, main_module_path);
  return static_cast<int>(exit_code);
}
