// Black-box tests of the folder requests against the real zuv_service
// binary: paths to entry IDs, folder details and creation, hierarchies,
// custom property registration and the attachment lookup.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "mapi/mapiptr.h"
#include "mapi/mapitags.h"
#include "service_harness.h"

namespace zuv_test {
namespace {

const std::string kStore = ",\"StoreEntryID\":\"ZUV_MAILBOX_STORE_ENTRYID\"";

std::string Q(const std::string& text) { return "\"" + text + "\""; }

std::vector<std::string> Members(const rapidjson::Value& object) {
  std::vector<std::string> names;
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) names.push_back(it->name.GetString());
  return names;
}

class FolderRequestsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new ServiceProcess;
    service_->SetEnv("TZ", "UTC");
    std::string id, err;
    for (const auto& [path, cls] : std::map<std::string, std::string>{{"Clients/Alpha", "IPF.Note"},
                                                                       {"Clients/Beta", "IPF.Contact"},
                                                                       {"Inbox/Projects", "IPF.Note"},
                                                                       {"Sandbox", "IPF.Note"},
                                                                       {"TovanixQRP", "IPF.Note"}}) {
      ASSERT_EQ(service_->store()->CreateFolderPath(kServiceAlias, false, path, cls, &id, &err), S_OK) << err;
    }
    for (const char* path : {"Inbox/Projects", "Inbox/Projects", "Clients/Alpha"}) AddMessage(path);
    ASSERT_TRUE(service_->Start()) << ReadFile(service_->home() / "console.out");
  }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }
  void TearDown() override {  // the service still answers a fresh connection
    Conn c(service_->port(1));
    ASSERT_TRUE(c.SendFrame(Request(1009)));
    EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
  }

  static MapiPtr<IMAPIFolder> OpenFolder(const std::string& path) {
    IMAPIFolder* raw = nullptr;
    std::string err;
    EXPECT_EQ(service_->store()->OpenFolder(kServiceAlias, false, path, &raw, &err), S_OK) << err;
    return MapiPtr<IMAPIFolder>(raw);
  }
  static void AddMessage(const std::string& path) {
    MapiPtr<IMessage> message;
    ASSERT_EQ(OpenFolder(path)->CreateMessage(nullptr, 0, message.put()), S_OK);
    ASSERT_EQ(message->SaveChanges(0), S_OK);
  }
  // PR_ENTRYID and PR_LAST_MODIFICATION_TIME of the folder at path ("" the
  // IPM subtree, "/" the root), read from the store directly.
  static void ReadFolder(const std::string& path, std::string* entry_id, FILETIME* modified) {
    SizedSPropTagArray(2, tags) = {2, {PR_ENTRYID, PR_LAST_MODIFICATION_TIME}};
    ULONG count = 0;
    MapiBuffer<SPropValue> v;
    ASSERT_EQ(OpenFolder(path)->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, v.put()), S_OK);
    if (entry_id) *entry_id = zuvstore::EntryIdToHex(v[0].Value.bin.lpb, v[0].Value.bin.cb);
    if (modified) *modified = v[1].Value.ft;
  }
  static std::string EntryIdAt(const std::string& path) {
    std::string id;
    ReadFolder(path, &id, nullptr);
    return id;
  }
  static std::map<std::string, zuvstore::FolderInfo> Folders() {
    std::vector<zuvstore::FolderInfo> list;
    std::string err;
    EXPECT_EQ(service_->store()->ListFolders(kServiceAlias, false, &list, &err), S_OK) << err;
    std::map<std::string, zuvstore::FolderInfo> out;
    for (auto& f : list) out[f.path] = f;
    return out;
  }

  // Sends one request with the service mailbox and parses the answer.
  static bool Ask(Conn& c, int code, const std::string& keys, rapidjson::Document* d) {
    if (!c.SendFrame(Request(code, ",\"Mailbox\":\"svc-zuv\"" + keys))) return false;
    auto text = c.ReadResponse();
    return text && !d->Parse(text->c_str()).HasParseError() && d->IsObject();
  }
  static std::string GetEntryID(const std::string& path, const std::string& store = kStore) {
    Conn c(service_->port(0));
    rapidjson::Document d;
    if (!Ask(c, 1007, ",\"FolderHierarchy\":[" + path + "]" + store, &d)) return "<no answer>";
    return d["ErrorNumber"].GetInt() == 0 ? d["ROWS"].GetString() : "<error>";
  }

  static ServiceProcess* service_;
};

ServiceProcess* FolderRequestsTest::service_ = nullptr;

// ---- GetEntryID (1007)

