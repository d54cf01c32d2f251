// The target directory as a trust boundary, with real launchers under Wine and the test playing
// the other local process: names that are taken, things planted during unpacking, a parent
// killed from outside, a grandchild that keeps the directory in use, who may use it, and a kept
// directory that later launches run from.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "tests/reliability/launch_support.h"
#include "tests/support/process.h"

namespace {

std::string exists_error(const std::wstring& target) {
  return "Error, target directory '" + narrow(target) + "' already exists.\n";
}

std::wstring fixed_target(const launch_files& files) {
  return files.temp / L"onefile_fixed";
}

// Waits until the path is gone; false when it is still there after the time.
bool wait_for_removal(const std::wstring& path, DWORD milliseconds = 10000) {
  for (DWORD waited = 0; path_exists(path); waited += 10) {
    if (waited >= milliseconds) return false;
    Sleep(10);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// A fixed target spec: whatever stands at the name is refused, and nothing of it is touched.

TEST(FixedTarget, WhateverStandsAtTheNameIsRefusedAndLeftAsItWas) {
  enum class planted { directory, file, link };
  for (const planted kind : {planted::directory, planted::file, planted::link}) {
    SCOPED_TRACE(static_cast<int>(kind));
    launch_files files;
    scratch_directory elsewhere;
    const std::wstring target = fixed_target(files);
    std::vector<std::wstring> before;
    if (kind == planted::directory) {
      // A user's own folder, with a library that the application would load if it ran there.
      ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
      ASSERT_TRUE(write_file(target + L"\\user_notes.txt", "notes"));
      ASSERT_TRUE(CreateDirectoryW((target + L"\\sub").c_str(), nullptr));
      ASSERT_TRUE(write_file(target + L"\\sub\\keep.txt", "keep"));
      ASSERT_TRUE(write_file(target + L"\\optional_plugin.dll", "MZ planted"));
      list_tree(target, L"", before);
    } else if (kind == planted::file) {
      ASSERT_TRUE(write_file(target, "a file"));
    } else {
      if (unix_path(elsewhere.path()).empty()) GTEST_SKIP() << "needs Wine's file name mapping";
      ASSERT_TRUE(write_file(elsewhere / L"theirs.txt", "theirs"));
      ASSERT_TRUE(run_unix(L"/bin/ln -s " + widen(unix_path(elsewhere.path())) + L" " +
                               widen(unix_path(files.temp.path())) + L"/onefile_fixed",
                           target, true));
    }
    started_launch run(launcher(L"fixed_launcher.exe"), files.environment());
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(run.exit_code(), 2u);
    EXPECT_EQ(run.out(), "");
    EXPECT_EQ(run.err(), exists_error(target));
    EXPECT_FALSE(path_exists(files.ready)) << "the application ran";
    std::string content;
    if (kind == planted::directory) {
      std::vector<std::wstring> after;
      list_tree(target, L"", after);
      EXPECT_EQ(after, before);
      EXPECT_TRUE(read_file(target + L"\\sub\\keep.txt", content) && content == "keep");
    } else if (kind == planted::file) {
      EXPECT_TRUE(read_file(target, content) && content == "a file");
    } else {
      EXPECT_EQ(directory_entries(elsewhere.path()), std::vector<std::wstring>{L"theirs.txt"});
      run_unix(L"/bin/rm -f " + widen(unix_path(files.temp.path())) + L"/onefile_fixed", target,
               false);
    }
  }
}

TEST(FixedTarget, ALeftoverOfAKilledLaunchIsSetAsideAndTheNameMadeAfresh) {
  launch_files files;
  const std::wstring target = fixed_target(files);
  {
    started_launch killed(launcher(L"fixed_launcher.exe"),
                          files.environment({L"ONEFILE_TEST_GO=" + files.go}));
    ASSERT_TRUE(wait_for_path(files.ready));
    ASSERT_TRUE(TerminateProcess(killed.handle(), 9));
    ASSERT_TRUE(killed.wait(10000));
  }
  ASSERT_TRUE(path_exists(target + L"\\onefile.lock")) << "no leftover to reuse";
  DeleteFileW(files.ready.c_str());
  started_launch run(launcher(L"fixed_launcher.exe"),
                     files.environment({L"ONEFILE_TEST_GO=" + files.go, L"ONEFILE_TEST_EXIT=7"}));
  ASSERT_TRUE(wait_for_path(files.ready)) << run.err();
  EXPECT_EQ(read_ready(files.ready).target, target);
  // The leftover went aside under a leftover's name, which the launch's own sweep removes.
  for (int i = 0; i < 1000 && directory_entries(files.temp.path()).size() > 1; ++i) Sleep(10);
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{L"onefile_fixed"});
  files.release();
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 7u) << run.err();
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
}

TEST(RandomTarget, ANameThatIsTakenGetsANewRandomPart) {
  launch_files files;
  const std::wstring taken = files.temp / L"random_AAAAAAAAAAA";
  ASSERT_TRUE(CreateDirectoryW(taken.c_str(), nullptr));
  ASSERT_TRUE(write_file(taken + L"\\theirs.txt", "theirs"));
  started_launch run(launcher(L"random_launcher.exe"),
                     files.environment({L"ONEFILE_TEST_FIRST_RANDOM_ZERO=1"}));
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 0u) << run.err();
  const std::wstring target = read_ready(files.ready).target;
  EXPECT_EQ(target.rfind(files.temp / L"random_", 0), 0u) << narrow(target);
  EXPECT_NE(target, taken);
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{L"random_AAAAAAAAAAA"});
  EXPECT_EQ(directory_entries(taken), std::vector<std::wstring>{L"theirs.txt"});
}

