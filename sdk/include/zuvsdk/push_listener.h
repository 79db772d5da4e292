// push_listener.h: a listening socket for the messages the service pushes
// (one framed message per connection) that hands each decoded message to a
// callback.
//
// Threading: Start() starts one accept thread owned by the listener; it runs
// the callback, one message at a time, in arrival order. Stop() (or the
// destructor) ends and joins it; the callback must not call Stop(). The
// members are written only before the thread starts and after it is
// joined; the thread reads them and the atomic stop flag, so no lock is
// needed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "zuvsdk/values.h"

namespace zuvsdk {

// Receives a decoded pushed message; a message that does not decode comes
// with ok false and the reason in error.
using PushCallback = std::function<void(const TableAnswer& message, bool ok, const std::string& error)>;

class PushListener {
 public:
  PushListener() = default;
  ~PushListener();
  PushListener(const PushListener&) = delete;
  PushListener& operator=(const PushListener&) = delete;

  // Listens on host:port (port 0: a free one) and starts the accept thread.
  // read_timeout_ms bounds the wait for a pushed connection's bytes.
  // Returns 0, or 1 with *err.
  [[nodiscard]] int Start(const std::string& host, uint16_t port, PushCallback callback, int read_timeout_ms,
                          std::string* err);
  void Stop();

  uint16_t port() const { return port_; }
  // "host:port" to give the service as NotificationURL.
  std::string url() const { return host_ + ":" + std::to_string(port_); }

 private:
  void Run();  // the accept thread

  int fd_ = -1;
  std::string host_;
  uint16_t port_ = 0;
  int read_timeout_ms_ = 10000;
  PushCallback callback_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace zuvsdk
