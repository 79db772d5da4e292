// Composed messages over the wire: a draft with recipients of the three
// kinds, bodies, sensitivity, read receipt and attachments sent to local
// mailboxes; discarding; entry IDs that stop working after send, discard,
// idleness and restart; mail for recipients outside the store, with no
// relay and through an SMTP sink run by the test; bodies in three scripts
// on a store without HTML support.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mapi/mapiptr.h"
#include "mapi/mapitags.h"
#include "mapi_access/rtf_text.h"
#include "service_harness.h"

namespace zuv_test {
namespace {

constexpr ULONG kPrReadReceiptRequested = 0x0029000B;
constexpr ULONG kPrSensitivity = 0x00360003;
constexpr ULONG kPrRtfCompressed = 0x10090102;
constexpr ULONG kPrAttachNum = 0x0E210003;
constexpr ULONG kPrAttachLongFilename = 0x3707001E;
constexpr ULONG kPrAttachDataBin = 0x37010102;

// Mailboxes of the store besides the service's.
const char* const kLocalBoxes[] = {"alice", "bob", "carol"};

std::string Address(const std::string& alias) { return alias + "@example.com"; }

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  return out + "\"";
}

std::string JsonList(const std::vector<std::string>& list) {
  std::string out = "[";
  for (const auto& s : list) out += (out.size() > 1 ? "," : "") + Json(s);
  return out + "]";
}

struct Draft {
  std::string subject;
  std::string body;
  std::vector<std::string> to, cc, bcc;
  std::string receipt;
  int sensitivity = 0;
  bool save_to_sent = false;
  bool html = false;
};

// One message read back through the store.
struct StoredMessage {
  bool found = false;
  std::string body;
  std::string rtf;
  LONG sensitivity = -1;
  bool receipt = false;
  std::vector<std::pair<std::string, std::string>> attachments;  // name, bytes
  std::vector<std::string> recipients;
};

std::string ReadStream(IMAPIProp* obj, ULONG tag) {
  MapiPtr<IStream> stream;
  if (FAILED(obj->OpenProperty(tag, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(stream.put())))) return {};
  std::string out;
  char buf[8192];
  for (;;) {
    ULONG got = 0;
    if (FAILED(stream->Read(buf, sizeof(buf), &got)) || got == 0) break;
    out.append(buf, got);
  }
  return out;
}

// Service with three more mailboxes; registry lines and environment given.
class MailService {
 public:
  MailService(const std::string& registry, bool html_ok,
              const std::vector<std::pair<std::string, std::string>>& env = {}) {
    service.AddRegistryLines(registry);
    service.set_html_ok(html_ok);
    for (const auto& [k, v] : env) service.SetEnv(k, v);
    zuvstore::StoreAdmin* admin = service.store();
    EXPECT_NE(admin, nullptr);
    for (const char* alias : kLocalBoxes) {
      zuvstore::MailboxSpec spec;
      spec.alias = alias;
      spec.display_name = alias;
      spec.smtp = {Address(alias)};
      spec.legacy_dn = std::string("/o=Example Org/ou=Admin Group (EXAMPLE1)/cn=Recipients/cn=") + alias;
      spec.server = kServiceServer;
      std::string id, err;
      EXPECT_EQ(admin->AddMailbox(spec, &id, &err), S_OK) << err;
    }
  }

  std::string Send(const std::string& json) {
    Conn c(service.port(0));
    EXPECT_TRUE(c.ok());
    EXPECT_TRUE(c.SendFrame(json));
    return c.ReadResponse().value_or("<closed>");
  }

  // Creates the draft; its entry ID, or "" with *response set.
  std::string Create(const Draft& d, std::string* response = nullptr) {
    std::string msg = "{\"<Subject>k__BackingField\":" + Json(d.subject) + ",\"<Body>k__BackingField\":" +
                      Json(d.body) + ",\"<ReadReceiptEmail>k__BackingField\":" + Json(d.receipt) +
                      ",\"<Sensitivity>k__BackingField\":" + std::to_string(d.sensitivity) +
                      ",\"ToList\":" + JsonList(d.to) + ",\"CcList\":" + JsonList(d.cc) + ",\"BccList\":" +
                      JsonList(d.bcc) + ",\"SaveToSentItems\":" + (d.save_to_sent ? "true" : "false") +
                      ",\"IsHtml\":" + (d.html ? "true" : "false") + "}";
    std::string r = Send(Request(1020, ",\"ClientIdentifier\":\"composer\",\"Message\":" + msg));
    if (response != nullptr) *response = r;
    rapidjson::Document doc;
    doc.Parse(r.c_str());
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("ErrorNumber") || doc["ErrorNumber"].GetInt() != 0) {
      return {};
    }
    return doc["ROWS"].GetString();
  }

