// Tests of the contents and hierarchy tables over a real database: paging,
// restriction, seeking, counting, value cuts, and the table notifications an
// advise sink receives for changes made on other threads.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com.h"
#include "entryid.h"
#include "mapi/mapitags.h"
#include "mapi/mapix.h"
#include "model.h"
#include "notify.h"
#include "store_context.h"
#include "tables.h"

namespace zuvstore {
namespace {

constexpr auto kDeadline = std::chrono::seconds(10);

// A tag array in MAPI's layout.
struct Tags {
  Tags(std::initializer_list<ULONG> tags) : buf{static_cast<ULONG>(tags.size())} {
    buf.insert(buf.end(), tags.begin(), tags.end());
  }
  LPSPropTagArray get() { return reinterpret_cast<LPSPropTagArray>(buf.data()); }
  std::vector<ULONG> buf;
};

// RES_PROPERTY on PR_IMPORTANCE.
struct ImportanceIs {
  explicit ImportanceIs(LONG v) {
    value.ulPropTag = PR_IMPORTANCE;
    value.Value.l = v;
    res.rt = RES_PROPERTY;
    res.res.resProperty = {RELOP_EQ, PR_IMPORTANCE, &value};
  }
  SPropValue value{};
  SRestriction res{};
};

// One table notification, copied out of OnNotify.
struct Seen {
  ULONG event = 0;
  int64_t id = 0;  // from propIndex
  std::vector<ULONG> tags;
  std::string subject;
};

// An advise sink on the stack: Release never deletes, refs() shows what
// the store holds. hook runs first in every OnNotify.
class RecordingSink final : public IMAPIAdviseSink {
 public:
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }
  ULONG OnNotify(ULONG count, LPNOTIFICATION notes) override {
    if (hook) hook();
    std::lock_guard<std::mutex> lock(mu_);
    ++calls_;
    for (ULONG i = 0; i < count; ++i) {
      const TABLE_NOTIFICATION& tab = notes[i].info.tab;
      EXPECT_EQ(tab.propIndex.ulPropTag, PR_INSTANCE_KEY);
      Seen s;
      s.event = tab.ulTableEvent;
      if (tab.propIndex.Value.bin.cb == 8) std::memcpy(&s.id, tab.propIndex.Value.bin.lpb, 8);
      for (ULONG c = 0; c < tab.row.cValues; ++c) {
        s.tags.push_back(tab.row.lpProps[c].ulPropTag);
        if (s.tags.back() == PR_SUBJECT_A) s.subject = tab.row.lpProps[c].Value.lpszA;
      }
      seen_.push_back(s);
    }
    cv_.notify_all();
    return 0;
  }
  // What arrived, once there are n (what there is after the deadline).
  std::vector<Seen> WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, kDeadline, [&] { return seen_.size() >= n; });
    return seen_;
  }
  int calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  ULONG refs() const { return refs_.load(); }

  std::function<void()> hook;  // set before Advise

 private:
  std::atomic<ULONG> refs_{1};
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Seen> seen_;  // guarded by mu_
  int calls_ = 0;           // guarded by mu_
};

// A one-shot gate with a deadline.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kDeadline, [&] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;  // guarded by mu_
};

class StoreTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv_tables_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::string err;
    ASSERT_EQ(Db::Open(dir_ + "/store.db", &db_, &err), S_OK) << err;
    store_ = std::make_shared<StoreContext>();
    store_->db = db_;
    store_->info.id = 1;
    store_->info.guid = NewGuid();
    store_->notifier = Notifier::For(db_);
    folder_ = AddFolder(0, "Inbox");
  }
  void TearDown() override {
    store_.reset();
    db_.reset();
    std::filesystem::remove_all(dir_);
  }

  // Runs fn in a write transaction on a thread of its own, as another
  // session would.
  void Write(const std::function<HRESULT(WriteTxn&)>& fn) {
    std::thread writer([&] {
      std::string err;
      EXPECT_EQ(db_->Write(fn, &err), S_OK) << err;
    });
    writer.join();
  }

  int64_t AddFolder(int64_t parent, const std::string& name) {
    FolderRecord rec;
    rec.store_id = 1;
    rec.parent_id = parent;
    rec.props[PROP_ID(PR_DISPLAY_NAME_A)] = MakeString8(name);
    Write([&](WriteTxn& txn) { return InsertFolder(txn, &rec); });
    return rec.id;
  }

  // Messages with subjects subjects[i] and importance i % 3.
  std::vector<int64_t> Add(const std::vector<std::string>& subjects, int64_t folder = 0) {
    std::vector<int64_t> ids;
    Write([&](WriteTxn& txn) {
      for (size_t i = 0; i < subjects.size(); ++i) {
        MessageRecord rec;
        rec.store_id = 1;
        rec.folder_id = folder != 0 ? folder : folder_;
        rec.props[PROP_ID(PR_SUBJECT_A)] = MakeString8(subjects[i]);
        rec.props[PROP_ID(PR_IMPORTANCE)] = MakeLong(static_cast<int32_t>(i % 3));
        HRESULT hr = SaveMessageRecord(txn, &rec);
        if (FAILED(hr)) return hr;
        ids.push_back(rec.id);
      }
      return S_OK;
    });
    return ids;
  }
  // "m0".."m<n-1>".
  void AddMany(int n) {
    std::vector<std::string> subjects;
    for (int i = 0; i < n; ++i) subjects.push_back("m" + std::to_string(i));
    Add(subjects);
  }

  void Modify(int64_t id, uint16_t prop_id, StoredProp value) {
    Write([&](WriteTxn& txn) {
      MessageRecord rec;
      HRESULT hr = LoadMessage(txn.conn(), id, &rec);
      if (FAILED(hr)) return hr;
      rec.props[prop_id] = value;
      return SaveMessageRecord(txn, &rec);
    });
  }

  ComPtr<IMAPITable> Contents(Tags columns = {PR_SUBJECT_A}) {
    ComPtr<IMAPITable> table;
    EXPECT_EQ(CreateContentsTable(store_, folder_, 0, table.put()), S_OK);
    if (table) EXPECT_EQ(table->SetColumns(columns.get(), 0), S_OK);
    return table;
  }

  // The first column of the next n rows, as text.
  static std::vector<std::string> Next(IMAPITable* table, LONG n, ULONG flags = 0) {
    LPSRowSet rows = nullptr;
    EXPECT_EQ(table->QueryRows(n, flags, &rows), S_OK);
    std::vector<std::string> out;
    for (ULONG i = 0; rows != nullptr && i < rows->cRows; ++i) {
      const SPropValue& v = rows->aRow[i].lpProps[0];
      out.push_back(PROP_TYPE(v.ulPropTag) == PT_STRING8 ? v.Value.lpszA : "<other>");
    }
    FreeProws(rows);
    return out;
  }
  static ULONG Count(IMAPITable* table) {
    ULONG n = 0;
    EXPECT_EQ(table->GetRowCount(0, &n), S_OK);
    return n;
  }
  static LONG Seek(IMAPITable* table, BOOKMARK origin, LONG n) {
    LONG sought = 12345;
    EXPECT_EQ(table->SeekRow(origin, n, &sought), S_OK);
    return sought;
  }

  std::string dir_;
  std::shared_ptr<Db> db_;
  std::shared_ptr<StoreContext> store_;
  int64_t folder_ = 0;
};

// ---- Reading ----

