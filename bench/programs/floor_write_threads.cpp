// Floor for unpacking on several threads: writes a decompressed entry list, held in memory, into
// a directory with the launcher's calls and nothing more, on N writer threads that take whole
// files from the one list in its order. The directories are made first, each once; then the
// threads write each file with CreateFileW, WriteFile in 32 KiB chunks straight from memory and
// CloseHandle. Prints the time of the writing alone (the list is read and parsed, and the threads
// started, before the clock starts).
//
//   floor_write_threads.exe ENTRY_LIST TARGET_DIRECTORY THREADS
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <unordered_set>
#include <vector>

#include <windows.h>

#include "floors.h"

namespace {

constexpr DWORD chunk_size = 32768;

struct entry {
  std::wstring path;
  const unsigned char* data;
  unsigned long long size;
};

std::vector<entry> entries;
std::atomic<std::size_t> next_entry{0};
std::atomic<bool> failed{false};
HANDLE go;

DWORD WINAPI write_files(void*) {
  WaitForSingleObject(go, INFINITE);
  for (;;) {
    const std::size_t index = next_entry.fetch_add(1);
    if (index >= entries.size()) return 0;
    const entry& e = entries[index];
    HANDLE file = CreateFileW(e.path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "floor_write_threads: cannot create %ls\n", e.path.c_str());
      failed = true;
      return 1;
    }
    const unsigned char* bytes = e.data;
    for (unsigned long long left = e.size; left > 0;) {
      const DWORD chunk = left < chunk_size ? static_cast<DWORD>(left) : chunk_size;
      DWORD written = 0;
      if (!WriteFile(file, bytes, chunk, &written, nullptr)) failed = true;
      bytes += chunk;
      left -= chunk;
    }
    CloseHandle(file);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fputs("usage: floor_write_threads ENTRY_LIST TARGET_DIRECTORY THREADS\n", stderr);
    return 2;
  }
  const int thread_count = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
  if (thread_count < 1 || thread_count > 64) return 2;
  unsigned char* list = nullptr;
  unsigned long long list_size = 0;
  if (!read_whole_file(argv[1], &list, &list_size)) {
    std::fputs("floor_write_threads: cannot read the entry list\n", stderr);
    return 1;
  }
  const std::wstring root = argv[2];
  for (unsigned long long position = 0;;) {
    const auto* name = reinterpret_cast<const wchar_t*>(list + position);
    const std::size_t name_length = std::wcslen(name);
    position += (name_length + 1) * sizeof(wchar_t);
    if (name_length == 0) break;
    unsigned long long size = 0;
    std::memcpy(&size, list + position, sizeof size);
    position += sizeof size;
    entries.push_back({root + L"\\" + std::wstring(name, name_length), list + position, size});
    position += size;
  }
  go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<HANDLE> threads;
  for (int i = 0; i < thread_count; ++i) {
    threads.push_back(CreateThread(nullptr, 0, write_files, nullptr, 0, nullptr));
  }

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  // Every level from the root down, each created once, before any file.
  std::unordered_set<std::wstring> made;
  for (const entry& e : entries) {
    const std::size_t directory_end = e.path.rfind(L'\\');
    for (std::size_t end_of_level = root.size(); end_of_level <= directory_end;) {
      std::wstring level(e.path, 0, end_of_level);
      if (made.insert(level).second) CreateDirectoryW(level.c_str(), nullptr);
      if (end_of_level == directory_end) break;
      end_of_level = e.path.find(L'\\', end_of_level + 1);
    }
  }
  SetEvent(go);
  WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
  QueryPerformanceCounter(&end);
  if (failed) return 1;
  std::printf("write=%.6f files=%zu directories=%zu threads=%d\n",
              static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart,
              entries.size(), made.size(), thread_count);
  return 0;
}
