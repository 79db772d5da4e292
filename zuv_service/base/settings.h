// settings.h: the service's registry settings and its four port numbers.
//
// All settings live under HKEY_LOCAL_MACHINE in three nodes, each tried at
// two paths, the first that opens winning:
//   service node  SOFTWARE\Wow6432Node\tovanix\tovanixZUV, SOFTWARE\tovanix\tovanixZUV
//   agent node    the same two paths
//   vendor node   SOFTWARE\Wow6432Node\tovanix, SOFTWARE\tovanix (log folder only)
//
// Reading rules, as with RegQueryValueExA into fixed buffers:
//  - A number is read into a 4-byte buffer: any value of at most 4 bytes is
//    taken (zero-extended, little-endian) whatever its type; a longer value
//    (a REG_SZ "20411" is 6 bytes) or a missing one leaves the default.
//  - A string is read into a buffer of 255 bytes (1023 for the log folder),
//    a NUL is put after the returned length and the text runs to the first
//    NUL. A REG_SZ counts its NUL, so the longest string taken has 254
//    characters.
//
// Settings are read once at start-up; nothing is written to the registry.
#pragma once

#include <cstdint>
#include <string>

#include "base/registry_file.h"

namespace zuv {

// Node paths under HKEY_LOCAL_MACHINE, in the order they are tried.
inline constexpr const char* kServiceNodePaths[2] = {"SOFTWARE\\Wow6432Node\\tovanix\\tovanixZUV",
                                                     "SOFTWARE\\tovanix\\tovanixZUV"};
inline constexpr const char* kVendorNodePaths[2] = {"SOFTWARE\\Wow6432Node\\tovanix",
                                                    "SOFTWARE\\tovanix"};

// Buffer sizes of string settings, NUL included.
inline constexpr uint32_t kSettingStringBytes = 255;
inline constexpr uint32_t kLogFolderBytes = 1023;

// The service-account settings and the values this port adds to the service
// node. Immutable after construction; safe to read from any thread.
class ServiceSettings {
 public:
  // Reads the settings from registry, logging each step to logger "ZUV".
  // Never fails: a missing node or value leaves its default.
  //  - ExAlias, ExServer, CAS, ExProfile (default empty): through the service
  //    node, or through the agent node when IsMAPISeparated is 0, which also
  //    clears the own-node flag.
  //  - StorePath (default module_dir + "/data/zuvstore.db"), LdapUri (default
  //    "ldap://localhost"), LdapBindDN, LdapBindPassword (default empty):
  //    always through the service node. An empty StorePath or LdapUri value
  //    keeps the default.
  //  - LdapConnectTimeoutMs (default 3000) and LdapTimeoutMs (default 5000),
  //    dwords through the service node: the bound on opening a directory
  //    connection and on each wait for a directory answer; 0 keeps the
  //    default.
  ServiceSettings(const RegistryFile& registry, const std::string& module_dir);

  // Profile settings; empty when unset.
  const std::string& ExAlias() const { return ex_alias_; }      // service mailbox
  const std::string& ExServer() const { return ex_server_; }    // service mail server
  const std::string& CAS() const { return cas_; }               // client access server
  const std::string& ExProfile() const { return ex_profile_; }  // existing MAPI profile
  // 1 when the profile settings came through the service's own node, 0 when
  // through the agent node.
  int OwnNodeFlag() const { return own_node_; }

  const std::string& StorePath() const { return store_path_; }
  const std::string& LdapUri() const { return ldap_uri_; }
  const std::string& LdapBindDN() const { return ldap_bind_dn_; }
  const std::string& LdapBindPassword() const { return ldap_bind_password_; }
  uint32_t LdapConnectTimeoutMs() const { return ldap_connect_timeout_ms_; }
  uint32_t LdapTimeoutMs() const { return ldap_timeout_ms_; }

 private:
  std::string ex_alias_;
  std::string ex_server_;
  std::string cas_;
  std::string ex_profile_;
  int own_node_ = 1;

