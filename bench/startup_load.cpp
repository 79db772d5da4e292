// startup_load.cpp: start-up time of zuv_service, from exec to the first
// JSON listener accepting a connection, with a store of N mailboxes (100 by
// default) in a private ZUV_HOME on free loopback ports.
//
// Each run execs "zuv_service run", connects to the first JSON port every
// millisecond until a connection succeeds, then stops the service with
// SIGTERM and waits for it. The first run also creates the MAPI profile in
// the store; later runs reuse it, so the first is reported on its own.
// Baseline, in the same run: exec of the same binary with --help until it
// exits (process start, dynamic loading, static initialisation).
//
//   startup_load [--service PATH] [--runs N] [--mailboxes N]
// --service defaults to zuv_service beside this program. Exit status 0, or 1
// when the service does not start.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
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
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mapi/zuvstore_admin.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

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

bool Accepts(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

pid_t Spawn(const std::string& exe, const char* arg, const fs::path& home) {
  std::fflush(stdout);  // the child must not write our buffered lines again
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("ZUV_HOME", home.c_str(), 1);
    ::setenv("TOVANIX_REGISTRY", (home / "registry.reg").c_str(), 1);
    std::FILE* out = std::freopen((home / "console.out").c_str(), "a", stdout);
    (void)out;
    out = std::freopen((home / "console.out").c_str(), "a", stderr);
    ::execl(exe.c_str(), exe.c_str(), arg, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// One start: ms from exec to the first accepted connection; -1 when the
// service ended or did not listen within 60 s.
double StartOnce(const std::string& exe, const fs::path& home, uint16_t port) {
  const auto begin = Clock::now();
  pid_t pid = Spawn(exe, "run", home);
  double ms = -1;
  while (Clock::now() - begin < std::chrono::seconds(60)) {
    if (Accepts(port)) {
      ms = Ms(Clock::now() - begin);
      break;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return ms;
}

double HelpOnce(const std::string& exe, const fs::path& home) {
  const auto begin = Clock::now();
  pid_t pid = Spawn(exe, "--help", home);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return Ms(Clock::now() - begin);
}

void Report(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-40s runs %3zu  min %8.1f ms  median %8.1f ms  max %8.1f ms\n", what, ms.size(), ms.front(),
              ms[ms.size() / 2], ms.back());
}

}  // namespace

int main(int argc, char** argv) {
  std::string exe = (fs::path(argv[0]).parent_path() / "zuv_service").string();
  int runs = 10;
  int mailboxes = 100;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--service" && i + 1 < argc) {
      exe = argv[++i];
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::max(2, std::atoi(argv[++i]));
    } else if (a == "--mailboxes" && i + 1 < argc) {
      mailboxes = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--service PATH] [--runs N] [--mailboxes N]\n", argv[0]);
      return a == "--help" ? 0 : 2;
    }
  }

  char tmpl[] = "/tmp/zuv-startup-XXXXXX";
  const fs::path home = ::mkdtemp(tmpl);
  const fs::path store = home / "data" / "zuvstore.db";
  fs::create_directories(store.parent_path());
  {
    std::unique_ptr<zuvstore::StoreAdmin> admin;
    std::string err, id;
    if (zuvstore::StoreAdmin::Open(store.string(), &admin, &err) != S_OK ||
        admin->AddServer("EXCH1", false, &err) != S_OK) {
      std::fprintf(stderr, "store: %s\n", err.c_str());
      return 1;
    }
    for (int i = 0; i < mailboxes; ++i) {
      std::string alias = i == 0 ? "svc-zuv" : "user" + std::to_string(i);
      zuvstore::MailboxSpec spec{alias, alias, {alias + "@example.com"}, "/o=Example/cn=" + alias, "EXCH1"};
      if (admin->AddMailbox(spec, &id, &err) != S_OK) {
        std::fprintf(stderr, "store: %s\n", err.c_str());
        return 1;
      }
    }
  }
  const uint16_t port = FreePort();
  char ports[160];
  std::snprintf(ports, sizeof(ports),
                "\"ZuvPort1\"=dword:%08x\r\n\"ZuvPort2\"=dword:%08x\r\n\"ZuvPort3\"=dword:%08x\r\n"
                "\"ZuvBinPort\"=dword:%08x\r\n",
                port, FreePort(), FreePort(), FreePort());
  std::ofstream(home / "registry.reg")
      << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\r\n"
      << ports << "\"ExAlias\"=\"svc-zuv\"\r\n\"ExServer\"=\"EXCH1\"\r\n\"StorePath\"=\"" << store.string()
      << "\"\r\n\"LdapUri\"=\"ldap://127.0.0.1:" << FreePort() << "\"\r\n";

  std::printf("zuv_service start-up: %s, store of %d mailboxes, ZUV_HOME %s\n", exe.c_str(), mailboxes,
              home.c_str());
  std::vector<double> first, warm, help;
  for (int i = 0; i < runs; ++i) {
    double ms = StartOnce(exe, home, port);
    if (ms < 0) {
      std::fprintf(stderr, "the service did not start; see %s/console.out and logs/\n", home.c_str());
      return 1;
    }
    (i == 0 ? first : warm).push_back(ms);
    help.push_back(HelpOnce(exe, home));
  }
  Report("exec -> accepting (first, new profile)", first);
  Report("exec -> accepting (profile exists)", warm);
  Report("baseline: exec of --help -> exit", help);
  std::error_code ec;
  fs::remove_all(home, ec);
  return 0;
}
