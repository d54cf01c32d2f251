// A library planted beside a launcher under the name of a system library (version.dll,
// uxtheme.dll, ...): a process that loads it appends a line "<process id>|<its path>" to the file
// that ONEFILE_TEST_PLANTED_LOG names.
#include <windows.h>

#include <cstdio>
#include <cstring>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void*) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t log[4096];
  const DWORD length = GetEnvironmentVariableW(L"ONEFILE_TEST_PLANTED_LOG", log, 4096);
  if (length == 0 || length >= 4096) return TRUE;
  wchar_t path[4096];
  const DWORD path_length = GetModuleFileNameW(module, path, 4096);
  if (path_length == 0 || path_length >= 4096) return TRUE;
  char line[8192];
  std::snprintf(line, sizeof line, "%lu|%ls\n", GetCurrentProcessId(), path);
  HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
  CloseHandle(file);
  return TRUE;
}
