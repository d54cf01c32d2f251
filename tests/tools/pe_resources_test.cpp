// The resource leaves: the version record's block tree, the icon group, and the refusals of inputs
// that are not an .ico file or not well-formed XML.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "pe/bytes.h"
#include "pe_test_inputs.h"

namespace {

using onefile_pe::PeError;
using onefile_pe::bytes::get16;
using onefile_pe::bytes::get32;

template <typename Call>
std::string refusal(Call call) {
  try {
    call();
  } catch (const PeError& error) {
    return error.what();
  }
  return "accepted";
}

// Walks a version block and its children as the documentation lays them out, checking that each
// block is 32-bit aligned and lies within its parent; collects "path" -> value bytes.
void walk(std::span<const std::uint8_t> record, std::size_t at, std::size_t end,
          const std::u16string& parent, std::map<std::u16string, std::vector<std::uint8_t>>& out) {
  ASSERT_EQ(at % 4, 0u);
  const std::size_t length = get16(record, at);
  const std::size_t value_length = get16(record, at + 2);
  const bool text = get16(record, at + 4) == 1;
  ASSERT_LE(at + length, end);
  std::u16string key;
  std::size_t cursor = at + 6;
  for (; get16(record, cursor) != 0; cursor += 2)
    key += static_cast<char16_t>(get16(record, cursor));
  cursor = onefile_pe::bytes::align_up(cursor + 2, 4);
  const std::size_t value_bytes = text ? 2 * value_length : value_length;
  const std::u16string path = parent + u"/" + key;
  out[path].assign(record.begin() + cursor, record.begin() + cursor + value_bytes);
  for (cursor = onefile_pe::bytes::align_up(cursor + value_bytes, 4); cursor < at + length;
       cursor = onefile_pe::bytes::align_up(cursor + get16(record, cursor), 4)) {
    walk(record, cursor, at + length, path, out);
  }
}

std::vector<std::uint8_t> utf16_value(std::u16string_view text) {
  std::vector<std::uint8_t> bytes;
  for (const char16_t unit : text) onefile_pe::bytes::append16(bytes, unit);
  onefile_pe::bytes::append16(bytes, 0);
  return bytes;
}

TEST(VersionRecord, BlocksNestWithTheStringsAndTranslation) {
  const std::vector<std::uint8_t> record = onefile_pe::version_record(pe_test::version_fields());
  ASSERT_EQ(get16(record, 0), record.size());
  std::map<std::u16string, std::vector<std::uint8_t>> blocks;
  ASSERT_NO_FATAL_FAILURE(walk(record, 0, record.size(), u"", blocks));

  const auto& fixed = blocks[u"/VS_VERSION_INFO"];
  ASSERT_EQ(fixed.size(), 52u);
  EXPECT_EQ(get32(fixed, 0), 0xFEEF04BDu);
  EXPECT_EQ(get32(fixed, 8), 0x00010002u);  // file version 1.2.3.4
  EXPECT_EQ(get32(fixed, 12), 0x00030004u);
  EXPECT_EQ(get32(fixed, 16), 0x00050006u);  // product version 5.6.7.8
  EXPECT_EQ(get32(fixed, 20), 0x00070008u);
  const std::u16string table = u"/VS_VERSION_INFO/StringFileInfo/000004b0/";
  EXPECT_EQ(blocks[table + u"CompanyName"], utf16_value(pe_test::version_fields().company_name));
  EXPECT_EQ(blocks[table + u"ProductName"], utf16_value(pe_test::version_fields().product_name));
  EXPECT_EQ(blocks[table + u"FileVersion"], utf16_value(u"1.2.3.4"));
  EXPECT_FALSE(blocks.contains(table + u"LegalCopyright")) << "an empty text is left out";
  EXPECT_EQ(blocks[u"/VS_VERSION_INFO/VarFileInfo/Translation"],
            (std::vector<std::uint8_t>{0x00, 0x00, 0xB0, 0x04}));
  EXPECT_EQ(blocks.size(), 11u);
}

TEST(IconResources, EveryImageAndAGroupNamingThem) {
  const std::vector<std::uint8_t> ico = pe_test::read_bytes(PE_ICON);
  const auto resources = onefile_pe::icon_resources(ico, 7, 20);
  ASSERT_EQ(resources.size(), 4u);
  const auto& group = resources.back();
  EXPECT_EQ(group.type, onefile_pe::kRtGroupIcon);
  EXPECT_EQ(group.id, 7);
  ASSERT_EQ(group.data.size(), 6u + 3 * 14);
  EXPECT_EQ(std::vector<std::uint8_t>(group.data.begin(), group.data.begin() + 6),
            std::vector<std::uint8_t>(ico.begin(), ico.begin() + 6));
  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t entry = 6 + 14 * i, file_entry = 6 + 16 * i;
    EXPECT_EQ(resources[i].type, onefile_pe::kRtIcon);
    EXPECT_EQ(resources[i].id, 20 + i);
    // Width to dwBytesInRes as in the file; then the icon's id where the file has an offset.
    EXPECT_TRUE(std::equal(ico.begin() + file_entry, ico.begin() + file_entry + 12,
                           group.data.begin() + entry));
    EXPECT_EQ(get16(group.data, entry + 12), 20 + i);
    const auto image = ico.begin() + get32(ico, file_entry + 12);
    EXPECT_TRUE(std::equal(resources[i].data.begin(), resources[i].data.end(), image));
    EXPECT_EQ(resources[i].data.size(), get32(ico, file_entry + 8));
  }
}

