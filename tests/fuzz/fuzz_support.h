// fuzz_support.h: set-up shared by the fuzz targets.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/logging.h"

namespace zuv::fuzz {

// Turns every logger off (a configuration without rules), so a run is not
// slowed by log lines. ZUV_FUZZ_LOG=1 keeps the default: stderr from info up.
inline void QuietLogs() {
  const char* keep = std::getenv("ZUV_FUZZ_LOG");
  if (keep != nullptr && *keep != '\0' && *keep != '0') return;
  char path[] = "/tmp/zuv_fuzz_nlog_XXXXXX";
  int fd = ::mkstemp(path);
  if (fd < 0) return;
  static const char kConfig[] = "<nlog><targets/><rules/></nlog>\n";
  bool written = ::write(fd, kConfig, sizeof kConfig - 1) == static_cast<ssize_t>(sizeof kConfig - 1);
  ::close(fd);
  std::string err;
  if (written && ConfigureLoggingFromFile(path, "/tmp", &err) != 0) {
    std::fprintf(stderr, "fuzz: logging stays on: %s\n", err.c_str());
  }
  ::unlink(path);
}

// Stops the run with a message; libFuzzer records the input as a crash.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz: check failed: %s\n", what);
  std::abort();
}

}  // namespace zuv::fuzz

#define ZUV_FUZZ_CHECK(cond) \
  do {                       \
    if (!(cond)) ::zuv::fuzz::Fail(#cond); \
  } while (0)
