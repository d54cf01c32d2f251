// The assembler file that links the payload block into the launcher's read-only data.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "pack/sha256.h"

namespace onefile_pack {

// GNU assembler source for the MinGW assembler: `onefile_payload` (the block, included from
// block_path, which should be absolute) and `onefile_payload_size` (its length, 8 bytes), both
// global, in .rdata. Beside them, each in a section of its own so that a launcher that does not
// use them leaves them out: `onefile_payload_digest` (the block's 32-byte SHA-256), and
// `onefile_payload_listing` with `onefile_payload_listing_size` (the entry listing and its length).
std::string assembler_source(const std::filesystem::path& block_path, std::uint64_t block_size,
                             const Sha256Digest& digest, const std::string& listing);

void write_assembler_file(const std::filesystem::path& path, const std::string& source);

}  // namespace onefile_pack
