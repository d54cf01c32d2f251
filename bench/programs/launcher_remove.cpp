// The launcher's own removal walk, alone: removes a tree with the cleanup's direct walk (every
// entry opened without following links and its name checked before it is deleted), with as many
// threads deleting files beside it as given (none by default), and prints the time it took.
//
//   launcher_remove.exe DIRECTORY [HELPERS]
#include <cstdio>
#include <cwchar>

#include <windows.h>

#include "cleanup/cleanup.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 3) {
    std::fputs("usage: launcher_remove DIRECTORY [HELPERS]\n", stderr);
    return 2;
  }
  const int helpers = argc == 3 ? static_cast<int>(std::wcstol(argv[2], nullptr, 10)) : 0;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const bool contained = remove_tree_directly(argv[1], nullptr, helpers);
  QueryPerformanceCounter(&end);
  const bool gone = GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES;
  std::printf("remove=%.6f contained=%d gone=%d\n",
              static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart,
              contained ? 1 : 0, gone ? 1 : 0);
  return gone ? 0 : 1;
}