TEST_F(FolderRequestsTest, GetEntryIDResolvesTheRootAndPaths) {
  Conn c(service_->port(0));
  rapidjson::Document d;
  ASSERT_TRUE(Ask(c, 1007, ",\"FolderHierarchy\":[]" + kStore, &d));
  const std::string root = EntryIdAt("/");
  EXPECT_EQ(Members(d), (std::vector<std::string>{"ErrorNumber", "ErrorString", "ROWS"}));
  EXPECT_EQ(d["ErrorNumber"].GetInt(), 0);
  EXPECT_STREQ(d["ErrorString"].GetString(), "");
  EXPECT_EQ(d["ROWS"].GetString(), root);
  const std::string name = c.ExpectedName();
  EXPECT_TRUE(service_->WaitForLog(
      name + ":svc-zuv:GetEntryIDForFolder request for folder ROOT storeEntryID:ZUV_MAILBOX_STORE_ENTRYID"));
  EXPECT_TRUE(service_->WaitForLog(":EntryID for ROOT is " + root));
  EXPECT_TRUE(service_->WaitForLog(name + ":svc-zuv:ProcessGetEntryIDRequest returning success"));

  const auto folders = Folders();
  const std::string inbox = folders.at("Inbox").entry_id;
  EXPECT_EQ(GetEntryID("\"Top of Information Store\",\"Inbox\""), inbox);
  EXPECT_EQ(GetEntryID("\"Top of Information Store\",\"Inbox\",\"Projects\""), folders.at("Inbox/Projects").entry_id);
  EXPECT_EQ(GetEntryID("\"Top of Information Store\""), EntryIdAt(""));
  EXPECT_EQ(GetEntryID("\"inbox\""), inbox);  // one name: two levels down, case ignored
  EXPECT_EQ(GetEntryID("\"ExchangeSyncData\""), folders.at("/ExchangeSyncData").entry_id);
  EXPECT_TRUE(service_->WaitForLog(":EntryID for Projects is " + folders.at("Inbox/Projects").entry_id));
  // The store's own entry ID names the same store as the special key.
  std::vector<zuvstore::MailboxInfo> boxes;
  std::string err;
  ASSERT_EQ(service_->store()->ListMailboxes(&boxes, &err), S_OK) << err;
  for (const auto& b : boxes) {
    if (b.alias != kServiceAlias) continue;
    EXPECT_EQ(GetEntryID("\"Inbox\"", ",\"StoreEntryID\":" + Q(b.store_entry_id)), inbox);
  }
}

TEST_F(FolderRequestsTest, GetEntryIDOfAMissingFolderFails) {
  Conn c(service_->port(0));
  rapidjson::Document d;
  ASSERT_TRUE(Ask(c, 1007, ",\"FolderHierarchy\":[\"Top of Information Store\",\"Nowhere\\tLand\"]" + kStore, &d));
  EXPECT_EQ(d["ErrorNumber"].GetInt(), 1);
  EXPECT_STREQ(d["ErrorString"].GetString(), "Cannot get EntryID for folder");
  EXPECT_STREQ(d["ROWS"].GetString(), "");
  // The client's folder name reaches the log escaped.
  const std::string name = c.ExpectedName();
  EXPECT_TRUE(service_->WaitForLog(name + ":svc-zuv:GetEntryIDForFolder request for folder Nowhere\\tLand"));
  EXPECT_TRUE(service_->WaitForLog(":Cannot Open folder Nowhere\\tLand"));
  EXPECT_TRUE(service_->WaitForLog(name + ":svc-zuv:ProcessGetEntryIDRequest returning error"));
  EXPECT_EQ(GetEntryID("\"Inbox\"", ",\"StoreEntryID\":\"00112233\""), "<error>");  // no such store
}

// ---- GetFolder (1008)

