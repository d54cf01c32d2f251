// SHA-256: the payload block's digest, which names a kept unpack directory and ties it
// to the very payload that filled it.
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>

namespace onefile_pack {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  void add(const void* data, std::size_t size);
  Sha256Digest finish();

 private:
  void compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pending_size_ = 0;
  std::uint64_t total_bytes_ = 0;
};

}  // namespace onefile_pack
