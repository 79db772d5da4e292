// settings.cpp: reading the service settings, ports and log folder.
#include "base/settings.h"

#include <cstdlib>

#include <algorithm>
#include <vector>

#include "base/logging.h"

namespace zuv {

namespace {

const RegistryKey* OpenFirst(const RegistryFile& registry, const char* const (&paths)[2]) {
  const RegistryKey* key = registry.OpenKey(paths[0]);
  return key != nullptr ? key : registry.OpenKey(paths[1]);
}

// A number through a 4-byte buffer; shorter values are zero-extended.
// Returns 0 and sets *value, or 1 leaving it.
uint32_t ReadNumber(const RegistryKey* key, const char* name, uint32_t* value) {
  uint8_t buf[4] = {0, 0, 0, 0};
  uint32_t size = sizeof buf;
  if (QueryValue(key, name, nullptr, buf, &size) != kRegSuccess) return 1;
  *value = buf[0] | (buf[1] << 8) | (buf[2] << 16) | (static_cast<uint32_t>(buf[3]) << 24);
  return 0;
}

// A string through a buffer of buffer_bytes, NUL put after the returned
// length. Returns 0 and sets *value, or 1 leaving it.
uint32_t ReadString(const RegistryKey* key, const char* name, uint32_t buffer_bytes,
                    std::string* value) {
  std::vector<char> buf(buffer_bytes + 1, '\0');
  uint32_t size = buffer_bytes;
  if (QueryValue(key, name, nullptr, buf.data(), &size) != kRegSuccess) return 1;
  buf[size] = '\0';
  value->assign(buf.data());
  return 0;
}

// One string setting with its log lines. A secret's value is not logged.
void ReadSetting(const RegistryKey* key, const char* name, std::string* field,
                 bool secret = false) {
  NLog_TraceA("ZUV", "Getting ZUV Setting %s from the the registry", name);
  std::string value;
  if (ReadString(key, name, kSettingStringBytes, &value) != 0) {
    NLog_InfoA("ZUV", "Error Getting ZUV Setting %s from the the registry", name);
    return;
  }
  NLog_TraceA("ZUV", "Got ZUV Setting %s from the the registry:%s", name,
              secret ? "********" : value.c_str());
  *field = std::move(value);
}

ServicePorts g_ports;  // written at start-up only (LoadPorts), read after
FrontLimits g_limits;  // written at start-up only (LoadFrontLimits), read after

}  // namespace

ServiceSettings::ServiceSettings(const RegistryFile& registry, const std::string& module_dir)
    : ldap_uri_("ldap://localhost") {
  store_path_ = module_dir;
  if (!store_path_.empty() && store_path_.back() != '/') store_path_.push_back('/');
  store_path_ += "data/zuvstore.db";

  NLog_TraceA("ZUV", "Getting ZUV Settings from the the registry Node %s", kServiceNodePaths[0]);
  const RegistryKey* service = registry.OpenKey(kServiceNodePaths[0]);
  if (service == nullptr) {
    NLog_TraceA("ZUV", "Cannot get ZUV Settings from the the registry Node %s",
                kServiceNodePaths[0]);
    NLog_TraceA("ZUV", "Getting ZUV Settings from the the registry Node %s", kServiceNodePaths[1]);
    service = registry.OpenKey(kServiceNodePaths[1]);
    if (service == nullptr) {
      NLog_FatalA("ZUV", "Cannot get ZUV settings from the registry Node %s", kServiceNodePaths[1]);
    }
  }

  // The agent node is tried even without a service node, so a registry with
  // neither gives both fatal lines.
  NLog_TraceA("ZUV", "Getting TovanixAgent Settings from the the registry Node %s",
              kServiceNodePaths[0]);
  const RegistryKey* agent = registry.OpenKey(kServiceNodePaths[0]);
  if (agent == nullptr) {
    NLog_TraceA("ZUV", "Cannot get TovanixAgent Settings from the the registry Node %s",
                kServiceNodePaths[0]);
    NLog_TraceA("ZUV", "Getting TovanixAgent Settings from the the registry Node %s",
                kServiceNodePaths[1]);
    agent = registry.OpenKey(kServiceNodePaths[1]);
    if (agent == nullptr) {
      NLog_FatalA("ZUV", "Cannot get TovanixAgent settings from the registry Node %s",
                  kServiceNodePaths[1]);
    }
  }
  if (service == nullptr || agent == nullptr) return;

  uint32_t separated = 1;
  (void)ReadNumber(service, "IsMAPISeparated", &separated);
  const RegistryKey* profile_node = service;
  if (separated == 0) {
    profile_node = agent;
    own_node_ = 0;
    NLog_InfoA("ZUV", "Getting Profile Settings from the the tovanixAgent registry");
  } else {
    NLog_InfoA("ZUV", "Getting Profile Settings from the the ZUV registry");
  }
  ReadSetting(profile_node, "ExAlias", &ex_alias_);
  ReadSetting(profile_node, "ExServer", &ex_server_);
  ReadSetting(profile_node, "CAS", &cas_);
  ReadSetting(profile_node, "ExProfile", &ex_profile_);

  // Store and directory settings always come from the service node; an empty
  // path or URI would leave the service unusable, so it keeps the default.
  std::string store_path, ldap_uri;
  ReadSetting(service, "StorePath", &store_path);
  ReadSetting(service, "LdapUri", &ldap_uri);
  ReadSetting(service, "LdapBindDN", &ldap_bind_dn_);
  ReadSetting(service, "LdapBindPassword", &ldap_bind_password_, /*secret=*/true);
  if (!store_path.empty()) store_path_ = std::move(store_path);
  if (!ldap_uri.empty()) ldap_uri_ = std::move(ldap_uri);
  uint32_t ms = 0;
  if (ReadNumber(service, "LdapConnectTimeoutMs", &ms) == 0 && ms != 0) ldap_connect_timeout_ms_ = ms;
  ms = 0;
  if (ReadNumber(service, "LdapTimeoutMs", &ms) == 0 && ms != 0) ldap_timeout_ms_ = ms;
}

uint32_t ReadPortSetting(const RegistryFile& registry, const char* name, uint32_t* value) {
  const RegistryKey* service = OpenFirst(registry, kServiceNodePaths);
  if (service == nullptr) return 1;
  return ReadNumber(service, name, value);
}

void LoadPorts(const RegistryFile& registry) {
  ServicePorts ports;
  (void)ReadPortSetting(registry, "ZuvPort1", &ports.zuv_port1);
  (void)ReadPortSetting(registry, "ZuvPort2", &ports.zuv_port2);
  (void)ReadPortSetting(registry, "ZuvPort3", &ports.zuv_port3);
  (void)ReadPortSetting(registry, "ZuvBinPort", &ports.zuv_bin_port);
  g_ports = ports;
}

void LoadFrontLimits(const RegistryFile& registry) {
  FrontLimits limits;
  const RegistryKey* service = OpenFirst(registry, kServiceNodePaths);
  if (service != nullptr) {
    ReadSetting(service, "ListenAddress", &limits.listen_address);
    (void)ReadNumber(service, "MaxConnections", &limits.max_connections);
    (void)ReadNumber(service, "FrameTimeoutSeconds", &limits.frame_timeout_seconds);
    (void)ReadNumber(service, "IdleTimeoutSeconds", &limits.idle_timeout_seconds);
    (void)ReadNumber(service, "MaxUploadMB", &limits.max_upload_mb);
    (void)ReadNumber(service, "MaxRequestMemoryMB", &limits.max_request_memory_mb);
    (void)ReadNumber(service, "PushThreads", &limits.push_threads);
    (void)ReadNumber(service, "PushQueueLimit", &limits.push_queue_limit);
  }
  g_limits = limits;
}

const FrontLimits& Limits() { return g_limits; }

namespace {
MailSettings g_mail;  // written at start-up only (LoadMailSettings), read after
}  // namespace

void LoadMailSettings(const RegistryFile& registry) {
  MailSettings mail;
  const RegistryKey* service = OpenFirst(registry, kServiceNodePaths);
  if (service != nullptr) {
    (void)ReadNumber(service, "DraftIdleMinutes", &mail.draft_idle_minutes);
    ReadSetting(service, "SmtpRelay", &mail.smtp_relay);
    (void)ReadNumber(service, "SmtpRetrySeconds", &mail.smtp_retry_seconds);
    (void)ReadNumber(service, "SmtpMaxAttempts", &mail.smtp_max_attempts);
  }
  if (const char* hook = std::getenv("ZUV_TEST_DRAFT_IDLE_SECONDS"); hook != nullptr) {
    mail.draft_idle_seconds_for_test = static_cast<uint32_t>(std::strtoul(hook, nullptr, 10));
  }
  if (mail.smtp_max_attempts == 0) mail.smtp_max_attempts = 1;
  g_mail = mail;
}

const MailSettings& Mail() { return g_mail; }

void SetMailSettingsForTest(const MailSettings& mail) { g_mail = mail; }

void SetLimitsForTest(const FrontLimits& limits) { g_limits = limits; }

const ServicePorts& Ports() { return g_ports; }

void SetPortsForTest(const ServicePorts& ports) { g_ports = ports; }

std::string ReadLogFolderPath(const RegistryFile& registry) {
  const RegistryKey* vendor = OpenFirst(registry, kVendorNodePaths);
  std::string folder;
  if (vendor == nullptr || ReadString(vendor, "LogFolderPath", kLogFolderBytes, &folder) != 0 ||
      folder.empty()) {
    return "${basedir}/logs";
  }
  std::replace(folder.begin(), folder.end(), '\\', '/');
  return folder;
}

}  // namespace zuv
