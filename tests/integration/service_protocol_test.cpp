// Black-box tests of the JSON ports, the binary port and the console run,
// against the real zuv_service binary on loopback.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "service_harness.h"

namespace zuv_test {
namespace {

class ServiceProtocolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new ServiceProcess;
    ASSERT_TRUE(service_->Start()) << ReadFile(service_->home() / "console.out");
  }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }

  // After each case the same service still answers a fresh connection.
  void TearDown() override {
    Conn c(service_->port(2));
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c.SendFrame(Request(1009)));
    EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
  }

  static ServiceProcess* service_;
};

ServiceProcess* ServiceProtocolTest::service_ = nullptr;

TEST_F(ServiceProtocolTest, CloseIsAnsweredThenTheServiceClosesTheConnection) {
  Conn c(service_->port(0));
  ASSERT_TRUE(c.ok());
  ASSERT_TRUE(c.SendFrame(Request(1009, ",\"Mailbox\":\"jdoe\",\"ClientIdentifier\":\"c1\"")));
  auto header = c.ReadExactly(10);
  ASSERT_TRUE(header);
  EXPECT_EQ(std::string(header->c_str()), "17");  // "%d" then a NUL
  EXPECT_EQ(c.ReadExactly(17).value_or(""), "{\"ErrorNumber\":0}");
  EXPECT_TRUE(c.ClosedByPeer());

  std::string name = c.ExpectedName();
  EXPECT_TRUE(service_->WaitForLog(name + ": Got a CLOSE request"));
  EXPECT_TRUE(service_->LogContains(name + ":jdoe:START Close"));  // TLOG
  EXPECT_TRUE(service_->LogContains(name + ":Got a ZUV_Request Close (Proto 4-->4)"));
  EXPECT_TRUE(service_->LogContains("::Warn::Good:0, Bad:0"));
  EXPECT_TRUE(service_->LogContains(name + ":jdoe:ProcessCloseRequest returning success"));
  EXPECT_TRUE(service_->LogContains("::Info::{\"ProtocolVersion\":4,\"Request\":1009,\"Mailbox\""));
}

