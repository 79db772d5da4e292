// main.cpp: entry point of zuv_service.
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "base/logging.h"
#include "host/service_control.h"

int main(int argc, char** argv) {
  int code = zuv::ServiceProcessMain(argc, argv);
  zuv::FlushLogs();
#if defined(__SANITIZE_ADDRESS__)
  __lsan_do_leak_check();
#endif
  // Connection threads are not waited for; ending here skips the static
  // destructors they could still be using.
  std::_Exit(code);
}
