// Directory and mailbox requests over the wire, against the test directory
// (a private slapd with the sample organisation and 2,500 generated users,
// size limit 500) and a store holding the mailboxes of two of its users:
// resolution by address and common name, another user's mailbox by
// MailBoxInfo and by AltMailbox, servers, every mailbox user, mobile
// devices, and the directory going away and coming back while the service
// runs.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <strings.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../directory/directory_fixture.h"
#include "mapi/mapiptr.h"
#include "mapi/mapitags.h"
#include "service_harness.h"

namespace zuv_test {
namespace {

constexpr const char* kMailboxStore = "ZUV_MAILBOX_STORE_ENTRYID";
// Named users the mailbox listing returns (the sample organisation less the
// disabled user and those lacking homeMDB, legacyExchangeDN or home server).
constexpr int kListedNamedUsers = 9;

std::string Legacy(const std::string& nick) { return std::string(kLegacyPrefix) + nick; }

rapidjson::Document Parse(const std::string& json) {
  rapidjson::Document d;
  d.Parse(json.c_str(), json.size());
  EXPECT_FALSE(d.HasParseError()) << json.substr(0, 400);
  return d;
}

// A row of the member shape: its name and its members in order.
struct MemberRow {
  std::string name;
  std::vector<std::pair<std::string, std::string>> members;
  std::string Get(const std::string& key) const {
    for (const auto& [k, v] : members) {
      if (k == key) return v;
    }
    return "<missing " + key + ">";
  }
};

std::vector<MemberRow> MemberRows(const rapidjson::Document& d) {
  std::vector<MemberRow> out;
  if (!d.IsObject() || !d.HasMember("ROWS") || !d["ROWS"].IsArray()) return out;
  for (const auto& row : d["ROWS"].GetArray()) {
    MemberRow r;
    if (!row.IsObject() || row.MemberCount() != 1) return {};
    auto m = row.MemberBegin();
    r.name = m->name.GetString();
    if (!m->value.IsArray()) return {};
    for (const auto& field : m->value.GetArray()) {
      if (!field.IsObject() || field.MemberCount() != 1 || !field.MemberBegin()->value.IsString()) return {};
      r.members.emplace_back(field.MemberBegin()->name.GetString(), field.MemberBegin()->value.GetString());
    }
    out.push_back(std::move(r));
  }
  return out;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

class DirectoryRequestsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    directory_ = new DirectoryEnvironment;
    directory_->SetUp();
    ASSERT_FALSE(directory_->uri().empty());
    service_ = new ServiceProcess;
    service_->set_ldap_uri(directory_->uri());
    service_->AddRegistryLines(std::string("\"LdapBindDN\"=\"") + kServiceDN + "\"\r\n\"LdapBindPassword\"=\"" +
                               kServicePassword +
                               "\"\r\n\"LdapConnectTimeoutMs\"=dword:000003e8\r\n\"LdapTimeoutMs\"=dword:000007d0\r\n");
    zuvstore::StoreAdmin* store = service_->store();
    ASSERT_NE(store, nullptr);
    std::string err;
    ASSERT_EQ(store->AddServer("EXCH2", false, &err), S_OK) << err;
    AddMailbox("alice", "Alice Smith", "EXCH1");
    AddMailbox("carol", "Carol White", "EXCH2");
    // Alice's devices: two with sync state, one without (not a device), and
    // a validation folder (never a device).
    for (const char* path : {"/ExchangeSyncData/AirSync-iPhone-APPLE123/SyncStatus",
                             "/ExchangeSyncData/AirSync-Android-DROID-456/SyncStatus",
                             "/ExchangeSyncData/AirSync-Old-NOSTATE", "/ExchangeSyncData/validate-x/SyncStatus"}) {
      std::string id;
      ASSERT_EQ(store->CreateFolderPath("alice", false, path, "", &id, &err), S_OK) << err;
    }
    AddMessage("alice", "Inbox", "for alice");
    AddMessage(kServiceAlias, "Inbox", "for the service");
    ASSERT_TRUE(service_->Start()) << ReadFile(service_->home() / "console.out");
  }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
    directory_->TearDown();
    delete directory_;
    directory_ = nullptr;
  }

