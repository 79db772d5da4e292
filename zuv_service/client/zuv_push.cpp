// zuv_push.cpp: the push sender: queues per listener, sender threads,
// connecting with time-out and retries, and the pushed message.
#include "client/zuv_push.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/logging.h"
#include "base/settings.h"
#include "base/wire.h"
#include "client/zuv_client.h"

namespace {

// Connects fd to addr within timeout; false on refusal, error or time-out.
bool ConnectWithin(int fd, const sockaddr_in& addr, std::chrono::milliseconds timeout) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
  int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  if (rc != 0 && errno != EINPROGRESS) return false;
  if (rc != 0) {
    pollfd p{fd, POLLOUT, 0};
    do {
      rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return false;  // timed out or failed
    int error = 0;
    socklen_t len = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return false;
  }
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

ZUV_PushSender::ZUV_PushSender(const Options& options) : options_(options) {
  zuv::MutexLock lock(mu_);
  held_ = options.held;
}

void ZUV_PushSender::Release() {
  {
    zuv::MutexLock lock(mu_);
    held_ = false;
  }
  work_.NotifyAll();
}

ZUV_PushSender::~ZUV_PushSender() {
  std::vector<std::thread> threads;
  {
    zuv::MutexLock lock(mu_);
    stopping_ = true;
    threads.swap(threads_);
  }
  work_.NotifyAll();
  for (std::thread& t : threads) t.join();
}

ZUV_PushSender& ZUV_PushSender::Instance() {
  // Never destroyed: pushes may be sent until the process ends.
  static ZUV_PushSender* sender = [] {
    Options options;
    const zuv::FrontLimits& limits = zuv::Limits();
    options.threads = limits.push_threads > 0 ? limits.push_threads : 1;
    options.queue_limit = limits.push_queue_limit > 0 ? limits.push_queue_limit : 1;
    return new ZUV_PushSender(options);
  }();
  return *sender;
}

std::string ZUV_PushSender::MessageText(int32_t dataType, const std::string& identifier, const std::string& rows) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("ErrorNumber");
  w.Int(0);
  w.Key("ErrorString");
  w.String("");
  w.Key("DataType");
  w.Int(dataType);
  w.Key("ClientIdentifier");
  w.String(identifier.data(), static_cast<rapidjson::SizeType>(identifier.size()));
  w.Key("ROWS");
  w.RawValue(rows.data(), rows.size(), dataType == 503 ? rapidjson::kStringType : rapidjson::kArrayType);
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

void ZUV_PushSender::Enqueue(const std::shared_ptr<ZUV_Client>& client, int32_t dataType,
                             std::shared_ptr<const std::string> rows) {
  if (!client || !rows) return;
  bool wake = false;
  {
    zuv::MutexLock lock(mu_);
    if (stopping_) return;
    if (threads_.empty()) {
      for (uint32_t i = 0; i < options_.threads; ++i) threads_.emplace_back([this] { Run(); });
    }
    std::shared_ptr<Listener>& slot = listeners_[client.get()];
    if (!slot) {
      slot = std::make_shared<Listener>();
      slot->client = client;
    }
    Listener& l = *slot;
    if (l.items.size() >= options_.queue_limit) {
      if (!l.warned) {
        NLog_WarnA("ZUV", "%s: push queue full (%u), dropping the oldest pushes",
                   zuv::EscapeForLog(client->ClientId()).c_str(), options_.queue_limit);
        l.warned = true;
      }
      while (l.items.size() >= options_.queue_limit) {
        l.items.pop_front();
        --queued_;
        ++dropped_full_;
      }
    }
    l.items.push_back(Item{dataType, std::move(rows), 0});
    ++queued_;
    ++enqueued_;
    if (!l.busy && !l.ready) {
      l.ready = true;
      ready_.push_back(slot);
      wake = true;
    }
  }
  if (wake) work_.NotifyOne();
}

void ZUV_PushSender::Drop(const ZUV_Client* client) {
  zuv::MutexLock lock(mu_);
  auto it = listeners_.find(client);
  if (it == listeners_.end()) return;
  Listener& l = *it->second;
  l.dropped = true;
  queued_ -= l.items.size();
  l.items.clear();
  listeners_.erase(it);
  if (queued_ == 0) idle_.NotifyAll();
}

uint64_t ZUV_PushSender::DroppedFull() {
  zuv::MutexLock lock(mu_);
  return dropped_full_;
}

uint64_t ZUV_PushSender::Enqueued() {
  zuv::MutexLock lock(mu_);
  return enqueued_;
}

uint64_t ZUV_PushSender::DroppedUndelivered() {
  zuv::MutexLock lock(mu_);
  return dropped_undelivered_;
}

void ZUV_PushSender::WaitUntilIdle() {
  zuv::MutexLock lock(mu_);
  while (queued_ > 0 && !stopping_) idle_.Wait(mu_);
}

std::chrono::steady_clock::time_point ZUV_PushSender::WakeDelayed() {
  auto next = std::chrono::steady_clock::time_point::max();
  if (delayed_.empty()) return next;
  const auto now = std::chrono::steady_clock::now();
  for (auto it = delayed_.begin(); it != delayed_.end();) {
    Listener& l = **it;
    if (l.dropped) {
      it = delayed_.erase(it);
    } else if (l.retry_at <= now) {
      l.ready = true;
      ready_.push_back(std::move(*it));
      it = delayed_.erase(it);
    } else {
      next = std::min(next, l.retry_at);
      ++it;
    }
  }
  return next;
}

void ZUV_PushSender::Run() {
  zuv::MutexLock lock(mu_);
  for (;;) {
    for (;;) {
      if (stopping_) return;
      if (held_) {
        work_.Wait(mu_);
        continue;
      }
      const auto next = WakeDelayed();
      if (!ready_.empty()) break;
      if (next == std::chrono::steady_clock::time_point::max()) {
        work_.Wait(mu_);
      } else {
        (void)work_.WaitFor(mu_, next - std::chrono::steady_clock::now());
      }
    }
    std::shared_ptr<Listener> l = std::move(ready_.front());
    ready_.pop_front();
    l->ready = false;
    if (l->dropped || l->items.empty()) continue;
    Item item = std::move(l->items.front());
    l->items.pop_front();
    l->busy = true;
    ++item.attempts;
    const std::shared_ptr<ZUV_Client> client = l->client;
    mu_.unlock();
    const Outcome outcome = Send(*client, item);
    mu_.lock();
    l->busy = false;
    if (outcome == Outcome::kRetry && !l->dropped) {
      if (item.attempts <= options_.retries) {
        // Set aside until its back-off ends; the push stays first in line.
        l->retry_at = std::chrono::steady_clock::now() + options_.backoff * (1 << (item.attempts - 1));
        l->items.push_front(std::move(item));
        delayed_.push_back(l);
        work_.NotifyOne();  // a waiting thread times its wait to the retry
        continue;
      }
      NLog_WarnA("ZUV", "%s: cannot connect to %s:%d, notification type %d dropped",
                 zuv::EscapeForLog(client->ClientId()).c_str(), zuv::EscapeForLog(client->NotificationHost()).c_str(),
                 static_cast<int>(client->NotificationPort()), static_cast<int>(item.data_type));
    }
    --queued_;
    if (outcome != Outcome::kSent) ++dropped_undelivered_;
    if (!l->dropped) {
      if (!l->items.empty()) {
        l->ready = true;
        ready_.push_back(l);
        work_.NotifyOne();
      } else {
        // Drained: the burst is over; the record is let go.
        auto it = listeners_.find(client.get());
        if (it != listeners_.end() && it->second == l) listeners_.erase(it);
      }
    }
    if (queued_ == 0) idle_.NotifyAll();
  }
}

bool ZUV_PushSender::Resolve(const std::string& host, in_addr* out) {
  if (::inet_pton(AF_INET, host.c_str(), out) == 1) return true;  // dotted IPv4: no lookup
  {
    zuv::MutexLock lock(mu_);
    auto it = hosts_.find(host);
    if (it != hosts_.end()) {
      *out = it->second;
      return true;
    }
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  zuv::MutexLock lock(mu_);
  hosts_.emplace(host, *out);
  return true;
}

ZUV_PushSender::Outcome ZUV_PushSender::Send(const ZUV_Client& client, const Item& item) {
  NLog_TraceA("ZUV", "Client Notification thread started\n");
  if (client.IsClosed()) return Outcome::kDropped;
  const std::string& host = client.NotificationHost();
  in_addr address{};
  if (!Resolve(host, &address)) {
    NLog_WarnA("ZUV", "Cannot resolve IP %s", zuv::EscapeForLog(host).c_str());
    return Outcome::kDropped;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr = address;
  addr.sin_port = htons(static_cast<uint16_t>(client.NotificationPort()));
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    NLog_ErrorA("ZUV", "Cannot create a socket for a push to %s: %s", zuv::EscapeForLog(host).c_str(),
                std::strerror(errno));
    return Outcome::kRetry;
  }
  NLog_TraceA("ZUV", "Connecting... ");
  if (!ConnectWithin(fd, addr, options_.connect_timeout)) {
    ::close(fd);
    return Outcome::kRetry;
  }
  const int one = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  timeval sendTimeout{};
  sendTimeout.tv_sec = static_cast<time_t>(options_.connect_timeout.count() / 1000);
  sendTimeout.tv_usec = static_cast<suseconds_t>(options_.connect_timeout.count() % 1000 * 1000);
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
  NLog_TraceA("ZUV", "connected. about to send notification type %d\n", static_cast<int>(item.data_type));
  const std::string json = MessageText(item.data_type, client.Identifier(), *item.rows);
  NLog_InfoA("ZUV", "For Client %s, jsonifying response:%d bytes", client.ConnectionName(),
             static_cast<int>(json.size()));
  zuv::ConnectionContext target{};
  target.socket = fd;
  std::snprintf(target.name, sizeof(target.name), "%s", client.ConnectionName());
  zuv::SendResponse("ZUV_Client::jsonify", &target, "", json, false);
  ::close(fd);
  return Outcome::kSent;
}
