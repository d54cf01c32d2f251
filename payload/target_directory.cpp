// The target directory: made by the parent as a new directory of its own, owner-only, with the
// mark that tells sweeps and later launches that it is a launch's and whether it is in use.
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

constexpr char mark_text[] =
    "This folder was unpacked by a onefile launcher and is removed when it ends.\r\n";
constexpr char kept_mark_text[] =
    "This folder was unpacked by a onefile launcher, which keeps it for its later launches.\r\n";

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

void create_mark() {
  wchar_t mark_path[wide_path_capacity];
  join_mark_path(mark_path, target_directory);
  HANDLE mark = CreateFileW(mark_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (mark == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_EXISTS) fatal_intrusion_error(mark_path);
    fatal_target_create_error(GetLastError());
  }
  target_mark.store(mark);
  DWORD written = 0;
  if (kept_directory[0] != L'\0') {
    WriteFile(mark, kept_mark_text, sizeof kept_mark_text - 1, &written, nullptr);
  } else {
    WriteFile(mark, mark_text, sizeof mark_text - 1, &written, nullptr);
  }
}

}  // namespace

void expand_target_spec() {
  if (!expand_path_spec(target_directory, onefile_target_spec, wide_path_capacity)) {
    fatal_spec_error(onefile_target_spec);
  }
  make_target_directory_absolute(onefile_target_spec);
}

void create_target_directory(void (*expand_name)()) {
  SECURITY_ATTRIBUTES owner_only;
  if (!owner_only_security(&owner_only)) fatal_target_create_error(GetLastError());
  for (int attempt = 0;; ++attempt) {
    // The folders above may exist, and are made when missing.
    create_containing_directories(target_directory);
    if (CreateDirectoryW(target_directory, &owner_only)) break;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
      fatal_target_create_error(error);
    }
    // A directory, a file or a link at the name: never used, never removed. Only what an
    // earlier launch of a onefile launcher left at a fixed target (killed from outside, say) is
    // claimed for the sweep, which removes it; the name is then free again.
    if (attempt + 1 < name_attempts && choose_another_name(expand_name)) continue;
    if (attempt == 0 && set_aside_marked_directory(target_directory)) continue;
    fatal_target_exists_error();
  }
  // From here on the cleanup and every failure exit remove the directory again.
  cleanup_armed = true;
  set_failure_cleanup(remove_target_after_failure);
  create_directory_cached(target_directory);
  create_mark();
}

void hold_target_mark() {
  wchar_t mark_path[wide_path_capacity];
  join_mark_path(mark_path, target_directory);
  // Held for the child's whole life; a missing mark only means that no sweep can see the child.
  HANDLE mark = CreateFileW(mark_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (mark != INVALID_HANDLE_VALUE) target_mark.store(mark);
}
