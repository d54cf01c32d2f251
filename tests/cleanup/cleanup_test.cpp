#include <algorithm>
#include <atomic>
#include <cwchar>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "cleanup/cleanup.h"
#include "launcher/state.h"
#include "tests/support/process.h"

namespace {

// What the seams saw.
std::atomic<int> requests, queries, pauses, malformed_requests;
std::function<void(int)> after_request;  // gets the request's number, from 1
std::mutex closes_lock;
std::vector<std::pair<HANDLE, DWORD>> closed_handles;  // with the closing thread

bool is_empty_text(const wchar_t* text) {
  return text != nullptr && text[0] == L'\0';
}

int WINAPI counting_shell(SHFILEOPSTRUCTW* request) {
  const int call = ++requests;
  const std::size_t length = std::wcslen(target_directory);
  const bool well_formed =
      request->hwnd == nullptr && request->wFunc == FO_DELETE &&
      std::wcscmp(request->pFrom, target_directory) == 0 && request->pFrom[length + 1] == L'\0' &&
      is_empty_text(request->pTo) && request->fFlags == 0x414 && !request->fAnyOperationsAborted &&
      request->hNameMappings == nullptr && is_empty_text(request->lpszProgressTitle);
  if (!well_formed) ++malformed_requests;
  const int result = SHFileOperationW(request);
  // Spoil the request: the next one must be built afresh.
  const_cast<wchar_t*>(request->pFrom)[0] = L'?';
  request->wFunc = 0;
  request->fFlags = 0;
  request->fAnyOperationsAborted = TRUE;
  request->pTo = nullptr;
  if (after_request) after_request(call);
  return result;
}

DWORD WINAPI counting_query(const wchar_t* path) {
  ++queries;
  return GetFileAttributesW(path);
}

void WINAPI counting_pause(DWORD milliseconds) {
  if (milliseconds == 100) ++pauses;
  Sleep(milliseconds);
}

BOOL WINAPI recording_close(HANDLE handle) {
  {
    std::lock_guard<std::mutex> guard(closes_lock);
    closed_handles.emplace_back(handle, GetCurrentThreadId());
  }
  return CloseHandle(handle);
}

int times_closed(HANDLE handle, DWORD thread = 0) {
  std::lock_guard<std::mutex> guard(closes_lock);
  return static_cast<int>(std::count_if(closed_handles.begin(), closed_handles.end(), [&](auto& c) {
    return c.first == handle && (thread == 0 || c.second == thread);
  }));
}

// A small tree like an unpacked payload, with a read-only file and a read-only directory.
void make_tree(const std::wstring& root, int directories = 3, int files = 4) {
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  for (int d = 0; d < directories; ++d) {
    const std::wstring directory = root + L"\\package" + std::to_wstring(d);
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((directory + L"\\data").c_str(), nullptr));
    for (int f = 0; f < files; ++f) {
      ASSERT_TRUE(write_file(directory + L"\\module" + std::to_wstring(f) + L".pyd", "code"));
      ASSERT_TRUE(write_file(directory + L"\\data\\item" + std::to_wstring(f), "data"));
    }
  }
  ASSERT_TRUE(write_file(root + L"\\main.dll", "main"));
  ASSERT_TRUE(SetFileAttributesW((root + L"\\main.dll").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesW((root + L"\\package0\\data").c_str(), FILE_ATTRIBUTE_READONLY));
}

HANDLE start_probe(DWORD sleep_ms, DWORD exit_code) {
  void* process = nullptr;
  start_program(quote_argument(executable_directory_of_test() + L"\\cleanup_probe.exe") + L" " +
                    std::to_wstring(sleep_ms) + L" " + std::to_wstring(exit_code),
                &process);
  return process;
}

class Cleanup : public ::testing::Test {
 protected:
  void SetUp() override {
    requests = queries = pauses = malformed_requests = 0;
    after_request = nullptr;
    closed_handles.clear();
    shell_file_operation = counting_shell;
    attributes_query = counting_query;
    retry_pause = counting_pause;
    handle_close = recording_close;
    set_target(target);
    cleanup_armed = true;
    child_process = nullptr;
  }
  void TearDown() override {
    EXPECT_EQ(malformed_requests, 0);
    shell_file_operation = SHFileOperationW;
    attributes_query = GetFileAttributesW;
    retry_pause = Sleep;
    handle_close = CloseHandle;
    after_request = nullptr;
    cleanup_armed = false;
    child_process = nullptr;
  }
  static void set_target(const std::wstring& path) {
    ASSERT_LT(path.size(), wide_path_capacity);
    std::wcscpy(target_directory, path.c_str());
  }

