// Tests of ZUV_Client: the registry (ping, delete, listeners), notification
// addresses, criteria matching, paging of a read while its table fills,
// and the encoding of every value type in a response frame.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "client/row_text.h"
#include "client/zuv_client.h"
#include "mapi/mapitags.h"

namespace {

zuv::ConnectionContext Conn(int socket = -1) {
  zuv::ConnectionContext c;
  c.socket = socket;
  std::snprintf(c.name, sizeof(c.name), "127.0.0.1.1234");
  return c;
}

ZUV_RowRef Row(const std::string& key, LONG n, const std::string& subject = "s") {
  ZUV_RowBuilder b;
  b.AddBytes(kRowKeyTag, key);
  b.AddNumber(PR_IMPORTANCE, n);
  b.AddBytes(PR_SUBJECT_A, subject);
  return b.Build();
}

search_criteria_element Criterion(const std::string& name, ULONG tag, ULONG type) {
  search_criteria_element c;
  c.name = name;
  c.tag = tag;
  c.type = type;
  c.value.kind = type;
  c.value.has_value = true;
  return c;
}

// Reads one response frame from fd.
std::string ReadFrame(int fd) {
  char header[10];
  size_t got = 0;
  while (got < 10) {
    ssize_t n = ::read(fd, header + got, 10 - got);
    if (n <= 0) return "<closed>";
    got += static_cast<size_t>(n);
  }
  const size_t len = std::stoul(std::string(header, strnlen(header, 10)));
  std::string body(len, '\0');
  got = 0;
  while (got < len) {
    ssize_t n = ::read(fd, body.data() + got, len - got);
    if (n <= 0) return "<closed>";
    got += static_cast<size_t>(n);
  }
  return body;
}

class ClientRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* id : {"c1", "c2", "C1"}) ZUV_Client::DeleteClient(id, "");
  }
};

TEST_F(ClientRegistryTest, PingTouchesEveryRecordOfTheClientAndCloseRemovesThem) {
  auto t1 = std::make_shared<ZUV_Table>("S", "F1");
  auto t2 = std::make_shared<ZUV_Table>("S", "F2");
  auto a = ZUV_Client::Create(Conn(), t1, {}, "F1", "S", "c1", "127.0.0.1:9000", "idA", 1);
  auto b = ZUV_Client::Create(Conn(), t2, {}, "F2", "S", "c1", "127.0.0.1:9001", "idB", 1);
  auto other = ZUV_Client::Create(Conn(), t1, {}, "F1", "S", "c2", "", "", 1);
  EXPECT_EQ(ZUV_Client::RegistryCount("c1"), 2u);
  EXPECT_EQ(ZUV_Client::Ping("c1"), 0);
  EXPECT_EQ(ZUV_Client::Ping("C1"), 3) << "client identifiers are case-sensitive";
  EXPECT_EQ(ZUV_Client::Ping("nobody"), 3);

  t1->AddListener(a);
  t2->AddListener(b);
  t1->AddListener(other);  // no address: same host and port as none before it
  EXPECT_EQ(t1->ListenerCount(), 2u);

  ZUV_Client::DeleteClient("c1", "F2");
  EXPECT_EQ(ZUV_Client::RegistryCount("c1"), 1u) << "only the named folder's record";
  EXPECT_EQ(t2->ListenerCount(), 0u);
  EXPECT_EQ(t1->ListenerCount(), 2u);
  ZUV_Client::DeleteClient("c1", "");
  EXPECT_EQ(ZUV_Client::RegistryCount("c1"), 0u);
  EXPECT_EQ(t1->ListenerCount(), 1u);
  EXPECT_EQ(ZUV_Client::Ping("c1"), 3);
  EXPECT_EQ(ZUV_Client::RegistryCount("c2"), 1u);
  EXPECT_EQ(a->Identifier(), "idA") << "a deleted record lives on for its holders";
}