  // Uploads bytes on conn (a binary connection); the upload name.
  static std::string Upload(Conn& conn, const std::string& bytes) {
    if (!conn.SendRaw(std::to_string(bytes.size())) || !conn.ReadExactly(10) || !conn.SendRaw(bytes)) return {};
    std::string reply = conn.ReadSome();
    return reply.substr(0, reply.rfind(':'));
  }

  std::string Attach(const std::string& draft, const std::string& name, const std::string& hash) {
    return Send(Request(1021, ",\"EntryID\":" + Json(draft) + ",\"ClientIdentifier\":\"composer\",\"AttachmentName\":" +
                                  Json(name) + ",\"UploadedAttachmentHash\":" + Json(hash)));
  }
  std::string DeleteAttachment(const std::string& draft, int num) {
    return Send(Request(1022, ",\"ClientIdentifier\":\"composer\",\"AttachmentNum\":" + std::to_string(num) +
                                  ",\"EntryID\":" + Json(draft)));
  }
  std::string SendDraft(const std::string& draft) {
    return Send(Request(1023, ",\"ClientIdentifier\":\"composer\",\"EntryID\":" + Json(draft)));
  }
  std::string Discard(const std::string& draft) {
    return Send(Request(1024, ",\"ClientIdentifier\":\"composer\",\"EntryID\":" + Json(draft)));
  }

  // The subjects in a folder of a mailbox.
  std::vector<std::string> Subjects(const std::string& alias, const std::string& path) {
    std::vector<std::string> out;
    ForEach(alias, path, [&](IMessage*, const std::string& subject) {
      out.push_back(subject);
      return true;
    });
    return out;
  }

  // The first message with subject in the folder, read whole.
  StoredMessage Find(const std::string& alias, const std::string& path, const std::string& subject) {
    StoredMessage m;
    ForEach(alias, path, [&](IMessage* msg, const std::string& s) {
      if (s != subject) return true;
      m.found = true;
      m.body = ReadStream(msg, PR_BODY_A);
      if (!m.body.empty() && m.body.back() == '\0') m.body.pop_back();  // string streams end with their NUL
      std::string compressed = ReadStream(msg, kPrRtfCompressed);
      if (!compressed.empty()) {
        MapiPtr<IStream> raw, plain;
        if (SUCCEEDED(msg->OpenProperty(kPrRtfCompressed, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(raw.put()))) &&
            SUCCEEDED(WrapCompressedRTFStream(raw.get(), 0, plain.put()))) {
          char buf[8192];
          ULONG got = 0;
          while (SUCCEEDED(plain->Read(buf, sizeof(buf), &got)) && got > 0) m.rtf.append(buf, got);
        }
      }
      SizedSPropTagArray(2, tags) = {2, {kPrSensitivity, kPrReadReceiptRequested}};
      ULONG n = 0;
      MapiBuffer<SPropValue> v;
      if (SUCCEEDED(msg->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &n, v.put()))) {
        if (v.get()[0].ulPropTag == kPrSensitivity) m.sensitivity = v.get()[0].Value.l;
        if (v.get()[1].ulPropTag == kPrReadReceiptRequested) m.receipt = v.get()[1].Value.b != 0;
      }
      MapiPtr<IMAPITable> at;
      if (SUCCEEDED(msg->GetAttachmentTable(0, at.put()))) {
        SizedSPropTagArray(2, cols) = {2, {kPrAttachNum, kPrAttachLongFilename}};
        at->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0);
        MapiRows rows;
        if (SUCCEEDED(at->QueryRows(100, 0, rows.put()))) {
          for (ULONG r = 0; r < rows->cRows; ++r) {
            MapiPtr<IAttach> a;
            if (FAILED(msg->OpenAttach(rows->aRow[r].lpProps[0].Value.ul, nullptr, 0, a.put()))) continue;
            m.attachments.emplace_back(rows->aRow[r].lpProps[1].Value.lpszA, ReadStream(a.get(), kPrAttachDataBin));
          }
        }
      }
      MapiPtr<IMAPITable> rt;
      if (SUCCEEDED(msg->GetRecipientTable(0, rt.put()))) {
        SizedSPropTagArray(1, cols) = {1, {PR_DISPLAY_NAME_A}};
        rt->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0);
        MapiRows rows;
        if (SUCCEEDED(rt->QueryRows(100, 0, rows.put()))) {
          for (ULONG r = 0; r < rows->cRows; ++r) m.recipients.push_back(rows->aRow[r].lpProps[0].Value.lpszA);
        }
      }
      return false;
    });
    return m;
  }

  // Waits until the folder holds a message with subject.
  bool WaitFor(const std::string& alias, const std::string& path, const std::string& subject, int seconds = 30) {
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      auto s = Subjects(alias, path);
      if (std::find(s.begin(), s.end(), subject) != s.end()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  ServiceProcess service;

 private:
  template <class F>
  void ForEach(const std::string& alias, const std::string& path, F fn) {
    std::string err;
    MapiPtr<IMAPIFolder> folder;
    ASSERT_EQ(service.store()->OpenFolder(alias, false, path, folder.put(), &err), S_OK) << err;
    MapiPtr<IMAPITable> table;
    ASSERT_EQ(folder->GetContentsTable(0, table.put()), S_OK);
    SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_SUBJECT_A}};
    table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0);
    MapiRows rows;
    ASSERT_EQ(table->QueryRows(1000, 0, rows.put()), S_OK);
    for (ULONG r = 0; r < rows->cRows; ++r) {
      const SPropValue* v = rows->aRow[r].lpProps;
      std::string subject = v[1].ulPropTag == PR_SUBJECT_A ? v[1].Value.lpszA : "";
      MapiPtr<IMessage> msg;
      ULONG type = 0;
      if (FAILED(folder->OpenEntry(v[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(v[0].Value.bin.lpb), nullptr, 0,
                                   &type, reinterpret_cast<LPUNKNOWN*>(msg.put())))) {
        continue;
      }
      if (!fn(msg.get(), subject)) return;
    }
  }
};

