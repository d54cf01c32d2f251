// The descriptors that launches make at either level, and the judgement of a descriptor as the
// launcher's own, on descriptors written out in the system's own notation: under Wine, which keeps
// only a Unix mode with a file, this is where the elevated level's rules meet labels and owners.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include "cleanup/cleanup.h"
#include "tests/support/process.h"

namespace {

std::wstring user_sid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  alignas(8) unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, bytes, sizeof bytes, &size);
  CloseHandle(token);
  wchar_t* text = nullptr;
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(bytes)->User.Sid, &text);
  std::wstring sid = text != nullptr ? text : L"";
  LocalFree(text);
  return sid;
}

std::wstring environment(const wchar_t* name) {
  wchar_t value[4096];
  const DWORD length = GetEnvironmentVariableW(name, value, 4096);
  return length > 0 && length < 4096 ? value : L"";
}

std::wstring as_text(PSECURITY_DESCRIPTOR descriptor) {
  wchar_t* text = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
      nullptr);
  std::wstring result = text != nullptr ? text : L"?";
  LocalFree(text);
  return result;
}

// "U" in a descriptor's text stands for this process's user.
std::wstring with_user(std::wstring text) {
  const std::wstring user = user_sid();
  for (std::size_t at = text.find(L";U)"); at != std::wstring::npos; at = text.find(L";U)", at)) {
    text.replace(at + 1, 1, user);
  }
  if (text.rfind(L"O:U", 0) == 0) text.replace(2, 1, user);
  return text;
}

class Ownership : public testing::Test {
 protected:
  void TearDown() override {
    token_level = saved_level;
    file_labels_kept = saved_labels;
  }
  void at(launch_level level, bool labels) {
    static launch_level chosen_level;
    static bool chosen_labels;
    chosen_level = level;
    chosen_labels = labels;
    token_level = [] { return chosen_level; };
    file_labels_kept = [] { return chosen_labels; };
  }
  launch_level (*saved_level)() = token_level;
  bool (*saved_labels)() = file_labels_kept;
};

TEST_F(Ownership, EachLevelsDescriptorNamesTheUserAsOwner) {
  SECURITY_ATTRIBUTES attributes{};
  at(launch_level::user, true);
  ASSERT_TRUE(launch_directory_security(&attributes));
  // The system account too, as the temporary folder grants it, so that services can read.
  EXPECT_EQ(as_text(attributes.lpSecurityDescriptor),
            with_user(L"O:UD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;U)"));
  EXPECT_TRUE(is_own_descriptor(attributes.lpSecurityDescriptor, launch_level::user));
  EXPECT_FALSE(attributes.bInheritHandle);
  // Under Wine the token is an administrator's: the user reads and runs, nothing below high
  // integrity writes.
  at(launch_level::elevated, true);
  ASSERT_TRUE(launch_directory_security(&attributes));
  EXPECT_EQ(as_text(attributes.lpSecurityDescriptor),
            with_user(L"O:UD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;U)"
                      L"(A;OICI;0x1200a9;;;OW)"));
  // Its label, which Wine's notation leaves out: high, with no-write-up.
  EXPECT_TRUE(is_own_descriptor(attributes.lpSecurityDescriptor, launch_level::elevated));
  ASSERT_TRUE(user_owner_security(&attributes));
  EXPECT_EQ(as_text(attributes.lpSecurityDescriptor), with_user(L"O:U"));
}

