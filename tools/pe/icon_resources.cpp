// An .ico file turned into the resources an executable carries: one RT_ICON per image and one
// RT_GROUP_ICON listing them. Layouts from the Win32 documentation of icon resources:
//   .ico file: ICONDIR { WORD idReserved = 0; WORD idType = 1; WORD idCount; }
//              ICONDIRENTRY[idCount] { BYTE bWidth, bHeight, bColorCount, bReserved;
//                                      WORD wPlanes, wBitCount; DWORD dwBytesInRes, dwImageOffset;
//                                      }
//   resource:  GRPICONDIR { WORD idReserved = 0; WORD idType = 1; WORD idCount; }
//              GRPICONDIRENTRY[idCount]: the same fields, but WORD nId (the RT_ICON's id) in place
//              of the 32-bit file offset, so 14 bytes each.
// Each image is a DIB (BITMAPINFOHEADER, then the XOR and AND masks) or a whole PNG file.
#include <algorithm>
#include <string>

#include "pe/bytes.h"
#include "pe/resources.h"

namespace onefile_pe {
namespace {

using bytes::get16;
using bytes::get32;

constexpr std::size_t kIconDirSize = 6;
constexpr std::size_t kIconDirEntrySize = 16;
constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint32_t kBitmapInfoHeaderSize = 40;

[[noreturn]] void not_ico(const std::string& what) {
  throw PeError("not an .ico file: " + what);
}

bool is_png(std::span<const std::uint8_t> image) {
  return image.size() >= 8 && std::equal(kPngSignature, kPngSignature + 8, image.begin());
}

// Bits per pixel of a PNG from its IHDR chunk (bit depth times the colour type's channels), for
// an entry that leaves wBitCount 0.
std::uint16_t png_bit_count(std::span<const std::uint8_t> image) {
  if (image.size() < 26) return 32;
  const unsigned depth = image[24];
  switch (image[25]) {
    case 0:
      return static_cast<std::uint16_t>(depth);  // grey
    case 2:
      return static_cast<std::uint16_t>(depth * 3);  // RGB
    case 3:
      return static_cast<std::uint16_t>(depth);  // palette
    case 4:
      return static_cast<std::uint16_t>(depth * 2);  // grey and alpha
    default:
      return static_cast<std::uint16_t>(depth * 4);  // RGBA
  }
}

}  // namespace

std::vector<Resource> icon_resources(std::span<const std::uint8_t> ico, std::uint16_t group_id,
                                     std::uint16_t first_icon_id) {
  if (ico.size() < kIconDirSize) {
    not_ico(std::to_string(ico.size()) + " bytes, too short for an icon directory");
  }
  if (get16(ico, 0) != 0 || get16(ico, 2) != 1) {
    if (get16(ico, 0) == 0 && get16(ico, 2) == 2) not_ico("it is a cursor (.cur)");
    if (is_png(ico)) not_ico("it is a PNG image");
    not_ico("it does not start with an icon directory (reserved 0, type 1)");
  }
  const std::size_t count = get16(ico, 4);
  if (count == 0) not_ico("it holds no images");
  if (kIconDirSize + count * kIconDirEntrySize > ico.size()) {
    not_ico("truncated: the directory of " + std::to_string(count) + " images exceeds the file");
  }
  if (first_icon_id == 0 || std::size_t{first_icon_id} + count - 1 > 0xFFFF) {
    throw PeError("icon ids from " + std::to_string(first_icon_id) + " can't number " +
                  std::to_string(count) + " images");
  }

  std::vector<Resource> resources;
  Resource group{kRtGroupIcon, group_id, 0, {}};
  bytes::append16(group.data, 0);  // idReserved
  bytes::append16(group.data, 1);  // idType: icon
  bytes::append16(group.data, static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t entry = kIconDirSize + i * kIconDirEntrySize;
    const std::uint32_t size = get32(ico, entry + 8);
    const std::uint32_t offset = get32(ico, entry + 12);
    const std::string which = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
    if (size == 0 || offset > ico.size() || size > ico.size() - offset) {
      not_ico("truncated: " + which + " lies beyond the end of the file");
    }
    const auto image = ico.subspan(offset, size);
    std::uint16_t planes = get16(ico, entry + 4);
    std::uint16_t bit_count = get16(ico, entry + 6);
    if (is_png(image)) {
      if (bit_count == 0) bit_count = png_bit_count(image);
    } else if (image.size() >= kBitmapInfoHeaderSize && get32(image, 0) == kBitmapInfoHeaderSize) {
      if (bit_count == 0) bit_count = get16(image, 14);  // biBitCount
    } else {
      not_ico(which + " is neither a PNG image nor a bitmap (BITMAPINFOHEADER)");
    }
    if (planes == 0) planes = 1;
    const auto id = static_cast<std::uint16_t>(first_icon_id + i);
    resources.push_back({kRtIcon, id, 0, std::vector<std::uint8_t>(image.begin(), image.end())});
    group.data.insert(group.data.end(), ico.begin() + static_cast<std::ptrdiff_t>(entry),
                      ico.begin() + static_cast<std::ptrdiff_t>(entry + 4));  // sizes, colours
    bytes::append16(group.data, planes);
    bytes::append16(group.data, bit_count);
    bytes::append32(group.data, size);
    bytes::append16(group.data, id);
  }
  resources.push_back(std::move(group));
  return resources;
}

}  // namespace onefile_pe
