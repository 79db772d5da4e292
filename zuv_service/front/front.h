// front.h: the network front end: the main service thread with its four
// listeners, the connection loop of the JSON ports, the binary upload
// channel and the request dispatcher.
//
// Threads (owner, end):
//   main service thr. - started by the host; joins the listeners; ends when
//                       all four have ended (set-up failure, or shutdown).
//   listener threads  - MainServiceThread; end on set-up failure or when the
//                       service stops (their sockets are shut down).
//   connection thr.   - a listener; detached; end with their connection or
//                       with the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/wire.h"

namespace zuv {

// ---- Request frames ----

// Result of reading the first segment of a request frame.
struct FrameStart {
  int64_t count = 0;        // announced byte count of the JSON text
  size_t json_offset = 0;   // where the JSON text begins in the segment
  size_t json_bytes = 0;    // how many JSON bytes the segment already holds
};

// Parses the first segment (at most 15 bytes): the decimal count before the
// first '{', and the start of the JSON text. Returns 0, or 1 with *err set
// when the count is missing, not positive, above kMaxRequestBytes, or smaller
// than the JSON bytes already received.
[[nodiscard]] uint32_t ParseFrameStart(const char* data, size_t len, FrameStart* out,
                                       std::string* err);

// ---- Threads ----

// Connection loop of a JSON connection; takes ownership of conn.
int ClientThread(ConnectionContext* conn);

// Loop of a binary upload connection; takes ownership of conn.
int BinaryClientThread(ConnectionContext* conn);

// Listener thread routines. Return 0 when set-up failed or the service stops.
int ServiceListener(uint32_t port);
int BinaryListener(uint32_t port);

// Starts the four listeners and waits for them; when all have ended outside a
// shutdown, logs the fatal line, signals the stop event and returns 1.
// Returns 0 after a requested stop.
int MainServiceThread();

// Wakes every listener blocked in accept() so it can end. Call after the
// stop event is signalled.
void ShutdownListeners();

// ---- Upload files ----

// Directory of upload files, relative to the module directory.
constexpr const char* kUploadDir = "ZUVFiles";

// Upload files older than this are swept at start-up and once an hour.
constexpr int64_t kUploadMaxAgeSeconds = 24 * 60 * 60;

// Removes upload files older than max_age_seconds from dir, and with
// all_partial every unfinished upload (.part) whatever its age. Returns the
// count.
int SweepUploadFiles(const std::string& dir, int64_t max_age_seconds, bool all_partial);

// Age that selects only unfinished uploads: SweepUploadFiles(dir,
// kNeverOld, true) removes the .part files and nothing else.
constexpr int64_t kNeverOld = INT64_MAX;

}  // namespace zuv