TEST_F(FolderRequestsTest, GetFolderInfoDescribesTheFolder) {
  const auto folders = Folders();
  const std::string info = ",\"FolderRequest\":1,\"EntryID\":";
  Conn c(service_->port(2));
  rapidjson::Document d;
  ASSERT_TRUE(Ask(c, 1008, info + Q(folders.at("Inbox/Projects").entry_id) + kStore, &d));
  ASSERT_EQ(d["ErrorNumber"].GetInt(), 0);
  EXPECT_STREQ(d["ErrorString"].GetString(), "");
  const rapidjson::Value& row = d["ROWS"];
  EXPECT_EQ(Members(row), (std::vector<std::string>{"name", "ParentEntryID", "MessageCount", "ModificationTime",
                                                    "Path", "PublicOrNot"}));
  EXPECT_STREQ(row["name"].GetString(), "Projects");
  EXPECT_EQ(row["ParentEntryID"].GetString(), folders.at("Inbox").entry_id);
  EXPECT_EQ(row["MessageCount"].GetInt(), 2);
  EXPECT_STREQ(row["Path"].GetString(), "/Top of Information Store/Inbox/Projects");
  EXPECT_TRUE(row["PublicOrNot"].GetBool());
  // The folder's modification time in the service's zone (UTC), long forms.
  FILETIME ft{};
  ReadFolder("Inbox/Projects", nullptr, &ft);
  const time_t t = static_cast<time_t>(((uint64_t{ft.dwHighDateTime} << 32 | ft.dwLowDateTime) / 10000000) -
                                       11644473600LL);
  struct tm utc {};
  gmtime_r(&t, &utc);
  char text[96];
  std::strftime(text, sizeof(text), "%A, %B %-d, %Y %-I:%M:%S %p", &utc);
  EXPECT_STREQ(row["ModificationTime"].GetString(), text);

  // The root (an empty entry ID) is its own parent; a folder beside the
  // IPM subtree has its path from the root.
  ASSERT_TRUE(Ask(c, 1008, info + "\"\"" + kStore, &d));
  EXPECT_STREQ(d["ROWS"]["Path"].GetString(), "/");
  EXPECT_EQ(d["ROWS"]["ParentEntryID"].GetString(), EntryIdAt("/"));
  ASSERT_TRUE(Ask(c, 1008, info + Q(folders.at("/ExchangeSyncData").entry_id) + kStore, &d));
  EXPECT_STREQ(d["ROWS"]["Path"].GetString(), "/ExchangeSyncData");
  EXPECT_EQ(d["ROWS"]["MessageCount"].GetInt(), 0);

  for (const char* id : {"0011AABB", "not hex"}) {
    ASSERT_TRUE(Ask(c, 1008, info + Q(id) + kStore, &d));
    EXPECT_EQ(d["ErrorNumber"].GetInt(), 1) << id;
    EXPECT_STREQ(d["ErrorString"].GetString(), "Cannot get Folder info for entryID") << id;
    EXPECT_STREQ(d["ROWS"]["name"].GetString(), "") << id;
  }
  EXPECT_TRUE(service_->WaitForLog(c.ExpectedName() + ":svc-zuv:ProcessGetFolderRequest returning error"));
}

TEST_F(FolderRequestsTest, GetFolderCreatesFoldersThatThenResolve) {
  const std::string sandbox = Folders().at("Sandbox").entry_id;
  const std::string create = ",\"FolderRequest\":2,\"Name\":\"Reports\",\"EntryID\":" + Q(sandbox) + kStore;
  Conn c(service_->port(1));
  rapidjson::Document d;
  ASSERT_TRUE(Ask(c, 1008, create + ",\"FolderClass\":\"IPF.Task\"", &d));
  ASSERT_EQ(d["ErrorNumber"].GetInt(), 0);
  EXPECT_STREQ(d["ErrorString"].GetString(), "");
  const std::string created = d["ROWS"].GetString();
  EXPECT_EQ(GetEntryID("\"Top of Information Store\",\"Sandbox\",\"Reports\""), created);
  auto folders = Folders();
  EXPECT_EQ(folders.at("Sandbox/Reports").entry_id, created);
  EXPECT_EQ(folders.at("Sandbox/Reports").container_class, "IPF.Task");
  // Asking again opens the folder that is there.
  ASSERT_TRUE(Ask(c, 1008, create, &d));
  EXPECT_EQ(d["ROWS"].GetString(), created);
  EXPECT_EQ(Folders().at("Sandbox").child_count, 1);

  // Without a parent the folder goes below the store root.
  ASSERT_TRUE(Ask(c, 1008, ",\"FolderRequest\":2,\"Name\":\"Archive\"" + kStore, &d));
  ASSERT_EQ(d["ErrorNumber"].GetInt(), 0);
  folders = Folders();
  EXPECT_EQ(d["ROWS"].GetString(), folders.at("/Archive").entry_id);
  EXPECT_EQ(folders.at("/Archive").container_class, "");

  ASSERT_TRUE(Ask(c, 1008, ",\"FolderRequest\":2,\"Name\":\"Lost\",\"EntryID\":\"00AA\"" + kStore, &d));
  EXPECT_EQ(d["ErrorNumber"].GetInt(), 1);
  EXPECT_STREQ(d["ErrorString"].GetString(), "Cannot create folder");
  EXPECT_STREQ(d["ROWS"].GetString(), "");
}

