#include "onefile/manifest.h"

namespace onefile_tool {
namespace {

// The template, resources/launcher.manifest.in, as the build embedded it.
constexpr char manifest_template[] =
#include "onefile_manifest_template.inc"
    ;

void replace(std::string& text, const std::string& placeholder, const std::string& value) {
  const std::size_t at = text.find(placeholder);
  if (at != std::string::npos) text.replace(at, placeholder.size(), value);
}

}  // namespace

std::string generated_manifest(const ManifestOptions& options) {
  std::string settings;
  if (options.utf8) {
    settings +=
        "\n      <activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">"
        "UTF-8</activeCodePage>";
  }
  if (options.dpi == DpiAwareness::system) {
    settings +=
        "\n      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">"
        "true</dpiAware>";
  } else if (options.dpi == DpiAwareness::per_monitor_v2) {
    settings +=
        "\n      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">"
        "true/pm</dpiAware>"
        "\n      <dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
        "PerMonitorV2</dpiAwareness>";
  }
  std::string text = manifest_template;
  replace(text, "@ONEFILE_MANIFEST_LEVEL@",
          options.uac_admin ? "requireAdministrator" : "asInvoker");
  replace(text, "@ONEFILE_MANIFEST_SETTINGS@", settings);
  return text;
}

}  // namespace onefile_tool
