// Tests of the store's table notifications turned into row changes: added,
// deleted and modified rows, the columns whose change counts, merges with a
// population, and the row changes told to listeners.
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
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

constexpr ULONG kSubject = 0x0037001E;    // PT_STRING8
constexpr ULONG kImportance = 0x00170003;  // PT_LONG
constexpr ULONG kUnicode = 0x0E1D001F;     // PT_UNICODE
constexpr ULONG kFlag = 0x0E1F000B;        // PT_BOOLEAN
constexpr ULONG kShort = 0x10800002;       // PT_I2
constexpr ULONG kBlob = 0x10090102;        // PT_BINARY
constexpr ULONG kTime = 0x0E060040;        // PT_SYSTIME
constexpr ULONG kKeywords = 0x8001101E;    // PT_MV_STRING8

struct Event {
  ZUV_RowEvent event;
  std::string key;
  ZUV_RowRef row;
};

class RecordingListener : public ZUV_TableListener {
 public:
  explicit RecordingListener(std::string id) : id_(std::move(id)) {}
  void OnRowEvent(const ZUV_Table&, ZUV_RowEvent event, const std::string& rowKey, const ZUV_RowRef& row) override {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(Event{event, rowKey, row});
    cv_.notify_all();
  }
  const std::string& NotificationHost() const override { return host_; }
  int32_t NotificationPort() const override { return port_; }
  const std::string& ClientId() const override { return id_; }
  const std::string& ListenerFolderEntryID() const override { return folder_; }

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  // Waits (without a time limit: the test's own time-out ends a hang) for
  // an event of this kind.
  Event WaitFor(ZUV_RowEvent event) {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      for (const Event& e : events_) {
        if (e.event == event) return e;
      }
      cv_.wait(lock);
    }
  }

 private:
  std::string id_, host_ = "127.0.0.1", folder_ = "F";
  int32_t port_ = 1;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

// A MAPI row as the store sends it: key, PR_INSTANCE_KEY, then columns.
class NotifiedRow {
 public:
  NotifiedRow(std::string entryId, std::string instanceKey)
      : entry_(std::move(entryId)), instance_(std::move(instanceKey)) {
    Binary(kRowKeyTag, entry_);
    Binary(kInstanceKeyTag, instance_);
  }
  NotifiedRow& Binary(ULONG tag, const std::string& bytes) {
    const std::string& kept = owned_.emplace_back(bytes);
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.bin.cb = static_cast<ULONG>(kept.size());
    v.Value.bin.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(kept.data()));
    values_.push_back(v);
    return *this;
  }
  NotifiedRow& Text(ULONG tag, const char* text) {
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.lpszA = const_cast<char*>(text);
    values_.push_back(v);
    return *this;
  }
  NotifiedRow& Long(ULONG tag, LONG n) {
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.l = n;
    values_.push_back(v);
    return *this;
  }
  NotifiedRow& Short(ULONG tag, short n) {
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.i = n;
    values_.push_back(v);
    return *this;
  }
  SRow Row() {
    SRow row{};
    row.cValues = static_cast<ULONG>(values_.size());
    row.lpProps = values_.data();
    return row;
  }

 private:
  std::string entry_, instance_;
  std::deque<std::string> owned_;
  std::vector<SPropValue> values_;
};

NOTIFICATION TableEvent(ULONG event, const SRow& row) {
  NOTIFICATION n{};
  n.ulEventType = fnevTableModified;
  n.info.tab.ulTableEvent = event;
  n.info.tab.row = row;
  return n;
}

NOTIFICATION DeleteEvent(const std::string& instanceKey) {
  NOTIFICATION n{};
  n.ulEventType = fnevTableModified;
  n.info.tab.ulTableEvent = TABLE_ROW_DELETED;
  n.info.tab.propIndex.ulPropTag = kInstanceKeyTag;
  n.info.tab.propIndex.Value.bin.cb = static_cast<ULONG>(instanceKey.size());
  n.info.tab.propIndex.Value.bin.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(instanceKey.data()));
  return n;
}

void Notify(ZUV_Table& table, NOTIFICATION n) { (void)ZUV_Table::OnTableNotification(&table, 1, &n); }

