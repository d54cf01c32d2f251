// Sha256 through OpenSSL's libcrypto (EVP digests): its SHA-256 uses the CPU's SHA extensions or
// vector code where the CPU has them, several times the portable code's speed.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <string>

#include "pack/error.h"
#include "pack/sha256.h"

namespace onefile_pack {
namespace {

// The digest, fetched once from the built-in default provider. The system's openssl.cnf is not
// read: a static program can't load the provider modules it may name, and the digest must not
// depend on the machine.
const EVP_MD* sha256_method() {
  static const EVP_MD* method = [] {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    return EVP_MD_fetch(nullptr, "SHA256", nullptr);
  }();
  return method;
}

[[noreturn]] void fail(const char* step) {
  throw PackError(std::string("SHA-256 of the payload: OpenSSL's ") + step + " failed");
}

}  // namespace

struct Sha256::Engine {
  EVP_MD_CTX* context = nullptr;
  ~Engine() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : engine_(std::make_unique<Engine>()) {
  const EVP_MD* method = sha256_method();
  if (method == nullptr) fail("EVP_MD_fetch");
  engine_->context = EVP_MD_CTX_new();
  if (engine_->context == nullptr) fail("EVP_MD_CTX_new");
  if (EVP_DigestInit_ex(engine_->context, method, nullptr) != 1) fail("EVP_DigestInit_ex");
}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::add(const void* data, std::size_t size) {
  if (size > 0 && EVP_DigestUpdate(engine_->context, data, size) != 1) fail("EVP_DigestUpdate");
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest;
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(engine_->context, digest.data(), &length) != 1 || length != digest.size())
    fail("EVP_DigestFinal_ex");
  return digest;
}

const char* Sha256::backend_name() {
  return "OpenSSL";
}

}  // namespace onefile_pack
