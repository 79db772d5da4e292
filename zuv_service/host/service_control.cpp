// service_control.cpp: command-line dispatch, the systemd unit installer and
// status reporting through sd_notify.
#include "host/service_control.h"

#include <fcntl.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "base/process.h"
#include "base/thread_annotations.h"
#include "front/front.h"
#include "host/service_run.h"

extern char** environ;

namespace zuv {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kStartWaitHintMs = 3000;
constexpr const char* kLogConfigName = "ZUV_NLOG_Config.xml";

// The status record and the handle that reports it. Never destroyed:
// detached threads may still report while the process exits.
struct StatusState {
  Mutex mu;
  ServiceStatus status ZUV_GUARDED_BY(mu);
  uint32_t check_point ZUV_GUARDED_BY(mu) = 1;  // the next pending report's
  bool has_handle ZUV_GUARDED_BY(mu) = false;   // set by ServiceMain under systemd
};
StatusState& Status() {
  static StatusState* state = new StatusState;
  return *state;
}

// errno as the Windows error code the service manager would give.
int WindowsError(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case ENOENT:
    case ENOTDIR:
      return kErrorPathNotFound;
    case EEXIST:
      return kErrorServiceExists;
    default:
      return err;
  }
}

// The executable's full path, or "" with *error set.
std::string ExecutablePath(int* error) {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) {
    *error = WindowsError(errno);
    return "";
  }
  return std::string(path, static_cast<size_t>(n));
}

bool PrivateUnitDir() {
  const char* dir = std::getenv("ZUV_SYSTEMD_DIR");
  return dir != nullptr && *dir != '\0';
}

std::string UnitDir() { return PrivateUnitDir() ? std::getenv("ZUV_SYSTEMD_DIR") : kSystemdUnitDir; }

// "Opening the service manager": the unit folder must be a folder we may
// write. 0, or the Windows error code.
int OpenUnitDir(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return WindowsError(errno);
  if (!S_ISDIR(st.st_mode)) return kErrorPathNotFound;
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return WindowsError(errno);
  return 0;
}

// A unit-file value in double quotes: '\' and '"' escaped, '%' doubled so
// systemd reads no specifier.
std::string Quoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "\"";
}

