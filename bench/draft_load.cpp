// draft_load.cpp: load tool for composed messages.
//
// Each of C clients keeps one JSON and one binary connection and repeats a
// cycle for the given time; three cycles are measured in one run:
//   baseline - an upload and three ClientPing requests: the same round trips
//              as a send cycle with no mailbox work behind them;
//   discard  - CreateMessage then DeleteMessage;
//   send     - an upload, CreateMessage (To: a local mailbox),
//              AddMessageAttachment, SendMessage.
// The service is started here (--service BINARY) with a private ZUV_HOME and
// a store holding the service mailbox and the recipient mailbox.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mapi/zuvstore_admin.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: draft_load --service BINARY [--clients N,...] [--seconds S] [--kib K]\n"
    "  Starts BINARY (zuv_service) on free loopback ports with a private ZUV_HOME\n"
    "  and measures cycles per second of three cycles per client count:\n"
    "    baseline: upload + 3 ClientPing (same round trips, no mailbox work)\n"
    "    discard:  CreateMessage + DeleteMessage\n"
    "    send:     upload + CreateMessage + AddMessageAttachment + SendMessage\n"
    "  --clients  concurrent clients, comma separated (default 1,4)\n"
    "  --seconds  duration of each measurement (default 5)\n"
    "  --kib      size of the uploaded attachment in KiB (default 16)\n";

uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

class Conn {
 public:
  explicit Conn(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
    timeval tv{30, 0};
    if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }
  ~Conn() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  bool Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  std::optional<std::string> Read(size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
      ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
      if (r <= 0) return std::nullopt;
      got += static_cast<size_t>(r);
    }
    return out;
  }
  std::string ReadSome() {
    char buf[512];
    ssize_t r = ::recv(fd_, buf, sizeof(buf), 0);
    return r > 0 ? std::string(buf, static_cast<size_t>(r)) : std::string();
  }
  // One request frame and its response frame.
  std::optional<std::string> Call(const std::string& json) {
    if (!Send(std::to_string(json.size()) + json)) return std::nullopt;
    auto header = Read(10);
    if (!header) return std::nullopt;
    return Read(std::strtoul(header->c_str(), nullptr, 10));
  }
  // One upload; the upload name.
  std::string Upload(const std::string& bytes) {
    if (!Send(std::to_string(bytes.size())) || !Read(10) || !Send(bytes)) return {};
    std::string reply = ReadSome();
    return reply.substr(0, reply.rfind(':'));
  }

 private:
  int fd_ = -1;
};

std::string Req(int code, const std::string& extra) {
  return "{\"ProtocolVersion\":4,\"Request\":" + std::to_string(code) + extra + "}";
}

// The ROWS string of a success response, or nullopt.
std::optional<std::string> Rows(const std::optional<std::string>& response) {
  if (!response || response->find("\"ErrorNumber\":0") == std::string::npos) return std::nullopt;
  size_t p = response->find("\"ROWS\":\"");
  if (p == std::string::npos) return std::string();
  p += 8;
  return response->substr(p, response->find('"', p) - p);
}

