// The client against scripted fake servers: answers in pieces, no answer,
// attachment bytes, the upload handshake and the push listener.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zuvsdk/client.h"
#include "zuvsdk/frame.h"
#include "zuvsdk/push_listener.h"

namespace {

// Accepts one connection on a free loopback port and runs script on it in
// a thread of its own; the script sees the socket and returns when done.
class FakeServer {
 public:
  explicit FakeServer(std::function<void(int fd)> script) : script_(std::move(script)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    ::listen(fd_, 4);
    thread_ = std::thread([this] {
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      script_(c);
      ::close(c);
    });
  }
  ~FakeServer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  std::function<void(int)> script_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// Reads one request frame (digits then exactly that many JSON bytes).
std::string ReadRequest(int fd) {
  std::string digits;
  char c = 0;
  while (::recv(fd, &c, 1, 0) == 1 && c != '{') digits += c;
  std::string json(1, c);
  const size_t n = std::stoul(digits);
  while (json.size() < n) {
    char buf[4096];
    const ssize_t r = ::recv(fd, buf, std::min(sizeof(buf), n - json.size()), 0);
    if (r <= 0) break;
    json.append(buf, static_cast<size_t>(r));
  }
  return json;
}

void SendBytes(int fd, const std::string& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

// Waits until the peer closes (the client ended the call).
void WaitForClose(int fd) {
  char buf[256];
  while (::recv(fd, buf, sizeof(buf), 0) > 0) {
  }
}

zuvsdk::Endpoint At(uint16_t port, int timeout_ms = 5000) {
  zuvsdk::Endpoint e;
  e.port = port;
  e.bin_port = port;
  e.timeout_ms = timeout_ms;
  return e;
}

TEST(ClientTest, ServiceThatNeverAnswersGivesNoAnswer) {
  FakeServer server([](int fd) {
    ReadRequest(fd);
    WaitForClose(fd);
  });
  zuvsdk::Client client(At(server.port(), 300), zuvsdk::Session{});
  std::vector<std::string> servers;
  std::string err;
  EXPECT_EQ(client.GetExchangeServers("", &servers, &err), zuvsdk::kNoAnswer);
  EXPECT_NE(err.find("no answer"), std::string::npos) << err;
}

TEST(ClientTest, ClosingWithoutAnswerIsNotConnected) {
  FakeServer server([](int fd) { ReadRequest(fd); });
  zuvsdk::Client client(At(server.port()), zuvsdk::Session{});
  std::string err, id;
  EXPECT_EQ(client.GetEntryID({"Inbox"}, &id, &err), zuvsdk::kNotConnected);
  EXPECT_NE(err.find("closed"), std::string::npos) << err;
}

TEST(ClientTest, RequestCarriesEnvelopeAndAnswerInPiecesIsRead) {
  std::string request;
  FakeServer server([&request](int fd) {
    request = ReadRequest(fd);
    const std::string frame =
        zuvsdk::EncodeResponseFrame(R"({"ErrorNumber":0,"ErrorString":"","ROWS":"00112233445566778899"})");
    // Header digits, rest of the header, then the body in two parts.
    SendBytes(fd, frame.substr(0, 1));
    SendBytes(fd, frame.substr(1, 9));
    SendBytes(fd, frame.substr(10, 5));
    SendBytes(fd, frame.substr(15));
    WaitForClose(fd);
  });
  zuvsdk::Session session;
  session.client_id = "tester";
  session.mailbox = "alice";
  zuvsdk::Client client(At(server.port()), session);
  std::string err, id;
  ASSERT_EQ(client.GetEntryID({"Inbox", "Projects"}, &id, &err), zuvsdk::kOk) << err;
  EXPECT_EQ(id, "00112233445566778899");
  client.Disconnect();
  EXPECT_EQ(request.rfind(R"({"ProtocolVersion":4,"Request":1007,)", 0), 0u) << request;
  EXPECT_NE(request.find(R"("ClientIdentifier":"tester")"), std::string::npos);
  EXPECT_NE(request.find(R"("Mailbox":"alice")"), std::string::npos);
  EXPECT_NE(request.find(R"("FolderHierarchy":["Inbox","Projects"])"), std::string::npos);
  EXPECT_NE(request.find(R"("StoreEntryID":"ZUV_MAILBOX_STORE_ENTRYID")"), std::string::npos);
}

TEST(ClientTest, ServiceFailureTextIsReturned) {
  FakeServer server([](int fd) {
    ReadRequest(fd);
    SendBytes(fd, zuvsdk::EncodeResponseFrame(R"({"ErrorNumber":1,"ErrorString":"Cannot set data","ROWS":""})"));
    WaitForClose(fd);
  });
  zuvsdk::Client client(At(server.port()), zuvsdk::Session{});
  std::string err, id;
  EXPECT_EQ(client.SetTable("F", {}, &id, &err), zuvsdk::kFailed);
  EXPECT_EQ(err, "Cannot set data");
}

TEST(ClientTest, AttachmentBytesArriveInOrderAndAFailureAnswerIsRecognised) {
  const std::string contents(200000, 'z');
  FakeServer server([&contents](int fd) {
    ReadRequest(fd);
    SendBytes(fd, zuvsdk::EncodeResponseFrame(contents));
    ReadRequest(fd);
    SendBytes(fd, zuvsdk::EncodeResponseFrame(R"({"ErrorNumber":1})"));
    WaitForClose(fd);
  });
  zuvsdk::Client client(At(server.port()), zuvsdk::Session{});
  std::string got, err;
  uint64_t last_received = 0, last_total = 0;
  ASSERT_EQ(client.GetAttachmentFile("F", "I", 0,
                                     [&](std::string_view chunk, uint64_t received, uint64_t total) {
                                       got.append(chunk);
                                       last_received = received;
                                       last_total = total;
                                       return true;
                                     },
                                     &err),
            zuvsdk::kOk)
      << err;
  EXPECT_EQ(got, contents);
  EXPECT_EQ(last_received, contents.size());
  EXPECT_EQ(last_total, contents.size());
  got.clear();
  EXPECT_EQ(client.GetAttachmentFile("F", "I", 1,
                                     [&](std::string_view chunk, uint64_t, uint64_t) {
                                       got.append(chunk);
                                       return true;
                                     },
                                     &err),
            zuvsdk::kFailed);
  EXPECT_TRUE(got.empty());
}

TEST(ClientTest, UploadWaitsForTheAcknowledgementBeforeTheContents) {
  bool contents_before_ack = false;
  std::string received;
  FakeServer server([&](int fd) {
    char buf[256];
    const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    const std::string header(buf, n > 0 ? static_cast<size_t>(n) : 0);
    // Anything beyond the digits would be contents sent too early.
    contents_before_ack = header != "5";
    SendBytes(fd, std::string("5\0\0\0\0\0\0\0\0\0", 10));
    while (received.size() < 5) {
      const ssize_t r = ::recv(fd, buf, sizeof(buf), 0);
      if (r <= 0) break;
      received.append(buf, static_cast<size_t>(r));
    }
    SendBytes(fd, "127.0.0.1.4242:5");
    WaitForClose(fd);
  });
  std::string name, err;
  ASSERT_EQ(zuvsdk::Upload(At(server.port()), "hello", &name, &err), zuvsdk::kOk) << err;
  EXPECT_EQ(name, "127.0.0.1.4242");
  EXPECT_EQ(received, "hello");
  EXPECT_FALSE(contents_before_ack);
}

TEST(ClientTest, UploadThatTheServiceCouldNotStoreFails) {
  FakeServer server([](int fd) {
    char buf[256];
    (void)::recv(fd, buf, sizeof(buf), 0);
    SendBytes(fd, std::string("3\0\0\0\0\0\0\0\0\0", 10));
    (void)::recv(fd, buf, sizeof(buf), 0);
    SendBytes(fd, "127.0.0.1.4243:0");
    WaitForClose(fd);
  });
  std::string name, err;
  EXPECT_EQ(zuvsdk::Upload(At(server.port()), "abc", &name, &err), zuvsdk::kFailed);
  EXPECT_NE(err.find("could not store"), std::string::npos) << err;
}

TEST(ClientTest, HostPortParsing) {
  std::string host, err;
  uint16_t port = 0;
  EXPECT_EQ(zuvsdk::ParseHostPort("127.0.0.1:8080", &host, &port, &err), zuvsdk::kOk);
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 8080);
  EXPECT_NE(zuvsdk::ParseHostPort("localhost", &host, &port, &err), zuvsdk::kOk);
  EXPECT_NE(zuvsdk::ParseHostPort("h:70000", &host, &port, &err), zuvsdk::kOk);
  EXPECT_NE(zuvsdk::ParseHostPort(":80", &host, &port, &err), zuvsdk::kOk);
}

// Collects what a push listener hands over.
struct Received {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<zuvsdk::TableAnswer> messages;
  std::vector<std::string> errors;
  size_t count() {
    std::lock_guard<std::mutex> lock(mu);
    return messages.size() + errors.size();
  }
  void WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return messages.size() + errors.size() >= n; });
  }
};

