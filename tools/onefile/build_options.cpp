#include "onefile/build_options.h"

#include <string_view>

#include "pack/arguments.h"
#include "pack/error.h"
#include "pack/platform.h"
#include "pack/utf.h"

namespace onefile_tool {

using onefile_pack::UsageError;

const char default_target_spec[] = "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
const char default_kept_target_spec[] = "{LOCAL_APPDATA}\\{COMPANY}\\{PRODUCT}\\{VERSION}-{DIGEST}";

const char build_usage_text[] =
    "Usage: onefile build (--main FILE | --run NAME) [--dir DIR]... [--file SRC[=NAME]]...\n"
    "                     -o OUT.exe [options]\n"
    "\n"
    "Turns an application into one self-extracting launcher: the files are packed into a\n"
    "payload inside a copy of a prebuilt launcher stub, with the settings, the version record,\n"
    "the manifest and the icon. The same inputs give the same bytes, on Linux and on Windows,\n"
    "whatever the thread count.\n"
    "\n"
    "  --main FILE          the main module: an x86-64 DLL exporting run_code (the first entry)\n"
    "  --run NAME           or: start the payload's program NAME (an .exe among the entries)\n"
    "                       with the launcher's arguments, standard handles and console; its\n"
    "                       exit code is the launch's\n"
    "  --dir DIR            every regular file below DIR becomes an entry (repeatable)\n"
    "  --file SRC[=NAME]    one more entry, named NAME (default: the file's name; repeatable)\n"
    "  --list FILE          SRC[=NAME] lines as for --file (repeatable)\n"
    "  -o, --output FILE    the launcher to write\n"
    "  --level N            zstd level, 1..22 (default 19)\n"
    "  --threads N          compression threads (default: one per core)\n"
    "  --company TEXT       company name (version record, {COMPANY}; default: the product)\n"
    "  --product TEXT       product name (version record, {PRODUCT}, error box caption;\n"
    "                       default: the output's name without .exe)\n"
    "  --version A.B.C.D    file and product version, numbers to 65535 (default 1.0.0.0;\n"
    "                       1.2.3 is 1.2.3.0)\n"
    "  --description TEXT   file description (version record; default: the product)\n"
    "  --copyright TEXT     legal copyright (version record)\n"
    "  --comments TEXT      comments (version record)\n"
    "  --product-version TEXT  product version as text, such as 1.2.0-beta (version record;\n"
    "                       default: --version)\n"
    "  --target-spec SPEC   where the files are unpacked\n"
    "                       (default {TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM})\n"
    "  --original-filename NAME, --internal-name NAME\n"
    "                       version record names (default: the output's name, with and\n"
    "                       without .exe)\n"
    "  --console            console subsystem instead of the graphical one\n"
    "  --keep               keep the unpacked files for later launches; the target spec then\n"
    "                       defaults to {LOCAL_APPDATA}\\{COMPANY}\\{PRODUCT}\\{VERSION}-{DIGEST}\n"
    "  --keep-verify        as --keep, and compare the kept files with the payload at each start\n"
    "  --icon FILE.ico      the executable's icon (every image of the .ico)\n"
    "  --utf8               UTF-8 as the application's ANSI code page (manifest activeCodePage)\n"
    "  --uac-admin          ask for elevation (requireAdministrator) instead of running as "
    "invoker\n"
    "  --dpi-aware MODE     unaware (default), system or permonitorv2\n"
    "  --manifest FILE      a complete manifest of your own instead of the generated one\n"
    "  --no-error-dialog    never show an error in a message box, even without standard error\n"
    "  --no-progress        no progress window when a graphical launch is still unpacking after\n"
    "                       a second\n"
    "  --sign FILE.pfx      sign the launcher, and every unsigned DLL and EXE of the payload\n"
    "                       first (Authenticode, SHA-256), with signtool on Windows where it\n"
    "                       is found, else osslsigncode\n"
    "  --sign-password-file FILE   the password of the --sign certificate (first line)\n"
    "  --timestamp URL      a timestamp server for the signatures\n"
    "  --sign-command CMD   or: sign with your own command, run through the shell with each\n"
    "                       file's path appended (the payload's unsigned DLLs and EXEs, then the\n"
    "                       launcher); it signs the file in place\n"
    "  --stub FILE          the launcher stub (default: stubs/launcher.exe beside this program;\n"
    "                       --run takes stubs/onefile_run.dll from beside the stub)\n"
    "  --exclude PATTERN    leave the files of --dir whose relative path matches out (repeatable;\n"
    "                       '*' and '?' within a name, '**' across folders; a pattern without\n"
    "                       '/' matches a name at any depth; case ignored)\n"
    "  --dry-run            list the entries (the main module first) and their sizes, write\n"
    "                       nothing\n"
    "  -h, --help           this text\n"
    "\n"
    "Exit status: 0 when the launcher is written, 2 for bad input (a message names it; nothing\n"
    "is left at the output path).\n";

namespace {

template <typename Value>
void set_once(std::optional<Value>& slot, std::string_view option, Value value) {
  if (slot) throw UsageError(std::string(option) + " is given twice");
  slot = std::move(value);
}

}  // namespace

BuildOptions parse_build_options(const std::vector<std::string>& arguments) {
  BuildOptions options;
  bool keep = false;
  bool keep_verify = false;
  bool no_error_dialog = false;
  bool no_progress = false;
  std::optional<std::string> dpi;
  onefile_pack::OptionReader reader(arguments);
  while (reader.next()) {
    if (onefile_pack::read_packing_option(reader, options.sources, options.level,
                                          options.threads)) {
      continue;
    }
    const std::string_view option = reader.name();
    const auto value = [&] { return reader.value(); };
    const auto path = [&] { return onefile_pack::path_from_utf8(value()); };
    const auto flag = [&](bool& slot) {
      reader.expect_no_value();
      slot = true;
    };
    if (option == "-h" || option == "--help") {
      options.help = true;
    } else if (option == "--main") {
      set_once(options.main_module, option, path());
    } else if (option == "--run") {
      set_once(options.run, option, value());
    } else if (option == "-o" || option == "--output") {
      set_once(options.output, "-o", path());
    } else if (option == "--company") {
      set_once(options.company, option, value());
    } else if (option == "--product") {
      set_once(options.product, option, value());
    } else if (option == "--version") {
      set_once(options.version, option, value());
    } else if (option == "--description") {
      set_once(options.description, option, value());
    } else if (option == "--copyright") {
      set_once(options.copyright, option, value());
    } else if (option == "--comments") {
      set_once(options.comments, option, value());
    } else if (option == "--product-version") {
      set_once(options.product_version, option, value());
    } else if (option == "--target-spec") {
      set_once(options.target_spec, option, value());
    } else if (option == "--original-filename") {
      set_once(options.original_filename, option, value());
    } else if (option == "--internal-name") {
      set_once(options.internal_name, option, value());
    } else if (option == "--console") {
      flag(options.console);
    } else if (option == "--keep") {
      flag(keep);
    } else if (option == "--keep-verify") {
      flag(keep_verify);
    } else if (option == "--icon") {
      set_once(options.icon, option, path());
    } else if (option == "--utf8") {
      flag(options.manifest_options.utf8);
    } else if (option == "--uac-admin") {
      flag(options.manifest_options.uac_admin);
    } else if (option == "--dpi-aware") {
      set_once(dpi, option, value());
    } else if (option == "--manifest") {
      set_once(options.manifest, option, path());
    } else if (option == "--no-error-dialog") {
      flag(no_error_dialog);
    } else if (option == "--no-progress") {
      flag(no_progress);
    } else if (option == "--sign") {
      set_once(options.sign, option, path());
    } else if (option == "--sign-password-file") {
      set_once(options.sign_password_file, option, path());
    } else if (option == "--timestamp") {
      set_once(options.timestamp, option, value());
    } else if (option == "--sign-command") {
      set_once(options.sign_command, option, value());
    } else if (option == "--stub") {
      set_once(options.stub, option, path());
    } else if (option == "--exclude") {
      options.excludes.push_back(value());
    } else if (option == "--dry-run") {
      flag(options.dry_run);
    } else {
      throw UsageError("unknown option '" + onefile_pack::printable(reader.argument()) + "'");
    }
  }
  if (options.help) return options;
  if (!options.output) throw UsageError("-o OUT.exe is required");
  if (!options.main_module && !options.run)
    throw UsageError("--main FILE or --run NAME is required");
  if (options.main_module && options.run) throw UsageError("--main and --run exclude each other");
  if (options.run && options.run->empty()) throw UsageError("--run needs a name");
  options.keep = keep_verify ? attached_keep::verified
                 : keep      ? attached_keep::kept
                             : attached_keep::none;
  options.error_dialog = !no_error_dialog;
  options.progress_window = !no_progress;
  if (dpi) {
    if (*dpi == "system") {
      options.manifest_options.dpi = DpiAwareness::system;
    } else if (*dpi == "permonitorv2") {
      options.manifest_options.dpi = DpiAwareness::per_monitor_v2;
    } else if (*dpi != "unaware") {
      throw UsageError("--dpi-aware must be unaware, system or permonitorv2");
    }
  }
  if (options.manifest) {
    // A manifest of the user's is taken as it is: settings that would have to be merged into
    // it are refused rather than dropped without a word.
    std::string combined;
    int count = 0;
    for (const auto& [given, name] : {std::pair{options.manifest_options.utf8, "--utf8"},
                                      std::pair{options.manifest_options.uac_admin, "--uac-admin"},
                                      std::pair{dpi.has_value(), "--dpi-aware"}}) {
      if (given) combined += (count++ == 0 ? "" : ", ") + std::string(name);
    }
    if (!combined.empty()) {
      throw UsageError("--manifest can't be combined with " + combined +
                       (count == 1 ? ": write that setting" : ": write those settings") +
                       " into your manifest");
    }
  }
  if (options.sign_password_file && !options.sign) {
    throw UsageError("--sign-password-file needs --sign");
  }
  if (options.timestamp && !options.sign) throw UsageError("--timestamp needs --sign");
  if (options.sign_command && options.sign) {
    throw UsageError("--sign and --sign-command exclude each other");
  }
  if (options.sign_command && options.sign_command->empty()) {
    throw UsageError("--sign-command needs a command");
  }
  return options;
}

}  // namespace onefile_tool
