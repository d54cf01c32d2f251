// libFuzzer target: the payload stream reader and the entry walk, built for the host. An input is
// a whole payload block ("JIV", the frame, whatever follows). The walk is the parent's: each
// name, then the size, then the data in chunks of at most 32 KiB, up to the end marker.
//
// The fatal exits of the launcher are replaced by jumps back here; every path through the reader
// and the walk on the way is made of plain functions without destructors, so the jump skips
// nothing. The stream's state is reset for every input and its memory freed after every run.
//
// Beyond the sanitizers, every run is checked against zstd's decoder used directly on the same
// input with the same 128 KiB output steps: the reader must hand out exactly the decoded bytes,
// and may end with the decode error only where the decoded entry list has no more bytes to give.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <zstd.h>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "payload/payload.h"

namespace {

enum run_end : int { end_marker = 0, header_error, decode_error, out_of_memory, name_too_long };

std::jmp_buf run_ended;
run_end ended_by;

[[noreturn]] void end_run(run_end how) {
  ended_by = how;
  std::longjmp(run_ended, 1);
}

[[noreturn]] void fail_check() {
  __builtin_trap();
}

// The decoded bytes that the reader handed out, as far as they are compared.
constexpr std::size_t compared_capacity = std::size_t{64} << 20;
unsigned char* delivered;
std::size_t delivered_count;    // every byte handed out, compared or not
std::uint64_t requested_count;  // bytes of the read that was under way when the run ended

// Never a UTF-16 unit, so it marks the elements of entry_name that the reader has not stored.
static_assert(sizeof(wchar_t) == 4, "built for a host whose wchar_t holds more than a UTF-16 unit");
constexpr wchar_t unread_mark = static_cast<wchar_t>(0x110000);
bool reading_name;

void note_delivered(const void* bytes, std::size_t count) {
  if (delivered_count < compared_capacity) {
    const std::size_t kept =
        count < compared_capacity - delivered_count ? count : compared_capacity - delivered_count;
    std::memcpy(delivered + delivered_count, bytes, kept);
  }
  delivered_count += count;
}

void check_window() {
  if (payload_window.pos > payload_window.size || payload_window.size > payload_window_size) {
    fail_check();
  }
  if (payload_input.pos > payload_input.size) fail_check();
}

void read_checked(void* destination, std::size_t count) {
  requested_count = count;
  read_payload(destination, count);
  check_window();
  note_delivered(destination, count);
  requested_count = 0;
}

// The reader reads names itself; the bytes it took are those of the name just read.
void note_name(std::size_t units) {
  unsigned char bytes[2 * entry_name_capacity];
  for (std::size_t i = 0; i < units; ++i) {
    const auto unit = static_cast<std::uint32_t>(entry_name[i]);
    if (unit > 0xFFFF) fail_check();  // one UTF-16 unit per element, whatever wchar_t's width
    bytes[2 * i] = static_cast<unsigned char>(unit);
    bytes[2 * i + 1] = static_cast<unsigned char>(unit >> 8);
  }
  note_delivered(bytes, 2 * units);
}

void walk_entries() {
  for (;;) {
    // Units the reader stores replace the mark; a run that ends inside a name shows how far
    // the name got.
    for (wchar_t& unit : entry_name) unit = unread_mark;
    reading_name = true;
    requested_count = 2;
    const bool named = read_entry_name();
    reading_name = false;
    requested_count = 0;
    check_window();
    if (!named) {
      if (entry_name[0] != 0) fail_check();
      note_name(1);
      return;
    }
    std::size_t units = 0;
    while (units < entry_name_capacity && entry_name[units] != 0) ++units;
    if (units == 0 || units >= entry_name_capacity) fail_check();
    note_name(units + 1);

    unsigned char size_bytes[8];
    read_checked(size_bytes, sizeof size_bytes);
    std::uint64_t remaining = 0;
    for (int i = 7; i >= 0; --i) remaining = (remaining << 8) | size_bytes[i];
    while (remaining > 0) {
      const std::size_t chunk =
          remaining < write_buffer_size ? static_cast<std::size_t>(remaining) : write_buffer_size;
      read_checked(write_buffer, chunk);
      remaining -= chunk;
    }
  }
}

// Decodes the same input with the same output steps and compares. The reference has to give
// every byte that the reader handed out, the same; after a decode error it must not be able to
// give the bytes of the read that was under way either.
void compare_with_reference(const std::uint8_t* data, std::size_t size, run_end how) {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  if (context == nullptr) fail_check();
  static unsigned char window[payload_window_size];
  ZSTD_inBuffer input{data + 3, size - 3, 0};
  const std::uint64_t wanted = delivered_count + requested_count;
  std::uint64_t produced = 0;
  bool filled = false;
  while (produced < wanted) {
    if (input.pos >= input.size && !filled) break;
    ZSTD_outBuffer output{window, sizeof window, 0};
    const std::size_t result = ZSTD_decompressStream(context, &output, &input);
    filled = output.pos == sizeof window;
    if (ZSTD_isError(result)) break;
    for (std::size_t i = 0; i < output.pos; ++i) {
      const std::uint64_t at = produced + i;
      if (at < delivered_count && at < compared_capacity && window[i] != delivered[at]) {
        fail_check();
      }
    }
    produced += output.pos;
  }
  ZSTD_freeDCtx(context);
  if (produced < delivered_count) fail_check();  // handed out bytes that were never decoded
  if (how == decode_error && produced >= wanted) fail_check();  // the bytes were there
}

}  // namespace

// The fatal exits the reader and the name reading use.
void fatal_header_error() {
  end_run(header_error);
}
void fatal_decode_error() {
  end_run(decode_error);
}
void fatal_out_of_memory() {
  end_run(out_of_memory);
}
void abnormal_end() {
  end_run(name_too_long);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  delivered = static_cast<unsigned char*>(std::malloc(compared_capacity));
  return delivered == nullptr ? -1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  payload_input = ZSTD_inBuffer{};
  payload_context = nullptr;
  payload_window = ZSTD_outBuffer{};
  window_filled = false;
  delivered_count = 0;
  requested_count = 0;
  reading_name = false;

  if (setjmp(run_ended) == 0) {
    open_payload_block(data, size);
    check_window();
    walk_entries();
    ended_by = end_marker;
  }
  const run_end how = ended_by;
  if (how == header_error) {
    // Before anything was allocated, and only for a block that does not start with "JIV".
    if (payload_context != nullptr || payload_window.dst != nullptr) fail_check();
    if (size >= 3 && data[0] == 'J' && data[1] == 'I' && data[2] == 'V') fail_check();
    return 0;
  }
  if (how == decode_error || how == name_too_long) {
    // A name under way: the units stored so far were handed out.
    std::size_t units = 0;
    while (units < entry_name_capacity && entry_name[units] != unread_mark) ++units;
    if (reading_name) note_name(units);
  }
  if (how == name_too_long) {
    // Only for a name with no terminator in the room the buffer has.
    for (std::size_t i = 0; i + 1 < entry_name_capacity; ++i) {
      if (entry_name[i] == 0 || entry_name[i] == unread_mark) fail_check();
    }
    requested_count = 0;
  }
  compare_with_reference(data, size, how);
  close_payload();
  return 0;
}
