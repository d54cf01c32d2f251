#include "onefile/launcher_image.h"

#include <string_view>

#include "pack/sha256.h"

namespace onefile_tool {
namespace {

void put_le(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void align(std::vector<std::uint8_t>& bytes, std::size_t alignment) {
  bytes.resize((bytes.size() + alignment - 1) / alignment * alignment, 0);
}

}  // namespace

std::vector<std::uint8_t> attached_section(const LauncherSettings& settings,
                                           const std::vector<onefile_pack::Entry>& entries,
                                           const onefile_pack::CompressionSettings& compression) {
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
  const std::size_t block_offset = section.size();
  const std::uint64_t block_size =
      onefile_pack::append_payload_block(section, entries, compression);
  put_le(section, 112, block_offset, 8);
  put_le(section, 120, block_size, 8);
  onefile_pack::Sha256 digest;
  digest.add(section.data() + block_offset, block_size);
  const onefile_pack::Sha256Digest block_digest = digest.finish();
  std::copy(block_digest.begin(), block_digest.end(), section.begin() + 64);
  return section;
}

std::vector<std::uint8_t> finished_launcher(std::vector<std::uint8_t> stub, bool console,
                                            std::vector<onefile_pe::Resource> resources,
                                            std::vector<std::uint8_t> section) {
  onefile_pe::Image image = onefile_pe::Image::read(std::move(stub));
  image.set_subsystem(console ? onefile_pe::kSubsystemConsole : onefile_pe::kSubsystemGui);
  image.set_resources(std::move(resources));
  // Read-only initialised data: mapped with the image, shared by its processes, and covered
  // by a signature like every section.
  image.add_section(std::string_view(attached_section_name, sizeof attached_section_name),
                    std::move(section), onefile_pe::kSectionReadOnlyData);
  return image.write();
}

}  // namespace onefile_tool
