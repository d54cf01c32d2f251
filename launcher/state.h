// The launcher state: fixed, process-wide buffers and handles that live for the whole process.
// Every capacity is counted in UTF-16 code units (or bytes) and includes the terminating NUL.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <zstd.h>

#include "payload/attached_section.h"

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
// The launcher's settings and payload, where its image carries them (launcher/settings.cpp reads
// them at the start; tests set them). The texts are 0-ended.
extern const wchar_t* onefile_target_spec;
extern const wchar_t* onefile_company;
extern const wchar_t* onefile_product;
extern const wchar_t* onefile_version;
// False when the launcher must never show an error in a message box.
extern bool onefile_error_dialog;
// False when a graphical launch that unpacks for long must never show its progress window.
extern bool onefile_progress_window;
// Whether the unpacked files are kept for later launches, and compared with the payload at each.
extern attached_keep onefile_keep_setting;
// For the stock runner: the payload's program to start (backslash-separated entry name), and the
// caption of its error box (empty: no box).
extern const wchar_t* onefile_run_target;
extern const wchar_t* onefile_run_error_caption;
// The payload block ("JIV", one zstd frame, the trailer); its SHA-256 (none until the settings
// are read); and its entry listing (the entry list without the files' bytes: names, sizes and the
// end marker), against which a launcher that keeps its unpacked files checks them.
extern const unsigned char* payload_block;
extern std::uint64_t payload_block_size;
// A block too large for the image lies after it in the launcher's file (payload_block is then
// null): its offset there.
extern bool payload_block_in_file;
extern std::uint64_t payload_block_file_offset;
extern const unsigned char* payload_digest;
extern const unsigned char* payload_listing;
extern std::size_t payload_listing_size;
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
// A block read from the file comes in pieces: the refill puts the next piece into payload_input
// and returns true, or false when the block is at its end or a read failed (payload_read_error
// then holds the system's code). None while the whole block is in payload_input.
extern bool (*payload_input_refill)();
extern unsigned long payload_read_error;
// For such a block: ends the run with the read error (when payload_read_error is set), and
// closes the file when the stream is closed.
extern void (*payload_read_failure)();
extern void (*payload_input_close)();
// Block bytes after "JIV": in all, and before payload_input's first byte.
extern std::uint64_t payload_input_total;
extern std::uint64_t payload_input_base;
// The block's last 9 bytes (a 0 byte and the leading length), copied when it is opened.
extern unsigned char payload_trailer[9];
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
// True once a child runs on the parent's own console, where console control events reach it too.
extern std::atomic<bool> child_shares_console;

// The threads that create files or the child, against the cleanup of a console event or a
// failure (cleanup/cleanup.h). Each has a step slot: the main thread slot 0, the unpack writers
// the slots after it. A slot is idle; busy while such a step is under way; stopping when a
// cleanup waits for that step to end; stopped once no step can come any more.
inline constexpr int max_unpack_writers = 8;
inline constexpr int step_slot_count = 1 + max_unpack_writers;
enum thread_step_state : int { step_idle, step_busy, step_stopping, step_stopped };
extern std::atomic<int> thread_steps[step_slot_count];
// The thread that began the slot's last step, and the file that the step holds open: closed by
// the step's hand-over, or by a failure's cleanup on that same thread, before the removal.
extern std::atomic<unsigned long> step_threads[step_slot_count];
extern std::atomic<void*> step_files[step_slot_count];

// The parent's hold on the target directory it created: the open handle of its in-use mark, and a
// handle on the directory itself from its creation on, shared without delete (nobody can rename or
// remove it); the removal closes both first.
extern std::atomic<void*> target_mark;
extern std::atomic<void*> target_guard;
// What tells a file from any other that takes its name later: its file id, unique on its volume.
// NTFS makes it from the record number and a sequence number that changes when the record is used
// again; under Wine it is the inode number. (The volume's serial number would cost a round trip to
// Wine's mount manager, a few milliseconds; a different volume at the name is a link or a mount
// point, which the checks refuse as such. Wine's "creation time" is the inode's change time, which
// every new entry changes.)
struct file_identity {
  unsigned long long id;
  bool operator==(const file_identity&) const = default;
};
// The target directory's identity, from the handle it was made with: every removal attempt after
// the first checks that target_directory still names it.
extern file_identity target_identity;
// --- Unpacking on several threads (payload/decode_ahead.cpp, payload/writer_pool.cpp) ---