TEST_F(ServiceProtocolTest, FramesSplitAcrossSegmentsAreReadWhole) {
  const std::string json = Request(1009, ",\"ClientIdentifier\":\"" + std::string(200, 'x') + "\"");
  {  // digits alone, then the JSON in several pieces
    Conn c(service_->port(1));
    ASSERT_TRUE(c.SendRaw(std::to_string(json.size())));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(c.SendRaw(json.substr(0, 7)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(c.SendRaw(json.substr(7, 100)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(c.SendRaw(json.substr(107)));
    EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
  }
  {  // count and JSON in one segment
    Conn c(service_->port(1));
    ASSERT_TRUE(c.SendFrame(json));
    EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
  }
}

// Frames that arrive together are answered one by one, in order: bytes
// received past one frame are the start of the next, also when a frame is
// longer than one receive.
TEST_F(ServiceProtocolTest, FramesArrivingTogetherAreAnsweredInOrder) {
  const std::string ping = Request(1010, ",\"ClientIdentifier\":\"nobody\"");
  const std::string big = Request(1002, ",\"ClientIdentifier\":\"" + std::string(9000, 'y') + "\"");
  const std::string close = Request(1009);
  auto frame = [](const std::string& json) { return std::to_string(json.size()) + json; };
  Conn c(service_->port(0));
  ASSERT_TRUE(c.ok());
  ASSERT_TRUE(c.SendRaw(frame(ping) + frame(ping) + frame(big) + frame(ping) + frame(close)));
  EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":3}");
  EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":3}");
  // 1002 has no handler and no answer; the ping after it is still read whole.
  EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":3}");
  EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
  EXPECT_TRUE(c.ClosedByPeer());
}

TEST_F(ServiceProtocolTest, OtherProtocolVersionsAreRejectedWithoutAnswer) {
  for (int version : {3, 5, 0}) {
    Conn c(service_->port(0));
    std::string json = version == 0 ? "{\"Request\":1009}" : Request(1009, "", version);
    ASSERT_TRUE(c.SendFrame(json));
    EXPECT_TRUE(c.ClosedByPeer()) << "version " << version;
    std::string name = c.ExpectedName();
    EXPECT_TRUE(service_->WaitForLog(name + ":Rejecting a request Close with protocol version " +
                                     std::to_string(version) + " to 4"));
    EXPECT_TRUE(service_->WaitForLog(name + ":Buffer:" + json));
  }
  {  // text that is not JSON reads as version 0 and code 0
    Conn c(service_->port(0));
    ASSERT_TRUE(c.SendRaw("12{not json!!}"));
    EXPECT_TRUE(c.ClosedByPeer());
    EXPECT_TRUE(service_->WaitForLog(c.ExpectedName() +
                                     ":Rejecting a request INVALID with protocol version 0 to 4"));
  }
}

TEST_F(ServiceProtocolTest, CodesWithoutHandlerAreSkippedAndTheConnectionGoesOn) {
  Conn c(service_->port(2));
  // The first occurrence of a key counts: this asks for 1002, not Close.
  ASSERT_TRUE(c.SendFrame("{\"ProtocolVersion\":4,\"Request\":1002,\"Request\":1009}"));
  for (int code : {1004, 1005, 1013, 1016, 2000}) {
    ASSERT_TRUE(c.SendFrame(Request(code)));
  }
  ASSERT_TRUE(c.SendFrame(Request(1009)));
  // The only answer on the wire is the Close response.
  EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
  EXPECT_TRUE(c.ClosedByPeer());
  std::string name = c.ExpectedName();
  EXPECT_TRUE(service_->WaitForLog(name + ":Got a ZUV_Request DescribeTable (Proto 4-->4)"));
  EXPECT_TRUE(service_->LogContains(name + ":Got a ZUV_Request INVALID (Proto 4-->4)"));
  EXPECT_TRUE(service_->LogContains(name + "::START ListIOSDevices"));
}

TEST_F(ServiceProtocolTest, MalformedFramesCloseOnlyTheirConnection) {
  const std::string bad_frames[] = {
      "{\"ProtocolVersion\":4}",       // no count
      "0{}",                           // count not positive
      "-40{\"ProtocolVersion\":4,",    // negative count
      "2{\"ProtocolVersion\"",         // count smaller than what already arrived
      "99999999999{",                  // above the frame limit
      "67108865{",                     // one byte above 64 MiB
  };
  Conn bystander(service_->port(0));
  ASSERT_TRUE(bystander.ok());
  for (const std::string& frame : bad_frames) {
    Conn c(service_->port(0));
    ASSERT_TRUE(c.SendRaw(frame));
    EXPECT_TRUE(c.ClosedByPeer()) << frame;
    EXPECT_TRUE(service_->WaitForLog(c.ExpectedName() + ":Closing the connection: ")) << frame;
  }
  // A connection opened before the abuse is served as usual.
  ASSERT_TRUE(bystander.SendFrame(Request(1009)));
  EXPECT_EQ(bystander.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
}

TEST_F(ServiceProtocolTest, BodyCutShortByThePeerIsRejected) {
  Conn c(service_->port(0));
  std::string json = Request(1009);
  json.pop_back();  // the peer stops before the closing brace
  ASSERT_TRUE(c.SendRaw(std::to_string(json.size() + 50) + json));
  ::shutdown(c.fd(), SHUT_WR);
  EXPECT_TRUE(c.ClosedByPeer());
  EXPECT_TRUE(service_->WaitForLog(c.ExpectedName() +
                                   ":Rejecting a request INVALID with protocol version 0 to 4"));
}

TEST_F(ServiceProtocolTest, ManyConcurrentConnectionsAreAllServed) {
  constexpr int kClients = 48;
  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      Conn c(service_->port(i % 3));
      if (!c.ok()) return;
      for (int r = 0; r < 5; ++r) c.SendFrame(Request(1002));
      c.SendFrame(Request(1009));
      if (c.ReadResponse().value_or("") == "{\"ErrorNumber\":0}" && c.ClosedByPeer()) ++served;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(served.load(), kClients);
}

TEST_F(ServiceProtocolTest, TwoUploadsOnOneBinaryConnectionShareTheFile) {
  Conn c(service_->bin_port());
  ASSERT_TRUE(c.ok());
  const std::string name = c.ExpectedName();

  ASSERT_TRUE(c.SendRaw("5"));
  auto ack = c.ReadExactly(10);
  ASSERT_TRUE(ack);
  EXPECT_EQ(std::string(ack->c_str()), "5");
  ASSERT_TRUE(c.SendRaw("hello"));
  EXPECT_EQ(c.ReadSome(), name + ":5");
  EXPECT_EQ(ReadFile(service_->home() / "ZUVFiles" / (name + ".jpg")), "hello");

  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(c.SendRaw(std::to_string(big.size())));
  ASSERT_TRUE(c.ReadExactly(10));
  ASSERT_TRUE(c.SendRaw(big));
  EXPECT_EQ(c.ReadSome(), name + ":300000");
  EXPECT_EQ(ReadFile(service_->home() / "ZUVFiles" / (name + ".jpg")), big);
  EXPECT_TRUE(service_->WaitForLog("For client " + name + ", finished saving the file: 300000"));

  ::shutdown(c.fd(), SHUT_WR);
  EXPECT_TRUE(c.ClosedByPeer());
  // The last good upload stays for the JSON requests that name it.
  EXPECT_TRUE(service_->WaitForLog("For Client " + name + ", deleting the binary file"));
  EXPECT_EQ(ReadFile(service_->home() / "ZUVFiles" / (name + ".jpg")), big);
}

TEST_F(ServiceProtocolTest, UploadFileFailuresAnswerZeroAndKeepTheConnection) {
  Conn c(service_->bin_port());
  const std::string name = c.ExpectedName();
  const fs::path files = service_->home() / "ZUVFiles";
  const std::string payload(200000, 'p');

  // The file cannot be created: the contents are still read, the reply is 0.
  fs::create_directory(files / (name + ".jpg.part"));
  ASSERT_TRUE(c.SendRaw(std::to_string(payload.size())));
  ASSERT_TRUE(c.ReadExactly(10));
  ASSERT_TRUE(c.SendRaw(payload));
  EXPECT_EQ(c.ReadSome(), name + ":0");
  EXPECT_TRUE(service_->WaitForLog("Cannot create file " + name + " to save binary data"));
  fs::remove(files / (name + ".jpg.part"));

  // The upload file cannot be replaced: the write counts as failed.
  fs::create_directories(files / (name + ".jpg") / "busy");
  ASSERT_TRUE(c.SendRaw("4"));
  ASSERT_TRUE(c.ReadExactly(10));
  ASSERT_TRUE(c.SendRaw("data"));
  EXPECT_EQ(c.ReadSome(), name + ":0");
  EXPECT_TRUE(service_->WaitForLog("Cannot write file " + name + " to save binary data"));
  fs::remove_all(files / (name + ".jpg"));

  // The same connection then uploads normally.
  ASSERT_TRUE(c.SendRaw("4"));
  ASSERT_TRUE(c.ReadExactly(10));
  ASSERT_TRUE(c.SendRaw("good"));
  EXPECT_EQ(c.ReadSome(), name + ":4");
  EXPECT_EQ(ReadFile(files / (name + ".jpg")), "good");
}

TEST_F(ServiceProtocolTest, RefusedUploadHeadersCloseTheConnection) {
  for (const char* header : {"abc", "-5", "268435457", "99999999999999999999"}) {
    Conn c(service_->bin_port());
    ASSERT_TRUE(c.SendRaw(header));
    EXPECT_EQ(c.ReadSome(), c.ExpectedName() + ":0") << header;
    EXPECT_TRUE(c.ClosedByPeer()) << header;
  }
}

// Runs of the whole service with their own ports and home.
TEST(ServiceRunTest, StopsOnSigtermWithTheTerminationLine) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start());
  EXPECT_TRUE(service.LogContains("Trying to start the ZUV service thread on port " +
                                  std::to_string(service.port(0))));
  EXPECT_TRUE(service.LogContains("Trying to start the ZUV binary thread on port " +
                                  std::to_string(service.bin_port())));
  EXPECT_FALSE(service.LogContains("Child process executing...."));
  Conn idle(service.port(0));  // a busy connection does not hold the stop up
  ASSERT_TRUE(idle.ok());
  EXPECT_EQ(service.Stop(), 0);
  EXPECT_TRUE(service.LogContains("Terminating the ZUV thread ..."));
  EXPECT_FALSE(service.LogContains("none of the ports can be opened"));
}

