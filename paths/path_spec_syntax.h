// The syntax of path specs, shared by the launcher, which expands them, and the packaging tool,
// which checks them at build time: "{NAME}" stands for a variable's value (names compared without
// regard to ASCII case), a '{' before the closing '}' starts the name afresh, a '}' without an
// open name is literal text, and a name still open at the end is dropped.
//
// Portable (no system headers): templates over the code unit (wchar_t in the launcher, char16_t
// in the tool), and the table of names in path_spec_syntax.cpp.
#pragma once

#include <cstddef>

enum class path_variable {
  temp,
  program,
  program_base,
  program_dir,
  pid,
  home,
  cache_dir,
  local_appdata,
  company,
  product,
  version,
  file_version,
  product_version,
  random,
  time_us,
  time,
  digest,
  unknown,
};

struct path_variable_entry {
  const char* name;  // upper-case ASCII
  path_variable kind;
};
inline constexpr std::size_t path_variable_count = 17;
extern const path_variable_entry path_variables[path_variable_count];

template <typename Unit>
path_variable find_path_variable(const Unit* name, std::size_t length) {
  for (const path_variable_entry& entry : path_variables) {
    std::size_t i = 0;
    for (; i < length && entry.name[i] != '\0'; ++i) {
      const Unit unit = name[i];
      const Unit folded = unit >= Unit('a') && unit <= Unit('z') ? Unit(unit - 'a' + 'A') : unit;
      if (folded != Unit(entry.name[i])) break;
    }
    if (i == length && entry.name[i] == '\0') return entry.kind;
  }
  return path_variable::unknown;
}

// Walks a 0-ended spec: on_literal(unit) for each unit of literal text, on_variable(kind, name,
// length) for each "{NAME}" (kind unknown for a name that is none). Either returning false ends
// the walk with false.
template <typename Unit, typename OnLiteral, typename OnVariable>
bool walk_path_spec(const Unit* spec, OnLiteral&& on_literal, OnVariable&& on_variable) {
  const Unit* name = nullptr;  // the open name's first unit
  for (const Unit* unit = spec; *unit != Unit('\0'); ++unit) {
    if (*unit == Unit('{')) {
      name = unit + 1;
    } else if (*unit == Unit('}') && name != nullptr) {
      const std::size_t length = static_cast<std::size_t>(unit - name);
      if (!on_variable(find_path_variable(name, length), name, length)) return false;
      name = nullptr;
    } else if (name == nullptr && !on_literal(*unit)) {
      return false;
    }
  }
  return true;
}

// True for a path that names the same place from any current directory: "C:\...", a UNC path
// "\\server\share\..." or a "\\?\" or "\\.\" path. "dir\x", "\x" (on the current drive) and
// "C:x" (in that drive's current directory) are not ("Fully qualified vs. relative paths" in
// the "Naming Files, Paths, and Namespaces" documentation).
template <typename Unit>
bool is_fully_qualified_path(const Unit* path) {
  const auto separator = [](Unit unit) { return unit == Unit('\\') || unit == Unit('/'); };
  if (separator(path[0])) return separator(path[1]);
  const Unit drive = static_cast<Unit>(path[0] | 0x20);
  return drive >= Unit('a') && drive <= Unit('z') && path[1] == Unit(':') && separator(path[2]);
}
