// The launcher's own text handling: the child's command line and the parent's process id.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "launcher/launcher.h"
#include "launcher/state.h"

namespace {

std::wstring line_for(const std::wstring& program, const std::wstring& parent_line) {
  if (!join_command_line(program.c_str(), arguments_after_program_name(parent_line.c_str()),
                         child_command_line, command_line_capacity)) {
    return L"(does not fit)";
  }
  return child_command_line;
}

TEST(ChildCommandLine, IsTheQuotedPathAndTheArgumentTextAsTyped) {
  const struct {
    const wchar_t* parent_line;
    const wchar_t* child_line;
  } rows[] = {
      {L"app.exe", L"\"C:\\a b\\x.exe\""},
      {L"\"C:\\my app\\app.exe\"", L"\"C:\\a b\\x.exe\""},
      {L"app.exe   spaced\targs ", L"\"C:\\a b\\x.exe\"   spaced\targs "},
      {L"app.exe \"say \"\"hi\"\" there\" next",
       L"\"C:\\a b\\x.exe\" \"say \"\"hi\"\" there\" next"},
      {L"app.exe \"\" b \"\"", L"\"C:\\a b\\x.exe\" \"\" b \"\""},
      {L"app.exe a\\\\\\\"b \"c\\\\\"", L"\"C:\\a b\\x.exe\" a\\\\\\\"b \"c\\\\\""},
      {L"\"C:\\my app\\app.exe\"\t\"end\"\"", L"\"C:\\a b\\x.exe\"\t\"end\"\""},
      // An argument right after a quoted name stays one argument of its own.
      {L"\"app.exe\"first second", L"\"C:\\a b\\x.exe\" first second"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(line_for(L"C:\\a b\\x.exe", row.parent_line), row.child_line);
  }
}

TEST(ChildCommandLine, TheLongestLineFitsAndOneUnitMoreDoesNot) {
  const std::wstring text(command_line_capacity - 5, L'a');
  EXPECT_EQ(line_for(L"x", L"app.exe " + text).size(), command_line_capacity - 1);
  EXPECT_EQ(line_for(L"xy", L"app.exe " + text), L"(does not fit)");
}

TEST(ProcessId, ParsesDecimalNumbersInTheSigned32BitRange) {
  std::int32_t value = 0;
  EXPECT_TRUE(parse_process_id(L"42", &value));
  EXPECT_EQ(value, 42);
  EXPECT_TRUE(parse_process_id(L" \t+0042", &value));
  EXPECT_EQ(value, 42);
  EXPECT_TRUE(parse_process_id(L"2147483647", &value));
  EXPECT_EQ(value, 2147483647);
  EXPECT_TRUE(parse_process_id(L"-2147483648", &value));
  EXPECT_EQ(value, INT32_MIN);
  for (const wchar_t* bad : {L"", L" ", L"+", L"-", L"12x", L"x12", L"4 ", L"2147483648",
                             L"-2147483649", L"99999999999999999999", L"1.5", L"0x10"}) {
    EXPECT_FALSE(parse_process_id(bad, &value)) << bad;
  }
}

}  // namespace
