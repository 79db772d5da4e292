// Attachments and contacts over the wire: uploads on the binary channel
// attached to new and existing items and read back byte for byte on the
// requesting connection, the attachment rows, attachment properties and
// deletion, refused upload names, and contacts read back with GetTable.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <map>
#include <random>
#include <string>

#include "mapi/mapiptr.h"
#include "service_harness.h"

namespace zuv_test {
namespace {

constexpr const char* kStore = "ZUV_MAILBOX_STORE_ENTRYID";

using Row = std::map<std::string, std::string>;

class AttachmentRequestsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new ServiceProcess;
    ASSERT_NE(service_->store(), nullptr);
    ASSERT_TRUE(service_->Start()) << ReadFile(service_->home() / "console.out");
  }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }

  static std::string NewFolder(const std::string& path, const char* cls = "IPF.Note") {
    std::string id, err;
    EXPECT_EQ(service_->store()->CreateFolderPath(kServiceAlias, false, path, cls, &id, &err), S_OK) << err;
    return id;
  }

  // Uploads bytes on the binary channel; the upload name, or "" on failure.
  static std::string Upload(const std::string& bytes) {
    Conn bin(service_->bin_port());
    if (!bin.ok() || !bin.SendRaw(std::to_string(bytes.size())) || !bin.ReadExactly(10) || !bin.SendRaw(bytes)) {
      return {};
    }
    const std::string name = bin.ExpectedName();
    const std::string reply = bin.ReadExactly(name.size() + 1 + std::to_string(bytes.size()).size()).value_or("");
    return reply == name + ":" + std::to_string(bytes.size()) ? name : std::string();
  }

  static std::string Send(Conn& c, const std::string& json) {
    EXPECT_TRUE(c.SendFrame(json));
    return c.ReadResponse().value_or("<closed>");
  }
  static std::string Send(const std::string& json) {
    Conn c(service_->port(0));
    return Send(c, json);
  }

  static std::string Item(const std::string& folder, const std::string& item) {
    return ",\"EntryID\":\"" + item + "\",\"FolderEntryID\":\"" + folder + "\",\"StoreEntryID\":\"" + kStore +
           "\",\"ClientIdentifier\":\"attacher\"";
  }
  static std::string Entry(const std::string& key, int kind, const std::string& value) {
    return "{\"Key\":\"" + key + "\",\"Value\":{\"Kind\":" + std::to_string(kind) + ",\"Value\":" + value + "}}";
  }
  static std::string Attach(const std::string& folder, const std::string& item, const std::string& upload,
                            const std::string& name, const std::string& setData = "") {
    return Send(Request(1011, Item(folder, item) + ",\"AttachmentName\":\"" + name +
                                  "\",\"UploadedAttachmentHash\":\"" + upload + "\",\"SetData\":[" + setData + "]"));
  }
  static std::string AttachNumber(const std::string& folder, const std::string& item, int num) {
    return Item(folder, item) + ",\"AttachmentNum\":" + std::to_string(num);
  }

  // GetAttachmentFile on c: the bytes, or "<json>" and the answer.
  static std::string GetFile(Conn& c, const std::string& folder, const std::string& item, int num) {
    EXPECT_TRUE(c.SendFrame(Request(1018, AttachNumber(folder, item, num))));
    auto header = c.ReadExactly(10);
    if (!header) return "<closed>";
    EXPECT_EQ(header->find('\0'), std::strlen(header->c_str())) << "digits, then NUL";
    auto bytes = c.ReadExactly(std::strtoul(header->c_str(), nullptr, 10));
    if (!bytes) return "<closed>";
    return *bytes;
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
                                      : p->value.IsInt()  ? std::to_string(p->value.GetInt())
                                                          : "?";
      }
      out[m->name.GetString()] = values;
    }
    return out;
  }
  static std::map<std::string, Row> AttachmentRows(const std::string& folder, const std::string& item) {
    return Rows(Send(Request(1017, Item(folder, item) +
                                       ",\"ColumnList\":[\"PR_ATTACH_NUM\",\"PR_ATTACH_LONG_FILENAME\","
                                       "\"PR_ATTACH_SIZE\",\"PR_ATTACH_CONTENT_ID\",\"PR_ATTACH_MIME_TAG\"]")));
  }
  static std::map<std::string, Row> TableRows(const std::string& folder, const std::string& columns) {
    return Rows(Send(Request(1001, ",\"EntryID\":\"" + folder + "\",\"StoreEntryID\":\"" + kStore +
                                       "\",\"ClientIdentifier\":\"reader\",\"ColumnList\":[" + columns + "]")));
  }
  // A new item of folder made through SetTable; its entry ID.
  static std::string NewItem(const std::string& folder, const std::string& subject) {
    rapidjson::Document d;
    d.Parse(Send(Request(1003, Item(folder, "") + ",\"SetData\":[" + Entry("PR_SUBJECT", 30, "\"" + subject + "\"") +
                                   "]"))
                .c_str());
    return d.IsObject() && d.HasMember("ROWS") && d["ROWS"].IsString() ? d["ROWS"].GetString() : "";
  }

  static ServiceProcess* service_;
};

