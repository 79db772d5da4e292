// service_run.h: the run of the service from start to stop.
//
// Threads (owner, end):
//   start-up thread - main(); ends when the stop event is signalled.
//   signal thread   - ServiceStart, once running is reported; waits for
//                     SIGINT/SIGTERM and hands it to the service control
//                     handler as the stop control; ends after one.
//   sweeper thread  - ServiceStart; removes old uploads hourly; joined at stop.
//   main service thread - see front.h.
#pragma once

namespace zuv {

// Exit status of a start that found no service mailbox, or of a stop after
// every listener failed.
constexpr int kServiceFailedExitCode = 1;

// The whole run of the service; argc is 0 in console mode. Returns the
// process exit code: 0 after a requested stop, kServiceFailedExitCode when
// the service mailbox cannot be opened (no listener started) or no port
// could listen. Ends the process itself with 1 when MAPI cannot start or
// the logs or ZUVFiles folder is not writable.
int ServiceStart(int argc);

// Writes the logging configuration to path, with the log folder of the
// registry (LogFolderPath of the vendor node). No report when it fails.
void WriteLogConfig(const char* path);

}  // namespace zuv
