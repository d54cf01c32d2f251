// Little-endian fields in byte buffers, as every PE and resource structure stores them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace onefile_pe::bytes {

inline std::uint16_t get16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
inline std::uint32_t get32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(get16(b, at)) | static_cast<std::uint32_t>(get16(b, at + 2))
                                                        << 16;
}
inline void put16(std::span<std::uint8_t> b, std::size_t at, std::uint32_t value) {
  b[at] = static_cast<std::uint8_t>(value);
  b[at + 1] = static_cast<std::uint8_t>(value >> 8);
}
inline void put32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t value) {
  put16(b, at, value & 0xFFFF);
  put16(b, at + 2, value >> 16);
}
inline void append16(std::vector<std::uint8_t>& b, std::uint32_t value) {
  b.push_back(static_cast<std::uint8_t>(value));
  b.push_back(static_cast<std::uint8_t>(value >> 8));
}
inline void append32(std::vector<std::uint8_t>& b, std::uint32_t value) {
  append16(b, value & 0xFFFF);
  append16(b, value >> 16);
}
// `value` rounded up to a multiple of `alignment` (a power of two).
inline std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}

}  // namespace onefile_pe::bytes
