#include "onefile/elevation_check.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "onefile/build_error.h"
#include "onefile/files.h"
#include "pack/utf.h"
#include "pe/program_image.h"

namespace onefile_tool {
namespace {

std::string lower_ascii(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// requestedExecutionLevel's values ("Application manifests", trustInfo), by the rights they ask
// for: the launcher needs at least the program's.
enum level_rank { as_invoker = 0, highest_available = 1, require_administrator = 2 };

level_rank rank_of(std::string_view level) {
  const std::string lower = lower_ascii(level);
  if (lower == "requireadministrator") return require_administrator;
  if (lower == "highestavailable") return highest_available;
  return as_invoker;
}

// Installer detection ("How User Account Control works"): a 32-bit program without a requested
// execution level whose file name has one of these words is started elevated, where the policy
// "Detect application installations and prompt for elevation" is on (its default outside
// enterprises). It also reads the version record; the name is what is checked here.
bool named_like_an_installer(std::string_view run_name) {
  const std::size_t separator = run_name.find_last_of("\\/");
  const std::string file_name =
      lower_ascii(separator == std::string_view::npos ? run_name : run_name.substr(separator + 1));
  constexpr const char* words[] = {"install", "setup", "update", "patch"};
  return std::any_of(std::begin(words), std::end(words),
                     [&](const char* word) { return file_name.find(word) != std::string::npos; });
}

}  // namespace

std::string program_elevation_warning(const std::filesystem::path& program,
                                      const std::string& run_name,
                                      std::string_view launcher_manifest, bool own_manifest) {
  const std::vector<std::uint8_t> bytes =
      read_input_file(program, "the program", pe_check_read_limit);
  onefile_pe::ProgramImage image;
  try {
    image = onefile_pe::read_program_image(bytes);
  } catch (const onefile_pe::PeError&) {
    // Not a PE image (a script, say), or one whose resources this reader can't follow: nothing
    // to judge here; the system's loader judges it at the start.
    return "";
  }
  const std::string level =
      image.manifest ? onefile_pe::requested_execution_level(*image.manifest) : std::string();
  const level_rank launcher = rank_of(onefile_pe::requested_execution_level(launcher_manifest));
  const std::string name = "--run '" + onefile_pack::printable(run_name) + "'";
  const std::string remedy =
      own_manifest ? "ask for requireAdministrator in the manifest given with --manifest"
                   : "build with --uac-admin";
  const std::string outcome =
      "a launcher that isn't elevated can't start it (ERROR_ELEVATION_REQUIRED); " + remedy +
      ", so that the launcher asks for elevation itself";
  if (rank_of(level) > launcher) {
    throw BuildError(name + " asks to run " +
                     (rank_of(level) == require_administrator ? "as administrator"
                                                              : "with its user's highest rights") +
                     " (its manifest's requestedExecutionLevel is " +
                     onefile_pack::printable(level) + "): " + outcome);
  }
  if (launcher < require_administrator && image.is_32_bit && level.empty() &&
      named_like_an_installer(run_name)) {
    return name +
           " is a 32-bit program without a requestedExecutionLevel, named like an installer: "
           "where Windows' installer detection is on, " +
           outcome + " (or give the program a manifest that asks for asInvoker)";
  }
  return "";
}

}  // namespace onefile_tool