TEST_F(ClientRegistryTest, ListenersWithTheSameAddressAreAddedOnce) {
  auto t = std::make_shared<ZUV_Table>("S", "F");
  auto a = ZUV_Client::Create(Conn(), t, {}, "F", "S", "c1", "10.0.0.1:80", "x", 1);
  auto b = ZUV_Client::Create(Conn(), t, {}, "F", "S", "c2", "10.0.0.1:80", "y", 1);
  auto c = ZUV_Client::Create(Conn(), t, {}, "F", "S", "c2", "10.0.0.1:81", "z", 1);
  t->AddListener(a);
  t->AddListener(b);
  t->AddListener(c);
  EXPECT_EQ(t->ListenerCount(), 2u);
}

TEST(NotificationUrlTest, HostAndDecimalPort) {
  std::string host;
  int32_t port = -1;
  ZUV_Client::ParseNotificationURL("10.1.2.3:8080", &host, &port);
  EXPECT_EQ(host, "10.1.2.3");
  EXPECT_EQ(port, 8080);
  ZUV_Client::ParseNotificationURL("10.1.2.3", &host, &port);
  EXPECT_EQ(host, "10.1.2.3");
  EXPECT_EQ(port, 0);
  ZUV_Client::ParseNotificationURL("http://h:1", &host, &port);
  EXPECT_EQ(host, "http");
  EXPECT_EQ(port, 0) << "\"//h:1\" is no number";
  ZUV_Client::ParseNotificationURL("", &host, &port);
  EXPECT_EQ(host, "");
  EXPECT_EQ(port, 0);
}

TEST(CriteriaTest, AlternativesByEqualityOfTheStoredType) {
  auto t = std::make_shared<ZUV_Table>("S", "F");
  auto s = Criterion("PR_SUBJECT", PR_SUBJECT_A, PT_STRING8);
  s.value.text = "abc";
  auto n = Criterion("PR_IMPORTANCE", PR_IMPORTANCE, PT_LONG);
  n.value.number = 2;
  auto c = ZUV_Client::Create(Conn(), t, {s, n}, "F", "S", "cc", "", "", 1);
  EXPECT_TRUE(c->MatchesCriteria(*Row("K1", 1, "abc"), true));
  EXPECT_TRUE(c->MatchesCriteria(*Row("K2", 2, "zzz"), true)) << "either criterion selects";
  EXPECT_FALSE(c->MatchesCriteria(*Row("K3", 1, "ABC"), true)) << "case matters";

  auto e = Criterion("PR_ENTRYID", 0, PT_STRING8);
  e.value.text = "K4";
  auto byKey = ZUV_Client::Create(Conn(), t, {e}, "F", "S", "cc", "", "", 1);
  EXPECT_TRUE(byKey->MatchesCriteria(*Row("K4", 0), true));
  EXPECT_FALSE(byKey->MatchesCriteria(*Row("K4", 0), false)) << "no key, no match";
  EXPECT_FALSE(byKey->MatchesCriteria(*Row("k4", 0), true));

  ZUV_RowBuilder b;
  b.AddBytes(kRowKeyTag, "K5");
  FILETIME ft{1234, 30000000};
  b.AddTime(PR_CREATION_TIME, ft);
  b.AddNumber(PR_HASATTACH, 1);
  ZUV_RowRef timed = b.Build();
  auto tc = Criterion("PR_CREATION_TIME", PR_CREATION_TIME, PT_SYSTIME);
  tc.value.time = ft;
  auto bc = Criterion("PR_HASATTACH", PR_HASATTACH, PT_LONG);
  bc.value.number = 1;
  EXPECT_TRUE(ZUV_Client::Create(Conn(), t, {tc}, "F", "S", "cc", "", "", 1)->MatchesCriteria(*timed, true));
  tc.value.time.dwLowDateTime = 1;
  EXPECT_FALSE(ZUV_Client::Create(Conn(), t, {tc}, "F", "S", "cc", "", "", 1)->MatchesCriteria(*timed, true));
  EXPECT_FALSE(ZUV_Client::Create(Conn(), t, {bc}, "F", "S", "cc", "", "", 1)->MatchesCriteria(*timed, true))
      << "a boolean column never matches";

  auto hex = Criterion("0x0037001E", 0, PT_STRING8);
  EXPECT_EQ(ZUV_Client::Create(Conn(), t, {hex}, "F", "S", "cc", "", "", 1)->Criteria()[0].tag, 0x0037001Eu);
  ZUV_Client::DeleteClient("cc", "");
}

