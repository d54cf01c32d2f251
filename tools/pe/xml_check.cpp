// A well-formedness check for XML 1.0 (Fifth Edition) documents in UTF-8, enough to refuse a
// broken manifest before it goes into an executable. No library on both the Linux and the Windows
// build offers one without a second dependency to build, and a manifest is small and simple.
//
// Productions of the XML 1.0 recommendation implemented here (numbers as there):
//   [1] document, [2] Char, [3] S, [4] NameStartChar, [4a] NameChar, [5] Name, [10] AttValue,
//   [14] CharData (no "]]>"), [15] Comment, [16] PI, [17] PITarget, [18]-[21] CDSect,
//   [22] prolog, [23] XMLDecl, [24] VersionInfo, [25] Eq, [26] VersionNum, [27] Misc,
//   [32] SDDecl, [39] element, [40] STag, [41] Attribute, [42] ETag, [43] content,
//   [44] EmptyElemTag, [66] CharRef, [67] Reference, [68] EntityRef, [80] EncodingDecl.
// Well-formedness constraints: Element Type Match, Unique Att Spec, No < in Attribute Values,
// Legal Character, and Entity Declared (without a DTD only the five predefined entities exist).
// A document type declaration [28] is refused as not supported: manifests have none.
#include <cstdio>
#include <string>
#include <vector>
#include <utility>

#include "pe/resources.h"