  scratch_directory scratch;
  const std::wstring target = scratch / L"target";
};

// The walk removes a plain tree whole: the shell is never asked (nor loaded).
TEST_F(Cleanup, NormalEndRemovesTheTreeWithOneQueryAndNoRequest) {
  make_tree(target);
  cleanup_child_and_directory();
  EXPECT_FALSE(path_exists(target));
  EXPECT_EQ(requests, 0);
  EXPECT_EQ(queries, 1);
  EXPECT_EQ(pauses, 0);
}

TEST_F(Cleanup, AlreadyGoneDirectoryMakesOneQueryAndNoRequest) {
  cleanup_child_and_directory();
  EXPECT_EQ(requests, 0);
  EXPECT_EQ(queries, 1);
  EXPECT_EQ(pauses, 0);
}

TEST_F(Cleanup, NotArmedLeavesTheDiskAlone) {
  make_tree(target);
  cleanup_armed = false;
  cleanup_child_and_directory();
  EXPECT_TRUE(path_exists(target + L"\\package2\\data\\item3"));
  EXPECT_EQ(requests + queries + pauses, 0);
}

TEST_F(Cleanup, HeldFileMakesTwentyOneRequestsThenGivesUp) {
  // Held without delete sharing, as a running program holds its files: Wine refuses its
  // deletion just as Windows does, to the walk and to the shell alike.
  make_tree(target);
  const std::wstring held_path = target + L"\\package1\\held.dll";
  HANDLE held = CreateFileW(held_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  cleanup_child_and_directory();
  EXPECT_EQ(requests, 21);
  EXPECT_EQ(queries, 42);  // after each walk and after each request
  EXPECT_EQ(pauses, 20);
  EXPECT_TRUE(path_exists(held_path));
  EXPECT_FALSE(path_exists(target + L"\\package0"));
  EXPECT_FALSE(path_exists(target + L"\\package1\\module0.pyd"));
  EXPECT_FALSE(path_exists(target + L"\\main.dll"));
  CloseHandle(held);
}

TEST_F(Cleanup, FileReleasedDuringTheRetriesGoesWithItsDirectory) {
  make_tree(target);
  HANDLE held = CreateFileW((target + L"\\held.dll").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  after_request = [&](int call) {
    if (call == 2) CloseHandle(held);
  };
  cleanup_child_and_directory();
  EXPECT_FALSE(path_exists(target));
  EXPECT_EQ(requests, 2);  // the third walk takes everything
  EXPECT_EQ(queries, 5);
  EXPECT_EQ(pauses, 2);
}

TEST_F(Cleanup, PlainFileAtThePathAfterTheFirstRequestStopsTheRetries) {
  make_tree(target);
  HANDLE held = CreateFileW((target + L"\\held.dll").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  after_request = [&](int call) {
    if (call != 1) return;
    CloseHandle(held);
    remove_tree_directly(target.c_str());
    write_file(target, "not a directory");
  };
  cleanup_child_and_directory();
  EXPECT_EQ(requests, 1);
  EXPECT_EQ(queries, 2);
  std::string content;
  EXPECT_TRUE(read_file(target, content));
  EXPECT_EQ(content, "not a directory");
}

TEST_F(Cleanup, LongestNameTheShellTakesIsNamedWholeAndLongerOnesAreNotRequested) {
  std::wstring name = scratch / L"x";
  name.append(MAX_PATH - 1 - name.size(), L'y');
  set_target(name);
  // A file held in it keeps the walk from removing the directory, so the shell is asked.
  const std::wstring long_name = L"\\\\?\\" + name;
  ASSERT_TRUE(CreateDirectoryW(long_name.c_str(), nullptr));
  HANDLE held = CreateFileW((long_name + L"\\held").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  after_request = [&](int call) {
    if (call == 1) CloseHandle(held);
  };
  cleanup_child_and_directory();
  EXPECT_FALSE(path_exists(long_name));
  EXPECT_EQ(requests, 1);  // the seam checked the name and its two NULs
  after_request = nullptr;
  // Wine's shell crashes on names of about 560 units; the walk alone deals with longer ones.
  name.append(wide_path_capacity - 1 - name.size(), L'y');
  set_target(name);
  requests = queries = 0;
  cleanup_child_and_directory();
  EXPECT_EQ(requests, 0);
  EXPECT_EQ(queries, 1);
}

TEST_F(Cleanup, ChildEndingInTimeKeepsItsExitCode) {
  cleanup_armed = false;
  HANDLE child = start_probe(300, 0xC0000123);
  ASSERT_NE(child, nullptr);
  HANDLE own = share_child_process(child);
  cleanup_child_and_directory();
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(own, &code));
  EXPECT_EQ(code, 0xC0000123u);
  EXPECT_EQ(times_closed(child), 1);
  EXPECT_EQ(child_process.load(), nullptr);
  release_child_process();
  EXPECT_EQ(times_closed(child), 1);
  CloseHandle(own);
}

TEST_F(Cleanup, ChildStillRunningAfterFiveSecondsIsStoppedWithZero) {
  HANDLE child = start_probe(120000, 9);
  ASSERT_NE(child, nullptr);
  HANDLE own = share_child_process(child);
  make_tree(target);
  cleanup_child_and_directory();
  EXPECT_EQ(WaitForSingleObject(own, 0), WAIT_OBJECT_0);
  DWORD code = 99;
  EXPECT_TRUE(GetExitCodeProcess(own, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(times_closed(child), 1);
  EXPECT_FALSE(path_exists(target));
  CloseHandle(own);
}

TEST_F(Cleanup, HandlerRunsTheCleanupForItsEventsOnlyAndAlwaysReturnsFalse) {
  for (DWORD code : {0u, 1u, 2u, 5u, 6u}) {
    make_tree(target);
    requests = 0;
    EXPECT_EQ(console_ctrl_handler(code), FALSE);
    EXPECT_FALSE(path_exists(target)) << code;
    EXPECT_EQ(requests, 0) << code;
  }
  make_tree(target);
  requests = queries = 0;
  for (DWORD code : {3u, 4u, 7u, 8u, 100u, 0xFFFFFFFFu}) {
    EXPECT_EQ(console_ctrl_handler(code), FALSE);
    EXPECT_TRUE(path_exists(target + L"\\main.dll")) << code;
  }
  EXPECT_EQ(requests + queries, 0);
}

TEST_F(Cleanup, HandlerBeforeArmingWithoutChildDoesNothing) {
  make_tree(target);
  cleanup_armed = false;
  EXPECT_EQ(console_ctrl_handler(CTRL_C_EVENT), FALSE);
  EXPECT_TRUE(path_exists(target + L"\\package0\\data\\item0"));
  EXPECT_EQ(requests + queries + pauses, 0);
  EXPECT_TRUE(closed_handles.empty());  // no child, nothing closed
}

TEST_F(Cleanup, HandlerAndMainThreadCloseTheChildHandleOnce) {
  // The main thread follows the documented protocol while the handler runs before, during or
  // after the main thread's wait.
  cleanup_armed = false;
  constexpr int runs = 60;
  int taken_by_handler = 0;
  for (int i = 0; i < runs; ++i) {
    HANDLE child = start_probe(i % 3 == 0 ? 30 : 0, 0);
    ASSERT_NE(child, nullptr);
    {
      std::lock_guard<std::mutex> guard(closes_lock);
      closed_handles.clear();
    }
    HANDLE own = share_child_process(child);
    ASSERT_NE(own, child);
    std::atomic<DWORD> handler_thread{0};
    std::atomic<BOOL> handler_result{TRUE};
    std::thread handler([&] {
      handler_thread = GetCurrentThreadId();
      if (i % 3 == 2) Sleep(i % 4 * 10);
      handler_result = console_ctrl_handler(CTRL_C_EVENT);
    });
    WaitForSingleObject(own, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(own, &code);
    CloseHandle(own);
    release_child_process();
    handler.join();
    EXPECT_EQ(handler_result, FALSE);
    EXPECT_EQ(times_closed(child), 1) << "run " << i;
    EXPECT_EQ(child_process.load(), nullptr);
    taken_by_handler += times_closed(child, handler_thread);
  }
  std::printf("the handler took the handle in %d of %d runs\n", taken_by_handler, runs);
}

TEST_F(Cleanup, TwoRemovalsAtOnceRemoveTheTree) {
  for (int round = 0; round < 3; ++round) {
    make_tree(target, 8, 12);
    std::thread handler([] { console_ctrl_handler(CTRL_BREAK_EVENT); });
    cleanup_child_and_directory();
    handler.join();
    EXPECT_FALSE(path_exists(target)) << round;
  }
}

std::vector<int> disposition_classes;
bool refuse_posix_deletion = false;

BOOL WINAPI recording_information_set(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS information_class,
                                      void* information, DWORD size) {
  disposition_classes.push_back(information_class);
  if (refuse_posix_deletion && information_class == 21) {  // as before Windows 10 1709
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return SetFileInformationByHandle(handle, information_class, information, size);
}

TEST_F(Cleanup, DirectWalkRemovesPlainTreesAndReportsThemFree) {
  // POSIX deletion first; where the system refuses it (as Wine 8 does), the classic disposition,
  // from then on.
  file_information_set = recording_information_set;
  refuse_posix_deletion = true;
  make_tree(target, 2, 2);
  EXPECT_TRUE(remove_tree_directly(target.c_str()));
  EXPECT_FALSE(path_exists(target));
  ASSERT_GE(disposition_classes.size(), 3u);
  EXPECT_EQ(disposition_classes[0], 21);
  EXPECT_EQ(disposition_classes[1], FileDispositionInfo);
  EXPECT_EQ(std::count(disposition_classes.begin(), disposition_classes.end(), 21), 1);
  file_information_set = SetFileInformationByHandle;
  EXPECT_TRUE(remove_tree_directly(target.c_str()));  // gone: nothing left to follow
  ASSERT_TRUE(write_file(target, "file"));
  EXPECT_FALSE(remove_tree_directly(target.c_str()));  // not the launcher's directory
  EXPECT_TRUE(path_exists(target));
}

// Symbolic links, made from the Linux side: Wine creates none through CreateSymbolicLinkW.
class Links : public Cleanup {
 protected:
  void SetUp() override {
    Cleanup::SetUp();
    if (unix_path(scratch.path()).empty()) GTEST_SKIP() << "needs Wine's file name mapping";
  }
  void TearDown() override {
    // Links go first: any Win32 deletion of them would act on what they point to.
    for (const std::wstring& link : links)
      run_unix(L"/bin/rm -f " + widen(unix_path(link)), link, false);
    Cleanup::TearDown();
  }

  void make_link(const std::wstring& link, const std::wstring& points_to) {
    links.push_back(link);
    ASSERT_TRUE(run_unix(
        L"/bin/ln -s " + widen(unix_path(points_to)) + L" " + widen(unix_path(link)), link, true));
  }
  // Outside the target: a directory with files, one empty directory and one file.
  void make_outside() {
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((outside + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(write_file(outside + L"\\a.txt", "a"));
    ASSERT_TRUE(write_file(outside + L"\\sub\\b.txt", "b"));
    ASSERT_TRUE(CreateDirectoryW(empty_outside.c_str(), nullptr));
    ASSERT_TRUE(write_file(outside_file, "c"));
  }
  void expect_outside_intact() {
    std::string content;
    EXPECT_TRUE(read_file(outside + L"\\a.txt", content) && content == "a");
    EXPECT_TRUE(read_file(outside + L"\\sub\\b.txt", content) && content == "b");
    EXPECT_TRUE(is_directory(empty_outside));
    EXPECT_TRUE(read_file(outside_file, content) && content == "c");
  }

  std::vector<std::wstring> links;
  const std::wstring outside = scratch / L"outside";
  const std::wstring empty_outside = scratch / L"empty";
  const std::wstring outside_file = scratch / L"outside.txt";
};

TEST_F(Links, WineShowsDirectoryLinksAsReparsePointsAndFileLinksAsPlainFiles) {
  make_outside();
  ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
  make_link(target + L"\\to_directory", outside);
  make_link(target + L"\\to_file", outside_file);
  EXPECT_EQ(GetFileAttributesW((target + L"\\to_directory").c_str()),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(GetFileAttributesW((target + L"\\to_file").c_str()),
            static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
}

TEST_F(Links, CleanupNeverFollowsLinksAndMakesNoShellRequestWhileOneRemains) {
  make_outside();
  make_tree(target);
  make_link(target + L"\\package1\\to_directory", outside);
  make_link(target + L"\\package2\\data\\to_empty", empty_outside);
  make_link(target + L"\\to_file", outside_file);
  cleanup_child_and_directory();
  expect_outside_intact();
  EXPECT_EQ(requests, 0);
  EXPECT_EQ(queries, 21);
  EXPECT_EQ(pauses, 20);
  // Everything else went; what holds a link stays.
  EXPECT_FALSE(path_exists(target + L"\\package0"));
  EXPECT_FALSE(path_exists(target + L"\\package1\\module0.pyd"));
  EXPECT_FALSE(path_exists(target + L"\\package2\\data\\item0"));
  EXPECT_FALSE(path_exists(target + L"\\main.dll"));
  EXPECT_TRUE(path_exists(target + L"\\package1\\to_directory"));
}

// Both removals with threads that delete the files beside their walks, as the parent's are.
TEST_F(Links, TwoRemovalsAtOnceLeaveWhatALinkPointsTo) {
  make_outside();
  make_tree(target, 6, 10);
  make_link(target + L"\\package3\\to_directory", outside);
  make_link(target + L"\\package4\\to_file", outside_file);
  retry_pause = [](DWORD) {};
  removal_helpers = 4;
  std::thread handler([] { console_ctrl_handler(CTRL_CLOSE_EVENT); });
  cleanup_child_and_directory();
  handler.join();
  removal_helpers = 0;
  expect_outside_intact();
  EXPECT_EQ(requests, 0);
}

TEST_F(Links, TargetThatIsItselfALinkIsLeftAlone) {
  make_outside();
  make_link(target, outside);
  EXPECT_FALSE(remove_tree_directly(target.c_str()));
  cleanup_child_and_directory();
  expect_outside_intact();
  EXPECT_EQ(requests, 0);
}

}  // namespace
