// Decoding ahead: in the parent, while the entries are written, a thread of its own makes the
// decoder calls that read_payload would make, each into a window of a small ring, so that the
// main thread finds the bytes decoded when it needs them. The calls are the same, in the same
// order and on the same input, so the bytes handed out are the same; a call that fails, or the
// lack of input for another, stops the thread, and the main thread meets the decode error when it
// asks for the bytes that call would have given.
#include <cstdlib>

#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "payload/payload.h"

namespace {

static_assert(sizeof(SRWLOCK) == sizeof(thread_sync_object) &&
              sizeof(CONDITION_VARIABLE) == sizeof(thread_sync_object));

// The decoder's state lives on the heap, and its calls need little stack; but a payload that can
// no longer be read is reported on the thread that reads it (read_fault.cpp): the message (a
// message box in a graphical launcher) and the removal of the directory.
constexpr SIZE_T decoder_thread_stack = 512 * 1024;

SRWLOCK* lock() {
  return reinterpret_cast<SRWLOCK*>(&decode_lock);
}
CONDITION_VARIABLE* condition(thread_sync_object& object) {
  return reinterpret_cast<CONDITION_VARIABLE*>(&object);
}

DWORD WINAPI decode_into_ring(void*) {
  AcquireSRWLockExclusive(lock());
  for (;;) {
    // The window that the reader holds is never written: it is among those not yet released.
    while (windows_decoded - windows_released == decoded_window_count && !decoder_abandoned) {
      SleepConditionVariableSRW(condition(window_released), lock(), INFINITE, 0);
    }
    if (decoder_abandoned) break;
    decoded_window& window = decoded_windows[windows_decoded % decoded_window_count];
    ReleaseSRWLockExclusive(lock());

    // As read_payload does it: the decoder may still hold output when it last filled the
    // window, even after all input is consumed.
    bool failed = !payload_input_left() && !window_filled;
    if (!failed) {
      ZSTD_outBuffer output{window.bytes, payload_window_size, 0};
      const std::size_t result = ZSTD_decompressStream(payload_context, &output, &payload_input);
      window_filled = output.pos == payload_window_size;
      failed = ZSTD_isError(result);
      window.fill = output.pos;
      window.input_used = payload_input_position();
      window.frame_ended = result == 0;
    }

    AcquireSRWLockExclusive(lock());
    if (failed) break;
    ++windows_decoded;
    WakeConditionVariable(condition(window_decoded));
  }
  decoder_stopped = true;
  WakeConditionVariable(condition(window_decoded));
  ReleaseSRWLockExclusive(lock());
  return 0;
}

// read_payload's refill while decoding runs ahead: lets go of the window in hand and takes the
// next one, waiting for the decoder if need be.
void take_decoded_window() {
  AcquireSRWLockExclusive(lock());
  if (windows_released < windows_taken) {
    ++windows_released;
    WakeConditionVariable(condition(window_released));
  }
  while (windows_taken == windows_decoded && !decoder_stopped) {
    SleepConditionVariableSRW(condition(window_decoded), lock(), INFINITE, 0);
  }
  const bool none_left = windows_taken == windows_decoded;
  const decoded_window& window = decoded_windows[windows_taken % decoded_window_count];
  if (!none_left) ++windows_taken;
  ReleaseSRWLockExclusive(lock());
  // The decoder met an error or ran out of input where the next bytes would have come from.
  if (none_left) fatal_payload_input_error();
  payload_window = ZSTD_outBuffer{window.bytes, window.fill, 0};
  payload_frame_ended = window.frame_ended;
  payload_input_used = window.input_used;
}

}  // namespace

void start_decoding_ahead() {
  // Only from a fresh stream: the decoder has made no call yet.
  auto* ring = static_cast<unsigned char*>(std::malloc(decoded_window_count * payload_window_size));
  if (ring == nullptr) fatal_out_of_memory();
  for (std::size_t i = 0; i < decoded_window_count; ++i) {
    decoded_windows[i] = decoded_window{ring + i * payload_window_size, 0, 0, false};
  }
  windows_decoded = windows_taken = windows_released = 0;
  decoder_stopped = decoder_abandoned = false;
  own_payload_window = payload_window.dst;
  decoded_window_source = take_decoded_window;
  decoder_thread = CreateThread(nullptr, decoder_thread_stack, decode_into_ring, nullptr,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (decoder_thread == nullptr) {
    // Decoded on the main thread after all, as without a thread.
    decoded_window_source = nullptr;
    std::free(ring);
  }
}

void stop_decoding_ahead() {
  if (decoded_window_source == nullptr) return;
  AcquireSRWLockExclusive(lock());
  decoder_abandoned = true;
  WakeConditionVariable(condition(window_released));
  ReleaseSRWLockExclusive(lock());
  WaitForSingleObject(decoder_thread, INFINITE);
  CloseHandle(decoder_thread);
  decoder_thread = nullptr;
  decoded_window_source = nullptr;
  std::free(decoded_windows[0].bytes);
  // The stream owns its own window again, empty.
  payload_window = ZSTD_outBuffer{own_payload_window, 0, 0};
}
