// Ends its run through the diagnostics operation that its first argument names.
#include <cstdlib>
#include <cwchar>
#include <string>

#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"

namespace {

// Instead of a message box: "dialog <caption>|<text>" on standard output, in UTF-8.
void record_dialog(const wchar_t* text, const wchar_t* caption) {
  static char bytes[65536];
  std::wstring line = std::wstring(L"dialog ") + caption + L"|" + text + L"\n";
  const int length = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                         bytes, sizeof bytes, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, static_cast<DWORD>(length), &written, nullptr);
}

// A console shared with another process, as with the shell that a launch was started from.
unsigned long shared_console(unsigned long* ids, unsigned long capacity) {
  if (capacity >= 2) {
    ids[0] = 4;
    ids[1] = GetCurrentProcessId();
  }
  return 2;
}

}  // namespace

// Options before the mode: "dialog" shows messages that no handle takes (through record_dialog),
// "no-stderr" and "bad-stderr" take standard error away, "console-stderr" makes it the process's
// console, "shared-console" lists another process on that console, "language N" asks for the
// system's texts in language N first.
int wmain(int argc, wchar_t** argv) {
  show_error_dialog = record_dialog;
  int first = 1;
  for (; first < argc; ++first) {
    const std::wstring_view option = argv[first];
    if (option == L"dialog") {
      enable_error_dialog(L"Probe \u00c9dition");
    } else if (option == L"no-stderr") {
      SetStdHandle(STD_ERROR_HANDLE, nullptr);
    } else if (option == L"bad-stderr") {
      SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(0x7ff0));
    } else if (option == L"console-stderr") {
      SetStdHandle(STD_ERROR_HANDLE, CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, 0, nullptr));
    } else if (option == L"shared-console") {
      console_process_list = shared_console;
    } else if (option == L"language" && first + 1 < argc) {
      system_message_language = static_cast<std::uint32_t>(std::wcstoul(argv[++first], nullptr, 0));
    } else {
      break;
    }
  }
  argc -= first - 1;
  argv += first - 1;
  if (argc < 2) return 100;
  const std::wstring_view mode = argv[1];
  const auto code = [&] { return static_cast<std::uint32_t>(std::wcstoul(argv[2], nullptr, 0)); };
  if (mode == L"plain") fatal_error("Error, plain.");
  if (mode == L"system") fatal_system_error("Error, system.", code());
  if (mode == L"path-system") {
    fatal_path_system_error("Error, couldn't start '", L"C:\\app\\lua54.dll", "'", code());
  }
  if (mode == L"launch") fatal_launch_error(code());
  if (mode == L"header") fatal_header_error();
  if (mode == L"decode") fatal_decode_error();
  if (mode == L"memory") fatal_out_of_memory();
  if (mode == L"unpack") {
    SetLastError(code());
    fatal_unpack_error();
  }
  if (mode == L"open") {
    std::wcscpy(entry_path,
                L"C:\\target\\\u041f\u0430\u043f\u043a\u0430\\\u6587\u4ef6\\\U0001F600.txt");
    fatal_open_error(entry_path);
  }
  if (mode == L"spec") fatal_spec_error(L"{TEMP}\\onefile_{PID}");
  if (mode == L"abort") abnormal_end();
  return 101;
}
