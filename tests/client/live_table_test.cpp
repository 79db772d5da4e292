// A cached table kept current while everything happens at once: the
// population of a large folder, store changes (added, modified, deleted
// messages) arriving as notifications, readers reading, and pushes going
// to a real listening socket. Meant to run under ThreadSanitizer and
// AddressSanitizer as well.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
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
#include "push_listener.h"

namespace {

using zuv_test::PushListener;

namespace fs = std::filesystem;

constexpr int kMessages = 2000;
constexpr int kChanges = 60;

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

class LiveTableTest : public zuv_test::TableStoreTest {
 protected:
  void SetUp() override {
    OpenStore("L", [&]() -> HRESULT {
      for (int i = 0; i < kMessages; ++i) {
        HRESULT hr = Create("old " + std::to_string(i), nullptr);
        if (FAILED(hr)) return hr;
      }
      return S_OK;
    });
  }

  HRESULT Create(const std::string& subject, std::string* entryId) {
    MapiPtr<IMessage> msg;
    HRESULT hr = folder_->CreateMessage(nullptr, 0, msg.put());
    if (FAILED(hr)) return hr;
    SPropValue v{};
    v.ulPropTag = PR_SUBJECT_A;
    v.Value.lpszA = const_cast<char*>(subject.c_str());
    if (FAILED(hr = msg->SetProps(1, &v, nullptr))) return hr;
    if (FAILED(hr = msg->SaveChanges(KEEP_OPEN_READWRITE))) return hr;
    if (entryId != nullptr) {
      auto tags = MakePropTags(PR_ENTRYID);
      ULONG n = 0;
      MapiBuffer<SPropValue> id;
      if (FAILED(hr = msg->GetProps(tags.get(), 0, &n, id.put()))) return hr;
      entryId->assign(reinterpret_cast<const char*>(id[0].Value.bin.lpb), id[0].Value.bin.cb);
    }
    return S_OK;
  }

};

TEST_F(LiveTableTest, PopulationNotificationsReadsAndPushesAtOnceLeaveTheTableTrue) {
  PushListener listener;
  auto table = std::make_shared<ZUV_Table>(session_.get(), folder_id_, store_id_,
                                           std::vector<std::string>{"PR_SUBJECT"}, 1);
  std::string err;
  ASSERT_EQ(table->OpenFolder("conn", &err), 0u) << err;
  std::vector<std::string> names;
  std::vector<ULONG> tags;
  ASSERT_EQ(table->ResolveColumns({"PR_SUBJECT"}, nullptr, &names, &tags, &err), 0u);
  zuv::ConnectionContext conn;
  std::snprintf(conn.name, sizeof(conn.name), "127.0.0.1.4000");
  auto client = ZUV_Client::Create(conn, table, {}, folder_id_, store_id_, "live", listener.url(), "live-id", 1);
  table->AddListener(client);
  table->SetState(kTableFetching);
  table->StartFetch(names, tags, {});

  // Changes while the table fills: new messages, and every tenth old one
  // renamed or deleted.
  std::vector<std::string> added(kChanges);
  std::thread writer([&] {
    for (int i = 0; i < kChanges; ++i) ASSERT_EQ(Create("new " + std::to_string(i), &added[static_cast<size_t>(i)]), S_OK);
  });
  std::vector<std::thread> readers;
  std::vector<int32_t> counts(4, 0);
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&, r] {
      int fds[2];
      ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
      std::thread drain([&] { (void)ReadFrame(fds[1]); });
      client->FetchAndFilter(*table, fds[0], 1 + r * 100, 0, &counts[static_cast<size_t>(r)]);
      drain.join();
      ::close(fds[0]);
      ::close(fds[1]);
    });
  }
  writer.join();
  for (auto& t : readers) t.join();
  table->WaitUntilNotFetching();

  // Renames and deletes after the fill, then a marker: one listener's
  // pushes come in order, so the marker's push comes after all the others.
  std::vector<std::string> renamed;
  for (int i = 0; i < kChanges; i += 10) {
    MapiPtr<IMessage> msg;
    ULONG type = 0;
    const std::string& id = added[static_cast<size_t>(i)];
    ASSERT_EQ(folder_->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(id.data())),
                                 nullptr, MAPI_MODIFY, &type, msg.put_unknown()),
              S_OK);
    const std::string subject = "renamed " + std::to_string(i);
    SPropValue v{};
    v.ulPropTag = PR_SUBJECT_A;
    v.Value.lpszA = const_cast<char*>(subject.c_str());
    ASSERT_EQ(msg->SetProps(1, &v, nullptr), S_OK);
    ASSERT_EQ(msg->SaveChanges(0), S_OK);
    renamed.push_back(subject);
  }
  {
    const std::string& id = added[5];
    SBinary bin{static_cast<ULONG>(id.size()), reinterpret_cast<LPBYTE>(const_cast<char*>(id.data()))};
    SBinaryArray list{1, &bin};
    ASSERT_EQ(folder_->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  }
  ASSERT_EQ(Create("marker", nullptr), S_OK);
  std::vector<std::string> pushes = listener.WaitForJson("\"marker\"");

  // The table holds every message the folder holds, with current subjects.
  std::set<std::string> subjects;
  table->Lock();
  std::vector<ZUV_RowRef> rows;
  table->CollectMatching([](const ZUV_Row&) { return true; }, 1, &rows);
  table->Unlock();
  for (const ZUV_RowRef& row : rows) {
    ZUV_CellView v;
    if (row->Find(PR_SUBJECT_A, &v)) subjects.insert(std::string(v.bytes));
  }
  EXPECT_EQ(rows.size(), static_cast<size_t>(kMessages + kChanges - 1 + 1));
  for (const std::string& s : renamed) EXPECT_EQ(subjects.count(s), 1u) << s;
  EXPECT_EQ(subjects.count("new 5"), 0u) << "deleted";
  EXPECT_EQ(subjects.count("new 1"), 1u);
  EXPECT_EQ(subjects.count("old 0"), 1u);

  // Every push is a well-formed message; the renames came as 504, the
  // delete as 503, the marker as 502.
  std::map<int, int> byType;
  for (const std::string& json : pushes) {
    rapidjson::Document d;
    d.Parse(json.c_str());
    ASSERT_TRUE(d.IsObject()) << json;
    EXPECT_STREQ(d["ClientIdentifier"].GetString(), "live-id");
    ++byType[d["DataType"].GetInt()];
  }
  EXPECT_GE(byType[504], static_cast<int>(renamed.size()));
  EXPECT_EQ(byType[503], 1);
  EXPECT_GE(byType[502], 1);
  ZUV_Client::DeleteRecord(client);
}

}  // namespace
