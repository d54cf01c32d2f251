// The bytes of a .rsrc section holding a resource tree (internal to the library).
#pragma once

#include <cstdint>
#include <vector>

#include "pe/pe_image.h"

namespace onefile_pe {

// The section for these resources when it is mapped at `section_rva`: the type, name and
// language directories, the data entries and the data. Throws PeError on a duplicate leaf.
std::vector<std::uint8_t> resource_section(std::vector<Resource> resources,
                                           std::uint32_t section_rva);

}  // namespace onefile_pe