// ---------------------------------------------------------------------------------------------
// Something planted inside while the launch unpacks: many_launcher writes thirty directories of a
// hundred files each, d0 first and d10 next (in the order of the entries); the plant comes as soon
// as d0's first file shows, ahead of the launch.

TEST(Planted, AFileOrDirectoryMadeDuringUnpackingEndsTheLaunchAndNothingStays) {
  const struct {
    const wchar_t* name;
    bool directory;
  } cases[] = {{L"d0\\f099.txt", false}, {L"d10", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(narrow(c.name));
    launch_files files;
    started_launch run(launcher(L"many_launcher.exe"), files.environment());
    std::wstring target;
    for (int i = 0; i < 120000 && target.empty() && !run.wait(0); ++i) {
      const std::vector<std::wstring> names = directory_entries(files.temp.path());
      if (!names.empty()) target = files.temp / names[0];
      Sleep(1);
    }
    ASSERT_FALSE(target.empty());
    while (!path_exists(target + L"\\d0\\f000.txt") && !run.wait(0)) Sleep(0);
    const std::wstring planted = target + L"\\" + c.name;
    ASSERT_TRUE(c.directory ? CreateDirectoryW(planted.c_str(), nullptr)
                            : write_file(planted, "planted"))
        << "the launch got there first";
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(run.exit_code(), 2u);
    EXPECT_EQ(run.err(), "Error, '" + narrow(planted) +
                             "' was made by another process in the target directory.\n");
    EXPECT_FALSE(path_exists(files.ready));
    // The whole directory goes, and what was planted in it with it.
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
}

// ---------------------------------------------------------------------------------------------
// A parent killed from outside: the child ends with it (the job; the child's own watch where no
// job can be had), and a later launch sweeps the directory that stayed. The same inside the job
// of a build tool or CI agent: one that lets the child leave (the child is then in the parent's
// job alone), and one that doesn't where the parent's job can't be had either (Windows 7): the
// child watches, and a stock runner's program, which no job of the runner's holds then, ends with
// it.

// A job that the launcher runs in from its start. Wine answers no limits for it, so the launcher
// is told them (ONEFILE_TEST_JOB_LIMITS), as Windows would tell it.
HANDLE make_outer_job(DWORD limits) {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION information{};
  information.BasicLimitInformation.LimitFlags = limits;
  EXPECT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &information,
                                      sizeof information));
  return job;
}

