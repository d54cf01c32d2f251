#include "pack/entries.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <system_error>

#include "pack/error.h"
#include "pack/file_system.h"
#include "pack/names.h"
#include "pack/platform.h"
#include "pack/utf.h"

namespace onefile_pack {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail_name(const std::string& origin, std::u16string_view name,
                            const std::string& fault) {
  throw PackError(origin + ": name " + quoted_name(name) + " " + fault);
}

class Collector {
 public:
  // Adds a file under a checked name; the file must be a readable regular file (links
  // followed).
  void add(const fs::path& source, std::u16string name, const std::string& origin) {
    if (std::string fault = name_fault(name); !fault.empty()) fail_name(origin, name, fault);
    FileFacts facts;
    if (std::string error; !read_file_facts(source, facts, error)) {
      throw PackError(origin + ": cannot be read: " + error);
    }
    if (facts.kind != FileKind::regular) throw PackError(origin + ": is not a regular file");
    // Open it now, so that an unreadable file stops the run before anything is written.
    std::FILE* file = open_file(source, "rb");
    if (file == nullptr) {
      throw PackError(origin + ": cannot be read: " + std::generic_category().message(errno));
    }
    std::fclose(file);
    if (entries_.empty()) main_module_ = facts;
    entries_.push_back({source, std::move(name), facts.size, origin});
  }

  // True for the main module's own file met again at the top of a directory tree under the
  // same name: packing `--main app/app.dll --dir app` stores it once.
  bool is_main_module(const FileFacts& facts, std::u16string_view name) const {
    return !entries_.empty() && fold_case(name) == fold_case(entries_.front().name) &&
           facts.same_file_as(main_module_);
  }

  std::vector<Entry> take() { return std::move(entries_); }

  std::function<bool(const fs::path&, std::u16string_view)> leave_out;

 private:
  std::vector<Entry> entries_;
  FileFacts main_module_;
};

std::u16string file_name_of(const fs::path& path, const std::string& origin) {
  std::u16string name;
  if (!file_name_to_utf16(path.filename(), name)) {
    throw PackError(origin + ": the file name is not valid UTF-8");
  }
  return name;
}

void add_main_module(const fs::path& main_module, Collector& collector) {
  const std::string origin = display_path(main_module);
  const std::u16string name = file_name_of(main_module, "--main " + origin);
  if (name.empty()) throw PackError("--main " + origin + ": the main module's name is empty");
  collector.add(main_module, name, origin);
}

// A directory on the way from the tree's root down to the one walked.
struct Ancestor {
  FileFacts facts;
  fs::path path;
};

// `chain` holds the directories from the tree's root down to `directory`: a linked directory that
// is one of them would be walked forever.
void walk_directory(const fs::path& directory, const std::u16string& prefix,
                    std::vector<Ancestor>& chain, Collector& collector) {
  if (prefix.size() > max_name_units) {
    fail_name(display_path(directory), prefix, "is too long for any entry below it");
  }
  std::vector<fs::path> listed;
  if (std::string error; !list_directory(directory, listed, error)) {
    throw PackError(display_path(directory) + ": cannot read the directory: " + error);
  }
  for (const fs::path& path : listed) {
    const std::string origin = display_path(path);
    const std::u16string component = file_name_of(path, origin);
    const std::u16string name = prefix.empty() ? component : prefix + u'\\' + component;
    if (collector.leave_out && collector.leave_out(path, name)) continue;
    if (std::string fault = component_fault(component); !fault.empty()) {
      fail_name(origin, name, fault);
    }
    FileFacts facts;
    std::string error;
    if (!read_file_facts(path, facts, error)) {
      throw PackError(origin + ": cannot be read: " + error);
    }
    if (facts.kind == FileKind::directory) {
      const auto ancestor = std::find_if(chain.begin(), chain.end(), [&](const Ancestor& a) {
        return a.facts.same_file_as(facts);
      });
      if (ancestor != chain.end()) {
        throw PackError(origin + ": the link leads back to " + display_path(ancestor->path) +
                        ", which contains it");
      }
      chain.push_back({facts, path});
      walk_directory(path, name, chain, collector);
      chain.pop_back();
    } else if (facts.kind == FileKind::regular) {
      if (prefix.empty() && collector.is_main_module(facts, name)) continue;
      collector.add(path, name, origin);
    } else {
      throw PackError(origin + ": is neither a regular file nor a directory");
    }
  }
}

void add_directory_tree(const fs::path& root, Collector& collector) {
  FileFacts facts;
  if (std::string error; !read_file_facts(root, facts, error)) {
    throw PackError(display_path(root) + ": cannot read the directory: " + error);
  }
  if (facts.kind != FileKind::directory) {
    throw PackError(display_path(root) + ": is not a directory");
  }
  std::vector<Ancestor> chain{{facts, root}};
  walk_directory(root, u"", chain, collector);
}

// SRC or SRC=NAME, split at the first '='; NAME may use '/' or '\' between directories.
void add_file_argument(const std::string& argument, const std::string& origin,
                       Collector& collector) {
  const std::size_t equals = argument.find('=');
  const fs::path source = path_from_utf8(argument.substr(0, equals));
  if (equals == std::string::npos) {
    collector.add(source, file_name_of(source, origin), origin);
    return;
  }
  std::u16string name;
  if (!utf8_to_utf16(argument.substr(equals + 1), name)) {
    throw PackError(origin + ": the name is not valid UTF-8");
  }
  std::replace(name.begin(), name.end(), u'/', u'\\');
  collector.add(source, std::move(name), origin);
}

// One SRC[=NAME] per line, UTF-8; blank lines and lines starting with '#' are skipped.
void add_list_file(const fs::path& list_file, Collector& collector) {
  const std::string list_name = display_path(list_file);
  std::FILE* file = open_file(list_file, "rb");
  if (file == nullptr) {
    throw PackError(list_name + ": cannot be read: " + std::generic_category().message(errno));
  }
  std::string text;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    text.append(buffer, got);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) throw PackError(list_name + ": cannot be read");
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  std::size_t line_number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++line_number;
    if (line.ends_with('\r')) line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    add_file_argument(line, list_name + ":" + std::to_string(line_number) + ": " + printable(line),
                      collector);
  }
}

