// diagnostics.cpp: the start-up banner.
#include "host/diagnostics.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/logging.h"
#include "base/process.h"
#include "base/settings.h"
#include "front/front.h"
#include "host/service_run.h"
#include "mapi_access/mapiexmod.h"

namespace zuv {
namespace {

constexpr size_t kOsDescriptionMax = 255;
constexpr int kKbWidth = 7;
constexpr const char* kStars = "******************************";

std::string ReadWhole(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The value of key in an os-release text: quotes removed and backslash
// escapes resolved; "" when absent.
std::string OsReleaseValue(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
    std::string raw = line.substr(key.size() + 1);
    if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front()) {
      raw = raw.substr(1, raw.size() - 2);
    }
    std::string value;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
      value += raw[i];
    }
    return value;
  }
  return "";
}

bool Is64BitMachine(const char* machine) {
  for (const char* m : {"x86_64", "aarch64", "ppc64", "ppc64le", "s390x", "riscv64", "mips64", "sparc64",
                        "loongarch64", "alpha", "ia64"}) {
    if (std::strcmp(machine, m) == 0) return true;
  }
  return false;
}

std::string ExecutablePath() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

// The executable's build time as asctime gives it (ending in a line feed):
// the modification time the linker left on the file.
std::string BuildTime(const std::string& exe) {
  struct stat st {};
  if (exe.empty() || ::stat(exe.c_str(), &st) != 0) return "unknown\n";
  struct tm local {};
  char text[64];
  if (localtime_r(&st.st_mtime, &local) == nullptr || asctime_r(&local, text) == nullptr) return "unknown\n";
  return text;
}

std::string HostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof(host) - 1) != 0) return "";
  return host;
}

// USERDOMAIN and USERNAME as a Windows service sees them; where they are not
// set, the host name and the effective user stand in, as for a local account.
void Identity(std::string* domain, std::string* user) {
  const char* d = std::getenv("USERDOMAIN");
  const char* u = std::getenv("USERNAME");
  if (d != nullptr) {
    *domain = d;
  } else {
    *domain = HostName();
    domain->erase(std::min(domain->size(), domain->find('.')));
  }
  if (u != nullptr) {
    *user = u;
    return;
  }
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[1024];
  *user = getpwuid_r(geteuid(), &pw, buf, sizeof(buf), &found) == 0 && found != nullptr ? found->pw_name
                                                                                          : std::to_string(geteuid());
}

long long Kb(unsigned long long units, unsigned long long unit_bytes) {
  return static_cast<long long>(units * unit_bytes / 1024);
}

}  // namespace

std::string DescribeOperatingSystem(const std::string& os_release, const struct utsname& uts) {
  std::string name = OsReleaseValue(os_release, "PRETTY_NAME");
  if (name.empty()) {
    name = OsReleaseValue(os_release, "NAME");
    std::string version = OsReleaseValue(os_release, "VERSION");
    if (!name.empty() && !version.empty()) name += " " + version;
  }
  if (name.empty()) name = uts.sysname;
  if (name.empty()) return "";
  std::string text = name;
  if (uts.release[0] != '\0') text += std::string(" (build ") + uts.release + ")";
  if (uts.machine[0] != '\0') text += Is64BitMachine(uts.machine) ? ", 64-bit" : ", 32-bit";
  if (text.size() > kOsDescriptionMax) text.resize(kOsDescriptionMax);
  return text;
}

bool DescribeOperatingSystem(char* out, size_t size) {
  if (out == nullptr || size == 0) return false;
  out[0] = '\0';
  struct utsname uts {};
  if (::uname(&uts) != 0) std::memset(&uts, 0, sizeof(uts));
  std::string os_release = ReadWhole("/etc/os-release");
  if (os_release.empty()) os_release = ReadWhole("/usr/lib/os-release");
  std::string text = DescribeOperatingSystem(os_release, uts);
  if (text.empty()) return false;
  std::snprintf(out, size, "%s", text.c_str());
  return true;
}

