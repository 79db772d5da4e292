// Tests of ZUV_Table against the real store: rows keyed by entry ID, long
// strings read whole, merges of a second population, one-shot tables with
// criteria applied by the store, reader counting while rows change, and
// the compact row itself.
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/prop_tags.h"
#include "mapi_access/profile_admin.h"
#include "table_store_fixture.h"
#include "table/zuv_table.h"

namespace {

namespace fs = std::filesystem;

class TablePopulationTest : public zuv_test::TableStoreTest {
 protected:
  void SetUp() override { OpenStore("T"); }

  // A message with subject and size-like number saved in folder.
  static HRESULT WriteMessage(IMAPIFolder* folder, const std::string& subject, LONG number) {
    MapiPtr<IMessage> msg;
    HRESULT hr = folder->CreateMessage(nullptr, 0, msg.put());
    if (FAILED(hr)) return hr;
    SPropValue v[2]{};
    v[0].ulPropTag = PR_SUBJECT_A;
    v[0].Value.lpszA = const_cast<char*>(subject.c_str());
    v[1].ulPropTag = PR_IMPORTANCE;
    v[1].Value.l = number;
    if (FAILED(hr = msg->SetProps(2, v, nullptr))) return hr;
    return msg->SaveChanges(0);
  }

  void AddMessage(const std::string& subject, LONG number) {
    std::string err;
    MapiPtr<IMAPIFolder> folder;
    ASSERT_EQ(admin_->OpenFolder("svc-zuv", false, "Inbox/T", folder.put(), &err), S_OK) << err;
    ASSERT_EQ(WriteMessage(folder.get(), subject, number), S_OK);
  }

  ZUV_TablePtr NewTable(uint32_t cacheData, const std::vector<std::string>& names,
                        std::vector<search_criteria_element>* criteria = nullptr) {
    auto table = std::make_shared<ZUV_Table>(session_.get(), folder_id_, store_id_, names, cacheData);
    std::string err;
    EXPECT_EQ(table->OpenFolder("conn", &err), 0u) << err;
    std::vector<std::string> newNames;
    std::vector<ULONG> newTags;
    EXPECT_EQ(table->ResolveColumns(names, criteria, &newNames, &newTags, &err), 0u) << err;
    table->SetState(kTableFetching);
    table->StartFetch(newNames, newTags, criteria != nullptr ? *criteria : std::vector<search_criteria_element>{});
    table->WaitUntilNotFetching();
    return table;
  }

  static std::vector<ZUV_RowRef> All(ZUV_Table& table) {
    std::vector<ZUV_RowRef> rows;
    table.Lock();
    table.CollectMatching([](const ZUV_Row&) { return true; }, 1, &rows);
    table.Unlock();
    return rows;
  }

  static std::string Text(const ZUV_Row& row, ULONG tag) {
    ZUV_CellView v;
    if (!row.Find(tag, &v)) return "<none>";
    std::string text;
    if (v.binary_key) {
      AppendHex(v.bytes, &text);  // a contents row's key, held as bytes
    } else {
      text.assign(v.bytes);
    }
    return text;
  }

};

TEST_F(TablePopulationTest, CachedTableHoldsEveryMessageKeyedByEntryIdInKeyOrder) {
  AddMessage("one", 1);
  AddMessage("two", 2);
  AddMessage("three", 0);
  ZUV_TablePtr table = NewTable(1, {"PR_SUBJECT", "PR_IMPORTANCE"});
  EXPECT_EQ(table->GetState(), kTableFetched);
  std::vector<ZUV_RowRef> rows = All(*table);
  ASSERT_EQ(rows.size(), 3u);
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_LT(rows[i - 1]->Key(), rows[i]->Key());
  for (const ZUV_RowRef& row : rows) {
    EXPECT_EQ(row->Key().size() % 2, 0u);
    EXPECT_EQ(Text(*row, kRowKeyTag), std::string(row->Key()));
    EXPECT_TRUE(row->Find(kInstanceKeyTag, nullptr)) << "PR_INSTANCE_KEY is kept";
    EXPECT_TRUE(row->Find(PR_IMPORTANCE, nullptr));
  }
  table->Lock();
  EXPECT_EQ(table->ColumnNames().at(PR_SUBJECT_A), "PR_SUBJECT");
  EXPECT_EQ(table->ColumnNames().at(kRowKeyTag), "PR_LONGTERM_ENTRYID_FROM_TABLE");
  EXPECT_EQ(table->ColumnNames().at(kAttachNumTag), "PR_ATTACH_NUM");
  table->Unlock();
  // The fill built its rows in its arena; they outlive the table.
  std::vector<std::string> keys;
  for (const ZUV_RowRef& row : rows) {
    EXPECT_TRUE(row->InArena());
    keys.push_back(row->Key());
  }
  table.reset();
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i]->Key(), keys[i]);
    EXPECT_TRUE(rows[i]->Find(PR_IMPORTANCE, nullptr));
  }
}

