// attachment_load.cpp: load tool for the attachment path of zuv_service.
//
// Starts zuv_service on free loopback ports with a private ZUV_HOME and
// store, then measures, in one run:
//  attach - uploads of each size on the binary channel, each followed by an
//           Attach of the upload to a new item: MiB/s of both;
//  get    - GetAttachmentFile of one attachment, alternating with a plain
//           loopback socket copy of the same bytes (a 10-byte header, then
//           the bytes, sent in 64 KiB blocks and received into a 1 MiB
//           buffer): MiB/s of both, their ratio, and the service's peak
//           resident memory (VmHWM, reset before the phase) beside its
//           resident memory before it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mapi/zuvstore_admin.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kMiB = 1u << 20;
constexpr size_t kSendBlock = 64 * 1024;
constexpr size_t kReceiveBuffer = 1 << 20;

struct Options {
  std::string service;
  std::vector<size_t> attach_mib{1, 100};
  size_t get_mib = 100;
  int repeat = 3;
  std::string tmp_dir = "/tmp";
};

const char kHelp[] =
    "usage: attachment_load [options]\n"
    "\n"
    "Starts zuv_service on free loopback ports with a private ZUV_HOME and store\n"
    "and measures uploads + Attach, and GetAttachmentFile beside a plain loopback\n"
    "socket copy of the same bytes, with the service's peak memory.\n"
    "\n"
    "  --service PATH    zuv_service binary (default: next to this tool)\n"
    "  --attach LIST     upload + Attach sizes in MiB, comma separated (default 1,100)\n"
    "  --get MIB         size of the attachment read back (default 100)\n"
    "  --repeat N        runs per size (default 3)\n"
    "  --tmp-dir DIR     where the service's home goes (default /tmp)\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 when every transfer was complete and correct, 1 on a\n"
    "failed or wrong transfer, 2 on bad options or when the service cannot start.\n";

