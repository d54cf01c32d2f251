// Entry sequence and role decision.
#include "launcher/launcher.h"

#include <cwchar>

#include <windows.h>
#include <psapi.h>

#include "cleanup/cleanup.h"
#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/payload.h"

namespace {

// Appends text to a NUL-terminated buffer of the given capacity, or ends the run.
void append_bounded(wchar_t* destination, std::size_t capacity, const wchar_t* text) {
  const std::size_t length = std::wcslen(destination);
  const std::size_t added = std::wcslen(text);
  if (length + added >= capacity) abnormal_end();
  std::wmemcpy(destination + length, text, added + 1);
}

}  // namespace

HANDLE(WINAPI* process_open)(DWORD access, BOOL inherit, DWORD process_id) = OpenProcess;

parent_check check_parent_process() {
  const wchar_t* parent_text = get_env_var("VESKAR_ONEFILE_PARENT");
  if (parent_text == nullptr) return parent_check::other;
  std::int32_t parent_id = 0;
  if (!parse_process_id(parent_text, &parent_id)) return parent_check::other;
  // Read with the same capacity as the launcher's own path: a shorter buffer would cut a long
  // path, the comparison would fail, and the child would unpack again and start a grandchild.
  static wchar_t parent_image_path[executable_path_capacity];
  bool read = false;
  HANDLE parent = process_open(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                               static_cast<DWORD>(parent_id));
  if (parent != nullptr) {
    read =
        K32GetModuleFileNameExW(parent, nullptr, parent_image_path, executable_path_capacity) != 0;
    CloseHandle(parent);
  }
  if (!read) {
    // Restricted tokens, AppContainers and hardening tools may refuse reading another process's
    // memory while they grant the limited query.
    parent = process_open(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(parent_id));
    if (parent == nullptr) {
      // Access denied: the process is there, but who it is can't be told.
      return GetLastError() == ERROR_ACCESS_DENIED ? parent_check::unreadable : parent_check::other;
    }
    DWORD length = executable_path_capacity;
    read = QueryFullProcessImageNameW(parent, 0, parent_image_path, &length) != 0;
    CloseHandle(parent);
    if (!read) return parent_check::unreadable;
  }
  // The parent starts the child from the path that the system gives for its own image, so the
  // two texts are usually the same, and the same text leads to the same file: only texts that
  // differ need the resolution (each a file opened and its directory's short form found).
  if (std::wcscmp(parent_image_path, get_executable_path(executable_path_form::plain)) == 0) {
    return parent_check::same_executable;
  }
  resolve_final_path(parent_image_path, executable_path_capacity);
  shorten_directory_part(parent_image_path, executable_path_capacity);
  return std::wcscmp(parent_image_path, get_executable_path(executable_path_form::resolved)) == 0
             ? parent_check::same_executable
             : parent_check::other;
}

void publish_directory_values() {
  // Whatever the target spec uses, the child finds every value it could need, and a process that
  // inherits only the parent's id is never taken for a child (inherits_directory_values).
  wchar_t values[wide_path_capacity];
  if (!expand_path_spec(values, L"{TIME_US}{RANDOM}{TIME}", wide_path_capacity)) abnormal_end();
}

void publish_parent_identity() {
  unset_env_var("VESKAR_ONEFILE_START");
  unset_env_var("VESKAR_ONEFILE_TIME_US");
  unset_env_var("VESKAR_ONEFILE_RANDOM");
  wchar_t wide_id[128];
  format_decimal(wide_id, 128, static_cast<long>(GetCurrentProcessId()));
  set_env_var("VESKAR_ONEFILE_PARENT", wide_id);
}

bool inherits_directory_values() {
  return get_env_var("VESKAR_ONEFILE_TIME_US") != nullptr &&
         get_env_var("VESKAR_ONEFILE_RANDOM") != nullptr &&
         get_env_var("VESKAR_ONEFILE_START") != nullptr;
}

namespace {

// Builds entry_path for the name just read, and main_module_path at the first entry.
void name_entry_path() {
  entry_path[0] = L'\0';
  append_bounded(entry_path, wide_path_capacity, target_directory);
  append_bounded(entry_path, wide_path_capacity, L"\\");
  append_bounded(entry_path, wide_path_capacity, entry_name);
  if (main_module_path[0] == L'\0') copy_bounded(main_module_path, entry_path, wide_path_capacity);
}

// A payload whose threads do not start at once: how many entries the main thread writes alone
// before its writers start.
constexpr int entries_before_writers = 16;
bool threads_at_once = false;

}  // namespace

