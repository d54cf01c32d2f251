// Progress of the packing on standard error: one line redrawn in place, shown when standard error
// is a terminal, or when ONEFILE_PROGRESS=1 asks for it (a pipe then gets the redrawn line too).
#pragma once

#include <chrono>
#include <cstdint>

namespace onefile_pack {

// The name the line and the packer's warnings start with: the command the user ran.
extern const char* progress_program;

// Shows the files done of all, the bytes read of the files' total, how much of the entry list is
// compressed, the reading rate and the time left; with workers the compression trails the
// reading by up to a job's size.
class Progress {
 public:
  Progress(std::uint64_t file_count, std::uint64_t file_bytes, std::uint64_t content_bytes);
  void read(std::uint64_t bytes);
  void file_done();
  void compressed(std::uint64_t content_bytes_so_far);
  // Draws the line a last time and ends it.
  void finish();

 private:
  void update(bool force);

  bool enabled_;
  std::uint64_t file_count_;
  std::uint64_t file_total_;
  std::uint64_t content_total_;
  std::uint64_t files_ = 0;
  std::uint64_t read_ = 0;
  std::uint64_t compressed_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point shown_{};
  bool drawn_ = false;
};

}  // namespace onefile_pack
