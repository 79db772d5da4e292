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
constexpr ULONG PR_CUSTOM_TEXT = PROP_TAG(PT_STRING8, 0x8001);

// A tag array in MAPI's layout.
class TagList {
 public:
  TagList(std::initializer_list<ULONG> tags) : buf_{static_cast<ULONG>(tags.size())} {
    buf_.insert(buf_.end(), tags.begin(), tags.end());
  }
  LPSPropTagArray get() { return reinterpret_cast<LPSPropTagArray>(buf_.data()); }

 private:
  std::vector<ULONG> buf_;
};

// PR_IMPORTANCE relop value.
struct ImportanceIs {
  explicit ImportanceIs(LONG v, ULONG relop = RELOP_EQ) {
    value.ulPropTag = PR_IMPORTANCE;
    value.Value.l = v;
    res.rt = RES_PROPERTY;
    res.res.resProperty = {relop, PR_IMPORTANCE, &value};
  }
  SPropValue value{};
  SRestriction res{};
};

// One table notification, copied out of the OnNotify call.
struct Seen {
  ULONG event = 0;
  int64_t id = 0;           // from propIndex
  std::vector<ULONG> tags;  // the row's tags, in order
  std::string subject;      // PR_SUBJECT_A when the row has it
};

// An advise sink that records what it receives. Lives on the stack: Release
// never deletes, and the test reads the count to check the references.
class RecordingSink final : public IMAPIAdviseSink {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (SameIid(riid, IID_IUnknown) || SameIid(riid, IID_IMAPIAdviseSink)) {
      AddRef();
      *ppv = this;
      return S_OK;
    }
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
      EXPECT_EQ(notes[i].ulEventType, fnevTableModified);
      EXPECT_EQ(tab.propIndex.ulPropTag, PR_INSTANCE_KEY);
      Seen s;
      s.event = tab.ulTableEvent;
      if (tab.propIndex.Value.bin.cb == 8) std::memcpy(&s.id, tab.propIndex.Value.bin.lpb, 8);
      for (ULONG c = 0; c < tab.row.cValues; ++c) {
        s.tags.push_back(tab.row.lpProps[c].ulPropTag);
        if (tab.row.lpProps[c].ulPropTag == PR_SUBJECT_A)
          s.subject = tab.row.lpProps[c].Value.lpszA;
      }
      seen_.push_back(s);
    }
    cv_.notify_all();
    return 0;
  }

  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kDeadline, [&] { return seen_.size() >= n; });
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }
  int calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  ULONG refs() const { return refs_.load(); }

  std::function<void()> hook;  // runs at the start of OnNotify; set before Advise

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

  void Write(const std::function<HRESULT(WriteTxn&)>& fn) {
    std::string err;
    ASSERT_EQ(db_->Write(fn, &err), S_OK) << err;
  }

  int64_t AddFolder(int64_t parent, const std::string& name) {
    FolderRecord rec;
    rec.store_id = store_->info.id;
    rec.parent_id = parent;
    rec.props[PROP_ID(PR_DISPLAY_NAME_A)] = MakeString8(name);
    Write([&](WriteTxn& txn) { return InsertFolder(txn, &rec); });
    return rec.id;
  }

  static MessageRecord NewMessage(int64_t folder, const std::string& subject, int32_t importance) {
    MessageRecord rec;
    rec.store_id = 1;
    rec.folder_id = folder;
    rec.props[PROP_ID(PR_SUBJECT_A)] = MakeString8(subject);
    rec.props[PROP_ID(PR_IMPORTANCE)] = MakeLong(importance);
    return rec;
  }

  int64_t AddMessage(const std::string& subject, int32_t importance = 1, int64_t folder = 0) {
    MessageRecord rec = NewMessage(folder != 0 ? folder : folder_, subject, importance);
    Write([&](WriteTxn& txn) { return SaveMessageRecord(txn, &rec); });
    return rec.id;
  }

  // Subjects "m0".."m<n-1>", importance i % 3, in one transaction.
  void AddMany(int n) {
    Write([&](WriteTxn& txn) {
      for (int i = 0; i < n; ++i) {
        MessageRecord rec = NewMessage(folder_, "m" + std::to_string(i), i % 3);
        HRESULT hr = SaveMessageRecord(txn, &rec);
        if (FAILED(hr)) return hr;
      }
      return S_OK;
    });
  }

  void Modify(int64_t id, const std::function<void(MessageRecord&)>& change) {
    Write([&](WriteTxn& txn) {
      MessageRecord rec;
      HRESULT hr = LoadMessage(txn.conn(), id, &rec);
      if (FAILED(hr)) return hr;
      change(rec);
      return SaveMessageRecord(txn, &rec);
    });
  }

  void Delete(int64_t id) {
    Write([&](WriteTxn& txn) { return DeleteMessageRecord(txn, id); });
  }

  // Runs fn on a thread of its own, as another session would.
  static void OnOtherThread(const std::function<void()>& fn) {
    std::thread t(fn);
    t.join();
  }

  ComPtr<IMAPITable> Contents(ULONG flags = 0) {
    ComPtr<IMAPITable> table;
    EXPECT_EQ(CreateContentsTable(store_, folder_, flags, table.put()), S_OK);
    return table;
  }

  // The subjects of the next n rows (column 0 must be PR_SUBJECT_A).
  static std::vector<std::string> Next(IMAPITable* table, LONG n, ULONG flags = 0) {
    LPSRowSet rows = nullptr;
    EXPECT_EQ(table->QueryRows(n, flags, &rows), S_OK);
    std::vector<std::string> out;
    for (ULONG i = 0; rows != nullptr && i < rows->cRows; ++i) {
      const SPropValue& v = rows->aRow[i].lpProps[0];
      out.push_back(v.ulPropTag == PR_SUBJECT_A ? v.Value.lpszA : "<missing>");
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
  TagList cols{PR_SUBJECT_A, PR_INSTANCE_KEY};
  ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
  EXPECT_EQ(Count(table.get()), 3000u);

  std::vector<std::string> all;
  std::vector<size_t> batches;
  for (;;) {
    std::vector<std::string> batch = Next(table.get(), 1024);
    if (batch.empty()) break;
    batches.push_back(batch.size());
    all.insert(all.end(), batch.begin(), batch.end());
  }
  EXPECT_EQ(batches, (std::vector<size_t>{1024, 1024, 952}));
  ASSERT_EQ(all.size(), 3000u);
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(all[i], "m" + std::to_string(i));

  // A row added at the end after paging is found by the next read.
  AddMessage("late");
  EXPECT_EQ(Next(table.get(), 10), std::vector<std::string>{"late"});
}

TEST_F(StoreTableTest, ColumnsCarryComputedAndStoredValues) {
  const int64_t id = AddMessage("hello", 2);
  ComPtr<IMAPITable> table = Contents();
  TagList cols{PR_ENTRYID,
               PR_INSTANCE_KEY,
               PR_SUBJECT_W,
               PR_IMPORTANCE,
               PR_BODY_A,
               PR_OBJECT_TYPE,
               PR_MESSAGE_SIZE,
               PR_LONGTERM_ENTRYID_FROM_TABLE,
               PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_SUBJECT))};
  ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  const SPropValue* v = rows->aRow[0].lpProps;
  ASSERT_EQ(rows->aRow[0].cValues, 9u);

  const std::string entry_id = MakeObjectEntryId(ObjKind::kMessage, store_->info.guid, id);
  EXPECT_EQ(v[0].ulPropTag, PR_ENTRYID);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(v[0].Value.bin.lpb), v[0].Value.bin.cb), entry_id);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(v[1].Value.bin.lpb), v[1].Value.bin.cb),
            InstanceKey(id));
  EXPECT_EQ(v[2].ulPropTag, PR_SUBJECT_W);  // stored as 8-bit, asked as Unicode
  EXPECT_EQ(std::u16string(v[2].Value.lpszW), u"hello");
  EXPECT_EQ(v[3].Value.l, 2);
  EXPECT_EQ(v[4].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_BODY_A)));  // missing
  EXPECT_EQ(v[4].Value.err, MAPI_E_NOT_FOUND);
  EXPECT_EQ(v[5].Value.l, static_cast<LONG>(MAPI_MESSAGE));
  EXPECT_EQ(v[6].ulPropTag, PR_MESSAGE_SIZE);
  EXPECT_EQ(v[7].ulPropTag, PR_LONGTERM_ENTRYID_FROM_TABLE);
  EXPECT_EQ(v[8].ulPropTag, PR_SUBJECT_A);  // PT_UNSPECIFIED: the stored type
  FreeProws(rows);
}

