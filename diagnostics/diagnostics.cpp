#include "diagnostics/diagnostics.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <windows.h>

#include "launcher/made_once.h"
#include "launcher/state.h"

namespace {

std::atomic<void (*)()> failure_cleanup{nullptr};
const wchar_t* error_dialog_caption = nullptr;

// One message line: two paths and the system's text fit whole.
constexpr std::size_t line_capacity = wide_path_capacity * 2 + 1024;
wchar_t line[line_capacity];
std::size_t line_length;
char encoded_line[line_capacity * 3];

void append(const wchar_t* text) {
  for (; *text != L'\0' && line_length + 1 < line_capacity; ++text) line[line_length++] = *text;
  line[line_length] = L'\0';
}

// The launcher's own texts are ASCII.
void append(const char* text) {
  for (; *text != '\0' && line_length + 1 < line_capacity; ++text) {
    line[line_length++] = static_cast<unsigned char>(*text);
  }
  line[line_length] = L'\0';
}

void start_line(const char* text) {
  line_length = 0;
  line[0] = L'\0';
  append(text);
}

bool interactive_window_station();

unsigned long system_console_process_list(unsigned long* ids, unsigned long capacity) {
  return GetConsoleProcessList(ids, capacity);
}

// A console that the system made for this launch (a console launcher started from Explorer or a
// shortcut) closes when the launch ends, and the message with it: true when every process
// attached to it is this one or the parent of its launch, which its child finds named in
// VESKAR_ONEFILE_PARENT (a console shared with a shell lists the shell too).
bool console_is_the_launchs_own() {
  unsigned long ids[4];
  const unsigned long count = console_process_list(ids, 4);
  if (count == 0 || count > 4) return false;
  wchar_t text[16];
  const DWORD length = GetEnvironmentVariableW(L"VESKAR_ONEFILE_PARENT", text, 16);
  const unsigned long parent = length > 0 && length < 16 ? std::wcstoul(text, nullptr, 10) : 0;
  for (unsigned long i = 0; i < count; ++i) {
    if (ids[i] != GetCurrentProcessId() && (ids[i] != parent || parent == 0)) return false;
  }
  return true;
}

// Writes the line to a standard handle, whole: a console gets it as UTF-16, a pipe or a file as
// UTF-8. Where no one can see it (no handle, not a valid one, or a console that closes with the
// launch), a graphical session shows it in a message box too; a service or a task without a
// desktop never does, since the box would wait there for good.
void write_line(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  // Written where someone will read it.
  bool seen = false;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    DWORD mode = 0;
    DWORD count = 0;
    if (GetConsoleMode(handle, &mode)) {
      seen = WriteConsoleW(handle, line, static_cast<DWORD>(line_length), &count, nullptr) &&
             WriteConsoleW(handle, L"\r\n", 2, &count, nullptr) &&
             (error_dialog_caption == nullptr || !console_is_the_launchs_own());
    } else {
      const int length =
          WideCharToMultiByte(CP_UTF8, 0, line, static_cast<int>(line_length), encoded_line,
                              static_cast<int>(sizeof encoded_line - 2), nullptr, nullptr);
      encoded_line[length] = '\r';
      encoded_line[length + 1] = '\n';
      seen = WriteFile(handle, encoded_line, static_cast<DWORD>(length + 2), &count, nullptr) ||
             GetLastError() != ERROR_INVALID_HANDLE;
    }
  }
  if (!seen && error_dialog_caption != nullptr && interactive_window_station()) {
    show_error_dialog(line, error_dialog_caption);
  }
}

