// Floor for the removal on several threads: one thread walks the tree (FindFirstFileExW) and
// hands each file to N threads that delete it (DeleteFileW); each directory is removed
// (RemoveDirectoryW) once the files in it are gone. Prints the time it took.
//
//   floor_remove_threads.exe DIRECTORY THREADS
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

#include "floors.h"

namespace {

SRWLOCK lock = SRWLOCK_INIT;
CONDITION_VARIABLE queued = CONDITION_VARIABLE_INIT;
CONDITION_VARIABLE drained = CONDITION_VARIABLE_INIT;
std::vector<std::wstring> files;  // handed out in order
std::size_t next_file = 0;
std::size_t deleted_files = 0;
bool closing = false;
std::atomic<int> removed{0};

DWORD WINAPI delete_files(void*) {
  AcquireSRWLockExclusive(&lock);
  for (;;) {
    while (next_file == files.size() && !closing)
      SleepConditionVariableSRW(&queued, &lock, INFINITE, 0);
    if (next_file == files.size()) break;
    const std::wstring path = files[next_file++];
    ReleaseSRWLockExclusive(&lock);
    if (DeleteFileW(path.c_str())) ++removed;
    AcquireSRWLockExclusive(&lock);
    if (++deleted_files == files.size()) WakeConditionVariable(&drained);
  }
  ReleaseSRWLockExclusive(&lock);
  return 0;
}

void remove_tree(const std::wstring& directory) {
  remove_tree_with(
      directory,
      [](const std::wstring& path) {
        AcquireSRWLockExclusive(&lock);
        files.push_back(path);
        WakeConditionVariable(&queued);
        ReleaseSRWLockExclusive(&lock);
      },
      [] {
        // The directory's files first.
        AcquireSRWLockExclusive(&lock);
        while (deleted_files < files.size())
          SleepConditionVariableSRW(&drained, &lock, INFINITE, 0);
        ReleaseSRWLockExclusive(&lock);
      });
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: floor_remove_threads DIRECTORY THREADS\n", stderr);
    return 2;
  }
  const int thread_count = static_cast<int>(std::wcstol(argv[2], nullptr, 10));
  if (thread_count < 1 || thread_count > 64) return 2;
  files.reserve(1 << 16);
  std::vector<HANDLE> threads;
  for (int i = 0; i < thread_count; ++i) {
    threads.push_back(CreateThread(nullptr, 0, delete_files, nullptr, 0, nullptr));
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  remove_tree(argv[1]);
  QueryPerformanceCounter(&end);
  AcquireSRWLockExclusive(&lock);
  closing = true;
  WakeAllConditionVariable(&queued);
  ReleaseSRWLockExclusive(&lock);
  WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
  const bool gone = GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES;
  std::printf("remove=%.6f files=%d gone=%d threads=%d\n",
              static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart,
              removed.load(), gone ? 1 : 0, thread_count);
  return gone ? 0 : 1;
}
