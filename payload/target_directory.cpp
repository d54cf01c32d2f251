// The target directory: made by the parent as a new directory of its own, with the descriptor of
// the launch's level, and with the mark that tells sweeps and later launches that it is a
// launch's and whether it is in use.
//
// It is made with the kernel's own call, which hands back a handle on exactly the directory that
// it made; the parent holds that handle, shared without delete, until the removal, so that nobody
// can rename or remove the directory, and on Windows nobody can rename a folder above it either
// (a folder with an open file or directory anywhere below it can't be renamed). Through the handle
// the parent reads the descriptor back, and makes the mark in that very directory. Everything else
// is written by path, so once the mark is held the path must still lead to the directory made
// (under Wine, which lets a folder above be renamed at any time, another user who controls one
// could otherwise swap the new directory for one of theirs before the payload lands).
#include <cwchar>

#include <windows.h>

#include "cleanup/cleanup.h"
#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/payload.h"

namespace {

// A random name that collides with an existing one again and again is no accident.
constexpr int name_attempts = 8;

void join_mark_path(wchar_t (&path)[wide_path_capacity], const wchar_t* directory) {
  path[0] = L'\0';
  const std::size_t length = std::wcslen(directory);
  if (length + 1 + std::wcslen(target_mark_name) >= wide_path_capacity) abnormal_end();
  std::wmemcpy(path, directory, length);
  path[length] = L'\\';
  std::wcscpy(path + length + 1, target_mark_name);
}

// Expands the name again with a new random value; false when it has no random part (the name
// comes out the same), so that a new name can't help.
bool choose_another_name(void (*expand_name)()) {
  wchar_t previous[wide_path_capacity];
  copy_bounded(previous, target_directory, wide_path_capacity);
  unset_env_var("VESKAR_ONEFILE_RANDOM");
  expand_name();
  return std::wcscmp(previous, target_directory) != 0;
}

// Makes the directory at target_directory new and returns the handle on it, or ends the run.
HANDLE make_directory(void (*expand_name)()) {
  SECURITY_ATTRIBUTES security;
  if (!launch_directory_security(&security)) fatal_target_create_error(GetLastError());
  for (int attempt = 0;; ++attempt) {
    // The folders above may exist, and are made when missing.
    create_containing_directories(target_directory);
    DWORD error = ERROR_SUCCESS;
    HANDLE directory = create_held_directory(target_directory, &security, &error);
    if (directory != INVALID_HANDLE_VALUE) return directory;
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
      fatal_target_create_error(error);
    }
    // A directory, a file or a link at the name: never used, never removed. Only what an
    // earlier launch of a onefile launcher left at a fixed target (killed from outside, say) is
    // claimed for the sweep, which removes it; the name is then free again.
    if (attempt + 1 < name_attempts && choose_another_name(expand_name)) continue;
    if (attempt == 0 && set_aside_own_directory(target_directory)) continue;
    fatal_target_exists_error();
  }
}

// The descriptor read back is the one the directory was made with (or grants nobody more). A
// volume without access control lists (FAT, exFAT) keeps none: within the user's own profile or
// temporary folder the directory is no worse off than the folder that holds it, anywhere else the
// launch ends rather than unpack where anyone may change the files.
void check_protection(HANDLE directory) {
  if (is_own_object(directory, token_level())) return;
  if (volume_keeps_acls(directory)) fatal_unprotected_target_error(false);
  if (!is_in_own_folders(target_directory)) fatal_unprotected_target_error(true);
}

void create_mark(HANDLE directory) {
  DWORD error = ERROR_SUCCESS;
  HANDLE mark = make_mark(directory, kept_directory[0] != L'\0', &error);
  if (mark == INVALID_HANDLE_VALUE) {
    wchar_t mark_path[wide_path_capacity];
    join_mark_path(mark_path, target_directory);
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      fatal_intrusion_error(mark_path);
    }
    fatal_target_create_error(error);
  }
  target_mark.store(mark);
}

}  // namespace

void expand_target_spec() {
  if (!expand_path_spec(target_directory, onefile_target_spec, wide_path_capacity)) {
    fatal_spec_error(onefile_target_spec);
  }
  make_target_directory_absolute(onefile_target_spec);
}

void name_kept_directory_for_level() {
  // Each level keeps a directory of its own, so that neither finds the other's in its place (an
  // unelevated launch could use no directory that an elevated one made, nor the reverse) and
  // neither runs files that the other level could have changed.
  if (token_level() != launch_level::elevated) return;
  constexpr wchar_t suffix[] = L"-elevated";
  const std::size_t length = std::wcslen(target_directory);
  if (length + sizeof suffix / sizeof suffix[0] > wide_path_capacity) abnormal_end();
  std::wmemcpy(target_directory + length, suffix, sizeof suffix / sizeof suffix[0]);
}

void create_target_directory(void (*expand_name)()) {
  HANDLE directory = make_directory(expand_name);
  target_guard.store(directory);
  if (!read_file_identity(directory, &target_identity)) {
    // Not known by its identity, it can't be removed safely later: removed at once, while the
    // handle still holds it in place and nothing is in it.
    const DWORD error = GetLastError();
    target_guard.store(nullptr);
    CloseHandle(directory);
    RemoveDirectoryW(target_directory);
    fatal_target_create_error(error);
  }
  // From here on the cleanup and every failure exit remove the directory again.
  cleanup_armed = true;
  set_failure_cleanup(remove_target_after_failure);
  create_directory_cached(target_directory);
  check_protection(directory);
  create_mark(directory);
  if (match_path(target_directory, target_identity) != path_match::same) {
    fatal_replaced_target_error();
  }
}

void hold_target_mark() {
  wchar_t mark_path[wide_path_capacity];
  join_mark_path(mark_path, target_directory);
  // Held for the child's whole life; a missing mark only means that no sweep can see the child.
  HANDLE mark = CreateFileW(mark_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (mark != INVALID_HANDLE_VALUE) target_mark.store(mark);
}