// ---- Serialization ----

TEST(SerializationTest, EveryValueTypeIsWrittenAsItsColumnWants) {
  ZUV_RowBuilder b;
  b.AddBytes(kRowKeyTag, "00AB");
  b.AddNumber(PR_IMPORTANCE, 0);
  b.AddNumber(0x80000002, -5);
  b.AddNumber(PR_HASATTACH, 1);
  b.AddBytes(PR_SUBJECT_A, "");
  b.AddBytes(0x0070001F, "t\xC3\xBC");
  b.AddTime(PR_CREATION_TIME, FILETIME{2, 1});
  b.AddBytes(0x80010102, std::string("\x00\xFF\x10", 3));
  b.AddStrings(0x8002101E, {"a", "b", "c"});
  b.AddStrings(0x8003101E, {"x,y"});
  b.AddNumber(0x80040014, 77);
  b.AddBytes(0x8005101F, "mv unicode is not kept");
  std::map<ULONG, std::string> names = {
      {kRowKeyTag, "PR_LONGTERM_ENTRYID_FROM_TABLE"}, {PR_IMPORTANCE, "PR_IMPORTANCE"}, {0x80000002, "Small"},
      {PR_HASATTACH, "PR_HASATTACH"}, {PR_SUBJECT_A, "PR_SUBJECT"}, {0x0070001F, "Topic"},
      {PR_CREATION_TIME, "PR_CREATION_TIME"}, {0x80010102, "Blob"}, {0x8002101E, "Cats"}, {0x8003101E, "One"},
      {0x80040014, "Big"}, {0x8005101F, "Wide"}};
  const std::string json = ZUV_Client::BuildResponse(501, "id-1", {b.Build()}, names, 0, "");
  EXPECT_EQ(json,
            "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"DataType\":501,\"ClientIdentifier\":\"id-1\",\"ROWS\":[{\"00AB\":["
            "{\"PR_IMPORTANCE-3\":0},{\"Topic-31\":\"t\xC3\xBC\"},{\"PR_HASATTACH-11\":true},"
            "{\"PR_CREATION_TIME-64\":\"1,2\"},{\"PR_LONGTERM_ENTRYID_FROM_TABLE\":\"00AB\"},"
            "{\"Small-2\":-5},{\"Blob-258\":\"AP8Q\"},{\"Cats-4126\":\"a,b,c\"},{\"One-4126\":\"x,y\"}]}]}");
}

TEST(SerializationTest, StringsNeedingEscapesAnywhereReadBackWhole) {
  // Escapes at the start, the end, and either side of 16-byte runs.
  std::vector<std::string> texts = {"\"quoted\"", "back\\slash", std::string("nul\0inside", 10), "tab\tand\nnewline",
                                    std::string(40, 'x') + "\"" + std::string(15, 'y') + "\\",
                                    "\x01" + std::string(31, 'z') + "\x1F", "caf\xC3\xA9 " + std::string(300, 'w')};
  std::vector<ZUV_RowRef> rows;
  std::map<ULONG, std::string> names{{kRowKeyTag, "PR_LONGTERM_ENTRYID_FROM_TABLE"}, {PR_SUBJECT_A, "PR_SUBJECT"}};
  for (size_t i = 0; i < texts.size(); ++i) rows.push_back(Row("0" + std::to_string(i) + "AB", 0, texts[i]));
  const std::string json = ZUV_Client::BuildResponse(501, "id", rows, names, 0, "");
  rapidjson::Document d;
  ASSERT_FALSE(d.Parse(json.c_str(), json.size()).HasParseError()) << json;
  const auto& out = d["ROWS"];
  ASSERT_EQ(out.Size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::string key = "0" + std::to_string(i) + "AB";
    const auto& props = out[static_cast<rapidjson::SizeType>(i)][key.c_str()];
    ASSERT_TRUE(props.IsArray()) << key;
    const auto& subject = props[0]["PR_SUBJECT-30"];
    EXPECT_EQ(std::string(subject.GetString(), subject.GetStringLength()), texts[i]) << i;
    EXPECT_STREQ(props[1]["PR_LONGTERM_ENTRYID_FROM_TABLE"].GetString(), key.c_str());
  }
}

