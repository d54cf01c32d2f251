// The launcher's own text handling: the child's command line and the parent's process id.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "launcher/launcher.h"
#include "launcher/state.h"

// The launcher library refers to a linked payload block; these tests never open it.
extern "C" const unsigned char onefile_payload[] = "JIV";
extern "C" const std::uint64_t onefile_payload_size = 3;
extern "C" const unsigned char onefile_payload_digest[32] = {};

namespace {

std::wstring line_for(std::vector<std::wstring> elements) {
  std::vector<wchar_t*> pointers;
  for (std::wstring& element : elements) pointers.push_back(element.data());
  build_child_command_line(static_cast<int>(pointers.size()), pointers.data());
  return child_command_line;
}

std::vector<std::wstring> split(const std::wstring& line) {
  int count = 0;
  wchar_t** parts = CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> result(parts, parts + count);
  LocalFree(parts);
  return result;
}

TEST(ChildCommandLine, QuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(line_for({L"C:\\app\\run.exe"}), L"C:\\app\\run.exe");
  EXPECT_EQ(line_for({L"C:\\my app\\run.exe"}), L"\"C:\\my app\\run.exe\"");
  EXPECT_EQ(line_for({L"x.exe", L"a\\b\\\\c\\"}), L"x.exe a\\b\\\\c\\");
  EXPECT_EQ(line_for({L"x.exe", L"dir with blank\\"}), L"x.exe \"dir with blank\\\\\"");
  EXPECT_EQ(line_for({L"x.exe", L"a\\\\\"b"}), L"x.exe \"a\\\\\\\\\\\"b\"");
  EXPECT_EQ(line_for({L"x.exe", L"tab\t"}), L"x.exe \"tab\t\"");
  EXPECT_EQ(line_for({L"x.exe", L"lf\n"}), L"x.exe \"lf\n\"");
  EXPECT_EQ(line_for({L"x.exe", L"vt\v"}), L"x.exe \"vt\v\"");
}

TEST(ChildCommandLine, EmptyArgumentsAreKept) {
  EXPECT_EQ(line_for({L"x.exe", L"", L"b", L""}), L"x.exe \"\" b \"\"");
  EXPECT_EQ(split(child_command_line), (std::vector<std::wstring>{L"x.exe", L"", L"b", L""}));
}

TEST(ChildCommandLine, SplittingGivesBackEveryElement) {
  const std::vector<std::wstring> elements = {L"C:\\Program Files\\app.exe",
                                              L"\"",
                                              L"\\",
                                              L"\\\\",
                                              L"\\\"",
                                              L"a b\\\\",
                                              L"\"quoted\"",
                                              L"x\\\\\\\"y",
                                              L" ",
                                              L"caf\u00e9",
                                              L"\U0001F600",
                                              L"",
                                              L"end\\"};
  EXPECT_EQ(split(line_for(elements)), elements);
}

TEST(ChildCommandLine, TheLongestLineFitsAndOneUnitMoreEndsTheRun) {
  EXPECT_EQ(line_for({std::wstring(command_line_capacity - 1, L'a')}).size(),
            command_line_capacity - 1);
  EXPECT_EXIT(line_for({std::wstring(command_line_capacity - 2, L'a'), L"b"}),
              ::testing::ExitedWithCode(3), "");
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
