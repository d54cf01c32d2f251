// Stopping a lingering child and removing the target directory, at the end of a parent's run
// and on console control events.
#pragma once

#include <atomic>
#include <climits>

#include <windows.h>

#include "launcher/state.h"

// Waits up to 5 s for the child (stopping it with exit code 0 after that), closes its handle,
// then, once armed, removes the target directory: each attempt walks the tree directly and, only
// when the directory is still there, makes the shell's deletion request, unless a link remains
// below the directory or its name is too long for the shell; up to 21 attempts, 100 ms apart,
// while the name still leads to the directory made (target_identity); what has to stay gets its
// mark back. Never fails, reports nothing.
void cleanup_child_and_directory();
// The same, for a process that Windows is about to end (console close, log-off, shut-down): at
// most 0.5 s for the steps under way, 1.5 s for the child, 4 s in all.
void cleanup_before_process_end();
// Runs the cleanup for Ctrl+C and Ctrl+Break, and the hurried one for close, log-off and
// shut-down; FALSE then. Ctrl+C and Ctrl+Break while a child runs on the same console are the
// child's: TRUE, and the launch goes on until the child ends.
BOOL WINAPI console_ctrl_handler(DWORD event_code);
// Once armed: closes the target's mark and guard, then removes the target directory with the
// retries above.
void remove_target_directory();
// The failure exits' work in a parent that created its target directory: every thread's steps
// are stopped (the failing thread's own file closed at once, the others' after the chunk under
// way), then the directory removed.
void remove_target_after_failure();

// Every thread that creates something brackets each such step with these two, under its own
// slot (launcher/state.h): the main thread each directory it makes, each payload entry it writes
// and the start of the child; a writer of the pool each entry it writes. A cleanup first waits
// for the steps under way to end and then lets no thread start another, so that it never races
// the writing of further files and never misses a child started beside it. Once a cleanup has
// begun, begin_step does not return: the thread waits for the process to end, which the console
// event's default handling (or the failure's exit) does when the cleanup is over.
void begin_step(int slot);
void end_step(int slot);
// Called between the chunks of an entry: when a cleanup waits, closes the open file and hands
// over (does not return), so that a console event waits for one chunk, not for a whole entry.
void hand_over_if_cleanup_waits(int slot, void* open_file);
// True when a cleanup waits for the slot's step under way.
bool cleanup_waits_for(int slot);
inline void begin_main_thread_step() {
  begin_step(0);
}
inline void end_main_thread_step() {
  end_step(0);
}
// Ends the calling thread's own step under way, if any: closes the file it holds and lets no step
// follow on that slot, so that a cleanup need not wait for it.
void release_own_step();
// Stops every slot's steps: waits (at most wait_limit_ms in all) for the steps under way to end,
// except the calling thread's own, whose open file it closes.
void stop_every_step(DWORD wait_limit_ms);

// Removes everything below and including directory (no trailing backslash) with a direct walk.
// Nothing is followed: an entry is deleted only when a handle opened on it, without following a
// link, carries the name of that very place below directory. Links and junctions are removed as
// links; an entry that the system names after some other place (Wine opens a link's target even
// when asked for the link itself) is left alone. A directory path that is itself a link, or not
// a directory, is left alone too. True when nothing remains that could lead a deletion outside
// directory: no link, no entry named elsewhere, no subtree left unvisited because its path is
// too long.
// A stop that is set ends the walk at the next entry (the result is then false). With helpers,
// that many threads delete the plain files beside the walk, with the same checks, once the walk
// has deleted its first few files itself (a small tree goes without them); directories and links
// the walk keeps to itself.
bool remove_tree_directly(const wchar_t* directory, const std::atomic<bool>* stop = nullptr,
                          int helpers = 0);
// The same walk without removing anything: true when every entry of the tree, the directory
// included, could be opened exclusively (no process holds it open, runs it as an image or has it
// as its current directory) and every directory in it could be walked. Links (also a file that
// Wine names after its link's target) count as free: the removal never follows them.
bool tree_is_free(const wchar_t* directory, const std::atomic<bool>* stop = nullptr);

// --- Ownership of the target directory (ownership.cpp, held_directory.cpp) ---

