// limits.cpp: connection and request memory accounting, deadlines and
// socket options of the front end.
#include "front/limits.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>

#include "base/settings.h"

namespace zuv {
namespace {

constexpr size_t kMiB = size_t{1} << 20;
constexpr int kKeepAliveIdleSeconds = 300;
constexpr int kKeepAliveIntervalSeconds = 30;
constexpr int kKeepAliveProbes = 10;

std::atomic<uint32_t> g_open_connections{0};
std::atomic<size_t> g_request_memory{0};

void SetIntOption(int socket, int level, int name, int value) {
  (void)::setsockopt(socket, level, name, &value, sizeof(value));
}

}  // namespace

bool TryOpenConnection() {
  const uint32_t limit = Limits().max_connections;
  uint32_t open = g_open_connections.load(std::memory_order_relaxed);
  do {
    if (open >= limit) return false;
  } while (!g_open_connections.compare_exchange_weak(open, open + 1, std::memory_order_relaxed));
  return true;
}

void CloseConnection() { g_open_connections.fetch_sub(1, std::memory_order_relaxed); }

uint32_t OpenConnections() { return g_open_connections.load(std::memory_order_relaxed); }

size_t RequestMemoryBudget() { return static_cast<size_t>(Limits().max_request_memory_mb) * kMiB; }

size_t RequestMemoryInUse() { return g_request_memory.load(std::memory_order_relaxed); }

bool MemoryReservation::Reserve(size_t bytes) {
  const size_t budget = RequestMemoryBudget();
  size_t used = g_request_memory.load(std::memory_order_relaxed);
  do {
    if (bytes > budget || used > budget - bytes) return false;
  } while (!g_request_memory.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
  held_ += bytes;
  return true;
}

void MemoryReservation::Release() {
  if (held_ == 0) return;
  g_request_memory.fetch_sub(held_, std::memory_order_relaxed);
  held_ = 0;
}

int WaitReadable(int socket, const Deadline& deadline) {
  for (;;) {
    int timeout_ms = -1;
    if (deadline.set) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.at - Clock::now());
      if (left.count() <= 0) return 0;
      timeout_ms = left.count() > 60000 ? 60000 : static_cast<int>(left.count());
    }
    pollfd p{socket, POLLIN, 0};
    const int n = ::poll(&p, 1, timeout_ms);
    if (n > 0) return 1;
    if (n < 0 && errno != EINTR) return 1;  // let the receive report the error
  }
}

ssize_t RecvBefore(int socket, void* buf, size_t len, const Deadline& deadline) {
  // Without a deadline a plain blocking receive; with one, what has arrived
  // is taken at once and the wait happens only when nothing has.
  const int flags = deadline.set ? MSG_DONTWAIT : 0;
  for (;;) {
    const ssize_t n = ::recv(socket, buf, len, flags);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return n;
    if (WaitReadable(socket, deadline) == 0) return kTimedOut;
  }
}

void TuneJsonSocket(int socket) {
  // A response the client takes no bytes of for FrameTimeoutSeconds fails
  // its send, which then ends the connection (SendResponseParts).
  if (const uint32_t seconds = Limits().frame_timeout_seconds; seconds != 0) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(seconds);
    (void)::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  }
  SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
  SetIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetIntOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds);
  SetIntOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
  SetIntOption(socket, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
}

void TuneBinarySocket(int socket) { SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1); }

}  // namespace zuv
