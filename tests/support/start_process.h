// Test support: CreateProcessW as the tests and probes call it.
#pragma once

#include <windows.h>

// Under load Wine now and then loses a new process while it starts: the creation fails with
// ERROR_INTERNAL_ERROR before any of the program has run. Such a start is tried again, twice;
// any other failure is the answer.
inline bool create_process_retrying(const wchar_t* application, wchar_t* command_line,
                                    BOOL inherit_handles, DWORD flags, void* environment,
                                    STARTUPINFOW* startup, PROCESS_INFORMATION* info) {
  for (int attempt = 0;; ++attempt) {
    if (CreateProcessW(application, command_line, nullptr, nullptr, inherit_handles, flags,
                       environment, nullptr, startup, info)) {
      return true;
    }
    if (attempt == 2 || GetLastError() != ERROR_INTERNAL_ERROR) return false;
  }
}
