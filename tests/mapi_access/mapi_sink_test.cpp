// Tests of CMAPISink: reference counting, interface queries, the lines it
// logs and the one callback per batch, also on a real contents table.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/logging.h"
#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapi_sink.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/profile_admin.h"

namespace {

namespace fs = std::filesystem;

// What the callback saw, batch by batch.
struct Batches {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::vector<ULONG>> table_events;  // per call; 0 for other events
  int total = 0;

  static LONG Callback(void* context, ULONG count, LPNOTIFICATION notes) {
    auto* b = static_cast<Batches*>(context);
    std::lock_guard<std::mutex> lock(b->mu);
    std::vector<ULONG> events;
    for (ULONG i = 0; i < count; ++i) {
      events.push_back(notes[i].ulEventType == fnevTableModified ? notes[i].info.tab.ulTableEvent : 0);
    }
    b->total += static_cast<int>(count);
    b->table_events.push_back(std::move(events));
    b->cv.notify_all();
    return 0;
  }
};

class MapiSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv-sink-XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::ofstream(dir_ / "log.xml") << R"(<nlog xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <targets><target name="f" xsi:type="File" layout="${message}" fileName="${basedir}/trace.log"/></targets>
  <rules><logger name="*" minlevel="Trace" writeTo="f"/></rules>
</nlog>)";
    std::string err;
    ASSERT_EQ(zuv::ConfigureLoggingFromFile((dir_ / "log.xml").string(), dir_.string(), &err), 0u) << err;
  }
  void TearDown() override {
    zuv::ResetLoggingForTest();
    fs::remove_all(dir_);
  }

  std::vector<std::string> LogLines() {
    zuv::FlushLogs();
    std::ifstream in(dir_ / "trace.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  static int Count(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
  }

  fs::path dir_;
};