TEST_F(StoreTableTest, StringsAreCutTo255Characters) {
  AddMessage(std::string(254, 'a'));
  AddMessage(std::string(255, 'b'));
  AddMessage(std::string(300, 'c'));
  AddMessage(std::string(5000, 'd'));  // kept out of line
  std::string wide;
  for (int i = 0; i < 400; ++i) wide += "\xC3\xA9";  // U+00E9, two bytes each
  AddMessage(wide);

  ComPtr<IMAPITable> table = Contents();
  TagList cols{PR_SUBJECT_A, PR_SUBJECT_W};
  ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 5u);
  const size_t expect_len[] = {254, 255, 255, 255};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(std::strlen(rows->aRow[i].lpProps[0].Value.lpszA), expect_len[i]) << "row " << i;
    EXPECT_EQ(std::u16string(rows->aRow[i].lpProps[1].Value.lpszW).size(), expect_len[i]);
  }
  // Characters, not bytes.
  EXPECT_EQ(std::u16string(rows->aRow[4].lpProps[1].Value.lpszW), std::u16string(255, u'\u00E9'));
  EXPECT_EQ(std::string(rows->aRow[4].lpProps[0].Value.lpszA), wide.substr(0, 510));
  FreeProws(rows);
}

TEST_F(StoreTableTest, LargeBinaryComesBackWhole) {
  const std::string big(3000, '\x5A');
  MessageRecord rec = NewMessage(folder_, "bin", 1);
  rec.props[PROP_ID(PR_RTF_COMPRESSED)] = MakeBinary(big);
  Write([&](WriteTxn& txn) { return SaveMessageRecord(txn, &rec); });
  ComPtr<IMAPITable> table = Contents();
  TagList cols{PR_RTF_COMPRESSED};
  ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(1, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  EXPECT_EQ(rows->aRow[0].lpProps[0].Value.bin.cb, big.size());
  FreeProws(rows);
}

TEST_F(StoreTableTest, RestrictionFiltersRowsAndCount) {
  AddMany(3000);
  ComPtr<IMAPITable> table = Contents();
  TagList cols{PR_SUBJECT_A, PR_IMPORTANCE};
  ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
  Next(table.get(), 5);

  ImportanceIs two(2);
  ASSERT_EQ(table->Restrict(&two.res, 0), S_OK);
  EXPECT_EQ(Count(table.get()), 1000u);
  // Restrict goes back to the first row.
  EXPECT_EQ(Next(table.get(), 3), (std::vector<std::string>{"m2", "m5", "m8"}));
  size_t total = 3;
  for (std::vector<std::string> batch; !(batch = Next(table.get(), 400)).empty();)
    total += batch.size();
  EXPECT_EQ(total, 1000u);

  // A computed property restricts too.
  SPropValue type{};
  type.ulPropTag = PR_OBJECT_TYPE;
  type.Value.l = MAPI_FOLDER;
  SRestriction no_rows{};
  no_rows.rt = RES_PROPERTY;
  no_rows.res.resProperty = {RELOP_EQ, PR_OBJECT_TYPE, &type};
  ASSERT_EQ(table->Restrict(&no_rows, 0), S_OK);
  EXPECT_EQ(Count(table.get()), 0u);
  EXPECT_TRUE(Next(table.get(), 10).empty());

  ASSERT_EQ(table->Restrict(nullptr, 0), S_OK);
  EXPECT_EQ(Count(table.get()), 3000u);

  SRestriction broken{};
  broken.rt = RES_AND;
  broken.res.resAnd = {2, nullptr};
  EXPECT_EQ(table->Restrict(&broken, 0), MAPI_E_INVALID_PARAMETER);
}

TEST_F(StoreTableTest, SeekMovesByRows) {
  AddMany(100);
  ComPtr<IMAPITable> table = Contents();
  TagList cols{PR_SUBJECT_A};
  ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);

  EXPECT_EQ(Seek(table.get(), BOOKMARK_BEGINNING, 10), 10);
  EXPECT_EQ(Next(table.get(), 1), std::vector<std::string>{"m10"});
  EXPECT_EQ(Seek(table.get(), BOOKMARK_CURRENT, -6), -6);
  EXPECT_EQ(Next(table.get(), 1), std::vector<std::string>{"m5"});
  EXPECT_EQ(Seek(table.get(), BOOKMARK_CURRENT, 20), 20);
  EXPECT_EQ(Next(table.get(), 1), std::vector<std::string>{"m26"});
  EXPECT_EQ(Seek(table.get(), BOOKMARK_END, -2), -2);
  EXPECT_EQ(Next(table.get(), 5), (std::vector<std::string>{"m98", "m99"}));
  EXPECT_EQ(Seek(table.get(), BOOKMARK_BEGINNING, 500), 100);  // stops at the end
  EXPECT_TRUE(Next(table.get(), 5).empty());
  EXPECT_EQ(Seek(table.get(), BOOKMARK_CURRENT, -1000), -100);  // stops at the start
  EXPECT_EQ(Next(table.get(), 1), std::vector<std::string>{"m0"});

  // Reading without advancing, and backwards.
  EXPECT_EQ(Next(table.get(), 2, TBL_NOADVANCE), (std::vector<std::string>{"m1", "m2"}));
  EXPECT_EQ(Next(table.get(), 1), std::vector<std::string>{"m1"});
  EXPECT_EQ(Next(table.get(), -2), (std::vector<std::string>{"m0", "m1"}));
  EXPECT_EQ(Next(table.get(), 1), std::vector<std::string>{"m0"});

  ULONG row = 0, num = 0, den = 0;
  ASSERT_EQ(table->QueryPosition(&row, &num, &den), S_OK);
  EXPECT_EQ(row, 1u);
  EXPECT_EQ(den, 100u);
  EXPECT_EQ(table->SeekRow(7, 0, nullptr), MAPI_E_INVALID_BOOKMARK);

  // With a restriction, seeking counts only the rows that pass.
  ImportanceIs zero(0);
  ASSERT_EQ(table->Restrict(&zero.res, 0), S_OK);
  EXPECT_EQ(Seek(table.get(), BOOKMARK_BEGINNING, 3), 3);
  EXPECT_EQ(Next(table.get(), 1), std::vector<std::string>{"m9"});
  EXPECT_EQ(Seek(table.get(), BOOKMARK_END, -1), -1);
  EXPECT_EQ(Next(table.get(), 5), std::vector<std::string>{"m99"});
}

