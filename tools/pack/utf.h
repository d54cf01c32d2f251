// Conversions between UTF-8 (the host's file names and command line) and UTF-16 (the stored
// names).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace onefile_pack {

// Length of the well-formed UTF-8 sequence at text[at], or 0 when none starts there (stray
// continuation byte, overlong form, surrogate, beyond U+10FFFF, cut short).
std::size_t utf8_sequence_length(std::string_view text, std::size_t at);

// Strict conversion; false when the text is not well-formed UTF-8.
bool utf8_to_utf16(std::string_view text, std::u16string& out);

// Lone surrogates become U+FFFD; meant for messages.
std::string utf16_to_utf8(std::u16string_view text);

// The text with control characters and bytes that are not well-formed UTF-8 written as \xNN,
// so that a message shows a bad name without mangling the terminal.
std::string printable(std::string_view text);

}  // namespace onefile_pack