TEST_F(TablePopulationTest, StringsCutByTheTableAreReadWhole) {
  const std::string s254(254, 'a'), s255(255, 'b'), s300 = std::string(299, 'c') + "Z";
  AddMessage(s254, 1);
  AddMessage(s255, 2);
  AddMessage(s300, 3);
  ZUV_TablePtr table = NewTable(1, {"PR_SUBJECT", "PR_IMPORTANCE"});
  std::vector<std::string> subjects;
  for (const ZUV_RowRef& row : All(*table)) subjects.push_back(Text(*row, PR_SUBJECT_A));
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(subjects, (std::vector<std::string>{s254, s255, s300}));
}

// Subject of message i of a large folder: every third one longer than a
// table row keeps, one of them kept out of line by the store.
std::string LongSubject(int i) {
  if (i % 3 != 0) return "short " + std::to_string(i);
  return std::string(i == 999 ? 2990 : 290, 'x') + "#" + std::to_string(i);
}

TEST_F(TablePopulationTest, CutStringsOfEveryBatchArriveWholeWithTheirRows) {
  constexpr int kMessages = 1100;  // more than one batch of 1024
  for (int i = 0; i < kMessages; i += 100) {
    std::string err;
    ASSERT_EQ(admin_->Batch(
                  [&]() -> HRESULT {
                    for (int k = i; k < i + 100 && k < kMessages; ++k) {
                      const HRESULT hr = WriteMessage(folder_.get(), LongSubject(k), k);
                      if (FAILED(hr)) return hr;
                    }
                    return S_OK;
                  },
                  &err),
              S_OK)
        << err;
  }
  ZUV_TablePtr table = NewTable(1, {"PR_SUBJECT", "PR_IMPORTANCE"});
  std::vector<ZUV_RowRef> rows = All(*table);
  ASSERT_EQ(rows.size(), static_cast<size_t>(kMessages));
  std::vector<bool> seen(kMessages, false);
  for (const ZUV_RowRef& row : rows) {
    ZUV_CellView n;
    ASSERT_TRUE(row->Find(PR_IMPORTANCE, &n));
    ASSERT_GE(n.number, 0);
    ASSERT_LT(n.number, kMessages);
    EXPECT_FALSE(seen[n.number]);
    seen[n.number] = true;
    EXPECT_EQ(Text(*row, PR_SUBJECT_A), LongSubject(static_cast<int>(n.number)));
  }
}

// ProcessRows outside a population run: the test is the only thread.
void ProcessBatch(ZUV_Table& table, const SRowSet& rows) ZUV_NO_THREAD_SAFETY_ANALYSIS {
  table.ProcessRows(rows, false);
}

TEST_F(TablePopulationTest, ARowWhoseMessageIsGoneIsSkippedAndTheOthersStayWhole) {
  const std::string s300 = std::string(299, 'c') + "Z", s400 = std::string(399, 'd') + "Y";
  AddMessage(s300, 1);
  AddMessage(s400, 2);
  AddMessage(s300 + "!", 3);
  auto table = std::make_shared<ZUV_Table>(session_.get(), folder_id_, store_id_,
                                           std::vector<std::string>{"PR_SUBJECT", "PR_IMPORTANCE"}, 1);
  std::string err;
  ASSERT_EQ(table->OpenFolder("conn", &err), 0u) << err;
  MapiPtr<IMAPITable> contents;
  ASSERT_EQ(folder_->GetContentsTable(0, contents.put()), S_OK);
  auto columns = MakePropTags(kRowKeyTag, kInstanceKeyTag, PR_SUBJECT_A, PR_IMPORTANCE);
  ASSERT_EQ(contents->SetColumns(columns.get(), 0), S_OK);
  MapiRows rows;
  ASSERT_EQ(contents->QueryRows(10, 0, rows.put()), S_OK);
  ASSERT_EQ(rows->cRows, 3u);
  // The second message goes after the table read its row.
  const SBinary& gone = rows->aRow[1].lpProps[0].Value.bin;
  SBinary bin{gone.cb, gone.lpb};
  SBinaryArray list{1, &bin};
  ASSERT_EQ(folder_->DeleteMessages(&list, 0, nullptr, 0), S_OK);

  ProcessBatch(*table, *rows.get());
  std::vector<std::string> subjects;
  for (const ZUV_RowRef& row : All(*table)) subjects.push_back(Text(*row, PR_SUBJECT_A));
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(subjects, (std::vector<std::string>{s300, s300 + "!"}));
}