// A lock or condition of those threads, used as the system's SRWLOCK or CONDITION_VARIABLE (one
// pointer, all-zero when unused); declared without the system's headers, so that this file also
// builds on the host.
struct thread_sync_object {
  void* opaque;
};

// Decoding ahead: a thread of its own runs the decoder into a ring of windows while the main
// thread reads from the one it holds. The decoder owns payload_input, payload_context and
// window_filled while it runs.
inline constexpr std::size_t decoded_window_count = 8;
struct decoded_window {
  unsigned char* bytes;  // payload_window_size bytes
  std::size_t fill;      // what the decoder call produced
  std::uint64_t input_used;
  bool frame_ended;  // the call ended the frame
};
extern decoded_window decoded_windows[decoded_window_count];
// Counts from the start: windows the decoder has filled, that the reader has taken, and that it
// has let go of again.
extern std::uint64_t windows_decoded;
extern std::uint64_t windows_taken;
extern std::uint64_t windows_released;
// The decoder has made its last call (an error, or no input left), or is told to stop.
extern bool decoder_stopped;
extern bool decoder_abandoned;
extern thread_sync_object decode_lock;
extern thread_sync_object window_decoded;
extern thread_sync_object window_released;
extern void* decoder_thread;
// The window that open_payload allocated, given back to the stream when decoding ahead ends.
extern void* own_payload_window;
// Set while decoding runs ahead: gives read_payload the next window, or ends the run with the
// decode error at the point where the decoder met it.
extern void (*decoded_window_source)();
// The block's bytes after "JIV" that the decoder had consumed after the call that filled the
// window in hand.
extern std::uint64_t payload_input_used;

// The writer pool: whole entries queued in payload order, each with its path and a queue of
// 32 KiB chunks of its bytes, written by the pool's threads. Its memory is taken on start and
// given back when the last entry is on disk.
inline constexpr int unpack_job_count = 64;
inline constexpr int unpack_chunk_count = 128;
struct unpack_job {
  wchar_t path[wide_path_capacity];
  std::uint64_t size;
  int first_chunk;  // chunks not yet written, in order, linked by unpack_chunk_next; -1: none
  int last_chunk;
  bool done;  // written and closed, or never used
};
extern unpack_job* unpack_jobs;
extern unsigned char (*unpack_chunks)[write_buffer_size];
extern std::uint32_t unpack_chunk_fill[unpack_chunk_count];
extern int unpack_chunk_next[unpack_chunk_count];
extern int free_chunks;  // first of the free chunks, linked the same way; -1: none
// Counts from the start: entries queued by the main thread, taken by a writer, and on disk.
extern std::uint64_t jobs_queued;
extern std::uint64_t jobs_taken;
extern std::uint64_t jobs_done;
extern bool writers_closing;
extern int writers_waiting;
extern bool filler_waiting;
extern thread_sync_object unpack_lock;
extern thread_sync_object work_queued;
extern thread_sync_object work_done;
extern int unpack_writers_started;
extern void* unpack_writer_threads[max_unpack_writers];

// Threads that delete files beside the walk that removes the target directory (cleanup.h); 0:
// the walk alone.
extern int removal_helpers;

// The progress window of a long unpacking (launcher/progress_window.cpp). The main thread counts
// the entries it has read and the bytes of their files, which the window's thread shows; the
// window is due at progress_window_due (GetTickCount64), never (UINT64_MAX) outside unpacking or
// once progress_window_maker has been called; the event tells its thread to close it.
extern std::atomic<std::uint64_t> unpacked_entries;
extern std::atomic<std::uint64_t> unpacked_bytes;
extern std::uint64_t progress_window_due;
extern void (*progress_window_maker)();
extern void* progress_thread;
extern void* progress_close_event;

// The job that ends the child with the parent, or none; never closed.
extern void* child_job;

extern wchar_t executable_directory[executable_path_capacity];
extern wchar_t child_executable_path[wide_path_capacity];
extern wchar_t child_command_line[command_line_capacity];
extern wchar_t resolved_executable_path[executable_path_capacity];
extern wchar_t plain_executable_path[executable_path_capacity];
