#include "onefile/files.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <system_error>

#include "onefile/build_error.h"
#include "pack/file_system.h"
#include "pack/platform.h"

#ifdef _WIN32
#include <windows.h>
#include <process.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace onefile_tool {
namespace {

namespace fs = std::filesystem;

int process_id() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<int>(getpid());
#endif
}

// A process of that id runs now (on this machine).
bool process_runs(unsigned long id) {
#ifdef _WIN32
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
#else
  if (id > 0x7FFFFFFF) return true;  // no process id: not a temporary of this tool's, left alone
  return kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH;
#endif
}

// The temporaries in the output's folder are named "<output's name>.onefile-<process id>.tmp".
// One whose build no longer runs was left by an interrupted build that could not remove it (the
// process was killed): removed. Anything else there is left alone.
void remove_stale_temporaries(const fs::path& output) {
  // Compared as native text: a name the system's code page can't spell stays comparable.
  using native = fs::path::string_type;
  const native prefix = output.filename().native() + fs::path(".onefile-").native();
  const native suffix = fs::path(".tmp").native();
  const fs::path folder = output.has_parent_path() ? output.parent_path() : fs::path(".");
  std::error_code error;
  for (fs::directory_iterator it(folder, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    const native name = it->path().filename().native();
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(suffix)) {
      continue;
    }
    const native digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.size() > 10 || !std::all_of(digits.begin(), digits.end(),
                                           [](auto unit) { return unit >= '0' && unit <= '9'; })) {
      continue;
    }
    unsigned long long id = 0;
    for (const auto unit : digits) id = id * 10 + static_cast<unsigned long long>(unit - '0');
    std::error_code ignored;
    if (id != static_cast<unsigned long long>(process_id()) && id <= 0xFFFFFFFFull &&
        !process_runs(static_cast<unsigned long>(id)) && it->is_regular_file(ignored)) {
      fs::remove(it->path(), ignored);
    }
  }
}

// The temporaries that an interruption removes: fixed buffers, which a signal handler (or the
// console's control handler thread) reads without allocating.
constexpr int interrupt_slots = 4;
#ifdef _WIN32
using native_unit = wchar_t;
#else
using native_unit = char;
#endif
native_unit interrupt_paths[interrupt_slots][4096];
volatile std::sig_atomic_t interrupt_used[interrupt_slots];

void remove_on_interrupt() {
  for (int slot = 0; slot < interrupt_slots; ++slot) {
    if (interrupt_used[slot] == 0) continue;
#ifdef _WIN32
    // The build's own thread may hold the file open for a moment: try for about a second.
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (DeleteFileW(interrupt_paths[slot]) || GetLastError() == ERROR_FILE_NOT_FOUND) break;
      Sleep(50);
    }
#else
    unlink(interrupt_paths[slot]);
#endif
  }
}

#ifdef _WIN32
// Ctrl+C, Ctrl+Break and the console window's closing: the temporaries go, then the default
// handling ends the process ("HandlerRoutine callback function").
BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    remove_on_interrupt();
  }
  return FALSE;
}
#else
// SIGINT, SIGTERM and SIGHUP: the temporaries go, then the signal's default action ends the
// process as the signal would have (unlink is async-signal-safe).
void on_signal(int number) {
  remove_on_interrupt();
  std::signal(number, SIG_DFL);
  std::raise(number);
}
#endif

int register_for_interrupt(const fs::path& temporary) {
  static bool installed = false;
  if (!installed) {
    installed = true;
#ifdef _WIN32
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    // A signal that the build was started to ignore (nohup, a background job) stays ignored.
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
      if (std::signal(number, on_signal) == SIG_IGN) std::signal(number, SIG_IGN);
    }
#endif
  }
  const auto& native = temporary.native();
  for (int slot = 0; slot < interrupt_slots; ++slot) {
    if (interrupt_used[slot] != 0 || native.size() >= std::size(interrupt_paths[slot])) continue;
    std::copy(native.begin(), native.end(), interrupt_paths[slot]);
    interrupt_paths[slot][native.size()] = 0;
    interrupt_used[slot] = 1;
    return slot;
  }
  return -1;
}

