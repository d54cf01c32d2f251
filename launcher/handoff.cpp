// Library search and the main-module hand-off (child role).
#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/launcher.h"
#include "launcher/state.h"

void restrict_library_search() {
  // For a library loaded by name that is not a known DLL, Windows looks in the executable's own
  // folder first (a Downloads folder, with whatever else was saved there), then in the current
  // directory and along PATH. The launcher loads its libraries (shell32, user32, bcrypt and what
  // they import in turn) from the system folder alone; the C runtime and the system's own loads
  // after this point follow the same rule, since this sets the process's default directories.
  // The executable imports nothing but kernel32 and msvcrt, known DLLs that always come from
  // the system folder, so nothing is loaded by name before this.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

int hand_off_to_main_module(int argument_count, wchar_t** arguments) {
  // The application's libraries are found in the unpack directory, its own folder, and in the
  // system folder; never beside the launcher, in the current directory or along PATH. That holds
  // for the main module's imports (its own folder, with the flags below) and for the
  // application's own LoadLibraryW calls by bare name (the process's default directories: the
  // directories added here, then the system folder).
  AddDllDirectory(target_directory);
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS);
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
