// Support for the tests that run real launchers under Wine: launches started without waiting,
// their private temporary folders and the files that fault_main talks through, the processes
// that run, and the failure lines that launches write.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include "tests/support/process.h"
#include "tests/support/start_process.h"

inline std::wstring launcher(const wchar_t* name) {
  return std::wstring(TEST_LAUNCHERS_DIR) + L"\\" + name;
}
inline std::wstring mounts(const wchar_t* name) {
  return std::wstring(TEST_MOUNTS_DIR) + L"\\" + name;
}

inline std::wstring environment(const wchar_t* name) {
  wchar_t value[32768];
  const DWORD length = GetEnvironmentVariableW(name, value, 32768);
  return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

inline std::string without_carriage_returns(std::string text) {
  std::erase(text, '\r');
  return text;
}

// A launcher started without waiting for it; its standard output and error go to files. With a
// job, it runs inside that job from its first instruction, as under a build tool or CI agent.
class started_launch {
 public:
  started_launch(const std::wstring& executable,
                 const std::vector<std::wstring>& environment_changes, DWORD creation_flags = 0,
                 HANDLE job = nullptr, const std::wstring& arguments = L"") {
    if (job != nullptr) creation_flags |= CREATE_SUSPENDED;
    // The test's own standard handles (the pipes of the test runner) stay out of the launch: a
    // launch left running must not keep the runner waiting for their end.
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
      SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
    }
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out = CreateFileW(out_path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(err_path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                            OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::wstring line = quote_argument(executable);
    if (!arguments.empty()) line += L" " + arguments;
    std::vector<wchar_t> environment = environment_block(environment_changes);
    PROCESS_INFORMATION info{};
    started_ = create_process_retrying(executable.c_str(), line.data(), TRUE,
                                       CREATE_UNICODE_ENVIRONMENT | creation_flags,
                                       environment.data(), &startup, &info);
    start_error_ = started_ ? 0 : GetLastError();
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    if (started_) {
      if (job != nullptr && !AssignProcessToJobObject(job, info.hProcess)) {
        ADD_FAILURE() << "the launcher could not be put into the job: " << GetLastError();
      }
      if (job != nullptr) ResumeThread(info.hThread);
      CloseHandle(info.hThread);
      process_ = info.hProcess;
      id_ = info.dwProcessId;
    }
  }
  ~started_launch() {
    if (process_ == nullptr) return;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) TerminateProcess(process_, 0xDEAD);
    WaitForSingleObject(process_, 10000);
    CloseHandle(process_);
  }
  started_launch(const started_launch&) = delete;
  started_launch& operator=(const started_launch&) = delete;

  bool started() const { return started_; }
  DWORD start_error() const { return start_error_; }
  DWORD id() const { return id_; }
  HANDLE handle() const { return process_; }
  // True when the process has ended within the time.
  bool wait(DWORD milliseconds) const {
    return WaitForSingleObject(process_, milliseconds) == WAIT_OBJECT_0;
  }
  DWORD exit_code() const {
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process_, &code);
    return code;
  }
  std::string out() const { return read_text(out_path_); }
  std::string err() const { return read_text(err_path_); }
  // Waits for a file that the launch's application writes (its ready note) while the launch runs:
  // a launch that ends first, or takes too long, says how it stands.
  ::testing::AssertionResult writes(const std::wstring& path, DWORD milliseconds = 120000) const {
    for (DWORD waited = 0; !path_exists(path); waited += 5) {
      const bool ended = wait(0);
      if (ended && path_exists(path)) break;  // written just before the end
      if (ended || waited >= milliseconds) {
        return ::testing::AssertionFailure()
               << narrow(path) << " never came; the launcher "
               << (ended ? "ended with exit code " + std::to_string(exit_code()) : "still runs")
               << "; its output: [" << out() << err() << "]";
      }
      Sleep(5);
    }
    return ::testing::AssertionSuccess();
  }

 private:
  static std::string read_text(const std::wstring& path) {
    std::string bytes;
    read_file(path, bytes);
    return without_carriage_returns(bytes);
  }
  scratch_directory output_;
  std::wstring out_path_ = output_ / L"out.txt";
  std::wstring err_path_ = output_ / L"err.txt";
  bool started_ = false;
  DWORD start_error_ = 0;
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

inline bool wait_for_path(const std::wstring& path, DWORD milliseconds = 120000) {
  for (DWORD waited = 0; !path_exists(path); waited += 5) {
    if (waited >= milliseconds) return false;
    Sleep(5);
  }
  return true;
}

// Every path below a directory, relative to it.
inline void list_tree(const std::wstring& directory, const std::wstring& prefix,
                      std::vector<std::wstring>& into) {
  for (const std::wstring& name : directory_entries(directory)) {
    into.push_back(prefix + name);
    if (is_directory(directory + L"\\" + name))
      list_tree(directory + L"\\" + name, prefix + name + L"\\", into);
  }
}

// What fault_main wrote once run_code ran: its process id and the target directory.
struct ready_note {
  DWORD child_id = 0;
  std::wstring target;
};

inline ready_note read_ready(const std::wstring& path) {
  ready_note note;
  std::string text;
  // Read again, for up to two seconds, until whole: a safety net should a read meet the file
  // while it is moved into place (see read_file).
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (read_file(path, text) && text.find('|') != std::string::npos) break;
    text.clear();
    Sleep(10);
  }
  const std::size_t bar = text.find('|');
  if (bar == std::string::npos) return note;
  note.child_id = std::strtoul(text.substr(0, bar).c_str(), nullptr, 10);
  note.target = widen(text.substr(bar + 1));
  return note;
}