  static void AddMailbox(const std::string& nick, const std::string& name, const std::string& server) {
    zuvstore::MailboxSpec spec;
    spec.alias = nick;
    spec.display_name = name;
    spec.smtp = {nick + "@example.com"};
    spec.legacy_dn = Legacy(nick);
    spec.server = server;
    std::string id, err;
    ASSERT_EQ(service_->store()->AddMailbox(spec, &id, &err), S_OK) << err;
  }

  static void AddMessage(const std::string& alias, const std::string& path, const std::string& subject) {
    std::string err;
    MapiPtr<IMAPIFolder> folder;
    ASSERT_EQ(service_->store()->OpenFolder(alias, false, path, folder.put(), &err), S_OK) << err;
    MapiPtr<IMessage> msg;
    ASSERT_EQ(folder->CreateMessage(nullptr, 0, msg.put()), S_OK);
    SPropValue v{};
    v.ulPropTag = PR_SUBJECT_A;
    v.Value.lpszA = const_cast<char*>(subject.c_str());
    ASSERT_EQ(msg->SetProps(1, &v, nullptr), S_OK);
    ASSERT_EQ(msg->SaveChanges(0), S_OK);
  }

  // One request on conn; the response, or "<closed>".
  static std::string Ask(Conn& conn, int code, const std::string& extra) {
    EXPECT_TRUE(conn.SendFrame(Request(code, extra)));
    return conn.ReadResponse().value_or("<closed>");
  }
  static std::string Ask(int code, const std::string& extra) {
    Conn conn(service_->port(0));
    EXPECT_TRUE(conn.ok());
    return Ask(conn, code, extra);
  }

  static std::string Resolve(Conn& conn, int code, const std::string& what) {
    return Ask(conn, code, ",\"ClientIdentifier\":\"c\",\"EmailAddr\":" + Quoted(what));
  }
  static std::string MailBoxInfo(const std::string& email) {
    return Ask(1026, ",\"ClientIdentifier\":\"c\",\"EmailAddress\":" + Quoted(email));
  }
  // The store entry ID MailBoxInfo answers for email, or "".
  static std::string StoreOf(const std::string& email) {
    rapidjson::Document d = Parse(MailBoxInfo(email));
    return d.IsObject() && d.HasMember("ROWS") && d["ROWS"].IsString() ? d["ROWS"].GetString() : "";
  }
  static std::string EntryID(const std::string& store, const std::string& folder, const std::string& extra = "") {
    rapidjson::Document d = Parse(Ask(1007, ",\"ClientIdentifier\":\"c\",\"StoreEntryID\":" + Quoted(store) +
                                                ",\"FolderHierarchy\":[" + Quoted(folder) + "]" + extra));
    return d.IsObject() && d.HasMember("ROWS") && d["ROWS"].IsString() ? d["ROWS"].GetString() : "";
  }
  static std::string Subjects(const std::string& response) {
    std::string out;
    for (size_t at = response.find("for "); at != std::string::npos; at = response.find("for ", at + 1)) {
      out += response.substr(at, response.find('"', at) - at) + ";";
    }
    return out;
  }

  static DirectoryEnvironment* directory_;
  static ServiceProcess* service_;
};

DirectoryEnvironment* DirectoryRequestsTest::directory_ = nullptr;
ServiceProcess* DirectoryRequestsTest::service_ = nullptr;