TEST_F(StoreTableTest, AssociatedMessagesHaveTheirOwnTable) {
  AddMessage("normal");
  MessageRecord fai = NewMessage(folder_, "hidden", 1);
  fai.associated = true;
  Write([&](WriteTxn& txn) { return SaveMessageRecord(txn, &fai); });
  TagList cols{PR_SUBJECT_A};
  ComPtr<IMAPITable> normal = Contents();
  ComPtr<IMAPITable> assoc = Contents(MAPI_ASSOCIATED);
  ASSERT_EQ(normal->SetColumns(cols.get(), 0), S_OK);
  ASSERT_EQ(assoc->SetColumns(cols.get(), 0), S_OK);
  EXPECT_EQ(Next(normal.get(), 10), std::vector<std::string>{"normal"});
  EXPECT_EQ(Next(assoc.get(), 10), std::vector<std::string>{"hidden"});
}

TEST_F(StoreTableTest, ColumnSets) {
  MessageRecord rec = NewMessage(folder_, "x", 1);
  rec.props[PROP_ID(PR_CUSTOM_TEXT)] = MakeString8("custom");
  Write([&](WriteTxn& txn) { return SaveMessageRecord(txn, &rec); });
  ComPtr<IMAPITable> table = Contents();

  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(table->QueryColumns(0, &tags), S_OK);
  std::vector<ULONG> defaults(tags->aulPropTag, tags->aulPropTag + tags->cValues);
  MAPIFreeBuffer(tags);
  EXPECT_NE(std::find(defaults.begin(), defaults.end(), PR_INSTANCE_KEY), defaults.end());
  EXPECT_NE(std::find(defaults.begin(), defaults.end(), PR_SUBJECT_A), defaults.end());

  // Every column: the defaults, then what the rows keep beyond them.
  ASSERT_EQ(table->QueryColumns(TBL_ALL_COLUMNS, &tags), S_OK);
  std::vector<ULONG> all(tags->aulPropTag, tags->aulPropTag + tags->cValues);
  MAPIFreeBuffer(tags);
  ASSERT_EQ(all.size(), defaults.size() + 1);
  EXPECT_EQ(all.back(), PR_CUSTOM_TEXT);

  TagList two{PR_CUSTOM_TEXT, PR_SUBJECT_A};
  ASSERT_EQ(table->SetColumns(two.get(), 0), S_OK);
  ASSERT_EQ(table->QueryColumns(0, &tags), S_OK);
  EXPECT_EQ(std::vector<ULONG>(tags->aulPropTag, tags->aulPropTag + tags->cValues),
            (std::vector<ULONG>{PR_CUSTOM_TEXT, PR_SUBJECT_A}));
  MAPIFreeBuffer(tags);
  TagList none{};
  EXPECT_EQ(table->SetColumns(none.get(), 0), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(table->SetColumns(nullptr, 0), MAPI_E_INVALID_PARAMETER);
}

TEST_F(StoreTableTest, MissingFolderIsNotFound) {
  ComPtr<IMAPITable> table;
  EXPECT_EQ(CreateContentsTable(store_, folder_ + 1000, 0, table.put()), MAPI_E_NOT_FOUND);
  EXPECT_EQ(CreateHierarchyTable(store_, folder_ + 1000, 0, table.put()), MAPI_E_NOT_FOUND);
  EXPECT_FALSE(table);
}

TEST_F(StoreTableTest, HierarchyListsChildrenOrTheSubtree) {
  const int64_t a = AddFolder(folder_, "a");
  const int64_t b = AddFolder(folder_, "b");
  AddFolder(a, "a1");
  AddFolder(b, "b1");
  AddMessage("in a", 1, a);
  TagList cols{PR_DISPLAY_NAME_A, PR_DEPTH, PR_CONTENT_COUNT, PR_SUBFOLDERS};

  auto names = [&](ULONG flags) {
    ComPtr<IMAPITable> table;
    EXPECT_EQ(CreateHierarchyTable(store_, folder_, flags, table.put()), S_OK);
    EXPECT_EQ(table->SetColumns(cols.get(), 0), S_OK);
    LPSRowSet rows = nullptr;
    EXPECT_EQ(table->QueryRows(100, 0, &rows), S_OK);
    std::vector<std::string> out;
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue* v = rows->aRow[i].lpProps;
      out.push_back(std::string(v[0].Value.lpszA) + "/" + std::to_string(v[1].Value.l) + "/" +
                    std::to_string(v[2].Value.l) + "/" + (v[3].Value.b ? "sub" : "leaf"));
    }
    FreeProws(rows);
    return out;
  };
  EXPECT_EQ(names(0), (std::vector<std::string>{"a/1/1/sub", "b/1/0/sub"}));
  EXPECT_EQ(names(CONVENIENT_DEPTH),
            (std::vector<std::string>{"a/1/1/sub", "a1/2/0/leaf", "b/1/0/sub", "b1/2/0/leaf"}));

  ComPtr<IMAPITable> table;
  ASSERT_EQ(CreateHierarchyTable(store_, folder_, CONVENIENT_DEPTH, table.put()), S_OK);
  EXPECT_EQ(Count(table.get()), 4u);
  RecordingSink sink;
  ULONG connection = 0;
  EXPECT_EQ(table->Advise(fnevTableModified, &sink, &connection), MAPI_E_NO_SUPPORT);
  EXPECT_EQ(sink.refs(), 1u);
}

