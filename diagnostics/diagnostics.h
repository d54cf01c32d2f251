// The ways a run ends on failure. None of the fatal_* operations returns.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>

// Every message is one line, written whole: UTF-16 to a console, UTF-8 to a pipe or a file. Where
// its standard handle is missing or invalid, or is a console that only this launch's processes
// use (made for it, so it closes with it), and the process runs on an interactive desktop, the
// line is shown in a message box once enable_error_dialog has named the box's caption.

// Plain failure: the message and a newline on standard output, then exit code 2.
[[noreturn]] void fatal_error(const char* message);
// System failure: "message ([Error code] system text)" on standard error, then exit code 2.
[[noreturn]] void fatal_system_error(const char* message, std::uint32_t code);
// Writes the system-error line of fatal_system_error and returns.
void print_system_error(const char* message, std::uint32_t code);
// fatal_system_error for a message with a path in it: before, the path, after.
[[noreturn]] void fatal_path_system_error(const char* before, const wchar_t* path,
                                          const char* after, std::uint32_t code);
// "Error, failed to open '<path>' for writing." on standard error, then exit code 2: path is the
// entry's path in the target directory.
[[noreturn]] void fatal_open_error(const wchar_t* path);
// "Error, couldn't runtime expand spec '<spec>'." on standard error, then the abnormal end.
[[noreturn]] void fatal_spec_error(const wchar_t* spec);
// The abnormal end: no message, no exit processing, no runtime dialog or fault report; exit
// code 3.
[[noreturn]] void abnormal_end();
inline constexpr unsigned abnormal_end_code = 3;
// "Error, target directory '<target_directory>' already exists." on standard error, then exit 2:
// the name is taken by something that this launch may neither use nor remove.
[[noreturn]] void fatal_target_exists_error();
// "Error, couldn't create target directory '<target_directory>'." with the system's code and text.
[[noreturn]] void fatal_target_create_error(std::uint32_t code);
// "Error, '<path>' was made by another process in the target directory." on standard error, then
// exit 2: something appeared where this launch was about to create a directory or a file.
[[noreturn]] void fatal_intrusion_error(const wchar_t* path);

// "Error, target spec '<spec>' expands to '<target_directory>', a path relative to the current
// directory." on standard error, then exit 2.
[[noreturn]] void fatal_relative_target_error(const wchar_t* spec);

// The target directory can't be protected from other users: "Error, target directory
// '<target_directory>' is on a volume that keeps no access rights (FAT, exFAT), outside your
// profile and temporary folder." (no_acls), or "Error, target directory '<target_directory>'
// didn't keep the access rights it was made with." on standard error, then exit 2.
[[noreturn]] void fatal_unprotected_target_error(bool no_acls);
// "Error, target directory '<target_directory>' was moved or replaced while it was made." on
// standard error, then exit 2.
[[noreturn]] void fatal_replaced_target_error();

// A launcher that keeps its unpacked files: "Error, target directory '<target_directory>' exists
// but was not kept by this launcher." on standard error, then exit 2: something that is not a
// kept directory of this launcher's stands at its name, and is left as it is.
[[noreturn]] void fatal_not_kept_error();
// The kept directory's path is no name the system takes (a product name with ':' in it, say).
[[noreturn]] void fatal_kept_name_error(std::uint32_t code);
// "Error, kept directory '<target_directory>' doesn't match this launcher and is in use." on
// standard error, then exit 2: it can be neither used nor replaced while it is in use.
[[noreturn]] void fatal_kept_in_use_error();
// "Error, couldn't move the unpacked files to '<kept_directory>'." with the system's code and text.
[[noreturn]] void fatal_keep_move_error(std::uint32_t code);

// Every failure exit and the abnormal end first make sure that theirs is the run's one failure:
// on a thread that fails while another thread's failure is under way, they wait for that one to
// end the process, so that one message is written and one cleanup runs.

// Work that a thread does when it fails while another thread's failure is under way, before it
// waits for that one to end the process (a writer lets go of the file it holds, so that the
// removal isn't kept from it). None while it is null.
void set_failure_bystander(void (*release)());

// Work that every failure exit does before the process ends (the parent's removal of the target
// directory it created). Runs once, on the thread that fails; none while it is null.
void set_failure_cleanup(void (*cleanup)());

[[noreturn]] void fatal_header_error();
[[noreturn]] void fatal_decode_error();
[[noreturn]] void fatal_out_of_memory();
// Takes the calling thread's last-error value itself.
[[noreturn]] void fatal_unpack_error();
[[noreturn]] void fatal_launch_error(std::uint32_t code);

// Removes trailing carriage returns and line feeds in place; other characters stay.
void trim_line_ends(wchar_t* text);

// Shows messages that no standard handle can take in a message box with this caption (the
// product name); none until called.
void enable_error_dialog(const wchar_t* caption);
// Shows one message; replaceable, so that tests see the text instead of a box.
extern void (*show_error_dialog)(const wchar_t* text, const wchar_t* caption);
// The processes attached to this process's console (GetConsoleProcessList); replaceable, so
// that tests can show a console that others share.
extern unsigned long (*console_process_list)(unsigned long* ids, unsigned long capacity);
// The language asked for first for the system's error texts (1033, English); the user's own
// language when the system has none in it. Replaceable for tests.
extern std::uint32_t system_message_language;

// value in decimal, at least min_digits digits (zeros after any sign), 0-ended, into text of
// capacity units; its length, or 0 (and an empty text) where it doesn't fit. std::to_chars
// formats without a locale and without the C runtime's printf family, whose MinGW implementation
// would bring about 33 KB into each stub.
template <class Unit, class Integer>
std::size_t format_decimal(Unit* text, std::size_t capacity, Integer value,
                           std::size_t min_digits = 1) {
  char digits[24] = {};
  const std::size_t length =
      static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);
  const std::size_t sign = digits[0] == '-' ? 1 : 0;
  const std::size_t zeros = min_digits > length - sign ? min_digits - (length - sign) : 0;
  if (capacity == 0) return 0;
  if (length + zeros >= capacity) {
    text[0] = Unit{};
    return 0;
  }
  std::size_t out = 0;
  if (sign != 0) text[out++] = static_cast<Unit>('-');
  for (std::size_t i = 0; i < zeros; ++i) text[out++] = static_cast<Unit>('0');
  for (std::size_t i = sign; i < length; ++i) text[out++] = static_cast<Unit>(digits[i]);
  text[out] = Unit{};
  return out;
}
