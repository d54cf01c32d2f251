// Reading a finished launcher for `onefile inspect`: its settings, its version record, its entry
// listing, and whether its payload is intact. The file comes from anywhere (a download, a mail):
// every offset and size is checked before it is used, memory stays bounded, and the only result
// of damage is a message.
//
// Format references: payload/attached_section.h (the attached section), Microsoft "PE Format"
// ("The .rsrc Section": resource directory table, entries and data entries) and the Win32
// documentation of VS_VERSIONINFO, StringFileInfo, StringTable, String and VS_FIXEDFILEINFO.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "payload/attached_section.h"

namespace onefile_tool {

// A file that is no finished launcher, or one damaged beyond reading its settings.
class InspectError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ListedEntry {
  std::u16string name;
  std::uint64_t size = 0;
};

struct LauncherContents {
  std::uint16_t subsystem = 0;
  attached_keep keep = attached_keep::none;
  bool error_dialog = true;
  bool progress_window = true;
  bool payload_in_file = false;  // after the image, in the file
  std::u16string texts[attached_text_count];
  bool has_version_record = false;
  std::array<std::uint16_t, 4> file_version{};
  std::vector<std::pair<std::u16string, std::u16string>> version_strings;
  std::vector<ListedEntry> entries;
  std::uint64_t payload_size = 0;
  std::string payload_fault;  // empty when the payload matches its digest and its listing
};

// The whole file; throws InspectError (or onefile_pe::PeError for a damaged image).
LauncherContents read_launcher(std::vector<std::uint8_t> file);

// The attached section's part: settings, listing and the payload check. Throws InspectError.
void read_attached_section(std::span<const std::uint8_t> section,
                           std::span<const std::uint8_t> file, LauncherContents& contents);

// The version record's fixed file version and strings, from a .rsrc section mapped at rva;
// leaves contents unchanged when there is none or it is damaged.
void read_version_record(std::span<const std::uint8_t> rsrc, std::uint32_t rva,
                         LauncherContents& contents);

}  // namespace onefile_tool
