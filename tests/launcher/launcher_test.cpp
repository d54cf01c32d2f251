// Runs real launchers under Wine: arguments, exit codes, unpacked files, the role decision,
// paths, failures, and the executable's resources.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>
#include <zstd.h>

#include "tests/support/process.h"
#include "tests/support/start_process.h"

namespace {

std::wstring launcher(const wchar_t* name) {
  return std::wstring(TEST_LAUNCHERS_DIR) + L"\\" + name;
}

// What record_main wrote: keys in order, values as recorded.
struct record {
  std::vector<std::pair<std::wstring, std::wstring>> items;
  std::wstring get(const std::wstring& key) const {
    for (const auto& [k, v] : items)
      if (k == key) return v;
    return L"(missing)";
  }
  std::vector<std::wstring> all(const std::wstring& key) const {
    std::vector<std::wstring> values;
    for (const auto& [k, v] : items)
      if (k == key) values.push_back(v);
    return values;
  }
};

bool read_record(const std::wstring& path, record* out) {
  std::string bytes;
  if (!read_file(path, bytes)) return false;
  std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
  std::vector<std::wstring> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\0') {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2)
    out->items.emplace_back(parts[i], parts[i + 1]);
  return true;
}

// One launch with a private temporary folder, so that whatever the launcher leaves is visible.
struct launch {
  scratch_directory temp;
  scratch_directory records;
  process_result result;
  record rec;
  bool recorded = false;

