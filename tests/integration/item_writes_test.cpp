// Item writes over the wire: SetTable creating an item with values of the
// four written kinds, changing an item whose folder table is cached, a
// custom name becoming a named property, failures answered with the entry
// ID sent, and request 1025 deleting an item.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "mapi/mapiptr.h"
#include "mapi/mapitags.h"
#include "service_harness.h"

namespace zuv_test {
namespace {

constexpr const char* kStore = "ZUV_MAILBOX_STORE_ENTRYID";

using Row = std::map<std::string, std::string>;

class ItemWritesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new ServiceProcess;
    ASSERT_NE(service_->store(), nullptr);
    ASSERT_TRUE(service_->Start()) << ReadFile(service_->home() / "console.out");
    // Again with trace lines in the log file, where the cached row's update
    // shows.
    service_->Stop();
    const fs::path config = service_->home() / "ZUV_NLOG_Config.xml";
    std::string text = ReadFile(config);
    const std::string rule = "minlevel=\"Info\" writeTo=\"logfile\"";
    ASSERT_NE(text.find(rule), std::string::npos) << text;
    text.replace(text.find(rule), rule.size(), "minlevel=\"Trace\" writeTo=\"logfile\"");
    std::ofstream(config) << text;
    fs::remove(service_->LogPath());  // the start waits for its own lines
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

  // Adds a message with subject through the store; its entry ID in hex.
  static std::string AddMessage(const std::string& path, const std::string& subject) {
    std::string err;
    MapiPtr<IMAPIFolder> folder;
    EXPECT_EQ(service_->store()->OpenFolder(kServiceAlias, false, path, folder.put(), &err), S_OK) << err;
    if (!folder) return {};
    MapiPtr<IMessage> msg;
    EXPECT_EQ(folder->CreateMessage(nullptr, 0, msg.put()), S_OK);
    SPropValue v{};
    v.ulPropTag = PR_SUBJECT_A;
    v.Value.lpszA = const_cast<char*>(subject.c_str());
    EXPECT_EQ(msg->SetProps(1, &v, nullptr), S_OK);
    EXPECT_EQ(msg->SaveChanges(0), S_OK);
    MapiBuffer<SPropValue> id;
    ULONG count = 0;
    SizedSPropTagArray(1, tags) = {1, {PR_ENTRYID}};
    EXPECT_EQ(msg->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, id.put()), S_OK);
    return zuvstore::EntryIdToHex(id->Value.bin.lpb, id->Value.bin.cb);
  }

  // Opens the message hex in the folder at path through the store; null
  // when the store has no such message.
  static MapiPtr<IMessage> OpenMessage(const std::string& path, const std::string& hex) {
    std::string err, bytes;
    MapiPtr<IMAPIFolder> folder;
    MapiPtr<IMessage> msg;
    if (service_->store()->OpenFolder(kServiceAlias, false, path, folder.put(), &err) != S_OK ||
        !zuvstore::HexToEntryId(hex, &bytes)) {
      return msg;
    }
    ULONG type = 0;
    if (FAILED(folder->OpenEntry(static_cast<ULONG>(bytes.size()),
                                 reinterpret_cast<LPENTRYID>(bytes.data()), nullptr, 0, &type,
                                 reinterpret_cast<LPUNKNOWN*>(msg.put())))) {
      return MapiPtr<IMessage>();
    }
    return msg;
  }

  static std::string Send(const std::string& json, int port = 0) {
    Conn c(service_->port(port));
    EXPECT_TRUE(c.ok());
    EXPECT_TRUE(c.SendFrame(json));
    return c.ReadResponse().value_or("<closed>");
  }

  // SetTable of item (empty: a new item) in folder with setData entries.
  static std::string SetTable(const std::string& folder, const std::string& item, const std::string& setData) {
    return Send(Request(1003, ",\"EntryID\":\"" + item + "\",\"FolderEntryID\":\"" + folder + "\",\"StoreEntryID\":\"" +
                                  kStore + "\",\"ClientIdentifier\":\"writer\",\"SetData\":[" + setData + "]"));
  }

  static std::string Entry(const std::string& key, int kind, const std::string& value) {
    return "{\"Key\":\"" + key + "\",\"Value\":{\"Kind\":" + std::to_string(kind) + ",\"Value\":" + value + "}}";
  }

