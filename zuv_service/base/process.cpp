// process.cpp: the module directory, the stop event and the memory check.
#include "base/process.h"

#include <malloc.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "base/logging.h"
#include "base/thread_annotations.h"

namespace zuv {
namespace {

namespace fs = std::filesystem;

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

bool WaitForStopEvent(std::chrono::milliseconds timeout) { return g_stop_event.WaitFor(timeout); }

void WaitForStopEvent() { g_stop_event.Wait(); }

size_t HeapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void CheckMemory(size_t checkpoint, const char* tag, int place) {
  const size_t now = HeapInUse();
  if (now > checkpoint) {
    NLog_InfoA("ZUV", "MEMORY USAGE of %lu bytes in %s:%d\n",
               static_cast<unsigned long>(now - checkpoint), tag, place);
  }
}

}  // namespace zuv
