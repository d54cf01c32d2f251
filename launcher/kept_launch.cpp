// A launcher that keeps its unpacked files: the parent's run. The kept directory (the target
// spec's expansion, fixed for a given payload) is used as it is when it is sound; a first launch
// fills a staging directory beside it with every rule of an ordinary launch (exclusive,
// owner-only, nothing written through links, removed on failure), writes the completion record
// last, and moves it into place in one rename. The directory is not removed at the end; the
// console events' cleanup still ends the child but leaves it too.
//
// Of two first launches at once, one rename wins; the other removes its own staging directory and
// runs from the winner's, after judging it like any other. A kept directory that is of the
// launcher's own making but unsound (no record, another payload's, a file missing, resized,
// replaced or written to, a link inside, a DACL that grants others) is set aside for the sweep
// and unpacked again; anything else at the name ends the run and is left alone.
//
// Windows renames no directory while a file below it is open, and virus scanners open newly
// written executables: the move into place and the setting aside are retried for some seconds.
// If the system still refuses, this launch runs from its staging directory, complete and judged
// again, and tries the move once more when the application has ended; what stays is a leftover
// of a launch that no longer runs, which a later launch's sweep removes.
#include <cwchar>

#include <windows.h>

#include "cleanup/cleanup.h"
#include "diagnostics/diagnostics.h"
#include "launcher/launcher.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/payload.h"

