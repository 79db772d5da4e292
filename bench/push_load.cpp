// push_load.cpp: load tool for pushed row changes of zuv_service.
//
// Builds a private store with the service mailbox and four folders, starts
// the service on free loopback ports with a private ZUV_HOME, then:
//  fanout  - --listeners clients read one folder with a NotificationURL
//            each (distinct loopback addresses, one listening socket in
//            this process); one message is delivered from this process;
//            times from before the delivery's commit to the first and the
//            last push arriving;
//  latency - one client listens to another folder; --deliveries messages
//            are delivered one at a time, each waiting for its push; time
//            from before the commit to the push's arrival, p50/p99/max;
//  fill    - one client listens to a folder of --fill messages with one
//            column; another read asks for a second column, so the table
//            is populated again and each row is pushed as 505; pushes/s
//            from that read's request to the last push;
//  settable - one client listens to a folder of one message with
//            PR_SUBJECT among its columns; another client, on one kept
//            connection, changes the message's subject by SetTable (1003)
//            --changes times, a new subject each time, each waiting for its
//            504 push; time from the answer having been read to the push's
//            whole frame having arrived, p50/p90/p99/max (a push that came
//            before the answer counts as 0). A push missing after 2 s is
//            counted and the run goes on, until the 20th missing one.
// Deliveries reach the service as another process's commits would.
// A push has arrived when its whole frame is held by the listening socket.
//
//   push_load [--service PATH] [--listeners N] [--deliveries N] [--fill N] [--changes N]
//             [--log-level Warn]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mapi/mapiptr.h"
#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kAlias = "svc-zuv";
constexpr const char* kServer = "EXCH1";
constexpr const char* kStoreKey = "ZUV_MAILBOX_STORE_ENTRYID";

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

int Connect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
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

// One request, its whole response (10-byte header, then the text).
std::string Exchange(uint16_t port, const std::string& json) {
  const int fd = Connect(port);
  if (fd < 0) return "";
  const std::string frame = std::to_string(json.size()) + json;
  if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
    ::close(fd);
    return "";
  }
  std::string in;
  char buf[65536];
  size_t want = 0;
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    in.append(buf, static_cast<size_t>(n));
    if (want == 0 && in.size() >= 10) want = 10 + std::strtoul(in.c_str(), nullptr, 10);
    if (want != 0 && in.size() >= want) break;
  }
  ::close(fd);
  return in.size() > 10 ? in.substr(10) : "";
}

// Request and response on one kept connection (requests strictly one
// after another); false when the connection fails or closes.
bool Call(int fd, const std::string& json, std::string* response) {
  const std::string frame = std::to_string(json.size()) + json;
  if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) return false;
  std::string in;
  char buf[16384];
  size_t want = 0;
  while (want == 0 || in.size() < want) {
    const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) return false;
    in.append(buf, static_cast<size_t>(n));
    if (want == 0 && in.size() >= 10) want = 10 + std::strtoul(in.c_str(), nullptr, 10);
  }
  *response = in.substr(10, want - 10);
  return true;
}

