// The stock runner of the test launchers that run a program: the stock one, plus seams that its
// DLL entry point installs from the environment (the child's, which the parent's entry point
// leaves alone). ONEFILE_TEST_NO_PROGRAM_JOB=1 makes the program's job assignment fail, as it does
// on Windows 7 for a program in a job of someone else's. ONEFILE_TEST_RUNNER_CTRL_NAME and
// ONEFILE_TEST_RUNNER_CTRL_CODE raise a console control event inside the runner when the test
// sets the named event, the way the system delivers one (see hooked_main.cpp).
// ONEFILE_TEST_ELEVATION_REQUIRED=1 fails the program's start with ERROR_ELEVATION_REQUIRED, as
// Windows does for a program that must run elevated when the launcher isn't (under Wine every
// process is).
#include <cwchar>

#include <windows.h>

#include "launcher/launcher.h"

namespace {

HANDLE trigger;
DWORD control_code;

DWORD WINAPI raise_on_request(void*) {
  WaitForSingleObject(trigger, INFINITE);
  if (!pass_control_event(control_code)) ExitProcess(STATUS_CONTROL_C_EXIT);
  return 0;
}

BOOL WINAPI refuse_job(HANDLE, HANDLE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL WINAPI require_elevation(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                              DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  SetLastError(740);  // ERROR_ELEVATION_REQUIRED, which MinGW's winerror.h lacks
  return FALSE;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t value[256];
  if (GetEnvironmentVariableW(L"ONEFILE_TEST_NO_PROGRAM_JOB", value, 256) == 1 &&
      value[0] == L'1') {
    program_job_assignment = refuse_job;
  }
  if (GetEnvironmentVariableW(L"ONEFILE_TEST_ELEVATION_REQUIRED", value, 256) == 1 &&
      value[0] == L'1') {
    process_creation = require_elevation;
  }
  const DWORD length = GetEnvironmentVariableW(L"ONEFILE_TEST_RUNNER_CTRL_NAME", value, 256);
  if (length > 0 && length < 256 && (trigger = OpenEventW(SYNCHRONIZE, FALSE, value)) != nullptr) {
    wchar_t code[32];
    const DWORD code_length = GetEnvironmentVariableW(L"ONEFILE_TEST_RUNNER_CTRL_CODE", code, 32);
    control_code = code_length > 0 && code_length < 32 ? std::wcstoul(code, nullptr, 10) : 0;
    // The thread starts once the loader has finished with this DLL.
    CloseHandle(CreateThread(nullptr, 0, raise_on_request, nullptr, 0, nullptr));
  }
  return TRUE;
}