TEST(IconResources, NotAnIcoIsRefused) {
  std::vector<std::uint8_t> ico = pe_test::read_bytes(PE_ICON);
  const auto with = [&](auto edit) {
    std::vector<std::uint8_t> bytes = ico;
    edit(bytes);
    return bytes;
  };
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    const char* message;
  } cases[] = {
      {"empty", {}, "not an .ico file: 0 bytes, too short for an icon directory"},
      {"text",
       {'h', 'e', 'l', 'l', 'o', '\n', '!'},
       "not an .ico file: it does not start with an icon directory (reserved 0, type 1)"},
      {"PNG",
       {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0},
       "not an .ico file: it is a PNG image"},
      {"cursor", with([](auto& b) { b[2] = 2; }), "not an .ico file: it is a cursor (.cur)"},
      {"no images", with([](auto& b) { b[4] = 0; }), "not an .ico file: it holds no images"},
      {"truncated directory", with([](auto& b) { b.resize(30); }),
       "not an .ico file: truncated: the directory of 3 images exceeds the file"},
      {"truncated image", with([](auto& b) { b.resize(b.size() - 1); }),
       "not an .ico file: truncated: image 3 of 3 lies beyond the end of the file"},
      {"unknown image", with([](auto& b) { b[get32(b, 6 + 12)] = 41; }),
       "not an .ico file: image 1 of 3 is neither a PNG image nor a bitmap (BITMAPINFOHEADER)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(refusal([&] { onefile_pe::icon_resources(c.bytes, 1, 1); }), c.message) << c.what;
  }
}

TEST(WellFormedXml, DocumentsThatPass) {
  for (const std::string_view text : {
           pe_test::kManifest,
           std::string_view("\xEF\xBB\xBF<a/>"),
           std::string_view("<?pi data?><!--c--><a b='1' c=\"&lt;&#x263A;&#65;\">t<![CDATA[<&]]>"
                            "<b:c/>\xC3\xA9</a>\n<!--end-->\n"),
       }) {
    EXPECT_EQ(refusal([&] { onefile_pe::check_well_formed_xml(text); }), "accepted") << text;
  }
}

TEST(WellFormedXml, BrokenDocumentsNameTheLineAndColumn) {
  const struct {
    std::string_view text;
    const char* message;
  } cases[] = {
      {"", "line 1, column 1: no root element"},
      {"<a>\n  <b>\n</a>", "line 3, column 1: end tag </a> does not match <b>"},
      {"<a>\n  <b>", "line 2, column 3: element <b> is not closed"},
      {"<a x=1/>", "line 1, column 6: the value of attribute x is not quoted"},
      {"<a x=\"1></a>", "line 1, column 9: '<' in the value of attribute x (a quote missing?)"},
      {"<a x='1'y='2'/>", "line 1, column 9: expected whitespace, '>' or '/>' in tag <a>"},
      {"<a x='1' x='2'/>", "line 1, column 10: attribute x appears twice"},
      {"<a/>\n<b/>", "line 2, column 1: a second root element"},
      {"<a/>text", "line 1, column 5: text after the root element"},
      {"<a>&nbsp;</a>", "line 1, column 4: undefined entity &nbsp;"},
      {"<a>&#0;</a>", "line 1, column 4: the character reference names a character not allowed"},
      {"<a>]]></a>", "line 1, column 4: ']]>' in text"},
      {"<!-- a -- b --><a/>", "line 1, column 8: '--' inside a comment"},
      {"<a>\xC3</a>", "line 1, column 4: not valid UTF-8"},
      {"<a>\x01</a>", "line 1, column 4: character U+0001 is not allowed in XML"},
      {"<?xml version='1.0' encoding='UTF-16'?><a/>",
       "line 1, column 21: encoding \"UTF-16\" is not supported (UTF-8 only)"},
      {"<a/><?xml version='1.0'?>", "line 1, column 10: an XML declaration is allowed only"},
      {"<!DOCTYPE a><a/>", "line 1, column 1: document type declarations are not supported"},
  };
  for (const auto& c : cases) {
    const std::string message = refusal([&] { onefile_pe::check_well_formed_xml(c.text); });
    EXPECT_EQ(message.rfind(std::string("not well-formed XML: ") + c.message, 0), 0u)
        << c.text << "\n  gave: " << message;
  }
}

}  // namespace
