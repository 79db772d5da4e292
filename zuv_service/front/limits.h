// limits.h: what bounds the front end: open connections, the memory of
// requests being received and processed, receive deadlines, and the options
// set on accepted sockets. The numbers come from Limits() (base/settings.h).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zuv {

// ---- Open connections (any thread)

// Counts one more open connection; false (nothing counted) at MaxConnections.
bool TryOpenConnection();
void CloseConnection();
uint32_t OpenConnections();

// ---- Request memory (any thread)

// Bytes of the request memory budget, held until destruction. The budget is
// shared by every connection; Reserve never waits.
class MemoryReservation {
 public:
  MemoryReservation() = default;
  ~MemoryReservation() { Release(); }
  MemoryReservation(const MemoryReservation&) = delete;
  MemoryReservation& operator=(const MemoryReservation&) = delete;

  // Adds bytes to what this holds; false (nothing added) when the budget
  // cannot take them.
  [[nodiscard]] bool Reserve(size_t bytes);
  void Release();
  size_t Held() const { return held_; }

 private:
  size_t held_ = 0;
};

// Bytes reserved across all connections now, and the budget's size.
size_t RequestMemoryInUse();
size_t RequestMemoryBudget();

// ---- Receiving with deadlines

using Clock = std::chrono::steady_clock;

// A point after which a receive gives up; none by default.
struct Deadline {
  bool set = false;
  Clock::time_point at{};
  static Deadline After(uint32_t seconds) {
    return seconds == 0 ? Deadline{} : Deadline{true, Clock::now() + std::chrono::seconds(seconds)};
  }
};

// recv() result meaning the deadline passed first.
constexpr ssize_t kTimedOut = -2;

// Waits until socket is readable or the deadline passes: 1 readable (data,
// end of stream or error pending), 0 deadline passed.
int WaitReadable(int socket, const Deadline& deadline);

// One recv() of at most len bytes, after waiting for readability within the
// deadline; EINTR retried. Returns recv()'s result or kTimedOut.
ssize_t RecvBefore(int socket, void* buf, size_t len, const Deadline& deadline);

// ---- Socket options
// Set on a listening socket, they hold for every socket it accepts.

// JSON connections: no Nagle delay, keep-alive probes after 300 s idle, every
// 30 s, 10 probes.
void TuneJsonSocket(int socket);
// Binary connections: no Nagle delay.
void TuneBinarySocket(int socket);

}  // namespace zuv
