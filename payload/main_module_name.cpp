// The child's main module name: the payload's first entry, as the launcher's listing names it
// (the entry list without the files' bytes, carried beside the block, made from the same list). The
// child needs nothing else of the payload, so it reads no frame: opening the decoder and decoding
// the first block (up to 128 KiB, with a window of up to 32 MiB) cost it more than a millisecond.
// The parent, which reads the first entry anyway, checks that the listing names the same.
#include <cstdint>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "payload/payload.h"

namespace {

// Per file its name (UTF-16LE units, then a 0 unit) and its 8-byte size; a 0 unit at the end.
// The listing's unit at index, or false when the listing ends before it.
bool listed_unit(std::size_t index, wchar_t* unit) {
  if (2 * index + 2 > payload_listing_size) return false;
  *unit = static_cast<wchar_t>(payload_listing[2 * index] |
                               (std::uint16_t{payload_listing[2 * index + 1]} << 8));
  return true;
}

}  // namespace

bool read_main_module_name() {
  for (std::size_t i = 0; i < entry_name_capacity; ++i) {
    // The launcher's own listing, made with the block: never cut short.
    if (!listed_unit(i, &entry_name[i])) abnormal_end();
    if (entry_name[i] == 0) return i > 0;
  }
  abnormal_end();
}

bool listing_names_first_entry() {
  for (std::size_t i = 0;; ++i) {
    wchar_t unit = 0;
    if (!listed_unit(i, &unit) || unit != entry_name[i]) return false;
    if (unit == 0) return true;
  }
}