// ---- Notifications ----

class StoreTableNotifyTest : public StoreTableTest {
 protected:
  void SetUp() override {
    StoreTableTest::SetUp();
    table_ = Contents();
    ASSERT_EQ(table_->SetColumns(cols_.get(), 0), S_OK);
  }
  void Advise() {
    ASSERT_EQ(table_->Advise(fnevTableModified, &sink_, &connection_), S_OK);
    ASSERT_NE(connection_, 0u);
  }

  TagList cols_{PR_SUBJECT_A, PR_INSTANCE_KEY, PR_IMPORTANCE};
  RecordingSink sink_;  // outlives table_
  ComPtr<IMAPITable> table_;
  ULONG connection_ = 0;
};

TEST_F(StoreTableNotifyTest, AddModifyDeleteFromAnotherThread) {
  Advise();
  EXPECT_EQ(sink_.refs(), 2u);  // the table holds one
  int64_t id = 0;
  OnOtherThread([&] { id = AddMessage("first"); });
  ASSERT_TRUE(sink_.WaitFor(1));
  OnOtherThread([&] {
    Modify(id, [](MessageRecord& m) { m.props[PROP_ID(PR_SUBJECT_A)] = MakeString8("second"); });
  });
  ASSERT_TRUE(sink_.WaitFor(2));
  OnOtherThread([&] { Delete(id); });
  ASSERT_TRUE(sink_.WaitFor(3));

  std::vector<Seen> seen = sink_.seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].event, TABLE_ROW_ADDED);
  EXPECT_EQ(seen[0].id, id);
  EXPECT_EQ(seen[0].tags, (std::vector<ULONG>{PR_SUBJECT_A, PR_INSTANCE_KEY, PR_IMPORTANCE}));
  EXPECT_EQ(seen[0].subject, "first");
  EXPECT_EQ(seen[1].event, TABLE_ROW_MODIFIED);
  EXPECT_EQ(seen[1].subject, "second");
  EXPECT_EQ(seen[2].event, TABLE_ROW_DELETED);
  EXPECT_EQ(seen[2].id, id);
  EXPECT_TRUE(seen[2].tags.empty());

  ASSERT_EQ(table_->Unadvise(connection_), S_OK);
  EXPECT_EQ(sink_.refs(), 1u);
  EXPECT_EQ(table_->Unadvise(connection_), MAPI_E_NOT_FOUND);
}