TEST(ParentKilled, TheChildEndsAtOnceAndALaterLaunchSweepsTheDirectory) {
  constexpr DWORD kills = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  const std::wstring no_job = L"ONEFILE_TEST_NO_JOB=1";
  const struct {
    const char* name;
    const wchar_t* executable;
    std::vector<std::wstring> seams;
    DWORD outer_job_limits;  // 0: no outer job
    bool swept;              // a later launch is shown to sweep the directory
  } rows[] = {
      {"job", L"fault_launcher.exe", {}, 0, true},
      {"watch", L"fault_launcher.exe", {no_job}, 0, true},
      {"outer_job_left", L"fault_launcher.exe", {}, kills | JOB_OBJECT_LIMIT_BREAKAWAY_OK, false},
      {"outer_job_kept_program",
       L"run_launcher.exe",
       {no_job, L"ONEFILE_TEST_NO_PROGRAM_JOB=1"},
       kills,
       false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    launch_files files;
    HANDLE outer = row.outer_job_limits != 0 ? make_outer_job(row.outer_job_limits) : nullptr;
    std::vector<std::wstring> changes = row.seams;
    changes.push_back(L"ONEFILE_TEST_GO=" + files.go);
    if (outer != nullptr) {
      changes.push_back(L"ONEFILE_TEST_JOB_LIMITS=" + std::to_wstring(row.outer_job_limits));
    }
    started_launch killed(launcher(row.executable), files.environment(changes), 0, outer);
    ASSERT_TRUE(wait_for_path(files.ready));
    const ready_note first = read_ready(files.ready);
    // The application's process, and for a program the runner's child that started it.
    std::vector<HANDLE> application = {
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, first.child_id)};
    ASSERT_NE(application[0], nullptr);
    for (const process_entry& entry : running_processes()) {
      if (entry.id == first.child_id && entry.parent != killed.id()) {
        application.push_back(OpenProcess(SYNCHRONIZE, FALSE, entry.parent));
      }
    }
    if (outer != nullptr) {
      BOOL in_outer_job = FALSE;
      IsProcessInJob(application[0], outer, &in_outer_job);
      EXPECT_EQ(in_outer_job == FALSE, (row.outer_job_limits & JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0);
    }
    ASSERT_TRUE(TerminateProcess(killed.handle(), 9));
    const auto killed_at = std::chrono::steady_clock::now();
    for (HANDLE process : application) {
      EXPECT_EQ(WaitForSingleObject(process, 1000), WAIT_OBJECT_0) << "outlived the parent";
      CloseHandle(process);
    }
    note(std::string("child_end_ms_") + row.name,
         std::to_string(
             std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - killed_at)
                 .count()));
    ASSERT_TRUE(is_directory(first.target));
    if (outer != nullptr) CloseHandle(outer);
    if (!row.swept) continue;

    DeleteFileW(files.ready.c_str());
    started_launch later(launcher(L"fault_launcher.exe"),
                         files.environment({L"ONEFILE_TEST_GO=" + files.go}));
    ASSERT_TRUE(wait_for_path(files.ready));
    EXPECT_TRUE(wait_for_removal(first.target)) << "the leftover was not swept";
    files.release();
    ASSERT_TRUE(later.wait(120000));
    EXPECT_EQ(later.exit_code(), 0u) << later.err();
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
}

// A handle list that the system refuses fails the child's start with ERROR_INVALID_PARAMETER: the
// child starts again without it, and still with the launcher's standard handles.
TEST(HandleList, ARefusedListStartsTheChildWithoutItAndWithItsStandardHandles) {
  launch_files files;
  started_launch run(
      launcher(L"fault_launcher.exe"),
      files.environment({L"ONEFILE_TEST_REFUSE_HANDLE_LIST=1",
                         L"ONEFILE_TEST_SAY=said by the child", L"ONEFILE_TEST_EXIT=5"}));
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 5u) << run.err();
  EXPECT_EQ(run.out(), "said by the child");
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
}

// A grandchild that holds a file of the target directory open keeps it in use: the launch leaves
// it, sweeps leave it while the grandchild runs, and the first sweep after takes it.
TEST(Grandchild, KeepsTheDirectoryWhileItRunsAndASweepTakesItAfter) {
  launch_files files;
  started_launch first(
      launcher(L"fault_launcher.exe"),
      files.environment({L"ONEFILE_TEST_GRANDCHILD=" + quote_argument(TEST_SLEEPER) + L" 8000 0"}));
  ASSERT_TRUE(first.wait(120000));
  EXPECT_EQ(first.exit_code(), 0u);
  const ready_note note_of_first = read_ready(files.ready);
  ASSERT_TRUE(is_directory(note_of_first.target)) << "the grandchild's directory was removed";
  DWORD grandchild_id = 0;
  for (const process_entry& entry : running_processes()) {
    if (entry.parent == note_of_first.child_id) grandchild_id = entry.id;
  }
  HANDLE grandchild = OpenProcess(SYNCHRONIZE, FALSE, grandchild_id);
  ASSERT_NE(grandchild, nullptr) << "the grandchild ended too early";

  const auto launch_once = [&] {
    DeleteFileW(files.ready.c_str());
    started_launch run(launcher(L"fault_launcher.exe"),
                       files.environment({L"ONEFILE_TEST_GO=" + files.go}));
    EXPECT_TRUE(wait_for_path(files.ready));
    Sleep(1500);  // the sweep starts half a second into the child's run
    files.release();
    EXPECT_TRUE(run.wait(120000));
    DeleteFileW(files.go.c_str());
  };
  launch_once();
  EXPECT_EQ(WaitForSingleObject(grandchild, 0), WAIT_TIMEOUT) << "the test was too slow";
  EXPECT_TRUE(is_directory(note_of_first.target)) << "swept while in use";
  ASSERT_EQ(WaitForSingleObject(grandchild, 60000), WAIT_OBJECT_0);
  CloseHandle(grandchild);
  launch_once();
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
}

