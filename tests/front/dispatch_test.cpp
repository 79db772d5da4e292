// Tests of the dispatch table: which codes have a handler, and what
// ProcessZUVRequest sends on the connection for handled and unhandled codes.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "base/request_codes.h"
#include "base/wire.h"
#include "front/dispatch.h"

namespace zuv {
namespace {

// Both ends of a socket pair; the service writes on one, the test reads the
// other without blocking.
class SocketPair {
 public:
  SocketPair() {
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0) << std::strerror(errno);
    ::fcntl(fds_[1], F_SETFL, ::fcntl(fds_[1], F_GETFL) | O_NONBLOCK);
  }
  ~SocketPair() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int service() const { return fds_[0]; }

  // Everything sent so far (the sends are done before this is called).
  std::string Received() const {
    std::string out;
    char buf[4096];
    for (;;) {
      ssize_t n = ::recv(fds_[1], buf, sizeof(buf), MSG_DONTWAIT);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST(DispatchTest, HandlersByCode) {
  EXPECT_NE(HandlerFor(RequestCode::kClose), nullptr);
  for (int code : {1012, 1014, 1026, 1030, 1031, 1032}) {
    EXPECT_NE(HandlerFor(static_cast<RequestCode>(code)), nullptr) << code;
  }
  for (int code : {1002, 1004, 1005, 1013, 1016}) {
    EXPECT_EQ(HandlerFor(static_cast<RequestCode>(code)), nullptr) << code;
  }
  for (int code : {1000, 1033, 2000, 0, -1, 2147483647, -2147483647 - 1}) {
    EXPECT_EQ(HandlerFor(static_cast<RequestCode>(code)), nullptr) << code;
  }
}

TEST(DispatchTest, CloseIsAnsweredWithOneFrame) {
  SocketPair pair;
  ConnectionContext conn;
  conn.socket = pair.service();
  std::snprintf(conn.name, sizeof(conn.name), "127.0.0.1.1234");
  rapidjson::Document request;
  request.Parse(R"({"ProtocolVersion":4,"RequestType":1009,"Mailbox":"alice@example.com"})");
  RequestContext ctx(&conn, request, RequestCode::kClose,
                     ServerInfo{"EXCH1", "alice@example.com", "", ""});

  EXPECT_TRUE(ProcessZUVRequest(ctx));
  const std::string got = pair.Received();
  const std::string json = R"({"ErrorNumber":0})";
  ASSERT_EQ(got.size(), kResponseHeaderBytes + json.size()) << "exactly one frame, nothing more";
  EXPECT_EQ(got.substr(0, 3), std::string("17\0", 3)) << "the JSON length, then a NUL";
  EXPECT_EQ(got.substr(kResponseHeaderBytes), json);
}

TEST(DispatchTest, ResolutionWithoutAnAddressFailsWithoutTheDirectory) {
  // An empty address or name is not looked up: both codes answer the
  // failure shape at once.
  rapidjson::Document request;
  request.Parse(R"({"ProtocolVersion":4,"EmailAddr":"","ClientIdentifier":"c"})");
  for (RequestCode code : {RequestCode::kADResolveEmail, RequestCode::kADResolveCN}) {
    SocketPair pair;
    ConnectionContext conn;
    conn.socket = pair.service();
    RequestContext ctx(&conn, request, code, ServerInfo{});
    EXPECT_TRUE(ProcessZUVRequest(ctx));
    const std::string got = pair.Received();
    ASSERT_GT(got.size(), kResponseHeaderBytes);
    EXPECT_EQ(got.substr(kResponseHeaderBytes),
              R"({"ErrorNumber":1,"ErrorString":"Cannot resolve email","ROWS":{"UserName":"","UserDN":"","StoreDN":""}})");
  }
}

TEST(DispatchTest, CodesWithoutAHandlerSendNothing) {
  rapidjson::Document request;
  request.Parse(R"({"ProtocolVersion":4})");
  for (int code : {1002, 1004, 1005, 1013, 1016, 1000, 1033, 2000, -1}) {
    SocketPair pair;
    ConnectionContext conn;
    conn.socket = pair.service();
    RequestContext ctx(&conn, request, static_cast<RequestCode>(code), ServerInfo{});
    EXPECT_FALSE(ProcessZUVRequest(ctx)) << code;
    EXPECT_EQ(pair.Received(), "") << code;
  }
}

}  // namespace
}  // namespace zuv
