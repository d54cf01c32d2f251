// Checking a launcher's attached section (the layout is in attached_section.h). Portable on
// purpose, like the stream reader.
#include "payload/attached_section.h"

#include <cstring>

namespace {

std::uint64_t read_le(const unsigned char* bytes, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// True when [offset, offset + size) lies within the section, without overflow.
bool within(std::uint64_t offset, std::uint64_t size, std::size_t section_size) {
  return offset <= section_size && size <= section_size - offset;
}

}  // namespace

bool parse_attached_section(const unsigned char* section, std::size_t size,
                            attached_layout* layout) {
  if (size < attached_header_size ||
      std::memcmp(section, attached_magic, sizeof attached_magic) != 0 ||
      read_le(section + 8, 4) != attached_format_version ||
      read_le(section + 12, 4) != attached_header_size) {
    return false;
  }
  const std::uint64_t keep = read_le(section + 16, 4);
  const std::uint64_t flags = read_le(section + 20, 4);
  if (keep > static_cast<std::uint32_t>(attached_keep::verified) ||
      (flags & ~std::uint64_t{attached_flag_error_dialog | attached_flag_payload_in_file |
                              attached_flag_no_progress}) != 0) {
    return false;
  }
  layout->keep = static_cast<attached_keep>(keep);
  layout->error_dialog = (flags & attached_flag_error_dialog) != 0;
  layout->payload_in_file = (flags & attached_flag_payload_in_file) != 0;
  layout->progress_window = (flags & attached_flag_no_progress) == 0;
  for (int text = 0; text < attached_text_count; ++text) {
    const std::uint64_t offset = read_le(section + 24 + 8 * text, 4);
    const std::uint64_t length = read_le(section + 28 + 8 * text, 4);
    if (offset % 2 != 0 || !within(offset, 2 * (length + 1), size)) return false;
    for (std::uint64_t unit = 0; unit <= length; ++unit) {
      const bool zero = read_le(section + offset + 2 * unit, 2) == 0;
      if (zero != (unit == length)) return false;
    }
    layout->text_offset[text] = static_cast<std::size_t>(offset);
    layout->text_length[text] = static_cast<std::size_t>(length);
  }
  layout->digest_offset = 64;
  const std::uint64_t listing_offset = read_le(section + 96, 8);
  const std::uint64_t listing_size = read_le(section + 104, 8);
  const std::uint64_t payload_offset = read_le(section + 112, 8);
  const std::uint64_t payload_size = read_le(section + 120, 8);
  // A block in the file is checked against the file when it is opened.
  if (!within(listing_offset, listing_size, size) ||
      (!layout->payload_in_file && !within(payload_offset, payload_size, size)) ||
      payload_offset > UINT64_MAX - payload_size) {
    return false;
  }
  layout->listing_offset = static_cast<std::size_t>(listing_offset);
  layout->listing_size = static_cast<std::size_t>(listing_size);
  layout->payload_offset = payload_offset;
  layout->payload_size = payload_size;
  return true;
}
