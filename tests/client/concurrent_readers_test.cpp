// Eight readers of one cached table, each with its own criteria and page,
// reading while the table fills from the real store (two population runs
// of different columns, one merging into the rows of the other), with client records
// registering, pinging and closing as listeners at the same time. Meant to
// run under ThreadSanitizer and AddressSanitizer as well.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "client/zuv_client.h"
#include "mapi/mapiptr.h"
#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/profile_admin.h"
#include "mapi_access/prop_tags.h"
#include "../table/table_store_fixture.h"

namespace {

namespace fs = std::filesystem;

constexpr int kMessages = 3000;
constexpr int kRounds = 3;             // reads per reader
constexpr size_t kLongSubject = 300;   // past the table's 255-character cut

// Message i: subject "subject <i>" (every seventh padded past the cut),
// importance i % 3, submit time (30000000, 1000 + i), sender "sender <i % 5>".
std::string SubjectOf(int i) {
  std::string s = "subject " + std::to_string(i);
  if (i % 7 == 0) s.resize(kLongSubject, '.');
  return s;
}

// The message number in a subject; -1 when it has none.
int NumberOf(const std::string& subject) {
  if (subject.rfind("subject ", 0) != 0) return -1;
  return std::atoi(subject.c_str() + 8);
}

search_criteria_element Criterion(const std::string& name, ULONG tag, ULONG type) {
  search_criteria_element c;
  c.name = name;
  c.tag = tag;
  c.type = type;
  c.op = RELOP_EQ;
  c.value.kind = type;
  c.value.has_value = true;
  return c;
}

search_criteria_element Importance(int32_t n) {
  auto c = Criterion("PR_IMPORTANCE", PR_IMPORTANCE, PT_LONG);
  c.value.number = n;
  return c;
}

search_criteria_element Subject(int i) {
  auto c = Criterion("PR_SUBJECT", PR_SUBJECT_A, PT_STRING8);
  c.value.text = SubjectOf(i);
  return c;
}

search_criteria_element SubmitTime(int i) {
  auto c = Criterion("PR_CLIENT_SUBMIT_TIME", PR_CLIENT_SUBMIT_TIME, PT_SYSTIME);
  c.value.time = FILETIME{static_cast<DWORD>(1000 + i), 30000000};
  return c;
}

// Which message numbers a reader's criteria select (alternatives).
bool Selects(const std::vector<search_criteria_element>& criteria, int i) {
  if (criteria.empty()) return true;
  for (const auto& c : criteria) {
    if (c.tag == PR_IMPORTANCE && c.value.number == i % 3) return true;
    if (c.tag == PR_SUBJECT_A && c.value.text == SubjectOf(i)) return true;
    if (c.tag == PR_CLIENT_SUBMIT_TIME && c.value.time.dwLowDateTime == static_cast<DWORD>(1000 + i)) return true;
  }
  return false;
}

// One row of a response: key and member name -> value as text.
struct ReadRow {
  std::string key;
  std::map<std::string, std::string> values;
};

// A response as read by a client.
struct Response {
  bool parsed = false;
  std::vector<ReadRow> rows;
};

std::string ReadFrame(int fd) {
  char header[10];
  size_t got = 0;
  while (got < sizeof(header)) {
    const ssize_t n = ::read(fd, header + got, sizeof(header) - got);
    if (n <= 0) return "<closed>";
    got += static_cast<size_t>(n);
  }
  const size_t len = std::stoul(std::string(header, strnlen(header, sizeof(header))));
  std::string body(len, '\0');
  got = 0;
  while (got < len) {
    const ssize_t n = ::read(fd, body.data() + got, len - got);
    if (n <= 0) return "<closed>";
    got += static_cast<size_t>(n);
  }
  return body;
}

Response Parse(const std::string& json) {
  Response r;
  rapidjson::Document d;
  d.Parse(json.c_str());
  if (!d.IsObject() || !d.HasMember("ROWS") || !d["ROWS"].IsArray() || d["ErrorNumber"].GetInt() != 0) return r;
  for (const auto& row : d["ROWS"].GetArray()) {
    ReadRow out;
    auto m = row.MemberBegin();
    out.key = m->name.GetString();
    for (const auto& prop : m->value.GetArray()) {
      auto p = prop.MemberBegin();
      out.values[p->name.GetString()] = p->value.IsString() ? p->value.GetString() : std::to_string(p->value.GetInt());
    }
    r.rows.push_back(std::move(out));
  }
  r.parsed = true;
  return r;
}

// A reader: criteria and page, and what its reads returned.
struct Reader {
  std::vector<search_criteria_element> criteria;
  int32_t startIndex = 1;
  int32_t numEntries = 0;
  std::vector<int32_t> counts;      // rowCount of each read
  std::vector<std::string> frames;  // the frames its client received
};

class ConcurrentReadersTest : public zuv_test::TableStoreTest {
 protected:
  void SetUp() override {
    OpenStore("R", [&]() -> HRESULT {
      for (int i = 0; i < kMessages; ++i) {
        MapiPtr<IMessage> msg;
        HRESULT hr = folder_->CreateMessage(nullptr, 0, msg.put());
        if (FAILED(hr)) return hr;
        const std::string subject = SubjectOf(i);
        const std::string sender = "sender " + std::to_string(i % 5);
        SPropValue v[4]{};
        v[0].ulPropTag = PR_SUBJECT_A;
        v[0].Value.lpszA = const_cast<char*>(subject.c_str());
        v[1].ulPropTag = PR_IMPORTANCE;
        v[1].Value.l = i % 3;
        v[2].ulPropTag = PR_CLIENT_SUBMIT_TIME;
        v[2].Value.ft = FILETIME{static_cast<DWORD>(1000 + i), 30000000};
        v[3].ulPropTag = PR_SENDER_NAME_A;
        v[3].Value.lpszA = const_cast<char*>(sender.c_str());
        if (FAILED(hr = msg->SetProps(4, v, nullptr))) return hr;
        if (FAILED(hr = msg->SaveChanges(0))) return hr;
      }
      return S_OK;
    });
  }
  void TearDown() override {
    for (const char* id : {"reader", "listener"}) ZUV_Client::DeleteClient(id, "");
    TableStoreTest::TearDown();
  }

