// A console program for the stock runner's tests: the program of the --run launchers. Driven by
// the environment:
//   ONEFILE_TEST_READY    file that receives "<process id>|<its own directory>" once it runs
//   ONEFILE_TEST_START    file that receives "<inside>|<outside>|<breakaway>", the ids of three
//                         processes it starts and leaves running (0: not started): a copy of itself
//                         from its own directory, and ONEFILE_TEST_OUTSIDE twice, the second time
//                         with CREATE_BREAKAWAY_FROM_JOB
//   ONEFILE_TEST_CTRL     file that its Ctrl+C and Ctrl+Break handler writes half a second into its
//                         run ("event <code>"); the program then ends with its exit code, or goes
//                         on with ONEFILE_TEST_CTRL_GOES_ON=1
//   ONEFILE_TEST_GO       file to wait for (at most two minutes) before it ends
//   ONEFILE_TEST_EXIT     exit code (default 0)
// Started as "run_program sleep N", it sleeps N milliseconds.
#include <cstdio>
#include <cstring>
#include <cwchar>

#include <windows.h>

namespace {

bool environment(const wchar_t* name, wchar_t* value, DWORD capacity) {
  const DWORD length = GetEnvironmentVariableW(name, value, capacity);
  return length > 0 && length < capacity;
}

// Written under another name and moved into place, so that a reader never sees half of it.
void publish(const wchar_t* path, const char* text) {
  wchar_t part[4096];
  std::swprintf(part, 4096, L"%ls.part", path);
  HANDLE file = CreateFileW(part, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  CloseHandle(file);
  MoveFileExW(part, path, MOVEFILE_REPLACE_EXISTING);
}

int exit_code() {
  wchar_t value[32];
  return environment(L"ONEFILE_TEST_EXIT", value, 32) ? std::wcstol(value, nullptr, 0) : 0;
}

wchar_t control_path[4096];
bool goes_on_after_control;

BOOL WINAPI handle_control(DWORD code) {
  // Long enough for a default handling anywhere else on the console to have ended the run.
  Sleep(500);
  char text[32];
  std::snprintf(text, sizeof text, "event %lu", code);
  publish(control_path, text);
  if (goes_on_after_control) return TRUE;
  ExitProcess(static_cast<UINT>(exit_code()));
}

DWORD start(const wchar_t* program, const wchar_t* arguments, DWORD flags) {
  wchar_t line[8192];
  std::swprintf(line, 8192, L"\"%ls\" %ls", program, arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program, line, nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                      &info)) {
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
  wchar_t own_path[4096];
  GetModuleFileNameW(nullptr, own_path, 4096);
  wchar_t value[4096];
  char text[8192];
  wchar_t go[4096];
  const bool waits = environment(L"ONEFILE_TEST_GO", go, 4096);
  if (environment(L"ONEFILE_TEST_CTRL", control_path, 4096)) {
    goes_on_after_control = environment(L"ONEFILE_TEST_CTRL_GOES_ON", value, 4096);
    SetConsoleCtrlHandler(handle_control, TRUE);
  }
  if (environment(L"ONEFILE_TEST_START", value, 4096)) {
    wchar_t outside[4096] = L"";
    environment(L"ONEFILE_TEST_OUTSIDE", outside, 4096);
    const DWORD inside = start(own_path, L"sleep 60000", 0);
    const DWORD left = start(outside, L"60000 0", 0);
    const DWORD broke_away = start(outside, L"60000 0", CREATE_BREAKAWAY_FROM_JOB);
    std::snprintf(text, sizeof text, "%lu|%lu|%lu", inside, left, broke_away);
    publish(value, text);
  }
  if (environment(L"ONEFILE_TEST_READY", value, 4096)) {
    wchar_t directory[4096];
    std::wcscpy(directory, own_path);
    if (wchar_t* last = std::wcsrchr(directory, L'\\')) *last = L'\0';
    std::snprintf(text, sizeof text, "%lu|%ls", GetCurrentProcessId(), directory);
    publish(value, text);
  }
  if (waits) {
    for (int i = 0; i < 12000 && GetFileAttributesW(go) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
  }
  return exit_code();
}
