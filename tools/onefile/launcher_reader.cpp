#include "onefile/launcher_reader.h"

#include <zstd.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "pack/sha256.h"
#include "pe/pe_image.h"

namespace onefile_tool {
namespace {

std::uint64_t le(std::span<const std::uint8_t> bytes, std::size_t at, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[at + i];
  return value;
}

bool within(std::uint64_t offset, std::uint64_t size, std::size_t total) {
  return offset <= total && size <= total - offset;
}

// The launcher's own limit for an entry name, its terminator included.
constexpr std::size_t name_capacity = 1024;
// The largest window a frame may ask for: the tool writes at most 2^25; more is refused rather
// than allocated for a file of unknown origin.
constexpr int window_log_max = 27;

// Follows the decoded entry list (per entry: name units, a 0 unit, the 8-byte size, the data;
// an empty name ends it) and compares it with the listing.
class EntryListChecker {
 public:
  explicit EntryListChecker(const std::vector<ListedEntry>& listing) : listing_(listing) {}

  // False, with the fault, at the first difference.
  bool feed(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
      if (ended_) return fail("bytes after the end of the entry list");
      if (data_left_ > 0) {
        const std::size_t taken =
            static_cast<std::size_t>(std::min<std::uint64_t>(data_left_, count));
        data_left_ -= taken;
        bytes += taken;
        count -= taken;
        continue;
      }
      header_.push_back(*bytes++);
      --count;
      if (!step()) return false;
    }
    return true;
  }

  bool finish() {
    if (!ended_) return fail("the entry list ends early");
    return true;
  }
  const std::string& fault() const { return fault_; }

 private:
  bool fail(std::string why) {
    fault_ = std::move(why);
    return false;
  }

  // A byte of a name or of a size arrived.
  bool step() {
    if (!in_size_) {
      if (header_.size() % 2 != 0) return true;
      const char16_t unit =
          static_cast<char16_t>(header_[header_.size() - 2] | header_[header_.size() - 1] << 8);
      if (unit != 0) {
        name_.push_back(unit);
        if (name_.size() >= name_capacity) return fail("an entry name is too long");
        return true;
      }
      header_.clear();
      if (name_.empty()) {
        ended_ = true;
        if (index_ != listing_.size()) return fail("the payload holds fewer entries than listed");
        return true;
      }
      if (index_ >= listing_.size()) return fail("the payload holds more entries than listed");
      if (name_ != listing_[index_].name) return fail("an entry's name differs from the listing");
      in_size_ = true;
      return true;
    }
    if (header_.size() < 8) return true;
    data_left_ = le(header_, 0, 8);
    if (data_left_ != listing_[index_].size) {
      return fail("an entry's size differs from the listing");
    }
    header_.clear();
    name_.clear();
    in_size_ = false;
    ++index_;
    return true;
  }