TEST_F(TablePopulationTest, ASecondRunAddsColumnsByMergingIntoNewRows) {
  AddMessage("one", 1);
  AddMessage("two", 2);
  ZUV_TablePtr table = NewTable(1, {"PR_SUBJECT"});
  std::vector<ZUV_RowRef> before = All(*table);
  ASSERT_EQ(before.size(), 2u);
  EXPECT_FALSE(before[0]->Find(PR_IMPORTANCE, nullptr));

  std::vector<std::string> names = {"PR_SUBJECT", "PR_IMPORTANCE"}, newNames;
  std::vector<ULONG> newTags;
  std::string err;
  ASSERT_EQ(table->ResolveColumns(names, nullptr, &newNames, &newTags, &err), 0u);
  EXPECT_EQ(newNames, std::vector<std::string>{"PR_IMPORTANCE"}) << "only what the table lacked";
  table->SetState(kTableFetching);
  table->StartFetch(newNames, newTags, {});
  table->WaitUntilNotFetching();

  std::vector<ZUV_RowRef> after = All(*table);
  ASSERT_EQ(after.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(after[i]->Key(), before[i]->Key());
    EXPECT_TRUE(after[i]->Find(PR_IMPORTANCE, nullptr));
    EXPECT_EQ(Text(*after[i], PR_SUBJECT_A), Text(*before[i], PR_SUBJECT_A)) << "earlier columns stay";
    EXPECT_NE(after[i].get(), before[i].get()) << "a merge swaps in a new row";
    EXPECT_TRUE(before[i]->InArena());
    EXPECT_TRUE(after[i]->InArena()) << "the second run merged in its own arena";
    EXPECT_FALSE(before[i]->Find(PR_IMPORTANCE, nullptr)) << "a row once published never changes";
  }
}

TEST_F(TablePopulationTest, OneShotTableAppliesTheCriteriaThroughTheStore) {
  AddMessage("keep", 7);
  AddMessage("drop", 8);
  std::vector<search_criteria_element> criteria(1);
  criteria[0].type = PT_LONG;
  criteria[0].name = "PR_IMPORTANCE";
  criteria[0].op = RELOP_EQ;
  criteria[0].value.kind = PT_LONG;
  criteria[0].value.has_value = true;
  criteria[0].value.number = 7;
  ZUV_TablePtr table = NewTable(0, {"PR_SUBJECT"}, &criteria);
  EXPECT_EQ(criteria[0].tag, PR_IMPORTANCE);
  std::vector<ZUV_RowRef> rows = All(*table);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(Text(*rows[0], PR_SUBJECT_A), "keep");
}

TEST_F(TablePopulationTest, HexColumnNamesNeedNoLookupAndUnknownNamesAreLeftOut) {
  auto table = std::make_shared<ZUV_Table>(session_.get(), folder_id_, store_id_, std::vector<std::string>{}, 1);
  std::vector<std::string> newNames;
  std::vector<ULONG> newTags;
  std::string err;
  ASSERT_EQ(table->ResolveColumns({"0x0037001E", "NoSuchName", "0x0037001Ezz"}, nullptr, &newNames, &newTags, &err), 0u);
  EXPECT_EQ(newNames, (std::vector<std::string>{"0x0037001E", "0x0037001Ezz"}));
  EXPECT_EQ(newTags, (std::vector<ULONG>{0x0037001E, 0x0037001E}));
}

TEST_F(TablePopulationTest, FolderThatCannotBeOpenedNamesItself) {
  auto table = std::make_shared<ZUV_Table>(session_.get(), "00AA", store_id_, std::vector<std::string>{}, 1);
  std::string err;
  EXPECT_NE(table->OpenFolder("conn", &err), 0u);
  EXPECT_EQ(err, "Cannot get the open the folder 00AA");
}

// ---- Rows and reader counting without a store ----

ZUV_RowRef KeyedRow(const std::string& key, LONG n) {
  ZUV_RowBuilder b;
  b.AddBytes(kRowKeyTag, key);
  b.AddNumber(PR_IMPORTANCE, n);
  return b.Build();
}

