#include "onefile/signing.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#include "onefile/build_error.h"
#include "onefile/module_check.h"
#include "onefile/process.h"
#include "pack/platform.h"

namespace onefile_tool {
namespace {

namespace fs = std::filesystem;
using onefile_pack::display_path;

void check_readable(const fs::path& path, const std::string& what) {
  std::FILE* file = onefile_pack::open_file(path, "rb");
  if (file == nullptr) {
    throw BuildError("can't read " + what + " '" + display_path(path) +
                     "': " + std::generic_category().message(errno));
  }
  std::fclose(file);
}

std::string utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string read_text(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The first line of a program's output that says something, for a one-line message.
std::string first_line(const std::string& said) {
  std::size_t start = 0;
  while (start < said.size()) {
    std::size_t end = said.find('\n', start);
    if (end == std::string::npos) end = said.size();
    std::string line = said.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) return line;
    start = end + 1;
  }
  return "no message";
}

// The password file's first line: signtool takes the password on its command line.
std::string password_of(const fs::path& file) {
  std::string text = read_text(file);
  text = text.substr(0, text.find('\n'));
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

#ifdef _WIN32
// signtool.exe on the PATH, else in the newest Windows 10/11 SDK, where the SDK installs it
// without adding it to the PATH.
std::optional<fs::path> find_signtool() {
  if (auto on_path = find_on_path("signtool")) return on_path;
  const wchar_t* program_files = _wgetenv(L"ProgramFiles(x86)");
  if (program_files == nullptr) return std::nullopt;
  const fs::path kits = fs::path(program_files) / L"Windows Kits" / L"10" / L"bin";
  std::error_code error;
  std::optional<fs::path> newest;
  for (const fs::directory_entry& version : fs::directory_iterator(kits, error)) {
    const fs::path candidate = version.path() / L"x64" / L"signtool.exe";
    if (fs::is_regular_file(candidate, error) && (!newest || candidate > *newest)) {
      newest = candidate;
    }
  }
  return newest;
}
#endif

}  // namespace

Signer::Signer(SigningOptions options, fs::path work)
    : options_(std::move(options)), work_(std::move(work)) {
  if (options_.command) {
    kind_ = Program::command;
    return;
  }
  check_readable(*options_.certificate, "the certificate");
  if (options_.password_file) check_readable(*options_.password_file, "the password file");
#ifdef _WIN32
  if (auto signtool = find_signtool()) {
    kind_ = Program::signtool;
    program_ = *signtool;
    return;
  }
  if (auto osslsigncode = find_on_path("osslsigncode")) {
    program_ = *osslsigncode;
    return;
  }
  throw BuildError(
      "--sign needs signtool, from the Windows SDK (its \"Windows SDK Signing Tools for Desktop "
      "Apps\"), or osslsigncode on the PATH; or sign with a command of your own: "
      "--sign-command");
#else
  if (auto osslsigncode = find_on_path("osslsigncode")) {
    program_ = *osslsigncode;
    return;
  }
  throw BuildError(
      "--sign needs osslsigncode on the PATH (Debian, Ubuntu: apt-get install osslsigncode; "
      "Fedora: dnf install osslsigncode; macOS: brew install osslsigncode); or sign with a "
      "command of your own: --sign-command");
#endif
}

void Signer::run(const fs::path& input, const fs::path& output, const std::string& shown) {
  const fs::path log = work_ / "signing.log";
  std::vector<std::string> arguments;
  if (kind_ != Program::osslsigncode) {
    // signtool and the user's command sign the file in place.
    std::error_code error;
    fs::copy_file(input, output, fs::copy_options::overwrite_existing, error);
    if (error) throw BuildError("can't copy '" + shown + "' for signing: " + error.message());
  }
  int status = 0;
  if (kind_ == Program::command) {
    status = run_shell_command(*options_.command, output, log);
    if (status != 0) {
      throw BuildError("the signing command failed on '" + shown + "' (exit status " +
                       std::to_string(status) + "): " + first_line(read_text(log)));
    }
    return;
  }
  const std::string certificate = utf8(*options_.certificate);
  if (kind_ == Program::signtool) {
    arguments = {"sign", "/fd", "SHA256", "/f", certificate};
    if (options_.password_file) {
      arguments.insert(arguments.end(), {"/p", password_of(*options_.password_file)});
    }
    if (options_.timestamp_url) {
      arguments.insert(arguments.end(), {"/tr", *options_.timestamp_url, "/td", "SHA256"});
    }
    arguments.insert(arguments.end(), {"/d", options_.description, utf8(output)});
  } else {
    arguments = {"sign", "-pkcs12", certificate};
    if (options_.password_file) {
      arguments.insert(arguments.end(), {"-readpass", utf8(*options_.password_file)});
    }
    arguments.insert(arguments.end(), {"-h", "sha256", "-n", options_.description});
    if (options_.timestamp_url) arguments.insert(arguments.end(), {"-ts", *options_.timestamp_url});
    arguments.insert(arguments.end(), {"-in", utf8(input), "-out", utf8(output)});
  }
  status = run_program(program_, arguments, log);
  if (status == 0) return;
  const std::string said = read_text(log);
  // osslsigncode: "Failed to parse PKCS#12 file ... (Wrong password?)" and OpenSSL's "mac verify
  // failure"; signtool: "The specified PFX password is not correct."
  if (said.find("PKCS#12") != std::string::npos || said.find("mac verify") != std::string::npos ||
      said.find("PFX password") != std::string::npos) {
    throw BuildError("can't open the certificate '" + display_path(*options_.certificate) +
                     "': wrong password (--sign-password-file), or not a PKCS#12 (.pfx, .p12) "
                     "file");
  }
  const std::string signer = kind_ == Program::signtool ? "signtool" : "osslsigncode";
  throw BuildError(signer + " couldn't sign '" + shown + "': " + first_line(said));
}

fs::path Signer::signed_copy(const fs::path& input, const std::string& file_name,
                             const std::string& shown) {
  // A folder per file keeps the names apart whatever the entries are called, and a signer sees
  // the file's own name.
  const fs::path folder = work_ / std::to_string(++copies_);
  std::error_code error;
  fs::create_directory(folder, error);
  if (error) throw BuildError("can't make a folder for signing: " + error.message());
  const fs::path output = folder / onefile_pack::path_from_utf8(file_name);
  run(input, output, shown);
  return output;
}

void Signer::sign_entries(std::vector<onefile_pack::Entry>& entries) {
  for (onefile_pack::Entry& entry : entries) {
    if (!is_unsigned_pe(entry.source)) continue;
    const std::u8string base = entry.source.filename().u8string();
    const fs::path copy = signed_copy(entry.source, std::string(base.begin(), base.end()),
                                      display_path(entry.source));
    std::error_code error;
    const std::uintmax_t size = fs::file_size(copy, error);
    if (error) throw BuildError("can't read the signed copy of " + entry.origin);
    entry.source = copy;
    entry.size = size;
  }
}

}  // namespace onefile_tool
