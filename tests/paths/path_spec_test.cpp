#include <cwchar>
#include <string>
#include <tuple>

#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include "launcher/state.h"
#include "paths/paths.h"
#include "tests/paths/probe.h"

namespace {

constexpr wchar_t target_spec[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

// The probe's expansion: "1|text" or "0|text".
struct probe_expansion {
  process_result raw;
  bool expanded = false;
  std::wstring text;
};

probe_expansion probe_expand(const std::wstring& spec, const std::vector<std::wstring>& env = {},
                             const std::wstring& capacity = L"4096") {
  probe_expansion result;
  result.raw = run_paths_probe({L"expand", spec, capacity}, env);
  const std::wstring line = first_line(result.raw);
  result.expanded = line.rfind(L"1|", 0) == 0;
  result.text = line.size() >= 2 ? line.substr(2) : L"";
  return result;
}

// The stored values start out absent in every test.
class PathSpec : public testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    for (const char* name : {"VESKAR_ONEFILE_PARENT", "VESKAR_ONEFILE_START",
                             "VESKAR_ONEFILE_TIME_US", "VESKAR_ONEFILE_RANDOM"}) {
      unset_env_var(name);
    }
  }

  wchar_t result[4096] = {};
  bool expand(const wchar_t* spec, std::size_t capacity = 4096) {
    return expand_path_spec(result, spec, capacity);
  }
  static std::wstring temp_folder() {
    wchar_t temp[4096];
    GetTempPathW(4096, temp);
    std::wstring folder = temp;
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder;
  }
};

TEST(RandomName, Base64UrlOfEightBytesWithoutPadding) {
  const struct {
    std::uint8_t bytes[random_byte_count];
    const wchar_t* name;
  } cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0}, L"AAAAAAAAAAA"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, L"__________8"},
      {{0x21, 0x01, 0xC5, 0x4F, 0xD1, 0xD0, 0x1A, 0xB2}, L"IQHFT9HQGrI"},
      {{1, 2, 3, 4, 5, 6, 7, 8}, L"AQIDBAUGBwg"},
  };
  for (const auto& c : cases) {
    wchar_t name[random_name_length + 1];
    encode_random_name(c.bytes, name);
    EXPECT_STREQ(name, c.name);
  }
}

TEST(TimeValues, MicrosecondsOfTheSecondAndTheWholeCount) {
  wchar_t text[32];
  for (std::int64_t seconds : {0ll, 1ll, 13390000000ll}) {
    format_time_us(420 + seconds * 10000000, text);
    EXPECT_STREQ(text, L"000042");
  }
  format_time_us(9999999, text);
  EXPECT_STREQ(text, L"999999");
  format_time(133900000001234567ll, text);
  EXPECT_STREQ(text, L"133900000001234567");
}

TEST_F(PathSpec, TargetSpecFromRecordedValues) {
  // GetTempPathW under Wine answers TMP (then TEMP) with a backslash at the end.
  const probe_expansion expansion = probe_expand(
      target_spec, {L"TMP=C:\\T\\", L"TEMP=C:\\T\\", L"VESKAR_ONEFILE_PARENT=4242",
                    L"VESKAR_ONEFILE_TIME_US=000042", L"VESKAR_ONEFILE_RANDOM=IQHFT9HQGrI"});
  EXPECT_TRUE(expansion.expanded) << expansion.raw.out;
  EXPECT_EQ(expansion.text, L"C:\\T\\onefile_4242_000042_IQHFT9HQGrI");

  const probe_expansion root = probe_expand(
      target_spec, {L"TMP=C:\\", L"TEMP=C:\\", L"VESKAR_ONEFILE_PARENT=4242",
                    L"VESKAR_ONEFILE_TIME_US=000042", L"VESKAR_ONEFILE_RANDOM=IQHFT9HQGrI"});
  EXPECT_EQ(root.text, L"C:\\onefile_4242_000042_IQHFT9HQGrI");
}

