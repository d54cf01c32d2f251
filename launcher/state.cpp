#include "launcher/state.h"

wchar_t target_directory[wide_path_capacity];
wchar_t kept_directory[wide_path_capacity];
void* kept_directory_handle;
const unsigned char* payload_digest;
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
ZSTD_DCtx* payload_context;
ZSTD_outBuffer payload_window;
bool window_filled;
bool payload_frame_ended;

std::atomic<bool> cleanup_armed{false};
std::atomic<void*> child_process{nullptr};
std::atomic<int> main_thread_step{main_thread_idle};

std::atomic<void*> target_mark{nullptr};
void* entry_file;
void* child_job;

wchar_t executable_directory[executable_path_capacity];
wchar_t child_executable_path[wide_path_capacity];
wchar_t child_command_line[command_line_capacity];
wchar_t resolved_executable_path[executable_path_capacity];
wchar_t plain_executable_path[executable_path_capacity];
