// Tests of pushed row changes: the pushed message and its framing, which
// records get which pushes (address, criteria, deletions, closed records),
// the order of one listener's pushes, full queues, and a listener that
// refuses connections next to others. A real listening socket receives
// the pushes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "base/wire.h"
#include "client/zuv_client.h"
#include "client/zuv_push.h"
#include "table/zuv_table.h"
#include "push_listener.h"

namespace {

using zuv_test::PushListener;

constexpr ULONG kSubject = 0x0037001E;
constexpr ULONG kImportance = 0x00170003;

// A port nobody listens on: connections are refused.
int RefusingPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// The JSON of a framed message: a 10-byte header with the decimal length
// and NUL filler, then exactly that many bytes.
std::string Unframe(const std::string& frame) {
  EXPECT_GE(frame.size(), 10u);
  if (frame.size() < 10) return "";
  const std::string header = frame.substr(0, 10);
  const size_t digits = header.find('\0');
  EXPECT_NE(digits, std::string::npos);
  for (size_t i = digits; i < 10; ++i) EXPECT_EQ(header[i], '\0');
  const size_t length = std::stoul(header.substr(0, digits));
  EXPECT_EQ(frame.size(), 10 + length);
  return frame.substr(10);
}

zuv::ConnectionContext Conn() {
  zuv::ConnectionContext c;
  std::snprintf(c.name, sizeof(c.name), "127.0.0.1.1234");
  return c;
}

ZUV_RowRef Row(const std::string& key, const std::string& subject, int64_t importance) {
  ZUV_RowBuilder b;
  b.AddBytes(kRowKeyTag, key);
  b.AddBytes(kInstanceKeyTag, "IK" + key);
  b.AddBytes(kSubject, subject);
  b.AddNumber(kImportance, importance);
  return b.Build();
}

// A table that knows the subject and importance columns by name.
ZUV_TablePtr NamedTable() {
  auto table = std::make_shared<ZUV_Table>("STORE", "FOLDER");
  return table;
}

search_criteria_element ImportanceIs(int32_t n) {
  search_criteria_element c;
  c.type = PT_LONG;
  c.name = "0x00170003";
  c.value.kind = PT_LONG;
  c.value.has_value = true;
  c.value.number = n;
  return c;
}

// ---- The message ----

TEST(PushMessageTest, RowPushesCarryTheRowAsAnArrayAndDeletionsTheKeyAsAString) {
  std::map<ULONG, std::string> names{{kRowKeyTag, "PR_LONGTERM_ENTRYID_FROM_TABLE"}, {kSubject, "PR_SUBJECT"}};
  ZUV_RowRef row = Row("0A0B", "hi \"there\"", 1);
  const std::string rows = ZUV_Client::PushRowsText(502, "0A0B", row, names);
  rapidjson::Document d;
  d.Parse(ZUV_PushSender::MessageText(502, "id-\"1\"", rows).c_str());
  ASSERT_FALSE(d.HasParseError());
  EXPECT_EQ(d["ErrorNumber"].GetInt(), 0);
  EXPECT_STREQ(d["ErrorString"].GetString(), "");
  EXPECT_EQ(d["DataType"].GetInt(), 502);
  EXPECT_STREQ(d["ClientIdentifier"].GetString(), "id-\"1\"");
  ASSERT_TRUE(d["ROWS"].IsArray());
  ASSERT_EQ(d["ROWS"].Size(), 1u);
  const auto& props = d["ROWS"][0]["0A0B"];
  ASSERT_TRUE(props.IsArray());
  bool subject = false;
  for (const auto& p : props.GetArray()) {
    if (p.HasMember("PR_SUBJECT-30")) subject = std::string(p["PR_SUBJECT-30"].GetString()) == "hi \"there\"";
    EXPECT_FALSE(p.HasMember("PR_IMPORTANCE-3")) << "only the table's named columns";
  }
  EXPECT_TRUE(subject);

  d.Parse(ZUV_PushSender::MessageText(503, "id", ZUV_Client::PushRowsText(503, "0A0B", row, names)).c_str());
  ASSERT_FALSE(d.HasParseError());
  EXPECT_EQ(d["DataType"].GetInt(), 503);
  ASSERT_TRUE(d["ROWS"].IsString());
  EXPECT_STREQ(d["ROWS"].GetString(), "0A0B");
}

// ---- Who gets pushes ----

class ClientPushTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& c : clients_) ZUV_Client::DeleteRecord(c);
  }
  std::shared_ptr<ZUV_Client> Listen(const std::string& url, std::vector<search_criteria_element> criteria = {}) {
    auto c = ZUV_Client::Create(Conn(), table_, criteria, "FOLDER", "STORE", "client-" + std::to_string(clients_.size()),
                                url, "ident", 1);
    clients_.push_back(c);
    return c;
  }
  static std::string DataTypes(const std::vector<std::string>& frames) {
    std::string out;
    for (const std::string& f : frames) {
      rapidjson::Document d;
      d.Parse(Unframe(f).c_str());
      if (!out.empty()) out += ",";
      out += std::to_string(d["DataType"].GetInt());
    }
    return out;
  }
  ZUV_TablePtr table_ = NamedTable();
  std::vector<std::shared_ptr<ZUV_Client>> clients_;
};

