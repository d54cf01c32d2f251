// A kept unpack directory: judged before a launch runs from it, and moved into place in one rename
// after a first launch has filled it (the record's format and the tree's check: kept_record.cpp).
//
// A directory at the kept name is used only when all of this holds, checked in this order on a
// handle that the parent then keeps open without delete sharing, so that the directory can be
// neither renamed nor removed (nor swapped for another) until the launch ends:
// - it is a plain directory, no link, owned by the user;
// - it holds the launcher's mark or its record, plain files (with the two above: it is of the
//   launcher's own making; a directory without them is someone else's and is never touched);
// - its DACL grants nobody but the user (and the system);
// - its record is exactly the one this launcher writes for this payload;
// - its tree is exactly the payload's listing, each file still the one that was written;
// - with verification, every file's bytes are the payload's.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <windows.h>
#include <winternl.h>

#include "cleanup/cleanup.h"
#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/payload.h"

namespace {

// A rename of the directory (a launch moving it into place, a sweep setting it aside) or a sweep's
// probe holds it without sharing for moments only.
constexpr int busy_attempts = 100;
constexpr DWORD busy_pause_ms = 10;

// NTFS renames no directory while a file below it is open, and virus scanners and the indexer
// open newly written executables for a moment, or for seconds under load: the rename is tried
// again after 10 ms, doubling up to 0.5 s, for about 5 s in all.
constexpr DWORD first_retry_pause_ms = 10;
constexpr DWORD longest_retry_pause_ms = 500;
constexpr DWORD retry_time_ms = 5000;

HANDLE open_kept_directory(DWORD* error) {
  for (int attempt = 0;; ++attempt) {
    HANDLE directory =
        CreateFileW(kept_directory, FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    *error = directory == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (*error != ERROR_SHARING_VIOLATION || attempt + 1 == busy_attempts) return directory;
    Sleep(busy_pause_ms);
  }
}

bool is_plain_directory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool holds_plain_file(const wchar_t* directory, const wchar_t* name) {
  wchar_t path[wide_path_capacity];
  const std::size_t length = std::wcslen(directory);
  if (length + 1 + std::wcslen(name) >= wide_path_capacity) return false;
  std::wmemcpy(path, directory, length);
  path[length] = L'\\';
  std::wcscpy(path + length + 1, name);
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

// The directory at kept_directory, judged on the open handle; see the top of the file.
kept_state judge_open_directory(HANDLE directory, bool verify) {
  BY_HANDLE_FILE_INFORMATION information;
  // Wine answers for a link's target even on a handle to the link; the name's own attributes
  // show the link.
  if (!GetFileInformationByHandle(directory, &information) ||
      !is_plain_directory(information.dwFileAttributes) ||
      !is_plain_directory(GetFileAttributesW(kept_directory)) ||
      !owned_by_process_user(directory) ||
      !(holds_plain_file(kept_directory, target_mark_name) ||
        holds_plain_file(kept_directory, kept_record_name))) {
    return kept_state::foreign;
  }
  if (!grants_only_process_user(directory) || !kept_tree_is_sound(kept_directory) ||
      (verify && !kept_files_match_payload())) {
    return kept_state::stale;
  }
  return kept_state::usable;
}

// Reads exactly count bytes of the open file; false when it has fewer or can't be read.
bool read_exactly(HANDLE file, unsigned char* bytes, DWORD count) {
  while (count > 0) {
    DWORD got = 0;
    if (!ReadFile(file, bytes, count, &got, nullptr) || got == 0) return false;
    bytes += got;
    count -= got;
  }
  return true;
}

// The kept file at entry_path holds exactly the next size bytes of the payload.
bool file_matches_payload(std::uint64_t size, unsigned char* kept_bytes) {
  wchar_t long_path[wide_path_capacity + long_path_prefix_room];
  if (!long_path_form(entry_path, long_path, wide_path_capacity + long_path_prefix_room)) {
    return false;
  }
  HANDLE file = CreateFileW(long_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool same = true;
  for (std::uint64_t remaining = size; same && remaining > 0;) {
    const DWORD chunk =
        remaining < write_buffer_size ? static_cast<DWORD>(remaining) : DWORD{write_buffer_size};
    read_payload(write_buffer, chunk);
    same =
        read_exactly(file, kept_bytes, chunk) && std::memcmp(kept_bytes, write_buffer, chunk) == 0;
    remaining -= chunk;
  }
  DWORD beyond = 0;
  same = same && ReadFile(file, kept_bytes, 1, &beyond, nullptr) && beyond == 0;
  CloseHandle(file);
  return same;
}

// The kernel's rename, which takes the new name as the system's own path ("\??\C:\...").
using set_information_function = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
using status_to_error_function = ULONG(NTAPI*)(LONG);
constexpr int file_rename_information = 10;

struct rename_request {
  FILE_RENAME_INFO info;
  wchar_t room[wide_path_capacity + 8];
};
rename_request rename_to_kept;

// The refusals that a file held open below the directory (or the directory itself) causes.
bool is_refusal(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

}  // namespace

DWORD kept_retry_pause(int failed_attempts) {
  DWORD waited = 0;
  DWORD pause = first_retry_pause_ms;
  for (int attempt = 1; attempt < failed_attempts; ++attempt) {
    waited += pause;
    pause = pause * 2 < longest_retry_pause_ms ? pause * 2 : longest_retry_pause_ms;
  }
  return waited >= retry_time_ms ? 0 : pause;
}

void (*judgement_pause)() = nullptr;

kept_state judge_kept_directory(bool verify) {
  if (judgement_pause != nullptr) judgement_pause();
  DWORD error = ERROR_SUCCESS;
  HANDLE directory = open_kept_directory(&error);
  if (directory == INVALID_HANDLE_VALUE) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return kept_state::absent;
    return error == ERROR_SHARING_VIOLATION ? kept_state::stale : kept_state::foreign;
  }
  const kept_state state = judge_open_directory(directory, verify);
  if (state == kept_state::usable) {
    kept_directory_handle = directory;
  } else {
    CloseHandle(directory);
  }
  return state;
}

bool kept_files_match_payload() {
  auto* kept_bytes = static_cast<unsigned char*>(std::malloc(write_buffer_size));
  if (kept_bytes == nullptr) fatal_out_of_memory();
  open_payload();
  bool same = true;
  while (same && read_entry_name()) {
    const std::size_t length = std::wcslen(kept_directory);
    const std::size_t name_length = std::wcslen(entry_name);
    if (length + 1 + name_length >= wide_path_capacity) {
      same = false;
      break;
    }
    std::wmemcpy(entry_path, kept_directory, length);
    entry_path[length] = L'\\';
    std::wmemcpy(entry_path + length + 1, entry_name, name_length + 1);
    std::uint64_t size = 0;
    read_payload(&size, sizeof size);
    same = file_matches_payload(size, kept_bytes);
  }
  if (same) finish_payload();
  close_payload();
  std::free(kept_bytes);
  return same;
}

DWORD rename_to_kept_directory(void* staging) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto set_information = reinterpret_cast<set_information_function>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSetInformationFile")));
  const auto status_to_error = reinterpret_cast<status_to_error_function>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  if (set_information == nullptr || status_to_error == nullptr) return ERROR_PROC_NOT_FOUND;
  // The system's own form of the absolute path: "\??\C:\..." or "\??\UNC\server\share\...".
  const bool verbatim = std::wcsncmp(kept_directory, L"\\\\?\\", 4) == 0;
  const bool unc = !verbatim && kept_directory[0] == L'\\' && kept_directory[1] == L'\\';
  const wchar_t* prefix = unc ? L"\\??\\UNC" : L"\\??\\";
  const wchar_t* rest = verbatim ? kept_directory + 4 : unc ? kept_directory + 1 : kept_directory;
  const int length =
      std::swprintf(rename_to_kept.info.FileName, wide_path_capacity + 8, L"%ls%ls", prefix, rest);
  if (length <= 0) abnormal_end();
  rename_to_kept.info.ReplaceIfExists = FALSE;
  rename_to_kept.info.RootDirectory = nullptr;
  rename_to_kept.info.FileNameLength = static_cast<DWORD>(length) * sizeof(wchar_t);
  IO_STATUS_BLOCK io{};
  const LONG status = set_information(staging, &io, &rename_to_kept, sizeof rename_to_kept,
                                      file_rename_information);
  return status >= 0 ? ERROR_SUCCESS : status_to_error(status);
}

DWORD (*kept_rename)(void* staging) = rename_to_kept_directory;

kept_move move_into_kept_place(bool retry) {
  // Windows renames no directory in which a file is open.
  if (HANDLE mark = target_mark.exchange(nullptr)) CloseHandle(mark);
  for (int failed = 0;;) {
    // Held without delete sharing from here to the rename: nobody else can rename or remove it
    // in between.
    HANDLE staging =
        CreateFileW(target_directory, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD error = staging == INVALID_HANDLE_VALUE ? GetLastError() : kept_rename(staging);
    if (staging != INVALID_HANDLE_VALUE) CloseHandle(staging);
    if (error == ERROR_SUCCESS) return kept_move::placed;
    // Another launch's directory came first.
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return kept_move::taken;
    if (!is_refusal(error)) {
      SetLastError(error);
      return kept_move::failed;
    }
    const DWORD pause = retry ? kept_retry_pause(++failed) : 0;
    if (pause == 0) return kept_move::refused;
    Sleep(pause);
  }
}