  // Starts a population run of names on table (on its own thread).
  void Fetch(ZUV_Table& table, const std::vector<std::string>& names) {
    std::vector<std::string> newNames;
    std::vector<ULONG> newTags;
    std::string err;
    ASSERT_EQ(table.ResolveColumns(names, nullptr, &newNames, &newTags, &err), 0u) << err;
    ASSERT_EQ(newNames.size(), names.size());
    table.StartFetch(newNames, newTags, {});
  }

};

TEST_F(ConcurrentReadersTest, ReadersWithTheirOwnCriteriaAndPagesSeeConsistentRowsWhileTheTableFills) {
  auto table = std::make_shared<ZUV_Table>(session_.get(), folder_id_, store_id_,
                                           std::vector<std::string>{"PR_SUBJECT"}, 1);
  std::string err;
  ASSERT_EQ(table->OpenFolder("conn", &err), 0u) << err;

  // A page the folder cannot fill (fewer matches from startIndex on than
  // numEntries) waits for the end of the fill like numEntries 0.
  std::vector<Reader> readers(8);
  readers[0] = {{}, 1, 0, {}, {}};                // everything, at the end
  readers[1] = {{}, 1, 50, {}, {}};               // the first page
  readers[2] = {{Importance(1)}, 1, 20, {}, {}};  // a page of one importance
  readers[3] = {{Importance(2)}, 10, 0, {}, {}};  // from the tenth match to the end
  readers[4] = {{Subject(7), Subject(2998), Importance(0), SubmitTime(5)}, 1, 0, {}, {}};  // alternatives
  readers[5] = {{}, 1500, 100, {}, {}};                          // a page far into the folder
  readers[6] = {{}, kMessages - 20, 50, {}, {}};                 // a page past the end
  readers[7] = {{Importance(0), Importance(1)}, 1990, 50, {}, {}};  // past the end of two importances

  // Two runs, in either order (each on a thread of its own): one merges
  // into the rows of the other. The table stays fetching until both end.
  Fetch(*table, {"PR_SUBJECT", "PR_IMPORTANCE", "PR_CLIENT_SUBMIT_TIME"});
  Fetch(*table, {"PR_SENDER_NAME"});

  std::atomic<bool> readersDone{false};
  std::vector<std::thread> threads;
  for (size_t r = 0; r < readers.size(); ++r) {
    threads.emplace_back([&, r] {
      Reader& reader = readers[r];
      int fds[2];
      ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
      // The client side drains the frames while the reader sends them.
      std::thread client([&reader, fd = fds[1]] {
        for (std::string f = ReadFrame(fd); f != "<closed>"; f = ReadFrame(fd)) reader.frames.push_back(std::move(f));
      });
      zuv::ConnectionContext conn;
      conn.socket = fds[0];
      std::snprintf(conn.name, sizeof(conn.name), "127.0.0.1.%zu", 2000 + r);
      auto record = ZUV_Client::Create(conn, table, reader.criteria, folder_id_, store_id_, "reader", "", "rid", 1);
      for (int round = 0; round < kRounds; ++round) {
        int32_t count = -1;
        record->FetchAndFilter(*table, fds[0], reader.startIndex, reader.numEntries, &count);
        reader.counts.push_back(count);
      }
      ::shutdown(fds[0], SHUT_WR);
      client.join();
      ::close(fds[0]);
      ::close(fds[1]);
    });
  }
  // Records listening, pinging and closing while the rows arrive.
  std::thread churn([&] {
    for (int i = 0; !readersDone.load(); ++i) {
      auto listener = ZUV_Client::Create(zuv::ConnectionContext{}, table, {}, folder_id_, store_id_, "listener",
                                         "127.0.0.1:" + std::to_string(9000 + i % 4), "lid", 1);
      table->AddListener(listener);
      EXPECT_EQ(ZUV_Client::Ping("listener"), 0);
      ZUV_Client::DeleteClient("listener", i % 2 == 0 ? folder_id_ : "");
      std::this_thread::yield();
    }
  });
  for (auto& t : threads) t.join();
  readersDone = true;
  churn.join();
  table->WaitUntilNotFetching();
  ASSERT_EQ(table->GetState(), kTableFetched);
  EXPECT_EQ(table->ListenerCount(), 0u) << "every listener was closed";

  // The final table: every message once, merged with its sender.
  std::vector<ZUV_RowRef> all;
  table->Lock();
  table->CollectMatching([](const ZUV_Row&) { return true; }, 1, &all);
  table->Unlock();
  ASSERT_EQ(all.size(), static_cast<size_t>(kMessages));
  std::map<std::string, int> numberOfKey;
  std::vector<std::string> keys;  // in key order
  for (const ZUV_RowRef& row : all) {
    ZUV_CellView subject, sender;
    ASSERT_TRUE(row->Find(PR_SUBJECT_A, &subject));
    const int i = NumberOf(std::string(subject.bytes));
    ASSERT_GE(i, 0);
    EXPECT_EQ(subject.bytes, SubjectOf(i)) << "long subjects whole";
    ASSERT_TRUE(row->Find(PR_SENDER_NAME_A, &sender)) << "the second run merged into row " << i;
    EXPECT_EQ(sender.bytes, "sender " + std::to_string(i % 5));
    EXPECT_TRUE(numberOfKey.emplace(std::string(row->Key()), i).second);
    keys.push_back(std::string(row->Key()));
  }

  for (size_t r = 0; r < readers.size(); ++r) {
    const Reader& reader = readers[r];
    SCOPED_TRACE("reader " + std::to_string(r));
    // The rows the criteria select in the final table, from startIndex on.
    std::vector<std::string> expected;
    int32_t number = 0;
    for (const std::string& key : keys) {
      if (!Selects(reader.criteria, numberOfKey[key])) continue;
      if (++number >= reader.startIndex) expected.push_back(key);
    }
    ASSERT_FALSE(expected.empty());
    const bool waitsForTheEnd =
        reader.numEntries == 0 || expected.size() < static_cast<size_t>(reader.numEntries);
    ASSERT_EQ(reader.frames.size(), static_cast<size_t>(kRounds));
    ASSERT_EQ(reader.counts.size(), static_cast<size_t>(kRounds));
    for (int round = 0; round < kRounds; ++round) {
      const Response response = Parse(reader.frames[static_cast<size_t>(round)]);
      ASSERT_TRUE(response.parsed) << reader.frames[static_cast<size_t>(round)].substr(0, 300);
      EXPECT_EQ(response.rows.size(), static_cast<size_t>(reader.counts[static_cast<size_t>(round)]));
      for (size_t k = 0; k < response.rows.size(); ++k) {
        const ReadRow& row = response.rows[k];
        if (k > 0) {
          EXPECT_LT(response.rows[k - 1].key, row.key) << "key order";
        }
        auto it = numberOfKey.find(row.key);
        ASSERT_NE(it, numberOfKey.end()) << "a row that is not in the folder";
        const int i = it->second;
        EXPECT_TRUE(Selects(reader.criteria, i)) << "row " << i << " does not meet the criteria";
        // Values are those of the row's message; which columns a row has
        // depends on the runs that reached it so far.
        const std::map<std::string, std::string> wanted = {
            {"PR_LONGTERM_ENTRYID_FROM_TABLE", row.key},
            {"PR_SUBJECT-30", SubjectOf(i)},
            {"PR_IMPORTANCE-3", std::to_string(i % 3)},
            {"PR_CLIENT_SUBMIT_TIME-64", "30000000," + std::to_string(1000 + i)},
            {"PR_SENDER_NAME-30", "sender " + std::to_string(i % 5)}};
        for (const auto& [name, value] : row.values) {
          ASSERT_EQ(wanted.count(name), 1u) << name;
          EXPECT_EQ(value, wanted.at(name)) << name << " of row " << i;
        }
        if (waitsForTheEnd) {
          EXPECT_EQ(row.values.size(), wanted.size()) << "after both runs row " << i << " has every column";
        }
      }
      if (waitsForTheEnd) {
        // Waited for the end of both runs: exactly the final rows, merged.
        std::vector<std::string> got;
        for (const ReadRow& row : response.rows) got.push_back(row.key);
        EXPECT_EQ(got, expected);
      } else {
        // A page holds at least numEntries rows when the folder has them,
        // and never more than every match from startIndex on.
        EXPECT_GE(response.rows.size(), std::min(expected.size(), static_cast<size_t>(reader.numEntries)));
        EXPECT_LE(response.rows.size(), expected.size());
      }
    }
  }
}

}  // namespace
