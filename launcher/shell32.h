// shell32 on demand. Loading it brings in much of the windowing system (under Wine about 7 ms),
// which a child that only hands off to the main module never needs; so the launcher imports
// nothing from it and looks each function up when it is first used.
#pragma once

#include <windows.h>

// A shell32 export, or null when shell32 or the export can't be had. The library stays loaded.
template <typename Function>
Function shell32_function(const char* name) {
  // A known DLL: always the one in the system directory.
  HMODULE shell32 = LoadLibraryW(L"shell32.dll");
  if (shell32 == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(shell32, name)));
}