TEST_F(FolderRequestsTest, GetFolderWithAnotherRequestGetsNoResponse) {
  const std::string inbox = Folders().at("Inbox").entry_id;
  Conn c(service_->port(0));
  for (int request : {3, 0, -1}) {
    ASSERT_TRUE(c.SendFrame(Request(1008, ",\"FolderRequest\":" + std::to_string(request) +
                                              ",\"Name\":\"Never\",\"EntryID\":" + Q(inbox) + kStore)));
  }
  // The first answer on the wire is the next request's.
  rapidjson::Document d;
  ASSERT_TRUE(Ask(c, 1007, ",\"FolderHierarchy\":[\"Inbox\"]" + kStore, &d));
  EXPECT_EQ(d["ROWS"].GetString(), inbox);
  EXPECT_FALSE(Folders().count("Inbox/Never"));
}

// ---- GetFolderHierarchy (1027)

TEST_F(FolderRequestsTest, HierarchyOfTheRootAndOfTheIpmSubtree) {
  Conn c(service_->port(0));
  rapidjson::Document d;
  ASSERT_TRUE(Ask(c, 1027, ",\"EntryID\":\"\"" + kStore, &d));
  EXPECT_EQ(Members(d), (std::vector<std::string>{"ErrorNumber", "ErrorString", "DataType", "ROWS"}));
  EXPECT_EQ(d["ErrorNumber"].GetInt(), 0);
  EXPECT_STREQ(d["ErrorString"].GetString(), "");
  EXPECT_EQ(d["DataType"].GetInt(), 501);
  const rapidjson::Value* rows = &d["ROWS"];
  ASSERT_GE(rows->Size(), 2u);
  EXPECT_EQ(Members((*rows)[0]), (std::vector<std::string>{"Name", "EntryID", "EntryCount", "ChildCount", "Class"}));
  EXPECT_STREQ((*rows)[0]["Name"].GetString(), "Top of Information Store");
  EXPECT_EQ((*rows)[0]["EntryID"].GetString(), EntryIdAt(""));
  EXPECT_EQ((*rows)[0]["ChildCount"].GetInt(), 13);  // ten defaults, three of the test
  EXPECT_STREQ((*rows)[0]["Class"].GetString(), "");
  EXPECT_STREQ((*rows)[1]["Name"].GetString(), "ExchangeSyncData");
  EXPECT_TRUE(service_->WaitForLog("ZUV_Cache::jsonifyFolderList:Data is {\"ErrorNumber\":0,"));
  EXPECT_TRUE(service_->WaitForLog(c.ExpectedName() + "::ZUV_Cache::jsonifyFolderList returning success"));

  ASSERT_TRUE(Ask(c, 1027, ",\"EntryID\":" + Q(EntryIdAt("")) + ",\"RefreshCache\":true" + kStore, &d));
  rows = &d["ROWS"];
  ASSERT_EQ(rows->Size(), 13u);
  const auto folders = Folders();
  const char* const names[] = {"Inbox", "Outbox", "Sent Items", "Deleted Items", "Drafts",  "Contacts",  "Calendar",
                               "Tasks", "Notes",  "Journal",    "Clients",       "Sandbox", "TovanixQRP"};
  for (size_t i = 0; i < 13; ++i) {
    const auto& f = folders.at(names[i]);
    EXPECT_STREQ((*rows)[i]["Name"].GetString(), names[i]);
    EXPECT_EQ((*rows)[i]["EntryID"].GetString(), f.entry_id) << names[i];
    EXPECT_EQ((*rows)[i]["Class"].GetString(), f.container_class) << names[i];
    EXPECT_EQ((*rows)[i]["EntryCount"].GetInt(), f.content_count) << names[i];
  }
  EXPECT_STREQ((*rows)[5]["Class"].GetString(), "IPF.Contact");
  EXPECT_EQ((*rows)[0]["ChildCount"].GetInt(), 1);   // Projects
  EXPECT_EQ((*rows)[10]["ChildCount"].GetInt(), 2);  // Alpha, Beta
}

