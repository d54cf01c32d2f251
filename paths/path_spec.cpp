// Path spec expansion: "{NAME}" stands for a variable's value. The values that must agree between
// parent and child (PID, TIME_US, RANDOM, TIME) go through the environment, which the child
// inherits.
// rand_s is declared only on request, before the runtime's headers.
#define _CRT_RAND_S
#include <cstdlib>
#include <cwchar>
#include <cwctype>

#include <windows.h>
#include <shlobj.h>

#include "diagnostics/diagnostics.h"
#include "launcher/shell32.h"
#include "launcher/state.h"
#include "paths/path_spec_syntax.h"
#include "paths/paths.h"

namespace {

using variable = path_variable;

wchar_t fold_ascii(wchar_t unit) {
  return unit >= L'a' && unit <= L'z' ? unit - L'a' + L'A' : unit;
}

// Appends a value at length; a value that does not fit with its NUL ends the run.
void append_value(wchar_t* destination, std::size_t& length, std::size_t capacity,
                  const wchar_t* value) {
  const std::size_t value_length = std::wcslen(value);
  if (value_length >= capacity - length) abnormal_end();
  std::wmemcpy(destination + length, value, value_length + 1);
  length += value_length;
}

// The launcher's own path as the system reports it, not the name it was started by: the parent
// starts the child from this very path, so both expand the same text, and a launcher started by a
// bare or relative name (the child's argument vector has the full path) still names one place.
const wchar_t* program_name() {
  return get_executable_path(executable_path_form::plain);
}

void append_pid(wchar_t* destination, std::size_t& length, std::size_t capacity) {
  if (const wchar_t* parent = get_env_var("VESKAR_ONEFILE_PARENT")) {
    for (const wchar_t* unit = parent; *unit != L'\0'; ++unit) {
      if (!std::iswdigit(*unit)) abnormal_end();
    }
    append_value(destination, length, capacity, parent);
    return;
  }
  wchar_t wide[128];
  format_decimal(wide, 128, static_cast<long>(GetCurrentProcessId()));
  append_value(destination, length, capacity, wide);
}

std::int64_t system_time() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                   now.dwLowDateTime);
}

// Eight bytes from the system's cryptographic random source, so that a target directory's name
// can't be foretold from what a local process sees (process ids, times). The C runtime's rand_s
// takes them from the system's generator (RtlGenRandom), through advapi32; bcrypt.dll would give
// the same and cost more: under Wine its start-up loads the TLS library and a dozen of its own.
bool system_random_bytes(std::uint8_t (&bytes)[random_byte_count]) {
  static_assert(random_byte_count % 4 == 0);
  for (std::size_t i = 0; i < random_byte_count; i += 4) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) return false;
    for (std::size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<std::uint8_t>(value >> (8 * j));
  }
  return true;
}

// Appends the stored value of the environment variable, or makes one, stores and appends it.
void append_recorded(wchar_t* destination, std::size_t& length, std::size_t capacity,
                     variable kind) {
  const char* name = kind == variable::random    ? "VESKAR_ONEFILE_RANDOM"
                     : kind == variable::time_us ? "VESKAR_ONEFILE_TIME_US"
                                                 : "VESKAR_ONEFILE_START";
  if (const wchar_t* stored = get_env_var(name)) {
    append_value(destination, length, capacity, stored);
    return;
  }
  wchar_t fresh[32];
  if (kind == variable::random) {
    wchar_t name_text[random_name_length + 1];
    if (!make_random_name(name_text)) fatal_error("Error, couldn't make a random name.");
    std::wmemcpy(fresh, name_text, random_name_length + 1);
  } else if (kind == variable::time_us) {
    format_time_us(system_time(), fresh);
  } else {
    format_time(system_time(), fresh);
  }
  set_env_var(name, fresh);
  append_value(destination, length, capacity, fresh);
}