  launch(const std::wstring& command_line, std::vector<std::wstring> environment = {}) {
    environment.push_back(L"TEMP=" + temp.path());
    environment.push_back(L"TMP=" + temp.path());
    environment.push_back(L"ONEFILE_TEST_RECORD=" + records / L"record");
    result = run_process(command_line, environment, 120000);
    recorded = read_record(records / L"record", &rec);
  }
  // Names in the private temporary folder after the run.
  std::vector<std::wstring> leftovers() const { return directory_entries(temp.path()); }
};

std::wstring command(const std::wstring& executable,
                     const std::vector<std::wstring>& arguments = {}) {
  std::wstring line = quote_argument(executable);
  for (const std::wstring& argument : arguments) line += L" " + quote_argument(argument);
  return line;
}

std::uint64_t fnv1a(const std::string& bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

TEST(Arguments, ReachRunCodeExactlyAsTyped) {
  std::vector<std::wstring> arguments = {
      L"plain",
      L"two words",
      L"tab\there",
      L"line\nfeed",
      L"vertical\vtab",
      L"say \"hi\"",
      L"a\\\\\"b",
      L"ends in backslash\\",
      L"c:\\dir\\",
      L"\\\\server\\share",
      L"",
      L"caf\u00e9 \u6f22\u5b57",
      L"\U0001F600",
      L"",
      L"\\\"",
      L"trailing\\\\",
  };
  for (int i = 0; i < 150; ++i) arguments.push_back(L"many" + std::to_wstring(i));
  launch run(command(launcher(L"record_launcher.exe"), arguments));
  ASSERT_TRUE(run.recorded) << run.result.out << run.result.err;
  EXPECT_EQ(run.result.exit_code, 0u);
  const std::vector<std::wstring> received = run.rec.all(L"arg");
  ASSERT_EQ(received.size(), arguments.size() + 1);
  EXPECT_EQ(received[0], launcher(L"record_launcher.exe"));
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    EXPECT_EQ(received[i + 1], arguments[i]) << "argument " << i + 1;
  }
  EXPECT_EQ(run.rec.get(L"argc"), std::to_wstring(arguments.size() + 1));
}

TEST(Arguments, OriginalArgv0IsTheNameAsTypedAndTheDirectoryIsTheLaunchers) {
  // Started by bare name: the system finds it beside the test's own executable.
  launch run(L"record_launcher.exe first");
  ASSERT_TRUE(run.recorded) << run.result.out << run.result.err;
  EXPECT_EQ(run.rec.get(L"VESKAR_ORIGINAL_ARGV0"), L"record_launcher.exe");
  EXPECT_EQ(run.rec.all(L"arg")[0], launcher(L"record_launcher.exe"));
  EXPECT_EQ(run.rec.get(L"VESKAR_ONEFILE_DIRECTORY"), std::wstring(TEST_LAUNCHERS_DIR));
}

// Raw argument text, as a user or a program may write it: each way through the launcher must give
// the application exactly what a plain program's runtime makes of the same text.
TEST(Arguments, RawTextReachesTheApplicationAsAPlainProgramSplitsIt) {
  const wchar_t* tails[] = {
      L" \"say \"\"hi\"\" there\" next",
      L" \"quote at the end\"\"",
      L" \"unterminated quote",
      L"\ttab\t\tseparated\t",
      L" a\\\\\\\"b \"c d\\\\\" e\\\\",
      L" \"\" empty \"\"",
      L" \"\"\"\"\"\" \\\\\\\\\"x\"",
      L"   ",
      L"",
  };
  const auto arguments_of = [&](const std::wstring& program, const std::wstring& tail,
                                std::uint32_t* exit_code) {
    launch run(quote_argument(launcher(program.c_str())) + tail);
    *exit_code = run.result.exit_code;
    std::vector<std::wstring> arguments = run.rec.all(L"arg");
    if (!arguments.empty()) arguments.erase(arguments.begin());
    return arguments;
  };
  for (const wchar_t* tail : tails) {
    std::uint32_t plain_exit = 0, run_code_exit = 0, runner_exit = 0;
    const auto plain = arguments_of(L"argument_probe.exe", tail, &plain_exit);
    EXPECT_EQ(arguments_of(L"record_launcher.exe", tail, &run_code_exit), plain) << narrow(tail);
    EXPECT_EQ(arguments_of(L"run_probe_launcher.exe", tail, &runner_exit), plain) << narrow(tail);
    if (tail == tails[0]) {
      EXPECT_EQ(plain, (std::vector<std::wstring>{L"say \"hi\" there", L"next"}));
    }
    EXPECT_EQ(plain_exit, 7u);
    EXPECT_EQ(run_code_exit, 0u);
    EXPECT_EQ(runner_exit, 7u);
  }
}

// A real third-party console program as the stock runner's program: zstd's own tool.
TEST(StockRunner, AThirdPartyConsoleProgramRunsAsIfStartedDirectly) {
  std::string input;
  for (int i = 0; i < 200000; ++i)
    input += std::to_string(i * 7919 % 100003) + (i % 13 ? " " : "\n");
  scratch_directory temp;
  process_result compressed = run_process(command(launcher(L"zstd_launcher.exe"), {L"-c", L"-3"}),
                                          {L"TEMP=" + temp.path()}, 120000, input);
  ASSERT_EQ(compressed.exit_code, 0u) << compressed.err;
  EXPECT_EQ(compressed.out.substr(0, 4), std::string("\x28\xB5\x2F\xFD", 4));
  process_result restored = run_process(command(launcher(L"zstd_launcher.exe"), {L"-d", L"-c"}),
                                        {L"TEMP=" + temp.path()}, 120000, compressed.out);
  EXPECT_EQ(restored.exit_code, 0u) << restored.err;
  EXPECT_TRUE(restored.out == input) << restored.out.size() << " of " << input.size() << " bytes";
  EXPECT_TRUE(restored.err.empty()) << restored.err;

  // Its own failure: its message on standard error and its exit code.
  process_result refused = run_process(command(launcher(L"zstd_launcher.exe"), {L"-d", L"-c"}),
                                       {L"TEMP=" + temp.path()}, 120000, "not a frame");
  EXPECT_EQ(refused.exit_code, 1u);
  EXPECT_NE(refused.err.find("unsupported format"), std::string::npos) << refused.err;
  EXPECT_TRUE(refused.out.empty());

  // A file it writes by a relative name lands in the caller's current directory.
  scratch_directory working;
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  SetCurrentDirectoryW(working.path().c_str());
  process_result wrote =
      run_process(command(launcher(L"zstd_launcher.exe"), {L"-q", L"-o", L"written.zst"}),
                  {L"TEMP=" + temp.path()}, 120000, input);
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(wrote.exit_code, 0u) << wrote.err;
  std::string written;
  ASSERT_TRUE(read_file(working / L"written.zst", written));
  EXPECT_EQ(written, compressed.out);
  EXPECT_TRUE(directory_entries(temp.path()).empty());
}

// The child starts as the parent was started, and a stock runner's program as the child was: the
// show state ("Run: Minimised"), the window's place, the title with what it stands for (a
// shortcut's name, the application id that the taskbar groups by), and the hotkey or monitor that
// the shell passes in the place of standard handles, which go on as they came and with no
// standard handles (Wine passes those flags on, but not their values). Of the parent's
// inheritable handles the child gets only the standard ones.
TEST(Startup, TheStartupStateArrivesAndNoOtherHandleIsInherited) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE event = CreateEventW(&inheritable, TRUE, TRUE, nullptr);
  const std::wstring handle_value =
      L"ONEFILE_TEST_INHERITABLE=" + std::to_wstring(reinterpret_cast<std::uintptr_t>(event));
  launch plain(command(launcher(L"record_launcher.exe")), {handle_value});
  ASSERT_TRUE(plain.recorded) << plain.result.out << plain.result.err;
  EXPECT_EQ(plain.rec.get(L"inherited_event"), L"no");
  EXPECT_EQ(plain.rec.get(L"show"), L"(not set)");
  CloseHandle(event);

