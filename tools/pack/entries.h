// Collecting the payload entries: the main module first, then the files of the directory
// trees, of --file and of the list files, sorted by name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace onefile_pack {

struct Entry {
  std::filesystem::path source;  // the file whose bytes are stored
  std::u16string name;           // backslash-separated, as stored
  std::uint64_t size;            // taken when collected; the file must still have it when read
  std::string origin;            // where the entry came from, for messages
};

struct EntrySources {
  std::filesystem::path main_module;
  std::vector<std::filesystem::path> directories;
  std::vector<std::string> file_arguments;  // SRC[=NAME] as given to --file
  std::vector<std::filesystem::path> list_files;
  // True for a file or directory of a --dir tree that is left out, before its name is checked
  // (the name is relative to the tree's root); unset, every one is taken.
  std::function<bool(const std::filesystem::path& path, std::u16string_view name)> leave_out;
};

// All entries, main module first and the rest sorted by their UTF-16 code units. Every name is
// checked, every file opened once; anything wrong throws PackError naming the culprit.
std::vector<Entry> collect_entries(const EntrySources& sources);

}  // namespace onefile_pack