std::string Text(const ZUV_Row& row, ULONG tag) {
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

// A key is the entry ID's hex text.
const std::string kEntryA = std::string("\x01\x02\x0A", 3);
const std::string kKeyA = "01020A";
const std::string kEntryB = std::string("\x01\x02\x0B", 3);
const std::string kKeyB = "01020B";

class TableNotificationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = std::make_shared<ZUV_Table>("STORE01", "FOLDER01");
    listener_ = std::make_shared<RecordingListener>("client-1");
    table_->AddListener(listener_);
  }
  ZUV_RowRef Cached(const std::string& key) {
    table_->Lock();
    ZUV_RowRef row = table_->FindRow(key);
    table_->Unlock();
    return row;
  }
  size_t Rows() {
    table_->Lock();
    size_t n = table_->RowCount();
    table_->Unlock();
    return n;
  }
  ZUV_TablePtr table_;
  std::shared_ptr<RecordingListener> listener_;
};

// ---- Added rows ----

TEST_F(TableNotificationTest, AddedRowIsStoredUnderItsEntryIdAndToldAsAdded) {
  NotifiedRow a(kEntryA, "IK-A");
  a.Text(kSubject, "hello").Long(kImportance, 2);
  Notify(*table_, TableEvent(TABLE_ROW_ADDED, a.Row()));
  ZUV_RowRef row = Cached(kKeyA);
  ASSERT_TRUE(row);
  EXPECT_EQ(Text(*row, kSubject), "hello");
  EXPECT_EQ(Text(*row, kInstanceKeyTag), "IK-A");
  std::vector<Event> events = listener_->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event, ZUV_RowEvent::kAdded);
  EXPECT_EQ(events[0].key, kKeyA);
  EXPECT_EQ(events[0].row.get(), row.get()) << "the stored row is told";
}

TEST_F(TableNotificationTest, RowAddedTwiceMergesIntoOneRowAndIsToldAgain) {
  NotifiedRow first(kEntryA, "IK-A");
  first.Text(kSubject, "one").Long(kImportance, 1);
  Notify(*table_, TableEvent(TABLE_ROW_ADDED, first.Row()));
  NotifiedRow second(kEntryA, "IK-A");
  second.Text(kSubject, "two");
  Notify(*table_, TableEvent(TABLE_ROW_ADDED, second.Row()));
  EXPECT_EQ(Rows(), 1u);
  ZUV_RowRef row = Cached(kKeyA);
  EXPECT_EQ(Text(*row, kSubject), "two");
  EXPECT_TRUE(row->Find(kImportance, nullptr)) << "columns only the cached row had stay";
  std::vector<Event> events = listener_->Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].event, ZUV_RowEvent::kAdded);
}

TEST_F(TableNotificationTest, RowWithoutEntryIdIsDroppedAndNotTold) {
  SPropValue v{};
  v.ulPropTag = kSubject;
  v.Value.lpszA = const_cast<char*>("no key");
  SRow row{};
  row.cValues = 1;
  row.lpProps = &v;
  Notify(*table_, TableEvent(TABLE_ROW_ADDED, row));
  EXPECT_EQ(Rows(), 0u);
  EXPECT_TRUE(listener_->Events().empty());
}

// ---- Deleted rows ----

TEST_F(TableNotificationTest, DeleteFindsTheRowByInstanceKeyAndTellsItsKey) {
  NotifiedRow a(kEntryA, "IK-A"), b(kEntryB, "IK-B");
  Notify(*table_, TableEvent(TABLE_ROW_ADDED, a.Row()));
  Notify(*table_, TableEvent(TABLE_ROW_ADDED, b.Row()));
  Notify(*table_, DeleteEvent("IK-B"));
  EXPECT_FALSE(Cached(kKeyB));
  EXPECT_TRUE(Cached(kKeyA));
  std::vector<Event> events = listener_->Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2].event, ZUV_RowEvent::kDeleted);
  EXPECT_EQ(events[2].key, kKeyB);
}

TEST_F(TableNotificationTest, DeleteOfAnUnknownInstanceKeyChangesNothingAndTellsNothing) {
  NotifiedRow a(kEntryA, "IK-A");
  Notify(*table_, TableEvent(TABLE_ROW_ADDED, a.Row()));
  Notify(*table_, DeleteEvent("IK-A-longer"));  // a prefix is not a match
  Notify(*table_, DeleteEvent("IK-"));
  EXPECT_EQ(Rows(), 1u);
  EXPECT_EQ(listener_->Events().size(), 1u);
}

// ---- Modified rows ----