class Service {
 public:
  bool Start(const std::string& binary) {
    char tmpl[] = "/tmp/zuv-draft-load-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return false;
    home_ = tmpl;
    for (auto& p : ports_) p = FreePort();
    const std::string store = (home_ / "data" / "zuvstore.db").string();
    fs::create_directories(home_ / "data");
    std::unique_ptr<zuvstore::StoreAdmin> admin;
    std::string err, id;
    if (zuvstore::StoreAdmin::Open(store, &admin, &err) != S_OK || admin->AddServer("MAIL01", false, &err) != S_OK) {
      std::fprintf(stderr, "store: %s\n", err.c_str());
      return false;
    }
    for (const char* alias : {"svc-zuv", "reader"}) {
      zuvstore::MailboxSpec spec;
      spec.alias = alias;
      spec.display_name = alias;
      spec.smtp = {std::string(alias) + "@example.com"};
      spec.legacy_dn = std::string("/o=Example/ou=Admin/cn=Recipients/cn=") + alias;
      spec.server = "MAIL01";
      if (admin->AddMailbox(spec, &id, &err) != S_OK) {
        std::fprintf(stderr, "store: %s\n", err.c_str());
        return false;
      }
    }
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\r\n";
    const char* names[4] = {"ZuvPort1", "ZuvPort2", "ZuvPort3", "ZuvBinPort"};
    char line[64];
    for (int i = 0; i < 4; ++i) {
      std::snprintf(line, sizeof(line), "\"%s\"=dword:%08x\r\n", names[i], ports_[i]);
      reg += line;
    }
    reg += "\"StorePath\"=\"" + store + "\"\r\n\"ExAlias\"=\"svc-zuv\"\r\n\"ExServer\"=\"MAIL01\"\r\n";
    std::ofstream(home_ / "registry.reg") << reg;
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);
      ::setenv("ZUV_HOME", home_.c_str(), 1);
      ::setenv("TOVANIX_REGISTRY", (home_ / "registry.reg").c_str(), 1);
      if (std::freopen((home_ / "console.out").c_str(), "w", stdout) == nullptr) ::_exit(127);
      ::execl(binary.c_str(), binary.c_str(), "run", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      Conn a(ports_[0]), b(ports_[3]);
      if (a.ok() && b.ok()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  ~Service() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    std::error_code ec;
    if (!home_.empty()) fs::remove_all(home_, ec);
  }
  uint16_t json_port() const { return ports_[0]; }
  uint16_t bin_port() const { return ports_[3]; }

 private:
  fs::path home_;
  uint16_t ports_[4] = {};
  pid_t pid_ = -1;
};

using Cycle = std::function<bool(Conn& json, Conn& bin)>;

// Cycles per second of C clients running cycle for seconds; -1 on failure.
double Measure(const Service& service, int clients, double seconds, const Cycle& cycle) {
  std::atomic<long> done{0};
  std::atomic<bool> failed{false};
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] {
      Conn json(service.json_port()), bin(service.bin_port());
      if (!json.ok() || !bin.ok()) {
        failed = true;
        return;
      }
      while (Clock::now() < end && !failed) {
        if (!cycle(json, bin)) {
          failed = true;
          return;
        }
        ++done;
      }
    });
  }
  for (auto& t : threads) t.join();
  if (failed) return -1;
  return static_cast<double>(done.load()) / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary;
  std::vector<int> clients{1, 4};
  double seconds = 5;
  size_t kib = 16;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--service") {
      binary = value();
    } else if (a == "--clients") {
      clients.clear();
      std::stringstream list(value());
      for (std::string n; std::getline(list, n, ',');) clients.push_back(std::atoi(n.c_str()));
    } else if (a == "--seconds") {
      seconds = std::atof(value().c_str());
    } else if (a == "--kib") {
      kib = static_cast<size_t>(std::atol(value().c_str()));
    } else {
      std::fputs(kUsage, a == "--help" || a == "-h" ? stdout : stderr);
      return a == "--help" || a == "-h" ? 0 : 2;
    }
  }
  if (binary.empty() || clients.empty() || seconds <= 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  Service service;
  if (!service.Start(binary)) {
    std::fprintf(stderr, "draft_load: the service did not start\n");
    return 1;
  }
  const std::string attachment(kib * 1024, 'a');
  const std::string message =
      ",\"ClientIdentifier\":\"load\",\"Message\":{\"<Subject>k__BackingField\":\"load\",\"<Body>k__BackingField\":"
      "\"body\",\"ToList\":[\"reader@example.com\"],\"SaveToSentItems\":false}";

  const Cycle baseline = [&](Conn& json, Conn& bin) {
    if (bin.Upload(attachment).empty()) return false;
    for (int k = 0; k < 3; ++k) {
      if (!json.Call(Req(1010, ",\"ClientIdentifier\":\"load\""))) return false;
    }
    return true;
  };
  const Cycle discard = [&](Conn& json, Conn&) {
    auto id = Rows(json.Call(Req(1020, message)));
    return id && Rows(json.Call(Req(1024, ",\"ClientIdentifier\":\"load\",\"EntryID\":\"" + *id + "\"")));
  };
  const Cycle send = [&](Conn& json, Conn& bin) {
    const std::string hash = bin.Upload(attachment);
    auto id = Rows(json.Call(Req(1020, message)));
    if (hash.empty() || !id) return false;
    const std::string on = ",\"ClientIdentifier\":\"load\",\"EntryID\":\"" + *id + "\"";
    return Rows(json.Call(Req(1021, on + ",\"AttachmentName\":\"a.bin\",\"UploadedAttachmentHash\":\"" + hash + "\""))) &&
           Rows(json.Call(Req(1023, on)));
  };

  std::printf("draft_load: %zu KiB attachment, %.1f s per measurement\n", kib, seconds);
  std::printf("%8s %14s %14s %14s\n", "clients", "baseline/s", "discard/s", "send/s");
  for (int c : clients) {
    const double b = Measure(service, c, seconds, baseline);
    const double d = Measure(service, c, seconds, discard);
    const double s = Measure(service, c, seconds, send);
    if (b < 0 || d < 0 || s < 0) {
      std::fprintf(stderr, "draft_load: a request failed with %d clients\n", c);
      return 1;
    }
    std::printf("%8d %14.1f %14.1f %14.1f\n", c, b, d, s);
  }
  return 0;
}
