// The command line of `onefile build`.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "onefile/manifest.h"
#include "pack/entries.h"
#include "payload/attached_section.h"

namespace onefile_tool {

struct BuildOptions {
  onefile_pack::EntrySources sources;  // the main module is set when the build knows it
  std::optional<std::filesystem::path> main_module;  // --main
  std::optional<std::string> run;                    // --run: an entry name
  std::optional<std::filesystem::path> output;       // -o
  int level = 19;
  int threads = 0;  // 0: one per core
  std::optional<std::string> company, product, version, target_spec;
  std::optional<std::string> original_filename, internal_name;
  // Version record texts: FileDescription (default: the product), LegalCopyright, Comments, and
  // ProductVersion in free text (default: the numeric version).
  std::optional<std::string> description, copyright, comments, product_version;
  bool console = false;
  attached_keep keep = attached_keep::none;
  std::optional<std::filesystem::path> icon, manifest;
  ManifestOptions manifest_options;
  bool error_dialog = true;
  bool progress_window = true;  // --no-progress turns it off
  std::optional<std::filesystem::path> sign, sign_password_file;
  std::optional<std::string> timestamp;
  std::optional<std::string> sign_command;  // the user's own signer, run on each file
  std::optional<std::filesystem::path> stub;
  bool help = false;
  // What the build shows and leaves out.
  std::vector<std::string> excludes;  // --exclude: patterns on the --dir trees' relative paths
  bool dry_run = false;               // --dry-run: list the entries, write nothing
};

extern const char build_usage_text[];
extern const char default_target_spec[];
extern const char default_kept_target_spec[];

// Throws onefile_pack::UsageError for anything it cannot take; arguments[0] is "build".
BuildOptions parse_build_options(const std::vector<std::string>& arguments);

}  // namespace onefile_tool
