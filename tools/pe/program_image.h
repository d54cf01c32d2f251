// What the packaging tool reads from a program that a launcher will start: whether it is a 32-bit
// image, and the manifest that the system applies when the program starts. Any machine, PE32 or
// PE32+; read only.
//
// Format reference: Microsoft's "PE Format" documentation, sections "Optional Header (Image
// Only)", "Optional Header Data Directories (Image Only)", "Section Table (Section Headers)" and
// "The .rsrc Section"; the manifest's element from "Application manifests" (trustInfo).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "pe/pe_image.h"

namespace onefile_pe {

struct ProgramImage {
  bool is_32_bit = false;  // a PE32 image (optional header magic 0x10B)
  // The RT_MANIFEST resource with id 1 (CREATEPROCESS_MANIFEST_RESOURCE_ID, the one the system
  // reads when it starts the program), its first language; nothing when there is none.
  std::optional<std::string> manifest;
};

// Throws PeError naming the problem when the bytes are not a PE image or its resource tree
// leaves the file.
ProgramImage read_program_image(std::span<const std::uint8_t> file);

// The level attribute of the manifest's requestedExecutionLevel element ("asInvoker",
// "highestAvailable", "requireAdministrator"), or empty when it has none. Comments are skipped;
// a manifest in UTF-16 is read too.
std::string requested_execution_level(std::string_view manifest);

}  // namespace onefile_pe
