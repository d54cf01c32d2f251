#include "pack/progress.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pack/platform.h"

namespace onefile_pack {

const char* progress_program = "onefile";

namespace {

using clock = std::chrono::steady_clock;

// Five redraws a second: the terminal costs nothing next to the work, and the rate settles.
constexpr auto redraw_interval = std::chrono::milliseconds(200);

int percent(std::uint64_t part, std::uint64_t total) {
  return total == 0 ? 100 : static_cast<int>(part * 100 / total);
}

bool asked_for() {
  const char* value = std::getenv("ONEFILE_PROGRESS");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

// "1:05", "1:02:05"; "-" while the rate is not yet known.
void format_time(double seconds, char* text, std::size_t size) {
  if (seconds < 0 || seconds > 359999) {
    std::snprintf(text, size, "-");
    return;
  }
  const auto whole = static_cast<long>(seconds + 0.5);
  if (whole >= 3600) {
    std::snprintf(text, size, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, size, "%ld:%02ld", whole / 60, whole % 60);
  }
}

}  // namespace

Progress::Progress(std::uint64_t file_count, std::uint64_t file_bytes, std::uint64_t content_bytes)
    : enabled_(standard_error_is_terminal() || asked_for()),
      file_count_(file_count),
      file_total_(file_bytes),
      content_total_(content_bytes),
      start_(clock::now()) {}

void Progress::read(std::uint64_t bytes) {
  read_ += bytes;
  update(false);
}

void Progress::file_done() {
  ++files_;
  update(false);
}

void Progress::compressed(std::uint64_t content_bytes_so_far) {
  compressed_ = content_bytes_so_far;
  update(false);
}

void Progress::finish() {
  if (!enabled_ || !drawn_) return;
  update(true);
  std::fputc('\n', stderr);
}

void Progress::update(bool force) {
  if (!enabled_) return;
  const clock::time_point now = clock::now();
  if (!force && drawn_ && now - shown_ < redraw_interval) return;
  shown_ = now;
  drawn_ = true;
  constexpr double mebibyte = 1024.0 * 1024.0;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  // The compression is what ends last: its rate gives the time left.
  const double rate = (seconds > 0.5 || force) && seconds > 0 ? compressed_ / seconds : 0;
  char left[24];
  format_time(rate > 0 ? (content_total_ - compressed_) / rate : -1, left, sizeof left);
  std::fprintf(stderr,
               "\r%s: %llu/%llu files, read %.1f of %.1f MiB, compressed %d%%, %.1f MiB/s, %s "
               "left\033[K",
               progress_program, static_cast<unsigned long long>(files_),
               static_cast<unsigned long long>(file_count_), read_ / mebibyte,
               file_total_ / mebibyte, percent(compressed_, content_total_), rate / mebibyte, left);
  std::fflush(stderr);
}

}  // namespace onefile_pack
