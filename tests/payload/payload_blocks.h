// Real payload blocks for the payload tests, made with zstd's encoder in this process.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zstd.h>

using bytes = std::vector<unsigned char>;

// One piece of a frame's content and how the encoder ends it (ZSTD_e_continue, _flush or _end).
struct frame_part {
  bytes content;
  ZSTD_EndDirective directive = ZSTD_e_end;
};

// One Zstandard frame without content size or checksum, as the packer writes it. The window log
// is set explicitly; it appears in the frame header unless a single ZSTD_e_end part lets the
// encoder shrink it to the content.
bytes make_frame(const std::vector<frame_part>& parts, int window_log = 20, int level = 3);
inline bytes make_frame(const bytes& content, int window_log = 20) {
  return make_frame({{content, ZSTD_e_end}}, window_log);
}

// "JIV", the frame, and (with the trailer) one 0 byte and the 8-byte little-endian leading length.
bytes make_block(const bytes& frame, bool with_trailer = true);

struct payload_entry {
  std::wstring name;
  std::string data;
};
// The decompressed entry list: for each entry its UTF-16LE name and 0 unit, its 64-bit size and
// its bytes; then the end marker unless told otherwise.
bytes make_entry_list(const std::vector<payload_entry>& entries, bool with_end_marker = true);

// Equal bytes, or where they first differ (without printing whole buffers).
::testing::AssertionResult same_bytes(const bytes& actual, const bytes& expected);

// Deterministic bytes that the encoder cannot compress.
bytes random_bytes(std::size_t count, unsigned seed);

// Frees and forgets the process-wide payload stream, so that each test starts closed.
void reset_payload_stream();

// Redirects standard output to standard error, where a death test looks for the plain failures.
void route_stdout_to_stderr();

// The text as a GoogleTest regex that matches it literally.
std::string literal_regex(const std::string& text);