void PrintDiagnostics(const ServiceSettings& settings) {
  const std::string exe = ExecutablePath();
  NLog_InfoA("ZUV", "%s", kStars);
  NLog_InfoA("ZUV", "* Diagnostics: ZUV_Service v. %s (%s)", kServiceVersion, BuildTime(exe).c_str());
  NLog_InfoA("ZUV", "* ZUV Protocol Version: %d", kProtocolVersion);
  NLog_InfoA("ZUV", "* Threaded ZUV: %s", "FALSE");
  NLog_InfoA("ZUV", "* Path: %s", exe.c_str());
  NLog_InfoA("ZUV", "* Computer Name=%s", HostName().c_str());
  char os[kOsDescriptionMax + 1];
  DescribeOperatingSystem(os, sizeof(os));
  NLog_InfoA("ZUV", "* Operating System=%s", os);

  // Virtual memory is what the system can commit: memory plus swap.
  struct sysinfo si {};
  if (::sysinfo(&si) != 0) std::memset(&si, 0, sizeof(si));
  NLog_InfoA("ZUV", " * Total Physical Memory=%*lld KB", kKbWidth, Kb(si.totalram, si.mem_unit));
  NLog_InfoA("ZUV", " * Total Physical Memory Free=%*lld KB", kKbWidth, Kb(si.freeram, si.mem_unit));
  NLog_InfoA("ZUV", " * Total Virtual Memory=%*lld KB", kKbWidth,
             Kb(static_cast<unsigned long long>(si.totalram) + si.totalswap, si.mem_unit));
  NLog_InfoA("ZUV", " * Total Virtual Memory Free=%*lld KB", kKbWidth,
             Kb(static_cast<unsigned long long>(si.freeram) + si.freeswap, si.mem_unit));

  // The volume of the executable's directory.
  struct statvfs vfs {};
  std::string dir = exe.empty() ? std::string(".") : std::filesystem::path(exe).parent_path().string();
  if (::statvfs(dir.c_str(), &vfs) != 0) std::memset(&vfs, 0, sizeof(vfs));
  NLog_InfoA("ZUV", " * Total Disk Space =%*lld KB", kKbWidth, Kb(vfs.f_blocks, vfs.f_frsize));
  NLog_InfoA("ZUV", " * Total Free Disk Space=%*lld KB", kKbWidth, Kb(vfs.f_bavail, vfs.f_frsize));

  std::string domain, user;
  Identity(&domain, &user);
  NLog_InfoA("ZUV", "* Identity=%s\\%s", domain.c_str(), user.c_str());
  char mapi_path[4096];
  if (!CMapiExMod::GetMapiDllPath(nullptr, mapi_path, sizeof(mapi_path))) mapi_path[0] = '\0';
  NLog_InfoA("ZUV", "* MAPI32=%s", mapi_path);
  if (settings.OwnNodeFlag() != 0) {
    NLog_InfoA("ZUV", "* Reading Profile configuration from ZUV registry");
  } else {
    NLog_InfoA("ZUV", "* Reading Profile configuration from tovanixAgent registry");
  }
  if (settings.CAS().empty()) {
    NLog_InfoA("ZUV", "* Configured CAS: Not Configured");
  } else {
    NLog_InfoA("ZUV", "* Configured CAS: %s", settings.CAS().c_str());
  }
  if (settings.ExProfile().empty()) {
    NLog_InfoA("ZUV", "* Configured Profile: Not Configured");
  } else {
    NLog_InfoA("ZUV", "* Configured Profile: %s", settings.ExProfile().c_str());
  }
  NLog_InfoA("ZUV", "* Configured Service Mailbox: %s)", settings.ExAlias().c_str());
  NLog_InfoA("ZUV", "* Configured Service MailServer: %s)", settings.ExServer().c_str());
  const FrontLimits& limits = Limits();
  NLog_InfoA("ZUV", "* Listen Address: %s",
             limits.listen_address.empty() ? "every IPv4 address" : limits.listen_address.c_str());
  NLog_InfoA("ZUV",
             "* Limits: MaxConnections=%u, FrameTimeoutSeconds=%u, IdleTimeoutSeconds=%u, "
             "MaxUploadMB=%u, MaxRequestMemoryMB=%u",
             limits.max_connections, limits.frame_timeout_seconds, limits.idle_timeout_seconds,
             limits.max_upload_mb, limits.max_request_memory_mb);
  NLog_InfoA("ZUV", "* Pushes: PushThreads=%u, PushQueueLimit=%u", limits.push_threads, limits.push_queue_limit);
  NLog_InfoA("ZUV", "%s", kStars);
}

}  // namespace zuv
