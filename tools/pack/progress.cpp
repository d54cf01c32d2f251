#include "pack/progress.h"

#include <cstdio>

#include "pack/platform.h"

namespace onefile_pack {
namespace {

int percent(std::uint64_t part, std::uint64_t total) {
  return total == 0 ? 100 : static_cast<int>(part * 100 / total);
}

}  // namespace

Progress::Progress(std::uint64_t file_bytes, std::uint64_t content_bytes)
    : enabled_(standard_error_is_terminal()),
      file_total_(file_bytes),
      content_total_(content_bytes) {}

void Progress::read(std::uint64_t bytes) {
  read_ += bytes;
  update();
}

void Progress::compressed(std::uint64_t content_bytes_so_far) {
  compressed_ = content_bytes_so_far;
  update();
}

void Progress::finish() {
  if (enabled_ && shown_read_ >= 0) std::fputc('\n', stderr);
}

// Redrawn only when a percentage changes, so the terminal costs nothing next to the work.
void Progress::update() {
  if (!enabled_) return;
  const int read_percent = percent(read_, file_total_);
  const int compressed_percent = percent(compressed_, content_total_);
  if (read_percent == shown_read_ && compressed_percent == shown_compressed_) return;
  shown_read_ = read_percent;
  shown_compressed_ = compressed_percent;
  constexpr double mebibyte = 1024.0 * 1024.0;
  std::fprintf(stderr, "\ronefile-pack: read %.1f of %.1f MiB (%d%%), compressed %d%%",
               read_ / mebibyte, file_total_ / mebibyte, read_percent, compressed_percent);
  std::fflush(stderr);
}

}  // namespace onefile_pack
