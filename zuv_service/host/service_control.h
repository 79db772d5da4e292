// service_control.h: the process's main routine, the systemd unit installer
// and the service status reported to the service manager.
//
// The executable is its own installer: "install" and "uninstall" manage the
// systemd unit tovanixagent-zuv.service, "run" runs the service in the
// console, and any other argument or none runs it under systemd. The first
// argument matches ignoring case.
//
// Service manager mapping: systemd stands in for the Windows service control
// manager. The status record keeps the Windows fields; each report under
// systemd becomes one sd_notify message (start pending: STATUS= and
// EXTEND_TIMEOUT_USEC= from the wait hint; running: READY=1; stop pending:
// STOPPING=1; stopped: STATUS=). SIGTERM (and SIGINT) is the stop control.
// In the console there is no status handle and reports only update the
// record.
//
// Threading: the status record is guarded by a mutex of its own; reports
// come from the start-up thread and from the signal thread that delivers the
// stop control.
#pragma once

#include <cstdint>
#include <string>

namespace zuv {

inline constexpr const char* kServiceName = "TovanixAgent ZUV";
inline constexpr const char* kUnitName = "tovanixagent-zuv.service";
// Where install writes the unit unless ZUV_SYSTEMD_DIR names another folder.
inline constexpr const char* kSystemdUnitDir = "/etc/systemd/system";

enum class ServiceState { kStartPending, kRunning, kStopPending, kStopped };

inline constexpr uint32_t kServiceWin32OwnProcess = 16;
inline constexpr uint32_t kServiceAcceptStop = 1;
inline constexpr uint32_t kServiceControlStop = 1;

// Windows error codes the installer prints.
inline constexpr int kErrorAccessDenied = 5;
inline constexpr int kErrorPathNotFound = 3;
inline constexpr int kErrorServiceDoesNotExist = 1060;
inline constexpr int kErrorServiceExists = 1073;

// The service status record, one per process.
struct ServiceStatus {
  uint32_t service_type = kServiceWin32OwnProcess;
  ServiceState current_state = ServiceState::kStopped;
  uint32_t controls_accepted = 0;  // kServiceAcceptStop, or 0 while start is pending
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
  uint32_t check_point = 0;  // 0 when running or stopped; else counts pending reports from 1
  uint32_t wait_hint = 0;    // milliseconds
};

// Stores state, exit code and wait hint in the record, sets the accepted
// controls and the check point, and, under systemd, reports the record with
// sd_notify. Any thread.
void ReportServiceStatus(ServiceState state, uint32_t exit_code, uint32_t wait_hint_ms);

// A copy of the status record.
ServiceStatus CurrentServiceStatus();

// The sd_notify message of a status record.
std::string NotifyMessage(const ServiceStatus& status);

// The control handler. Stop, once accepted (the service is running):
// reports stop pending, signals the stop event and reports the state again;
// ServiceStart then reports stopped. Any other control, or a stop while
// start is pending, does nothing. Called on the signal thread.
void ServiceControlHandler(uint32_t control);

// Waits, at most limit_ms, until no control handler is running, so the
// stopped report comes after the handler's own reports.
void WaitForControlHandlers(int limit_ms);

// The service main routine under systemd: takes the status handle, reports
// start pending with a wait hint of 3000 ms and runs ServiceStart. Returns
// ServiceStart's exit code.
int ServiceMain(int argc);

// Write and remove the unit in the unit folder (ZUV_SYSTEMD_DIR, else
// kSystemdUnitDir), printing the outcome on standard output, then reload
// systemd (skipped, with a line saying why, for a private unit folder or
// without systemctl). Install also writes the logging configuration into
// the module directory when it is missing. Return 0, or 1 after a failure.
int InstallService();
int UninstallService();

// The process's main routine; returns the process exit code.
int ServiceProcessMain(int argc, char** argv);

}  // namespace zuv
