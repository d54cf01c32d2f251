// Test support: CreateProcessW as the tests and probes call it.
#pragma once

#include <windows.h>

// Under load Wine now and then loses a new process while it starts, and the creation fails before
// any of the program has run (seen as ERROR_INTERNAL_ERROR). A failed start is tried twice more:
// a failure that comes back each time is the answer, with its error.
inline bool create_process_retrying(const wchar_t* application, wchar_t* command_line,
                                    BOOL inherit_handles, DWORD flags, void* environment,
                                    STARTUPINFOW* startup, PROCESS_INFORMATION* info) {
  for (int attempt = 0;; ++attempt) {
    if (CreateProcessW(application, command_line, nullptr, nullptr, inherit_handles, flags,
                       environment, nullptr, startup, info)) {
      return true;
    }
    if (attempt == 2) return false;
  }
}
