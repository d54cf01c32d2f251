// The steps of a minimal launch one by one, in a fresh graphical process, each timed with the
// performance counter: the random name's bytes (rand_s, which loads advapi32), the directory, the
// mark, one small file, a job that ends its processes when closed, a suspended child's creation,
// its assignment to the job, its run to exit, the removal of both files and the directory, and
// the job's close. Prints the microseconds of each on one line; bench/results/small_launch.md has
// the figures.
// rand_s, as the launcher takes its random bytes.
#define _CRT_RAND_S
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include <windows.h>

namespace {

LARGE_INTEGER frequency, last;

double lap_us() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const double us = static_cast<double>(now.QuadPart - last.QuadPart) * 1e6 /
                    static_cast<double>(frequency.QuadPart);
  last = now;
  return us;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int) {
  if (std::wcsstr(command_line, L"--child") != nullptr) return 0;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&last);
  double laps[10];
  int count = 0;
  unsigned int random = 0;
  if (rand_s(&random) != 0) return 3;
  laps[count++] = lap_us();
  wchar_t directory[MAX_PATH + 64];
  const DWORD temp_length = GetTempPathW(MAX_PATH, directory);
  if (temp_length == 0 || temp_length >= MAX_PATH) return 3;
  std::swprintf(directory + temp_length, 64, L"onefile_steps_%lu_%u", GetCurrentProcessId(),
                random);
  if (!CreateDirectoryW(directory, nullptr)) return 4;
  laps[count++] = lap_us();
  wchar_t mark[MAX_PATH + 96], file[MAX_PATH + 96];
  std::swprintf(mark, MAX_PATH + 96, L"%ls\\onefile.lock", directory);
  std::swprintf(file, MAX_PATH + 96, L"%ls\\main.dll", directory);
  DWORD written = 0;
  HANDLE handle =
      CreateFileW(mark, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE || !WriteFile(handle, "mark\r\n", 6, &written, nullptr))
    return 4;
  CloseHandle(handle);
  laps[count++] = lap_us();
  static char bytes[4096];
  handle = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE ||
      !WriteFile(handle, bytes, sizeof bytes, &written, nullptr)) {
    return 4;
  }
  CloseHandle(handle);
  laps[count++] = lap_us();
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  if (job == nullptr ||
      !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return 5;
  }
  laps[count++] = lap_us();
  wchar_t self[MAX_PATH];
  const DWORD self_length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (self_length == 0 || self_length >= MAX_PATH) return 3;
  wchar_t line[MAX_PATH + 16];
  std::swprintf(line, MAX_PATH + 16, L"\"%ls\" --child", self);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(self, line, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                      &startup, &child)) {
    return 6;
  }
  laps[count++] = lap_us();
  AssignProcessToJobObject(job, child.hProcess);
  laps[count++] = lap_us();
  ResumeThread(child.hThread);
  WaitForSingleObject(child.hProcess, INFINITE);
  laps[count++] = lap_us();
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  if (!DeleteFileW(file) || !DeleteFileW(mark) || !RemoveDirectoryW(directory)) return 7;
  laps[count++] = lap_us();
  CloseHandle(job);
  laps[count++] = lap_us();
  char text[256];
  int length = 0;
  for (int i = 0; i < count; ++i) {
    length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), "%.0f%c",
                            laps[i], i + 1 < count ? ' ' : '\n');
  }
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
  return 0;
}