  constexpr DWORD shell_data = STARTF_USEHOTKEY | 0x400;  // STARTF_HASSHELLDATA
  const struct {
    const char* name;
    DWORD flags;
    WORD show;
    const wchar_t* title;
  } rows[] = {
      {"minimised, with standard handles", STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES,
       SW_SHOWMINNOACTIVE, nullptr},
      {"an application id, placed and sized",
       STARTF_TITLEISAPPID | STARTF_USESHOWWINDOW | STARTF_USEPOSITION | STARTF_USESIZE,
       SW_SHOWMAXIMIZED, L"Veskar.Onefile.Test"},
      {"a shortcut with a hotkey, from a second monitor",
       STARTF_TITLEISLINKNAME | STARTF_USESHOWWINDOW | shell_data, SW_SHOWNORMAL,
       L"C:\\Users\\Public\\Desktop\\Test \u00e9 App.lnk"},
  };
  // The program sees what the child was started with, which is what the child passes on.
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    scratch_directory records;
    std::vector<wchar_t> environment = environment_block(
        {L"ONEFILE_TEST_RECORD=" + records / L"record", L"TEMP=" + records.path()});
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = row.flags;
    startup.wShowWindow = row.show;
    startup.lpTitle = const_cast<wchar_t*>(row.title);
    startup.dwX = 40;
    startup.dwY = 50;
    startup.dwXSize = 640;
    startup.dwYSize = 480;
    // Standard handles of its own: under Wine a process that starts the desktop (the parent's
    // hidden window does) hands it these, and the test runner's pipes must not stay open in it.
    SECURITY_ATTRIBUTES inheritable_null{sizeof inheritable_null, nullptr, TRUE};
    HANDLE null_device =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inheritable_null, OPEN_EXISTING, 0, nullptr);
    if (row.flags & STARTF_USESTDHANDLES) {
      startup.hStdInput = startup.hStdOutput = startup.hStdError = null_device;
    } else if (row.flags & shell_data) {
      startup.hStdInput = reinterpret_cast<HANDLE>(0x0642);    // Ctrl+Alt+B
      startup.hStdOutput = reinterpret_cast<HANDLE>(0x10003);  // a monitor
    }
    PROCESS_INFORMATION started{};
    std::wstring line = command(launcher(L"run_probe_launcher.exe"));
    ASSERT_TRUE(create_process_retrying(
        nullptr, line.data(), (row.flags & STARTF_USESTDHANDLES) != 0, CREATE_UNICODE_ENVIRONMENT,
        environment.data(), &startup, &started));
    CloseHandle(null_device);
    EXPECT_EQ(WaitForSingleObject(started.hProcess, 120000), WAIT_OBJECT_0);
    CloseHandle(started.hProcess);
    CloseHandle(started.hThread);
    record arrived;
    ASSERT_TRUE(read_record(records / L"record", &arrived));
    const DWORD flags = std::stoul(arrived.get(L"flags"));
    EXPECT_EQ(flags & ~STARTF_USESTDHANDLES, row.flags & ~STARTF_USESTDHANDLES);
    if (row.flags & shell_data) {
      EXPECT_EQ(flags & STARTF_USESTDHANDLES, 0u);
    }
    EXPECT_EQ(arrived.get(L"show"), std::to_wstring(row.show));
    if (row.flags & STARTF_USEPOSITION) {
      EXPECT_EQ(arrived.get(L"window"), L"40,50,640,480");
    }
    if (row.title != nullptr) {
      EXPECT_EQ(arrived.get(L"title"), row.title);
    }
  }
}

