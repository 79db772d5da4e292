// process.cpp: the module directory, the stop event and the memory check.
#include "base/process.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "base/logging.h"
#include "base/thread_annotations.h"

namespace zuv {
namespace {

namespace fs = std::filesystem;

// The stop event: manual reset, initially not signalled.
class StopEvent {
 public:
  void Signal() ZUV_LOCKS_EXCLUDED(mu_) {
    {
      MutexLock lock(mu_);
      signalled_ = true;
    }
    cv_.NotifyAll();
  }
  void Wait() ZUV_LOCKS_EXCLUDED(mu_) {
    MutexLock lock(mu_);
    while (!signalled_) cv_.Wait(mu_);
  }
  // Returns true when signalled within timeout.
  bool WaitFor(std::chrono::milliseconds timeout) ZUV_LOCKS_EXCLUDED(mu_) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    MutexLock lock(mu_);
    while (!signalled_) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return false;
      cv_.WaitFor(mu_, deadline - now);
    }
    return true;
  }

 private:
  Mutex mu_;
  CondVar cv_;
  bool signalled_ ZUV_GUARDED_BY(mu_) = false;
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

namespace {
// Steady-clock nanoseconds from which the next sampled checkpoint may be taken.
std::atomic<int64_t> g_next_sampled_check{0};
}  // namespace

MemoryCheckpoint SampledHeapCheckpoint() {
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  int64_t next = g_next_sampled_check.load(std::memory_order_relaxed);
  if (now < next) return {};
  const int64_t spacing =
      std::chrono::duration_cast<std::chrono::nanoseconds>(kMemoryCheckSpacing).count();
  if (!g_next_sampled_check.compare_exchange_strong(next, now + spacing,
                                                    std::memory_order_relaxed)) {
    return {};  // another request took this slot
  }
  return {true, HeapInUse()};
}

void CheckMemory(const MemoryCheckpoint& checkpoint, const char* tag, int place) {
  if (checkpoint.taken) CheckMemory(checkpoint.bytes, tag, place);
}

void CheckMemory(size_t checkpoint, const char* tag, int place) {
  const size_t now = HeapInUse();
  if (now > checkpoint) {
    NLog_InfoA("ZUV", "MEMORY USAGE of %lu bytes in %s:%d\n",
               static_cast<unsigned long>(now - checkpoint), tag, place);
  }
}

}  // namespace zuv