TEST_F(PathSpec, CapacityEdges) {
  EXPECT_TRUE(expand(L"abc", 4));
  EXPECT_STREQ(result, L"abc");
  EXPECT_FALSE(expand(L"abcd", 4));
  EXPECT_STREQ(result, L"abc");
  EXPECT_TRUE(expand(L"", 1));
  EXPECT_STREQ(result, L"");

  // "Marrowvale" is 10 units: it fits in 11, a unit less ends the run.
  EXPECT_TRUE(expand(L"{COMPANY}", 11));
  EXPECT_STREQ(result, L"Marrowvale");
  const probe_expansion fits = probe_expand(L"x{COMPANY}", {}, L"12");
  EXPECT_EQ(fits.text, L"xMarrowvale");
  EXPECT_TRUE(ended_abnormally(probe_expand(L"x{COMPANY}", {}, L"11").raw));
  EXPECT_TRUE(ended_abnormally(
      probe_expand(L"{RANDOM}", {L"VESKAR_ONEFILE_RANDOM=IQHFT9HQGrI"}, L"11").raw));
}

TEST_F(PathSpec, ScanningNamesAndLiterals) {
  const std::wstring temp = temp_folder();
  EXPECT_TRUE(expand(L""));
  EXPECT_STREQ(result, L"");
  EXPECT_TRUE(expand(L"plain\\text"));
  EXPECT_STREQ(result, L"plain\\text");
  EXPECT_TRUE(expand(L"{TEMP"));
  EXPECT_STREQ(result, L"");
  EXPECT_TRUE(expand(L"before{TEMP"));
  EXPECT_STREQ(result, L"before");
  EXPECT_TRUE(expand(L"a{x{TEMP}"));
  EXPECT_EQ(result, L"a" + temp);
  EXPECT_TRUE(expand(L"{temp}|{Temp}"));
  EXPECT_EQ(result, temp + L"|" + temp);
  EXPECT_TRUE(expand(L"a}b"));
  EXPECT_STREQ(result, L"a}b");

  EXPECT_FALSE(expand(L"ab{NOPE}cd"));
  EXPECT_STREQ(result, L"ab");
  EXPECT_FALSE(expand(L"ab{TEMP }"));  // no folding beyond letter case
  EXPECT_FALSE(expand((L"x{" + std::wstring(2000, L'N') + L"}").c_str()));
  EXPECT_STREQ(result, L"x");

  EXPECT_TRUE(expand(L"{COMPANY}/{product}/{VERSION}/{FILE_VERSION}/{PRODUCT_VERSION}"));
  EXPECT_STREQ(result, L"Marrowvale/Marrowvale/2.0.0.0/2.0.0.0/2.0.0.0");
}

TEST_F(PathSpec, ShellFoldersAndTheBackslashRule) {
  for (const wchar_t* spec : {L"{HOME}", L"{CACHE_DIR}"}) {
    ASSERT_TRUE(expand(spec)) << spec;
    const std::size_t length = std::wcslen(result);
    ASSERT_GT(length, 0u);
    EXPECT_NE(result[length - 1], L'\\');
    EXPECT_TRUE(is_directory(result)) << result;
  }
  // Without room the temporary-folder query writes nothing, and the backslashes before go.
  EXPECT_TRUE(expand(L"ab\\\\{TEMP}", 6));
  EXPECT_STREQ(result, L"ab");

  // append_shell_folder adds after the existing text, or answers false and leaves it alone.
  std::wcscpy(result, L"pre:");
  EXPECT_FALSE(append_shell_folder(result, 0x7F, 4096));
  EXPECT_STREQ(result, L"pre:");
  ASSERT_TRUE(append_shell_folder(result, CSIDL_PROFILE, 4096));
  EXPECT_EQ(std::wstring(result).rfind(L"pre:", 0), 0u);
  EXPECT_TRUE(ended_abnormally(run_paths_probe({L"shell", L"40", L"pre:", L"8"})));
}

