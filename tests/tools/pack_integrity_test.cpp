// Every corruption of a block that `onefile pack` wrote is caught by the launcher's own reader (the
// payload stream and entry walk, built here for the host): each byte flipped in turn ends with the
// header or the decode error, never with content handed on as if it were whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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
// A block as the launcher reads one from its file: in pieces of piece_size bytes (0: mapped,
// all at once), the trailer copied apart.
std::size_t piece_size = 0;
const std::string* pieced_block = nullptr;

bool next_piece() {
  const std::uint64_t next = payload_input_base + payload_input.size;
  if (next >= payload_input_total) return false;
  payload_input_base = next;
  const std::size_t count = std::min<std::uint64_t>(piece_size, payload_input_total - next);
  payload_input = ZSTD_inBuffer{pieced_block->data() + 3 + next, count, 0};
  return true;
}

void open_block(const std::string& block) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
  if (piece_size == 0 || block.size() < 12 || block.compare(0, 3, "JIV") != 0) {
    open_payload_block(bytes, block.size());
    return;
  }
  pieced_block = &block;
  open_payload_stream(bytes + 3, 0, block.size() - 3);
  std::memcpy(payload_trailer, bytes + block.size() - 9, 9);
  payload_input_refill = next_piece;
  next_piece();
}

bool read_whole_block(const std::string& block, std::string& content) {
  content.clear();
  bool whole = false;
  try {
    open_block(block);
    while (read_entry_name()) {
      for (std::size_t i = 0; entry_name[i] != 0; ++i)
        content.push_back(static_cast<char>(entry_name[i]));
      std::uint64_t size = 0;
      read_payload(&size, sizeof size);
      // In chunks: a damaged size may name more bytes than there are.
      char data[4096];
      for (std::uint64_t left = size; left > 0;) {
        const std::size_t count = std::min<std::uint64_t>(sizeof data, left);
        read_payload(data, count);
        content.append(data, count);
        left -= count;
      }
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

class PackIntegrity : public testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override { piece_size = GetParam(); }
  void TearDown() override { piece_size = 0; }
};
// Mapped whole, and read from the file in pieces of 7 bytes (each decoder call sees a few).
INSTANTIATE_TEST_SUITE_P(Mapped, PackIntegrity, testing::Values(0));
INSTANTIATE_TEST_SUITE_P(InPieces, PackIntegrity, testing::Values(7));

TEST_P(PackIntegrity, EveryFlippedByteIsCaughtAndChangedContentNeverGetsThrough) {
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

// A file past 4 GiB (sparse, so written in no time) keeps its 64-bit size through the packer,
// the frame and the reader, and its last bytes come out where they belong. Still 4 GiB to read,
// compress and decode (seconds on an idle machine, minutes on a busy one): run with
// ONEFILE_LARGE_TESTS=1.
TEST(PackSizes, AFileBeyondFourGiBKeepsItsSize) {
  if (std::getenv("ONEFILE_LARGE_TESTS") == nullptr) GTEST_SKIP() << "ONEFILE_LARGE_TESTS unset";
  ScratchDirectory scratch;
  write_file(scratch / "main.dll", "MZ");
  constexpr std::uint64_t size = (std::uint64_t{4} << 30) + 3;
  write_file(scratch / "files/weights.bin", "");
  std::filesystem::resize_file(scratch / "files/weights.bin", size - 3);
  {
    std::FILE* file = std::fopen((scratch / "files/weights.bin").c_str(), "ab");
    ASSERT_NE(file, nullptr);
    std::fputs("end", file);
    std::fclose(file);
  }
  const PackRun run =
      run_packer({"--main", "main.dll", "--dir", "files", "--level", "1", "-o", "payload.bin"},
                 scratch.path());
  ASSERT_EQ(run.exit_code, 0) << run.standard_error;
  const std::string block = read_file(scratch / "payload.bin");
  bool whole = false;
  try {
    open_payload_block(reinterpret_cast<const unsigned char*>(block.data()), block.size());
    EXPECT_EQ(payload_content_size(), 2 * 9 + 8 + 2 + 2 * 12 + 8 + size + 2);
    ASSERT_TRUE(read_entry_name());
    std::uint64_t entry_size = 0;
    read_payload(&entry_size, sizeof entry_size);
    std::string main(entry_size, '\0');
    read_payload(main.data(), entry_size);
    ASSERT_TRUE(read_entry_name());
    read_payload(&entry_size, sizeof entry_size);
    EXPECT_EQ(entry_size, size);
    std::string chunk(1 << 20, '\0');
    std::uint64_t nonzero = 0;
    for (std::uint64_t left = entry_size - 3; left > 0;) {
      const std::size_t count = std::min<std::uint64_t>(chunk.size(), left);
      read_payload(chunk.data(), count);
      nonzero += std::count_if(chunk.begin(), chunk.begin() + count, [](char c) { return c != 0; });
      left -= count;
    }
    EXPECT_EQ(nonzero, 0u);
    char end[3];
    read_payload(end, 3);
    EXPECT_EQ(std::string(end, 3), "end");
    EXPECT_FALSE(read_entry_name());
    finish_payload();
    whole = true;
  } catch (const reader_failure&) {
  }
  close_payload();
  EXPECT_TRUE(whole);
}

}  // namespace
}  // namespace pack_test
