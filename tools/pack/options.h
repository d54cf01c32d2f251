// The command line of onefile-pack.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "pack/entries.h"

namespace onefile_pack {

struct Options {
  EntrySources sources;
  std::optional<std::filesystem::path> output;  // -o: the payload block
  int level = 19;
  int threads = 0;  // 0: one per core
  bool help = false;
};

extern const char usage_text[];

// Throws UsageError for anything it cannot take; arguments[0] is the program.
Options parse_options(const std::vector<std::string>& arguments);

}  // namespace onefile_pack