// Windows ignores case, and a file cannot also be a directory: refuse names that would meet.
void check_names_meet_nowhere(const std::vector<Entry>& entries) {
  std::map<std::u16string, const Entry*> files;
  for (const Entry& entry : entries) {
    auto [it, added] = files.emplace(fold_case(entry.name), &entry);
    if (!added) {
      const Entry& other = *it->second;
      if (other.name == entry.name) {
        throw PackError("name " + quoted_name(entry.name) + " is given twice: " + other.origin +
                        " and " + entry.origin);
      }
      throw PackError("names " + quoted_name(other.name) + " (" + other.origin + ") and " +
                      quoted_name(entry.name) + " (" + entry.origin +
                      ") are the same when case is ignored");
    }
  }
  for (const Entry& entry : entries) {
    const std::u16string folded = fold_case(entry.name);
    for (std::size_t at = folded.find(u'\\'); at != std::u16string::npos;
         at = folded.find(u'\\', at + 1)) {
      auto it = files.find(folded.substr(0, at));
      if (it != files.end()) {
        const Entry& file = *it->second;
        throw PackError("name " + quoted_name(file.name) + " (" + file.origin +
                        ") is a file, but " + quoted_name(entry.name) + " (" + entry.origin +
                        ") needs it as a directory");
      }
    }
  }
}

}  // namespace

std::vector<Entry> collect_entries(const EntrySources& sources) {
  Collector collector;
  collector.leave_out = sources.leave_out;
  add_main_module(sources.main_module, collector);
  for (const fs::path& directory : sources.directories) add_directory_tree(directory, collector);
  for (const std::string& argument : sources.file_arguments) {
    add_file_argument(argument, "--file " + printable(argument), collector);
  }
  for (const fs::path& list_file : sources.list_files) add_list_file(list_file, collector);

  std::vector<Entry> entries = collector.take();
  check_names_meet_nowhere(entries);
  std::sort(entries.begin() + 1, entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

}  // namespace onefile_pack
