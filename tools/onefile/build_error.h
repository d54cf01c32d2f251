// A build that can't go on: bad input, a stub that can't be used, an output that can't be
// written. The message names the problem; the tool ends with exit code 2.
#pragma once

#include <stdexcept>

namespace onefile_tool {

class BuildError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace onefile_tool