TEST_F(ClientPushTest, EachEventIsPushedInTheResponseFraming) {
  PushListener server;
  auto c = Listen(server.url());
  ZUV_RowRef row = Row("0A", "s", 1);
  c->OnRowEvent(*table_, ZUV_RowEvent::kAdded, "0A", row);
  c->OnRowEvent(*table_, ZUV_RowEvent::kModified, "0A", row);
  c->OnRowEvent(*table_, ZUV_RowEvent::kTableFill, "0A", row);
  c->OnRowEvent(*table_, ZUV_RowEvent::kDeleted, "0A", row);
  std::vector<std::string> frames = server.Wait(4);
  EXPECT_EQ(DataTypes(frames), "502,504,505,503");
  rapidjson::Document d;
  d.Parse(Unframe(frames[0]).c_str());
  EXPECT_STREQ(d["ClientIdentifier"].GetString(), "ident");
  EXPECT_TRUE(d["ROWS"][0].HasMember("0A"));
}

TEST_F(ClientPushTest, CriteriaSelectRowPushesButNotDeletions) {
  PushListener server;
  auto c = Listen(server.url(), {ImportanceIs(2)});
  c->OnRowEvent(*table_, ZUV_RowEvent::kAdded, "01", Row("01", "no", 1));
  c->OnRowEvent(*table_, ZUV_RowEvent::kModified, "01", Row("01", "no", 1));
  c->OnRowEvent(*table_, ZUV_RowEvent::kTableFill, "01", Row("01", "no", 1));
  c->OnRowEvent(*table_, ZUV_RowEvent::kDeleted, "01", Row("01", "no", 1));
  c->OnRowEvent(*table_, ZUV_RowEvent::kModified, "02", Row("02", "yes", 2));
  // One listener's pushes arrive in order: a push let through wrongly
  // would come before these.
  EXPECT_EQ(DataTypes(server.Wait(2)), "503,504");
}

TEST_F(ClientPushTest, KeyCriterionNeverLetsAPushedRowThrough) {
  PushListener server;
  search_criteria_element byKey;
  byKey.type = PT_STRING8;
  byKey.name = "PR_ENTRYID";
  byKey.value.kind = PT_STRING8;
  byKey.value.has_value = true;
  byKey.value.text = "01";
  auto c = Listen(server.url(), {byKey});
  c->OnRowEvent(*table_, ZUV_RowEvent::kAdded, "01", Row("01", "s", 1));
  c->OnRowEvent(*table_, ZUV_RowEvent::kModified, "01", Row("01", "s", 1));
  c->OnRowEvent(*table_, ZUV_RowEvent::kDeleted, "01", Row("01", "s", 1));
  c->OnRowEvent(*table_, ZUV_RowEvent::kDeleted, "02", Row("02", "s", 1));
  EXPECT_EQ(DataTypes(server.Wait(2)), "503,503");
}

TEST_F(ClientPushTest, NoPushWithoutAPortOrAfterClose) {
  PushListener server;
  auto noPort = Listen("127.0.0.1");
  auto badPort = Listen("127.0.0.1:none");
  auto noHost = Listen(":" + std::to_string(server.port()));
  auto closed = Listen(server.url());
  auto open = Listen(server.url());
  ZUV_Client::DeleteRecord(closed);
  ZUV_RowRef row = Row("01", "s", 1);
  const uint64_t before = ZUV_PushSender::Instance().Enqueued();
  for (const auto& c : {noPort, badPort, noHost, closed}) {
    c->OnRowEvent(*table_, ZUV_RowEvent::kAdded, "01", row);
    c->OnRowEvent(*table_, ZUV_RowEvent::kDeleted, "01", row);
  }
  EXPECT_EQ(ZUV_PushSender::Instance().Enqueued(), before) << "nothing queued";
  open->OnRowEvent(*table_, ZUV_RowEvent::kModified, "01", row);
  EXPECT_EQ(ZUV_PushSender::Instance().Enqueued(), before + 1);
  EXPECT_EQ(DataTypes(server.Wait(1)), "504");
}

