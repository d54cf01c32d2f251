#include "onefile/module_check.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "onefile/files.h"
#include "pack/platform.h"

namespace onefile_tool {
namespace {

namespace fs = std::filesystem;

constexpr std::uint16_t machine_x86_64 = 0x8664;
constexpr std::uint16_t machine_x86 = 0x14C;
constexpr std::uint16_t subsystem_gui = 2;
constexpr std::uint16_t subsystem_console = 3;
constexpr std::uint16_t characteristic_dll = 0x2000;
constexpr std::uint16_t magic_pe32 = 0x10b;
constexpr std::uint16_t magic_pe32_plus = 0x20b;
constexpr int export_directory = 0;
constexpr int import_directory = 1;
constexpr int delay_import_directory = 13;
constexpr std::uint32_t delay_attributes_rva_based = 1;
constexpr int certificate_directory = 4;

// An unreadable file is empty: not a PE image. Opened through the packer's helper, which takes
// paths of any length on Windows; at most pe_check_read_limit bytes of it.
std::string file_bytes(const fs::path& file) {
  std::string bytes;
  std::FILE* in = onefile_pack::open_file(file, "rb");
  if (in == nullptr) return bytes;
  char buffer[1 << 16];
  for (std::size_t got; bytes.size() < pe_check_read_limit &&
                        (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
    bytes.append(buffer, got);
  }
  std::fclose(in);
  return bytes;
}

class Bytes {
 public:
  explicit Bytes(std::string bytes) : bytes_(std::move(bytes)) {}
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
  // The 0-ended text at offset, when it ends within limit bytes.
  std::optional<std::string> text_at(std::uint64_t offset, std::size_t limit) const {
    if (!has(offset, 1)) return std::nullopt;
    const std::size_t end = bytes_.find('\0', offset);
    if (end == std::string::npos || end - offset > limit) return std::nullopt;
    return bytes_.substr(offset, end - offset);
  }

 private:
  std::string bytes_;
};

struct Headers {
  std::uint16_t machine = 0;
  std::uint16_t characteristics = 0;
  std::uint16_t subsystem = 0;
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
  headers.subsystem = static_cast<std::uint16_t>(file.le(optional + 68, 2));
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

// The DLL names of an import table: descriptors of `size` bytes, each naming its DLL by the RVA
// at name_field, up to one that is all zero ("The .idata Section"; "Delay-Load Import Tables").
void add_import_names(const Bytes& file, const Headers& headers, int directory, std::uint64_t size,
                      std::uint64_t name_field, std::vector<std::string>& names) {
  const std::uint64_t rva = directory_field(file, headers, directory, 0);
  const auto table = rva == 0 ? std::nullopt : file_offset(file, headers, rva);
  if (!table) return;
  // A damaged table ends the walk; an image has far fewer than 4096 DLLs.
  for (std::uint64_t at = *table; file.has(at, size) && at < *table + 4096 * size; at += size) {
    if (file.le(at, 4) == 0 && file.le(at + name_field, 4) == 0) return;
    // Older delay-load tables hold virtual addresses, not RVAs: not read.
    if (directory == delay_import_directory && (file.le(at, 4) & delay_attributes_rva_based) == 0) {
      continue;
    }
    const auto name = file_offset(file, headers, file.le(at + name_field, 4));
    if (!name) continue;
    if (std::optional<std::string> text = file.text_at(*name, 255); text && !text->empty()) {
      names.push_back(std::move(*text));
    }
  }
}

}  // namespace

PeFacts pe_facts(std::string image) {
  const Bytes bytes(std::move(image));
  PeFacts facts;
  const std::optional<Headers> headers = read_headers(bytes);
  if (!headers) return facts;
  facts.is_pe = true;
  facts.machine = headers->machine;
  facts.characteristics = headers->characteristics;
  facts.subsystem = headers->subsystem;
  facts.exports_run_code = exports_name(bytes, *headers, "run_code");
  facts.is_signed = directory_field(bytes, *headers, certificate_directory, 1) != 0;
  add_import_names(bytes, *headers, import_directory, 20, 12, facts.imports);
  add_import_names(bytes, *headers, delay_import_directory, 32, 4, facts.imports);
  return facts;
}

std::string run_program_fault(const fs::path& file, const std::string& shown_name) {
  const std::string name = "--run '" + shown_name + "'";
  const PeFacts facts = pe_facts(file_bytes(file));
  if (!facts.is_pe) return name + " is not a Windows program";
  if ((facts.characteristics & characteristic_dll) != 0) return name + " is a DLL, not a program";
  if (facts.machine != machine_x86_64 && facts.machine != machine_x86) {
    return name + " is not a program for x86-64 or x86";
  }
  if (facts.subsystem != subsystem_gui && facts.subsystem != subsystem_console) {
    return name + " is not a Windows program (its subsystem is neither the graphical nor the " +
           "console one)";
  }
  return "";
}

std::vector<std::string> imported_dll_names(const fs::path& file) {
  return pe_facts(file_bytes(file)).imports;
}

std::string main_module_fault(const fs::path& file) {
  // Appended rather than concatenated: GCC 12 warns wrongly about "'" + std::string (-Wrestrict).
  std::string name(1, '\'');
  name += onefile_pack::display_path(file);
  name += '\'';
  const PeFacts facts = pe_facts(file_bytes(file));
  if (!facts.is_pe) return name + " is not a Windows DLL";
  if (facts.machine != machine_x86_64) return name + " is not an x86-64 Windows DLL";
  if ((facts.characteristics & characteristic_dll) == 0) return name + " is a program, not a DLL";
  if (!facts.exports_run_code) return name + " does not export run_code";
  return "";
}

bool is_unsigned_pe(const fs::path& file) {
  const PeFacts facts = pe_facts(file_bytes(file));
  return facts.is_pe && !facts.is_signed;
}

}  // namespace onefile_tool
