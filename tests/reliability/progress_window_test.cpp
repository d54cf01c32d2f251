// The progress window of a long unpacking, on real launchers. The ProgressWindow tests run in a
// prefix with Wine's null graphics driver (null_display.sh), where top-level windows exist without
// a display; they find the launcher's window by its class among the desktop's windows, as any
// program could.
// ONEFILE_TEST_SLOW_WRITES=ms (hooked_main.cpp) makes each file's creation that much slower.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include "tests/reliability/launch_support.h"

namespace {

// The entries of the payloads: fault_main.dll and the small directory's two files; and the many
// directory's thirty directories of a hundred files beside fault_main.dll.
constexpr const wchar_t* small_count_text = L"of 3 files";
constexpr const wchar_t* many_count_text = L"of 3001 files";

struct window_search {
  DWORD process;
  HWND found;
};

BOOL CALLBACK match_progress_window(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<window_search*>(data);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t class_name[64];
  if (owner == search->process && GetClassNameW(window, class_name, 64) > 0 &&
      std::wcscmp(class_name, L"onefile_progress") == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND progress_window_of(DWORD process) {
  window_search search{process, nullptr};
  EnumWindows(match_progress_window, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A control's text, asked of the process that owns it (WM_GETTEXT is carried across processes).
std::wstring text_of(HWND window) {
  wchar_t text[512] = {};
  SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_BLOCK, 5000,
                      nullptr);
  return text;
}

BOOL CALLBACK collect_child(HWND window, LPARAM data) {
  reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
  return TRUE;
}

// The texts of the window's controls, joined by '|'.
std::wstring control_texts(HWND window) {
  std::vector<HWND> children;
  EnumChildWindows(window, collect_child, reinterpret_cast<LPARAM>(&children));
  std::wstring texts;
  for (HWND child : children) texts += text_of(child) + L"|";
  return texts;
}

HWND child_with_text(HWND window, const wchar_t* text) {
  std::vector<HWND> children;
  EnumChildWindows(window, collect_child, reinterpret_cast<LPARAM>(&children));
  for (HWND child : children) {
    if (text_of(child) == text) return child;
  }
  return nullptr;
}

// Looks for the launch's progress window until it shows (made, with its controls, and then
// shown), the application runs or the launch ends; polled often, so that a window that lives a
// few hundred milliseconds is seen. With any_window, one that is only made counts too.
HWND wait_for_progress_window(const started_launch& run, const launch_files& files,
                              bool any_window = false) {
  for (DWORD waited = 0; waited < 60000; waited += 10) {
    HWND window = progress_window_of(run.id());
    if (window != nullptr && (any_window || IsWindowVisible(window))) return window;
    if (path_exists(files.ready) || run.wait(0)) return nullptr;
    Sleep(10);
  }
  return nullptr;
}

bool loads_module(HANDLE process, const wchar_t* name) {
  HMODULE modules[512];
  DWORD needed = 0;
  if (!K32EnumProcessModules(process, modules, sizeof modules, &needed)) return false;
  for (DWORD i = 0; i < needed / sizeof modules[0] && i < 512; ++i) {
    wchar_t base[MAX_PATH];
    if (K32GetModuleBaseNameW(process, modules[i], base, MAX_PATH) > 0 &&
        _wcsicmp(base, name) == 0) {
      return true;
    }
  }
  return false;
}

TEST(ProgressWindow, ShowsWhileASlowUnpackingLastsAndIsGoneBeforeTheApplicationRuns) {
  // On the main thread alone (three entries), and on the writer pool (three thousand).
  const struct {
    const wchar_t* launcher_name;
    const wchar_t* slow_ms;
    const wchar_t* writers;
    const wchar_t* count_text;
  } rows[] = {{L"progress_launcher.exe", L"800", L"1", small_count_text},
              {L"many_launcher.exe", L"4", L"4", many_count_text}};
  for (const auto& row : rows) {
    SCOPED_TRACE(narrow(row.launcher_name));
    launch_files files;
    started_launch run(
        launcher(row.launcher_name),
        files.environment({L"ONEFILE_TEST_GO=" + files.go,
                           std::wstring(L"ONEFILE_TEST_SLOW_WRITES=") + row.slow_ms,
                           std::wstring(L"ONEFILE_TEST_UNPACK_THREADS=") + row.writers}));
    ASSERT_TRUE(run.started());
    HWND window = wait_for_progress_window(run, files);
    ASSERT_NE(window, nullptr) << "no progress window; the launcher's output: [" << run.out()
                               << run.err() << "]";
    wchar_t caption[256] = {};
    GetWindowTextW(window, caption, 256);
    const std::wstring texts = control_texts(window);
    note("controls", narrow(texts));
    if (row.launcher_name == std::wstring(L"progress_launcher.exe")) {
      EXPECT_STREQ(caption, L"Progress Probe");
      EXPECT_NE(texts.find(L"Unpacking Progress Probe|"), std::wstring::npos);
    }
    EXPECT_NE(texts.find(std::wstring(row.count_text) + L"|"), std::wstring::npos);
    EXPECT_NE(child_with_text(window, L"Cancel"), nullptr);

    // Gone before the child was made, so once the application runs.
    ASSERT_TRUE(run.writes(files.ready));
    EXPECT_EQ(progress_window_of(run.id()), nullptr);
    files.release();
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(run.exit_code(), 0u);
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
}

// A launch that unpacks fast shows nothing and never loads the progress bar's library.
TEST(ProgressWindow, NoneForAFastUnpacking) {
  launch_files files;
  started_launch run(launcher(L"progress_launcher.exe"),
                     files.environment({L"ONEFILE_TEST_GO=" + files.go}));
  ASSERT_TRUE(run.started());
  EXPECT_EQ(wait_for_progress_window(run, files, true), nullptr);
  ASSERT_TRUE(run.writes(files.ready));
  // Past the time when a window would have come.
  Sleep(1500);
  EXPECT_EQ(progress_window_of(run.id()), nullptr);
  HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, run.id());
  ASSERT_NE(parent, nullptr);
  ASSERT_TRUE(loads_module(parent, L"kernel32.dll")) << "the parent's modules can't be listed";
  EXPECT_FALSE(loads_module(parent, L"comctl32.dll"));
  CloseHandle(parent);
  files.release();
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 0u);
}

// Built with --no-progress, or for the console: a slow unpacking shows nothing either.
TEST(ProgressWindow, NoneWhenBuiltWithoutItOrForTheConsole) {
  for (const wchar_t* name : {L"quiet_launcher.exe", L"console_fault_launcher.exe"}) {
    SCOPED_TRACE(narrow(name));
    launch_files files;
    started_launch run(launcher(name), files.environment({L"ONEFILE_TEST_SLOW_WRITES=800",
                                                          L"ONEFILE_TEST_UNPACK_THREADS=1"}));
    ASSERT_TRUE(run.started());
    EXPECT_EQ(wait_for_progress_window(run, files, true), nullptr);
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(run.exit_code(), 0u);
    EXPECT_TRUE(path_exists(files.ready));
  }
}

// Cancel, with its button or by closing the window: the launch ends as it does for Ctrl+C during
// unpacking. The writers stop, the directory goes, the application never starts, and the exit
// code is the console's for Ctrl+C.
TEST(ProgressWindow, CancelEndsTheLaunchAsCtrlCDuringUnpacking) {
  for (const bool with_button : {true, false}) {
    SCOPED_TRACE(with_button ? "Cancel button" : "closed");
    launch_files files;
    started_launch run(
        launcher(L"many_launcher.exe"),
        files.environment({L"ONEFILE_TEST_SLOW_WRITES=10", L"ONEFILE_TEST_UNPACK_THREADS=4"}));
    ASSERT_TRUE(run.started());
    HWND window = wait_for_progress_window(run, files);
    ASSERT_NE(window, nullptr) << "no progress window; the launcher's output: [" << run.out()
                               << run.err() << "]";
    if (with_button) {
      HWND button = child_with_text(window, L"Cancel");
      ASSERT_NE(button, nullptr);
      PostMessageW(button, BM_CLICK, 0, 0);
    } else {
      PostMessageW(window, WM_CLOSE, 0, 0);
    }
    ASSERT_TRUE(run.wait(120000)) << "the launch went on";
    EXPECT_EQ(run.exit_code(), static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
    EXPECT_FALSE(path_exists(files.ready)) << "the application ran";
    EXPECT_FALSE(has_running_child(run.id(), launcher(L"many_launcher.exe")));
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{})
        << "target directory left";
  }
}

// In the tests' usual prefix, without a display, Wine makes no top-level window
// (CreateWindowExW fails, as it may on Windows for a desktop that refuses it): a slow launch
// goes on without its window and runs the application as always.
TEST(ProgressWindowWithoutDisplay, ASlowLaunchGoesOnAndRunsTheApplication) {
  launch_files files;
  started_launch run(
      launcher(L"progress_launcher.exe"),
      files.environment({L"ONEFILE_TEST_SLOW_WRITES=800", L"ONEFILE_TEST_UNPACK_THREADS=1"}));
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 0u) << run.out() << run.err();
  EXPECT_TRUE(path_exists(files.ready));
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
}

}  // namespace
