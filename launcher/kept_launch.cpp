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

bool publish_judgement_event() {
  wchar_t name[64];
  std::swprintf(name, 64, L"Local\\onefile_kept_judged_%lu", GetCurrentProcessId());
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

// Unpacks the payload into a new staging directory and moves that into place; false when another
// launch's directory took the place first, in which case the staging directory is gone again.
bool unpack_and_keep() {
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
  const bool placed = move_into_kept_place();
  end_main_thread_step();
  if (!placed) remove_target_directory();
  stop_removing_target();
  return placed;
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
    if (state == kept_state::stale) {
      if (!set_aside_own_directory(kept_directory)) fatal_kept_in_use_error();
    } else {
      unpacked_here = unpack_and_keep();
    }
  }
  // Held like the child holds it, so that no sweep of another payload's launch takes it.
  hold_target_mark();
  superseded_directory_test = is_superseded_kept_directory;
  if (judgement_event != nullptr) SetEvent(judgement_event);
  return wait_for_child(child != nullptr ? child : start_child(arguments));
}

void wait_for_judgement() {
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

extern "C" const keep_mode onefile_keep_kept{run_kept, wait_for_judgement};
extern "C" const keep_mode onefile_keep_verified{run_kept_and_verified, wait_for_judgement};