TEST_F(StoreTableNotifyTest, NotificationsFollowTheCurrentColumnsAndFolder) {
  Advise();
  TagList other{PR_IMPORTANCE};
  ASSERT_EQ(table_->SetColumns(other.get(), 0), S_OK);
  const int64_t elsewhere = AddFolder(folder_, "elsewhere");
  OnOtherThread([&] {
    AddMessage("not here", 1, elsewhere);
    AddMessage("here");
  });
  ASSERT_TRUE(sink_.WaitFor(1));
  std::vector<Seen> seen = sink_.seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].tags, std::vector<ULONG>{PR_IMPORTANCE});
}

TEST_F(StoreTableNotifyTest, OneCallPerTransaction) {
  Advise();
  OnOtherThread([&] { AddMany(3); });
  ASSERT_TRUE(sink_.WaitFor(3));
  EXPECT_EQ(sink_.calls(), 1);
}

TEST_F(StoreTableNotifyTest, RestrictionDecidesTheEvent) {
  ImportanceIs high(2);
  ASSERT_EQ(table_->Restrict(&high.res, 0), S_OK);
  Advise();
  int64_t passing = 0, failing = 0;
  OnOtherThread([&] {
    failing = AddMessage("low", 1);   // not announced
    passing = AddMessage("high", 2);  // added
  });
  ASSERT_TRUE(sink_.WaitFor(1));
  // Dropping out of the restriction reads as a deletion, coming in as a change.
  OnOtherThread([&] {
    Modify(passing, [](MessageRecord& m) { m.props[PROP_ID(PR_IMPORTANCE)] = MakeLong(0); });
  });
  ASSERT_TRUE(sink_.WaitFor(2));
  OnOtherThread([&] {
    Modify(failing, [](MessageRecord& m) { m.props[PROP_ID(PR_IMPORTANCE)] = MakeLong(2); });
  });
  ASSERT_TRUE(sink_.WaitFor(3));

  std::vector<Seen> seen = sink_.seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].event, TABLE_ROW_ADDED);
  EXPECT_EQ(seen[0].id, passing);
  EXPECT_EQ(seen[1].event, TABLE_ROW_DELETED);
  EXPECT_EQ(seen[1].id, passing);
  EXPECT_TRUE(seen[1].tags.empty());
  EXPECT_EQ(seen[2].event, TABLE_ROW_MODIFIED);
  EXPECT_EQ(seen[2].id, failing);
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
  OnOtherThread([&] { AddMessage("slow"); });
  ASSERT_TRUE(entered.Wait());
  EXPECT_EQ(sink_.refs(), 3u);  // the caller's, the table's and the delivery's

  std::atomic<bool> unadvised{false};
  std::thread unadvise([&] {
    EXPECT_EQ(table_->Unadvise(connection_), S_OK);
    EXPECT_TRUE(delivered.load());  // returned only after the delivery
    unadvised = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let Unadvise start waiting
  release.Open();
  unadvise.join();
  EXPECT_TRUE(unadvised.load());
  EXPECT_EQ(sink_.refs(), 1u);
}

TEST_F(StoreTableNotifyTest, UnadviseAndReleaseFromInsideOnNotify) {
  Gate done;
  sink_.hook = [&] {
    EXPECT_EQ(table_->Unadvise(connection_), S_OK);
    table_.reset();  // the last reference to the table, on the notifier thread
    done.Open();
  };
  Advise();
  OnOtherThread([&] { AddMessage("one"); });
  ASSERT_TRUE(done.Wait());
  ASSERT_TRUE(sink_.WaitFor(1));

  // Once the delivery has returned, only the test's reference is left.
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  while (sink_.refs() != 1u && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(sink_.refs(), 1u);

  // A later change reaches another table's sink but not this one.
  RecordingSink witness;
  ComPtr<IMAPITable> other = Contents();
  ULONG other_connection = 0;
  ASSERT_EQ(other->Advise(fnevTableModified, &witness, &other_connection), S_OK);
  OnOtherThread([&] { AddMessage("two"); });
  ASSERT_TRUE(witness.WaitFor(1));
  EXPECT_EQ(sink_.calls(), 1);
  other.reset();
}

TEST_F(StoreTableNotifyTest, ReleasingTheTableReleasesTheSink) {
  Advise();
  EXPECT_EQ(sink_.refs(), 2u);
  table_.reset();
  EXPECT_EQ(sink_.refs(), 1u);
}

}  // namespace
}  // namespace zuvstore