TEST(SerializationTest, EscapesAndBinaryKeysAreTheTextsRapidJsonAndHexGive) {
  // Every byte value, at every offset of a 16-byte block, in strings of
  // lengths either side of the block size.
  std::vector<std::string> texts;
  for (int c = 0; c < 256; ++c) {
    for (size_t at : {0, 7, 15, 16, 17, 31}) {
      std::string t(at + 1 + at % 3, 'a');
      t[at] = static_cast<char>(c);
      texts.push_back(t);
    }
  }
  std::map<ULONG, std::string> names{{kRowKeyTag, "PR_LONGTERM_ENTRYID_FROM_TABLE"}, {PR_SUBJECT_A, "PR_SUBJECT"}};
  std::vector<ZUV_RowRef> rows;
  std::string expected;
  for (size_t i = 0; i < texts.size(); ++i) {
    // Binary keys of 1 to 40 bytes, all byte values among them.
    std::string key(1 + i % 40, '\0');
    for (size_t k = 0; k < key.size(); ++k) key[k] = static_cast<char>(i * 7 + k * 13);
    std::string hex;
    for (unsigned char b : key) {
      hex += "0123456789ABCDEF"[b >> 4];
      hex += "0123456789ABCDEF"[b & 15];
    }
    ZUV_RowBuilder b;
    b.AddBinaryKey(key);
    b.AddBytes(PR_SUBJECT_A, texts[i]);
    rows.push_back(b.Build());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.String(texts[i].data(), static_cast<rapidjson::SizeType>(texts[i].size()));
    expected += (i == 0 ? "" : ",") + std::string("{\"") + hex + "\":[{\"PR_SUBJECT-30\":" + buffer.GetString() +
                "},{\"PR_LONGTERM_ENTRYID_FROM_TABLE\":\"" + hex + "\"}]}";
  }
  const std::string json = ZUV_Client::BuildResponse(501, "id", rows, names, 0, "");
  const std::string head = "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"DataType\":501,\"ClientIdentifier\":\"id\",\"ROWS\":[";
  ASSERT_EQ(json.substr(0, head.size()), head);
  EXPECT_EQ(json.substr(head.size()), expected + "]}");
}

