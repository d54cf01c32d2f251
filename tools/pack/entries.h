// Collecting the payload entries: the main module first, then the files of the directory
// trees, of --file and of the list files, sorted by name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
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
};

// All entries, main module first and the rest sorted by their UTF-16 code units. Every name is
// checked, every file opened once; anything wrong throws PackError naming the culprit.
std::vector<Entry> collect_entries(const EntrySources& sources);

}  // namespace onefile_pack