TEST_F(TableNotificationTest, ModifiedRowOfInterestIsMergedAndToldAsModified) {
  NotifiedRow a(kEntryA, "IK-A");
  a.Text(kSubject, "old").Long(kImportance, 1);
  Notify(*table_, TableEvent(TABLE_ROW_ADDED, a.Row()));
  NotifiedRow changed(kEntryA, "IK-A");
  changed.Text(kSubject, "new");  // the new row lacks the importance
  Notify(*table_, TableEvent(TABLE_ROW_MODIFIED, changed.Row()));
  ZUV_RowRef row = Cached(kKeyA);
  EXPECT_EQ(Text(*row, kSubject), "new");
  EXPECT_TRUE(row->Find(kImportance, nullptr)) << "a column the new row lacks stays";
  std::vector<Event> events = listener_->Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].event, ZUV_RowEvent::kModified);
  EXPECT_EQ(events[1].row.get(), row.get());
}

// A client's write updates the cached row before the store's notification of
// it comes; the notification is still told, once.
TEST_F(TableNotificationTest, ClientWriteAheadOfItsNotificationIsStillToldOnce) {
  NotifiedRow a(kEntryA, "IK-A");
  a.Text(kSubject, "old");
  Notify(*table_, TableEvent(TABLE_ROW_ADDED, a.Row()));
  ZUV_RowBuilder written;
  written.AddBytes(kSubject, "new");
  ASSERT_EQ(table_->UpdateRow(kKeyA, written), 0u);
  EXPECT_EQ(Text(*Cached(kKeyA), kSubject), "new");
  EXPECT_EQ(listener_->Events().size(), 1u) << "the write itself tells nobody";

  NotifiedRow changed(kEntryA, "IK-A");
  changed.Text(kSubject, "new");
  Notify(*table_, TableEvent(TABLE_ROW_MODIFIED, changed.Row()));
  std::vector<Event> events = listener_->Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].event, ZUV_RowEvent::kModified);
  // A repeat of the same values is no change.
  Notify(*table_, TableEvent(TABLE_ROW_MODIFIED, changed.Row()));
  EXPECT_EQ(listener_->Events().size(), 2u);

  // The notification first, then the write of the same values: told once.
  NotifiedRow later(kEntryA, "IK-A");
  later.Text(kSubject, "newer");
  Notify(*table_, TableEvent(TABLE_ROW_MODIFIED, later.Row()));
  ZUV_RowBuilder same;
  same.AddBytes(kSubject, "newer");
  ASSERT_EQ(table_->UpdateRow(kKeyA, same), 0u);
  Notify(*table_, TableEvent(TABLE_ROW_MODIFIED, later.Row()));
  EXPECT_EQ(listener_->Events().size(), 3u);
}

TEST_F(TableNotificationTest, ModifiedRowChangedOnlyInBinaryOrShortColumnsIsIgnored) {
  NotifiedRow a(kEntryA, "IK-A");
  a.Text(kSubject, "same").Short(kShort, 1).Binary(kBlob, "xx");
  Notify(*table_, TableEvent(TABLE_ROW_ADDED, a.Row()));
  ZUV_RowRef before = Cached(kKeyA);
  NotifiedRow changed(kEntryA, "IK-A2");
  changed.Text(kSubject, "same").Short(kShort, 2).Binary(kBlob, "yy");
  Notify(*table_, TableEvent(TABLE_ROW_MODIFIED, changed.Row()));
  EXPECT_EQ(Cached(kKeyA).get(), before.get()) << "the cached row keeps its old values";
  EXPECT_EQ(Text(*Cached(kKeyA), kBlob), "xx");
  EXPECT_EQ(listener_->Events().size(), 1u) << "nothing told";
}

TEST_F(TableNotificationTest, ModifiedRowNotCachedIsAddedAndToldAsModified) {
  NotifiedRow a(kEntryA, "IK-A");
  a.Text(kSubject, "fresh");
  Notify(*table_, TableEvent(TABLE_ROW_MODIFIED, a.Row()));
  EXPECT_TRUE(Cached(kKeyA));
  std::vector<Event> events = listener_->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event, ZUV_RowEvent::kModified);
}