[[noreturn]] void fail(const fs::path& output, const std::string& why) {
  throw BuildError("can't write '" + onefile_pack::display_path(output) + "': " + why);
}

}  // namespace

std::vector<std::uint8_t> read_input_file(const fs::path& path, const std::string& what,
                                          std::uint64_t limit) {
  const auto fail = [&](const std::string& why) {
    return BuildError("can't read " + what + " '" + onefile_pack::display_path(path) + "': " + why);
  };
  std::FILE* file = onefile_pack::open_file(path, "rb");
  if (file == nullptr) throw fail(std::generic_category().message(errno));
  std::vector<std::uint8_t> bytes;
  std::uint8_t buffer[1 << 16];
  while (bytes.size() < limit) {
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, limit - bytes.size()));
    const std::size_t got = std::fread(buffer, 1, wanted, file);
    if (got == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  const int error = std::ferror(file) != 0 ? errno : 0;
  std::fclose(file);
  if (error != 0) throw fail(std::generic_category().message(error));
  return bytes;
}

PendingOutput::PendingOutput(fs::path output, bool program) : output_(std::move(output)) {
  std::error_code error;
  if (fs::is_directory(output_, error)) fail(output_, "it is a directory");
  remove_stale_temporaries(output_);
  temporary_ = output_;
  temporary_ += ".onefile-" + std::to_string(process_id()) + ".tmp";
  std::FILE* file = onefile_pack::open_file(temporary_, "wb");
  if (file == nullptr) fail(output_, std::generic_category().message(errno));
  std::fclose(file);
  interrupt_slot_ = register_for_interrupt(temporary_);
  if (!program) return;
  // A program, as a linker would leave it (within the umask's read rights).
  fs::permissions(temporary_,
                  fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add, error);
}

PendingOutput::~PendingOutput() {
  if (interrupt_slot_ >= 0) interrupt_used[interrupt_slot_] = 0;
  if (committed_) return;
#ifdef _WIN32
  DeleteFileW(onefile_pack::extended_length_path(temporary_).c_str());  // at any depth
#else
  std::error_code ignored;
  fs::remove(temporary_, ignored);
#endif
}

void PendingOutput::write(const std::vector<std::uint8_t>& bytes) {
  std::FILE* file = onefile_pack::open_file(temporary_, "wb");
  if (file == nullptr) fail(output_, std::generic_category().message(errno));
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int write_error = errno;
  if (std::fclose(file) != 0 || !written) {
    fail(output_, std::generic_category().message(written ? errno : write_error));
  }
}

void PendingOutput::copy_from(const fs::path& source) {
  std::FILE* in = onefile_pack::open_file(source, "rb");
  if (in == nullptr) {
    throw BuildError("can't read the signed launcher '" + onefile_pack::display_path(source) +
                     "': " + std::generic_category().message(errno));
  }
  std::FILE* out = onefile_pack::open_file(temporary_, "wb");
  if (out == nullptr) {
    const int open_error = errno;
    std::fclose(in);
    fail(output_, std::generic_category().message(open_error));
  }
  std::vector<char> buffer(1 << 20);
  bool written = true;
  for (std::size_t got; written && (got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;) {
    written = std::fwrite(buffer.data(), 1, got, out) == got;
  }
  const int copy_error = errno;
  const bool read_failed = std::ferror(in) != 0;
  std::fclose(in);
  if (std::fclose(out) != 0 || !written || read_failed) {
    fail(output_, std::generic_category().message(copy_error));
  }
}

void PendingOutput::commit() {
#ifdef _WIN32
  // The file is complete and closed; replacing an older launcher is one rename.
  if (!MoveFileExW(onefile_pack::extended_length_path(temporary_).c_str(),
                   onefile_pack::extended_length_path(output_).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    fail(output_, std::system_category().message(static_cast<int>(GetLastError())));
  }
#else
  if (std::rename(temporary_.c_str(), output_.c_str()) != 0) {
    fail(output_, std::generic_category().message(errno));
  }
#endif
  if (interrupt_slot_ >= 0) interrupt_used[interrupt_slot_] = 0;
  interrupt_slot_ = -1;
  committed_ = true;
}

}  // namespace onefile_tool
