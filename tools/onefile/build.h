// `onefile build`: checks the input, packs the payload, writes the finished launcher.
#pragma once

#include "onefile/build_options.h"

namespace onefile_tool {

// Throws BuildError, onefile_pack::PackError or onefile_pe::PeError naming the problem.
void build_launcher(const BuildOptions& options);

}  // namespace onefile_tool
