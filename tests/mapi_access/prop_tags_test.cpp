// prop_tags_test.cpp: the property-name tables (contents, order, counts) and the
// indexed lookups, checked against front-to-back scans of the same tables.
#include "mapi_access/prop_tags.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mapi/mapidefs.h"
#include "mapi_access/prop_tags_index.h"

namespace zuv {
namespace {

// Reference lookups: plain scans in table order, first match wins.
// Index of the first of `count` entries named `name`, or count.
template <typename EntryAt>
size_t ScanFor(std::string_view name, size_t count, EntryAt entry_at) {
  for (size_t i = 0; i < count; ++i) {
    if (entry_at(i).name == name) return i;
  }
  return count;
}

size_t ScanTagEntry(std::string_view name) { return ScanFor(name, PropTagCount(), PropTagAt); }

size_t ScanNamedPropertyIndex(std::string_view name) {
  return ScanFor(name, NamedPropertyCount(), NamedPropertyAt);
}

std::vector<std::string> ScanNamesFromTag(uint32_t tag) {
  std::vector<std::string> names;
  for (size_t i = 0; i < PropTagCount(); ++i) {
    if (PropTagAt(i).tag == tag) names.emplace_back(PropTagAt(i).name);
  }
  return names;
}

std::vector<std::string> Names(uint32_t tag) {
  std::vector<std::string> names;
  (void)NamesFromTag(tag, &names);
  return names;
}

// Names that look like `name` but may be absent: lower case, one byte more
// or less, last byte replaced.
std::vector<std::string> NearMisses(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string last_changed(name);
  last_changed.back() = last_changed.back() == 'Z' ? 'Y' : 'Z';
  return {lower, std::string(name) + "X", std::string(name.substr(0, name.size() - 1)),
          last_changed};
}

std::map<uint32_t, size_t> NamesPerTag() {
  std::map<uint32_t, size_t> count;
  for (size_t i = 0; i < PropTagCount(); ++i) ++count[PropTagAt(i).tag];
  return count;
}

std::string GuidText(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

const GUID* GuidByName(std::string_view name) {
  for (size_t i = 0; i < GuidCount(); ++i) {
    if (GuidNameAt(i) == name) return GuidAt(i);
  }
  return nullptr;
}

// --- The tag table ---

TEST(PropTagTableTest, HexNamesGiveTheirTags) {
  uint32_t tag = 7;
  EXPECT_TRUE(TagFromHexName("0x0037001E", &tag));
  EXPECT_EQ(tag, 0x0037001Eu);
  EXPECT_TRUE(TagFromHexName("0x0037001e-more", &tag));
  EXPECT_EQ(tag, 0x0037001Eu) << "digits up to the first other character";
  tag = 7;
  for (const char* name : {"0x", "0xg1", "37001E", "PR_SUBJECT", "", "x0037"}) {
    EXPECT_FALSE(TagFromHexName(name, &tag)) << name;
  }
  EXPECT_EQ(tag, 7u);
}

TEST(PropTagTableTest, Counts) {
  EXPECT_EQ(PropTagCount(), 3917u);
  const std::map<uint32_t, size_t> per_tag = NamesPerTag();
  EXPECT_EQ(per_tag.size(), 2264u);
  size_t several = 0, most = 0;
  for (const auto& [tag, n] : per_tag) {
    several += n > 1;
    most = std::max(most, n);
  }
  EXPECT_EQ(several, 1231u);
  EXPECT_EQ(most, 6u);
}

TEST(PropTagTableTest, OrderedByTagThenNameExceptKeywords) {
  // Without the "Keywords" row, placed straight after the 0x0008001F rows,
  // the table is strictly ordered by (tag, name).
  const size_t k = ScanTagEntry("Keywords");
  ASSERT_LT(k + 1, PropTagCount());
  EXPECT_EQ(PropTagAt(k).tag, 0x8003101Eu);
  EXPECT_EQ(PropTagAt(k - 1).tag, 0x0008001Fu);
  EXPECT_EQ(PropTagAt(k + 1).tag, 0x00090003u);
  size_t prev = 0;
  for (size_t i = 1; i < PropTagCount(); ++i) {
    if (i == k) continue;
    const PropTagEntry& a = PropTagAt(prev);
    const PropTagEntry& b = PropTagAt(i);
    EXPECT_TRUE(a.tag < b.tag || (a.tag == b.tag && a.name < b.name)) << a.name << " " << b.name;
    prev = i;
  }
}

TEST(PropTagTableTest, TellingRows) {
  struct Row {
    uint32_t tag;
    uint32_t sort;
    const char* name;
  };
  const Row rows[] = {
      {0x00010003, 5, "PR_ACKNOWLEDGEMENT_MODE"},
      {0x00010003, 3, "PR_CERT_PROP_VERSION"},
      {0x00010003, 4, "PidTagAcknowledgementMode"},
      {0x3001001E, 5, "PR_DISPLAY_NAME"},
      {0x3001001E, 4, "PR_DISPLAY_NAME_A"},
      {0x3001001E, 1, "ptagDisplayName"},
      {0x3001001F, 3, "PR_DISPLAY_NAME_W"},
      {0x3001001F, 2, "PidTagDisplayName"},
      {0x8003101E, 1, "Keywords"},
      {0xFFFE001F, 1, "PR_EMS_AB_SERVER_W"},
  };
  for (const Row& row : rows) {
    const size_t i = ScanTagEntry(row.name);
    ASSERT_LT(i, PropTagCount()) << row.name;
    EXPECT_EQ(PropTagAt(i).tag, row.tag) << row.name;
    EXPECT_EQ(PropTagAt(i).sort, row.sort) << row.name;
  }
  EXPECT_EQ(PropTagAt(0).name, "PR_ACKNOWLEDGEMENT_MODE");
  EXPECT_EQ(PropTagAt(PropTagCount() - 1).name, "PR_EMS_AB_SERVER_W");
}

// --- Tag-table lookups ---

TEST(PropTagLookupTest, StringVariantsCarryTheirOwnTagsAndCaseMatters) {
  const std::pair<const char*, uint32_t> found[] = {{"PR_DISPLAY_NAME_W", 0x3001001F},
                                                    {"PR_DISPLAY_NAME", 0x3001001E},
                                                    {"PR_DISPLAY_NAME_A", 0x3001001E},
                                                    {"PidTagDisplayName", 0x3001001F}};
  for (const auto& [name, want] : found) {
    uint32_t tag = 0;
    ASSERT_EQ(TagFromName(name, &tag), 0u) << name;
    EXPECT_EQ(tag, want) << name;
  }
  for (const char* absent : {"pr_display_name", "pr_display_name_w", "", "PR_DISPLAY_NAME "}) {
    uint32_t tag = 0x12345678;
    EXPECT_EQ(TagFromName(absent, &tag), 1u) << absent;
    EXPECT_EQ(tag, 0x12345678u) << "a failed lookup must not touch the out tag";
  }
}

TEST(PropTagLookupTest, KeywordsResolvesThoughOutOfOrder) {
  uint32_t tag = 0;
  ASSERT_EQ(TagFromName("Keywords", &tag), 0u);
  EXPECT_EQ(tag, 0x8003101Eu);
  EXPECT_EQ(Names(0x8003101E), std::vector<std::string>{"Keywords"});
  EXPECT_EQ(Names(0x0008001F), std::vector<std::string>{"PR_CONTENT_IDENTIFIER_W"});
}

TEST(PropTagLookupTest, NamesFromTagAppendsInTableOrder) {
  std::vector<std::string> names{"already there"};
  ASSERT_EQ(NamesFromTag(0x3001001E, &names), 0u);
  EXPECT_EQ(names, (std::vector<std::string>{"already there", "PR_DISPLAY_NAME",
                                             "PR_DISPLAY_NAME_A", "ptagDisplayName"}));

  names = {"kept"};
  EXPECT_EQ(NamesFromTag(0x3001000A, &names), 1u);
  EXPECT_EQ(NamesFromTag(0, &names), 1u);
  EXPECT_EQ(NamesFromTag(0xFFFFFFFF, &names), 1u);
  EXPECT_EQ(names, std::vector<std::string>{"kept"});
}

TEST(PropTagLookupTest, FirstNameFromTag) {
  std::string name = "untouched";
  EXPECT_EQ(FirstNameFromTag(0x0000FFFF, &name), 1u);
  EXPECT_EQ(name, "untouched");
  ASSERT_EQ(FirstNameFromTag(0x3001001E, &name), 0u);
  EXPECT_EQ(name, "PR_DISPLAY_NAME");
  ASSERT_EQ(FirstNameFromTag(0x3001001F, &name), 0u);
  EXPECT_EQ(name, "PR_DISPLAY_NAME_W");
  ASSERT_EQ(FirstNameFromTag(0x8003101E, &name), 0u);
  EXPECT_EQ(name, "Keywords");
}

TEST(PropTagLookupTest, IndexAgreesWithLinearScanForEveryName) {
  size_t checked = 0;
  for (size_t i = 0; i < PropTagCount(); ++i) {
    const std::string_view name = PropTagAt(i).name;
    std::vector<std::string> probes = NearMisses(name);
    probes.emplace_back(name);
    for (const std::string& probe : probes) {
      const size_t want = ScanTagEntry(probe);
      uint32_t got = 0;
      ASSERT_EQ(TagFromName(probe, &got), want < PropTagCount() ? 0u : 1u) << probe;
      if (want < PropTagCount()) {
        ASSERT_EQ(got, PropTagAt(want).tag) << probe;
      }
      ++checked;
    }
  }
  EXPECT_EQ(checked, 5 * PropTagCount());
}

TEST(PropTagLookupTest, TagIndexAgreesWithLinearScanForEveryTag) {
  for (const auto& [tag, n] : NamesPerTag()) {
    for (uint32_t probe : {tag - 1, tag, tag + 1}) {
      const std::vector<std::string> want = ScanNamesFromTag(probe);
      std::vector<std::string> got;
      std::string first;
      ASSERT_EQ(NamesFromTag(probe, &got), want.empty() ? 1u : 0u) << std::hex << probe;
      ASSERT_EQ(got, want) << std::hex << probe;
      ASSERT_EQ(FirstNameFromTag(probe, &first), want.empty() ? 1u : 0u) << std::hex << probe;
      if (!want.empty()) {
        ASSERT_EQ(first, want.front()) << std::hex << probe;
      }
    }
  }
}

TEST(PropTagLookupTest, ConcurrentLookupsAgree) {
  std::vector<int> failures(8, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([t, &failures] {
      for (size_t i = t; i < PropTagCount(); i += 3) {
        uint32_t tag = 0;
        std::string first;
        failures[t] += TagFromName(PropTagAt(i).name, &tag) != 0 || tag != PropTagAt(i).tag;
        failures[t] += FirstNameFromTag(tag, &first) != 0;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(8, 0));
}

// --- The name index itself, on made-up names ---

// Looks `name` up in an index built over `names`.
uint32_t FindIn(const std::vector<std::string_view>& names, std::string_view name) {
  using namespace prop_tags_index;
  const std::vector<NameSlot> slots = BuildNameIndex(names);
  return FindInNameIndex(slots.data(), slots.size(), name,
                         [&names](uint32_t i) { return names[i]; });
}

TEST(PropTagIndexTest, FirstOfARepeatedNameWins) {
  // The shipped tables hold no repeated name, so the rule is checked here.
  const std::vector<std::string_view> names = {"b", "a", "c", "a", "b", "a"};
  EXPECT_EQ(FindIn(names, "a"), 1u);
  EXPECT_EQ(FindIn(names, "b"), 0u);
  EXPECT_EQ(FindIn(names, "c"), 2u);
  EXPECT_EQ(FindIn(names, "d"), prop_tags_index::kEmptySlot);
}

TEST(PropTagIndexTest, CollidingNamesWrapAroundAndAreAllFound) {
  // Eight names in sixteen slots, four homed on the last slot and four on the
  // first, so probe runs collide and wrap past the end.
  using namespace prop_tags_index;
  std::vector<std::string> storage;
  int at_last = 0, at_first = 0;
  for (int i = 0; at_last + at_first < 8; ++i) {
    std::string name = "N" + std::to_string(i);
    const size_t home = HomeSlot(NameHash(name), 15);
    if (home == 15 && at_last < 4) {
      ++at_last;
      storage.push_back(name);
    } else if (home == 0 && at_first < 4) {
      ++at_first;
      storage.push_back(name);
    }
  }
  const std::vector<std::string_view> names(storage.begin(), storage.end());
  ASSERT_EQ(BuildNameIndex(names).size(), 16u);
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(FindIn(names, names[i]), i) << names[i];
  for (int i = 0; i < 200; ++i) {
    const std::string absent = "M" + std::to_string(i);
    EXPECT_EQ(FindIn(names, absent), kEmptySlot) << absent;
  }
}

// --- The named-property table ---

TEST(PropTagNamedTest, CountsPerPropertySet) {
  EXPECT_EQ(NamedPropertyCount(), 801u);
  const std::pair<const GUID*, size_t> expected[] = {
      {&PSETID_Address, 186}, {&PSETID_Common, 149}, {&PSETID_Appointment, 136},
      {&PSETID_Sharing, 130}, {&PSETID_Task, 70},    {&PSETID_Meeting, 62},
      {&PSETID_Log, 20},      {&PSETID_PostRss, 14}, {&PSETID_Remote, 14},
      {&PSETID_Note, 10},     {&PSETID_Report, 2},   {&PSETID_CalendarAssistant, 6},
      {&PS_PUBLIC_STRINGS, 2}};
  size_t total = 0;
  for (const auto& [set, want] : expected) {
    size_t n = 0;
    for (size_t i = 0; i < NamedPropertyCount(); ++i) n += *NamedPropertyAt(i).propset == *set;
    EXPECT_EQ(n, want) << GuidText(*set);
    total += n;
  }
  EXPECT_EQ(total, NamedPropertyCount());
}

TEST(PropTagNamedTest, TellingRowsAndPairs) {
  struct Row {
    uint32_t lid;
    const GUID* set;
    const char* name;
    uint32_t type;
    const char* area;
  };
  const Row rows[] = {
      {0x0001, &PSETID_Meeting, "LID_ATTENDEE_CRITICAL_CHANGE", 0x0040, "Meetings"},
      {0x0002, &PSETID_Meeting, "PidLidWhere", 0x001E, "Meetings"},
      {0x0002, &PSETID_Meeting, "LID_WHERE", 0x001E, "Meetings"},
      {0x0003, &PSETID_Meeting, "LID_GLOBAL_OBJID", 0x0102, "Meetings"},
      {0x8F07, &PSETID_Remote, "dispidRemoteAttachment", 0x000B, "Remote"},
      {0x8F07, &PSETID_Remote, "PidLidRemoteAttachment", 0x000B, "Remote"},
      {0x9000, &PS_PUBLIC_STRINGS, "PidLidCategories", 0x101E, "Common"},
      {0x9000, &PS_PUBLIC_STRINGS, "dispidCategories", 0x101E, "Common"},
  };
  for (const Row& row : rows) {
    const size_t i = NamedPropertyIndex(row.name);
    ASSERT_LT(i, NamedPropertyCount()) << row.name;
    const NamedPropEntry& e = NamedPropertyAt(i);
    EXPECT_EQ(e.name, row.name);
    EXPECT_EQ(e.lid, row.lid) << row.name;
    EXPECT_EQ(*e.propset, *row.set) << row.name;
    EXPECT_EQ(e.type, row.type) << row.name;
    EXPECT_EQ(e.area, row.area) << row.name;
  }
  EXPECT_EQ(NamedPropertyIndex("LID_ATTENDEE_CRITICAL_CHANGE"), 0u);
}

TEST(PropTagNamedTest, AreasAreSpelledAsStored) {
  std::set<std::string_view> areas;
  for (size_t i = 0; i < NamedPropertyCount(); ++i) areas.insert(NamedPropertyAt(i).area);
  const std::set<std::string_view> want = {
      "Contact",  "Meetings", "Sharing",      "Tasks",
      "Calendar", "Genera",   "Conferencing", "Reminders",
      "Journa",   "RSS",      "Remote",       "Conversation",
      "Run",      "Sticky",   "Common",       "Run-time configuration",
      "Meeting",  "Flagging", "IMAP",         "Spam"};
  EXPECT_EQ(areas, want);
}

TEST(PropTagNamedTest, IndexAgreesWithLinearScan) {
  EXPECT_EQ(NamedPropertyIndex("PidLidNoSuchProperty"), NamedPropertyCount());
  EXPECT_EQ(NamedPropertyIndex("pidlidwhere"), NamedPropertyCount());
  EXPECT_EQ(NamedPropertyIndex(""), NamedPropertyCount());
  EXPECT_EQ(NamedPropertyIndex("PR_DISPLAY_NAME"), NamedPropertyCount())
      << "tag-table names are not named properties";
  for (size_t i = 0; i < NamedPropertyCount(); ++i) {
    const std::string_view name = NamedPropertyAt(i).name;
    ASSERT_EQ(NamedPropertyIndex(name), ScanNamedPropertyIndex(name)) << name;
    for (const std::string& probe : NearMisses(name)) {
      ASSERT_EQ(NamedPropertyIndex(probe), ScanNamedPropertyIndex(probe)) << probe;
    }
  }
}

// --- The GUID table ---

TEST(PropTagGuidTest, TableOrderAndValues) {
  ASSERT_EQ(GuidCount(), 57u);
  EXPECT_EQ(GuidNameAt(0), "IID_IUnknown");
  EXPECT_EQ(GuidText(*GuidAt(0)), "{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(GuidNameAt(GuidCount() - 1), "WAB_GUID");
  const GUID* prof = GuidByName("IID_TOVANIX_PROF");
  ASSERT_NE(prof, nullptr);
  EXPECT_EQ(GuidText(*prof), "{9FD1C718-FB05-460D-BFFC-809507DD26CA}");
  const GUID* store_public = GuidByName("g_muidStorePublic");
  ASSERT_NE(store_public, nullptr);
  EXPECT_EQ(GuidText(*store_public), "{1002831C-66AA-CD11-9BC8-00AA002FC45A}");
}

TEST(PropTagGuidTest, HeaderConstantsMatchTheTable) {
#define NAMED_GUID(g) std::pair<const char*, const GUID*>(#g, &g)
  const std::pair<const char*, const GUID*> constants[] = {
      NAMED_GUID(PS_MAPI), NAMED_GUID(PS_PUBLIC_STRINGS), NAMED_GUID(PS_ROUTING_EMAIL_ADDRESSES),
      NAMED_GUID(PS_ROUTING_ADDRTYPE), NAMED_GUID(PS_ROUTING_DISPLAY_NAME),
      NAMED_GUID(PS_ROUTING_ENTRYID), NAMED_GUID(PS_ROUTING_SEARCH_KEY),
      NAMED_GUID(PS_INTERNET_HEADERS), NAMED_GUID(PSETID_Appointment), NAMED_GUID(PSETID_Task),
      NAMED_GUID(PSETID_Address), NAMED_GUID(PSETID_Common), NAMED_GUID(PSETID_Log),
      NAMED_GUID(PSETID_Note), NAMED_GUID(PSETID_Report), NAMED_GUID(PSETID_Remote),
      NAMED_GUID(PSETID_Sharing), NAMED_GUID(PSETID_PostRss), NAMED_GUID(PSETID_Meeting),
      NAMED_GUID(PSETID_CalendarAssistant), NAMED_GUID(PSETID_UnifiedMessaging),
      NAMED_GUID(PSETID_AirSync)};
#undef NAMED_GUID
  for (const auto& [name, constant] : constants) {
    const GUID* in_table = GuidByName(name);
    ASSERT_NE(in_table, nullptr) << name;
    EXPECT_EQ(GuidText(*in_table), GuidText(*constant)) << name;
  }
  EXPECT_EQ(GuidText(PS_PUBLIC_STRINGS), "{00020329-0000-0000-C000-000000000046}");
}

TEST(PropTagMacrosTest, TagsSplitAndJoin) {
  static_assert(PROP_TAG(PT_UNICODE, 0x3001) == 0x3001001F);
  static_assert(PROP_ID(0x3001001E) == 0x3001);
  static_assert(PROP_TYPE(0x8003101E) == PT_MV_STRING8);
  static_assert(CHANGE_PROP_TYPE(0x3001001F, PT_STRING8) == 0x3001001E);
  static_assert(PT_MV_BINARY == 0x1102 && PT_MV_CLSID == 0x1048 && PT_MV_I8 == 0x1014);
}

}  // namespace
}  // namespace zuv
