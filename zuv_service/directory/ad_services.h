// ad_services.h: directory services over LDAP: the query engine (ADQuery and
// the multi-row loop) and the lookups built on it: users by e-mail address or
// common name, one attribute of a known object, the server of a mailbox
// database (cached), the enabled mailbox users and the mail servers.
//
// Every lookup reads the root DSE's defaultNamingContext or
// configurationNamingContext, runs a subtree search with the lookup's filter
// and attribute list, and copies the first value of each attribute of each
// row. Values are UTF-8; a missing attribute reads "". Where an entry stores
// no "name" or "distinguishedName", its RDN value and its DN stand in.
//
// Result codes: 0 success; S_ADS_NOMORE_ROWS (positive) when a search matched
// nothing; failures are negative (see ADResultFromLdap). Each failure is
// logged with its lookup's line before it is returned.
//
// Connections: lookups take a bound connection from a process-wide pool and
// give it back afterwards, so concurrent lookups run on separate sockets.
// A connection that failed, timed out or was closed by the server is dropped;
// the next lookup connects afresh. Every call is bounded by the connect and
// operation time-outs of ConfigureDirectory.
//
// Threading: every function here may be called from any thread at any time.
// The one shared state beyond the pool is the mailbox-database server cache
// (guarded by its own mutex).
// REQUIRES: SIGPIPE is ignored in the process (libldap writes to sockets the
// server may have closed); the service does so at start.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zuv {

class ServiceSettings;

// The end-of-rows result of a search; a success code, not a failure.
inline constexpr int32_t S_ADS_NOMORE_ROWS = 0x00005012;

// Failure code for an LDAP result code: 0x80A0xxxx with the code in the low
// 16 bits (libldap's negative client codes as 16-bit two's complement), so
// every failure is negative. LdapErrorOfADResult gives the LDAP code back.
int32_t ADResultFromLdap(int ldap_error);
int LdapErrorOfADResult(int32_t result);

// Bounds on every directory call. connect limits opening the TCP connection;
// operation limits each wait for a server answer (bind, root DSE, every
// search message) and is passed to the server as the search time limit.
struct DirectoryTimeouts {
  std::chrono::milliseconds connect{3000};
  std::chrono::milliseconds operation{5000};
};

// Sets the directory server and the service's credentials for all later
// lookups. An empty bind_dn binds anonymously. Idle pooled connections are
// closed; connections in use finish their lookup and are then closed.
// Returns 0, or 1 with *err set when uri is not an LDAP URL (the previous
// configuration then stays). Until called, lookups use "ldap://localhost"
// anonymously with the default time-outs.
[[nodiscard]] uint32_t ConfigureDirectory(const std::string& uri, const std::string& bind_dn,
                                          const std::string& password,
                                          const DirectoryTimeouts& timeouts, std::string* err);

// The same from the service settings (LdapUri, LdapBindDN, LdapBindPassword,
// LdapConnectTimeoutMs, LdapTimeoutMs).
[[nodiscard]] uint32_t ConfigureDirectory(const ServiceSettings& settings, std::string* err);

// One requested attribute and its value in the current row.
struct ADNameBuf_s {
  std::string name;   // LDAP attribute name as requested, e.g. "homeMDB"
  std::string value;  // first value in UTF-8; "" when the row has no such attribute
};

// The generic single-result query: a subtree search of the default naming
// context (the configuration context when use_configuration_context is set)
// with filter, requesting the attributes' names in vector order, and the
// first returned row's values copied into the attributes (only the first row
// is read; which one comes first is the server's choice).
// Returns 0 when a row was read; S_ADS_NOMORE_ROWS when nothing matched,
// with every value ""; a negative failure code otherwise (values "").
// Logs the failing step's line and traces each value read.
// The attributes are borrowed for the call and must not be shared with
// another thread meanwhile.
[[nodiscard]] int32_t ADQuery(const std::string& filter, bool use_configuration_context,
                              const std::vector<ADNameBuf_s*>& attributes);

// RFC 4515 escaping of a value put into a filter: '*', '(', ')', '\' and NUL
// become \2a, \28, \29, \5c and \00; everything else (UTF-8 included) stays.
std::string EscapeFilterValue(std::string_view value);

