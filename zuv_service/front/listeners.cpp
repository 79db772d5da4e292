// listeners.cpp: the main service thread and the four listeners.
//
// DESIGN: the main service thread starts three JSON listeners and one binary
// listener and joins them. A listener ends only when its socket cannot be set
// up, or when the service stops: ShutdownListeners() shuts the listening
// sockets down, which wakes accept(). Each accepted connection runs on a
// detached thread that owns its ConnectionContext; nothing waits for it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/logging.h"
#include "base/process.h"
#include "base/request_codes.h"
#include "base/settings.h"
#include "base/thread_annotations.h"
#include "front/front.h"
#include "front/limits.h"

namespace zuv {
namespace {

// Linux drops SYNs once the accept queue is full and the client retries
// only after a second or more; a queue of 10 stalled 64 concurrent clients
// for 1 to 3 s (bench/zuv_load). The kernel caps this at somaxconn.
constexpr int kListenBacklog = SOMAXCONN;

struct ListenerTexts {
  const char* initializing;
  const char* cannot_open;
  const char* cannot_bind;
  const char* cannot_listen;
  const char* started;
  const char* about_to_service;
  const char* cannot_accept;
};

constexpr ListenerTexts kJsonTexts = {
    "Initializing ZUV Service listener on port %d",
    "Cannot open ZUV Service listener socket on port %d",
    "Cannot bind ZUV Service listener socket on port %d",
    "Cannot listen on ZUV Service listener socket on port %d",
    "ZUV Service thread started on port %d",
    "ZUV Service thread on port %d about to service request from %s",
    "ZUV Service thread on port %d cannot accept a connection: %s",
};

constexpr ListenerTexts kBinaryTexts = {
    "Initializing ZUV Binary Service listener on port %d",
    "Cannot open ZUV Binary Service listener socket on port %d",
    "Cannot bind ZUV Binary Service listener socket on port %d",
    "Cannot listen on ZUV Binary Service listener socket on port %d",
    "ZUV Binary Service thread started on port %d",
    "ZUV Binary Service thread on port %d about to service request from %s",
    "ZUV Binary Service thread on port %d cannot accept a connection: %s",
};

// Listening sockets, so a stop can wake the blocked accept() calls.
Mutex g_listeners_mu;
std::vector<int> g_listen_sockets ZUV_GUARDED_BY(g_listeners_mu);

void RegisterListenSocket(int fd) {
  MutexLock lock(g_listeners_mu);
  g_listen_sockets.push_back(fd);
  // A stop that came before this listener was ready wakes it at once.
  if (ServiceStopping()) ::shutdown(fd, SHUT_RDWR);
}

// Refused connections, reported at most once a second with a count of
// those not reported yet.
std::atomic<int64_t> g_last_refusal_report{0};
std::atomic<uint32_t> g_refused_since_report{0};

void ReportRefusedConnection(const char* peer) {
  g_refused_since_report.fetch_add(1, std::memory_order_relaxed);
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::steady_clock::now().time_since_epoch()).count();
  int64_t last = g_last_refusal_report.load(std::memory_order_relaxed);
  if (now <= last || !g_last_refusal_report.compare_exchange_strong(last, now)) return;
  const uint32_t refused = g_refused_since_report.exchange(0, std::memory_order_relaxed);
  NLog_ErrorA("ZUV",
              "%s:Refusing the connection: %u connections are open, the limit set by "
              "MaxConnections (%u refused in the last second)",
              peer, OpenConnections(), refused);
}

// The address the ports bind to: ListenAddress, or every IPv4 address.
// False when ListenAddress is not a dotted IPv4 address.
bool ListenAddress(in_addr* out) {
  const std::string& text = Limits().listen_address;
  if (text.empty()) {
    out->s_addr = htonl(INADDR_ANY);
    return true;
  }
  return ::inet_pton(AF_INET, text.c_str(), out) == 1;
}

int RunListener(uint32_t port_value, const ListenerTexts& texts,
                int (*connection_thread)(ConnectionContext*), void (*tune)(int)) {
  int port = static_cast<int>(port_value & 0xFFFF);
  NLog_InfoA("ZUV", texts.initializing, port);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    NLog_FatalA("ZUV", texts.cannot_open, port);
    return 0;
  }
  // Lets a restarted service bind while old connections sit in TIME_WAIT;
  // a port another process listens on still fails to bind.
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (!ListenAddress(&addr.sin_addr)) {
    NLog_FatalA("ZUV", "ListenAddress \"%s\" is not an IPv4 address",
                EscapeForLog(Limits().listen_address).c_str());
    NLog_FatalA("ZUV", texts.cannot_bind, port);
    ::close(fd);
    return 0;
  }
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    NLog_FatalA("ZUV", texts.cannot_bind, port);
    ::close(fd);
    return 0;
  }
  if (::listen(fd, kListenBacklog) != 0) {
    NLog_FatalA("ZUV", texts.cannot_listen, port);
    ::close(fd);
    return 0;
  }
  // Accepted sockets inherit these options from the listener.
  tune(fd);
  RegisterListenSocket(fd);
  NLog_InfoA("ZUV", texts.started, port);

  while (!ServiceStopping()) {
    sockaddr_in peer{};
    socklen_t peer_len = sizeof(peer);
    int client = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC);
    if (client < 0) {
      if (ServiceStopping()) break;
      if (errno == EINTR || errno == ECONNABORTED) continue;
      int saved = errno;
      NLog_ErrorA("ZUV", texts.cannot_accept, port, std::strerror(saved));
      // Out of descriptors or memory: give the process a moment to recover
      // instead of spinning on the same failure.
      if (saved == EMFILE || saved == ENFILE || saved == ENOBUFS || saved == ENOMEM) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      continue;
    }
    auto* conn = new ConnectionContext;
    conn->socket = client;
    FormatConnectionName(peer.sin_addr.s_addr, peer.sin_port, conn->name, sizeof(conn->name));
    if (!TryOpenConnection()) {
      ReportRefusedConnection(conn->name);
      ::close(client);
      delete conn;
      continue;
    }
    NLog_InfoA("ZUV", texts.about_to_service, port, conn->name);
    try {
      // The connection thread owns conn and its socket; the slot is given
      // back when it ends.
      std::thread([connection_thread, conn] {
        connection_thread(conn);
        CloseConnection();
      }).detach();
    } catch (const std::exception& e) {
      NLog_ErrorA("ZUV", "%s:Cannot start a connection thread: %s", conn->name, e.what());
      ::close(client);
      delete conn;
      CloseConnection();
    }
  }
  return 0;
}

}  // namespace