TEST_F(DirectoryRequestsTest, ResolvesByAddressAndCommonName) {
  Conn conn(service_->port(0));
  ASSERT_TRUE(conn.ok());
  // Found by any of the user's addresses, by the common name in any case.
  for (const auto& [code, what] : std::vector<std::pair<int, std::string>>{
           {1012, "alice@example.com"}, {1012, "A.SMITH@example.com"}, {1014, "alice smith"}}) {
    rapidjson::Document d = Parse(Resolve(conn, code, what));
    ASSERT_TRUE(d.IsObject());
    EXPECT_EQ(d["ErrorNumber"].GetInt(), 0) << what;
    EXPECT_STREQ(d["ErrorString"].GetString(), "");
    EXPECT_STREQ(d["ROWS"]["UserName"].GetString(), "Alice Smith");
    EXPECT_EQ(d["ROWS"]["UserDN"].GetString(), Legacy("alice"));
    EXPECT_EQ(strcasecmp(d["ROWS"]["StoreDN"].GetString(), kExch1DN), 0) << d["ROWS"]["StoreDN"].GetString();
  }
  // Filter metacharacters are matched as text: the common name with them is
  // found, and they never widen an address into a match of everyone.
  rapidjson::Document oscar = Parse(Resolve(conn, 1014, "Oscar (Ops) *Star"));
  EXPECT_EQ(oscar["ErrorNumber"].GetInt(), 0);
  EXPECT_EQ(oscar["ROWS"]["UserDN"].GetString(), Legacy("oscar"));

  const std::string failed =
      R"({"ErrorNumber":1,"ErrorString":"Cannot resolve email","ROWS":{"UserName":"","UserDN":"","StoreDN":""}})";
  for (const auto& [code, what] : std::vector<std::pair<int, std::string>>{{1012, "nobody@example.com"},
                                                                         {1012, "*"},
                                                                         {1012, "a)(proxyAddresses=*"},
                                                                         {1012, "\\2a"},
                                                                         {1012, ""},
                                                                         {1014, "*"},
                                                                         {1014, "Nobody Here"},
                                                                         {1012, "erin@example.com"}}) {
    EXPECT_EQ(Resolve(conn, code, what), failed) << code << " " << what;
  }
  // The connection served every lookup and still does.
  EXPECT_NE(Resolve(conn, 1012, "carol@example.com").find("Carol White"), std::string::npos);
}

TEST_F(DirectoryRequestsTest, AnotherUsersMailboxByMailBoxInfo) {
  const std::string alice = StoreOf("alice@example.com");
  ASSERT_FALSE(alice.empty());
  EXPECT_EQ(StoreOf("alice@example.com"), alice) << "the same store every time";
  EXPECT_NE(StoreOf("carol@example.com"), alice);

  // Its store entry ID works in folder and table requests.
  const std::string inbox = EntryID(alice, "Inbox");
  ASSERT_FALSE(inbox.empty());
  EXPECT_NE(inbox, EntryID(kMailboxStore, "Inbox"));
  const std::string table = Ask(1001, ",\"ClientIdentifier\":\"c\",\"identifier\":\"t\",\"EntryID\":" + Quoted(inbox) +
                                          ",\"StoreEntryID\":" + Quoted(alice) + ",\"ColumnList\":[\"PR_SUBJECT\"]");
  EXPECT_EQ(Subjects(table), "for alice;") << table;

  // A user the directory does not know, and one without a mailbox here.
  EXPECT_EQ(MailBoxInfo("nobody@example.com"),
            R"({"ErrorNumber":1,"ErrorString":"Cannot resolve e-amil nobody@example.com"})");
  rapidjson::Document bob = Parse(MailBoxInfo("bob@example.com"));
  EXPECT_EQ(bob["ErrorNumber"].GetInt(), 1);
  const std::string text = bob["ErrorString"].GetString();
  EXPECT_EQ(text.rfind("Cannot open user mailbox ", 0), 0u) << text;
  EXPECT_NE(text.find(":" + Legacy("bob")), std::string::npos) << text;
}

