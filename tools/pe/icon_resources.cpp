#include "pe/resources.h"

namespace onefile_pe {
std::vector<Resource> icon_resources(std::span<const std::uint8_t>, std::uint16_t, std::uint16_t) {
  throw PeError("not implemented yet");
}
}  // namespace onefile_pe
