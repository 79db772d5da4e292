// Tests of the memory table: cursor movement, columns, restriction, sorting
// and the row sets it hands out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "com.h"
#include "mapi/mapitags.h"
#include "mapi/mapix.h"
#include "propval.h"
#include "tables.h"

namespace zuvstore {
namespace {

// A tag array in MAPI's layout: count, then the tags.
class TagList {
 public:
  TagList(std::initializer_list<ULONG> tags) : buf_{static_cast<ULONG>(tags.size())} {
    buf_.insert(buf_.end(), tags.begin(), tags.end());
  }
  LPSPropTagArray get() { return reinterpret_cast<LPSPropTagArray>(buf_.data()); }

 private:
  std::vector<ULONG> buf_;
};

// A sort order set with any number of keys.
class SortKeys {
 public:
  SortKeys(std::initializer_list<SSortOrder> keys)
      : buf_(offsetof(SSortOrderSet, aSort) / sizeof(ULONG) + 2 * keys.size() + 2) {
    get()->cSorts = static_cast<ULONG>(keys.size());
    std::copy(keys.begin(), keys.end(), get()->aSort);
  }
  LPSSortOrderSet get() { return reinterpret_cast<LPSSortOrderSet>(buf_.data()); }

 private:
  std::vector<ULONG> buf_;
};

// A RES_PROPERTY restriction comparing tag with a PT_LONG value.
struct LongRes {
  LongRes(ULONG relop, ULONG tag, LONG v) {
    value.ulPropTag = tag;
    value.Value.l = v;
    res.rt = RES_PROPERTY;
    res.res.resProperty = {relop, tag, &value};
  }
  LongRes(const LongRes&) = delete;
  LongRes& operator=(const LongRes&) = delete;
  SPropValue value{};
  SRestriction res{};
};

MemRow Row(const std::string& name, int32_t size) {
  MemRow row;
  row.values.emplace_back(PR_DISPLAY_NAME_A, MakeString8(name));
  row.values.emplace_back(PR_MESSAGE_SIZE, MakeLong(size));
  return row;
}

class MemTableTest : public ::testing::Test {
 protected:
  // Rows a..e with sizes 10..50.
  void SetUp() override {
    Open({Row("a", 10), Row("b", 20), Row("c", 30), Row("d", 40), Row("e", 50)});
  }

  void Open(std::vector<MemRow> rows, std::vector<ULONG> columns = {PR_DISPLAY_NAME_A}) {
    ASSERT_EQ(CreateMemTable(std::move(rows), std::move(columns), table_.put()), S_OK);
  }

  // The names of the next n rows (QueryRows with flags).
  std::vector<std::string> Next(LONG n, ULONG flags = 0) {
    LPSRowSet rows = nullptr;
    EXPECT_EQ(table_->QueryRows(n, flags, &rows), S_OK);
    std::vector<std::string> names;
    for (ULONG i = 0; rows != nullptr && i < rows->cRows; ++i) {
      const SPropValue& v = rows->aRow[i].lpProps[0];
      names.push_back(v.ulPropTag == PR_DISPLAY_NAME_A ? v.Value.lpszA : "<missing>");
    }
    FreeProws(rows);
    return names;
  }

  LONG Seek(BOOKMARK origin, LONG count) {
    LONG sought = 12345;
    EXPECT_EQ(table_->SeekRow(origin, count, &sought), S_OK);
    return sought;
  }

  ULONG Position() {
    ULONG row = 0, num = 0, denom = 0;
    EXPECT_EQ(table_->QueryPosition(&row, &num, &denom), S_OK);
    return row;
  }

  ULONG Count() {
    ULONG n = 0;
    EXPECT_EQ(table_->GetRowCount(0, &n), S_OK);
    return n;
  }

  std::vector<ULONG> Columns(ULONG flags) {
    LPSPropTagArray tags = nullptr;
    EXPECT_EQ(table_->QueryColumns(flags, &tags), S_OK);
    std::vector<ULONG> out(tags->aulPropTag, tags->aulPropTag + tags->cValues);
    MAPIFreeBuffer(tags);
    return out;
  }

