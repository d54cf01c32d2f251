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

PSID own_user_sid() {
  alignas(8) static unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, user, sizeof user, &size);
  CloseHandle(token);
  return reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
}

// ---------------------------------------------------------------------------------------------
// A fixed target spec: whatever stands at the name is refused, and nothing of it is touched.

TEST(FixedTarget, WhateverStandsAtTheNameIsRefusedAndLeftAsItWas) {
  enum class planted { directory, marked_directory, file, link };
  for (const planted kind :
       {planted::directory, planted::marked_directory, planted::file, planted::link}) {
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
    } else if (kind == planted::marked_directory) {
      // A folder that grants others (Wine: read and execute to everyone) with the launcher's mark
      // in it, as another user who may add files there could leave it: not the launcher's own.
      ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
      ASSERT_TRUE(write_file(target + L"\\onefile.lock",
                             "This folder was unpacked by a onefile launcher and is removed when "
                             "it ends.\r\n"));
      ASSERT_TRUE(write_file(target + L"\\user_notes.txt", "notes"));
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
    if (kind == planted::directory || kind == planted::marked_directory) {
      std::vector<std::wstring> after;
      list_tree(target, L"", after);
      EXPECT_EQ(after, before);
      EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{L"onefile_fixed"});
      if (kind == planted::directory) {
        EXPECT_TRUE(read_file(target + L"\\sub\\keep.txt", content) && content == "keep");
      }
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
    ASSERT_TRUE(killed.writes(files.ready));
    ASSERT_TRUE(TerminateProcess(killed.handle(), 9));
    ASSERT_TRUE(killed.wait(10000));
  }
  ASSERT_TRUE(path_exists(target + L"\\onefile.lock")) << "no leftover to reuse";
  DeleteFileW(files.ready.c_str());
  started_launch run(launcher(L"fixed_launcher.exe"),
                     files.environment({L"ONEFILE_TEST_GO=" + files.go, L"ONEFILE_TEST_EXIT=7"}));
  ASSERT_TRUE(run.writes(files.ready));
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
// of a scheduled task, a build tool or a CI agent: the child stays in it, the parent's job nested
// inside (Windows 8 and later), also where that job would let it leave. Where nesting is refused
// (Windows 7, one job per process), the child leaves a job that lets it and is in the parent's
// job alone; in one that doesn't, the child watches, and a stock runner's program, which no job
// of the runner's holds then, ends with it.

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
  constexpr DWORD leavable = kills | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  const std::wstring no_job = L"ONEFILE_TEST_NO_JOB=1";
  const std::wstring no_nesting = L"ONEFILE_TEST_NO_NESTING=1";
  const struct {
    const char* name;
    const wchar_t* executable;
    std::vector<std::wstring> seams;
    DWORD outer_job_limits;  // 0: no outer job
    bool leaves_outer_job;
    bool swept;  // a later launch is shown to sweep the directory
  } rows[] = {
      {"job", L"fault_launcher.exe", {}, 0, false, true},
      {"watch", L"fault_launcher.exe", {no_job}, 0, false, true},
      {"outer_job_nested", L"fault_launcher.exe", {}, leavable, false, false},
      {"outer_job_left", L"fault_launcher.exe", {no_nesting}, leavable, true, false},
      {"outer_job_kept_program",
       L"run_launcher.exe",
       {no_nesting, L"ONEFILE_TEST_NO_PROGRAM_JOB=1"},
       kills,
       false,
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
    ASSERT_TRUE(killed.writes(files.ready));
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
      EXPECT_EQ(in_outer_job == FALSE, row.leaves_outer_job);
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

    // A later launch whose application ends at once sweeps too (after its run, not during it).
    started_launch later(launcher(L"fault_launcher.exe"), files.environment({}));
    ASSERT_TRUE(later.wait(120000));
    EXPECT_EQ(later.exit_code(), 0u) << later.err();
    EXPECT_FALSE(is_directory(first.target)) << "the leftover was not swept";
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

// A start that Wine lost is tried again, twice at most; the third loss is the launch's error.
TEST(ChildStart, AStartLostWhileItStartedIsTriedAgainTwice) {
  for (int lost : {2, 3}) {
    SCOPED_TRACE(std::to_string(lost) + " starts lost");
    launch_files files;
    started_launch run(launcher(L"fault_launcher.exe"),
                       files.environment({L"ONEFILE_TEST_LOSE_STARTS=" + std::to_wstring(lost),
                                          L"ONEFILE_TEST_EXIT=5"}));
    ASSERT_TRUE(run.wait(120000));
    if (lost < 3) {
      EXPECT_EQ(run.exit_code(), 5u) << run.err();
    } else {
      EXPECT_EQ(run.exit_code(), 2u);
      EXPECT_EQ(run.err().rfind("Error, couldn't launch child ([Error 1359] ", 0), 0u) << run.err();
    }
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
}

// A program that must run elevated can't be started by a launcher that isn't (the start fails
// with ERROR_ELEVATION_REQUIRED through a seam: under Wine every process is elevated). The
// message names the cause and the remedy, and nothing stays.
TEST(ProgramStart, AProgramThatMustRunElevatedNamesTheRemedy) {
  launch_files files;
  started_launch run(launcher(L"console_run_launcher.exe"),
                     files.environment({L"ONEFILE_TEST_ELEVATION_REQUIRED=1"}));
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 2u);
  EXPECT_NE(run.err().find("\\run_program.exe': the program must run as administrator; rebuild "
                           "the launcher with --uac-admin so that it asks for elevation ([Error "
                           "740] "),
            std::string::npos)
      << run.err();
  EXPECT_EQ(run.err().rfind("Error, couldn't start '", 0), 0u) << run.err();
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
    EXPECT_TRUE(run.writes(files.ready));
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
  ASSERT_TRUE(run.writes(files.ready));
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

// Directories of the leftovers' name shape that are not the launcher's own: one that grants
// others, with the launcher's mark that another user could have put there (also under a claimed
// name, which the sweep removes without asking for its process), and two of another program
// that grant nobody else, with a mark of another text and with none. A launch's sweep, shown to
// have run by the real leftover that it removes, touches none of them.
TEST(Sweep, TakesNothingButTheLaunchersOwnDirectories) {
  launch_files files;
  {
    started_launch killed(launcher(L"fault_launcher.exe"),
                          files.environment({L"ONEFILE_TEST_GO=" + files.go}));
    ASSERT_TRUE(killed.writes(files.ready));
    ASSERT_TRUE(TerminateProcess(killed.handle(), 9));
    ASSERT_TRUE(killed.wait(10000));
  }
  const std::wstring leftover = read_ready(files.ready).target;
  ASSERT_TRUE(is_directory(leftover));
  const std::string mark_text =
      "This folder was unpacked by a onefile launcher and is removed when it ends.\r\n";
  wchar_t* user_text = nullptr;
  ConvertSidToStringSidW(own_user_sid(), &user_text);
  const std::wstring owner_only = L"D:P(A;OICI;FA;;;" + std::wstring(user_text) + L")";
  LocalFree(user_text);
  const struct {
    const wchar_t* name;
    bool grants_others;
    const char* mark;  // none: nullptr
  } strangers[] = {
      {L"onefile_4000000_123456_AAAAAAAAAAA", true, mark_text.c_str()},
      {L"onefile_0_123456_BBBBBBBBBBB", true, mark_text.c_str()},
      {L"onefile_4000000_654321_CCCCCCCCCCC", false, "locked by another program\r\n"},
      {L"onefile_4000000_111111_DDDDDDDDDDD", false, nullptr},
  };
  std::map<std::wstring, std::vector<std::wstring>> before;
  for (const auto& stranger : strangers) {
    const std::wstring path = files.temp / stranger.name;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        owner_only.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), stranger.grants_others ? nullptr : &security));
    LocalFree(descriptor);
    if (stranger.mark != nullptr) {
      ASSERT_TRUE(write_file(path + L"\\onefile.lock", stranger.mark));
    }
    ASSERT_TRUE(write_file(path + L"\\data.bin", "theirs"));
    list_tree(path, L"", before[stranger.name]);
  }
  DeleteFileW(files.ready.c_str());
  started_launch run(launcher(L"fault_launcher.exe"),
                     files.environment({L"ONEFILE_TEST_GO=" + files.go}));
  ASSERT_TRUE(run.writes(files.ready));
  EXPECT_TRUE(wait_for_removal(leftover)) << "the sweep did not run";
  Sleep(500);  // the sweep goes on to the rest
  files.release();
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 0u) << run.err();
  for (const auto& stranger : strangers) {
    std::vector<std::wstring> after;
    list_tree(files.temp / stranger.name, L"", after);
    EXPECT_EQ(after, before[stranger.name]) << narrow(stranger.name);
  }
  EXPECT_EQ(directory_entries(files.temp.path()).size(), std::size(strangers));
}

