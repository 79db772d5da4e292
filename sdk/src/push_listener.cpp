// push_listener.cpp: accepting pushed messages.
#include "zuvsdk/push_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net.h"
#include "zuvsdk/frame.h"

namespace zuvsdk {
namespace {

// Wakes the accept loop this often to see a stop request.
constexpr int kPollMs = 200;
// A pushed message larger than this is refused.
constexpr size_t kMaxPushBytes = 64u << 20;

}  // namespace

PushListener::~PushListener() { Stop(); }

int PushListener::Start(const std::string& host, uint16_t port, PushCallback callback, int read_timeout_ms,
                        std::string* err) {
  if (fd_ >= 0) {
    *err = "already listening";
    return 1;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int gai = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (gai != 0) {
    *err = "cannot resolve " + host + ": " + ::gai_strerror(gai);
    return 1;
  }
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (s < 0 || ::bind(s, found->ai_addr, found->ai_addrlen) != 0 || ::listen(s, SOMAXCONN) != 0) {
    *err = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    if (s >= 0) ::close(s);
    ::freeaddrinfo(found);
    return 1;
  }
  ::freeaddrinfo(found);
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  fd_ = s;
  port_ = ntohs(addr.sin_port);
  host_ = host.empty() || host == "0.0.0.0" ? "127.0.0.1" : host;
  read_timeout_ms_ = read_timeout_ms;
  callback_ = std::move(callback);
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
  return 0;
}

void PushListener::Stop() {
  if (fd_ < 0) return;
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  ::close(fd_);
  fd_ = -1;
}

void PushListener::Run() {
  while (!stopping_) {
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, kPollMs);
    if (r <= 0) continue;
    const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    // One message per connection: read until the sender closes, each wait
    // bounded, then decode what came.
    FrameReader reader;
    std::string err;
    char buf[16384];
    bool too_big = false;
    for (;;) {
      const long n = internal::RecvSome(c, buf, sizeof(buf), read_timeout_ms_, &err);
      if (n <= 0) break;
      reader.Feed(std::string_view(buf, static_cast<size_t>(n)));
      if (reader.buffered() > kMaxPushBytes) {
        too_big = true;
        break;
      }
    }
    ::close(c);
    TableAnswer message;
    std::string body;
    if (too_big) {
      callback_(message, false, "pushed message over the size limit");
      continue;
    }
    const int got = reader.Next(&body, &err);
    if (got == 2) {
      callback_(message, false, "pushed message ended early");
      continue;
    }
    if (got != 0 || DecodeTableAnswer(body, &message, &err) != 0) {
      callback_(message, false, err);
      continue;
    }
    callback_(message, true, std::string());
  }
}

}  // namespace zuvsdk
