// zuv_load.cpp: load tool for zuv_service.
//
// Two measurements, both by default:
//  cycles  - C concurrent clients each repeat short connections on the JSON
//            ports: connect, a request without handler (1002), Close (1009),
//            read {"ErrorNumber":0} and the end of stream, close.
//  uploads - N uploads of a given size over one binary connection, beside a
//            plain loopback socket copy of the same bytes and chunking.
//
// The service is either started here (--service) on free loopback ports with
// a private ZUV_HOME, or reached on given ports (--json-port, --bin-port).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mapi/zuvstore_admin.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kMaxUploadBytes = 256ull << 20;  // the service's limit
constexpr const char* kCloseResponse = "{\"ErrorNumber\":0}";
constexpr double kSlowCycleSeconds = 0.1;  // cycles at least this long count as slow
constexpr int kReceiveChunk = 1 << 20;     // receive buffer of the baseline copy

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted.store(true); }

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// ---------------------------------------------------------------- options

struct UploadSpec {
  uint64_t mib = 0;
  int count = 0;
};

struct Options {
  std::string service;                // binary to start, or empty
  std::vector<uint16_t> json_ports;   // given JSON ports
  uint16_t bin_port = 0;              // given binary port
  std::vector<int> clients{1, 8, 64};
  double seconds = 5.0;
  long cycles = 0;                    // per client; 0 = run for --seconds
  std::vector<UploadSpec> uploads{{1, 200}, {100, 5}};
  size_t chunk = 64 * 1024;
  bool run_cycles = true;
  bool run_uploads = true;
  bool linger0 = false;
  double timeout = 10.0;              // per socket operation
  std::vector<std::string> registry_lines;
  std::string tmp_dir = "/tmp";       // parent of the private ZUV_HOME
};

const char* kHelp =
    "Usage: zuv_load [options]\n"
    "\n"
    "Load tool for zuv_service: short request/close cycles on the JSON ports and\n"
    "upload throughput on the binary port, compared with a plain loopback copy.\n"
    "\n"
    "Target (one of):\n"
    "  --service PATH      start PATH ('PATH run') on free loopback ports with a\n"
    "                      private temporary ZUV_HOME and registry; stop it with\n"
    "                      SIGTERM at the end and remove the directory\n"
    "  --json-port P[,P..] JSON ports of a running service (repeatable; clients\n"
    "                      are spread over them)\n"
    "  --bin-port P        binary upload port of a running service\n"
    "\n"
    "Request cycles:\n"
    "  --clients LIST      concurrent clients per run, comma separated (1,8,64)\n"
    "  --seconds S         length of each run in seconds (5)\n"
    "  --cycles N          cycles per client instead of a fixed time (--seconds\n"
    "                      still bounds the run)\n"
    "  --linger0           close client sockets with SO_LINGER 0 (reset) instead\n"
    "                      of a normal close after the service's end of stream\n"
    "\n"
    "Uploads:\n"
    "  --uploads LIST      SIZE_MIB:COUNT pairs, comma separated (1:200,100:5);\n"
    "                      each pair uses one connection\n"
    "  --chunk BYTES       send chunk of both the upload and the baseline (65536)\n"
    "\n"
    "General:\n"
    "  --mode MODE         cycles, uploads or all (all)\n"
    "  --timeout S         per socket operation time-out in seconds (10)\n"
    "  --tmp-dir DIR       where the private ZUV_HOME is made (/tmp); its file\n"
    "                      system takes the uploads, e.g. /dev/shm for tmpfs\n"
    "  --registry-line L   extra line for the service's registry node (with\n"
    "                      --service; repeatable), e.g. '\"Name\"=dword:00000001'\n"
    "  --help              this text\n"
    "\n"
    "Exit status: 0 when every cycle and upload succeeded, 1 on protocol or\n"
    "connection errors, 2 on bad options or when the service cannot be started.\n";

bool ParseInt(const std::string& s, long min, long max, long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string cur;
  std::istringstream in(s);
  while (std::getline(in, cur, sep)) parts.push_back(cur);
  return parts;
}

