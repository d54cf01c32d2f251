#include "diagnostics/diagnostics.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <windows.h>

#include "launcher/state.h"

void trim_line_ends(char* text) {
  std::size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
    text[--length] = '\0';
  }
}

void fatal_error(const char* message) {
  std::puts(message);
  std::exit(2);
}

void print_system_error(const char* message, std::uint32_t code) {
  char* system_text = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  // The buffer is never released: the process ends right after the line is written.
  DWORD stored = FormatMessageA(flags, nullptr, code, 1033, reinterpret_cast<char*>(&system_text),
                                0, nullptr);
  if (stored == 0 || system_text == nullptr) {
    system_text = const_cast<char*>("");  // the system has no text for this code
  } else {
    trim_line_ends(system_text);
  }
  std::fprintf(stderr, "%s ([Error %ld] %s)\n", message, static_cast<long>(static_cast<int32_t>(code)),
               system_text);
}

void fatal_system_error(const char* message, std::uint32_t code) {
  print_system_error(message, code);
  std::exit(2);
}

void fatal_open_error() {
  std::fprintf(stderr, "Error, failed to open '%ls' for writing.\n", entry_path);
  std::exit(2);
}

void fatal_spec_error(const wchar_t* spec) {
  std::fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", spec);
  // The abnormal end discards buffered output: make sure this line gets out first.
  std::fflush(stderr);
  abnormal_end();
}

void abnormal_end() {
  // No "abnormal program termination" text and no fault report from the runtime. The older
  // msvcrt.dll that MinGW links against may lack the switch, so it is looked up.
  using set_abort_behavior_function = unsigned int(__cdecl*)(unsigned int, unsigned int);
  for (const char* runtime : {"ucrtbase.dll", "msvcrt.dll"}) {
    if (HMODULE module = GetModuleHandleA(runtime)) {
      auto set_abort_behavior = reinterpret_cast<set_abort_behavior_function>(
          reinterpret_cast<void*>(GetProcAddress(module, "_set_abort_behavior")));
      if (set_abort_behavior != nullptr) set_abort_behavior(0, 0x1 | 0x2);
    }
  }
  std::abort();
}

void fatal_header_error() { fatal_error("Error, couldn't find attached data header."); }
void fatal_decode_error() { fatal_error("Error, couldn't decode attached data."); }
void fatal_out_of_memory() { fatal_error("Error, couldn't allocate memory."); }
void fatal_unpack_error() {
  fatal_system_error("Error, couldn't unpack file to target path.", GetLastError());
}
void fatal_launch_error(std::uint32_t code) { fatal_system_error("Error, couldn't launch child", code); }
