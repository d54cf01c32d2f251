// Floor for the cleanup: removes a tree with a plain direct walk (FindFirstFileExW, DeleteFileW,
// RemoveDirectoryW) and prints the time it took.
//
//   floor_remove.exe DIRECTORY
#include <cstdio>
#include <string>

#include <windows.h>

#include "floors.h"

namespace {

int removed = 0;

void remove_tree(const std::wstring& directory) {
  remove_tree_with(
      directory, [](const std::wstring& path) { removed += DeleteFileW(path.c_str()) ? 1 : 0; },
      [] {});
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: floor_remove DIRECTORY\n", stderr);
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  remove_tree(argv[1]);
  QueryPerformanceCounter(&end);
  const bool gone = GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES;
  std::printf("remove=%.6f files=%d gone=%d\n",
              static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart, removed,
              gone ? 1 : 0);
  return gone ? 0 : 1;
}
