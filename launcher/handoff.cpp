// Main-module hand-off (child role).
#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/launcher.h"
#include "launcher/state.h"

int hand_off_to_main_module(int argument_count, wchar_t** arguments) {
  // The main module's own libraries are found beside it, never beside the launcher: for this
  // load (a user directory), and for the application's own LoadLibraryW calls by bare name, which
  // search the DLL directory but no user directories.
  AddDllDirectory(target_directory);
  SetDllDirectoryW(target_directory);
  HMODULE main_module =
      LoadLibraryExW(main_module_path, nullptr,
                     LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                         LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (main_module == nullptr) fatal_system_error("Error, load DLL.", GetLastError());
  auto run_code = reinterpret_cast<run_code_function>(
      reinterpret_cast<void*>(GetProcAddress(main_module, "run_code")));
  if (run_code == nullptr) fatal_error("Error, DLL entry point not found.");
  return run_code(argument_count, arguments, main_module_path);
}
