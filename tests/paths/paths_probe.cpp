// Runs one paths operation that its first argument names and writes the outcome as UTF-8 on
// standard output; operations that end the run show it in the exit code.
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

#include <windows.h>

#include "launcher/state.h"
#include "paths/paths.h"
#include "tests/support/start_process.h"

namespace {

wchar_t buffer[wide_path_capacity];

void write(const wchar_t* text) {
  char narrow[4 * wide_path_capacity];
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
  DWORD written = 0;
  if (length > 1) WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), narrow, length - 1, &written, nullptr);
}

void write_line(const wchar_t* text) {
  write(text);
  write(L"\n");
}

std::size_t capacity_argument(int argc, wchar_t** argv, int index) {
  const std::size_t capacity = index < argc ? std::wcstoul(argv[index], nullptr, 10) : 0;
  return capacity == 0 || capacity > wide_path_capacity ? wide_path_capacity : capacity;
}

// Starts this program again with the given command line, whose first element is what the new
// process takes as its program name, and passes its exit code on.
int run_as(wchar_t* command_line) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  if (!create_process_retrying(self, command_line, TRUE, 0, nullptr, &startup, &info)) {
    return 102;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 103;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return static_cast<int>(code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 100;
  const std::wstring_view mode = argv[1];
  wchar_t* text = argc > 2 ? argv[2] : const_cast<wchar_t*>(L"");

  if (mode == L"as") return run_as(text);
  if (mode == L"expand") {
    const bool expanded = expand_path_spec(buffer, text, capacity_argument(argc, argv, 3));
    write(expanded ? L"1|" : L"0|");
    write_line(buffer);
    return 0;
  }
  if (mode == L"env-name") {
    // A name of the given length, made of letters.
    char name[128] = {};
    std::memset(name, 'A', std::min<std::size_t>(std::wcstoul(text, nullptr, 10), 127));
    set_env_var(name, L"x");
    return get_env_var(name) != nullptr ? 0 : 104;
  }
  if (mode == L"env-length") {
    char name[128] = {};
    WideCharToMultiByte(CP_ACP, 0, text, -1, name, sizeof name - 1, nullptr, nullptr);
    const wchar_t* value = get_env_var(name);
    write_line(value == nullptr ? L"none" : std::to_wstring(std::wcslen(value)).c_str());
    return 0;
  }
  if (mode == L"paths") {
    write_line(get_executable_path(executable_path_form::plain));
    write_line(get_executable_path(executable_path_form::resolved));
    return 0;
  }
  if (mode == L"cache") {
    // Moves its own file between two requests of each form: the second answers from the cache.
    wchar_t* plain = get_executable_path(executable_path_form::plain);
    wchar_t* resolved = get_executable_path(executable_path_form::resolved);
    wchar_t plain_before[executable_path_capacity];
    wchar_t resolved_before[executable_path_capacity];
    std::wcscpy(plain_before, plain);
    std::wcscpy(resolved_before, resolved);
    if (!MoveFileW(plain, text)) return 105;
    const bool same = get_executable_path(executable_path_form::plain) == plain &&
                      get_executable_path(executable_path_form::resolved) == resolved &&
                      std::wcscmp(plain, plain_before) == 0 &&
                      std::wcscmp(resolved, resolved_before) == 0;
    write_line(same ? L"same" : L"changed");
    return 0;
  }
  if (mode == L"resolve" || mode == L"shorten" || mode == L"copy") {
    const std::size_t capacity = capacity_argument(argc, argv, 3);
    if (mode == L"copy") {
      copy_bounded(buffer, text, capacity);
    } else {
      copy_bounded(buffer, text, wide_path_capacity);
      if (mode == L"resolve") resolve_final_path(buffer, capacity);
      if (mode == L"shorten") shorten_directory_part(buffer, capacity);
    }
    write_line(buffer);
    return 0;
  }
  if (mode == L"shell") {
    copy_bounded(buffer, argc > 3 ? argv[3] : L"", wide_path_capacity);
    const bool appended = append_shell_folder(buffer, std::wcstol(text, nullptr, 10),
                                              capacity_argument(argc, argv, 4));
    write(appended ? L"1|" : L"0|");
    write_line(buffer);
    return 0;
  }
  if (mode == L"absolute") {
    copy_bounded(target_directory, text, wide_path_capacity);
    make_target_directory_absolute(L"{SPEC}");
    write_line(target_directory);
    return 0;
  }
  return 101;
}
