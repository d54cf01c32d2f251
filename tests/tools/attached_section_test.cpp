// The launcher's attached section as the tool writes it, and the check the launcher makes before
// it uses any part of it: a damaged section is refused as a whole, never half read.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "onefile/launcher_image.h"
#include "payload/attached_section.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes written_section() {
  onefile_tool::LauncherSettings settings;
  settings.texts[text_target_spec] = u"{TEMP}\\x_{RANDOM}";
  settings.texts[text_company] = u"Société";
  settings.texts[text_product] = u"製品";
  settings.texts[text_version] = u"1.2.3.4";
  settings.keep = attached_keep::verified;
  settings.error_dialog = false;
  settings.progress_window = false;
  // No entries: the listing holds the end marker alone; a stand-in block follows in the section.
  Bytes section = onefile_tool::attached_section_head(settings, {});
  const std::size_t block_offset = section.size();
  for (const char byte : std::string("JIV and the rest of a block")) section.push_back(byte);
  for (int i = 0; i < 8; ++i) section[112 + i] = static_cast<std::uint8_t>(block_offset >> (8 * i));
  section[120] = static_cast<std::uint8_t>(section.size() - block_offset);
  return section;
}

std::u16string text_of(const Bytes& section, const attached_layout& layout, attached_text text) {
  std::u16string units;
  for (std::size_t i = 0; i < layout.text_length[text]; ++i) {
    const std::size_t at = layout.text_offset[text] + 2 * i;
    units.push_back(static_cast<char16_t>(section[at] | (section[at + 1] << 8)));
  }
  return units;
}

void put_le(Bytes& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

TEST(AttachedSection, WhatTheToolWritesTheLauncherReadsBack) {
  const Bytes section = written_section();
  attached_layout layout{};
  ASSERT_TRUE(parse_attached_section(section.data(), section.size(), &layout));
  EXPECT_EQ(layout.keep, attached_keep::verified);
  EXPECT_FALSE(layout.error_dialog);
  EXPECT_FALSE(layout.progress_window);
  EXPECT_EQ(text_of(section, layout, text_target_spec), u"{TEMP}\\x_{RANDOM}");
  EXPECT_EQ(text_of(section, layout, text_company), u"Société");
  EXPECT_EQ(text_of(section, layout, text_product), u"製品");
  EXPECT_EQ(text_of(section, layout, text_run_target), u"");
  EXPECT_EQ(std::memcmp(section.data() + layout.payload_offset, "JIV", 3), 0);
  EXPECT_EQ(layout.payload_offset + layout.payload_size, section.size());
  EXPECT_EQ(layout.listing_size, 2u);  // the end marker
  EXPECT_FALSE(layout.payload_in_file);
}

// A block in the launcher's file lies beyond the section: its place is taken as it is (64-bit),
// and checked only against the file when it is opened; an end past 2^64 is refused.
TEST(AttachedSection, ABlockInTheFileLiesBeyondTheSection) {
  Bytes section = written_section();
  put_le(section, 20, attached_flag_payload_in_file, 4);
  put_le(section, 112, 0x1'0000'0200, 8);
  put_le(section, 120, 10ull << 30, 8);
  attached_layout layout{};
  ASSERT_TRUE(parse_attached_section(section.data(), section.size(), &layout));
  EXPECT_TRUE(layout.payload_in_file);
  EXPECT_EQ(layout.payload_offset, 0x1'0000'0200u);
  EXPECT_EQ(layout.payload_size, 10ull << 30);
  put_le(section, 120, ~std::uint64_t{0} - 0x100, 8);
  EXPECT_FALSE(parse_attached_section(section.data(), section.size(), &layout));
}

TEST(AttachedSection, EveryDamageIsRefused) {
  const Bytes written = written_section();
  const auto text_offset = [&](int text) {
    return written[24 + 8 * text] | (written[25 + 8 * text] << 8);
  };
  const struct {
    const char* what;
    std::function<void(Bytes&)> damage;
  } rows[] = {
      {"cut inside the header", [](Bytes& s) { s.resize(100); }},
      {"cut inside the block", [](Bytes& s) { s.pop_back(); }},
      {"another magic", [](Bytes& s) { s[0] = 'O'; }},
      {"another format version", [](Bytes& s) { put_le(s, 8, attached_format_version + 1, 4); }},
      {"another header size", [](Bytes& s) { put_le(s, 12, 120, 4); }},
      {"an unknown keep mode", [](Bytes& s) { put_le(s, 16, 3, 4); }},
      {"an unknown flag", [](Bytes& s) { put_le(s, 20, 8, 4); }},
      {"a text at an odd offset", [](Bytes& s) { put_le(s, 24, 129, 4); }},
      {"a text past the end", [](Bytes& s) { put_le(s, 28, 0xFFFFFFFF, 4); }},
      {"a text without its 0 unit", [&](Bytes& s) { put_le(s, 28 + 8, 1, 4); }},
      {"a text with a 0 unit inside",
       [&](Bytes& s) { put_le(s, text_offset(text_version) + 2, 0, 2); }},
      {"a listing past the end", [](Bytes& s) { put_le(s, 104, s.size(), 8); }},
      {"a block whose size wraps", [](Bytes& s) { put_le(s, 120, ~std::uint64_t{0}, 8); }},
      {"a block offset past the end", [](Bytes& s) { put_le(s, 112, s.size() + 1, 8); }},
  };
  for (const auto& row : rows) {
    Bytes section = written;
    row.damage(section);
    attached_layout layout{};
    EXPECT_FALSE(parse_attached_section(section.data(), section.size(), &layout)) << row.what;
  }
}

}  // namespace