// The unit: demand start (installed, not enabled), the executable without
// arguments, readiness through sd_notify, and the module directory and
// registry of the installing environment.
std::string UnitText(const std::string& exe) {
  std::string text =
      "# Written by 'zuv_service install'; 'zuv_service uninstall' removes it.\n"
      "# Started on demand: systemctl start tovanixagent-zuv\n"
      "[Unit]\n"
      "Description=TovanixAgent ZUV\n"
      "Wants=network-online.target\n"
      "After=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "NotifyAccess=main\n"
      "ExecStart=" + Quoted(exe) + "\n";
  for (const char* name : {"ZUV_HOME", "TOVANIX_REGISTRY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') text += "Environment=" + Quoted(std::string(name) + "=" + value) + "\n";
  }
  // Hardening: no privilege gain, a private /tmp, no home folders, /usr,
  // /boot and /etc read-only; the module directory (logs, uploads, store)
  // stays writable. Every connection takes a descriptor.
  text +=
      "NoNewPrivileges=yes\n"
      "PrivateTmp=yes\n"
      "ProtectHome=yes\n"
      "ProtectSystem=full\n"
      "ReadWritePaths=" + Quoted(ModuleDirectory()) + "\n"
      "LimitNOFILE=65536\n";
  text +=
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";
  return text;
}

// systemctl daemon-reload for the system unit folder; a private folder or a
// machine without systemctl skips it and says so.
void ReloadSystemd() {
  if (PrivateUnitDir()) {
    std::printf("Skipped 'systemctl daemon-reload': ZUV_SYSTEMD_DIR is set\n");
    return;
  }
  std::fflush(stdout);
  char* args[] = {const_cast<char*>("systemctl"), const_cast<char*>("daemon-reload"), nullptr};
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, "systemctl", nullptr, nullptr, args, environ);
  if (rc != 0) {
    std::printf("Skipped 'systemctl daemon-reload': systemctl cannot be run (%d)\n", rc);
    return;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("'systemctl daemon-reload' failed (status %d); run it once systemd is up\n",
                WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
}

// Started without an argument outside systemd: there is no service manager
// to talk to, so the start is recorded in syslog and the process ends.
int NoServiceManager(const char* program) {
  openlog(kServiceName, LOG_PID, LOG_DAEMON);
  syslog(LOG_ERR, "%s was started without systemd; start it with 'systemctl start %s' or run it with '%s run'",
         kServiceName, kUnitName, program);
  closelog();
  std::fprintf(stderr, "%s: not started by systemd (NOTIFY_SOCKET is not set); use '%s run' in a console\n",
               kServiceName, program);
  return 1;
}

}  // namespace

// ---- Status ----

std::string NotifyMessage(const ServiceStatus& status) {
  const char* controls = status.controls_accepted & kServiceAcceptStop ? "accepts stop" : "accepts no controls";
  const std::string timeout =
      status.wait_hint > 0 ? "EXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{status.wait_hint} * 1000) + "\n" : "";
  const std::string point = std::to_string(status.check_point);
  switch (status.current_state) {
    case ServiceState::kStartPending:
      return "STATUS=Start pending (check point " + point + ", " + controls + ")\n" + timeout;
    case ServiceState::kRunning:
      return std::string("READY=1\nSTATUS=Running (") + controls + ")\n";
    case ServiceState::kStopPending:
      return "STOPPING=1\nSTATUS=Stop pending (check point " + point + ")\n" + timeout;
    case ServiceState::kStopped:
      return "STATUS=Stopped (exit code " + std::to_string(status.win32_exit_code) + ")\n";
  }
  return "";
}

void ReportServiceStatus(ServiceState state, uint32_t exit_code, uint32_t wait_hint_ms) {
  StatusState& s = Status();
  std::string message;
  {
    MutexLock lock(s.mu);
    s.status.current_state = state;
    s.status.win32_exit_code = exit_code;
    s.status.wait_hint = wait_hint_ms;
    s.status.controls_accepted = state == ServiceState::kStartPending ? 0 : kServiceAcceptStop;
    if (state == ServiceState::kRunning || state == ServiceState::kStopped) {
      s.status.check_point = 0;
    } else {
      s.status.check_point = s.check_point++;
    }
    if (!s.has_handle) return;
    message = NotifyMessage(s.status);
  }
  (void)sd_notify(0, message.c_str());
}

ServiceStatus CurrentServiceStatus() {
  StatusState& s = Status();
  MutexLock lock(s.mu);
  return s.status;
}

namespace {

// Control handlers in progress.
Mutex g_handlers_mu;
CondVar g_handlers_cv;
int g_handlers_running ZUV_GUARDED_BY(g_handlers_mu) = 0;

// Counts a running handler for WaitForControlHandlers.
class HandlerScope {
 public:
  HandlerScope() {
    MutexLock lock(g_handlers_mu);
    ++g_handlers_running;
  }
  ~HandlerScope() {
    {
      MutexLock lock(g_handlers_mu);
      --g_handlers_running;
    }
    g_handlers_cv.NotifyAll();
  }
};

}  // namespace

void WaitForControlHandlers(int limit_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  MutexLock lock(g_handlers_mu);
  while (g_handlers_running != 0) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return;
    g_handlers_cv.WaitFor(g_handlers_mu, deadline - now);
  }
}

void ServiceControlHandler(uint32_t control) {
  if (control != kServiceControlStop) return;
  HandlerScope scope;
  ServiceStatus now = CurrentServiceStatus();
  if ((now.controls_accepted & kServiceAcceptStop) == 0) return;
  ReportServiceStatus(ServiceState::kStopPending, 0, 0);
  SignalStopEvent();
  now = CurrentServiceStatus();
  ReportServiceStatus(now.current_state, now.win32_exit_code, now.wait_hint);
}