int ServiceListener(uint32_t port) {
  return RunListener(port, kJsonTexts, ClientThread, TuneJsonSocket);
}

int BinaryListener(uint32_t port) {
  return RunListener(port, kBinaryTexts, BinaryClientThread, TuneBinarySocket);
}

void ShutdownListeners() {
  MutexLock lock(g_listeners_mu);
  for (int fd : g_listen_sockets) ::shutdown(fd, SHUT_RDWR);
}

int MainServiceThread() {
  const ServicePorts& ports = Ports();
  const uint32_t json_ports[3] = {ports.zuv_port1, ports.zuv_port2, ports.zuv_port3};
  std::vector<std::thread> listeners;
  for (uint32_t port : json_ports) {
    NLog_InfoA("ZUV", "Trying to start the ZUV service thread on port %d",
               static_cast<int>(port & 0xFFFF));
    listeners.emplace_back(ServiceListener, port);
  }
  NLog_InfoA("ZUV", "Trying to start the ZUV binary thread on port %d",
             static_cast<int>(ports.zuv_bin_port & 0xFFFF));
  listeners.emplace_back(BinaryListener, ports.zuv_bin_port);
  for (std::thread& t : listeners) t.join();
  if (ServiceStopping()) return 0;  // shut down on request, not by failure
  NLog_FatalA("ZUV", "Terminating ZUV_Service because none of the ports can be opened for listening");
  SignalStopEvent();
  return 1;
}

}  // namespace zuv
