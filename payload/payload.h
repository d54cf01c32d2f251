// The payload: the stream reader over the zstd-compressed entry list built into the launcher,
// and the writing of its entries into the target directory.
#pragma once

#include <cstddef>
#include <cstdint>

// The payload block linked into the executable: "JIV", one zstd frame, a 0 byte and the
// 8-byte leading length.
extern "C" const unsigned char onefile_payload[];
extern "C" const std::uint64_t onefile_payload_size;

// Opens the stream over the linked payload block.
void open_payload();
// Opens the stream over any block of the same layout: checks the "JIV" header before anything
// is allocated, then allocates the window and the decoder.
void open_payload_block(const unsigned char* block, std::size_t block_size);
// Copies exactly count bytes of the decompressed entry list, or ends the run.
void read_payload(void* destination, std::uint64_t count);
// After the end marker: decodes to the frame's end, so that its content checksum is checked, and
// checks that nothing but the block's trailer follows; any fault ends with the decode error.
void finish_payload();
// Frees the decoder, then the window.
void close_payload();

// Reads the next name into entry_name; false at the end marker (entry_name then empty).
bool read_entry_name();
// Reads the entry's size and bytes and leaves them in the file at entry_path.
void write_entry();
// Parent: makes target_directory anew (see target_directory.cpp), arms the cleanup and holds the
// directory's mark; a name already taken gets a new random part, or ends the run.
void create_target_directory();
// Child: holds the target directory's mark open, so that no sweep takes the directory.
void hold_target_mark();

// Creates every missing directory above a file; true when the file's directory exists.
bool create_containing_directories(const wchar_t* file_path);
// Makes sure one directory exists (not its parents), remembering those that do.
bool create_directory_cached(const wchar_t* directory_path);
