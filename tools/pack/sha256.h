// SHA-256 (FIPS 180-4) of the payload block: the digest names a kept unpack directory and ties it
// to the very payload that filled it. Sha256 uses the system's or a well-kept library's
// implementation where the build has one (sha256_openssl.cpp: OpenSSL's libcrypto, with the CPU's
// SHA instructions; sha256_cng.cpp: Windows' CNG), else the portable one (sha256_fallback.cpp);
// every backend gives the same digest.
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>
#include <memory>

namespace onefile_pack {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  Sha256();  // throws PackError when the backend can't start a digest
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  void add(const void* data, std::size_t size);
  Sha256Digest finish();  // once per object

  static const char* backend_name();  // for tests and benchmarks

 private:
  struct Engine;
  std::unique_ptr<Engine> engine_;
};

// The portable implementation (sha256_portable.cpp): the fallback backend, and the reference the
// tests hold every backend to.
class PortableSha256 {
 public:
  PortableSha256();
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