// A folder of the user's as the environment names it: Windows sets USERPROFILE and LOCALAPPDATA
// at logon from the same profile that the shell's folder query reads. Reading them spares each
// process that query (loading shell32 costs more than a kept launch's whole start under Wine).
// Anyone who starts the launcher may set them to anything, though: only an absolute path that
// names an existing directory counts, and anything else leaves the answer to the shell.
const wchar_t* folder_from_environment(const char* name) {
  const wchar_t* value = get_env_var(name);
  if (value == nullptr) return nullptr;
  const bool drive = ((value[0] | 0x20) >= L'a' && (value[0] | 0x20) <= L'z') && value[1] == L':' &&
                     value[2] == L'\\';
  const bool unc = value[0] == L'\\' && value[1] == L'\\';
  if (!drive && !unc) return nullptr;
  const DWORD attributes = GetFileAttributesW(value);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? value
                                                                                          : nullptr;
}

// The first bytes of the payload's digest in lower-case hexadecimal; false when there is none.
bool append_digest(wchar_t* destination, std::size_t& length, std::size_t capacity) {
  if (payload_digest == nullptr) return false;
  wchar_t text[2 * payload_digest_name_bytes + 1];
  for (std::size_t i = 0; i < payload_digest_name_bytes; ++i) {
    text[2 * i] = L"0123456789abcdef"[payload_digest[i] >> 4];
    text[2 * i + 1] = L"0123456789abcdef"[payload_digest[i] & 0xF];
  }
  text[2 * payload_digest_name_bytes] = L'\0';
  append_value(destination, length, capacity, text);
  return true;
}

bool ends_with_exe(const wchar_t* text, std::size_t length) {
  if (length < 4) return false;
  const wchar_t* tail = text + length - 4;
  return tail[0] == L'.' && fold_ascii(tail[1]) == L'E' && fold_ascii(tail[2]) == L'X' &&
         fold_ascii(tail[3]) == L'E';
}

// Appends one variable's value; false for an unknown name or a shell folder the system lacks.
bool append_variable(wchar_t* destination, std::size_t& length, std::size_t capacity,
                     variable kind) {
  bool strip_backslashes = false;
  switch (kind) {
    case variable::temp: {
      // Not checked: whatever the query leaves in the room is the value, possibly nothing (it
      // writes nothing when the folder does not fit).
      const std::size_t room = capacity - length;
      GetTempPathW(static_cast<DWORD>(room), destination + length);
      const std::size_t added = wcsnlen(destination + length, room);
      if (added == room) abnormal_end();
      length += added;
      strip_backslashes = true;
      break;
    }
    case variable::program:
      append_value(destination, length, capacity, program_name());
      break;
    case variable::program_base:
    case variable::program_dir: {
      wchar_t* added = destination + length;
      if (!expand_path_spec(added, L"{PROGRAM}", capacity - length)) return false;
      std::size_t added_length = std::wcslen(added);
      if (kind == variable::program_base) {
        if (ends_with_exe(added, added_length)) added_length -= 4;
      } else if (const wchar_t* separator = std::wcsrchr(added, L'\\')) {
        added_length = static_cast<std::size_t>(separator - added);
      }
      added[added_length] = L'\0';
      length += added_length;
      break;
    }
    case variable::pid:
      append_pid(destination, length, capacity);
      break;
    case variable::cache_dir:
      if (!append_shell_folder(destination, CSIDL_LOCAL_APPDATA, capacity)) return false;
      length += std::wcslen(destination + length);
      strip_backslashes = true;
      break;
    case variable::home:
    case variable::local_appdata: {
      const bool home = kind == variable::home;
      if (const wchar_t* folder = folder_from_environment(home ? "USERPROFILE" : "LOCALAPPDATA")) {
        append_value(destination, length, capacity, folder);
      } else if (!append_shell_folder(destination, home ? CSIDL_PROFILE : CSIDL_LOCAL_APPDATA,
                                      capacity)) {
        return false;
      } else {
        length += std::wcslen(destination + length);
      }
      strip_backslashes = true;
      break;
    }
    case variable::digest:
      if (!append_digest(destination, length, capacity)) return false;
      break;
    case variable::company:
      append_value(destination, length, capacity, onefile_company);
      break;
    case variable::product:
      append_value(destination, length, capacity, onefile_product);
      break;
    case variable::version:
    case variable::file_version:
    case variable::product_version:
      append_value(destination, length, capacity, onefile_version);
      break;
    case variable::random:
    case variable::time_us:
    case variable::time:
      append_recorded(destination, length, capacity, kind);
      break;
    case variable::unknown:
      return false;
  }
  if (strip_backslashes) {
    // The whole result, not only the value: an empty value leaves the text before it exposed.
    while (length > 0 && destination[length - 1] == L'\\') destination[--length] = L'\0';
  }
  return true;
}

}  // namespace

