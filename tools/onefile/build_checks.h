// The checks of a build's entries that need the whole picture: which files of the --dir trees
// are left out (--exclude, the output itself), that the output is no input, which entry --run
// names, and which DLLs the payload's programs and libraries import but neither the payload nor
// the system holds.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "pack/entries.h"

namespace onefile_tool {

// True when the pattern matches the relative path (components separated by '\'), case ignored
// as Windows ignores it. '*' and '?' stay within a component, "**" crosses them; a pattern
// without '/' or '\' matches the last component at any depth.
bool exclude_pattern_matches(std::string_view pattern, std::u16string_view name);

// The --dir trees' filter: --exclude patterns, this build's temporary file, and a launcher that
// an earlier build left at the output path (left out with a warning). Anything else at the
// output path stays in, for check_output_is_no_input to refuse.
std::function<bool(const std::filesystem::path&, std::u16string_view)> directory_filter(
    std::vector<std::string> patterns, std::filesystem::path output,
    std::filesystem::path temporary);

// Throws BuildError when the output is the same file as an entry: the build would overwrite one
// of its inputs.
void check_output_is_no_input(const std::vector<onefile_pack::Entry>& entries,
                              const std::filesystem::path& output);

// The entry that --run names, its case ignored as Windows ignores it; throws BuildError when
// there is none or it is not a program Windows can start.
const onefile_pack::Entry& run_entry(const std::vector<onefile_pack::Entry>& entries,
                                     const std::u16string& wanted, const std::string& shown);

// Warns once per DLL that the program (or main module) or a payload DLL imports and that is
// neither an entry nor a system DLL.
void warn_about_missing_imports(const std::vector<onefile_pack::Entry>& entries,
                                const onefile_pack::Entry& program);

// True for a DLL that every Windows system holds (system_dlls.cpp) or an API set name.
bool is_system_dll(std::string_view name);

}  // namespace onefile_tool
