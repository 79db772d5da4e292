// service_run.cpp: start-up, the stop event and shutdown of the service.
//
// DESIGN: ServiceStart runs on the process's main thread. It starts MAPI on
// the configured store, prepares the module directory and logging, reads the
// settings, logs the diagnostics banner and checks the service mailbox
// through the shared session cache; only then does it start the main service
// thread (which owns the listeners) and a sweeper thread for old uploads, and
// wait on the stop event. SIGINT and SIGTERM are blocked in every thread and
// taken by a signal thread, which passes them to the service control handler
// as the stop control (the handler signals the stop event). On stop the
// listeners are woken and joined; connection threads are not waited for and
// end with the process.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "base/logging.h"
#include "base/process.h"
#include "base/registry_file.h"
#include "base/settings.h"
#include "cache/zuv_cache.h"
#include "cache/zuv_outbox.h"
#include "directory/ad_services.h"
#include "front/front.h"
#include "host/diagnostics.h"
#include "host/service_control.h"
#include "host/service_run.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapiexmod.h"

namespace zuv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLogConfigName = "ZUV_NLOG_Config.xml";
constexpr auto kSweepInterval = std::chrono::hours(1);
// Lines below error level are written together at most this long after
// they are logged, unless the registry value LogFlushMilliseconds says
// otherwise (0: every line at once).
constexpr uint32_t kDefaultLogFlushMilliseconds = 1000;
constexpr uint32_t kMaxLogFlushMilliseconds = 60000;


// Creates dir (an existing one is fine) and probes it by creating a file;
// the file is removed afterwards when remove_after is set.
bool ProbeDirectory(const std::string& dir, const char* file, bool remove_after) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::string path = dir + "/" + file;
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  std::fclose(f);
  if (remove_after) std::remove(path.c_str());
  return true;
}

// Blocks the stop signals in the calling thread and every thread started
// after it; the signal thread takes them with sigwait.
void BlockStopSignals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Hands SIGINT and SIGTERM to the control handler as the stop control; ends
// once the service is stopping.
void SignalThread(sigset_t set) {
  int sig = 0;
  while (sigwait(&set, &sig) == 0) {
    if (sig != SIGINT && sig != SIGTERM) continue;
    ServiceControlHandler(kServiceControlStop);
    if (ServiceStopping()) return;
  }
}

// Removes day-old uploads once an hour until the service stops; the start-up
// sweep (ServiceStart) also removes every unfinished one.
void SweeperThread(std::string dir) {
  while (!WaitForStopEvent(kSweepInterval)) {
    int removed = SweepUploadFiles(dir, kUploadMaxAgeSeconds, false);
    if (removed > 0) NLog_InfoA("ZUV", "Removed %d upload files older than one day", removed);
  }
}

// Raises the open-file soft limit to the hard limit: every connection holds a
// descriptor, and the default 1,024 would stop new clients long before
// MaxConnections.
void RaiseOpenFileLimit() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) {
    NLog_ErrorA("ZUV", "Cannot read the open-file limit: %s", std::strerror(errno));
    return;
  }
  if (files.rlim_cur < files.rlim_max) {
    const rlim_t before = files.rlim_cur;
    files.rlim_cur = files.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &files) != 0) {
      NLog_ErrorA("ZUV", "Cannot raise the open-file limit from %llu to %llu: %s",
                  static_cast<unsigned long long>(before),
                  static_cast<unsigned long long>(files.rlim_max), std::strerror(errno));
      files.rlim_cur = before;
    }
  }
  NLog_InfoA("ZUV", "Open-file limit: %llu", static_cast<unsigned long long>(files.rlim_cur));
  const uint32_t max_connections = Limits().max_connections;
  if (files.rlim_cur < static_cast<rlim_t>(max_connections) + 64) {
    NLog_WarnA("ZUV", "The open-file limit %llu is below MaxConnections (%u): new connections may fail with \"Too many open files\"",
               static_cast<unsigned long long>(files.rlim_cur), max_connections);
  }
}

