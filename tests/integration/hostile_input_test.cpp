// Hostile clients against the real service with small limits: every refusal
// is visible to the client (a closed connection or an error reply), leaves
// a log line, keeps nothing on disk and leaves other clients served.
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service_harness.h"

namespace zuv_test {
namespace {

constexpr int kMaxConnections = 12;
constexpr int kFrameTimeoutSeconds = 2;
constexpr int kIdleTimeoutSeconds = 3;

std::string Dword(const char* name, unsigned value) {
  char line[96];
  std::snprintf(line, sizeof(line), "\"%s\"=dword:%08x\r\n", name, value);
  return line;
}

// Blocks allocated to every file of the upload folder whose name begins with
// prefix; a file that was reserved and dropped must not keep any.
long long BlocksOf(const fs::path& dir, const std::string& prefix, int* files) {
  long long blocks = 0;
  *files = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.path().filename().string().rfind(prefix, 0) != 0) continue;
    struct stat st {};
    if (::stat(entry.path().c_str(), &st) == 0) blocks += st.st_blocks;
    ++*files;
  }
  return blocks;
}

// A frame whose JSON nests depth arrays inside a Close request.
std::string Nested(int depth) {
  return Request(1009, ",\"Deep\":" + std::string(static_cast<size_t>(depth), '[') +
                           std::string(static_cast<size_t>(depth), ']'));
}

class HostileInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new ServiceProcess;
    service_->AddRegistryLines(Dword("MaxConnections", kMaxConnections) +
                               Dword("FrameTimeoutSeconds", kFrameTimeoutSeconds) +
                               Dword("IdleTimeoutSeconds", kIdleTimeoutSeconds) +
                               Dword("MaxUploadMB", 1) + Dword("MaxRequestMemoryMB", 4));
    ASSERT_TRUE(service_->Start()) << ReadFile(service_->home() / "console.out");
  }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }

  // After each case a fresh connection is still served (once the case's
  // own connections have been counted out).
  void TearDown() override {
    for (int attempt = 0; attempt < 100; ++attempt) {
      Conn c(service_->port(0));
      if (c.SendFrame(Request(1009)) && c.ReadResponse().value_or("") == "{\"ErrorNumber\":0}") return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the service no longer answers";
  }

  // A connection the service counted: one refused because connections of an
  // earlier case were not counted out yet is tried again.
  static std::unique_ptr<Conn> OpenCounted(uint16_t port) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      auto c = std::make_unique<Conn>(port);
      const std::string name = c->ExpectedName();
      for (int wait = 0; wait < 200; ++wait) {
        const std::string log = service_->Log();
        if (log.find("about to service request from " + name + "\n") != std::string::npos) return c;
        if (log.find(name + ":Refusing the connection") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return nullptr;
  }

  static ServiceProcess* service_;
};

ServiceProcess* HostileInputTest::service_ = nullptr;

TEST_F(HostileInputTest, TheBannerShowsTheLimits) {
  EXPECT_TRUE(service_->LogContains(
      "* Limits: MaxConnections=12, FrameTimeoutSeconds=2, IdleTimeoutSeconds=3, MaxUploadMB=1, "
      "MaxRequestMemoryMB=4"));
  EXPECT_TRUE(service_->LogContains("* Listen Address: every IPv4 address"));
  EXPECT_TRUE(service_->LogContains("Open-file limit: "));
  struct stat st {};
  ASSERT_EQ(::stat(service_->LogPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(HostileInputTest, DeepNestingClosesTheConnectionWithoutParsing) {
  {  // 64 levels is still a request
    Conn c(service_->port(0));
    ASSERT_TRUE(c.SendFrame(Nested(63)));
    EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
  }
  for (int depth : {65, 300000}) {
    Conn c(service_->port(1));
    ASSERT_TRUE(c.SendFrame(Nested(depth)));
    EXPECT_TRUE(c.ClosedByPeer()) << depth;
    EXPECT_TRUE(service_->WaitForLog(c.ExpectedName() +
                                     ":Closing the connection: request nested more than 64 levels deep"))
        << depth;
  }
}

TEST_F(HostileInputTest, EnvelopeNumbersCountOnlyAs32BitIntegers) {
  for (const char* version : {"4294967300", "\"4\"", "4.9", "4.0", "\"4abc\"", "true"}) {
    Conn c(service_->port(2));
    ASSERT_TRUE(c.SendFrame(std::string("{\"ProtocolVersion\":") + version + ",\"Request\":1009}"));
    EXPECT_TRUE(c.ClosedByPeer()) << version;
    EXPECT_TRUE(service_->WaitForLog(c.ExpectedName() +
                                     ":Rejecting a request Close with protocol version 0 to 4"))
        << version;
  }
  // A request code given as text is no code: no answer, the connection goes on.
  Conn c(service_->port(2));
  ASSERT_TRUE(c.SendFrame("{\"ProtocolVersion\":4,\"Request\":\"1009\"}"));
  EXPECT_EQ(c.ReadSome(4096, 300), "");
  ASSERT_TRUE(c.SendFrame(Request(1009)));
  EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
}

TEST_F(HostileInputTest, ConnectionsBeyondTheLimitAreClosedUntilOthersEnd) {
  std::vector<std::unique_ptr<Conn>> held;
  // JSON and binary connections count together.
  for (int i = 0; i < kMaxConnections; ++i) {
    held.push_back(OpenCounted(i % 2 == 0 ? service_->port(i % 3) : service_->bin_port()));
    ASSERT_NE(held.back(), nullptr) << i;
  }
  {
    Conn over(service_->port(0));
    EXPECT_TRUE(over.ClosedByPeer());
    EXPECT_TRUE(service_->WaitForLog(over.ExpectedName() +
                                     ":Refusing the connection: 12 connections are open, the limit "
                                     "set by MaxConnections"));
  }
  // Ending connections frees their places.
  held.resize(kMaxConnections - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    Conn c(service_->port(1));
    if (c.SendFrame(Request(1009)) && c.ReadResponse().value_or("") == "{\"ErrorNumber\":0}") return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ADD_FAILURE() << "no connection was served after others ended";
}

TEST_F(HostileInputTest, SlowFramesAndIdleConnectionsAreClosed) {
  Conn slow(service_->port(0));
  Conn idle(service_->port(1));
  Conn slow_upload(service_->bin_port());
  ASSERT_TRUE(slow.SendRaw("100{\"ProtocolVersion\":4"));
  ASSERT_TRUE(slow_upload.SendRaw("1000"));
  ASSERT_TRUE(slow_upload.ReadExactly(10));
  ASSERT_TRUE(slow_upload.SendRaw("abc"));

  EXPECT_TRUE(slow.ClosedByPeer());
  EXPECT_TRUE(service_->WaitForLog(slow.ExpectedName() + ":Closing the connection: 20 of 100 request "
                                   "bytes arrived within 2 seconds (FrameTimeoutSeconds)"));
  EXPECT_EQ(slow_upload.ReadSome(), slow_upload.ExpectedName() + ":0");
  EXPECT_TRUE(service_->WaitForLog("For client " + slow_upload.ExpectedName() +
                                   ", the upload stopped: 3 of 1000 bytes arrived within 2 seconds"));
  EXPECT_TRUE(idle.ClosedByPeer());
  EXPECT_TRUE(service_->WaitForLog(idle.ExpectedName() +
                                   ":Closing the connection: no request for 3 seconds (IdleTimeoutSeconds)"));
}

TEST_F(HostileInputTest, UploadsThatFailLeaveNoFileForTheirName) {
  const fs::path files = service_->home() / "ZUVFiles";
  Conn c(service_->bin_port());
  const std::string name = c.ExpectedName();
  ASSERT_TRUE(c.SendRaw("4"));
  ASSERT_TRUE(c.ReadExactly(10));
  ASSERT_TRUE(c.SendRaw("good"));
  ASSERT_EQ(c.ReadSome(), name + ":4");
  ASSERT_EQ(ReadFile(files / (name + ".jpg")), "good");
  struct stat st {};
  ASSERT_EQ(::stat((files / (name + ".jpg")).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "uploads are the client's alone";

  // An empty upload fails and takes the earlier file with it.
  ASSERT_TRUE(c.SendRaw("0"));
  ASSERT_TRUE(c.ReadExactly(10));
  EXPECT_EQ(c.ReadSome(), name + ":0");
  EXPECT_FALSE(fs::exists(files / (name + ".jpg")));

  // A good upload again, then one announced near the limit whose client hangs
  // up: neither the partial data nor the earlier file nor reserved blocks stay.
  ASSERT_TRUE(c.SendRaw("4"));
  ASSERT_TRUE(c.ReadExactly(10));
  ASSERT_TRUE(c.SendRaw("good"));
  ASSERT_EQ(c.ReadSome(), name + ":4");
  ASSERT_TRUE(c.SendRaw("1000000"));
  ASSERT_TRUE(c.ReadExactly(10));
  ASSERT_TRUE(c.SendRaw(std::string(5000, 'x')));
  ::shutdown(c.fd(), SHUT_WR);
  EXPECT_EQ(c.ReadSome(), name + ":0");
  EXPECT_TRUE(service_->WaitForLog("For client " + name +
                                   ", the upload ended early: 5000 of 1000000 bytes received; nothing was kept"));
  EXPECT_TRUE(service_->WaitForLog("For Client " + name + ", deleting the binary file"));
  int count = 0;
  EXPECT_EQ(BlocksOf(files, name, &count), 0);
  EXPECT_EQ(count, 0);

  // Over MaxUploadMB: refused before any byte is taken.
  Conn big(service_->bin_port());
  ASSERT_TRUE(big.SendRaw("1048577"));
  EXPECT_EQ(big.ReadSome(), big.ExpectedName() + ":0");
  EXPECT_TRUE(big.ClosedByPeer());
}

TEST_F(HostileInputTest, RequestsBeyondTheMemoryBudgetAreRefused) {
  {  // announced larger than the whole budget: refused before the body comes
    Conn c(service_->port(0));
    ASSERT_TRUE(c.SendRaw("5000000{\"ProtocolVersion\":4"));
    EXPECT_TRUE(c.ClosedByPeer());
    EXPECT_TRUE(service_->WaitForLog(c.ExpectedName() + ":Closing the connection: a request of 5000000 "
                                     "bytes does not fit in MaxRequestMemoryMB (4 MB"));
  }
  {  // small text, large tree: a million numbers
    std::string zeros = "[0";
    for (int i = 0; i < 1000000; ++i) zeros += ",0";
    zeros += "]";
    Conn c(service_->port(1));
    ASSERT_TRUE(c.SendFrame(Request(1009, ",\"Zeros\":" + zeros)));
    EXPECT_TRUE(c.ClosedByPeer());
    EXPECT_TRUE(service_->WaitForLog(c.ExpectedName() + ":Closing the connection: parsing a request of "));
  }
}

TEST_F(HostileInputTest, ClientTextInLogLinesIsEscapedAndCut) {
  Conn c(service_->port(0));
  const std::string name = c.ExpectedName();
  const std::string padding(10000, 'p');
  ASSERT_TRUE(c.SendFrame(Request(1009, ",\"Mailbox\":\"evil\\n2026-01-01 00:00:00.000::Fatal::forged\\u0007\","
                                       "\"Pad\":\"" + padding + "\"")));
  EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
  ASSERT_TRUE(service_->WaitForLog(name + ": Got a CLOSE request"));
  const std::string log = service_->Log();
  EXPECT_NE(log.find(name + ":evil\\n2026-01-01 00:00:00.000::Fatal::forged\\x07:START Close"), std::string::npos);
  EXPECT_EQ(log.find("\n2026-01-01 00:00:00.000::Fatal::forged"), std::string::npos) << "a forged line";
  // The request text is cut at 4,096 bytes.
  EXPECT_NE(log.find(" more bytes)"), std::string::npos);
  EXPECT_EQ(log.find(padding), std::string::npos);
}

// Far more idle connections than the 1,024 descriptors a process starts with:
// the service raises its own soft limit to the hard one.
TEST(HostileInputRunTest, ManyIdleConnectionsAboveTheDefaultDescriptorLimit) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max < 2048) GTEST_SKIP() << "hard open-file limit " << saved.rlim_max;
  ServiceProcess service;
  rlimit low = saved;
  low.rlim_cur = 256;  // the service starts with a small soft limit
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  const bool started = service.Start();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(started) << ReadFile(service.home() / "console.out");
  EXPECT_TRUE(service.LogContains("Open-file limit: " + std::to_string(saved.rlim_max)));

  constexpr int kIdle = 1100;
  std::vector<std::unique_ptr<Conn>> idle;
  idle.reserve(kIdle);
  for (int i = 0; i < kIdle; ++i) {
    idle.push_back(std::make_unique<Conn>(service.port(i % 3)));
    ASSERT_TRUE(idle.back()->ok()) << i;
  }
  ASSERT_TRUE(service.WaitForLog("about to service request from " + idle.back()->ExpectedName(), 30));
  Conn c(service.port(0));
  ASSERT_TRUE(c.SendFrame(Request(1009)));
  EXPECT_EQ(c.ReadResponse().value_or("<closed>"), "{\"ErrorNumber\":0}");
  EXPECT_FALSE(service.LogContains("Too many open files"));
}

}  // namespace
}  // namespace zuv_test
