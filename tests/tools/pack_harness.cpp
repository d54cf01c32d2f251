#include "tools/pack_harness.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace pack_test {
namespace {

std::string shell_quoted(std::string_view text) {
  std::string out(1, '\'');
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out.push_back(c);
    }
  }
  out.push_back('\'');
  return out;
}

std::uint64_t read_le(const std::string& bytes, std::size_t at, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

// Walks the frame's blocks to its last one: the frame must end exactly where the block's
// trailer begins, so the block holds one frame and nothing else.
void check_frame_layout(const std::string& block, int& window_log) {
  ASSERT_GE(block.size(), 3u + 9u + 6u);
  const std::size_t frame_end = block.size() - 9;
  ASSERT_EQ(read_le(block, 3, 4), 0xFD2FB528u) << "frame magic";
  // Content size and content checksum, no dictionary id; a window descriptor unless the frame
  // is one segment (its window is then the content).
  const auto descriptor = static_cast<unsigned char>(block[7]);
  const bool single_segment = (descriptor & 0x20) != 0;
  const int size_field_flag = descriptor >> 6;
  EXPECT_EQ(descriptor & 0x18, 0) << "unused and reserved bits";
  EXPECT_EQ(descriptor & 0x04, 0x04) << "content checksum";
  EXPECT_EQ(descriptor & 0x03, 0) << "dictionary id";
  const std::size_t size_field =
      size_field_flag == 0 ? (single_segment ? 1 : 0) : std::size_t{1} << size_field_flag;
  ASSERT_GT(size_field, 0u) << "content size field";
  std::size_t at = 8;
  if (single_segment) {
    const std::uint64_t content_size =
        read_le(block, at, static_cast<int>(size_field)) + (size_field == 2 ? 256 : 0);
    window_log = 0;
    while ((std::uint64_t{1} << window_log) < content_size) ++window_log;
  } else {
    const auto window = static_cast<unsigned char>(block[at++]);
    EXPECT_EQ(window & 0x07, 0) << "window mantissa";
    window_log = 10 + (window >> 3);
  }
  EXPECT_LE(window_log, 27);
  at += size_field;
  for (bool last = false; !last;) {
    ASSERT_LE(at + 3, frame_end) << "frame runs into the trailer";
    const std::uint64_t header = read_le(block, at, 3);
    last = (header & 1) != 0;
    const std::uint64_t type = (header >> 1) & 3;
    ASSERT_NE(type, 3u) << "reserved block type";
    at += 3 + (type == 1 ? 1 : header >> 3);
  }
  ASSERT_EQ(at + 4, frame_end) << "bytes between the frame's checksum and the trailer";
}

void parse_entry_list(const std::string& content, std::vector<PayloadEntry>& entries) {
  std::size_t at = 0;
  for (;;) {
    std::u16string name;
    for (;;) {
      ASSERT_LE(at + 2, content.size()) << "entry list ends inside a name";
      const auto unit = static_cast<char16_t>(read_le(content, at, 2));
      at += 2;
      if (unit == 0) break;
      name.push_back(unit);
    }
    if (name.empty()) break;  // end marker
    ASSERT_LE(at + 8, content.size()) << "entry list ends inside a size";
    const std::uint64_t size = read_le(content, at, 8);
    at += 8;
    ASSERT_LE(size, content.size() - at) << "entry list ends inside data";
    entries.push_back({name, content.substr(at, size)});
    at += size;
  }
  EXPECT_EQ(at, content.size()) << "bytes after the end marker";
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
  std::string pattern = (fs::temp_directory_path() / "onefile-pack-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

void write_file(const fs::path& path, std::string_view bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string noise_bytes(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (char& c : out) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    c = static_cast<char>(state >> 56);
  }
  return out;
}

std::string word_bytes(std::size_t size, std::uint32_t seed) {
  static const char* const words[] = {"payload ", "entry ",  "frame ",  "window ", "launcher ",
                                      "child ",   "parent ", "module ", "stream ", "zstd\n"};
  std::string out;
  std::uint64_t state = seed + 7;
  while (out.size() < size) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    out += words[(state >> 33) % 10];
  }
  out.resize(size);
  return out;
}

PackRun run_packer(const std::vector<std::string>& arguments, const fs::path& work) {
  const fs::path out = work / "packer.out";
  const fs::path err = work / "packer.err";
  std::string command = "cd ";
  command += shell_quoted(work.string());
  command += " && ";
  command += shell_quoted(ONEFILE_TOOL_PATH);
  command += " pack";
  for (const std::string& argument : arguments) {
    command += ' ';
    command += shell_quoted(argument);
  }
  command += " >";
  command += shell_quoted(out.string());
  command += " 2>";
  command += shell_quoted(err.string());
  const int status = std::system(command.c_str());
  const int exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return {exit_code, read_file(err)};
}

void decode_block(const std::string& block, const fs::path& work, DecodedBlock& decoded) {
  ASSERT_GE(block.size(), 12u);
  ASSERT_EQ(block.substr(0, 3), "JIV");
  ASSERT_NO_FATAL_FAILURE(check_frame_layout(block, decoded.window_log));
  EXPECT_EQ(block[block.size() - 9], '\0') << "byte after the frame";
  EXPECT_EQ(read_le(block, block.size() - 8, 8), block.size() - 8) << "leading length";

  if (std::string(ZSTD_PROGRAM).empty()) GTEST_SKIP() << "no zstd command line tool";
  const fs::path frame = work / "frame.zst";
  const fs::path content = work / "content.bin";
  write_file(frame, std::string_view(block).substr(3, block.size() - 12));
  std::string command = shell_quoted(ZSTD_PROGRAM);
  command += " -d -q -f ";
  command += shell_quoted(frame.string());
  command += " -o ";
  command += shell_quoted(content.string());
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  ASSERT_NO_FATAL_FAILURE(parse_entry_list(read_file(content), decoded.entries));
}

}  // namespace pack_test
