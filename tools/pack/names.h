// Entry names: paths relative to the target directory, components separated by backslashes,
// stored as UTF-16. Every name must be one that Windows can create below any directory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace onefile_pack {

// The launcher keeps a name with its terminator in 1024 code units.
inline constexpr std::size_t max_name_units = 1023;

// A name this long (in UTF-16 units) is warned about, not refused: unpacked below a temporary
// folder (about 80 units with the launch's own directory) its path passes MAX_PATH (260 units),
// which programs without long-path support can't open.
inline constexpr std::size_t long_name_warning_units = 170;

// Why one component cannot be a Windows file name; empty when it can. Backslash and slash are
// refused here, so a host file name never splits into two components.
std::string component_fault(std::u16string_view component);

// Why a whole name (backslash-separated) cannot be stored; empty when it can.
std::string name_fault(std::u16string_view name);

// The name in double quotes as printable UTF-8, for messages.
std::string quoted_name(std::u16string_view name);

struct Entry;
// Warns on standard error, as program, about each entry whose name is long enough that its
// unpacked path passes 260 units. Packs anyway: the launcher itself unpacks such names, but the
// application may not open them.
void warn_about_long_names(const std::vector<Entry>& entries, const char* program);

// The name with case folded the way Windows file systems ignore it: ASCII, Latin-1 and the
// other common alphabets, one code unit at a time, so two names that Windows takes for one
// fold to the same text.
std::u16string fold_case(std::u16string_view name);

}  // namespace onefile_pack
