#include "pack/arguments.h"

#include <charconv>

#include "pack/error.h"
#include "pack/platform.h"
#include "pack/utf.h"

namespace onefile_pack {
namespace {

// The whole text as a decimal number from low to high; throws UsageError naming the option.
int parse_number(std::string_view option, const std::string& text, int low, int high) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    throw UsageError(std::string(option) + " needs a number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not \"" + printable(text) + "\"");
  }
  return value;
}

}  // namespace

bool OptionReader::next() {
  if (++index_ >= arguments_.size()) return false;
  option_index_ = index_;
  name_ = arguments_[index_];
  attached_.reset();
  if (name_.starts_with("--")) {
    if (const std::size_t equals = name_.find('='); equals != std::string_view::npos) {
      attached_ = std::string(name_.substr(equals + 1));
      name_ = name_.substr(0, equals);
    }
  }
  return true;
}

std::string OptionReader::value() {
  if (attached_) return *attached_;
  if (index_ + 1 >= arguments_.size()) throw UsageError(std::string(name_) + " needs a value");
  return arguments_[++index_];
}

void OptionReader::expect_no_value() const {
  if (attached_) throw UsageError(std::string(name_) + " takes no value");
}

bool read_packing_option(OptionReader& reader, EntrySources& sources, int& level, int& threads) {
  const std::string_view option = reader.name();
  if (option == "--dir") {
    sources.directories.push_back(path_from_utf8(reader.value()));
  } else if (option == "--file") {
    sources.file_arguments.push_back(reader.value());
  } else if (option == "--list") {
    sources.list_files.push_back(path_from_utf8(reader.value()));
  } else if (option == "--level") {
    level = parse_number(option, reader.value(), 1, 22);
  } else if (option == "--threads") {
    threads = parse_number(option, reader.value(), 1, 4096);
  } else {
    return false;
  }
  return true;
}

}  // namespace onefile_pack
