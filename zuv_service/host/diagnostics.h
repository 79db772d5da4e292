// diagnostics.h: the diagnostics banner logged at start-up, with the facts
// of the machine the service runs on.
//
// Threading: called once by the start-up thread; reads only process and
// system state.
#pragma once

#include <cstddef>
#include <string>

struct utsname;

namespace zuv {

class ServiceSettings;

inline constexpr const char* kServiceVersion = "1.1";

// Logs the banner at info level to logger "ZUV", line by line: version and
// build time, protocol, path, computer name, operating system, memory and
// disk space in KB, identity, the store library and the configured profile
// settings of settings.
void PrintDiagnostics(const ServiceSettings& settings);

// The operating system as one line of at most 255 characters: the
// PRETTY_NAME of /etc/os-release (else /usr/lib/os-release, else the kernel
// name), " (build <kernel release>)" and ", 64-bit" or ", 32-bit" by the
// machine's architecture. Writes it into out (NUL-terminated, cut to
// size - 1). False when nothing is known about the system (out is "").
bool DescribeOperatingSystem(char* out, size_t size);

// The same from an os-release text and uname facts, for tests.
std::string DescribeOperatingSystem(const std::string& os_release, const struct utsname& uts);

}  // namespace zuv
