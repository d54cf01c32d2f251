#include "tests/payload/payload_blocks.h"

#include <io.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>

#include "launcher/state.h"
#include "payload/payload.h"

bytes make_frame(const std::vector<frame_part>& parts, int window_log, int level) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
  ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 0);
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, window_log);
  bytes frame;
  unsigned char out[65536];
  for (const frame_part& part : parts) {
    ZSTD_inBuffer input{part.content.data(), part.content.size(), 0};
    for (;;) {
      ZSTD_outBuffer output{out, sizeof out, 0};
      const std::size_t left = ZSTD_compressStream2(context, &output, &input, part.directive);
      if (ZSTD_isError(left)) {
        std::fprintf(stderr, "encoder: %s\n", ZSTD_getErrorName(left));
        std::abort();
      }
      frame.insert(frame.end(), out, out + output.pos);
      const bool done = part.directive == ZSTD_e_continue ? input.pos == input.size : left == 0;
      if (done) break;
    }
  }
  ZSTD_freeCCtx(context);
  return frame;
}

bytes make_block(const bytes& frame, bool with_trailer) {
  bytes block(3 + frame.size());
  block[0] = 'J';
  block[1] = 'I';
  block[2] = 'V';
  std::copy(frame.begin(), frame.end(), block.begin() + 3);
  if (with_trailer) {
    const std::uint64_t leading = block.size() + 1;
    block.push_back(0);
    for (int i = 0; i < 8; ++i) block.push_back(static_cast<unsigned char>(leading >> (8 * i)));
  }
  return block;
}

namespace {
void append_unit(bytes& list, wchar_t unit) {
  list.push_back(static_cast<unsigned char>(unit & 0xFF));
  list.push_back(static_cast<unsigned char>((unit >> 8) & 0xFF));
}
}  // namespace

bytes make_entry_list(const std::vector<payload_entry>& entries, bool with_end_marker) {
  bytes list;
  for (const payload_entry& entry : entries) {
    for (wchar_t unit : entry.name) append_unit(list, unit);
    append_unit(list, 0);
    const std::uint64_t size = entry.data.size();
    for (int i = 0; i < 8; ++i) list.push_back(static_cast<unsigned char>(size >> (8 * i)));
    list.insert(list.end(), entry.data.begin(), entry.data.end());
  }
  if (with_end_marker) append_unit(list, 0);
  return list;
}

bytes random_bytes(std::size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  bytes data(count);
  for (unsigned char& byte : data) byte = static_cast<unsigned char>(generator() >> 24);
  return data;
}

::testing::AssertionResult same_bytes(const bytes& actual, const bytes& expected) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure()
           << actual.size() << " bytes instead of " << expected.size();
  }
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (actual[i] != expected[i]) {
      return ::testing::AssertionFailure() << "bytes differ first at offset " << i << ": "
                                           << int{actual[i]} << " instead of " << int{expected[i]};
    }
  }
  return ::testing::AssertionSuccess();
}

void reset_payload_stream() {
  // Both frees accept null, so a stream that was never opened is fine.
  close_payload();
  payload_input = ZSTD_inBuffer{nullptr, 0, 0};
  payload_context = nullptr;
  payload_window = ZSTD_outBuffer{nullptr, 0, 0};
  window_filled = false;
}

void route_stdout_to_stderr() {
  std::fflush(stdout);
  _dup2(2, 1);
}

std::string literal_regex(const std::string& text) {
  static const char punctuation[] = "^-!\"#$%&'()*+,./:;<=>?@[\\]_`{|}~";
  std::string regex;
  for (char c : text) {
    if (c != 0 && std::strchr(punctuation, c) != nullptr) regex += '\\';
    regex += c;
  }
  return regex;
}
