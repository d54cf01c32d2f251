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

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

[[noreturn]] void fail(const fs::path& path, const char* doing, int error) {
  throw BuildError(std::string("can't ") + doing + " '" + onefile_pack::display_path(path) +
                   "': " + std::generic_category().message(error));
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

// The output file, written in order; the checksum of all its bytes, the CheckSum field counted
// as zero.
class LauncherFile {
 public:
  explicit LauncherFile(const fs::path& path)
      : path_(path), file_(onefile_pack::open_file(path, "wb")) {
    if (!file_) fail(path_, "write", errno);
  }

  void write(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return;
    if (std::fwrite(bytes, 1, size, file_.get()) != size) fail(path_, "write", errno);
    checksum_.add({bytes, size});
    written_ += size;
  }

  void copy_from(const fs::path& source, std::uint64_t size) {
    File in(onefile_pack::open_file(source, "rb"));
    if (!in) fail(source, "read", errno);
    std::vector<std::uint8_t> buffer(1 << 20);
    for (std::uint64_t left = size; left > 0;) {
      const std::size_t want =
          left < buffer.size() ? static_cast<std::size_t>(left) : buffer.size();
      if (std::fread(buffer.data(), 1, want, in.get()) != want) {
        fail(source, "read", std::ferror(in.get()) ? errno : EIO);
      }
      write(buffer.data(), want);
      left -= want;
    }
  }

  void zeros_to(std::uint64_t end) {
    const std::uint8_t zero[512] = {};
    while (written_ < end) {
      write(zero, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof zero, end - written_)));
    }
  }

  // Sets the CheckSum field and closes the file.
  void finish(std::size_t checksum_offset) {
    const std::uint32_t sum = checksum_.finish();
    const std::uint8_t field[4] = {
        static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8),
        static_cast<std::uint8_t>(sum >> 16), static_cast<std::uint8_t>(sum >> 24)};
    if (std::fseek(file_.get(), static_cast<long>(checksum_offset), SEEK_SET) != 0 ||
        std::fwrite(field, 1, 4, file_.get()) != 4) {
      fail(path_, "write", errno);
    }
    if (std::fclose(file_.release()) != 0) fail(path_, "write", errno);
  }

  std::uint64_t written() const { return written_; }

 private:
  fs::path path_;
  File file_;
  onefile_pe::PeChecksum checksum_;
  std::uint64_t written_ = 0;
};

}  // namespace

std::vector<std::uint8_t> attached_section_head(const LauncherSettings& settings,
                                                const std::vector<onefile_pack::Entry>& entries) {
  std::vector<std::uint8_t> section(attached_header_size, 0);
  std::copy(std::begin(attached_magic), std::end(attached_magic), section.begin());
  put_le(section, 8, attached_format_version, 4);
  put_le(section, 12, attached_header_size, 4);
  put_le(section, 16, static_cast<std::uint32_t>(settings.keep), 4);
  put_le(section, 20, settings.error_dialog ? attached_flag_error_dialog : 0, 4);
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

bool write_launcher(const LauncherParts& parts, const fs::path& path) {
  std::vector<std::uint8_t> head = parts.section_head;
  std::copy(parts.block_digest.begin(), parts.block_digest.end(), head.begin() + 64);
  put_le(head, 120, parts.block_size, 8);
  const bool outside =
      parts.block_size > parts.outside_above ||
      estimated_image_size(parts, head.size() + parts.block_size) > loader_image_size_limit;
  LauncherFile out(path);
  if (!outside) {
    put_le(head, 112, head.size(), 8);
    const onefile_pe::Image image = image_with(parts, head, parts.block_size);
    std::vector<std::uint8_t> bytes = image.write();
    out.write(bytes.data(), bytes.size());
    out.copy_from(parts.block_file, parts.block_size);
    out.zeros_to(image.streamed_end());
    out.finish(image.checksum_offset());
    return false;
  }
  // The block's offset is the image's length in the file, which the offset's value can't change.
  put_le(head, 20, parts.section_head[20] | attached_flag_payload_in_file, 4);
  const std::size_t image_length = image_with(parts, head, 0).write().size();
  put_le(head, 112, image_length, 8);
  const onefile_pe::Image image = image_with(parts, head, 0);
  std::vector<std::uint8_t> bytes = image.write();
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(image.checksum_offset()), 4, 0);
  out.write(bytes.data(), bytes.size());
  out.copy_from(parts.block_file, parts.block_size);
  out.finish(image.checksum_offset());
  return true;
}

}  // namespace onefile_tool