// The first name of the leftovers' shape in the folder's listing, in the order the sweep meets
// them.
std::wstring first_listed(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW((folder + L"\\onefile_*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return L"";
  FindClose(search);
  return found.cFileName;
}

// A launch whose application ends at once sweeps one leftover at its end. What it can't claim (a
// live launch's directory, one of the claimed name's shape or another's that is not the
// launcher's own, a leftover of the launcher's in which another process holds a file) it passes
// by without using up that one attempt, wherever the listing puts it, and the real leftover goes.
TEST(Sweep, AShortLaunchPassesByWhatItCantClaimToALeftover) {
  launch_files files;
  std::wstring leftovers[2];
  for (std::wstring& leftover : leftovers) {
    DeleteFileW(files.ready.c_str());
    started_launch killed(launcher(L"fault_launcher.exe"),
                          files.environment({L"ONEFILE_TEST_GO=" + files.go}));
    ASSERT_TRUE(killed.writes(files.ready));
    ASSERT_TRUE(TerminateProcess(killed.handle(), 9));
    ASSERT_TRUE(killed.wait(10000));
    leftover = read_ready(files.ready).target;
  }
  const std::wstring& held = leftovers[1];
  HANDLE held_file = CreateFileW((held + L"\\held.txt").c_str(), GENERIC_READ, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held_file, INVALID_HANDLE_VALUE);
  std::vector<std::wstring> kept = {held.substr(held.rfind(L'\\') + 1)};
  const auto block = [&](const std::wstring& blocker) {
    kept.push_back(blocker);
    return CreateDirectoryW((files.temp / blocker).c_str(), nullptr) != FALSE;
  };
  ASSERT_TRUE(block(L"onefile_0_000000_AAAAAAAAAAA"));
  ASSERT_TRUE(block(L"onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_000000_AAAAAAAAAAA"));
  // NTFS lists names sorted, the claimed name's shape first; the Linux file systems under Wine in
  // an order of their own: more blockers until one comes before the leftover.
  const std::wstring leftover_name = leftovers[0].substr(leftovers[0].rfind(L'\\') + 1);
  for (int i = 0; first_listed(files.temp.path()) == leftover_name && i < 100; ++i) {
    wchar_t blocker[64];
    std::swprintf(blocker, 64, L"onefile_1_%06d_AAAAAAAAAAA", i);
    ASSERT_TRUE(block(blocker));
  }
  ASSERT_NE(first_listed(files.temp.path()), leftover_name);
  std::sort(kept.begin(), kept.end());
  started_launch later(launcher(L"fault_launcher.exe"), files.environment());
  ASSERT_TRUE(later.wait(120000));
  EXPECT_EQ(later.exit_code(), 0u) << later.err();
  EXPECT_FALSE(path_exists(leftovers[0])) << "the leftover was not swept";
  EXPECT_EQ(directory_entries(files.temp.path()), kept);
  CloseHandle(held_file);
}

// ---------------------------------------------------------------------------------------------
// Who may use the directory: its user alone, and the mark shows it in use to anyone who asks.

// The owner and DACL of what is at path as the system reads them back, in its notation, with this
// process's user written "U".
std::string descriptor_text(const std::wstring& path) {
  constexpr SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  wchar_t* text = nullptr;
  wchar_t* user = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr,
                            &descriptor) != ERROR_SUCCESS ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what,
                                                            &text, nullptr) ||
      !ConvertSidToStringSidW(own_user_sid(), &user)) {
    return "?";
  }
  const std::string whole = narrow(text);
  const std::string user_text = narrow(user);
  std::string result;
  std::size_t from = 0;
  for (std::size_t at; (at = whole.find(user_text, from)) != std::string::npos;) {
    result += whole.substr(from, at - from) + "U";
    from = at + user_text.size();
  }
  result += whole.substr(from);
  LocalFree(user);
  LocalFree(text);
  LocalFree(descriptor);
  return result;
}