// Returns 0 to go on, or the exit status (after --help or an error).
int ParseOptions(int argc, char** argv, Options* o) {
  bool ports_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zuv_load: %s needs a value\n", a.c_str());
        return false;
      }
      *v = argv[++i];
      return true;
    };
    std::string v;
    long n = 0;
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return -1;
    } else if (a == "--service") {
      if (!value(&o->service)) return 2;
    } else if (a == "--json-port") {
      if (!value(&v)) return 2;
      for (const std::string& p : Split(v, ',')) {
        if (!ParseInt(p, 1, 65535, &n)) {
          std::fprintf(stderr, "zuv_load: bad port '%s'\n", p.c_str());
          return 2;
        }
        o->json_ports.push_back(static_cast<uint16_t>(n));
      }
      ports_given = true;
    } else if (a == "--bin-port") {
      if (!value(&v) || !ParseInt(v, 1, 65535, &n)) {
        std::fprintf(stderr, "zuv_load: bad --bin-port\n");
        return 2;
      }
      o->bin_port = static_cast<uint16_t>(n);
      ports_given = true;
    } else if (a == "--clients") {
      if (!value(&v)) return 2;
      o->clients.clear();
      for (const std::string& c : Split(v, ',')) {
        if (!ParseInt(c, 1, 4096, &n)) {
          std::fprintf(stderr, "zuv_load: bad client count '%s' (1..4096)\n", c.c_str());
          return 2;
        }
        o->clients.push_back(static_cast<int>(n));
      }
      if (o->clients.empty()) return 2;
    } else if (a == "--seconds") {
      if (!value(&v)) return 2;
      char* end = nullptr;
      o->seconds = std::strtod(v.c_str(), &end);
      if (*end != '\0' || !(o->seconds > 0) || o->seconds > 3600) {
        std::fprintf(stderr, "zuv_load: bad --seconds (0..3600)\n");
        return 2;
      }
    } else if (a == "--cycles") {
      if (!value(&v) || !ParseInt(v, 1, 1000000000L, &o->cycles)) {
        std::fprintf(stderr, "zuv_load: bad --cycles\n");
        return 2;
      }
    } else if (a == "--linger0") {
      o->linger0 = true;
    } else if (a == "--uploads") {
      if (!value(&v)) return 2;
      o->uploads.clear();
      for (const std::string& pair : Split(v, ',')) {
        auto parts = Split(pair, ':');
        long mib = 0, count = 0;
        if (parts.size() != 2 ||
            !ParseInt(parts[0], 1, static_cast<long>(kMaxUploadBytes / kMiB), &mib) ||
            !ParseInt(parts[1], 1, 100000, &count)) {
          std::fprintf(stderr, "zuv_load: bad upload '%s' (SIZE_MIB:COUNT, size 1..256)\n",
                       pair.c_str());
          return 2;
        }
        o->uploads.push_back({static_cast<uint64_t>(mib), static_cast<int>(count)});
      }
    } else if (a == "--chunk") {
      if (!value(&v) || !ParseInt(v, 1, 64L << 20, &n)) {
        std::fprintf(stderr, "zuv_load: bad --chunk (1..67108864)\n");
        return 2;
      }
      o->chunk = static_cast<size_t>(n);
    } else if (a == "--mode") {
      if (!value(&v)) return 2;
      if (v == "cycles") {
        o->run_uploads = false;
      } else if (v == "uploads") {
        o->run_cycles = false;
      } else if (v != "all") {
        std::fprintf(stderr, "zuv_load: bad --mode '%s'\n", v.c_str());
        return 2;
      }
    } else if (a == "--timeout") {
      if (!value(&v)) return 2;
      char* end = nullptr;
      o->timeout = std::strtod(v.c_str(), &end);
      if (*end != '\0' || !(o->timeout > 0) || o->timeout > 600) {
        std::fprintf(stderr, "zuv_load: bad --timeout (0..600)\n");
        return 2;
      }
    } else if (a == "--tmp-dir") {
      if (!value(&o->tmp_dir)) return 2;
    } else if (a == "--registry-line") {
      if (!value(&v)) return 2;
      o->registry_lines.push_back(v);
    } else {
      std::fprintf(stderr, "zuv_load: unknown option '%s' (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (o->service.empty() == !ports_given) {
    std::fprintf(stderr, "zuv_load: give either --service or the ports (see --help)\n");
    return 2;
  }
  if (ports_given) {
    if (o->run_cycles && o->json_ports.empty()) {
      std::fprintf(stderr, "zuv_load: request cycles need --json-port (or --mode uploads)\n");
      return 2;
    }
    if (o->run_uploads && o->bin_port == 0) {
      std::fprintf(stderr, "zuv_load: uploads need --bin-port (or --mode cycles)\n");
      return 2;
    }
  }
  return 0;
}

// ---------------------------------------------------------------- sockets

timeval ToTimeval(double seconds) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(seconds);
  tv.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(tv.tv_sec)) * 1e6);
  return tv;
}

// Connects to 127.0.0.1:port with send/receive time-outs (the send time-out
// also bounds connect). Returns the socket, or -errno.
int ConnectLoopback(uint16_t port, double timeout) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  timeval tv = ToTimeval(timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  } while (rc != 0 && errno == EINTR && !g_interrupted.load());
  if (rc != 0) {
    int saved = errno;
    ::close(fd);
    return -saved;
  }
  return fd;
}

