// The optional header's CheckSum ("Optional Header Windows-Specific Fields"), of a whole file or
// of one given in pieces, as the finished launcher is written.
#include "pe/pe_image.h"

#include <vector>

namespace onefile_pe {

void PeChecksum::add(std::span<const std::uint8_t> bytes) {
  std::size_t at = 0;
  if (odd_byte_ >= 0 && !bytes.empty()) {
    sum_ += static_cast<std::uint32_t>(odd_byte_) | std::uint32_t{bytes[0]} << 8;
    sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
    odd_byte_ = -1;
    at = 1;
  }
  // The words taken in pairs, as 32-bit little-endian values, into a 64-bit sum folded once at
  // the end: 2^16 is 1 modulo 0xFFFF, so a pair's value and its two words give the same one's-
  // complement sum (the shortcut of RFC 1071, section 2), and the sum is 0 only where every word
  // is, as with a fold after each word. Several times faster: the tool sums gigabytes.
  std::uint64_t sum = sum_;
  for (; at + 4 <= bytes.size(); at += 4) {
    sum += bytes[at] | std::uint32_t{bytes[at + 1]} << 8 | std::uint32_t{bytes[at + 2]} << 16 |
           std::uint32_t{bytes[at + 3]} << 24;
  }
  for (; at + 1 < bytes.size(); at += 2) sum += bytes[at] | std::uint32_t{bytes[at + 1]} << 8;
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  sum_ = static_cast<std::uint32_t>(sum);
  if (at < bytes.size()) odd_byte_ = bytes[at];
  length_ += bytes.size();
}

void PeChecksum::add(const PeChecksum& following) {
  if (odd_byte_ >= 0) throw PeError("a checksum's pieces must be joined at an even offset");
  sum_ += following.sum_;
  sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
  length_ += following.length_;
  odd_byte_ = following.odd_byte_;
}

// A last odd byte counts as a word of its own; the length is taken modulo 2^32, as the 32-bit
// field holds it.
std::uint32_t PeChecksum::finish() const {
  std::uint32_t sum = sum_;
  if (odd_byte_ >= 0) {
    sum += static_cast<std::uint32_t>(odd_byte_);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum + static_cast<std::uint32_t>(length_);
}

// The algorithm of imagehlp's CheckSumMappedFile: the file summed as 16-bit little-endian words
// with the carry folded back after each addition, the CheckSum field counted as zero, and the
// file's length added to the folded 16-bit sum.
std::uint32_t pe_checksum(std::span<const std::uint8_t> file, std::size_t checksum_offset) {
  std::uint32_t sum = 0;
  const auto add_words = [&](std::span<const std::uint8_t> bytes, std::size_t from,
                             std::size_t to) {  // `from` even
    for (std::size_t at = from; at < to; at += 2) {
      sum += bytes[at] | (at + 1 < to ? std::uint32_t{bytes[at + 1]} << 8 : 0);
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
  };
  if (checksum_offset % 2 == 0 && checksum_offset + 4 <= file.size()) {
    add_words(file, 0, checksum_offset);
    add_words(file, checksum_offset + 4, file.size());
  } else {  // a field at an odd offset: on a copy with the field zeroed
    std::vector<std::uint8_t> copy(file.begin(), file.end());
    for (std::size_t at = checksum_offset; at < checksum_offset + 4 && at < copy.size(); ++at) {
      copy[at] = 0;
    }
    add_words(copy, 0, copy.size());
  }
  return sum + static_cast<std::uint32_t>(file.size());
}

}  // namespace onefile_pe
