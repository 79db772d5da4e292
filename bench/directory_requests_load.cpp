// directory_requests_load.cpp: the directory requests of zuv_service over the
// wire, each figure next to ldapsearch doing the same directory work in the
// same run.
//
//   ADResolveEmail (1012) requests per second from 1 and 8 clients, each on
//   one kept connection, for random generated users; baseline ldapsearch -f
//   with the same filter for the same addresses (one connection per
//   process; 1 and 8 processes). A resolution is two searches (the user,
//   then the owning server of its database); ldapsearch runs only the first.
//   GetMailboxes (1031) over 2,500 and 25,000 generated users: ms per
//   request (median of --runs, whole response read) and response size;
//   baseline one paged ldapsearch (1000 a page) with the same filter and
//   attributes as the service account, output discarded (process start and
//   bind included).
//
// Each directory is a private slapd (scripts/ldap-test-server.sh, size limit
// 500) with the sample organisation and the generated users; the service
// runs in its console mode with a private home, a store holding only the
// service mailbox, and the logging configuration it writes by default
// unless --log-level is given.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mapi/zuvstore_admin.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kServiceDN[] = "CN=svc-zuv,CN=Users,DC=example,DC=com";
constexpr char kPassword[] = "svcpw";
constexpr char kAlias[] = "svc-zuv";
constexpr char kServer[] = "EXCH1";
constexpr char kMailboxFilter[] =
    "(&(!(userAccountControl:1.2.840.113556.1.4.803:=2)) (mailNickname=*)(objectClass=user) )";
constexpr char kMailboxAttributes[] =
    "homeMDB sn GivenName Initials DistinguishedName mail msExchHomeServerName legacyExchangeDN";

