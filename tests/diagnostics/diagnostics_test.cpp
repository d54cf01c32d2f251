#include <cstring>

#include <gtest/gtest.h>

#include "diagnostics/diagnostics.h"
#include "tests/support/process.h"

namespace {

process_result probe(const std::wstring& arguments) {
  return run_process(quote_argument(executable_directory_of_test() + L"\\diagnostics_probe.exe") +
                     L" " + arguments);
}

TEST(PlainFailures, GoToStandardOutputWithExitCodeTwo) {
  const struct {
    const wchar_t* mode;
    const char* line;
  } cases[] = {
      {L"plain", "Error, plain.\n"},
      {L"header", "Error, couldn't find attached data header.\n"},
      {L"decode", "Error, couldn't decode attached data.\n"},
      {L"memory", "Error, couldn't allocate memory.\n"},
  };
  for (const auto& c : cases) {
    const process_result result = probe(c.mode);
    EXPECT_EQ(result.exit_code, 2u) << narrow(c.mode);
    // The runtime's text mode writes CR LF for a newline.
    std::string out = result.out;
    std::erase(out, '\r');
    EXPECT_EQ(out, c.line);
    EXPECT_EQ(result.err, "");
  }
}

TEST(SystemFailures, WriteCodeAndTrimmedSystemTextToStandardError) {
  // Code 2 has the system text "The system cannot find the file specified.\r\n".
  process_result result = probe(L"system 2");
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "");
  std::string err = result.err;
  std::erase(err, '\r');
  ASSERT_EQ(err.rfind("Error, system. ([Error 2] ", 0), 0u) << err;
  EXPECT_EQ(err.back(), '\n');
  EXPECT_EQ(err.substr(err.size() - 3), ".)\n") << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST(SystemFailures, CodesWithTheTopBitSetAreWrittenAsNegativeNumbers) {
  process_result result = probe(L"system 0x80070005");
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err.rfind("Error, system. ([Error -2147024891] ", 0), 0u) << result.err;
}

TEST(SystemFailures, CodeWithoutSystemTextStillWritesTheLine) {
  process_result result = probe(L"system 0x2000BEEF");
  EXPECT_EQ(result.exit_code, 2u);
  std::string err = result.err;
  std::erase(err, '\r');
  EXPECT_EQ(err, "Error, system. ([Error 536919791] )\n");
}

TEST(SystemFailures, LaunchAndUnpackMessages) {
  process_result launch = probe(L"launch 2");
  EXPECT_EQ(launch.exit_code, 2u);
  EXPECT_EQ(launch.err.rfind("Error, couldn't launch child ([Error 2] ", 0), 0u) << launch.err;
  process_result unpack = probe(L"unpack 112");
  EXPECT_EQ(unpack.exit_code, 2u);
  EXPECT_EQ(unpack.err.rfind("Error, couldn't unpack file to target path. ([Error 112] ", 0), 0u)
      << unpack.err;
}

TEST(OpenFailure, NamesTheFullPathOnStandardError) {
  process_result result = probe(L"open");
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "");
  std::string err = result.err;
  std::erase(err, '\r');
  EXPECT_EQ(err, "Error, failed to open 'C:\\target\\sub\\file.txt' for writing.\n");
}

TEST(AbnormalEnd, SpecFailureQuotesTheTemplateAndDoesNotExitWithTwo) {
  process_result result = probe(L"spec");
  EXPECT_NE(result.exit_code, 2u);
  EXPECT_NE(result.exit_code, 0u);
  std::string err = result.err;
  std::erase(err, '\r');
  EXPECT_EQ(err, "Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}'.\n");
}

TEST(AbnormalEnd, WritesNothing) {
  process_result result = probe(L"abort");
  EXPECT_NE(result.exit_code, 2u);
  EXPECT_NE(result.exit_code, 0u);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

TEST(TrimLineEnds, RemovesOnlyTrailingCarriageReturnsAndLineFeeds) {
  char text[] = "Access is denied. \r\n\r\n";
  trim_line_ends(text);
  EXPECT_STREQ(text, "Access is denied. ");
  char only_ends[] = "\r\n\n\r";
  trim_line_ends(only_ends);
  EXPECT_STREQ(only_ends, "");
  char inner[] = "a\r\nb";
  trim_line_ends(inner);
  EXPECT_STREQ(inner, "a\r\nb");
}

}  // namespace
