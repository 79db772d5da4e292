// Tests of the front end's accounting, deadlines and socket options.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "base/settings.h"
#include "base/wire.h"
#include "front/limits.h"

namespace zuv {
namespace {

int GetIntOption(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof(value);
  ::getsockopt(fd, level, name, &value, &len);
  return value;
}

// Options set on a listener reach the sockets it accepts: the front end
// relies on it to spend no system calls per connection.
TEST(FrontLimitsTest, AcceptedSocketsInheritTheListenerOptions) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof(addr);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  TuneJsonSocket(listener);

  int client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  int accepted = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  EXPECT_NE(GetIntOption(accepted, IPPROTO_TCP, TCP_NODELAY), 0);
  EXPECT_NE(GetIntOption(accepted, SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_EQ(GetIntOption(accepted, IPPROTO_TCP, TCP_KEEPIDLE), 300);
  EXPECT_EQ(GetIntOption(accepted, IPPROTO_TCP, TCP_KEEPINTVL), 30);
  EXPECT_EQ(GetIntOption(accepted, IPPROTO_TCP, TCP_KEEPCNT), 10);
  timeval sendTimeout{};
  socklen_t timeoutLen = sizeof(sendTimeout);
  ASSERT_EQ(::getsockopt(accepted, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, &timeoutLen), 0);
  EXPECT_EQ(sendTimeout.tv_sec, static_cast<time_t>(Limits().frame_timeout_seconds));

  // A deadline that passes while nothing arrives; data that has arrived is
  // taken without waiting.
  char buf[8];
  Deadline soon{true, Clock::now() + std::chrono::milliseconds(20)};
  EXPECT_EQ(RecvBefore(accepted, buf, sizeof(buf), soon), kTimedOut);
  ASSERT_EQ(::send(client, "abc", 3, 0), 3);
  EXPECT_EQ(RecvBefore(accepted, buf, sizeof(buf), Deadline::After(5)), 3);
  ::close(client);
  EXPECT_EQ(RecvBefore(accepted, buf, sizeof(buf), Deadline::After(5)), 0);
  ::close(accepted);
  ::close(listener);
}

// A client that stops reading a large response: the send times out, the
// socket is shut down, and the client sees the end of the stream after a
// part of the frame instead of waiting for the rest.
TEST(FrontLimitsTest, AResponseTheClientStopsReadingEndsTheConnection) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  timeval oneSecond{1, 0};
  ASSERT_EQ(::setsockopt(fds[0], SOL_SOCKET, SO_SNDTIMEO, &oneSecond, sizeof(oneSecond)), 0);
  const std::string big(size_t{16} << 20, 'x');
  const std::string_view parts[2] = {std::string_view(big).substr(0, big.size() / 2),
                                     std::string_view(big).substr(big.size() / 2)};
  ConnectionContext conn;
  conn.socket = fds[0];
  std::snprintf(conn.name, sizeof(conn.name), "stalled");
  SendResponseParts("test", &conn, "", parts, 2, false);  // returns once the send timed out

  size_t received = 0;
  char buf[65536];
  for (;;) {
    pollfd p{fds[1], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 30000), 1) << "the stream did not end after " << received << " bytes";
    const ssize_t n = ::recv(fds[1], buf, sizeof(buf), 0);
    if (n <= 0) break;
    received += static_cast<size_t>(n);
  }
  EXPECT_GT(received, 0u);
  EXPECT_LT(received, big.size() + 10) << "the frame was cut, and the stream ended";
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(FrontLimitsTest, ConnectionsAndRequestMemoryStayWithinTheirLimits) {
  FrontLimits limits;
  limits.max_connections = 2;
  limits.max_request_memory_mb = 1;
  SetLimitsForTest(limits);
  EXPECT_TRUE(TryOpenConnection());
  EXPECT_TRUE(TryOpenConnection());
  EXPECT_FALSE(TryOpenConnection());
  CloseConnection();
  EXPECT_TRUE(TryOpenConnection());
  CloseConnection();
  CloseConnection();
  EXPECT_EQ(OpenConnections(), 0u);

  {
    MemoryReservation a, b;
    EXPECT_TRUE(a.Reserve(600 * 1024));
    EXPECT_FALSE(b.Reserve(600 * 1024)) << "the budget is shared";
    EXPECT_EQ(b.Held(), 0u);
    EXPECT_TRUE(b.Reserve(400 * 1024));
    EXPECT_FALSE(a.Reserve(SIZE_MAX)) << "no overflow";
    EXPECT_EQ(RequestMemoryInUse(), 1000u * 1024);
  }
  EXPECT_EQ(RequestMemoryInUse(), 0u) << "released with the reservations";
  SetLimitsForTest(FrontLimits{});
}

}  // namespace
}  // namespace zuv
