// Writing the payload entries into the target directory: entry names, the entry's file and its
// bytes, and the directories above it, with a cache of the directories known to exist.
#include <bit>
#include <cstdlib>
#include <cstring>

#include <windows.h>

#include "cleanup/cleanup.h"
#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/payload.h"

static_assert(sizeof(wchar_t) == 2, "entry names are stored as UTF-16 code units");
static_assert(std::endian::native == std::endian::little, "entry sizes are little-endian");

namespace {

inline bool same_path(const wchar_t* a, const wchar_t* b) {
  while (*a == *b) {
    if (*a == 0) return true;
    ++a;
    ++b;
  }
  return false;
}

inline std::size_t path_length(const wchar_t* path) {
  const wchar_t* end = path;
  while (*end != 0) ++end;
  return static_cast<std::size_t>(end - path);
}

// A copy that cannot be allocated is not recorded; the directory is then looked for on disk again.
void record_directory(const wchar_t* path) {
  const std::size_t bytes = (path_length(path) + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(std::malloc(bytes));
  if (copy == nullptr) return;
  std::memcpy(copy, path, bytes);
  created_directories[created_directories_count++] = copy;
}

// Directories that this launch made once the cache was full: only to tell them, when the cache
// asks for one again, from a directory that someone else made. Never freed.
void remember_uncached_directory(const wchar_t* path) {
  if (uncached_directories_count == uncached_directories_capacity) {
    const int capacity =
        uncached_directories_capacity == 0 ? 256 : uncached_directories_capacity * 2;
    auto* grown =
        static_cast<wchar_t**>(std::realloc(uncached_directories, capacity * sizeof(wchar_t*)));
    if (grown == nullptr) fatal_out_of_memory();
    uncached_directories = grown;
    uncached_directories_capacity = capacity;
  }
  const std::size_t bytes = (path_length(path) + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(std::malloc(bytes));
  if (copy == nullptr) fatal_out_of_memory();
  std::memcpy(copy, path, bytes);
  uncached_directories[uncached_directories_count++] = copy;
}

bool is_uncached_directory(const wchar_t* path) {
  for (int i = uncached_directories_count - 1; i >= 0; --i) {
    if (same_path(uncached_directories[i], path)) return true;
  }
  return false;
}

}  // namespace

// Below the target directory everything is this launch's own making; above it, folders may exist.
bool is_below_target(const wchar_t* path) {
  const std::size_t length = path_length(target_directory);
  if (length == 0) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (path[i] != target_directory[i]) return false;
  }
  return path[length] == L'\\';
}

// Writes all of a chunk. A write may take fewer bytes than it was given and still succeed (Wine
// does so when a write reaches a file size limit or fills the disk); the rest is given again, so
// that the condition shows up as the next call's failure, with the system's code, instead of
// leaving the file short.
void write_chunk(void* file, const unsigned char* bytes, std::uint32_t count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, count, &written, nullptr)) fatal_unpack_error();
    if (written == 0 || written > count) {
      // Neither progress nor failure: never taken for a written chunk.
      SetLastError(ERROR_WRITE_FAULT);
      fatal_unpack_error();
    }
    bytes += written;
    count -= written;
  }
}

HANDLE(WINAPI* entry_file_create)
(const wchar_t* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD disposition,
 DWORD flags, HANDLE template_file) = CreateFileW;

void* create_entry_file(const wchar_t* path) {
  // In the "\\?\" form: a deep tree below a long temporary folder passes MAX_PATH, where the
  // plain form fails unless the system's long-path switch is on.
  wchar_t long_path[wide_path_capacity + long_path_prefix_room];
  if (!long_path_form(path, long_path, sizeof long_path / sizeof long_path[0])) abnormal_end();
  // Always a new file: whatever stands at the name already was put there by someone else, and
  // is neither written through nor replaced.
  HANDLE file = entry_file_create(long_path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                  0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_EXISTS && is_below_target(path)) fatal_intrusion_error(path);
    fatal_open_error(path);
  }
  return file;
}

