#include "pack/platform.h"

#include "pack/file_system.h"
#include "pack/utf.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace onefile_pack {

#ifdef _WIN32

namespace {

std::u16string to_u16(const std::wstring& text) {
  return std::u16string(text.begin(), text.end());
}

}  // namespace

std::vector<std::string> command_line_arguments(int, char**) {
  // The narrow argv is in the ANSI code page; the wide command line holds every name.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 0; wide != nullptr && i < count; ++i) {
    arguments.push_back(utf16_to_utf8(to_u16(wide[i])));
  }
  LocalFree(wide);
  return arguments;
}

std::filesystem::path path_from_utf8(const std::string& text) {
  std::u16string wide;
  utf8_to_utf16(text, wide);
  return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
}

bool file_name_to_utf16(const std::filesystem::path& file_name, std::u16string& out) {
  out = to_u16(file_name.native());
  return true;
}

std::string display_path(const std::filesystem::path& path) {
  return printable(utf16_to_utf8(to_u16(path.native())));
}

std::FILE* open_file(const std::filesystem::path& path, const char* mode) {
  std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(extended_length_path(path).c_str(), wide_mode.c_str());
}

bool standard_error_is_terminal() {
  return _isatty(_fileno(stderr)) != 0;
}

#else

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::filesystem::path path_from_utf8(const std::string& text) {
  return std::filesystem::path(text);
}

bool file_name_to_utf16(const std::filesystem::path& file_name, std::u16string& out) {
  return utf8_to_utf16(file_name.native(), out);
}

std::string display_path(const std::filesystem::path& path) {
  return printable(path.native());
}

std::FILE* open_file(const std::filesystem::path& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

bool standard_error_is_terminal() {
  return isatty(fileno(stderr)) != 0;
}

#endif

}  // namespace onefile_pack
