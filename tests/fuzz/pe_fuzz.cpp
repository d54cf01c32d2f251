// libFuzzer target: the tool's readers of PE images from the user's disk: the stub reader (read,
// given resources and a section, written back), and the payload files' reader (imports, the
// main module's and --run's checks). Damage may only end in PeError.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "onefile/module_check.h"
#include "pe/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  onefile_tool::pe_facts(std::string(reinterpret_cast<const char*>(data), size));
  try {
    onefile_pe::Image image = onefile_pe::Image::read(std::vector<std::uint8_t>(data, data + size));
    image.section_data(".rsrc");
    image.set_subsystem(onefile_pe::kSubsystemConsole);
    image.set_resources({{onefile_pe::kRtManifest, 1, 0, {'<', 'a', '/', '>'}}});
    image.add_section(".onefile", std::vector<std::uint8_t>(64, 1),
                      onefile_pe::kSectionReadOnlyData);
    image.write();
  } catch (const onefile_pe::PeError&) {
  }
  return 0;
}