TEST_F(StoreTableTest, PagesAFolderInBatches) {
  AddMany(3000);
  ComPtr<IMAPITable> table = Contents();
  EXPECT_EQ(Count(table.get()), 3000u);
  std::vector<std::string> all;
  std::vector<size_t> batches;
  for (std::vector<std::string> b; !(b = Next(table.get(), 1024)).empty();) {
    batches.push_back(b.size());
    all.insert(all.end(), b.begin(), b.end());
  }
  EXPECT_EQ(batches, (std::vector<size_t>{1024, 1024, 952}));
  ASSERT_EQ(all.size(), 3000u);
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(all[i], "m" + std::to_string(i));
  // A row added after the cursor reached the end is read next.
  Add({"late"});
  EXPECT_EQ(Next(table.get(), 10), std::vector<std::string>{"late"});
}

TEST_F(StoreTableTest, ColumnValues) {
  const int64_t id = Add({"hello"})[0];
  ComPtr<IMAPITable> table =
      Contents({PR_ENTRYID, PR_INSTANCE_KEY, PR_SUBJECT_W, PR_BODY_A, PR_OBJECT_TYPE,
                PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_SUBJECT)), PR_IMPORTANCE});
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  const SPropValue* v = rows->aRow[0].lpProps;
  auto bin = [](const SPropValue& p) {
    return std::string(reinterpret_cast<char*>(p.Value.bin.lpb), p.Value.bin.cb);
  };
  EXPECT_EQ(bin(v[0]), MakeObjectEntryId(ObjKind::kMessage, store_->info.guid, id));
  EXPECT_EQ(bin(v[1]), InstanceKey(id));
  EXPECT_EQ(std::u16string(v[2].Value.lpszW), u"hello");  // 8-bit kept, Unicode asked
  EXPECT_EQ(v[3].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_BODY_A)));
  EXPECT_EQ(v[3].Value.err, MAPI_E_NOT_FOUND);
  EXPECT_EQ(v[4].Value.l, static_cast<LONG>(MAPI_MESSAGE));
  EXPECT_EQ(v[5].ulPropTag, PR_SUBJECT_A);  // PT_UNSPECIFIED: the kept type
  EXPECT_EQ(v[6].ulPropTag, PR_IMPORTANCE);
  FreeProws(rows);

  // TBL_ALL_COLUMNS: the defaults, then the other tags the rows keep.
  Modify(id, 0x8001, MakeString8("custom"));
  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(table->QueryColumns(TBL_ALL_COLUMNS, &tags), S_OK);
  std::vector<ULONG> all(tags->aulPropTag, tags->aulPropTag + tags->cValues);
  MAPIFreeBuffer(tags);
  ASSERT_GT(all.size(), 2u);
  EXPECT_EQ(all[0], PR_ENTRYID);
  EXPECT_EQ(all.back(), PROP_TAG(PT_STRING8, 0x8001));
  EXPECT_EQ(std::count(all.begin(), all.end(), PR_SUBJECT_A), 1);
}

TEST_F(StoreTableTest, StringsAreCutTo255Characters) {
  std::string wide;
  for (int i = 0; i < 400; ++i) wide += "\xC3\xA9";  // U+00E9, two bytes each
  // 5000 characters are kept out of line.
  Add({std::string(254, 'a'), std::string(255, 'b'), std::string(5000, 'c'), wide});
  MessageRecord rec;
  rec.store_id = 1;
  rec.folder_id = folder_;
  rec.props[PROP_ID(PR_RTF_COMPRESSED)] = MakeBinary(std::string(3000, 'z'));
  Write([&](WriteTxn& txn) { return SaveMessageRecord(txn, &rec); });

  ComPtr<IMAPITable> table = Contents({PR_SUBJECT_A, PR_SUBJECT_W, PR_RTF_COMPRESSED});
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 5u);
  const size_t lengths[] = {254, 255, 255};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(std::strlen(rows->aRow[i].lpProps[0].Value.lpszA), lengths[i]) << i;
    EXPECT_EQ(std::u16string(rows->aRow[i].lpProps[1].Value.lpszW).size(), lengths[i]) << i;
  }
  // Characters, not bytes.
  EXPECT_EQ(std::string(rows->aRow[3].lpProps[0].Value.lpszA), wide.substr(0, 510));
  EXPECT_EQ(std::u16string(rows->aRow[3].lpProps[1].Value.lpszW), std::u16string(255, u'\u00E9'));
  // A binary comes back whole, even when kept out of line.
  EXPECT_EQ(rows->aRow[4].lpProps[2].Value.bin.cb, 3000u);
  FreeProws(rows);
}

