// The launcher's environment variables: narrow ASCII names, UTF-16 values.
#include <cstdlib>
#include <cwchar>

#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "paths/paths.h"

namespace {

// At most 39 characters and the NUL.
constexpr std::size_t name_capacity = 40;
// The longest value the system keeps (32767 units) and the NUL.
constexpr std::size_t value_capacity = 32768;

wchar_t value_buffer[value_capacity];

// Widens each byte on its own through the runtime's conversion; anything but exactly one unit per
// byte, or a name that does not fit, ends the run.
void widen_name(const char* name, wchar_t (&wide)[name_capacity]) {
  std::size_t length = 0;
  for (; name[length] != '\0'; ++length) {
    if (length + 1 >= name_capacity) abnormal_end();
    const char byte[2] = {name[length], '\0'};
    wchar_t unit[2] = {};
    if (std::mbstowcs(unit, byte, 2) != 1) abnormal_end();
    wide[length] = unit[0];
  }
  wide[length] = L'\0';
}

}  // namespace

wchar_t* get_env_var(const char* name) {
  wchar_t wide_name[name_capacity];
  widen_name(name, wide_name);
  const DWORD length = GetEnvironmentVariableW(wide_name, value_buffer, value_capacity);
  // 0 is absent or empty; a length of the whole buffer or more does not fit.
  if (length == 0 || length >= value_capacity) return nullptr;
  auto* copy = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
  if (copy == nullptr) return nullptr;
  std::wmemcpy(copy, value_buffer, length + 1);
  return copy;
}

bool set_env_var(const char* name, const wchar_t* value) {
  wchar_t wide_name[name_capacity];
  widen_name(name, wide_name);
  return SetEnvironmentVariableW(wide_name, value) != 0;
}

void unset_env_var(const char* name) {
  wchar_t wide_name[name_capacity];
  widen_name(name, wide_name);
  SetEnvironmentVariableW(wide_name, nullptr);
}
