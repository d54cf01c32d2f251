#include "diagnostics/diagnostics.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <windows.h>

#include "launcher/state.h"

namespace {

std::atomic<void (*)()> failure_cleanup{nullptr};

// The failure's message is out first, so that it is seen even when the removal takes its time.
void before_failure_exit() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (void (*cleanup)() = failure_cleanup.exchange(nullptr)) cleanup();
}

[[noreturn]] void failure_exit() {
  before_failure_exit();
  std::exit(2);
}

}  // namespace

void set_failure_cleanup(void (*cleanup)()) {
  failure_cleanup.store(cleanup);
}

void trim_line_ends(char* text) {
  std::size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
    text[--length] = '\0';
  }
}

void fatal_error(const char* message) {
  std::puts(message);
  failure_exit();
}

void print_system_error(const char* message, std::uint32_t code) {
  char* system_text = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  // The buffer is never released: the process ends right after the line is written.
  DWORD stored =
      FormatMessageA(flags, nullptr, code, 1033, reinterpret_cast<char*>(&system_text), 0, nullptr);
  if (stored == 0 || system_text == nullptr) {
    system_text = const_cast<char*>("");  // the system has no text for this code
  } else {
    trim_line_ends(system_text);
  }
  std::fprintf(stderr, "%s ([Error %ld] %s)\n", message,
               static_cast<long>(static_cast<int32_t>(code)), system_text);
}

void fatal_system_error(const char* message, std::uint32_t code) {
  print_system_error(message, code);
  failure_exit();
}

void fatal_open_error() {
  std::fprintf(stderr, "Error, failed to open '%ls' for writing.\n", entry_path);
  failure_exit();
}

void fatal_target_exists_error() {
  std::fprintf(stderr, "Error, target directory '%ls' already exists.\n", target_directory);
  failure_exit();
}

void fatal_target_create_error(std::uint32_t code) {
  static char message[wide_path_capacity * 3 + 64];
  std::snprintf(message, sizeof message, "Error, couldn't create target directory '%ls'.",
                target_directory);
  fatal_system_error(message, code);
}

void fatal_not_kept_error() {
  std::fprintf(stderr, "Error, target directory '%ls' exists but was not kept by this launcher.\n",
               target_directory);
  failure_exit();
}

void fatal_kept_in_use_error() {
  std::fprintf(stderr, "Error, kept directory '%ls' doesn't match this launcher and is in use.\n",
               target_directory);
  failure_exit();
}

void fatal_keep_move_error(std::uint32_t code) {
  static char message[wide_path_capacity * 3 + 64];
  std::snprintf(message, sizeof message, "Error, couldn't move the unpacked files to '%ls'.",
                kept_directory);
  fatal_system_error(message, code);
}

void fatal_intrusion_error(const wchar_t* path) {
  std::fprintf(stderr, "Error, '%ls' was made by another process in the target directory.\n", path);
  failure_exit();
}

void fatal_spec_error(const wchar_t* spec) {
  std::fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", spec);
  // The abnormal end discards buffered output: make sure this line gets out first.
  std::fflush(stderr);
  abnormal_end();
}

void abnormal_end() {
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
  fatal_system_error("Error, couldn't unpack file to target path.", GetLastError());
}
void fatal_launch_error(std::uint32_t code) {
  fatal_system_error("Error, couldn't launch child", code);
}