bool SendAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Sends len bytes in pieces of at most chunk bytes.
bool SendChunked(int fd, const char* data, size_t len, size_t chunk) {
  while (len > 0) {
    size_t n = std::min(len, chunk);
    if (!SendAll(fd, data, n)) return false;
    data += n;
    len -= n;
  }
  return true;
}

// Reads exactly len bytes; false on end of stream, error or time-out.
bool RecvExact(int fd, void* buf, size_t len) {
  char* p = static_cast<char*>(buf);
  while (len > 0) {
    ssize_t n = ::recv(fd, p, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

std::string ErrnoText(int err) { return std::strerror(err); }

// The name the service gives a connection: peer address, '.', and the raw
// 16-bit port field read first byte low.
std::string ServiceConnectionName(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  unsigned char b[2];
  std::memcpy(b, &addr.sin_port, 2);
  char dotted[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addr.sin_addr, dotted, sizeof(dotted));
  return std::string(dotted) + "." + std::to_string(b[0] | (b[1] << 8));
}

// ------------------------------------------------------------ system facts

// TcpExt and Tcp counters by name ("TcpExt:ListenOverflows", "Tcp:RetransSegs").
std::map<std::string, long long> ReadNetCounters() {
  std::map<std::string, long long> out;
  for (const char* file : {"/proc/net/netstat", "/proc/net/snmp"}) {
    std::ifstream in(file);
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
      std::istringstream n(names), v(values);
      std::string prefix, vprefix, key;
      n >> prefix;
      v >> vprefix;
      long long value = 0;
      while (n >> key && v >> value) out[prefix + key] = value;
    }
  }
  return out;
}

long long CounterDelta(const std::map<std::string, long long>& before,
                       const std::map<std::string, long long>& after, const std::string& key) {
  auto a = after.find(key), b = before.find(key);
  if (a == after.end() || b == before.end()) return -1;
  return a->second - b->second;
}

// TIME_WAIT sockets of the host ("tw" of /proc/net/sockstat), or -1.
long long TimeWaitCount() {
  std::ifstream in("/proc/net/sockstat");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("TCP:", 0) != 0) continue;
    std::istringstream s(line.substr(4));
    std::string key;
    long long value;
    while (s >> key >> value) {
      if (key == "tw") return value;
    }
  }
  return -1;
}

std::string ReadSmallFile(const char* path) {
  std::ifstream in(path);
  std::string s;
  std::getline(in, s);
  return s;
}

// ---------------------------------------------------------------- service

// A free loopback port for each slot; the sockets stay open until all are
// chosen, so the ports differ.
std::vector<uint16_t> FreePorts(int count) {
  std::vector<int> fds;
  std::vector<uint16_t> ports;
  for (int i = 0; i < count; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      if (fd >= 0) ::close(fd);
      break;
    }
    socklen_t len = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    fds.push_back(fd);
    ports.push_back(ntohs(addr.sin_port));
  }
  for (int fd : fds) ::close(fd);
  return ports;
}

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// zuv_service started in its console mode with a private home.
class Service {
 public:
  ~Service() { Stop(); }

