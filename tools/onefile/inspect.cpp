#include "onefile/inspect.h"

#include <cinttypes>
#include <cstdio>
#include <exception>

#include "onefile/files.h"
#include "onefile/launcher_reader.h"
#include "pack/platform.h"
#include "pack/utf.h"
#include "pe/pe_image.h"

namespace onefile_tool {
namespace {

std::string shown(const std::u16string& text) {
  return onefile_pack::printable(onefile_pack::utf16_to_utf8(text));
}

void print_contents(const LauncherContents& contents) {
  const char* keep = contents.keep == attached_keep::none   ? "no"
                     : contents.keep == attached_keep::kept ? "yes"
                                                            : "yes, compared at each start";
  std::printf("Settings\n");
  std::printf("  subsystem       %s\n",
              contents.subsystem == onefile_pe::kSubsystemConsole ? "console"
              : contents.subsystem == onefile_pe::kSubsystemGui   ? "graphical"
                                                                  : "other");
  std::printf("  target spec     %s\n", shown(contents.texts[text_target_spec]).c_str());
  std::printf("  keep            %s\n", keep);
  std::printf("  error dialog    %s\n", contents.error_dialog ? "yes" : "no");
  std::printf("  progress window %s\n", contents.progress_window ? "yes" : "no");
  std::printf("  payload         %s\n",
              contents.payload_in_file ? "after the image, in the file" : "in the image");
  std::printf("  company         %s\n", shown(contents.texts[text_company]).c_str());
  std::printf("  product         %s\n", shown(contents.texts[text_product]).c_str());
  std::printf("  version         %s\n", shown(contents.texts[text_version]).c_str());
  if (contents.texts[text_run_target].empty()) {
    std::printf("  runs            the main module's run_code (the first entry)\n");
  } else {
    std::printf("  runs            %s\n", shown(contents.texts[text_run_target]).c_str());
  }
  std::printf("Version record\n");
  if (contents.has_version_record) {
    std::printf("  file version    %u.%u.%u.%u\n", contents.file_version[0],
                contents.file_version[1], contents.file_version[2], contents.file_version[3]);
  }
  for (const auto& [key, value] : contents.version_strings) {
    std::printf("  %-15s %s\n", shown(key).c_str(), shown(value).c_str());
  }
  std::uint64_t total = 0;
  for (const ListedEntry& entry : contents.entries) total += entry.size;
  std::printf("Entries: %zu, %" PRIu64 " bytes, packed into %" PRIu64 " bytes\n",
              contents.entries.size(), total, contents.payload_size);
  for (const ListedEntry& entry : contents.entries) {
    std::printf("  %12" PRIu64 "  %s\n", entry.size, shown(entry.name).c_str());
  }
}

}  // namespace

const char inspect_usage_text[] =
    "Usage: onefile inspect LAUNCHER.exe\n"
    "\n"
    "Prints what a launcher made by onefile build holds: its settings, its version record, its\n"
    "entries and their sizes; and checks its payload against its digest and its listing.\n"
    "\n"
    "Exit status: 0 when the payload is intact, 1 when it is damaged, 2 when the file can't be\n"
    "read or is no such launcher.\n";

int inspect_launcher(const std::vector<std::string>& arguments) {
  if (arguments.size() == 2 && (arguments[1] == "-h" || arguments[1] == "--help")) {
    std::fputs(inspect_usage_text, stdout);
    return 0;
  }
  if (arguments.size() != 2) {
    std::fputs(inspect_usage_text, stderr);
    return 2;
  }
  const std::filesystem::path path = onefile_pack::path_from_utf8(arguments[1]);
  const std::string name = onefile_pack::display_path(path);
  LauncherContents contents;
  try {
    contents = read_launcher(read_input_file(path, "the launcher"));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "onefile: '%s' can't be inspected: %s\n", name.c_str(), error.what());
    return 2;
  }
  std::printf("%s\n", name.c_str());
  print_contents(contents);
  if (!contents.payload_fault.empty()) {
    std::printf("Payload: DAMAGED: %s\n", contents.payload_fault.c_str());
    std::fprintf(stderr, "onefile: '%s': %s\n", name.c_str(), contents.payload_fault.c_str());
    return 1;
  }
  std::printf("Payload: intact (its digest and its entries match)\n");
  return 0;
}

}  // namespace onefile_tool
