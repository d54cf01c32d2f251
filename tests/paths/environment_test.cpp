#include <cwchar>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "paths/paths.h"
#include "tests/paths/probe.h"

namespace {

constexpr char test_variable[] = "VESKAR_PATHS_TEST_VARIABLE";

TEST(EnvironmentVariables, AbsentAndEmptyReadAlikeAndRemovingIsHarmless) {
  unset_env_var(test_variable);
  EXPECT_EQ(get_env_var(test_variable), nullptr);
  ASSERT_TRUE(SetEnvironmentVariableW(L"VESKAR_PATHS_TEST_VARIABLE", L""));
  EXPECT_EQ(get_env_var(test_variable), nullptr);

  EXPECT_TRUE(set_env_var(test_variable, L"value \u00e9"));
  wchar_t* first = get_env_var(test_variable);
  wchar_t* second = get_env_var(test_variable);
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first, L"value \u00e9");
  EXPECT_NE(first, second);  // each read is a copy of its own

  unset_env_var(test_variable);
  EXPECT_EQ(get_env_var(test_variable), nullptr);
  unset_env_var(test_variable);
  EXPECT_EQ(get_env_var(test_variable), nullptr);
}

TEST(EnvironmentVariables, LongestValueIsReadWhole) {
  // Wine's SetEnvironmentVariableW keeps at most 32766 units, so the value comes in with the
  // environment block of a new process, where it arrives whole.
  const std::wstring longest(32767, L'v');
  const process_result result =
      run_paths_probe({L"env-length", L"VESKAR_PATHS_LONG"}, {L"VESKAR_PATHS_LONG=" + longest});
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(first_line(result), L"32767");
  EXPECT_EQ(first_line(run_paths_probe({L"env-length", L"VESKAR_PATHS_LONG"})), L"none");
}

TEST(EnvironmentVariables, NameOf39CharactersWorksAnd40EndsTheRun) {
  const std::string name(39, 'N');
  EXPECT_TRUE(set_env_var(name.c_str(), L"39"));
  const wchar_t* value = get_env_var(name.c_str());
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, L"39");
  unset_env_var(name.c_str());

  EXPECT_EQ(run_paths_probe({L"env-name", L"39"}).exit_code, 0u);
  EXPECT_TRUE(ended_abnormally(run_paths_probe({L"env-name", L"40"})));
}

}  // namespace
