// Authenticode signing: the finished launcher, whose signature covers the payload inside its
// image, and before packing every program and library of the payload that has no signature of its
// own, since Windows judges each again once it is unpacked into a folder the user can write.
// With a certificate file (--sign) the signer is signtool on Windows where it is found, else
// osslsigncode (SHA-256 both); with --sign-command the user's own command signs each file in
// place (a certificate store, a hardware token, a signing service).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "pack/entries.h"

namespace onefile_tool {

struct SigningOptions {
  std::optional<std::filesystem::path> certificate;  // PKCS#12 (.pfx, .p12)
  std::optional<std::filesystem::path> password_file;
  std::optional<std::string> timestamp_url;
  std::optional<std::string> command;  // run with each file's path appended
  std::string description;             // the product name
};

class Signer {
 public:
  // Finds the signing program and checks that the certificate and password file can be read;
  // work is a directory of the caller's for the signed copies and the programs' output. Throws
  // BuildError naming what to install when no signer is found.
  Signer(SigningOptions options, std::filesystem::path work);

  // Replaces every unsigned PE entry by a signed copy (same name, new source and size).
  void sign_entries(std::vector<onefile_pack::Entry>& entries);
  // A signed copy of input, in the work directory under file_name; shown names it in messages.
  std::filesystem::path signed_copy(const std::filesystem::path& input,
                                    const std::string& file_name, const std::string& shown);

 private:
  enum class Program { osslsigncode, signtool, command };
  void run(const std::filesystem::path& input, const std::filesystem::path& output,
           const std::string& shown);

  SigningOptions options_;
  std::filesystem::path work_;
  Program kind_ = Program::osslsigncode;
  std::filesystem::path program_;
  int copies_ = 0;
};

}  // namespace onefile_tool