// ---- The sender ----

std::shared_ptr<const std::string> Rows(int n) {
  return std::make_shared<const std::string>("[{\"" + std::to_string(n) + "\":[]}]");
}

int RowNumber(const std::string& frame) {
  rapidjson::Document d;
  d.Parse(Unframe(frame).c_str());
  return std::stoi(d["ROWS"][0].MemberBegin()->name.GetString());
}

class PushSenderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& c : clients_) ZUV_Client::DeleteRecord(c);
  }
  std::shared_ptr<ZUV_Client> Client(const std::string& url) {
    auto c = ZUV_Client::Create(Conn(), table_, {}, "FOLDER", "STORE", "sender-" + std::to_string(clients_.size()),
                                url, "ident", 1);
    clients_.push_back(c);
    return c;
  }
  ZUV_TablePtr table_ = NamedTable();
  std::vector<std::shared_ptr<ZUV_Client>> clients_;
};

TEST_F(PushSenderTest, OneListenersPushesArriveInOrderUnderABurst) {
  PushListener server;
  ZUV_PushSender::Options options;
  options.threads = 4;
  ZUV_PushSender sender(options);
  auto c = Client(server.url());
  for (int i = 0; i < 1000; ++i) sender.Enqueue(c, 504, Rows(i));
  std::vector<std::string> frames = server.Wait(1000);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(RowNumber(frames[static_cast<size_t>(i)]), i) << "push " << i;
}

TEST_F(PushSenderTest, FullQueueDropsTheOldestPushes) {
  PushListener server;
  ZUV_PushSender::Options options;
  options.threads = 1;
  options.queue_limit = 3;
  options.held = true;
  ZUV_PushSender sender(options);
  auto c = Client(server.url());
  for (int i = 0; i < 7; ++i) sender.Enqueue(c, 502, Rows(i));
  EXPECT_EQ(sender.DroppedFull(), 4u);
  sender.Release();
  sender.WaitUntilIdle();
  std::vector<std::string> frames = server.Wait(3);
  EXPECT_EQ(RowNumber(frames[0]), 4);
  EXPECT_EQ(RowNumber(frames[1]), 5);
  EXPECT_EQ(RowNumber(frames[2]), 6);
}

TEST_F(PushSenderTest, DroppedListenerGetsNoneOfItsQueuedPushes) {
  PushListener dropped, kept;
  ZUV_PushSender::Options options;
  options.threads = 1;
  options.held = true;
  ZUV_PushSender sender(options);
  auto a = Client(dropped.url());
  auto b = Client(kept.url());
  for (int i = 0; i < 5; ++i) sender.Enqueue(a, 502, Rows(i));
  sender.Enqueue(b, 502, Rows(9));
  sender.Drop(a.get());
  sender.Release();
  sender.WaitUntilIdle();
  EXPECT_EQ(kept.Wait(1).size(), 1u);
  EXPECT_TRUE(dropped.Messages().empty());
}

TEST_F(PushSenderTest, ListenerThatRefusesConnectionsDoesNotHoldUpOthers) {
  PushListener server;
  ZUV_PushSender::Options options;
  options.threads = 2;
  options.backoff = std::chrono::hours(1);  // the refused push waits for its retry until the sender ends
  ZUV_PushSender sender(options);
  auto refusing = Client("127.0.0.1:" + std::to_string(RefusingPort()));
  auto good = Client(server.url());
  for (int i = 0; i < 3; ++i) sender.Enqueue(refusing, 502, Rows(i));
  for (int i = 0; i < 50; ++i) sender.Enqueue(good, 502, Rows(i));
  std::vector<std::string> frames = server.Wait(50);
  EXPECT_EQ(RowNumber(frames.back()), 49);
}

TEST_F(PushSenderTest, UnreachableListenerIsRetriedThenDropped) {
  ZUV_PushSender::Options options;
  options.threads = 1;
  options.backoff = std::chrono::milliseconds(1);
  ZUV_PushSender sender(options);
  auto refusing = Client("127.0.0.1:" + std::to_string(RefusingPort()));
  sender.Enqueue(refusing, 502, Rows(1));
  sender.Enqueue(refusing, 503, std::make_shared<const std::string>("\"01\""));
  sender.WaitUntilIdle();
  EXPECT_EQ(sender.DroppedUndelivered(), 2u);
}

}  // namespace
