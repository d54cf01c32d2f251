// A main module for tests: records what the launcher handed it into the file that
// ONEFILE_TEST_RECORD names, optionally starts the launcher's executable again, and returns the
// exit code that ONEFILE_TEST_EXIT chooses.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <windows.h>

#include "tests/support/start_process.h"
#include <tlhelp32.h>

namespace {

std::wstring record;

void add(const std::wstring& key, const std::wstring& value) {
  record += key;
  record.push_back(L'\0');
  record += value;
  record.push_back(L'\0');
}

std::wstring environment(const wchar_t* name) {
  static wchar_t value[32768];
  const DWORD length = GetEnvironmentVariableW(name, value, 32768);
  return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring(L"(unset)");
}

// FNV-1a over the file's bytes.
std::uint64_t hash_file(const std::wstring& path, std::uint64_t* size) {
  std::uint64_t hash = 14695981039346656037ull;
  *size = 0;
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  static unsigned char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) hash = (hash ^ buffer[i]) * 1099511628211ull;
    *size += got;
  }
  CloseHandle(file);
  return hash;
}

void record_files(const std::wstring& directory, const std::wstring& prefix) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      record_files(directory + L"\\" + name, prefix + name + L"\\");
    } else {
      std::uint64_t size = 0;
      const std::uint64_t hash = hash_file(directory + L"\\" + name, &size);
      add(L"file", prefix + name + L"|" + std::to_wstring(size) + L"|" + std::to_wstring(hash));
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

DWORD parent_process_id(DWORD process_id) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  DWORD parent = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == process_id) parent = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  return parent;
}

// Starts the launcher's executable again from the application; with_values false leaves out the
// time and random values that name the parent's directory, as a careless program might.
DWORD start_again(const std::wstring& record_path, bool with_values) {
  wchar_t executable[32768];
  GetModuleFileNameW(nullptr, executable, 32768);
  SetEnvironmentVariableW(L"ONEFILE_TEST_SPAWN", nullptr);
  if (!with_values) {
    for (const wchar_t* name :
         {L"VESKAR_ONEFILE_START", L"VESKAR_ONEFILE_TIME_US", L"VESKAR_ONEFILE_RANDOM"}) {
      SetEnvironmentVariableW(name, nullptr);
    }
  }
  SetEnvironmentVariableW(L"ONEFILE_TEST_RECORD", record_path.c_str());
  std::wstring line = L"\"" + std::wstring(executable) + L"\" nested";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!create_process_retrying(executable, line.data(), FALSE, 0, nullptr, &startup, &info)) {
    return 0xFFFFFFFF;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return code;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argument_count, wchar_t** arguments,
                                              const wchar_t* main_module_path) {
  const std::wstring record_path = environment(L"ONEFILE_TEST_RECORD");
  add(L"argc", std::to_wstring(argument_count));
  for (int i = 0; i < argument_count; ++i) add(L"arg", arguments[i]);
  add(L"main_module_path", main_module_path);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  add(L"show", (startup.dwFlags & STARTF_USESHOWWINDOW) ? std::to_wstring(startup.wShowWindow)
                                                        : std::wstring(L"(not set)"));
  add(L"flags", std::to_wstring(startup.dwFlags));
  add(L"title", startup.lpTitle != nullptr ? startup.lpTitle : L"(none)");
  add(L"window", std::to_wstring(startup.dwX) + L"," + std::to_wstring(startup.dwY) + L"," +
                     std::to_wstring(startup.dwXSize) + L"," + std::to_wstring(startup.dwYSize));
  // A handle of the test's that must not reach the application: an event the test has set.
  const std::wstring handle_value = environment(L"ONEFILE_TEST_INHERITABLE");
  if (handle_value != L"(unset)") {
    HANDLE handle = reinterpret_cast<HANDLE>(std::wcstoull(handle_value.c_str(), nullptr, 10));
    add(L"inherited_event", WaitForSingleObject(handle, 0) == WAIT_OBJECT_0 ? L"signalled" : L"no");
  }
  wchar_t executable[32768];
  GetModuleFileNameW(nullptr, executable, 32768);
  add(L"executable", executable);
  const DWORD own_id = GetCurrentProcessId();
  const DWORD parent_id = parent_process_id(own_id);
  add(L"pid", std::to_wstring(own_id));
  add(L"parent_pid", std::to_wstring(parent_id));
  add(L"grandparent_pid", std::to_wstring(parent_process_id(parent_id)));
  for (const wchar_t* name :
       {L"VESKAR_ONEFILE_PARENT", L"VESKAR_ONEFILE_START", L"VESKAR_ONEFILE_TIME_US",
        L"VESKAR_ONEFILE_RANDOM", L"VESKAR_ONEFILE_DIRECTORY", L"VESKAR_ORIGINAL_ARGV0"}) {
    add(name, environment(name));
  }
  std::wstring directory = main_module_path;
  directory.resize(directory.rfind(L'\\'));
  record_files(directory, L"");
  const std::wstring spawn = environment(L"ONEFILE_TEST_SPAWN");
  if (spawn == L"1" || spawn == L"without values") {
    add(L"nested_exit", std::to_wstring(start_again(record_path + L".nested", spawn == L"1")));
  }

  HANDLE file =
      CreateFileW(record_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, record.data(), static_cast<DWORD>(record.size() * sizeof(wchar_t)), &written,
            nullptr);
  CloseHandle(file);

  const std::wstring exit_text = environment(L"ONEFILE_TEST_EXIT");
  return exit_text == L"(unset)" ? 0
                                 : static_cast<int>(std::wcstoll(exit_text.c_str(), nullptr, 0));
}