TEST(ExitCodes, PassThroughUnchanged) {
  const struct {
    const wchar_t* chosen;
    std::uint32_t expected;
  } cases[] = {{L"0", 0},
               {L"1", 1},
               {L"255", 255},
               {L"256", 256},
               {L"0x7FFFFFFF", 0x7FFFFFFF},
               {L"-1", 0xFFFFFFFF},
               {L"-5", 0xFFFFFFFB}};
  for (const auto& c : cases) {
    launch run(command(launcher(L"record_launcher.exe")),
               {std::wstring(L"ONEFILE_TEST_EXIT=") + c.chosen});
    EXPECT_EQ(run.result.exit_code, c.expected) << narrow(c.chosen);
    EXPECT_TRUE(run.leftovers().empty());
  }
}

TEST(Unpacking, EveryFileIsPresentAndIdenticalDuringTheRunAndGoneAfter) {
  launch run(command(launcher(L"record_launcher.exe")));
  ASSERT_TRUE(run.recorded) << run.result.out << run.result.err;
  std::map<std::wstring, std::wstring> files;
  for (const std::wstring& entry : run.rec.all(L"file")) {
    files[entry.substr(0, entry.find(L'|'))] = entry.substr(entry.find(L'|') + 1);
  }
  const auto expect_file = [&](const std::wstring& name, const std::wstring& source) {
    std::string bytes;
    ASSERT_TRUE(read_file(source, bytes)) << narrow(source);
    EXPECT_EQ(files[name], std::to_wstring(bytes.size()) + L"|" + std::to_wstring(fnv1a(bytes)))
        << narrow(name);
  };
  expect_file(L"a.txt", std::wstring(TEST_FILES_DIR) + L"\\a.txt");
  expect_file(L"sub\\b.txt", std::wstring(TEST_FILES_DIR) + L"\\sub\\b.txt");
  expect_file(L"sub\\deeper\\empty.bin",
              std::wstring(TEST_FILES_DIR) + L"\\sub\\deeper\\empty.bin");
  expect_file(L"sub\\large.txt", TEST_LARGE_FILE);
  expect_file(L"record_main.dll", launcher(L"record_main.dll"));
  // And the directory's own mark, which tells sweeps that the launch is under way.
  EXPECT_EQ(files.count(L"onefile.lock"), 1u);
  EXPECT_EQ(files.size(), 6u);

  // The main module is the first entry, in the target directory under the temporary folder.
  const std::wstring main_module = run.rec.get(L"main_module_path");
  const std::wstring target = main_module.substr(0, main_module.rfind(L'\\'));
  EXPECT_EQ(main_module.substr(main_module.rfind(L'\\') + 1), L"record_main.dll");
  EXPECT_EQ(target.find(run.temp.path() + L"\\onefile_" + run.rec.get(L"VESKAR_ONEFILE_PARENT") +
                        L"_" + run.rec.get(L"VESKAR_ONEFILE_TIME_US") + L"_" +
                        run.rec.get(L"VESKAR_ONEFILE_RANDOM")),
            0u)
      << narrow(target);
  EXPECT_FALSE(path_exists(target));
  EXPECT_TRUE(run.leftovers().empty());
}

TEST(RoleDecision, UnusableParentValuesMakeTheProcessAParent) {
  // A process that has ended leaves an id that names no running process.
  process_result ended = run_process(L"cmd.exe /c exit 0");
  (void)ended;
  const std::wstring values[] = {L"",
                                 L"12x",
                                 L"letters",
                                 L"99999999999",
                                 L"-99999999999",
                                 L"4194300",
                                 std::to_wstring(GetCurrentProcessId())};
  for (const std::wstring& value : values) {
    launch run(command(launcher(L"record_launcher.exe")), {L"VESKAR_ONEFILE_PARENT=" + value});
    ASSERT_TRUE(run.recorded) << narrow(value) << run.result.out << run.result.err;
    // The launcher published its own id, and its child saw that id.
    const std::wstring published = run.rec.get(L"VESKAR_ONEFILE_PARENT");
    EXPECT_NE(published, value);
    EXPECT_EQ(published, run.rec.get(L"parent_pid")) << narrow(value);
    EXPECT_EQ(run.rec.get(L"grandparent_pid"), std::to_wstring(GetCurrentProcessId()));
    EXPECT_TRUE(run.leftovers().empty());
  }
}

