#include "onefile/files.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "onefile/build_error.h"
#include "pack/file_system.h"
#include "pack/platform.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <process.h>
#else
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

[[noreturn]] void fail(const fs::path& output, const std::string& why) {
  throw BuildError("can't write '" + onefile_pack::display_path(output) + "': " + why);
}

}  // namespace

std::vector<std::uint8_t> read_input_file(const fs::path& path, const std::string& what) {
  const auto fail = [&](const std::string& why) {
    return BuildError("can't read " + what + " '" + onefile_pack::display_path(path) + "': " + why);
  };
  std::FILE* file = onefile_pack::open_file(path, "rb");
  if (file == nullptr) throw fail(std::generic_category().message(errno));
  std::vector<std::uint8_t> bytes;
  std::uint8_t buffer[1 << 16];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  const int error = std::ferror(file) != 0 ? errno : 0;
  std::fclose(file);
  if (error != 0) throw fail(std::generic_category().message(error));
  return bytes;
}

PendingOutput::PendingOutput(fs::path output) : output_(std::move(output)) {
  std::error_code error;
  if (fs::is_directory(output_, error)) fail(output_, "it is a directory");
  temporary_ = output_;
  temporary_ += ".onefile-" + std::to_string(process_id()) + ".tmp";
  std::FILE* file = onefile_pack::open_file(temporary_, "wb");
  if (file == nullptr) fail(output_, std::generic_category().message(errno));
  std::fclose(file);
  // A program, as a linker would leave it (within the umask's read rights).
  fs::permissions(temporary_,
                  fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add, error);
}

PendingOutput::~PendingOutput() {
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
  committed_ = true;
}

}  // namespace onefile_tool
