// zuv_services.cpp: start-up, the stop event and shutdown of the service.
//
// DESIGN: ServiceStart runs on the process's main thread. It prepares the
// module directory and logging, reads the settings, starts the main service
// thread (which owns the listeners) and a sweeper thread for old uploads, then
// waits on the stop event. SIGINT and SIGTERM are blocked in every thread and
// taken by a signal thread, which signals the stop event. On stop the
// listeners are woken and joined; connection threads are not waited for and
// end with the process.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "logging.h"
#include "registry_file.h"
#include "service_control.h"
#include "settings.h"
#include "zuv_services.h"
#include "zuv_services_internal.h"

namespace zuv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLogConfigName = "ZUV_NLOG_Config.xml";
constexpr auto kSweepInterval = std::chrono::hours(1);

// The stop event: manual reset, initially not signalled.
class StopEvent {
 public:
  void Signal() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      signalled_ = true;
    }
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return signalled_; });
  }
  // Returns true when signalled within timeout.
  template <class Duration>
  bool WaitFor(Duration timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [this] { return signalled_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_ = false;  // guarded by mu_
};

// Never destroyed: detached connection threads may still run while the
// process exits.
StopEvent& g_stop_event = *new StopEvent;
std::atomic<bool> g_stopping{false};

std::string ComputeModuleDirectory() {
  const char* home = std::getenv("ZUV_HOME");
  if (home != nullptr && *home != '\0') {
    std::error_code ec;
    fs::path p = fs::absolute(home, ec);
    return ec ? std::string(home) : p.lexically_normal().string();
  }
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::current_path(ec).string();
  return exe.parent_path().string();
}

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

void SignalThread(sigset_t set) {
  int sig = 0;
  while (sigwait(&set, &sig) == 0) {
    if (sig == SIGINT || sig == SIGTERM) {
      SignalStopEvent();
      return;
    }
  }
}

// Removes day-old uploads at start and once an hour until the service stops.
void SweeperThread(std::string dir) {
  do {
    int removed = SweepUploadFiles(dir, kUploadMaxAgeSeconds);
    if (removed > 0) NLog_InfoA("ZUV", "Removed %d upload files older than one day", removed);
  } while (!g_stop_event.WaitFor(kSweepInterval));
}

}  // namespace

const std::string& ModuleDirectory() {
  static const std::string dir = ComputeModuleDirectory();
  return dir;
}

void SignalStopEvent() {
  g_stopping.store(true);
  g_stop_event.Signal();
}

bool ServiceStopping() { return g_stopping.load(std::memory_order_relaxed); }

void WriteLogConfig(const char* path) {
  WriteLogConfigFile(path, ReadLogFolderPath(ProcessRegistry()));
}

int ServiceStart(int argc, char** argv) {
  sigset_t stop_signals;
  BlockStopSignals(&stop_signals);
  std::thread signal_thread(SignalThread, stop_signals);
  signal_thread.detach();  // ends at the first stop signal or with the process

  ReportServiceStatus(ServiceState::kRunning, 0, 0);
  // TODO: MAPI initialisation (multithreaded notifications, service mode)
  // slots in here with the session module; until then nothing opens a store.

  const std::string& module_dir = ModuleDirectory();
  std::error_code ec;
  fs::current_path(module_dir, ec);  // relative ZUVFiles/ paths resolve here
  bool logs_ok = ProbeDirectory(module_dir + "/logs", "test-log", true);
  bool files_ok = ProbeDirectory(module_dir + "/" + kUploadDir, "test", false);

  std::string config = module_dir + "/" + kLogConfigName;
  if (!fs::exists(config, ec)) WriteLogConfig(config.c_str());
  NLog_ConfigureFromFileA(config.c_str());
  NLog_InitLocal();

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
  if (argc != 0) NLog_InfoA("ZUV", "Child process executing....");

  NLog_InfoA("ZUV", "Reading the registry settings for service credential entries..");
  static ServiceSettings settings(ProcessRegistry(), module_dir);
  (void)settings;
  // TODO: the diagnostics banner comes here.
  NLog_InfoA("ZUV", "Tovanix ZUV Service starting...");
  LoadPorts(ProcessRegistry());
  // TODO: the service-profile verification on the service mailbox comes here;
  // the service starts its listeners without it until the store exists.

  std::thread sweeper(SweeperThread, module_dir + "/" + kUploadDir);
  NLog_InfoA("ZUV", "Starting the main ZUV thread ...");
  int main_result = 0;
  std::thread main_thread([&main_result] { main_result = MainServiceThread(); });
  NLog_InfoA("ZUV", "Waiting for termination of ZUV threads ...");
  g_stop_event.Wait();

  NLog_InfoA("ZUV", "Terminating the ZUV thread ...");
  g_stopping.store(true);
  ShutdownListeners();
  main_thread.join();
  sweeper.join();
  ReportServiceStatus(ServiceState::kStopped, 0, 0);
  FlushLogs();
  // No port could listen: the stop is a failure the service manager should see.
  return main_result;
}

}  // namespace zuv
