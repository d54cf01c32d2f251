// What a finished launcher carries in a section of its own image: its settings, the payload
// block's digest and entry listing, and the payload block. The packaging tool (tools/onefile)
// writes it into a copy of a prebuilt stub; the launcher reads it in place, mapped with its
// image. A payload block too large for an image that every Windows loads lies after the image's
// last section in the file instead (flag bit 1), where the launcher reads it with file reads; a
// signature covers it there too. A stub has no such section, only the marker that tells the tool
// what it is.
//
// The section, ".onefile", little-endian throughout, offsets from the section's start:
//
//   0    8   "onefile" and a 0 byte
//   8    4   format version (attached_format_version)
//   12   4   header size, 128
//   16   4   keep mode: 0 none, 1 kept, 2 kept and compared with the payload at each start
//   20   4   flags: bit 0, errors may be shown in a message box; bit 1, the payload block lies
//            in the launcher's file, after the image (its offset is then from the file's start);
//            bit 2, no progress window while a graphical launch unpacks
//   24   40  five texts (attached_text), each a 4-byte offset and a 4-byte length in UTF-16
//            units; a 0 unit follows every text, and its offset is even
//   64   32  the payload block's SHA-256
//   96   16  the entry listing: 8-byte offset and 8-byte size (per entry its name's UTF-16 units,
//            a 0 unit and the 8-byte size, then one 0 unit)
//   112  16  the payload block: 8-byte offset and 8-byte size ("JIV", one zstd frame, a 0 byte
//            and the 8-byte leading length)
//   128      the texts, the listing and the block (unless in the file), each within the section
//
// Portable on purpose (no platform calls), so that the tool and the host tests share it.
#pragma once

#include <cstddef>
#include <cstdint>

// The section's name in the section table (8 bytes, NUL-padded).
inline constexpr char attached_section_name[8] = {'.', 'o', 'n', 'e', 'f', 'i', 'l', 'e'};
inline constexpr char attached_magic[8] = {'o', 'n', 'e', 'f', 'i', 'l', 'e', '\0'};
// Changes whenever the section's layout or meaning changes; a stub and the tool must agree.
inline constexpr std::uint32_t attached_format_version = 2;
inline constexpr std::size_t attached_header_size = 128;

enum class attached_keep : std::uint32_t { none = 0, kept = 1, verified = 2 };
inline constexpr std::uint32_t attached_flag_error_dialog = 1;
inline constexpr std::uint32_t attached_flag_payload_in_file = 2;
inline constexpr std::uint32_t attached_flag_no_progress = 4;

// Windows' image loader refuses an image whose SizeOfImage passes this (the kernel's largest
// image size); the tool keeps every launcher's image below it.
inline constexpr std::uint64_t loader_image_size_limit = 0x77000000;

enum attached_text : int {
  text_target_spec,
  text_company,
  text_product,
  text_version,
  text_run_target,  // the payload's program for the stock runner; empty for a main module
  attached_text_count
};

// Where each part lies in a section that parse_attached_section accepted.
struct attached_layout {
  attached_keep keep;
  bool error_dialog;
  bool progress_window;
  std::size_t text_offset[attached_text_count];  // byte offsets of UTF-16 texts, each 0-ended
  std::size_t text_length[attached_text_count];  // in UTF-16 units
  std::size_t digest_offset;
  std::size_t listing_offset;
  std::size_t listing_size;
  bool payload_in_file;          // the block is in the launcher's file, after the image
  std::uint64_t payload_offset;  // from the section's start, or from the file's when in the file
  std::uint64_t payload_size;
};

// Checks the header and that every part lies within the size bytes of the section, each text
// 0-ended; false for anything else, including another format version.
bool parse_attached_section(const unsigned char* section, std::size_t size,
                            attached_layout* layout);

// The marker that a stub carries in its ".ofstub" section: what it is and for which format.
inline constexpr char stub_marker_section_name[8] = {'.', 'o', 'f', 's', 't', 'u', 'b', '\0'};
inline constexpr char stub_marker_magic[16] = "onefile stub";
enum class stub_kind : std::uint32_t { launcher = 1, stock_runner = 2 };
struct stub_marker {
  char magic[16];
  std::uint32_t format_version;
  stub_kind kind;
};
static_assert(sizeof(stub_marker) == 24);