  static std::string DeleteItem(const std::string& folder, const std::string& item) {
    return Send(Request(1025, ",\"EntryID\":\"" + item + "\",\"FolderEntryID\":\"" + folder + "\",\"StoreEntryID\":\"" +
                                  kStore + "\",\"ClientIdentifier\":\"writer\""),
                1);
  }

  static std::string GetTable(const std::string& folder, const std::string& columns) {
    return Send(Request(1001, ",\"EntryID\":\"" + folder + "\",\"StoreEntryID\":\"" + kStore +
                                  "\",\"ClientIdentifier\":\"reader\",\"ColumnList\":[" + columns + "]"),
                2);
  }

  // The rows of a response: key -> member name -> value as text.
  static std::map<std::string, Row> Rows(const std::string& json) {
    std::map<std::string, Row> out;
    rapidjson::Document d;
    d.Parse(json.c_str());
    if (!d.IsObject() || !d.HasMember("ROWS") || !d["ROWS"].IsArray()) return out;
    for (const auto& row : d["ROWS"].GetArray()) {
      auto m = row.MemberBegin();
      Row values;
      for (const auto& prop : m->value.GetArray()) {
        auto p = prop.MemberBegin();
        values[p->name.GetString()] = p->value.IsString() ? p->value.GetString()
                                      : p->value.IsBool() ? (p->value.GetBool() ? "true" : "false")
                                                          : std::to_string(p->value.GetInt());
      }
      out[m->name.GetString()] = values;
    }
    return out;
  }

  // ROWS of a SetTable answer; "" when the answer is not a success.
  static std::string WrittenID(const std::string& json) {
    rapidjson::Document d;
    d.Parse(json.c_str());
    if (!d.IsObject() || !d.HasMember("ErrorNumber") || d["ErrorNumber"].GetInt() != 0 || !d.HasMember("ROWS") ||
        !d["ROWS"].IsString()) {
      return {};
    }
    return d["ROWS"].GetString();
  }

  static ServiceProcess* service_;
};

ServiceProcess* ItemWritesTest::service_ = nullptr;

const std::string kFourKinds = "\"PR_SUBJECT\",\"PR_IMPORTANCE\",\"PR_READ_RECEIPT_REQUESTED\",\"PR_CLIENT_SUBMIT_TIME\"";

TEST_F(ItemWritesTest, SetTableCreatesAnItemWithValuesOfTheFourKinds) {
  const std::string folder = NewFolder("Inbox/Created");
  const std::string answer =
      SetTable(folder, "",
               Entry("PR_SUBJECT", 30, "\"written subject\"") + "," + Entry("PR_IMPORTANCE", 3, "2") + "," +
                   Entry("PR_READ_RECEIPT_REQUESTED", 11, "\"1\"") + "," +
                   Entry("PR_CLIENT_SUBMIT_TIME", 64, "\"30000000:4242\""));
  const std::string id = WrittenID(answer);
  ASSERT_FALSE(id.empty()) << answer;
  EXPECT_EQ(answer, "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":\"" + id + "\"}");
  EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;

  EXPECT_TRUE(service_->WaitForLog(" row NEW ROW(PR_SUBJECT(37001e/PT_STRING8)=written subject,"
                                   "PR_IMPORTANCE(170003/PT_LONG)=2,PR_READ_RECEIPT_REQUESTED(29000b/PT_BOOLEAN)=1,"
                                   "PR_CLIENT_SUBMIT_TIME(390040/PT_SYSTIME)=30000000, 4242,)"));
  EXPECT_TRUE(service_->WaitForLog("SetTable successful. EntryID:" + id));
  EXPECT_TRUE(service_->WaitForLog("Table " + folder + " in store " + kStore +
                                   " is not cached. UpdateCacheData does not apply"));

  // The folder's first read comes from the store.
  auto rows = Rows(GetTable(folder, kFourKinds));
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_EQ(rows.count(id), 1u) << "the row's key is the entry ID answered";
  Row& row = rows[id];
  EXPECT_EQ(row["PR_SUBJECT-30"], "written subject");
  EXPECT_EQ(row["PR_IMPORTANCE-3"], "2");
  EXPECT_EQ(row["PR_READ_RECEIPT_REQUESTED-11"], "true");
  EXPECT_EQ(row["PR_CLIENT_SUBMIT_TIME-64"], "30000000,4242");

  // A boolean other than "1" is false.
  const std::string second = WrittenID(SetTable(folder, "", Entry("PR_READ_RECEIPT_REQUESTED", 11, "\"true\"")));
  ASSERT_FALSE(second.empty());
  MapiPtr<IMessage> msg = OpenMessage("Inbox/Created", second);
  ASSERT_TRUE(msg);
  MapiBuffer<SPropValue> value;
  ULONG count = 0;
  SizedSPropTagArray(1, tags) = {1, {PR_READ_RECEIPT_REQUESTED}};
  ASSERT_EQ(msg->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, value.put()), S_OK);
  EXPECT_EQ(value->Value.b, 0);
}

