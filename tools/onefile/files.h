// The tool's files: its inputs read whole, and the output, which is written under a temporary
// name beside it and takes its name only when it is complete, so that a failed build leaves
// nothing at the output path (an older launcher there stays as it was) and nothing half-written
// beside it. An interrupted build (SIGINT, SIGTERM, SIGHUP; Ctrl+C or the console closed on
// Windows) removes its temporary; one left by a killed build is removed by the next build of the
// same output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace onefile_tool {

// The file's bytes, or its first limit bytes; throws BuildError "can't read <what> '<path>':
// <reason>".
std::vector<std::uint8_t> read_input_file(const std::filesystem::path& path,
                                          const std::string& what,
                                          std::uint64_t limit = UINT64_MAX);

// What the checks of a program or library read of it at most, so that the tool's memory stays
// bounded whatever the payload holds; a PE file's headers, imports and resources lie far below.
inline constexpr std::uint64_t pe_check_read_limit = 256u << 20;

class PendingOutput {
 public:
  // Creates the temporary file at once, so that an output that can't be written is found before
  // any work is done. A program (a launcher) is made executable; data (a payload block) is not.
  explicit PendingOutput(std::filesystem::path output, bool program = true);
  ~PendingOutput();
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  const std::filesystem::path& temporary() const { return temporary_; }
  void write(const std::vector<std::uint8_t>& bytes);
  // Makes the temporary a copy of source, in pieces: a launcher may be gigabytes long.
  void copy_from(const std::filesystem::path& source);
  // Gives the temporary file the output's name, replacing what is there.
  void commit();

 private:
  std::filesystem::path output_;
  std::filesystem::path temporary_;
  bool committed_ = false;
  int interrupt_slot_ = -1;  // where an interruption finds the temporary's name
};

}  // namespace onefile_tool