namespace {

// A kept directory that keeps being replaced between the judgements is no accident.
constexpr int judgement_attempts = 4;

// The child starts while the parent judges the kept directory (each takes about as long as the
// other), and waits before it loads anything from there until the parent lets it go: the event
// that this variable names. It is made new, with the user's default security, so nobody else can
// set it; a name that is taken only means that the child starts after the judgement.
constexpr char judgement_variable[] = "VESKAR_ONEFILE_KEPT_JUDGED";
HANDLE judgement_event;

// The staging directory that this launch runs from when it could not be moved into place (empty
// otherwise), named to the child in this variable.
constexpr char staging_variable[] = "VESKAR_ONEFILE_KEPT_STAGING";
wchar_t staging_directory[wide_path_capacity];

bool publish_judgement_event() {
  wchar_t name[64] = L"Local\\onefile_kept_judged_";
  const std::size_t prefix = std::wcslen(name);
  format_decimal(name + prefix, 64 - prefix, GetCurrentProcessId());
  judgement_event = CreateEventW(nullptr, TRUE, FALSE, name);
  if (judgement_event != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(judgement_event);
    judgement_event = nullptr;
  }
  return judgement_event != nullptr && set_env_var(judgement_variable, name);
}

// The staging directory: beside the kept one, and named like any launch's own directory, so that
// what a killed first launch leaves there is swept like any other leftover.
void expand_staging_name() {
  wchar_t name[wide_path_capacity];
  if (!expand_path_spec(name, L"onefile_{PID}_{TIME_US}_{RANDOM}", wide_path_capacity)) {
    abnormal_end();
  }
  const wchar_t* separator = std::wcsrchr(kept_directory, L'\\');
  if (separator == nullptr) abnormal_end();  // an absolute path always has one
  const std::size_t folder_length = static_cast<std::size_t>(separator - kept_directory);
  const std::size_t name_length = std::wcslen(name);
  if (folder_length + 1 + name_length >= wide_path_capacity) abnormal_end();
  std::wmemcpy(target_directory, kept_directory, folder_length + 1);
  std::wmemcpy(target_directory + folder_length + 1, name, name_length + 1);
}

// From here on the launch removes nothing: target_directory names the kept directory again.
// Within a main-thread step, so that a console event's cleanup never sees the two half-changed.
void stop_removing_target() {
  begin_main_thread_step();
  cleanup_armed = false;
  set_failure_cleanup(nullptr);
  copy_bounded(target_directory, kept_directory, wide_path_capacity);
  end_main_thread_step();
}

// Unpacks the payload into a new staging directory and, when place is set, moves that into place.
// Taken: another launch's directory took the place first, and the staging directory is gone
// again. Refused (also when place is not set): the staging directory stays, in staging_directory.
kept_move unpack_and_keep(bool place) {
  main_module_path[0] = L'\0';
  open_payload();
  const int writers = prepare_unpacking();
  expand_staging_name();
  begin_main_thread_step();
  create_target_directory(expand_staging_name);
  end_main_thread_step();
  // A log-off during unpacking removes the staging directory, as it removes any launch's own.
  static bool watching_end_of_session = false;
  if (!watching_end_of_session) watch_end_of_session();
  watching_end_of_session = true;
  unpack_payload(writers);
  close_payload();
  begin_main_thread_step();
  write_kept_record();
  end_main_thread_step();
  const kept_move move = place ? move_into_kept_place(true) : kept_move::refused;
  if (move == kept_move::failed) fatal_keep_move_error(GetLastError());
  if (move == kept_move::taken) remove_target_directory();
  if (move == kept_move::refused) {
    copy_bounded(staging_directory, target_directory, wide_path_capacity);
  }
  stop_removing_target();
  return move;
}

// A stale kept directory goes aside for the sweep; refused while a file in it is open (a scanner,
// or an application that still runs from it), so tried again like the move.
bool set_aside_stale_directory() {
  for (int failed = 0;;) {
    if (kept_directory_set_aside(kept_directory)) return true;
    const DWORD pause = kept_retry_pause(++failed);
    if (pause == 0) return false;
    Sleep(pause);
  }
}

// The staging directory is held as a kept directory is, judged again and named to the child.
// Held: open with access to its data (traversing), without delete sharing, so that nobody can
// rename or remove it while the launch runs from it; a handle with no data access takes no part
// in sharing ("Creating and Opening Files") and would keep nobody from it.
void run_from_staging_directory() {
  HANDLE held = CreateFileW(staging_directory, FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (held == INVALID_HANDLE_VALUE || !kept_tree_is_sound(staging_directory)) {
    fatal_intrusion_error(staging_directory);
  }
  kept_directory_handle = held;
  if (!set_env_var(staging_variable, staging_directory)) abnormal_end();
}

// Once the application has ended, nothing of this launch holds the staging directory: one more
// try at moving it into place, which reports nothing (the launch's result is the application's).
// Whatever stays, a later launch's sweep removes.
void place_staging_directory() {
  CloseHandle(kept_directory_handle);
  kept_directory_handle = nullptr;
  copy_bounded(target_directory, staging_directory, wide_path_capacity);
  move_into_kept_place(false);
}

int run_kept_parent(wchar_t** arguments, bool verify) {
  copy_bounded(kept_directory, target_directory, wide_path_capacity);
  // Usually there is a kept directory, and usually it is sound.
  void* child = nullptr;
  if (GetFileAttributesW(kept_directory) != INVALID_FILE_ATTRIBUTES && publish_judgement_event()) {
    child = start_child(arguments);
  }
  bool unpacked_here = false;
  for (int attempt = 0;; ++attempt) {
    if (attempt == judgement_attempts) fatal_kept_in_use_error();
    // What this launch has just written and moved into place is judged too, but its bytes are not
    // read back.
    const kept_state state = judge_kept_directory(verify && !unpacked_here);
    if (state == kept_state::usable) break;
    // The child holds the mark: it would keep the directory from being set aside.
    if (child != nullptr) abandon_child(child);
    child = nullptr;
    if (state == kept_state::foreign) fatal_not_kept_error();
    // A stale directory that stays where it is leaves no place to move the new one to.
    const bool place = state == kept_state::absent || set_aside_stale_directory();
    const kept_move move = unpack_and_keep(place);
    if (move == kept_move::refused) break;
    unpacked_here = move == kept_move::placed;
  }
  const bool from_staging = staging_directory[0] != L'\0';
  if (from_staging) {
    run_from_staging_directory();
  } else {
    // Held like the child holds it, so that no sweep of another payload's launch takes it.
    hold_target_mark();
  }
  superseded_directory_test = is_superseded_kept_directory;
  if (judgement_event != nullptr) SetEvent(judgement_event);
  const int exit_code = wait_for_child(child != nullptr ? child : start_child(arguments));
  if (from_staging) place_staging_directory();
  return exit_code;
}

// True for a directory beside the kept one that is named as its parent's staging directory.
bool is_parents_staging_directory(const wchar_t* path) {
  const wchar_t* separator = std::wcsrchr(path, L'\\');
  const wchar_t* kept_separator = std::wcsrchr(target_directory, L'\\');
  const wchar_t* parent_text = get_env_var("VESKAR_ONEFILE_PARENT");
  std::int32_t parent_id = 0;
  unsigned long named_id = 0;
  return separator != nullptr && kept_separator != nullptr && parent_text != nullptr &&
         separator - path == kept_separator - target_directory &&
         std::wcsncmp(path, target_directory, static_cast<std::size_t>(separator - path)) == 0 &&
         is_leftover_name(separator + 1, &named_id) && parse_process_id(parent_text, &parent_id) &&
         named_id == static_cast<unsigned long>(parent_id);
}

// Child: runs from the staging directory that the parent names, when it could not move it into
// place; nothing else, only one of the parent's own beside the kept directory.
void use_parents_staging_directory() {
  const wchar_t* staging = get_env_var(staging_variable);
  if (staging == nullptr) return;
  unset_env_var(staging_variable);
  if (!is_parents_staging_directory(staging)) abnormal_end();
  if (HANDLE mark = target_mark.exchange(nullptr)) CloseHandle(mark);
  copy_bounded(target_directory, staging, wide_path_capacity);
  hold_target_mark();
  const std::size_t length = std::wcslen(target_directory);
  if (length + 1 + std::wcslen(entry_name) >= wide_path_capacity) abnormal_end();
  std::wmemcpy(main_module_path, target_directory, length);
  main_module_path[length] = L'\\';
  std::wcscpy(main_module_path + length + 1, entry_name);
  copy_bounded(entry_path, main_module_path, wide_path_capacity);
}

void wait_for_judgement() {
  use_parents_staging_directory();
  const wchar_t* name = get_env_var(judgement_variable);
  if (name == nullptr) return;
  // Not for the processes that the application starts.
  unset_env_var(judgement_variable);
  // A parent that finds the directory unsound ends this child, and one that dies takes it along
  // (job or watch): the wait ends only when the directory may be used.
  const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name);
  if (event == nullptr || WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) {
    fatal_system_error("Error, couldn't wait for the check of the kept directory.", GetLastError());
  }
  CloseHandle(event);
}

int run_kept(wchar_t** arguments) {
  return run_kept_parent(arguments, false);
}

int run_kept_and_verified(wchar_t** arguments) {
  return run_kept_parent(arguments, true);
}

}  // namespace

bool (*kept_directory_set_aside)(const wchar_t* path) = set_aside_own_directory;

extern "C" const keep_mode onefile_keep_kept{run_kept, wait_for_judgement};
extern "C" const keep_mode onefile_keep_verified{run_kept_and_verified, wait_for_judgement};
