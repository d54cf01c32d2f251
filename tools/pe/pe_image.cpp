// Reading, checking, changing and writing a PE32+ x86-64 image. Field offsets and rules are those
// of Microsoft's "PE Format" documentation; the section named in each comment defines them.
#include "pe/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "pe/bytes.h"
#include "pe/rsrc_section.h"

namespace onefile_pe {
namespace {

using bytes::align_up;
using bytes::get16;
using bytes::get32;
using bytes::put16;
using bytes::put32;

// "MS-DOS Stub (Image Only)": the offset of the PE signature is at 0x3C.
constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kLfanewOffset = 0x3C;
// "COFF File Header (Object and Image)", after the 4-byte signature.
constexpr std::size_t kCoffHeaderSize = 20;
constexpr std::size_t kCoffMachine = 0;
constexpr std::size_t kCoffNumberOfSections = 2;
constexpr std::size_t kCoffPointerToSymbolTable = 8;
constexpr std::size_t kCoffSizeOfOptionalHeader = 16;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
// "Optional Header Standard Fields" and "Optional Header Windows-Specific Fields", PE32+.
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::size_t kOptSizeOfInitializedData = 8;
constexpr std::size_t kOptSectionAlignment = 32;
constexpr std::size_t kOptFileAlignment = 36;
constexpr std::size_t kOptSizeOfImage = 56;
constexpr std::size_t kOptSizeOfHeaders = 60;
constexpr std::size_t kOptCheckSum = 64;
constexpr std::size_t kOptSubsystem = 68;
constexpr std::size_t kOptDllCharacteristics = 70;
constexpr std::size_t kOptNumberOfRvaAndSizes = 108;
constexpr std::size_t kOptDataDirectories = 112;
// "Optional Header Data Directories (Image Only)": the indices used here.
constexpr std::uint32_t kDirResource = 2;
constexpr std::uint32_t kDirCertificate = 4;  // a file offset, not an RVA
constexpr std::uint32_t kDirBoundImport = 11;
// "Section Table (Section Headers)".
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSecVirtualSize = 8;
constexpr std::size_t kSecVirtualAddress = 12;
constexpr std::size_t kSecSizeOfRawData = 16;
constexpr std::size_t kSecPointerToRawData = 20;
constexpr std::size_t kSecCharacteristics = 36;

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

[[noreturn]] void damaged(const std::string& what) {
  throw PeError("damaged PE image: " + what);
}

std::string section_name_at(std::span<const std::uint8_t> b, std::size_t at) {
  std::string name(reinterpret_cast<const char*>(&b[at]), 8);
  return name.substr(0, name.find('\0'));
}

bool is_power_of_two(std::uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

}  // namespace

Image Image::read(std::vector<std::uint8_t> input) {
  Image image;
  image.bytes_ = std::move(input);
  const std::span<const std::uint8_t> b = image.bytes_;
  const std::size_t size = b.size();
  if (size < kDosHeaderSize) {
    damaged("truncated: " + std::to_string(size) + " bytes, fewer than a DOS header");
  }
  if (b[0] != 'M' || b[1] != 'Z') throw PeError("not a PE image: no MZ signature");
  const std::size_t nt = get32(b, kLfanewOffset);
  if (nt > size || size - nt < 4 + kCoffHeaderSize) {
    damaged("truncated: the PE header at " + hex(nt) + " lies beyond the end of the file");
  }
  if (b[nt] != 'P' || b[nt + 1] != 'E' || b[nt + 2] != 0 || b[nt + 3] != 0) {
    throw PeError("not a PE image: no PE signature at " + hex(nt));
  }
  const std::size_t coff = nt + 4;
  const std::uint16_t machine = get16(b, coff + kCoffMachine);
  if (machine != kMachineAmd64) {
    const char* known = machine == 0x14C ? " (i386)" : machine == 0xAA64 ? " (ARM64)" : "";
    throw PeError("not a PE32+ x86-64 image: machine " + hex(machine) + known);
  }
  const std::size_t optional = coff + kCoffHeaderSize;
  const std::size_t optional_size = get16(b, coff + kCoffSizeOfOptionalHeader);
  if (size - optional < 2) damaged("truncated in the optional header");
  const std::uint16_t magic = get16(b, optional);
  if (magic == kMagicPe32) throw PeError("not a PE32+ x86-64 image: a 32-bit (PE32) image");
  if (magic != kMagicPe32Plus) {
    throw PeError("not a PE32+ x86-64 image: optional header magic " + hex(magic));
  }
  if (optional_size < kOptDataDirectories) {
    damaged("SizeOfOptionalHeader " + std::to_string(optional_size) + " is too small for PE32+");
  }
  if (size - optional < optional_size) damaged("truncated in the optional header");
  const std::uint32_t directories = get32(b, optional + kOptNumberOfRvaAndSizes);
  if (directories > 16 || kOptDataDirectories + 8 * directories > optional_size) {
    damaged("NumberOfRvaAndSizes " + std::to_string(directories) +
            " does not fit the optional header");
  }
  image.nt_offset_ = nt;
  image.optional_offset_ = optional;
  image.data_directory_count_ = directories;
  image.section_alignment_ = get32(b, optional + kOptSectionAlignment);
  image.file_alignment_ = get32(b, optional + kOptFileAlignment);
  image.size_of_headers_ = get32(b, optional + kOptSizeOfHeaders);
  // "FileAlignment ... a power of 2 between 512 and 64 K"; SectionAlignment >= FileAlignment.
  if (!is_power_of_two(image.file_alignment_) || image.file_alignment_ < 512 ||
      image.file_alignment_ > 0x10000) {
    damaged("FileAlignment " + hex(image.file_alignment_) + " is not a power of 2 in 512..64K");
  }
  if (!is_power_of_two(image.section_alignment_) ||
      image.section_alignment_ < image.file_alignment_) {
    damaged("SectionAlignment " + hex(image.section_alignment_) + " is not valid");
  }
  if (image.size_of_headers_ > size) damaged("truncated: SizeOfHeaders exceeds the file");

  const std::size_t count = get16(b, coff + kCoffNumberOfSections);
  const std::size_t table = optional + optional_size;
  if (count == 0) damaged("no sections");
  if (table + count * kSectionHeaderSize > image.size_of_headers_) {
    damaged("the section table (" + std::to_string(count) + " sections at " + hex(table) +
            ") extends beyond the headers (SizeOfHeaders " + hex(image.size_of_headers_) + ")");
  }
  std::uint64_t expected_address = 0;
  image.input_sections_end_ = image.size_of_headers_;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = table + i * kSectionHeaderSize;
    Section section;
    section.name = section_name_at(b, at);
    section.virtual_size = get32(b, at + kSecVirtualSize);
    section.virtual_address = get32(b, at + kSecVirtualAddress);
    section.raw_size = get32(b, at + kSecSizeOfRawData);
    section.raw_offset = get32(b, at + kSecPointerToRawData);
    section.characteristics = get32(b, at + kSecCharacteristics);
    section.header_offset = at;
    if (section.raw_size != 0 && section.raw_offset < image.size_of_headers_) {
      damaged("section " + section.name + "'s data at " + hex(section.raw_offset) +
              " overlaps the headers");
    }
    if (section.raw_size != 0 && std::uint64_t{section.raw_offset} + section.raw_size > size) {
      damaged("truncated: section " + section.name + "'s data (" + hex(section.raw_offset) + ", " +
              hex(section.raw_size) + " bytes) lies outside the file of " + hex(size) + " bytes");
    }
    // "In an image file, the VAs for sections must be assigned by the linker so that they are in
    // ascending order and adjacent, and they must be a multiple of the SectionAlignment value".
    if (i == 0 ? section.virtual_address < image.size_of_headers_
               : section.virtual_address != expected_address) {
      damaged("section " + section.name + "'s address " + hex(section.virtual_address) +
              (i == 0 ? " lies inside the headers" : " does not follow the previous section"));
    }
    const std::uint32_t extent = section.virtual_size ? section.virtual_size : section.raw_size;
    expected_address =
        align_up(std::uint64_t{section.virtual_address} + extent, image.section_alignment_);
    if (section.raw_size != 0) {
      image.input_sections_end_ =
          std::max<std::size_t>(image.input_sections_end_, section.raw_offset + section.raw_size);
    }
    image.sections_.push_back(std::move(section));
  }

