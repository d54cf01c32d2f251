// The output is written under a temporary name beside it and takes its name only when it is
// complete, so that a failed build leaves nothing at the output path (nor a stale launcher that
// looks new) and nothing half-written beside it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace onefile_tool {

class PendingOutput {
 public:
  // Creates the temporary file at once, so that an output that can't be written is found before
  // any work is done.
  explicit PendingOutput(std::filesystem::path output);
  ~PendingOutput();
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  const std::filesystem::path& temporary() const { return temporary_; }
  void write(const std::vector<std::uint8_t>& bytes);
  // Gives the temporary file the output's name, replacing what is there.
  void commit();

 private:
  std::filesystem::path output_;
  std::filesystem::path temporary_;
  bool committed_ = false;
};

}  // namespace onefile_tool
