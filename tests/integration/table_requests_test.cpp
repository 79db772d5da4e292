// Folder reads over the wire: paging and criteria, columns by name and by
// tag, a long subject arriving whole, empty strings left out, column sets
// growing across reads, unresolvable columns, ClientPing and Close with
// several records of one client, and reads while a large folder fills.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "mapi/mapiptr.h"
#include "mapi/mapitags.h"
#include "service_harness.h"

namespace zuv_test {
namespace {

constexpr const char* kStore = "ZUV_MAILBOX_STORE_ENTRYID";

class TableRequestsTest : public ::testing::Test {
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

  static std::string NewFolder(const std::string& path) {
    std::string id, err;
    EXPECT_EQ(service_->store()->CreateFolderPath(kServiceAlias, false, path, "IPF.Note", &id, &err), S_OK) << err;
    return id;
  }

  // Messages of (subject, importance, creation time low half) in one batch.
  static void AddMessages(const std::string& path, int count, const std::function<std::string(int)>& subject) {
    std::string err;
    MapiPtr<IMAPIFolder> folder;
    ASSERT_EQ(service_->store()->OpenFolder(kServiceAlias, false, path, folder.put(), &err), S_OK) << err;
    ASSERT_EQ(service_->store()->Batch(
                  [&]() -> HRESULT {
                    for (int i = 0; i < count; ++i) {
                      MapiPtr<IMessage> msg;
                      HRESULT hr = folder->CreateMessage(nullptr, 0, msg.put());
                      if (FAILED(hr)) return hr;
                      const std::string s = subject(i);
                      SPropValue v[3]{};
                      v[0].ulPropTag = PR_SUBJECT_A;
                      v[0].Value.lpszA = const_cast<char*>(s.c_str());
                      v[1].ulPropTag = PR_IMPORTANCE;
                      v[1].Value.l = i % 3;
                      v[2].ulPropTag = PR_CLIENT_SUBMIT_TIME;
                      v[2].Value.ft = FILETIME{static_cast<DWORD>(1000 + i), 30000000};
                      if (FAILED(hr = msg->SetProps(3, v, nullptr))) return hr;
                      if (FAILED(hr = msg->SaveChanges(0))) return hr;
                    }
                    return S_OK;
                  },
                  &err),
              S_OK)
        << err;
  }

  static std::string GetTable(const std::string& folder, const std::string& columns, const std::string& extra = "") {
    Conn c(service_->port(0));
    EXPECT_TRUE(c.ok());
    EXPECT_TRUE(c.SendFrame(Request(1001, ",\"EntryID\":\"" + folder + "\",\"StoreEntryID\":\"" + kStore +
                                              "\",\"ClientIdentifier\":\"reader\",\"identifier\":\"rid\",\"ColumnList\":[" +
                                              columns + "]" + extra)));
    return c.ReadResponse().value_or("<closed>");
  }

  // The rows of a response: key -> member name -> value as text.
  static std::vector<std::pair<std::string, std::map<std::string, std::string>>> Rows(const std::string& json) {
    std::vector<std::pair<std::string, std::map<std::string, std::string>>> out;
    rapidjson::Document d;
    d.Parse(json.c_str());
    if (!d.IsObject() || !d.HasMember("ROWS") || !d["ROWS"].IsArray()) return out;
    for (const auto& row : d["ROWS"].GetArray()) {
      auto m = row.MemberBegin();
      std::map<std::string, std::string> values;
      for (const auto& prop : m->value.GetArray()) {
        auto p = prop.MemberBegin();
        values[p->name.GetString()] = p->value.IsString() ? p->value.GetString()
                                      : p->value.IsBool() ? (p->value.GetBool() ? "true" : "false")
                                                          : std::to_string(p->value.GetInt());
      }
      out.emplace_back(m->name.GetString(), values);
    }
    return out;
  }

