// Starting the paths probe from a test and reading its answer.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.h"

inline std::wstring paths_probe_path() {
  return executable_directory_of_test() + L"\\paths_probe.exe";
}

// Runs the probe with the arguments (each quoted) and the environment changes.
inline process_result run_paths_probe(const std::vector<std::wstring>& arguments,
                                      const std::vector<std::wstring>& environment = {},
                                      const std::wstring& program = paths_probe_path()) {
  std::wstring command_line = quote_argument(program);
  for (const std::wstring& argument : arguments) command_line += L" " + quote_argument(argument);
  return run_process(command_line, environment);
}

// The run ended through the abnormal end: neither a normal exit, nor the failure exit code 2, nor
// one of the probe's own codes (100 and up) for a run that went nowhere.
inline bool ended_abnormally(const process_result& result) {
  const std::uint32_t code = result.exit_code;
  return !result.timed_out && code != 0 && code != 2 && (code < 100 || code > 110);
}

// The first line of the probe's output, without its newline.
inline std::wstring first_line(const process_result& result) {
  return widen(result.out.substr(0, result.out.find('\n')));
}
