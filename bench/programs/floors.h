// What the floor programs share: reading a whole file into memory, and walking a tree with the
// plain calls (FindFirstFileExW), handing each file to the caller and removing each directory
// once the caller says its files are dealt with.
#pragma once

#include <string>

#include <windows.h>

inline bool read_whole_file(const wchar_t* path, unsigned char** data, unsigned long long* size) {
  HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file, &length)) return false;
  *size = static_cast<unsigned long long>(length.QuadPart);
  *data = static_cast<unsigned char*>(
      VirtualAlloc(nullptr, *size + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (*data == nullptr) return false;
  unsigned long long done = 0;
  while (done < *size) {
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(*size - done < (1u << 30) ? *size - done : (1u << 30));
    if (!ReadFile(file, *data + done, ask, &got, nullptr) || got == 0) return false;
    done += got;
  }
  CloseHandle(file);
  return true;
}

// on_file(path) for every file and link; before_directory_removal() once a directory's entries
// are listed, then RemoveDirectoryW.
template <typename OnFile, typename BeforeRemoval>
void remove_tree_with(const std::wstring& directory, OnFile on_file,
                      BeforeRemoval before_directory_removal) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW((directory + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const wchar_t* name = found.cFileName;
      if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
      const std::wstring path = directory + L"\\" + name;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        remove_tree_with(path, on_file, before_directory_removal);
      } else {
        on_file(path);
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  before_directory_removal();
  RemoveDirectoryW(directory.c_str());
}