// A program's processes when it ends: what runs from the unpack directory ends with it, so that
// the directory goes; what runs from elsewhere goes on, as without the launcher, and so does what
// asked to leave the job (which it may).
TEST(Grandchild, OfARunProgramOnlyWhatRunsFromTheDirectoryEndsWithTheProgram) {
  launch_files files;
  const std::wstring started = files.work / L"started";
  started_launch run(launcher(L"run_launcher.exe"),
                     files.environment({L"ONEFILE_TEST_START=" + started,
                                        L"ONEFILE_TEST_OUTSIDE=" + std::wstring(TEST_RUN_PROGRAM),
                                        L"ONEFILE_TEST_GO=" + files.go, L"ONEFILE_TEST_EXIT=3"}));
  ASSERT_TRUE(wait_for_path(files.ready));
  std::string ids;
  ASSERT_TRUE(read_file(started, ids));
  HANDLE processes[3] = {};
  const char* text = ids.c_str();
  for (HANDLE& process : processes) {
    char* end = nullptr;
    const DWORD id = std::strtoul(text, &end, 10);
    text = *end == '|' ? end + 1 : end;
    process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
    ASSERT_NE(process, nullptr) << "not started: " << ids;
  }
  const auto [inside, outside, broke_away] = processes;
  files.release();
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 3u) << run.err();
  EXPECT_EQ(WaitForSingleObject(inside, 0), WAIT_OBJECT_0) << "ran on from the directory";
  EXPECT_EQ(WaitForSingleObject(outside, 0), WAIT_TIMEOUT) << "ended though it ran from outside";
  EXPECT_EQ(WaitForSingleObject(broke_away, 0), WAIT_TIMEOUT) << "ended though it left the job";
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  for (HANDLE process : processes) {
    TerminateProcess(process, 0);
    CloseHandle(process);
  }
}

// ---------------------------------------------------------------------------------------------
// Who may use the directory: its user alone, and the mark shows it in use to anyone who asks.

TEST(Ownership, TheDirectoryGrantsItsUserAloneAndItsMarkIsHeld) {
  launch_files files;
  started_launch run(launcher(L"fault_launcher.exe"),
                     files.environment({L"ONEFILE_TEST_GO=" + files.go}));
  ASSERT_TRUE(wait_for_path(files.ready));
  const std::wstring target = read_ready(files.ready).target;

  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(target.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  wchar_t* text = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                       DACL_SECURITY_INFORMATION, &text, nullptr);
  const std::string sddl = text != nullptr ? narrow(text) : "";
  note("dacl", sddl);
  ASSERT_NE(dacl, nullptr) << "no DACL: everyone may use it";
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  alignas(8) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, user, sizeof user, &size));
  CloseHandle(token);
  const PSID own = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  bool user_has_full_access = false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const PSID sid = &ace->SidStart;
    wchar_t* sid_text = nullptr;
    ConvertSidToStringSidW(sid, &sid_text);
    const std::wstring granted_to = sid_text != nullptr ? sid_text : L"?";
    LocalFree(sid_text);
    // The user, and the system account that Wine adds when it reads the directory back.
    if (EqualSid(sid, own)) {
      user_has_full_access = (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
    } else {
      EXPECT_EQ(granted_to, L"S-1-5-18") << sddl;
    }
  }
  EXPECT_TRUE(user_has_full_access) << sddl;
  LocalFree(text);
  LocalFree(descriptor);

  // The mark: held by the launch, so that no one may delete it while the launch runs.
  HANDLE mark = CreateFileW((target + L"\\onefile.lock").c_str(), DELETE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(mark, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
  files.release();
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 0u);
}