TEST(RoleDecision, InheritedTimeAndRandomValuesAreReplacedByTheParent) {
  launch run(command(launcher(L"record_launcher.exe")),
             {L"VESKAR_ONEFILE_START=1", L"VESKAR_ONEFILE_TIME_US=999999",
              L"VESKAR_ONEFILE_RANDOM=AAAAAAAAAAA"});
  ASSERT_TRUE(run.recorded);
  EXPECT_NE(run.rec.get(L"VESKAR_ONEFILE_TIME_US"), L"999999");
  EXPECT_NE(run.rec.get(L"VESKAR_ONEFILE_RANDOM"), L"AAAAAAAAAAA");
  EXPECT_EQ(run.rec.get(L"VESKAR_ONEFILE_RANDOM").size(), 11u);
  EXPECT_EQ(run.rec.get(L"main_module_path").find(L"AAAAAAAAAAA"), std::wstring::npos);
}

TEST(RoleDecision, AProcessThatTheApplicationStartsFromTheLauncherTakesTheChildRole) {
  launch run(command(launcher(L"record_launcher.exe")), {L"ONEFILE_TEST_SPAWN=1"});
  ASSERT_TRUE(run.recorded);
  EXPECT_EQ(run.rec.get(L"nested_exit"), L"0");
  record nested;
  ASSERT_TRUE(read_record(run.records / L"record.nested", &nested));
  // Same main module, same directory, same parent; the nested process is the application's own
  // child, not a child of a new parent.
  EXPECT_EQ(nested.get(L"main_module_path"), run.rec.get(L"main_module_path"));
  EXPECT_EQ(nested.get(L"VESKAR_ONEFILE_PARENT"), run.rec.get(L"VESKAR_ONEFILE_PARENT"));
  EXPECT_EQ(nested.get(L"parent_pid"), run.rec.get(L"pid"));
  EXPECT_EQ(run.leftovers().size(), 0u);
}

TEST(RoleDecision, AProcessThatCannotNameItsParentsDirectoryIsAParentOfItsOwn) {
  // Only VESKAR_ONEFILE_PARENT inherited, without the time and random values: as a child it could
  // only fail to find a directory; as a parent it unpacks and runs.
  launch run(command(launcher(L"record_launcher.exe")), {L"ONEFILE_TEST_SPAWN=without values"});
  ASSERT_TRUE(run.recorded);
  EXPECT_EQ(run.rec.get(L"nested_exit"), L"0");
  record nested;
  ASSERT_TRUE(read_record(run.records / L"record.nested", &nested));
  EXPECT_NE(nested.get(L"main_module_path"), run.rec.get(L"main_module_path"));
  EXPECT_EQ(nested.get(L"VESKAR_ONEFILE_PARENT"), nested.get(L"parent_pid"));
  EXPECT_EQ(nested.get(L"grandparent_pid"), run.rec.get(L"pid"));
  EXPECT_EQ(run.leftovers().size(), 0u);
}

// Copies a launcher to a new path and runs it from there.
void expect_single_child_launch_from(const std::wstring& directory, const std::wstring& name) {
  const std::wstring copy = directory + L"\\" + name;
  ASSERT_TRUE(CopyFileW(launcher(L"record_launcher.exe").c_str(), copy.c_str(), FALSE))
      << GetLastError();
  launch run(command(copy, {L"arg"}));
  ASSERT_TRUE(run.recorded) << run.result.out << run.result.err;
  EXPECT_EQ(run.result.exit_code, 0u);
  // Exactly one child: the application's parent is the launcher that the test started.
  EXPECT_EQ(run.rec.get(L"VESKAR_ONEFILE_PARENT"), run.rec.get(L"parent_pid"));
  EXPECT_EQ(run.rec.get(L"grandparent_pid"), std::to_wstring(GetCurrentProcessId()));
  EXPECT_TRUE(run.leftovers().empty());
  DeleteFileW(copy.c_str());
}

TEST(Paths, BlanksAndNonAsciiInTheDirectory) {
  scratch_directory base;
  const std::wstring directory = base / L"with blanks \u00e9\u00e8 \u6f22";
  ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
  expect_single_child_launch_from(directory, L"my app \u00fc.exe");
}

