// Floor for unpacking: writes a decompressed entry list, held in memory, into a directory with
// the launcher's calls and nothing more: each directory created once (cached), CreateFileW,
// WriteFile in 32 KiB chunks straight from memory, CloseHandle. Prints the time of the writing
// alone (the list is read before the clock starts). Another chunk size (in bytes) shows what the
// launcher's fixed 32 KiB chunk costs.
//
//   floor_write.exe ENTRY_LIST TARGET_DIRECTORY [CHUNK_SIZE]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <unordered_set>

#include <windows.h>

#include "floors.h"

namespace {}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 && argc != 4) {
    std::fputs("usage: floor_write ENTRY_LIST TARGET_DIRECTORY [CHUNK_SIZE]\n", stderr);
    return 2;
  }
  const DWORD chunk_size =
      argc == 4 ? static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)) : 32768;
  if (chunk_size == 0) return 2;
  unsigned char* list = nullptr;
  unsigned long long list_size = 0;
  if (!read_whole_file(argv[1], &list, &list_size)) {
    std::fputs("floor_write: cannot read the entry list\n", stderr);
    return 1;
  }
  const std::wstring root = argv[2];

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);

  std::unordered_set<std::wstring> made;
  std::wstring last_directory;
  std::wstring path;
  unsigned long long position = 0;
  int files = 0;
  for (;;) {
    const auto* name = reinterpret_cast<const wchar_t*>(list + position);
    const std::size_t name_length = std::wcslen(name);
    position += (name_length + 1) * sizeof(wchar_t);
    if (name_length == 0) break;
    unsigned long long size = 0;
    std::memcpy(&size, list + position, sizeof size);
    position += sizeof size;

    path.assign(root).append(L"\\").append(name, name_length);
    const std::size_t directory_end = path.rfind(L'\\');
    if (path.compare(0, directory_end, last_directory) != 0 ||
        last_directory.size() != directory_end) {
      last_directory.assign(path, 0, directory_end);
      // Every level from the root down, each created once.
      for (std::size_t end_of_level = root.size(); end_of_level <= directory_end;) {
        std::wstring level(path, 0, end_of_level);
        if (made.insert(level).second) CreateDirectoryW(level.c_str(), nullptr);
        if (end_of_level == directory_end) break;
        end_of_level = path.find(L'\\', end_of_level + 1);
      }
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "floor_write: cannot create %ls\n", path.c_str());
      return 1;
    }
    for (unsigned long long left = size; left > 0;) {
      const DWORD chunk = left < chunk_size ? static_cast<DWORD>(left) : chunk_size;
      DWORD written = 0;
      if (!WriteFile(file, list + position, chunk, &written, nullptr)) return 1;
      position += chunk;
      left -= chunk;
    }
    CloseHandle(file);
    ++files;
  }
  QueryPerformanceCounter(&end);
  std::printf("write=%.6f files=%d directories=%zu\n",
              static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart, files,
              made.size());
  return 0;
}
