#include "onefile/build_checks.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <system_error>

#include "onefile/build_error.h"
#include "onefile/files.h"
#include "onefile/module_check.h"
#include "pack/names.h"
#include "pack/platform.h"
#include "pack/utf.h"
#include "payload/attached_section.h"
#include "pe/pe_image.h"

namespace onefile_tool {
namespace {

namespace fs = std::filesystem;

bool glob_matches(std::u16string_view pattern, std::u16string_view text) {
  if (pattern.empty()) return text.empty();
  if (pattern.starts_with(u"**")) {
    for (std::size_t skip = 0; skip <= text.size(); ++skip) {
      if (glob_matches(pattern.substr(2), text.substr(skip))) return true;
    }
    return false;
  }
  if (pattern.front() == u'*') {
    for (std::size_t skip = 0; skip <= text.size(); ++skip) {
      if (glob_matches(pattern.substr(1), text.substr(skip))) return true;
      if (skip < text.size() && text[skip] == u'\\') return false;
    }
    return false;
  }
  if (text.empty()) return false;
  if (pattern.front() == u'?' ? text.front() == u'\\' : pattern.front() != text.front()) {
    return false;
  }
  return glob_matches(pattern.substr(1), text.substr(1));
}

// A finished launcher has the attached section in its section table, which lies in the file's
// headers (PE format: e_lfanew at 0x3C, then "PE\0\0", the file header and the optional header);
// only those are read, since a launcher may be gigabytes long. An unreadable file counts as none.
bool is_finished_launcher(const fs::path& file) {
  std::vector<std::uint8_t> head;
  try {
    head = read_input_file(file, "a launcher", 64 << 10);
  } catch (const std::exception&) {
    return false;
  }
  const auto at = [&](std::size_t offset, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t{head[offset + i]} << (8 * i);
    return value;
  };
  if (head.size() < 0x40 || head[0] != 'M' || head[1] != 'Z') return false;
  const std::size_t nt = at(0x3C, 4);
  if (nt > head.size() || head.size() - nt < 24 || at(nt, 4) != 0x4550) return false;
  const std::size_t count = at(nt + 6, 2);
  const std::size_t table = nt + 24 + at(nt + 20, 2);
  for (std::size_t i = 0; i < count && table + 40 * (i + 1) <= head.size(); ++i) {
    if (std::equal(std::begin(attached_section_name), std::end(attached_section_name),
                   head.begin() + static_cast<std::ptrdiff_t>(table + 40 * i))) {
      return true;
    }
  }
  return false;
}

std::string lower_ascii(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

}  // namespace

bool exclude_pattern_matches(std::string_view pattern, std::u16string_view name) {
  std::u16string units;
  if (!onefile_pack::utf8_to_utf16(std::string(pattern), units)) return false;
  std::replace(units.begin(), units.end(), u'/', u'\\');
  const std::u16string folded_pattern = onefile_pack::fold_case(units);
  const std::u16string folded_name = onefile_pack::fold_case(name);
  if (folded_pattern.find(u'\\') == std::u16string::npos) {
    const std::size_t last = folded_name.rfind(u'\\');
    return glob_matches(
        folded_pattern,
        std::u16string_view(folded_name).substr(last == std::u16string::npos ? 0 : last + 1));
  }
  return glob_matches(folded_pattern, folded_name);
}

std::function<bool(const fs::path&, std::u16string_view)> directory_filter(
    std::vector<std::string> patterns, fs::path output, fs::path temporary) {
  return [patterns = std::move(patterns), output = std::move(output),
          temporary = std::move(temporary)](const fs::path& path, std::u16string_view name) {
    for (const std::string& pattern : patterns) {
      if (exclude_pattern_matches(pattern, name)) return true;
    }
    std::error_code error;
    if (fs::equivalent(path, temporary, error)) return true;
    if (fs::equivalent(path, output, error) && is_finished_launcher(path)) {
      std::fprintf(stderr,
                   "onefile: warning: left '%s' out of the payload: it is the output, a launcher "
                   "that an earlier build wrote\n",
                   onefile_pack::display_path(path).c_str());
      return true;
    }
    return false;
  };
}

void check_output_is_no_input(const std::vector<onefile_pack::Entry>& entries,
                              const fs::path& output) {
  std::error_code error;
  if (!fs::exists(output, error)) return;
  for (const onefile_pack::Entry& entry : entries) {
    if (fs::equivalent(entry.source, output, error)) {
      throw BuildError("-o '" + onefile_pack::display_path(output) + "' is the input " +
                       entry.origin + ": the build would overwrite it; write the launcher " +
                       "elsewhere");
    }
  }
}

const onefile_pack::Entry& run_entry(const std::vector<onefile_pack::Entry>& entries,
                                     const std::u16string& wanted, const std::string& shown) {
  const std::u16string folded = onefile_pack::fold_case(wanted);
  const auto found =
      std::find_if(entries.begin() + 1, entries.end(), [&](const onefile_pack::Entry& entry) {
        return onefile_pack::fold_case(entry.name) == folded;
      });
  if (found == entries.end()) {
    throw BuildError("--run '" + shown + "' is not a file of --dir or --file");
  }
  if (std::string fault = run_program_fault(found->source, shown); !fault.empty()) {
    throw BuildError(fault);
  }
  return *found;
}

void warn_about_missing_imports(const std::vector<onefile_pack::Entry>& entries,
                                const onefile_pack::Entry& program) {
  std::set<std::string> payload_names;
  for (const onefile_pack::Entry& entry : entries) {
    const std::size_t slash = entry.name.rfind(u'\\');
    payload_names.insert(lower_ascii(onefile_pack::utf16_to_utf8(
        std::u16string_view(entry.name).substr(slash == std::u16string::npos ? 0 : slash + 1))));
  }
  std::map<std::string, std::vector<std::string>> missing;  // DLL, then who imports it
  const auto check = [&](const onefile_pack::Entry& entry) {
    for (const std::string& dll : imported_dll_names(entry.source)) {
      const std::string lower = lower_ascii(dll);
      if (payload_names.contains(lower) || is_system_dll(lower)) continue;
      std::vector<std::string>& importers = missing[lower];
      if (std::find(importers.begin(), importers.end(), entry.origin) == importers.end()) {
        importers.push_back(entry.origin);
      }
    }
  };
  check(program);
  for (const onefile_pack::Entry& entry : entries) {
    const std::u16string folded = onefile_pack::fold_case(entry.name);
    const bool library = folded.ends_with(u".dll") || folded.ends_with(u".pyd");
    if (&entry != &program && library) check(entry);
  }
  for (const auto& [dll, importers] : missing) {
    std::string who = importers.front();
    if (importers.size() > 1) who += " and " + std::to_string(importers.size() - 1) + " more";
    std::fprintf(stderr,
                 "onefile: warning: %s imports %s, which is neither in the payload nor a system "
                 "DLL: the launch fails unless the system finds it elsewhere\n",
                 who.c_str(), dll.c_str());
  }
}

}  // namespace onefile_tool
