// What the packer asks of the file system, the same way on every host: what a path names and
// which file it is, and the names in a directory. On Windows every call takes the path
// in its extended-length form, so that a tree deeper than MAX_PATH (260 units) is read whole, as
// on Linux; the C runtime's directory and status functions stop at that limit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace onefile_pack {

enum class FileKind { regular, directory, other };

struct FileFacts {
  FileKind kind = FileKind::other;
  std::uint64_t size = 0;  // of a regular file
  // Which file it is on its host (device and inode, or volume serial and file id): two paths with
  // the same identity name one file.
  std::uint64_t volume = 0;
  std::uint64_t index = 0, index_high = 0;  // ReFS's file ids have 128 bits

  bool same_file_as(const FileFacts& other) const {
    return volume == other.volume && index == other.index && index_high == other.index_high;
  }
};

// What the path names, links followed; false with the system's reason in `error`.
bool read_file_facts(const std::filesystem::path& path, FileFacts& facts, std::string& error);

// The entries of a directory, each as `directory / name` ("." and ".." left out), in the host's
// order; false with the system's reason in `error`.
bool list_directory(const std::filesystem::path& directory,
                    std::vector<std::filesystem::path>& entries, std::string& error);

#ifdef _WIN32
// The path in the form that Windows' file functions take at any length ("Maximum Path Length
// Limitation"): the full path (relative ones resolved against the current directory, "." and ".."
// removed, slashes made backslashes) behind \\?\, or \\?\UNC\ for a share. A path already in that
// form, or a device path (\\.\), is kept as it is.
std::wstring extended_length_path(const std::filesystem::path& path);
#endif

}  // namespace onefile_pack