  // A store with the server MAIL01 and the service mailbox svc-zuv.
  static bool BuildStore(const std::string& path, std::string* err) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::unique_ptr<zuvstore::StoreAdmin> admin;
    zuvstore::MailboxSpec spec;
    spec.alias = "svc-zuv";
    spec.display_name = "ZUV Service";
    spec.smtp = {"svc-zuv@example.com"};
    spec.legacy_dn = "/o=Example/ou=Admin/cn=Recipients/cn=svc-zuv";
    spec.server = "MAIL01";
    std::string id;
    if (zuvstore::StoreAdmin::Open(path, &admin, err) != S_OK || admin->AddServer("MAIL01", false, err) != S_OK ||
        admin->AddMailbox(spec, &id, err) != S_OK) {
      *err = "cannot build the service's store: " + *err;
      return false;
    }
    return true;
  }

  bool Start(const std::string& binary, const std::vector<std::string>& registry_lines,
             const std::string& tmp_dir, std::string* err) {
    std::string tmpl = tmp_dir + "/zuv-load-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
      *err = "cannot create a temporary directory in " + tmp_dir + ": " + ErrnoText(errno);
      return false;
    }
    home_ = tmpl;
    std::vector<uint16_t> ports = FreePorts(4);
    if (ports.size() != 4) {
      *err = "cannot find four free loopback ports";
      return false;
    }
    for (int i = 0; i < 3; ++i) json_ports_.push_back(ports[i]);
    bin_port_ = ports[3];

    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n";
    reg += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\r\n";
    const char* names[4] = {"ZuvPort1", "ZuvPort2", "ZuvPort3", "ZuvBinPort"};
    char line[64];
    for (int i = 0; i < 4; ++i) {
      std::snprintf(line, sizeof(line), "\"%s\"=dword:%08x\r\n", names[i], ports[i]);
      reg += line;
    }
    // The service starts only with its service mailbox in a store.
    const std::string store_path = (home_ / "data" / "zuvstore.db").string();
    if (!BuildStore(store_path, err)) return false;
    reg += "\"StorePath\"=\"" + store_path + "\"\r\n";
    reg += "\"ExAlias\"=\"svc-zuv\"\r\n\"ExServer\"=\"MAIL01\"\r\n";
    for (const std::string& l : registry_lines) reg += l + "\r\n";
    {
      std::ofstream out(home_ / "registry.reg", std::ios::binary);
      out << reg;
      if (!out) {
        *err = "cannot write the registry file";
        return false;
      }
    }

    const std::string home = home_.string();
    const std::string registry = (home_ / "registry.reg").string();
    const std::string console = (home_ / "console.out").string();
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
      *err = "fork failed: " + ErrnoText(errno);
      return false;
    }
    if (pid_ == 0) {
      // The service must not outlive this tool.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);
      ::setenv("ZUV_HOME", home.c_str(), 1);
      ::setenv("TOVANIX_REGISTRY", registry.c_str(), 1);
      if (std::freopen(console.c_str(), "w", stdout) == nullptr) ::_exit(127);
      if (std::freopen(console.c_str(), "a", stderr) == nullptr) ::_exit(127);
      ::execl(binary.c_str(), binary.c_str(), "run", static_cast<char*>(nullptr));
      ::_exit(127);
    }

    char host[256] = {};
    ::gethostname(host, sizeof(host) - 1);
    const fs::path log = home_ / "logs" / ("ZUV_Service-" + std::string(host) + ".log");
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline && !g_interrupted.load()) {
      if (Exited()) {
        *err = "the service exited during start-up with status " +
               std::to_string(exit_status_) + "; console: " +
               ReadWholeFile(home_ / "console.out");
        return false;
      }
      std::string text = ReadWholeFile(log);
      if (CountOf(text, "ZUV Service thread started on port") >= 3 &&
          CountOf(text, "ZUV Binary Service thread started on port") >= 1) {
        return true;
      }
      if (AllPortsAccept()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *err = "the service did not become ready within 30 s";
    return false;
  }

  // SIGTERM, then up to 30 s for the exit (SIGKILL after). Removes the home.
  // Returns the exit status, -1 when it had to be killed.
  int Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      auto deadline = Clock::now() + std::chrono::seconds(30);
      while (!Exited() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        exit_status_ = -1;
      }
    }
    if (!home_.empty()) {
      std::error_code ec;
      fs::remove_all(home_, ec);
      home_.clear();
    }
    return exit_status_;
  }

  const std::vector<uint16_t>& json_ports() const { return json_ports_; }
  uint16_t bin_port() const { return bin_port_; }
  const fs::path& home() const { return home_; }

 private:
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

  bool AllPortsAccept() const {
    std::vector<uint16_t> all = json_ports_;
    all.push_back(bin_port_);
    for (uint16_t p : all) {
      int fd = ConnectLoopback(p, 1.0);
      if (fd < 0) return false;
      ::close(fd);
    }
    return true;
  }

  fs::path home_;
  std::vector<uint16_t> json_ports_;
  uint16_t bin_port_ = 0;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

// ---------------------------------------------------------------- cycles

struct ClientResult {
  std::vector<uint32_t> latency_us;  // successful cycles
  uint64_t protocol_errors = 0;
  uint64_t connect_errors = 0;
  uint64_t io_errors = 0;
  uint64_t addr_unavailable = 0;
  std::string first_error;
};

struct CycleRun {
  int clients = 0;
  uint64_t cycles = 0;
  double elapsed = 0;
  double rate = 0;
  uint32_t p50 = 0, p99 = 0, max = 0;
  uint64_t slow = 0;
  uint64_t protocol_errors = 0, connect_errors = 0, io_errors = 0, addr_unavailable = 0;
  long long listen_overflows = -1, listen_drops = -1, retrans = -1, time_wait = -1;
  std::string first_error;
};

std::string Frame(int code) {
  std::string json = "{\"ProtocolVersion\":4,\"Request\":" + std::to_string(code) + "}";
  return std::to_string(json.size()) + json;
}

void Note(ClientResult* r, uint64_t* counter, const std::string& what) {
  ++*counter;
  if (r->first_error.empty()) r->first_error = what;
}