constexpr const char* kFailSend = "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot send message\"}";
constexpr const char* kOk = "{\"ErrorNumber\":0,\"ErrorString\":\"\"}";

// ---- Drafts sent inside the store, on a store without HTML support

class DraftFlowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    mail_ = new MailService("", /*html_ok=*/false);
    ASSERT_TRUE(mail_->service.Start()) << ReadFile(mail_->service.home() / "console.out");
  }
  static void TearDownTestSuite() {
    delete mail_;
    mail_ = nullptr;
  }
  static MailService* mail_;
};
MailService* DraftFlowTest::mail_ = nullptr;

TEST_F(DraftFlowTest, DraftWithEveryPartIsSentToLocalMailboxesAndKeptInSentItems) {
  Draft d;
  d.subject = "Quarterly figures";
  d.body = "<html><body><p>Figures {attached} \\ see below</p></body></html>";
  d.html = true;
  d.to = {Address("alice")};
  d.cc = {Address("bob")};
  d.bcc = {Address("carol")};
  d.receipt = Address(kServiceAlias);
  d.sensitivity = 2;
  d.save_to_sent = true;
  const std::string id = mail_->Create(d);
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(mail_->Subjects(kServiceAlias, "Drafts"), std::vector<std::string>{d.subject});

  Conn bin(mail_->service.bin_port());
  ASSERT_TRUE(bin.ok());
  const std::string first = std::string("first file\0with a NUL", 21);
  std::string second(70000, '\0');
  for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<char>(i * 31 + 7);
  std::string hash = MailService::Upload(bin, first);
  ASSERT_FALSE(hash.empty());
  EXPECT_EQ(mail_->Attach(id, "first.txt", hash), "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":\"0\"}");
  ASSERT_EQ(MailService::Upload(bin, second), hash);
  EXPECT_EQ(mail_->Attach(id, "second.bin", hash), "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":\"0\"}");
  EXPECT_EQ(mail_->DeleteAttachment(id, 0), kOk);
  EXPECT_EQ(mail_->DeleteAttachment(id, 0), kFailSend);  // already gone
  EXPECT_EQ(mail_->SendDraft(id), kOk);

  // Every recipient, Bcc included, has one copy with the remaining attachment.
  for (const char* alias : kLocalBoxes) {
    StoredMessage m = mail_->Find(alias, "Inbox", d.subject);
    ASSERT_TRUE(m.found) << alias;
    ASSERT_EQ(m.attachments.size(), 1u) << alias;
    EXPECT_EQ(m.attachments[0].first, "second.bin");
    EXPECT_EQ(m.attachments[0].second, second);
    EXPECT_EQ(m.sensitivity, 2);
    EXPECT_TRUE(m.receipt);
    std::string html;
    ASSERT_TRUE(zuv::HtmlFromRtf(m.rtf, &html)) << m.rtf;
    EXPECT_EQ(html, d.body);
    // The Bcc recipient is not shown to anyone.
    EXPECT_EQ(std::count(m.recipients.begin(), m.recipients.end(), "carol"), 0) << alias;
  }
  EXPECT_TRUE(mail_->Find(kServiceAlias, "Sent Items", d.subject).found);
  EXPECT_TRUE(mail_->Subjects(kServiceAlias, "Drafts").empty());
  EXPECT_TRUE(mail_->Subjects(kServiceAlias, "Outbox").empty());

  // A sent draft is no longer open.
  EXPECT_EQ(mail_->SendDraft(id), kFailSend);
  EXPECT_EQ(mail_->Attach(id, "late.txt", hash), "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot set attachment\",\"ROWS\":\"0\"}");
  EXPECT_TRUE(mail_->service.WaitForLog("Cannot open message with entryID " + id + ". Invalid entryID"));
}

