#include "pack/sha256.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>
#include <vector>

#include "pack/error.h"
#include "pack/platform.h"

namespace onefile_pack {

Sha256Digest sha256_of_file(const std::filesystem::path& path) {
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, Closer> file(open_file(path, "rb"));
  const auto fail = [&path] {
    return PackError(display_path(path) +
                     ": cannot be read: " + std::generic_category().message(errno));
  };
  if (!file) throw fail();
  Sha256 digest;
  std::vector<unsigned char> buffer(1 << 20);
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (std::ferror(file.get())) throw fail();
    if (got == 0) break;
    digest.add(buffer.data(), got);
  }
  return digest.finish();
}

}  // namespace onefile_pack
