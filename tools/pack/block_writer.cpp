#include "pack/block_writer.h"

#include <cerrno>
#include <memory>
#include <string>
#include <system_error>

#include "pack/error.h"
#include "pack/frame_encoder.h"
#include "pack/platform.h"
#include "pack/progress.h"

namespace onefile_pack {
namespace {

constexpr std::size_t read_chunk_size = 1 << 20;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string last_error_text() {
  return std::generic_category().message(errno);
}

void append_le64(std::string& out, std::uint64_t value) {
  for (int byte = 0; byte < 8; ++byte) out.push_back(static_cast<char>(value >> (8 * byte)));
}

void append_name(std::string& out, std::u16string_view name) {
  for (const char16_t unit : name) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
  out.append(2, '\0');
}

// Where the block's bytes go, in order, counted.
class BlockOutput {
 public:
  explicit BlockOutput(const BlockSink& sink) : sink_(sink) {}

  void write(const void* data, std::size_t size) {
    sink_(data, size);
    length_ += size;
  }
  std::uint64_t length() const { return length_; }

 private:
  const BlockSink& sink_;
  std::uint64_t length_ = 0;
};

// Streams one file's bytes into the frame; the size was stored before them, so a file that
// has changed since it was collected spoils the entry list and ends the run.
void add_file_data(const Entry& entry, std::vector<unsigned char>& buffer, FrameEncoder& frame,
                   Progress& progress) {
  File file(open_file(entry.source, "rb"));
  if (!file) throw PackError(entry.origin + ": cannot be read: " + last_error_text());
  std::uint64_t left = entry.size;
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (std::ferror(file.get())) {
      throw PackError(entry.origin + ": cannot be read: " + last_error_text());
    }
    if (got > left) throw PackError(entry.origin + ": the file grew while it was packed");
    if (got == 0) break;
    frame.add(buffer.data(), got);
    progress.read(got);
    left -= got;
  }
  if (left != 0) throw PackError(entry.origin + ": the file shrank while it was packed");
  progress.file_done();
}

void write_block(BlockOutput& block, const std::vector<Entry>& entries,
                 const CompressionSettings& settings) {
  block.write("JIV", 3);

  std::uint64_t file_bytes = 0;
  for (const Entry& entry : entries) file_bytes += entry.size;
  const std::uint64_t content_bytes = entry_list_size(entries);
  Progress progress(entries.size(), file_bytes, content_bytes);
  FrameEncoder frame(
      {settings.level, settings.threads, content_bytes},
      [&block](const unsigned char* data, std::size_t size) { block.write(data, size); },
      [&progress](std::uint64_t compressed) { progress.compressed(compressed); });
  std::vector<unsigned char> buffer(read_chunk_size);
  std::string fields;
  for (const Entry& entry : entries) {
    fields.clear();
    append_name(fields, entry.name);
    append_le64(fields, entry.size);
    frame.add(fields.data(), fields.size());
    add_file_data(entry, buffer, frame, progress);
  }
  const unsigned char end_marker[2] = {0, 0};  // an empty name
  frame.add(end_marker, sizeof end_marker);
  frame.finish();
  progress.finish();

  std::string trailer(1, '\0');
  append_le64(trailer, block.length() + 1);  // leading length: every byte before it
  block.write(trailer.data(), trailer.size());
}

}  // namespace

std::uint64_t entry_list_size(const std::vector<Entry>& entries) {
  std::uint64_t size = 2;
  for (const Entry& entry : entries) size += 2 * (entry.name.size() + 1) + 8 + entry.size;
  return size;
}

std::string entry_listing(const std::vector<Entry>& entries) {
  std::string listing;
  for (const Entry& entry : entries) {
    append_name(listing, entry.name);
    append_le64(listing, entry.size);
  }
  listing.append(2, '\0');  // the end marker
  return listing;
}

std::uint64_t stream_payload_block(const std::vector<Entry>& entries,
                                   const CompressionSettings& settings, const BlockSink& sink) {
  BlockOutput block(sink);
  write_block(block, entries, settings);
  return block.length();
}

}  // namespace onefile_pack
