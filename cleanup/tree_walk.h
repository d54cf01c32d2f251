// The checks that the direct walk (tree_walk.cpp) makes on every entry before it deletes it,
// shared with the threads that delete files beside it (removal_crew.cpp).
#pragma once

#include <atomic>
#include <cstddef>

#include <windows.h>

#include "launcher/state.h"

// The walk's root: the length of its path, and the name the system gives the root's handle (its
// place on its volume). An entry is what its path says when its handle's name is this name
// followed by the path's part below the root.
struct walk_root {
  std::size_t path_length;
  const wchar_t* name;
  std::size_t name_length;
};

// Room for the name of one handle.
union handle_name {
  FILE_NAME_INFO info;
  unsigned char bytes[sizeof(FILE_NAME_INFO) + wide_path_capacity * sizeof(wchar_t)];
};

enum class opened { itself, elsewhere, failed };

inline constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the entry at path (length units, below root) without following a link and checks that
// the system names the handle after that very place; a handle named after some other place is
// closed at once (elsewhere).
opened open_checked_entry(const wchar_t* path, std::size_t length, const walk_root& root,
                          handle_name& name, DWORD access, DWORD flags, HANDLE* handle,
                          DWORD share = share_all);
// What a deletion of an entry with these attributes needs.
DWORD deletion_access(DWORD attributes);
// Marks the open entry for deletion (it goes when the handle is closed) and closes the handle.
bool delete_and_close(HANDLE handle, DWORD attributes);

// Threads that delete plain files (no directory, no link) that the walk hands them, with the same
// checks as the walk; the walk keeps every directory and link to itself.
struct removal_crew;
// Null when no helper thread could be started: the walk then deletes every file itself.
removal_crew* start_removal_crew(int helpers, const walk_root& root);
// Hands over the plain file at path (length units); waits while every place is taken.
void hand_file_to_crew(removal_crew* crew, const wchar_t* path, std::size_t length,
                       DWORD attributes);
// Waits until every file handed over has been dealt with.
void wait_for_crew(removal_crew* crew);
// Waits for the crew, ends it; false when it left something that could lead a deletion outside
// the root (a file whose handle the system named after another place).
bool end_removal_crew(removal_crew* crew);
