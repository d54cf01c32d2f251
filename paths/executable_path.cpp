// The launcher's own executable path: as the system reports it (plain), and as the final path of
// the file with a short directory part (resolved), which is what parent and child compare.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "paths/paths.h"

void copy_bounded(wchar_t* destination, const wchar_t* source, std::size_t capacity) {
  const std::size_t length = std::wcslen(source);
  if (length >= capacity) abnormal_end();
  std::memmove(destination, source, (length + 1) * sizeof(wchar_t));
}

void strip_final_path_prefix(wchar_t* path) {
  if (std::wcsncmp(path, L"\\\\?\\", 4) != 0) return;
  const std::size_t length = std::wcslen(path);
  if (length >= 6 && path[5] == L':') {
    // "\\?\C:\..." becomes "C:\...".
    std::memmove(path, path + 4, (length - 4 + 1) * sizeof(wchar_t));
  } else if (std::wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
    // "\\?\UNC\server\share" becomes "\\server\share".
    std::memmove(path + 2, path + 8, (length - 8 + 1) * sizeof(wchar_t));
  }
  // Volume names ("\\?\Volume{...}") have no shorter form and stay.
}

bool long_path_form(const wchar_t* path, wchar_t* destination, std::size_t capacity) {
  const wchar_t* prefix = L"";
  const wchar_t* rest = path;
  if (path[0] != L'\0' && path[1] == L':' && path[2] == L'\\') {
    prefix = L"\\\\?\\";  // "C:\..." becomes "\\?\C:\..."
  } else if (path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' && path[2] != L'.') {
    prefix = L"\\\\?\\UNC\\";  // "\\server\share" becomes "\\?\UNC\server\share"
    rest = path + 2;
  }
  const std::size_t prefix_length = std::wcslen(prefix);
  const std::size_t rest_length = std::wcslen(rest);
  if (prefix_length + rest_length >= capacity) return false;
  std::wmemcpy(destination, prefix, prefix_length);
  std::wmemcpy(destination + prefix_length, rest, rest_length + 1);
  return true;
}

void resolve_final_path(wchar_t* path, std::size_t capacity) {
  // No access rights: only the handle's name is wanted, even from a running executable.
  HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;

  // Looked up at run time: systems before Vista lack it, and then the path keeps its form.
  using final_path_function = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
  DWORD length = 0;
  if (HMODULE kernel = GetModuleHandleA("Kernel32.dll")) {
    auto get_final_path = reinterpret_cast<final_path_function>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetFinalPathNameByHandleW")));
    if (get_final_path != nullptr) {
      length = get_final_path(file, path, static_cast<DWORD>(capacity), 0);
    }
  }
  CloseHandle(file);
  if (length >= capacity) abnormal_end();
  strip_final_path_prefix(path);
}

void shorten_directory_part(wchar_t* path, std::size_t capacity) {
  wchar_t* last_component = nullptr;
  if (wchar_t* separator = std::wcsrchr(path, L'\\')) {
    const std::size_t length = std::wcslen(separator + 1);
    last_component = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
    // Losing the file name would make the path name its directory.
    if (last_component == nullptr) abnormal_end();
    std::wmemcpy(last_component, separator + 1, length + 1);
    *separator = L'\0';
  }

  // 0: the directory does not exist or has no short form to give; it stays as it is.
  const DWORD needed = GetShortPathNameW(path, nullptr, 0);
  if (needed != 0) {
    auto* scratch = static_cast<wchar_t*>(std::malloc((needed + 1) * sizeof(wchar_t)));
    if (scratch == nullptr) abnormal_end();
    const DWORD length = GetShortPathNameW(path, scratch, needed);
    if (length > needed) abnormal_end();
    // The directory may have gone since the first query; then it keeps its form.
    if (length != 0) copy_bounded(path, scratch, capacity);
    std::free(scratch);
  }

  if (last_component != nullptr) {
    const std::size_t directory_length = std::wcslen(path);
    const std::size_t component_length = std::wcslen(last_component);
    if (directory_length + 1 + component_length >= capacity) abnormal_end();
    path[directory_length] = L'\\';
    std::wmemcpy(path + directory_length + 1, last_component, component_length + 1);
    std::free(last_component);
  }
}

wchar_t* get_executable_path(executable_path_form form) {
  const bool resolved = form == executable_path_form::resolved;
  wchar_t* path = resolved ? resolved_executable_path : plain_executable_path;
  if (path[0] != L'\0') return path;

  const DWORD length = GetModuleFileNameW(nullptr, path, executable_path_capacity);
  if (length == 0) {
    // Left empty, so that the next request asks again.
    path[0] = L'\0';
    return path;
  }
  // A full buffer means a cut-off name, which must never be used as a path.
  if (length >= executable_path_capacity) abnormal_end();
  if (resolved) {
    resolve_final_path(path, executable_path_capacity);
    shorten_directory_part(path, executable_path_capacity);
  }
  return path;
}