TEST_F(TableNotificationTest, OtherEventsOnlyLog) {
  NotifiedRow a(kEntryA, "IK-A");
  Notify(*table_, TableEvent(TABLE_RELOAD, a.Row()));
  Notify(*table_, TableEvent(TABLE_CHANGED, a.Row()));
  Notify(*table_, TableEvent(TABLE_ERROR, a.Row()));
  NOTIFICATION mail{};
  mail.ulEventType = fnevNewMail;
  Notify(*table_, mail);
  EXPECT_EQ(Rows(), 0u);
  EXPECT_TRUE(listener_->Events().empty());
}

TEST_F(TableNotificationTest, ListenerWithTheAddressOfOneListeningIsNotToldTwice) {
  auto dup = std::make_shared<RecordingListener>("client-dup");
  table_->AddListener(dup);
  EXPECT_EQ(table_->ListenerCount(), 1u);
  NotifiedRow a(kEntryA, "IK-A");
  Notify(*table_, TableEvent(TABLE_ROW_ADDED, a.Row()));
  EXPECT_EQ(listener_->Events().size(), 1u);
  EXPECT_TRUE(dup->Events().empty());
}

// ---- Which columns count ----

ZUV_RowRef RowOf(const std::function<void(ZUV_RowBuilder&)>& fill) {
  ZUV_RowBuilder b;
  b.AddBytes(kRowKeyTag, kKeyA);
  fill(b);
  return b.Build();
}

TEST(ChangeOfInterestTest, EachTypeByItsRule) {
  auto changed = [](const std::function<void(ZUV_RowBuilder&)>& before,
                    const std::function<void(ZUV_RowBuilder&)>& after) {
    return ZUV_Table::IsChangeOfInterest(*RowOf(before), *RowOf(after));
  };
  EXPECT_TRUE(changed([](auto& b) { b.AddNumber(kImportance, 1); }, [](auto& b) { b.AddNumber(kImportance, 2); }));
  EXPECT_FALSE(changed([](auto& b) { b.AddNumber(kImportance, 1); }, [](auto& b) { b.AddNumber(kImportance, 1); }));
  EXPECT_TRUE(changed([](auto& b) { b.AddNumber(kFlag, 0); }, [](auto& b) { b.AddNumber(kFlag, 1); }));
  EXPECT_TRUE(changed([](auto& b) { b.AddBytes(kSubject, "a"); }, [](auto& b) { b.AddBytes(kSubject, "b"); }));
  EXPECT_FALSE(changed([](auto& b) { b.AddBytes(kSubject, "a"); }, [](auto& b) { b.AddBytes(kSubject, "a"); }));
  EXPECT_TRUE(changed([](auto& b) { b.AddTime(kTime, FILETIME{1, 2}); }, [](auto& b) { b.AddTime(kTime, FILETIME{1, 3}); }));
  EXPECT_TRUE(changed([](auto& b) { b.AddTime(kTime, FILETIME{1, 2}); }, [](auto& b) { b.AddTime(kTime, FILETIME{0, 2}); }));
  EXPECT_FALSE(changed([](auto& b) { b.AddTime(kTime, FILETIME{1, 2}); }, [](auto& b) { b.AddTime(kTime, FILETIME{1, 2}); }));
  // Never counted: PT_I2, PT_BINARY (so PR_INSTANCE_KEY), PT_I8.
  EXPECT_FALSE(changed([](auto& b) { b.AddNumber(kShort, 1); }, [](auto& b) { b.AddNumber(kShort, 2); }));
  EXPECT_FALSE(changed([](auto& b) { b.AddBytes(kBlob, "x"); }, [](auto& b) { b.AddBytes(kBlob, "y"); }));
  EXPECT_FALSE(changed([](auto& b) { b.AddBytes(kInstanceKeyTag, "x"); }, [](auto& b) { b.AddBytes(kInstanceKeyTag, "y"); }));
  EXPECT_FALSE(changed([](auto& b) { b.AddNumber(0x10000014, 1); }, [](auto& b) { b.AddNumber(0x10000014, 2); }));
  // A column the old row lacks is not a change.
  EXPECT_FALSE(changed([](auto&) {}, [](auto& b) { b.AddBytes(kSubject, "new"); }));
}

TEST(ChangeOfInterestTest, EmptyOldUnicodeValueNeverCounts) {
  auto emptyOld = RowOf([](auto& b) { b.AddBytes(kUnicode, ""); });
  auto filled = RowOf([](auto& b) { b.AddBytes(kUnicode, "now set"); });
  EXPECT_FALSE(ZUV_Table::IsChangeOfInterest(*emptyOld, *filled));
  EXPECT_TRUE(ZUV_Table::IsChangeOfInterest(*filled, *emptyOld));
  auto other = RowOf([](auto& b) { b.AddBytes(kUnicode, "\xC3\xA9t\xC3\xA9"); });
  EXPECT_TRUE(ZUV_Table::IsChangeOfInterest(*filled, *other));
}

