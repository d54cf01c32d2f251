#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "launcher/state.h"
#include "payload/payload.h"
#include "tests/payload/payload_blocks.h"

namespace {

const char decode_error[] = "Error, couldn't decode attached data\\.";

class PayloadStream : public ::testing::Test {
 protected:
  void SetUp() override { reset_payload_stream(); }
  void TearDown() override { reset_payload_stream(); }

  // The block must outlive the stream, which reads it in place.
  void open(bytes block) {
    block_ = std::move(block);
    open_payload_block(block_.data(), block_.size());
  }
  bytes read(std::size_t count) {
    bytes data(count);
    read_payload(data.data(), count);
    return data;
  }

  bytes block_;
};

bytes slice(const bytes& data, std::size_t offset, std::size_t count) {
  return bytes(data.begin() + offset, data.begin() + offset + count);
}

// Incompressible content makes each decoder call fill the whole window while input remains, so
// the refills come at every multiple of 131072 bytes.
TEST_F(PayloadStream, ReadsThatStraddleRefillsDeliverBytesInOrder) {
  const bytes content = random_bytes(7 * payload_window_size + 1000, 1);
  open(make_block(make_frame(content)));
  std::size_t offset = 0;
  const auto expect_next = [&](std::size_t count) {
    EXPECT_TRUE(same_bytes(read(count), slice(content, offset, count)))
        << "at " << offset << " for " << count;
    offset += count;
  };

  // 2 bytes across the first refill: one byte from each window.
  expect_next(payload_window_size - 1);
  EXPECT_EQ(payload_window.size, payload_window_size);
  EXPECT_EQ(payload_window.pos, payload_window_size - 1);
  expect_next(2);
  EXPECT_EQ(payload_window.pos, 1u);

  // 8 bytes across the second: 3 and 5.
  expect_next(payload_window_size - 4);
  EXPECT_EQ(payload_window.pos, payload_window_size - 3);
  expect_next(8);
  EXPECT_EQ(payload_window.pos, 5u);

  // 32 KiB across the third.
  expect_next(payload_window_size - 5 - 100);
  expect_next(write_buffer_size);
  EXPECT_EQ(payload_window.pos, write_buffer_size - 100);

  // One read across two refills, then the rest in 32 KiB pieces up to the content's end.
  expect_next(2 * payload_window_size + 7);
  while (offset < content.size()) expect_next(std::min(write_buffer_size, content.size() - offset));
  EXPECT_EQ(payload_window.pos, payload_window.size);
}

TEST_F(PayloadStream, WindowFilledExactlyIsFollowedByAnotherDecoderCall) {
  const bytes head = random_bytes(100, 3);
  const bytes tail = random_bytes(payload_window_size, 4);
  // Flushing first keeps the window log as set, and the two parts become two blocks.
  open(make_block(make_frame({{head, ZSTD_e_flush}, {tail, ZSTD_e_end}}, 17), false));
  bytes content = head;
  content.insert(content.end(), tail.begin(), tail.end());

  EXPECT_TRUE(same_bytes(read(payload_window_size), slice(content, 0, payload_window_size)));
  EXPECT_TRUE(window_filled);
  // The decoder keeps the frame's last byte until it has handed out all of its output.
  EXPECT_EQ(payload_input.pos, payload_input.size - 1);
  EXPECT_TRUE(same_bytes(read(100), slice(content, payload_window_size, 100)));
  EXPECT_FALSE(window_filled);
  EXPECT_EQ(payload_input.pos, payload_input.size);
  // Nothing is left now: input used up and the last call did not fill the window.
  EXPECT_EXIT(
      {
        route_stdout_to_stderr();
        read(1);
      },
      ::testing::ExitedWithCode(2), decode_error);
}

TEST_F(PayloadStream, DecoderOutputHeldAfterTheInputIsUsedUpIsDelivered) {
  // Three stored blocks of 128 KiB, cut just before the third: the first decoder call consumes
  // both remaining blocks but can hand out only the first.
  const bytes content = random_bytes(3 * payload_window_size, 5);
  const bytes frame = make_frame(content);
  const std::size_t block_bytes = 3 + payload_window_size;
  ASSERT_EQ(frame.size(), 6 + 3 * block_bytes);
  open(make_block(slice(frame, 0, 6 + 2 * block_bytes), false));

  EXPECT_TRUE(same_bytes(read(payload_window_size), slice(content, 0, payload_window_size)));
  EXPECT_EQ(payload_input.pos, payload_input.size);
  EXPECT_TRUE(window_filled);
  EXPECT_TRUE(same_bytes(read(payload_window_size),
                         slice(content, payload_window_size, payload_window_size)));
  EXPECT_TRUE(window_filled);
  // The third block never came: the next call yields nothing, and then the run ends.
  EXPECT_EXIT(
      {
        route_stdout_to_stderr();
        read(1);
      },
      ::testing::ExitedWithCode(2), decode_error);
}

TEST_F(PayloadStream, CountOfZeroTouchesNothing) {
  open(make_block(make_frame(random_bytes(1000, 9))));
  unsigned char byte = 0x5A;
  read_payload(&byte, 0);
  EXPECT_EQ(payload_input.pos, 0u);
  EXPECT_EQ(payload_window.size, 0u);
  EXPECT_EQ(payload_window.pos, 0u);
  EXPECT_FALSE(window_filled);
  EXPECT_EQ(byte, 0x5A);

  read(10);
  const ZSTD_inBuffer input = payload_input;
  const ZSTD_outBuffer window = payload_window;
  read_payload(nullptr, 0);
  EXPECT_EQ(payload_input.pos, input.pos);
  EXPECT_EQ(payload_window.size, window.size);
  EXPECT_EQ(payload_window.pos, window.pos);
}

TEST_F(PayloadStream, TruncatedFramesEndWithTheDecodeError) {
  const bytes content = random_bytes(3 * payload_window_size, 6);
  const bytes frame = make_frame(content);
  // Cut inside a block, inside the last block, inside the frame header; with the trailer the
  // cut must leave more missing than the 9 bytes that follow the frame.
  const struct {
    std::size_t length;
    bool with_trailer;
  } cuts[] = {{frame.size() / 2, false},
              {frame.size() / 2, true},
              {frame.size() - 1, false},
              {frame.size() - 20, true},
              {3, false},
              {3, true}};
  for (const auto& cut : cuts) {
    reset_payload_stream();
    open(make_block(slice(frame, 0, cut.length), cut.with_trailer));
    EXPECT_EXIT(
        {
          route_stdout_to_stderr();
          read(content.size());
        },
        ::testing::ExitedWithCode(2), decode_error)
        << cut.length << " frame bytes, trailer " << cut.with_trailer;
  }
}

TEST_F(PayloadStream, ReadingPastTheLastEntryWithoutEndMarkerFails) {
  const bytes list = make_entry_list({{L"main.dll", "MZ"}}, false);
  open(make_block(make_frame(list)));
  EXPECT_TRUE(same_bytes(read(list.size()), list));
  // Where the end marker should be, the bytes after the frame are no frame.
  EXPECT_EXIT(
      {
        route_stdout_to_stderr();
        read(2);
      },
      ::testing::ExitedWithCode(2), decode_error);
}

TEST_F(PayloadStream, WindowLogOver27FailsOnTheFirstRead) {
  bytes frame = make_frame({{random_bytes(100, 7), ZSTD_e_flush}, {{}, ZSTD_e_end}}, 20);
  // Magic number, frame header descriptor without single segment, then the window descriptor.
  ASSERT_EQ(frame[4] & 0x20, 0);
  ASSERT_EQ(frame[5], (20 - 10) << 3);
  frame[5] = (28 - 10) << 3;
  open(make_block(frame));
  EXPECT_EXIT(
      {
        route_stdout_to_stderr();
        read(1);
      },
      ::testing::ExitedWithCode(2), decode_error);

  // Window log 27 is still accepted.
  frame[5] = (27 - 10) << 3;
  reset_payload_stream();
  open(make_block(frame));
  EXPECT_TRUE(same_bytes(read(100), random_bytes(100, 7)));
}

// Reports at exit whether the stream allocated anything before it failed.
void report_allocations() {
  std::fflush(stdout);  // the failure's message first
  std::fprintf(stderr, "context=%s window=%s\n", payload_context ? "allocated" : "null",
               payload_window.dst ? "allocated" : "null");
}

TEST_F(PayloadStream, WrongHeaderByteFailsBeforeAnyAllocation) {
  const bytes good = make_block(make_frame(random_bytes(10, 8)));
  for (std::size_t index = 0; index < 3; ++index) {
    bytes bad = good;
    bad[index] ^= 0x20;  // "jIV", "JiV", "JIv"
    EXPECT_EXIT(
        {
          route_stdout_to_stderr();
          std::atexit(report_allocations);
          open_payload_block(bad.data(), bad.size());
        },
        ::testing::ExitedWithCode(2),
        "Error, couldn't find attached data header\\.\r?\ncontext=null window=null")
        << index;
  }
  // The same block with its header intact opens.
  open(good);
  EXPECT_NE(payload_context, nullptr);
  EXPECT_TRUE(same_bytes(read(10), random_bytes(10, 8)));
}

}  // namespace
