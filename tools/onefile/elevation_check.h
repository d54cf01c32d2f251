// Whether the program that --run names can start from the launcher. CreateProcess can't start a
// program that must run with more rights than its caller has: it fails with
// ERROR_ELEVATION_REQUIRED (740), and only the shell's consent prompt could start it. So the
// launcher must already run at the level the program asks for in its manifest, or the launch
// fails on every machine where User Account Control is on.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace onefile_tool {

// Throws BuildError, naming the program, its level and the remedy, when the program's manifest
// asks for requireAdministrator or highestAvailable and the launcher's manifest for less. Returns
// a warning (empty when there is none) for a 32-bit program without a requested level whose name
// Windows' installer detection takes for an installer's. A file that is no PE image passes, as
// does one whose resource tree can't be followed.
std::string program_elevation_warning(const std::filesystem::path& program,
                                      const std::string& run_name,
                                      std::string_view launcher_manifest, bool own_manifest);

}  // namespace onefile_tool
