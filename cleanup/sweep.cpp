// Directories that earlier launches left behind (a parent killed from outside, a grandchild that
// held a file at the end): found by their name's shape, judged to be the launcher's own and no
// longer in use, and removed with the walk that never follows a link.
//
// A name's shape is no proof: other tools name their folders alike, and anyone who can add a file
// to a folder can add one named like the mark. A directory is the launcher's own only when it is
// owned by the user, its DACL grants nobody but the user and the system (Administrators too for an
// elevated launch's), and its mark is a plain file of the user's that holds the text the launcher
// writes (is_launcher_directory); anything else is never touched.
//
// How a launch marks its directory as in use, so that a sweeper can tell:
// - its name holds the parent's process id, which is alive while the parent runs;
// - the parent, from right after it made the directory, and the child, from its start, hold the
//   mark file open with read access and without delete sharing: any other open of it for delete
//   fails with a sharing violation, on Windows and under Wine alike;
// - whatever else a process holds inside (an open file, a running image, a current directory)
//   makes the exclusive open of that entry fail (tree_is_free).
// A directory that can't be judged (not the launcher's own, a link, a name the system reports
// elsewhere, an entry that can't be opened) is left alone.
//
// A directory judged free is first claimed: renamed to onefile_0_<digits>_<random> beside it
// (on Windows the rename itself fails while anything inside is open). Process id 0 is no
// launch's, so what a sweep cut short by its launch's end leaves under such a name, a later
// sweep removes without asking for its process (it must still be the launcher's own, and free:
// another process may have opened something inside since).
#include <atomic>
#include <climits>
#include <cwchar>

#include <windows.h>

#include "cleanup/cleanup.h"
#include "launcher/state.h"
#include "paths/paths.h"

