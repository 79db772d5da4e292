// prop_tags_index.h: layout of the generated property-name tables and indexes.
//
// gen_prop_tags writes one .cpp at build time that defines every array declared
// here; prop_tags.cpp reads them. The index builder and the probe below are
// compiled into both, so the generator puts each name where the runtime looks.
//
// Name index: an open-addressing table of power-of-two size, at most half full,
// probed linearly from HomeSlot(NameHash(name)) up to the first empty slot.
// Each name is held once, by the index of its first entry in table order.
//
// Tag index: the distinct tags in ascending order, each with its run of entry
// indexes (in table order) inside kTagRunEntries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "mapi_access/prop_tags.h"

namespace zuv::prop_tags_index {

// FNV-1a, 32 bits.
constexpr uint32_t NameHash(std::string_view name) {
  uint32_t h = 2166136261u;
  for (char c : name) {
    h ^= static_cast<uint8_t>(c);
    h *= 16777619u;
  }
  return h;
}

// First slot probed for `hash` in an index of mask + 1 slots. Folds in the high
// bits, which FNV-1a mixes better than the low ones.
constexpr size_t HomeSlot(uint32_t hash, size_t mask) { return (hash ^ (hash >> 16)) & mask; }

// One slot of a name index; index == kEmptySlot marks a free slot.
struct NameSlot {
  uint32_t hash;   // NameHash of the entry's name
  uint32_t index;  // entry index in its table
};
inline constexpr uint32_t kEmptySlot = 0xFFFFFFFFu;

// Builds the index over names[0..n): 2n slots or more, a power of two; a
// repeated name keeps the index of its first occurrence.
inline std::vector<NameSlot> BuildNameIndex(const std::vector<std::string_view>& names) {
  size_t size = 16;
  while (size < 2 * names.size()) size *= 2;
  std::vector<NameSlot> slots(size, NameSlot{0, kEmptySlot});
  const size_t mask = size - 1;
  for (size_t i = 0; i < names.size(); ++i) {
    const uint32_t h = NameHash(names[i]);
    for (size_t s = HomeSlot(h, mask);; s = (s + 1) & mask) {
      if (slots[s].index == kEmptySlot) {
        slots[s] = {h, static_cast<uint32_t>(i)};
        break;
      }
      if (slots[s].hash == h && names[slots[s].index] == names[i]) break;
    }
  }
  return slots;
}

// The entry index stored for `name` in an index of slot_count slots, or
// kEmptySlot. name_at(i) returns the name of entry i.
// REQUIRES: slot_count is a power of two and at least one slot is free.
template <typename NameAt>
uint32_t FindInNameIndex(const NameSlot* slots, size_t slot_count, std::string_view name,
                         NameAt name_at) {
  const uint32_t h = NameHash(name);
  const size_t mask = slot_count - 1;
  for (size_t s = HomeSlot(h, mask);; s = (s + 1) & mask) {
    if (slots[s].index == kEmptySlot) return kEmptySlot;
    if (slots[s].hash == h && name_at(slots[s].index) == name) return slots[s].index;
  }
}

// One distinct tag and where its entry indexes sit in kTagRunEntries.
struct TagRun {
  uint32_t tag;
  uint16_t first;
  uint16_t count;
};

struct GuidEntry {
  GUID guid;
  std::string_view name;
};

extern const PropTagEntry kPropTags[];
extern const size_t kPropTagCount;
extern const NameSlot kPropTagSlots[];
extern const size_t kPropTagSlotCount;  // power of two
extern const TagRun kTagRuns[];
extern const size_t kTagRunCount;
extern const uint16_t kTagRunEntries[];  // kPropTagCount entries

extern const NamedPropEntry kNamedProps[];
extern const size_t kNamedPropCount;
extern const NameSlot kNamedPropSlots[];
extern const size_t kNamedPropSlotCount;  // power of two

extern const GuidEntry kGuids[];
extern const size_t kGuidCount;

}  // namespace zuv::prop_tags_index
