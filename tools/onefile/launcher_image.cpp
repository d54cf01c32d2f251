#include "onefile/launcher_image.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string_view>
#include <system_error>

#include "onefile/build_error.h"
#include "pack/block_writer.h"
#include "pack/platform.h"

namespace onefile_tool {
namespace {

namespace fs = std::filesystem;

void put_le(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void align(std::vector<std::uint8_t>& bytes, std::size_t alignment) {
  bytes.resize((bytes.size() + alignment - 1) / alignment * alignment, 0);
}

// The image with the section: the block inside it (streamed) or none.
onefile_pe::Image image_with(const LauncherParts& parts, std::vector<std::uint8_t> section,
                             std::uint64_t streamed) {
  onefile_pe::Image image = onefile_pe::Image::read(parts.stub);
  image.set_subsystem(parts.console ? onefile_pe::kSubsystemConsole : onefile_pe::kSubsystemGui);
  image.set_resources(parts.resources);
  // Read-only initialised data: mapped with the image, shared by its processes, and covered
  // by a signature like every section.
  image.add_section(std::string_view(attached_section_name, sizeof attached_section_name),
                    std::move(section), onefile_pe::kSectionReadOnlyData, streamed);
  return image;
}

}  // namespace

std::vector<std::uint8_t> attached_section_head(const LauncherSettings& settings,
                                                const std::vector<onefile_pack::Entry>& entries) {
  std::vector<std::uint8_t> section(attached_header_size, 0);
  std::copy(std::begin(attached_magic), std::end(attached_magic), section.begin());
  put_le(section, 8, attached_format_version, 4);
  put_le(section, 12, attached_header_size, 4);
  put_le(section, 16, static_cast<std::uint32_t>(settings.keep), 4);
  put_le(section, 20,
         (settings.error_dialog ? attached_flag_error_dialog : 0) |
             (settings.progress_window ? 0 : attached_flag_no_progress),
         4);
  for (int text = 0; text < attached_text_count; ++text) {
    const std::u16string& units = settings.texts[text];
    put_le(section, 24 + 8 * text, section.size(), 4);
    put_le(section, 28 + 8 * text, units.size(), 4);
    for (const char16_t unit : units) {
      section.push_back(static_cast<std::uint8_t>(unit));
      section.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    section.insert(section.end(), 2, 0);
  }
  align(section, 8);
  const std::string listing = onefile_pack::entry_listing(entries);
  put_le(section, 96, section.size(), 8);
  put_le(section, 104, listing.size(), 8);
  section.insert(section.end(), listing.begin(), listing.end());
  align(section, 16);
  return section;
}

std::uint64_t estimated_image_size(const LauncherParts& parts, std::uint64_t section_size) {
  onefile_pe::Image image = onefile_pe::Image::read(parts.stub);
  image.set_resources(parts.resources);
  return image.size_of_image_with(section_size);
}

LauncherWriter::LauncherWriter(const LauncherParts& parts, const fs::path& path)
    : parts_(parts), path_(path), file_(onefile_pack::open_file(path, "wb")) {
  if (file_ == nullptr) fail();
  head_ = parts.section_head;
  const onefile_pe::Image stub = onefile_pe::Image::read(parts.stub);
  align(head_, stub.file_alignment());
  // Its length does not depend on the block's size; the bytes come at the end.
  prefix_length_ = image_with(parts, head_, 1).write().size();
  const std::vector<std::uint8_t> zeros(prefix_length_, 0);
  write(zeros.data(), zeros.size());
}

LauncherWriter::~LauncherWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

void LauncherWriter::fail() const {
  throw BuildError("can't write '" + onefile_pack::display_path(path_) +
                   "': " + std::generic_category().message(errno));
}

void LauncherWriter::write(const void* data, std::size_t size) {
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) fail();
}

void LauncherWriter::add_block_bytes(const void* data, std::size_t size) {
  write(data, size);
  sums_.add(data, size);
  block_size_ += size;
}

// A few of the compressor's outputs (128 KiB each) may wait; beyond that the writer waits.
constexpr std::size_t queued_outputs_limit = 16;

LauncherWriter::BlockSums::BlockSums() : thread_([this] { run(); }) {}

LauncherWriter::BlockSums::~BlockSums() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ending_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void LauncherWriter::BlockSums::add(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return queue_.size() < queued_outputs_limit; });
  queue_.emplace_back(bytes, bytes + size);
  changed_.notify_all();
}

void LauncherWriter::BlockSums::run() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return !queue_.empty() || ending_; });
    if (queue_.empty()) return;
    std::vector<std::uint8_t> bytes = std::move(queue_.front());
    hold.unlock();
    digest.add(bytes.data(), bytes.size());
    checksum.add(bytes);
    hold.lock();
    queue_.pop_front();  // popped only now, so that an empty queue means all is summed
    changed_.notify_all();
  }
}

void LauncherWriter::BlockSums::finish() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return queue_.empty(); });
}

bool LauncherWriter::finish() {
  sums_.finish();
  const onefile_pack::Sha256Digest digest = sums_.digest.finish();
  std::copy(digest.begin(), digest.end(), head_.begin() + 64);
  put_le(head_, 120, block_size_, 8);
  const bool outside =
      block_size_ > parts_.outside_above ||
      estimated_image_size(parts_, head_.size() + block_size_) > loader_image_size_limit;
  std::vector<std::uint8_t> prefix;
  std::size_t checksum_offset = 0;
  onefile_pe::PeChecksum checksum;
  std::vector<std::uint8_t> tail;  // zeros up to the section's end in the file
  if (!outside) {
    put_le(head_, 112, head_.size(), 8);
    const onefile_pe::Image image = image_with(parts_, head_, block_size_);
    prefix = image.write();
    checksum_offset = image.checksum_offset();
    tail.resize(image.streamed_end() - prefix_length_ - block_size_, 0);
  } else {
    put_le(head_, 20, parts_.section_head[20] | attached_flag_payload_in_file, 4);
    put_le(head_, 112, prefix_length_, 8);
    const onefile_pe::Image image = image_with(parts_, head_, 0);
    prefix = image.write();
    checksum_offset = image.checksum_offset();
    std::fill_n(prefix.begin() + static_cast<std::ptrdiff_t>(checksum_offset), 4, 0);
  }
  if (prefix.size() != prefix_length_) {
    throw BuildError("the stub has data after its sections, where the payload would go");
  }
  write(tail.data(), tail.size());
  checksum.add(prefix);
  checksum.add(sums_.checksum);
  checksum.add(tail);
  const std::uint32_t sum = checksum.finish();
  for (int i = 0; i < 4; ++i)
    prefix[checksum_offset + i] = static_cast<std::uint8_t>(sum >> (8 * i));
  if (std::fseek(file_, 0, SEEK_SET) != 0) fail();
  write(prefix.data(), prefix.size());
  std::FILE* file = file_;
  file_ = nullptr;
  if (std::fclose(file) != 0) fail();
  return outside;
}

}  // namespace onefile_tool
