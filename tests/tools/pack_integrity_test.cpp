// Every corruption of a block that onefile-pack wrote is caught by the launcher's own reader (the
// payload stream and entry walk, built here for the host): each byte flipped in turn ends with the
// header or the decode error, never with content handed on as if it were whole.
#include <gtest/gtest.h>

#include <cstring>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "payload/payload.h"
#include "tools/pack_harness.h"

namespace {

// The reader's failure exits, here as exceptions that end one reading.
struct reader_failure {};

}  // namespace

void fatal_header_error() {
  throw reader_failure{};
}
void fatal_decode_error() {
  throw reader_failure{};
}
void fatal_out_of_memory() {
  throw reader_failure{};
}
void abnormal_end() {
  throw reader_failure{};
}

namespace pack_test {
namespace {

// The parent's walk over a block: every name, size and byte, then the frame's end. The entries'
// bytes are summed up so that a corruption that got through would show in what was read.
bool read_whole_block(const std::string& block, std::string& content) {
  content.clear();
  bool whole = false;
  try {
    open_payload_block(reinterpret_cast<const unsigned char*>(block.data()), block.size());
    while (read_entry_name()) {
      for (std::size_t i = 0; entry_name[i] != 0; ++i)
        content.push_back(static_cast<char>(entry_name[i]));
      std::uint64_t size = 0;
      read_payload(&size, sizeof size);
      std::string data(size, '\0');
      read_payload(data.data(), size);
      content += data;
    }
    finish_payload();
    whole = true;
  } catch (const reader_failure&) {
  }
  close_payload();
  payload_context = nullptr;
  payload_window = ZSTD_outBuffer{nullptr, 0, 0};
  return whole;
}

TEST(PackIntegrity, EveryFlippedByteIsCaughtAndChangedContentNeverGetsThrough) {
  ScratchDirectory scratch;
  write_file(scratch / "main.dll", "MZ" + word_bytes(300, 1));
  write_file(scratch / "files/data.bin", noise_bytes(200, 2));
  write_file(scratch / "files/text.txt", word_bytes(400, 3));
  const PackRun run =
      run_packer({"--main", "main.dll", "--dir", "files", "--level", "19", "-o", "payload.bin"},
                 scratch.path());
  ASSERT_EQ(run.exit_code, 0) << run.standard_error;
  const std::string block = read_file(scratch / "payload.bin");

  std::string intact;
  ASSERT_TRUE(read_whole_block(block, intact));
  EXPECT_NE(intact.find(word_bytes(400, 3)), std::string::npos);

  // Every byte flipped whole is caught. A single bit may also land where the format leaves room
  // (the frame header's unused bit, slack in an entropy table's description): then the content
  // comes out intact; changed content never gets through.
  std::string content;
  for (std::size_t at = 0; at < block.size(); ++at) {
    std::string flipped = block;
    flipped[at] = static_cast<char>(~flipped[at]);
    EXPECT_FALSE(read_whole_block(flipped, content)) << "byte " << at << " of " << block.size();
    for (int bit = 0; bit < 8; ++bit) {
      flipped = block;
      flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
      if (read_whole_block(flipped, content)) {
        EXPECT_EQ(content, intact) << "bit " << bit << " of byte " << at;
      }
    }
  }
}

}  // namespace
}  // namespace pack_test
