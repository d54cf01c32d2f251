#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/payload.h"
#include "tests/payload/payload_blocks.h"
#include "tests/support/process.h"

namespace {

class PayloadExtraction : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }

  static void reset() {
    reset_payload_stream();
    for (int i = 0; i < created_directories_count; ++i) std::free(created_directories[i]);
    created_directories_count = 0;
    uncached_directories_count = 0;
    target_directory[0] = 0;
    entry_name[0] = 0;
    entry_path[0] = 0;
  }

  void open(const std::vector<payload_entry>& entries, bool with_end_marker = true) {
    block_ = make_block(make_frame(make_entry_list(entries, with_end_marker)));
    open_payload_block(block_.data(), block_.size());
  }

  // The parent's walk: each name read, joined to the target directory, and written.
  static int extract_all(const std::wstring& target) {
    int count = 0;
    while (read_entry_name()) {
      set_entry_path(target);
      write_entry();
      ++count;
    }
    return count;
  }
  static void set_entry_path(const std::wstring& target) {
    const std::wstring path = target + L"\\" + entry_name;
    ASSERT_LT(path.size(), wide_path_capacity);
    path.copy(entry_path, path.size());
    entry_path[path.size()] = 0;
  }

  static std::vector<std::wstring> recorded() {
    return std::vector<std::wstring>(created_directories,
                                     created_directories + created_directories_count);
  }
  static std::wstring home() {
    wchar_t path[wide_path_capacity];
    EXPECT_TRUE(expand_path_spec(path, L"{HOME}", wide_path_capacity));
    return path;
  }
  static std::string contents(const std::wstring& path) {
    std::string data;
    EXPECT_TRUE(read_file(path, data)) << narrow(path);
    return data;
  }

  bytes block_;
};

TEST_F(PayloadExtraction, NestedNameCreatesEveryLevelOutermostFirstAndRecordsEach) {
  scratch_directory scratch;
  const std::wstring target = scratch / L"target";
  open({{L"a\\b\\c\\first.bin", "one"}, {L"a\\b\\c\\second.bin", "two"}});

  ASSERT_TRUE(read_entry_name());
  EXPECT_STREQ(entry_name, L"a\\b\\c\\first.bin");
  set_entry_path(target);
  write_entry();
  // The home folder first, then the levels that had to be made, outermost first. The climb stopped
  // at the target directory, which could be made, so the folder that holds it was never asked for.
  const std::vector<std::wstring> expected = {home(), target, target + L"\\a", target + L"\\a\\b",
                                              target + L"\\a\\b\\c"};
  EXPECT_EQ(recorded(), expected);
  EXPECT_EQ(contents(target + L"\\a\\b\\c\\first.bin"), "one");

  // The second file's directory is found in the cache: nothing is created or recorded.
  ASSERT_TRUE(read_entry_name());
  set_entry_path(target);
  write_entry();
  EXPECT_EQ(created_directories_count, 5);
  EXPECT_EQ(contents(target + L"\\a\\b\\c\\second.bin"), "two");
  EXPECT_FALSE(read_entry_name());
  EXPECT_STREQ(entry_name, L"");
}

std::vector<std::wstring> created_paths;

HANDLE WINAPI recording_create(const wchar_t* path, DWORD access, DWORD share,
                               SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags,
                               HANDLE template_file) {
  created_paths.push_back(path);
  return CreateFileW(path, access, share, security, disposition, flags, template_file);
}

// Past MAX_PATH without the system's long-path switch: files are created in the "\\?\" form, and
// the directories the cache records keep the plain one.
TEST_F(PayloadExtraction, FilesAreCreatedInTheLongPathForm) {
  scratch_directory scratch;
  const std::wstring target = scratch / L"target";
  const std::wstring deep = std::wstring(120, L'd') + L"\\" + std::wstring(120, L'e');
  open({{deep + L"\\file.bin", "deep"}});
  entry_file_create = recording_create;
  EXPECT_EQ(extract_all(target), 1);
  entry_file_create = CreateFileW;
  ASSERT_EQ(created_paths.size(), 1u);
  EXPECT_EQ(created_paths[0], L"\\\\?\\" + target + L"\\" + deep + L"\\file.bin");
  EXPECT_EQ(recorded().back(), target + L"\\" + deep);
  EXPECT_EQ(contents(L"\\\\?\\" + target + L"\\" + deep + L"\\file.bin"), "deep");
}

