// Sha256 where the build has no library for it: the portable implementation.
#include "pack/sha256.h"

namespace onefile_pack {

struct Sha256::Engine {
  PortableSha256 portable;
};

Sha256::Sha256() : engine_(std::make_unique<Engine>()) {}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::add(const void* data, std::size_t size) {
  engine_->portable.add(data, size);
}

Sha256Digest Sha256::finish() {
  return engine_->portable.finish();
}

const char* Sha256::backend_name() {
  return "portable";
}

}  // namespace onefile_pack