// Restricted tokens may refuse reading the parent's memory: the limited query still tells the
// parent. Where nothing at all may be asked of a parent that is there, the child ends instead of
// unpacking again and starting a child of its own.
TEST(RefusedParentQuery, TheLimitedRightStillTellsTheParentAndNoRightEndsTheChild) {
  {
    launch_files files;
    started_launch run(
        launcher(L"fault_launcher.exe"),
        files.environment({L"ONEFILE_TEST_GO=" + files.go, L"ONEFILE_TEST_REFUSE_OPEN=vm-read"}));
    ASSERT_TRUE(wait_for_path(files.ready));
    const ready_note application = read_ready(files.ready);
    DWORD parent_of_application = 0;
    for (const process_entry& entry : running_processes()) {
      if (entry.id == application.child_id) parent_of_application = entry.parent;
    }
    EXPECT_EQ(parent_of_application, run.id()) << "not the parent's own child";
    files.release();
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(run.exit_code(), 0u) << run.err();
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
  launch_files files;
  const process_result refused =
      run_process(quote_argument(launcher(L"fault_launcher.exe")),
                  files.environment({L"ONEFILE_TEST_REFUSE_OPEN=all"}), 120000);
  EXPECT_EQ(refused.exit_code, 2u);
  const system_error_line line = parse_system_error(without_carriage_returns(refused.err),
                                                    "Error, couldn't identify the parent process.");
  EXPECT_TRUE(line.parsed) << refused.err;
  EXPECT_EQ(line.code, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(path_exists(files.ready)) << "the application ran";
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
}

// ---------------------------------------------------------------------------------------------
// A kept directory (kept_launcher and its kin keep theirs in {TEMP}\kept\{VERSION}-{DIGEST}):
// unpacked once, run from afterwards, never trusted when it is not exactly what was unpacked.

std::wstring kept_folder(const launch_files& files) {
  return files.temp / L"kept";
}

// What tells that an entry was made or written again: its file id and last write time, for
// every entry below root and root itself (a directory's time changes with every entry made or
// removed in it).
std::map<std::wstring, std::pair<std::uint64_t, std::uint64_t>> stamps_below(
    const std::wstring& root) {
  std::vector<std::wstring> names{L""};
  list_tree(root, L"", names);
  std::map<std::wstring, std::pair<std::uint64_t, std::uint64_t>> stamps;
  for (const std::wstring& name : names) {
    const std::wstring path = name.empty() ? root : root + L"\\" + name;
    HANDLE entry = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION information{};
    GetFileInformationByHandle(entry, &information);
    CloseHandle(entry);
    stamps[name] = {(std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow,
                    (std::uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32) |
                        information.ftLastWriteTime.dwLowDateTime};
  }
  return stamps;
}

// Runs a launch to its end; the directory that its application ran from.
std::wstring run_to_end(const wchar_t* name, const launch_files& files,
                        const std::vector<std::wstring>& more = {}) {
  DeleteFileW(files.ready.c_str());
  started_launch run(launcher(name), files.environment(more));
  EXPECT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 0u) << run.err();
  // Nothing from a child that ran before the parent had judged the kept directory.
  EXPECT_EQ(run.err(), "");
  return read_ready(files.ready).target;
}

TEST(KeptDirectory, TheFirstLaunchKeepsItAndLaterOnesRunFromItWritingNothing) {
  launch_files files;
  const std::wstring kept = run_to_end(L"kept_launcher.exe", files);
  ASSERT_EQ(kept.rfind(kept_folder(files) + L"\\2.0.0.0-", 0), 0u) << narrow(kept);
  std::vector<std::wstring> tree;
  list_tree(kept, L"", tree);
  EXPECT_EQ(tree, (std::vector<std::wstring>{L"fault_main.dll", L"held.txt", L"onefile.kept",
                                             L"onefile.lock", L"sub", L"sub\\a.txt"}));
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{L"kept"});
  // The record names the payload by the digest that the name shows.
  std::string record;
  ASSERT_TRUE(read_file(kept + L"\\onefile.kept", record));
  ASSERT_GT(record.size(), 64u);
  EXPECT_EQ(record.substr(0, 16), std::string("onefile-kept\x01\0\0\0", 16));
  char digest[17];
  for (int i = 0; i < 8; ++i)
    std::snprintf(digest + 2 * i, 3, "%02x", static_cast<unsigned char>(record[16 + i]));
  EXPECT_EQ(kept.substr(kept.size() - 16), widen(digest));

  const auto before = stamps_below(files.temp.path());
  // Later launches, also one whose child a console event ends: nothing is written or removed.
  EXPECT_EQ(run_to_end(L"kept_launcher.exe", files), kept);
  EXPECT_EQ(run_to_end(L"kept_verify_launcher.exe", files), kept);
  {
    control_request request(CTRL_C_EVENT);
    std::vector<std::wstring> changes = request.environment();
    changes.push_back(L"ONEFILE_TEST_SLEEP_MS=1000");
    DeleteFileW(files.ready.c_str());
    started_launch run(launcher(L"kept_launcher.exe"), files.environment(changes));
    ASSERT_TRUE(wait_for_path(files.ready));
    HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, read_ready(files.ready).child_id);
    request.raise();
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(WaitForSingleObject(child, 0), WAIT_OBJECT_0) << "the child outlived the launch";
    CloseHandle(child);
  }
  EXPECT_EQ(stamps_below(files.temp.path()), before);
}

