// The direct walk over a directory tree that never follows a link: removing it, or probing
// whether anything in it is in use.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cwchar>

#include "cleanup/cleanup.h"
#include "cleanup/tree_walk.h"
#include "launcher/state.h"
#include "paths/paths.h"

BOOL(WINAPI* file_information_set)
(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS information_class, void* information,
 DWORD size) = SetFileInformationByHandle;

namespace {

// FILE_DISPOSITION_INFO_EX (Windows 10 1709 and later). With POSIX semantics the name goes at
// once, even while a virus scanner or the indexer still holds the file open; the classic
// disposition leaves it "delete pending" until the last handle closes, and its directory can't
// be removed before that.
constexpr auto disposition_ex_class = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr ULONG disposition_delete = 0x1;
constexpr ULONG disposition_posix_semantics = 0x2;
// Set once the system has refused the class itself (older Windows, file systems without it).
std::atomic<bool> posix_deletion_refused{false};

bool mark_for_deletion(HANDLE handle) {
  if (!posix_deletion_refused.load(std::memory_order_relaxed)) {
    ULONG flags = disposition_delete | disposition_posix_semantics;
    if (file_information_set(handle, disposition_ex_class, &flags, sizeof flags)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
        error == ERROR_INVALID_FUNCTION) {
      posix_deletion_refused.store(true, std::memory_order_relaxed);
    }
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  return file_information_set(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

}  // namespace

// The checks on one entry, shared with the removal crew (tree_walk.h).

// Wine follows a symbolic link even for a handle opened on the link itself, and deleting through
// such a handle deletes the target, so a handle named after some other place is closed at once
// and the entry left alone.
opened open_checked_entry(const wchar_t* path, std::size_t length, const walk_root& root,
                          handle_name& name, DWORD access, DWORD flags, HANDLE* handle,
                          DWORD share) {
  *handle = CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                        flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (*handle == INVALID_HANDLE_VALUE) return opened::failed;
  const std::size_t below = length - root.path_length;
  bool same = GetFileInformationByHandleEx(*handle, FileNameInfo, &name, sizeof name) &&
              name.info.FileNameLength == (root.name_length + below) * sizeof(wchar_t);
  same = same && std::wmemcmp(name.info.FileName, root.name, root.name_length) == 0 &&
         std::wmemcmp(name.info.FileName + root.name_length, path + root.path_length, below) == 0;
  if (same) return opened::itself;
  CloseHandle(*handle);
  *handle = INVALID_HANDLE_VALUE;
  return opened::elsewhere;
}

DWORD deletion_access(DWORD attributes) {
  // A read-only entry may need its attribute cleared before it can go.
  return DELETE | ((attributes & FILE_ATTRIBUTE_READONLY) ? FILE_WRITE_ATTRIBUTES : 0);
}

// Marks the open entry for deletion (it goes when the handle is closed) and closes the handle.
bool delete_and_close(HANDLE handle, DWORD attributes) {
  bool deleted = mark_for_deletion(handle);
  if (!deleted && (attributes & FILE_ATTRIBUTE_READONLY) && GetLastError() == ERROR_ACCESS_DENIED) {
    FILE_BASIC_INFO basic{};  // zero times stay as they are
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    deleted = SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) &&
              mark_for_deletion(handle);
  }
  CloseHandle(handle);
  return deleted;
}

namespace {

// The walk deletes this many plain files itself before it starts its helpers: starting and ending
// a thread costs about a millisecond under Wine, more than it gains on a few files.
constexpr int files_before_crew = 16;

// Every level below the root adds at least a backslash and one unit to the path.
constexpr std::size_t walk_depth_capacity = wide_path_capacity / 2;

// One directory being walked: its search and the length of its path.
struct walk_level {
  HANDLE search;
  DWORD attributes;
  std::uint32_t length;
};

// One removal's own state. It lives on the caller's stack, so the handler's thread and the main
// thread can walk at the same time.
struct tree_walk {
  // The entry in hand; grows and shrinks in place while the walk goes down and up.
  wchar_t path[wide_path_capacity];
  std::size_t length;
  std::size_t root_length;
  // The name the system gives the root's handle (its place on its volume); see walk_root.
  wchar_t root_name[wide_path_capacity];
  walk_root root;
  handle_name name;
  WIN32_FIND_DATAW found;
  // Removing, or only probing whether every entry is free (nothing holds it open, maps it or
  // has it as its current directory).
  bool probing;
  // When set, the walk ends at the next entry, leaving the rest as it is.
  const std::atomic<bool>* stop;
  // Threads that delete the plain files beside the walk, or none; started once the walk has met
  // enough files (helpers: how many, none once tried).
  removal_crew* crew;
  int helpers;
  int files_alone;
  // False once something remains that could lead a deletion outside the root; when probing, also
  // once an entry is in use or can't be judged.
  bool contained;
  walk_level levels[walk_depth_capacity];
};

bool is_gone(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void cut_path(tree_walk& walk, std::size_t length) {
  walk.length = length;
  walk.path[length] = L'\0';
}

// Appends text when it fits with its NUL; otherwise the path stays as it was.
bool append_path(tree_walk& walk, const wchar_t* text) {
  const std::size_t room = wide_path_capacity - walk.length;
  const std::size_t count = std::wcslen(text);
  if (count >= room) return false;
  std::wmemcpy(walk.path + walk.length, text, count + 1);
  walk.length += count;
  return true;
}

// The entry at walk.path, opened and checked (open_checked_entry).
opened open_entry(tree_walk& walk, DWORD access, DWORD flags, HANDLE* handle,
                  DWORD share = share_all) {
  return open_checked_entry(walk.path, walk.length, walk.root, walk.name, access, flags, handle,
                            share);
}

// Opens the entry exclusively, with the access that a holder's sharing or a mapped image refuses:
// any handle with data access open elsewhere, a running image or a current directory makes it
// fail. Links are left to the removal, which never follows them.
void probe_entry(tree_walk& walk, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return;
  const bool directory = attributes & FILE_ATTRIBUTE_DIRECTORY;
  DWORD access = DELETE | FILE_READ_DATA;
  if (!directory && !(attributes & FILE_ATTRIBUTE_READONLY)) access |= FILE_WRITE_DATA;
  HANDLE handle;
  switch (open_entry(walk, access, directory ? FILE_FLAG_BACKUP_SEMANTICS : 0, &handle, 0)) {
    case opened::itself:
      CloseHandle(handle);
      return;
    case opened::elsewhere:
      // A file that the system names after another place is a link (Wine opens a link's target
      // and shows it as a plain file): like any link, not in use here, and left to the removal.
      if (directory) walk.contained = false;
      return;
    case opened::failed:
      if (!is_gone(GetLastError())) walk.contained = false;
      return;
  }
}

// A file, or a link of either kind, removed as itself.
void remove_entry(tree_walk& walk, DWORD attributes) {
  if (walk.probing) return probe_entry(walk, attributes);
  const bool link = attributes & FILE_ATTRIBUTE_REPARSE_POINT;
  if (!link && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (walk.crew == nullptr && walk.helpers > 0 && ++walk.files_alone > files_before_crew) {
      walk.crew = start_removal_crew(walk.helpers, walk.root);
      walk.helpers = 0;
    }
    if (walk.crew != nullptr)
      return hand_file_to_crew(walk.crew, walk.path, walk.length, attributes);
  }
  const DWORD flags = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FILE_FLAG_BACKUP_SEMANTICS : 0;
  HANDLE handle;
  switch (open_entry(walk, deletion_access(attributes), flags, &handle)) {
    case opened::itself:
      if (!delete_and_close(handle, attributes) && link) walk.contained = false;
      return;
    case opened::elsewhere:
      walk.contained = false;
      return;
    case opened::failed:
      // A plain file that can't be opened (held by another process) stays and leads nowhere.
      if (link && !is_gone(GetLastError())) walk.contained = false;
      return;
  }
}

// Deletes the directory at walk.path once its walk is over (and the files handed over from it are
// gone).
void remove_directory(tree_walk& walk, DWORD attributes) {
  if (walk.probing) return probe_entry(walk, attributes);
  if (walk.crew != nullptr) wait_for_crew(walk.crew);
  HANDLE directory;
  switch (open_entry(walk, deletion_access(attributes), FILE_FLAG_BACKUP_SEMANTICS, &directory)) {
    case opened::itself:
      delete_and_close(directory, attributes);
      return;
    case opened::elsewhere:
      walk.contained = false;
      return;
    case opened::failed:
      return;  // held by another process, or gone already
  }
}

// Starts the walk of the directory at walk.path; false when its contents can't be listed, in
// which case the directory has been dealt with already.
bool enter_directory(tree_walk& walk, std::size_t depth, DWORD attributes) {
  const std::size_t length = walk.length;
  if (!append_path(walk, L"\\*")) {
    walk.contained = false;  // its contents can't be named: unknown
    return false;
  }
  HANDLE search = FindFirstFileExW(walk.path, FindExInfoBasic, &walk.found, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
    // Systems before Windows 7 know neither the basic information level nor the large fetch.
    search = FindFirstFileExW(walk.path, FindExInfoStandard, &walk.found, FindExSearchNameMatch,
                              nullptr, 0);
  }
  const DWORD error = GetLastError();
  cut_path(walk, length);
  if (search == INVALID_HANDLE_VALUE) {
    if (is_gone(error) || error == ERROR_NO_MORE_FILES) {
      remove_directory(walk, attributes);
    } else {
      walk.contained = false;  // contents unknown
    }
    return false;
  }
  walk.levels[depth] = walk_level{search, attributes, static_cast<std::uint32_t>(length)};
  return true;
}

void walk_tree(tree_walk& walk, DWORD root_attributes) {
  if (!enter_directory(walk, 0, root_attributes)) return;
  std::size_t depth = 1;
  bool entry_in_hand = true;  // the search's first entry
  while (depth > 0) {
    if (walk.stop != nullptr && walk.stop->load()) {
      while (depth > 0) FindClose(walk.levels[--depth].search);
      walk.contained = false;
      return;
    }
    const walk_level& level = walk.levels[depth - 1];
    if (!entry_in_hand && !FindNextFileW(level.search, &walk.found)) {
      FindClose(level.search);
      cut_path(walk, level.length);
      remove_directory(walk, level.attributes);
      --depth;
      continue;
    }
    entry_in_hand = false;
    const wchar_t* name = walk.found.cFileName;
    if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) continue;
    cut_path(walk, level.length);
    if (!append_path(walk, L"\\") || !append_path(walk, name)) {
      // Never act on a cut path: the entry stays, whatever it is.
      cut_path(walk, level.length);
      walk.contained = false;
      continue;
    }
    const DWORD attributes = walk.found.dwFileAttributes;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      remove_entry(walk, attributes);
      continue;
    }
    if (depth == walk_depth_capacity) {
      walk.contained = false;
      continue;
    }
    // Checked before it is entered; the handle is closed again, since listing a directory under
    // Wine does not share it with a handle that may delete it.
    HANDLE directory;
    switch (open_entry(walk, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS, &directory)) {
      case opened::itself:
        CloseHandle(directory);
        if (enter_directory(walk, depth, attributes)) {
          ++depth;
          entry_in_hand = true;
        }
        break;
      case opened::elsewhere:
        walk.contained = false;
        break;
      case opened::failed:
        if (!is_gone(GetLastError())) walk.contained = false;
        break;
    }
  }
}

// Walks the tree at directory, removing or probing; see cleanup.h for what the result says.
bool walk_directory(const wchar_t* directory, bool probing, const std::atomic<bool>* stop,
                    int helpers) {
  tree_walk walk;
  walk.length = 0;
  walk.probing = probing;
  walk.stop = stop;
  walk.crew = nullptr;
  walk.helpers = probing ? 0 : helpers;
  walk.files_alone = 0;
  walk.contained = true;
  // Every path of the walk in the "\\?\" form, so that entries deeper than MAX_PATH are reached
  // without the system's long-path switch.
  if (!long_path_form(directory, walk.path, wide_path_capacity)) return false;
  walk.length = std::wcslen(walk.path);
  walk.root_length = walk.length;

  // Nothing that can't be seen here can be reached through here either.
  const DWORD attributes = GetFileAttributesW(walk.path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return !probing;
  // The launcher makes the directory itself; a link or a file standing there is not its own.
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  const HANDLE root =
      CreateFileW(walk.path, FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (root == INVALID_HANDLE_VALUE) return !probing && is_gone(GetLastError());
  // Without the root's own name no entry can be checked, so none is touched. A name longer than
  // the room for it is no directory that this launcher makes.
  const bool named = GetFileInformationByHandleEx(root, FileNameInfo, &walk.name, sizeof walk.name);
  CloseHandle(root);
  if (!named) return false;
  const std::size_t root_name_length = walk.name.info.FileNameLength / sizeof(wchar_t);
  if (root_name_length >= wide_path_capacity) return false;
  std::wmemcpy(walk.root_name, walk.name.info.FileName, root_name_length);
  walk.root = walk_root{walk.root_length, walk.root_name, root_name_length};

  walk_tree(walk, attributes);
  if (walk.crew != nullptr && !end_removal_crew(walk.crew)) walk.contained = false;
  return walk.contained;
}

}  // namespace

bool remove_tree_directly(const wchar_t* directory, const std::atomic<bool>* stop, int helpers) {
  return walk_directory(directory, false, stop, helpers);
}

bool tree_is_free(const wchar_t* directory, const std::atomic<bool>* stop) {
  return walk_directory(directory, true, stop, 0);
}
