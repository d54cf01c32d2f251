#include "onefile/module_check.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "pack/platform.h"

namespace onefile_tool {
namespace {

namespace fs = std::filesystem;

constexpr std::uint16_t machine_x86_64 = 0x8664;
constexpr std::uint16_t characteristic_dll = 0x2000;
constexpr std::uint16_t magic_pe32 = 0x10b;
constexpr std::uint16_t magic_pe32_plus = 0x20b;
constexpr int export_directory = 0;
constexpr int certificate_directory = 4;

class Bytes {
 public:
  // An unreadable file is empty: not a PE image.
  explicit Bytes(const fs::path& file) {
    std::FILE* in = onefile_pack::open_file(file, "rb");
    if (in == nullptr) return;
    char buffer[1 << 16];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
      bytes_.append(buffer, got);
    }
    std::fclose(in);
  }
  bool has(std::uint64_t offset, std::uint64_t size) const {
    return offset <= bytes_.size() && size <= bytes_.size() - offset;
  }
  std::uint64_t le(std::uint64_t offset, int size) const {
    if (!has(offset, static_cast<std::uint64_t>(size))) return 0;
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
      value = (value << 8) | static_cast<std::uint8_t>(bytes_[offset + i]);
    return value;
  }
  // True when the 0-ended text at offset is wanted.
  bool text_is(std::uint64_t offset, std::string_view wanted) const {
    return has(offset, wanted.size() + 1) &&
           std::string_view(bytes_).substr(offset, wanted.size()) == wanted &&
           bytes_[offset + wanted.size()] == '\0';
  }

 private:
  std::string bytes_;
};

struct Headers {
  std::uint16_t machine = 0;
  std::uint16_t characteristics = 0;
  std::uint64_t directories = 0;  // offset of the data directories
  std::uint64_t directory_count = 0;
  std::uint64_t sections = 0;  // offset of the section table
  std::uint64_t section_count = 0;
};

std::optional<Headers> read_headers(const Bytes& file) {
  if (file.le(0, 2) != 0x5A4D) return std::nullopt;  // "MZ"
  const std::uint64_t nt = file.le(0x3C, 4);
  if (!file.has(nt, 24) || file.le(nt, 4) != 0x4550) return std::nullopt;  // "PE\0\0"
  Headers headers;
  headers.machine = static_cast<std::uint16_t>(file.le(nt + 4, 2));
  headers.section_count = file.le(nt + 6, 2);
  const std::uint64_t optional_size = file.le(nt + 20, 2);
  headers.characteristics = static_cast<std::uint16_t>(file.le(nt + 22, 2));
  const std::uint64_t optional = nt + 24;
  const std::uint64_t magic = file.le(optional, 2);
  if (magic != magic_pe32 && magic != magic_pe32_plus) return std::nullopt;
  const std::uint64_t count_offset = optional + (magic == magic_pe32_plus ? 108 : 92);
  headers.directory_count = file.le(count_offset, 4);
  headers.directories = count_offset + 4;
  headers.sections = optional + optional_size;
  if (!file.has(optional, optional_size) || !file.has(headers.sections, 40 * headers.section_count))
    return std::nullopt;
  return headers;
}

std::uint64_t directory_field(const Bytes& file, const Headers& headers, int directory, int field) {
  if (static_cast<std::uint64_t>(directory) >= headers.directory_count) return 0;
  return file.le(headers.directories + 8 * directory + 4 * field, 4);
}

// The file offset of an RVA, through the section that holds it.
std::optional<std::uint64_t> file_offset(const Bytes& file, const Headers& headers,
                                         std::uint64_t rva) {
  for (std::uint64_t i = 0; i < headers.section_count; ++i) {
    const std::uint64_t section = headers.sections + 40 * i;
    const std::uint64_t address = file.le(section + 12, 4);
    const std::uint64_t raw_size = file.le(section + 16, 4);
    if (rva >= address && rva < address + raw_size) return file.le(section + 20, 4) + rva - address;
  }
  return std::nullopt;
}

bool exports_name(const Bytes& file, const Headers& headers, std::string_view wanted) {
  const std::uint64_t directory_rva = directory_field(file, headers, export_directory, 0);
  const auto directory = file_offset(file, headers, directory_rva);
  if (directory_rva == 0 || !directory || !file.has(*directory, 40)) return false;
  const std::uint64_t name_count = file.le(*directory + 24, 4);
  const auto names = file_offset(file, headers, file.le(*directory + 32, 4));
  if (!names || !file.has(*names, 4 * name_count)) return false;
  for (std::uint64_t i = 0; i < name_count; ++i) {
    const auto name = file_offset(file, headers, file.le(*names + 4 * i, 4));
    if (name && file.text_is(*name, wanted)) return true;
  }
  return false;
}

}  // namespace

std::string main_module_fault(const fs::path& file) {
  // Appended rather than concatenated: GCC 12 warns wrongly about "'" + std::string (-Wrestrict).
  std::string name(1, '\'');
  name += onefile_pack::display_path(file);
  name += '\'';
  const Bytes bytes(file);
  const std::optional<Headers> headers = read_headers(bytes);
  if (!headers) return name + " is not a Windows DLL";
  if (headers->machine != machine_x86_64) return name + " is not an x86-64 Windows DLL";
  if ((headers->characteristics & characteristic_dll) == 0)
    return name + " is a program, not a DLL";
  if (!exports_name(bytes, *headers, "run_code")) return name + " does not export run_code";
  return "";
}

bool is_unsigned_pe(const fs::path& file) {
  const Bytes bytes(file);
  const std::optional<Headers> headers = read_headers(bytes);
  return headers && directory_field(bytes, *headers, certificate_directory, 1) == 0;
}

}  // namespace onefile_tool
