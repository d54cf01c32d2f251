// Decompressing reader over the payload block. Portable on purpose (no platform calls), so that
// it also builds on the host for fuzzing.
#include <cstdlib>
#include <cstring>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "payload/payload.h"

void open_payload_block(const unsigned char* block, std::size_t block_size) {
  // The header test comes before any allocation.
  if (block_size < 3 || block[0] != 'J' || block[1] != 'I' || block[2] != 'V') {
    fatal_header_error();
  }
  open_payload_stream(block + 3, block_size - 3, block_size - 3);
  if (block_size >= 3 + sizeof payload_trailer) {
    std::memcpy(payload_trailer, block + block_size - sizeof payload_trailer,
                sizeof payload_trailer);
  }
  payload_input_refill = nullptr;
  payload_input_close = nullptr;
}

void open_payload_stream(const unsigned char* first_piece, std::size_t piece_size,
                         std::uint64_t total) {
  void* window = std::malloc(payload_window_size);
  if (window == nullptr) fatal_out_of_memory();
  payload_context = ZSTD_createDCtx();
  if (payload_context == nullptr) fatal_out_of_memory();
  payload_window = ZSTD_outBuffer{window, 0, 0};
  window_filled = false;
  payload_frame_ended = false;
  payload_input = ZSTD_inBuffer{first_piece, piece_size, 0};
  payload_input_total = total;
  payload_input_base = 0;
  payload_input_used = 0;
  payload_read_error = 0;
  std::memset(payload_trailer, 0xFF, sizeof payload_trailer);
}

bool payload_input_left() {
  if (payload_input.pos < payload_input.size) return true;
  return payload_input_refill != nullptr && payload_input_refill();
}

std::uint64_t payload_input_position() {
  return payload_input_base + payload_input.pos;
}

void fatal_payload_input_error() {
  if (payload_read_error != 0 && payload_read_failure != nullptr) payload_read_failure();
  fatal_decode_error();
}

std::uint64_t payload_content_size() {
  const unsigned long long size = ZSTD_getFrameContentSize(payload_input.src, payload_input.size);
  return size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR ? UINT64_MAX : size;
}

void read_payload(void* destination, std::uint64_t count) {
  auto* out = static_cast<unsigned char*>(destination);
  while (count > 0) {
    const std::size_t unread = payload_window.size - payload_window.pos;
    if (unread > 0) {
      const std::size_t chunk = count < unread ? static_cast<std::size_t>(count) : unread;
      std::memcpy(out, static_cast<const unsigned char*>(payload_window.dst) + payload_window.pos,
                  chunk);
      out += chunk;
      payload_window.pos += chunk;
      count -= chunk;
      continue;
    }
    // The window is empty. Decoding ahead, the decoder's thread has made the same call already.
    if (decoded_window_source != nullptr) {
      decoded_window_source();
      continue;
    }
    // The decoder may still hold output when it last filled the window, even after all input is
    // consumed.
    if (!payload_input_left() && !window_filled) fatal_payload_input_error();
    payload_window.size = payload_window_size;
    payload_window.pos = 0;
    const std::size_t result =
        ZSTD_decompressStream(payload_context, &payload_window, &payload_input);
    window_filled = payload_window.pos == payload_window_size;
    if (ZSTD_isError(result)) fatal_decode_error();
    payload_frame_ended = result == 0;
    payload_input_used = payload_input_position();
    payload_window.size = payload_window.pos;
    payload_window.pos = 0;
  }
}

void finish_payload() {
  // Nothing of the entry list may follow its end marker.
  if (payload_window.pos < payload_window.size) fatal_decode_error();
  // The decoder checks the content checksum when it reaches the frame's end, which may lie beyond
  // the last byte that the entry list needed.
  while (!payload_frame_ended) {
    if (decoded_window_source != nullptr) {
      decoded_window_source();
      if (payload_window.size != 0) fatal_decode_error();
      continue;
    }
    if (!payload_input_left() && !window_filled) fatal_payload_input_error();
    payload_window.size = payload_window_size;
    payload_window.pos = 0;
    const std::size_t result =
        ZSTD_decompressStream(payload_context, &payload_window, &payload_input);
    if (ZSTD_isError(result) || payload_window.pos != 0) fatal_decode_error();
    window_filled = false;
    payload_frame_ended = result == 0;
    payload_input_used = payload_input_position();
    payload_window.size = 0;
  }
  // Then exactly the block's trailer: a 0 byte and the leading length, the bytes before it.
  const unsigned char* rest = payload_trailer;
  if (payload_input_total - payload_input_used != 9 || rest[0] != 0) fatal_decode_error();
  std::uint64_t leading_length = 0;
  for (int i = 8; i >= 1; --i) leading_length = (leading_length << 8) | rest[i];
  if (leading_length != 3 + payload_input_used + 1) fatal_decode_error();
}

void close_payload() {
  ZSTD_freeDCtx(payload_context);
  std::free(payload_window.dst);
  if (payload_input_close != nullptr) payload_input_close();
  payload_input_refill = nullptr;
  payload_input_close = nullptr;
  // A stream may be opened again (a kept directory checked, then unpacked), and closed twice.
  payload_context = nullptr;
  payload_window = ZSTD_outBuffer{};
}
