// ad_services.cpp: the directory lookups: users by e-mail address or common
// name, one attribute of an object, the server of a mailbox database (with
// its process-wide cache), the enabled mailbox users and the mail servers.
#include "directory/ad_services.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "base/thread_annotations.h"
#include "directory/ad_services_internal.h"

namespace zuv {

namespace {

// GetMailboxes' filter as the service defines it (and logs it), and the same
// filter as sent: libldap refuses the bare negation "(!attr...)", so the
// negated item gets the parentheses RFC 4515 requires.
constexpr char kMailboxFilter[] =
    "(&(!userAccountControl:1.2.840.113556.1.4.803:=2) (mailNickname=*)(objectClass=user) )";
constexpr char kMailboxFilterSent[] =
    "(&(!(userAccountControl:1.2.840.113556.1.4.803:=2)) (mailNickname=*)(objectClass=user) )";

constexpr int kMailboxPageSize = 1000;

// Mailbox database DN -> owning server DN. Entries are never removed.
// Never destroyed, like the connection pool.
class HomeMDBCache {
 public:
  bool Find(const std::string& home_mdb, std::string* server_dn) ZUV_LOCKS_EXCLUDED(mu_) {
    MutexLock lock(mu_);
    auto it = servers_.find(home_mdb);
    if (it == servers_.end()) return false;
    *server_dn = it->second;
    return true;
  }
  void Add(const std::string& home_mdb, const std::string& server_dn) ZUV_LOCKS_EXCLUDED(mu_) {
    MutexLock lock(mu_);
    servers_.emplace(home_mdb, server_dn);
  }
  void Clear() ZUV_LOCKS_EXCLUDED(mu_) {
    MutexLock lock(mu_);
    servers_.clear();
  }