TEST_F(StoreTableTest, RestrictionFiltersRowsAndCount) {
  AddMany(3000);
  ComPtr<IMAPITable> table = Contents();
  Next(table.get(), 5);
  ImportanceIs two(2);
  ASSERT_EQ(table->Restrict(&two.res, 0), S_OK);
  EXPECT_EQ(Count(table.get()), 1000u);
  EXPECT_EQ(Next(table.get(), 3), (std::vector<std::string>{"m2", "m5", "m8"}));  // from the start
  size_t total = 3;
  for (std::vector<std::string> b; !(b = Next(table.get(), 400)).empty();) total += b.size();
  EXPECT_EQ(total, 1000u);

  // Computed properties restrict too.
  SPropValue type{PR_OBJECT_TYPE, 0, {}};
  type.Value.l = MAPI_FOLDER;
  SRestriction folders{RES_PROPERTY, {}};
  folders.res.resProperty = {RELOP_EQ, PR_OBJECT_TYPE, &type};
  ASSERT_EQ(table->Restrict(&folders, 0), S_OK);
  EXPECT_EQ(Count(table.get()), 0u);
  EXPECT_TRUE(Next(table.get(), 10).empty());

  ASSERT_EQ(table->Restrict(nullptr, 0), S_OK);
  EXPECT_EQ(Count(table.get()), 3000u);
  SRestriction broken{RES_AND, {}};
  broken.res.resAnd = {2, nullptr};
  EXPECT_EQ(table->Restrict(&broken, 0), MAPI_E_INVALID_PARAMETER);
}

TEST_F(StoreTableTest, SeekMovesByRows) {
  AddMany(100);
  ComPtr<IMAPITable> table = Contents();
  EXPECT_EQ(Seek(table.get(), BOOKMARK_BEGINNING, 10), 10);
  EXPECT_EQ(Next(table.get(), 1), std::vector<std::string>{"m10"});
  EXPECT_EQ(Seek(table.get(), BOOKMARK_CURRENT, -6), -6);
  EXPECT_EQ(Next(table.get(), 1), std::vector<std::string>{"m5"});
  EXPECT_EQ(Seek(table.get(), BOOKMARK_END, -2), -2);
  EXPECT_EQ(Next(table.get(), 5), (std::vector<std::string>{"m98", "m99"}));
  EXPECT_EQ(Seek(table.get(), BOOKMARK_BEGINNING, 500), 100);   // stops at the end
  EXPECT_EQ(Seek(table.get(), BOOKMARK_CURRENT, -1000), -100);  // and at the start
  EXPECT_EQ(Next(table.get(), 2, TBL_NOADVANCE), (std::vector<std::string>{"m0", "m1"}));
  EXPECT_EQ(Next(table.get(), 2), (std::vector<std::string>{"m0", "m1"}));
  EXPECT_EQ(Next(table.get(), -2), (std::vector<std::string>{"m0", "m1"}));  // backwards
  EXPECT_EQ(Next(table.get(), 1), std::vector<std::string>{"m0"});
  EXPECT_EQ(table->SeekRow(7, 0, nullptr), MAPI_E_INVALID_BOOKMARK);

  // With a restriction only the rows that pass count.
  ImportanceIs zero(0);
  ASSERT_EQ(table->Restrict(&zero.res, 0), S_OK);
  EXPECT_EQ(Seek(table.get(), BOOKMARK_BEGINNING, 3), 3);
  EXPECT_EQ(Next(table.get(), 1), std::vector<std::string>{"m9"});
  EXPECT_EQ(Seek(table.get(), BOOKMARK_END, -1), -1);
  EXPECT_EQ(Next(table.get(), 5), std::vector<std::string>{"m99"});
}

