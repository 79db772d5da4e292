// zuvctl_fixture.h: runs the built zuvctl (and zuvadmin) against the real
// service started by the integration harness, and reads their output.
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../integration/service_harness.h"

namespace zuvctl_test {

struct RunResult {
  int status = -1;  // exit status; 128 + signal when killed
  std::string out;
  std::string err;
};

// Runs program with args and no input; waits for it to end.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args);

// A program running in the background whose output is collected while it
// runs (the `watch` command).
class Background {
 public:
  Background(const std::string& program, const std::vector<std::string>& args);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Waits until stdout (or stderr) holds text; false when the program ended
  // first. The test's own time-out ends a hang.
  bool WaitForOut(const std::string& text);
  bool WaitForErr(const std::string& text);
  // Sends SIGINT and waits for the end; the exit status.
  int Interrupt();
  std::string out();
  std::string err();

 private:
  bool WaitFor(bool from_out, const std::string& text);
  void Pump(int wait_ms);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_, err_;
  int status_ = -1;
};

// Each output line as a JSON object, every member as text.
std::vector<std::map<std::string, std::string>> JsonLines(const std::string& output);

// Lines of output.
std::vector<std::string> Lines(const std::string& output);

// The service with the mailbox svc-zuv, started once for a test suite.
class ZuvctlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();

  // zuvctl --port <service> --binport <service> args...
  static RunResult Ctl(std::vector<std::string> args);
  // zuvctl ... --json args, expecting exit 0; the JSON lines.
  static std::vector<std::map<std::string, std::string>> CtlJson(std::vector<std::string> args);
  // The zuvctl arguments that point at the service, with a time-out.
  static std::vector<std::string> Target(const std::string& timeout_s = "30");
  // zuvadmin --store <the service's store> args...
  static RunResult Admin(std::vector<std::string> args);
  // Delivers a message with this subject into folder of svc-zuv with
  // zuvadmin; returns its entry ID.
  static std::string Deliver(const std::string& folder, const std::string& subject);
  // Creates a folder path in svc-zuv with zuvadmin.
  static void CreateFolder(const std::string& path);

  static zuv_test::ServiceProcess* service_;
  static std::filesystem::path dir_;  // scratch files of the suite
};

}  // namespace zuvctl_test