TEST(KeptDirectory, ADamagedTreeIsSetAsideAndUnpackedAgain) {
  scratch_directory elsewhere;
  const std::string held_text = "held open by the test\n";
  const struct {
    const char* damage;
    const wchar_t* launcher;
    bool noticed;
  } cases[] = {
      {"deleted", L"kept_launcher.exe", true},
      {"truncated", L"kept_launcher.exe", true},
      {"replaced by a link", L"kept_launcher.exe", true},
      {"written again", L"kept_launcher.exe", true},
      {"planted beside", L"kept_launcher.exe", true},
      {"main module garbled", L"kept_launcher.exe", true},
      {"written, its time put back", L"kept_launcher.exe", false},
      {"written, its time put back", L"kept_verify_launcher.exe", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.damage) + " " + narrow(c.launcher));
    launch_files files;
    const std::wstring kept = run_to_end(L"kept_launcher.exe", files);
    const std::wstring held = kept + L"\\held.txt";
    const auto before = stamps_below(kept);
    const std::string damage = c.damage;
    if (damage == "deleted") {
      ASSERT_TRUE(DeleteFileW((kept + L"\\sub\\a.txt").c_str()));
    } else if (damage == "truncated") {
      ASSERT_TRUE(write_file(held, held_text.substr(0, 5)));
    } else if (damage == "replaced by a link") {
      // Under Wine a link to a file looks like a plain file of its target's size.
      if (unix_path(kept).empty()) GTEST_SKIP() << "needs Wine's file name mapping";
      ASSERT_TRUE(write_file(elsewhere / L"same_size.txt", std::string(held_text.size(), 'x')));
      ASSERT_TRUE(DeleteFileW(held.c_str()));
      ASSERT_TRUE(run_unix(L"/bin/ln -s " + widen(unix_path(elsewhere / L"same_size.txt")) + L" " +
                               widen(unix_path(held)),
                           held, true));
    } else if (damage == "written again") {
      ASSERT_TRUE(write_file(held, std::string(held_text.size(), 'x')));
    } else if (damage == "planted beside") {
      ASSERT_TRUE(write_file(kept + L"\\version.dll", "MZ planted"));
    } else if (damage == "main module garbled") {
      // Loaded before the judgement, it would fail the child with "Error, load DLL.".
      std::string module;
      ASSERT_TRUE(read_file(kept + L"\\fault_main.dll", module));
      ASSERT_TRUE(write_file(kept + L"\\fault_main.dll", std::string(module.size(), 'x')));
    } else {
      // The same file and size, and its time as it was: only the bytes tell.
      HANDLE file = CreateFileW(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
      FILETIME created, accessed, written;
      ASSERT_TRUE(GetFileTime(file, &created, &accessed, &written));
      DWORD count = 0;
      ASSERT_TRUE(WriteFile(file, "X", 1, &count, nullptr));
      ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
      CloseHandle(file);
    }
    // The damaged copy is set aside, under a leftover's name for the sweep. The child starts
    // while the parent judges; a slow judgement gives it all the time to load what it should not.
    EXPECT_EQ(run_to_end(c.launcher, files,
                         {std::wstring(L"ONEFILE_TEST_SLOW_JUDGEMENT=") +
                          (damage == "main module garbled" ? L"1" : L"0")}),
              kept);
    std::string content;
    if (c.noticed) {
      EXPECT_NE(stamps_below(kept)[L"fault_main.dll"], before.at(L"fault_main.dll"))
          << "not unpacked again";
      EXPECT_TRUE(read_file(held, content) && content == held_text);
      EXPECT_TRUE(path_exists(kept + L"\\sub\\a.txt"));
      EXPECT_FALSE(path_exists(kept + L"\\version.dll"));
    } else {
      EXPECT_EQ(stamps_below(kept)[L"fault_main.dll"], before.at(L"fault_main.dll"));
      EXPECT_TRUE(read_file(held, content) && content != held_text);
    }
    std::vector<std::wstring> names = directory_entries(kept_folder(files));
    ASSERT_EQ(names.size(), c.noticed ? 2u : 1u);
    EXPECT_EQ(names[0], kept.substr(kept.rfind(L'\\') + 1));
    if (c.noticed) {
      EXPECT_EQ(names[1].rfind(L"onefile_0_", 0), 0u) << narrow(names[1]);
    }
  }
}