TEST_F(MapiSinkTest, CountsReferencesAndAnswersOnlyItsInterfaces) {
  auto* sink = new CMAPISink(nullptr, nullptr);
  EXPECT_EQ(sink->AddRef(), 1u) << "starts at 0";
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(sink->QueryInterface(IID_IMAPITable, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(sink->AddRef(), 2u) << "a refused query takes no reference";
  ASSERT_EQ(sink->QueryInterface(IID_IMAPIAdviseSink, &out), S_OK);
  EXPECT_EQ(out, static_cast<IMAPIAdviseSink*>(sink));
  ASSERT_EQ(sink->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(sink->Release(), 3u);
  EXPECT_EQ(sink->Release(), 2u);
  EXPECT_EQ(sink->Release(), 1u);
  EXPECT_EQ(sink->Release(), 0u);  // deleted; the sanitizers would catch a leak or a double free
}

TEST_F(MapiSinkTest, BatchIsLoggedThenHandedOverOnce) {
  Batches batches;
  auto* sink = new CMAPISink(&Batches::Callback, &batches, "STORE", "FOLDER");
  sink->AddRef();
  NOTIFICATION notes[5] = {};
  for (int i = 0; i < 3; ++i) {
    notes[i].ulEventType = fnevTableModified;
    notes[i].info.tab.ulTableEvent = TABLE_ROW_ADDED;
  }
  notes[3].ulEventType = fnevTableModified;
  notes[3].info.tab.ulTableEvent = TABLE_SORT_DONE;
  BYTE id[3] = {0x00, 0x1A, 0xFF};
  notes[4].ulEventType = fnevObjectCreated;
  notes[4].info.obj.ulObjType = MAPI_FOLDER;
  notes[4].info.obj.cbEntryID = 3;
  notes[4].info.obj.lpEntryID = reinterpret_cast<LPENTRYID>(id);
  EXPECT_EQ(sink->OnNotify(5, notes), 0u);
  sink->Release();

  ASSERT_EQ(batches.table_events.size(), 1u);
  EXPECT_EQ(batches.table_events[0],
            (std::vector<ULONG>{TABLE_ROW_ADDED, TABLE_ROW_ADDED, TABLE_ROW_ADDED, TABLE_SORT_DONE, 0}));
  auto lines = LogLines();
  EXPECT_EQ(Count(lines, "Number of notifications:5"), 1);
  EXPECT_EQ(Count(lines, "Table Row Added notification for STORE:FOLDER"), 3);
  EXPECT_EQ(Count(lines, "Object CREATE notification for object type MAPI_FOLDER. EntryID:001AFF"), 1);
  EXPECT_EQ(lines.size(), 5u) << "sort-done is not logged";
}

TEST_F(MapiSinkTest, EventTextsAndASinkWithoutCallback) {
  auto* sink = new CMAPISink(nullptr, nullptr, "S", "F");
  sink->AddRef();
  NOTIFICATION notes[4] = {};
  notes[0].ulEventType = fnevTableModified;
  notes[0].info.tab.ulTableEvent = TABLE_RELOAD;
  notes[1].ulEventType = fnevObjectDeleted;
  notes[1].info.obj.ulObjType = MAPI_MESSAGE;
  notes[2].ulEventType = fnevObjectModified;
  notes[2].info.obj.ulObjType = MAPI_ATTACH;
  notes[3].ulEventType = fnevNewMail;
  EXPECT_EQ(sink->OnNotify(4, notes), 0u);
  sink->Release();
  auto lines = LogLines();
  EXPECT_EQ(lines, (std::vector<std::string>{"Number of notifications:4", "Table Reload notification for S:F",
                                             "Object DELETED notification for object type MAPI_MESSAGE. EntryID:",
                                             "Object MODIFIED notification for object type . EntryID:",
                                             "Object UNKNOWN NOTIFICATION:2 notification for object type . EntryID:"}));
}

TEST_F(MapiSinkTest, RealContentsTableDeliversRowAddedBatches) {
  std::unique_ptr<zuvstore::StoreAdmin> admin;
  std::string err, id;
  ASSERT_EQ(zuvstore::StoreAdmin::Open((dir_ / "store.db").string(), &admin, &err), S_OK) << err;
  ASSERT_EQ(admin->AddServer("EXCH1", false, &err), S_OK);
  zuvstore::MailboxSpec spec{"svc-zuv", "ZUV Service", {"svc-zuv@example.org"}, "/o=Example/cn=svc-zuv", "EXCH1"};
  ASSERT_EQ(admin->AddMailbox(spec, &id, &err), S_OK) << err;
  zuvstore::SetStorePath((dir_ / "store.db").string());
  ASSERT_TRUE(CMapiExMod::Init(true, true));
  ASSERT_EQ(zuv::CreateProfile("sinkprofile"), S_OK);
  ASSERT_EQ(zuv::AddMailboxToProfile(0, "EXCH1", "svc-zuv", "sinkprofile"), S_OK);
  Batches batches;
  {
    CMapiExMod module("sink");
    ASSERT_TRUE(module.Login("sink", "sinkprofile", true));
    std::unique_ptr<CMAPIFolder> inbox = module.OpenInbox();
    ASSERT_TRUE(inbox);
    auto cols = MakePropTags(PR_ENTRYID, PR_INSTANCE_KEY, PR_SUBJECT_A);
    IMAPITable* table = inbox->GetContentsTable(cols.get());
    ASSERT_NE(table, nullptr);
    auto* sink = new CMAPISink(&Batches::Callback, &batches, "STORE", "INBOX");
    ULONG connection = 0;
    ASSERT_EQ(table->Advise(fnevTableModified, sink, &connection), S_OK);
    for (int i = 0; i < 3; ++i) {
      CMAPIObject item;
      ASSERT_TRUE(item.Create(&module, inbox.get()));
      ASSERT_TRUE(item.SetPropertyString(PR_SUBJECT_A, ("row " + std::to_string(i)).c_str(), false));
      ASSERT_TRUE(item.Save(true));
    }
    {
      std::unique_lock<std::mutex> lock(batches.mu);
      ASSERT_TRUE(batches.cv.wait_for(lock, std::chrono::seconds(10), [&] { return batches.total >= 3; }));
    }
    EXPECT_EQ(table->Unadvise(connection), S_OK);  // releases the sink
  }
  CMapiExMod::Term();
  admin.reset();

  // One logged batch per callback call, and every row added was logged.
  std::lock_guard<std::mutex> lock(batches.mu);
  auto lines = LogLines();
  int added = 0;
  for (auto& batch : batches.table_events) {
    added += static_cast<int>(std::count(batch.begin(), batch.end(), TABLE_ROW_ADDED));
  }
  EXPECT_EQ(added, 3);
  EXPECT_EQ(Count(lines, "Table Row Added notification for STORE:INBOX"), 3);
  int batch_lines = static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("Number of notifications:", 0) == 0;
  }));
  EXPECT_EQ(batch_lines, static_cast<int>(batches.table_events.size()));
}

}  // namespace
