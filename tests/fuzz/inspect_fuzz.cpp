// libFuzzer target: the reader of `onefile inspect`, which takes launchers from anywhere. An input
// is an attached section (settings, listing, payload block) or, with a first byte of 'R', a
// .rsrc section holding a version record, after the section's 4-byte RVA. Damage may only end in
// InspectError; every payload fault is a message.
#include <cstddef>
#include <cstdint>
#include <span>

#include "onefile/launcher_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  onefile_tool::LauncherContents contents;
  if (size >= 5 && data[0] == 'R') {
    const std::uint32_t rva = data[1] | data[2] << 8 | data[3] << 16 | std::uint32_t{data[4]} << 24;
    onefile_tool::read_version_record(input.subspan(5), rva, contents);
    return 0;
  }
  try {
    onefile_tool::read_attached_section(input, input, contents);
  } catch (const onefile_tool::InspectError&) {
  }
  return 0;
}