  // "The Attribute Certificate Table": its entry holds a file offset; the table ends the file.
  image.input_end_ = size;
  if (directories > kDirCertificate) {
    const std::size_t entry = optional + kOptDataDirectories + 8 * kDirCertificate;
    const std::uint64_t offset = get32(b, entry);
    const std::uint64_t length = get32(b, entry + 4);
    if (length != 0) {
      if (offset + length > size) damaged("truncated: the certificate table exceeds the file");
      if (offset < image.input_sections_end_)
        damaged("the certificate table overlaps the sections");
      if (align_up(offset + length, 8) < size)
        damaged("the certificate table does not end the file");
      image.input_end_ = offset;
    }
  }
  return image;
}

std::uint16_t Image::subsystem() const {
  return get16(bytes_, optional_offset_ + kOptSubsystem);
}

void Image::set_subsystem(std::uint16_t subsystem) {
  put16(bytes_, optional_offset_ + kOptSubsystem, subsystem);
}

std::uint16_t Image::dll_characteristics() const {
  return get16(bytes_, optional_offset_ + kOptDllCharacteristics);
}

std::uint32_t Image::next_virtual_address() const {
  const Section& last = sections_.back();
  const std::uint32_t extent = last.virtual_size ? last.virtual_size : last.raw_size;
  return static_cast<std::uint32_t>(
      align_up(std::uint64_t{last.virtual_address} + extent, section_alignment_));
}

std::uint32_t Image::add_section(std::string_view name, std::vector<std::uint8_t> data,
                                 std::uint32_t characteristics, std::uint64_t streamed_size) {
  if (name.empty() || name.size() > 8) {
    throw PeError("section name \"" + std::string(name) + "\" must have 1 to 8 bytes");
  }
  if (data.empty()) throw PeError("section " + std::string(name) + " would be empty");
  if (!sections_.empty() && sections_.back().streamed_size != 0) {
    throw PeError("section " + std::string(name) + " can't follow a section with streamed bytes");
  }
  // The new header must fit between the section table and the first section's data.
  const std::size_t table =
      optional_offset_ + get16(bytes_, nt_offset_ + 4 + kCoffSizeOfOptionalHeader);
  std::size_t room = size_of_headers_;
  for (const Section& section : sections_) {
    if (!section.added && section.raw_size != 0)
      room = std::min<std::size_t>(room, section.raw_offset);
  }
  if (table + (sections_.size() + 1) * kSectionHeaderSize > room) {
    throw PeError("no room in the headers for another section header (SizeOfHeaders " +
                  hex(size_of_headers_) + ", " + std::to_string(sections_.size()) + " sections)");
  }
  const std::uint64_t address = next_virtual_address();
  const std::uint64_t content_size = data.size() + streamed_size;
  const std::uint64_t raw_size = align_up(content_size, file_alignment_);
  if (address + align_up(content_size, section_alignment_) > 0xFFFFFFFFu ||
      raw_size > 0xFFFFFFFFu) {
    throw PeError("section " + std::string(name) + " does not fit in a 4 GiB image");
  }
  Section section;
  section.name = std::string(name);
  section.virtual_size = static_cast<std::uint32_t>(content_size);
  section.streamed_size = streamed_size;
  section.virtual_address = static_cast<std::uint32_t>(address);
  section.raw_size = static_cast<std::uint32_t>(raw_size);
  section.characteristics = characteristics;
  section.added = true;
  section.data = std::move(data);
  if (characteristics & kSectionInitializedData) {
    const std::size_t field = optional_offset_ + kOptSizeOfInitializedData;
    put32(bytes_, field, get32(bytes_, field) + section.raw_size);
  }
  sections_.push_back(std::move(section));
  return static_cast<std::uint32_t>(address);
}

const Image::Section* Image::find_section(std::string_view name) const {
  name = name.substr(0, name.find('\0'));  // a name given as the header's 8 padded bytes
  for (const Section& section : sections_) {
    if (section.name == name) return &section;
  }
  return nullptr;
}

std::optional<std::span<const std::uint8_t>> Image::section_data(std::string_view name) const {
  const Section* section = find_section(name);
  if (!section) return std::nullopt;
  if (section->added) return std::span<const std::uint8_t>(section->data);
  const std::uint32_t length = section->virtual_size
                                   ? std::min(section->virtual_size, section->raw_size)
                                   : section->raw_size;
  return std::span<const std::uint8_t>(bytes_).subspan(section->raw_offset, length);
}

std::optional<std::uint32_t> Image::section_address(std::string_view name) const {
  const Section* section = find_section(name);
  if (!section) return std::nullopt;
  return section->virtual_address;
}

std::vector<std::string> Image::section_names() const {
  std::vector<std::string> names;
  for (const Section& section : sections_) names.push_back(section.name);
  return names;
}

void Image::set_resources(std::vector<Resource> resources) {
  if (data_directory_count_ <= kDirResource) {
    throw PeError("the image has no resource directory entry (NumberOfRvaAndSizes " +
                  std::to_string(data_directory_count_) + ")");
  }
  const std::size_t entry = optional_offset_ + kOptDataDirectories + 8 * kDirResource;
  const std::uint32_t old_rva = get32(bytes_, entry);
  if (old_rva != 0 || get32(bytes_, entry + 4) != 0) {
    // Later sections can't move (code refers to them by address), so only the last one can go.
    const Section& last = sections_.back();
    if (old_rva < last.virtual_address || last.name != ".rsrc" || sections_.size() < 2) {
      std::string holder = "no section";
      for (const Section& section : sections_) {
        if (old_rva >= section.virtual_address) holder = "section " + section.name;
      }
      throw PeError("the image's resources (in " + holder +
                    ") are not in its last section, so they can't be replaced");
    }
    if (last.characteristics & kSectionInitializedData) {
      const std::size_t field = optional_offset_ + kOptSizeOfInitializedData;
      put32(bytes_, field, get32(bytes_, field) - last.raw_size);
    }
    sections_.pop_back();
    put32(bytes_, entry, 0);
    put32(bytes_, entry + 4, 0);
  }
  if (resources.empty()) return;
  const std::uint32_t address = next_virtual_address();
  std::vector<std::uint8_t> section = resource_section(std::move(resources), address);
  const auto size = static_cast<std::uint32_t>(section.size());
  add_section(".rsrc", std::move(section), kSectionReadOnlyData);
  put32(bytes_, entry, address);
  put32(bytes_, entry + 4, size);
}

std::vector<std::uint8_t> Image::write() const {
  const std::span<const std::uint8_t> in = bytes_;
  // Where the input's section data ends; anything between it and the certificate table (the COFF
  // symbol table of an unstripped image, say) follows the new sections.
  const std::size_t input_sections_end = input_sections_end_;
  const std::size_t input_count = get16(in, nt_offset_ + 4 + kCoffNumberOfSections);
  const std::size_t table =
      optional_offset_ + get16(in, nt_offset_ + 4 + kCoffSizeOfOptionalHeader);
  std::size_t kept_end = size_of_headers_;
  for (const Section& section : sections_) {
    if (!section.added && section.raw_size != 0) {
      kept_end = std::max<std::size_t>(kept_end, section.raw_offset + section.raw_size);
    }
  }
  std::size_t total = kept_end + (input_end_ - input_sections_end);
  for (const Section& section : sections_) {
    if (section.added) {
      total += file_alignment_ + (section.streamed_size ? section.data.size() : section.raw_size);
    }
  }
  std::vector<std::uint8_t> out;
  out.reserve(total);  // one allocation
  out.assign(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(kept_end));
  std::vector<std::uint32_t> raw_offsets;
  for (const Section& section : sections_) {
    raw_offsets.push_back(section.raw_offset);
    if (!section.added) continue;
    out.resize(align_up(out.size(), file_alignment_), 0);
    raw_offsets.back() = static_cast<std::uint32_t>(out.size());
    out.insert(out.end(), section.data.begin(), section.data.end());
    if (section.streamed_size == 0)
      out.resize(raw_offsets.back() + std::size_t{section.raw_size}, 0);
  }
  const bool streamed = sections_.back().streamed_size != 0;
  if (streamed && input_end_ != input_sections_end) {
    throw PeError("the image has data after its sections, so its last section can't be streamed");
  }
  const std::size_t overlay_start = out.size();
  out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(input_sections_end),
             in.begin() + static_cast<std::ptrdiff_t>(input_end_));
  if (out.size() + sections_.back().streamed_size > 0xFFFFFFFFu) {
    throw PeError("the image would exceed 4 GiB");
  }

