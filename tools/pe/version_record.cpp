#include "pe/resources.h"

namespace onefile_pe {
std::vector<std::uint8_t> version_record(const VersionFields&) { return {}; }
}  // namespace onefile_pe