TEST(ZuvRowTest, OneAllocationHoldsEveryValueInTagOrder) {
  ZUV_RowBuilder b;
  b.AddBytes(PR_SUBJECT_A, "first");
  b.AddNumber(PR_IMPORTANCE, 2);
  FILETIME ft{2, 1};
  b.AddTime(PR_CREATION_TIME, ft);
  b.AddStrings(0x8001101E, {"a", "b,c", ""});
  b.AddBytes(PR_SUBJECT_A, "second");  // replaces
  ZUV_RowRef row = b.Build();
  ASSERT_EQ(row->Count(), 4u);
  for (size_t i = 1; i < row->Count(); ++i) EXPECT_LT(row->TagAt(i - 1), row->TagAt(i));
  ZUV_CellView v;
  ASSERT_TRUE(row->Find(PR_SUBJECT_A, &v));
  EXPECT_EQ(v.bytes, "second");
  ASSERT_TRUE(row->Find(PR_CREATION_TIME, &v));
  EXPECT_EQ(v.time.dwHighDateTime, 1u);
  EXPECT_EQ(v.time.dwLowDateTime, 2u);
  ASSERT_TRUE(row->Find(0x8001101E, &v));
  EXPECT_EQ(v.count, 3u);
  EXPECT_EQ(v.bytes, std::string_view("a\0b,c\0\0", 7));
  EXPECT_FALSE(row->Find(PR_BODY_A, nullptr));
  EXPECT_LE(row->AllocatedBytes(), 16 + 4 * 16 + 6 + 7 + 16u);
  ZUV_RowRef copy = row;
  row = ZUV_RowRef();
  EXPECT_TRUE(copy->Find(PR_IMPORTANCE, nullptr)) << "a reference keeps the row";
}

TEST(ZuvRowTest, SupportedTypesAreThoseTheTableKeeps) {
  for (ULONG tag : {kRowKeyTag, kAttachNumTag, ULONG{PR_IMPORTANCE}, ULONG{PR_SUBJECT_A}, ULONG{0x0037001F},
                    ULONG{PR_CREATION_TIME}, kInstanceKeyTag, ULONG{0x8000101E}, ULONG{0x80000002}, ULONG{0x80000014},
                    ULONG{0x8000000B}}) {
    EXPECT_TRUE(IsSupportedProperty(tag)) << std::hex << tag;
  }
  for (ULONG tag : {ULONG{0x80001003}, ULONG{0x80000005}, ULONG{0x8000000A}, ULONG{0x80001002}}) {
    EXPECT_FALSE(IsSupportedProperty(tag)) << std::hex << tag;
  }
}

TEST(TableReadingTest, CountsFollowAddsAndMergesWithoutRescanning) {
  ZUV_Table table("S", "F");
  table.SetState(kTableFetching);
  int calls = 0;
  ZUV_RowMatch odd = [&calls](const ZUV_Row& row) {
    ++calls;
    ZUV_CellView v;
    return row.Find(PR_IMPORTANCE, &v) && v.number % 2 == 1;
  };
  ZUV_TableCursor cursor;
  table.Lock();
  for (int i = 0; i < 100; ++i) table.AddOrMergeRow("K" + std::to_string(1000 + i), KeyedRow("K" + std::to_string(1000 + i), i));
  EXPECT_EQ(table.CountMatching(&cursor, odd), kTableFetching);
  EXPECT_EQ(cursor.count, 50u);
  calls = 0;
  table.AddOrMergeRow("K2000", KeyedRow("K2000", 1));
  table.AddOrMergeRow("K1000", KeyedRow("K1000", 3));  // 0 -> 3: now matches
  table.AddOrMergeRow("K1001", KeyedRow("K1001", 4));  // 1 -> 4: no longer
  table.CountMatching(&cursor, odd);
  EXPECT_EQ(cursor.count, 51u);
  EXPECT_LE(calls, 5) << "only the changed rows are looked at";
  std::vector<ZUV_RowRef> page;
  table.CollectMatching(odd, 50, &page);
  ASSERT_EQ(page.size(), 2u) << "rows 50 and 51 of the matching ones";
  EXPECT_EQ(page[1]->Key(), "K2000");
  table.Unlock();

  // A waiting reader wakes for the next row and for the end of the fill.
  std::thread writer([&table] {
    {
      table.Lock();
      table.AddOrMergeRow("K3000", KeyedRow("K3000", 5));
      table.Unlock();
    }
    table.SignalChange();
    table.SetState(kTableFetched);
  });
  table.Lock();
  while (table.CountMatching(&cursor, odd) == kTableFetching) table.WaitForChange(cursor);
  EXPECT_EQ(cursor.count, 52u);
  table.Unlock();
  writer.join();
}

}  // namespace
