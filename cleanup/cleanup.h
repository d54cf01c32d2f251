// Stopping a lingering child and removing the target directory, at the end of a parent's run
// and on console control events.
#pragma once

#include <windows.h>

// Waits up to 5 s for the child (stopping it with exit code 0 after that), closes its handle,
// then, once armed, removes the target directory with retries. Never fails, reports nothing.
void cleanup_child_and_directory();
// Runs the cleanup for Ctrl+C, Ctrl+Break, close, log-off and shut-down; always FALSE.
BOOL WINAPI console_ctrl_handler(DWORD event_code);

// Removes everything below and including directory with a direct walk; links and junctions
// are removed as links, never entered. True when no reparse point remains below it.
bool remove_tree_directly(const wchar_t* directory);

// The shell's deletion call, replaceable by tests to count or observe the requests.
extern int(WINAPI* shell_file_operation)(SHFILEOPSTRUCTW* request);
