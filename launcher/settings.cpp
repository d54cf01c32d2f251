// The launcher's settings and payload: found in the ".onefile" section of its own image, which
// the packaging tool added to the stub, and used where the system mapped them (read-only, shared
// between processes, covered by the image's signature); nothing is copied, nothing read from a
// file beside the executable. A payload block too large for the image is read from the
// launcher's own file (payload/file_block.cpp).
#include <cstring>

#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/launcher.h"
#include "launcher/state.h"
#include "payload/attached_section.h"

namespace {

// The initialised bytes of the section of that name in the image at base, or none. The loader
// has checked the headers of an image it mapped; section data beyond SizeOfRawData is zero-filled
// ("PE Format", Section Table), so only what the file holds counts.
const unsigned char* find_section(const unsigned char* base, const char (&name)[8],
                                  std::size_t* size) {
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (std::memcmp(section->Name, name, sizeof name) != 0) continue;
    const DWORD mapped = section->Misc.VirtualSize;
    *size = mapped < section->SizeOfRawData ? mapped : section->SizeOfRawData;
    return base + section->VirtualAddress;
  }
  return nullptr;
}

const wchar_t* text_at(const unsigned char* section, const attached_layout& layout,
                       attached_text text) {
  return reinterpret_cast<const wchar_t*>(section + layout.text_offset[text]);
}

}  // namespace

void read_attached_settings() {
  const auto* image = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
  std::size_t size = 0;
  const unsigned char* section = find_section(image, attached_section_name, &size);
  attached_layout layout{};
  if (section == nullptr || !parse_attached_section(section, size, &layout)) {
    // A stub run as it is, or a damaged image: no product name to show the error under.
    enable_error_dialog(L"onefile");
    fatal_header_error();
  }
  onefile_target_spec = text_at(section, layout, text_target_spec);
  onefile_company = text_at(section, layout, text_company);
  onefile_product = text_at(section, layout, text_product);
  onefile_version = text_at(section, layout, text_version);
  onefile_run_target = text_at(section, layout, text_run_target);
  onefile_error_dialog = layout.error_dialog;
  onefile_progress_window = layout.progress_window;
  onefile_run_error_caption = layout.error_dialog ? onefile_product : L"";
  onefile_keep_setting = layout.keep;
  payload_digest = section + layout.digest_offset;
  payload_listing = section + layout.listing_offset;
  payload_listing_size = layout.listing_size;
  payload_block_in_file = layout.payload_in_file;
  payload_block_file_offset = layout.payload_offset;
  payload_block = layout.payload_in_file ? nullptr : section + layout.payload_offset;
  payload_block_size = layout.payload_size;
}