void PushTo(uint16_t port, const std::string& bytes, size_t split) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  SendBytes(fd, bytes.substr(0, split));
  SendBytes(fd, bytes.substr(split));
  ::close(fd);
}

TEST(ClientTest, PushListenerDecodesEachPushedMessage) {
  Received got;
  zuvsdk::PushListener listener;
  std::string err;
  ASSERT_EQ(listener.Start("127.0.0.1", 0,
                           [&got](const zuvsdk::TableAnswer& m, bool ok, const std::string& error) {
                             std::lock_guard<std::mutex> lock(got.mu);
                             if (ok) {
                               got.messages.push_back(m);
                             } else {
                               got.errors.push_back(error);
                             }
                             got.cv.notify_all();
                           },
                           5000, &err),
            0)
      << err;
  EXPECT_EQ(listener.url(), "127.0.0.1:" + std::to_string(listener.port()));
  PushTo(listener.port(),
         zuvsdk::EncodeResponseFrame(
             R"({"ErrorNumber":0,"ErrorString":"","DataType":502,"ClientIdentifier":"c","ROWS":[{"K1":[{"PR_SUBJECT-30":"new"}]}]})"),
         3);
  got.WaitFor(1);
  PushTo(listener.port(),
         zuvsdk::EncodeResponseFrame(R"({"ErrorNumber":0,"ErrorString":"","DataType":503,"ROWS":"K1"})"), 12);
  got.WaitFor(2);
  PushTo(listener.port(), std::string("40\0\0\0\0\0\0\0\0{\"short", 17), 5);  // ends early
  got.WaitFor(3);
  listener.Stop();
  ASSERT_EQ(got.messages.size(), 2u);
  EXPECT_EQ(got.messages[0].data_type, 502);
  ASSERT_EQ(got.messages[0].rows.size(), 1u);
  EXPECT_EQ(got.messages[0].rows[0].Find("PR_SUBJECT")->value.text, "new");
  EXPECT_EQ(got.messages[1].data_type, 503);
  EXPECT_EQ(got.messages[1].deleted_key, "K1");
  ASSERT_EQ(got.errors.size(), 1u);
  EXPECT_NE(got.errors[0].find("ended early"), std::string::npos);
}

}  // namespace
