// `onefile inspect`: what a finished launcher holds, for a user who has to trust one.
#pragma once

#include <string>
#include <vector>

namespace onefile_tool {

extern const char inspect_usage_text[];

// arguments[0] is "inspect"; returns the exit code.
int inspect_launcher(const std::vector<std::string>& arguments);

}  // namespace onefile_tool