TEST_F(ItemWritesTest, ChangingAnItemUpdatesTheCachedRowAtOnce) {
  const std::string folder = NewFolder("Inbox/Changed");
  const std::string id = AddMessage("Inbox/Changed", "before");
  auto before = Rows(GetTable(folder, "\"PR_SUBJECT\",\"PR_IMPORTANCE\""));
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(before[id]["PR_SUBJECT-30"], "before");

  // The item's entry ID in lower case names the same item and the same row.
  std::string lower = id;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const int updatesBefore = service_->CountInLog("OLD-Number of columnss in row ");
  const std::string answer = SetTable(folder, lower,
                                      Entry("PR_SUBJECT", 30, "\"after\"") + "," + Entry("PR_IMPORTANCE", 3, "2") +
                                          "," + Entry("PR_SENSITIVITY", 3, "3"));
  EXPECT_EQ(WrittenID(answer), lower) << answer;
  // The cached row took the write before the
  // answer went out, whatever the store's notification does later.
  EXPECT_EQ(service_->CountInLog("OLD-Number of columnss in row "), updatesBefore + 1);

  // The next read is served from the cached table, which the write
  // updated before it answered; a written column the table does not read
  // stays out of the answer.
  auto after = Rows(GetTable(folder, "\"PR_SUBJECT\",\"PR_IMPORTANCE\""));
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[id]["PR_SUBJECT-30"], "after");
  EXPECT_EQ(after[id]["PR_IMPORTANCE-3"], "2");
  EXPECT_EQ(after[id].count("PR_SENSITIVITY-3"), 0u);
  EXPECT_TRUE(service_->LogContains("Serving data for table"));

  // A new item in a cached folder is added to the cached table.
  const std::string added = WrittenID(SetTable(folder, "", Entry("PR_SUBJECT", 30, "\"added\"")));
  ASSERT_FALSE(added.empty());
  auto grown = Rows(GetTable(folder, "\"PR_SUBJECT\""));
  ASSERT_EQ(grown.size(), 2u);
  EXPECT_EQ(grown[added]["PR_SUBJECT-30"], "added");
  EXPECT_EQ(grown[id]["PR_SUBJECT-30"], "after");

  // The store holds the change.
  MapiPtr<IMessage> msg = OpenMessage("Inbox/Changed", id);
  ASSERT_TRUE(msg);
  MapiBuffer<SPropValue> value;
  ULONG count = 0;
  SizedSPropTagArray(2, tags) = {2, {PR_SUBJECT_A, PR_SENSITIVITY}};
  ASSERT_EQ(msg->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, value.put()), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_STREQ(value.get()[0].Value.lpszA, "after");
  EXPECT_EQ(value.get()[1].ulPropTag, PR_SENSITIVITY);
  EXPECT_EQ(value.get()[1].Value.l, 3);
}