TEST(Paths, StartedThroughADirectoryLink) {
  const std::wstring linked = std::wstring(TEST_LINK_DIR) + L"\\record_launcher.exe";
  const DWORD attributes = GetFileAttributesW(TEST_LINK_DIR);
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << "the link fixture did not run";
  launch run(command(linked, {L"x"}));
  ASSERT_TRUE(run.recorded) << run.result.out << run.result.err;
  EXPECT_EQ(run.rec.get(L"VESKAR_ONEFILE_PARENT"), run.rec.get(L"parent_pid"));
  EXPECT_EQ(run.rec.get(L"grandparent_pid"), std::to_wstring(GetCurrentProcessId()));
  EXPECT_EQ(run.rec.all(L"arg")[0], linked);
}

// Target specs beside the launcher, which a user starts from its folder by a bare or relative
// name (the child gets the full path): parent and child expand {PROGRAM_BASE} and {PROGRAM_DIR}
// from the launcher's own path alike, and the application runs from there.
TEST(Paths, ProgramValuesOfALauncherStartedByABareOrRelativeName) {
  scratch_directory base;
  const std::wstring folder = base / L"sub";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  wchar_t previous[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  const struct {
    const wchar_t* source;
    std::wstring copy, target_prefix;
  } launchers[] = {{L"program_base_launcher.exe", L"base app.exe", folder + L"\\base app_"},
                   {L"program_dir_launcher.exe", L"dir app.exe", folder + L"\\unpacked_"}};
  for (const auto& each : launchers) {
    const std::wstring copy = folder + L"\\" + each.copy;
    ASSERT_TRUE(CopyFileW(launcher(each.source).c_str(), copy.c_str(), FALSE));
    for (const auto& [invoked, current] :
         {std::pair{each.copy, folder}, std::pair{L".\\sub\\..\\sub\\" + each.copy, base.path()}}) {
      SCOPED_TRACE(narrow(invoked));
      ASSERT_TRUE(SetCurrentDirectoryW(current.c_str()));
      launch run(command(invoked, {L"arg"}));
      SetCurrentDirectoryW(previous);
      ASSERT_TRUE(run.recorded) << run.result.exit_code << run.result.out << run.result.err;
      EXPECT_EQ(run.result.exit_code, 0u);
      EXPECT_EQ(run.rec.get(L"VESKAR_ORIGINAL_ARGV0"), invoked);
      EXPECT_EQ(run.rec.get(L"VESKAR_ONEFILE_PARENT"), run.rec.get(L"parent_pid"));
      const std::wstring main_module = run.rec.get(L"main_module_path");
      EXPECT_EQ(main_module.rfind(each.target_prefix, 0), 0u) << narrow(main_module);
      EXPECT_EQ(directory_entries(folder), std::vector<std::wstring>{each.copy});
    }
    DeleteFileW(copy.c_str());
  }
}

// {HOME} takes USERPROFILE only when it names an existing folder; otherwise the shell's profile
// folder, as when it is not set.
TEST(Paths, AProfileVariableThatNamesNoFolderLeavesHomeToTheShell) {
  wchar_t profile[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, profile), S_OK);
  for (const wchar_t* value : {L"C:\\fakehome", L"relative\\home"}) {
    launch run(command(launcher(L"home_launcher.exe")), {L"USERPROFILE=" + std::wstring(value)});
    ASSERT_TRUE(run.recorded) << narrow(value) << run.result.out << run.result.err;
    EXPECT_EQ(run.result.exit_code, 0u);
    const std::wstring main_module = run.rec.get(L"main_module_path");
    EXPECT_EQ(main_module.rfind(std::wstring(profile) + L"\\onefile_home_", 0), 0u)
        << narrow(main_module);
    EXPECT_FALSE(path_exists(main_module));
  }
}

TEST(Paths, AnExecutablePathLongerThan2047Units) {
  scratch_directory base;
  std::wstring directory = L"\\\\?\\" + base.path();
  const std::wstring component(200, L'd');
  while (directory.size() < 2100) {
    directory += L"\\" + component;
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr)) << GetLastError();
  }
  const std::wstring copy = directory + L"\\long.exe";
  ASSERT_TRUE(CopyFileW(launcher(L"record_launcher.exe").c_str(), copy.c_str(), FALSE));
  launch run(quote_argument(copy.substr(4)) + L" arg");
  if (!run.recorded && run.result.err.rfind("CreateProcessW failed", 0) == 0) {
    GTEST_SKIP() << "the system does not start programs from paths this long: " << run.result.err;
  }
  ASSERT_TRUE(run.recorded) << run.result.exit_code << run.result.out << run.result.err;
  EXPECT_EQ(run.rec.get(L"VESKAR_ONEFILE_PARENT"), run.rec.get(L"parent_pid"));
  EXPECT_EQ(run.rec.get(L"grandparent_pid"), std::to_wstring(GetCurrentProcessId()));
}

