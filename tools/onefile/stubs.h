// The prebuilt stubs: the launcher stub that becomes the finished launcher, and the stock runner
// (onefile_run.dll) that --run packs as the main module. Both are checked before anything is
// packed: a stub that is missing, damaged, not a stub, of another format or linked without the
// image protections (ASLR, DEP, terminal server awareness) ends the build.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "payload/attached_section.h"

namespace onefile_tool {

inline constexpr char launcher_stub_name[] = "launcher.exe";
inline constexpr char runner_stub_name[] = "onefile_run.dll";

// The launcher stub: --stub, else stubs/launcher.exe beside this program, else
// ../share/onefile/stubs/launcher.exe (an installed tree).
std::filesystem::path launcher_stub_path(const std::optional<std::filesystem::path>& given);

// The stub's bytes, after checking that the file is a whole PE image (its checksum holds) with
// the marker of a stub of this kind and of the tool's format version, no attached section, and
// the DllCharacteristics DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT and, for the launcher stub,
// TERMINAL_SERVER_AWARE.
std::vector<std::uint8_t> read_stub(const std::filesystem::path& path, stub_kind kind);

}  // namespace onefile_tool