TEST_F(PayloadExtraction, SizesAroundTheChunkAreWrittenWhole) {
  scratch_directory scratch;
  const bytes large = random_bytes(5 * write_buffer_size + 17, 11);
  const std::vector<payload_entry> entries = {
      {L"empty", ""},
      {L"one_chunk", std::string(write_buffer_size, 'o')},
      {L"two_chunks", std::string(write_buffer_size + 1, 'x')},
      {L"dir\\large", std::string(large.begin(), large.end())},
  };
  open(entries);
  EXPECT_EQ(extract_all(scratch.path()), 4);
  for (const payload_entry& entry : entries) {
    EXPECT_EQ(contents(scratch / entry.name), entry.data) << narrow(entry.name);
  }
}

// A death test's process runs the test again from its start, so the directory that it writes
// into has the same name in both processes; what the dying process leaves, the parent removes.
class fixed_directory {
 public:
  explicit fixed_directory(const std::wstring& name) {
    wchar_t temp[MAX_PATH + 1];
    path_.assign(temp, GetTempPathW(MAX_PATH + 1, temp));
    path_ += name;
    remove_tree(path_);
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~fixed_directory() { remove_tree(path_); }
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

 private:
  std::wstring path_;
};

TEST_F(PayloadExtraction, AnythingAlreadyBelowTheTargetIsSomeoneElsesAndEndsTheRun) {
  const struct {
    const wchar_t* planted;  // relative to the target; a trailing backslash plants a directory
    const wchar_t* entry;
  } cases[] = {
      {L"file.txt", L"file.txt"},      // a file where an entry's file goes
      {L"sub\\", L"sub\\file.txt"},    // a directory where an entry's directory goes
      {L"sub", L"sub\\file.txt"},      // a file there
      {L"a\\b\\", L"a\\b\\file.txt"},  // deeper down, below a directory of its own
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(narrow(c.planted));
    reset();
    const fixed_directory scratch(L"onefile_payload_planted");
    const std::wstring target = scratch / L"target";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    std::wstring planted = target + L"\\" + c.planted;
    if (planted.back() == L'\\') {
      planted.pop_back();
      const std::wstring parent = planted.substr(0, planted.rfind(L'\\'));
      if (parent != target) {
        ASSERT_TRUE(CreateDirectoryW(parent.c_str(), nullptr));
      }
      ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
    } else {
      ASSERT_TRUE(write_file(planted, "theirs"));
    }
    std::wcscpy(target_directory, target.c_str());
    open({{c.entry, "ours"}});
    std::string expected = "^";
    expected += literal_regex("Error, '" + narrow(planted) +
                              "' was made by another process in the target directory.");
    expected += "\r?\n$";
    EXPECT_EXIT(extract_all(target), ::testing::ExitedWithCode(2), expected);
    if (!is_directory(planted)) {
      EXPECT_EQ(contents(planted), "theirs");
    }
  }
}

TEST_F(PayloadExtraction, EndMarkerFirstWritesNothing) {
  scratch_directory scratch;
  open({});
  EXPECT_EQ(extract_all(scratch / L"target"), 0);
  EXPECT_STREQ(entry_name, L"");
  EXPECT_EQ(created_directories_count, 0);
  EXPECT_FALSE(path_exists(scratch / L"target"));
}

TEST_F(PayloadExtraction, NamesUpTo1023UnitsFitAndLongerOnesEndTheRun) {
  const std::wstring longest(entry_name_capacity - 1, L'n');
  open({{longest, "x"}, {L"next", "y"}});
  ASSERT_TRUE(read_entry_name());
  EXPECT_EQ(std::wstring(entry_name), longest);
  std::uint64_t size = 0;
  read_payload(&size, sizeof size);
  char byte = 0;
  read_payload(&byte, 1);
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(byte, 'x');
  ASSERT_TRUE(read_entry_name());
  EXPECT_STREQ(entry_name, L"next");

  // One unit more does not fit: the abnormal end, not the exit code 2 of a reported failure.
  reset();
  open({{longest + L"n", "x"}});
  EXPECT_EXIT(
      read_entry_name(), [](int code) { return code != 0 && code != 2; }, "");
}

TEST_F(PayloadExtraction, DirectoryTakenByAFileFailsToOpenNamingTheFullPath) {
  const fixed_directory scratch(L"onefile_payload_taken_directory");
  ASSERT_TRUE(is_directory(scratch.path()));
  ASSERT_TRUE(write_file(scratch / L"taken", "a file"));
  // The name counts as an existing directory and is recorded.
  EXPECT_TRUE(create_directory_cached((scratch / L"taken").c_str()));
  EXPECT_EQ(recorded().back(), scratch / L"taken");

  open({{L"taken\\file.txt", "data"}});
  ASSERT_TRUE(read_entry_name());
  set_entry_path(scratch.path());
  // Built by appending: GCC 12 warns wrongly about a literal + std::string here.
  std::string expected = "^";
  expected += literal_regex("Error, failed to open '" + narrow(scratch / L"taken\\file.txt"));
  expected += literal_regex("' for writing.");
  expected += "\r?\n$";
  EXPECT_EXIT(write_entry(), ::testing::ExitedWithCode(2), expected);
}

TEST_F(PayloadExtraction, FullCacheStillCreatesDirectories) {
  scratch_directory scratch;
  // One directory exists on disk before it is asked for: reported existing and recorded.
  ASSERT_TRUE(CreateDirectoryW((scratch / L"d0").c_str(), nullptr));
  int made = 0;
  while (created_directories_count < created_directories_capacity) {
    const std::wstring directory = scratch / (L"d" + std::to_wstring(made++));
    ASSERT_TRUE(create_directory_cached(directory.c_str()));
    ASSERT_EQ(recorded().back(), directory);
  }
  EXPECT_EQ(made, created_directories_capacity - 1);  // the home folder is the first entry
  EXPECT_EQ(created_directories[0], home());

  // From here on the scratch directory is a target directory: a directory that this launch made
  // after the cache was full is still known as its own when it is asked for again.
  std::wcscpy(target_directory, scratch.path().c_str());

  const std::wstring later = scratch / L"later";
  EXPECT_TRUE(create_directory_cached(later.c_str()));
  EXPECT_TRUE(is_directory(later));
  EXPECT_EQ(created_directories_count, created_directories_capacity);
  // Not recorded, so asked again it is created again, which finds it already there.
  EXPECT_TRUE(create_directory_cached(later.c_str()));
  EXPECT_EQ(created_directories_count, created_directories_capacity);

  // Whole files below unrecorded directories still get their directories made.
  open({{L"deep\\er\\file.txt", "data"}});
  EXPECT_EQ(extract_all(scratch.path()), 1);
  EXPECT_EQ(contents(scratch / L"deep\\er\\file.txt"), "data");
  EXPECT_EQ(created_directories_count, created_directories_capacity);
}

TEST_F(PayloadExtraction, DrivesNamesWithoutSeparatorAndMissingParents) {
  scratch_directory scratch;
  // No separator after the first unit: nothing to create, not even the home entry.
  EXPECT_TRUE(create_containing_directories(L"file.txt"));
  EXPECT_TRUE(create_containing_directories(L"\\file.txt"));
  EXPECT_EQ(created_directories_count, 0);

  // A drive counts as existing without being recorded.
  EXPECT_TRUE(create_directory_cached(L"C:"));
  EXPECT_EQ(recorded(), std::vector<std::wstring>{home()});

  // Without its parents a directory can't be made on its own, and nothing is recorded.
  EXPECT_FALSE(create_directory_cached((scratch / L"missing\\child").c_str()));
  EXPECT_EQ(created_directories_count, 1);

  // A directory that can't be made at all: the climb finds its parent, the retry still fails.
  EXPECT_FALSE(create_containing_directories((scratch / L"in<valid\\file.txt").c_str()));
  EXPECT_EQ(recorded().back(), scratch.path());

  // A drive-rooted path climbs up to the drive at most.
  const std::wstring file = scratch / L"x\\y\\z.txt";
  EXPECT_TRUE(create_containing_directories(file.c_str()));
  EXPECT_TRUE(is_directory(scratch / L"x\\y"));
}

}  // namespace
