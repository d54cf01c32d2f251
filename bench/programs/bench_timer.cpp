// The benchmark's timing harness, on the Windows side so that the figures hold no start-up of
// Wine's loader from the Linux side: starts a command line, waits for the process to end, and
// prints the performance counter at the start and at the end and the exit code. With --memory it
// also samples the process's memory counters every millisecond while waiting (its peak working
// set and peak private bytes; the sampling costs time, so timing runs go without it).
//
//   bench_timer.exe [--memory] -- COMMAND LINE
// The child's standard output and error go to the harness's standard error.
#include <cstdio>
#include <cwchar>

#include <windows.h>
#include <psapi.h>

int wmain() {
  const wchar_t* line = GetCommandLineW();
  const wchar_t* separator = std::wcsstr(line, L" -- ");
  if (separator == nullptr) {
    std::fputs("usage: bench_timer [--memory] -- COMMAND LINE\n", stderr);
    return 2;
  }
  const bool sample_memory =
      std::wcsstr(line, L" --memory ") != nullptr && std::wcsstr(line, L" --memory ") < separator;
  static wchar_t command[32768];
  std::wcsncpy(command, separator + 4, 32767);

  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inheritable, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  PROCESS_INFORMATION child{};
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                      nullptr, &startup, &child)) {
    std::fprintf(stderr, "bench_timer: cannot start (%lu): %ls\n", GetLastError(), command);
    return 1;
  }
  unsigned long long peak_working_set = 0, peak_private = 0;
  if (sample_memory) {
    while (WaitForSingleObject(child.hProcess, 1) == WAIT_TIMEOUT) {
      PROCESS_MEMORY_COUNTERS memory{};
      memory.cb = sizeof memory;
      if (K32GetProcessMemoryInfo(child.hProcess, &memory, sizeof memory)) {
        if (memory.PeakWorkingSetSize > peak_working_set)
          peak_working_set = memory.PeakWorkingSetSize;
        if (memory.PeakPagefileUsage > peak_private) peak_private = memory.PeakPagefileUsage;
      }
    }
  } else {
    WaitForSingleObject(child.hProcess, INFINITE);
  }
  QueryPerformanceCounter(&end);
  DWORD exit_code = 0;
  GetExitCodeProcess(child.hProcess, &exit_code);
  std::printf("start=%lld end=%lld frequency=%lld exit=%lu", static_cast<long long>(start.QuadPart),
              static_cast<long long>(end.QuadPart), static_cast<long long>(frequency.QuadPart),
              exit_code);
  if (sample_memory) std::printf(" peak_ws=%llu peak_pf=%llu", peak_working_set, peak_private);
  std::printf("\n");
  return 0;
}