struct Options {
  size_t requests = 2000;  // ADResolveEmail requests per client
  int runs = 5;            // GetMailboxes runs per directory
  std::string service;     // zuv_service binary
  std::string log_level;   // "" = the service's default configuration
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// scripts/ldap-test-server.sh of the source tree the executable was built in.
fs::path ServerScript() {
  std::error_code ec;
  for (fs::path p = fs::read_symlink("/proc/self/exe", ec).parent_path(); !p.empty(); p = p.parent_path()) {
    if (fs::exists(p / "scripts/ldap-test-server.sh")) return p / "scripts/ldap-test-server.sh";
    if (p == p.root_path()) break;
  }
  return "scripts/ldap-test-server.sh";
}

std::string Script(const std::string& action, const fs::path& dir) {
  std::string cmd = ServerScript().string() + " " + action + " " + dir.string();
  FILE* p = ::popen(cmd.c_str(), "r");
  char line[512] = {};
  std::string out;
  if (p != nullptr && std::fgets(line, sizeof(line), p) != nullptr) out = line;
  if (p != nullptr && ::pclose(p) != 0) out.clear();
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

double TimeShell(const std::string& cmd) {
  auto start = Clock::now();
  int rc = std::system(cmd.c_str());
  double s = Seconds(Clock::now() - start);
  return rc == 0 ? s : -1;
}

std::string Ldapsearch(const std::string& uri) {
  return "LDAPNOINIT=1 ldapsearch -x -LLL -H " + uri + " -D '" + kServiceDN + "' -w " + kPassword +
         " -b DC=example,DC=com";
}

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

// A kept client connection speaking the frame protocol.
class Client {
 public:
  explicit Client(uint16_t port) {
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
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    timeval tv{60, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  // Sends one request and reads its response into *response; false when the
  // connection failed.
  bool Call(const std::string& json, std::string* response) {
    const std::string frame = std::to_string(json.size()) + json;
    if (!SendAll(frame.data(), frame.size())) return false;
    char header[10];
    if (!ReadAll(header, sizeof(header))) return false;
    const size_t len = std::strtoul(header, nullptr, 10);
    response->resize(len);
    return ReadAll(response->data(), len);
  }

 private:
  bool SendAll(const char* p, size_t n) {
    while (n > 0) {
      ssize_t w = ::send(fd_, p, n, MSG_NOSIGNAL);
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }
  bool ReadAll(char* p, size_t n) {
    while (n > 0) {
      ssize_t r = ::recv(fd_, p, n, 0);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  int fd_ = -1;
};

// zuv_service in its console mode with a private home, store and directory.
class Service {
 public:
  ~Service() { Stop(); }

  bool Start(const Options& o, const std::string& ldap_uri, std::string* err) {
    char tmpl[] = "/tmp/zuv-dir-load-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
      *err = "cannot create a directory in /tmp";
      return false;
    }
    home_ = tmpl;
    const fs::path store_path = home_ / "data" / "zuvstore.db";
    fs::create_directories(store_path.parent_path());
    std::unique_ptr<zuvstore::StoreAdmin> admin;
    std::string id;
    zuvstore::MailboxSpec spec;
    spec.alias = kAlias;
    spec.display_name = "ZUV Service";
    spec.smtp = {std::string(kAlias) + "@example.com"};
    spec.legacy_dn = std::string("/o=Example Org/ou=Admin Group (EXAMPLE1)/cn=Recipients/cn=") + kAlias;
    spec.server = kServer;
    if (zuvstore::StoreAdmin::Open(store_path.string(), &admin, err) != S_OK ||
        admin->AddServer(kServer, false, err) != S_OK || admin->AddMailbox(spec, &id, err) != S_OK) {
      return false;
    }
    admin.reset();
    for (auto& p : ports_) p = FreePort();
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\r\n";
    const char* names[4] = {"ZuvPort1", "ZuvPort2", "ZuvPort3", "ZuvBinPort"};
    char line[64];
    for (int i = 0; i < 4; ++i) {
      std::snprintf(line, sizeof(line), "\"%s\"=dword:%08x\r\n", names[i], ports_[i]);
      reg += line;
    }
    reg += "\"StorePath\"=\"" + store_path.string() + "\"\r\n\"ExAlias\"=\"" + kAlias + "\"\r\n\"ExServer\"=\"" +
           kServer + "\"\r\n\"LdapUri\"=\"" + ldap_uri + "\"\r\n\"LdapBindDN\"=\"" + kServiceDN +
           "\"\r\n\"LdapBindPassword\"=\"" + kPassword + "\"\r\n";
    std::ofstream(home_ / "registry.reg", std::ios::binary) << reg;
    if (!o.log_level.empty()) {
      std::ofstream(home_ / "ZUV_NLOG_Config.xml", std::ios::binary)
          << "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<nlog>\n  <targets>\n"
             "    <target name=\"logfile\" xsi:type=\"File\" layout=\"${date}::${level}::${message}\" "
             "fileName=\"${basedir}/logs/ZUV_Service-${machinename}.log\" />\n"
             "  </targets>\n  <rules>\n    <logger name=\"*\" minlevel=\""
          << o.log_level << "\" writeTo=\"logfile\" />\n  </rules>\n</nlog>\n";
    }
    const std::string home = home_.string();
    const std::string registry = (home_ / "registry.reg").string();
    const std::string console = (home_ / "console.out").string();
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
      *err = "fork failed";
      return false;
    }
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::setenv("ZUV_HOME", home.c_str(), 1);
      ::setenv("TOVANIX_REGISTRY", registry.c_str(), 1);
      if (std::freopen(console.c_str(), "w", stdout) == nullptr) ::_exit(127);
      if (std::freopen(console.c_str(), "a", stderr) == nullptr) ::_exit(127);
      ::execl(o.service.c_str(), o.service.c_str(), "run", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        *err = "the service exited during start-up: " + ReadWholeFile(home_ / "console.out");
        return false;
      }
      Client probe(ports_[0]);
      if (probe.ok()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *err = "the service did not become ready within 60 s";
    return false;
  }

  void Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    if (!home_.empty()) {
      std::error_code ec;
      fs::remove_all(home_, ec);
      home_.clear();
    }
  }

  uint16_t port(size_t i) const { return ports_[i % 3]; }

 private:
  fs::path home_;
  uint16_t ports_[4] = {};
  pid_t pid_ = -1;
};

std::vector<std::string> Addresses(int users, size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> pick(1, users);
  std::vector<std::string> out;
  char buf[64];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(buf, sizeof(buf), "bulkuser%05d@example.com", pick(rng));
    out.push_back(buf);
  }
  return out;
}

// ADResolveEmail over lists[c] from one kept connection each; requests/s.
double ResolveOverWire(const Service& service, const std::vector<std::vector<std::string>>& lists) {
  std::vector<std::unique_ptr<Client>> clients;
  for (size_t c = 0; c < lists.size(); ++c) {
    clients.push_back(std::make_unique<Client>(service.port(c)));
    if (!clients.back()->ok()) {
      std::fprintf(stderr, "cannot connect to the service\n");
      return 0;
    }
  }
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (size_t c = 0; c < lists.size(); ++c) {
    threads.emplace_back([&, c] {
      std::string response;
      for (const std::string& a : lists[c]) {
        const std::string json = "{\"ProtocolVersion\":4,\"Request\":1012,\"ClientIdentifier\":\"load\",\"EmailAddr\":\"" +
                                 a + "\"}";
        if (!clients[c]->Call(json, &response) || response.find("\"ErrorNumber\":0") == std::string::npos) {
          ++failed;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  const double s = Seconds(Clock::now() - start);
  if (failed.load() != 0) std::fprintf(stderr, "warning: %d resolutions failed\n", failed.load());
  size_t total = 0;
  for (const auto& l : lists) total += l.size();
  return static_cast<double>(total) / s;
}

// ldapsearch -f over lists[t] from one process each; searches/s.
double LdapsearchSearches(const std::string& uri, const std::vector<std::vector<std::string>>& lists,
                          const fs::path& dir) {
  std::string cmd;
  size_t total = 0;
  for (size_t t = 0; t < lists.size(); ++t) {
    fs::path file = dir / ("addresses" + std::to_string(t));
    std::ofstream out(file);
    for (const std::string& a : lists[t]) out << a << "\n";
    total += lists[t].size();
    cmd += Ldapsearch(uri) + " -z 1 -f " + file.string() +
           " '(proxyAddresses=*%s*)' homeMDB msExchHomeServerName legacyExchangeDN name >/dev/null 2>&1 & ";
  }
  cmd += "wait";
  const double s = TimeShell(cmd);
  return s > 0 ? static_cast<double>(total) / s : 0;
}

void GetMailboxesRow(const Options& o, const Service& service, const std::string& uri, int users) {
  Client client(service.port(0));
  std::vector<double> ours;
  std::vector<double> theirs;
  size_t bytes = 0;
  for (int run = 0; run < o.runs; ++run) {
    std::string response;
    auto start = Clock::now();
    if (!client.Call("{\"ProtocolVersion\":4,\"Request\":1031,\"ClientIdentifier\":\"load\"}", &response) ||
        response.rfind("{\"ErrorNumber\":0", 0) != 0) {
      std::fprintf(stderr, "warning: GetMailboxes failed: %.200s\n", response.c_str());
    }
    ours.push_back(Seconds(Clock::now() - start) * 1000);
    bytes = response.size();
    theirs.push_back(TimeShell(Ldapsearch(uri) + " -E pr=1000/noprompt '" + kMailboxFilter + "' " +
                               kMailboxAttributes + " >/dev/null") *
                     1000);
  }
  std::printf("GetMailboxes, %6d users: %8.1f ms per request (%.1f MB) | ldapsearch paged 1000: %8.1f ms\n", users,
              Median(ours), static_cast<double>(bytes) / 1e6, Median(theirs));
}

// Runs fn(uri, dir, service) with a slapd of users generated users and a
// service configured to it.
template <typename Fn>
void WithDirectory(const Options& o, int users, Fn fn) {
  char tmpl[] = "/tmp/zuv-dir-load-ldap-XXXXXX";
  fs::path dir = ::mkdtemp(tmpl);
  ::setenv("ZUV_LDAP_USERS", std::to_string(users).c_str(), 1);
  ::setenv("ZUV_LDAP_OWNER_PID", std::to_string(::getpid()).c_str(), 1);
  std::string uri = Script("start", dir / "slapd");
  if (uri.empty()) {
    std::fprintf(stderr, "slapd did not start\n");
    std::exit(1);
  }
  std::printf("directory with %d generated users at %s\n", users, uri.c_str());
  {
    Service service;
    std::string err;
    if (!service.Start(o, uri, &err)) {
      std::fprintf(stderr, "%s\n", err.c_str());
      Script("stop", dir / "slapd");
      std::exit(1);
    }
    fn(uri, dir, service);
  }
  Script("stop", dir / "slapd");
  std::error_code ec;
  fs::remove_all(dir, ec);
}

void Usage(const char* argv0) {
  std::fprintf(stderr,
               "usage: %s [--requests N] [--runs N] [--service PATH] [--log-level LEVEL]\n"
               "  --requests N      ADResolveEmail requests per client (default 2000)\n"
               "  --runs N          GetMailboxes runs per directory, median reported (default 5)\n"
               "  --service PATH    zuv_service binary (default: beside this tool)\n"
               "  --log-level L     service log level (Trace..Fatal); default: its own configuration\n",
               argv0);
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  Options o;
  std::error_code ec;
  o.service = (fs::read_symlink("/proc/self/exe", ec).parent_path() / "zuv_service").string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--requests" && has_value) {
      o.requests = std::strtoul(argv[++i], nullptr, 10);
    } else if (a == "--runs" && has_value) {
      o.runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--service" && has_value) {
      o.service = argv[++i];
    } else if (a == "--log-level" && has_value) {
      o.log_level = argv[++i];
    } else {
      Usage(argv[0]);
      return a == "--help" || a == "-h" ? 0 : 2;
    }
  }
  if (!fs::exists(o.service)) {
    std::fprintf(stderr, "no service binary at %s (--service)\n", o.service.c_str());
    return 1;
  }

  WithDirectory(o, 2500, [&](const std::string& uri, const fs::path& dir, const Service& service) {
    for (int clients : {1, 8}) {
      std::vector<std::vector<std::string>> lists;
      for (int c = 0; c < clients; ++c) lists.push_back(Addresses(2500, o.requests, 17 + c));
      (void)ResolveOverWire(service, lists);  // warm-up: pooled directory connections
      const double ours = ResolveOverWire(service, lists);
      const double theirs = LdapsearchSearches(uri, lists, dir);
      std::printf("ADResolveEmail, %d client%s on kept connections: %7.0f requests/s | ldapsearch -f, %d process%s: "
                  "%7.0f searches/s\n",
                  clients, clients == 1 ? " " : "s", ours, clients, clients == 1 ? "  " : "es", theirs);
    }
    GetMailboxesRow(o, service, uri, 2500);
  });
  WithDirectory(o, 25000, [&](const std::string& uri, const fs::path&, const Service& service) {
    GetMailboxesRow(o, service, uri, 25000);
  });
  return 0;
}