double Seconds(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
double MiBps(size_t bytes, double seconds) { return seconds > 0 ? bytes / double(kMiB) / seconds : 0; }

int Connect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{120, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const char* p, size_t len) {
  while (len > 0) {
    ssize_t n = ::send(fd, p, std::min(len, kSendBlock), MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool RecvAll(int fd, char* p, size_t len) {
  while (len > 0) {
    ssize_t n = ::recv(fd, p, len, 0);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// One response frame; "" when the connection ended.
std::string Call(int fd, const std::string& json) {
  const std::string frame = std::to_string(json.size()) + json;
  char header[10];
  if (!SendAll(fd, frame.data(), frame.size()) || !RecvAll(fd, header, sizeof(header))) return {};
  std::string body(std::strtoul(header, nullptr, 10), '\0');
  return RecvAll(fd, body.data(), body.size()) ? body : std::string();
}

// The string value of "ROWS" in a response; "" when there is none.
std::string RowsText(const std::string& json) {
  const std::string key = "\"ROWS\":\"";
  size_t p = json.find(key);
  if (p == std::string::npos) return {};
  p += key.size();
  return json.substr(p, json.find('"', p) - p);
}

// Reads and checks one header + count bytes against expected, through a
// 1 MiB buffer. *header_at: when the header had arrived.
bool ReceiveChecked(int fd, const std::string& expected, std::vector<char>* buffer, Clock::time_point* header_at) {
  char header[10];
  if (!RecvAll(fd, header, sizeof(header)) || std::strtoul(header, nullptr, 10) != expected.size()) return false;
  *header_at = Clock::now();
  size_t got = 0;
  while (got < expected.size()) {
    ssize_t n = ::recv(fd, buffer->data(), std::min(buffer->size(), expected.size() - got), 0);
    if (n <= 0 || std::memcmp(buffer->data(), expected.data() + got, static_cast<size_t>(n)) != 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
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

// zuv_service in its console mode with a private home and store.
class Service {
 public:
  ~Service() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    std::error_code ec;
    if (!home_.empty()) fs::remove_all(home_, ec);
  }

  bool Start(const Options& o, std::string* err) {
    std::string tmpl = o.tmp_dir + "/zuv-attach-load-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
      *err = "cannot create a directory in " + o.tmp_dir;
      return false;
    }
    home_ = tmpl;
    const std::string store = (home_ / "data" / "zuvstore.db").string();
    fs::create_directories(home_ / "data");
    {
      std::unique_ptr<zuvstore::StoreAdmin> admin;
      zuvstore::MailboxSpec spec;
      spec.alias = "svc-zuv";
      spec.display_name = "ZUV Service";
      spec.smtp = {"svc-zuv@example.com"};
      spec.legacy_dn = "/o=Example/ou=Admin/cn=Recipients/cn=svc-zuv";
      spec.server = "MAIL01";
      std::string id;
      if (zuvstore::StoreAdmin::Open(store, &admin, err) != S_OK || admin->AddServer("MAIL01", false, err) != S_OK ||
          admin->AddMailbox(spec, &id, err) != S_OK) {
        return false;
      }
    }
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\r\n";
    const char* names[4] = {"ZuvPort1", "ZuvPort2", "ZuvPort3", "ZuvBinPort"};
    for (int i = 0; i < 4; ++i) {
      ports_[i] = FreePort();
      char line[64];
      std::snprintf(line, sizeof(line), "\"%s\"=dword:%08x\r\n", names[i], ports_[i]);
      reg += line;
    }
    reg += "\"StorePath\"=\"" + store + "\"\r\n\"ExAlias\"=\"svc-zuv\"\r\n\"ExServer\"=\"MAIL01\"\r\n";
    std::ofstream(home_ / "registry.reg", std::ios::binary) << reg;

    const std::string home = home_.string(), registry = (home_ / "registry.reg").string();
    const std::string console = (home_ / "console.out").string();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::setenv("ZUV_HOME", home.c_str(), 1);
      ::setenv("TOVANIX_REGISTRY", registry.c_str(), 1);
      if (std::freopen(console.c_str(), "w", stdout) == nullptr || std::freopen(console.c_str(), "a", stderr) == nullptr) {
        ::_exit(127);
      }
      ::execl(o.service.c_str(), o.service.c_str(), "run", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        *err = "the service exited during start-up; see its console output";
        return false;
      }
      bool all = true;
      for (uint16_t p : ports_) {
        int fd = Connect(p);
        all = all && fd >= 0;
        if (fd >= 0) ::close(fd);
      }
      if (all) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *err = "the service did not accept on its ports within 30 s";
    return false;
  }

  uint16_t json_port() const { return ports_[0]; }
  uint16_t bin_port() const { return ports_[3]; }

  // A line of /proc/<pid>/status in kB; -1 when unreadable.
  long StatusKb(const char* field) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field) + 1, nullptr, 10);
    }
    return -1;
  }
  // Sets the peak resident memory back to the current one.
  bool ResetPeak() const { return static_cast<bool>(std::ofstream("/proc/" + std::to_string(pid_) + "/clear_refs") << "5"); }

 private:
  fs::path home_;
  uint16_t ports_[4] = {};
  pid_t pid_ = -1;
};

// Uploads bytes on a new binary connection; the upload name, or "".
std::string Upload(uint16_t port, const std::string& bytes) {
  int fd = Connect(port);
  if (fd < 0) return {};
  const std::string count = std::to_string(bytes.size());
  char ack[10];
  std::string name;
  if (SendAll(fd, count.data(), count.size()) && RecvAll(fd, ack, sizeof(ack)) &&
      SendAll(fd, bytes.data(), bytes.size())) {
    char reply[300];
    ssize_t n = ::recv(fd, reply, sizeof(reply), 0);
    std::string text(reply, n > 0 ? static_cast<size_t>(n) : 0);
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos && text.substr(colon + 1) == count) name = text.substr(0, colon);
  }
  ::close(fd);
  return name;
}

std::string Random(size_t n) {
  std::mt19937_64 gen(n);
  std::string out(n, '\0');
  for (size_t i = 0; i + 8 <= n; i += 8) {
    const uint64_t v = gen();
    std::memcpy(&out[i], &v, 8);
  }
  return out;
}

// The baseline: header and bytes over a plain loopback connection.
double PlainCopySeconds(const std::string& bytes, std::vector<char>* buffer, bool* ok) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  ::listen(listener, 1);
  socklen_t len = sizeof(addr);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::thread sender([&] {
    int fd = ::accept(listener, nullptr, nullptr);
    char request[1];
    if (fd >= 0 && RecvAll(fd, request, 1)) {
      char header[10] = {};
      std::snprintf(header, sizeof(header), "%zu", bytes.size());
      if (SendAll(fd, header, sizeof(header))) SendAll(fd, bytes.data(), bytes.size());
    }
    if (fd >= 0) ::close(fd);
  });
  int fd = Connect(ntohs(addr.sin_port));
  const auto t = Clock::now();
  Clock::time_point header_at;
  *ok = fd >= 0 && SendAll(fd, "x", 1) && ReceiveChecked(fd, bytes, buffer, &header_at);
  const double s = Seconds(t);
  if (fd >= 0) ::close(fd);
  sender.join();
  ::close(listener);
  return s;
}

int Run(const Options& o) {
  Service service;
  std::string err;
  if (!service.Start(o, &err)) {
    std::fprintf(stderr, "attachment_load: %s\n", err.c_str());
    return 2;
  }
  int fd = Connect(service.json_port());
  const std::string store = "\"StoreEntryID\":\"ZUV_MAILBOX_STORE_ENTRYID\",\"ClientIdentifier\":\"load\"";
  const std::string inbox =
      RowsText(Call(fd, "{\"ProtocolVersion\":4,\"Request\":1007,\"FolderHierarchy\":[\"Inbox\"]," + store + "}"));
  if (inbox.empty()) {
    std::fprintf(stderr, "attachment_load: the Inbox's entry ID cannot be read\n");
    return 1;
  }
  int failures = 0;
  auto attach = [&](const std::string& item, const std::string& upload) {
    return Call(fd, "{\"ProtocolVersion\":4,\"Request\":1011,\"EntryID\":\"" + item + "\",\"FolderEntryID\":\"" + inbox +
                        "\"," + store + ",\"AttachmentName\":\"load.bin\",\"UploadedAttachmentHash\":\"" + upload +
                        "\",\"SetData\":[]}");
  };

  std::printf("%-24s %8s %12s %12s\n", "upload + Attach", "MiB", "upload MiB/s", "Attach MiB/s");
  for (size_t mib : o.attach_mib) {
    const std::string bytes = Random(mib * kMiB);
    for (int r = 0; r < o.repeat; ++r) {
      auto t = Clock::now();
      const std::string upload = Upload(service.bin_port(), bytes);
      const double up = Seconds(t);
      t = Clock::now();
      const std::string answer = upload.empty() ? "" : attach("", upload);
      const double at = Seconds(t);
      const bool ok = answer.rfind("{\"ErrorNumber\":0,", 0) == 0;
      failures += ok ? 0 : 1;
      std::printf("%-24s %8zu %12.1f %12.1f%s\n", "", mib, MiBps(bytes.size(), up), MiBps(bytes.size(), at),
                  ok ? "" : "  FAILED");
    }
  }

  // One item with the attachment read back.
  const std::string bytes = Random(o.get_mib * kMiB);
  const std::string item = RowsText(Call(fd, "{\"ProtocolVersion\":4,\"Request\":1003,\"EntryID\":\"\",\"FolderEntryID\":\"" +
                                                 inbox + "\"," + store + ",\"SetData\":[]}"));
  const std::string upload = Upload(service.bin_port(), bytes);
  if (item.empty() || upload.empty() || attach(item, upload) != "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":0}") {
    std::fprintf(stderr, "attachment_load: the attachment to read back cannot be made\n");
    return 1;
  }
  const long rssBefore = service.StatusKb("VmRSS:");
  const bool reset = service.ResetPeak();
  std::vector<char> buffer(kReceiveBuffer);
  const std::string get = "{\"ProtocolVersion\":4,\"Request\":1018,\"EntryID\":\"" + item + "\",\"FolderEntryID\":\"" +
                          inbox + "\"," + store + ",\"AttachmentNum\":0}";
  const std::string frame = std::to_string(get.size()) + get;
  std::printf("\n%-24s %8s %12s %12s %8s %14s\n", "GetAttachmentFile", "MiB", "service MiB/s", "plain MiB/s", "ratio",
              "to header ms");
  for (int r = 0; r < o.repeat; ++r) {
    bool plainOk = false;
    const double plain = PlainCopySeconds(bytes, &buffer, &plainOk);
    const auto t = Clock::now();
    Clock::time_point header_at = t;
    const bool ok = SendAll(fd, frame.data(), frame.size()) && ReceiveChecked(fd, bytes, &buffer, &header_at);
    const double s = Seconds(t);
    failures += (ok && plainOk) ? 0 : 1;
    std::printf("%-24s %8zu %12.1f %12.1f %8.2f %14.0f%s\n", "", o.get_mib, MiBps(bytes.size(), s),
                MiBps(bytes.size(), plain), s > 0 ? plain / s : 0,
                std::chrono::duration<double, std::milli>(header_at - t).count(), ok && plainOk ? "" : "  FAILED");
  }
  std::printf("\nservice memory: VmRSS before the reads %ld kB, VmHWM during them %ld kB%s\n", rssBefore,
              service.StatusKb("VmHWM:"), reset ? "" : " (peak not reset: VmHWM covers the whole run)");
  ::close(fd);
  return failures == 0 ? 0 : 1;
}

