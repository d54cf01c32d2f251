// The version record, as the Win32 documentation of "VS_VERSIONINFO", "VS_FIXEDFILEINFO",
// "StringFileInfo", "StringTable", "String", "VarFileInfo" and "Var" lays it out. Every block is
//   WORD wLength;       bytes of the block, its children included (not the padding after it)
//   WORD wValueLength;  the value's size: in WORDs for text, in bytes for binary values
//   WORD wType;         1 for text, 0 for binary
//   WCHAR szKey[];      zero-terminated UTF-16, then zero padding to a 32-bit boundary
//   value, then zero padding to a 32-bit boundary, then the children (each 32-bit aligned).
#include <functional>
#include <utility>

#include "pe/bytes.h"
#include "pe/resources.h"

namespace onefile_pe {
namespace {

using bytes::append16;
using bytes::append32;

constexpr std::uint16_t kBinary = 0;
constexpr std::uint16_t kText = 1;

void pad_to_32_bits(std::vector<std::uint8_t>& out) {
  out.resize(bytes::align_up(out.size(), 4), 0);
}

void append_text(std::vector<std::uint8_t>& out, std::u16string_view text) {
  for (const char16_t unit : text) append16(out, unit);
  append16(out, 0);
}

using Children = std::function<void(std::vector<std::uint8_t>&)>;

// One block at the end of `out` (which the caller has aligned to 32 bits).
void append_block(std::vector<std::uint8_t>& out, std::u16string_view key, std::uint16_t type,
                  std::uint16_t value_length, const std::vector<std::uint8_t>& value,
                  const Children& children = {}) {
  const std::size_t start = out.size();
  append16(out, 0);  // wLength, set below
  append16(out, value_length);
  append16(out, type);
  append_text(out, key);
  pad_to_32_bits(out);
  out.insert(out.end(), value.begin(), value.end());
  if (children) children(out);
  const std::size_t length = out.size() - start;
  if (length > 0xFFFF) throw PeError("the version record exceeds 64 KiB");
  bytes::put16(out, start, static_cast<std::uint32_t>(length));
}

// A child block: aligned to 32 bits before it starts.
void append_child(std::vector<std::uint8_t>& out, std::u16string_view key, std::uint16_t type,
                  std::uint16_t value_length, const std::vector<std::uint8_t>& value,
                  const Children& children = {}) {
  pad_to_32_bits(out);
  append_block(out, key, type, value_length, value, children);
}

std::uint32_t high(const std::array<std::uint16_t, 4>& v) {
  return std::uint32_t{v[0]} << 16 | v[1];
}
std::uint32_t low(const std::array<std::uint16_t, 4>& v) {
  return std::uint32_t{v[2]} << 16 | v[3];
}

// VS_FIXEDFILEINFO: 13 DWORDs.
std::vector<std::uint8_t> fixed_file_info(const VersionFields& fields) {
  std::vector<std::uint8_t> info;
  append32(info, 0xFEEF04BD);  // dwSignature
  append32(info, 0x00010000);  // dwStrucVersion 1.0
  append32(info, high(fields.file_version));
  append32(info, low(fields.file_version));
  append32(info, high(fields.product_version));
  append32(info, low(fields.product_version));
  append32(info, 0x3F);        // dwFileFlagsMask: VS_FFI_FILEFLAGSMASK
  append32(info, 0);           // dwFileFlags: a release build
  append32(info, 0x00040004);  // dwFileOS: VOS_NT_WINDOWS32
  append32(info, 1);           // dwFileType: VFT_APP
  append32(info, 0);           // dwFileSubtype
  append32(info, 0);           // dwFileDateMS: no date, so that the bytes stay the same
  append32(info, 0);           // dwFileDateLS
  return info;
}

}  // namespace

std::vector<std::uint8_t> version_record(const VersionFields& fields) {
  // The predefined names of the string table, in the order the documentation lists them.
  const std::pair<std::u16string_view, const std::u16string*> strings[] = {
      {u"Comments", &fields.comments},
      {u"CompanyName", &fields.company_name},
      {u"FileDescription", &fields.file_description},
      {u"FileVersion", &fields.file_version_text},
      {u"InternalName", &fields.internal_name},
      {u"LegalCopyright", &fields.legal_copyright},
      {u"OriginalFilename", &fields.original_filename},
      {u"ProductName", &fields.product_name},
      {u"ProductVersion", &fields.product_version_text},
  };
  const auto string_table = [&](std::vector<std::uint8_t>& out) {
    for (const auto& [name, text] : strings) {
      if (text->empty()) continue;
      if (text->size() >= 0x7FFF) throw PeError("the version record exceeds 64 KiB");
      std::vector<std::uint8_t> value;
      append_text(value, *text);
      // A String's wValueLength counts WORDs, the terminating zero included.
      append_child(out, name, kText, static_cast<std::uint16_t>(text->size() + 1), value);
    }
  };
  // Language neutral (0x0000), code page 1200 (UTF-16, 0x04B0): the table's key is the two in
  // hexadecimal, and VarFileInfo's Translation names the same pair.
  std::vector<std::uint8_t> translation;
  bytes::append16(translation, 0x0000);
  bytes::append16(translation, 0x04B0);

  std::vector<std::uint8_t> out;
  append_block(out, u"VS_VERSION_INFO", kBinary, 52, fixed_file_info(fields), [&](auto& children) {
    append_child(children, u"StringFileInfo", kText, 0, {}, [&](auto& file_info) {
      append_child(file_info, u"000004b0", kText, 0, {}, string_table);
    });
    append_child(children, u"VarFileInfo", kText, 0, {}, [&](auto& var_info) {
      append_child(var_info, u"Translation", kBinary, 4, translation);
    });
  });
  return out;
}

}  // namespace onefile_pe
