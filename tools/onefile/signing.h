// Authenticode signing through osslsigncode (SHA-256): the finished launcher, whose signature
// covers the payload inside its image, and before packing every program and library of the
// payload that has no signature of its own, since Windows judges each again once it is unpacked
// into a folder the user can write.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "pack/entries.h"

namespace onefile_tool {

struct SigningOptions {
  std::filesystem::path certificate;  // PKCS#12
  std::optional<std::filesystem::path> password_file;
  std::optional<std::string> timestamp_url;
  std::string description;  // the product name
};

class Signer {
 public:
  // Finds osslsigncode and checks that the certificate and password file can be read; work is a
  // directory of the caller's for the signed copies and the tool's log.
  Signer(SigningOptions options, std::filesystem::path work);

  // Replaces every unsigned PE entry by a signed copy (same name, new source and size).
  void sign_entries(std::vector<onefile_pack::Entry>& entries);
  // Signs input into output.
  void sign(const std::filesystem::path& input, const std::filesystem::path& output);

 private:
  SigningOptions options_;
  std::filesystem::path work_;
  std::filesystem::path program_;
  int copies_ = 0;
};

}  // namespace onefile_tool