  ComPtr<IMAPITable> table_;
};

using Names = std::vector<std::string>;

TEST_F(MemTableTest, QueryRowsPagesForwardAndSeekRowClampsAtBothEnds) {
  EXPECT_EQ(Count(), 5u);
  EXPECT_EQ(Next(2), (Names{"a", "b"}));
  EXPECT_EQ(Next(2, TBL_NOADVANCE), (Names{"c", "d"}));
  EXPECT_EQ(Next(100), (Names{"c", "d", "e"}));
  EXPECT_EQ(Next(1), Names{});
  EXPECT_EQ(Position(), 5u);

  EXPECT_EQ(Seek(BOOKMARK_CURRENT, -10), -5);
  EXPECT_EQ(Seek(BOOKMARK_CURRENT, 3), 3);
  EXPECT_EQ(Seek(BOOKMARK_END, -1), -1);
  EXPECT_EQ(Next(5), (Names{"e"}));
  EXPECT_EQ(Seek(BOOKMARK_END, 3), 0);
  EXPECT_EQ(Seek(BOOKMARK_BEGINNING, 99), 5);
  EXPECT_EQ(table_->SeekRow(BOOKMARK_BEGINNING, 1, nullptr), S_OK);
  EXPECT_EQ(Next(1), (Names{"b"}));
  EXPECT_EQ(table_->SeekRow(7, 0, nullptr), MAPI_E_INVALID_BOOKMARK);

  LPSRowSet rows = nullptr;
  EXPECT_EQ(table_->QueryRows(-1, 0, &rows), MAPI_E_INVALID_PARAMETER);
  ASSERT_EQ(table_->QueryRows(0, 0, &rows), MAPI_E_INVALID_PARAMETER);
  LPMAPIERROR err = nullptr;
  ASSERT_EQ(table_->GetLastError(MAPI_E_INVALID_PARAMETER, 0, &err), S_OK);
  EXPECT_NE(std::string(err->lpszError).find("row count"), std::string::npos);
  MAPIFreeBuffer(err);
}

TEST_F(MemTableTest, ColumnsMatchByIdConvertAndCutStringsAndReportMissingOnes) {
  std::string accented;
  for (int i = 0; i < 300; ++i) accented += "\xC3\xA9";  // U+00E9: the cut counts characters
  MemRow row;
  row.values.emplace_back(PR_SUBJECT_A, MakeString8(std::string(300, 'x')));
  row.values.emplace_back(PR_BODY_W, MakeUnicode(accented));
  row.values.emplace_back(PR_SEARCH_KEY, MakeBinary(std::string(300, '\x01')));
  row.values.emplace_back(PR_MESSAGE_SIZE, MakeLong(10));
  Open({row}, {PR_SUBJECT_A, PR_BODY_W, PR_SEARCH_KEY, PR_SUBJECT_W,
               CHANGE_PROP_TYPE(PR_MESSAGE_SIZE, PT_UNSPECIFIED), PR_DISPLAY_NAME_A});

  LPSRowSet rows = nullptr;
  ASSERT_EQ(table_->QueryRows(1, 0, &rows), S_OK);
  ASSERT_EQ(rows->aRow[0].cValues, 6u);
  const SPropValue* v = rows->aRow[0].lpProps;
  EXPECT_EQ(std::string(v[0].Value.lpszA), std::string(255, 'x'));
  EXPECT_EQ(std::u16string(v[1].Value.lpszW), std::u16string(255, u'\u00E9'));
  EXPECT_EQ(v[2].Value.bin.cb, 300u);
  EXPECT_EQ(v[3].ulPropTag, PR_SUBJECT_W);
  EXPECT_EQ(std::u16string(v[3].Value.lpszW), std::u16string(255, u'x'));
  EXPECT_EQ(v[4].ulPropTag, PR_MESSAGE_SIZE);
  EXPECT_EQ(v[4].Value.l, 10);
  EXPECT_EQ(v[5].ulPropTag, CHANGE_PROP_TYPE(PR_DISPLAY_NAME, PT_ERROR));
  EXPECT_EQ(v[5].Value.err, MAPI_E_NOT_FOUND);
  FreeProws(rows);
}

TEST_F(MemTableTest, QueryColumnsGivesCurrentSetOrEveryIdOnceInFirstSeenOrder) {
  MemRow first, second;
  first.values = {{PR_SUBJECT_A, MakeString8("s")}, {PR_MESSAGE_SIZE, MakeLong(1)}};
  second.values = {{PR_ENTRYID, MakeBinary("id")}, {PR_SUBJECT_W, MakeUnicode("t")}};
  Open({first, second}, {PR_ENTRYID});

  EXPECT_EQ(Columns(0), (std::vector<ULONG>{PR_ENTRYID}));
  EXPECT_EQ(Columns(TBL_ALL_COLUMNS),
            (std::vector<ULONG>{PR_SUBJECT_A, PR_MESSAGE_SIZE, PR_ENTRYID}));
  TagList cols{PR_MESSAGE_SIZE, PR_SUBJECT_W};
  ASSERT_EQ(table_->SetColumns(cols.get(), 0), S_OK);
  EXPECT_EQ(Columns(0), (std::vector<ULONG>{PR_MESSAGE_SIZE, PR_SUBJECT_W}));
}

TEST_F(MemTableTest, RestrictFiltersRowsRewindsAndNullClears) {
  LongRes larger(RELOP_GT, PR_MESSAGE_SIZE, 25);
  Seek(BOOKMARK_BEGINNING, 2);
  ASSERT_EQ(table_->Restrict(&larger.res, 0), S_OK);
  larger.value.Value.l = 0;  // the table keeps its own copy
  EXPECT_EQ(Count(), 3u);
  EXPECT_EQ(Position(), 0u);
  EXPECT_EQ(Next(10), (Names{"c", "d", "e"}));

  ASSERT_EQ(table_->Restrict(nullptr, 0), S_OK);
  EXPECT_EQ(Count(), 5u);
}

TEST_F(MemTableTest, SortIsStableByEachKeyAndSurvivesARestriction) {
  auto row = [](const std::string& name, int32_t importance, const std::string& subject) {
    MemRow r = Row(name, 0);
    r.values.emplace_back(PR_IMPORTANCE, MakeLong(importance));
    if (!subject.empty()) r.values.emplace_back(PR_SUBJECT_A, MakeString8(subject));
    return r;
  };
  Open({row("r1", 1, "b"), row("r2", 2, "a"), row("r3", 1, "A"), row("r4", 0, ""),
        row("r5", 2, "c")});

  SortKeys by_importance{{PR_IMPORTANCE, TABLE_SORT_ASCEND}};
  ASSERT_EQ(table_->SortTable(by_importance.get(), 0), S_OK);
  EXPECT_EQ(Next(10), (Names{"r4", "r1", "r3", "r2", "r5"}));

  // Descending importance, then subject ignoring case; r4 has no subject.
  SortKeys two_keys{{PR_IMPORTANCE, TABLE_SORT_DESCEND}, {PR_SUBJECT_A, TABLE_SORT_ASCEND}};
  ASSERT_EQ(table_->SortTable(two_keys.get(), 0), S_OK);
  EXPECT_EQ(Next(10), (Names{"r2", "r5", "r3", "r1", "r4"}));

  SortKeys by_subject{{PR_SUBJECT_A, TABLE_SORT_ASCEND}};
  ASSERT_EQ(table_->SortTable(by_subject.get(), 0), S_OK);
  EXPECT_EQ(Next(10), (Names{"r4", "r2", "r3", "r1", "r5"}));
  LongRes important(RELOP_GE, PR_IMPORTANCE, 1);
  ASSERT_EQ(table_->Restrict(&important.res, 0), S_OK);
  EXPECT_EQ(Next(10), (Names{"r2", "r3", "r1", "r5"}));
}

TEST_F(MemTableTest, AnEmptyTableAnswersEveryCall) {
  Open({});
  EXPECT_EQ(Count(), 0u);
  EXPECT_EQ(Next(5), Names{});
  EXPECT_EQ(Seek(BOOKMARK_CURRENT, -1), 0);
  ULONG row = 1, num = 1, denom = 0;
  ASSERT_EQ(table_->QueryPosition(&row, &num, &denom), S_OK);
  EXPECT_EQ(num, 0u);
  EXPECT_NE(denom, 0u);
  EXPECT_TRUE(Columns(TBL_ALL_COLUMNS).empty());
}

}  // namespace
}  // namespace zuvstore