TEST_F(PathSpec, TheKeptDirectorysVariables) {
  // {DIGEST}: the payload digest's first eight bytes in hexadecimal; nothing without a payload.
  EXPECT_FALSE(expand(L"a{DIGEST}"));
  unsigned char digest[32];
  for (int i = 0; i < 32; ++i) digest[i] = static_cast<unsigned char>(i * 17);
  payload_digest = digest;
  EXPECT_TRUE(expand(L"a-{digest}"));
  EXPECT_STREQ(result, L"a-0011223344556677");
  payload_digest = nullptr;

  // {LOCAL_APPDATA} and {HOME}: the environment's absolute path of an existing directory, else
  // the shell's folder (a launch started with the variable pointing elsewhere still runs).
  scratch_directory existing;
  const std::wstring a_file = existing / L"file.txt";
  ASSERT_TRUE(write_file(a_file, "x"));
  for (const auto& [spec, variable, csidl] : {std::tuple{L"{LOCAL_APPDATA}", L"LOCALAPPDATA", 28},
                                              std::tuple{L"{HOME}", L"USERPROFILE", 40}}) {
    wchar_t saved[4096] = {};
    const bool was_set = GetEnvironmentVariableW(variable, saved, 4096) > 0;
    result[0] = L'\0';
    ASSERT_TRUE(append_shell_folder(result, csidl, 4096));
    const std::wstring shell_folder = result;
    const struct {
      std::wstring value;
      std::wstring expected;
    } cases[] = {{existing.path() + L"\\\\", existing.path()},
                 {existing / L"missing", shell_folder},
                 {a_file, shell_folder},
                 {L"C:\\fakehome", shell_folder},
                 {L"\\\\nowhere.invalid\\share", shell_folder},
                 {L"relative\\path", shell_folder},
                 {L"", shell_folder}};
    for (const auto& c : cases) {
      SetEnvironmentVariableW(variable, c.value.empty() ? nullptr : c.value.c_str());
      EXPECT_TRUE(expand(spec)) << narrow(spec) << " " << narrow(c.value);
      EXPECT_EQ(std::wstring(result), c.expected);
    }
    SetEnvironmentVariableW(variable, was_set ? saved : nullptr);
  }
}

// The launcher's own path, whatever name it was started by: a parent started by a bare or relative
// name and the child it starts from its full path expand the same text.
TEST_F(PathSpec, ProgramNameAndItsPartsComeFromTheImagePath) {
  wchar_t own[4096];
  ASSERT_GT(GetModuleFileNameW(nullptr, own, 4096), 0u);
  ASSERT_TRUE(expand(L"{PROGRAM}|{PROGRAM_BASE}|{PROGRAM_DIR}"));
  const std::wstring path = own;
  const std::wstring folder = path.substr(0, path.rfind(L'\\'));
  EXPECT_EQ(std::wstring(result), path + L"|" + path.substr(0, path.size() - 4) + L"|" + folder);

  // A copy of the probe started under other first elements of its command line.
  scratch_directory where;
  const std::wstring copy = where / L"app.EXE";
  ASSERT_TRUE(CopyFileW(paths_probe_path().c_str(), copy.c_str(), FALSE));
  for (const wchar_t* invoked_as : {L"app.EXE", L"app", L".\\app.exe", L"\"elsewhere\\x.exe\""}) {
    const std::wstring command_line = std::wstring(invoked_as) + L" expand " +
                                      quote_argument(L"<{PROGRAM}>{PROGRAM_BASE}|{PROGRAM_DIR}");
    const process_result as = run_paths_probe({L"as", command_line}, {}, copy);
    EXPECT_EQ(as.exit_code, 0u) << narrow(command_line) << as.err;
    EXPECT_EQ(first_line(as), L"1|<" + copy + L">" + where / L"app|" + where.path())
        << narrow(command_line);
  }
  // The inner expansion's value must fit as any other value.
  EXPECT_TRUE(ended_abnormally(probe_expand(L"{PROGRAM_BASE}", {}, L"6").raw));
}