ServiceProcess* AttachmentRequestsTest::service_ = nullptr;

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

TEST_F(AttachmentRequestsTest, LargeUploadAttachedToAnItemComesBackWholeOnTheSameConnection) {
  const std::string folder = NewFolder("Inbox/Large");
  const std::string item = NewItem(folder, "with a large attachment");
  ASSERT_FALSE(item.empty());
  const std::string contents = RandomBytes(5u << 20, 7);
  const std::string upload = Upload(contents);
  ASSERT_FALSE(upload.empty());

  EXPECT_EQ(Attach(folder, item, upload, "report.bin", Entry("PR_ATTACH_MIME_TAG", 30, "\"application/x-test\"")),
            "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":0}");
  // A second attach of the same upload gets the next number.
  EXPECT_EQ(Attach(folder, item, upload, "copy.bin"), "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":1}");

  Conn c(service_->port(1));
  const std::string got = GetFile(c, folder, item, 0);
  ASSERT_EQ(got.size(), contents.size());
  EXPECT_TRUE(got == contents) << "the bytes differ";
  // The connection goes on with the next request.
  EXPECT_EQ(GetFile(c, folder, item, 1).size(), contents.size());
  EXPECT_EQ(Send(c, Request(1010, ",\"ClientIdentifier\":\"nobody\"")), "{\"ErrorNumber\":3}");

  auto rows = AttachmentRows(folder, item);
  ASSERT_EQ(rows.size(), 2u);
  ASSERT_EQ(rows.count("0"), 1u) << "rows are keyed by attachment number";
  const Row& first = rows["0"];
  EXPECT_EQ(first.at("PR_ATTACH_NUM-3"), "0");
  EXPECT_EQ(first.at("PR_ATTACH_LONG_FILENAME-30"), "report.bin");
  EXPECT_EQ(first.at("PR_ATTACH_SIZE-3"), std::to_string(contents.size()));
  EXPECT_EQ(first.at("PR_ATTACH_MIME_TAG-30"), "application/x-test");
}

TEST_F(AttachmentRequestsTest, UploadAttachedToANewItemKeepsNulBytesAndANonAsciiName) {
  const std::string folder = NewFolder("Inbox/NewItem");
  std::string contents = std::string(1000, '\0') + "middle" + std::string(70000, '\0');
  contents.back() = 'x';
  const std::string name = "Pr\xC3\xBC" "fung \xE6\x97\xA5\xE6\x9C\xAC.txt";
  const std::string upload = Upload(contents);
  ASSERT_FALSE(upload.empty());
  EXPECT_EQ(Attach(folder, "", upload, name), "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":0}");

  auto items = TableRows(folder, "\"PR_HASATTACH\"");
  ASSERT_EQ(items.size(), 1u) << "the attach made one item";
  const std::string item = items.begin()->first;
  Conn c(service_->port(2));
  EXPECT_TRUE(GetFile(c, folder, item, 0) == contents);
  auto rows = AttachmentRows(folder, item);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows.begin()->second.at("PR_ATTACH_LONG_FILENAME-30"), name);
}

