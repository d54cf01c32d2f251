// The payload block: "JIV", one zstd frame holding the entry list, one 0 byte, and the 8-byte
// little-endian leading length (the block's length less 8).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pack/entries.h"

namespace onefile_pack {

struct CompressionSettings {
  int level;
  int threads;
};

// Bytes of the decompressed entry list: per entry the name's units and a 0 unit, the 8-byte
// size and the data, then the end marker (one 0 unit).
std::uint64_t entry_list_size(const std::vector<Entry>& entries);

// The entry list without the files' bytes: per entry the name's units and a 0 unit and the 8-byte
// size, then the end marker. A launcher that keeps its unpacked files checks them against it.
std::string entry_listing(const std::vector<Entry>& entries);

// The block handed to sink in order, as it is made, reading each entry's file once in chunks; the
// memory it takes does not grow with the payload. Returns its length.
using BlockSink = std::function<void(const void* data, std::size_t size)>;
std::uint64_t stream_payload_block(const std::vector<Entry>& entries,
                                   const CompressionSettings& settings, const BlockSink& sink);

}  // namespace onefile_pack
