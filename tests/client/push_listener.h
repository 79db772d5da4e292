// push_listener.h: a listening socket for pushed messages. It accepts
// connections one after another and keeps each one's bytes (one framed
// message per connection), in the order they came.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace zuv_test {

class PushListener {
 public:
  PushListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    socklen_t len = sizeof(addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    EXPECT_EQ(::listen(fd_, SOMAXCONN), 0);
    thread_ = std::thread([this] { Run(); });
  }
  ~PushListener() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  PushListener(const PushListener&) = delete;
  PushListener& operator=(const PushListener&) = delete;

  int port() const { return port_; }
  std::string url() const { return "127.0.0.1:" + std::to_string(port_); }

  // The first n messages as they came, frame included; waits for them (the
  // test's time-out ends a hang).
  std::vector<std::string> Wait(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return frames_.size() >= n; });
    return std::vector<std::string>(frames_.begin(), frames_.begin() + static_cast<long>(n));
  }
  // The first n messages as JSON texts.
  std::vector<std::string> WaitJson(size_t n) {
    std::vector<std::string> out = Wait(n);
    for (std::string& frame : out) frame = Unframe(frame);
    return out;
  }
  // The JSON texts up to the first that holds marker; waits for it.
  std::vector<std::string> WaitForJson(const std::string& marker) {
    std::unique_lock<std::mutex> lock(mu_);
    for (size_t seen = 0;; ++seen) {
      cv_.wait(lock, [&] { return frames_.size() > seen; });
      if (Unframe(frames_[seen]).find(marker) == std::string::npos) continue;
      std::vector<std::string> out;
      for (size_t i = 0; i <= seen; ++i) out.push_back(Unframe(frames_[i]));
      return out;
    }
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> lock(mu_);
    return frames_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mu_);
    return frames_.size();
  }

  // The JSON text of a message whose 10-byte header ("%d", NUL, NUL filler)
  // gives its exact length; a marker text for anything else.
  static std::string Unframe(const std::string& frame) {
    if (frame.size() < 10) return "<short frame>";
    const size_t digits = frame.find('\0');
    if (digits == std::string::npos || digits > 9) return "<bad header>";
    for (size_t i = digits; i < 10; ++i) {
      if (frame[i] != '\0') return "<bad header>";
    }
    if (std::stoul(frame.substr(0, digits)) != frame.size() - 10) return "<bad length>";
    return frame.substr(10);
  }

 private:
  void Run() {
    for (;;) {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      std::string bytes;
      char buf[8192];
      ssize_t n;
      while ((n = ::recv(c, buf, sizeof(buf), 0)) > 0) bytes.append(buf, static_cast<size_t>(n));
      ::close(c);
      std::lock_guard<std::mutex> lock(mu_);
      frames_.push_back(bytes);
      cv_.notify_all();
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> frames_;
};

}  // namespace zuv_test