TEST_F(DirectoryRequestsTest, AltMailboxReadsTheUsersMailbox) {
  const std::string alt = ",\"Mailbox\":\"alice@example.com\",\"AltMailbox\":\"1\"";
  const std::string inbox = EntryID(kMailboxStore, "Inbox", alt);
  ASSERT_FALSE(inbox.empty());
  EXPECT_EQ(inbox, EntryID(StoreOf("alice@example.com"), "Inbox"));
  const std::string table = Ask(1001, ",\"ClientIdentifier\":\"c\",\"identifier\":\"t\",\"EntryID\":" + Quoted(inbox) +
                                          ",\"StoreEntryID\":\"ZUV_MAILBOX_STORE_ENTRYID\",\"ColumnList\":[\"PR_SUBJECT\"]" +
                                          alt);
  EXPECT_EQ(Subjects(table), "for alice;") << table;
  // Without AltMailbox the same keys read the service mailbox.
  const std::string own = EntryID(kMailboxStore, "Inbox", ",\"Mailbox\":\"alice@example.com\"");
  EXPECT_NE(own, inbox);

  // A user the directory does not know fails; the service mailbox is not read instead.
  EXPECT_EQ(Ask(1007, ",\"StoreEntryID\":\"ZUV_MAILBOX_STORE_ENTRYID\",\"FolderHierarchy\":[\"Inbox\"],"
                      "\"Mailbox\":\"nobody@example.com\",\"AltMailbox\":\"1\""),
            R"({"ErrorNumber":1,"ErrorString":"Cannot get EntryID for folder","ROWS":""})");
}

TEST_F(DirectoryRequestsTest, ServersWithAndWithoutWildcard) {
  EXPECT_EQ(Ask(1030, ",\"ClientIdentifier\":\"c\""),
            R"({"ErrorNumber":0,"ErrorString":"","ROWS":[{"Server":"EXCH1"},{"Server":"EXCH2"}]})");
  EXPECT_EQ(Ask(1030, ",\"ServerWildCard\":\"exch2\""),
            R"({"ErrorNumber":0,"ErrorString":"","ROWS":[{"Server":"EXCH2"}]})");
  EXPECT_EQ(Ask(1030, ",\"ServerWildCard\":\"NOSUCH\""), R"({"ErrorNumber":0,"ErrorString":"","ROWS":[]})");
  EXPECT_EQ(Ask(1030, ",\"ServerWildCard\":\"*\""), R"({"ErrorNumber":0,"ErrorString":"","ROWS":[]})");
}

TEST_F(DirectoryRequestsTest, EveryMailboxPastTheSizeLimit) {
  const std::string json = Ask(1031, ",\"ClientIdentifier\":\"c\"");
  rapidjson::Document d = Parse(json);
  ASSERT_TRUE(d.IsObject());
  EXPECT_EQ(d["ErrorNumber"].GetInt(), 0);
  std::vector<MemberRow> rows = MemberRows(d);
  ASSERT_EQ(rows.size(), static_cast<size_t>(kGeneratedUsers + kListedNamedUsers));
  EXPECT_TRUE(service_->WaitForLog("Getting all mailboxes from exchange server ALL Servers:2509 Entries returned"));

  const std::vector<std::string> order = {"MailBoxName", "StoreDN", "MailBoxDN", "MailStoreDN", "SurName",
                                          "GivenName",   "Initials", "Mail",      "DN",          "UserDN"};
  int generated = 0;
  const MemberRow* alice = nullptr;
  for (const MemberRow& r : rows) {
    std::vector<std::string> keys;
    for (const auto& [k, v] : r.members) keys.push_back(k);
    ASSERT_EQ(keys, order) << r.name;
    EXPECT_EQ(r.name, r.Get("MailBoxName"));
    if (r.Get("Mail").rfind("bulkuser", 0) == 0) ++generated;
    if (r.name == Legacy("alice")) alice = &r;
    EXPECT_NE(r.name, Legacy("dave")) << "a disabled account is never listed";
  }
  EXPECT_EQ(generated, kGeneratedUsers);
  ASSERT_NE(alice, nullptr);
  EXPECT_EQ(strcasecmp(alice->Get("StoreDN").c_str(), kExch1DN), 0);
  EXPECT_EQ(alice->Get("MailBoxDN"), Legacy("alice"));
  EXPECT_EQ(alice->Get("MailStoreDN"), "/cn=Configuration/cn=Servers/cn=alice");
  EXPECT_EQ(alice->Get("SurName"), "Smith");
  EXPECT_EQ(alice->Get("GivenName"), "Alice");
  EXPECT_EQ(alice->Get("Initials"), "A");
  EXPECT_EQ(alice->Get("Mail"), "alice@example.com");
  EXPECT_EQ(alice->Get("DN"), "CN=Alice Smith,CN=Users,DC=example,DC=com");
  EXPECT_EQ(alice->Get("UserDN"), Legacy("alice"));

  // One server named: the same users, the server only in the log.
  EXPECT_EQ(Ask(1031, ",\"ExchangeServer\":\"EXCH1\"").size(), json.size());
  EXPECT_TRUE(service_->WaitForLog("Getting all mailboxes from exchange server EXCH1:2509 Entries returned"));
}

