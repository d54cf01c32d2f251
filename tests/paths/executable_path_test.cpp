#include <cwchar>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "launcher/state.h"
#include "paths/paths.h"
#include "tests/paths/probe.h"

namespace {

// The volume and file index of a file, to tell whether two paths name the same file.
std::pair<DWORD, ULONGLONG> file_identity(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {0, 0};
  BY_HANDLE_FILE_INFORMATION info{};
  GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  return {info.dwVolumeSerialNumber,
          (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::wstring directory_part(const std::wstring& path) {
  return path.substr(0, path.rfind(L'\\'));
}
std::wstring last_component(const std::wstring& path) {
  return path.substr(path.rfind(L'\\') + 1);
}

std::wstring stripped(const wchar_t* text) {
  wchar_t path[64];
  std::wcscpy(path, text);
  strip_final_path_prefix(path);
  return path;
}

TEST(FinalPathPrefix, DriveAndUncPrefixesGoVolumeNamesStay) {
  EXPECT_EQ(stripped(L"\\\\?\\C:\\dir\\app.exe"), L"C:\\dir\\app.exe");
  EXPECT_EQ(stripped(L"\\\\?\\Z:"), L"Z:");
  EXPECT_EQ(stripped(L"\\\\?\\UNC\\server\\share\\app.exe"), L"\\\\server\\share\\app.exe");
  EXPECT_EQ(stripped(L"\\\\?\\Volume{1234}\\app.exe"), L"\\\\?\\Volume{1234}\\app.exe");
  EXPECT_EQ(stripped(L"\\\\?\\"), L"\\\\?\\");
  EXPECT_EQ(stripped(L"C:\\dir"), L"C:\\dir");
  EXPECT_EQ(stripped(L"\\\\server\\share"), L"\\\\server\\share");
}

TEST(ResolveFinalPath, NamesTheSameFileWithoutPrefixOrLeavesAnUnopenablePath) {
  scratch_directory scratch;
  const std::wstring file = scratch / L"file.txt";
  ASSERT_TRUE(write_file(file, "x"));
  wchar_t path[4096];
  std::wcscpy(path, file.c_str());
  resolve_final_path(path, 4096);
  EXPECT_NE(std::wcsncmp(path, L"\\\\?\\", 4), 0) << path;
  EXPECT_EQ(file_identity(path), file_identity(file)) << path;

  const std::wstring missing = scratch / L"no such file.txt";
  std::wcscpy(path, missing.c_str());
  resolve_final_path(path, 4096);
  EXPECT_EQ(path, missing);

  // A relative path resolves to a full one; a final path that does not fit ends the run.
  const process_result fits = run_paths_probe({L"resolve", L"paths_probe.exe"});
  EXPECT_EQ(fits.exit_code, 0u);
  EXPECT_EQ(file_identity(first_line(fits)), file_identity(paths_probe_path()));
  EXPECT_TRUE(ended_abnormally(run_paths_probe({L"resolve", L"paths_probe.exe", L"20"})));
}

TEST(ShortenDirectoryPart, KeepsTheLastComponentAndMissingDirectories) {
  wchar_t path[4096] = L"C:\\no such directory\\at all\\file with long name.txt";
  shorten_directory_part(path, 4096);
  EXPECT_STREQ(path, L"C:\\no such directory\\at all\\file with long name.txt");

  std::wcscpy(path, L"no directory at all");
  shorten_directory_part(path, 4096);
  EXPECT_STREQ(path, L"no directory at all");

  scratch_directory scratch;
  const std::wstring directory = scratch / L"a directory with a long name";
  ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
  const std::wstring file = directory + L"\\a file with a long name.txt";
  ASSERT_TRUE(write_file(file, "x"));
  std::wcscpy(path, file.c_str());
  shorten_directory_part(path, 4096);
  EXPECT_EQ(last_component(path), L"a file with a long name.txt");
  EXPECT_EQ(file_identity(path), file_identity(file));
  EXPECT_EQ(std::wstring(path).find(L"a directory with a long name"), std::wstring::npos) << path;

  // An empty last component: the backslash survives after the shortened directory.
  const std::wstring with_backslash = directory + L"\\";
  std::wcscpy(path, with_backslash.c_str());
  shorten_directory_part(path, 4096);
  ASSERT_EQ(path[std::wcslen(path) - 1], L'\\') << path;
  EXPECT_EQ(file_identity(directory_part(path)), file_identity(directory));

  // The short directory and the long last component no longer fit.
  const std::wstring shortened = path;
  const std::wstring capacity = std::to_wstring(shortened.size() + 3);
  EXPECT_TRUE(ended_abnormally(run_paths_probe({L"shorten", file, capacity})));
}

TEST(CopyBounded, FillsTheCapacityExactlyOrEndsTheRun) {
  wchar_t destination[4] = L"zzz";
  copy_bounded(destination, L"abc", 4);
  EXPECT_STREQ(destination, L"abc");
  const process_result fits = run_paths_probe({L"copy", L"abcd", L"5"});
  EXPECT_EQ(fits.exit_code, 0u);
  EXPECT_EQ(first_line(fits), L"abcd");
  EXPECT_TRUE(ended_abnormally(run_paths_probe({L"copy", L"abcd", L"4"})));
}

TEST(ExecutablePath, CachedPlainAndResolvedForms) {
  wchar_t module[4096];
  GetModuleFileNameW(nullptr, module, 4096);
  wchar_t* plain = get_executable_path(executable_path_form::plain);
  EXPECT_EQ(plain, plain_executable_path);
  EXPECT_STREQ(plain, module);
  EXPECT_EQ(get_executable_path(executable_path_form::plain), plain);

  wchar_t* resolved = get_executable_path(executable_path_form::resolved);
  EXPECT_EQ(resolved, resolved_executable_path);
  EXPECT_EQ(last_component(resolved), L"paths_test.exe");
  EXPECT_EQ(file_identity(resolved), file_identity(module)) << resolved;
  EXPECT_EQ(get_executable_path(executable_path_form::resolved), resolved);
}

TEST(ExecutablePath, CacheAnswersAfterTheExecutableWasMoved) {
  scratch_directory scratch;
  const std::wstring copy = scratch / L"probe.exe";
  ASSERT_TRUE(CopyFileW(paths_probe_path().c_str(), copy.c_str(), FALSE));
  const process_result result = run_paths_probe({L"cache", scratch / L"moved.exe"}, {}, copy);
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(first_line(result), L"same");
  EXPECT_TRUE(path_exists(scratch / L"moved.exe"));
}

TEST(ExecutablePath, PlainKeepsTheLongDirectoryResolvedHasTheShortOne) {
  scratch_directory scratch;
  const std::wstring directory = scratch / L"a directory with a long name";
  ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
  const std::wstring copy = directory + L"\\probe with a long name.exe";
  ASSERT_TRUE(CopyFileW(paths_probe_path().c_str(), copy.c_str(), FALSE));
  const process_result result = run_paths_probe({L"paths"}, {}, copy);
  ASSERT_EQ(result.exit_code, 0u) << result.err;
  const std::string out = result.out;
  const std::size_t newline = out.find('\n');
  const std::wstring plain = widen(out.substr(0, newline));
  const std::wstring resolved =
      widen(out.substr(newline + 1, out.find('\n', newline + 1) - newline - 1));
  EXPECT_EQ(plain, copy);
  EXPECT_EQ(last_component(resolved), L"probe with a long name.exe");
  EXPECT_EQ(resolved.find(L"a directory with a long name"), std::wstring::npos) << resolved;
  EXPECT_EQ(file_identity(resolved), file_identity(copy)) << resolved;
}

}  // namespace
