// The program of the test launchers that run one (--run). Driven by the environment:
//   ONEFILE_TEST_READY  receives "<process id>|<its own directory>" once it runs
//   ONEFILE_TEST_START  receives "<inside>|<outside>|<left>": the ids of processes it starts and
//                       leaves running (0: not started), a copy of itself from its own directory
//                       and ONEFILE_TEST_OUTSIDE twice, the second time leaving the job
//   ONEFILE_TEST_CTRL   receives "event <code>" from its Ctrl+C handler, half a second in; then it
//                       ends with its exit code, or goes on with ONEFILE_TEST_CTRL_GOES_ON=1
//   ONEFILE_TEST_GO     file to wait for (at most two minutes) before it ends
//   ONEFILE_TEST_EXIT   exit code (default 0)
// Started as "run_program sleep N", it sleeps N milliseconds.
#include <cstdio>
#include <cstring>
#include <cwchar>

#include <windows.h>

#include "tests/support/start_process.h"

namespace {

wchar_t value[4096];

const wchar_t* environment(const wchar_t* name) {
  const DWORD length = GetEnvironmentVariableW(name, value, 4096);
  return length > 0 && length < 4096 ? value : nullptr;
}

// Written under another name and moved into place, so that a reader never sees half of it.
void publish(const wchar_t* name, const char* text) {
  if (environment(name) == nullptr) return;
  wchar_t part[4200];
  std::swprintf(part, 4200, L"%ls.part", value);
  HANDLE file = CreateFileW(part, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  CloseHandle(file);
  MoveFileExW(part, value, MOVEFILE_REPLACE_EXISTING);
}

UINT exit_code() {
  return environment(L"ONEFILE_TEST_EXIT") ? std::wcstoul(value, nullptr, 0) : 0;
}

BOOL WINAPI handle_control(DWORD code) {
  Sleep(500);  // long enough for a default handling anywhere on the console to end the run
  char text[32];
  std::snprintf(text, sizeof text, "event %lu", code);
  publish(L"ONEFILE_TEST_CTRL", text);
  if (environment(L"ONEFILE_TEST_CTRL_GOES_ON")) return TRUE;
  ExitProcess(exit_code());
}

DWORD start(const wchar_t* program, DWORD flags) {
  wchar_t line[8192];
  std::swprintf(line, 8192, L"\"%ls\" sleep 60000", program);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!create_process_retrying(program, line, FALSE, flags, nullptr, &startup, &info)) {
    return 0;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return info.dwProcessId;
}

}  // namespace

int wmain(int argument_count, wchar_t** arguments) {
  if (argument_count == 3 && std::wcscmp(arguments[1], L"sleep") == 0) {
    Sleep(std::wcstoul(arguments[2], nullptr, 10));
    return 0;
  }
  if (environment(L"ONEFILE_TEST_CTRL")) SetConsoleCtrlHandler(handle_control, TRUE);
  wchar_t own_path[4096];
  GetModuleFileNameW(nullptr, own_path, 4096);
  char text[8192];
  if (environment(L"ONEFILE_TEST_OUTSIDE")) {
    wchar_t outside[4096];
    std::wcscpy(outside, value);
    std::snprintf(text, sizeof text, "%lu|%lu|%lu", start(own_path, 0), start(outside, 0),
                  start(outside, CREATE_BREAKAWAY_FROM_JOB));
    publish(L"ONEFILE_TEST_START", text);
  }
  *std::wcsrchr(own_path, L'\\') = L'\0';
  std::snprintf(text, sizeof text, "%lu|%ls", GetCurrentProcessId(), own_path);
  publish(L"ONEFILE_TEST_READY", text);
  wchar_t go[4096];
  if (environment(L"ONEFILE_TEST_GO")) {
    std::wcscpy(go, value);
    for (int i = 0; i < 12000 && GetFileAttributesW(go) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
  }
  return static_cast<int>(exit_code());
}