namespace onefile_pe {
namespace {

// [2] Char
bool is_char(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}
// [3] S
bool is_space(char32_t c) {
  return c == 0x20 || c == 0x9 || c == 0xD || c == 0xA;
}
// [4] NameStartChar
bool is_name_start(char32_t c) {
  return c == ':' || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') ||
         (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0xEFFFF);
}
// [4a] NameChar
bool is_name_char(char32_t c) {
  return is_name_start(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

std::string to_utf8(std::u32string_view text) {
  std::string out;
  for (const char32_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

class Checker {
 public:
  explicit Checker(std::string_view text) : bytes_(text) {}

  // The root element's name and attributes (values as written), once document() accepted it.
  std::u32string root_name;
  std::vector<std::pair<std::u32string, std::u32string>> root_attributes;

  void document() {
    decode();
    if (at(U"<?xml") && pos_ + 5 < text_.size() && is_space(text_[pos_ + 5])) xml_declaration();
    misc();
    if (at(U"<!DOCTYPE")) fail("document type declarations are not supported");
    if (!at(U"<") || pos_ + 1 >= text_.size() || !is_name_start(text_[pos_ + 1])) {
      fail(pos_ >= text_.size() ? "no root element" : "text before the root element");
    }
    record_root_ = true;
    element();
    misc();
    if (pos_ < text_.size()) {
      if (at(U"<") && pos_ + 1 < text_.size() && is_name_start(text_[pos_ + 1])) {
        fail("a second root element");
      }
      fail("text after the root element");
    }
  }

 private:
  // UTF-8 into code points, each a legal Char ([2], Legal Character); a byte order mark skipped.
  void decode() {
    std::size_t i = bytes_.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    while (i < bytes_.size()) {
      const auto lead = static_cast<unsigned char>(bytes_[i]);
      const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
      char32_t c = length == 1 ? lead : lead & (0x7F >> length);
      bool valid = (lead < 0x80 || lead >= 0xC2) && lead <= 0xF4 && i + length <= bytes_.size();
      for (std::size_t k = 1; valid && k < length; ++k) {
        const auto next = static_cast<unsigned char>(bytes_[i + k]);
        valid = (next & 0xC0) == 0x80;
        c = c << 6 | (next & 0x3F);
      }
      const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
      if (!valid || c < smallest[length]) fail("not valid UTF-8");
      if (!is_char(c)) fail("character " + code_point(c) + " is not allowed in XML");
      text_ += c;
      ++pos_;
      i += length;
    }
    pos_ = 0;
  }

  static std::string code_point(char32_t c) {
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
    return text;
  }

  [[noreturn]] void fail(const std::string& what) const {
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    throw PeError("not well-formed XML: line " + std::to_string(line) + ", column " +
                  std::to_string(column) + ": " + what);
  }

  bool at(std::u32string_view literal) const {
    return std::u32string_view(text_).substr(pos_).starts_with(literal);
  }
  bool take(std::u32string_view literal) {
    if (!at(literal)) return false;
    pos_ += literal.size();
    return true;
  }
  void expect(std::u32string_view literal, const std::string& what) {
    if (!take(literal)) fail(what);
  }
  bool skip_space() {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
    return pos_ > start;
  }

  // [5] Name
  std::u32string name(const std::string& what) {
    if (pos_ >= text_.size() || !is_name_start(text_[pos_])) fail("expected " + what);
    const std::size_t start = pos_;
    while (pos_ < text_.size() && is_name_char(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  // [25] Eq, then a quoted value; returns it (for the XML declaration's pseudo-attributes).
  std::u32string quoted_pseudo_value(const std::string& name) {
    skip_space();
    expect(U"=", "expected '=' after " + name);
    skip_space();
    const char32_t quote = pos_ < text_.size() ? text_[pos_] : 0;
    if (quote != '"' && quote != '\'') fail("the value of " + name + " is not quoted");
    const std::size_t end = text_.find(quote, pos_ + 1);
    if (end == std::u32string::npos) fail("unterminated value of " + name);
    std::u32string value = text_.substr(pos_ + 1, end - pos_ - 1);
    pos_ = end + 1;
    return value;
  }

  // [23] XMLDecl with [24] VersionInfo, [80] EncodingDecl and [32] SDDecl.
  void xml_declaration() {
    pos_ += 5;
    skip_space();
    if (!take(U"version")) fail("the XML declaration has no version");
    const std::u32string version = quoted_pseudo_value("version");
    if (version.size() < 3 || !version.starts_with(U"1.") ||
        version.find_first_not_of(U"0123456789", 2) != std::u32string::npos) {
      fail("version \"" + to_utf8(version) + "\" is not 1.x");
    }
    bool space = skip_space();
    const std::size_t encoding_at = pos_;
    if (space && take(U"encoding")) {
      std::string encoding = to_utf8(quoted_pseudo_value("encoding"));
      for (char& c : encoding) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
      if (encoding != "UTF-8" && encoding != "UTF8") {
        pos_ = encoding_at;
        fail("encoding \"" + encoding + "\" is not supported (UTF-8 only)");
      }
      space = skip_space();
    }
    if (space && take(U"standalone")) {
      const std::u32string value = quoted_pseudo_value("standalone");
      if (value != U"yes" && value != U"no") fail("standalone must be \"yes\" or \"no\"");
      skip_space();
    }
    expect(U"?>", "expected '?>' to end the XML declaration");
  }

  // [27] Misc*
  void misc() {
    for (;;) {
      skip_space();
      if (at(U"<!--")) {
        comment();
      } else if (at(U"<?")) {
        processing_instruction();
      } else {
        return;
      }
    }
  }

  // [15] Comment: no "--" inside.
  void comment() {
    pos_ += 4;
    const std::size_t end = text_.find(U"--", pos_);
    if (end == std::u32string::npos) fail("unterminated comment");
    pos_ = end;
    if (!at(U"-->")) fail("'--' inside a comment");
    pos_ += 3;
  }

  // [16] PI, [17] PITarget: not "xml" in any case.
  void processing_instruction() {
    pos_ += 2;
    const std::u32string target = name("a processing instruction's target");
    if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' &&
        (target[2] | 0x20) == 'l') {
      fail("an XML declaration is allowed only at the very start");
    }
    if (!at(U"?>") && !skip_space())
      fail("expected whitespace after the processing instruction's target");
    const std::size_t end = text_.find(U"?>", pos_);
    if (end == std::u32string::npos) fail("unterminated processing instruction");
    pos_ = end + 2;
  }

  // [67] Reference: [66] CharRef or [68] EntityRef of a predefined entity.
  void reference() {
    const std::size_t start = pos_++;
    if (take(U"#")) {
      const bool hex = take(U"x");
      const std::size_t digits = pos_;
      char32_t value = 0;
      while (pos_ < text_.size() && text_[pos_] != ';') {
        const char32_t c = text_[pos_];
        const int digit = c >= '0' && c <= '9' ? static_cast<int>(c - '0')
                          : hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f'
                              ? static_cast<int>((c | 0x20) - 'a' + 10)
                              : -1;
        if (digit < 0) fail("bad character reference");
        value = value * (hex ? 16 : 10) + static_cast<char32_t>(digit);
        if (value > 0x10FFFF) value = 0x110000;
        ++pos_;
      }
      if (pos_ == digits || pos_ >= text_.size()) fail("bad character reference");
      ++pos_;
      if (!is_char(value)) {
        pos_ = start;
        fail("the character reference names a character not allowed in XML");
      }
      return;
    }
    const std::u32string entity = name("an entity name after '&'");
    expect(U";", "expected ';' after the entity reference");
    if (entity != U"lt" && entity != U"gt" && entity != U"amp" && entity != U"apos" &&
        entity != U"quot") {
      pos_ = start;
      fail("undefined entity &" + to_utf8(entity) + ";");
    }
  }

  // [40] STag / [44] EmptyElemTag with [41] Attribute and [10] AttValue; true for an empty one.
  bool start_tag(std::u32string& element_name) {
    ++pos_;
    element_name = name("an element name");
    std::vector<std::u32string> seen;
    for (;;) {
      const bool space = skip_space();
      if (take(U">")) return false;
      if (take(U"/>")) return true;
      if (pos_ >= text_.size()) fail("unterminated tag <" + to_utf8(element_name) + ">");
      if (!space) fail("expected whitespace, '>' or '/>' in tag <" + to_utf8(element_name) + ">");
      const std::size_t attribute_start = pos_;
      const std::u32string attribute = name("an attribute name or the end of the tag");
      const std::string quoted_name = "attribute " + to_utf8(attribute);
      for (const std::u32string& other : seen) {
        if (other == attribute) {
          pos_ = attribute_start;
          fail(quoted_name + " appears twice");  // Unique Att Spec
        }
      }
      seen.push_back(attribute);
      skip_space();
      expect(U"=", "expected '=' after " + quoted_name);
      skip_space();
      const char32_t quote = pos_ < text_.size() ? text_[pos_] : 0;
      if (quote != '"' && quote != '\'') fail("the value of " + quoted_name + " is not quoted");
      ++pos_;
      const std::size_t value_start = pos_;
      for (;;) {
        if (pos_ >= text_.size()) fail("unterminated value of " + quoted_name);
        const char32_t c = text_[pos_];
        if (c == quote) break;
        if (c == '<') fail("'<' in the value of " + quoted_name + " (a quote missing?)");
        if (c == '&') {
          reference();
        } else {
          ++pos_;
        }
      }
      if (record_root_) {
        root_attributes.emplace_back(attribute, text_.substr(value_start, pos_ - value_start));
      }
      ++pos_;
    }
  }

  // [39] element with [43] content and [42] ETag, nested with a stack rather than recursion.
  void element() {
    struct Open {
      std::u32string name;
      std::size_t at;
    };
    std::vector<Open> open;
    std::u32string tag;
    const std::size_t first = pos_;
    const bool empty = start_tag(tag);
    root_name = tag;
    record_root_ = false;
    if (empty) return;
    open.push_back({tag, first});
    while (!open.empty()) {
      if (pos_ >= text_.size()) {
        const Open& innermost = open.back();
        pos_ = innermost.at;
        fail("element <" + to_utf8(innermost.name) + "> is not closed");
      }
      if (at(U"</")) {
        const std::size_t end_tag = pos_;
        pos_ += 2;
        const std::u32string closing = name("an element name after '</'");
        if (closing != open.back().name) {  // Element Type Match
          pos_ = end_tag;
          fail("end tag </" + to_utf8(closing) + "> does not match <" + to_utf8(open.back().name) +
               ">");
        }
        skip_space();
        expect(U">", "expected '>' to end </" + to_utf8(closing) + ">");
        open.pop_back();
      } else if (at(U"<!--")) {
        comment();
      } else if (take(U"<![CDATA[")) {
        const std::size_t end = text_.find(U"]]>", pos_);
        if (end == std::u32string::npos) fail("unterminated CDATA section");
        pos_ = end + 3;
      } else if (at(U"<?")) {
        processing_instruction();
      } else if (at(U"<")) {
        const std::size_t start = pos_;
        if (!start_tag(tag)) open.push_back({tag, start});
      } else if (at(U"&")) {
        reference();
      } else {
        if (at(U"]]>")) fail("']]>' in text");
        ++pos_;
      }
    }
  }

  bool record_root_ = false;
  std::string_view bytes_;
  std::u32string text_;
  std::size_t pos_ = 0;
};

}  // namespace

void check_well_formed_xml(std::string_view text) {
  Checker(text).document();
}

void check_manifest_xml(std::string_view text) {
  Checker checker(text);
  checker.document();
  // The root must be "assembly" in the namespace of application manifests ("Application
  // manifests": the assembly element), named with the default namespace or a prefix.
  const std::u32string& name = checker.root_name;
  const std::size_t colon = name.find(U':');
  const std::u32string prefix = colon == std::u32string::npos ? U"" : name.substr(0, colon);
  const std::u32string local = colon == std::u32string::npos ? name : name.substr(colon + 1);
  const std::u32string declaration = prefix.empty() ? U"xmlns" : U"xmlns:" + prefix;
  std::u32string space;
  for (const auto& [attribute, value] : checker.root_attributes) {
    if (attribute == declaration) space = value;
  }
  if (local != U"assembly" || space != U"urn:schemas-microsoft-com:asm.v1") {
    throw PeError("its root element <" + to_utf8(name) +
                  "> is not <assembly> in the namespace urn:schemas-microsoft-com:asm.v1" +
                  (space.empty() ? std::string() : " (its namespace is " + to_utf8(space) + ")"));
  }
}

}  // namespace onefile_pe
