// service_harness.h: runs the real zuv_service binary on free loopback ports
// with a private ZUV_HOME and a private message store holding the service
// mailbox, and speaks its protocols as a client would.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mapi/zuvstore_admin.h"

namespace zuv_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A TCP port that was free a moment ago (bound to 0, then released).
inline uint16_t FreePort() {
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

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// A client connection with a receive time-out, so a test never hangs.
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
      return;
    }
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }
  ~Conn() {
    if (fd_ >= 0) ::close(fd_);
  }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool SendRaw(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  bool SendFrame(const std::string& json) { return SendRaw(std::to_string(json.size()) + json); }

  // Reads exactly n bytes; nullopt on end of stream, error or time-out.
  std::optional<std::string> ReadExactly(size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
      ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
      if (r <= 0) return std::nullopt;
      got += static_cast<size_t>(r);
    }
    return out;
  }
  // Reads one response frame; nullopt when the service closed instead.
  std::optional<std::string> ReadResponse() {
    auto header = ReadExactly(10);
    if (!header) return std::nullopt;
    size_t len = std::strtoul(header->c_str(), nullptr, 10);
    return ReadExactly(len);
  }
  // Reads whatever arrives within timeout_ms (up to max bytes).
  std::string ReadSome(size_t max = 4096, int timeout_ms = 10000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return {};
    std::string out(max, '\0');
    ssize_t r = ::recv(fd_, out.data(), max, 0);
    out.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return out;
  }
  // True when the service closed the connection in time: end of stream, or
  // a reset when it closed with unread bytes of ours.
  bool ClosedByPeer() {
    char c;
    ssize_t r = ::recv(fd_, &c, 1, 0);
    return r == 0 || (r < 0 && errno == ECONNRESET);
  }
  // The connection name the service gives this client.
  std::string ExpectedName() const {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    unsigned char b[2];
    std::memcpy(b, &addr.sin_port, 2);
    return "127.0.0.1." + std::to_string(b[0] | (b[1] << 8));
  }

 private:
  int fd_ = -1;
};

inline std::string Request(int code, const std::string& extra = "", int version = 4) {
  return "{\"ProtocolVersion\":" + std::to_string(version) + ",\"Request\":" +
         std::to_string(code) + extra + "}";
}

// The service account the harness store holds and the registry names.
inline constexpr const char* kServiceAlias = "svc-zuv";
inline constexpr const char* kServiceServer = "EXCH1";

// One zuv_service process in the console mode. Its store
// (ZUV_HOME/data/zuvstore.db) is built before the first start with the mail
// server kServiceServer and the service mailbox kServiceAlias, unless
// set_service_mailbox(false) leaves the mailbox out. The directory it is
// given refuses connections, so the service-account lookup fails at once.
class ServiceProcess {
 public:
  ServiceProcess() {
    char tmpl[] = "/tmp/zuv-it-XXXXXX";
    home_ = ::mkdtemp(tmpl);
    for (auto& p : ports_) p = FreePort();
    ldap_uri_ = "ldap://127.0.0.1:" + std::to_string(FreePort());
  }
  ~ServiceProcess() {
    Stop();
    admin_.reset();
    std::error_code ec;
    fs::remove_all(home_, ec);
  }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  uint16_t port(int i) const { return ports_[i]; }
  uint16_t bin_port() const { return ports_[3]; }
  void set_port(int i, uint16_t p) { ports_[i] = p; }
  const fs::path& home() const { return home_; }

  // Extra registry lines for the service node.
  void AddRegistryLines(const std::string& lines) { extra_registry_ += lines; }
  // LogFlushMilliseconds of the service; 0 (every line written at once) by default.
  void SetLogFlushMilliseconds(unsigned ms) { log_flush_ms_ = ms; }
  // Registry values of the service account and the directory; an empty
  // value leaves its line out.
  void set_alias(const std::string& alias) { alias_ = alias; }
  void set_ex_server(const std::string& server) { ex_server_ = server; }
  void set_ldap_uri(const std::string& uri) { ldap_uri_ = uri; }
  // Whether the store built at the first start holds the service mailbox.
  void set_service_mailbox(bool with) { with_mailbox_ = with; }
  // Whether the service mailbox built at the first start offers HTML bodies
  // (STORE_HTML_OK); without, HTML bodies are kept inside RTF.
  void set_html_ok(bool html_ok) { html_ok_ = html_ok; }
  // The first argument of the service (console mode: "RUN"); null for none.
  void set_argument(const char* argument) { argument_ = argument; }
  // Extra environment of the service process.
  void SetEnv(const std::string& name, const std::string& value) { env_.emplace_back(name, value); }

  fs::path StorePath() const { return home_ / "data" / "zuvstore.db"; }
  // The store, built on first use; for tests that add mail or mailboxes.
  zuvstore::StoreAdmin* store() {
    if (!admin_) BuildStore();
    return admin_.get();
  }