int prepare_unpacking() {
  // The parent unpacks on several threads where the machine has the processors for it and the
  // payload the work for them: the decoding runs ahead on one, the writing on a pool.
  const int writers = unpack_writer_count();
  // The removal of the target directory deletes its files on as many threads (once it has met
  // enough files for them).
  removal_helpers = writers;
  threads_at_once = writers > 0 && unpack_threads_at_once();
  if (threads_at_once) start_decoding_ahead();
  return writers;
}

void unpack_payload(int writers) {
  int written_alone = 0;
  bool writers_tried = false;
  begin_unpack_progress();
  while (read_entry_name()) {
    note_unpack_progress(1, 0);
    // The child loads the main module by the listing's name, which only this check ties to the
    // payload's checksum.
    if (main_module_path[0] == L'\0' && !listing_names_first_entry()) fatal_decode_error();
    name_entry_path();
    if (writers > 0 && !writers_tried &&
        (threads_at_once || written_alone == entries_before_writers)) {
      writers_tried = true;
      start_writer_pool(writers);
    }
    if (unpack_writers_started > 0) {
      queue_entry();
      continue;
    }
    ++written_alone;
    begin_main_thread_step();
    write_entry();
    end_main_thread_step();
  }
  // Without a main module there is nothing to run; never start a child that would unpack again.
  if (main_module_path[0] == L'\0') fatal_error("Error, attached data holds no files.");
  finish_payload();
  stop_decoding_ahead();
  // Every file is whole on disk and closed before the child starts.
  finish_writer_pool();
  end_unpack_progress();
}

const keep_mode* onefile_keep;

int run_launcher(int argument_count, wchar_t** arguments) {
  restrict_library_search();
  read_attached_settings();
  watch_payload_read_faults();
  if (onefile_error_dialog) enable_error_dialog(onefile_product);
  if (onefile_keep_setting == attached_keep::kept) onefile_keep = &onefile_keep_kept;
  if (onefile_keep_setting == attached_keep::verified) onefile_keep = &onefile_keep_verified;
  // A process that can't name its parent's directory would only fail to find it: it is a parent.
  // A kept directory's name takes nothing from the parent's values.
  const bool has_directory_values = onefile_keep != nullptr || inherits_directory_values();
  const parent_check parent = check_parent_process();
  const DWORD check_error = GetLastError();
  const bool is_child = parent == parent_check::same_executable && has_directory_values;
  // A launch's own child that can't tell its parent would unpack again and start a child of its
  // own, and so on: it ends instead. Any other process that inherited the values (one that the
  // application started, or a process started from that, long after, when the id may name some
  // service) is a parent, as it would be if the named process had ended. A process that can't
  // tell who created it ends too: it might be a child, and its own child could not tell either.
  unsigned long named_parent = 0;
  if (parent == parent_check::unreadable && has_directory_values &&
      is_named_parents_own_child(&named_parent, true)) {
    fatal_system_error("Error, couldn't identify the parent process.", check_error);
  }
  if (!is_child) {
    publish_parent_identity();
    // The parent starts the child from its own path. The query takes the loader lock, which the
    // end-of-session window's thread holds while it loads the windowing libraries (under Wine for
    // tens of milliseconds): asked before that thread starts.
    get_executable_path(executable_path_form::plain);
  }

  expand_target_spec();
  if (onefile_keep != nullptr) name_kept_directory_for_level();

  if (!is_child && !SetConsoleCtrlHandler(console_ctrl_handler, TRUE)) {
    fatal_error("Error, failed to register signal handler.");
  }
  if (!is_child && onefile_keep != nullptr) return onefile_keep->run_parent(arguments);
  if (is_child) {
    watch_parent_unless_in_job();
    hold_target_mark();
    // The child needs nothing but the main module's name: it was unpacked by the parent.
    if (!read_main_module_name()) fatal_error("Error, attached data holds no files.");
    name_entry_path();
    if (onefile_keep != nullptr) onefile_keep->wait_for_judgement();
    return hand_off_to_main_module(argument_count, arguments);
  }
  open_payload();
  const int writers = prepare_unpacking();
  begin_main_thread_step();
  create_target_directory();
  end_main_thread_step();
  watch_end_of_session();
  publish_directory_values();
  unpack_payload(writers);
  return launch_child_and_wait(arguments);
}
