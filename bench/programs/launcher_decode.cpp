// The launcher's own decoding, without the disk: reads a payload block into memory and walks its
// entry list through the launcher's stream reader as the parent does (names, sizes, the data in
// 32 KiB chunks into the write buffer), and prints the time of the walk.
//
//   launcher_decode.exe PAYLOAD_BLOCK
#include <cstdio>
#include <cstdint>

#include <windows.h>

#include "launcher/state.h"
#include "payload/payload.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: launcher_decode PAYLOAD_BLOCK\n", stderr);
    return 2;
  }
  HANDLE file =
      CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  LARGE_INTEGER size{};
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) return 1;
  auto* block = static_cast<unsigned char*>(VirtualAlloc(
      nullptr, static_cast<SIZE_T>(size.QuadPart), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  DWORD got = 0;
  if (block == nullptr ||
      !ReadFile(file, block, static_cast<DWORD>(size.QuadPart), &got, nullptr) ||
      got != size.QuadPart) {
    return 1;
  }
  CloseHandle(file);

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  open_payload_block(block, static_cast<std::size_t>(size.QuadPart));
  int entries = 0;
  while (read_entry_name()) {
    std::uint64_t remaining = 0;
    read_payload(&remaining, sizeof remaining);
    while (remaining > 0) {
      const std::uint64_t chunk = remaining < write_buffer_size ? remaining : write_buffer_size;
      read_payload(write_buffer, chunk);
      remaining -= chunk;
    }
    ++entries;
  }
  close_payload();
  QueryPerformanceCounter(&end);
  std::printf("decode=%.6f entries=%d\n",
              static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart, entries);
  return 0;
}
