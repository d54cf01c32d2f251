// One Zstandard frame, compressed as a stream: with content size and checksum, no dictionary id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct ZSTD_CCtx_s;

namespace onefile_pack {

struct FrameParameters {
  int level;                   // 1..22
  int threads;                 // >= 1; the frame does not depend on it
  std::uint64_t content_size;  // exactly the number of bytes that add() will be given
};

// The smallest window log that covers the content, within zstd's minimum of 10 and the
// packer's cap of 25 (32 MiB): a window no larger than the content keeps the decoder's memory low.
int window_log_for(std::uint64_t content_size);

class FrameEncoder {
 public:
  using Sink = std::function<void(const unsigned char* data, std::size_t size)>;
  using Observer = std::function<void(std::uint64_t compressed_bytes)>;

  // The sink receives the frame's bytes in order; the observer hears how much of the content
  // has been compressed so far, after every step.
  FrameEncoder(const FrameParameters& parameters, Sink sink, Observer observer);

  void add(const void* data, std::size_t size);
  // Ends the frame; nothing may be added afterwards.
  void finish();

 private:
  void set(int parameter, int value, const char* what);
  void pass_on(std::size_t produced);

  struct ContextDeleter {
    void operator()(ZSTD_CCtx_s* context) const;
  };

  std::unique_ptr<ZSTD_CCtx_s, ContextDeleter> context_;
  std::vector<unsigned char> output_;
  Sink sink_;
  Observer observer_;
};

}  // namespace onefile_pack
