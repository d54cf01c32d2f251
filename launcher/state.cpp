#include "launcher/state.h"

wchar_t target_directory[wide_path_capacity];
wchar_t kept_directory[wide_path_capacity];
void* kept_directory_handle;
const wchar_t* onefile_target_spec = L"";
const wchar_t* onefile_company = L"";
const wchar_t* onefile_product = L"";
const wchar_t* onefile_version = L"";
bool onefile_error_dialog;
bool onefile_progress_window;
attached_keep onefile_keep_setting;
const wchar_t* onefile_run_target = L"";
const wchar_t* onefile_run_error_caption = L"";
const unsigned char* payload_block;
std::uint64_t payload_block_size;
bool payload_block_in_file;
std::uint64_t payload_block_file_offset;
const unsigned char* payload_digest;
const unsigned char* payload_listing;
std::size_t payload_listing_size;
wchar_t entry_name[entry_name_capacity];
wchar_t entry_path[wide_path_capacity];
wchar_t main_module_path[wide_path_capacity];

int created_directories_count;
wchar_t* created_directories[created_directories_capacity];

int uncached_directories_count;
int uncached_directories_capacity;
wchar_t** uncached_directories;

unsigned char write_buffer[write_buffer_size];

ZSTD_inBuffer payload_input;
bool (*payload_input_refill)();
unsigned long payload_read_error;
void (*payload_read_failure)();
void (*payload_input_close)();
std::uint64_t payload_input_total;
std::uint64_t payload_input_base;
unsigned char payload_trailer[9];
ZSTD_DCtx* payload_context;
ZSTD_outBuffer payload_window;
bool window_filled;
bool payload_frame_ended;

std::atomic<bool> cleanup_armed{false};
std::atomic<void*> child_process{nullptr};
std::atomic<bool> child_shares_console{false};
std::atomic<int> thread_steps[step_slot_count];
std::atomic<unsigned long> step_threads[step_slot_count];
std::atomic<void*> step_files[step_slot_count];

std::atomic<void*> target_mark{nullptr};
std::atomic<void*> target_guard{nullptr};
file_identity target_identity;

decoded_window decoded_windows[decoded_window_count];
std::uint64_t windows_decoded;
std::uint64_t windows_taken;
std::uint64_t windows_released;
bool decoder_stopped;
bool decoder_abandoned;
thread_sync_object decode_lock;
thread_sync_object window_decoded;
thread_sync_object window_released;
void* decoder_thread;
void* own_payload_window;
void (*decoded_window_source)();
std::uint64_t payload_input_used;

unpack_job* unpack_jobs;
unsigned char (*unpack_chunks)[write_buffer_size];
std::uint32_t unpack_chunk_fill[unpack_chunk_count];
int unpack_chunk_next[unpack_chunk_count];
int free_chunks;
std::uint64_t jobs_queued;
std::uint64_t jobs_taken;
std::uint64_t jobs_done;
bool writers_closing;
int writers_waiting;
bool filler_waiting;
thread_sync_object unpack_lock;
thread_sync_object work_queued;
thread_sync_object work_done;
int unpack_writers_started;
void* unpack_writer_threads[max_unpack_writers];

int removal_helpers;
std::atomic<std::uint64_t> unpacked_entries{0};
std::atomic<std::uint64_t> unpacked_bytes{0};
std::uint64_t progress_window_due = UINT64_MAX;
void (*progress_window_maker)();
void* progress_thread;
void* progress_close_event;
void* child_job;

wchar_t executable_directory[executable_path_capacity];
wchar_t child_executable_path[wide_path_capacity];
wchar_t child_command_line[command_line_capacity];
wchar_t resolved_executable_path[executable_path_capacity];
wchar_t plain_executable_path[executable_path_capacity];