// Sets function to ntdll's export of that name (ntdll is loaded in every process); false when it
// has none.
template <typename Function>
bool find_ntdll_function(Function& function, const char* name) {
  function = reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
  return function != nullptr;
}

// The file that marks a directory as a launch's own and, held open, as in use (see sweep.cpp),
// and what the launcher writes into it: one of these texts, exactly.
inline constexpr wchar_t target_mark_name[] = L"onefile.lock";
inline constexpr char target_mark_text[] =
    "This folder was unpacked by a onefile launcher and is removed when it ends.\r\n";
inline constexpr char kept_mark_text[] =
    "This folder was unpacked by a onefile launcher, which keeps it for its later launches.\r\n";

// The level a launch runs at, as far as who may change its files goes: elevated when the token
// has a high or system integrity level (every elevated token has), the user's otherwise.
enum class launch_level { user, elevated };
// This process's level, read from its token; replaceable, so that tests take the user level's
// path too (under Wine every process is elevated).
extern launch_level (*token_level)();
// True where files keep their mandatory labels: everywhere but Wine, which keeps no security
// descriptor with a file (an owner and a DACL are read back from its Unix mode, never a label)
// and has no integrity levels for a label to guard. Replaceable for tests.
extern bool (*file_labels_kept)();

// Fills attributes with the security descriptor that the launch's directories are made with,
// inherited by everything below them (see ownership.cpp for both levels); false, with the last
// error ERROR_INVALID_SECURITY_DESCR, when the token can't be read.
bool launch_directory_security(SECURITY_ATTRIBUTES* attributes);
// Fills attributes with a descriptor that names this process's user as owner and nothing else,
// so that a file gets the DACL its directory passes on.
bool user_owner_security(SECURITY_ATTRIBUTES* attributes);
// True when the descriptor is that of one of the launcher's directories at this level: owned by
// this process's user; a DACL that grants nobody but the user, its AppContainer, the owner's
// rights, Administrators and the local system account (denials may stand beside them); at the
// elevated level, where labels are kept, a high or system label with no-write-up.
bool is_own_descriptor(void* descriptor, launch_level level);
// The same, read from an open handle (READ_CONTROL).
bool is_own_object(void* handle, launch_level level);
// True when the directory open at handle holds the launcher's mark: a plain file of that name,
// owned by this process's user, that holds one of the mark texts.
bool holds_own_mark(void* directory);
// Makes the mark in the directory open at directory, owned by the user (at either level: an
// elevated administrator's files would otherwise belong to Administrators), hidden, with the text
// for a kept directory or for one that is removed; returns its handle (read and write, shared for
// reading only) or INVALID_HANDLE_VALUE with *error set.
void* make_mark(void* directory, bool kept, DWORD* error);
// True for a directory of the launcher's own, at this level: a plain directory (no link, also by
// the name at path) whose descriptor is its own and that holds its mark. On a volume without
// access control lists, within the user's own folders, the mark alone tells (see below).
bool is_launcher_directory(const wchar_t* path, void* directory, launch_level level);
// True when the volume of the open file keeps access control lists (not FAT or exFAT).
bool volume_keeps_acls(void* handle);
// True for a path inside the user's profile or temporary folder, where a directory that can't be
// protected is no worse off than the folder that holds it.
bool is_in_own_folders(const wchar_t* path);
// The volume query; replaceable, so that tests can show a volume without ACLs.
extern BOOL(WINAPI* volume_information_query)(HANDLE file, wchar_t* volume_name, DWORD name_size,
                                              DWORD* serial, DWORD* component_length, DWORD* flags,
                                              wchar_t* file_system, DWORD file_system_size);

// A directory known by its handle (held_directory.cpp). Paths are absolute.
//
// Makes the directory at path new, with the descriptor, and returns a handle on exactly the
// directory it made, shared for reading and writing but not for deletion: nobody can rename or
// remove it while the handle is open. INVALID_HANDLE_VALUE with *error set when it can't be made
// (ERROR_ALREADY_EXISTS for a taken name).
void* create_held_directory(const wchar_t* path, SECURITY_ATTRIBUTES* security, DWORD* error);
// Creates (create) or opens a plain file named name in the directory open at directory, never
// following a link, with the access, sharing and (on creation) attributes and descriptor given.
void* open_in_directory(void* directory, const wchar_t* name, DWORD access, DWORD share,
                        bool create, DWORD attributes, SECURITY_ATTRIBUTES* security, DWORD* error);
