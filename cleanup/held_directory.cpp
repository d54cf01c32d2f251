// A directory known by its handle rather than by its path alone. The kernel's own create call
// makes a directory and hands back a handle on exactly that directory, where making it by path and
// opening it again would leave a moment in which another directory could take its name. Files in
// it are opened relative to that handle; a path is checked against the identity that the handle
// gave; a claimed directory is renamed through the handle that was checked.
#include <cwchar>

#include <windows.h>
#include <winternl.h>

#include "cleanup/cleanup.h"
#include "launcher/made_once.h"
#include "launcher/state.h"
#include "paths/paths.h"

namespace {

using nt_status = LONG;
struct file_functions {
  nt_status(NTAPI* NtCreateFile)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*,
                                 LARGE_INTEGER*, ULONG, ULONG, ULONG, ULONG, void*,
                                 ULONG) = nullptr;
  nt_status(NTAPI* NtSetInformationFile)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int) = nullptr;
  nt_status(NTAPI* NtQueryInformationFile)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int) = nullptr;
  ULONG(NTAPI* RtlNtStatusToDosError)(nt_status) = nullptr;
};

// From ntdll.dll, which every process has loaded; looked up once, by whichever thread comes first.
void find_file_functions(file_functions& found) {
  if (!find_ntdll_function(found.NtCreateFile, "NtCreateFile") ||
      !find_ntdll_function(found.NtSetInformationFile, "NtSetInformationFile") ||
      !find_ntdll_function(found.NtQueryInformationFile, "NtQueryInformationFile") ||
      !find_ntdll_function(found.RtlNtStatusToDosError, "RtlNtStatusToDosError")) {
    found.NtCreateFile = nullptr;
  }
}

const file_functions& nt() {
  return made_once<file_functions, find_file_functions>();
}

// The system's own form of an absolute path: "\??\C:\...", "\??\UNC\server\share\..." (and
// "\\?\" or "\\.\" paths with the prefix replaced). Counted in units, without a NUL.
struct nt_path {
  wchar_t units[wide_path_capacity + 8];
  USHORT length;
};

bool nt_path_form(const wchar_t* path, nt_path& form) {
  const bool device = path[0] == L'\\' && path[1] == L'\\' &&
                      (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\';
  const bool unc = !device && path[0] == L'\\' && path[1] == L'\\';
  const wchar_t* prefix = unc ? L"\\??\\UNC" : L"\\??\\";
  const wchar_t* rest = device ? path + 4 : unc ? path + 1 : path;
  const std::size_t prefix_length = std::wcslen(prefix);
  const std::size_t rest_length = std::wcslen(rest);
  const std::size_t length = prefix_length + rest_length;
  if (length == 0 || length >= wide_path_capacity + 8) return false;
  std::wmemcpy(form.units, prefix, prefix_length);
  std::wmemcpy(form.units + prefix_length, rest, rest_length + 1);
  form.length = static_cast<USHORT>(length);
  return true;
}

HANDLE create_file(HANDLE root, wchar_t* name, USHORT name_length, ACCESS_MASK access, ULONG share,
                   ULONG disposition, ULONG options, DWORD attributes,
                   SECURITY_ATTRIBUTES* security, DWORD* error) {
  *error = ERROR_PROC_NOT_FOUND;
  if (nt().NtCreateFile == nullptr) return INVALID_HANDLE_VALUE;
  UNICODE_STRING unicode_name;
  unicode_name.Buffer = name;
  unicode_name.Length = unicode_name.MaximumLength =
      static_cast<USHORT>(name_length * sizeof(wchar_t));
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &unicode_name, OBJ_CASE_INSENSITIVE, root,
                             security != nullptr ? security->lpSecurityDescriptor : nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const nt_status status = nt().NtCreateFile(
      &handle, access | SYNCHRONIZE, &object, &io, nullptr, attributes, share, disposition,
      options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
  if (status < 0) {
    *error = nt().RtlNtStatusToDosError(status);
    return INVALID_HANDLE_VALUE;
  }
  *error = ERROR_SUCCESS;
  return handle;
}

}  // namespace

void* create_held_directory(const wchar_t* path, SECURITY_ATTRIBUTES* security, DWORD* error) {
  nt_path form;
  if (!nt_path_form(path, form)) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return INVALID_HANDLE_VALUE;
  }
  // Its descriptor and identity are read through this handle. Only a handle with access to data
  // (traversing counts) takes part in sharing: one with none would keep nobody from the directory.
  return create_file(nullptr, form.units, form.length,
                     FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, FILE_DIRECTORY_FILE,
                     FILE_ATTRIBUTE_NORMAL, security, error);
}