// Processes now running, with their parents and executable names.
struct process_entry {
  DWORD id;
  DWORD parent;
  std::wstring name;
};

inline std::vector<process_entry> running_processes() {
  std::vector<process_entry> list;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    list.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
  }
  CloseHandle(snapshot);
  return list;
}

inline std::size_t processes_named(const std::wstring& name) {
  std::size_t count = 0;
  for (const process_entry& entry : running_processes()) {
    if (_wcsicmp(entry.name.c_str(), name.c_str()) == 0) ++count;
  }
  return count;
}

// A process that a launcher started from its own executable (Wine's console host, which a new
// console brings, does not count).
inline bool has_running_child(DWORD parent_id, const std::wstring& executable) {
  const std::wstring name = executable.substr(executable.rfind(L'\\') + 1);
  for (const process_entry& entry : running_processes()) {
    if (entry.parent == parent_id && _wcsicmp(entry.name.c_str(), name.c_str()) == 0) return true;
  }
  return false;
}

// The system-error line of a failure: the code it names and the system's text for that code.
struct system_error_line {
  bool parsed = false;
  long code = 0;
  std::string text;
};

inline system_error_line parse_system_error(const std::string& line, const std::string& message) {
  system_error_line result;
  const std::string head = message + " ([Error ";
  if (line.rfind(head, 0) != 0 || line.size() < head.size() + 3 ||
      line.substr(line.size() - 2) != ")\n")
    return result;
  const std::size_t bracket = line.find("] ", head.size());
  if (bracket == std::string::npos) return result;
  result.code = std::strtol(line.substr(head.size(), bracket - head.size()).c_str(), nullptr, 10);
  result.text = line.substr(bracket + 2, line.size() - 2 - (bracket + 2));
  result.parsed = true;
  return result;
}

inline std::string system_text(DWORD code) {
  char* text = nullptr;
  const DWORD stored = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 1033, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = stored > 0 && text != nullptr ? text : "";
  LocalFree(text);
  while (!result.empty() && (result.back() == '\r' || result.back() == '\n')) result.pop_back();
  return result;
}

// A figure for the report: in the test's XML output and on its standard output.
inline void note(const std::string& key, const std::string& value) {
  ::testing::Test::RecordProperty(key, value);
  std::printf("%s: %s\n", key.c_str(), value.c_str());
}

// A named event that the test launchers' entry point listens to (hooked_main.cpp).
class control_request {
 public:
  explicit control_request(DWORD code) : code_(code) {
    static int counter = 0;
    name_ = L"onefile_test_ctrl_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(counter++);
    event_ = CreateEventW(nullptr, TRUE, FALSE, name_.c_str());
  }
  ~control_request() { CloseHandle(event_); }
  control_request(const control_request&) = delete;
  control_request& operator=(const control_request&) = delete;
  // For the launcher's parent; with the prefix ONEFILE_TEST_RUNNER_CTRL for a stock runner
  // (hooked_runner.cpp).
  std::vector<std::wstring> environment(const std::wstring& prefix = L"ONEFILE_TEST_CTRL") const {
    return {prefix + L"_NAME=" + name_, prefix + L"_CODE=" + std::to_wstring(code_)};
  }
  void raise() const { SetEvent(event_); }

 private:
  DWORD code_;
  std::wstring name_;
  HANDLE event_;
};

// One launch's surroundings: a private temporary folder and the files fault_main talks through.
struct launch_files {
  scratch_directory temp;
  scratch_directory work;
  std::wstring ready = work / L"ready";
  std::wstring go = work / L"go";
  // The defaults, then the given changes, which win.
  std::vector<std::wstring> environment(const std::vector<std::wstring>& more = {}) const {
    std::vector<std::wstring> changes = {L"TEMP=" + temp.path(), L"TMP=" + temp.path(),
                                         L"ONEFILE_TEST_READY=" + ready};
    changes.insert(changes.end(), more.begin(), more.end());
    return changes;
  }
  void release() const { write_file(go, "go"); }
};