TEST(ChangeOfInterestTest, MultiValuedStringsCompareJoined) {
  auto two = RowOf([](auto& b) { b.AddStrings(kKeywords, {"a", "b"}); });
  auto joined = RowOf([](auto& b) { b.AddStrings(kKeywords, {"a,b"}); });
  auto other = RowOf([](auto& b) { b.AddStrings(kKeywords, {"a", "c"}); });
  EXPECT_FALSE(ZUV_Table::IsChangeOfInterest(*two, *joined));
  EXPECT_TRUE(ZUV_Table::IsChangeOfInterest(*two, *other));
}

// ---- Through the store ----

class StoreNotificationTest : public zuv_test::TableStoreTest {
 protected:
  void SetUp() override { OpenStore("T"); }
  void AddMessage(const std::string& subject, MapiPtr<IMessage>* out = nullptr) {
    std::string err;
    MapiPtr<IMAPIFolder> folder;
    ASSERT_EQ(admin_->OpenFolder("svc-zuv", false, "Inbox/T", folder.put(), &err), S_OK) << err;
    MapiPtr<IMessage> msg;
    ASSERT_EQ(folder->CreateMessage(nullptr, 0, msg.put()), S_OK);
    SPropValue v{};
    v.ulPropTag = PR_SUBJECT_A;
    v.Value.lpszA = const_cast<char*>(subject.c_str());
    ASSERT_EQ(msg->SetProps(1, &v, nullptr), S_OK);
    ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    if (out != nullptr) *out = std::move(msg);
  }

};

TEST_F(StoreNotificationTest, StoreChangesReachTheCachedTableAndItsListeners) {
  AddMessage("before");
  auto table = std::make_shared<ZUV_Table>(session_.get(), folder_id_, store_id_, std::vector<std::string>{"PR_SUBJECT"}, 1);
  std::string err;
  ASSERT_EQ(table->OpenFolder("conn", &err), 0u) << err;
  std::vector<std::string> names;
  std::vector<ULONG> tags;
  ASSERT_EQ(table->ResolveColumns({"PR_SUBJECT"}, nullptr, &names, &tags, &err), 0u);
  auto listener = std::make_shared<RecordingListener>("client-1");
  table->AddListener(listener);
  table->SetState(kTableFetching);
  table->StartFetch(names, tags, {});
  table->WaitUntilNotFetching();
  EXPECT_EQ(listener->WaitFor(ZUV_RowEvent::kTableFill).row->Find(PR_SUBJECT_A, nullptr), true);

  MapiPtr<IMessage> msg;
  AddMessage("arrived", &msg);
  Event added = listener->WaitFor(ZUV_RowEvent::kAdded);
  EXPECT_EQ(Text(*added.row, PR_SUBJECT_A), "arrived");

  SPropValue v{};
  v.ulPropTag = PR_SUBJECT_A;
  v.Value.lpszA = const_cast<char*>("renamed");
  ASSERT_EQ(msg->SetProps(1, &v, nullptr), S_OK);
  ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  Event modified = listener->WaitFor(ZUV_RowEvent::kModified);
  EXPECT_EQ(modified.key, added.key);
  EXPECT_EQ(Text(*modified.row, PR_SUBJECT_A), "renamed");

  msg.reset();
  std::string bytes;
  ASSERT_TRUE(zuvstore::HexToEntryId(added.key, &bytes));
  SBinary id{static_cast<ULONG>(bytes.size()), reinterpret_cast<LPBYTE>(bytes.data())};
  SBinaryArray list{1, &id};
  MapiPtr<IMAPIFolder> folder;
  ASSERT_EQ(admin_->OpenFolder("svc-zuv", false, "Inbox/T", folder.put(), &err), S_OK) << err;
  ASSERT_EQ(folder->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  Event deleted = listener->WaitFor(ZUV_RowEvent::kDeleted);
  EXPECT_EQ(deleted.key, added.key);
  table->Lock();
  EXPECT_FALSE(table->FindRow(added.key));
  EXPECT_EQ(table->RowCount(), 1u);
  table->Unlock();
}

}  // namespace