bool ParseSizes(const std::string& text, std::vector<size_t>* out) {
  out->clear();
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) {
    char* end = nullptr;
    unsigned long v = std::strtoul(part.c_str(), &end, 10);
    if (part.empty() || *end != '\0' || v == 0 || v > 255) return false;
    out->push_back(v);
  }
  return !out->empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::error_code ec;
  o.service = (fs::read_symlink("/proc/self/exe", ec).parent_path() / "zuv_service").string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    std::vector<size_t> sizes;
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--service" && v != nullptr) {
      o.service = argv[++i];
    } else if (a == "--attach" && v != nullptr && ParseSizes(v, &sizes)) {
      o.attach_mib = sizes;
      ++i;
    } else if (a == "--get" && v != nullptr && ParseSizes(v, &sizes) && sizes.size() == 1) {
      o.get_mib = sizes[0];
      ++i;
    } else if (a == "--repeat" && v != nullptr && std::atoi(v) > 0) {
      o.repeat = std::atoi(argv[++i]);
    } else if (a == "--tmp-dir" && v != nullptr) {
      o.tmp_dir = argv[++i];
    } else {
      std::fprintf(stderr, "attachment_load: bad option '%s' (sizes are 1 to 255 MiB; see --help)\n", a.c_str());
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  return Run(o);
}