TEST_F(DirectoryRequestsTest, DevicesOfAMailbox) {
  const std::string alice_store = StoreOf("alice@example.com");
  const std::string contacts = EntryID(alice_store, "Contacts");
  ASSERT_FALSE(contacts.empty());
  const std::string json = Ask(1032, ",\"ClientIdentifier\":\"c\",\"ExchangeServer\":\"EXCH1\",\"MailBoxName\":"
                                     "\"alice\",\"MailBoxDN\":" + Quoted(Legacy("alice")));
  rapidjson::Document d = Parse(json);
  EXPECT_EQ(d["ErrorNumber"].GetInt(), 0);
  std::vector<MemberRow> rows = MemberRows(d);
  ASSERT_EQ(rows.size(), 2u) << json;
  EXPECT_EQ(rows[0].name, "APPLE123");
  EXPECT_EQ(rows[0].Get("DeviceType"), "iPhone");
  EXPECT_EQ(rows[1].name, "DROID-456");
  EXPECT_EQ(rows[1].Get("DeviceType"), "Android");
  const std::vector<std::string> order = {"DeviceID",     "MailBoxName",    "MailBoxDN",    "DeviceType",
                                          "StoreEntryID", "ContactEntryID", "CreationTime", "ModificationTime"};
  for (const MemberRow& r : rows) {
    std::vector<std::string> keys;
    for (const auto& [k, v] : r.members) keys.push_back(k);
    EXPECT_EQ(keys, order);
    EXPECT_EQ(r.Get("DeviceID"), r.name);
    EXPECT_EQ(r.Get("MailBoxName"), "alice");
    EXPECT_EQ(r.Get("MailBoxDN"), Legacy("alice"));
    EXPECT_EQ(r.Get("StoreEntryID"), alice_store);
    EXPECT_EQ(r.Get("ContactEntryID"), contacts);
    // "high,low" of a time in this century: the high half is non-zero.
    const std::string created = r.Get("CreationTime");
    ASSERT_NE(created.find(','), std::string::npos) << created;
    EXPECT_GT(std::stoul(created.substr(0, created.find(','))), 0u) << created;
    EXPECT_NE(r.Get("ModificationTime").find(','), std::string::npos);
  }

  // Carol has no devices; neither has the service mailbox.
  EXPECT_EQ(Ask(1032, ",\"MailBoxName\":\"carol\",\"MailBoxDN\":" + Quoted(Legacy("carol"))),
            R"({"ErrorNumber":0,"ErrorString":"","ROWS":[]})");
  EXPECT_EQ(Ask(1032, ",\"MailBoxName\":\"svc\""), R"({"ErrorNumber":0,"ErrorString":"","ROWS":[]})");
  // The AltMailbox user's devices when the request names no mailbox DN.
  EXPECT_EQ(MemberRows(Parse(Ask(1032, ",\"Mailbox\":\"alice@example.com\",\"AltMailbox\":\"1\""))).size(), 2u);
  // A mailbox that does not exist is an error, not an empty list.
  EXPECT_EQ(Ask(1032, ",\"MailBoxName\":\"x\",\"MailBoxDN\":\"/o=Example Org/cn=Recipients/cn=nobody\""),
            R"({"ErrorNumber":1,"ErrorString":"Cannot retrieve Active Sync Devices"})");
}

