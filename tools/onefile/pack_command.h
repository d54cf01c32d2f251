// `onefile pack`: the payload block alone, for those who link a launcher of their own.
#pragma once

#include <string>
#include <vector>

namespace onefile_tool {

// arguments[0] is "pack"; returns the exit code: 0 done, 1 bad input or a failed read or write,
// 2 a bad command line.
int pack_command(const std::vector<std::string>& arguments);

}  // namespace onefile_tool