void encode_random_name(const std::uint8_t (&bytes)[random_byte_count],
                        wchar_t (&name)[random_name_length + 1]) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::uint64_t bits = 0;  // the eight bytes, the first one most significant
  for (const std::uint8_t byte : bytes) bits = (bits << 8) | byte;
  for (std::size_t i = 0; i < 10; ++i) name[i] = alphabet[(bits >> (58 - 6 * i)) & 0x3F];
  // The last group has four bits, filled up with two zero bits.
  name[10] = alphabet[(bits & 0xF) << 2];
  name[random_name_length] = L'\0';
}

bool (*random_source)(std::uint8_t (&bytes)[random_byte_count]) = system_random_bytes;

bool make_random_name(wchar_t (&name)[random_name_length + 1]) {
  std::uint8_t bytes[random_byte_count];
  if (!random_source(bytes)) return false;
  encode_random_name(bytes, name);
  return true;
}

void format_time_us(std::int64_t filetime, wchar_t (&text)[32]) {
  format_decimal(text, 32, static_cast<long>((filetime / 10) % 1000000), 6);
}

void format_time(std::int64_t filetime, wchar_t (&text)[32]) {
  format_decimal(text, 32, static_cast<long long>(filetime));
}

bool append_shell_folder(wchar_t* destination, int csidl, std::size_t capacity) {
  wchar_t folder[MAX_PATH];
  const auto folder_path = shell32_function<decltype(&SHGetFolderPathW)>("SHGetFolderPathW");
  if (folder_path == nullptr) return false;
  if (folder_path(nullptr, csidl, nullptr, 0, folder) != S_OK) return false;
  std::size_t length = std::wcslen(destination);
  append_value(destination, length, capacity, folder);
  return true;
}

bool expand_path_spec(wchar_t* destination, const wchar_t* spec, std::size_t capacity) {
  if (capacity == 0) abnormal_end();
  destination[0] = L'\0';
  std::size_t length = 0;
  return walk_path_spec(
      spec,
      [&](wchar_t unit) {
        // Literal text only makes the expansion fail when it has no room.
        if (capacity - length < 2) return false;
        destination[length++] = unit;
        destination[length] = L'\0';
        return true;
      },
      [&](variable kind, const wchar_t*, std::size_t) {
        return append_variable(destination, length, capacity, kind);
      });
}

bool is_fully_qualified_path(const wchar_t* path) {
  return is_fully_qualified_path<wchar_t>(path);
}

void make_target_directory_absolute(const wchar_t* spec) {
  // Files unpacked relative to the current directory would land wherever the launch happens to
  // be started from, a folder that other users may control.
  if (!is_fully_qualified_path(target_directory)) fatal_relative_target_error(spec);
  wchar_t full_path[wide_path_capacity];
  const DWORD length = GetFullPathNameW(target_directory, wide_path_capacity, full_path, nullptr);
  if (length == 0 || length > wide_path_capacity - 1) abnormal_end();
  copy_bounded(target_directory, full_path, wide_path_capacity);
}