TEST_F(FolderRequestsTest, HierarchyOfAFolderAndOfAnUnknownOne) {
  const auto folders = Folders();
  Conn c(service_->port(0));
  rapidjson::Document d;
  ASSERT_TRUE(Ask(c, 1027, ",\"EntryID\":" + Q(folders.at("Clients").entry_id) + kStore, &d));
  const rapidjson::Value& rows = d["ROWS"];
  ASSERT_EQ(rows.Size(), 2u);
  EXPECT_STREQ(rows[0]["Name"].GetString(), "Alpha");
  EXPECT_EQ(rows[0]["EntryID"].GetString(), folders.at("Clients/Alpha").entry_id);
  EXPECT_EQ(rows[0]["EntryCount"].GetInt(), 1);
  EXPECT_EQ(rows[0]["ChildCount"].GetInt(), 0);
  EXPECT_STREQ(rows[0]["Class"].GetString(), "IPF.Note");
  EXPECT_STREQ(rows[1]["Name"].GetString(), "Beta");
  EXPECT_STREQ(rows[1]["Class"].GetString(), "IPF.Contact");
  ASSERT_TRUE(Ask(c, 1027, ",\"EntryID\":" + Q(folders.at("Clients/Beta").entry_id) + kStore, &d));
  EXPECT_EQ(d["DataType"].GetInt(), 501);
  EXPECT_EQ(d["ROWS"].Size(), 0u);

  ASSERT_TRUE(c.SendFrame(Request(1027, ",\"EntryID\":\"0011AABB\"" + kStore)));
  EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":1,\"ErrorString\":\"cannot get folder list\"}");
  EXPECT_TRUE(service_->WaitForLog(c.ExpectedName() + "::ZUV_Cache::jsonifyFolderList returning error"));
  ASSERT_TRUE(c.SendFrame(Request(1009)));  // one answer only
  EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
}

// ---- SetCustomProperties (1029)

TEST_F(FolderRequestsTest, SetCustomPropertiesCreatesNamesOnlyWhenAsked) {
  const std::string keys = ",\"EntryID\":" + Q(Folders().at("Inbox").entry_id) + kStore +
                           ",\"PropertyList\":[{\"Name\":\"ZuvFolderTestFlag\",\"Type\":3}],\"CreateIfNotExists\":";
  const std::string cached = "caching property tag";
  const std::string named = "for property name ZuvFolderTestFlag and type 3";
  Conn c(service_->port(1));
  rapidjson::Document d;
  ASSERT_TRUE(Ask(c, 1029, keys + "false", &d));  // unknown and not to be made: skipped
  EXPECT_EQ(Members(d), (std::vector<std::string>{"ErrorNumber", "ErrorString"}));
  EXPECT_EQ(d["ErrorNumber"].GetInt(), 0);
  EXPECT_STREQ(d["ErrorString"].GetString(), "");
  EXPECT_TRUE(service_->WaitForLog(c.ExpectedName() + ":svc-zuv:ProcessSetCustomPropertiesRequest returning success"));
  EXPECT_TRUE(service_->LogContains(c.ExpectedName() + ":svc-zuv:Doing a SetCustomProperties operation on folder "
                                                       "ZUV_MAILBOX_STORE_ENTRYID:"));
  EXPECT_EQ(service_->CountInLog(named), 0);

  ASSERT_TRUE(Ask(c, 1029, keys + "true", &d));  // made and cached
  EXPECT_EQ(d["ErrorNumber"].GetInt(), 0);
  EXPECT_TRUE(service_->WaitForLog(cached + " "));
  EXPECT_EQ(service_->CountInLog(named), 1);
  ASSERT_TRUE(Ask(c, 1029, keys + "false", &d));  // known from now on
  EXPECT_EQ(d["ErrorNumber"].GetInt(), 0);
  EXPECT_EQ(service_->CountInLog(named), 2);

  // The operation's own text comes back on failure.
  ASSERT_TRUE(Ask(c, 1029,
                  ",\"EntryID\":\"00AA\"" + kStore +
                      ",\"PropertyList\":[{\"Name\":\"ZuvNoFolder\",\"Type\":30}],\"CreateIfNotExists\":true",
                  &d));
  EXPECT_EQ(d["ErrorNumber"].GetInt(), 1);
  EXPECT_STREQ(d["ErrorString"].GetString(),
               "Cannot get the property tag for property name ZuvNoFolder in folder ZUV_MAILBOX_STORE_ENTRYID-00AA");
}

// ---- GetAttachment (1006)

TEST_F(FolderRequestsTest, GetAttachmentResolvesItsFolderAndAnswersNothing) {
  const std::string qrp = Folders().at("TovanixQRP").entry_id;
  Conn c(service_->port(2));
  ASSERT_TRUE(c.SendFrame(Request(1006, ",\"Mailbox\":\"svc-zuv\",\"Data1\":\"x\",\"Data2\":\"y\"" + kStore)));
  ASSERT_TRUE(c.SendFrame(Request(1009)));
  EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
  EXPECT_TRUE(c.ClosedByPeer());
  EXPECT_TRUE(service_->WaitForLog(":EntryID for TovanixQRP is " + qrp));
  EXPECT_TRUE(service_->LogContains(c.ExpectedName() + ":svc-zuv:START GetAttachment"));
}

}  // namespace
}  // namespace zuv_test
