// A kept directory's completion record, and the check of a kept tree against the payload's
// listing.
//
// The record, onefile.kept at the top of the kept directory, is written last, before the staging
// directory is moved into place; little-endian throughout:
//
//   0   12  "onefile-kept" (ASCII)
//   12  4   format, 1
//   16  32  the payload block's SHA-256 (payload_digest)
//   48  8   L, the listing's length in bytes
//   56  8   N, the number of files in the listing
//   64      the company, product and version names: each UTF-16 units, then a 0 unit
//   ..  L   the listing exactly as the launcher carries it: per file its name (UTF-16 units, a 0
//           unit) and its 8-byte size, then one 0 unit
//   ..  16N per file, in the listing's order: the file's id and last write time (8 bytes each)
//           as the directory listing gave them right after unpacking
//
// Everything before the stamps is what this launcher writes for this payload, byte for byte, and
// a record is used only when it is exactly that. The stamps tell a file that is still the one the
// launch wrote from one put there since: deleted and made again, replaced by a link (Wine shows a
// link to a file as a plain file, with its target's id), or written to.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <windows.h>

#include "cleanup/cleanup.h"
#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/payload.h"

namespace {

constexpr char record_magic[12] = {'o', 'n', 'e', 'f', 'i', 'l', 'e', '-', 'k', 'e', 'p', 't'};
constexpr std::uint32_t record_format = 1;
constexpr std::size_t record_fixed_size = 64;
constexpr std::size_t stamp_size = 16;
// The names of the whole listing, and a directory listing's answer, are held in the heap.
constexpr std::size_t listing_buffer_size = 64 * 1024;

std::uint64_t read_le64(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

void write_le(unsigned char* bytes, std::uint64_t value, int count) {
  for (int i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::size_t wide_length(const wchar_t* text) {
  return std::wcslen(text);
}

// The listing's files and every directory above one, by their paths relative to the kept
// directory, in a hash table: what a walk of the tree must find, each exactly once.
struct listed_tree {
  struct node {
    const wchar_t* path;
    std::uint32_t length;
    std::int32_t file;  // the file's place in the listing, or -1 for a directory
    std::uint64_t size;
    bool seen;
  };
  wchar_t* paths = nullptr;  // the listing's names, each ending in a NUL
  node* nodes = nullptr;
  std::uint32_t node_count = 0;
  std::uint32_t file_count = 0;
  std::uint32_t* slots = nullptr;  // node index + 1; 0 for an empty slot
  std::uint32_t slot_mask = 0;
};

std::uint32_t hash_path(const wchar_t* path, std::uint32_t length) {
  std::uint32_t hash = 2166136261u;
  for (std::uint32_t i = 0; i < length; ++i)
    hash = (hash ^ static_cast<std::uint16_t>(path[i])) * 16777619u;
  return hash;
}

// The slot that holds the path, or the empty slot where it would go.
std::uint32_t find_slot(const listed_tree& tree, const wchar_t* path, std::uint32_t length) {
  for (std::uint32_t slot = hash_path(path, length) & tree.slot_mask;;
       slot = (slot + 1) & tree.slot_mask) {
    const std::uint32_t index = tree.slots[slot];
    if (index == 0) return slot;
    const listed_tree::node& node = tree.nodes[index - 1];
    if (node.length == length && std::wmemcmp(node.path, path, length) == 0) return slot;
  }
}

listed_tree::node* find_node(const listed_tree& tree, const wchar_t* path, std::uint32_t length) {
  const std::uint32_t index = tree.slots[find_slot(tree, path, length)];
  return index == 0 ? nullptr : &tree.nodes[index - 1];
}

void add_node(listed_tree& tree, const wchar_t* path, std::uint32_t length, std::int32_t file,
              std::uint64_t size) {
  const std::uint32_t slot = find_slot(tree, path, length);
  if (tree.slots[slot] != 0) return;  // a directory that an earlier file named already
  tree.nodes[tree.node_count] = listed_tree::node{path, length, file, size, false};
  tree.slots[slot] = ++tree.node_count;
}

void release_tree(listed_tree& tree) {
  std::free(tree.paths);
  std::free(tree.nodes);
  std::free(tree.slots);
  tree = listed_tree{};
}

// Reads the launcher's own listing into the table; false for a listing that is not well formed.
bool load_listing(listed_tree& tree) {
  const unsigned char* bytes = payload_listing;
  const std::size_t size = payload_listing_size;
  const std::size_t unit_count = size / 2;
  tree.paths = static_cast<wchar_t*>(std::malloc(unit_count * sizeof(wchar_t)));
  // Each file brings at most one node of its own and one per separator in its name.
  tree.nodes = static_cast<listed_tree::node*>(std::malloc(unit_count * sizeof(listed_tree::node)));
  std::uint32_t slot_count = 16;
  while (slot_count < 2 * unit_count) slot_count *= 2;
  tree.slots = static_cast<std::uint32_t*>(std::calloc(slot_count, sizeof(std::uint32_t)));
  if (tree.paths == nullptr || tree.nodes == nullptr || tree.slots == nullptr)
    fatal_out_of_memory();
  tree.slot_mask = slot_count - 1;

  std::size_t position = 0;
  wchar_t* path = tree.paths;
  for (;;) {
    wchar_t* name = path;
    for (;;) {
      if (position + 2 > size) return false;
      *path = static_cast<wchar_t>(bytes[position] | (bytes[position + 1] << 8));
      position += 2;
      if (*path++ == L'\0') break;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(path - name - 1);
    if (length == 0) return position == size;  // the end marker ends the listing
    if (position + 8 > size) return false;
    const std::uint64_t file_size = read_le64(bytes + position);
    position += 8;
    for (std::uint32_t i = 0; i < length; ++i) {
      if (name[i] == L'\\') add_node(tree, name, i, -1, 0);
    }
    add_node(tree, name, length, static_cast<std::int32_t>(tree.file_count++), file_size);
  }
}

bool is_name(const wchar_t* name, std::size_t length, const wchar_t* expected) {
  return length == wide_length(expected) && std::wmemcmp(name, expected, length) == 0;
}

// Walks the tree below root and matches it against the listing: every entry must be a listed file
// of its listed size or a directory above one, found once, no link, nothing else but the mark and
// the record at the top. Taking stamps (before the record is written), it fills them in;
// otherwise each file must still carry its stamp, and the mark and the record must be there.
bool walk_matches_listing(listed_tree& tree, const wchar_t* root, unsigned char* stamps,
                          bool taking_stamps) {
  // Directories still to be read: node indices, the root as -1.
  auto* pending =
      static_cast<std::int32_t*>(std::malloc((tree.node_count + 1) * sizeof(std::int32_t)));
  auto* answer = static_cast<unsigned char*>(std::malloc(listing_buffer_size));
  if (pending == nullptr || answer == nullptr) fatal_out_of_memory();
  std::uint32_t pending_count = 0;
  pending[pending_count++] = -1;
  std::uint32_t files_seen = 0;
  std::uint32_t own_files_seen = 0;
  // Paths below the root in the "\\?\" form, which passes MAX_PATH on any Windows.
  wchar_t long_root[wide_path_capacity + long_path_prefix_room];
  bool matches = long_path_form(root, long_root, wide_path_capacity + long_path_prefix_room);
  root = long_root;
  wchar_t path[wide_path_capacity + long_path_prefix_room];
  wchar_t relative[wide_path_capacity];
  const std::size_t root_length = wide_length(root);
  while (matches && pending_count > 0) {
    const std::int32_t directory = pending[--pending_count];
    const listed_tree::node* parent = directory < 0 ? nullptr : &tree.nodes[directory];
    const std::size_t parent_length = parent == nullptr ? 0 : parent->length;
    if (root_length + 1 + parent_length >= wide_path_capacity + long_path_prefix_room) {
      matches = false;
      break;
    }
    std::wmemcpy(path, root, root_length + 1);
    if (parent != nullptr) {
      path[root_length] = L'\\';
      std::wmemcpy(path + root_length + 1, parent->path, parent_length);
      path[root_length + 1 + parent_length] = L'\0';
      std::wmemcpy(relative, parent->path, parent_length);
      relative[parent_length] = L'\\';
    }
    const std::size_t prefix = parent == nullptr ? 0 : parent_length + 1;
    HANDLE listing =
        CreateFileW(path, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (listing == INVALID_HANDLE_VALUE) {
      matches = false;
      break;
    }
    FILE_INFO_BY_HANDLE_CLASS query = FileIdBothDirectoryRestartInfo;
    while (matches && GetFileInformationByHandleEx(listing, query, answer, listing_buffer_size)) {
      query = FileIdBothDirectoryInfo;
      for (auto* entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(answer);;
           entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(
               reinterpret_cast<unsigned char*>(entry) + entry->NextEntryOffset)) {
        const wchar_t* name = entry->FileName;
        const std::size_t length = entry->FileNameLength / sizeof(wchar_t);
        const bool directory_entry = entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        if (is_name(name, length, L".") || is_name(name, length, L"..")) {
          // not entries of the tree
        } else if (entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ||
                   prefix + length >= wide_path_capacity) {
          matches = false;
        } else if (parent == nullptr && !directory_entry &&
                   (is_name(name, length, target_mark_name) ||
                    is_name(name, length, kept_record_name))) {
          ++own_files_seen;
        } else {
          std::wmemcpy(relative + prefix, name, length);
          listed_tree::node* node =
              find_node(tree, relative, static_cast<std::uint32_t>(prefix + length));
          if (node == nullptr || node->seen || (node->file < 0) != directory_entry) {
            matches = false;
          } else if (directory_entry) {
            node->seen = true;
            pending[pending_count++] = static_cast<std::int32_t>(node - tree.nodes);
          } else {
            node->seen = true;
            ++files_seen;
            unsigned char stamp[stamp_size];
            write_le(stamp, static_cast<std::uint64_t>(entry->FileId.QuadPart), 8);
            write_le(stamp + 8, static_cast<std::uint64_t>(entry->LastWriteTime.QuadPart), 8);
            unsigned char* kept_stamp = stamps + node->file * stamp_size;
            if (static_cast<std::uint64_t>(entry->EndOfFile.QuadPart) != node->size) {
              matches = false;
            } else if (taking_stamps) {
              std::memcpy(kept_stamp, stamp, stamp_size);
            } else {
              matches = std::memcmp(kept_stamp, stamp, stamp_size) == 0;
            }
          }
        }
        if (!matches || entry->NextEntryOffset == 0) break;
      }
    }
    if (matches && GetLastError() != ERROR_NO_MORE_FILES) matches = false;
    CloseHandle(listing);
  }
  std::free(pending);
  std::free(answer);
  return matches && files_seen == tree.file_count && (taking_stamps || own_files_seen == 2);
}

// The record as this launcher writes it, up to its stamps, in a heap block of *size bytes.
unsigned char* record_head(std::size_t file_count, std::size_t* size) {
  const wchar_t* names[] = {onefile_company, onefile_product, onefile_version};
  std::size_t names_size = 0;
  for (const wchar_t* name : names) names_size += 2 * (wide_length(name) + 1);
  const std::size_t listing_size = payload_listing_size;
  *size = record_fixed_size + names_size + listing_size;
  auto* head = static_cast<unsigned char*>(std::malloc(*size + file_count * stamp_size));
  if (head == nullptr) fatal_out_of_memory();
  std::memcpy(head, record_magic, sizeof record_magic);
  write_le(head + 12, record_format, 4);
  std::memcpy(head + 16, payload_digest, payload_digest_size);
  write_le(head + 48, listing_size, 8);
  write_le(head + 56, file_count, 8);
  unsigned char* position = head + record_fixed_size;
  for (const wchar_t* name : names) {
    for (const wchar_t* unit = name;; ++unit) {
      write_le(position, static_cast<std::uint16_t>(*unit), 2);
      position += 2;
      if (*unit == L'\0') break;
    }
  }
  std::memcpy(position, payload_listing, listing_size);
  return head;
}

bool join_path(wchar_t (&path)[wide_path_capacity], const wchar_t* directory, const wchar_t* name) {
  const std::size_t length = wide_length(directory);
  const std::size_t name_length = wide_length(name);
  if (length + 1 + name_length >= wide_path_capacity) return false;
  std::wmemcpy(path, directory, length);
  path[length] = L'\\';
  std::wmemcpy(path + length + 1, name, name_length + 1);
  return true;
}

// Reads up to capacity bytes of the record in directory; the file's whole size in *file_size.
// False when it is missing, not a plain file, or can't be read.
bool read_record(const wchar_t* directory, unsigned char* bytes, std::size_t capacity,
                 std::size_t* read_size, std::uint64_t* file_size) {
  wchar_t path[wide_path_capacity];
  if (!join_path(path, directory, kept_record_name)) return false;
  HANDLE record = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (record == INVALID_HANDLE_VALUE) return false;
  // Attributes and size only: GetFileInformationByHandle also asks for the volume's serial
  // number, a round trip to the mount manager under Wine (about 2 ms) on every kept launch.
  FILE_BASIC_INFO basic{};
  LARGE_INTEGER size{};
  bool read = GetFileInformationByHandleEx(record, FileBasicInfo, &basic, sizeof basic) &&
              !(basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
              GetFileSizeEx(record, &size);
  *file_size = read ? static_cast<std::uint64_t>(size.QuadPart) : 0;
  *read_size = 0;
  while (read && *read_size < capacity) {
    DWORD got = 0;
    const std::size_t wanted = capacity - *read_size;
    read = ReadFile(record, bytes + *read_size,
                    wanted > 1u << 30 ? 1u << 30 : static_cast<DWORD>(wanted), &got, nullptr);
    if (got == 0) break;
    *read_size += got;
  }
  CloseHandle(record);
  return read;
}

bool same_name(const unsigned char* bytes, std::size_t size, std::size_t* position,
               const wchar_t* expected) {
  for (const wchar_t* unit = expected;; ++unit) {
    if (*position + 2 > size) return false;
    const wchar_t found = static_cast<wchar_t>(bytes[*position] | (bytes[*position + 1] << 8));
    *position += 2;
    if (found != *unit) return false;
    if (found == L'\0') return true;
  }
}

}  // namespace

bool kept_tree_is_sound(const wchar_t* directory) {
  listed_tree tree;
  if (!load_listing(tree)) {
    release_tree(tree);
    return false;
  }
  std::size_t head_size = 0;
  unsigned char* record = record_head(tree.file_count, &head_size);
  const std::size_t record_size = head_size + tree.file_count * stamp_size;
  // The record as it should be, then the one in the directory behind it.
  auto* found = static_cast<unsigned char*>(std::malloc(record_size + 1));
  if (found == nullptr) fatal_out_of_memory();
  std::size_t read_size = 0;
  std::uint64_t file_size = 0;
  bool sound = read_record(directory, found, record_size + 1, &read_size, &file_size) &&
               file_size == record_size && read_size == record_size &&
               std::memcmp(found, record, head_size) == 0 &&
               walk_matches_listing(tree, directory, found + head_size, false);
  std::free(found);
  std::free(record);
  release_tree(tree);
  return sound;
}

void write_kept_record() {
  listed_tree tree;
  if (!load_listing(tree)) abnormal_end();  // the launcher's own listing: never malformed
  std::size_t head_size = 0;
  unsigned char* record = record_head(tree.file_count, &head_size);
  const std::size_t record_size = head_size + tree.file_count * stamp_size;
  // Only what this launch wrote is there: anything else was put there by someone else.
  if (!walk_matches_listing(tree, target_directory, record + head_size, true)) {
    fatal_intrusion_error(target_directory);
  }
  release_tree(tree);
  if (!join_path(entry_path, target_directory, kept_record_name)) abnormal_end();
  HANDLE file = CreateFileW(entry_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_EXISTS) fatal_intrusion_error(entry_path);
    fatal_open_error(entry_path);
  }
  // The main thread's step holds it, so that a failure or a console event closes it first.
  step_files[0].store(file);
  for (std::size_t written_size = 0; written_size < record_size;) {
    const std::size_t left = record_size - written_size;
    const std::uint32_t chunk = left > 1u << 30 ? 1u << 30 : static_cast<std::uint32_t>(left);
    write_chunk(file, record + written_size, chunk);
    written_size += chunk;
  }
  step_files[0].store(nullptr);
  CloseHandle(file);
  std::free(record);
}

bool is_superseded_kept_directory(const wchar_t* directory) {
  // The fixed part and the three names are all that is needed: they come first.
  unsigned char bytes[4096];
  std::size_t read_size = 0;
  std::uint64_t file_size = 0;
  if (!read_record(directory, bytes, sizeof bytes, &read_size, &file_size) ||
      read_size < record_fixed_size || std::memcmp(bytes, record_magic, sizeof record_magic) != 0 ||
      bytes[12] != record_format || bytes[13] != 0 || bytes[14] != 0 || bytes[15] != 0) {
    return false;
  }
  std::size_t position = record_fixed_size;
  if (!same_name(bytes, read_size, &position, onefile_company) ||
      !same_name(bytes, read_size, &position, onefile_product)) {
    return false;
  }
  // Another payload, or the same one under another version (which this launcher never uses).
  return std::memcmp(bytes + 16, payload_digest, payload_digest_size) != 0 ||
         !same_name(bytes, read_size, &position, onefile_version);
}