TEST_F(PathSpec, ProcessIdFromTheParentVariable) {
  set_env_var("VESKAR_ONEFILE_PARENT", L"0042");
  EXPECT_TRUE(expand(L"{PID}"));
  EXPECT_STREQ(result, L"0042");

  SetEnvironmentVariableW(L"VESKAR_ONEFILE_PARENT", L"");
  EXPECT_TRUE(expand(L"{PID}"));
  EXPECT_EQ(result, std::to_wstring(GetCurrentProcessId()));
  unset_env_var("VESKAR_ONEFILE_PARENT");
  EXPECT_TRUE(expand(L"{PID}"));
  EXPECT_EQ(result, std::to_wstring(GetCurrentProcessId()));

  EXPECT_TRUE(ended_abnormally(probe_expand(L"{PID}", {L"VESKAR_ONEFILE_PARENT=42a"}).raw));
}

TEST_F(PathSpec, RecordedValuesRepeatUntilRemoved) {
  ASSERT_TRUE(expand(L"{TIME_US}_{RANDOM}_{TIME}"));
  const std::wstring first = result;
  ASSERT_EQ(first.size(), 6u + 1 + 11 + 1 + std::wcslen(get_env_var("VESKAR_ONEFILE_START")));
  EXPECT_EQ(first, std::wstring(get_env_var("VESKAR_ONEFILE_TIME_US")) + L"_" +
                       get_env_var("VESKAR_ONEFILE_RANDOM") + L"_" +
                       get_env_var("VESKAR_ONEFILE_START"));
  ASSERT_TRUE(expand(L"{TIME_US}_{RANDOM}_{TIME}"));
  EXPECT_EQ(result, first);

  // Wait until the clock has moved past the recorded time, then start afresh.
  const long long recorded = std::wcstoll(get_env_var("VESKAR_ONEFILE_START"), nullptr, 10);
  for (;;) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (((static_cast<long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) > recorded) break;
    Sleep(1);
  }
  unset_env_var("VESKAR_ONEFILE_START");
  unset_env_var("VESKAR_ONEFILE_TIME_US");
  unset_env_var("VESKAR_ONEFILE_RANDOM");
  ASSERT_TRUE(expand(L"{TIME_US}_{RANDOM}_{TIME}"));
  const std::wstring second = result;
  EXPECT_NE(second.substr(7, 11), first.substr(7, 11));
  EXPECT_GT(std::wcstoll(second.substr(19).c_str(), nullptr, 10), recorded);
}

TEST_F(PathSpec, TargetDirectoryIsMadeAbsoluteButNeverFromARelativeExpansion) {
  const struct {
    const wchar_t* path;
    bool qualified;
  } cases[] = {
      {L"C:\\dir", true},
      {L"z:/dir", true},
      {L"\\\\server\\share\\dir", true},
      {L"//server/share", true},
      {L"\\\\?\\C:\\dir", true},
      {L"dir\\sub", false},
      {L"\\dir", false},
      {L"C:dir", false},
      {L"C:", false},
      {L"1:\\dir", false},
      {L"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_fully_qualified_path(c.path), c.qualified) << narrow(c.path);
  }
  std::wcscpy(target_directory, L"C:\\one\\..\\two\\.\\three");
  make_target_directory_absolute(L"{SPEC}");
  EXPECT_STREQ(target_directory, L"C:\\two\\three");

  // A spec of a name alone, or one that names the current drive's root or a drive's current
  // directory.
  for (const wchar_t* relative : {L"app.exe\\data", L"\\data", L"C:data", L""}) {
    const process_result refused = run_paths_probe({L"absolute", relative});
    EXPECT_EQ(refused.exit_code, 2u) << narrow(relative);
    EXPECT_EQ(refused.err, "Error, target spec '{SPEC}' expands to '" + narrow(relative) +
                               "', a path relative to the current directory.\r\n");
  }
}

}  // namespace
