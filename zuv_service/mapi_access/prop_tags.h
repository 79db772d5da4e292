// prop_tags.h: the static property-name tables and their lookups.
//
// Three read-only tables, compiled in from zuv_service/data/*.tsv at build time:
//   - the property tag name table: {tag, sort order, name}, 3917 entries,
//     ordered by tag (one out-of-order row: "Keywords"); a tag may have up to
//     six names;
//   - the named-property table: {LID, property set, name, type, area}, 801
//     entries;
//   - the GUID name table: {GUID, name}, 57 entries, in the order callers try
//     the property sets.
// Names are ANSI byte strings (ASCII in practice), NUL-terminated, compared
// case-sensitively byte for byte. Where a name could occur twice the first
// entry in table order wins.
//
// Threading: the tables are constant-initialised and never written; every
// function here may be called from any thread at any time, without locks.
// Ownership: entries, names and GUID pointers returned here point into the
// static tables and stay valid for the life of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/mapidefs.h"

namespace zuv {

// One row of the property tag name table.
struct PropTagEntry {
  uint32_t tag;           // property ID << 16 | property type
  uint32_t sort;          // preference rank 1..16; no lookup uses it
  std::string_view name;  // NUL-terminated
};

// One row of the named-property table.
struct NamedPropEntry {
  uint32_t lid;           // long ID within the property set
  const GUID* propset;    // points into the GUID name table
  std::string_view name;  // PidLid, dispid or LID_ name; NUL-terminated
  uint32_t type;          // property type (string types in their 8-bit form)
  std::string_view area;  // feature area, spelled as stored; NUL-terminated
};

// Sets *tag to the tag of the first tag-table entry named exactly `name` and
// returns 0; returns 1 and leaves *tag untouched when there is none.
[[nodiscard]] uint32_t TagFromName(std::string_view name, uint32_t* tag);

// Appends to *names every name of the tag-table entries whose tag equals `tag`,
// in table order. Returns 0 if at least one was appended, else 1 (and *names is
// unchanged).
[[nodiscard]] uint32_t NamesFromTag(uint32_t tag, std::vector<std::string>* names);

// Sets *name to the name of the first tag-table entry with `tag` (the PR_ name
// when the tag has one) and returns 0; returns 1 and leaves *name untouched
// when no entry has that tag.
[[nodiscard]] uint32_t FirstNameFromTag(uint32_t tag, std::string* name);

// A column named by its tag: "0x" and the hex digits up to the first other
// character ("0x0037001E"). False (and *tag untouched) without a digit.
bool TagFromHexName(std::string_view name, uint32_t* tag);

// Number of entries of the property tag name table (3917).
size_t PropTagCount();

// The tag-table entry at `index` in table order.
// REQUIRES: index < PropTagCount().
const PropTagEntry& PropTagAt(size_t index);

// Index of the first named-property entry named exactly `name`, or
// NamedPropertyCount() when there is none.
size_t NamedPropertyIndex(std::string_view name);

// Number of entries of the named-property table (801).
size_t NamedPropertyCount();

// The named-property entry at `index`.
// REQUIRES: index < NamedPropertyCount().
const NamedPropEntry& NamedPropertyAt(size_t index);

// Number of entries of the GUID name table (57).
size_t GuidCount();

// The GUID and the symbolic name ("PS_PUBLIC_STRINGS") of entry `index`.
// REQUIRES: index < GuidCount().
const GUID* GuidAt(size_t index);
std::string_view GuidNameAt(size_t index);

}  // namespace zuv
