// A demo main module: shows what the launcher hands to an application and returns the exit code
// that "--exit N" chooses.
#include <cstdlib>
#include <cwchar>
#include <string>

#include <windows.h>

namespace {

void print(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

void list_files(const std::wstring& directory, const std::wstring& prefix) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      list_files(directory + L"\\" + name, prefix + name + L"\\");
    } else {
      print(L"  " + prefix + name + L" (" + std::to_wstring(found.nFileSizeLow) + L" bytes)\n");
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argument_count, wchar_t** arguments,
                                               const wchar_t* main_module_path) {
  print(L"Hello from the demo application.\n");
  print(L"Arguments (" + std::to_wstring(argument_count) + L"):\n");
  int exit_code = 0;
  for (int i = 0; i < argument_count; ++i) {
    print(L"  [" + std::to_wstring(i) + L"] " + arguments[i] + L"\n");
    if (std::wcscmp(arguments[i], L"--exit") == 0 && i + 1 < argument_count) {
      exit_code = static_cast<int>(std::wcstol(arguments[i + 1], nullptr, 0));
    }
  }
  print(L"Main module: " + std::wstring(main_module_path) + L"\n");
  print(L"Launcher variables:\n");
  for (const wchar_t* name :
       {L"VESKAR_ONEFILE_PARENT", L"VESKAR_ONEFILE_START", L"VESKAR_ONEFILE_TIME_US",
        L"VESKAR_ONEFILE_RANDOM", L"VESKAR_ONEFILE_DIRECTORY", L"VESKAR_ORIGINAL_ARGV0"}) {
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    print(std::wstring(L"  ") + name + L"=" + (length > 0 ? value : L"(unset)") + L"\n");
  }
  std::wstring directory = main_module_path;
  directory.resize(directory.rfind(L'\\'));
  print(L"Files beside the main module:\n");
  list_files(directory, L"");
  print(L"Exit code: " + std::to_wstring(exit_code) + L"\n");
  return exit_code;
}
