// Running another program (the signing tool) and finding it on the PATH: the parts of the
// packaging tool that differ between a POSIX host and Windows, beside pack/platform.h.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace onefile_tool {

// The program of that name on the PATH (on Windows also with ".exe"), or none.
std::optional<std::filesystem::path> find_on_path(const std::string& name);

// Runs the program with the arguments (UTF-8), its standard output and error into log, and waits;
// returns its exit code, or -1 when it could not be started.
int run_program(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                const std::filesystem::path& log);

// Runs the command line through the system's shell (sh -c; on Windows cmd /d /s /c) with the
// file's path appended as one more argument, its standard output and error into log, and waits;
// returns its exit code, or -1 when the shell could not be started.
int run_shell_command(const std::string& command, const std::filesystem::path& file,
                      const std::filesystem::path& log);

// The path of this program's own executable.
std::filesystem::path own_executable();

}  // namespace onefile_tool
