// Reading an entry's name from the payload stream. Portable on purpose (no platform calls), like
// the stream reader, so that both also build on the host for fuzzing. Names are stored as UTF-16
// code units, one per element of entry_name, whatever the width of wchar_t.
#include <cstdint>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "payload/payload.h"

namespace {

// The next UTF-16LE code unit of the entry list.
wchar_t read_code_unit() {
  unsigned char bytes[2];
  read_payload(bytes, sizeof bytes);
  return static_cast<wchar_t>(bytes[0] | (std::uint16_t{bytes[1]} << 8));
}

}  // namespace

bool read_entry_name() {
  entry_name[0] = read_code_unit();
  if (entry_name[0] == 0) return false;
  // Units go straight into place; the last slot is kept for the terminator, so a name that has not
  // ended by the time it is filled does not fit.
  for (std::size_t i = 1; i < entry_name_capacity; ++i) {
    entry_name[i] = read_code_unit();
    if (entry_name[i] == 0) return true;
  }
  abnormal_end();
}
