// The payload: the stream reader over the zstd-compressed entry list built into the launcher,
// and the writing of its entries into the target directory.
#pragma once

#include <cstddef>
#include <cstdint>

// The payload block and its digest and listing are where the launcher's settings say
// (launcher/state.h): "JIV", one zstd frame, a 0 byte and the 8-byte leading length.
inline constexpr std::size_t payload_digest_size = 32;

// Opens the stream over the launcher's payload block, mapped with the image or in its file
// (file_block.cpp).
void open_payload();
// From here on, a read of the payload block or its listing that the system can't page in (the
// launcher's file gone: EXCEPTION_IN_PAGE_ERROR) ends the run with "Error, couldn't read attached
// data." and the system's code, as any failure exit does (read_fault.cpp).
void watch_payload_read_faults();
// Opens the stream over any block of the same layout: checks the "JIV" header before anything
// is allocated, then allocates the window and the decoder.
void open_payload_block(const unsigned char* block, std::size_t block_size);
// The stream's state for a block whose total bytes after "JIV" begin with the piece given;
// allocates the window and the decoder. The caller sets the refill and the trailer.
void open_payload_stream(const unsigned char* first_piece, std::size_t piece_size,
                         std::uint64_t total);
// True when the decoder has input left, after reading the next piece of a block in the file
// when it needs one.
bool payload_input_left();
// The block's bytes after "JIV" that the decoder has consumed.
std::uint64_t payload_input_position();
// Ends the run for input that ran out: with the read error when a read of the file failed,
// with the decode error otherwise.
[[noreturn]] void fatal_payload_input_error();

// Copies exactly count bytes of the decompressed entry list, or ends the run.
void read_payload(void* destination, std::uint64_t count);
// After the end marker: decodes to the frame's end, so that its content checksum is checked, and
// checks that nothing but the block's trailer follows; any fault ends with the decode error.
void finish_payload();
// Frees the decoder, then the window.
void close_payload();
// The size of the entry list that the open stream decodes to, as its frame's header gives it
// (the packer always writes it); UINT64_MAX when the header gives none.
std::uint64_t payload_content_size();

// Reads the next name into entry_name; false at the end marker (entry_name then empty).
bool read_entry_name();
// Child: the main module's name (the payload's first entry) from the launcher's listing into
// entry_name, without reading the payload; false when the listing holds no files.
bool read_main_module_name();
// Parent, at the payload's first entry (in entry_name): true when the listing's first name is the
// same, which the child will load; a difference is damage to either.
bool listing_names_first_entry();
// Reads the entry's size and bytes and leaves them in the file at entry_path.
void write_entry();
// Expands the target spec into target_directory and makes it absolute; a spec that can't be
// expanded ends the run.
void expand_target_spec();
// Creates the entry's file new at path, or ends the run naming it (someone else's file there is
// an intrusion); returns the open handle.
void* create_entry_file(const wchar_t* path);
#ifdef _WIN32
// The system call that creates an entry's file, handed the path in the "\\?\" form; replaceable,
// so that tests can see the paths.
extern void*(__stdcall* entry_file_create)(const wchar_t* path, unsigned long access,
                                           unsigned long share,
                                           struct _SECURITY_ATTRIBUTES* security,
                                           unsigned long disposition, unsigned long flags,
                                           void* template_file);
#endif
// Writes all of count bytes to the open file, or ends the run with the unpack failure.
void write_chunk(void* file, const unsigned char* bytes, std::uint32_t count);
// True for a path below target_directory.
bool is_below_target(const wchar_t* path);

// --- Unpacking on several threads (the parent only) ---