// The StorePath setting, read without logging: the store must be named
// before MAPI starts, and logging is configured only after that. The
// settings object reads the same value again later, with its log lines.
std::string StorePathSetting(const RegistryFile& registry, const std::string& module_dir) {
  const RegistryKey* node = registry.OpenKey(kServiceNodePaths[0]);
  if (node == nullptr) node = registry.OpenKey(kServiceNodePaths[1]);
  char value[kSettingStringBytes + 1] = {};
  uint32_t size = kSettingStringBytes;
  if (node != nullptr && QueryValue(node, "StorePath", nullptr, value, &size) == kRegSuccess && value[0] != '\0') {
    return value;
  }
  return module_dir + "/data/zuvstore.db";
}

// The flush interval of the logs: LogFlushMilliseconds under the service
// node, the default without it, capped so lines never wait long.
uint32_t LogFlushSetting(const RegistryFile& registry) {
  const RegistryKey* node = registry.OpenKey(kServiceNodePaths[0]);
  if (node == nullptr) node = registry.OpenKey(kServiceNodePaths[1]);
  uint8_t buf[4] = {0, 0, 0, 0};
  uint32_t size = sizeof buf;
  if (node == nullptr || QueryValue(node, "LogFlushMilliseconds", nullptr, buf, &size) != kRegSuccess ||
      size != sizeof buf) {
    return kDefaultLogFlushMilliseconds;
  }
  const uint32_t ms = buf[0] | (buf[1] << 8) | (buf[2] << 16) | (static_cast<uint32_t>(buf[3]) << 24);
  return ms > kMaxLogFlushMilliseconds ? kMaxLogFlushMilliseconds : ms;
}

// A crash writes the lines still buffered before the process dies. The
// flush is not async-signal-safe (it takes the sinks' locks), so an alarm
// ends the process should the crashing thread hold one of them; then the
// lines of the last interval are lost. The action the signal had before
// (the default, or a sanitizer's report) runs afterwards.
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction g_previous_actions[sizeof(kFatalSignals) / sizeof(kFatalSignals[0])];
std::atomic<bool> g_crash_flushing{false};

void FatalSignalHandler(int sig, siginfo_t* info, void*) {
  if (!g_crash_flushing.exchange(true)) {
    ::alarm(2);
    NLog_FatalA("ZUV", "Ending on signal %d (%s)", sig, strsignal(sig));
    FlushLogs();
  }
  for (size_t i = 0; i < sizeof(kFatalSignals) / sizeof(kFatalSignals[0]); ++i) {
    if (kFatalSignals[i] == sig) sigaction(sig, &g_previous_actions[i], nullptr);
  }
  // A fault happens again under the previous action once this returns; a
  // sent signal (abort, kill) is sent again.
  if (info == nullptr || info->si_code <= 0) raise(sig);
}

void InstallCrashFlush() {
  for (size_t i = 0; i < sizeof(kFatalSignals) / sizeof(kFatalSignals[0]); ++i) {
    struct sigaction action {};
    action.sa_sigaction = FatalSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigaction(kFatalSignals[i], &action, &g_previous_actions[i]);
  }
}

}  // namespace


void WriteLogConfig(const char* path) {
  WriteLogConfigFile(path, ReadLogFolderPath(ProcessRegistry()));
}