TEST_F(AttachmentRequestsTest, PropertiesAreSetAndAttachmentsDeleted) {
  const std::string folder = NewFolder("Inbox/Props");
  const std::string item = NewItem(folder, "two attachments");
  const std::string upload = Upload("small contents");
  ASSERT_FALSE(upload.empty());
  ASSERT_EQ(Attach(folder, item, upload, "a.txt"), "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":0}");
  ASSERT_EQ(Attach(folder, item, upload, "b.txt"), "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":1}");

  EXPECT_EQ(Send(Request(1028, AttachNumber(folder, item, 1) + ",\"SetData\":[" +
                                   Entry("PR_ATTACH_CONTENT_ID", 30, "\"cid-b\"") + "," +
                                   Entry("PR_ATTACH_LONG_FILENAME", 30, "\"renamed.txt\"") + "]")),
            "{\"ErrorNumber\":0,\"ErrorString\":\"\"}");
  EXPECT_EQ(Send(Request(1028, AttachNumber(folder, item, 9) + ",\"SetData\":[" +
                                   Entry("PR_ATTACH_CONTENT_ID", 30, "\"x\"") + "]")),
            "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot set attachment properties\"}");

  EXPECT_EQ(Send(Request(1019, AttachNumber(folder, item, 0))), "{\"ErrorNumber\":0,\"ErrorString\":\"\"}");
  EXPECT_TRUE(service_->LogContains("doing a DeleteAttachFile operation on folder"));
  EXPECT_EQ(Send(Request(1019, AttachNumber(folder, item, 0))), "{\"ErrorNumber\":1,\"ErrorString\":\"\"}");

  auto rows = AttachmentRows(folder, item);
  ASSERT_EQ(rows.size(), 1u);
  const Row& left = rows.begin()->second;
  EXPECT_EQ(left.at("PR_ATTACH_NUM-3"), "1");
  EXPECT_EQ(left.at("PR_ATTACH_LONG_FILENAME-30"), "renamed.txt");
  EXPECT_EQ(left.at("PR_ATTACH_CONTENT_ID-30"), "cid-b");

  // The deleted one and unknown items answer the failure, and the
  // connection stays usable.
  Conn c(service_->port(0));
  EXPECT_EQ(GetFile(c, folder, item, 0), "{\"ErrorNumber\":1}");
  EXPECT_EQ(GetFile(c, folder, "00112233", 1), "{\"ErrorNumber\":1}");
  EXPECT_EQ(GetFile(c, folder, item, 1), "small contents");
}

TEST_F(AttachmentRequestsTest, MissingUploadsAndBadUploadNamesAreRefused) {
  const std::string folder = NewFolder("Inbox/Refused");
  const std::string item = NewItem(folder, "nothing attached");
  const std::string refused = "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot set attachment\",\"ROWS\":0}";

  EXPECT_EQ(Attach(folder, item, "127.0.0.1.1", "gone.txt"), refused);
  EXPECT_TRUE(service_->LogContains("cannot use the uploaded file ZUVFiles/127.0.0.1.1.jpg"));

  // A file outside the upload directory is never reached.
  std::ofstream(service_->home() / "outside.jpg") << "secret";
  for (const char* bad : {"../outside", "..", "", "a/b", "a\\\\b", "x\\u0001y"}) {
    EXPECT_EQ(Attach(folder, item, bad, "bad.txt"), refused) << bad;
  }
  EXPECT_GE(service_->CountInLog("is not one the binary channel gives"), 5);
  EXPECT_TRUE(AttachmentRows(folder, item).empty());
}

