// The inputs the PE library's tests turn a real MinGW-built program into a finished image with,
// shared by the host tests and the check under Wine so that both look at the same recipe.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "pe/pe_image.h"
#include "pe/resources.h"

namespace pe_test {

inline std::vector<std::uint8_t> read_bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The message of the PeError the call throws, or "accepted".
template <typename Call>
std::string refusal(Call call) {
  try {
    call();
  } catch (const onefile_pe::PeError& error) {
    return error.what();
  }
  return "accepted";
}

// Non-ASCII on purpose: the names must come back whole from the system's version functions.
inline onefile_pe::VersionFields version_fields() {
  onefile_pe::VersionFields fields;
  fields.file_version = {1, 2, 3, 4};
  fields.product_version = {5, 6, 7, 8};
  fields.company_name = u"M\u00FCller & S\u00F6hne \u6771\u4EAC";
  fields.product_name = u"\u00C9clair \U0001F600 Viewer";
  fields.file_description = u"Sample";
  fields.file_version_text = u"1.2.3.4";
  fields.product_version_text = u"5.6.7.8";
  fields.original_filename = u"sample.exe";
  return fields;
}

inline constexpr std::string_view kManifest =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
    "  <!-- a comment -->\n"
    "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>\n"
    "    <requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>\n"
    "  </requestedPrivileges></security></trustInfo>\n"
    "</assembly>\n";

constexpr std::uint16_t kRtRcdata = 10;

// Raw data leaves out of order, one id in two languages: the tree must come out sorted, or the
// system's binary search misses them.
inline std::vector<onefile_pe::Resource> data_leaves() {
  return {{kRtRcdata, 9, 0, {9}},
          {kRtRcdata, 2, 0x0409, {2, 0x09}},
          {kRtRcdata, 2, 0x0407, {2, 0x07}},
          {kRtRcdata, 5, 0, {5, 5, 5, 5, 5}}};
}

inline std::vector<std::uint8_t> payload() {
  std::vector<std::uint8_t> bytes(100000);
  std::uint32_t state = 12345;
  for (auto& byte : bytes)
    byte = static_cast<std::uint8_t>((state = state * 1103515245 + 12345) >> 16);
  return bytes;
}

// The stub with a payload section, every kind of resource, and the subsystem given.
inline std::vector<std::uint8_t> finish(std::vector<std::uint8_t> stub,
                                        const std::vector<std::uint8_t>& ico,
                                        std::uint16_t subsystem) {
  onefile_pe::Image image = onefile_pe::Image::read(std::move(stub));
  image.add_section(".onefile", payload(), onefile_pe::kSectionReadOnlyData);
  std::vector<onefile_pe::Resource> resources = data_leaves();
  resources.push_back({onefile_pe::kRtVersion, 1, 0, onefile_pe::version_record(version_fields())});
  resources.push_back({onefile_pe::kRtManifest, 1, 0, {kManifest.begin(), kManifest.end()}});
  for (auto& icon : onefile_pe::icon_resources(ico, 1, 1)) resources.push_back(std::move(icon));
  image.set_resources(std::move(resources));
  image.set_subsystem(subsystem);
  return image.write();
}

}  // namespace pe_test