  std::string store_path_;
  std::string ldap_uri_;
  std::string ldap_bind_dn_;
  std::string ldap_bind_password_;
  uint32_t ldap_connect_timeout_ms_ = 3000;
  uint32_t ldap_timeout_ms_ = 5000;
};

// Reads the 4-byte value name from the service node into *value.
// Returns 0 when it was read, 1 when the node or value is missing or the
// value is longer than 4 bytes (*value is then unchanged).
[[nodiscard]] uint32_t ReadPortSetting(const RegistryFile& registry, const char* name,
                                       uint32_t* value);

// The four port settings. The low 16 bits of each are the TCP port.
struct ServicePorts {
  uint32_t zuv_port1 = 20400;     // JSON request port
  uint32_t zuv_port2 = 20410;     // JSON request port
  uint32_t zuv_port3 = 20420;     // JSON request port
  uint32_t zuv_bin_port = 20430;  // binary upload port
};

inline uint16_t TcpPort(uint32_t setting) { return static_cast<uint16_t>(setting & 0xFFFF); }

// Sets the process ports to the defaults, each replaced by ZuvPort1, ZuvPort2,
// ZuvPort3 or ZuvBinPort where ReadPortSetting reads it.
// The mailbox-cache registry mutex is a static of zuv_cache.cpp and needs no
// creating here.
// REQUIRES: called at start-up before any thread reads Ports().
void LoadPorts(const RegistryFile& registry);

// The process ports: the defaults until LoadPorts runs.
const ServicePorts& Ports();

// Replaces the process ports. Same requirement as LoadPorts.
void SetPortsForTest(const ServicePorts& ports);

// Limits of the network front end, from the service node (dwords unless
// said otherwise; same reading rules as the ports).
struct FrontLimits {
  std::string listen_address;             // ListenAddress (string); "" = every IPv4 address
  uint32_t max_connections = 4096;        // MaxConnections: open JSON and binary connections
  uint32_t frame_timeout_seconds = 60;    // FrameTimeoutSeconds: rest of a started frame or upload
  uint32_t idle_timeout_seconds = 0;      // IdleTimeoutSeconds: wait for the next request; 0 = never
  uint32_t max_upload_mb = 256;           // MaxUploadMB
  uint32_t max_request_memory_mb = 1024;  // MaxRequestMemoryMB: requests received and in process
  uint32_t push_threads = 8;              // PushThreads: threads sending pushed row changes
  uint32_t push_queue_limit = 10000;      // PushQueueLimit: pushes queued per listener; the oldest go
};

// Reads the front-end limits; a missing value keeps its default.
// REQUIRES: called at start-up before any thread reads Limits().
void LoadFrontLimits(const RegistryFile& registry);

// The process limits: the defaults until LoadFrontLimits runs.
const FrontLimits& Limits();

// Replaces the process limits. Same requirement as LoadFrontLimits.
void SetLimitsForTest(const FrontLimits& limits);

// Settings of composed messages and their sending, from the service node
// (same reading rules as the ports).
struct MailSettings {
  uint32_t draft_idle_minutes = 60;  // DraftIdleMinutes: an untouched draft is closed after this; 0 = never
  std::string smtp_relay;            // SmtpRelay (string) "host:port"; "" = no relay
  uint32_t smtp_retry_seconds = 60;  // SmtpRetrySeconds: first wait after a temporary failure; doubles
  uint32_t smtp_max_attempts = 10;   // SmtpMaxAttempts: attempts before the sender gets a report
  // Test hook: when non-zero, drafts close after this many seconds instead
  // (environment ZUV_TEST_DRAFT_IDLE_SECONDS, never the registry).
  uint32_t draft_idle_seconds_for_test = 0;
};

// Reads the mail settings; a missing value keeps its default.
// REQUIRES: called at start-up before any thread reads Mail().
void LoadMailSettings(const RegistryFile& registry);
// The process mail settings: the defaults until LoadMailSettings runs.
const MailSettings& Mail();
// Replaces the process mail settings. Same requirement as LoadMailSettings.
void SetMailSettingsForTest(const MailSettings& mail);

// The log folder: LogFolderPath (at most 1023 bytes with its NUL) from the
// vendor node, every '\' turned into '/'; "${basedir}/logs" when the node or
// value is missing, too long or empty.
std::string ReadLogFolderPath(const RegistryFile& registry);

}  // namespace zuv
