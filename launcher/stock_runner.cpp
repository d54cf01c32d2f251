// The stock main module: runs a program of the payload as if the user had started it directly,
// with the user's own argument text, the same standard handles and console, and its exit code.
// The program and everything it starts run in a job that ends them when this process ends, so
// that the launcher's cleanup can always remove the directory they run from.
#include <cwchar>

#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/launcher.h"
#include "launcher/state.h"

namespace {

constexpr std::size_t line_capacity = 32768;
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
  fatal_path_system_error("Error, couldn't start '", program_path, "'", code);
}

// A job that ends its processes when its last handle closes, which is when this process ends.
HANDLE make_program_job() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
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

  STARTUPINFOW own_startup{};
  own_startup.cb = sizeof own_startup;
  GetStartupInfoW(&own_startup);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = own_startup.dwFlags & STARTF_USESHOWWINDOW;
  startup.wShowWindow = own_startup.wShowWindow;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  // Without any standard handle a console program keeps those of its own console.
  if (startup.hStdInput != nullptr || startup.hStdOutput != nullptr ||
      startup.hStdError != nullptr) {
    startup.dwFlags |= STARTF_USESTDHANDLES;
  }
  // A console program shares the launcher's console; a graphical launcher has none to share, and
  // the program gets one without a window rather than a stray console on the desktop.
  DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
  if (GetConsoleCP() == 0) flags |= CREATE_NO_WINDOW;

  PROCESS_INFORMATION program{};
  if (!CreateProcessW(program_path, program_command_line, nullptr, nullptr, TRUE, flags, nullptr,
                      nullptr, &startup, &program)) {
    start_failed(GetLastError());
  }
  // The job handle is never closed: the system closes it when this process ends, for whatever
  // reason, and the program ends with it. Without a job the program still runs.
  if (HANDLE job = make_program_job()) AssignProcessToJobObject(job, program.hProcess);
  ResumeThread(program.hThread);
  CloseHandle(program.hThread);
  WaitForSingleObject(program.hProcess, INFINITE);
  DWORD exit_code = 1;
  if (!GetExitCodeProcess(program.hProcess, &exit_code)) exit_code = 1;
  CloseHandle(program.hProcess);
  return static_cast<int>(exit_code);
}