TEST(SerializationTest, MeasureRowCountsExactlyTheBytesWriteRowWrites) {
  // Every value type, escapes of every byte value, keys of both kinds, and
  // a tag list of the row's own: a streamed response's header is only as
  // right as this count.
  std::map<ULONG, std::string> names{{kRowKeyTag, "PR_LONGTERM_ENTRYID_FROM_TABLE"},
                                     {kAttachNumTag, "PR_ATTACH_NUM"},
                                     {PR_SUBJECT_A, "PR_SUBJECT"},
                                     {PR_IMPORTANCE, "PR_IMPORTANCE"},
                                     {0x80000002, "Sm\all"},
                                     {PR_HASATTACH, "PR_HASATTACH"},
                                     {0x0070001F, "Topic"},
                                     {PR_CREATION_TIME, "PR_CREATION_TIME"},
                                     {0x80010102, "Blob"},
                                     {0x8002101E, "Cats"},
                                     {0x80040014, "Big"}};
  std::vector<ZUV_RowRef> rows;
  for (int c = 0; c < 256; ++c) {
    std::string text(1 + c % 37, 'a');
    text[c % text.size()] = static_cast<char>(c);
    ZUV_RowBuilder b;
    if (c % 3 == 0) {
      b.AddBinaryKey(std::string(1 + c % 24, static_cast<char>(c)));
    } else if (c % 3 == 1) {
      b.AddBytes(kRowKeyTag, "K\\" + text);
    } else {
      b.AddBytes(kAttachNumTag, std::to_string(c));
    }
    b.AddBytes(PR_SUBJECT_A, c % 5 == 0 ? std::string() : text + std::string(c, 'q'));
    b.AddNumber(PR_IMPORTANCE, c % 2 == 0 ? -2147483647 - 1 : c * 1000003);
    b.AddNumber(0x80000002, -c);
    b.AddNumber(PR_HASATTACH, c % 2);
    b.AddBytes(0x0070001F, text);
    b.AddTime(PR_CREATION_TIME, FILETIME{static_cast<DWORD>(c * 7919u), c % 4 == 0 ? 0xFFFFFFFFu : 0u});
    b.AddBytes(0x80010102, std::string(static_cast<size_t>(c % 7), static_cast<char>(c)));
    b.AddStrings(0x8002101E, {text, std::string(1, static_cast<char>(c)), ""});
    b.AddNumber(0x80040014, c);
    if (c % 11 == 0) b.AddNumber(0x80300003 + (static_cast<ULONG>(c) << 16), 1);  // a tag list of its own
    rows.push_back(b.Build());
  }
  ZUV_RowTextWriter writer(names);
  ZUV_RowTextWriter measurer(names);
  ZUV_TextBuffer out;
  for (const ZUV_RowRef& row : rows) {
    const size_t before = out.Size();
    writer.WriteRow(*row, &out);
    ASSERT_EQ(measurer.MeasureRow(*row), out.Size() - before) << row->Key();
  }
}

TEST(SerializationTest, ErrorsCarryOnlyTheEnvelopeAndEmptyReadsAnEmptyArray) {
  EXPECT_EQ(ZUV_Client::BuildResponse(501, "id", {}, {}, 1, "Cannot resolve"),
            "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot resolve\"}");
  EXPECT_EQ(ZUV_Client::BuildResponse(501, "id", {}, {}, 0, ""),
            "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"DataType\":501,\"ClientIdentifier\":\"id\",\"ROWS\":[]}");
  // Attachment rows are named by their number; the number is typed.
  ZUV_RowBuilder b;
  b.AddBytes(kAttachNumTag, "0");
  b.AddBytes(0x0037001E, "x");
  const std::string json = ZUV_Client::BuildResponse(
      501, "", {b.Build()}, {{kAttachNumTag, "PR_ATTACH_NUM"}, {0x0037001E, "0x0037001E"}}, 0, "");
  EXPECT_NE(json.find("[{\"0\":[{\"0x0037001E-30\":\"x\"},{\"PR_ATTACH_NUM-3\":\"0\"}]}]"), std::string::npos) << json;
}

TEST(TextBufferTest, KeepsItsTextAcrossGrowthIntoMappedPagesAndAfterRelease) {
  ZUV_TextBuffer b;
  std::string expected;
  for (int i = 0; expected.size() < (size_t{20} << 20); ++i) {
    const std::string piece(1 + i % 4000, static_cast<char>('a' + i % 26));
    b.Append(piece);
    expected += piece;
  }
  EXPECT_TRUE(b.View() == expected) << b.Size() << " bytes held, " << expected.size() << " written";
  b.Clear();
  b.Append("x");
  EXPECT_EQ(b.View(), "x");
  b.Release();
  EXPECT_EQ(b.Size(), 0u);
  b.Append("again");
  EXPECT_EQ(b.View(), "again");
}