// The build's choice (ONEFILE_UNPACK_THREADS): 0 for as many writers as suit the processors,
// 1 for the main thread alone, more for that many writers. Tests may change it before the run.
extern int unpack_threads_setting;
// Writers for this run: 0 when the main thread is to write every entry itself (the setting says
// so, or the machine has one processor).
int unpack_writer_count();
// True when the open payload's unpacking starts its threads (decoding ahead and the writers) at
// once: the setting names a count of writers, or the payload is large (or of unknown size).
// Otherwise the main thread decodes it and begins writing alone: starting and ending a thread
// costs about a millisecond under Wine, more than it gains on a few small files.
bool unpack_threads_at_once();
// From a fresh stream: a thread of its own decodes ahead of read_payload (decode_ahead.cpp).
void start_decoding_ahead();
// Ends decoding ahead (after finish_payload), so that the stream can be closed.
void stop_decoding_ahead();
// Starts the writers (writer_pool.cpp); when none can be started, unpack_writers_started stays 0
// and the main thread writes every entry itself.
void start_writer_pool(int writers);
// Main thread, for the name just read: reads the entry's size, creates the directories above
// entry_path and hands the entry and its bytes to the writers.
void queue_entry();
// Waits until every queued entry is on disk and its file closed, then ends the writers.
void finish_writer_pool();
// Main thread, while it unpacks: counts entries and bytes of files read from the payload for the
// progress window (launcher/progress_window.cpp), and makes the window through
// progress_window_maker once it is due (also called with nothing to count, from waits).
void note_unpack_progress(std::uint64_t entries, std::uint64_t bytes);
// Parent: makes target_directory anew (see target_directory.cpp), arms the cleanup and holds the
// directory's mark; a name already taken gets a new random part (expand_name makes the name
// again), or ends the run.
void create_target_directory(void (*expand_name)() = expand_target_spec);
// Child: holds the target directory's mark open, so that no sweep takes the directory.
void hold_target_mark();

// --- A kept unpack directory (kept_directory.cpp, kept_record.cpp) ---

// The completion record at the top of a kept directory.
inline constexpr wchar_t kept_record_name[] = L"onefile.kept";

enum class kept_state {
  usable,  // sound: kept_directory_handle now holds it
  absent,  // nothing at the name
  stale,   // of the launcher's own making, but not (or no longer) what this payload unpacks to
  foreign  // anything else: someone else's, never touched
};
// Both roles, after the target spec's expansion: an elevated launch keeps its own directory, the
// expansion with "-elevated" added.
void name_kept_directory_for_level();
// Judges the directory at kept_directory (see kept_directory.cpp); with verify, also every file's
// bytes against the payload.
kept_state judge_kept_directory(bool verify);
// Called first by every judgement when set; tests use it to make the judgement slow.
extern void (*judgement_pause)();
// True when directory holds exactly this payload's tree, as its record (which must be exactly
// this launcher's) describes it.
bool kept_tree_is_sound(const wchar_t* directory);
// Compares every kept file's bytes with the payload's; opens and closes the payload stream.
bool kept_files_match_payload();
// Writes the record into target_directory, the staging directory that has just been filled;
// anything in it that the launch did not write ends the run.
void write_kept_record();
// Moves target_directory to kept_directory in one rename: placed; taken when a directory stands
// there already (another launch's came first); refused while something holds a file below it
// open (a virus scanner, the indexer), after retries for about 5 s when retry is set; failed for
// any other reason, with the system's error code as the thread's last error.
enum class kept_move { placed, taken, refused, failed };
kept_move move_into_kept_place(bool retry);
// The back-off for an operation on a kept directory that the system refuses while a file in it
// is open: the pause (ms) after that many failed attempts, or 0 once the time for it is up.
unsigned long kept_retry_pause(int failed_attempts);
// The rename itself, of the open staging directory to kept_directory; the system's error code,
// 0 when done. Replaceable, so that tests can refuse it.
unsigned long rename_to_kept_directory(void* staging);
extern unsigned long (*kept_rename)(void* staging);
// True for a directory that a launcher of the same company and product kept for another payload.
bool is_superseded_kept_directory(const wchar_t* directory);

// Creates every missing directory above a file; true when the file's directory exists.
bool create_containing_directories(const wchar_t* file_path);
// Makes sure one directory exists (not its parents), remembering those that do.
bool create_directory_cached(const wchar_t* directory_path);