void write_entry() {
  std::uint64_t remaining = 0;
  read_payload(&remaining, sizeof remaining);
  // A directory that could not be made shows up as the open failure below.
  create_containing_directories(entry_path);
  void* file = create_entry_file(entry_path);
  step_files[0].store(file);
  while (remaining > 0) {
    hand_over_if_cleanup_waits(0, file);
    const DWORD chunk =
        remaining < write_buffer_size ? static_cast<DWORD>(remaining) : DWORD{write_buffer_size};
    read_payload(write_buffer, chunk);
    write_chunk(file, write_buffer, chunk);
    remaining -= chunk;
    note_unpack_progress(0, chunk);
  }
  step_files[0].store(nullptr);
  CloseHandle(file);
}

void note_unpack_progress(std::uint64_t entries, std::uint64_t bytes) {
  // Only the main thread counts: plain stores, no locked instruction.
  unpacked_entries.store(unpacked_entries.load(std::memory_order_relaxed) + entries,
                         std::memory_order_relaxed);
  unpacked_bytes.store(unpacked_bytes.load(std::memory_order_relaxed) + bytes,
                       std::memory_order_relaxed);
  if (progress_window_due != UINT64_MAX && GetTickCount64() >= progress_window_due) {
    progress_window_due = UINT64_MAX;
    progress_window_maker();
  }
}

bool create_containing_directories(const wchar_t* file_path) {
  wchar_t path[wide_path_capacity];
  std::size_t length = 0;
  std::size_t last_separator = 0;  // the first unit never counts as one
  for (;; ++length) {
    if (length == wide_path_capacity) abnormal_end();
    path[length] = file_path[length];
    if (path[length] == 0) break;
    if (path[length] == L'\\' && length > 0) last_separator = length;
  }
  if (last_separator == 0) return true;

  // The levels are cut and restored in place. Climb from the file's directory while a level can't
  // be made (typically because its parent is missing) and stop at one that is cached, a drive,
  // made, or has no separator left above it; then retry the failed levels on the way down,
  // outermost first.
  const std::size_t deepest_end = last_separator;
  path[deepest_end] = 0;
  if (create_directory_cached(path)) return true;
  std::size_t end = deepest_end;  // end of the outermost level that failed
  for (;;) {
    std::size_t above = end - 1;
    while (above > 0 && path[above] != L'\\') --above;
    if (above == 0) break;
    path[above] = 0;
    if (create_directory_cached(path)) {
      path[above] = L'\\';
      break;
    }
    end = above;
  }
  // Each failed level still ends at its own NUL, which marks where the next lower one ends.
  for (;;) {
    const bool exists = create_directory_cached(path);
    if (end == deepest_end) return exists;
    path[end] = L'\\';
    end += path_length(path + end);
  }
}

bool create_directory_cached(const wchar_t* directory_path) {
  if (created_directories_count == 0) {
    // The home folder is taken as existing without being created.
    wchar_t home[wide_path_capacity];
    if (!expand_path_spec(home, L"{HOME}", wide_path_capacity)) fatal_spec_error(L"{HOME}");
    record_directory(home);
  }
  // Newest first: entries come grouped by directory, so the one asked for is usually the last
  // recorded. Only whether any entry matches counts, so the order changes nothing else.
  for (int i = created_directories_count - 1; i >= 0; --i) {
    if (same_path(created_directories[i], directory_path)) return true;
  }
  if (directory_path[0] != 0 && directory_path[1] == L':' && directory_path[2] == 0) return true;
  wchar_t long_path[wide_path_capacity + long_path_prefix_room];
  if (!long_path_form(directory_path, long_path, sizeof long_path / sizeof long_path[0])) {
    abnormal_end();
  }
  const bool made = CreateDirectoryW(long_path, nullptr);
  const bool exists = made || GetLastError() == ERROR_ALREADY_EXISTS;
  // Below the target directory an existing one is ours only when this launch made it (the cache
  // holds every such directory until it is full, the uncached list the rest); anything else is
  // someone else's, and might lead anywhere.
  if (exists && !made && is_below_target(directory_path) &&
      !is_uncached_directory(directory_path)) {
    fatal_intrusion_error(directory_path);
  }
  if (exists && created_directories_count < created_directories_capacity) {
    record_directory(directory_path);
  } else if (made && is_below_target(directory_path)) {
    remember_uncached_directory(directory_path);
  }
  return exists;
}
