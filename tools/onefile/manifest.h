// The launcher's manifest (the RT_MANIFEST resource, id 1) as the options ask for it.
#pragma once

#include <string>

namespace onefile_tool {

enum class DpiAwareness { unaware, system, per_monitor_v2 };

struct ManifestOptions {
  bool uac_admin = false;  // requireAdministrator instead of asInvoker
  bool utf8 = false;       // UTF-8 as the process's ANSI code page
  DpiAwareness dpi = DpiAwareness::unaware;
};

// resources/launcher.manifest.in with its placeholders filled.
std::string generated_manifest(const ManifestOptions& options);

}  // namespace onefile_tool
