// A main module for the reliability tests, small so that it fits under a file size limit.
// Driven by the environment:
//   ONEFILE_TEST_READY      file that receives "<process id>|<target directory>" once run_code runs
//   ONEFILE_TEST_GO         file to wait for before going on (at most two minutes)
//   ONEFILE_TEST_SLEEP_MS   pause before returning
//   ONEFILE_TEST_MEMORY     file that receives the parent's peak memory figures at the end
//   ONEFILE_TEST_EVENTS     file that receives a line for every console control event that reaches
//                           the child (which then goes on to the default handling)
//   ONEFILE_TEST_GRANDCHILD command line of a process to start and leave running, holding the
//                           payload's held.txt open as its standard input
//   ONEFILE_TEST_LIST       file that receives, as run_code begins, a line "name|size|hash" for
//                           every file below the target directory (hash: FNV-1a of its bytes)
//   ONEFILE_TEST_LOAD       libraries to load by bare name, separated by ';'; for each, a line
//                           "name|path" (the path the loader chose, or "-" for none) goes to the
//                           file that ONEFILE_TEST_LOADED names
//   ONEFILE_TEST_SAY        text to write to standard output
//   ONEFILE_TEST_EXIT       exit code (default 0)
#include <windows.h>

#include "tests/support/start_process.h"
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

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

wchar_t events_path[4096];

BOOL WINAPI note_event(DWORD code) {
  char line[64];
  std::snprintf(line, sizeof line, "event %lu\n", code);
  HANDLE file = CreateFileW(events_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
  CloseHandle(file);
  return FALSE;
}

char list_text[1 << 20];
std::size_t list_length;

// Appends a line for every file below directory (names relative to root_length units in).
void list_files(const wchar_t* directory, std::size_t root_length) {
  wchar_t pattern[4096];
  std::swprintf(pattern, 4096, L"%ls\\*", directory);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const wchar_t* name = found.cFileName;
    if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
    wchar_t path[4096];
    std::swprintf(path, 4096, L"%ls\\%ls", directory, name);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      list_files(path, root_length);
      continue;
    }
    unsigned long long size = 0;
    unsigned long long hash = 14695981039346656037ull;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    static unsigned char bytes[65536];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, bytes, sizeof bytes, &got, nullptr) &&
           got > 0) {
      for (DWORD i = 0; i < got; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
      size += got;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    const int length = std::snprintf(list_text + list_length, sizeof list_text - list_length,
                                     "%ls|%llu|%016llx\n", path + root_length, size, hash);
    if (length > 0) list_length += static_cast<std::size_t>(length);
    if (list_length >= sizeof list_text) list_length = sizeof list_text - 1;
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t* main_module_path) {
  wchar_t value[4096];
  static char text[16384];
  if (environment(L"ONEFILE_TEST_LIST", value, 4096)) {
    wchar_t directory[4096];
    std::wcsncpy(directory, main_module_path, 4095);
    directory[4095] = L'\0';
    if (wchar_t* last = std::wcsrchr(directory, L'\\')) *last = L'\0';
    list_files(directory, std::wcslen(directory) + 1);
    publish(value, list_text);
  }
  if (environment(L"ONEFILE_TEST_LOAD", value, 4096)) {
    wchar_t loaded_path[4096];
    std::size_t length = 0;
    for (wchar_t* name = value; *name != L'\0';) {
      wchar_t* end = std::wcschr(name, L';');
      if (end != nullptr) *end = L'\0';
      HMODULE library = LoadLibraryW(name);
      if (library == nullptr || GetModuleFileNameW(library, loaded_path, 4096) == 0) {
        std::wcscpy(loaded_path, L"-");
      }
      const int added =
          std::snprintf(text + length, sizeof text - length, "%ls|%ls\n", name, loaded_path);
      if (added > 0) length = std::min(sizeof text - 1, length + static_cast<std::size_t>(added));
      name = end != nullptr ? end + 1 : name + std::wcslen(name);
    }
    if (environment(L"ONEFILE_TEST_LOADED", loaded_path, 4096)) publish(loaded_path, text);
  }
  if (environment(L"ONEFILE_TEST_EVENTS", events_path, 4096))
    SetConsoleCtrlHandler(note_event, TRUE);
  if (environment(L"ONEFILE_TEST_READY", value, 4096)) {
    wchar_t directory[4096];
    std::wcsncpy(directory, main_module_path, 4095);
    directory[4095] = L'\0';
    if (wchar_t* last = std::wcsrchr(directory, L'\\')) *last = L'\0';
    std::snprintf(text, sizeof text, "%lu|%ls", GetCurrentProcessId(), directory);
    publish(value, text);
  }
  if (environment(L"ONEFILE_TEST_GRANDCHILD", value, 4096)) {
    wchar_t directory[4096];
    std::wcsncpy(directory, main_module_path, 4095);
    directory[4095] = L'\0';
    if (wchar_t* last = std::wcsrchr(directory, L'\\')) *last = L'\0';
    wchar_t held_path[4096];
    std::swprintf(held_path, 4096, L"%ls\\held.txt", directory);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE held = CreateFileW(held_path, GENERIC_READ, FILE_SHARE_READ, &inheritable, OPEN_EXISTING,
                              0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = held;
    PROCESS_INFORMATION info{};
    if (create_process_retrying(nullptr, value, TRUE, CREATE_NO_WINDOW, nullptr, &startup, &info)) {
      CloseHandle(info.hThread);
      CloseHandle(info.hProcess);
    }
    CloseHandle(held);
  }
  if (environment(L"ONEFILE_TEST_GO", value, 4096)) {
    for (int i = 0; i < 12000 && GetFileAttributesW(value) == INVALID_FILE_ATTRIBUTES; ++i) {
      Sleep(10);
    }
  }
  if (environment(L"ONEFILE_TEST_SLEEP_MS", value, 4096)) Sleep(std::wcstoul(value, nullptr, 10));
  if (environment(L"ONEFILE_TEST_MEMORY", value, 4096)) {
    wchar_t parent_id[64];
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (environment(L"VESKAR_ONEFILE_PARENT", parent_id, 64)) {
      HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                  std::wcstoul(parent_id, nullptr, 10));
      if (parent != nullptr) {
        GetProcessMemoryInfo(parent, &counters, sizeof counters);
        CloseHandle(parent);
      }
    }
    std::snprintf(text, sizeof text, "%llu|%llu",
                  static_cast<unsigned long long>(counters.PeakWorkingSetSize),
                  static_cast<unsigned long long>(counters.PeakPagefileUsage));
    publish(value, text);
  }
  if (environment(L"ONEFILE_TEST_SAY", value, 4096)) {
    std::snprintf(text, sizeof text, "%ls", value);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)),
              &written, nullptr);
  }
  return environment(L"ONEFILE_TEST_EXIT", value, 4096)
             ? static_cast<int>(std::wcstol(value, nullptr, 0))
             : 0;
}