 private:
  Mutex mu_;
  std::map<std::string, std::string> servers_ ZUV_GUARDED_BY(mu_);
};

HomeMDBCache& TheHomeMDBCache() {
  static HomeMDBCache& cache = *new HomeMDBCache;
  return cache;
}

// GetDNValue with the value as a string.
int32_t DNValue(const char* dn, const char* attribute, std::string* value) {
  NLog_TraceA("ZUV", "GetDNValue() for DN %s, property name %s", dn, attribute);
  DirectorySearch search;
  SearchRequest request;
  request.base = SearchRequest::Base::kDN;
  request.dn = dn;
  request.filter = "(objectClass=*)";
  // The object itself is what is asked for; a subtree search would also
  // walk its children.
  request.scope = LDAP_SCOPE_BASE;
  request.size_limit = 1;
  request.needs_configuration_context = true;
  ADNameBuf_s buf{attribute, ""};
  int32_t result = search.Open(request, {&buf});
  if (result == 0) result = search.Execute();
  if (result == 0) result = search.NextRow();
  if (result < 0 && search.failed_step() == SearchStep::kBind) {
    std::fputs("Could not execute query. Could not bind to LDAP://rootDSE.\n", stdout);
  }
  LogSearchFailure(
      result, search,
      {.bind = {"GetDNValue() for %s. Could not bind to LDAP://rootDSE", dn},
       .context = {"GetDNValue() for %s. Could not get configuration naming context", dn},
       .open = {"GetDNValue() for %s. Could not open object %s", dn, search.path().c_str()},
       .preference = {"GetDNValue() for %s. Cannot set search preference", dn},
       .execute = {"GetDNValue() for %s. Cannot set execute search", dn},
       .rows = {"GetDNValue() for %s. Cannot find any match", dn}});
  if (result == S_ADS_NOMORE_ROWS) {
    NLog_ErrorA("ZUV", "GetDNValue() for %s. Cannot find any match", dn);
  }
  if (result != 0) return result;
  *value = buf.value;
  NLog_TraceA("ZUV", "GetDNValue() for %s. DN is %s", dn, value->c_str());
  return 0;
}

// GetHomeMDB with the server DN as a string.
int32_t HomeMDBServer(const std::string& home_mdb, std::string* server_dn) {
  HomeMDBCache& cache = TheHomeMDBCache();
  if (cache.Find(home_mdb, server_dn)) {
    NLog_TraceA("ZUV", "GetHomeMDB() for DN %s hit found in cache:%s", home_mdb.c_str(),
                server_dn->c_str());
    return 0;
  }
  NLog_TraceA("ZUV", "GetHomeMDB() for DN %s", home_mdb.c_str());
  int32_t result = DNValue(home_mdb.c_str(), "msExchOwningServer", server_dn);
  // An empty answer (a database without owner) is asked again next time.
  if (result == 0 && !server_dn->empty()) cache.Add(home_mdb, *server_dn);
  return result;
}

// The four attributes of the user lookups, in request order.
struct UserQuery {
  ADNameBuf_s home_mdb{"homeMDB", ""};
  ADNameBuf_s home_server{"msExchHomeServerName", ""};
  ADNameBuf_s legacy_dn{"legacyExchangeDN", ""};
  ADNameBuf_s name{"name", ""};
  std::vector<ADNameBuf_s*> Attributes() { return {&home_mdb, &home_server, &legacy_dn, &name}; }
};

// The common end of the user lookups once the search has run.
int32_t CompleteUserLookup(const UserQuery& user, char* name, size_t name_size, char* server_dn,
                           size_t server_size, char* legacy_dn, size_t legacy_size) {
  if (user.home_mdb.value.empty() || user.legacy_dn.value.empty() || user.name.value.empty()) {
    return 1;
  }
  std::string server;
  int32_t result = DNValue(user.home_mdb.value.c_str(), "msExchOwningServer", &server);
  CopyUtf8Cut(server, server_dn, server_size);
  CopyUtf8Cut(user.legacy_dn.value, legacy_dn, legacy_size);
  CopyUtf8Cut(user.name.value, name, name_size);
  return result;
}

}  // namespace

int32_t QueryUserInfoByEmail(const char* email, char* name, size_t name_size, char* server_dn,
                             size_t server_size, char* legacy_dn, size_t legacy_size) {
  if (email == nullptr) email = "";
  NLog_TraceA("ZUV", "QueryUserInfoByEmail for %s", email);
  if (*email == '\0') return 1;
  UserQuery user;
  std::string filter = "(proxyAddresses=*" + EscapeFilterValue(email) + "*)";
  // A failed search leaves the values empty, which reads as not found.
  (void)FirstRowQuery(filter, false, user.Attributes(), QueryLines::kEngine);
  return CompleteUserLookup(user, name, name_size, server_dn, server_size, legacy_dn, legacy_size);
}

int32_t QueryUserInfoByCN(const char* cn, char* name, size_t name_size, char* server_dn,
                          size_t server_size, char* legacy_dn, size_t legacy_size,
                          const char* domain_server) {
  (void)domain_server;
  if (cn == nullptr || *cn == '\0') return 1;
  UserQuery user;
  std::string filter = "(cn=" + EscapeFilterValue(cn) + ")";
  if (FirstRowQuery(filter, false, user.Attributes(), QueryLines::kByCN) == 0) {
    NLog_TraceA("ZUV",
                "For ldap_filter %s, homeMDB=%s, userDN=%s, userName=%s, msExchHomeServerName=%s",
                filter.c_str(), user.home_mdb.value.c_str(), user.legacy_dn.value.c_str(),
                user.name.value.c_str(), user.home_server.value.c_str());
  }
  return CompleteUserLookup(user, name, name_size, server_dn, server_size, legacy_dn, legacy_size);
}

int32_t GetDNValue(const char* dn, const char* attribute, char* value, size_t value_size) {
  std::string text;
  int32_t result = DNValue(dn, attribute, &text);
  if (result == 0) CopyUtf8Cut(text, value, value_size);
  return result;
}

int32_t GetHomeMDB(const char* home_mdb, char* server_dn, size_t size) {
  std::string server;
  int32_t result = HomeMDBServer(home_mdb, &server);
  if (result == 0) CopyUtf8Cut(server, server_dn, size);
  return result;
}

void ClearHomeMDBCacheForTest() { TheHomeMDBCache().Clear(); }

std::string StoreDNFromLegacyDN(std::string_view legacy_exchange_dn) {
  std::string out = "/cn=Configuration/cn=Servers/cn";
  size_t eq = legacy_exchange_dn.rfind('=');
  if (eq != std::string_view::npos) out.append(legacy_exchange_dn.substr(eq));
  return out;
}

int32_t GetMailboxes(const char* caller, std::vector<ZUV_UserInfo>* list) {
  ADNameBuf_s home_mdb{"homeMDB", ""}, sn{"sn", ""}, given_name{"GivenName", ""},
      initials{"Initials", ""}, user_dn{"DistinguishedName", ""}, mail{"mail", ""},
      home_server{"msExchHomeServerName", ""}, legacy_dn{"legacyExchangeDN", ""};
  const std::vector<ADNameBuf_s*> attributes = {&home_mdb, &sn,   &given_name,  &initials,
                                                &user_dn,  &mail, &home_server, &legacy_dn};
  const char* filter = kMailboxFilter;
  DirectorySearch search;
  SearchRequest request;
  request.filter = kMailboxFilterSent;
  request.page_size = kMailboxPageSize;
  int32_t result = search.Open(request, attributes);
  if (result == 0) result = search.Execute();
  for (int row = 1; result == 0; ++row) {
    result = search.NextRow();
    if (result != 0) break;
    for (const ADNameBuf_s* a : attributes) {
      if (!a->value.empty()) {
        NLog_TraceA("ZUV", "%s:For ldap_filter %s, %s=%s", caller, filter, a->name.c_str(),
                    a->value.c_str());
      }
    }
    const char* dn = user_dn.value.c_str();
    if (home_mdb.value.empty()) {
      NLog_InfoA("ZUV", "%s: Skipping mailbox %s(%d):StoreDN cannot be retrieved", caller, dn, row);
      continue;
    }
    if (legacy_dn.value.empty()) {
      NLog_InfoA("ZUV", "%s: Skipping mailbox %s(%d):legacyExchangeDN cannot be retrieved", caller,
                 dn, row);
      continue;
    }
    if (home_server.value.empty()) {
      NLog_InfoA("ZUV", "%s: Skipping mailbox %s(%d):UserDN cannot be retrieved", caller, dn, row);
      continue;
    }
    NLog_TraceA("ZUV", "%s:User account %s(%d) is valid", caller, dn, row);
    std::string server_dn;
    // A failed server lookup is logged by it; the user is listed without server.
    (void)HomeMDBServer(home_mdb.value, &server_dn);
    list->push_back(ZUV_UserInfo{.server_dn = std::move(server_dn),
                                 .legacy_dn = legacy_dn.value,
                                 .mailbox_dn = legacy_dn.value,
                                 .store_dn = StoreDNFromLegacyDN(legacy_dn.value),
                                 .surname = sn.value,
                                 .given_name = given_name.value,
                                 .initials = initials.value,
                                 .mail = mail.value,
                                 .user_dn = user_dn.value,
                                 .legacy_exchange_dn = legacy_dn.value});
  }
  LogSearchFailure(
      result, search,
      {.bind = {"%s:Could not execute query for %s. Could not bind to %s.", caller, filter,
                "LDAP://rootDSE"},
       .context = {"%s:Could not execute query for %s. Could not get the context:%s", caller,
                   filter, "DefaultNamingContext"},
       .open = {"%s:Could not execute query for %s. Cannot open object %s", caller, filter,
                search.path().c_str()},
       .preference = {"%s:Could not execute query for %s. Cannot set search preference", caller,
                      filter},
       .execute = {"%s:Could not execute query for %s. Cannot execute search", caller, filter},
       .rows = {"%s:Could not execute query for %s. Cannot execute search", caller, filter}});
  return result == S_ADS_NOMORE_ROWS ? 0 : result;
}

int32_t GetExchangeServers(std::vector<std::string>* servers, const std::string& server_name) {
  std::string filter =
      server_name.empty()
          ? std::string("(objectClass=msExchExchangeServer)")
          : "(&(objectClass=msExchExchangeServer)(cn=" + EscapeFilterValue(server_name) + "))";
  ADNameBuf_s cn{"cn", ""};
  DirectorySearch search;
  SearchRequest request;
  request.base = SearchRequest::Base::kConfigurationContext;
  request.filter = filter;
  int32_t result = search.Open(request, {&cn});
  if (result == 0) {
    NLog_InfoA("ZUV", "Search Query used to get exchange server list is %s", filter.c_str());
    result = search.Execute();
  }
  while (result == 0) {
    result = search.NextRow();
    if (result != 0) break;
    servers->push_back(cn.value);
    NLog_InfoA("ZUV", "server extracted is %s", cn.value.c_str());
  }
  const char* path = search.path().c_str();
  LogSearchFailure(
      result, search,
      {.bind = {"Could not execute query. Could not bind to LDAP://rootDSE."},
       .context = {"Could not execute query.Cannot get configuration naming context."},
       .open = {"Could not execute query.Cannot open path %s.", path},
       .preference = {"Could not execute query.Cannot set search preferences for %s.", path},
       .execute = {"Could not execute query.Cannot execute search for %s.", filter.c_str()},
       .rows = {"Could not execute query.Cannot execute search for %s.", filter.c_str()}});
  return result == S_ADS_NOMORE_ROWS ? 0 : result;
}

}  // namespace zuv
