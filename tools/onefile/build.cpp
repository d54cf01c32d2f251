#include "onefile/build.h"

#include <zstd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <system_error>
#include <thread>

#include "onefile/build_checks.h"
#include "onefile/build_error.h"
#include "onefile/elevation_check.h"
#include "onefile/launcher_image.h"
#include "onefile/module_check.h"
#include "onefile/files.h"
#include "onefile/signing.h"
#include "onefile/stubs.h"
#include "onefile/target_spec_check.h"
#include "pack/error.h"
#include "pack/names.h"
#include "pack/block_writer.h"
#include "pack/platform.h"
#include "pack/progress.h"
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

// "a.b.c.d", each a number to 65535 (the version record holds 16 bits of each); "a.b" and
// "a.b.c" stand for "a.b.0.0" and "a.b.c.0".
std::array<std::uint16_t, 4> parse_version(const std::string& text) {
  std::array<std::uint16_t, 4> parts{};
  std::size_t at = 0;
  int count = 0;
  for (; count < 4; ++count) {
    std::size_t end = at;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    const bool last = end == text.size();
    const bool separated = last || (count < 3 && text[end] == '.');
    if (end == at || end - at > 5 || !separated || std::stoul(text.substr(at, end - at)) > 65535) {
      throw onefile_pack::UsageError(
          "--version must be two to four numbers from 0 to 65535, a.b[.c[.d]]");
    }
    parts[count] = static_cast<std::uint16_t>(std::stoul(text.substr(at, end - at)));
    at = end + 1;
    if (last) break;
  }
  if (count < 1) {
    throw onefile_pack::UsageError(
        "--version must be two to four numbers from 0 to 65535, a.b[.c[.d]]");
  }
  return parts;
}

// The version as the launcher carries it ({VERSION}, FileVersion): always four numbers.
std::string four_part_version(const std::string& text) {
  const std::array<std::uint16_t, 4> parts = parse_version(text);
  std::string version;
  for (const std::uint16_t part : parts) {
    if (!version.empty()) version += '.';
    version += std::to_string(part);
  }
  return version;
}

// The version record, the manifest and the icon's images, all language neutral.
std::vector<onefile_pe::Resource> launcher_resources(const BuildOptions& options,
                                                     const LauncherSettings& settings) {
  onefile_pe::VersionFields fields;
  fields.file_version = parse_version(*options.version);
  fields.product_version = fields.file_version;
  fields.company_name = settings.texts[text_company];
  fields.product_name = settings.texts[text_product];
  fields.file_description = options.description ? utf16(*options.description, "--description")
                                                : settings.texts[text_product];
  fields.file_version_text = settings.texts[text_version];
  fields.product_version_text = options.product_version
                                    ? utf16(*options.product_version, "--product-version")
                                    : settings.texts[text_version];
  if (options.copyright) fields.legal_copyright = utf16(*options.copyright, "--copyright");
  if (options.comments) fields.comments = utf16(*options.comments, "--comments");
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
      onefile_pe::check_manifest_xml(manifest);
    } catch (const onefile_pe::PeError& error) {
      throw BuildError("the manifest '" + display_path(*options.manifest) +
                       "' can't be used: " + error.what());
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

// The manifest among the launcher's resources.
std::string_view launcher_manifest(const std::vector<onefile_pe::Resource>& resources) {
  for (const onefile_pe::Resource& resource : resources) {
    if (resource.type == onefile_pe::kRtManifest) {
      return {reinterpret_cast<const char*>(resource.data.data()), resource.data.size()};
    }
  }
  return {};
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
  const bool company_from_product = !options.company;
  if (!options.company) options.company = *options.product;
  options.version = four_part_version(options.version.value_or("1.0.0.0"));
  if (!options.target_spec) {
    options.target_spec =
        options.keep == attached_keep::none ? default_target_spec : default_kept_target_spec;
  }
  if (!options.original_filename) options.original_filename = name + ".exe";
  if (!options.internal_name) options.internal_name = name;
  LauncherSettings settings;
  settings.texts[text_target_spec] = utf16(*options.target_spec, "--target-spec");
  settings.texts[text_company] = utf16(*options.company, "--company");
  settings.texts[text_product] = utf16(*options.product, "--product");
  settings.texts[text_version] = utf16(*options.version, "--version");
  check_target_spec(
      {settings.texts[text_target_spec], settings.texts[text_company], settings.texts[text_product],
       settings.texts[text_version], onefile_pack::printable(*options.target_spec),
       onefile_pack::printable(*options.company), onefile_pack::printable(*options.product),
       onefile_pack::printable(*options.version), company_from_product},
      options.keep);
  settings.keep = options.keep;
  settings.error_dialog = options.error_dialog;
  settings.progress_window = options.progress_window;
  return settings;
}

// --dry-run's listing: what the payload would hold, in its order, and the sum.
void print_entries(const std::vector<onefile_pack::Entry>& entries) {
  std::uintmax_t total = 0;
  for (const onefile_pack::Entry& entry : entries) {
    std::printf("%12ju  %s\n", static_cast<std::uintmax_t>(entry.size),
                onefile_pack::printable(onefile_pack::utf16_to_utf8(entry.name)).c_str());
    total += entry.size;
  }
  std::printf("onefile: %zu entries, %ju bytes; nothing written (--dry-run)\n", entries.size(),
              total);
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

// Blocks above this size go after the image; ONEFILE_TEST_PAYLOAD_OUTSIDE_ABOVE lowers it, so
// that tests can place a small payload there.
std::uint64_t payload_outside_threshold() {
  const char* value = std::getenv("ONEFILE_TEST_PAYLOAD_OUTSIDE_ABOVE");
  if (value == nullptr || *value < '0' || *value > '9') return default_payload_outside_above;
  return std::strtoull(value, nullptr, 10);
}

// "1.86 GiB", "270.00 TiB".
std::string binary_size(std::uint64_t bytes) {
  char text[32];
  const double tebibyte = 1024.0 * 1024 * 1024 * 1024;
  if (bytes >= tebibyte) {
    std::snprintf(text, sizeof text, "%.2f TiB", static_cast<double>(bytes) / tebibyte);
  } else {
    std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / (1 << 30));
  }
  return text;
}

// Before anything is compressed: the sizes that no launcher can hold. The image always holds the
// listing, which Windows' loader must map; the whole file, with the block at its largest, must
// fit in a file that Windows can keep.
void refuse_what_no_windows_loads(const LauncherParts& parts,
                                  const std::vector<onefile_pack::Entry>& entries) {
  std::uint64_t content = 2;
  for (const onefile_pack::Entry& entry : entries) {
    const std::uint64_t fields = 2 * (entry.name.size() + 1) + 8;
    if (entry.size > UINT64_MAX - fields || content > UINT64_MAX - fields - entry.size) {
      throw BuildError("the payload's files add up to more bytes than a 64-bit size can count");
    }
    content += fields + entry.size;
  }
  const std::uint64_t image = estimated_image_size(parts, parts.section_head.size());
  if (image > loader_image_size_limit) {
    throw BuildError("the listing of " + std::to_string(entries.size()) +
                     " files makes an image of " + binary_size(image) +
                     ", more than the 1.86 GiB (0x77000000 bytes) that Windows loads");
  }
  // NTFS's largest file (Windows 8 and later: 256 TiB less 64 KiB); zstd's bound for the frame.
  constexpr std::uint64_t largest_file = (std::uint64_t{1} << 48) - 0x10000;
  const std::size_t bound = ZSTD_compressBound(static_cast<std::size_t>(content));
  if (ZSTD_isError(bound) || content > largest_file || bound > largest_file - image - 4096) {
    throw BuildError(
        "the payload (" + binary_size(content) +
        ") could make a launcher larger than the largest file Windows keeps (256 TiB)");
  }
}

}  // namespace