  void WriteRegistry() {
    char buf[64];
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n";
    reg += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\r\n";
    const char* names[4] = {"ZuvPort1", "ZuvPort2", "ZuvPort3", "ZuvBinPort"};
    for (int i = 0; i < 4; ++i) {
      std::snprintf(buf, sizeof(buf), "\"%s\"=dword:%08x\r\n", names[i], ports_[i]);
      reg += buf;
    }
    for (const auto& [name, value] : {std::pair<const char*, std::string>{"StorePath", StorePath().string()},
                                      {"ExAlias", alias_},
                                      {"ExServer", ex_server_},
                                      {"LdapUri", ldap_uri_}}) {
      if (!value.empty()) reg += "\"" + std::string(name) + "\"=\"" + value + "\"\r\n";
    }
    // Tests read the log right after the service writes it.
    std::snprintf(buf, sizeof(buf), "\"LogFlushMilliseconds\"=dword:%08x\r\n", log_flush_ms_);
    reg += buf;
    reg += extra_registry_;
    std::ofstream(home_ / "registry.reg") << reg;
  }

  // Starts the service; with wait_ready, returns once every port accepts.
  bool Start(bool wait_ready = true) {
    if (!admin_ && !BuildStore()) return false;
    WriteRegistry();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setenv("ZUV_HOME", home_.c_str(), 1);
      ::setenv("TOVANIX_REGISTRY", (home_ / "registry.reg").c_str(), 1);
      for (const auto& [name, value] : env_) ::setenv(name.c_str(), value.c_str(), 1);
      std::string out = (home_ / "console.out").string();
      FILE* f = std::freopen(out.c_str(), "w", stdout);
      (void)f;
      f = std::freopen(out.c_str(), "a", stderr);
      ::execl(ZUV_SERVICE_BINARY, ZUV_SERVICE_BINARY, argument_, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (!wait_ready) return pid_ > 0;
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      if (Exited()) return false;
      if (LogContains("ZUV Binary Service thread started on port") &&
          CountInLog("ZUV Service thread started on port") >= 3) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Sends SIGTERM and waits; returns the exit status, or -1.
  int Stop() {
    if (pid_ <= 0) return exit_status_;
    ::kill(pid_, SIGTERM);
    return WaitExit(30);
  }

  // Waits up to seconds for the process to end; returns its exit status.
  int WaitExit(int seconds) {
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (pid_ > 0 && Clock::now() < deadline) {
      if (Exited()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      exit_status_ = -1;
    }
    return exit_status_;
  }

  // The running service's process, or -1.
  pid_t pid() const { return pid_; }

  bool Exited() {
    if (pid_ <= 0) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return true;
    }
    return false;
  }

  fs::path LogPath() const {
    char host[256] = {};
    ::gethostname(host, sizeof(host) - 1);
    return home_ / "logs" / ("ZUV_Service-" + std::string(host) + ".log");
  }
  // The whole log: archived files, oldest first, then the current file (a
  // busy test can pass the archiving size).
  std::string Log() const {
    std::vector<std::pair<fs::file_time_type, fs::path>> archives;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(home_ / "logs", ec)) {
      if (entry.path() != LogPath() && entry.is_regular_file(ec)) {
        archives.emplace_back(entry.last_write_time(ec), entry.path());
      }
    }
    std::sort(archives.begin(), archives.end());
    std::string log;
    for (const auto& archive : archives) log += ReadFile(archive.second);
    return log + ReadFile(LogPath());
  }
  bool LogContains(const std::string& text) const {
    return Log().find(text) != std::string::npos;
  }
  int CountInLog(const std::string& text) const {
    std::string log = Log();
    int n = 0;
    for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) {
      ++n;
    }
    return n;
  }
  // Waits until the log holds text (lines are flushed as written).
  bool WaitForLog(const std::string& text, int seconds = 10) const {
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      if (LogContains(text)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  bool BuildStore() {
    std::error_code ec;
    fs::create_directories(StorePath().parent_path(), ec);
    std::string err, id;
    if (zuvstore::StoreAdmin::Open(StorePath().string(), &admin_, &err) != S_OK ||
        admin_->AddServer(kServiceServer, false, &err) != S_OK) {
      std::fprintf(stderr, "harness store: %s\n", err.c_str());
      return false;
    }
    if (!with_mailbox_) return true;
    zuvstore::MailboxSpec spec;
    spec.alias = kServiceAlias;
    spec.display_name = "ZUV Service";
    spec.smtp = {std::string(kServiceAlias) + "@example.com"};
    spec.legacy_dn = std::string("/o=Example Org/ou=Admin Group (EXAMPLE1)/cn=Recipients/cn=") + kServiceAlias;
    spec.server = kServiceServer;
    spec.html_ok = html_ok_;
    if (admin_->AddMailbox(spec, &id, &err) != S_OK) {
      std::fprintf(stderr, "harness store: %s\n", err.c_str());
      return false;
    }
    return true;
  }

  fs::path home_;
  uint16_t ports_[4] = {};
  std::string extra_registry_;
  unsigned log_flush_ms_ = 0;
  std::string alias_ = kServiceAlias;
  std::string ex_server_ = kServiceServer;
  std::string ldap_uri_;
  bool with_mailbox_ = true;
  bool html_ok_ = true;
  const char* argument_ = "RUN";
  std::vector<std::pair<std::string, std::string>> env_;
  std::unique_ptr<zuvstore::StoreAdmin> admin_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

}  // namespace zuv_test
