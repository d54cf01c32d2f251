// The launcher state: fixed, process-wide buffers and handles that live for the whole process.
// Every capacity is counted in UTF-16 code units (or bytes) and includes the terminating NUL.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <zstd.h>

inline constexpr std::size_t wide_path_capacity = 4096;
inline constexpr std::size_t entry_name_capacity = 1024;
inline constexpr std::size_t executable_path_capacity = 4097;
inline constexpr std::size_t command_line_capacity = 32768;
inline constexpr int created_directories_capacity = 1024;
inline constexpr std::size_t write_buffer_size = 32768;
inline constexpr std::size_t payload_window_size = 131072;

// The expanded, absolute target directory, without a trailing backslash.
extern wchar_t target_directory[wide_path_capacity];
// A launcher that keeps its unpacked files (launcher/kept_launch.cpp): the kept directory, where
// every launch finds it, while target_directory may name the staging directory that a first
// launch fills; and the parent's handle on it, held without delete sharing so that nobody can
// rename or remove it while the launch runs from it.
extern wchar_t kept_directory[wide_path_capacity];
extern void* kept_directory_handle;
// The payload block's SHA-256, as the packer linked it in beside the block; none until the entry
// sets it (and in programs that link no payload).
extern const unsigned char* payload_digest;
// Name of the payload entry being read, relative to the target directory.
extern wchar_t entry_name[entry_name_capacity];
// target_directory, one backslash, entry_name.
extern wchar_t entry_path[wide_path_capacity];
// entry_path of the first payload entry; empty until that entry is read.
extern wchar_t main_module_path[wide_path_capacity];

// Directories known to exist: owned heap copies, never freed.
extern int created_directories_count;
extern wchar_t* created_directories[created_directories_capacity];

// Directories below the target directory that this launch made after the cache was full: a
// growing heap list, never freed.
extern int uncached_directories_count;
extern int uncached_directories_capacity;
extern wchar_t** uncached_directories;

// Bytes on their way from the payload to a file.
extern unsigned char write_buffer[write_buffer_size];

// The payload stream: compressed input, decoder, and the 128 KiB output window. Between decoder
// calls payload_window.size holds the fill and payload_window.pos the read position.
extern ZSTD_inBuffer payload_input;
extern ZSTD_DCtx* payload_context;
extern ZSTD_outBuffer payload_window;
extern bool window_filled;
// True when the decoder's last call ended the frame (its checksum checked).
extern bool payload_frame_ended;

// Shared with the console control handler's thread. cleanup_armed goes from false to true once,
// when the parent has created the target directory (the cleanup removes no other);
// child_process is taken by exchange so that exactly one thread closes the handle.
extern std::atomic<bool> cleanup_armed;
extern std::atomic<void*> child_process;
// The main thread's steps that create files or the child, against the cleanup of a console event
// (cleanup/cleanup.h): idle; busy while such a step is under way; stopping when a cleanup waits for
// that step to end; stopped once no step can come any more.
enum main_thread_step_state : int {
  main_thread_idle,
  main_thread_busy,
  main_thread_stopping,
  main_thread_stopped
};
extern std::atomic<int> main_thread_step;

// The parent's hold on the target directory it created: the open handle of its in-use mark, which
// the removal closes first; and the file being written, closed before a failure's removal.
extern std::atomic<void*> target_mark;
extern void* entry_file;
// The job that ends the child with the parent, or none; never closed.
extern void* child_job;

extern wchar_t executable_directory[executable_path_capacity];
extern wchar_t child_executable_path[wide_path_capacity];
extern wchar_t child_command_line[command_line_capacity];
extern wchar_t resolved_executable_path[executable_path_capacity];
extern wchar_t plain_executable_path[executable_path_capacity];
