// process.h: process-wide facts of a service run: the module directory and
// the stop event.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace zuv {

// The module directory (ZUV_HOME, else the executable's directory).
const std::string& ModuleDirectory();

// Signals the stop event (from any thread). Once signalled it stays so.
void SignalStopEvent();

// True once the service is shutting down.
bool ServiceStopping();

// Waits for the stop event; true when it was signalled within timeout.
bool WaitForStopEvent(std::chrono::milliseconds timeout);
void WaitForStopEvent();

// Memory check: heap bytes in use now (a checkpoint), and the line
// "MEMORY USAGE of %lu bytes in %s:%d" when the heap grew since checkpoint.
// mallinfo2 is process-wide, so concurrent requests show in each other's
// numbers; only growth is reported (the %lu cannot show a net release).
size_t HeapInUse();
void CheckMemory(size_t checkpoint, const char* tag, int place);

// The per-request form: reading the heap statistics walks every malloc
// arena, so a checkpoint is taken for at most one request per
// kMemoryCheckSpacing across the process; other requests get an empty
// checkpoint and no check. A service with fewer requests than that checks
// every one.
constexpr std::chrono::milliseconds kMemoryCheckSpacing{100};
struct MemoryCheckpoint {
  bool taken = false;
  size_t bytes = 0;
};
MemoryCheckpoint SampledHeapCheckpoint();
void CheckMemory(const MemoryCheckpoint& checkpoint, const char* tag, int place);

}  // namespace zuv
