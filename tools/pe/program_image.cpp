#include "pe/program_image.h"

#include <algorithm>
#include <cctype>

#include "pe/bytes.h"

namespace onefile_pe {
namespace {

using bytes::get16;
using bytes::get32;

constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint32_t kDirResource = 2;
constexpr std::uint32_t kSubdirectory = 0x80000000;  // Resource Directory Entry: a table
constexpr std::uint16_t kManifestId = 1;             // CREATEPROCESS_MANIFEST_RESOURCE_ID

[[noreturn]] void damaged(const std::string& what) {
  throw PeError("damaged PE image: " + what);
}

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> file) : file_(file) {}

  bool has(std::uint64_t offset, std::uint64_t size) const {
    return offset <= file_.size() && size <= file_.size() - offset;
  }
  std::uint16_t u16(std::uint64_t offset) const {
    if (!has(offset, 2)) damaged("truncated at " + std::to_string(offset));
    return get16(file_, offset);
  }
  std::uint32_t u32(std::uint64_t offset) const {
    if (!has(offset, 4)) damaged("truncated at " + std::to_string(offset));
    return get32(file_, offset);
  }
  std::span<const std::uint8_t> bytes(std::uint64_t offset, std::uint64_t size) const {
    if (!has(offset, size)) damaged("a resource lies outside the file");
    return file_.subspan(offset, size);
  }

 private:
  std::span<const std::uint8_t> file_;
};

struct Section {
  std::uint32_t address, extent, raw_offset, raw_size;
};

// The file offset of an RVA, through the section whose initialised data holds it.
std::optional<std::uint64_t> file_offset(const std::vector<Section>& sections, std::uint32_t rva) {
  for (const Section& section : sections) {
    if (rva >= section.address && rva - section.address < section.raw_size &&
        rva - section.address < section.extent) {
      return std::uint64_t{section.raw_offset} + (rva - section.address);
    }
  }
  return std::nullopt;
}

// The entry of a resource directory table with this integer id, or, when id is empty, its first
// entry; the entry's second field (a table's or a data entry's offset in the section).
std::optional<std::uint32_t> find_entry(const Reader& file, std::uint64_t section_start,
                                        std::uint32_t table, std::optional<std::uint16_t> id) {
  const std::uint64_t at = section_start + table;
  const std::uint32_t named = file.u16(at + 12);
  const std::uint32_t ids = file.u16(at + 14);
  // Name entries come first; integer ids follow them.
  for (std::uint32_t i = 0; i < named + ids; ++i) {
    const std::uint64_t entry = at + 16 + 8 * std::uint64_t{i};
    const std::uint32_t name = file.u32(entry);
    if (!id || (i >= named && name == *id)) return file.u32(entry + 4);
  }
  return std::nullopt;
}

std::optional<std::string> manifest_resource(const Reader& file,
                                             const std::vector<Section>& sections,
                                             std::uint32_t directory_rva) {
  if (directory_rva == 0) return std::nullopt;
  const auto start = file_offset(sections, directory_rva);
  if (!start) damaged("the resource directory lies outside the sections");
  // Type, then id, then language: each level's entry must lead to a table, the last to data.
  const auto type = find_entry(file, *start, 0, kRtManifest);
  if (!type) return std::nullopt;
  if ((*type & kSubdirectory) == 0) damaged("the manifest type's entry is not a table");
  const auto name = find_entry(file, *start, *type & ~kSubdirectory, kManifestId);
  if (!name) return std::nullopt;
  if ((*name & kSubdirectory) == 0) damaged("the manifest's entry is not a table");
  const auto language = find_entry(file, *start, *name & ~kSubdirectory, std::nullopt);
  if (!language) return std::nullopt;
  if ((*language & kSubdirectory) != 0) damaged("the manifest's language entry is a table");
  const std::uint64_t data_entry = *start + *language;
  const auto data = file_offset(sections, file.u32(data_entry));
  if (!data) damaged("the manifest lies outside the sections");
  const std::span<const std::uint8_t> text = file.bytes(*data, file.u32(data_entry + 4));
  return std::string(text.begin(), text.end());
}