TEST_F(Ownership, ADescriptorIsTheLaunchersOwnOnlyWhenNobodyElseIsGrantedAnything) {
  const wchar_t* own_elevated =
      L"O:UD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;U)(A;OICI;0x1200a9;;;OW)";
  const struct {
    std::wstring descriptor;
    bool user, elevated, elevated_where_labels_are_kept;
  } cases[] = {
      {L"O:UD:P(A;OICI;FA;;;U)", true, true, false},
      {L"O:UD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;U)", true, true, false},
      // As Wine reads any of the launcher's directories back, from the mode.
      {L"O:UD:(A;OICI;FA;;;SY)(A;OICI;FA;;;U)", true, true, false},
      {own_elevated + std::wstring(L"S:(ML;OICI;NW;;;HI)"), true, true, true},
      {own_elevated + std::wstring(L"S:(ML;OICI;NW;;;SI)"), true, true, true},
      // What a medium process can make: no label, a medium one, one without no-write-up, one
      // that only its children would carry.
      {own_elevated, true, true, false},
      {own_elevated + std::wstring(L"S:(ML;OICI;NW;;;ME)"), true, true, false},
      {own_elevated + std::wstring(L"S:(ML;OICI;NR;;;HI)"), true, true, false},
      {own_elevated + std::wstring(L"S:(ML;OICIIO;NW;;;HI)"), true, true, false},
      // Someone else's, or someone else's too.
      {L"O:BAD:P(A;OICI;FA;;;U)", false, false, false},
      {L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;U)", false, false, false},
      {L"O:UD:P(A;OICI;FA;;;U)(A;OICI;0x1200a9;;;BU)", false, false, false},
      {L"O:UD:(A;OICI;FA;;;U)(A;OICI;0x1200a9;;;WD)", false, false, false},
      {L"O:UD:P(A;OICI;FA;;;U)(A;OICIIO;FA;;;AU)", false, false, false},
      {L"O:UD:", false, false, false},
      {L"O:UD:(A;OICI;FA;;;BA)", false, false, false},
      {L"O:UD:P(A;OICI;FA;;;SY)", false, false, false},
      {L"O:UD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;U)(A;OICI;0x1200a9;;;AU)", false, false, false},
      {L"O:UD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;U)(A;OICI;0x1200a9;;;S-1-5-19)", false, false, false},
      {L"O:U", false, false, false},
      // A denial takes nothing away that matters.
      {L"O:UD:P(D;OICI;FW;;;WD)(A;OICI;FA;;;U)", true, true, false},
  };
  for (const auto& c : cases) {
    const std::wstring text = with_user(c.descriptor);
    SCOPED_TRACE(narrow(text));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    at(launch_level::user, true);
    EXPECT_EQ(is_own_descriptor(descriptor, launch_level::user), c.user);
    at(launch_level::elevated, false);
    EXPECT_EQ(is_own_descriptor(descriptor, launch_level::elevated), c.elevated);
    at(launch_level::elevated, true);
    EXPECT_EQ(is_own_descriptor(descriptor, launch_level::elevated),
              c.elevated_where_labels_are_kept);
    LocalFree(descriptor);
  }
  // No DACL at all: everyone may do anything.
  SECURITY_DESCRIPTOR open_to_all;
  InitializeSecurityDescriptor(&open_to_all, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&open_to_all, TRUE, nullptr, FALSE);
  PSECURITY_DESCRIPTOR owner = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      with_user(L"O:U").c_str(), SDDL_REVISION_1, &owner, nullptr));
  PSID user = nullptr;
  BOOL defaulted = FALSE;
  GetSecurityDescriptorOwner(owner, &user, &defaulted);
  SetSecurityDescriptorOwner(&open_to_all, user, FALSE);
  EXPECT_FALSE(is_own_descriptor(&open_to_all, launch_level::user));
  LocalFree(owner);
}

TEST_F(Ownership, TheUsersOwnFoldersAreItsProfileAndTemporaryFolder) {
  // GetTempPathW asks TMP first.
  const std::wstring temp = environment(L"TMP");
  const std::wstring profile = environment(L"USERPROFILE");
  SetEnvironmentVariableW(L"TMP", L"C:\\Users\\someone\\AppData\\Local\\Temp\\");
  SetEnvironmentVariableW(L"USERPROFILE", L"D:\\Profiles\\someone");
  for (const auto& [path, own] : std::vector<std::pair<std::wstring, bool>>{
           {L"C:\\Users\\someone\\AppData\\Local\\Temp\\onefile_1_2_3", true},
           {L"c:\\users\\SOMEONE\\appdata\\local\\temp\\x\\y", true},
           {L"C:\\Users\\someone\\AppData\\Local\\Temp", false},
           {L"C:\\Users\\someone\\AppData\\Local\\Temporary\\x", false},
           {L"D:\\Profiles\\someone\\AppData\\Local\\MyApp\\1.0", true},
           {L"D:\\Profiles\\someone2\\x", false},
           {L"E:\\Shared\\MyApp", false}}) {
    EXPECT_EQ(is_in_own_folders(path.c_str()), own) << narrow(path);
  }
  SetEnvironmentVariableW(L"TMP", temp.empty() ? nullptr : temp.c_str());
  SetEnvironmentVariableW(L"USERPROFILE", profile.empty() ? nullptr : profile.c_str());
}

}  // namespace