TEST(KeptDirectory, WhatIsNotAKeptDirectoryIsRefusedAndLeftAlone) {
  launch_files first;
  const std::wstring kept_name =
      run_to_end(L"kept_launcher.exe", first).substr(first.temp.path().size() + 1);
  for (const bool folder : {true, false}) {
    SCOPED_TRACE(folder ? "a user's folder" : "a file");
    launch_files files;
    const std::wstring kept = files.temp / kept_name;
    ASSERT_TRUE(CreateDirectoryW(kept_folder(files).c_str(), nullptr));
    if (folder) {
      ASSERT_TRUE(CreateDirectoryW(kept.c_str(), nullptr));
      ASSERT_TRUE(write_file(kept + L"\\user_notes.txt", "notes"));
    } else {
      ASSERT_TRUE(write_file(kept, "a file"));
    }
    started_launch run(launcher(L"kept_launcher.exe"), files.environment());
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(run.exit_code(), 2u);
    EXPECT_EQ(run.err(), "Error, target directory '" + narrow(kept) +
                             "' exists but was not kept by this launcher.\n");
    EXPECT_FALSE(path_exists(files.ready)) << "the application ran";
    EXPECT_EQ(directory_entries(kept_folder(files)),
              std::vector<std::wstring>{kept_name.substr(5)});
    std::string content;
    EXPECT_TRUE(read_file(folder ? kept + L"\\user_notes.txt" : kept, content) &&
                content == (folder ? "notes" : "a file"));
  }
}

TEST(KeptDirectory, AStagingDirectoryLeftByAKilledFirstLaunchIsSwept) {
  launch_files files;
  // Killed as soon as its staging directory shows; tried again when the kill came too late.
  bool left = false;
  for (int round = 0; round < 5 && !left; ++round) {
    started_launch killed(launcher(L"kept_many_launcher.exe"), files.environment());
    while (directory_entries(kept_folder(files)).empty() && !killed.wait(0)) Sleep(0);
    TerminateProcess(killed.handle(), 9);
    ASSERT_TRUE(killed.wait(10000));
    const std::vector<std::wstring> names = directory_entries(kept_folder(files));
    left = names.size() == 1 && names[0].rfind(L"onefile_", 0) == 0;
    if (!left) remove_tree(kept_folder(files));
  }
  ASSERT_TRUE(left) << "no staging directory left";
  const std::wstring kept =
      run_to_end(L"kept_launcher.exe", files, {L"ONEFILE_TEST_SLEEP_MS=1500"});
  EXPECT_EQ(directory_entries(kept_folder(files)),
            std::vector<std::wstring>{kept.substr(kept.rfind(L'\\') + 1)});
}