// Reads the identity of the open file.
bool read_file_identity(void* handle, file_identity* identity);
// What the name at path is now, against an identity.
enum class path_match { same, gone, other };
path_match match_path(const wchar_t* path, const file_identity& identity);
// Renames the directory open at handle (with DELETE access) to new_path, never over an existing
// name; the system's error code, ERROR_SUCCESS when it was renamed.
DWORD rename_open_directory(void* handle, const wchar_t* new_path);

// --- Leftovers of earlier launches ---

// True for a name of the shape onefile_<process id>_<six digits>_<eleven base64url units>.
bool is_leftover_name(const wchar_t* name, unsigned long* process_id);
// Removes a directory of the launcher's own in which nothing is in use (claimed first, see
// sweep.cpp); true when it is gone.
bool remove_leftover_directory(const wchar_t* path);
// Claims a directory of the launcher's own (is_launcher_directory, at the user's level) in which
// nothing is in use, for sweeps to remove; true when it was moved aside and its name is free.
bool set_aside_own_directory(const wchar_t* path);
// Removes the leftovers in folder whose process no longer runs, trying at most most_tried of
// them; returns how many went.
int sweep_leftover_directories(const wchar_t* folder, int most_tried = INT_MAX);
// Set by a launcher that keeps its unpacked files: true for a directory in the folder that holds
// the kept one which a launch of another payload of the same application kept (see
// payload/kept_directory.cpp). The sweep removes such a directory like a leftover, when it is the
// launcher's own and not in use.
extern bool (*superseded_directory_test)(const wchar_t* path);
// Sweeps the folder that holds target_directory on a thread of its own, at idle priority.
void start_sweep();
// Sweeps the same folder on the calling thread, one leftover at most.
void sweep_one_now();
// Ends the sweep at its next entry, so that it is not cut off in the middle of an entry by the
// process's end; what it leaves (claimed or not), a later sweep takes up.
void stop_sweep();

// Interactive sessions end (log-off, shut-down, restart) through window messages to top-level
// windows, not console events: a hidden window on a thread of its own answers them with the
// hurried cleanup, when the system says that the session is really ending. Where no window can
// be made (no display), nothing changes.
void watch_end_of_session();
// Whether the session is really ending: GetSystemMetrics(SM_SHUTTINGDOWN), asked on the window's
// thread; replaceable, so that tests can stand in for the system's flag (Wine never sets it).
extern bool (*session_ending)();

// Sharing the child's handle with the console handler. The handler may take the handle out of
// child_process at any moment and close it, even while the main thread waits for the child, so
// the main thread never waits on that handle itself:
//
//   HANDLE own = share_child_process(started.hProcess);
//   WaitForSingleObject(own, INFINITE);
//   if (!GetExitCodeProcess(own, &exit_code)) exit_code = 1;
//   CloseHandle(own);
//   release_child_process();
//   cleanup_child_and_directory();
//
// share_child_process stores process in child_process and returns a duplicate that belongs to the
// caller alone; whichever thread takes child_process out (by exchange with none) closes it, so it
// is closed exactly once and never used after that. If no duplicate can be made, process is not
// shared and comes back as the caller's own: a console event then only removes the directory.
void* share_child_process(void* process);
// Takes child_process out and closes it, unless the handler has taken it first.
void release_child_process();

// Calls made through replaceable pointers so that tests can count or observe them: the shell's
// deletion request, the check before each further attempt that the path still names the directory
// made (match_path with target_identity) and the pause between attempts, and the closing of the
// child's shared handle.
extern int(WINAPI* shell_file_operation)(SHFILEOPSTRUCTW* request);
extern path_match (*retry_check)(const wchar_t* path, const file_identity& identity);
extern void(WINAPI* retry_pause)(DWORD milliseconds);
extern BOOL(WINAPI* handle_close)(HANDLE handle);
// The removal walk's deletion call (SetFileInformationByHandle), so that tests can see which
// disposition it asks for, or refuse one.
extern BOOL(WINAPI* file_information_set)(HANDLE handle,
                                          FILE_INFO_BY_HANDLE_CLASS information_class,
                                          void* information, DWORD size);
