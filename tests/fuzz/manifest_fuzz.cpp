// libFuzzer target: the check of a --manifest file (well-formed XML 1.0, root element <assembly>
// in its namespace). Damage may only end in PeError.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pe/resources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    onefile_pe::check_manifest_xml(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const onefile_pe::PeError&) {
  }
  return 0;
}
