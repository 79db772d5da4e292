// Black-box tests of start-up, shutdown and service control against the real
// zuv_service binary: the banner, the service mailbox check, the directory
// lookup of the service account, SIGTERM under load, the systemd unit
// installer and the sd_notify reports.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/un.h>
#include <sys/utsname.h>

#include <ctime>
#include <regex>

#include "cache/zuv_cache.h"
#include "mapi/mapitags.h"
#include "mapi_access/mapiobject.h"
#include "service_harness.h"

namespace zuv_test {
namespace {

// Messages of the log: the text after "<date>::<Level>::"; a line without
// that prefix continues the message before it and stands on its own here.
std::vector<std::string> LogMessages(const std::string& log) {
  static const std::regex prefix(R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}::[A-Za-z]+::)");
  std::vector<std::string> out;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch m;
    out.push_back(std::regex_search(line, m, prefix) ? m.suffix().str() : line);
  }
  return out;
}

size_t IndexOf(const std::vector<std::string>& messages, const std::string& text, size_t from = 0) {
  for (size_t i = from; i < messages.size(); ++i) {
    if (messages[i] == text) return i;
  }
  return std::string::npos;
}

std::string Kb7(unsigned long long bytes) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%*lld", 7, static_cast<long long>(bytes / 1024));
  return buf;
}

// The operating-system line as this machine's own files describe it.
std::string ExpectedOperatingSystem() {
  std::string pretty;
  std::istringstream lines(ReadFile("/etc/os-release"));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
    pretty = line.substr(12);
    if (pretty.size() >= 2 && pretty.front() == '"') pretty = pretty.substr(1, pretty.size() - 2);
  }
  utsname uts{};
  ::uname(&uts);
  const std::string machine = uts.machine;
  const bool wide = machine == "x86_64" || machine == "aarch64";
  return pretty + " (build " + uts.release + ")" + (wide ? ", 64-bit" : ", 32-bit");
}

void DeliverToServiceInbox(ServiceProcess* service, int count) {
  std::string err;
  IMAPIFolder* raw = nullptr;
  ASSERT_EQ(service->store()->OpenFolder(kServiceAlias, false, "Inbox", &raw, &err), S_OK) << err;
  MapiPtr<IMAPIFolder> inbox(raw);
  for (int i = 0; i < count; ++i) {
    MapiPtr<IMessage> message;
    ASSERT_EQ(inbox->CreateMessage(nullptr, 0, message.put()), S_OK);
    ASSERT_EQ(message->SaveChanges(0), S_OK);
  }
}