// Accepts pushes on one socket (any loopback address) and counts them.
class Receiver {
 public:
  Receiver() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    ::listen(fd_, SOMAXCONN);
    for (int i = 0; i < 4; ++i) threads_.emplace_back([this] { Run(); });
  }
  ~Receiver() {
    ::shutdown(fd_, SHUT_RDWR);
    for (auto& t : threads_) t.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }

  // Waits until count pushes arrived in all; the time of the first and of
  // the last of them.
  bool Wait(size_t count, std::chrono::seconds limit, Clock::time_point* first, Clock::time_point* last) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, limit, [&] { return arrivals_.size() >= count; })) return false;
    *first = *std::min_element(arrivals_.begin(), arrivals_.begin() + static_cast<long>(count));
    *last = *std::max_element(arrivals_.begin(), arrivals_.begin() + static_cast<long>(count));
    return true;
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mu_);
    arrivals_.clear();
    texts_.clear();
  }
  // Waits for the push of index n (0 the first to arrive); its arrival
  // time and its JSON text.
  bool WaitFor(size_t n, std::chrono::seconds limit, Clock::time_point* at, std::string* text) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, limit, [&] { return arrivals_.size() > n; })) return false;
    *at = arrivals_[n];
    *text = texts_[n];
    return true;
  }

 private:
  void Run() {
    for (;;) {
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      // A push has arrived once its whole frame is held (10-byte header
      // with the length, then the JSON text); the close may come later.
      std::string bytes;
      char buf[16384];
      size_t want = 0;
      Clock::time_point at{};
      ssize_t n;
      while ((n = ::recv(c, buf, sizeof(buf), 0)) > 0) {
        bytes.append(buf, static_cast<size_t>(n));
        if (want == 0 && bytes.size() >= 10) want = 10 + std::strtoul(bytes.c_str(), nullptr, 10);
        if (want != 0 && bytes.size() >= want && at == Clock::time_point{}) at = Clock::now();
      }
      if (at == Clock::time_point{}) at = Clock::now();
      ::close(c);
      std::lock_guard<std::mutex> lock(mu_);
      arrivals_.push_back(at);
      texts_.push_back(bytes.size() > 10 ? bytes.substr(10) : std::string());
      cv_.notify_all();
    }
  }
  int fd_ = -1;
  uint16_t port_ = 0;
  std::vector<std::thread> threads_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Clock::time_point> arrivals_;
  std::vector<std::string> texts_;
};

bool Deliver(zuvstore::StoreAdmin* admin, const std::string& path, const std::string& subject) {
  std::string err;
  MapiPtr<IMAPIFolder> folder;
  if (admin->OpenFolder(kAlias, false, path, folder.put(), &err) != S_OK) return false;
  MapiPtr<IMessage> msg;
  if (folder->CreateMessage(nullptr, 0, msg.put()) != S_OK) return false;
  SPropValue v{};
  v.ulPropTag = PR_SUBJECT_A;
  v.Value.lpszA = const_cast<char*>(subject.c_str());
  return msg->SetProps(1, &v, nullptr) == S_OK && msg->SaveChanges(0) == S_OK;
}

// A message with subject in the folder at path; its entry ID in hex, or ""
// when it cannot be made.
std::string AddMessage(zuvstore::StoreAdmin* admin, const std::string& path, const std::string& subject) {
  std::string err;
  MapiPtr<IMAPIFolder> folder;
  if (admin->OpenFolder(kAlias, false, path, folder.put(), &err) != S_OK) return {};
  MapiPtr<IMessage> msg;
  if (folder->CreateMessage(nullptr, 0, msg.put()) != S_OK) return {};
  SPropValue v{};
  v.ulPropTag = PR_SUBJECT_A;
  v.Value.lpszA = const_cast<char*>(subject.c_str());
  if (msg->SetProps(1, &v, nullptr) != S_OK || msg->SaveChanges(0) != S_OK) return {};
  MapiBuffer<SPropValue> id;
  ULONG count = 0;
  SizedSPropTagArray(1, tags) = {1, {PR_ENTRYID}};
  if (msg->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, id.put()) != S_OK || count != 1 ||
      id->ulPropTag != PR_ENTRYID) {
    return {};
  }
  return zuvstore::EntryIdToHex(id->Value.bin.lpb, id->Value.bin.cb);
}

// SetTable (1003) of the subject of item in folder.
std::string SubjectRequest(const std::string& folder, const std::string& item, const std::string& subject) {
  return "{\"ProtocolVersion\":4,\"Request\":1003,\"EntryID\":\"" + item + "\",\"FolderEntryID\":\"" + folder +
         "\",\"StoreEntryID\":\"" + kStoreKey +
         "\",\"ClientIdentifier\":\"writer\",\"SetData\":[{\"Key\":\"PR_SUBJECT\",\"Value\":{\"Kind\":30,\"Value\":\"" +
         subject + "\"}}]}";
}

std::string ListenRequest(const std::string& folder, int i, const std::string& url,
                          const std::string& columns = "\"PR_SUBJECT\",\"PR_IMPORTANCE\"") {
  return "{\"ProtocolVersion\":4,\"Request\":1001,\"EntryID\":\"" + folder + "\",\"StoreEntryID\":\"" + kStoreKey +
         "\",\"ClientIdentifier\":\"c" + std::to_string(i) + "\",\"identifier\":\"id" + std::to_string(i) +
         "\",\"NotificationURL\":\"" + url + "\",\"ColumnList\":[" + columns + "]}";
}

}  // namespace

