// The finished launcher: a copy of the launcher stub with the subsystem the options ask for, the
// resources, and the attached section (payload/attached_section.h) with the settings, the
// payload block, its digest and its entry listing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/block_writer.h"
#include "pack/entries.h"
#include "payload/attached_section.h"
#include "pe/pe_image.h"

namespace onefile_tool {

struct LauncherSettings {
  std::u16string texts[attached_text_count];  // indexed by attached_text
  attached_keep keep = attached_keep::none;
  bool error_dialog = true;
  bool progress_window = true;
};

// The section's bytes: header, texts and listing, then the payload block packed from the entries.
std::vector<std::uint8_t> attached_section(const LauncherSettings& settings,
                                           const std::vector<onefile_pack::Entry>& entries,
                                           const onefile_pack::CompressionSettings& compression);

// The whole image, every header consistent (the pe library's write).
std::vector<std::uint8_t> finished_launcher(std::vector<std::uint8_t> stub, bool console,
                                            std::vector<onefile_pe::Resource> resources,
                                            std::vector<std::uint8_t> section);

}  // namespace onefile_tool
