// The child's main module name: the payload's first entry, as the launcher's listing names it
// (the entry list without the files' bytes, carried beside the block, made from the same list). The
// child needs nothing else of the payload, so it reads no frame: opening the decoder and decoding
// the first block (up to 128 KiB, with a window of up to 32 MiB) cost it more than a millisecond.
#include <cstdint>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "payload/payload.h"

bool read_main_module_name() {
  // Per file its name (UTF-16LE units, then a 0 unit) and its 8-byte size; a 0 unit at the end.
  const unsigned char* bytes = payload_listing;
  const std::size_t size = payload_listing_size;
  for (std::size_t i = 0; i < entry_name_capacity; ++i) {
    // The launcher's own listing, made with the block: never cut short.
    if (2 * i + 2 > size) abnormal_end();
    entry_name[i] = static_cast<wchar_t>(bytes[2 * i] | (std::uint16_t{bytes[2 * i + 1]} << 8));
    if (entry_name[i] == 0) return i > 0;
  }
  abnormal_end();
}