// A copy of a launcher whose payload block has been changed by edit.
template <typename Edit>
std::wstring patched_launcher(const scratch_directory& where, const wchar_t* source, Edit edit) {
  std::string bytes;
  EXPECT_TRUE(read_file(launcher(source), bytes));
  const std::size_t block = bytes.find(std::string("JIV\x28\xB5\x2F\xFD", 7));
  EXPECT_NE(block, std::string::npos);
  edit(bytes, block);
  const std::wstring path = where / L"patched.exe";
  EXPECT_TRUE(write_file(path, bytes));
  return path;
}

TEST(Failures, BadHeaderEndsBeforeAnythingIsWritten) {
  scratch_directory where;
  const std::wstring exe =
      patched_launcher(where, L"record_launcher.exe",
                       [](std::string& bytes, std::size_t at) { bytes[at + 1] = 'X'; });
  launch run(command(exe));
  std::string out = run.result.out;
  std::erase(out, '\r');
  EXPECT_EQ(out, "Error, couldn't find attached data header.\n");
  EXPECT_EQ(run.result.exit_code, 2u);
  EXPECT_FALSE(run.recorded);
  EXPECT_TRUE(run.leftovers().empty());
}

TEST(Failures, AnEmptyEntryListEndsWithAClearFailure) {
  scratch_directory where;
  const std::wstring exe =
      patched_launcher(where, L"record_launcher.exe", [](std::string& bytes, std::size_t at) {
        const char end_marker[2] = {0, 0};
        char frame[64];
        const std::size_t size = ZSTD_compress(frame, sizeof frame, end_marker, 2, 3);
        ASSERT_FALSE(ZSTD_isError(size));
        bytes.replace(at + 3, size, frame, size);
      });
  launch run(command(exe));
  std::string out = run.result.out;
  std::erase(out, '\r');
  EXPECT_EQ(out, "Error, attached data holds no files.\n");
  EXPECT_EQ(run.result.exit_code, 2u);
  EXPECT_FALSE(run.recorded);
  EXPECT_TRUE(run.leftovers().empty());
}

TEST(Failures, MainModuleWithoutRunCode) {
  launch run(command(launcher(L"no_entry_launcher.exe")));
  std::string out = run.result.out;
  std::erase(out, '\r');
  EXPECT_EQ(out, "Error, DLL entry point not found.\n");
  EXPECT_EQ(run.result.exit_code, 2u);
  EXPECT_TRUE(run.leftovers().empty());  // the parent still removes the directory
}

TEST(Failures, ADependencyBesideTheLauncherIsNotLookedFor) {
  ASSERT_TRUE(path_exists(launcher(L"onefile_dependency.dll")));
  launch run(command(launcher(L"dependent_launcher.exe")));
  EXPECT_EQ(run.result.err.rfind("Error, load DLL. ([Error ", 0), 0u) << run.result.err;
  EXPECT_EQ(run.result.exit_code, 2u);
  EXPECT_TRUE(run.leftovers().empty());
}

std::wstring version_string(const std::vector<char>& info, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring query = std::wstring(L"\\StringFileInfo\\000004b0\\") + name;
  if (!VerQueryValueW(info.data(), query.c_str(), &value, &length) || length == 0) return L"(none)";
  return static_cast<const wchar_t*>(value);
}

std::vector<char> version_info(const wchar_t* name) {
  const std::wstring exe = launcher(name);
  DWORD handle = 0;
  std::vector<char> info(GetFileVersionInfoSizeW(exe.c_str(), &handle));
  if (info.empty() ||
      !GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(info.size()), info.data())) {
    info.clear();
  }
  return info;
}

