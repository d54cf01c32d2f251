// Failures of the packer: each ends the run with one message that names the culprit.
#pragma once

#include <stdexcept>
#include <string>

namespace onefile_pack {

// Bad input or a failed read or write; the run ends with exit code 1.
class PackError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command line that cannot be understood; the run ends with exit code 2.
class UsageError : public PackError {
 public:
  using PackError::PackError;
};

}  // namespace onefile_pack