TEST_F(AttachmentRequestsTest, ContactsAreAddedToContactsOrTheGivenFolder) {
  // File-as is the named property 0x8005 of PSETID_Address: its tag here.
  std::string err;
  MapiPtr<IMAPIFolder> inbox;
  ASSERT_EQ(service_->store()->OpenFolder(kServiceAlias, false, "Inbox", inbox.put(), &err), S_OK) << err;
  GUID set = PSETID_Address;
  MAPINAMEID fileUnder{};
  fileUnder.lpguid = &set;
  fileUnder.ulKind = MNID_ID;
  fileUnder.Kind.lID = 0x8005;
  LPMAPINAMEID names[1] = {&fileUnder};
  MapiBuffer<SPropTagArray> ids;
  ASSERT_EQ(inbox->GetIDsFromNames(1, names, MAPI_CREATE, ids.put()), S_OK);
  char fileAsColumn[16];
  std::snprintf(fileAsColumn, sizeof(fileAsColumn), "0x%08X", static_cast<unsigned>(ids->aulPropTag[0] | PT_STRING8));
  const std::string columns =
      "\"PR_DISPLAY_NAME\",\"PR_SURNAME\",\"PR_GIVEN_NAME\",\"PR_MIDDLE_NAME\",\"PR_BUSINESS_HOME_PAGE\","
      "\"PR_MESSAGE_CLASS\",\"PR_BODY\",\"" + std::string(fileAsColumn) + "\"";
  auto add = [](const std::string& folder, const std::string& display) {
    rapidjson::Document d;
    d.Parse(Send(Request(1015, ",\"ClientIdentifier\":\"adder\",\"EntryID\":\"" + folder + "\",\"StoreEntryID\":\"" +
                                   kStore + "\",\"DisplayName\":\"" + display +
                                   "\",\"GivenName\":\"Ada\",\"SurName\":\"Lovelace\",\"MiddleName\":\"K\","
                                   "\"FileAs\":\"Lovelace, Ada\",\"BusinessUrl\":\"https://example.com/ada\","
                                   "\"Notes\":\"first programmer\""))
                .c_str());
    EXPECT_EQ(d["ErrorNumber"].GetInt(), 0);
    return std::string(d["ROWS"].GetString());
  };

  const std::string given = NewFolder("Inbox/People", "IPF.Contact");
  const std::string inGiven = add(given, "Ada in People");
  auto rows = TableRows(given, columns);
  ASSERT_EQ(rows.count(inGiven), 1u);
  Row& row = rows[inGiven];
  EXPECT_EQ(row["PR_DISPLAY_NAME-30"], "Ada in People");
  EXPECT_EQ(row["PR_GIVEN_NAME-30"], "Ada");
  EXPECT_EQ(row["PR_SURNAME-30"], "Lovelace");
  EXPECT_EQ(row["PR_MIDDLE_NAME-30"], "K");
  EXPECT_EQ(row["PR_BUSINESS_HOME_PAGE-30"], "https://example.com/ada");
  EXPECT_EQ(row["PR_MESSAGE_CLASS-30"], "IPM.Contact");
  EXPECT_EQ(row["PR_BODY-30"], "first programmer");
  EXPECT_EQ(row[std::string(fileAsColumn) + "-30"], "Lovelace, Ada") << fileAsColumn;
  EXPECT_TRUE(service_->LogContains("AddContact successful. EntryID:" + inGiven));

  // Without a folder: the mailbox's Contacts folder.
  const std::string inContacts = add("", "Ada in Contacts");
  auto reply = Send(Request(1007, ",\"FolderHierarchy\":[\"Contacts\"],\"StoreEntryID\":\"" + std::string(kStore) +
                                      "\",\"ClientIdentifier\":\"adder\""));
  rapidjson::Document d;
  d.Parse(reply.c_str());
  ASSERT_TRUE(d.IsObject() && d["ROWS"].IsString()) << reply;
  auto contactRows = TableRows(d["ROWS"].GetString(), columns);
  ASSERT_EQ(contactRows.count(inContacts), 1u);
  EXPECT_EQ(contactRows[inContacts]["PR_DISPLAY_NAME-30"], "Ada in Contacts");

  // A folder that cannot be opened.
  EXPECT_EQ(Send(Request(1015, ",\"EntryID\":\"0011\",\"StoreEntryID\":\"" + std::string(kStore) +
                                   "\",\"DisplayName\":\"x\"")),
            "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot add contact\",\"ROWS\":\"\"}");
}

}  // namespace
}  // namespace zuv_test