  static ServiceProcess* service_;
};

ServiceProcess* TableRequestsTest::service_ = nullptr;

TEST_F(TableRequestsTest, PagingAndCriteriaSelectMatchingRowsInKeyOrder) {
  const std::string folder = NewFolder("Inbox/Paging");
  AddMessages("Inbox/Paging", 9, [](int i) { return "subject " + std::to_string(i); });
  const std::string all = GetTable(folder, "\"PR_SUBJECT\",\"PR_IMPORTANCE\",\"PR_CLIENT_SUBMIT_TIME\"");
  auto rows = Rows(all);
  ASSERT_EQ(rows.size(), 9u) << all;
  EXPECT_NE(all.find("\"DataType\":501,\"ClientIdentifier\":\"rid\""), std::string::npos);
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_LT(rows[i - 1].first, rows[i].first);
  EXPECT_EQ(rows[0].second["PR_LONGTERM_ENTRYID_FROM_TABLE"], rows[0].first);
  EXPECT_EQ(rows[0].second.count("PR_IMPORTANCE-3"), 1u);

  // startIndex 4 sends every row from the fourth on, whatever numEntries.
  auto paged = Rows(GetTable(folder, "\"PR_SUBJECT\"", ",\"startIndex\":4,\"numEntries\":2"));
  ASSERT_EQ(paged.size(), 6u);
  EXPECT_EQ(paged[0].first, rows[3].first);
  EXPECT_EQ(paged[0].second.count("PR_CLIENT_SUBMIT_TIME-64"), 1u) << "every column the table knows";

  // Criteria are alternatives: a subject, or importance 2, or one entry ID.
  const std::string criteria =
      ",\"SearchCriteria\":["
      "{\"<PropertyName>k__BackingField\":\"PR_SUBJECT\",\"<PropertyValue>k__BackingField\":{\"Kind\":30,\"Value\":\"subject 0\"},\"<Operator>k__BackingField\":4},"
      "{\"<PropertyName>k__BackingField\":\"PR_IMPORTANCE\",\"<PropertyValue>k__BackingField\":{\"Kind\":3,\"Value\":2},\"<Operator>k__BackingField\":4},"
      "{\"<PropertyName>k__BackingField\":\"PR_ENTRYID\",\"<PropertyValue>k__BackingField\":{\"Kind\":30,\"Value\":\"" +
      rows[4].first + "\"},\"<Operator>k__BackingField\":4}]";
  auto picked = Rows(GetTable(folder, "\"PR_SUBJECT\"", criteria));
  std::vector<std::string> subjects;
  for (auto& r : picked) subjects.push_back(r.second["PR_SUBJECT-30"]);
  std::sort(subjects.begin(), subjects.end());
  std::vector<std::string> expected = {"subject 0", "subject 2", "subject 5", "subject 8", rows[4].second["PR_SUBJECT-30"]};
  std::sort(expected.begin(), expected.end());
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  EXPECT_EQ(subjects, expected);

  // A time criterion ("high:low") and a case-different subject.
  auto timed = Rows(GetTable(folder, "\"PR_SUBJECT\"",
                             ",\"SearchCriteria\":[{\"<PropertyName>k__BackingField\":\"PR_CLIENT_SUBMIT_TIME\","
                             "\"<PropertyValue>k__BackingField\":{\"Kind\":64,\"Value\":\"30000000:1003\"}}]"));
  ASSERT_EQ(timed.size(), 1u);
  EXPECT_EQ(timed[0].second["PR_SUBJECT-30"], "subject 3");
  EXPECT_EQ(timed[0].second["PR_CLIENT_SUBMIT_TIME-64"], "30000000,1003");
  EXPECT_TRUE(Rows(GetTable(folder, "\"PR_SUBJECT\"",
                            ",\"SearchCriteria\":[{\"<PropertyName>k__BackingField\":\"PR_SUBJECT\","
                            "\"<PropertyValue>k__BackingField\":{\"Kind\":30,\"Value\":\"SUBJECT 1\"}}]"))
                  .empty());
}

TEST_F(TableRequestsTest, ColumnsGrowAcrossReadsOfOneSharedTable) {
  const std::string folder = NewFolder("Inbox/Union");
  AddMessages("Inbox/Union", 3, [](int i) { return i == 1 ? std::string() : "s" + std::to_string(i); });
  auto first = Rows(GetTable(folder, "\"PR_SUBJECT\""));
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[0].second.count("PR_IMPORTANCE-3"), 0u);
  auto second = Rows(GetTable(folder, "\"PR_IMPORTANCE\""));
  ASSERT_EQ(second.size(), 3u);
  int withSubject = 0;
  for (auto& r : second) {
    EXPECT_EQ(r.second.count("PR_IMPORTANCE-3"), 1u);
    withSubject += static_cast<int>(r.second.count("PR_SUBJECT-30"));
  }
  EXPECT_EQ(withSubject, 2) << "the empty subject is left out, the others stay from the first read";
  EXPECT_TRUE(service_->WaitForLog("About to populate data from folder"));
  (void)GetTable(folder, "\"PR_SUBJECT\",\"PR_LONGTERM_ENTRYID_FROM_TABLE\"");
  EXPECT_TRUE(service_->WaitForLog("already populated"));
}

TEST_F(TableRequestsTest, TagColumnsLongSubjectsAndUnresolvableNames) {
  const std::string folder = NewFolder("Inbox/Tags");
  const std::string longSubject = std::string(299, 'x') + "!";
  AddMessages("Inbox/Tags", 1, [&](int) { return longSubject; });
  auto rows = Rows(GetTable(folder, "\"0x0037001E\""));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].second["0x0037001E-30"], longSubject) << "read whole past the table's 255 characters";

  const std::string bad = GetTable(folder, "\"PR_SUBJECT\",\"NoSuchColumnAnywhere\",\"AlsoMissing\"");
  EXPECT_EQ(bad, "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot resolve column NoSuchColumnAnywhere\"}");

  const std::string missingFolder = GetTable("00112233", "\"PR_SUBJECT\"");
  EXPECT_EQ(missingFolder, "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot get the open the folder 00112233\"}");
}