  const std::vector<ListedEntry>& listing_;
  std::vector<std::uint8_t> header_;
  std::u16string name_;
  bool in_size_ = false;
  bool ended_ = false;
  std::uint64_t data_left_ = 0;
  std::size_t index_ = 0;
  std::string fault_;
};

struct DecoderDeleter {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// Empty when the block ("JIV", one frame, a 0 byte, the 8-byte leading length) decodes to the
// listed entries.
std::string payload_fault(std::span<const std::uint8_t> block,
                          const std::vector<ListedEntry>& listing) {
  if (block.size() < 12 || block[0] != 'J' || block[1] != 'I' || block[2] != 'V') {
    return "the payload block does not start with its mark";
  }
  if (block[block.size() - 9] != 0 || le(block, block.size() - 8, 8) != block.size() - 8) {
    return "the payload block's end is damaged";
  }
  const std::span<const std::uint8_t> frame = block.subspan(3, block.size() - 12);
  std::unique_ptr<ZSTD_DCtx, DecoderDeleter> decoder(ZSTD_createDCtx());
  if (!decoder) return "zstd: can't make a decoder";
  ZSTD_DCtx_setParameter(decoder.get(), ZSTD_d_windowLogMax, window_log_max);
  std::vector<std::uint8_t> buffer(ZSTD_DStreamOutSize());
  ZSTD_inBuffer input{frame.data(), frame.size(), 0};
  EntryListChecker checker(listing);
  std::size_t result = 1;
  while (input.pos < input.size || result != 0) {
    ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
    result = ZSTD_decompressStream(decoder.get(), &output, &input);
    if (ZSTD_isError(result)) {
      return std::string("the compressed payload is damaged (zstd: ") + ZSTD_getErrorName(result) +
             ")";
    }
    if (!checker.feed(buffer.data(), output.pos)) return checker.fault();
    if (result == 0 && input.pos < input.size) return "bytes after the compressed payload";
    if (output.pos == 0 && input.pos == input.size && result != 0) {
      return "the compressed payload ends early";
    }
  }
  return checker.finish() ? "" : checker.fault();
}

struct Block {
  std::size_t key_at, value_at, children_at, end;
  std::u16string key;
};

// One node of the version record: wLength, wValueLength, wType, the key, padding to 4 bytes,
// the value, padding, the children; false when it does not fit within [at, limit).
bool read_block(std::span<const std::uint8_t> data, std::size_t at, std::size_t limit,
                Block& block) {
  if (!within(at, 6, limit)) return false;
  const std::size_t length = static_cast<std::size_t>(le(data, at, 2));
  // wValueLength counts words for text (wType 1), bytes for binary data.
  const std::size_t value_length =
      static_cast<std::size_t>(le(data, at + 2, 2) * (le(data, at + 4, 2) == 1 ? 2 : 1));
  if (length < 6 || !within(at, length, limit)) return false;
  block.end = at + length;
  std::size_t cursor = at + 6;
  block.key.clear();
  for (;; cursor += 2) {
    if (cursor + 2 > block.end) return false;
    const char16_t unit = static_cast<char16_t>(le(data, cursor, 2));
    if (unit == 0) break;
    block.key.push_back(unit);
  }
  block.value_at = std::min((cursor + 2 + 3) & ~std::size_t{3}, block.end);
  block.children_at = std::min((block.value_at + value_length + 3) & ~std::size_t{3}, block.end);
  return true;
}

// The first leaf below a resource directory entry, through its subdirectories; false when the
// tree is damaged. ("Resource Directory Table", "Resource Directory Entries",
// "Resource Data Entry".)
bool first_leaf(std::span<const std::uint8_t> rsrc, std::uint64_t table, int depth,
                std::uint64_t& data_entry) {
  if (depth > 3 || !within(table, 16, rsrc.size())) return false;
  const std::uint64_t count = le(rsrc, table + 12, 2) + le(rsrc, table + 14, 2);
  if (count == 0 || !within(table + 16, 8, rsrc.size())) return false;
  const std::uint64_t target = le(rsrc, table + 20, 4);
  if ((target & 0x80000000u) == 0) {
    data_entry = target;
    return within(data_entry, 16, rsrc.size());
  }
  return first_leaf(rsrc, target & 0x7FFFFFFFu, depth + 1, data_entry);
}

}  // namespace

void read_version_record(std::span<const std::uint8_t> rsrc, std::uint32_t rva,
                         LauncherContents& contents) {
  if (!within(0, 16, rsrc.size())) return;
  const std::uint64_t named = le(rsrc, 12, 2);
  const std::uint64_t ids = le(rsrc, 14, 2);
  for (std::uint64_t i = 0; i < named + ids && within(16 + 8 * i, 8, rsrc.size()); ++i) {
    const std::uint64_t entry = 16 + 8 * i;
    if (i < named || le(rsrc, entry, 4) != onefile_pe::kRtVersion) continue;
    const std::uint64_t target = le(rsrc, entry + 4, 4);
    std::uint64_t data_entry = 0;
    if ((target & 0x80000000u) == 0 || !first_leaf(rsrc, target & 0x7FFFFFFFu, 1, data_entry)) {
      return;
    }
    const std::uint64_t data_rva = le(rsrc, data_entry, 4);
    const std::uint64_t size = le(rsrc, data_entry + 4, 4);
    if (data_rva < rva || !within(data_rva - rva, size, rsrc.size())) return;
    const std::span<const std::uint8_t> record =
        rsrc.subspan(static_cast<std::size_t>(data_rva - rva), static_cast<std::size_t>(size));
    Block root;
    if (!read_block(record, 0, record.size(), root) || root.key != u"VS_VERSION_INFO") return;
    if (le(record, 2, 2) >= 52 && within(root.value_at, 52, record.size()) &&
        le(record, root.value_at, 4) == 0xFEEF04BDu) {
      contents.has_version_record = true;
      const std::uint64_t high = le(record, root.value_at + 8, 4);
      const std::uint64_t low = le(record, root.value_at + 12, 4);
      contents.file_version = {
          static_cast<std::uint16_t>(high >> 16), static_cast<std::uint16_t>(high),
          static_cast<std::uint16_t>(low >> 16), static_cast<std::uint16_t>(low)};
    }
    // StringFileInfo, then its string tables, then their strings (value: the rest of the block).
    Block info, table, text;
    for (std::size_t at = root.children_at; read_block(record, at, root.end, info);
         at = (info.end + 3) & ~std::size_t{3}) {
      if (info.key != u"StringFileInfo") continue;
      for (std::size_t t = info.children_at; read_block(record, t, info.end, table);
           t = (table.end + 3) & ~std::size_t{3}) {
        for (std::size_t s = table.children_at; read_block(record, s, table.end, text);
             s = (text.end + 3) & ~std::size_t{3}) {
          std::u16string value;
          for (std::size_t v = text.value_at; v + 2 <= text.end; v += 2) {
            const char16_t unit = static_cast<char16_t>(le(record, v, 2));
            if (unit == 0) break;
            value.push_back(unit);
          }
          contents.version_strings.emplace_back(text.key, std::move(value));
        }
      }
    }
    return;
  }
}

void read_attached_section(std::span<const std::uint8_t> section,
                           std::span<const std::uint8_t> file, LauncherContents& contents) {
  attached_layout layout{};
  if (!parse_attached_section(section.data(), section.size(), &layout)) {
    throw InspectError("its settings are damaged or of another format version");
  }
  contents.keep = layout.keep;
  contents.error_dialog = layout.error_dialog;
  contents.progress_window = layout.progress_window;
  contents.payload_in_file = layout.payload_in_file;
  for (int text = 0; text < attached_text_count; ++text) {
    contents.texts[text].clear();
    for (std::size_t unit = 0; unit < layout.text_length[text]; ++unit) {
      contents.texts[text].push_back(
          static_cast<char16_t>(le(section, layout.text_offset[text] + 2 * unit, 2)));
    }
  }
  // The listing: per entry its name's units, a 0 unit and the 8-byte size; then one 0 unit.
  const std::span<const std::uint8_t> listing =
      section.subspan(layout.listing_offset, layout.listing_size);
  contents.entries.clear();
  std::size_t at = 0;
  for (;;) {
    ListedEntry entry;
    for (;; at += 2) {
      if (at + 2 > listing.size()) throw InspectError("its entry listing is damaged");
      const char16_t unit = static_cast<char16_t>(le(listing, at, 2));
      if (unit == 0) break;
      entry.name.push_back(unit);
      if (entry.name.size() >= name_capacity) throw InspectError("its entry listing is damaged");
    }
    at += 2;
    if (entry.name.empty()) break;
    if (at + 8 > listing.size()) throw InspectError("its entry listing is damaged");
    entry.size = le(listing, at, 8);
    at += 8;
    contents.entries.push_back(std::move(entry));
  }
  if (at != listing.size()) throw InspectError("its entry listing is damaged");

  // A large payload lies after the image, in the file; the settings' check covered only the
  // section, so its place is checked here.
  if (layout.payload_in_file && (layout.payload_offset > file.size() ||
                                 layout.payload_size > file.size() - layout.payload_offset)) {
    throw InspectError("its payload, after the image, is cut short");
  }
  const std::span<const std::uint8_t> block =
      (layout.payload_in_file ? file : section).subspan(layout.payload_offset, layout.payload_size);
  contents.payload_size = block.size();
  onefile_pack::Sha256 digest;
  digest.add(block.data(), block.size());
  const onefile_pack::Sha256Digest actual = digest.finish();
  if (!std::equal(actual.begin(), actual.end(), section.begin() + layout.digest_offset)) {
    contents.payload_fault = "the payload block does not match its digest";
    return;
  }
  contents.payload_fault = payload_fault(block, contents.entries);
}

LauncherContents read_launcher(std::vector<std::uint8_t> file) {
  const onefile_pe::Image image = onefile_pe::Image::read(std::move(file));
  LauncherContents contents;
  contents.subsystem = image.subsystem();
  const auto section =
      image.section_data(std::string_view(attached_section_name, sizeof attached_section_name));
  if (!section) throw InspectError("it is no launcher made by onefile build (no settings)");
  read_attached_section(*section, image.file_bytes(), contents);
  const auto rsrc = image.section_data(".rsrc");
  const auto rsrc_rva = image.section_address(".rsrc");
  if (rsrc && rsrc_rva) read_version_record(*rsrc, *rsrc_rva, contents);
  return contents;
}

}  // namespace onefile_tool
