// onefile-pack: packs an application's files into the payload block of a launcher.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <thread>

#include "pack/block_writer.h"
#include "pack/entries.h"
#include "pack/names.h"
#include "pack/error.h"
#include "pack/options.h"
#include "pack/platform.h"

namespace {

using namespace onefile_pack;
namespace fs = std::filesystem;

void create_parent_directories(const fs::path& file) {
  const fs::path parent = file.parent_path();
  std::error_code error;
  if (!parent.empty() && !fs::is_directory(parent) && !fs::create_directories(parent, error)) {
    throw PackError(display_path(parent) + ": cannot create the directory: " + error.message());
  }
}

// Packs anyway: the launcher itself unpacks such names, but the application may not open them.
void warn_about_long_names(const std::vector<Entry>& entries) {
  for (const Entry& entry : entries) {
    if (entry.name.size() < long_name_warning_units) continue;
    std::fprintf(stderr,
                 "onefile-pack: warning: %s is %zu units long: unpacked below a temporary folder "
                 "its path passes 260 units, which programs without long-path support can't "
                 "open\n",
                 quoted_name(entry.name).c_str(), entry.name.size());
  }
}

void pack(const Options& options) {
  const std::vector<Entry> entries = collect_entries(options.sources);
  warn_about_long_names(entries);

  const fs::path& block_path = *options.output;
  const int threads = options.threads > 0
                          ? options.threads
                          : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
  create_parent_directories(block_path);
  write_payload_block(block_path, entries, {options.level, threads});
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = parse_options(command_line_arguments(argc, argv));
    if (options.help) {
      std::fputs(usage_text, stdout);
      return 0;
    }
    pack(options);
    return 0;
  } catch (const UsageError& error) {
    std::fprintf(stderr, "onefile-pack: %s\nTry 'onefile-pack --help'.\n", error.what());
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "onefile-pack: %s\n", error.what());
    return 1;
  }
}