int ServiceStart(int argc) {
  // 1. The stop event is process-wide and always exists. SIGINT and SIGTERM
  // stay pending until the signal thread takes them once running is
  // reported.
  sigset_t stop_signals;
  BlockStopSignals(&stop_signals);
  // 2.
  ReportServiceStatus(ServiceState::kRunning, 0, 0);
  std::thread signal_thread(SignalThread, stop_signals);
  signal_thread.detach();  // ends at the first stop signal or with the process

  // 3. COM has no counterpart here. 4. MAPI, on the store the registry names.
  const std::string& module_dir = ModuleDirectory();
  zuvstore::SetStorePath(StorePathSetting(ProcessRegistry(), module_dir));
  try {
    if (!CMapiExMod::Init(true, true)) {
      FlushLogs();
      std::_Exit(1);
    }
  } catch (...) {
    std::printf("Cannot initialize MAPI\n");
    std::fflush(stdout);
    std::_Exit(1);
  }

  // 5.-8. The module directory, its two probes and logging.
  std::error_code ec;
  fs::current_path(module_dir, ec);  // relative ZUVFiles/ paths resolve here
  bool logs_ok = ProbeDirectory(module_dir + "/logs", "test-log", true);
  bool files_ok = ProbeDirectory(module_dir + "/" + kUploadDir, "test", false);

  std::string config = module_dir + "/" + kLogConfigName;
  if (!fs::exists(config, ec)) WriteLogConfig(config.c_str());
  NLog_ConfigureFromFileA(config.c_str());

  if (!logs_ok) {
    NLog_FatalA("ZUV", "ZUV_Service cannot create log files. Exiting...");
    FlushLogs();
    std::_Exit(1);
  }
  if (!files_ok) {
    NLog_FatalA("ZUV", "ZUV_Service cannot create ZUV Files. Exiting...");
    FlushLogs();
    std::_Exit(1);
  }
  // Buffered log lines from here on; the stop and exit paths flush them.
  SetLogFlushInterval(std::chrono::milliseconds(LogFlushSetting(ProcessRegistry())));
  InstallCrashFlush();

  // 9.-12.
  if (argc != 0) NLog_InfoA("ZUV", "Child process executing....");

  NLog_InfoA("ZUV", "Reading the registry settings for service credential entries..");
  static const ServiceSettings settings(ProcessRegistry(), module_dir);
  ZUV_Cache::SetSettings(&settings);
  std::string directory_error;
  if (ConfigureDirectory(settings, &directory_error) != 0) {
    // Start-up goes on: only the service account's lookup needs the
    // directory here, and its result is only logged.
    NLog_ErrorA("ZUV", "Cannot configure the directory %s: %s", settings.LdapUri().c_str(),
                directory_error.c_str());
  }
  LoadFrontLimits(ProcessRegistry());
  PrintDiagnostics(settings);
  RaiseOpenFileLimit();
  NLog_InfoA("ZUV", "Tovanix ZUV Service starting...");

  // 13. Sockets need no start-up call. 14. The ports; the mailbox-cache
  // registry mutex is a static of ZUV_Cache and needs no creation.
  LoadPorts(ProcessRegistry());

  // 15. Without the service mailbox the service has nothing to serve: no
  // listener starts, and the stopped state and the exit status tell the
  // service manager so.
  if (ZUV_Cache::VerifyServiceProfile() != 0) {
    NLog_ErrorA("ZUV", "Cannot access the service mailbox");
    ReportServiceStatus(ServiceState::kStopped, kServiceFailedExitCode, 0);
    FlushLogs();
    return kServiceFailedExitCode;
  }

  // 16.
  NLog_InfoA("ZUV", "Successfully verified the service profile");
  const std::string upload_dir = module_dir + "/" + kUploadDir;
  const int swept = SweepUploadFiles(upload_dir, kUploadMaxAgeSeconds, true);
  if (swept > 0) {
    NLog_InfoA("ZUV", "Removed %d unfinished or day-old upload files", swept);
  }
  std::thread sweeper(SweeperThread, upload_dir);
  // Relays queued mail and closes idle drafts until the stop below.
  LoadMailSettings(ProcessRegistry());
  ZUV_OutboxWorker outbox(Mail());
  outbox.Start();
  NLog_InfoA("ZUV", "Starting the main ZUV thread ...");
  int main_result = 0;
  std::thread main_thread([&main_result] { main_result = MainServiceThread(); });
  NLog_InfoA("ZUV", "Waiting for termination of ZUV threads ...");
  WaitForStopEvent();

  // 17. Connection threads are not waited for: they end with the process.
  NLog_InfoA("ZUV", "Terminating the ZUV thread ...");
  ShutdownListeners();
  main_thread.join();
  sweeper.join();
  outbox.Stop();
  // Unfinished uploads cannot complete once the service stops.
  (void)SweepUploadFiles(upload_dir, kNeverOld, true);
  // The stop control reports stop pending once more after signalling; the
  // stopped report must come after it.
  WaitForControlHandlers(2000);
  ReportServiceStatus(ServiceState::kStopped, static_cast<uint32_t>(main_result), 0);
  FlushLogs();
  // No port could listen: the stop is a failure the service manager should see.
  return main_result;
}

}  // namespace zuv