bool is_name_character(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
         c == ':' || static_cast<unsigned char>(c) >= 0x80;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The level attribute of the start tag whose name ends at `at`; empty when it has none.
std::string level_attribute(std::string_view text, std::size_t at) {
  while (at < text.size() && text[at] != '>') {
    while (at < text.size() && (is_space(text[at]) || text[at] == '/')) ++at;
    const std::size_t name_start = at;
    while (at < text.size() && is_name_character(text[at])) ++at;
    const std::string_view name = text.substr(name_start, at - name_start);
    while (at < text.size() && is_space(text[at])) ++at;
    if (name.empty() || at >= text.size() || text[at] != '=') break;
    ++at;
    while (at < text.size() && is_space(text[at])) ++at;
    if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) break;
    const std::size_t close = text.find(text[at], at + 1);
    if (close == std::string_view::npos) break;
    if (name == "level") {
      std::string_view value = text.substr(at + 1, close - at - 1);
      while (!value.empty() && is_space(value.front())) value.remove_prefix(1);
      while (!value.empty() && is_space(value.back())) value.remove_suffix(1);
      return std::string(value);
    }
    at = close + 1;
  }
  return "";
}

}  // namespace

ProgramImage read_program_image(std::span<const std::uint8_t> bytes) {
  const Reader file(bytes);
  if (!file.has(0, 64) || bytes[0] != 'M' || bytes[1] != 'Z') {
    throw PeError("not a PE image: no MZ signature");
  }
  const std::uint32_t nt = file.u32(0x3C);
  if (!file.has(nt, 24) || file.u32(nt) != 0x4550) {  // "PE\0\0"
    throw PeError("not a PE image: no PE signature");
  }
  const std::uint64_t coff = nt + 4;
  const std::uint32_t section_count = file.u16(coff + 2);
  const std::uint64_t optional = coff + 20;
  const std::uint64_t optional_size = file.u16(coff + 16);
  const std::uint16_t magic = file.u16(optional);
  if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
    throw PeError("not a PE image: optional header magic " + std::to_string(magic));
  }
  ProgramImage image;
  image.is_32_bit = magic == kMagicPe32;
  // NumberOfRvaAndSizes and the data directories: at 92/96 in PE32, 108/112 in PE32+.
  const std::uint64_t count_at = optional + (image.is_32_bit ? 92 : 108);
  const std::uint32_t directories = file.u32(count_at);
  std::uint32_t resource_rva = 0;
  if (directories > kDirResource && 4 + 8 * (kDirResource + 1) <= optional_size) {
    resource_rva = file.u32(count_at + 4 + 8 * kDirResource);
  }
  std::vector<Section> sections;
  for (std::uint32_t i = 0; i < section_count; ++i) {
    const std::uint64_t at = optional + optional_size + 40 * std::uint64_t{i};
    const std::uint32_t virtual_size = file.u32(at + 8);
    const std::uint32_t raw_size = file.u32(at + 16);
    sections.push_back(
        {file.u32(at + 12), virtual_size ? virtual_size : raw_size, file.u32(at + 20), raw_size});
  }
  image.manifest = manifest_resource(file, sections, resource_rva);
  return image;
}

std::string requested_execution_level(std::string_view manifest) {
  std::string narrowed;
  if (manifest.starts_with("\xFF\xFE")) {  // UTF-16LE: the element and its values are ASCII
    for (std::size_t i = 2; i + 1 < manifest.size(); i += 2) {
      narrowed += manifest[i + 1] == '\0' ? manifest[i] : '?';
    }
    manifest = narrowed;
  }
  constexpr std::string_view element = "requestedExecutionLevel";
  for (std::size_t at = manifest.find('<'); at != std::string_view::npos;
       at = manifest.find('<', at + 1)) {
    if (manifest.substr(at).starts_with("<!--")) {
      at = manifest.find("-->", at);
      if (at == std::string_view::npos) break;
      continue;
    }
    // The element's name, with or without a namespace prefix.
    std::size_t end = at + 1;
    while (end < manifest.size() && is_name_character(manifest[end])) ++end;
    const std::string_view name = manifest.substr(at + 1, end - at - 1);
    const std::size_t colon = name.rfind(':');
    const std::string_view local = colon == std::string_view::npos ? name : name.substr(colon + 1);
    if (local == element) return level_attribute(manifest, end);
  }
  return "";
}

}  // namespace onefile_pe
