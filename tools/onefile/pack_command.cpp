#include "onefile/pack_command.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "onefile/build_error.h"
#include "onefile/files.h"
#include "pack/arguments.h"
#include "pack/block_writer.h"
#include "pack/entries.h"
#include "pack/error.h"
#include "pack/names.h"
#include "pack/platform.h"
#include "pack/progress.h"
#include "pack/utf.h"

namespace onefile_tool {
namespace {

using namespace onefile_pack;
namespace fs = std::filesystem;

constexpr char usage_text[] =
    "Usage: onefile pack --main FILE [--dir DIR]... [--file SRC[=NAME]]... [--list FILE]...\n"
    "                    -o FILE [--level N] [--threads N]\n"
    "\n"
    "Packs an application's files into a launcher's payload block: \"JIV\", one zstd frame\n"
    "holding the entry list, a 0 byte and the 8-byte little-endian leading length. For those\n"
    "who link a launcher of their own; onefile build makes a finished launcher.\n"
    "\n"
    "  --main FILE        the main module: the first entry, named by its file name\n"
    "  --dir DIR          every regular file below DIR, named by its path relative to DIR\n"
    "                     (repeatable); the main module's own file at the top of DIR is not\n"
    "                     packed a second time\n"
    "  --file SRC[=NAME]  one file, named NAME or else by its file name; NAME may separate\n"
    "                     directories with '/' or '\\'; split at the first '=' (repeatable)\n"
    "  --list FILE        SRC[=NAME] lines as for --file, UTF-8, relative SRC from the\n"
    "                     current directory; blank lines and lines starting with '#' are\n"
    "                     skipped (repeatable)\n"
    "  -o, --output FILE  write the payload block to FILE\n"
    "  --level N          zstd level, 1..22 (default 19); the window stays within 2^25 bytes\n"
    "  --threads N        compression threads, N >= 1 (default: one per core)\n"
    "  -h, --help         show this text and exit\n"
    "\n"
    "The block depends only on the files' names and bytes, the level and libzstd's version:\n"
    "not on the thread count, the order in which the file system lists files, or time. The\n"
    "entries after the main module are sorted by their names' UTF-16 code units. Progress\n"
    "is shown on standard error when that is a terminal.\n"
    "\n"
    "Symbolic links are followed: a link to a file is packed under the link's name with the\n"
    "file's bytes, a link to a directory adds the directory's files below the link's name. A\n"
    "link that leads back to a directory containing it, a broken link and anything that is\n"
    "neither a file nor a directory are refused.\n"
    "\n"
    "Names must work as Windows file names: not empty, relative, no drive, no \".\" or \"..\"\n"
    "component, none of < > : \" | ? * or control characters, no component ending with a dot\n"
    "or a space, no device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, also with an extension),\n"
    "fewer than 1024 UTF-16 units, valid UTF-8 on the host, and no two names that are the same\n"
    "when case is ignored, nor a name that is a file and another's directory.\n"
    "\n"
    "Exit status: 0 on success, 1 for bad input or a failed read or write, 2 for a bad\n"
    "command line.\n";

struct PackOptions {
  EntrySources sources;
  std::optional<fs::path> output;  // -o: the payload block
  int level = 19;
  int threads = 0;  // 0: one per core
  bool help = false;
};

void set_once(std::optional<fs::path>& slot, std::string_view option, const std::string& value) {
  if (slot) throw UsageError(std::string(option) + " is given twice");
  slot = path_from_utf8(value);
}

PackOptions parse_pack_options(const std::vector<std::string>& arguments) {
  PackOptions options;
  std::optional<fs::path> main_module;
  OptionReader reader(arguments);
  while (reader.next()) {
    if (read_packing_option(reader, options.sources, options.level, options.threads)) continue;
    const std::string_view option = reader.name();
    if (option == "-h" || option == "--help") {
      options.help = true;
    } else if (option == "--main") {
      set_once(main_module, option, reader.value());
    } else if (option == "-o" || option == "--output") {
      set_once(options.output, "-o", reader.value());
    } else {
      throw UsageError("unknown argument \"" + printable(reader.argument()) + "\"");
    }
  }
  if (options.help) return options;
  if (!main_module) throw UsageError("--main FILE is missing: the main module must be given");
  if (!options.output) throw UsageError("-o FILE is missing: there is nothing to write");
  options.sources.main_module = *main_module;
  return options;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

void create_parent_directories(const fs::path& file) {
  const fs::path parent = file.parent_path();
  std::error_code error;
  if (!parent.empty() && !fs::is_directory(parent) && !fs::create_directories(parent, error)) {
    throw PackError(display_path(parent) + ": cannot create the directory: " + error.message());
  }
}

void pack(const PackOptions& options) {
  const std::vector<Entry> entries = collect_entries(options.sources);
  warn_about_long_names(entries, "onefile pack");
  const fs::path& block_path = *options.output;
  const int threads = options.threads > 0
                          ? options.threads
                          : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
  create_parent_directories(block_path);
  // Written as a build writes a launcher: under a temporary name that an interruption removes,
  // taking the output's name only when complete.
  PendingOutput pending(block_path, false);
  const auto fail = [&block_path] {
    return BuildError("can't write '" + display_path(block_path) +
                      "': " + std::generic_category().message(errno));
  };
  std::unique_ptr<std::FILE, FileCloser> file(open_file(pending.temporary(), "wb"));
  if (!file) throw fail();
  stream_payload_block(entries, {options.level, threads}, [&](const void* data, std::size_t size) {
    if (std::fwrite(data, 1, size, file.get()) != size) throw fail();
  });
  if (std::fclose(file.release()) != 0) throw fail();
  pending.commit();
}

}  // namespace

int pack_command(const std::vector<std::string>& arguments) {
  progress_program = "onefile pack";
  try {
    const PackOptions options = parse_pack_options(arguments);
    if (options.help) {
      std::fputs(usage_text, stdout);
      return 0;
    }
    pack(options);
    return 0;
  } catch (const UsageError& error) {
    std::fprintf(stderr, "onefile pack: %s\nTry 'onefile pack --help'.\n", error.what());
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "onefile pack: %s\n", error.what());
    return 1;
  }
}

}  // namespace onefile_tool