int main(int argc, char** argv) {
  std::string service = (fs::path(argv[0]).parent_path() / "zuv_service").string();
  long listeners = 1000, deliveries = 200, fill = 10000, changes = 1000;
  std::string logLevel = "Warn";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--service") service = argv[i + 1];
    else if (a == "--listeners") listeners = std::atol(argv[i + 1]);
    else if (a == "--deliveries") deliveries = std::atol(argv[i + 1]);
    else if (a == "--fill") fill = std::atol(argv[i + 1]);
    else if (a == "--changes") changes = std::atol(argv[i + 1]);
    else if (a == "--log-level") logLevel = argv[i + 1];
    else {
      std::fprintf(stderr,
                   "usage: push_load [--service PATH] [--listeners N] [--deliveries N] [--fill N] [--changes N] "
                   "[--log-level L]\n");
      return 2;
    }
  }
  if (listeners < 1 || listeners > 60000 || deliveries < 1 || fill < 1 || changes < 1) {
    std::fprintf(stderr, "push_load: --listeners 1..60000, --deliveries, --fill and --changes 1 or more\n");
    return 2;
  }
  rlimit nofile{};
  if (::getrlimit(RLIMIT_NOFILE, &nofile) == 0) {
    nofile.rlim_cur = nofile.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &nofile);
  }

  char tmpl[] = "/tmp/zuv-push-load-XXXXXX";
  const fs::path home = ::mkdtemp(tmpl);
  fs::create_directories(home / "data");
  const std::string storePath = (home / "data" / "zuvstore.db").string();
  std::unique_ptr<zuvstore::StoreAdmin> admin;
  std::string err, id, fanFolder, latFolder, fillFolder, changeFolder, changeItem;
  zuvstore::MailboxSpec spec{kAlias, "ZUV Service", {"svc-zuv@example.org"}, "/o=Example/cn=svc-zuv", kServer, true};
  if (zuvstore::StoreAdmin::Open(storePath, &admin, &err) != S_OK || admin->AddServer(kServer, false, &err) != S_OK ||
      admin->AddMailbox(spec, &id, &err) != S_OK ||
      admin->CreateFolderPath(kAlias, false, "Inbox/Fan", "IPF.Note", &fanFolder, &err) != S_OK ||
      admin->CreateFolderPath(kAlias, false, "Inbox/Latency", "IPF.Note", &latFolder, &err) != S_OK ||
      admin->CreateFolderPath(kAlias, false, "Inbox/Fill", "IPF.Note", &fillFolder, &err) != S_OK ||
      admin->CreateFolderPath(kAlias, false, "Inbox/Change", "IPF.Note", &changeFolder, &err) != S_OK) {
    std::fprintf(stderr, "push_load: store: %s\n", err.c_str());
    return 1;
  }

  {
    MapiPtr<IMAPIFolder> folder;
    if (admin->OpenFolder(kAlias, false, "Inbox/Fill", folder.put(), &err) != S_OK ||
        admin->Batch(
            [&]() -> HRESULT {
              for (long i = 0; i < fill; ++i) {
                MapiPtr<IMessage> msg;
                HRESULT hr = folder->CreateMessage(nullptr, 0, msg.put());
                if (FAILED(hr)) return hr;
                const std::string subject = "fill " + std::to_string(i);
                SPropValue v[2]{};
                v[0].ulPropTag = PR_SUBJECT_A;
                v[0].Value.lpszA = const_cast<char*>(subject.c_str());
                v[1].ulPropTag = PR_IMPORTANCE;
                v[1].Value.l = i % 3;
                if (FAILED(hr = msg->SetProps(2, v, nullptr)) || FAILED(hr = msg->SaveChanges(0))) return hr;
              }
              return S_OK;
            },
            &err) != S_OK) {
      std::fprintf(stderr, "push_load: store: %s\n", err.c_str());
      return 1;
    }
  }

  changeItem = AddMessage(admin.get(), "Inbox/Change", "change start");
  if (changeItem.empty()) {
    std::fprintf(stderr, "push_load: store: the message to change cannot be made\n");
    return 1;
  }

  const uint16_t ports[4] = {FreePort(), FreePort(), FreePort(), FreePort()};
  {
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\r\n";
    const char* names[4] = {"ZuvPort1", "ZuvPort2", "ZuvPort3", "ZuvBinPort"};
    char line[64];
    for (int i = 0; i < 4; ++i) {
      std::snprintf(line, sizeof(line), "\"%s\"=dword:%08x\r\n", names[i], ports[i]);
      reg += line;
    }
    reg += "\"StorePath\"=\"" + storePath + "\"\r\n\"ExAlias\"=\"" + kAlias + "\"\r\n\"ExServer\"=\"" + kServer + "\"\r\n";
    std::ofstream(home / "registry.reg", std::ios::binary) << reg;
    std::ofstream(home / "ZUV_NLOG_Config.xml", std::ios::binary)
        << "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<nlog>\n  <targets>\n"
           "    <target name=\"logfile\" xsi:type=\"File\" layout=\"${date}::${level}::${message}\" "
           "fileName=\"${basedir}/logs/ZUV_Service-${machinename}.log\" />\n  </targets>\n  <rules>\n"
           "    <logger name=\"*\" minlevel=\""
        << logLevel << "\" writeTo=\"logfile\" />\n  </rules>\n</nlog>\n";
  }
  std::fflush(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::setenv("ZUV_HOME", home.c_str(), 1);
    ::setenv("TOVANIX_REGISTRY", (home / "registry.reg").c_str(), 1);
    if (std::freopen((home / "console.out").c_str(), "w", stdout) == nullptr) ::_exit(127);
    if (std::freopen((home / "console.out").c_str(), "a", stderr) == nullptr) ::_exit(127);
    ::execl(service.c_str(), service.c_str(), "run", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int rc = 1;
  auto stop = [&] {
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::error_code ec;
    fs::remove_all(home, ec);
  };
  const auto ready = Clock::now() + std::chrono::seconds(60);
  int probe = -1;
  while (Clock::now() < ready && (probe = Connect(ports[0])) < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (probe < 0) {
    std::fprintf(stderr, "push_load: the service did not start (%s)\n", service.c_str());
    stop();
    return 1;
  }
  ::close(probe);

  {
    // ---- fan-out ----
    Receiver receiver;
    const auto t0 = Clock::now();
    for (long i = 0; i < listeners; ++i) {
      char url[64];
      std::snprintf(url, sizeof(url), "127.0.%ld.%ld:%u", i / 250, i % 250 + 1, receiver.port());
      if (Exchange(ports[i % 3], ListenRequest(fanFolder, static_cast<int>(i), url)).empty()) {
        std::fprintf(stderr, "push_load: GetTable %ld failed\n", i);
        stop();
        return 1;
      }
    }
    std::printf("fanout: %ld listeners registered in %.1f ms\n", listeners, Ms(Clock::now() - t0));
    const auto before = Clock::now();
    if (!Deliver(admin.get(), "Inbox/Fan", "fan-out")) {
      std::fprintf(stderr, "push_load: delivery failed\n");
      stop();
      return 1;
    }
    Clock::time_point first, last;
    if (!receiver.Wait(static_cast<size_t>(listeners), std::chrono::seconds(120), &first, &last)) {
      std::fprintf(stderr, "push_load: not every listener got its push within 120 s\n");
      stop();
      return 1;
    }
    std::printf("fanout: one delivery to %ld listeners: first push %.1f ms, last push %.1f ms\n", listeners,
                Ms(first - before), Ms(last - before));
  }
  {
    // ---- latency ----
    Receiver receiver;
    char url[64];
    std::snprintf(url, sizeof(url), "127.0.0.1:%u", receiver.port());
    Exchange(ports[0], ListenRequest(latFolder, 99999, url));
    std::vector<double> ms;
    for (long i = 0; i < deliveries; ++i) {
      const auto before = Clock::now();
      if (!Deliver(admin.get(), "Inbox/Latency", "m" + std::to_string(i))) {
        std::fprintf(stderr, "push_load: delivery failed\n");
        stop();
        return 1;
      }
      Clock::time_point first, last;
      if (!receiver.Wait(static_cast<size_t>(i + 1), std::chrono::seconds(30), &first, &last)) {
        std::fprintf(stderr, "push_load: push %ld did not arrive within 30 s\n", i);
        stop();
        return 1;
      }
      ms.push_back(Ms(last - before));
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size())))]; };
    std::printf("latency: delivery commit to 502 push over %ld deliveries: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                deliveries, at(0.50), at(0.99), ms.back());
  }
  {
    // ---- table fill ----
    Receiver receiver;
    char url[64];
    std::snprintf(url, sizeof(url), "127.0.0.1:%u", receiver.port());
    Exchange(ports[0], ListenRequest(fillFolder, 88888, url, "\"PR_SUBJECT\""));
    const auto before = Clock::now();
    Exchange(ports[1], ListenRequest(fillFolder, 88889, "", "\"PR_SUBJECT\",\"PR_IMPORTANCE\""));
    Clock::time_point first, last;
    if (!receiver.Wait(static_cast<size_t>(fill), std::chrono::seconds(300), &first, &last)) {
      std::fprintf(stderr, "push_load: not every 505 push arrived within 300 s\n");
      stop();
      return 1;
    }
    const double s = Ms(last - before) / 1000.0;
    std::printf("fill: %ld rows pushed as 505 to one listener in %.2f s: %.0f pushes/s\n", fill, s,
                static_cast<double>(fill) / s);
  }
  {
    // ---- SetTable to 504 ----
    Receiver receiver;
    char url[64];
    std::snprintf(url, sizeof(url), "127.0.0.1:%u", receiver.port());
    if (Exchange(ports[0], ListenRequest(changeFolder, 77777, url)).find("\"ROWS\":[{") == std::string::npos) {
      std::fprintf(stderr, "push_load: GetTable of the changed folder failed\n");
      stop();
      return 1;
    }
    const int writer = Connect(ports[1]);
    if (writer < 0) {
      std::fprintf(stderr, "push_load: cannot connect the writer\n");
      stop();
      return 1;
    }
    const int one = 1;
    ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    const std::string okAnswer = "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":\"" + changeItem + "\"}";
    // A change whose push has not come within 2 s counts as missing; the
    // run stops at the 20th missing one.
    constexpr long kMaxMissing = 20;
    std::vector<double> ms;
    long early = 0, missing = 0, sent = 0;
    bool failed = false;
    for (long i = 0; i < changes && missing < kMaxMissing; ++i) {
      const std::string subject = "change " + std::to_string(i);
      std::string answer;
      if (!Call(writer, SubjectRequest(changeFolder, changeItem, subject), &answer)) {
        std::fprintf(stderr, "push_load: SetTable %ld: the connection failed\n", i);
        failed = true;
        break;
      }
      const auto answered = Clock::now();
      ++sent;
      if (answer != okAnswer) {
        std::fprintf(stderr, "push_load: SetTable %ld answered %s\n", i, answer.c_str());
        failed = true;
        break;
      }
      Clock::time_point at;
      std::string push;
      if (!receiver.WaitFor(ms.size(), std::chrono::seconds(2), &at, &push)) {
        ++missing;
        continue;
      }
      if (push.find("\"DataType\":504") == std::string::npos || push.find(changeItem) == std::string::npos ||
          push.find("\"" + subject + "\"") == std::string::npos) {
        std::fprintf(stderr, "push_load: push for SetTable %ld is not the 504 of the change: %s\n", i, push.c_str());
        failed = true;
        break;
      }
      // A push can come before the answer has been read: counted as 0.
      if (at < answered) ++early;
      ms.push_back(at < answered ? 0.0 : Ms(at - answered));
    }
    ::close(writer);
    if (!ms.empty()) {
      std::sort(ms.begin(), ms.end());
      auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size())))]; };
      std::printf("settable: SetTable answer read to 504 push over %zu changes: p50 %.2f ms, p90 %.2f ms, "
                  "p99 %.2f ms, max %.2f ms (%ld pushes came before the answer was read)\n",
                  ms.size(), at(0.50), at(0.90), at(0.99), ms.back(), early);
    }
    if (missing > 0) {
      std::printf("settable: %ld of %ld changes sent got no 504 push within 2 s%s\n", missing, sent,
                  missing >= kMaxMissing ? " (stopped at the 20th)" : "");
    }
    if (!failed && missing == 0) rc = 0;
  }
  stop();
  return rc;
}