// One cycle; true when it succeeded.
bool OneCycle(uint16_t port, const Options& o, const std::string& noop, const std::string& close,
              ClientResult* r) {
  int fd = ConnectLoopback(port, o.timeout);
  if (fd < 0) {
    if (-fd == EADDRNOTAVAIL) ++r->addr_unavailable;
    Note(r, &r->connect_errors, "connect to port " + std::to_string(port) + ": " + ErrnoText(-fd));
    return false;
  }
  bool ok = false;
  char header[11] = {};
  if (!SendAll(fd, noop.data(), noop.size()) || !SendAll(fd, close.data(), close.size())) {
    Note(r, &r->io_errors, "send: " + ErrnoText(errno));
  } else if (!RecvExact(fd, header, 10)) {
    Note(r, &r->protocol_errors, "no response header to Close (" + ErrnoText(errno) + ")");
  } else {
    char* end = nullptr;
    unsigned long len = std::strtoul(header, &end, 10);
    if (end == header || len == 0 || len > 4096) {
      Note(r, &r->protocol_errors, "bad response header '" + std::string(header) + "'");
    } else {
      std::string body(len, '\0');
      if (!RecvExact(fd, body.data(), len)) {
        Note(r, &r->protocol_errors, "short response body");
      } else if (body != kCloseResponse) {
        Note(r, &r->protocol_errors, "unexpected Close response " + body);
      } else {
        char c;
        ssize_t n;
        do {
          n = ::recv(fd, &c, 1, 0);
        } while (n < 0 && errno == EINTR);
        if (n == 0) {
          ok = true;
        } else if (n > 0) {
          Note(r, &r->protocol_errors, "bytes after the Close response");
        } else {
          Note(r, &r->protocol_errors, "no end of stream after Close (" + ErrnoText(errno) + ")");
        }
      }
    }
  }
  if (o.linger0) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  }
  ::close(fd);
  return ok;
}

CycleRun RunCycles(const Options& o, const std::vector<uint16_t>& ports, int clients) {
  const std::string noop = Frame(1002);
  const std::string close = Frame(1009);
  std::vector<ClientResult> results(static_cast<size_t>(clients));
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  Clock::time_point start{};
  Clock::time_point deadline{};
  std::vector<std::thread> threads;

  auto before = ReadNetCounters();
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      ClientResult& r = results[static_cast<size_t>(i)];
      r.latency_us.reserve(o.cycles > 0 ? static_cast<size_t>(o.cycles) : 1 << 16);
      uint16_t port = ports[static_cast<size_t>(i) % ports.size()];
      ready.fetch_add(1);
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      for (long n = 0; o.cycles == 0 || n < o.cycles; ++n) {
        Clock::time_point t0 = Clock::now();
        if (t0 >= deadline || g_interrupted.load(std::memory_order_relaxed)) break;
        bool ok = OneCycle(port, o, noop, close, &r);
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);
        if (ok) {
          r.latency_us.push_back(static_cast<uint32_t>(std::min<int64_t>(us.count(), UINT32_MAX)));
        } else {
          // A failing service should not turn into a busy loop.
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
    });
  }
  while (ready.load() < clients) std::this_thread::yield();
  start = Clock::now();
  deadline = start + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(o.seconds));
  go.store(true, std::memory_order_release);
  for (std::thread& t : threads) t.join();

  CycleRun run;
  run.clients = clients;
  run.elapsed = SecondsSince(start);
  std::vector<uint32_t> all;
  for (ClientResult& r : results) {
    all.insert(all.end(), r.latency_us.begin(), r.latency_us.end());
    run.protocol_errors += r.protocol_errors;
    run.connect_errors += r.connect_errors;
    run.io_errors += r.io_errors;
    run.addr_unavailable += r.addr_unavailable;
    if (run.first_error.empty()) run.first_error = r.first_error;
  }
  run.cycles = all.size();
  run.rate = run.elapsed > 0 ? static_cast<double>(run.cycles) / run.elapsed : 0;
  if (!all.empty()) {
    std::sort(all.begin(), all.end());
    auto at = [&](double q) { return all[static_cast<size_t>(q * static_cast<double>(all.size() - 1))]; };
    run.p50 = at(0.50);
    run.p99 = at(0.99);
    run.max = all.back();
    run.slow = static_cast<uint64_t>(
        all.end() - std::lower_bound(all.begin(), all.end(),
                                     static_cast<uint32_t>(kSlowCycleSeconds * 1e6)));
  }
  auto after = ReadNetCounters();
  run.listen_overflows = CounterDelta(before, after, "TcpExt:ListenOverflows");
  run.listen_drops = CounterDelta(before, after, "TcpExt:ListenDrops");
  run.retrans = CounterDelta(before, after, "Tcp:RetransSegs");
  run.time_wait = TimeWaitCount();
  return run;
}

