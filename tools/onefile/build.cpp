#include "onefile/build.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <random>
#include <string_view>
#include <system_error>
#include <thread>

#include "onefile/build_error.h"
#include "onefile/launcher_image.h"
#include "onefile/module_check.h"
#include "onefile/files.h"
#include "onefile/signing.h"
#include "onefile/stubs.h"
#include "pack/error.h"
#include "pack/names.h"
#include "pack/platform.h"
#include "pack/utf.h"
#include "pe/resources.h"

namespace onefile_tool {
namespace {

namespace fs = std::filesystem;
using onefile_pack::display_path;

void warn(const std::string& text) {
  std::fprintf(stderr, "onefile: warning: %s\n", text.c_str());
}

std::u16string utf16(const std::string& text, const char* option) {
  std::u16string units;
  if (!onefile_pack::utf8_to_utf16(text, units)) {
    throw BuildError(std::string(option) + " is not valid UTF-8: \"" +
                     onefile_pack::printable(text) + "\"");
  }
  return units;
}

// "a.b.c.d", each a number to 65535 (the version record holds 16 bits of each).
std::array<std::uint16_t, 4> parse_version(const std::string& text) {
  std::array<std::uint16_t, 4> parts{};
  std::size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    std::size_t end = at;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    const bool separated = part == 3 ? end == text.size() : end < text.size() && text[end] == '.';
    if (end == at || end - at > 5 || !separated || std::stoul(text.substr(at, end - at)) > 65535) {
      throw onefile_pack::UsageError("--version must be four numbers from 0 to 65535, a.b.c.d");
    }
    parts[part] = static_cast<std::uint16_t>(std::stoul(text.substr(at, end - at)));
    at = end + 1;
  }
  return parts;
}

// Every launch finds a kept directory again: its spec can't take the values of one launch.
bool names_one_launch(std::string spec) {
  std::transform(spec.begin(), spec.end(), spec.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const char* value : {"{pid}", "{random}", "{time}", "{time_us}"}) {
    if (spec.find(value) != std::string::npos) return true;
  }
  return false;
}

// The version record, the manifest and the icon's images, all language neutral.
std::vector<onefile_pe::Resource> launcher_resources(const BuildOptions& options,
                                                     const LauncherSettings& settings) {
  onefile_pe::VersionFields fields;
  fields.file_version = parse_version(*options.version);
  fields.product_version = fields.file_version;
  fields.company_name = settings.texts[text_company];
  fields.product_name = settings.texts[text_product];
  fields.file_description = settings.texts[text_product];
  fields.file_version_text = settings.texts[text_version];
  fields.product_version_text = settings.texts[text_version];
  fields.original_filename = utf16(*options.original_filename, "--original-filename");
  fields.internal_name = utf16(*options.internal_name, "--internal-name");
  fields.console = options.console;
  std::vector<onefile_pe::Resource> resources;
  resources.push_back({onefile_pe::kRtVersion, 1, 0, onefile_pe::version_record(fields)});

  std::string manifest;
  if (options.manifest) {
    const std::vector<std::uint8_t> bytes = read_input_file(*options.manifest, "the manifest");
    manifest.assign(bytes.begin(), bytes.end());
    try {
      onefile_pe::check_well_formed_xml(manifest);
    } catch (const onefile_pe::PeError& error) {
      throw BuildError("the manifest '" + display_path(*options.manifest) +
                       "' is not well-formed XML: " + error.what());
    }
  } else {
    manifest = generated_manifest(options.manifest_options);
  }
  // CREATEPROCESS_MANIFEST_RESOURCE_ID: the manifest that the loader applies to the process.
  resources.push_back(
      {onefile_pe::kRtManifest, 1, 0, std::vector<std::uint8_t>(manifest.begin(), manifest.end())});

  if (options.icon) {
    const std::vector<std::uint8_t> ico = read_input_file(*options.icon, "the icon");
    try {
      for (onefile_pe::Resource& icon : onefile_pe::icon_resources(ico, 1, 1)) {
        resources.push_back(std::move(icon));
      }
    } catch (const onefile_pe::PeError& error) {
      throw BuildError("the icon '" + display_path(*options.icon) +
                       "' can't be used: " + error.what());
    }
  }
  return resources;
}

// A directory of this build's own below the system's temporary folder, removed at the end.
class WorkDirectory {
 public:
  WorkDirectory() {
    std::random_device random;
    for (int attempt = 0; attempt < 16 && path_.empty(); ++attempt) {
      const fs::path candidate =
          fs::temp_directory_path() / ("onefile-build-" + std::to_string(random()));
      std::error_code error;
      if (fs::create_directory(candidate, error)) path_ = candidate;
    }
    if (path_.empty()) throw BuildError("can't make a work directory in the temporary folder");
  }
  ~WorkDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The output's name without ".exe": the default product and version record names.
std::string output_name(const fs::path& output) {
  const std::u8string file_name = output.filename().u8string();
  std::string name(file_name.begin(), file_name.end());
  if (name.size() > 4 && name.ends_with(".exe")) name.resize(name.size() - 4);
  return name;
}

// The options' texts with their defaults, checked, as the launcher will carry them.
LauncherSettings settings_of(BuildOptions& options, const std::string& name) {
  if (!options.product) options.product = name;
  if (!options.company) options.company = *options.product;
  if (!options.version) options.version = "1.0.0.0";
  parse_version(*options.version);
  if (!options.target_spec) {
    options.target_spec =
        options.keep == attached_keep::none ? default_target_spec : default_kept_target_spec;
  }
  if (options.keep != attached_keep::none && names_one_launch(*options.target_spec)) {
    throw onefile_pack::UsageError(
        "a kept directory's --target-spec can't use {PID}, {RANDOM}, {TIME} or {TIME_US}");
  }
  if (!options.original_filename) options.original_filename = name + ".exe";
  if (!options.internal_name) options.internal_name = name;
  LauncherSettings settings;
  settings.texts[text_target_spec] = utf16(*options.target_spec, "--target-spec");
  settings.texts[text_company] = utf16(*options.company, "--company");
  settings.texts[text_product] = utf16(*options.product, "--product");
  settings.texts[text_version] = utf16(*options.version, "--version");
  settings.keep = options.keep;
  settings.error_dialog = options.error_dialog;
  settings.progress_window = options.progress_window;
  return settings;
}

// Options that can't work together, and signatures that expire: named, the build goes on.
void warn_about_pitfalls(const BuildOptions& options) {
  if (options.manifest_options.uac_admin && options.console) {
    warn(
        "--uac-admin with --console: started from a prompt, a script or CI the launch fails "
        "(ERROR_ELEVATION_REQUIRED), and elevated it runs in a new console without the "
        "caller's redirection");
  }
  if (options.sign && !options.timestamp) {
    warn(
        "--sign without --timestamp: the signatures stop validating when the certificate "
        "expires");
  }
}

}  // namespace

void build_launcher(const BuildOptions& given) {
  BuildOptions options = given;
  const fs::path& output = *options.output;
  LauncherSettings settings = settings_of(options, output_name(output));
  warn_about_pitfalls(options);

  // Everything that can be checked before the payload is packed.
  PendingOutput pending(output);
  const fs::path stub_path = launcher_stub_path(options.stub);
  std::vector<std::uint8_t> stub = read_stub(stub_path, stub_kind::launcher);
  if (options.run) {
    const fs::path runner = stub_path.parent_path() / runner_stub_name;
    read_stub(runner, stub_kind::stock_runner);
    options.sources.main_module = runner;
    std::string entry = *options.run;
    std::replace(entry.begin(), entry.end(), '/', '\\');
    settings.texts[text_run_target] = utf16(entry, "--run");
  } else {
    options.sources.main_module = *options.main_module;
  }
  std::vector<onefile_pe::Resource> resources = launcher_resources(options, settings);
  std::optional<WorkDirectory> work;
  std::optional<Signer> signer;
  if (options.sign) {
    work.emplace();
    signer.emplace(SigningOptions{*options.sign, options.sign_password_file, options.timestamp,
                                  *options.product},
                   work->path());
  }
  std::vector<onefile_pack::Entry> entries = onefile_pack::collect_entries(options.sources);
  if (options.run) {
    const std::u16string& wanted = settings.texts[text_run_target];
    if (std::none_of(entries.begin() + 1, entries.end(),
                     [&](const onefile_pack::Entry& entry) { return entry.name == wanted; })) {
      throw BuildError("--run '" + onefile_pack::printable(*options.run) +
                       "' is not a file of --dir or --file");
    }
  } else if (std::string fault = main_module_fault(entries.front().source); !fault.empty()) {
    throw BuildError(fault);
  }

  if (signer) signer->sign_entries(entries);
  const int threads = options.threads > 0
                          ? options.threads
                          : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
  std::vector<std::uint8_t> launcher =
      finished_launcher(std::move(stub), options.console, std::move(resources),
                        attached_section(settings, entries, {options.level, threads}));
  if (signer) {
    const fs::path unsigned_launcher = work->path() / "unsigned.exe";
    PendingOutput unsigned_output(unsigned_launcher);
    unsigned_output.write(launcher);
    unsigned_output.commit();
    std::error_code ignored;
    fs::remove(pending.temporary(), ignored);  // osslsigncode writes it anew
    signer->sign(unsigned_launcher, pending.temporary());
  } else {
    pending.write(launcher);
  }
  pending.commit();
  std::error_code error;
  const std::uintmax_t size = fs::file_size(output, error);
  std::printf("onefile: wrote %s (%ju bytes)\n", display_path(output).c_str(),
              static_cast<std::uintmax_t>(error ? launcher.size() : size));
}

}  // namespace onefile_tool
