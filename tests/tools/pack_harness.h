// Drives the built `onefile pack` and takes its payload blocks apart independently: the layout by
// hand, the frame with the zstd command line tool, the entry list with a parser of its own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace pack_test {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with everything in it.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(std::string_view relative) const { return path_ / relative; }

 private:
  fs::path path_;
};

// Writes the bytes, creating the directories above the file.
void write_file(const fs::path& path, std::string_view bytes);
std::string read_file(const fs::path& path);
// Deterministic bytes: random-looking (incompressible) or word-like (compressible).
std::string noise_bytes(std::size_t size, std::uint32_t seed);
std::string word_bytes(std::size_t size, std::uint32_t seed);

struct PackRun {
  int exit_code;
  std::string standard_error;
};

// Runs `onefile pack` in the directory `work` with the arguments (any bytes); its standard output
// and error go to files there.
PackRun run_packer(const std::vector<std::string>& arguments, const fs::path& work);

struct PayloadEntry {
  std::u16string name;
  std::string data;
};

struct DecodedBlock {
  int window_log = 0;
  std::vector<PayloadEntry> entries;
};

// Checks the block's layout ("JIV", one frame with the expected header, the 0 byte, the leading
// length), decodes the frame with the zstd tool and parses the entry list up to its end marker.
// Reports failures through GoogleTest; call it under ASSERT_NO_FATAL_FAILURE.
void decode_block(const std::string& block, const fs::path& work, DecodedBlock& decoded);

}  // namespace pack_test