TEST_F(DirectoryRequestsTest, DirectoryGoneAndBackWhileTheServiceRuns) {
  Conn conn(service_->port(1));
  ASSERT_TRUE(conn.ok());
  ASSERT_NE(Resolve(conn, 1012, "alice@example.com").find("Alice Smith"), std::string::npos);

  // Stopped: every directory request answers an error, the connection lives.
  directory_->StopServer();
  const std::string not_found =
      R"({"ErrorNumber":1,"ErrorString":"Cannot resolve email","ROWS":{"UserName":"","UserDN":"","StoreDN":""}})";
  EXPECT_EQ(Resolve(conn, 1012, "alice@example.com"), not_found);
  EXPECT_EQ(Resolve(conn, 1014, "Alice Smith"), not_found);
  EXPECT_EQ(Ask(conn, 1031, ""), R"({"ErrorNumber":1,"ErrorString":"Cannot get mailboxes"})");
  EXPECT_EQ(Ask(conn, 1030, ""), R"({"ErrorNumber":1,"ErrorString":"Cannot get the exchange server list"})");
  EXPECT_EQ(Ask(conn, 1026, ",\"EmailAddress\":\"carol@example.com\""),
            R"({"ErrorNumber":1,"ErrorString":"Cannot resolve e-amil carol@example.com"})");
  EXPECT_EQ(Ask(conn, 1010, ",\"ClientIdentifier\":\"nobody\""), R"({"ErrorNumber":3})");

  // Back on the same address: the next requests succeed without a restart.
  const std::string before = directory_->uri();
  directory_->StartServer();
  ASSERT_EQ(directory_->uri(), before) << "slapd came back on another port";
  EXPECT_NE(Resolve(conn, 1012, "alice@example.com").find("Alice Smith"), std::string::npos);
  EXPECT_NE(Ask(conn, 1030, "").find("EXCH2"), std::string::npos);
  EXPECT_NE(Ask(conn, 1026, ",\"EmailAddress\":\"carol@example.com\"").find("\"ErrorNumber\":0"), std::string::npos);
}

TEST_F(DirectoryRequestsTest, FrozenDirectoryAnswersWithinItsTimeoutsAndBlocksNoOneElse) {
  Conn conn(service_->port(0));
  ASSERT_TRUE(conn.ok());
  ASSERT_NE(Resolve(conn, 1012, "alice@example.com").find("Alice Smith"), std::string::npos);
  directory_->Pause();
  // The lookup waits on the directory; meanwhile another connection is served.
  ASSERT_TRUE(conn.SendFrame(Request(1012, ",\"EmailAddr\":\"alice@example.com\"")));
  EXPECT_EQ(Ask(1010, ",\"ClientIdentifier\":\"nobody\""), R"({"ErrorNumber":3})");
  std::optional<std::string> answer = conn.ReadResponse();
  ASSERT_TRUE(answer.has_value()) << "no answer before the client gave up";
  EXPECT_NE(answer->find("Cannot resolve email"), std::string::npos) << *answer;
  EXPECT_EQ(Ask(conn, 1031, ""), R"({"ErrorNumber":1,"ErrorString":"Cannot get mailboxes"})");
  directory_->Resume();
  EXPECT_NE(Resolve(conn, 1012, "alice@example.com").find("Alice Smith"), std::string::npos);
}

}  // namespace
}  // namespace zuv_test
