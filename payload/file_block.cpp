// A payload block too large for an image that every Windows loads lies after the image in the
// launcher's file: read there in pieces with ReadFile, not through the image's mapping, so that a
// failed read is an error code (a mapped page that can't be read is an exception) and the image
// stays small. The block comes to the decoder through the stream's refill (stream.cpp).
#include <cstdlib>

#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/payload.h"

namespace {

constexpr DWORD piece_size = 1 << 20;

HANDLE block_file = INVALID_HANDLE_VALUE;
unsigned char* piece;
// The test seam: a read fails when it would pass this many bytes of the block.
std::uint64_t failing_read_position = UINT64_MAX;

// A positioned read on a synchronous handle ("ReadFile": with an OVERLAPPED, the read starts at
// its offset and returns when done). A short read means the file ends within the block.
bool read_block_bytes(std::uint64_t position, void* into, DWORD count) {
  if (position + count > failing_read_position) {
    payload_read_error = ERROR_IO_DEVICE;
    return false;
  }
  const std::uint64_t offset = payload_block_file_offset + position;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!ReadFile(block_file, into, count, &got, &at)) {
    payload_read_error = GetLastError();
    if (payload_read_error == 0) payload_read_error = ERROR_READ_FAULT;
    return false;
  }
  if (got != count) {
    payload_read_error = ERROR_HANDLE_EOF;
    return false;
  }
  return true;
}

bool read_next_piece() {
  const std::uint64_t next = payload_input_base + payload_input.size;
  if (next >= payload_input_total) return false;
  const std::uint64_t left = payload_input_total - next;
  const DWORD count = left < piece_size ? static_cast<DWORD>(left) : piece_size;
  // Offsets from after "JIV": the block's first three bytes are read with the first piece.
  if (!read_block_bytes(3 + next, piece, count)) return false;
  payload_input_base = next;
  payload_input = ZSTD_inBuffer{piece, count, 0};
  return true;
}

[[noreturn]] void fatal_block_read_error() {
  fatal_system_error("Error, couldn't read attached data.", payload_read_error);
}

void close_block_file() {
  CloseHandle(block_file);
  block_file = INVALID_HANDLE_VALUE;
  std::free(piece);
  piece = nullptr;
}

void read_failure_seam() {
  wchar_t value[32];
  const DWORD length = GetEnvironmentVariableW(L"ONEFILE_TEST_PAYLOAD_READ_FAILS_AT", value, 32);
  if (length == 0 || length >= 32) return;
  std::uint64_t position = 0;
  for (const wchar_t* digit = value; *digit >= L'0' && *digit <= L'9'; ++digit) {
    position = position * 10 + static_cast<unsigned>(*digit - L'0');
  }
  failing_read_position = position;
}

}  // namespace

void open_payload() {
  if (!payload_block_in_file) {
    open_payload_block(payload_block, static_cast<std::size_t>(payload_block_size));
    return;
  }
  read_failure_seam();
  // Shared for reading alone: while the launch reads its file, nobody can write, replace or
  // remove it ("Creating and Opening Files": a later open that asks for write or delete access
  // fails with a sharing violation). The image's own mapping already keeps writers out.
  const wchar_t* path = get_executable_path(executable_path_form::plain);
  block_file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (block_file == INVALID_HANDLE_VALUE) {
    fatal_path_system_error("Error, couldn't open attached data in '", path, "'.", GetLastError());
  }
  piece = static_cast<unsigned char*>(std::malloc(piece_size));
  if (piece == nullptr) fatal_out_of_memory();
  payload_read_failure = fatal_block_read_error;
  unsigned char header[3] = {};
  payload_read_error = 0;
  if (payload_block_size >= 3 && !read_block_bytes(0, header, 3)) fatal_block_read_error();
  if (payload_block_size < 3 || header[0] != 'J' || header[1] != 'I' || header[2] != 'V') {
    fatal_header_error();
  }
  const std::uint64_t total = payload_block_size - 3;
  open_payload_stream(piece, 0, total);
  payload_input_refill = read_next_piece;
  payload_input_close = close_block_file;
  if (total >= sizeof payload_trailer &&
      !read_block_bytes(payload_block_size - sizeof payload_trailer, payload_trailer,
                        sizeof payload_trailer)) {
    fatal_block_read_error();
  }
  // The first piece now, for the frame header that payload_content_size reads.
  if (!read_next_piece() && payload_read_error != 0) fatal_block_read_error();
}