// ---------------------------------------------------------------- uploads

struct UploadRun {
  UploadSpec spec;
  bool ok = false;
  double seconds = 0;
  double min_upload = 0;  // fastest single upload, seconds
  std::string error;
  std::string name;       // the service's name of the connection
};

double MiBPerSecond(const UploadRun& r) {
  if (!r.ok || r.seconds <= 0) return 0;
  return static_cast<double>(r.spec.mib * static_cast<uint64_t>(r.spec.count)) / r.seconds;
}

// Reads the upload reply (no terminator): expected, or a shorter failure
// text, which is taken once nothing more arrives for 200 ms.
bool ReadUploadReply(int fd, const std::string& expected, double timeout, std::string* got) {
  got->clear();
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(timeout));
  char buf[256];
  while (got->size() < expected.size() && Clock::now() < deadline) {
    bool partial = !got->empty();
    pollfd p{fd, POLLIN, 0};
    int wait_ms = partial ? 200 : 100;
    int rc = ::poll(&p, 1, wait_ms);
    if (rc < 0 && errno == EINTR) continue;
    if (rc == 0) {
      if (partial) break;  // a complete but different reply
      continue;
    }
    ssize_t n = ::recv(fd, buf, std::min(sizeof(buf), expected.size() - got->size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got->append(buf, static_cast<size_t>(n));
  }
  return *got == expected;
}

UploadRun RunServiceUploads(const Options& o, uint16_t port, const UploadSpec& spec,
                            const std::vector<char>& data) {
  UploadRun run;
  run.spec = spec;
  const uint64_t size = spec.mib * kMiB;
  int fd = ConnectLoopback(port, o.timeout);
  if (fd < 0) {
    run.error = "connect to binary port: " + ErrnoText(-fd);
    return run;
  }
  run.name = ServiceConnectionName(fd);
  const std::string header = std::to_string(size);
  const std::string expected = run.name + ":" + header;
  Clock::time_point start = Clock::now();
  run.min_upload = 1e30;
  bool ok = true;
  for (int i = 0; i < spec.count && ok && !g_interrupted.load(); ++i) {
    Clock::time_point t0 = Clock::now();
    char ack[10];
    std::string reply;
    if (!SendAll(fd, header.data(), header.size())) {
      run.error = "send of the upload header: " + ErrnoText(errno);
      ok = false;
    } else if (!RecvExact(fd, ack, sizeof(ack))) {
      run.error = "no acknowledgement of the upload header";
      ok = false;
    } else if (std::memcmp(ack, header.data(), std::min(header.size(), sizeof(ack))) != 0 ||
               (header.size() < sizeof(ack) && ack[header.size()] != '\0')) {
      run.error = "acknowledgement does not echo the header";
      ok = false;
    } else if (!SendChunked(fd, data.data(), size, o.chunk)) {
      run.error = "send of the upload contents: " + ErrnoText(errno);
      ok = false;
    } else if (!ReadUploadReply(fd, expected, o.timeout, &reply)) {
      run.error = "upload " + std::to_string(i + 1) + " reply '" + reply + "', expected '" +
                  expected + "'";
      ok = false;
    }
    run.min_upload = std::min(run.min_upload, SecondsSince(t0));
  }
  run.seconds = SecondsSince(start);
  ::close(fd);
  run.ok = ok && !g_interrupted.load();
  if (ok && g_interrupted.load()) run.error = "interrupted";
  return run;
}

// Plain loopback copy: a receiver thread reads each transfer into a buffer
// and answers one byte; the sender uses the same bytes and chunking.
UploadRun RunBaseline(const Options& o, const UploadSpec& spec, const std::vector<char>& data) {
  UploadRun run;
  run.spec = spec;
  const uint64_t size = spec.mib * kMiB;
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    run.error = "baseline listener: " + ErrnoText(errno);
    if (listener >= 0) ::close(listener);
    return run;
  }
  const uint16_t port = ntohs(addr.sin_port);
  const double timeout = o.timeout;
  const int count = spec.count;

  std::string receiver_error;
  std::thread receiver([&] {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout * 1000)) <= 0) {
      receiver_error = "baseline accept timed out";
      return;
    }
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      receiver_error = "baseline accept: " + ErrnoText(errno);
      return;
    }
    timeval tv = ToTimeval(timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    std::vector<char> buf(kReceiveChunk);
    for (int i = 0; i < count; ++i) {
      uint64_t received = 0;
      while (received < size) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(size - received, buf.size()));
        ssize_t n = ::recv(fd, buf.data(), want, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received += static_cast<uint64_t>(n);
      }
      if (received < size || !SendAll(fd, "K", 1)) {
        receiver_error = "baseline receiver lost the sender";
        break;
      }
    }
    ::close(fd);
  });

  int fd = ConnectLoopback(port, timeout);
  if (fd < 0) {
    run.error = "baseline connect: " + ErrnoText(-fd);
  } else {
    Clock::time_point start = Clock::now();
    run.min_upload = 1e30;
    bool ok = true;
    for (int i = 0; i < count && ok && !g_interrupted.load(); ++i) {
      Clock::time_point t0 = Clock::now();
      char c = 0;
      if (!SendChunked(fd, data.data(), size, o.chunk) || !RecvExact(fd, &c, 1) || c != 'K') {
        run.error = "baseline transfer failed";
        ok = false;
      }
      run.min_upload = std::min(run.min_upload, SecondsSince(t0));
    }
    run.seconds = SecondsSince(start);
    run.ok = ok && !g_interrupted.load();
    ::close(fd);
  }
  receiver.join();
  ::close(listener);
  if (!receiver_error.empty()) {
    run.ok = false;
    if (run.error.empty()) run.error = receiver_error;
  }
  return run;
}