TEST_F(StoreTableTest, HierarchyListsChildrenOrTheSubtree) {
  const int64_t a = AddFolder(folder_, "a");
  const int64_t b = AddFolder(folder_, "b");
  AddFolder(a, "a1");
  AddFolder(b, "b1");
  Add({"in a"}, a);
  auto rows = [&](ULONG flags) {
    ComPtr<IMAPITable> table;
    EXPECT_EQ(CreateHierarchyTable(store_, folder_, flags, table.put()), S_OK);
    Tags cols{PR_DISPLAY_NAME_A, PR_DEPTH, PR_CONTENT_COUNT};
    EXPECT_EQ(table->SetColumns(cols.get(), 0), S_OK);
    LPSRowSet set = nullptr;
    EXPECT_EQ(table->QueryRows(100, 0, &set), S_OK);
    std::vector<std::string> out;
    for (ULONG i = 0; i < set->cRows; ++i) {
      const SPropValue* v = set->aRow[i].lpProps;
      out.push_back(std::string(v[0].Value.lpszA) + "/" + std::to_string(v[1].Value.l) + "/" +
                    std::to_string(v[2].Value.l));
    }
    FreeProws(set);
    RecordingSink sink;
    ULONG connection = 0;
    EXPECT_EQ(table->Advise(fnevTableModified, &sink, &connection), MAPI_E_NO_SUPPORT);
    return out;
  };
  EXPECT_EQ(rows(0), (std::vector<std::string>{"a/1/1", "b/1/0"}));
  EXPECT_EQ(rows(CONVENIENT_DEPTH),
            (std::vector<std::string>{"a/1/1", "a1/2/0", "b/1/0", "b1/2/0"}));

  ComPtr<IMAPITable> table;
  EXPECT_EQ(CreateHierarchyTable(store_, folder_ + 1000, 0, table.put()), MAPI_E_NOT_FOUND);
  EXPECT_EQ(CreateContentsTable(store_, folder_ + 1000, 0, table.put()), MAPI_E_NOT_FOUND);
}

// ---- Notifications ----

class StoreTableNotifyTest : public StoreTableTest {
 protected:
  void SetUp() override {
    StoreTableTest::SetUp();
    table_ = Contents({PR_SUBJECT_A, PR_INSTANCE_KEY});
  }
  void Advise() { ASSERT_EQ(table_->Advise(fnevTableModified, &sink_, &connection_), S_OK); }

  RecordingSink sink_;  // outlives table_
  ComPtr<IMAPITable> table_;
  ULONG connection_ = 0;
};

TEST_F(StoreTableNotifyTest, AddModifyDeleteFromAnotherThread) {
  Advise();
  EXPECT_EQ(sink_.refs(), 2u);  // the table holds one
  Add({"elsewhere"}, AddFolder(folder_, "other"));
  const int64_t id = Add({"first"})[0];
  sink_.WaitFor(1);
  Modify(id, PROP_ID(PR_SUBJECT_A), MakeString8("second"));
  sink_.WaitFor(2);
  Tags other{PR_IMPORTANCE};  // later rows follow the new columns
  ASSERT_EQ(table_->SetColumns(other.get(), 0), S_OK);
  Add({"x", "y"});  // one transaction, one call
  Write([&](WriteTxn& txn) { return DeleteMessageRecord(txn, id); });

  std::vector<Seen> seen = sink_.WaitFor(5);
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].event, TABLE_ROW_ADDED);
  EXPECT_EQ(seen[0].id, id);
  EXPECT_EQ(seen[0].tags, (std::vector<ULONG>{PR_SUBJECT_A, PR_INSTANCE_KEY}));
  EXPECT_EQ(seen[0].subject, "first");
  EXPECT_EQ(seen[1].event, TABLE_ROW_MODIFIED);
  EXPECT_EQ(seen[1].subject, "second");
  EXPECT_EQ(seen[3].tags, std::vector<ULONG>{PR_IMPORTANCE});
  EXPECT_EQ(seen[4].event, TABLE_ROW_DELETED);
  EXPECT_EQ(seen[4].id, id);
  EXPECT_TRUE(seen[4].tags.empty());
  EXPECT_EQ(sink_.calls(), 4);

  ASSERT_EQ(table_->Unadvise(connection_), S_OK);
  EXPECT_EQ(sink_.refs(), 1u);
  EXPECT_EQ(table_->Unadvise(connection_), MAPI_E_NOT_FOUND);
  Advise();
  table_.reset();  // releasing the table releases the sink
  EXPECT_EQ(sink_.refs(), 1u);
}

