// Progress of the packing on standard error, shown only when that is a terminal.
#pragma once

#include <cstdint>

namespace onefile_pack {

// Shows the bytes read of the files' total and how much of the entry list is compressed; with
// workers the compression trails the reading by up to a job's size.
class Progress {
 public:
  Progress(std::uint64_t file_bytes, std::uint64_t content_bytes);
  void read(std::uint64_t bytes);
  void compressed(std::uint64_t content_bytes_so_far);
  // Ends the line.
  void finish();

 private:
  void update();

  bool enabled_;
  std::uint64_t file_total_;
  std::uint64_t content_total_;
  std::uint64_t read_ = 0;
  std::uint64_t compressed_ = 0;
  int shown_read_ = -1;
  int shown_compressed_ = -1;
};

}  // namespace onefile_pack
