// Writes payload blocks whose frame is cut into small zstd blocks, so that decoded blocks
// straddle the reader's 128 KiB window; the zstd tool and the packer always cut at 128 KiB.
// Usage: seed_blocks OUTPUT_DIR
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <zstd.h>

namespace {

void add_entry(std::string& list, const std::string& name, const std::string& data) {
  for (char c : name) list += {c, '\0'};
  list += {'\0', '\0'};
  for (int i = 0; i < 8; ++i) list.push_back(static_cast<char>(data.size() >> (8 * i)));
  list += data;
}

// One frame, a block ended after every `step` bytes of content.
std::string frame(const std::string& content, std::size_t step) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
  std::string out;
  char buffer[1 << 16];
  for (std::size_t at = 0; at <= content.size(); at += step) {
    const std::size_t count = std::min(step, content.size() - at);
    ZSTD_inBuffer input{content.data() + at, count, 0};
    const ZSTD_EndDirective mode = at + step > content.size() ? ZSTD_e_end : ZSTD_e_flush;
    for (;;) {
      ZSTD_outBuffer output{buffer, sizeof buffer, 0};
      const std::size_t left = ZSTD_compressStream2(context, &output, &input, mode);
      out.append(buffer, output.pos);
      if (ZSTD_isError(left)) std::abort();
      if (left == 0 && input.pos == input.size) break;
    }
  }
  ZSTD_freeCCtx(context);
  return out;
}

void write(const std::string& path, const std::string& frame, bool trailer) {
  std::string block = "JIV" + frame;
  if (trailer) {
    block.push_back('\0');
    const std::size_t leading = block.size();  // the bytes before the length field
    for (int i = 0; i < 8; ++i) block.push_back(static_cast<char>(leading >> (8 * i)));
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(block.data(), 1, block.size(), file);
  std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  std::string list;
  std::string data;
  for (int i = 0; data.size() < 131572; ++i)
    data += "row " + std::to_string(i * 7919 % 1000) + "\n";
  add_entry(list, "m", "MZ");
  add_entry(list, "big", data.substr(0, 131572 - list.size() - 2 - 2 * 4 - 8));
  list += {'\0', '\0'};
  write(dir + "/straddle", frame(list, 1000), true);
  write(dir + "/straddle_without_trailer", frame(list, 1000), false);
  return 0;
}
