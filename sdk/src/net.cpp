// net.cpp: TCP connect, send and receive with time-outs.
#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "zuvsdk/client.h"

namespace zuvsdk::internal {
namespace {

// Waits for events on fd; 1 ready, 0 time-out, -1 error.
int Wait(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int r = ::poll(&p, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    return r > 0 ? 1 : r;
  }
}

}  // namespace

int ConnectTcp(const std::string& host, uint16_t port, int timeout_ms, int* fd, std::string* err) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (gai != 0) {
    *err = "cannot resolve " + host + ": " + ::gai_strerror(gai);
    return kNotConnected;
  }
  int result = kNotConnected;
  *err = "cannot connect to " + host + ":" + service;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (s < 0) continue;
    int r = ::connect(s, a->ai_addr, a->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      const int w = Wait(s, POLLOUT, timeout_ms);
      if (w == 0) {
        ::close(s);
        *err = "no answer from " + host + ":" + service + " within the time-out";
        result = kNoAnswer;
        continue;
      }
      int so_error = 0;
      socklen_t len = sizeof(so_error);
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, &so_error, &len);
      r = (w > 0 && so_error == 0) ? 0 : -1;
      if (so_error != 0) errno = so_error;
    }
    if (r != 0) {
      *err = "cannot connect to " + host + ":" + service + ": " + std::strerror(errno);
      ::close(s);
      continue;
    }
    const int flags = ::fcntl(s, F_GETFL);
    ::fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    *fd = s;
    err->clear();
    result = kOk;
    break;
  }
  ::freeaddrinfo(found);
  return result;
}

int SendAll(int fd, std::string_view bytes, int timeout_ms, std::string* err) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int w = Wait(fd, POLLOUT, timeout_ms);
    if (w == 0) {
      *err = "the service took no data within the time-out";
      return kNoAnswer;
    }
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *err = std::string("cannot send: ") + std::strerror(errno);
      return kNotConnected;
    }
    sent += static_cast<size_t>(n);
  }
  return kOk;
}

long RecvSome(int fd, char* buf, size_t max, int timeout_ms, std::string* err) {
  for (;;) {
    const int w = Wait(fd, POLLIN, timeout_ms);
    if (w == 0) return -2;
    if (w < 0) {
      *err = std::string("cannot receive: ") + std::strerror(errno);
      return -1;
    }
    const ssize_t n = ::recv(fd, buf, max, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *err = std::string("cannot receive: ") + std::strerror(errno);
      return -1;
    }
    return static_cast<long>(n);
  }
}

}  // namespace zuvsdk::internal
