#include "pack/frame_encoder.h"

// For ZSTD_getFrameProgression, which the zstd tool's own progress display uses too.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "pack/error.h"
#include "pack/progress.h"

namespace onefile_pack {
namespace {

constexpr int min_window_log = 10;  // zstd's smallest window
// The launcher's decoder admits up to 27, but its memory follows the window: a 32 MiB history
// keeps a large application's parent at about half the memory of a 128 MiB one, for a block
// that was measured at most 0.05% larger.
constexpr int max_window_log = 25;

void check(std::size_t result, const char* what) {
  if (ZSTD_isError(result)) {
    throw PackError(std::string("zstd: ") + what + ": " + ZSTD_getErrorName(result));
  }
}

// zstd's multithreaded mode gives the same frame for any number of workers >= 1, but the
// single-threaded mode (0 workers) cuts the content differently, so there is always a worker.
int worker_count(int threads) {
  const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_nbWorkers);
  if (ZSTD_isError(bounds.error) || bounds.upperBound < 1) {
    std::fprintf(stderr,
                 "%s: warning: this libzstd has no multithreading; the frame is made on one "
                 "thread and differs from a multithreaded libzstd's\n",
                 progress_program);
    return 0;
  }
  return std::clamp(threads, 1, bounds.upperBound);
}

}  // namespace

int window_log_for(std::uint64_t content_size) {
  int log = min_window_log;
  while (log < max_window_log && (std::uint64_t{1} << log) < content_size) ++log;
  return log;
}

FrameEncoder::FrameEncoder(const FrameParameters& parameters, Sink sink, Observer observer)
    : context_(ZSTD_createCCtx()),
      output_(ZSTD_CStreamOutSize()),
      sink_(std::move(sink)),
      observer_(std::move(observer)) {
  if (context_ == nullptr) throw PackError("zstd: cannot create a compression context");
  set(ZSTD_c_compressionLevel, parameters.level, "level");
  set(ZSTD_c_windowLog, window_log_for(parameters.content_size), "window log");
  set(ZSTD_c_enableLongDistanceMatching, 1, "long-distance matching");  // 1: enable
  // The content size and the content checksum let the launcher's decoder find any corruption:
  // a flipped byte either breaks the frame's structure or changes the content the checksum covers.
  set(ZSTD_c_contentSizeFlag, 1, "content size flag");
  set(ZSTD_c_checksumFlag, 1, "checksum flag");
  set(ZSTD_c_dictIDFlag, 0, "dictionary id flag");
  set(ZSTD_c_nbWorkers, worker_count(parameters.threads), "threads");
  // Known in advance, it lets zstd fit its tables to the content, and is written.
  check(ZSTD_CCtx_setPledgedSrcSize(context_.get(), parameters.content_size), "content size");
}

void FrameEncoder::ContextDeleter::operator()(ZSTD_CCtx_s* context) const {
  ZSTD_freeCCtx(context);
}

void FrameEncoder::set(int parameter, int value, const char* what) {
  check(ZSTD_CCtx_setParameter(context_.get(), static_cast<ZSTD_cParameter>(parameter), value),
        what);
}

void FrameEncoder::add(const void* data, std::size_t size) {
  ZSTD_inBuffer input{data, size, 0};
  while (input.pos < input.size) {
    ZSTD_outBuffer output{output_.data(), output_.size(), 0};
    check(ZSTD_compressStream2(context_.get(), &output, &input, ZSTD_e_continue), "compress");
    pass_on(output.pos);
  }
}

void FrameEncoder::finish() {
  ZSTD_inBuffer input{nullptr, 0, 0};
  for (std::size_t remaining = 1; remaining != 0;) {
    ZSTD_outBuffer output{output_.data(), output_.size(), 0};
    remaining = ZSTD_compressStream2(context_.get(), &output, &input, ZSTD_e_end);
    check(remaining, "end of frame");
    pass_on(output.pos);
  }
}

// With workers, a call returns whenever a worker has made output, so the observer hears of
// progress also while the last jobs are compressed at the end of the frame.
void FrameEncoder::pass_on(std::size_t produced) {
  if (produced > 0) sink_(output_.data(), produced);
  observer_(ZSTD_getFrameProgression(context_.get()).consumed);
}

}  // namespace onefile_pack
