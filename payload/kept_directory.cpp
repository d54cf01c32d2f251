// A kept unpack directory: judged before a launch runs from it, and moved into place in one rename
// after a first launch has filled it (the record's format and the tree's check: kept_record.cpp).
//
// A directory at the kept name is used only when all of this holds, checked in this order on a
// handle that the parent then keeps open without delete sharing, so that the directory can be
// neither renamed nor removed (nor swapped for another) until the launch ends:
// - it is one of the launcher's own directories at this launch's level: a plain directory, no
//   link, owned by the user, whose DACL grants nobody but the user and the system (and, for an
//   elevated launch's, Administrators), that holds the launcher's mark (a
//   plain file of the user's with the mark's text); for an elevated launch, where labels are
//   kept, also labelled high with no-write-up, which nothing below high integrity can forge;
//   anything else is someone else's and is never touched;
// - its record is exactly the one this launcher writes for this payload;
// - its tree is exactly the payload's listing, each file still the one that was written;
// - with verification, every file's bytes are the payload's.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <windows.h>

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

// Traversing is access to data: a handle without any takes no part in sharing, and would keep
// nobody from renaming the directory.
HANDLE open_kept_directory(DWORD* error) {
  for (int attempt = 0;; ++attempt) {
    HANDLE directory = CreateFileW(
        kept_directory, FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    *error = directory == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (*error != ERROR_SHARING_VIOLATION || attempt + 1 == busy_attempts) return directory;
    Sleep(busy_pause_ms);
  }
}

// The directory at kept_directory, judged on the open handle; see the top of the file.
kept_state judge_open_directory(HANDLE directory, bool verify) {
  if (!is_launcher_directory(kept_directory, directory, token_level())) return kept_state::foreign;
  if (!kept_tree_is_sound(kept_directory) || (verify && !kept_files_match_payload())) {
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
    // Nothing exists at a path the system can't take: saying it "was not kept" would mislead.
    if (error == ERROR_INVALID_NAME || error == ERROR_BAD_PATHNAME) fatal_kept_name_error(error);
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
  return rename_open_directory(staging, kept_directory);
}

DWORD (*kept_rename)(void* staging) = rename_to_kept_directory;

kept_move move_into_kept_place(bool retry) {
  // Windows renames no directory in which a file is open; the staging directory's own handle is
  // shared without delete.
  if (HANDLE mark = target_mark.exchange(nullptr)) CloseHandle(mark);
  if (HANDLE guard = target_guard.exchange(nullptr)) CloseHandle(guard);
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