// ---- Service mode ----

int ServiceMain(int argc) {
  // The control handler is reached through the signal thread ServiceStart
  // starts; taking the status handle is all registration means here.
  {
    StatusState& s = Status();
    MutexLock lock(s.mu);
    s.has_handle = true;
    s.status.service_type = kServiceWin32OwnProcess;
    s.status.service_specific_exit_code = 0;
  }
  ReportServiceStatus(ServiceState::kStartPending, 0, kStartWaitHintMs);
  return ServiceStart(argc);
}

// ---- Installer ----

namespace {

// The first two steps of both: the executable's path and the unit folder.
// False after printing the failure; else *exe and *unit (the unit's path).
bool OpenServiceManager(std::string* exe, std::string* unit) {
  int error = 0;
  *exe = ExecutablePath(&error);
  if (exe->empty()) {
    std::printf("Cannot install service (%d)\n", error);  // the same text for uninstall
    return false;
  }
  const std::string dir = UnitDir();
  if ((error = OpenUnitDir(dir)) != 0) {
    std::printf("OpenSCManager failed (%d)\n", error);
    return false;
  }
  *unit = dir + "/" + kUnitName;
  return true;
}

}  // namespace

int InstallService() {
  std::string exe, path;
  if (!OpenServiceManager(&exe, &path)) return 1;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::printf("CreateService failed (%d)\n", WindowsError(errno));
    return 1;
  }
  const std::string text = UnitText(exe);
  bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int error = errno;
  written = ::close(fd) == 0 && written;
  if (!written) {
    ::unlink(path.c_str());  // nothing half-written stays behind
    std::printf("CreateService failed (%d)\n", WindowsError(error));
    return 1;
  }
  std::printf("Service installed successfully\n");
  std::error_code ec;
  const std::string config = ModuleDirectory() + "/" + kLogConfigName;
  if (!fs::exists(config, ec)) WriteLogConfig(config.c_str());
  ReloadSystemd();
  return 0;
}

int UninstallService() {
  std::string exe, path;
  if (!OpenServiceManager(&exe, &path)) return 1;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    std::printf("OpenService failed (%d)\n", errno == ENOENT ? kErrorServiceDoesNotExist : WindowsError(errno));
    return 1;
  }
  (void)::unlink(path.c_str());  // like DeleteService, the result is not examined
  std::printf("Service uninstalled successfully\n");
  ReloadSystemd();
  return 0;
}

// ---- Main routine ----

namespace {

int Dispatch(int argc, char** argv) {
  const char* command = argc > 1 ? argv[1] : "";
  if (strcasecmp(command, "install") == 0) return InstallService();
  if (strcasecmp(command, "uninstall") == 0) return UninstallService();
  if (strcasecmp(command, "run") == 0) return ServiceStart(0);
  if (strcasecmp(command, "--help") == 0 || strcasecmp(command, "-h") == 0 ||
      strcasecmp(command, "help") == 0) {
    std::printf(
        "Usage: %s [run|install|uninstall]\n"
        "  run        run the service in this console (SIGINT or SIGTERM stop it)\n"
        "  install    write the systemd unit %s (started on demand, not enabled)\n"
        "  uninstall  remove the systemd unit\n"
        "  (none)     run under systemd (Type=notify)\n"
        "Environment: ZUV_HOME (module directory), TOVANIX_REGISTRY (registry file),\n"
        "             ZUV_SYSTEMD_DIR (unit folder for install and uninstall)\n",
        argv[0], kUnitName);
    return 0;
  }
  const char* notify_socket = std::getenv("NOTIFY_SOCKET");
  if (notify_socket == nullptr || *notify_socket == '\0') return NoServiceManager(argv[0]);
  // Like a service's own arguments, the service sees just its name.
  return ServiceMain(1);
}

}  // namespace

int ServiceProcessMain(int argc, char** argv) {
  int code = Dispatch(argc, argv);
  std::fflush(stdout);  // the process ends without running exit handlers
  return code;
}

}  // namespace zuv
