// Test support: running a Windows program with captured output, and scratch directories.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct process_result {
  std::uint32_t exit_code = 0;
  std::string out;  // standard output
  std::string err;  // standard error
  bool timed_out = false;
};

// Starts command_line (the program's path first) with standard output and error captured
// separately, standard input empty or fed from input through a pipe, and environment changes
// applied on top of this process's environment ("NAME=value" sets, "NAME=" removes), and more
// creation flags (CREATE_NO_WINDOW: a console of its own). Waits at most timeout_ms; a program
// still running then is terminated and timed_out set.
process_result run_process(const std::wstring& command_line,
                           const std::vector<std::wstring>& environment_changes = {},
                           std::uint32_t timeout_ms = 60000, const std::string& input = {},
                           std::uint32_t creation_flags = 0);

// The environment block of this process with changes applied ("NAME=value" sets, "NAME="
// removes), for CreateProcessW with CREATE_UNICODE_ENVIRONMENT.
std::vector<wchar_t> environment_block(const std::vector<std::wstring>& changes);

// Starts command_line with this process's standard handles and environment; false when it can't
// be started. *process receives the process handle (Wine gives none for a native Linux program).
bool start_program(const std::wstring& command_line, void** process);

// Runs a Linux program from under Wine ("/bin/ln -s a b"). Wine starts native programs but can't
// wait for them, so this waits (up to 10 s) for path to appear or disappear instead.
bool run_unix(const std::wstring& command, const std::wstring& path, bool appears);

// The Linux path of a Windows path under Wine, or empty (not under Wine).
std::string unix_path(const std::wstring& path);

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::wstring quote_argument(const std::wstring& argument);

// The directory that holds the running test executable, without a trailing backslash.
std::wstring executable_directory_of_test();

// A fresh, empty directory under the temporary folder, removed with everything in it when the
// object goes away.
class scratch_directory {
 public:
  scratch_directory();
  ~scratch_directory();
  scratch_directory(const scratch_directory&) = delete;
  scratch_directory& operator=(const scratch_directory&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

 private:
  std::wstring path_;
};

// Small file helpers on wide paths.
bool write_file(const std::wstring& path, const std::string& bytes);
bool read_file(const std::wstring& path, std::string& bytes);
bool path_exists(const std::wstring& path);
bool is_directory(const std::wstring& path);
// Names directly in a directory, sorted; empty when it can't be listed.
std::vector<std::wstring> directory_entries(const std::wstring& directory);
// Removes a tree (files and directories; links are removed, never entered).
void remove_tree(const std::wstring& path);
// UTF-8 <-> UTF-16.
std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);