// Runs the binary with arguments and extra environment; the exit status and
// standard output.
struct RunResult {
  int status = -1;
  std::string out;
};
RunResult RunService(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  int pipefd[2];
  if (::pipe(pipefd) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipefd[1], 1);
    ::close(pipefd[0]);
    ::close(pipefd[1]);
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv{const_cast<char*>(ZUV_SERVICE_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(ZUV_SERVICE_BINARY, argv.data());
    ::_exit(127);
  }
  ::close(pipefd[1]);
  RunResult run;
  char buf[4096];
  for (ssize_t n; (n = ::read(pipefd[0], buf, sizeof(buf))) > 0;) run.out.append(buf, static_cast<size_t>(n));
  ::close(pipefd[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// ---- Start-up ----

TEST(ServiceStartupTest, FullStartLogsTheBannerLineByLineThenVerifiesTheMailbox) {
  ServiceProcess service;
  service.SetEnv("USERDOMAIN", "EXAMPLE");
  service.SetEnv("USERNAME", "zuvsvc");
  DeliverToServiceInbox(&service, 2);
  ASSERT_TRUE(service.Start()) << ReadFile(service.home() / "console.out");
  const std::vector<std::string> log = LogMessages(service.Log());

  const std::string exe = fs::canonical(ZUV_SERVICE_BINARY).string();
  struct stat st {};
  ASSERT_EQ(::stat(exe.c_str(), &st), 0);
  char built[64];
  struct tm local {};
  asctime_r(localtime_r(&st.st_mtime, &local), built);
  std::string build_time(built);
  build_time.pop_back();  // asctime's line feed ends the log line early
  char host[256] = {};
  ::gethostname(host, sizeof(host) - 1);
  struct sysinfo si {};
  ::sysinfo(&si);
  struct statvfs vfs {};
  ::statvfs(fs::path(exe).parent_path().c_str(), &vfs);

  const size_t start = IndexOf(log, "******************************");
  ASSERT_NE(start, std::string::npos) << service.Log();
  EXPECT_LT(IndexOf(log, "Reading the registry settings for service credential entries.."), start);
  const std::vector<std::string> fixed_before = {
      "******************************",
      "* Diagnostics: ZUV_Service v. 1.1 (" + build_time,
      ")",
      "* ZUV Protocol Version: 4",
      "* Threaded ZUV: FALSE",
      "* Path: " + exe,
      "* Computer Name=" + std::string(host),
      "* Operating System=" + ExpectedOperatingSystem(),
      " * Total Physical Memory=" + Kb7(static_cast<unsigned long long>(si.totalram) * si.mem_unit) + " KB",
  };
  ASSERT_GT(log.size(), start + 22);
  for (size_t i = 0; i < fixed_before.size(); ++i) EXPECT_EQ(log[start + i], fixed_before[i]) << "line " << i;
  const std::regex kb(R"( *\d+ KB)");
  size_t i = start + fixed_before.size();
  for (const char* label : {" * Total Physical Memory Free=", " * Total Virtual Memory=", " * Total Virtual Memory Free="}) {
    ASSERT_EQ(log[i].rfind(label, 0), 0u) << log[i];
    EXPECT_TRUE(std::regex_match(log[i].substr(std::strlen(label)), kb)) << log[i];
    EXPECT_GE(log[i].size(), std::strlen(label) + 7 + 3) << "width 7";
    ++i;
  }
  EXPECT_EQ(log[i++], " * Total Disk Space =" + Kb7(static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize) + " KB");
  EXPECT_EQ(log[i].rfind(" * Total Free Disk Space=", 0), 0u) << log[i];
  ++i;
  const std::vector<std::string> fixed_after = {
      "* Identity=EXAMPLE\\zuvsvc",
      "* MAPI32=" + exe,
      "* Reading Profile configuration from ZUV registry",
      "* Configured CAS: Not Configured",
      "* Configured Profile: Not Configured",
      "* Configured Service Mailbox: svc-zuv)",
      "* Configured Service MailServer: EXCH1)",
      "* Listen Address: every IPv4 address",
      "* Limits: MaxConnections=4096, FrameTimeoutSeconds=60, IdleTimeoutSeconds=0, MaxUploadMB=256, "
      "MaxRequestMemoryMB=1024",
      "* Pushes: PushThreads=8, PushQueueLimit=10000",
      "******************************",
  };
  for (const std::string& expected : fixed_after) EXPECT_EQ(log[i++], expected);
  // The open-file limit is raised to the hard limit before the service starts.
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  EXPECT_EQ(log[i++], "Open-file limit: " + std::to_string(files.rlim_max));
  EXPECT_EQ(log[i++], "Tovanix ZUV Service starting...");

  // Then the mailbox check, and only then the listeners.
  size_t at = i;
  for (const char* step : {"Verifying service profile ...", "SVCPROFILE:svc-zuv:Message Count for Service account Inbox is 2",
                           "Successfully verified the service profile", "Starting the main ZUV thread ...",
                           "Waiting for termination of ZUV threads ..."}) {
    size_t found = IndexOf(log, step, at);
    EXPECT_NE(found, std::string::npos) << step;
    if (found != std::string::npos) at = found;
  }
  EXPECT_EQ(IndexOf(log, "Child process executing...."), std::string::npos) << "console mode";
  EXPECT_EQ(service.Stop(), 0);
}

TEST(ServiceStartupTest, ConfiguredCasAndProfileShowInTheBannerAndCarryTheLogon) {
  ServiceProcess service;
  std::string err;
  ASSERT_EQ(service.store()->AddServer("cas01", true, &err), S_OK) << err;
  // Read through the agent node, which is the same key.
  service.AddRegistryLines("\"IsMAPISeparated\"=dword:00000000\r\n\"CAS\"=\"cas01\"\r\n\"ExProfile\"=\"Ops\"\r\n");
  ASSERT_TRUE(service.Start()) << service.Log();
  for (const char* line : {"* Reading Profile configuration from tovanixAgent registry", "* Configured CAS: cas01",
                           "* Configured Profile: Ops",
                           "SVCPROFILE:svc-zuv:Using CAS Server cas01 to create service ZUV_Cache",
                           "SVCPROFILE:svc-zuv:Creating dynamic profile tovanixZUV with (cas01, svc-zuv) for service "
                           "ZUV_Cache"}) {
    EXPECT_TRUE(service.LogContains(std::string("::") + line + "\n")) << line;
  }
  EXPECT_EQ(service.Stop(), 0);
}

TEST(ServiceStartupTest, UnwritableFoldersEndTheProcessBeforeTheBanner) {
  for (const char* folder : {"logs", "ZUVFiles"}) {
    ServiceProcess service;
    std::ofstream(service.home() / folder) << "a file where the folder should be";
    ASSERT_TRUE(service.Start(false));
    EXPECT_EQ(service.WaitExit(30), 1) << folder;
    const std::string out = ReadFile(service.home() / "console.out");
    EXPECT_NE(out.find(std::string(folder) == "logs" ? "ZUV_Service cannot create log files. Exiting..."
                                                     : "ZUV_Service cannot create ZUV Files. Exiting..."),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("* Diagnostics"), std::string::npos) << folder;
    EXPECT_EQ(out.find("Verifying service profile"), std::string::npos) << folder;
  }
}

TEST(ServiceStartupTest, SigtermEndsTheProcessWhileConnectionsAreMidRequest) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start());
  std::vector<std::unique_ptr<Conn>> busy;
  for (int i = 0; i < 3; ++i) {
    busy.push_back(std::make_unique<Conn>(service.port(i)));
    ASSERT_TRUE(busy.back()->SendRaw("500{\"ProtocolVersion\":4,\"Request\":"));  // the rest never comes
  }
  busy.push_back(std::make_unique<Conn>(service.bin_port()));
  ASSERT_TRUE(busy.back()->ok());
  ASSERT_TRUE(service.WaitForLog("ZUV Service thread started on port"));
  EXPECT_EQ(service.Stop(), 0);
  EXPECT_TRUE(service.LogContains("::Info::Terminating the ZUV thread ...\n"));
}

TEST(ServiceStartupTest, ServiceAccountIsLookedUpInTheDirectory) {
  const fs::path script = fs::path(__FILE__).parent_path() / "../../scripts/ldap-test-server.sh";
  if (!fs::exists(script) || ::access("/usr/sbin/slapd", X_OK) != 0) GTEST_SKIP() << "no slapd";
  ServiceProcess service;
  const fs::path ldap_dir = service.home() / "ldap";
  const std::string start = "ZUV_LDAP_USERS=0 ZUV_LDAP_OWNER_PID=" + std::to_string(::getpid()) + " '" +
                            script.string() + "' start '" + ldap_dir.string() + "'";
  FILE* p = ::popen(start.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char uri[256] = {};
  const bool got = std::fgets(uri, sizeof(uri), p) != nullptr;
  ASSERT_EQ(::pclose(p), 0);
  ASSERT_TRUE(got);
  uri[std::strcspn(uri, "\n")] = '\0';
  struct Stop {
    std::string cmd;
    ~Stop() { (void)std::system(cmd.c_str()); }
  } stop{"'" + script.string() + "' stop '" + ldap_dir.string() + "'"};

  // Trace lines too, into the file the harness reads.
  std::ofstream(service.home() / "ZUV_NLOG_Config.xml") << R"(<nlog xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <targets><target name="f" xsi:type="File" fileName="${basedir}/logs/ZUV_Service-${machinename}.log"
    layout="${date}::${level}::${message}"/></targets>
  <rules><logger name="*" minlevel="Trace" writeTo="f"/></rules>
</nlog>)";
  service.set_ldap_uri(uri);
  service.AddRegistryLines(
      "\"LdapBindDN\"=\"CN=svc-zuv,CN=Users,DC=example,DC=com\"\r\n\"LdapBindPassword\"=\"svcpw\"\r\n");
  ASSERT_TRUE(service.Start()) << service.Log();
  const std::string legacy_dn = "/o=Example Org/ou=Admin Group (EXAMPLE1)/cn=Recipients/cn=svc-zuv";
  EXPECT_TRUE(service.LogContains("::Trace::Using credentials (svc-zuv,EXCH1) and has using " + legacy_dn + "\n"));
  EXPECT_TRUE(service.LogContains("and stored as " + std::to_string(ZUV_Cache::InstanceKey(legacy_dn)) + "\n"));
  EXPECT_NE(ZUV_Cache::InstanceKey(legacy_dn), 0);
  EXPECT_EQ(service.Stop(), 0);
}

// ---- Service control ----

TEST(ServiceControlTest, InstallTwiceAndUninstallInAPrivateUnitFolder) {
  ServiceProcess paths;  // only for its private folder
  const fs::path units = paths.home() / "units";
  const fs::path unit = units / "tovanixagent-zuv.service";
  const std::vector<std::string> env = {"ZUV_SYSTEMD_DIR=" + units.string(), "ZUV_HOME=" + paths.home().string()};

  RunResult run = RunService({"install"}, env);
  EXPECT_EQ(run.out, "OpenSCManager failed (3)\n") << "no unit folder yet";
  EXPECT_EQ(run.status, 1);
  fs::create_directories(units);

  run = RunService({"Install"}, env);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Service installed successfully\nSkipped 'systemctl daemon-reload': ZUV_SYSTEMD_DIR is set\n");
  const std::string text = ReadFile(unit);
  for (const std::string& line : std::vector<std::string>{"Description=TovanixAgent ZUV", "Type=notify",
                                 "ExecStart=\"" + fs::canonical(ZUV_SERVICE_BINARY).string() + "\"",
                                 "Environment=\"ZUV_HOME=" + paths.home().string() + "\"",
                                 "NoNewPrivileges=yes", "PrivateTmp=yes", "ProtectHome=yes",
                                 "ProtectSystem=full", "LimitNOFILE=65536",
                                 "ReadWritePaths=\"" + paths.home().string() + "\""}) {
    EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << "\n" << text;
  }
  EXPECT_TRUE(fs::exists(paths.home() / "ZUV_NLOG_Config.xml")) << "install writes the logging configuration";

  // The template beside the sources says the same.
  const std::string deployed = ReadFile(fs::path(__FILE__).parent_path() / "../../deploy/tovanixagent-zuv.service");
  for (const char* line : {"Description=TovanixAgent ZUV", "Type=notify", "NotifyAccess=main", "WantedBy=multi-user.target",
                           "NoNewPrivileges=yes", "ProtectSystem=full", "LimitNOFILE=65536"}) {
    EXPECT_NE(deployed.find(std::string("\n") + line + "\n"), std::string::npos) << line;
  }

  run = RunService({"install"}, env);
  EXPECT_EQ(run.out, "CreateService failed (1073)\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(ReadFile(unit), text) << "the unit is left as it was";

  run = RunService({"UNINSTALL"}, env);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Service uninstalled successfully\nSkipped 'systemctl daemon-reload': ZUV_SYSTEMD_DIR is set\n");
  EXPECT_FALSE(fs::exists(unit));
  run = RunService({"uninstall"}, env);
  EXPECT_EQ(run.out, "OpenService failed (1060)\n");
  EXPECT_EQ(run.status, 1);
}

TEST(ServiceControlTest, WithoutSystemdAnArgumentlessStartEndsAtOnce) {
  ServiceProcess paths;
  RunResult run = RunService({}, {"NOTIFY_SOCKET=", "ZUV_HOME=" + paths.home().string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(fs::exists(paths.home() / "logs")) << "the service did not start";
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const fs::path& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~NotifySocket() { ::close(fd_); }
  bool ok() const { return bound_; }
  // The next message, or "" when none comes within 20 s.
  std::string Next() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) return "";
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  fs::path path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(ServiceControlTest, UnderSystemdTheStatesAreReportedThroughNotify) {
  ServiceProcess service;
  NotifySocket notify(service.home() / "notify");
  ASSERT_TRUE(notify.ok());
  service.set_argument(nullptr);
  service.SetEnv("NOTIFY_SOCKET", (service.home() / "notify").string());
  ASSERT_TRUE(service.Start()) << service.Log();
  EXPECT_EQ(notify.Next(), "STATUS=Start pending (check point 1, accepts no controls)\nEXTEND_TIMEOUT_USEC=3000000\n");
  EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=Running (accepts stop)\n");
  EXPECT_TRUE(service.LogContains("::Info::Child process executing....\n"));

  EXPECT_EQ(service.Stop(), 0);
  EXPECT_EQ(notify.Next(), "STOPPING=1\nSTATUS=Stop pending (check point 2)\n");
  EXPECT_EQ(notify.Next(), "STOPPING=1\nSTATUS=Stop pending (check point 3)\n");
  EXPECT_EQ(notify.Next(), "STATUS=Stopped (exit code 0)\n");
  EXPECT_TRUE(service.LogContains("Terminating the ZUV thread ..."));
}

TEST(ServiceControlTest, MissingServiceMailboxStartsNoListenerAndReportsTheFailure) {
  ServiceProcess service;
  service.set_service_mailbox(false);
  NotifySocket notify(service.home() / "notify");
  ASSERT_TRUE(notify.ok());
  service.set_argument(nullptr);
  service.SetEnv("NOTIFY_SOCKET", (service.home() / "notify").string());
  ASSERT_TRUE(service.Start(false));
  EXPECT_EQ(service.WaitExit(30), 1);
  EXPECT_TRUE(service.LogContains("::Error::Cannot access the service mailbox\n")) << service.Log();
  EXPECT_TRUE(service.LogContains("SVCPROFILE:svc-zuv:Cannot get the service ZUV_Cache for profile \n"));
  EXPECT_FALSE(service.LogContains("Starting the main ZUV thread"));
  EXPECT_FALSE(service.LogContains("thread started on port"));
  EXPECT_EQ(notify.Next().rfind("STATUS=Start pending", 0), 0u);
  EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=Running (accepts stop)\n");
  EXPECT_EQ(notify.Next(), "STATUS=Stopped (exit code 1)\n");
}

}  // namespace
}  // namespace zuv_test