namespace {

constexpr wchar_t leftover_prefix[] = L"onefile_";
// The sweep's stack, reserved: the walk that judges and removes a leftover keeps its state there.
constexpr SIZE_T sweep_thread_stack = 1024 * 1024;

std::atomic<bool> sweep_stopped{false};

bool is_digit(wchar_t unit) {
  return unit >= L'0' && unit <= L'9';
}

bool is_base64url(wchar_t unit) {
  return (unit >= L'A' && unit <= L'Z') || (unit >= L'a' && unit <= L'z') || is_digit(unit) ||
         unit == L'-' || unit == L'_';
}

// A process with that id exists (or can't be told apart from one that does).
bool process_exists(DWORD process_id) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The directory at path, never through a link at its name.
HANDLE open_directory(const wchar_t* path, DWORD access, DWORD share) {
  return CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Judges the directory at path the launcher's own, at the user's level (an elevated launch's
// directories belong to the user as well), and reads its identity. The handle asks for no access
// to data, so it is no hindrance to anyone.
bool judge_own(const wchar_t* path, file_identity* identity) {
  HANDLE directory = open_directory(path, READ_CONTROL | FILE_READ_ATTRIBUTES, share_all);
  if (directory == INVALID_HANDLE_VALUE) return false;
  const bool own = is_launcher_directory(path, directory, launch_level::user) &&
                   read_file_identity(directory, identity);
  CloseHandle(directory);
  return own;
}

bool join(wchar_t (&path)[wide_path_capacity], const wchar_t* folder, const wchar_t* name) {
  const std::size_t folder_length = std::wcslen(folder);
  const std::size_t name_length = std::wcslen(name);
  if (folder_length + 1 + name_length >= wide_path_capacity) return false;
  std::wmemcpy(path, folder, folder_length);
  path[folder_length] = L'\\';
  std::wmemcpy(path + folder_length + 1, name, name_length + 1);
  return true;
}

// A new name beside path for a directory that has been judged free.
bool claimed_name(const wchar_t* path, wchar_t (&claimed)[wide_path_capacity]) {
  const wchar_t* separator = std::wcsrchr(path, L'\\');
  if (separator == nullptr) return false;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  wchar_t time_us[32];
  format_time_us(static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                           now.dwLowDateTime),
                 time_us);
  wchar_t random_name[random_name_length + 1];
  if (!make_random_name(random_name)) return false;
  // "<folder>\onefile_0_<time_us>_<random name>", whole or not at all.
  const std::size_t folder_length = static_cast<std::size_t>(separator - path);
  const wchar_t* const parts[] = {L"\\onefile_0_", time_us, L"_", random_name};
  std::size_t length = folder_length;
  for (const wchar_t* part : parts) length += std::wcslen(part);
  if (length >= wide_path_capacity) return false;
  std::wmemcpy(claimed, path, folder_length);
  claimed[folder_length] = L'\0';
  for (const wchar_t* part : parts) std::wcscat(claimed, part);
  return true;
}

// Judges the directory at path the launcher's own and free, and claims it; claimed receives its
// new name. The rename goes through a handle that is checked to be on the directory judged, and
// that, shared without delete, keeps anyone from putting another in its place until then.
bool claim_free_directory(const wchar_t* path, wchar_t (&claimed)[wide_path_capacity]) {
  file_identity judged;
  if (!judge_own(path, &judged) || !tree_is_free(path, &sweep_stopped) ||
      !claimed_name(path, claimed)) {
    return false;
  }
  HANDLE directory =
      open_directory(path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (directory == INVALID_HANDLE_VALUE) return false;
  file_identity found;
  const bool renamed = read_file_identity(directory, &found) && found == judged &&
                       rename_open_directory(directory, claimed) == ERROR_SUCCESS;
  CloseHandle(directory);
  return renamed;
}

// Removes a claimed directory that is still the launcher's own. Its mark goes last: held without
// delete sharing while the walk removes the rest, so that a removal cut short leaves a directory
// that the next sweep still knows for the launcher's.
bool remove_claimed_directory(const wchar_t* path) {
  HANDLE directory = open_directory(path, READ_CONTROL | FILE_READ_ATTRIBUTES, share_all);
  if (directory == INVALID_HANDLE_VALUE) return false;
  const bool own = is_launcher_directory(path, directory, launch_level::user);
  DWORD error = ERROR_SUCCESS;
  HANDLE mark =
      own ? open_in_directory(directory, target_mark_name, FILE_READ_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, false, 0, nullptr, &error)
          : INVALID_HANDLE_VALUE;
  CloseHandle(directory);
  if (!own) return false;
  remove_tree_directly(path, &sweep_stopped);
  if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
  if (sweep_stopped.load()) return false;
  remove_tree_directly(path, &sweep_stopped);
  return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES;
}

// What the sweep did with a directory it met. Only a directory that it claimed (or found claimed,
// free and its own) counts as tried: the listing comes sorted on NTFS, so a directory passed by
// (a live launch's, this launch's own, one held by another process, one not the launcher's)
// would come first every time and use up a short launch's one attempt for good.
enum class sweep_outcome { passed, tried, removed };

sweep_outcome sweep_directory(const wchar_t* path, bool leftover, unsigned long process_id) {
  if (leftover && process_id == 0) {
    // Claimed by an earlier sweep, and still in use only if someone opened it since.
    file_identity judged;
    if (!judge_own(path, &judged) || !tree_is_free(path, &sweep_stopped)) {
      return sweep_outcome::passed;
    }
    return remove_claimed_directory(path) ? sweep_outcome::removed : sweep_outcome::tried;
  }
  if (leftover ? process_exists(process_id) : !superseded_directory_test(path)) {
    return sweep_outcome::passed;
  }
  wchar_t claimed[wide_path_capacity];
  if (!claim_free_directory(path, claimed)) return sweep_outcome::passed;
  return remove_claimed_directory(claimed) ? sweep_outcome::removed : sweep_outcome::tried;
}

// Sweeps the folder that holds target_directory, trying at most that many directories.
void sweep_target_folder(int most_tried) {
  static wchar_t folder[wide_path_capacity];
  std::wcscpy(folder, target_directory);
  wchar_t* last_separator = std::wcsrchr(folder, L'\\');
  if (last_separator == nullptr) return;
  // The folder of a drive's root keeps its backslash.
  if (last_separator == folder + 2 && folder[1] == L':') ++last_separator;
  *last_separator = L'\0';
  sweep_leftover_directories(folder, most_tried);
}

DWORD WINAPI sweep_in_background(void*) {
  SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
  sweep_target_folder(INT_MAX);
  return 0;
}

}  // namespace

bool is_leftover_name(const wchar_t* name, unsigned long* process_id) {
  const std::size_t prefix_length = std::wcslen(leftover_prefix);
  if (std::wcsncmp(name, leftover_prefix, prefix_length) != 0) return false;
  const wchar_t* unit = name + prefix_length;
  unsigned long long id = 0;
  const wchar_t* digits = unit;
  for (; is_digit(*unit); ++unit) {
    id = id * 10 + static_cast<unsigned>(*unit - L'0');
    if (id > 0xFFFFFFFFull) return false;
  }
  if (unit == digits || *unit++ != L'_') return false;
  for (int i = 0; i < 6; ++i) {
    if (!is_digit(*unit++)) return false;
  }
  if (*unit++ != L'_') return false;
  for (int i = 0; i < 11; ++i) {
    if (!is_base64url(*unit++)) return false;
  }
  if (*unit != L'\0') return false;
  *process_id = static_cast<unsigned long>(id);
  return true;
}

bool remove_leftover_directory(const wchar_t* path) {
  wchar_t claimed[wide_path_capacity];
  return claim_free_directory(path, claimed) && remove_claimed_directory(claimed);
}

bool set_aside_own_directory(const wchar_t* path) {
  wchar_t claimed[wide_path_capacity];
  return claim_free_directory(path, claimed);
}

bool (*superseded_directory_test)(const wchar_t* path) = nullptr;

int sweep_leftover_directories(const wchar_t* folder, int most_tried) {
  wchar_t pattern[wide_path_capacity];
  if (!join(pattern, folder, superseded_directory_test != nullptr ? L"*" : L"onefile_*")) return 0;
  WIN32_FIND_DATAW found;
  HANDLE search =
      FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int removed = 0;
  int tried = 0;
  do {
    if (sweep_stopped.load() || tried == most_tried) break;
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      continue;
    }
    const wchar_t* name = found.cFileName;
    unsigned long process_id = 0;
    const bool leftover = is_leftover_name(name, &process_id);
    if (!leftover && (superseded_directory_test == nullptr || name[0] == L'.')) continue;
    wchar_t path[wide_path_capacity];
    if (!join(path, folder, name)) continue;
    const sweep_outcome outcome = sweep_directory(path, leftover, process_id);
    if (outcome != sweep_outcome::passed) ++tried;
    if (outcome == sweep_outcome::removed) ++removed;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return removed;
}

void stop_sweep() {
  sweep_stopped.store(true);
}

void sweep_one_now() {
  sweep_target_folder(1);
}

void start_sweep() {
  // The parent has nothing to do while the child runs; a sweep cut short by the parent's end
  // leaves a directory of the same shape, which a later launch finishes.
  if (HANDLE thread = CreateThread(nullptr, sweep_thread_stack, sweep_in_background, nullptr,
                                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)) {
    CloseHandle(thread);
  }
}