void load_user32(HMODULE& module) {
  module = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE user32() {
  return made_once<HMODULE, load_user32>();
}

bool interactive_window_station() {
  using get_station = HWINSTA(WINAPI*)();
  using get_information = BOOL(WINAPI*)(HANDLE, int, void*, DWORD, DWORD*);
  HMODULE module = user32();
  if (module == nullptr) return false;
  const auto station = reinterpret_cast<get_station>(
      reinterpret_cast<void*>(GetProcAddress(module, "GetProcessWindowStation")));
  const auto information = reinterpret_cast<get_information>(
      reinterpret_cast<void*>(GetProcAddress(module, "GetUserObjectInformationW")));
  if (station == nullptr || information == nullptr) return false;
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  HWINSTA handle = station();
  return handle != nullptr && information(handle, UOI_FLAGS, &flags, sizeof flags, &needed) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

void show_in_message_box(const wchar_t* text, const wchar_t* caption) {
  using message_box = int(WINAPI*)(HWND, const wchar_t*, const wchar_t*, UINT);
  HMODULE module = user32();
  const auto show = module == nullptr ? nullptr
                                      : reinterpret_cast<message_box>(reinterpret_cast<void*>(
                                            GetProcAddress(module, "MessageBoxW")));
  if (show != nullptr) show(nullptr, text, caption, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

// The system's text with its inserts ("%1" to "%99", which FORMAT_MESSAGE_IGNORE_INSERTS leaves
// as they are) replaced by the path, or dropped when there is none.
void append_filling_inserts(const wchar_t* text, const wchar_t* insert) {
  static wchar_t filled[2048];
  std::size_t length = 0;
  const auto add = [&](wchar_t unit) {
    if (length + 1 < sizeof filled / sizeof filled[0]) filled[length++] = unit;
  };
  for (const wchar_t* unit = text; *unit != L'\0'; ++unit) {
    if (unit[0] != L'%' || unit[1] < L'1' || unit[1] > L'9') {
      add(*unit);
      continue;
    }
    unit += unit[2] >= L'0' && unit[2] <= L'9' ? 2 : 1;
    if (insert != nullptr) {
      for (const wchar_t* part = insert; *part != L'\0'; ++part) add(*part);
    } else if (length > 0 && filled[length - 1] == L' ' && (unit[1] == L' ' || unit[1] == L'.')) {
      --length;  // "for %1." becomes "for.", "%1 is" becomes " is"
    }
  }
  filled[length] = L'\0';
  append(filled);
}

// The system's text for a code: in English where the system has it, else in the user's language.
void append_system_text(std::uint32_t code, const wchar_t* insert) {
  static wchar_t system_text[2048];
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD stored = FormatMessageW(flags, nullptr, code, system_message_language, system_text,
                                sizeof system_text / sizeof system_text[0], nullptr);
  if (stored == 0) {
    stored = FormatMessageW(flags, nullptr, code, 0, system_text,
                            sizeof system_text / sizeof system_text[0], nullptr);
  }
  if (stored == 0) system_text[0] = L'\0';  // the system has no text for this code
  trim_line_ends(system_text);
  append_filling_inserts(system_text, insert);
}

void append_system_error(std::uint32_t code, const wchar_t* insert = nullptr) {
  char number[16];
  format_decimal(number, sizeof number, static_cast<std::int32_t>(code));
  append(" ([Error ");
  append(number);
  append("] ");
  append_system_text(code, insert);
  append(")");
}

// The thread whose failure ends the run; 0 before any.
std::atomic<DWORD> failing_thread{0};
std::atomic<void (*)()> failure_bystander{nullptr};

// Several threads unpack at once and may fail at once (a full disk fails every writer): the first
// one reports and cleans up, any other waits for it to end the process. The thread that holds
// the failure may fail again on its way out (a text too long for its buffer, say) and goes on.
void claim_failure() {
  const DWORD self = GetCurrentThreadId();
  DWORD holder = 0;
  if (failing_thread.compare_exchange_strong(holder, self) || holder == self) return;
  if (void (*release)() = failure_bystander.load()) release();
  for (;;) Sleep(INFINITE);
}

// The failure's message is out first, so that it is seen even when the removal takes its time.
void before_failure_exit() {
  if (void (*cleanup)() = failure_cleanup.exchange(nullptr)) cleanup();
}

[[noreturn]] void failure_exit() {
  before_failure_exit();
  std::exit(2);
}

}  // namespace

void (*show_error_dialog)(const wchar_t* text, const wchar_t* caption) = show_in_message_box;
unsigned long (*console_process_list)(unsigned long* ids,
                                      unsigned long capacity) = system_console_process_list;
std::uint32_t system_message_language = 1033;

void enable_error_dialog(const wchar_t* caption) {
  error_dialog_caption = caption;
}

void set_failure_bystander(void (*release)()) {
  failure_bystander.store(release);
}

void set_failure_cleanup(void (*cleanup)()) {
  failure_cleanup.store(cleanup);
}

void trim_line_ends(wchar_t* text) {
  std::size_t length = std::wcslen(text);
  while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) {
    text[--length] = L'\0';
  }
}

void fatal_error(const char* message) {
  claim_failure();
  start_line(message);
  write_line(STD_OUTPUT_HANDLE);
  failure_exit();
}

void print_system_error(const char* message, std::uint32_t code) {
  start_line(message);
  append_system_error(code);
  write_line(STD_ERROR_HANDLE);
}

void fatal_system_error(const char* message, std::uint32_t code) {
  claim_failure();
  print_system_error(message, code);
  failure_exit();
}

void fatal_path_system_error(const char* before, const wchar_t* path, const char* after,
                             std::uint32_t code) {
  claim_failure();
  start_line(before);
  append(path);
  append(after);
  append_system_error(code, path);
  write_line(STD_ERROR_HANDLE);
  failure_exit();
}

namespace {

// One line on standard error, "<before><path><after>", then exit code 2.
[[noreturn]] void fatal_path_error(const char* before, const wchar_t* path, const char* after) {
  claim_failure();
  start_line(before);
  append(path);
  append(after);
  write_line(STD_ERROR_HANDLE);
  failure_exit();
}

}  // namespace

void fatal_open_error(const wchar_t* path) {
  fatal_path_error("Error, failed to open '", path, "' for writing.");
}

void fatal_target_exists_error() {
  fatal_path_error("Error, target directory '", target_directory, "' already exists.");
}

void fatal_target_create_error(std::uint32_t code) {
  fatal_path_system_error("Error, couldn't create target directory '", target_directory, "'.",
                          code);
}

void fatal_not_kept_error() {
  fatal_path_error("Error, target directory '", target_directory,
                   "' exists but was not kept by this launcher.");
}

void fatal_kept_name_error(std::uint32_t code) {
  fatal_path_system_error("Error, kept directory '", kept_directory, "' is not a valid path.",
                          code);
}

void fatal_kept_in_use_error() {
  fatal_path_error("Error, kept directory '", target_directory,
                   "' doesn't match this launcher and is in use.");
}

void fatal_keep_move_error(std::uint32_t code) {
  fatal_path_system_error("Error, couldn't move the unpacked files to '", kept_directory, "'.",
                          code);
}

void fatal_intrusion_error(const wchar_t* path) {
  fatal_path_error("Error, '", path, "' was made by another process in the target directory.");
}

void fatal_unprotected_target_error(bool no_acls) {
  fatal_path_error("Error, target directory '", target_directory,
                   no_acls ? "' is on a volume that keeps no access rights (FAT, exFAT), outside "
                             "your profile and temporary folder."
                           : "' didn't keep the access rights it was made with.");
}

void fatal_replaced_target_error() {
  fatal_path_error("Error, target directory '", target_directory,
                   "' was moved or replaced while it was made.");
}

void fatal_relative_target_error(const wchar_t* spec) {
  claim_failure();
  start_line("Error, target spec '");
  append(spec);
  append("' expands to '");
  append(target_directory);
  append("', a path relative to the current directory.");
  write_line(STD_ERROR_HANDLE);
  failure_exit();
}

void fatal_spec_error(const wchar_t* spec) {
  claim_failure();
  start_line("Error, couldn't runtime expand spec '");
  append(spec);
  append("'.");
  write_line(STD_ERROR_HANDLE);
  abnormal_end();
}

void abnormal_end() {
  claim_failure();
  // Not the runtime's abort(): msvcrt.dll's shows a modal "Runtime Error" box in a graphical
  // program on Windows (it has no _set_abort_behavior), and the process would wait on it. Ending
  // the process directly runs no exit processing and flushes nothing, as an abort would.
  if (void (*cleanup)() = failure_cleanup.exchange(nullptr)) cleanup();
  TerminateProcess(GetCurrentProcess(), abnormal_end_code);
  for (;;) Sleep(INFINITE);  // never reached: the call does not return for the own process
}

void fatal_header_error() {
  fatal_error("Error, couldn't find attached data header.");
}
void fatal_decode_error() {
  fatal_error("Error, couldn't decode attached data.");
}
void fatal_out_of_memory() {
  fatal_error("Error, couldn't allocate memory.");
}
void fatal_unpack_error() {
  const DWORD code = GetLastError();
  claim_failure();
  fatal_system_error("Error, couldn't unpack file to target path.", code);
}
void fatal_launch_error(std::uint32_t code) {
  fatal_system_error("Error, couldn't launch child", code);
}