TEST_F(TableRequestsTest, PingAndCloseCoverEveryRecordOfAClient) {
  const std::string f1 = NewFolder("Inbox/P1");
  const std::string f2 = NewFolder("Inbox/P2");
  auto read = [](const std::string& folder) {
    Conn c(service_->port(1));
    c.SendFrame(Request(1001, ",\"EntryID\":\"" + folder + "\",\"StoreEntryID\":\"" + kStore +
                                  "\",\"ClientIdentifier\":\"pinger\",\"ColumnList\":[\"PR_SUBJECT\"]"));
    return c.ReadResponse().value_or("<closed>");
  };
  auto ping = [] {
    Conn c(service_->port(2));
    c.SendFrame(Request(1010, ",\"ClientIdentifier\":\"pinger\""));
    return c.ReadResponse().value_or("<closed>");
  };
  auto close = [](const std::string& folder) {
    Conn c(service_->port(2));
    c.SendFrame(Request(1009, ",\"ClientIdentifier\":\"pinger\",\"EntryID\":\"" + folder + "\""));
    return c.ReadResponse().value_or("<closed>");
  };
  EXPECT_EQ(ping(), "{\"ErrorNumber\":3}");
  read(f1);
  read(f2);
  EXPECT_EQ(ping(), "{\"ErrorNumber\":0}");
  EXPECT_EQ(close(f1), "{\"ErrorNumber\":0}");
  EXPECT_EQ(ping(), "{\"ErrorNumber\":0}") << "the record of the other folder stays";
  read(f1);
  EXPECT_EQ(close(""), "{\"ErrorNumber\":0}");
  EXPECT_EQ(ping(), "{\"ErrorNumber\":3}") << "an empty folder closes every record";
}

TEST_F(TableRequestsTest, ReadsWhileALargeFolderFills) {
  const std::string folder = NewFolder("Inbox/Large");
  AddMessages("Inbox/Large", 20000, [](int i) { return "bulk " + std::to_string(i); });
  const std::string page = GetTable(folder, "\"PR_SUBJECT\"", ",\"startIndex\":1,\"numEntries\":50");
  const size_t pageRows = Rows(page).size();
  EXPECT_GE(pageRows, 50u);
  const std::string whole = GetTable(folder, "\"PR_SUBJECT\"", ",\"startIndex\":1,\"numEntries\":0");
  EXPECT_EQ(Rows(whole).size(), 20000u);
  // The first page was answered from a table still being filled when it
  // came back short of the whole folder; the log shows the fill ran on.
  EXPECT_TRUE(service_->WaitForLog("Done with caching table", 60));
  if (pageRows < 20000u) SUCCEED() << "page of " << pageRows << " rows before the fill ended";
}

TEST_F(TableRequestsTest, TwoFirstReadsOfOneFolderAtOnceShareOneTable) {
  const std::string folder = NewFolder("Inbox/Shared");
  AddMessages("Inbox/Shared", 3000, [](int i) { return "shared " + std::to_string(i); });
  // Both connections are open before either frame goes out, so the two
  // service threads look the folder up at the same moment.
  Conn a(service_->port(0)), b(service_->port(1));
  ASSERT_TRUE(a.ok() && b.ok());
  auto frame = [&](const std::string& client) {
    return Request(1001, ",\"EntryID\":\"" + folder + "\",\"StoreEntryID\":\"" + kStore + "\",\"ClientIdentifier\":\"" +
                             client + "\",\"ColumnList\":[\"PR_SUBJECT\",\"PR_IMPORTANCE\"],\"numEntries\":0");
  };
  const std::string fa = frame("first"), fb = frame("second");
  ASSERT_TRUE(a.SendRaw(std::to_string(fa.size()) + fa));
  ASSERT_TRUE(b.SendRaw(std::to_string(fb.size()) + fb));
  const auto ra = Rows(a.ReadResponse().value_or("<closed>"));
  const auto rb = Rows(b.ReadResponse().value_or("<closed>"));
  ASSERT_EQ(ra.size(), 3000u);
  ASSERT_EQ(rb.size(), 3000u);
  for (size_t i = 0; i < ra.size(); ++i) {
    ASSERT_EQ(ra[i].first, rb[i].first);
    EXPECT_EQ(ra[i].second, rb[i].second);
  }

  // One table, one population run: the folder's lines appear once. The
  // log may have been archived meanwhile, so every file of the folder counts.
  std::string log;
  for (const auto& entry : fs::directory_iterator(service_->home() / "logs")) log += ReadFile(entry.path());
  auto count = [&log](const std::string& text) {
    int n = 0;
    for (size_t p = log.find(text); p != std::string::npos; p = log.find(text, p + 1)) ++n;
    return n;
  };
  const std::string shortId = folder.size() <= 32 ? folder : folder.substr(folder.size() - 33);
  EXPECT_EQ(count("ZUV Table for " + shortId + " not found in cache"), 1);
  EXPECT_EQ(count("For table " + shortId + " kicking off table fetch thread"), 1);
  EXPECT_EQ(count("Starting to fetch 3000 rows for table " + shortId), 1);
  EXPECT_EQ(count("About to populate data from folder " + shortId), 1);
  EXPECT_EQ(count("Serving data for table " + shortId + " from cache"), 1);
  EXPECT_EQ(count("Data for table " + shortId + " already populated"), 1)
      << "the second read finds the table with its columns";
}

}  // namespace
}  // namespace zuv_test
