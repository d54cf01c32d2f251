// The finished launcher: a copy of the launcher stub with the subsystem the options ask for, the
// resources, and the attached section (payload/attached_section.h) with the settings, the
// payload block's digest and its entry listing, and the payload block: inside the section when
// it is small enough for an image that every Windows loads, after the image in the file when not.
// The block is streamed from a file, never held in memory.
#pragma once

#include <cstdint>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pack/entries.h"
#include "pack/sha256.h"
#include "payload/attached_section.h"
#include "pe/pe_image.h"

namespace onefile_tool {

struct LauncherSettings {
  std::u16string texts[attached_text_count];  // indexed by attached_text
  attached_keep keep = attached_keep::none;
  bool error_dialog = true;
  bool progress_window = true;
};

// Blocks larger than this go after the image: 1 GiB leaves more than 800 MiB below the loader's
// limit for the stub, the resources and the listing, and keeps every smaller launcher as it was.
inline constexpr std::uint64_t default_payload_outside_above = std::uint64_t{1} << 30;

// The section's bytes before the block: header, texts and listing, aligned to 16; the block's
// place and digest are filled in by write_launcher.
std::vector<std::uint8_t> attached_section_head(const LauncherSettings& settings,
                                                const std::vector<onefile_pack::Entry>& entries);

// What the finished launcher is made of, besides the payload block.
struct LauncherParts {
  std::vector<std::uint8_t> stub;
  bool console = false;
  std::vector<onefile_pe::Resource> resources;
  std::vector<std::uint8_t> section_head;
  std::uint64_t outside_above = default_payload_outside_above;
};

// The image's size (SizeOfImage) with a section of that many bytes added; the stub's headers
// checked (the pe library's refusals).
std::uint64_t estimated_image_size(const LauncherParts& parts, std::uint64_t section_size);

// Writes the launcher to a file in one pass: the payload block goes straight to its place in the
// file as it is made, where it stays whether it ends up inside the section or after the image
// (the section's head is padded to the file alignment, so both places are the same), and the
// headers, the section's head and the checksum are written last, once the block's size and
// digest are known.
class LauncherWriter {
 public:
  LauncherWriter(const LauncherParts& parts, const std::filesystem::path& path);
  ~LauncherWriter();
  LauncherWriter(const LauncherWriter&) = delete;
  LauncherWriter& operator=(const LauncherWriter&) = delete;

  // The block's next bytes.
  void add_block_bytes(const void* data, std::size_t size);
  // Places the block, writes the headers and closes the file; true when the block lies after
  // the image.
  bool finish();

 private:
  void write(const void* data, std::size_t size);
  [[noreturn]] void fail() const;

  // The block's digest and checksum, summed on a thread of their own beside the compression:
  // hashing takes a core's second per GiB or more.
  class BlockSums {
   public:
    BlockSums();
    ~BlockSums();
    void add(const void* data, std::size_t size);
    void finish();  // waits until every byte is summed
    onefile_pack::Sha256 digest;
    onefile_pe::PeChecksum checksum;

   private:
    void run();
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::vector<std::uint8_t>> queue_;
    bool ending_ = false;
    std::thread thread_;
  };

  const LauncherParts& parts_;
  std::filesystem::path path_;
  std::FILE* file_;
  std::vector<std::uint8_t> head_;  // the section head, padded to the file alignment
  std::size_t prefix_length_;       // the file's bytes before the block
  std::uint64_t block_size_ = 0;
  BlockSums sums_;
};

}  // namespace onefile_tool