// ---- Reads while the table fills ----

class ReadTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
  void TearDown() override {
    ::close(fds_[0]);
    ::close(fds_[1]);
    ZUV_Client::DeleteClient("reader", "");
  }
  static void Add(ZUV_Table& t, int from, int to) {
    for (int i = from; i < to; ++i) {
      char key[16];
      std::snprintf(key, sizeof(key), "K%04d", i);
      t.Lock();
      t.AddOrMergeRow(key, Row(key, i % 2));
      t.Unlock();
      t.SignalChange();
    }
  }
  // A table whose fill has ended with rows K0000 on.
  static std::shared_ptr<ZUV_Table> Filled(int rows) {
    auto t = std::make_shared<ZUV_Table>("S", "F");
    t->SetState(kTableFetching);
    Add(*t, 0, rows);
    t->SetState(kTableFetched);
    return t;
  }
  int fds_[2];
};

TEST_F(ReadTest, StartIndexSkipsMatchingRowsAndNumEntriesNeverCuts) {
  auto t = std::make_shared<ZUV_Table>("S", "F");
  Add(*t, 0, 10);
  auto odd = Criterion("PR_IMPORTANCE", PR_IMPORTANCE, PT_LONG);
  odd.value.number = 1;
  auto c = ZUV_Client::Create(Conn(fds_[0]), t, {odd}, "F", "S", "reader", "", "rid", 1);
  int32_t count = -1;
  c->FetchAndFilter(*t, fds_[0], 3, 1, &count);
  EXPECT_EQ(count, 3) << "matching rows 3, 4 and 5 of five";
  rapidjson::Document d;
  d.Parse(ReadFrame(fds_[1]).c_str());
  ASSERT_TRUE(d.IsObject());
  ASSERT_EQ(d["ROWS"].Size(), 3u);
  EXPECT_TRUE(d["ROWS"][0].HasMember("K0005"));
  EXPECT_STREQ(d["ClientIdentifier"].GetString(), "rid");
  for (int start : {0, 1}) {
    c->FetchAndFilter(*t, fds_[0], start, 0, &count);
    EXPECT_EQ(count, 5);
    (void)ReadFrame(fds_[1]);
  }
}

TEST_F(ReadTest, ALargeReadWrittenInTwoHalvesOrStreamedIsTheSameTextAsOneWriter) {
  auto t = Filled(40000);
  auto c = ZUV_Client::Create(Conn(fds_[0]), t, {}, "F", "S", "reader", "", "rid", 1);
  std::vector<ZUV_RowRef> rows;
  t->Lock();
  t->CollectMatching([](const ZUV_Row&) { return true; }, 2, &rows);
  const std::map<ULONG, std::string> names = t->ColumnNames();
  t->Unlock();
  const std::string expected = ZUV_Client::BuildResponse(501, "rid", rows, names, 0, "");
  // Halves; streamed in many blocks; streamed twice on one connection.
  for (size_t streamRows : {size_t{1} << 30, size_t{1000}, size_t{1000}}) {
    ZUV_Client::SetStreamRows(streamRows);
    std::string frame;
    std::thread reader([&] { frame = ReadFrame(fds_[1]); });
    int32_t count = 0;
    c->FetchAndFilter(*t, fds_[0], 2, 0, &count);
    reader.join();
    EXPECT_EQ(count, 39999);
    EXPECT_TRUE(frame == expected) << streamRows << ": " << frame.size() << " bytes: " << frame.substr(0, 200);
  }
  ZUV_Client::SetStreamRows(size_t{1} << 18);
}