TEST_F(StoreTableNotifyTest, RestrictionDecidesTheEvent) {
  ImportanceIs high(1);
  ASSERT_EQ(table_->Restrict(&high.res, 0), S_OK);
  Advise();
  const std::vector<int64_t> ids = Add({"low", "high"});  // importance 0 and 1
  sink_.WaitFor(1);
  // Leaving the restriction reads as a deletion; entering it as a change.
  Modify(ids[1], PROP_ID(PR_IMPORTANCE), MakeLong(0));
  sink_.WaitFor(2);
  Modify(ids[0], PROP_ID(PR_IMPORTANCE), MakeLong(1));

  std::vector<Seen> seen = sink_.WaitFor(3);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].event, TABLE_ROW_ADDED);
  EXPECT_EQ(seen[0].id, ids[1]);
  EXPECT_EQ(seen[1].event, TABLE_ROW_DELETED);
  EXPECT_EQ(seen[1].id, ids[1]);
  EXPECT_TRUE(seen[1].tags.empty());
  EXPECT_EQ(seen[2].event, TABLE_ROW_MODIFIED);
  EXPECT_EQ(seen[2].id, ids[0]);
}

TEST_F(StoreTableNotifyTest, UnadviseWaitsForARunningDelivery) {
  Gate entered, release;
  std::atomic<bool> delivered{false};
  sink_.hook = [&] {
    entered.Open();
    release.Wait();
    delivered = true;
  };
  Advise();
  Add({"slow"});
  ASSERT_TRUE(entered.Wait());
  EXPECT_EQ(sink_.refs(), 3u);  // the test's, the table's and the delivery's
  std::thread unadvise([&] {
    EXPECT_EQ(table_->Unadvise(connection_), S_OK);
    EXPECT_TRUE(delivered.load());  // returned only after the delivery
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // lets Unadvise start waiting
  release.Open();
  unadvise.join();
  EXPECT_EQ(sink_.refs(), 1u);
}

TEST_F(StoreTableNotifyTest, UnadviseAndReleaseFromInsideOnNotify) {
  Gate done;
  sink_.hook = [&] {
    EXPECT_EQ(table_->Unadvise(connection_), S_OK);
    table_.reset();  // the last reference, on the notifier thread
    done.Open();
  };
  Advise();
  Add({"one"});
  ASSERT_TRUE(done.Wait());
  sink_.WaitFor(1);

  // A later change reaches another table's sink but not this one.
  RecordingSink witness;
  ComPtr<IMAPITable> other = Contents();
  ULONG other_connection = 0;
  ASSERT_EQ(other->Advise(fnevTableModified, &witness, &other_connection), S_OK);
  Add({"two"});
  ASSERT_EQ(witness.WaitFor(1).size(), 1u);
  EXPECT_EQ(sink_.calls(), 1);
  EXPECT_EQ(sink_.refs(), 1u);  // the delivery's reference went with it
  other.reset();
}

}  // namespace
}  // namespace zuvstore
