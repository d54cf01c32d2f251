// libFuzzer target: the .ico reader that turns --icon's file into icon resources. Damage may only
// end in PeError.
#include <cstddef>
#include <cstdint>
#include <span>

#include "pe/resources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    onefile_pe::icon_resources(std::span<const std::uint8_t>(data, size), 1, 1);
  } catch (const onefile_pe::PeError&) {
  }
  return 0;
}
