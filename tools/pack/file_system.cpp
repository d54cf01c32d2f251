#include "pack/file_system.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace onefile_pack {

namespace fs = std::filesystem;

#ifdef _WIN32

namespace {

std::string system_text(DWORD code) {
  return std::system_category().message(static_cast<int>(code));
}

// An open handle to what the path names, links followed (FILE_FLAG_BACKUP_SEMANTICS opens a
// directory too); no data access, so it stands in no one's way.
class Opened {
 public:
  explicit Opened(const fs::path& path)
      : handle_(CreateFileW(extended_length_path(path).c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {}
  ~Opened() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

std::wstring extended_length_path(const fs::path& path) {
  const std::wstring& given = path.native();
  if (given.starts_with(L"\\\\?\\") || given.starts_with(L"\\\\.\\")) return given;
  std::wstring full(given.size() + MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return given;  // the open that follows names the fault
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);
  }
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

bool read_file_facts(const fs::path& path, FileFacts& facts, std::string& error) {
  const Opened file(path);
  BY_HANDLE_FILE_INFORMATION information;
  if (file.get() == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file.get(), &information)) {
    error = system_text(GetLastError());
    return false;
  }
  facts.kind = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::directory
               : GetFileType(file.get()) == FILE_TYPE_DISK                    ? FileKind::regular
                                                                              : FileKind::other;
  facts.size = (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  // The 64-bit file index need not be unique on ReFS (a Dev Drive); the 128-bit id is, where the
  // system answers it (Windows 8 and later).
  FILE_ID_INFO id;
  if (GetFileInformationByHandleEx(file.get(), FileIdInfo, &id, sizeof id)) {
    facts.volume = id.VolumeSerialNumber;
    std::memcpy(&facts.index, id.FileId.Identifier, 8);
    std::memcpy(&facts.index_high, id.FileId.Identifier + 8, 8);
  } else {
    facts.volume = information.dwVolumeSerialNumber;
    facts.index = (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
  }
  return true;
}

bool list_directory(const fs::path& directory, std::vector<fs::path>& entries, std::string& error) {
  std::wstring pattern = extended_length_path(directory);
  if (!pattern.ends_with(L'\\')) pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    // A volume's empty root has no "." entry: nothing is found, and nothing is wrong.
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return true;
    error = system_text(code);
    return false;
  }
  do {
    const std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") entries.push_back(directory / found.cFileName);
  } while (FindNextFileW(search, &found));
  const DWORD code = GetLastError();
  FindClose(search);
  if (code == ERROR_NO_MORE_FILES) return true;
  error = system_text(code);
  return false;
}

#else

bool read_file_facts(const fs::path& path, FileFacts& facts, std::string& error) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) {
    error = std::generic_category().message(errno);
    return false;
  }
  facts.kind = S_ISDIR(status.st_mode)   ? FileKind::directory
               : S_ISREG(status.st_mode) ? FileKind::regular
                                         : FileKind::other;
  facts.size = static_cast<std::uint64_t>(status.st_size);
  facts.volume = static_cast<std::uint64_t>(status.st_dev);
  facts.index = static_cast<std::uint64_t>(status.st_ino);
  return true;
}

bool list_directory(const fs::path& directory, std::vector<fs::path>& entries, std::string& error) {
  std::error_code code;
  fs::directory_iterator it(directory, code);
  for (; !code && it != fs::directory_iterator(); it.increment(code)) entries.push_back(it->path());
  if (code) error = code.message();
  return !code;
}

#endif

}  // namespace onefile_pack
