// The assembler file that links the payload block into the launcher's read-only data.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace onefile_pack {

// GNU assembler source for the MinGW assembler: `onefile_payload` (the block, included from
// block_path, which should be absolute) and `onefile_payload_size` (its length, 8 bytes), both
// global, in .rdata.
std::string assembler_source(const std::filesystem::path& block_path, std::uint64_t block_size);

void write_assembler_file(const std::filesystem::path& path, const std::string& source);

}  // namespace onefile_pack
