// Pushed row changes over the wire: a client reads a folder with a
// NotificationURL, a listening socket in the test takes the pushes, and
// another process (this one) changes the folder through the store.
// Deliveries come as 502, changes of interest as 504, changes outside the
// columns not at all, deletions as 503 with the key; criteria select 502
// and 504 but not 503; a closed client gets nothing; a second population
// pushes 505; one listener's pushes keep the order of the changes.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mapi/mapiptr.h"
#include "mapi/mapitags.h"
#include "service_harness.h"
#include "../client/push_listener.h"

namespace zuv_test {
namespace {

constexpr const char* kStore = "ZUV_MAILBOX_STORE_ENTRYID";

struct Push {
  int data_type = 0;
  std::string identifier;
  std::string key;                            // the row's key, or ROWS of a 503
  std::map<std::string, std::string> values;  // member name -> value as text
};

Push Parse(const std::string& json) {
  Push p;
  rapidjson::Document d;
  d.Parse(json.c_str());
  if (!d.IsObject()) {
    p.key = "<not JSON: " + json + ">";
    return p;
  }
  EXPECT_EQ(d["ErrorNumber"].GetInt(), 0);
  p.data_type = d["DataType"].GetInt();
  p.identifier = d["ClientIdentifier"].GetString();
  const auto& rows = d["ROWS"];
  if (rows.IsString()) {
    p.key = rows.GetString();
    return p;
  }
  EXPECT_EQ(rows.Size(), 1u);
  auto m = rows[0].MemberBegin();
  p.key = m->name.GetString();
  for (const auto& prop : m->value.GetArray()) {
    auto v = prop.MemberBegin();
    p.values[v->name.GetString()] = v->value.IsString() ? v->value.GetString() : std::to_string(v->value.GetInt());
  }
  return p;
}

class PushRequestsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new ServiceProcess;
    service_->AddRegistryLines("\"PushThreads\"=dword:00000003\r\n\"PushQueueLimit\"=dword:00004e20\r\n");
    ASSERT_NE(service_->store(), nullptr);
    ASSERT_TRUE(service_->Start()) << ReadFile(service_->home() / "console.out");
  }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }

  static std::string NewFolder(const std::string& path) {
    std::string id, err;
    EXPECT_EQ(service_->store()->CreateFolderPath(kServiceAlias, false, path, "IPF.Note", &id, &err), S_OK) << err;
    return id;
  }

  // Reads folder with these columns; pushes go to url.
  static std::string Listen(const std::string& folder, const std::string& clientId, const std::string& url,
                            const std::string& columns, const std::string& extra = "") {
    Conn c(service_->port(0));
    EXPECT_TRUE(c.ok());
    EXPECT_TRUE(c.SendFrame(Request(1001, ",\"EntryID\":\"" + folder + "\",\"StoreEntryID\":\"" + kStore +
                                              "\",\"ClientIdentifier\":\"" + clientId + "\",\"identifier\":\"id-" +
                                              clientId + "\",\"NotificationURL\":\"" + url + "\",\"ColumnList\":[" +
                                              columns + "]" + extra)));
    std::string response = c.ReadResponse().value_or("<closed>");
    // The listener is added after the response is sent; once a second
    // request on the connection is answered, the first is done with.
    EXPECT_TRUE(c.SendFrame(Request(1010, ",\"ClientIdentifier\":\"" + clientId + "\"")));
    EXPECT_TRUE(c.ReadResponse().has_value());
    return response;
  }

  static std::string Close(const std::string& clientId, const std::string& folder) {
    Conn c(service_->port(2));
    c.SendFrame(Request(1009, ",\"ClientIdentifier\":\"" + clientId + "\",\"EntryID\":\"" + folder + "\""));
    return c.ReadResponse().value_or("<closed>");
  }

  static MapiPtr<IMAPIFolder> OpenFolder(const std::string& path) {
    std::string err;
    MapiPtr<IMAPIFolder> folder;
    EXPECT_EQ(service_->store()->OpenFolder(kServiceAlias, false, path, folder.put(), &err), S_OK) << err;
    return folder;
  }

  // Messages (subject, importance) created in one transaction.
  static void Deliver(const std::string& path, const std::vector<std::pair<std::string, LONG>>& messages) {
    MapiPtr<IMAPIFolder> folder = OpenFolder(path);
    std::string err;
    ASSERT_EQ(service_->store()->Batch(
                  [&]() -> HRESULT {
                    for (const auto& [subject, importance] : messages) {
                      MapiPtr<IMessage> msg;
                      HRESULT hr = folder->CreateMessage(nullptr, 0, msg.put());
                      if (FAILED(hr)) return hr;
                      SPropValue v[2]{};
                      v[0].ulPropTag = PR_SUBJECT_A;
                      v[0].Value.lpszA = const_cast<char*>(subject.c_str());
                      v[1].ulPropTag = PR_IMPORTANCE;
                      v[1].Value.l = importance;
                      if (FAILED(hr = msg->SetProps(2, v, nullptr))) return hr;
                      if (FAILED(hr = msg->SaveChanges(0))) return hr;
                    }
                    return S_OK;
                  },
                  &err),
              S_OK)
        << err;
  }

  static void SetProp(const std::string& path, const std::string& key, const SPropValue& value) {
    MapiPtr<IMAPIFolder> folder = OpenFolder(path);
    std::string bytes;
    ASSERT_TRUE(zuvstore::HexToEntryId(key, &bytes));
    ULONG type = 0;
    MapiPtr<IMessage> msg;
    ASSERT_EQ(folder->OpenEntry(static_cast<ULONG>(bytes.size()), reinterpret_cast<LPENTRYID>(bytes.data()), nullptr,
                                MAPI_MODIFY, &type, msg.put_unknown()),
              S_OK);
    SPropValue v = value;
    ASSERT_EQ(msg->SetProps(1, &v, nullptr), S_OK);
    ASSERT_EQ(msg->SaveChanges(0), S_OK);
  }

  static void SetSubject(const std::string& path, const std::string& key, const std::string& subject) {
    SPropValue v{};
    v.ulPropTag = PR_SUBJECT_A;
    v.Value.lpszA = const_cast<char*>(subject.c_str());
    SetProp(path, key, v);
  }

  static void Delete(const std::string& path, const std::string& key) {
    MapiPtr<IMAPIFolder> folder = OpenFolder(path);
    std::string bytes;
    ASSERT_TRUE(zuvstore::HexToEntryId(key, &bytes));
    SBinary id{static_cast<ULONG>(bytes.size()), reinterpret_cast<LPBYTE>(bytes.data())};
    SBinaryArray list{1, &id};
    ASSERT_EQ(folder->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  }

  static ServiceProcess* service_;
};