TEST(Image, VersionRecordAsTheSystemReadsIt) {
  const std::vector<char> info = version_info(L"record_launcher.exe");
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(version_string(info, L"CompanyName"), L"Marrowvale");
  EXPECT_EQ(version_string(info, L"ProductName"), L"Marrowvale");
  EXPECT_EQ(version_string(info, L"FileVersion"), L"2.0.0.0");
  EXPECT_EQ(version_string(info, L"ProductVersion"), L"2.0.0.0");
  EXPECT_EQ(version_string(info, L"OriginalFilename"), L"record_launcher.exe");
  EXPECT_EQ(version_string(info, L"InternalName"), L"record_launcher");
  EXPECT_EQ(version_string(info, L"FileDescription"), L"Marrowvale");  // the product
  EXPECT_EQ(version_string(info, L"LegalCopyright"), L"(none)");
  struct translation {
    WORD language;
    WORD code_page;
  }* translations = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translations), &length));
  EXPECT_EQ(translations[0].language, 0);
  EXPECT_EQ(translations[0].code_page, 1200);
  VS_FIXEDFILEINFO* fixed = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00020000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);

  // Names in Latin, Cyrillic and CJK arrive whole.
  const std::vector<char> named = version_info(L"run_probe_launcher.exe");
  ASSERT_FALSE(named.empty());
  EXPECT_EQ(version_string(named, L"CompanyName"), L"Soci\u00e9t\u00e9 \u00c9tienne");
  EXPECT_EQ(version_string(named, L"ProductName"),
            L"\u041f\u0440\u043e\u0434\u0443\u043a\u0442 \u88fd\u54c1");
  // The description, copyright, comments and a free-text product version beside the numbers;
  // three numbers are the fourth 0.
  EXPECT_EQ(version_string(named, L"FileDescription"), L"Argument probe");
  EXPECT_EQ(version_string(named, L"LegalCopyright"),
            L"\u00a9 2026 Soci\u00e9t\u00e9 \u00c9tienne");
  EXPECT_EQ(version_string(named, L"Comments"), L"Records its arguments");
  EXPECT_EQ(version_string(named, L"ProductVersion"), L"1.2.0-beta");
  EXPECT_EQ(version_string(named, L"FileVersion"), L"1.2.3.0");
  ASSERT_TRUE(VerQueryValueW(named.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00030000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00030000u);
}

std::string manifest_of(const wchar_t* name) {
  HMODULE image = LoadLibraryExW(launcher(name).c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr) return "(no image)";
  HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  std::string manifest = "(no manifest)";
  if (resource != nullptr) {
    const char* text = static_cast<const char*>(LockResource(LoadResource(image, resource)));
    manifest.assign(text, SizeofResource(image, resource));
  }
  FreeLibrary(image);
  return manifest;
}

TEST(Image, ManifestAsksForNoElevationAndLongPaths) {
  const std::string manifest = manifest_of(L"record_launcher.exe");
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(
      manifest.find(
          "<longPathAware "
          "xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>"),
      std::string::npos);
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
  // Windows 7 to 11; not Vista, where the image's imports don't load.
  EXPECT_NE(manifest.find("8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"), std::string::npos);
  EXPECT_NE(manifest.find("35138b9a-5d96-4fbd-8e2d-a2440225f93a"), std::string::npos);
  EXPECT_EQ(manifest.find("e2011457-1546-43c5-a5fe-008deee3d3f0"), std::string::npos);
  EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos);
  // The launcher built with an icon and UTF-8 as its code page.
  EXPECT_NE(manifest_of(L"run_probe_launcher.exe")
                .find("<activeCodePage "
                      "xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">UTF-8</"
                      "activeCodePage>"),
            std::string::npos);
}

TEST(Image, TheIconAsTheShellReadsIt) {
  EXPECT_EQ(ExtractIconExW(launcher(L"record_launcher.exe").c_str(), -1, nullptr, nullptr, 0), 0u);
  ASSERT_EQ(ExtractIconExW(launcher(L"run_probe_launcher.exe").c_str(), -1, nullptr, nullptr, 0),
            1u);
  HICON small_icon = nullptr;
  ASSERT_EQ(ExtractIconExW(launcher(L"run_probe_launcher.exe").c_str(), 0, nullptr, &small_icon, 1),
            1u);
  ICONINFO info{};
  ASSERT_TRUE(GetIconInfo(small_icon, &info));
  BITMAP bitmap{};
  GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
  EXPECT_EQ(bitmap.bmWidth, 16);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  DestroyIcon(small_icon);
}

}  // namespace