// ---------------------------------------------------------------- output

std::string MachineFacts() {
  std::string s;
  s += "nproc " + std::to_string(std::thread::hardware_concurrency());
  utsname u{};
  if (::uname(&u) == 0) s += ", kernel " + std::string(u.release);
  std::string range = ReadSmallFile("/proc/sys/net/ipv4/ip_local_port_range");
  std::replace(range.begin(), range.end(), '\t', '-');
  if (!range.empty()) s += ", ephemeral ports " + range;
  std::string somax = ReadSmallFile("/proc/sys/net/core/somaxconn");
  if (!somax.empty()) s += ", somaxconn " + somax;
  std::string tw = ReadSmallFile("/proc/sys/net/ipv4/tcp_max_tw_buckets");
  if (!tw.empty()) s += ", tcp_max_tw_buckets " + tw;
  return s;
}

std::string FormatSize(uint64_t mib) { return std::to_string(mib) + " MiB"; }

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int rc = ParseOptions(argc, argv, &o);
  if (rc == -1) return 0;
  if (rc != 0) return rc;

  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  Service service;
  std::vector<uint16_t> json_ports = o.json_ports;
  uint16_t bin_port = o.bin_port;
  if (!o.service.empty()) {
    std::string err;
    std::printf("starting %s ...\n", o.service.c_str());
    std::fflush(stdout);
    if (!service.Start(o.service, o.registry_lines, o.tmp_dir, &err)) {
      std::fprintf(stderr, "zuv_load: cannot start the service: %s\n", err.c_str());
      return 2;
    }
    json_ports = service.json_ports();
    bin_port = service.bin_port();
    std::printf("service ready: JSON ports %u %u %u, binary port %u, home %s\n", json_ports[0],
                json_ports[1], json_ports[2], bin_port, service.home().c_str());
    std::fflush(stdout);
  }

  bool failed = false;
  std::vector<CycleRun> cycle_runs;
  if (o.run_cycles) {
    for (int c : o.clients) {
      if (g_interrupted.load()) break;
      std::printf("cycles: %d client(s) for %.1f s ...\n", c, o.seconds);
      std::fflush(stdout);
      CycleRun r = RunCycles(o, json_ports, c);
      if (r.protocol_errors + r.connect_errors + r.io_errors > 0) {
        failed = true;
        std::printf("  errors: %" PRIu64 " protocol, %" PRIu64 " connect (%" PRIu64
                    " EADDRNOTAVAIL), %" PRIu64 " i/o; first: %s\n",
                    r.protocol_errors, r.connect_errors, r.addr_unavailable, r.io_errors,
                    r.first_error.c_str());
      }
      cycle_runs.push_back(r);
      // Let the service's connection threads of this run end.
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  }

  struct UploadPair {
    UploadRun service, baseline;
    long long file_size = -1;  // of the upload file, when the service is ours
  };
  std::vector<UploadPair> upload_runs;
  if (o.run_uploads && !g_interrupted.load()) {
    uint64_t largest = 0;
    for (const UploadSpec& u : o.uploads) largest = std::max(largest, u.mib * kMiB);
    std::vector<char> data(largest);
    uint32_t x = 0x9E3779B9u;  // xorshift fill: not all zero, not compressible
    for (size_t i = 0; i < data.size(); i += 4) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      std::memcpy(&data[i], &x, std::min<size_t>(4, data.size() - i));
    }
    for (const UploadSpec& u : o.uploads) {
      if (g_interrupted.load()) break;
      std::printf("uploads: %s x %d (baseline, then service) ...\n", FormatSize(u.mib).c_str(),
                  u.count);
      std::fflush(stdout);
      UploadPair p;
      p.baseline = RunBaseline(o, u, data);
      p.service = RunServiceUploads(o, bin_port, u, data);
      if (p.service.ok && !o.service.empty()) {
        std::error_code ec;
        auto sz = fs::file_size(service.home() / "ZUVFiles" / (p.service.name + ".jpg"), ec);
        p.file_size = ec ? -1 : static_cast<long long>(sz);
        if (p.file_size != static_cast<long long>(u.mib * kMiB)) {
          p.service.ok = false;
          p.service.error = "upload file has " + std::to_string(p.file_size) + " bytes";
        }
      }
      if (!p.service.ok || !p.baseline.ok) {
        failed = true;
        if (!p.service.ok) std::printf("  service error: %s\n", p.service.error.c_str());
        if (!p.baseline.ok) std::printf("  baseline error: %s\n", p.baseline.error.c_str());
      }
      upload_runs.push_back(p);
    }
  }

  int service_status = 0;
  if (!o.service.empty()) {
    service_status = service.Stop();
    if (service_status != 0) {
      std::printf("service exit status after SIGTERM: %d\n", service_status);
      failed = true;
    }
  }

  std::printf("\n==== zuv_load results ====\n");
  std::printf("machine: %s\n", MachineFacts().c_str());
  std::printf("target: %s\n", o.service.empty() ? "given ports" : ("started " + o.service).c_str());

  if (!cycle_runs.empty()) {
    std::printf(
        "\nRequest cycles (connect, 1002 frame, 1009 Close frame, read {\"ErrorNumber\":0} and end\n"
        "of stream, close%s); clients spread over %zu JSON port(s); %.1f s per run%s\n",
        o.linger0 ? " with SO_LINGER 0" : "", json_ports.size(), o.seconds,
        o.cycles > 0 ? (", at most " + std::to_string(o.cycles) + " cycles per client").c_str()
                     : "");
    std::printf("%7s %9s %10s %8s %8s %9s %7s %7s %9s %8s %8s\n", "clients", "cycles",
                "cycles/s", "p50 us", "p99 us", "max us", ">=100ms", "errors", "listen-ov",
                "retrans", "tw-after");
    for (const CycleRun& r : cycle_runs) {
      std::printf("%7d %9" PRIu64 " %10.0f %8u %8u %9u %7" PRIu64 " %7" PRIu64
                  " %9lld %8lld %8lld\n",
                  r.clients, r.cycles, r.rate, r.p50, r.p99, r.max, r.slow,
                  r.protocol_errors + r.connect_errors + r.io_errors, r.listen_overflows,
                  r.retrans, r.time_wait);
    }
    uint64_t unavailable = 0;
    for (const CycleRun& r : cycle_runs) unavailable += r.addr_unavailable;
    std::printf(
        "listen-ov: host ListenOverflows during the run; retrans: host TCP segments\n"
        "retransmitted; tw-after: host TIME_WAIT sockets after the run. Ephemeral port\n"
        "exhaustion (EADDRNOTAVAIL on connect): %s\n",
        unavailable == 0 ? "none" : (std::to_string(unavailable) + " connects").c_str());
  }

  if (!upload_runs.empty()) {
    std::printf("\nUploads (one connection per row, send chunk %zu B, MiB = 2^20 bytes)\n",
                o.chunk);
    std::printf("%8s %6s %14s %15s %7s %13s %14s\n", "size", "count", "service MiB/s",
                "baseline MiB/s", "ratio", "service best", "baseline best");
    for (const UploadPair& p : upload_runs) {
      double s = MiBPerSecond(p.service), b = MiBPerSecond(p.baseline);
      std::printf("%8s %6d %14.1f %15.1f %6.1f%% %13.1f %14.1f\n",
                  FormatSize(p.service.spec.mib).c_str(), p.service.spec.count, s, b,
                  b > 0 ? 100.0 * s / b : 0.0,
                  p.service.ok ? static_cast<double>(p.service.spec.mib) / p.service.min_upload : 0,
                  p.baseline.ok ? static_cast<double>(p.baseline.spec.mib) / p.baseline.min_upload
                                : 0);
    }
    std::printf("ratio = service / baseline (target >= 70%%); best = MiB/s of the fastest single upload\n");
  }

  if (!o.service.empty()) std::printf("service stopped, exit status %d\n", service_status);
  if (g_interrupted.load()) {
    std::printf("interrupted\n");
    return 1;
  }
  std::printf("result: %s\n", failed ? "ERRORS (see above)" : "ok");
  return failed ? 1 : 0;
}
