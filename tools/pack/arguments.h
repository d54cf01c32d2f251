// Reading a command line's options, shared by the tool's commands: "--name VALUE" or
// "--name=VALUE", and flags, which take no value.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pack/entries.h"

namespace onefile_pack {

class OptionReader {
 public:
  // arguments[0] is the program and is skipped.
  explicit OptionReader(const std::vector<std::string>& arguments) : arguments_(arguments) {}
  // Moves to the next option; false after the last.
  bool next();
  // The option's name, without an attached "=VALUE".
  std::string_view name() const { return name_; }
  // The whole argument as given, for messages.
  const std::string& argument() const { return arguments_[option_index_]; }
  // The attached value, or else the next argument; throws UsageError when there is none.
  std::string value();
  // Throws UsageError when a value was attached to an option that takes none.
  void expect_no_value() const;

 private:
  const std::vector<std::string>& arguments_;
  std::size_t index_ = 0;
  std::size_t option_index_ = 0;
  std::string_view name_;
  std::optional<std::string> attached_;
};

// What is packed and how, the same for every command that packs: --dir, --file and --list add to
// the sources, --level (1..22) and --threads (at least 1) set the compression. Takes the reader's
// option when it is one of them; false, taking nothing, when it is another.
bool read_packing_option(OptionReader& reader, EntrySources& sources, int& level, int& threads);

}  // namespace onefile_pack
