// Volumes that keep no access control lists (FAT, exFAT): there a directory can't be protected,
// and the launcher's own is told by its mark alone, but only within the user's own folders, which
// are no better protected than the directory.
#include <cwchar>

#include <windows.h>

#include "cleanup/cleanup.h"

namespace {

// True when path lies below folder (a path, or an environment value that may be missing).
bool is_below(const wchar_t* path, const wchar_t* folder, std::size_t folder_length) {
  while (folder_length > 0 && folder[folder_length - 1] == L'\\') --folder_length;
  return folder_length > 0 && wcsnlen(path, wide_path_capacity) > folder_length &&
         path[folder_length] == L'\\' &&
         CompareStringOrdinal(path, static_cast<int>(folder_length), folder,
                              static_cast<int>(folder_length), TRUE) == CSTR_EQUAL;
}

}  // namespace

BOOL(WINAPI* volume_information_query)
(HANDLE, wchar_t*, DWORD, DWORD*, DWORD*, DWORD*, wchar_t*, DWORD) = GetVolumeInformationByHandleW;

bool volume_keeps_acls(void* handle) {
  DWORD flags = 0;
  // A volume that can't be asked is taken for one that keeps them: then nothing is excused.
  return !volume_information_query(handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
         (flags & FILE_PERSISTENT_ACLS) != 0;
}

bool is_in_own_folders(const wchar_t* path) {
  wchar_t folder[wide_path_capacity];
  const DWORD temp_length = GetTempPathW(wide_path_capacity, folder);
  if (temp_length > 0 && temp_length < wide_path_capacity && is_below(path, folder, temp_length)) {
    return true;
  }
  const DWORD profile_length = GetEnvironmentVariableW(L"USERPROFILE", folder, wide_path_capacity);
  return profile_length > 0 && profile_length < wide_path_capacity &&
         is_below(path, folder, profile_length);
}
