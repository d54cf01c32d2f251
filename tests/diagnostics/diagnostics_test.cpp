#include <cstring>
#include <cwchar>

#include <gtest/gtest.h>
#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "tests/support/process.h"

namespace {

process_result probe(const std::wstring& arguments, std::uint32_t creation_flags = 0) {
  return run_process(quote_argument(executable_directory_of_test() + L"\\diagnostics_probe.exe") +
                         L" " + arguments,
                     {}, 60000, {}, creation_flags);
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

TEST(SystemFailures, TheUsersLanguageWhenTheSystemHasNoTextInTheFirstOne) {
  // Language 0x0436 (Afrikaans): no system texts in it here.
  process_result result = probe(L"language 0x0436 system 2");
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err.rfind("Error, system. ([Error 2] ", 0), 0u) << result.err;
  EXPECT_GT(result.err.size(), std::string("Error, system. ([Error 2] )\r\n").size()) << result.err;
}

// Code 193's text names the file with an insert ("%1"), which the message fills with the path
// it names, or drops when it names none.
TEST(SystemFailures, InsertsAreFilledOrDropped) {
  const process_result with_path = probe(L"path-system 193");
  EXPECT_EQ(with_path.exit_code, 2u);
  EXPECT_EQ(with_path.err.find('%'), std::string::npos) << with_path.err;
  EXPECT_EQ(with_path.err.rfind("Error, couldn't start 'C:\\app\\lua54.dll' ([Error 193] ", 0), 0u)
      << with_path.err;
  EXPECT_NE(with_path.err.find("lua54.dll", with_path.err.find("[Error 193]")), std::string::npos)
      << with_path.err;
  const process_result without = probe(L"system 193");
  EXPECT_EQ(without.err.find('%'), std::string::npos) << without.err;
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

// Every character of the path arrives: a pipe receives the line in UTF-8.
constexpr const char* open_failure_line =
    "Error, failed to open "
    "'C:\\target\\\u041f\u0430\u043f\u043a\u0430\\\u6587\u4ef6\\\U0001F600.txt' "
    "for writing.";

TEST(OpenFailure, NamesTheFullPathOnStandardError) {
  process_result result = probe(L"open");
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, std::string(open_failure_line) + "\r\n");
}

// Where standard error can't take a message, a desktop session shows it in a box (here recorded
// on standard output instead), and also where it is a console that the system made for this
// process alone (started with CREATE_NO_WINDOW, as Explorer makes one with a window), which
// closes when it ends; with a working standard error, a console that another process shares, or
// without the box enabled, nothing is shown.
TEST(ErrorDialog, ShowsOnlyWhatNoHandleTakes) {
  const struct {
    const wchar_t* options;
    std::string out;
    std::string err;
    std::uint32_t creation_flags = 0;
  } rows[] = {
      {L"dialog open", "", std::string(open_failure_line) + "\r\n"},
      {L"dialog no-stderr open",
       std::string("dialog Probe \u00c9dition|") + open_failure_line + "\n", ""},
      {L"dialog bad-stderr open",
       std::string("dialog Probe \u00c9dition|") + open_failure_line + "\n", ""},
      {L"no-stderr open", "", ""},
      {L"dialog no-stderr abort", "", ""},
      {L"dialog console-stderr open",
       std::string("dialog Probe \u00c9dition|") + open_failure_line + "\n", "", CREATE_NO_WINDOW},
      {L"dialog console-stderr shared-console open", "", "", CREATE_NO_WINDOW},
      {L"console-stderr open", "", "", CREATE_NO_WINDOW},
  };
  for (const auto& row : rows) {
    const process_result result = probe(row.options, row.creation_flags);
    EXPECT_EQ(result.out, row.out) << narrow(row.options);
    EXPECT_EQ(result.err, row.err) << narrow(row.options);
  }
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
  wchar_t text[] = L"Access is denied. \r\n\r\n";
  trim_line_ends(text);
  EXPECT_STREQ(text, L"Access is denied. ");
  wchar_t only_ends[] = L"\r\n\n\r";
  trim_line_ends(only_ends);
  EXPECT_STREQ(only_ends, L"");
  wchar_t inner[] = L"a\r\nb";
  trim_line_ends(inner);
  EXPECT_STREQ(inner, L"a\r\nb");
}

TEST(FormatDecimal, PadsAfterTheSignAndRefusesWhatDoesNotFit) {
  struct row {
    long long value;
    std::size_t min_digits, capacity;
    const wchar_t* expected;
  };
  const row rows[] = {
      {0, 1, 32, L"0"},
      {42, 6, 32, L"000042"},
      {123456, 6, 32, L"123456"},
      {-5, 3, 32, L"-005"},
      {-2147483648LL, 1, 32, L"-2147483648"},
      {999, 1, 4, L"999"},
      {1000, 1, 4, L""},
      {7, 6, 6, L""},
  };
  for (const row& r : rows) {
    wchar_t text[32] = L"untouched";
    const std::size_t length = format_decimal(text, r.capacity, r.value, r.min_digits);
    EXPECT_STREQ(text, r.expected) << r.value;
    EXPECT_EQ(length, std::wcslen(r.expected)) << r.value;
  }
  char narrow[24];
  EXPECT_EQ(format_decimal(narrow, sizeof narrow, 18446744073709551615ULL), 20u);
  EXPECT_STREQ(narrow, "18446744073709551615");
}

}  // namespace
