// The payload block's SHA-256, from whichever backend the build uses and from the portable code,
// against FIPS 180-2's examples (appendix B) and against each other on uneven pieces.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pack/sha256.h"

namespace {

std::string hex(const onefile_pack::Sha256Digest& digest) {
  std::string text;
  for (const std::uint8_t byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

struct Example {
  const char* name;
  std::string message;
  const char* digest;
};

std::vector<Example> examples() {
  return {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"a million a", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
}

TEST(Sha256Test, BackendAndPortableCodeGiveTheStandardsDigests) {
  std::printf("SHA-256 backend: %s\n", onefile_pack::Sha256::backend_name());
  for (const Example& example : examples()) {
    SCOPED_TRACE(example.name);
    onefile_pack::Sha256 backend;
    backend.add(example.message.data(), example.message.size());
    EXPECT_EQ(hex(backend.finish()), example.digest);
    onefile_pack::PortableSha256 portable;
    portable.add(example.message.data(), example.message.size());
    EXPECT_EQ(hex(portable.finish()), example.digest);
  }
}

// Pieces that straddle the 64-byte blocks and the padding's 56-byte boundary, empty pieces among
// them: the block writer hands the digest whatever the compressor gives it.
TEST(Sha256Test, PiecesOfAnySizeGiveTheDigestOfTheWhole) {
  std::vector<std::uint8_t> message(300000);
  for (std::size_t i = 0; i < message.size(); ++i)
    message[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
  for (const std::size_t length : {std::size_t{55}, std::size_t{56}, std::size_t{64},
                                   std::size_t{119}, std::size_t{120}, message.size()}) {
    SCOPED_TRACE(length);
    onefile_pack::PortableSha256 whole;
    whole.add(message.data(), length);
    const std::string expected = hex(whole.finish());
    onefile_pack::Sha256 pieces;
    std::size_t offset = 0;
    for (std::size_t piece = 0; offset < length; piece = (piece * 7 + 3) % 4099) {
      const std::size_t taken = std::min(piece, length - offset);
      pieces.add(message.data() + offset, taken);
      offset += taken;
    }
    EXPECT_EQ(hex(pieces.finish()), expected);
  }
}

}  // namespace
