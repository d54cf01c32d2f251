// What `onefile pack` writes: the payload block, read back independently, and its reproducibility.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "tools/pack_harness.h"

namespace pack_test {
namespace {

std::string all_byte_values() {
  std::string bytes;
  for (int i = 0; i < 1024; ++i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

std::uint64_t entry_list_size(const std::vector<PayloadEntry>& entries) {
  std::uint64_t size = 2;
  for (const PayloadEntry& entry : entries)
    size += 2 * (entry.name.size() + 1) + 8 + entry.data.size();
  return size;
}

TEST(PackOutput, RoundTripOfATreeWithFileAndListEntries) {
  ScratchDirectory scratch;
  const fs::path app = scratch / "app";
  const std::string large = noise_bytes(300 * 1024, 1) + word_bytes(40 * 1024, 2);
  const std::string binary = all_byte_values();
  // The main module sits in the tree too; it is stored once, first.
  write_file(app / "main.dll", "MZ main module");
  write_file(app / "readme.txt", "hello\n");
  write_file(app / "empty.dat", "");
  write_file(app / "lib/binary.bin", binary);
  write_file(app / "lib/nested/deep/large.bin", large);
  write_file(app / u8"données/naïve.txt", "accents");
  write_file(app / u8"日本語/ファイル.txt", "kana");
  write_file(app / u8"😀.txt", "emoji");
  write_file(app / u8"ｆ.txt", "fullwidth");
  fs::create_symlink("readme.txt", app / "linked.txt");
  fs::create_symlink("lib/nested", app / "linkdir");
  write_file(scratch / "extra/one.bin", "one");
  write_file(scratch / "extra/two.txt", "two");
  write_file(scratch / "files.list",
             "# extra files\n\n" + (scratch / "extra/two.txt").string() + "=extras/two.txt\r\n");

  const PackRun run =
      run_packer({"--main", (app / "main.dll").string(), "--dir", "app", "--file",
                  "extra/one.bin=extras\\one.bin", "--list", "files.list", "-o", "out/payload.bin"},
                 scratch.path());
  ASSERT_EQ(run.exit_code, 0) << run.standard_error;
  EXPECT_EQ(run.standard_error, "") << "progress is shown only on a terminal";
  DecodedBlock decoded;
  ASSERT_NO_FATAL_FAILURE(
      decode_block(read_file(scratch / "out/payload.bin"), scratch.path(), decoded));
  if (IsSkipped()) return;

  // Main module first, then by UTF-16 code units: a surrogate pair (U+D83D...) sorts before
  // U+FF46, although its code point is larger.
  const std::vector<PayloadEntry> expected = {
      {u"main.dll", "MZ main module"},
      {u"donn\u00E9es\\na\u00EFve.txt", "accents"},
      {u"empty.dat", ""},
      {u"extras\\one.bin", "one"},
      {u"extras\\two.txt", "two"},
      {u"lib\\binary.bin", binary},
      {u"lib\\nested\\deep\\large.bin", large},
      {u"linkdir\\deep\\large.bin", large},
      {u"linked.txt", "hello\n"},
      {u"readme.txt", "hello\n"},
      {u"\u65E5\u672C\u8A9E\\\u30D5\u30A1\u30A4\u30EB.txt", "kana"},
      {u"\U0001F600.txt", "emoji"},
      {u"\uFF46.txt", "fullwidth"},
  };
  ASSERT_EQ(decoded.entries.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(decoded.entries[i].name, expected[i].name) << "entry " << i;
    EXPECT_EQ(decoded.entries[i].data.size(), expected[i].data.size()) << "entry " << i;
    EXPECT_TRUE(decoded.entries[i].data == expected[i].data) << "entry " << i;
  }
  // The smallest window that covers the entry list.
  const std::uint64_t content_size = entry_list_size(expected);
  EXPECT_LT(std::uint64_t{1} << (decoded.window_log - 1), content_size);
  EXPECT_GE(std::uint64_t{1} << decoded.window_log, content_size);
}

TEST(PackOutput, ALongNameIsPackedWithAWarningThatNamesIt) {
  ScratchDirectory scratch;
  write_file(scratch / "main.dll", "MZ");
  write_file(scratch / "short.txt", "s");
  const std::string long_name = std::string(100, 'd') + "\\" + std::string(80, 'f') + ".txt";
  const PackRun run = run_packer({"--main", "main.dll", "--file", "short.txt", "--file",
                                  "short.txt=" + long_name, "-o", "payload.bin"},
                                 scratch.path());
  ASSERT_EQ(run.exit_code, 0) << run.standard_error;
  EXPECT_NE(run.standard_error.find("warning: \"" + long_name + "\" is 185 units long"),
            std::string::npos)
      << run.standard_error;
  EXPECT_EQ(run.standard_error.find("short.txt\" is"), std::string::npos) << run.standard_error;
}

TEST(PackOutput, WindowStaysWithinTheLimitForLargeContent) {
  // Content beyond 2^27 bytes: the window stays at the packer's cap, well within the
  // decoder's limit of 2^27.
  ScratchDirectory scratch;
  write_file(scratch / "main.dll", "MZ");
  write_file(scratch / "zeros.bin", "");
  fs::resize_file(scratch / "zeros.bin", (std::uint64_t{1} << 27) + 1);  // sparse
  const PackRun run =
      run_packer({"--main", "main.dll", "--file", "zeros.bin", "--level", "1", "-o", "payload.bin"},
                 scratch.path());
  ASSERT_EQ(run.exit_code, 0) << run.standard_error;
  const std::string block = read_file(scratch / "payload.bin");
  ASSERT_GE(block.size(), 9u);
  // A 4-byte content size, the checksum, no single segment: the window is described.
  EXPECT_EQ(static_cast<unsigned char>(block[7]), 0x84);
  EXPECT_EQ(static_cast<unsigned char>(block[8]), 0x78) << "window log 25, the packer's cap";
}

// The same files, written in the given order with the given modification time.
void write_tree(const fs::path& root, const std::vector<std::pair<std::string, std::string>>& files,
                bool reversed, fs::file_time_type time) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto& [name, data] = files[reversed ? files.size() - 1 - i : i];
    write_file(root / name, data);
    fs::last_write_time(root / name, time);
  }
}

TEST(PackOutput, SameBlockWhateverTheThreadsListingOrderOrTime) {
  ScratchDirectory scratch;
  std::vector<std::pair<std::string, std::string>> small, big;
  for (int i = 0; i < 12; ++i) {
    small.push_back({"s/dir" + std::to_string(i % 3) + "/file" + std::to_string(i),
                     word_bytes(1000 + 3000 * i, i) + noise_bytes(500 * i, i)});
  }
  // Several MiB at level 1 make several multithreaded jobs.
  for (int i = 0; i < 6; ++i) {
    big.push_back({"b/part" + std::to_string(i), word_bytes(900 * 1024, 10 + i)});
  }
  const auto now = fs::file_time_type::clock::now();
  for (const char* tree : {"a", "b"}) {
    const bool second = tree[0] == 'b';
    write_file(scratch / tree / "main.dll", "MZ");
    write_tree(scratch / tree, small, second, second ? now - std::chrono::hours(50) : now);
    write_tree(scratch / tree, big, second, second ? now - std::chrono::hours(50) : now);
  }

  const auto pack = [&](const std::string& tree, const std::string& part, const char* threads,
                        const char* level) {
    const std::string output = "out-" + tree + part + threads + level + ".bin";
    const PackRun run = run_packer({"--main", tree + "/main.dll", "--dir", tree + "/" + part,
                                    "--threads", threads, "--level", level, "-o", output},
                                   scratch.path());
    EXPECT_EQ(run.exit_code, 0) << run.standard_error;
    return read_file(scratch / output);
  };
  const std::string small_block = pack("a", "s", "1", "19");
  ASSERT_GT(small_block.size(), 12u);
  EXPECT_TRUE(small_block == pack("a", "s", "3", "19"));
  EXPECT_TRUE(small_block == pack("b", "s", "2", "19"));

  const std::string big_block = pack("a", "b", "1", "1");
  ASSERT_GT(big_block.size(), 12u);
  EXPECT_TRUE(big_block == pack("a", "b", "2", "1"));
  EXPECT_TRUE(big_block == pack("a", "b", "4", "1"));
  EXPECT_TRUE(big_block == pack("b", "b", "2", "1"));
}

}  // namespace
}  // namespace pack_test
