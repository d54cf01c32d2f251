// Sha256 through Windows' own implementation (CNG, bcrypt.dll), which uses the CPU's SHA
// extensions where it has them. Every call returns an NTSTATUS; any failure ends the run with a
// message naming the call and the status (BCryptOpenAlgorithmProvider: STATUS_NOT_FOUND,
// STATUS_NO_MEMORY; the others: STATUS_INVALID_HANDLE, STATUS_INVALID_PARAMETER).
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "pack/error.h"
#include "pack/sha256.h"

namespace onefile_pack {
namespace {

[[noreturn]] void fail(const char* call, NTSTATUS status) {
  char text[160];
  std::snprintf(text, sizeof text, "SHA-256 of the payload: %s failed (NTSTATUS 0x%08lX)", call,
                static_cast<unsigned long>(status));
  throw PackError(text);
}

// The provider, opened once and kept for the process: its handle may be used from several
// threads at once (each hash object from one at a time).
BCRYPT_ALG_HANDLE sha256_provider() {
  static NTSTATUS status = 0;
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    status = BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    return BCRYPT_SUCCESS(status) ? handle : nullptr;
  }();
  if (provider == nullptr) fail("BCryptOpenAlgorithmProvider", status);
  return provider;
}

}  // namespace

struct Sha256::Engine {
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~Engine() {
    if (hash != nullptr) BCryptDestroyHash(hash);
  }
};

// No hash object buffer: CNG allocates it itself (Windows 7 and later).
Sha256::Sha256() : engine_(std::make_unique<Engine>()) {
  const NTSTATUS status =
      BCryptCreateHash(sha256_provider(), &engine_->hash, nullptr, 0, nullptr, 0, 0);
  if (!BCRYPT_SUCCESS(status)) {
    engine_->hash = nullptr;
    fail("BCryptCreateHash", status);
  }
}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

// BCryptHashData takes a ULONG count: larger inputs go in pieces.
void Sha256::add(const void* data, std::size_t size) {
  auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));  // read only, as documented
  while (size > 0) {
    const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
    const NTSTATUS status = BCryptHashData(engine_->hash, bytes, piece, 0);
    if (!BCRYPT_SUCCESS(status)) fail("BCryptHashData", status);
    bytes += piece;
    size -= piece;
  }
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest;
  const NTSTATUS status =
      BCryptFinishHash(engine_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  if (!BCRYPT_SUCCESS(status)) fail("BCryptFinishHash", status);
  return digest;
}

const char* Sha256::backend_name() {
  return "CNG";
}

}  // namespace onefile_pack
