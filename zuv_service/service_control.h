// service_control.h: the process's main routine and status reporting.
//
// The executable is its own installer: "install" and "uninstall" manage the
// systemd unit, "run" runs the service in the console, and without an
// argument it runs under systemd. The first argument matches ignoring case.
#pragma once

#include <cstdint>

namespace zuv {

enum class ServiceState { kStartPending, kRunning, kStopPending, kStopped };

// Reports a service state to the service manager; no effect in console mode.
void ReportServiceStatus(ServiceState state, uint32_t exit_code, uint32_t wait_hint_ms);

// The process's main routine; returns the process exit code.
int ServiceProcessMain(int argc, char** argv);

}  // namespace zuv
