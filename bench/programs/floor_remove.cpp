// Floor for the cleanup: removes a tree with a plain direct walk (FindFirstFileExW, DeleteFileW,
// RemoveDirectoryW) and prints the time it took.
//
//   floor_remove.exe DIRECTORY
#include <cstdio>
#include <string>

#include <windows.h>

namespace {

int removed = 0;

void remove_tree(const std::wstring& directory) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW((directory + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const wchar_t* name = found.cFileName;
      if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
      const std::wstring path = directory + L"\\" + name;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        remove_tree(path);
      } else if (DeleteFileW(path.c_str())) {
        ++removed;
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(directory.c_str());
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
