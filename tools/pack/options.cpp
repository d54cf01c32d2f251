#include "pack/options.h"

#include <string_view>

#include "pack/arguments.h"
#include "pack/error.h"
#include "pack/platform.h"
#include "pack/utf.h"

namespace onefile_pack {

const char usage_text[] =
    "Usage: onefile-pack --main FILE [--dir DIR]... [--file SRC[=NAME]]... [--list FILE]...\n"
    "                    -o FILE [--level N] [--threads N]\n"
    "\n"
    "Packs an application's files into a launcher's payload block: \"JIV\", one zstd frame\n"
    "holding the entry list, a 0 byte and the 8-byte little-endian leading length.\n"
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

namespace {

void set_once(std::optional<std::filesystem::path>& slot, std::string_view option,
              const std::string& value) {
  if (slot) throw UsageError(std::string(option) + " is given twice");
  slot = path_from_utf8(value);
}

}  // namespace

Options parse_options(const std::vector<std::string>& arguments) {
  Options options;
  std::optional<std::filesystem::path> main_module;
  OptionReader reader(arguments);
  while (reader.next()) {
    const std::string_view option = reader.name();
    const auto value = [&] { return reader.value(); };
    if (option == "-h" || option == "--help") {
      options.help = true;
    } else if (option == "--main") {
      set_once(main_module, option, value());
    } else if (option == "--dir") {
      options.sources.directories.push_back(path_from_utf8(value()));
    } else if (option == "--file") {
      options.sources.file_arguments.push_back(value());
    } else if (option == "--list") {
      options.sources.list_files.push_back(path_from_utf8(value()));
    } else if (option == "-o" || option == "--output") {
      set_once(options.output, "-o", value());
    } else if (option == "--level") {
      options.level = parse_number(option, value(), 1, 22);
    } else if (option == "--threads") {
      options.threads = parse_number(option, value(), 1, 4096);
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

}  // namespace onefile_pack
