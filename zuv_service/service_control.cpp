// service_control.cpp: command-line dispatch of the executable.
#include "service_control.h"

#include <strings.h>
#include <syslog.h>

#include <cstdio>

#include "zuv_services.h"

namespace zuv {
namespace {

constexpr const char* kServiceName = "TovanixAgent ZUV";

}  // namespace

void ReportServiceStatus(ServiceState state, uint32_t exit_code, uint32_t wait_hint_ms) {
  // Console mode has no status handle. Reporting to systemd comes with the
  // service mode below.
  (void)state;
  (void)exit_code;
  (void)wait_hint_ms;
}

int ServiceProcessMain(int argc, char** argv) {
  const char* command = argc > 1 ? argv[1] : "";
  if (strcasecmp(command, "run") == 0) return ServiceStart(0, argv);
  if (strcasecmp(command, "install") == 0 || strcasecmp(command, "uninstall") == 0) {
    std::fprintf(stderr, "%s: '%s' is not available in this build yet; use '%s run'\n",
                 kServiceName, command, argv[0]);
    return 2;
  }
  if (strcasecmp(command, "--help") == 0 || strcasecmp(command, "-h") == 0 ||
      strcasecmp(command, "help") == 0) {
    std::printf(
        "Usage: %s [run|install|uninstall]\n"
        "  run        run the service in this console (SIGINT or SIGTERM stop it)\n"
        "  install    write the systemd unit tovanixagent-zuv.service\n"
        "  uninstall  remove the systemd unit\n"
        "  (none)     run under systemd\n"
        "Environment: ZUV_HOME (module directory), TOVANIX_REGISTRY (registry file)\n",
        argv[0]);
    return 0;
  }
  // Without an argument the service runs under systemd; that mode is not
  // built yet, so a start by hand records why it ended, like a failed
  // service-dispatcher start.
  openlog(kServiceName, LOG_PID, LOG_DAEMON);
  syslog(LOG_ERR, "%s must be started with 'run' (the systemd service mode is not available yet)",
         kServiceName);
  closelog();
  std::fprintf(stderr, "%s: the systemd service mode is not available yet; use '%s run'\n",
               kServiceName, argv[0]);
  return 2;
}

}  // namespace zuv
