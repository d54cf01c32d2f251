// A child for the cleanup tests: sleeps for its first argument's milliseconds, then exits with
// its second argument as exit code.
#include <cwchar>

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 100;
  Sleep(static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 0)));
  return static_cast<int>(std::wcstoul(argv[2], nullptr, 0));
}
