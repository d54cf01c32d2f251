// The .rsrc section, as "The .rsrc Section" of Microsoft's "PE Format" lays it out: a tree of
// Resource Directory Tables (type, then name, then language), each followed by its Resource
// Directory Entries; the leaves point to Resource Data Entries, which give each datum's RVA.
#include "pe/rsrc_section.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

#include "pe/bytes.h"

namespace onefile_pe {
namespace {

using bytes::align_up;
using bytes::append32;

constexpr std::uint32_t kTableSize = 16;             // Resource Directory Table
constexpr std::uint32_t kEntrySize = 8;              // Resource Directory Entry
constexpr std::uint32_t kDataEntrySize = 16;         // Resource Data Entry
constexpr std::uint32_t kSubdirectory = 0x80000000;  // high bit: the entry points to a table
constexpr std::uint32_t kDataAlignment = 8;

// A directory table header: Characteristics, TimeDateStamp (0 keeps the output deterministic),
// Major/MinorVersion, NumberOfNameEntries (0: integer ids only), NumberOfIdEntries.
void append_table(std::vector<std::uint8_t>& out, std::size_t id_entries) {
  append32(out, 0);
  append32(out, 0);
  append32(out, 0);
  bytes::append16(out, 0);
  bytes::append16(out, static_cast<std::uint32_t>(id_entries));
}

std::string leaf_name(const Resource& r) {
  char text[64];
  std::snprintf(text, sizeof text, "type %u, id %u, language 0x%04X", r.type, r.id, r.language);
  return text;
}

}  // namespace

std::vector<std::uint8_t> resource_section(std::vector<Resource> resources,
                                           std::uint32_t section_rva) {
  // "The entries ... are sorted in ascending order of the integer IDs", at every level.
  const auto key = [](const Resource& r) { return std::make_tuple(r.type, r.id, r.language); };
  std::sort(resources.begin(), resources.end(),
            [&](const Resource& a, const Resource& b) { return key(a) < key(b); });
  for (std::size_t i = 1; i < resources.size(); ++i) {
    if (key(resources[i - 1]) == key(resources[i])) {
      throw PeError("two resources with " + leaf_name(resources[i]));
    }
  }

  // Ranges of `resources` that share a type, and a (type, id).
  struct Range {
    std::size_t begin, end;
  };
  std::vector<Range> types, names;
  for (std::size_t i = 0; i < resources.size(); ++i) {
    if (i == 0 || resources[i].type != resources[i - 1].type) types.push_back({i, i});
    if (i == 0 || resources[i].type != resources[i - 1].type ||
        resources[i].id != resources[i - 1].id) {
      names.push_back({i, i});
    }
    types.back().end = names.back().end = i + 1;
  }

  // Offsets from the section's start: the root table, the type tables, the name tables (whose
  // entries are the languages), the data entries, then the data.
  const std::uint32_t root_size =
      kTableSize + kEntrySize * static_cast<std::uint32_t>(types.size());
  std::vector<std::uint32_t> type_table(types.size()), name_table(names.size());
  std::uint32_t offset = root_size;
  std::size_t name_index = 0;
  std::vector<std::size_t> names_per_type(types.size(), 0);
  for (std::size_t t = 0; t < types.size(); ++t) {
    type_table[t] = offset;
    while (name_index < names.size() && names[name_index].begin < types[t].end) {
      ++names_per_type[t];
      ++name_index;
    }
    offset += kTableSize + kEntrySize * static_cast<std::uint32_t>(names_per_type[t]);
  }
  for (std::size_t n = 0; n < names.size(); ++n) {
    name_table[n] = offset;
    offset += kTableSize + kEntrySize * static_cast<std::uint32_t>(names[n].end - names[n].begin);
  }
  const std::uint32_t data_entries = offset;
  std::uint64_t data_offset =
      align_up(data_entries + kDataEntrySize * resources.size(), kDataAlignment);
  std::vector<std::uint32_t> data_at(resources.size());
  for (std::size_t i = 0; i < resources.size(); ++i) {
    data_at[i] = static_cast<std::uint32_t>(data_offset);
    data_offset = align_up(data_offset + resources[i].data.size(), kDataAlignment);
    if (data_offset + section_rva > 0xFFFFFFFFu) throw PeError("the resources exceed 4 GiB");
  }

  std::vector<std::uint8_t> out;
  out.reserve(data_offset);
  append_table(out, types.size());
  for (std::size_t t = 0; t < types.size(); ++t) {
    append32(out, resources[types[t].begin].type);
    append32(out, kSubdirectory | type_table[t]);
  }
  name_index = 0;
  for (std::size_t t = 0; t < types.size(); ++t) {
    append_table(out, names_per_type[t]);
    for (std::size_t k = 0; k < names_per_type[t]; ++k, ++name_index) {
      append32(out, resources[names[name_index].begin].id);
      append32(out, kSubdirectory | name_table[name_index]);
    }
  }
  for (const Range& name : names) {
    append_table(out, name.end - name.begin);
    for (std::size_t i = name.begin; i < name.end; ++i) {
      append32(out, resources[i].language);
      append32(out, data_entries + kDataEntrySize * static_cast<std::uint32_t>(i));  // a leaf
    }
  }
  // Resource Data Entry: Data RVA, Size, Codepage (0), Reserved (0).
  for (std::size_t i = 0; i < resources.size(); ++i) {
    append32(out, section_rva + data_at[i]);
    append32(out, static_cast<std::uint32_t>(resources[i].data.size()));
    append32(out, 0);
    append32(out, 0);
  }
  for (std::size_t i = 0; i < resources.size(); ++i) {
    out.resize(data_at[i], 0);
    out.insert(out.end(), resources[i].data.begin(), resources[i].data.end());
  }
  out.resize(data_offset, 0);
  return out;
}

}  // namespace onefile_pe