// With buffered logging the request lines wait in memory; a stop or a
// crash still writes every one of them.
void PingUntilServed(ServiceProcess& service, int pings) {
  std::unique_ptr<Conn> c;
  for (int i = 0; i < 1500 && (!c || !c->ok()); ++i) {  // the ports open after start-up
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    c = std::make_unique<Conn>(service.port(0));
  }
  ASSERT_TRUE(c->ok());
  for (int i = 0; i < pings; ++i) {
    ASSERT_TRUE(c->SendFrame(Request(1010, ",\"Mailbox\":\"mb\",\"ClientIdentifier\":\"nobody\"")));
    EXPECT_EQ(c->ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":3}");
  }
}

TEST(ServiceRunTest, BufferedLogLinesAreAllWrittenAtStop) {
  ServiceProcess service;
  service.SetLogFlushMilliseconds(60000);
  ASSERT_TRUE(service.Start(false));
  PingUntilServed(service, 5);
  EXPECT_EQ(service.Stop(), 0);
  EXPECT_EQ(service.CountInLog(":Got a ZUV_Request ClientPing (Proto 4-->4)"), 5);
  EXPECT_EQ(service.CountInLog(":mb:START ClientPing"), 5);
  EXPECT_EQ(service.CountInLog("\"ClientIdentifier\":\"nobody\"}"), 5);  // DETAILTLOG
  EXPECT_TRUE(service.LogContains("Terminating the ZUV thread ..."));
}