void* open_in_directory(void* directory, const wchar_t* name, DWORD access, DWORD share,
                        bool create, DWORD attributes, SECURITY_ATTRIBUTES* security,
                        DWORD* error) {
  wchar_t relative[MAX_PATH];
  const std::size_t length = wcsnlen(name, MAX_PATH);
  if (length == MAX_PATH) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return INVALID_HANDLE_VALUE;
  }
  std::wmemcpy(relative, name, length);
  return create_file(directory, relative, static_cast<USHORT>(length), access, share,
                     create ? FILE_CREATE : FILE_OPEN, FILE_NON_DIRECTORY_FILE, attributes,
                     create ? security : nullptr, error);
}

bool read_file_identity(void* handle, file_identity* identity) {
  // FileInternalInformation: the file id alone, without the volume query that the Win32 calls
  // make first.
  constexpr int file_internal_information = 6;
  LARGE_INTEGER id{};
  IO_STATUS_BLOCK io{};
  if (nt().NtQueryInformationFile == nullptr ||
      nt().NtQueryInformationFile(handle, &io, &id, sizeof id, file_internal_information) < 0) {
    return false;
  }
  identity->id = static_cast<unsigned long long>(id.QuadPart);
  return true;
}

path_match match_path(const wchar_t* path, const file_identity& identity) {
  // A link at the name is opened as itself, and has an id of its own. Wine opens a link's target
  // instead, so there a link to the directory itself counts as the directory: writing through it
  // writes there, and the removal's walk refuses a root that its name shows to be a link.
  HANDLE directory = CreateFileW(
      path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (directory == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? path_match::gone
                                                                          : path_match::other;
  }
  // A plain directory: Wine gives a removed directory's inode number to the next file made, which
  // may be at the same name.
  file_identity found{};
  FILE_BASIC_INFO basic;
  const bool same =
      read_file_identity(directory, &found) && found == identity &&
      GetFileInformationByHandleEx(directory, FileBasicInfo, &basic, sizeof basic) &&
      (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
          FILE_ATTRIBUTE_DIRECTORY;
  CloseHandle(directory);
  return same ? path_match::same : path_match::other;
}

DWORD rename_open_directory(void* handle, const wchar_t* new_path) {
  struct {
    FILE_RENAME_INFO info;
    wchar_t room[wide_path_capacity + 8];
  } request;
  nt_path form;
  if (nt().NtCreateFile == nullptr) return ERROR_PROC_NOT_FOUND;
  if (!nt_path_form(new_path, form)) return ERROR_FILENAME_EXCED_RANGE;
  std::wmemcpy(request.info.FileName, form.units, form.length);
  request.info.FileName[form.length] = L'\0';
  request.info.ReplaceIfExists = FALSE;
  request.info.RootDirectory = nullptr;
  request.info.FileNameLength = form.length * sizeof(wchar_t);
  IO_STATUS_BLOCK io{};
  constexpr int file_rename_information = 10;
  const nt_status status =
      nt().NtSetInformationFile(handle, &io, &request, sizeof request, file_rename_information);
  return status >= 0 ? ERROR_SUCCESS : nt().RtlNtStatusToDosError(status);
}
