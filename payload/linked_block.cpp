// Kept apart from the reader so that only a launcher executable needs a linked payload block.
#include "payload/payload.h"

void open_payload() {
  open_payload_block(onefile_payload, onefile_payload_size);
}
