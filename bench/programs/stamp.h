// The time stamp that the benchmark's main module and bare process leave for the harness: the
// performance counter and the system time when the stamp was taken, the process's creation time,
// and its peak memory so far. Written to the file that ONEFILE_BENCH_STAMP names, if set.
#pragma once

#include <cstdio>

#include <windows.h>
#include <psapi.h>

inline void write_bench_stamp() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);

  wchar_t path[1024];
  const DWORD length = GetEnvironmentVariableW(L"ONEFILE_BENCH_STAMP", path, 1024);
  if (length == 0 || length >= 1024) return;

  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);

  const auto ticks = [](const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  char text[256];
  const int size =
      std::snprintf(text, sizeof text, "qpc=%lld now=%llu created=%llu peak_ws=%llu peak_pf=%llu\n",
                    static_cast<long long>(counter.QuadPart), ticks(now), ticks(created),
                    static_cast<unsigned long long>(memory.PeakWorkingSetSize),
                    static_cast<unsigned long long>(memory.PeakPagefileUsage));
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(size), &written, nullptr);
  CloseHandle(file);
}
