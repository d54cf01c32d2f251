// onefile: the packaging tool. `onefile build` turns an application into one self-extracting
// launcher from a prebuilt stub, on Linux and on Windows alike; `onefile pack` writes the payload
// block alone.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "onefile/build.h"
#include "onefile/build_options.h"
#include "onefile/inspect.h"
#include "onefile/pack_command.h"
#include "pack/error.h"
#include "pack/platform.h"
#include "pack/utf.h"
#include "payload/attached_section.h"

namespace {

constexpr char usage_text[] =
    "Usage: onefile build [options]     makes a launcher (onefile build --help lists the options)\n"
    "       onefile inspect LAUNCHER.exe  shows what a launcher holds and checks its payload\n"
    "       onefile pack [options]      writes a payload block alone, for a launcher linked by\n"
    "                                   hand (onefile pack --help lists the options)\n"
    "       onefile --help | --version\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace onefile_tool;
  const std::vector<std::string> arguments = onefile_pack::command_line_arguments(argc, argv);
  if (arguments.size() < 2 || arguments[1] == "-h" || arguments[1] == "--help") {
    std::fputs(usage_text, arguments.size() < 2 ? stderr : stdout);
    return arguments.size() < 2 ? 2 : 0;
  }
  if (arguments[1] == "--version") {
    std::printf("onefile %s (stub format %u)\n", ONEFILE_TOOL_VERSION, attached_format_version);
    return 0;
  }
  if (arguments[1] == "inspect") {
    return inspect_launcher(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
  }
  if (arguments[1] == "pack") {
    return pack_command(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
  }
  if (arguments[1] != "build") {
    std::fprintf(stderr, "onefile: unknown command '%s'\n%s",
                 onefile_pack::printable(arguments[1]).c_str(), usage_text);
    return 2;
  }
  try {
    const BuildOptions options =
        parse_build_options(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    if (options.help) {
      std::fputs(build_usage_text, stdout);
      return 0;
    }
    build_launcher(options);
    return 0;
  } catch (const onefile_pack::UsageError& error) {
    std::fprintf(stderr, "onefile: %s\nTry 'onefile build --help'.\n", error.what());
  } catch (const std::exception& error) {
    // BuildError, onefile_pack::PackError and onefile_pe::PeError name the problem.
    std::fprintf(stderr, "onefile: %s\n", error.what());
  }
  return 2;
}