TEST_F(DraftFlowTest, ConcurrentRequestsOnOneDraftAreSerialised) {
  Draft d;
  d.subject = "Many hands";
  d.to = {Address("alice")};
  const std::string id = mail_->Create(d);
  ASSERT_FALSE(id.empty());
  constexpr int kClients = 6;
  std::vector<std::string> contents(kClients), responses(kClients);
  std::vector<std::unique_ptr<Conn>> bins;
  std::vector<std::string> hashes;
  for (int i = 0; i < kClients; ++i) {
    contents[i] = std::string(20000 + i * 1000, static_cast<char>('a' + i));
    bins.push_back(std::make_unique<Conn>(mail_->service.bin_port()));
    hashes.push_back(MailService::Upload(*bins.back(), contents[i]));
    ASSERT_FALSE(hashes.back().empty());
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] { responses[i] = mail_->Attach(id, "part" + std::to_string(i), hashes[i]); });
  }
  for (auto& t : threads) t.join();
  for (const auto& r : responses) EXPECT_EQ(r, "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":\"0\"}");
  EXPECT_EQ(mail_->SendDraft(id), kOk);
  StoredMessage m = mail_->Find("alice", "Inbox", d.subject);
  ASSERT_EQ(m.attachments.size(), static_cast<size_t>(kClients));
  for (const auto& [name, bytes] : m.attachments) {
    const int i = name.back() - '0';
    ASSERT_TRUE(i >= 0 && i < kClients) << name;
    EXPECT_EQ(bytes, contents[i]) << name;
  }
}

TEST_F(DraftFlowTest, DiscardedDraftLeavesDraftsAndItsEntryIDStopsWorking) {
  Draft d;
  d.subject = "Never sent";
  d.body = "draft text";
  const std::string id = mail_->Create(d);  // no recipients at all
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(mail_->Find(kServiceAlias, "Drafts", d.subject).found);
  EXPECT_EQ(mail_->Discard(id), kOk);
  EXPECT_FALSE(mail_->Find(kServiceAlias, "Drafts", d.subject).found);
  EXPECT_EQ(mail_->Discard(id), kFailSend);
  EXPECT_EQ(mail_->SendDraft(id), kFailSend);
  EXPECT_TRUE(mail_->service.WaitForLog("Cannot open message with entryID " + id + ". Invalid entryID"));
}

