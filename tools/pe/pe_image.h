// A PE32+ x86-64 image held in memory: read and checked, given new sections, resources and a
// subsystem, and written back with every header field consistent.
//
// Format reference: Microsoft's "PE Format" documentation, sections "MS-DOS Stub
// (Image Only)", "Signature (Image Only)", "COFF File Header (Object and Image)", "Optional Header
// (Image Only)", "Optional Header Data Directories (Image Only)", "Section Table (Section
// Headers)", "The Attribute Certificate Table (Image Only)" and "The .rsrc Section".
//
// Portable C++20 (no system headers): the same inputs give the same bytes on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace onefile_pe {

// Every refusal of this library: the message names the problem.
class PeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Resource type ids ("Resource Types" in the Win32 documentation).
enum ResourceType : std::uint16_t {
  kRtIcon = 3,
  kRtGroupIcon = 14,
  kRtVersion = 16,
  kRtManifest = 24,
};

// One leaf of the resource tree: type, integer id, language, and the bytes.
struct Resource {
  std::uint16_t type = 0;
  std::uint16_t id = 0;
  std::uint16_t language = 0;  // 0 is language neutral, 0x0409 English (United States)
  std::vector<std::uint8_t> data;
};

// Section characteristics ("Section Flags").
inline constexpr std::uint32_t kSectionInitializedData = 0x00000040;
inline constexpr std::uint32_t kSectionMemoryRead = 0x40000000;
inline constexpr std::uint32_t kSectionMemoryWrite = 0x80000000;
inline constexpr std::uint32_t kSectionReadOnlyData = kSectionInitializedData | kSectionMemoryRead;

// DllCharacteristics flags ("DLL Characteristics").
inline constexpr std::uint16_t kDllHighEntropyVa = 0x0020;
inline constexpr std::uint16_t kDllDynamicBase = 0x0040;
inline constexpr std::uint16_t kDllNxCompat = 0x0100;
inline constexpr std::uint16_t kDllTerminalServerAware = 0x8000;

// Windows subsystems ("Windows Subsystem").
inline constexpr std::uint16_t kSubsystemGui = 2;
inline constexpr std::uint16_t kSubsystemConsole = 3;

class Image {
 public:
  // Checks the headers and the section table; throws PeError naming what is damaged.
  static Image read(std::vector<std::uint8_t> bytes);

  std::uint16_t subsystem() const;
  void set_subsystem(std::uint16_t subsystem);
  std::uint16_t dll_characteristics() const;

  // Appends a section after the last one (raw data at the file alignment, virtual address at the
  // section alignment) and returns its RVA. The name has at most 8 bytes. A section whose data
  // is too large to hold in memory has streamed_size more bytes after data, which the caller
  // writes itself after write()'s output (see write()); only the last section may have them.
  std::uint32_t add_section(std::string_view name, std::vector<std::uint8_t> data,
                            std::uint32_t characteristics, std::uint64_t streamed_size = 0);

  // The initialised bytes of the first section of that name (its virtual size, or its raw size
  // when that is smaller), or nothing when there is none.
  std::optional<std::span<const std::uint8_t>> section_data(std::string_view name) const;
  // The RVA of the first section of that name, or nothing when there is none.
  std::optional<std::uint32_t> section_address(std::string_view name) const;

  // Replaces the image's resources by these, in a new .rsrc section appended at the end. An
  // existing .rsrc section is dropped when it is the last section; anywhere else it is refused,
  // since the sections after it could not move. Two leaves with the same type, id and language
  // are refused.
  void set_resources(std::vector<Resource> resources);

  // The finished image: section table, NumberOfSections, SizeOfImage, SizeOfInitializedData,
  // the resource directory, no certificate table (a signature of the input is no longer valid),
  // no bound imports, and the CheckSum, all consistent. Deterministic. When the last section has
  // streamed bytes, the output ends where they begin, its CheckSum is 0, and the caller writes
  // them, then zeros to streamed_end(), and sets the CheckSum (PeChecksum) at checksum_offset().
  std::vector<std::uint8_t> write() const;
  // The SizeOfImage that the image would have with a section of that many bytes appended.
  std::uint64_t size_of_image_with(std::uint64_t section_size) const;
  // Where the last section's raw data ends in the written file.
  std::uint64_t streamed_end() const;
  std::size_t checksum_offset() const;
  std::uint32_t file_alignment() const { return file_alignment_; }

  // The file as read (for data outside the sections, such as a payload after the image).
  std::span<const std::uint8_t> file_bytes() const { return bytes_; }

  // Names of the sections in table order (for tests and diagnostics).
  std::vector<std::string> section_names() const;

 private:
  struct Section {
    std::string name;
    std::uint32_t virtual_size = 0;
    std::uint32_t virtual_address = 0;
    std::uint32_t raw_size = 0;    // SizeOfRawData as written
    std::uint32_t raw_offset = 0;  // PointerToRawData in the input (0 for new sections)
    std::uint32_t characteristics = 0;
    std::size_t header_offset = 0;  // where its 40-byte header was in the input
    bool added = false;             // its bytes are in `data`, not in the input
    std::vector<std::uint8_t> data;
    std::uint64_t streamed_size = 0;  // bytes after `data` that the caller writes
  };

  Image() = default;
  const Section* find_section(std::string_view name) const;
  std::uint32_t next_virtual_address() const;

  std::vector<std::uint8_t> bytes_;  // the input (its headers are edited in place)
  std::vector<Section> sections_;
  std::size_t nt_offset_ = 0;        // "PE\0\0"
  std::size_t optional_offset_ = 0;  // the optional header
  std::uint32_t file_alignment_ = 0;
  std::uint32_t section_alignment_ = 0;
  std::uint32_t size_of_headers_ = 0;
  std::uint32_t data_directory_count_ = 0;
  std::size_t input_sections_end_ = 0;  // end of the input's section data (or headers)
  std::size_t input_end_ = 0;           // end of the input without its certificate table
};

// The optional header's CheckSum of a whole file: 16-bit one's-complement-style sum with carries
// folded in, the CheckSum field itself counted as zero, plus the file length.
std::uint32_t pe_checksum(std::span<const std::uint8_t> file, std::size_t checksum_offset);

// The same sum over a file given in pieces, in order, its CheckSum field as zeros.
class PeChecksum {
 public:
  void add(std::span<const std::uint8_t> bytes);
  // Adds the sum of bytes that follow these ones, summed apart: the sum is a one's-complement
  // sum, so the order does not matter. These ones' length must be even.
  void add(const PeChecksum& following);
  std::uint32_t finish() const;

 private:
  std::uint32_t sum_ = 0;
  std::uint64_t length_ = 0;
  int odd_byte_ = -1;  // the first byte of a word that the next piece completes
};

}  // namespace onefile_pe