// Copies src into dst[0..size) as a NUL-terminated string, cut to size - 1
// bytes at a UTF-8 character boundary. Nothing is written when size is 0.
void CopyUtf8Cut(std::string_view src, char* dst, size_t size);

// Looks up the mailbox user owning an e-mail address: the first object with a
// proxy address containing email (any address type, case-insensitive).
// Returns 0 with name, server_dn (the msExchOwningServer of the user's
// homeMDB) and legacy_dn set; 1 (not found) when email is empty (no search is
// made), the search fails or finds nothing, or the user lacks homeMDB,
// legacyExchangeDN or name, leaving the outputs untouched; otherwise the
// non-zero result of the server lookup (GetDNValue), with name and legacy_dn
// set and server_dn "". Outputs are cut to their sizes (see CopyUtf8Cut).
[[nodiscard]] int32_t QueryUserInfoByEmail(const char* email, char* name, size_t name_size,
                                           char* server_dn, size_t server_size, char* legacy_dn,
                                           size_t legacy_size);

// The same, matching the common name exactly (case-insensitive). domain_server
// is accepted for the callers' sake and not used.
[[nodiscard]] int32_t QueryUserInfoByCN(const char* cn, char* name, size_t name_size,
                                        char* server_dn, size_t server_size, char* legacy_dn,
                                        size_t legacy_size, const char* domain_server);

// Reads the first value of attribute of the object dn into value.
// Returns 0 with value set ("" when the object has no such attribute);
// a negative code (value untouched) when the directory cannot be reached, the
// object does not exist or dn is not a DN; S_ADS_NOMORE_ROWS (value
// untouched) when the object cannot be read.
[[nodiscard]] int32_t GetDNValue(const char* dn, const char* attribute, char* value,
                                 size_t value_size);

// The owning server (msExchOwningServer) of the mailbox database home_mdb,
// from the process-wide cache or else through GetDNValue, whose non-empty
// answers are added to the cache and kept for the life of the process.
// Returns 0 with server_dn set, or GetDNValue's result.
[[nodiscard]] int32_t GetHomeMDB(const char* home_mdb, char* server_dn, size_t size);

// One enabled mailbox user (GetMailboxes). All values UTF-8.
struct ZUV_UserInfo {
  std::string server_dn;   // owning server of the user's homeMDB (GetHomeMDB)
  std::string legacy_dn;   // legacyExchangeDN
  std::string mailbox_dn;  // legacyExchangeDN (same value)
  std::string store_dn;    // StoreDNFromLegacyDN(legacyExchangeDN)
  std::string surname;     // sn
  std::string given_name;  // givenName
  std::string initials;    // initials
  std::string mail;        // mail
  std::string user_dn;     // distinguishedName (the entry DN when not stored)
  std::string legacy_exchange_dn;  // legacyExchangeDN
};

// The store DN of a user record: "/cn=Configuration/cn=Servers/cn" followed
// by legacy_exchange_dn from its last '=' on (nothing when it has none).
std::string StoreDNFromLegacyDN(std::string_view legacy_exchange_dn);

// Appends every enabled mailbox user (mail nickname set, account not
// disabled) with homeMDB, legacyExchangeDN and msExchHomeServerName to *list,
// through a paged search (1000 a page); users lacking one of those are
// skipped with an info line. caller begins every log line.
// Returns 0 when every row was read; a negative code when the search failed
// (*list then holds the users read before the failure).
[[nodiscard]] int32_t GetMailboxes(const char* caller, std::vector<ZUV_UserInfo>* list);

// Appends the cn of every mail server of the configuration context to
// *servers, or of the one whose cn is server_name when that is not empty.
// Returns 0 (nothing appended when none matches) or a negative code.
[[nodiscard]] int32_t GetExchangeServers(std::vector<std::string>* servers,
                                         const std::string& server_name);

// Empties the mailbox-database server cache.
void ClearHomeMDBCacheForTest();

// Idle connections in the pool.
size_t IdleDirectoryConnectionsForTest();

}  // namespace zuv
