// Ends its run through the diagnostics operation that its first argument names.
#include <cstdlib>
#include <cwchar>

#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 100;
  const std::wstring_view mode = argv[1];
  const auto code = [&] { return static_cast<std::uint32_t>(std::wcstoul(argv[2], nullptr, 0)); };
  if (mode == L"plain") fatal_error("Error, plain.");
  if (mode == L"system") fatal_system_error("Error, system.", code());
  if (mode == L"launch") fatal_launch_error(code());
  if (mode == L"header") fatal_header_error();
  if (mode == L"decode") fatal_decode_error();
  if (mode == L"memory") fatal_out_of_memory();
  if (mode == L"unpack") {
    SetLastError(code());
    fatal_unpack_error();
  }
  if (mode == L"open") {
    std::wcscpy(entry_path, L"C:\\target\\sub\\file.txt");
    fatal_open_error(entry_path);
  }
  if (mode == L"spec") fatal_spec_error(L"{TEMP}\\onefile_{PID}");
  if (mode == L"abort") abnormal_end();
  return 101;
}