  // The section table: input headers kept as they were, new ones filled in, stale slots zeroed.
  const std::size_t slots = std::max(input_count, sections_.size());
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(table),
            out.begin() + static_cast<std::ptrdiff_t>(table + slots * kSectionHeaderSize), 0);
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    const Section& section = sections_[i];
    const std::size_t at = table + i * kSectionHeaderSize;
    if (!section.added) {
      std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(section.header_offset),
                  kSectionHeaderSize, out.begin() + static_cast<std::ptrdiff_t>(at));
      continue;
    }
    std::copy(section.name.begin(), section.name.end(),
              out.begin() + static_cast<std::ptrdiff_t>(at));
    put32(out, at + kSecVirtualSize, section.virtual_size);
    put32(out, at + kSecVirtualAddress, section.virtual_address);
    put32(out, at + kSecSizeOfRawData, section.raw_size);
    put32(out, at + kSecPointerToRawData, raw_offsets[i]);
    put32(out, at + kSecCharacteristics, section.characteristics);
  }

  const std::size_t coff = nt_offset_ + 4;
  put16(out, coff + kCoffNumberOfSections, static_cast<std::uint32_t>(sections_.size()));
  const std::uint32_t symbols = get32(in, coff + kCoffPointerToSymbolTable);
  if (symbols >= input_sections_end && symbols < input_end_) {
    put32(out, coff + kCoffPointerToSymbolTable,
          static_cast<std::uint32_t>(symbols - input_sections_end + overlay_start));
  }
  const Section& last = sections_.back();
  const std::uint32_t extent = last.virtual_size ? last.virtual_size : last.raw_size;
  put32(out, optional_offset_ + kOptSizeOfImage,
        static_cast<std::uint32_t>(
            align_up(std::uint64_t{last.virtual_address} + extent, section_alignment_)));
  for (const std::uint32_t cleared : {kDirCertificate, kDirBoundImport}) {
    if (cleared >= data_directory_count_) continue;
    put32(out, optional_offset_ + kOptDataDirectories + 8 * cleared, 0);
    put32(out, optional_offset_ + kOptDataDirectories + 8 * cleared + 4, 0);
  }
  const std::size_t checksum = optional_offset_ + kOptCheckSum;
  put32(out, checksum, streamed ? 0 : pe_checksum(out, checksum));
  return out;
}

std::uint64_t Image::streamed_end() const {
  std::uint64_t end = size_of_headers_;
  for (const Section& section : sections_) {
    if (section.raw_size == 0) continue;
    end = section.added ? align_up(end, file_alignment_) + section.raw_size
                        : std::max<std::uint64_t>(end, section.raw_offset + section.raw_size);
  }
  return end;
}

std::uint64_t Image::size_of_image_with(std::uint64_t section_size) const {
  return next_virtual_address() + align_up(section_size, section_alignment_);
}

std::size_t Image::checksum_offset() const {
  return optional_offset_ + kOptCheckSum;
}

}  // namespace onefile_pe
