// The resources a launcher carries, as the bytes of the resource leaves: the version record, the
// icon group and its images, and the manifest's well-formedness check.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pe/pe_image.h"

namespace onefile_pe {

// The fields of the version record. Empty texts are left out of the string table.
struct VersionFields {
  std::array<std::uint16_t, 4> file_version{};     // VS_FIXEDFILEINFO dwFileVersionMS/LS
  std::array<std::uint16_t, 4> product_version{};  // VS_FIXEDFILEINFO dwProductVersionMS/LS
  std::u16string company_name, product_name, file_description, file_version_text,
      product_version_text, original_filename, internal_name, legal_copyright, comments;
  bool console = false;  // nothing in the record depends on it; reserved
};

// A VS_VERSIONINFO record (the RT_VERSION leaf): language neutral, code page 1200 (Unicode), so
// the string table is "000004b0" and the Translation var 0x0000/0x04b0; text kept whole in UTF-16.
std::vector<std::uint8_t> version_record(const VersionFields& fields);

// RT_ICON resources (ids first_icon_id, first_icon_id + 1, ...) for every image of an .ico file,
// followed by the RT_GROUP_ICON (id group_id) that lists them, all language neutral. PNG images are
// kept as they are. Throws PeError naming what is wrong when the bytes are not an .ico file.
std::vector<Resource> icon_resources(std::span<const std::uint8_t> ico, std::uint16_t group_id,
                                     std::uint16_t first_icon_id);

// Throws PeError naming the line and column when the text is not a well-formed XML 1.0 document
// in UTF-8 (for a manifest given by the user).
void check_well_formed_xml(std::string_view text);

// As check_well_formed_xml, and the root element is <assembly> in the namespace
// urn:schemas-microsoft-com:asm.v1, as Windows requires of an application manifest.
void check_manifest_xml(std::string_view text);

}  // namespace onefile_pe
