// The payload is read where the system mapped it with the image: each page is read from the
// launcher's file when first touched. When that file can no longer be read (the share or the
// removable disk that the launcher runs from went away), the touch raises EXCEPTION_IN_PAGE_ERROR
// ("GetExceptionCode"), and without a handler the launch would die without a word and leave its
// directory.
//
// A vectored exception handler turns such a fault, and only one inside the payload block or its
// listing, into the read error: the message, then the removal of what the launch has made, as
// every failure exit does. GCC has no structured exception handling (__try) to catch it where the
// read happens; the handler needs no change to the decoder's reading, on whichever thread it runs
// (the main thread or the one decoding ahead). It runs on the faulting thread's stack, on top of
// the decoder's frames; the build's stack check counts it there (tools/thread_stacks.txt).
#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "payload/payload.h"

namespace {

bool lies_within(ULONG_PTR address, const unsigned char* start, std::size_t size) {
  const auto first = reinterpret_cast<ULONG_PTR>(start);
  return start != nullptr && address >= first && address - first < size;
}

LONG CALLBACK report_payload_read_fault(EXCEPTION_POINTERS* exception) {
  // The record of an in-page error: [0] read or write, [1] the address, [2] the status that the
  // read failed with ("EXCEPTION_RECORD").
  const EXCEPTION_RECORD* record = exception->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR || record->NumberParameters < 3) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const ULONG_PTR address = record->ExceptionInformation[1];
  if (!lies_within(address, payload_block, payload_block_size) &&
      !lies_within(address, payload_listing, payload_listing_size)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  // The Windows error code for the status that the page could not be read with.
  using conversion = ULONG(WINAPI*)(LONG);
  const auto convert = reinterpret_cast<conversion>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
  const LONG status = static_cast<LONG>(record->ExceptionInformation[2]);
  fatal_system_error("Error, couldn't read attached data.",
                     convert != nullptr ? convert(status) : ERROR_READ_FAULT);
}

}  // namespace

void watch_payload_read_faults() {
  // Last in the list: a fault that is not the payload's goes on as if the handler were not there.
  AddVectoredExceptionHandler(0, report_payload_read_fault);
}