TEST_F(DraftFlowTest, BadRequestsAreRefusedWithTheirTexts) {
  std::string response;
  Draft d;
  d.subject = "Nobody";
  d.to = {"no such person"};  // neither a mailbox nor an address
  EXPECT_TRUE(mail_->Create(d, &response).empty());
  EXPECT_EQ(response, "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot create message\",\"ROWS\":\"\"}");
  EXPECT_FALSE(mail_->Find(kServiceAlias, "Drafts", d.subject).found);

  Draft ok;
  ok.subject = "Upload checks";
  const std::string id = mail_->Create(ok);
  ASSERT_FALSE(id.empty());
  const std::string refused = "{\"ErrorNumber\":1,\"ErrorString\":\"Cannot set attachment\",\"ROWS\":\"0\"}";
  EXPECT_EQ(mail_->Attach(id, "x", "127.0.0.1.1"), refused);
  EXPECT_TRUE(mail_->service.WaitForLog("cannot use the uploaded file ZUVFiles/127.0.0.1.1.jpg"));
  EXPECT_EQ(mail_->Attach(id, "x", "../data/zuvstore.db"), refused);
  EXPECT_EQ(mail_->Attach(id, "x", ""), refused);
  EXPECT_EQ(mail_->Discard(id), kOk);
}

