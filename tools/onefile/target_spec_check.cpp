#include "onefile/target_spec_check.h"

#include <vector>

#include "pack/error.h"
#include "pack/names.h"
#include "pack/utf.h"
#include "paths/path_spec_syntax.h"

namespace onefile_tool {
namespace {

// Where each unit of the sample expansion came from: blame goes to the option that gave it.
enum class origin { spec, company, product, version };

// Values as a launch would have them; only their shape matters (absolute or not, which
// characters). Folders have no trailing backslash, as the launcher strips it.
const char16_t* sample_value(path_variable kind) {
  switch (kind) {
    case path_variable::temp:
      return u"C:\\Users\\user\\AppData\\Local\\Temp";
    case path_variable::home:
      return u"C:\\Users\\user";
    case path_variable::cache_dir:
    case path_variable::local_appdata:
      return u"C:\\Users\\user\\AppData\\Local";
    case path_variable::program:
      return u"C:\\Apps\\App.exe";
    case path_variable::program_base:
      return u"C:\\Apps\\App";
    case path_variable::program_dir:
      return u"C:\\Apps";
    case path_variable::pid:
      return u"1234";
    case path_variable::random:
      return u"AbCdEfGhIjA";
    case path_variable::time_us:
      return u"123456";
    case path_variable::time:
      return u"133500000000000000";
    case path_variable::digest:
      return u"0123456789abcdef";
    default:
      return u"";
  }
}

std::string known_names() {
  std::string names;
  for (const path_variable_entry& entry : path_variables) {
    names += (names.empty() ? "{" : ", {") + std::string(entry.name) + "}";
  }
  return names;
}

}  // namespace

void check_target_spec(const TargetSpecTexts& texts, attached_keep keep) {
  const std::string spec_option = "--target-spec '" + texts.shown_spec + "'";
  std::u16string sample;
  std::vector<origin> origins;
  std::string unknown;
  bool one_launch = false;
  const auto append = [&](std::u16string_view value, origin from) {
    sample += value;
    origins.insert(origins.end(), value.size(), from);
  };
  walk_path_spec(
      texts.spec.c_str(),
      [&](char16_t unit) {
        append(std::u16string_view(&unit, 1), origin::spec);
        return true;
      },
      [&](path_variable kind, const char16_t* name, std::size_t length) {
        switch (kind) {
          case path_variable::unknown:
            // Appended rather than concatenated: GCC 12 warns wrongly about "{" + std::string.
            unknown = "{";
            unknown += onefile_pack::utf16_to_utf8(std::u16string_view(name, length));
            unknown += '}';
            return false;
          case path_variable::company:
            append(texts.company, origin::company);
            break;
          case path_variable::product:
            append(texts.product, origin::product);
            break;
          case path_variable::version:
          case path_variable::file_version:
          case path_variable::product_version:
            append(texts.version, origin::version);
            break;
          default:
            one_launch = one_launch || kind == path_variable::pid ||
                         kind == path_variable::random || kind == path_variable::time ||
                         kind == path_variable::time_us;
            append(sample_value(kind), origin::spec);
        }
        return true;
      });
  if (!unknown.empty()) {
    throw onefile_pack::UsageError(spec_option + " names the variable " +
                                   onefile_pack::printable(unknown) +
                                   ", which the launcher does not know; it knows " + known_names());
  }
  if (keep != attached_keep::none && one_launch) {
    throw onefile_pack::UsageError(
        "a kept directory's --target-spec can't use {PID}, {RANDOM}, {TIME} or {TIME_US}");
  }
  if (!is_fully_qualified_path(sample.c_str())) {
    throw onefile_pack::UsageError(
        spec_option +
        " is relative: the launcher would unpack below whatever folder it is started in; start "
        "it with a folder such as {TEMP} or {LOCAL_APPDATA}, or a drive (C:\\...)");
  }
  // The root ("C:\" or "\\server\share\") is the system's; every component after it must be a
  // name Windows can create. Repeated separators are one.
  std::size_t start = sample[0] == u'\\' || sample[0] == u'/' ? 2 : 3;
  if (start == 2) {
    for (int separators = 0; start < sample.size() && separators < 2; ++start) {
      if (sample[start] == u'\\' || sample[start] == u'/') ++separators;
    }
  }
  while (start < sample.size()) {
    std::size_t end = start;
    while (end < sample.size() && sample[end] != u'\\' && sample[end] != u'/') ++end;
    const std::u16string_view component = std::u16string_view(sample).substr(start, end - start);
    const std::string fault =
        component.empty() ? std::string() : onefile_pack::component_fault(component);
    if (!fault.empty()) {
      std::string culprit = spec_option;
      for (std::size_t i = start; i < end; ++i) {
        if (origins[i] == origin::company) {
          culprit = texts.company_from_product
                        ? "--product '" + texts.shown_product + "' (also the company's default)"
                        : "--company '" + texts.shown_company + "'";
        }
        if (origins[i] == origin::product) culprit = "--product '" + texts.shown_product + "'";
        if (origins[i] == origin::version) culprit = "--version '" + texts.shown_version + "'";
        if (origins[i] != origin::spec) break;
      }
      throw onefile_pack::UsageError(culprit + " can't be part of the target directory: the name " +
                                     onefile_pack::quoted_name(component) + " " + fault);
    }
    start = end + 1;
  }
}

}  // namespace onefile_tool
