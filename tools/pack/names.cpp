#include "pack/names.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "pack/entries.h"
#include "pack/utf.h"

namespace onefile_pack {
namespace {

// Capitals from first to last map to their small letters by adding delta; with step 2 only
// every other unit (those of first's parity) is a capital. Sorted by first: the lookup stops at
// the first range above the unit.
struct FoldRange {
  char16_t first;
  char16_t last;
  std::int32_t delta;
  std::uint8_t step;
};

constexpr FoldRange fold_ranges[] = {
    {0x0041, 0x005A, 32, 1},     // Basic Latin
    {0x00B5, 0x00B5, 775, 1},    // micro sign -> Greek mu
    {0x00C0, 0x00D6, 32, 1},     // Latin-1
    {0x00D8, 0x00DE, 32, 1},     //
    {0x0100, 0x012E, 1, 2},      // Latin Extended-A
    {0x0132, 0x0136, 1, 2},      //
    {0x0139, 0x0147, 1, 2},      //
    {0x014A, 0x0176, 1, 2},      //
    {0x0178, 0x0178, -121, 1},   // Y with diaeresis
    {0x0179, 0x017D, 1, 2},      //
    {0x017F, 0x017F, -268, 1},   // long s
    {0x01CD, 0x01DB, 1, 2},      // Latin Extended-B
    {0x01DE, 0x01EE, 1, 2},      //
    {0x01F8, 0x021E, 1, 2},      //
    {0x0222, 0x0232, 1, 2},      //
    {0x0386, 0x0386, 38, 1},     // Greek
    {0x0388, 0x038A, 37, 1},     //
    {0x038C, 0x038C, 64, 1},     //
    {0x038E, 0x038F, 63, 1},     //
    {0x0391, 0x03A1, 32, 1},     //
    {0x03A3, 0x03AB, 32, 1},     //
    {0x03C2, 0x03C2, 1, 1},      // final sigma
    {0x03D8, 0x03EE, 1, 2},      //
    {0x0400, 0x040F, 80, 1},     // Cyrillic
    {0x0410, 0x042F, 32, 1},     //
    {0x0460, 0x0480, 1, 2},      //
    {0x048A, 0x04BE, 1, 2},      //
    {0x04C0, 0x04C0, 15, 1},     //
    {0x04C1, 0x04CD, 1, 2},      //
    {0x04D0, 0x052E, 1, 2},      //
    {0x0531, 0x0556, 48, 1},     // Armenian
    {0x10A0, 0x10C5, 7264, 1},   // Georgian
    {0x1E00, 0x1E94, 1, 2},      // Latin Extended Additional
    {0x1E9E, 0x1E9E, -7615, 1},  // capital sharp s
    {0x1EA0, 0x1EFE, 1, 2},      //
    {0x2126, 0x2126, -7517, 1},  // ohm sign -> omega
    {0x212A, 0x212A, -8383, 1},  // kelvin sign -> k
    {0x212B, 0x212B, -8262, 1},  // angstrom sign -> a with ring
    {0x2160, 0x216F, 16, 1},     // Roman numerals
    {0x24B6, 0x24CF, 26, 1},     // circled letters
    {0x2C00, 0x2C2F, 48, 1},     // Glagolitic
    {0xFF21, 0xFF3A, 32, 1},     // fullwidth Latin
};

char16_t fold_unit(char16_t unit) {
  for (const FoldRange& range : fold_ranges) {
    if (unit < range.first) break;
    if (unit <= range.last && (unit - range.first) % range.step == 0) {
      return static_cast<char16_t>(unit + range.delta);
    }
  }
  return unit;
}

bool equals_ignoring_ascii_case(std::u16string_view text, std::string_view ascii) {
  return text.size() == ascii.size() &&
         std::equal(text.begin(), text.end(), ascii.begin(), [](char16_t a, char b) {
           return (a >= u'a' && a <= u'z' ? a - 32 : a) == static_cast<unsigned char>(b);
         });
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and COM/LPT with superscript 1-3) name devices in every
// directory, also with an extension ("nul.txt") and with spaces before it.
bool is_reserved_device_name(std::u16string_view component) {
  std::u16string_view stem = component.substr(0, component.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') stem.remove_suffix(1);
  for (const char* device : {"CON", "PRN", "AUX", "NUL"}) {
    if (equals_ignoring_ascii_case(stem, device)) return true;
  }
  if (stem.size() != 4) return false;
  const char16_t digit = stem[3];
  const bool port_digit = (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' ||
                          digit == u'\u00B2' || digit == u'\u00B3';
  return port_digit && (equals_ignoring_ascii_case(stem.substr(0, 3), "COM") ||
                        equals_ignoring_ascii_case(stem.substr(0, 3), "LPT"));
}

}  // namespace

std::string component_fault(std::u16string_view component) {
  if (component.empty()) return "has an empty component";
  if (component == u"." || component == u"..") {
    return "has a component " + quoted_name(component) + ", which is not allowed";
  }
  for (const char16_t unit : component) {
    if (unit < 0x20) {
      char text[64];
      std::snprintf(text, sizeof text, "contains the control character 0x%02X", unit);
      return text;
    }
    if (std::u16string_view(u"<>:\"/\\|?*").find(unit) != std::u16string_view::npos) {
      return std::string("contains the character '") + static_cast<char>(unit) +
             "', which Windows does not allow in file names";
    }
  }
  if (component.back() == u'.' || component.back() == u' ') {
    return "has a component " + quoted_name(component) +
           " that ends with a dot or a space, which Windows drops";
  }
  if (is_reserved_device_name(component)) {
    return "has a component " + quoted_name(component) + ", which Windows reserves for a device";
  }
  return {};
}

std::string name_fault(std::u16string_view name) {
  if (name.empty()) return "is empty";
  if (name.front() == u'\\') return "is absolute";
  if (name.size() >= 2 && name[1] == u':' &&
      ((name[0] >= u'A' && name[0] <= u'Z') || (name[0] >= u'a' && name[0] <= u'z'))) {
    return "has a drive";
  }
  if (name.back() == u'\\') return "ends with a separator";
  if (name.size() > max_name_units) {
    return "has " + std::to_string(name.size()) + " UTF-16 units; names must have fewer than " +
           std::to_string(max_name_units + 1);
  }
  // The launcher's own files in every directory it unpacks into, and in a kept one.
  if (fold_case(name) == u"onefile.lock") {
    return "is the name of the launcher's own mark file in the unpack directory";
  }
  if (fold_case(name) == u"onefile.kept") {
    return "is the name of the launcher's own record in a kept unpack directory";
  }
  for (std::size_t start = 0;;) {
    const std::size_t end = std::min(name.find(u'\\', start), name.size());
    std::string fault = component_fault(name.substr(start, end - start));
    if (!fault.empty()) return fault;
    if (end == name.size()) return {};
    start = end + 1;
  }
}

std::string quoted_name(std::u16string_view name) {
  std::string out(1, '"');
  out += printable(utf16_to_utf8(name));
  out += '"';
  return out;
}

std::u16string fold_case(std::u16string_view name) {
  std::u16string folded(name);
  std::transform(folded.begin(), folded.end(), folded.begin(), fold_unit);
  return folded;
}

void warn_about_long_names(const std::vector<Entry>& entries, const char* program) {
  for (const Entry& entry : entries) {
    if (entry.name.size() < long_name_warning_units) continue;
    std::fprintf(stderr,
                 "%s: warning: %s is %zu units long: unpacked below a temporary folder its path "
                 "passes 260 units, which programs without long-path support can't open\n",
                 program, quoted_name(entry.name).c_str(), entry.name.size());
  }
}

}  // namespace onefile_pack