// Windows renames no directory while a file below it is open, and scanners open newly written
// executables (the launchers' seam refuses the move, or the setting aside of a stale directory,
// as the system does then): the move is retried; refused for good, the launch runs from its
// staging directory with the application's exit code, and that directory is moved into place at
// the launch's end if the system lets it, or removed by a later launch, which keeps its own.
TEST(KeptDirectory, ARefusedMoveIsRetriedOrTheLaunchRunsFromItsStagingDirectory) {
  enum class outcome { kept_at_once, kept_at_the_end, left_to_a_later_launch };
  const struct {
    const char* what;
    std::wstring seam;
    bool stale_before;
    outcome expected;
  } cases[] = {
      {"refused three times", L"ONEFILE_TEST_REFUSE_RENAME=3", false, outcome::kept_at_once},
      {"refused while the application runs", L"ONEFILE_TEST_REFUSE_RENAME=", false,
       outcome::kept_at_the_end},
      {"refused for good", L"ONEFILE_TEST_REFUSE_RENAME=1000", false,
       outcome::left_to_a_later_launch},
      {"a stale directory that can't be set aside", L"ONEFILE_TEST_REFUSE_SET_ASIDE=1000", true,
       outcome::left_to_a_later_launch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    launch_files files;
    const std::wstring refusal_flag = files.work / L"refused";
    std::wstring seam = c.seam;
    if (seam.back() == L'=') {
      seam += refusal_flag;
      ASSERT_TRUE(write_file(refusal_flag, "held"));
    }
    std::wstring stale;
    if (c.stale_before) {
      stale = run_to_end(L"kept_launcher.exe", files);
      ASSERT_TRUE(write_file(stale + L"\\version.dll", "MZ planted"));
    }
    DeleteFileW(files.ready.c_str());
    started_launch run(
        launcher(L"kept_launcher.exe"),
        files.environment({seam, L"ONEFILE_TEST_GO=" + files.go, L"ONEFILE_TEST_EXIT=7"}));
    ASSERT_TRUE(wait_for_path(files.ready)) << run.err();
    const std::wstring ran_from = read_ready(files.ready).target;
    const std::wstring ran_name = ran_from.substr(kept_folder(files).size() + 1);
    if (c.expected == outcome::kept_at_once) {
      EXPECT_EQ(ran_name.rfind(L"2.0.0.0-", 0), 0u) << narrow(ran_from);
    } else {
      // The staging directory, complete.
      EXPECT_EQ(ran_name.rfind(L"onefile_", 0), 0u) << narrow(ran_from);
      std::vector<std::wstring> tree;
      list_tree(ran_from, L"", tree);
      EXPECT_EQ(tree, (std::vector<std::wstring>{L"fault_main.dll", L"held.txt", L"onefile.kept",
                                                 L"onefile.lock", L"sub", L"sub\\a.txt"}));
    }
    DeleteFileW(refusal_flag.c_str());
    files.release();
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(run.exit_code(), 7u) << run.err();
    EXPECT_EQ(run.err(), "");
    std::vector<std::wstring> names = directory_entries(kept_folder(files));
    if (c.expected == outcome::left_to_a_later_launch) {
      EXPECT_TRUE(path_exists(ran_from)) << "the staging directory is gone";
      if (c.stale_before) {
        EXPECT_TRUE(path_exists(stale + L"\\version.dll"));
      }
      const std::wstring kept =
          run_to_end(L"kept_launcher.exe", files, {L"ONEFILE_TEST_SLEEP_MS=1500"});
      EXPECT_EQ(kept.rfind(kept_folder(files) + L"\\2.0.0.0-", 0), 0u) << narrow(kept);
      EXPECT_FALSE(path_exists(kept + L"\\version.dll"));
      names = directory_entries(kept_folder(files));
    }
    ASSERT_EQ(names.size(), 1u) << narrow(names.back());
    EXPECT_EQ(names[0].rfind(L"2.0.0.0-", 0), 0u) << narrow(names[0]);
    // What stays in place is what a later launch uses as it is.
    EXPECT_EQ(run_to_end(L"kept_launcher.exe", files), kept_folder(files) + L"\\" + names[0]);
  }
}

TEST(KeptDirectory, TwoFirstLaunchesAtOnceBothRunFromOneDirectory) {
  launch_files first;
  launch_files second;
  const std::vector<std::wstring> shared_temp = {L"TEMP=" + first.temp.path(),
                                                 L"TMP=" + first.temp.path()};
  started_launch one(launcher(L"kept_many_launcher.exe"), first.environment());
  started_launch other(launcher(L"kept_many_launcher.exe"), second.environment(shared_temp));
  // Both unpack: two staging directories at once.
  std::size_t most_seen = 0;
  while (!one.wait(0) || !other.wait(0)) {
    most_seen = std::max(most_seen, directory_entries(kept_folder(first)).size());
    Sleep(5);
  }
  note("directories_at_once", std::to_string(most_seen));
  EXPECT_EQ(most_seen, 2u) << "the launches did not race";
  EXPECT_EQ(one.exit_code(), 0u) << one.err();
  EXPECT_EQ(other.exit_code(), 0u) << other.err();
  const std::wstring kept = read_ready(first.ready).target;
  EXPECT_EQ(read_ready(second.ready).target, kept);
  EXPECT_EQ(directory_entries(kept_folder(first)),
            std::vector<std::wstring>{kept.substr(kept.rfind(L'\\') + 1)});
}

TEST(KeptDirectory, AnotherPayloadsDirectoryIsRemovedOnceUnused) {
  launch_files files;
  started_launch older(launcher(L"kept_older_launcher.exe"),
                       files.environment({L"ONEFILE_TEST_GO=" + files.go}));
  ASSERT_TRUE(wait_for_path(files.ready));
  const std::wstring older_kept = read_ready(files.ready).target;
  EXPECT_EQ(older_kept.rfind(kept_folder(files) + L"\\1.0.0.0-", 0), 0u) << narrow(older_kept);
  launch_files newer;
  const std::vector<std::wstring> shared_temp = {
      L"TEMP=" + files.temp.path(), L"TMP=" + files.temp.path(), L"ONEFILE_TEST_SLEEP_MS=1500"};
  const std::wstring kept = run_to_end(L"kept_launcher.exe", newer, shared_temp);
  EXPECT_TRUE(is_directory(older_kept)) << "removed while in use";
  files.release();
  ASSERT_TRUE(older.wait(120000));
  run_to_end(L"kept_launcher.exe", newer, shared_temp);
  EXPECT_EQ(directory_entries(kept_folder(files)),
            std::vector<std::wstring>{kept.substr(kept.rfind(L'\\') + 1)});
}

}  // namespace
