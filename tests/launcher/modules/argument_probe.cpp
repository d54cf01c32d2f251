// A plain program: records the arguments that its C runtime split from its command line, and its
// start-up state, in record_main's format, into the file that ONEFILE_TEST_RECORD names; exits
// with 7.
#include <string>
#include <utility>

#include <windows.h>

int wmain(int argument_count, wchar_t** arguments) {
  std::wstring record;
  for (int i = 0; i < argument_count; ++i) {
    record += std::wstring(L"arg") + L'\0' + arguments[i] + L'\0';
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  const std::pair<const wchar_t*, std::wstring> state[] = {
      {L"show", (startup.dwFlags & STARTF_USESHOWWINDOW) ? std::to_wstring(startup.wShowWindow)
                                                         : std::wstring(L"(not set)")},
      {L"flags", std::to_wstring(startup.dwFlags)},
      {L"title", startup.lpTitle != nullptr ? startup.lpTitle : L"(none)"},
      {L"window", std::to_wstring(startup.dwX) + L"," + std::to_wstring(startup.dwY) + L"," +
                      std::to_wstring(startup.dwXSize) + L"," + std::to_wstring(startup.dwYSize)}};
  for (const auto& [key, value] : state) record += key + (L'\0' + value) + L'\0';
  wchar_t path[32768];
  const DWORD length = GetEnvironmentVariableW(L"ONEFILE_TEST_RECORD", path, 32768);
  if (length == 0 || length >= 32768) return 1;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, record.data(), static_cast<DWORD>(record.size() * sizeof(wchar_t)), &written,
            nullptr);
  CloseHandle(file);
  return 7;
}
