// The target spec checked at build time with the launcher's own expansion rules
// (paths/path_spec_syntax.h): every variable known, the expansion a fully qualified path, every
// component a name Windows can create, the texts of --company, --product and --version included;
// and a kept directory's spec free of the values of one launch.
#pragma once

#include <string>

#include "payload/attached_section.h"

namespace onefile_tool {

struct TargetSpecTexts {
  std::u16string spec, company, product, version;
  std::string shown_spec, shown_company, shown_product, shown_version;  // as given, for messages
  bool company_from_product = false;  // no --company: it defaults to the product
};

// Throws onefile_pack::UsageError naming the option at fault.
void check_target_spec(const TargetSpecTexts& texts, attached_keep keep);

}  // namespace onefile_tool