void build_launcher(const BuildOptions& given) {
  BuildOptions options = given;
  const fs::path& output = *options.output;
  LauncherSettings settings = settings_of(options, output_name(output));
  warn_about_pitfalls(options);

  // Everything that can be checked before the payload is packed.
  std::optional<PendingOutput> pending;
  if (!options.dry_run) pending.emplace(output);
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
  if ((options.sign || options.sign_command) && !options.dry_run) {
    work.emplace();
    signer.emplace(SigningOptions{options.sign, options.sign_password_file, options.timestamp,
                                  options.sign_command, *options.product},
                   work->path());
  }
  options.sources.leave_out =
      directory_filter(options.excludes, output, pending ? pending->temporary() : fs::path());
  std::vector<onefile_pack::Entry> entries = onefile_pack::collect_entries(options.sources);
  check_output_is_no_input(entries, output);
  const onefile_pack::Entry* program = &entries.front();
  if (options.run) {
    program =
        &run_entry(entries, settings.texts[text_run_target], onefile_pack::printable(*options.run));
    // The runner starts the name as stored; the launch's file system ignores case anyway.
    settings.texts[text_run_target] = program->name;
    const std::string warning = program_elevation_warning(
        program->source, *options.run, launcher_manifest(resources), options.manifest.has_value());
    if (!warning.empty()) warn(warning);
  } else if (std::string fault = main_module_fault(entries.front().source); !fault.empty()) {
    throw BuildError(fault);
  }
  warn_about_missing_imports(entries, *program);
  onefile_pack::warn_about_long_names(entries, "onefile");
  if (options.dry_run) {
    print_entries(entries);
    return;
  }

  if (signer) signer->sign_entries(entries);
  LauncherParts parts;
  parts.stub = std::move(stub);
  parts.console = options.console;
  parts.resources = std::move(resources);
  parts.section_head = attached_section_head(settings, entries);
  parts.outside_above = payload_outside_threshold();
  refuse_what_no_windows_loads(parts, entries);

  const int threads = options.threads > 0
                          ? options.threads
                          : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
  // The block goes straight into the launcher as it is made: never held in memory whole.
  const fs::path launcher_path = signer ? work->path() / "unsigned.exe" : pending->temporary();
  LauncherWriter writer(parts, launcher_path);
  onefile_pack::progress_program = "onefile build";
  onefile_pack::stream_payload_block(
      entries, {options.level, threads},
      [&writer](const void* data, std::size_t size) { writer.add_block_bytes(data, size); });
  writer.finish();
  if (signer) {
    const std::u8string file_name = output.filename().u8string();
    const fs::path signed_launcher = signer->signed_copy(
        launcher_path, std::string(file_name.begin(), file_name.end()), display_path(output));
    pending->copy_from(signed_launcher);
  }
  pending->commit();
  std::error_code error;
  const std::uintmax_t size = fs::file_size(output, error);
  std::printf("onefile: wrote %s (%ju bytes)\n", display_path(output).c_str(),
              static_cast<std::uintmax_t>(error ? 0 : size));
}

}  // namespace onefile_tool
