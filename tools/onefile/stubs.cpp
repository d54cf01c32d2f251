#include "onefile/stubs.h"

#include <cstring>
#include <optional>
#include <string>
#include <system_error>

#include "onefile/build_error.h"
#include "onefile/files.h"
#include "onefile/process.h"
#include "pack/platform.h"
#include "pe/pe_image.h"

namespace onefile_tool {
namespace {

namespace fs = std::filesystem;

std::uint32_t read_le32(const std::uint8_t* bytes) {
  return bytes[0] | (std::uint32_t{bytes[1]} << 8) | (std::uint32_t{bytes[2]} << 16) |
         (std::uint32_t{bytes[3]} << 24);
}

const char* kind_name(stub_kind kind) {
  return kind == stub_kind::launcher ? "a launcher stub" : "the stock runner (onefile_run.dll)";
}

// The protections that every launcher gets from its stub: DYNAMIC_BASE (ASLR), HIGH_ENTROPY_VA
// (ASLR over the whole 64-bit space), NX_COMPAT (DEP), and for the program the process runs,
// TERMINAL_SERVER_AWARE: without it a Remote Desktop host runs the application with the legacy
// shims (a private Windows folder, INI and registry mapping). The system takes that one from the
// process's executable only, so the stock runner, a DLL, needn't carry it.
std::string missing_protections(const onefile_pe::Image& image, stub_kind kind) {
  struct Flag {
    std::uint16_t bit;
    const char* name;
  };
  constexpr Flag flags[] = {{onefile_pe::kDllDynamicBase, "DYNAMIC_BASE"},
                            {onefile_pe::kDllHighEntropyVa, "HIGH_ENTROPY_VA"},
                            {onefile_pe::kDllNxCompat, "NX_COMPAT"},
                            {onefile_pe::kDllTerminalServerAware, "TERMINAL_SERVER_AWARE"}};
  std::string missing;
  for (const Flag& flag : flags) {
    if (flag.bit == onefile_pe::kDllTerminalServerAware && kind != stub_kind::launcher) continue;
    if ((image.dll_characteristics() & flag.bit) != 0) continue;
    missing += missing.empty() ? "" : ", ";
    missing += flag.name;
  }
  return missing;
}

}  // namespace

fs::path launcher_stub_path(const std::optional<fs::path>& given) {
  if (given) return *given;
  const fs::path directory = own_executable().parent_path();
  const fs::path beside = directory / "stubs" / launcher_stub_name;
  const fs::path installed =
      directory.parent_path() / "share" / "onefile" / "stubs" / launcher_stub_name;
  std::error_code error;
  return !fs::exists(beside, error) && fs::exists(installed, error) ? installed : beside;
}

std::vector<std::uint8_t> read_stub(const fs::path& path, stub_kind kind) {
  const std::string what = "the stub '" + onefile_pack::display_path(path) + "'";
  std::vector<std::uint8_t> bytes = read_input_file(path, "the stub");
  // The linker's checksum covers every byte: a stub cut short or changed anywhere fails it.
  const auto damaged = [&](const std::string& why) {
    return BuildError(what + " is damaged (" + why + "); use the stubs that came with this tool");
  };
  std::optional<onefile_pe::Image> image;
  try {
    image = onefile_pe::Image::read(bytes);
  } catch (const onefile_pe::PeError& error) {
    throw damaged(error.what());
  }
  const std::uint32_t nt = read_le32(bytes.data() + 0x3C);
  const std::size_t checksum_offset = std::size_t{nt} + 4 + 20 + 64;
  if (read_le32(bytes.data() + checksum_offset) !=
      onefile_pe::pe_checksum(bytes, checksum_offset)) {
    throw damaged("its checksum doesn't match");
  }
  const auto marker = image->section_data(std::string_view(stub_marker_section_name));
  if (!marker || marker->size() < sizeof(stub_marker) ||
      std::memcmp(marker->data(), stub_marker_magic, sizeof stub_marker_magic) != 0) {
    throw BuildError(what + " is not " + kind_name(kind));
  }
  const std::uint32_t version = read_le32(marker->data() + 16);
  const auto marked_kind = static_cast<stub_kind>(read_le32(marker->data() + 20));
  if (marked_kind != kind) throw BuildError(what + " is not " + kind_name(kind));
  if (version != attached_format_version) {
    throw BuildError(what + " is of format version " + std::to_string(version) +
                     ", this tool writes version " + std::to_string(attached_format_version) +
                     ": use the stubs that came with it");
  }
  if (image->section_data(std::string_view(attached_section_name, sizeof attached_section_name))) {
    throw BuildError(what + " is a finished launcher, not a stub");
  }
  if (const std::string missing = missing_protections(*image, kind); !missing.empty()) {
    throw BuildError(what + " was linked without " + missing +
                     " (IMAGE_DLLCHARACTERISTICS_*): use the stubs that came with this tool");
  }
  return bytes;
}

}  // namespace onefile_tool