TEST_F(ItemWritesTest, ACustomNameBecomesANamedProperty) {
  const std::string folder = NewFolder("Inbox/Custom");
  const char* name = "ZuvItemWritesCustom";
  std::u16string wide(name, name + std::strlen(name));
  auto idOfName = [&](ULONG* tag) {
    std::string err;
    MapiPtr<IMAPIFolder> f;
    if (service_->store()->OpenFolder(kServiceAlias, false, "Inbox/Custom", f.put(), &err) != S_OK) return false;
    GUID set = PS_PUBLIC_STRINGS;
    MAPINAMEID n{};
    n.lpguid = &set;
    n.ulKind = MNID_STRING;
    n.Kind.lpwstrName = wide.data();
    LPMAPINAMEID names[1] = {&n};
    MapiBuffer<SPropTagArray> tags;
    if (f->GetIDsFromNames(1, names, 0, tags.put()) != S_OK || !tags || PROP_TYPE(tags->aulPropTag[0]) == PT_ERROR) {
      return false;
    }
    *tag = tags->aulPropTag[0];
    return true;
  };
  ULONG tag = 0;
  ASSERT_FALSE(idOfName(&tag)) << "the name is new";

  const std::string id = WrittenID(SetTable(folder, "", Entry(name, 3, "77")));
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(idOfName(&tag)) << "the write created the name";

  MapiPtr<IMessage> msg = OpenMessage("Inbox/Custom", id);
  ASSERT_TRUE(msg);
  MapiBuffer<SPropValue> value;
  ULONG count = 0;
  SizedSPropTagArray(1, tags) = {1, {CHANGE_PROP_TYPE(tag, PT_LONG)}};
  ASSERT_EQ(msg->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, value.put()), S_OK);
  EXPECT_EQ(value->ulPropTag, CHANGE_PROP_TYPE(tag, PT_LONG));
  EXPECT_EQ(value->Value.l, 77);

  // Registered without creating, the name reads as a column.
  EXPECT_EQ(Send(Request(1029, ",\"EntryID\":\"" + folder + "\",\"StoreEntryID\":\"" + kStore +
                                   "\",\"PropertyList\":[{\"Name\":\"" + name + "\",\"Type\":3}]")),
            "{\"ErrorNumber\":0,\"ErrorString\":\"\"}");
  auto rows = Rows(GetTable(folder, std::string("\"") + name + "\""));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[id][std::string(name) + "-3"], "77");
}

TEST_F(ItemWritesTest, FailuresAnswerCannotSetDataWithTheEntryIDSent) {
  const std::string folder = NewFolder("Inbox/Failing");
  const std::string missingItem = "00112233445566778899AABB";
  EXPECT_EQ(SetTable(folder, missingItem, Entry("PR_SUBJECT", 30, "\"x\"")),
            "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot set data\",\"ROWS\":\"" + missingItem + "\"}");
  EXPECT_TRUE(service_->WaitForLog(":Cannot open item " + missingItem + " for folder "));
  EXPECT_TRUE(service_->WaitForLog("SetTable Failed:"));

  EXPECT_EQ(SetTable("00AA", "", Entry("PR_SUBJECT", 30, "\"x\"")),
            "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot set data\",\"ROWS\":\"\"}");
  EXPECT_TRUE(service_->WaitForLog(":Cannot open folder " + std::string(kStore) + ":00AA"));

  // A custom name of no type cannot be resolved: nothing is opened or made.
  EXPECT_EQ(SetTable(folder, "", "{\"Key\":\"ZuvUntypedName\",\"Value\":{\"Kind\":0,\"Value\":1}}"),
            "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot set data\",\"ROWS\":\"\"}");
  EXPECT_TRUE(service_->WaitForLog("Cannot do SetData. One of the properties ZuvUntypedName cannot be resolved"));
  EXPECT_TRUE(Rows(GetTable(folder, "\"PR_SUBJECT\"")).empty()) << "no item was created";
}

TEST_F(ItemWritesTest, Request1025DeletesAnItem) {
  const std::string folder = NewFolder("Inbox/Deleting");
  const std::string gone = AddMessage("Inbox/Deleting", "to delete");
  const std::string kept = AddMessage("Inbox/Deleting", "to keep");
  ASSERT_TRUE(OpenMessage("Inbox/Deleting", gone));

  EXPECT_EQ(DeleteItem(folder, gone), "{\"ErrorNumber\":0,\"ErrorString\":\"\"}");
  EXPECT_TRUE(service_->WaitForLog("ZUV_DeleteMAPIEntry for folder " + folder + ", rowEntryID=" + gone));
  EXPECT_FALSE(OpenMessage("Inbox/Deleting", gone)) << "the store no longer has the item";
  EXPECT_TRUE(OpenMessage("Inbox/Deleting", kept));

  // A first read of the folder: the store's rows.
  auto rows = Rows(GetTable(folder, "\"PR_SUBJECT\""));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[kept]["PR_SUBJECT-30"], "to keep");

  // Deleting it again, or from a folder that does not exist, fails.
  EXPECT_EQ(DeleteItem(folder, gone), "{\"ErrorNumber\":1,\"ErrorString\":\"\"}");
  EXPECT_TRUE(service_->WaitForLog("Cannot delete entry with entryID " + gone + " in folder " + folder));
  EXPECT_EQ(DeleteItem("00AA", kept), "{\"ErrorNumber\":1,\"ErrorString\":\"\"}");
  EXPECT_TRUE(OpenMessage("Inbox/Deleting", kept));
}

}  // namespace
}  // namespace zuv_test
