#include "onefile/signing.h"

#include <cerrno>
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

void check_readable(const fs::path& path, const std::string& what) {
  std::FILE* file = onefile_pack::open_file(path, "rb");
  if (file == nullptr) {
    throw BuildError("can't read " + what + " '" + onefile_pack::display_path(path) +
                     "': " + std::generic_category().message(errno));
  }
  std::fclose(file);
}

std::string utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

Signer::Signer(SigningOptions options, fs::path work)
    : options_(std::move(options)), work_(std::move(work)) {
  check_readable(options_.certificate, "the certificate");
  if (options_.password_file) check_readable(*options_.password_file, "the password file");
  const auto program = find_on_path("osslsigncode");
  if (!program) {
    throw BuildError(
        "--sign needs osslsigncode on the PATH (Debian: apt-get install osslsigncode)");
  }
  program_ = *program;
}

void Signer::sign(const fs::path& input, const fs::path& output) {
  std::vector<std::string> arguments{"sign", "-pkcs12", utf8(options_.certificate)};
  if (options_.password_file) {
    arguments.insert(arguments.end(), {"-readpass", utf8(*options_.password_file)});
  }
  arguments.insert(arguments.end(), {"-h", "sha256", "-n", options_.description});
  if (options_.timestamp_url) arguments.insert(arguments.end(), {"-ts", *options_.timestamp_url});
  arguments.insert(arguments.end(), {"-in", utf8(input), "-out", utf8(output)});
  const fs::path log = work_ / "osslsigncode.log";
  if (run_program(program_, arguments, log) != 0) {
    std::ifstream text(log, std::ios::binary);
    const std::string said(std::istreambuf_iterator<char>(text), {});
    throw BuildError(said + "couldn't sign '" + onefile_pack::display_path(input) + "'");
  }
}

void Signer::sign_entries(std::vector<onefile_pack::Entry>& entries) {
  for (onefile_pack::Entry& entry : entries) {
    if (!is_unsigned_pe(entry.source)) continue;
    // Numbered copies keep the names apart whatever the entries are called.
    const fs::path copy = work_ / ("signed_" + std::to_string(++copies_));
    sign(entry.source, copy);
    std::error_code error;
    const std::uintmax_t size = fs::file_size(copy, error);
    if (error) throw BuildError("can't read the signed copy of " + entry.origin);
    entry.source = copy;
    entry.size = size;
  }
}

}  // namespace onefile_tool
