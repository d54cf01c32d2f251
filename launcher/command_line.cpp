// The user's own argument text, passed on untouched: the child and a program that the stock runner
// starts get their program's path followed by exactly what the user typed after the first token.
#include <cstdint>
#include <cwctype>

#include "launcher/launcher.h"

const wchar_t* arguments_after_program_name(const wchar_t* command_line) {
  const wchar_t* position = command_line;
#if defined(_UCRT) || defined(_MSC_VER)
  // The universal runtime: quotes toggle, and the name ends at a blank or tab outside them.
  bool quoted = false;
  while (*position != L'\0' && (quoted || (*position != L' ' && *position != L'\t'))) {
    if (*position == L'"') quoted = !quoted;
    ++position;
  }
#else
  // msvcrt (and CommandLineToArgvW): a quoted name runs to the next quote, an unquoted one to the
  // first blank or tab; the first argument may start right after the closing quote.
  if (*position == L'"') {
    ++position;
    while (*position != L'\0' && *position != L'"') ++position;
    if (*position == L'"') ++position;
  } else {
    while (*position != L'\0' && *position != L' ' && *position != L'\t') ++position;
  }
#endif
  return position;
}

bool join_command_line(const wchar_t* program, const wchar_t* arguments, wchar_t* line,
                       std::size_t capacity) {
  std::size_t length = 0;
  const auto append = [&](const wchar_t* text) {
    for (; *text != L'\0'; ++text) {
      if (length + 1 >= capacity) return false;
      line[length++] = *text;
    }
    return true;
  };
  // A path holds no double quote, so quoting it needs no escapes. The blank keeps an argument
  // that followed a quoted name directly an argument of its own under either runtime's rule.
  const bool needs_separator =
      arguments[0] != L'\0' && arguments[0] != L' ' && arguments[0] != L'\t';
  const bool fits = append(L"\"") && append(program) && append(L"\"") &&
                    (!needs_separator || append(L" ")) && append(arguments);
  line[length] = L'\0';
  return fits;
}

// A process id as the launcher writes it into its child's environment, nothing around it. Kept
// here, away from the role decision, so that the stock runner links none of the unpacking.
bool parse_process_id(const wchar_t* text, std::int32_t* value) {
  while (std::iswspace(*text)) ++text;
  bool negative = false;
  if (*text == L'+' || *text == L'-') negative = *text++ == L'-';
  if (*text < L'0' || *text > L'9') return false;
  std::int64_t magnitude = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    magnitude = magnitude * 10 + (*text - L'0');
    if (magnitude > 2147483648LL) return false;
  }
  if (*text != L'\0') return false;
  const std::int64_t number = negative ? -magnitude : magnitude;
  if (number > INT32_MAX || number < INT32_MIN) return false;
  *value = static_cast<std::int32_t>(number);
  return true;
}
