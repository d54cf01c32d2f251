// The few things that differ between a POSIX host and Windows: the command line's encoding,
// file names as text, opening files, and whether standard error is a terminal.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace onefile_pack {

// The arguments as UTF-8 (on POSIX the bytes as given).
std::vector<std::string> command_line_arguments(int argc, char** argv);

// A path from UTF-8 text (the command line, a list file).
std::filesystem::path path_from_utf8(const std::string& text);

// One file name component as UTF-16; false when the host's name is not valid UTF-8.
bool file_name_to_utf16(const std::filesystem::path& file_name, std::u16string& out);

// The path for messages, as printable UTF-8.
std::string display_path(const std::filesystem::path& path);

// fopen that takes the host's native path, of any length; null with errno set on failure.
std::FILE* open_file(const std::filesystem::path& path, const char* mode);

bool standard_error_is_terminal();

}  // namespace onefile_pack