TEST_F(ReadTest, AStreamedReadWhoseClientGoesAwayEndsWithoutHanging) {
  auto t = Filled(20000);
  auto c = ZUV_Client::Create(Conn(fds_[0]), t, {}, "F", "S", "reader", "", "rid", 1);
  ZUV_Client::SetStreamRows(1000);
  // The client reads the header and a little, then closes.
  std::thread reader([&] {
    char some[4096];
    (void)::read(fds_[1], some, sizeof(some));
    ::shutdown(fds_[1], SHUT_RDWR);
  });
  int32_t count = 0;
  c->FetchAndFilter(*t, fds_[0], 1, 0, &count);  // returns: the helper stopped
  reader.join();
  ZUV_Client::SetStreamRows(size_t{1} << 18);
  EXPECT_EQ(count, 20000);
}

TEST_F(ReadTest, AReadWritingWhileTheTableFillsSendsTheTableAsItIsAtTheEnd) {
  // The fill appends, then replaces and inserts rows the reader may already
  // have written, then appends again; whatever the reader saw on the way,
  // its response is the text of the final table (criteria and startIndex
  // applied).
  for (int round = 0; round < 6; ++round) {
    auto t = std::make_shared<ZUV_Table>("S", "F");
    t->SetState(kTableFetching);
    auto odd = Criterion("PR_IMPORTANCE", PR_IMPORTANCE, PT_LONG);
    odd.value.number = 1;
    auto c = ZUV_Client::Create(Conn(fds_[0]), t, {odd}, "F", "S", "reader", "", "rid", 1);
    std::thread filler([&] {
      Add(*t, 0, 3000);
      std::this_thread::yield();
      if (round % 3 != 2) {
        t->Lock();
        t->AddOrMergeRow("K0101", Row("K0101", 1, "replaced"));  // written already, most likely
        if (round % 3 == 1) t->AddOrMergeRow("K0050a", Row("K0050a", 1, "inserted"));
        t->Unlock();
        t->SignalChange();
      }
      Add(*t, 3000, 6000);
      t->SetState(kTableFetched);
    });
    std::string frame;
    std::thread reader([&] { frame = ReadFrame(fds_[1]); });
    int32_t count = 0;
    c->FetchAndFilter(*t, fds_[0], 5, 0, &count);
    filler.join();
    reader.join();
    std::vector<ZUV_RowRef> rows;
    t->Lock();
    t->CollectMatching([&](const ZUV_Row& row) { return c->MatchesCriteria(row, true); }, 5, &rows);
    const std::map<ULONG, std::string> names = t->ColumnNames();
    t->Unlock();
    EXPECT_EQ(count, static_cast<int32_t>(rows.size())) << round;
    EXPECT_TRUE(frame == ZUV_Client::BuildResponse(501, "rid", rows, names, 0, ""))
        << round << ": " << frame.size() << " bytes: " << frame.substr(0, 200);
    ZUV_Client::DeleteClient("reader", "");
  }
}

TEST_F(ReadTest, APageReturnsOnceItsRowsExistAndNumEntriesZeroWaitsForTheEnd) {
  auto t = std::make_shared<ZUV_Table>("S", "F");
  t->SetState(kTableFetching);
  auto c = ZUV_Client::Create(Conn(fds_[0]), t, {}, "F", "S", "reader", "", "rid", 1);
  std::atomic<int> phase{0};
  std::thread filler([&] {
    Add(*t, 0, 20);
    // Holds the fill open until the paged read has answered.
    while (phase.load() == 0) std::this_thread::yield();
    Add(*t, 20, 40);
    t->SetState(kTableFetched);
  });
  int32_t count = 0;
  c->FetchAndFilter(*t, fds_[0], 1, 10, &count);
  EXPECT_GE(count, 10);
  EXPECT_LE(count, 20) << "answered while the fill was still open";
  (void)ReadFrame(fds_[1]);
  phase = 1;
  c->FetchAndFilter(*t, fds_[0], 1, 0, &count);
  EXPECT_EQ(count, 40) << "numEntries 0 waits for the end of the fill";
  EXPECT_EQ(t->GetState(), kTableFetched);
  (void)ReadFrame(fds_[1]);
  filler.join();
}

}  // namespace
