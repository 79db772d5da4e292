// ad_services_load.cpp: directory lookup throughput against a private slapd,
// each figure next to ldapsearch doing the same search in the same run.
//
//   QueryUserInfoByEmail per second from 1 and 8 threads, against ldapsearch
//   running the same filter for the same addresses (-f, one connection per
//   process; 1 and 8 processes). A lookup is two searches (the user, then
//   the owning server of its database); ldapsearch runs only the first.
//   GetMailboxes over 2,500 and 25,000 generated users (median of 5 runs, ms,
//   server cache emptied before each), against one paged ldapsearch with the
//   same filter and attributes (process start and bind included).
//
// Usage: ad_services_load [lookups per thread, default 2000]
// Starts and stops its slapd through the source tree's
// scripts/ldap-test-server.sh, in a folder under /tmp.
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "directory/ad_services.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kServiceDN[] = "CN=svc-zuv,CN=Users,DC=example,DC=com";
constexpr char kPassword[] = "svcpw";
constexpr char kMailboxFilter[] =
    "(&(!(userAccountControl:1.2.840.113556.1.4.803:=2)) (mailNickname=*)(objectClass=user) )";
constexpr char kMailboxAttributes[] =
    "homeMDB sn GivenName Initials DistinguishedName mail msExchHomeServerName legacyExchangeDN";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU seconds (user + system) used so far by this process or its children.
double CpuSeconds(int who) {
  rusage u{};
  ::getrusage(who, &u);
  auto s = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

// scripts/ldap-test-server.sh of the source tree the executable was built in
// (build/<preset>/bin), found by walking up from the executable.
fs::path ServerScript() {
  std::error_code ec;
  for (fs::path p = fs::read_symlink("/proc/self/exe", ec).parent_path(); !p.empty();
       p = p.parent_path()) {
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

// Runs a shell command; returns its wall time in seconds, or -1 when it failed.
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

// A throughput and the client CPU time it took per operation.
struct Rate {
  double per_second = 0;
  double cpu_us = 0;
};

// QueryUserInfoByEmail over lists[t] from one thread each.
Rate EmailLookups(const std::vector<std::vector<std::string>>& lists) {
  std::vector<std::thread> threads;
  std::vector<int> misses(lists.size(), 0);
  double cpu = CpuSeconds(RUSAGE_SELF);
  auto start = Clock::now();
  for (size_t t = 0; t < lists.size(); ++t) {
    threads.emplace_back([&, t] {
      char name[256], server[1024], legacy[1024];
      for (const std::string& a : lists[t]) {
        if (zuv::QueryUserInfoByEmail(a.c_str(), name, sizeof(name), server, sizeof(server), legacy,
                                      sizeof(legacy)) != 0) {
          ++misses[t];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  double s = Seconds(Clock::now() - start);
  size_t total = 0;
  for (size_t t = 0; t < lists.size(); ++t) total += lists[t].size();
  int missed = 0;
  for (int m : misses) missed += m;
  if (missed != 0) std::fprintf(stderr, "warning: %d lookups failed\n", missed);
  double n = static_cast<double>(total);
  return Rate{n / s, (CpuSeconds(RUSAGE_SELF) - cpu) / n * 1e6};
}

// ldapsearch -f over lists[t] from one process each.
Rate LdapsearchSearches(const std::string& uri, const std::vector<std::vector<std::string>>& lists,
                        const fs::path& dir) {
  std::string cmd;
  size_t total = 0;
  for (size_t t = 0; t < lists.size(); ++t) {
    fs::path file = dir / ("addresses" + std::to_string(t));
    std::ofstream out(file);
    for (const std::string& a : lists[t]) out << a << "\n";
    total += lists[t].size();
    cmd += Ldapsearch(uri) + " -z 1 -f " + file.string() +
           " '(proxyAddresses=*%s*)' homeMDB msExchHomeServerName legacyExchangeDN name "
           ">/dev/null 2>&1 & ";
  }
  cmd += "wait";
  double cpu = CpuSeconds(RUSAGE_CHILDREN);
  double s = TimeShell(cmd);
  double n = static_cast<double>(total);
  if (s <= 0) return Rate{};
  return Rate{n / s, (CpuSeconds(RUSAGE_CHILDREN) - cpu) / n * 1e6};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void GetMailboxesRow(const std::string& uri, int users) {
  std::vector<double> ours, theirs;
  size_t listed = 0;
  for (int run = 0; run < 5; ++run) {
    zuv::ClearHomeMDBCacheForTest();
    std::vector<zuv::ZUV_UserInfo> list;
    auto start = Clock::now();
    if (zuv::GetMailboxes("load", &list) != 0)
      std::fprintf(stderr, "warning: GetMailboxes failed\n");
    ours.push_back(Seconds(Clock::now() - start) * 1000);
    listed = list.size();
    theirs.push_back(TimeShell(Ldapsearch(uri) + " -E pr=1000/noprompt '" + kMailboxFilter + "' " +
                               kMailboxAttributes + " >/dev/null") *
                     1000);
  }
  std::printf(
      "GetMailboxes, %6d users      %8.1f ms (%zu listed) | ldapsearch paged 1000: %8.1f ms\n",
      users, Median(ours), listed, Median(theirs));
}

// Runs fn with a slapd holding users generated users.
template <typename Fn>
void WithDirectory(int users, Fn fn) {
  char tmpl[] = "/tmp/zuv-load-XXXXXX";
  fs::path dir = ::mkdtemp(tmpl);
  ::setenv("ZUV_LDAP_USERS", std::to_string(users).c_str(), 1);
  ::setenv("ZUV_LDAP_OWNER_PID", std::to_string(::getpid()).c_str(), 1);
  auto start = Clock::now();
  std::string uri = Script("start", dir / "slapd");
  if (uri.empty()) {
    std::fprintf(stderr, "slapd did not start\n");
    std::exit(1);
  }
  std::printf("directory with %d generated users at %s (filled and started in %.1f s)\n", users,
              uri.c_str(), Seconds(Clock::now() - start));
  std::string err;
  if (zuv::ConfigureDirectory(uri, kServiceDN, kPassword, zuv::DirectoryTimeouts{}, &err) != 0) {
    std::fprintf(stderr, "%s\n", err.c_str());
    std::exit(1);
  }
  fn(uri, dir);
  Script("stop", dir / "slapd");
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  size_t per_thread = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;

  WithDirectory(2500, [&](const std::string& uri, const fs::path& dir) {
    for (int threads : {1, 8}) {
      std::vector<std::vector<std::string>> lists;
      for (int t = 0; t < threads; ++t) lists.push_back(Addresses(2500, per_thread, 17 + t));
      EmailLookups(lists);  // warm-up: pooled connections
      Rate ours = EmailLookups(lists);
      Rate theirs = LdapsearchSearches(uri, lists, dir);
      std::printf(
          "QueryUserInfoByEmail, %d thread%s %7.0f /s (client CPU %3.0f us) | "
          "ldapsearch -f, %d process%s: %7.0f searches/s (client CPU %3.0f us)\n",
          threads, threads == 1 ? " " : "s", ours.per_second, ours.cpu_us, threads,
          threads == 1 ? "  " : "es", theirs.per_second, theirs.cpu_us);
    }
    GetMailboxesRow(uri, 2500);
  });
  WithDirectory(25000,
                [&](const std::string& uri, const fs::path&) { GetMailboxesRow(uri, 25000); });
  return 0;
}
