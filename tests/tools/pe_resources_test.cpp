// The refusals of inputs that are not an .ico file or not well-formed XML. (The version record and
// the icon group are read back by Windows' own functions in the test under Wine.)
#include <gtest/gtest.h>

#include <string>

#include "pe/bytes.h"
#include "pe/program_image.h"
#include "pe_test_inputs.h"

namespace {

using onefile_pe::bytes::get32;
using pe_test::refusal;

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

// The level that a program's manifest asks for, as the system reads it: the element with or
// without a namespace prefix, either quote, not inside a comment, and in UTF-16 too.
TEST(RequestedExecutionLevel, IsReadFromTheElementWhereverTheManifestPutsIt) {
  std::string utf16 = "\xFF\xFE";
  for (const char c : std::string_view("<requestedExecutionLevel level='x'/>")) {
    utf16 += c;
    utf16 += '\0';
  }
  const struct {
    std::string_view manifest;
    const char* level;
  } cases[] = {
      {pe_test::kManifest, "asInvoker"},
      {"<assembly><trustInfo><security><requestedPrivileges><requestedExecutionLevel "
       "uiAccess=\"false\" level=\"requireAdministrator\"/></requestedPrivileges></security>"
       "</trustInfo></assembly>",
       "requireAdministrator"},
      {"<a><ms_asmv3:requestedExecutionLevel\n level = ' highestAvailable '></a>",
       "highestAvailable"},
      {"<a><!-- <requestedExecutionLevel level='requireAdministrator'/> --></a>", ""},
      {"<a><requestedExecutionLevelX level='requireAdministrator'/></a>", ""},
      {"<a><requestedPrivileges/></a>", ""},
      {utf16, "x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(onefile_pe::requested_execution_level(c.manifest), c.level) << c.manifest;
  }
}

}  // namespace