TEST_F(DraftFlowTest, GermanRussianAndJapaneseSurviveBothBodyKinds) {
  const std::string text = "Grüße aus München, Straße; Привет, мир; こんにちは世界 \xF0\x9F\x93\xA7";
  Draft plain;
  plain.subject = "Three scripts, plain";
  plain.body = text;
  plain.to = {Address("alice")};
  Draft html = plain;
  html.subject = "Three scripts, HTML";
  html.body = "<p>" + text + "</p>";
  html.html = true;
  for (const Draft* d : {&plain, &html}) {
    const std::string id = mail_->Create(*d);
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(mail_->SendDraft(id), kOk);
  }
  EXPECT_EQ(mail_->Find("alice", "Inbox", plain.subject).body, text);
  StoredMessage m = mail_->Find("alice", "Inbox", html.subject);
  ASSERT_TRUE(m.found);
  // The RTF is plain ASCII: the characters travel as Unicode escapes.
  EXPECT_TRUE(std::all_of(m.rtf.begin(), m.rtf.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
  EXPECT_NE(m.rtf.find("\\u252?"), std::string::npos) << m.rtf;    // ü
  EXPECT_NE(m.rtf.find("\\u1055?"), std::string::npos) << m.rtf;   // П
  EXPECT_NE(m.rtf.find("\\u12371?"), std::string::npos) << m.rtf;  // こ
  std::string back;
  ASSERT_TRUE(zuv::HtmlFromRtf(m.rtf, &back));
  EXPECT_EQ(back, html.body);
}

TEST_F(DraftFlowTest, RecipientOutsideTheStoreWithoutRelayGetsReportInSendersInbox) {
  Draft d;
  d.subject = "To the outside";
  d.body = "hello";
  d.to = {"someone@elsewhere.example", Address("alice")};
  const std::string id = mail_->Create(d);
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(mail_->SendDraft(id), kOk);
  EXPECT_TRUE(mail_->Find("alice", "Inbox", d.subject).found);  // the local part is delivered
  ASSERT_TRUE(mail_->WaitFor(kServiceAlias, "Inbox", "Undeliverable: " + d.subject));
  StoredMessage report = mail_->Find(kServiceAlias, "Inbox", "Undeliverable: " + d.subject);
  EXPECT_NE(report.body.find("someone@elsewhere.example"), std::string::npos) << report.body;
  EXPECT_NE(report.body.find("SmtpRelay"), std::string::npos) << report.body;
  EXPECT_EQ(report.body.find(Address("alice")), std::string::npos) << report.body;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!mail_->Subjects(kServiceAlias, "Outbox").empty() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(mail_->Subjects(kServiceAlias, "Outbox").empty());
}

// ---- Drafts closed for idleness and by a restart

TEST(DraftLifetimeTest, IdleDraftsAndDraftsOfAnEarlierRunAnswerInvalidEntryID) {
  MailService mail("", true, {{"ZUV_TEST_DRAFT_IDLE_SECONDS", "2"}});
  ASSERT_TRUE(mail.service.Start()) << ReadFile(mail.service.home() / "console.out");
  Draft d;
  d.subject = "Left alone";
  d.to = {Address("alice")};
  const std::string idle = mail.Create(d);
  ASSERT_FALSE(idle.empty());
  ASSERT_TRUE(mail.service.WaitForLog("Closed the draft " + idle, 30));
  EXPECT_EQ(mail.SendDraft(idle), kFailSend);
  EXPECT_TRUE(mail.Find(kServiceAlias, "Drafts", d.subject).found);  // closed, not deleted

  d.subject = "Across a restart";
  const std::string id = mail.Create(d);
  ASSERT_FALSE(id.empty());
  mail.service.Stop();
  fs::remove(mail.service.LogPath());  // the start waits for its own lines
  ASSERT_TRUE(mail.service.Start());
  EXPECT_EQ(mail.SendDraft(id), kFailSend);
  EXPECT_TRUE(mail.service.WaitForLog("Cannot open message with entryID " + id + ". Invalid entryID"));
  EXPECT_FALSE(mail.Find("alice", "Inbox", d.subject).found);
}

// ---- Relaying through an SMTP server run by the test

// A small SMTP server on loopback: it answers RCPT TO for an address with
// the next of that address's scripted replies (250 when none are left) and
// records the data of every accepted transaction.
class SmtpSink {
 public:
  SmtpSink() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    ::listen(fd_, 8);
    thread_ = std::thread([this] { Serve(); });
  }
  ~SmtpSink() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  uint16_t port() const { return port_; }
  void Script(const std::string& address, std::vector<std::string> replies) {
    std::lock_guard<std::mutex> lock(mu_);
    scripts_[address] = std::move(replies);
  }
  std::vector<std::string> Accepted() {
    std::lock_guard<std::mutex> lock(mu_);
    return accepted_;
  }
  int Attempts(const std::string& address) {
    std::lock_guard<std::mutex> lock(mu_);
    return attempts_[address];
  }

 private:
  void Serve() {
    while (!stop_) {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      timeval tv{10, 0};
      ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      Session(c);
      ::close(c);
    }
  }
  static void Say(int c, const std::string& line) {
    std::string out = line + "\r\n";
    (void)::send(c, out.data(), out.size(), MSG_NOSIGNAL);
  }
  void Session(int c) {
    Say(c, "220 sink ESMTP");
    std::string buffer;
    bool in_data = false;
    bool refused = false;
    std::string data;
    char chunk[4096];
    for (;;) {
      size_t eol;
      while ((eol = buffer.find("\r\n")) == std::string::npos) {
        ssize_t n = ::recv(c, chunk, sizeof(chunk), 0);
        if (n <= 0) return;
        buffer.append(chunk, static_cast<size_t>(n));
      }
      std::string line = buffer.substr(0, eol);
      buffer.erase(0, eol + 2);
      if (in_data) {
        if (line == ".") {
          in_data = false;
          std::lock_guard<std::mutex> lock(mu_);
          accepted_.push_back(data);
          Say(c, "250 queued");
        } else {
          data += line + "\n";
        }
        continue;
      }
      std::string verb = line.substr(0, 4);
      for (char& ch : verb) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      if (verb == "EHLO" || verb == "HELO") {
        Say(c, "250 sink");
      } else if (verb == "MAIL") {
        refused = false;
        data.clear();
        Say(c, "250 ok");
      } else if (verb == "RCPT") {
        std::string address = line.substr(line.find('<') + 1);
        address = address.substr(0, address.find('>'));
        std::string reply = "250 ok";
        {
          std::lock_guard<std::mutex> lock(mu_);
          ++attempts_[address];
          auto& script = scripts_[address];
          if (!script.empty()) {
            reply = script.front();
            script.erase(script.begin());
          }
        }
        if (reply[0] != '2') refused = true;
        Say(c, reply);
      } else if (verb == "DATA") {
        if (refused) {
          Say(c, "554 no valid recipients");
        } else {
          in_data = true;
          Say(c, "354 go ahead");
        }
      } else if (verb == "QUIT") {
        Say(c, "221 bye");
        return;
      } else {
        Say(c, "250 ok");
      }
    }
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::map<std::string, std::vector<std::string>> scripts_;
  std::map<std::string, int> attempts_;
  std::vector<std::string> accepted_;
  std::thread thread_;
};

class SmtpRelayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sink_ = new SmtpSink;
    mail_ = new MailService("\"SmtpRelay\"=\"127.0.0.1:" + std::to_string(sink_->port()) +
                                "\"\r\n\"SmtpRetrySeconds\"=dword:00000001\r\n\"SmtpMaxAttempts\"=dword:00000005\r\n",
                            true);
    ASSERT_TRUE(mail_->service.Start()) << ReadFile(mail_->service.home() / "console.out");
  }
  static void TearDownTestSuite() {
    delete mail_;
    delete sink_;
    mail_ = nullptr;
    sink_ = nullptr;
  }
  static bool WaitForAccepted(const std::string& text) {
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
      for (const auto& data : sink_->Accepted()) {
        if (data.find(text) != std::string::npos) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  static bool OutboxEmpty() {
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      if (mail_->Subjects(kServiceAlias, "Outbox").empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  static SmtpSink* sink_;
  static MailService* mail_;
};
SmtpSink* SmtpRelayTest::sink_ = nullptr;
MailService* SmtpRelayTest::mail_ = nullptr;

TEST_F(SmtpRelayTest, AcceptedMessageCarriesItsPartsAndLeavesTheOutbox) {
  Draft d;
  d.subject = "Relayed report";
  d.body = "Body for the outside";
  d.to = {"partner@remote.example"};
  d.cc = {Address("bob")};
  const std::string id = mail_->Create(d);
  ASSERT_FALSE(id.empty());
  Conn bin(mail_->service.bin_port());
  const std::string hash = MailService::Upload(bin, "attachment bytes");
  ASSERT_FALSE(hash.empty());
  ASSERT_EQ(mail_->Attach(id, "notes.txt", hash), "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":\"0\"}");
  EXPECT_EQ(mail_->SendDraft(id), kOk);
  ASSERT_TRUE(WaitForAccepted("Subject: Relayed report"));
  std::string data;
  for (const auto& a : sink_->Accepted()) {
    if (a.find("Subject: Relayed report") != std::string::npos) data = a;
  }
  EXPECT_NE(data.find("From: "), std::string::npos);
  EXPECT_NE(data.find("<" + Address(kServiceAlias) + ">"), std::string::npos) << data;
  EXPECT_NE(data.find("To: partner@remote.example"), std::string::npos) << data;
  EXPECT_NE(data.find("Body for the outside"), std::string::npos) << data;
  EXPECT_NE(data.find("notes.txt"), std::string::npos) << data;
  EXPECT_NE(data.find("YXR0YWNobWVudCBieXRlcw=="), std::string::npos) << data;  // the bytes, base64
  EXPECT_EQ(sink_->Attempts(Address("bob")), 0);  // delivered in the store, not relayed
  EXPECT_TRUE(mail_->Find("bob", "Inbox", d.subject).found);
  EXPECT_TRUE(OutboxEmpty());
  EXPECT_TRUE(mail_->service.WaitForLog("accepted message \"Relayed report\""));
}

TEST_F(SmtpRelayTest, TemporaryFailuresAreRetriedUntilAccepted) {
  sink_->Script("busy@remote.example", {"451 try later", "451 still busy"});
  Draft d;
  d.subject = "Retried";
  d.to = {"busy@remote.example"};
  const std::string id = mail_->Create(d);
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(mail_->SendDraft(id), kOk);
  ASSERT_TRUE(WaitForAccepted("Subject: Retried"));
  EXPECT_EQ(sink_->Attempts("busy@remote.example"), 3);
  EXPECT_TRUE(mail_->service.LogContains("Temporary failure relaying message \"Retried\""));
  EXPECT_TRUE(mail_->service.LogContains("\"Retried\" to busy@remote.example through 127.0.0.1:" +
                                         std::to_string(sink_->port()) + ", attempt 3 of 5"));
  EXPECT_TRUE(OutboxEmpty());
  EXPECT_FALSE(mail_->Find(kServiceAlias, "Inbox", "Undeliverable: Retried").found);
}

TEST_F(SmtpRelayTest, PermanentRefusalComesBackAsReport) {
  sink_->Script("gone@remote.example", {"550 no such user here"});
  Draft d;
  d.subject = "Refused";
  d.to = {"gone@remote.example"};
  const std::string id = mail_->Create(d);
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(mail_->SendDraft(id), kOk);
  ASSERT_TRUE(mail_->WaitFor(kServiceAlias, "Inbox", "Undeliverable: Refused"));
  StoredMessage report = mail_->Find(kServiceAlias, "Inbox", "Undeliverable: Refused");
  EXPECT_NE(report.body.find("gone@remote.example"), std::string::npos) << report.body;
  EXPECT_NE(report.body.find("550"), std::string::npos) << report.body;
  EXPECT_EQ(sink_->Attempts("gone@remote.example"), 1);  // not retried
  EXPECT_TRUE(OutboxEmpty());
}

}  // namespace
}  // namespace zuv_test
