// libFuzzer target: the reader of `onefile inspect`, which takes launchers from anywhere. An input
// is an attached section (settings, listing, payload block) or, with a first byte of 'R', a
// .rsrc section holding a version record. Damage may only end in InspectError; every payload
// fault is a message.
#include <cstddef>
#include <cstdint>
#include <span>

#include "onefile/launcher_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  onefile_tool::LauncherContents contents;
  if (size > 0 && data[0] == 'R') {
    onefile_tool::read_version_record(input.subspan(1), 0x1000, contents);
    return 0;
  }
  try {
    onefile_tool::read_attached_section(input, contents);
  } catch (const onefile_tool::InspectError&) {
  }
  return 0;
}