TEST(ServiceRunTest, BufferedLogLinesAreWrittenWhenACrashSignalEndsTheService) {
  ServiceProcess service;
  service.SetLogFlushMilliseconds(60000);
  ASSERT_TRUE(service.Start(false));
  PingUntilServed(service, 3);
  ASSERT_EQ(::kill(service.pid(), SIGSEGV), 0);
  EXPECT_NE(service.WaitExit(30), 0);
  EXPECT_EQ(service.CountInLog(":mb:START ClientPing"), 3);
  EXPECT_TRUE(service.LogContains("Ending on signal 11 ("));
}

TEST(ServiceRunTest, ATakenPortCostsOnlyItsListener) {
  ServiceProcess service;
  int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(service.port(1));
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);

  ASSERT_TRUE(service.Start(false));
  ASSERT_TRUE(service.WaitForLog("Cannot bind ZUV Service listener socket on port " +
                                 std::to_string(service.port(1))));
  ASSERT_TRUE(service.WaitForLog("ZUV Binary Service thread started on port"));
  ASSERT_TRUE(service.WaitForLog("ZUV Service thread started on port " +
                                 std::to_string(service.port(2))));
  Conn c(service.port(2));
  ASSERT_TRUE(c.SendFrame(Request(1009)));
  EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
  EXPECT_EQ(service.Stop(), 0);
  ::close(blocker);
}

TEST(ServiceRunTest, AllPortsTakenStopsTheService) {
  ServiceProcess service;
  int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  uint16_t port = FreePort();
  addr.sin_port = htons(port);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  for (int i = 0; i < 4; ++i) service.set_port(i, port);

  ASSERT_TRUE(service.Start(false));
  EXPECT_EQ(service.WaitExit(30), 1);
  EXPECT_EQ(service.CountInLog("Cannot bind ZUV"), 4);
  EXPECT_TRUE(service.LogContains(
      "Terminating ZUV_Service because none of the ports can be opened for listening"));
  ::close(blocker);
}

TEST(ServiceRunTest, UnwritableLogsDirectoryIsFatal) {
  // A file where the directory should be (root could write a read-only one).
  ServiceProcess service;
  std::ofstream(service.home() / "logs") << "not a directory";
  ASSERT_TRUE(service.Start(false));
  EXPECT_EQ(service.WaitExit(30), 1);
  EXPECT_NE(ReadFile(service.home() / "console.out")
                .find("ZUV_Service cannot create log files. Exiting..."),
            std::string::npos);
}

}  // namespace
}  // namespace zuv_test
