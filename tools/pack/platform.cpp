#include "pack/platform.h"

#include <cerrno>
#include <string_view>

#include "pack/file_system.h"
#include "pack/utf.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
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
  // _wfopen shares a file for reading and writing only. Delete sharing too lets an interrupted
  // build delete its temporary while the writer still holds it open: the file goes when the last
  // handle closes, as the process ends (DeleteFileW's documented behaviour for such a file).
  const std::string_view wanted(mode);
  const bool writing = wanted.find('w') != std::string_view::npos;
  if (!writing && wanted.find('r') == std::string_view::npos) {
    errno = EINVAL;
    return nullptr;
  }
  const HANDLE file =
      CreateFileW(extended_length_path(path).c_str(), writing ? GENERIC_WRITE : GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  writing ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    switch (error) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        errno = ENOENT;
        break;
      case ERROR_ACCESS_DENIED:
      case ERROR_SHARING_VIOLATION:
      case ERROR_LOCK_VIOLATION:
        errno = EACCES;
        break;
      case ERROR_INVALID_NAME:
      case ERROR_BAD_PATHNAME:
        errno = EINVAL;
        break;
      case ERROR_FILENAME_EXCED_RANGE:
        errno = ENAMETOOLONG;
        break;
      case ERROR_DISK_FULL:
      case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
      case ERROR_WRITE_PROTECT:
        errno = EROFS;
        break;
      default:
        errno = EIO;
    }
    return nullptr;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file),
                                         writing ? _O_WRONLY | _O_BINARY : _O_RDONLY | _O_BINARY);
  if (descriptor == -1) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = _fdopen(descriptor, writing ? "wb" : "rb");
  if (stream == nullptr) _close(descriptor);
  return stream;
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