ServiceProcess* PushRequestsTest::service_ = nullptr;

TEST_F(PushRequestsTest, PushSettingsComeFromTheRegistry) {
  EXPECT_TRUE(service_->LogContains("* Pushes: PushThreads=3, PushQueueLimit=20000"));
}

TEST_F(PushRequestsTest, DeliveryChangeAndDeleteArePushedAndChangesOutsideTheColumnsAreNot) {
  const std::string folder = NewFolder("Inbox/Live");
  PushListener listener;
  const std::string first = Listen(folder, "live", listener.url(), "\"PR_SUBJECT\",\"PR_IMPORTANCE\"");
  ASSERT_NE(first.find("\"ROWS\":[]"), std::string::npos) << first;

  Deliver("Inbox/Live", {{"hello", 1}});
  Push added = Parse(listener.WaitJson(1)[0]);
  EXPECT_EQ(added.data_type, 502);
  EXPECT_EQ(added.identifier, "id-live");
  EXPECT_EQ(added.values["PR_SUBJECT-30"], "hello");
  EXPECT_EQ(added.values["PR_IMPORTANCE-3"], "1");
  EXPECT_EQ(added.values["PR_LONGTERM_ENTRYID_FROM_TABLE"], added.key);

  SetSubject("Inbox/Live", added.key, "changed");
  Push modified = Parse(listener.WaitJson(2)[1]);
  EXPECT_EQ(modified.data_type, 504);
  EXPECT_EQ(modified.key, added.key);
  EXPECT_EQ(modified.values["PR_SUBJECT-30"], "changed");
  EXPECT_EQ(modified.values["PR_IMPORTANCE-3"], "1");

  // Not a column of the table: ignored, so the next push is the delete.
  SPropValue sensitivity{};
  sensitivity.ulPropTag = PR_SENSITIVITY;
  sensitivity.Value.l = 2;
  SetProp("Inbox/Live", added.key, sensitivity);
  // Seen before the delete: a store that reads both changes in one poll
  // has no row left to tell of the first.
  EXPECT_TRUE(service_->WaitForLog("IGNORING RowChanged notification"));
  Delete("Inbox/Live", added.key);
  Push deleted = Parse(listener.WaitJson(3)[2]);
  EXPECT_EQ(deleted.data_type, 503);
  EXPECT_EQ(deleted.key, added.key) << "ROWS is the key as a string";
  EXPECT_TRUE(service_->WaitForLog("live: RowDelete notification for row " + added.key));

  // The cached table follows: a fresh read no longer has the row.
  const std::string after = Listen(folder, "reader", "", "\"PR_SUBJECT\"");
  EXPECT_NE(after.find("\"ROWS\":[]"), std::string::npos) << after;
}

