// The marker of a prebuilt stub, in a section of its own: the packaging tool reads it to tell a
// stub from any other image, and from a stub of another format version. Linked into each stub
// with the linker told to keep it (nothing in the code refers to it).
#include "payload/attached_section.h"

#ifdef _MSC_VER
#pragma section(".ofstub", read)
#define ONEFILE_STUB_MARKER_SECTION __declspec(allocate(".ofstub"))
#else
#define ONEFILE_STUB_MARKER_SECTION __attribute__((section(".ofstub")))
#endif

extern "C" ONEFILE_STUB_MARKER_SECTION const stub_marker onefile_stub_marker = {
    "onefile stub", attached_format_version, static_cast<stub_kind>(ONEFILE_STUB_KIND)};
