// zuvctl_fixture.cpp: process running and the shared service.
#include "zuvctl_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace zuvctl_test {
namespace {

int StatusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

pid_t Spawn(const std::string& program, const std::vector<std::string>& args, int* out_fd, int* err_fd) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    const int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, STDIN_FILENO);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  *out_fd = out[0];
  *err_fd = err[0];
  return pid;
}

// Reads what is ready on fd into *to; false at end of stream.
bool ReadReady(int fd, std::string* to) {
  char buf[8192];
  const ssize_t n = ::read(fd, buf, sizeof(buf));
  if (n <= 0) return false;
  to->append(buf, static_cast<size_t>(n));
  return true;
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
  RunResult r;
  int out_fd = -1, err_fd = -1;
  const pid_t pid = Spawn(program, args, &out_fd, &err_fd);
  if (pid < 0) return r;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd p[2] = {{out_open ? out_fd : -1, POLLIN, 0}, {err_open ? err_fd : -1, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) break;
    if (p[0].revents != 0) out_open = ReadReady(out_fd, &r.out);
    if (p[1].revents != 0) err_open = ReadReady(err_fd, &r.err);
  }
  ::close(out_fd);
  ::close(err_fd);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  r.status = StatusOf(raw);
  return r;
}

Background::Background(const std::string& program, const std::vector<std::string>& args) {
  pid_ = Spawn(program, args, &out_fd_, &err_fd_);
}

Background::~Background() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
}

void Background::Pump(int wait_ms) {
  pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (::poll(p, 2, wait_ms) <= 0) return;
  if (p[0].revents != 0 && !ReadReady(out_fd_, &out_)) {
    ::close(out_fd_);
    out_fd_ = -1;
  }
  if (p[1].revents != 0 && !ReadReady(err_fd_, &err_)) {
    ::close(err_fd_);
    err_fd_ = -1;
  }
}

bool Background::WaitFor(bool from_out, const std::string& text) {
  for (;;) {
    const std::string& seen = from_out ? out_ : err_;
    if (seen.find(text) != std::string::npos) return true;
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    Pump(1000);
  }
}

bool Background::WaitForOut(const std::string& text) { return WaitFor(true, text); }
bool Background::WaitForErr(const std::string& text) { return WaitFor(false, text); }

int Background::Interrupt() {
  if (pid_ <= 0) return status_;
  ::kill(pid_, SIGINT);
  while (out_fd_ >= 0 || err_fd_ >= 0) Pump(1000);
  int raw = 0;
  ::waitpid(pid_, &raw, 0);
  pid_ = -1;
  status_ = StatusOf(raw);
  return status_;
}

std::string Background::out() { return out_; }
std::string Background::err() { return err_; }

std::vector<std::map<std::string, std::string>> JsonLines(const std::string& output) {
  std::vector<std::map<std::string, std::string>> rows;
  for (const std::string& line : Lines(output)) {
    rapidjson::Document d;
    d.Parse(line.c_str());
    std::map<std::string, std::string> row;
    if (!d.IsObject()) {
      row["<not JSON>"] = line;
      rows.push_back(row);
      continue;
    }
    for (const auto& m : d.GetObject()) {
      std::string text;
      if (m.value.IsString()) {
        text = m.value.GetString();
      } else if (m.value.IsBool()) {
        text = m.value.GetBool() ? "true" : "false";
      } else if (m.value.IsInt64()) {
        text = std::to_string(m.value.GetInt64());
      } else {
        text = "<other>";
      }
      row[m.name.GetString()] = text;
    }
    rows.push_back(row);
  }
  return rows;
}

std::vector<std::string> Lines(const std::string& output) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < output.size()) {
    size_t nl = output.find('\n', pos);
    if (nl == std::string::npos) nl = output.size();
    lines.push_back(output.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

zuv_test::ServiceProcess* ZuvctlTest::service_ = nullptr;
std::filesystem::path ZuvctlTest::dir_;

void ZuvctlTest::SetUpTestSuite() {
  service_ = new zuv_test::ServiceProcess;
  ASSERT_NE(service_->store(), nullptr);
  ASSERT_TRUE(service_->Start()) << zuv_test::ReadFile(service_->home() / "console.out");
  dir_ = service_->home() / "scratch";
  std::filesystem::create_directories(dir_);
}

void ZuvctlTest::TearDownTestSuite() {
  delete service_;
  service_ = nullptr;
}

std::vector<std::string> ZuvctlTest::Target(const std::string& timeout_s) {
  return {"--port", std::to_string(service_->port(0)), "--binport", std::to_string(service_->bin_port()),
          "--timeout", timeout_s};
}

RunResult ZuvctlTest::Ctl(std::vector<std::string> args) {
  std::vector<std::string> all = Target();
  all.insert(all.end(), args.begin(), args.end());
  return RunProgram(ZUVCTL_BINARY, all);
}

std::vector<std::map<std::string, std::string>> ZuvctlTest::CtlJson(std::vector<std::string> args) {
  args.insert(args.begin(), "--json");
  RunResult r = Ctl(args);
  EXPECT_EQ(r.status, 0) << r.err;
  return JsonLines(r.out);
}

RunResult ZuvctlTest::Admin(std::vector<std::string> args) {
  args.insert(args.begin(), {"--store", service_->StorePath().string()});
  return RunProgram(ZUVADMIN_BINARY, args);
}

std::string ZuvctlTest::Deliver(const std::string& folder, const std::string& subject) {
  const std::filesystem::path file = dir_ / "message.eml";
  std::ofstream(file) << "From: Alice <alice@example.com>\r\nTo: svc-zuv@example.com\r\nSubject: " << subject
                      << "\r\n\r\nHello.\r\n";
  RunResult r = Admin({"deliver", zuv_test::kServiceAlias, "--folder", folder, file.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string id = r.out;
  while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
  return id;
}

void ZuvctlTest::CreateFolder(const std::string& path) {
  RunResult r = Admin({"create-folder", zuv_test::kServiceAlias, path});
  EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace zuvctl_test