TEST_F(PushRequestsTest, CriteriaSelectAddedAndModifiedRowsButNotDeletions) {
  const std::string folder = NewFolder("Inbox/Picked");
  PushListener listener;
  Listen(folder, "picky", listener.url(), "\"PR_SUBJECT\"",
         ",\"SearchCriteria\":[{\"<PropertyName>k__BackingField\":\"PR_IMPORTANCE\","
         "\"<PropertyValue>k__BackingField\":{\"Kind\":3,\"Value\":2},\"<Operator>k__BackingField\":4}]");
  Deliver("Inbox/Picked", {{"skip", 1}, {"keep", 2}});
  Push keep = Parse(listener.WaitJson(1)[0]);
  EXPECT_EQ(keep.data_type, 502);
  EXPECT_EQ(keep.values["PR_SUBJECT-30"], "keep") << "the row with importance 1 is not pushed";

  // The key of "skip": from a read of everything.
  std::string skipKey;
  {
    const std::string all = Listen(folder, "reader", "", "\"PR_SUBJECT\"");
    rapidjson::Document d;
    d.Parse(all.c_str());
    for (const auto& row : d["ROWS"].GetArray()) {
      if (row.MemberBegin()->name.GetString() != keep.key) skipKey = row.MemberBegin()->name.GetString();
    }
  }
  ASSERT_FALSE(skipKey.empty());
  SetSubject("Inbox/Picked", skipKey, "skip again");
  SetSubject("Inbox/Picked", keep.key, "keep again");
  Delete("Inbox/Picked", skipKey);
  std::vector<std::string> pushes = listener.WaitJson(3);
  Push modified = Parse(pushes[1]);
  EXPECT_EQ(modified.data_type, 504);
  EXPECT_EQ(modified.values["PR_SUBJECT-30"], "keep again");
  Push deleted = Parse(pushes[2]);
  EXPECT_EQ(deleted.data_type, 503);
  EXPECT_EQ(deleted.key, skipKey);
}

TEST_F(PushRequestsTest, ClosedClientsAndClientsWithoutAPortGetNothing) {
  const std::string folder = NewFolder("Inbox/Closed");
  PushListener closed, open;
  Listen(folder, "noport", "127.0.0.1", "\"PR_SUBJECT\"");
  Listen(folder, "gone", closed.url(), "\"PR_SUBJECT\"");
  Listen(folder, "stays", open.url(), "\"PR_SUBJECT\"");
  EXPECT_EQ(Close("gone", folder), "{\"ErrorNumber\":0}");
  Deliver("Inbox/Closed", {{"after close", 0}});
  Push p = Parse(open.WaitJson(1)[0]);
  EXPECT_EQ(p.values["PR_SUBJECT-30"], "after close");
  // "gone" listened before "stays": had it still been a listener, its line
  // would come first.
  EXPECT_TRUE(service_->LogContains("stays: RowAdd notification for row " + p.key));
  EXPECT_FALSE(service_->LogContains("gone: RowAdd notification"));
  EXPECT_EQ(closed.Count(), 0u);
}

TEST_F(PushRequestsTest, NewColumnsOnAListenedTablePushTableFillRows) {
  const std::string folder = NewFolder("Inbox/Fill");
  Deliver("Inbox/Fill", {{"a", 1}, {"b", 2}, {"c", 0}});
  PushListener listener;
  Listen(folder, "filler", listener.url(), "\"PR_SUBJECT\"");
  // Another read asks for a column the table lacks: a second population.
  Listen(folder, "reader", "", "\"PR_SUBJECT\",\"PR_IMPORTANCE\"");
  std::vector<std::string> pushes = listener.WaitJson(3);
  std::vector<std::string> subjects;
  for (const std::string& json : pushes) {
    Push p = Parse(json);
    EXPECT_EQ(p.data_type, 505);
    EXPECT_EQ(p.values.count("PR_IMPORTANCE-3"), 1u) << json;
    subjects.push_back(p.values["PR_SUBJECT-30"]);
  }
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(subjects, (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(PushRequestsTest, OneListenersPushesKeepTheOrderOfABurstOfChanges) {
  const std::string folder = NewFolder("Inbox/Burst");
  PushListener listener;
  Listen(folder, "burst", listener.url(), "\"PR_SUBJECT\"");
  std::vector<std::pair<std::string, LONG>> messages;
  for (int i = 0; i < 1000; ++i) messages.emplace_back("m" + std::to_string(i), 0);
  Deliver("Inbox/Burst", messages);
  std::vector<std::string> pushes = listener.WaitJson(1000);
  for (int i = 0; i < 1000; ++i) {
    Push p = Parse(pushes[static_cast<size_t>(i)]);
    ASSERT_EQ(p.data_type, 502);
    ASSERT_EQ(p.values["PR_SUBJECT-30"], "m" + std::to_string(i)) << "push " << i;
  }
}

TEST_F(PushRequestsTest, ListenerThatRefusesConnectionsLeavesOthersTheirPushes) {
  const std::string folder = NewFolder("Inbox/Refused");
  const std::string refusing = "127.0.0.1:" + std::to_string(FreePort());
  PushListener good;
  Listen(folder, "refusing", refusing, "\"PR_SUBJECT\"");
  Listen(folder, "good", good.url(), "\"PR_SUBJECT\"");
  std::vector<std::pair<std::string, LONG>> messages;
  for (int i = 0; i < 20; ++i) messages.emplace_back("r" + std::to_string(i), 0);
  Deliver("Inbox/Refused", messages);
  std::vector<std::string> pushes = good.WaitJson(20);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Parse(pushes[static_cast<size_t>(i)]).values["PR_SUBJECT-30"], "r" + std::to_string(i));
  EXPECT_TRUE(service_->WaitForLog("refusing: cannot connect to 127.0.0.1", 30));
}

}  // namespace
}  // namespace zuv_test