// At either level: every Wine token is elevated; the seam takes the user's path.
TEST(Ownership, TheDirectoryGrantsItsUserAloneAndItsMarkIsHeld) {
  for (const bool elevated : {true, false}) {
    SCOPED_TRACE(elevated ? "elevated" : "user");
    launch_files files;
    std::vector<std::wstring> changes = {L"ONEFILE_TEST_GO=" + files.go};
    if (!elevated) changes.push_back(L"ONEFILE_TEST_LEVEL=user");
    started_launch run(launcher(L"fault_launcher.exe"), files.environment(changes));
    ASSERT_TRUE(run.writes(files.ready));
    const std::wstring target = read_ready(files.ready).target;

    // Wine keeps the mode that the descriptor gives and reads owner and DACL back from it, with
    // the system account that it adds: the user alone, at either level.
    const std::string directory = descriptor_text(target);
    note(elevated ? "elevated_directory" : "user_directory", directory);
    EXPECT_EQ(directory, "O:UD:(A;OICI;FA;;;SY)(A;OICI;FA;;;U)");
    // The mark: the user's own whatever the level, with the launcher's text, held by the launch so
    // that nobody may delete it while the launch runs.
    const std::wstring mark_path = target + L"\\onefile.lock";
    const std::string mark = descriptor_text(mark_path);
    note(elevated ? "elevated_mark" : "user_mark", mark);
    EXPECT_EQ(mark.rfind("O:UD:", 0), 0u) << mark;
    std::string text;
    EXPECT_TRUE(read_file(mark_path, text));
    EXPECT_EQ(text,
              "This folder was unpacked by a onefile launcher and is removed when it ends.\r\n");
    EXPECT_TRUE(GetFileAttributesW(mark_path.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    HANDLE held =
        CreateFileW(mark_path.c_str(), DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    // Nor the directory itself, which the parent holds from its creation on.
    held = CreateFileW(target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_EQ(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    files.release();
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(run.exit_code(), 0u) << run.err();
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
}

// Where labels are kept (Windows), an elevated launch makes its directory with a high label and
// reads it back; Wine keeps none, so with the seam that makes the launch judge as on Windows, the
// directory read back is not protected enough to run elevated from. On a volume without access
// control lists, inside the user's temporary folder, the launch goes on.
TEST(Ownership, WhatAnElevatedLaunchCantReadBackAsItsOwnIsNotUsed) {
  {
    launch_files files;
    const process_result refused =
        run_process(quote_argument(launcher(L"fault_launcher.exe")),
                    files.environment({L"ONEFILE_TEST_FILE_LABELS=1"}), 120000);
    EXPECT_EQ(refused.exit_code, 2u);
    const std::string err = without_carriage_returns(refused.err);
    EXPECT_EQ(err.rfind("Error, target directory '" + narrow(files.temp.path()) + "\\onefile_", 0),
              0u)
        << err;
    EXPECT_NE(err.find("' didn't keep the access rights it was made with.\n"), std::string::npos)
        << err;
    EXPECT_FALSE(path_exists(files.ready)) << "the application ran";
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
  launch_files files;
  const process_result fat = run_process(
      quote_argument(launcher(L"fault_launcher.exe")),
      files.environment({L"ONEFILE_TEST_FILE_LABELS=1", L"ONEFILE_TEST_NO_ACLS=1"}), 120000);
  EXPECT_EQ(fat.exit_code, 0u) << fat.err;
  EXPECT_TRUE(path_exists(files.ready));
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
}

// Restricted tokens may refuse reading the parent's memory: the limited query still tells the
// parent. Where nothing at all may be asked of a parent that is there, the child ends instead of
// unpacking again and starting a child of its own; but only a launch's own child: any other
// process that inherited a launch's values (one that the application started, or one started
// from that long after, when the id may have gone to a service) is a parent.
TEST(RefusedParentQuery, TheLimitedRightStillTellsTheParentAndNoRightEndsTheChild) {
  {
    launch_files files;
    started_launch run(
        launcher(L"fault_launcher.exe"),
        files.environment({L"ONEFILE_TEST_GO=" + files.go, L"ONEFILE_TEST_REFUSE_OPEN=vm-read"}));
    ASSERT_TRUE(run.writes(files.ready));
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
  {
    launch_files files;
    const process_result refused =
        run_process(quote_argument(launcher(L"fault_launcher.exe")),
                    files.environment({L"ONEFILE_TEST_REFUSE_OPEN=all"}), 120000);
    EXPECT_EQ(refused.exit_code, 2u);
    const system_error_line line = parse_system_error(
        without_carriage_returns(refused.err), "Error, couldn't identify the parent process.");
    EXPECT_TRUE(line.parsed) << refused.err;
    EXPECT_EQ(line.code, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(path_exists(files.ready)) << "the application ran";
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
  // The test holds the values of a launch whose parent was this test (its own child ends) or
  // another process that runs on and can't be asked (a parent, with values of its own).
  void* other = nullptr;
  ASSERT_TRUE(start_program(quote_argument(TEST_SLEEPER) + L" 30000 0", &other));
  for (const DWORD named : {GetCurrentProcessId(), GetProcessId(other)}) {
    const bool own_child = named == GetCurrentProcessId();
    SCOPED_TRACE(own_child ? "own child" : "inherited the values");
    launch_files files;
    const process_result run =
        run_process(quote_argument(launcher(L"fault_launcher.exe")),
                    files.environment({L"ONEFILE_TEST_REFUSE_OPEN=" + std::to_wstring(named),
                                       L"VESKAR_ONEFILE_PARENT=" + std::to_wstring(named),
                                       L"VESKAR_ONEFILE_START=1", L"VESKAR_ONEFILE_TIME_US=000042",
                                       L"VESKAR_ONEFILE_RANDOM=AAAAAAAAAAA"}),
                    120000);
    if (own_child) {
      EXPECT_EQ(run.exit_code, 2u);
      EXPECT_TRUE(parse_system_error(without_carriage_returns(run.err),
                                     "Error, couldn't identify the parent process.")
                      .parsed)
          << run.err;
      EXPECT_FALSE(path_exists(files.ready)) << "the application ran";
    } else {
      EXPECT_EQ(run.exit_code, 0u) << run.err;
      const std::wstring target = read_ready(files.ready).target;
      EXPECT_EQ(target.find(L"onefile_" + std::to_wstring(named)), std::wstring::npos);
      EXPECT_EQ(target.find(L"AAAAAAAAAAA"), std::wstring::npos) << narrow(target);
    }
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
  TerminateProcess(other, 0);
  CloseHandle(other);
}

// ---------------------------------------------------------------------------------------------
// Libraries planted beside the launcher (a Downloads folder) under the names of system libraries
// that are no known DLLs, with Wine told to prefer a native copy (Windows' rule for them): neither
// the parent nor the child loads them, nor does the application's own LoadLibraryW, which gets
// the system's copy, and a library found nowhere but beside the launcher is not found at all.

TEST(PlantedLibraries, NeitherProcessNorTheApplicationLoadsThemFromTheLaunchersFolder) {
  launch_files files;
  scratch_directory downloads;
  const std::wstring copy = downloads / L"fault_launcher.exe";
  ASSERT_TRUE(CopyFileW(launcher(L"fault_launcher.exe").c_str(), copy.c_str(), TRUE));
  for (const wchar_t* name :
       {L"version.dll", L"imm32.dll", L"shcore.dll", L"uxtheme.dll", L"stray_plugin.dll"}) {
    ASSERT_TRUE(
        CopyFileW(launcher(L"planted_library.dll").c_str(), (downloads / name).c_str(), TRUE));
  }
  const std::wstring log = files.work / L"planted.log";
  const std::wstring loaded = files.work / L"loaded.txt";
  started_launch run(
      copy, files.environment({L"WINEDLLOVERRIDES=mscoree,mshtml=;version,imm32,shcore,uxtheme=n,b",
                               L"ONEFILE_TEST_PLANTED_LOG=" + log,
                               L"ONEFILE_TEST_LOAD=uxtheme.dll;stray_plugin.dll",
                               L"ONEFILE_TEST_LOADED=" + loaded}));
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 0u) << run.err();
  std::string planted;
  EXPECT_FALSE(read_file(log, planted)) << planted;
  wchar_t system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  std::string application;
  ASSERT_TRUE(read_file(loaded, application));
  std::string expected = "uxtheme.dll|" + narrow(system) + "\\uxtheme.dll\nstray_plugin.dll|-\n";
  CharLowerA(application.data());
  CharLowerA(expected.data());
  EXPECT_EQ(application, expected);
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
  // Under Wine every launch is elevated, and keeps its own directory.
  EXPECT_EQ(kept.substr(kept.size() - 16 - 9), widen(digest) + L"-elevated");

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
    ASSERT_TRUE(run.writes(files.ready));
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
    // What was set aside got a leftover's name, and the launch's own sweep, once the application
    // had ended, removed it, passing by the kept directory wherever the listing put that; only a
    // tree with a link inside stays (the walk never follows a link), for the sweeps to come.
    const std::vector<std::wstring> names = directory_entries(kept_folder(files));
    const bool stays = damage == "replaced by a link";
    ASSERT_EQ(names.size(), stays ? 2u : 1u);
    EXPECT_EQ(names[0], kept.substr(kept.rfind(L'\\') + 1));
    if (stays) {
      EXPECT_EQ(names[1].rfind(L"onefile_0_", 0), 0u) << narrow(names[1]);
    }
  }
}

TEST(KeptDirectory, WhatIsNotAKeptDirectoryIsRefusedAndLeftAlone) {
  launch_files first;
  const std::wstring kept_name =
      run_to_end(L"kept_launcher.exe", first).substr(first.temp.path().size() + 1);
  // A user's folder; one that grants others, with the launcher's mark and record in it, as another
  // user who may add files there could leave them; a file.
  enum class planted { folder, marked_folder, file };
  for (const planted kind : {planted::folder, planted::marked_folder, planted::file}) {
    SCOPED_TRACE(static_cast<int>(kind));
    const bool folder = kind != planted::file;
    launch_files files;
    const std::wstring kept = files.temp / kept_name;
    ASSERT_TRUE(CreateDirectoryW(kept_folder(files).c_str(), nullptr));
    if (folder) {
      ASSERT_TRUE(CreateDirectoryW(kept.c_str(), nullptr));
      ASSERT_TRUE(write_file(kept + L"\\user_notes.txt", "notes"));
      if (kind == planted::marked_folder) {
        std::string record;
        ASSERT_TRUE(read_file(first.temp / kept_name + L"\\onefile.kept", record));
        ASSERT_TRUE(write_file(kept + L"\\onefile.kept", record));
        ASSERT_TRUE(write_file(kept + L"\\onefile.lock",
                               "This folder was unpacked by a onefile launcher, which keeps it for "
                               "its later launches.\r\n"));
      }
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

// A path the system can't take (a '?' in a folder's name) holds nothing: the message says so,
// rather than that something there "was not kept".
TEST(KeptDirectory, APathTheSystemCantTakeIsNamedAsSuch) {
  launch_files files;
  const std::wstring folder = files.temp.path() + L"\\a?b";
  started_launch run(launcher(L"kept_launcher.exe"),
                     files.environment({L"TEMP=" + folder, L"TMP=" + folder}));
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 2u);
  EXPECT_EQ(run.err().rfind("Error, kept directory '" + narrow(folder) + "\\kept\\", 0), 0u)
      << run.err();
  EXPECT_NE(run.err().find("' is not a valid path. ([Error 123] "), std::string::npos) << run.err();
  EXPECT_FALSE(path_exists(files.ready)) << "the application ran";
}

// An elevated and an unelevated launch of the same launcher: each keeps a directory of its own and
// runs from it later, and neither touches the other's. Where labels are kept, an elevated launch
// runs from no directory without its high label (a medium process could have made or changed it):
// not its own, refused and left as it is.
TEST(KeptDirectory, EachLevelKeepsItsOwnAndAnElevatedLaunchTrustsOnlyItsLabel) {
  launch_files files;
  const std::wstring elevated = run_to_end(L"kept_launcher.exe", files);
  const std::wstring user = run_to_end(L"kept_launcher.exe", files, {L"ONEFILE_TEST_LEVEL=user"});
  EXPECT_EQ(elevated, user + L"-elevated");
  EXPECT_EQ(directory_entries(kept_folder(files)),
            (std::vector<std::wstring>{user.substr(user.rfind(L'\\') + 1),
                                       elevated.substr(elevated.rfind(L'\\') + 1)}));
  const auto before = stamps_below(files.temp.path());
  EXPECT_EQ(run_to_end(L"kept_launcher.exe", files, {L"ONEFILE_TEST_LEVEL=user"}), user);
  EXPECT_EQ(run_to_end(L"kept_launcher.exe", files), elevated);
  EXPECT_EQ(stamps_below(files.temp.path()), before);

  DeleteFileW(files.ready.c_str());
  started_launch refused(launcher(L"kept_launcher.exe"),
                         files.environment({L"ONEFILE_TEST_FILE_LABELS=1"}));
  ASSERT_TRUE(refused.wait(120000));
  EXPECT_EQ(refused.exit_code(), 2u);
  EXPECT_EQ(refused.err(), "Error, target directory '" + narrow(elevated) +
                               "' exists but was not kept by this launcher.\n");
  EXPECT_FALSE(path_exists(files.ready)) << "the application ran";
  EXPECT_EQ(stamps_below(files.temp.path()), before);
}

TEST(KeptDirectory, AStagingDirectoryLeftByAKilledFirstLaunchIsSwept) {
  launch_files files;
  // Killed as soon as its staging directory shows; tried again when the kill came too late.
  bool left = false;
  for (int round = 0; round < 5 && !left; ++round) {
    started_launch killed(launcher(L"kept_many_launcher.exe"), files.environment());
    // Once the staging directory holds its mark: a launch killed in the moment between making
    // its directory and marking it leaves one that no sweep can tell for the launcher's.
    std::string mark;
    while (!killed.wait(0)) {
      const std::vector<std::wstring> names = directory_entries(kept_folder(files));
      if (!names.empty() &&
          read_file(kept_folder(files) + L"\\" + names[0] + L"\\onefile.lock", mark) &&
          !mark.empty()) {
        break;
      }
      Sleep(0);
    }
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
    ASSERT_TRUE(run.writes(files.ready));
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
      // Held as a kept directory is: nobody renames it while the launch runs from it.
      const std::wstring moved = ran_from + L"-moved";
      const BOOL renamed = MoveFileW(ran_from.c_str(), moved.c_str());
      const DWORD error = GetLastError();
      if (renamed) MoveFileW(moved.c_str(), ran_from.c_str());
      EXPECT_FALSE(renamed);
      EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
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
  ASSERT_TRUE(older.writes(files.ready));
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
