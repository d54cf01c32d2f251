#include "onefile/process.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "pack/platform.h"
#include "pack/utf.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace onefile_tool {

namespace fs = std::filesystem;

#ifdef _WIN32

namespace {

std::wstring wide(const std::string& utf8) {
  std::u16string units;
  onefile_pack::utf8_to_utf16(utf8, units);
  return std::wstring(units.begin(), units.end());
}

// One argument as CommandLineToArgvW and the C runtime read it back: quoted when it has blanks
// or quotes, backslashes doubled only before a quote ("Parsing C++ command-line arguments").
void append_quoted(std::wstring& line, const std::wstring& argument) {
  if (!line.empty()) line += L' ';
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

}  // namespace

std::optional<fs::path> find_on_path(const std::string& name) {
  const wchar_t* path = _wgetenv(L"PATH");
  if (path == nullptr) return std::nullopt;
  const std::wstring list = path;
  for (std::size_t start = 0; start <= list.size();) {
    std::size_t end = list.find(L';', start);
    if (end == std::wstring::npos) end = list.size();
    if (end > start) {
      const fs::path candidate = fs::path(list.substr(start, end - start)) / (wide(name) + L".exe");
      std::error_code error;
      if (fs::is_regular_file(candidate, error)) return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

namespace {

// Starts application with the whole command line, its output and error into log, and waits.
int run_line(const std::wstring& application, std::wstring line, const fs::path& log) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE output = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return -1;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  CloseHandle(output);
  if (!started) return -1;
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

}  // namespace

int run_program(const fs::path& program, const std::vector<std::string>& arguments,
                const fs::path& log) {
  std::wstring line;
  append_quoted(line, program.wstring());
  for (const std::string& argument : arguments) append_quoted(line, wide(argument));
  return run_line(program.wstring(), std::move(line), log);
}

int run_shell_command(const std::string& command, const fs::path& file, const fs::path& log) {
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return -1;
  const std::wstring shell = std::wstring(system) + L"\\cmd.exe";
  // With /s, cmd takes the text between the first and the last quote as the command line.
  std::wstring line = L"cmd.exe /d /s /c \"" + wide(command) + L" \"" + file.wstring() + L"\"\"";
  return run_line(shell, std::move(line), log);
}

fs::path own_executable() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return fs::path(path);
}

#else

std::optional<fs::path> find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  const std::string list = path;
  for (std::size_t start = 0; start <= list.size();) {
    std::size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) {
      const fs::path candidate = fs::path(list.substr(start, end - start)) / name;
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

int run_program(const fs::path& program, const std::vector<std::string>& arguments,
                const fs::path& log) {
  std::vector<std::string> texts{program.string()};
  texts.insert(texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t child = 0;
  const int result = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return -1;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int run_shell_command(const std::string& command, const fs::path& file, const fs::path& log) {
  // The path reaches the command as the shell's $1, so that no character of it needs quoting.
  return run_program("/bin/sh", {"-c", command + " \"$1\"", "onefile", file.string()}, log);
}

fs::path own_executable() {
  std::error_code error;
  return fs::read_symlink("/proc/self/exe", error);
}

#endif

}  // namespace onefile_tool
