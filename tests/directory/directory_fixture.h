// directory_fixture.h: the directory tests' environment: a private slapd for
// this test process (scripts/ldap-test-server.sh, sample organisation plus
// 2,500 generated users, size limit 500), the service's directory
// configured to it as the service account, and the service's log lines
// captured to a file at trace level.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "base/logging.h"
#include "directory/ad_services.h"

namespace zuv_test {

namespace fs = std::filesystem;

inline constexpr char kServiceDN[] = "CN=svc-zuv,CN=Users,DC=example,DC=com";
inline constexpr char kServicePassword[] = "svcpw";
inline constexpr char kExch1DN[] =
    "CN=EXCH1,CN=Servers,CN=Example Org,CN=Services,CN=Configuration,DC=example,DC=com";
inline constexpr char kExch2DN[] =
    "CN=EXCH2,CN=Servers,CN=Example Org,CN=Services,CN=Configuration,DC=example,DC=com";
inline constexpr char kDatabases[] =
    "CN=Databases,CN=Example Org,CN=Services,CN=Configuration,DC=example,DC=com";
inline constexpr char kLegacyPrefix[] =
    "/o=Example Org/ou=Admin Group (EXAMPLE1)/cn=Recipients/cn=";
inline constexpr int kGeneratedUsers = 2500;

// Time-outs short enough that a dead server fails a test quickly.
inline zuv::DirectoryTimeouts TestTimeouts() {
  zuv::DirectoryTimeouts t;
  t.connect = std::chrono::milliseconds(1000);
  t.operation = std::chrono::milliseconds(2000);
  return t;
}

inline std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Runs scripts/ldap-test-server.sh action dir; returns its first output line
// (the URI for start), or "" when it failed.
inline std::string LdapScript(const std::string& action, const fs::path& dir) {
  std::string cmd = std::string(ZUV_SOURCE_DIR) + "/scripts/ldap-test-server.sh " + action + " '" +
                    dir.string() + "'";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return "";
  char line[512] = {};
  std::string out;
  if (std::fgets(line, sizeof(line), p) != nullptr) out = line;
  while (std::fgets(line, sizeof(line), p) != nullptr) {
  }
  int status = ::pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return status == 0 ? (out.empty() ? "ok" : out) : "";
}

class DirectoryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);  // as the service does
    char tmpl[] = "/tmp/zuv-directory-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ::setenv("ZUV_LDAP_USERS", std::to_string(kGeneratedUsers).c_str(), 1);
    ::setenv("ZUV_LDAP_SIZELIMIT", "500", 1);
    ::setenv("ZUV_LDAP_OWNER_PID", std::to_string(::getpid()).c_str(), 1);
    uri_ = LdapScript("start", dir_ / "slapd");
    ASSERT_FALSE(uri_.empty()) << "slapd did not start in " << dir_;
    ConfigureService();

    std::ofstream(dir_ / "log.xml")
        << R"(<nlog xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <targets>
    <target name="f" xsi:type="File" layout="${level}|${message}" fileName="${basedir}/zuv.log"/>
  </targets>
  <rules><logger name="*" minlevel="Trace" writeTo="f"/></rules>
</nlog>)";
    std::string err;
    ASSERT_EQ(zuv::ConfigureLoggingFromFile((dir_ / "log.xml").string(), dir_.string(), &err), 0u)
        << err;
  }

  void TearDown() override {
    Resume();
    LdapScript("stop", dir_ / "slapd");
    zuv::ResetLoggingForTest();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Points the service at the fixture as the service account.
  void ConfigureService() {
    std::string err;
    ASSERT_EQ(zuv::ConfigureDirectory(uri_, kServiceDN, kServicePassword, TestTimeouts(), &err), 0u)
        << err;
  }

  // Stops slapd, or starts it again with the same data (and, when it is
  // free, the same port; the service is pointed at a new one).
  void StopServer() { ASSERT_FALSE(LdapScript("stop", dir_ / "slapd").empty()); }
  void StartServer() {
    std::string uri = LdapScript("start", dir_ / "slapd");
    ASSERT_FALSE(uri.empty());
    if (uri != uri_) {
      uri_ = uri;
      ConfigureService();
    }
  }

  // Freezes slapd (it accepts connections but never answers), and thaws it.
  // Pause returns once every slapd thread has stopped.
  void Pause() {
    Signal(SIGSTOP);
    for (int i = 0; i < 1000 && !AllThreadsStopped(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  void Resume() { Signal(SIGCONT); }

  const std::string& uri() const { return uri_; }

  // Everything logged so far.
  std::string Log() const {
    zuv::FlushLogs();
    return ReadWhole(dir_ / "zuv.log");
  }

 private:
  std::string Pid() const { return ReadWhole(dir_ / "slapd" / "slapd.pid"); }

  void Signal(int sig) {
    std::string pid = Pid();
    if (!pid.empty()) ::kill(std::stoi(pid), sig);
  }

  // True when /proc shows every thread of slapd in state T (stopped).
  bool AllThreadsStopped() const {
    std::string pid = Pid();
    if (pid.empty()) return true;
    std::error_code ec;
    fs::path tasks = fs::path("/proc") / std::to_string(std::stoi(pid)) / "task";
    for (const auto& task : fs::directory_iterator(tasks, ec)) {
      std::string stat = ReadWhole(task.path() / "stat");
      size_t close = stat.rfind(')');
      if (close == std::string::npos || stat.compare(close + 1, 3, " T ") != 0) return false;
    }
    return !ec;
  }

  fs::path dir_;
  std::string uri_;
};

// The process's environment (registered in directory_fixture.cpp).
DirectoryEnvironment& Directory();

// Base of the directory tests: log lines since the test began.
class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override { log_start_ = Directory().Log().size(); }
  std::string NewLog() const { return Directory().Log().substr(log_start_); }
  bool Logged(const std::string& line) const { return NewLog().find(line) != std::string::npos; }
  size_t CountLogged(const std::string& text) const {
    std::string log = NewLog();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

 private:
  size_t log_start_ = 0;
};

}  // namespace zuv_test
