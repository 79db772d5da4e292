// ad_services_query.cpp: the directory query engine: configuration, the pool
// of bound LDAP connections, the row-by-row search and ADQuery.
//
// DESIGN: a lookup takes a connection from the pool for the length of one
// search and gives it back; no socket is shared between threads. The pool
// connects outside its lock and keeps at most kMaxIdle idle connections.
// A connection is dropped instead of pooled when it saw a client-side error
// (server down, time-out, decoding failure) or a configuration change, and is
// checked before reuse for a close by the server. Every wait for the server
// is bounded by the operation time-out; connect by the connect time-out.
#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "base/logging.h"
#include "base/settings.h"
#include "base/thread_annotations.h"
#include "directory/ad_services.h"
#include "directory/ad_services_internal.h"

namespace zuv {

namespace {

constexpr size_t kMaxIdle = 16;

struct DirectoryConfig {
  std::string uri = "ldap://localhost";
  std::string bind_dn;
  std::string password;
  DirectoryTimeouts timeouts;
  uint64_t generation = 0;  // bumped by every ConfigureDirectory
};

timeval ToTimeval(std::chrono::milliseconds ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
  return tv;
}

// First value of attribute in entry, or "".
std::string FirstValue(LDAP* ld, LDAPMessage* entry, const char* attribute) {
  std::string out;
  berval** values = ldap_get_values_len(ld, entry, attribute);
  if (values != nullptr) {
    if (values[0] != nullptr) out.assign(values[0]->bv_val, values[0]->bv_len);
    ldap_value_free_len(values);
  }
  return out;
}

// The value of the first RDN of dn ("Jones, Kim" for cn=Jones\2C Kim,...).
std::string RdnValue(const std::string& dn) {
  LDAPDN parsed = nullptr;
  std::string out;
  if (ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS &&
      parsed != nullptr && parsed[0] != nullptr && parsed[0][0] != nullptr) {
    const berval& v = parsed[0][0]->la_value;
    out.assign(v.bv_val, v.bv_len);
  }
  ldap_dnfree(parsed);
  return out;
}

}  // namespace

// One bound connection with the naming contexts its root DSE published.
// Used by one thread at a time (whoever took it from the pool).
class DirectoryConnection {
 public:
  explicit DirectoryConnection(uint64_t generation) : generation_(generation) {}
  ~DirectoryConnection() {
    if (ld_ != nullptr) ldap_unbind_ext_s(ld_, nullptr, nullptr);
  }
  DirectoryConnection(const DirectoryConnection&) = delete;
  DirectoryConnection& operator=(const DirectoryConnection&) = delete;

  // Connects, binds and reads the root DSE. Returns an LDAP result code.
  int Open(const DirectoryConfig& config);

  // Waits for the next message of msgid (one message, or the whole result
  // with LDAP_MSG_ALL). Returns the message type with *msg set (caller
  // frees), or 0 with *ldap_error set; a time-out abandons msgid.
  int Wait(int msgid, int all, LDAPMessage** msg, int* ldap_error);

  // False when the server closed the connection or sent something unasked
  // (a notice of disconnection) while it was idle.
  bool StillOpen() const;

  LDAP* ld() const { return ld_; }
  const timeval& operation_timeout() const { return operation_; }
  const std::string& default_context() const { return default_context_; }
  const std::string& configuration_context() const { return configuration_context_; }
  uint64_t generation() const { return generation_; }
  bool broken() const { return broken_; }
  // A client-side (negative) error leaves the connection in an unknown state;
  // the pool then drops it.
  void NoteError(int ldap_error) {
    if (ldap_error < 0) broken_ = true;
  }
  void MarkBroken() { broken_ = true; }

 private:
  LDAP* ld_ = nullptr;
  timeval operation_{};
  std::string default_context_;
  std::string configuration_context_;
  const uint64_t generation_;
  bool broken_ = false;
};

int DirectoryConnection::Open(const DirectoryConfig& config) {
  int rc = ldap_initialize(&ld_, config.uri.c_str());
  if (rc != LDAP_SUCCESS) return rc;
  int version = LDAP_VERSION3;
  timeval network = ToTimeval(config.timeouts.connect);
  operation_ = ToTimeval(config.timeouts.operation);
  ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld_, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  ldap_set_option(ld_, LDAP_OPT_RESTART, LDAP_OPT_ON);
  ldap_set_option(ld_, LDAP_OPT_NETWORK_TIMEOUT, &network);
  ldap_set_option(ld_, LDAP_OPT_TIMEOUT, &operation_);

  berval cred{static_cast<ber_len_t>(config.password.size()),
              const_cast<char*>(config.password.data())};
  const char* dn = config.bind_dn.empty() ? nullptr : config.bind_dn.c_str();
  int msgid = -1;
  rc = ldap_sasl_bind(ld_, dn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, &msgid);
  if (rc != LDAP_SUCCESS) return rc;
  LDAPMessage* msg = nullptr;
  if (Wait(msgid, LDAP_MSG_ALL, &msg, &rc) == 0) return rc;
  int code = LDAP_SUCCESS;
  rc = ldap_parse_result(ld_, msg, &code, nullptr, nullptr, nullptr, nullptr, 1);
  if (rc != LDAP_SUCCESS) return rc;
  if (code != LDAP_SUCCESS) return code;

  char default_name[] = "defaultNamingContext";
  char configuration_name[] = "configurationNamingContext";
  char* attrs[] = {default_name, configuration_name, nullptr};
  rc = ldap_search_ext(ld_, "", LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr, nullptr,
                       &operation_, 0, &msgid);
  if (rc != LDAP_SUCCESS) return rc;
  if (Wait(msgid, LDAP_MSG_ALL, &msg, &rc) == 0) return rc;
  if (LDAPMessage* entry = ldap_first_entry(ld_, msg)) {
    default_context_ = FirstValue(ld_, entry, default_name);
    configuration_context_ = FirstValue(ld_, entry, configuration_name);
  }
  rc = ldap_parse_result(ld_, msg, &code, nullptr, nullptr, nullptr, nullptr, 1);
  return rc != LDAP_SUCCESS ? rc : code;
}

int DirectoryConnection::Wait(int msgid, int all, LDAPMessage** msg, int* ldap_error) {
  timeval timeout = operation_;
  *msg = nullptr;
  int type = ldap_result(ld_, msgid, all, &timeout, msg);
  if (type > 0) return type;
  if (type == 0) {
    ldap_abandon_ext(ld_, msgid, nullptr, nullptr);
    *ldap_error = LDAP_TIMEOUT;
  } else {
    *ldap_error = LDAP_OTHER;
    ldap_get_option(ld_, LDAP_OPT_RESULT_CODE, ldap_error);
    if (*ldap_error == LDAP_SUCCESS) *ldap_error = LDAP_OTHER;
  }
  if (*msg != nullptr) ldap_msgfree(*msg);
  *msg = nullptr;
  broken_ = true;
  return 0;
}

bool DirectoryConnection::StillOpen() const {
  int fd = -1;
  if (ldap_get_option(ld_, LDAP_OPT_DESC, &fd) != LDAP_OPT_SUCCESS || fd < 0) return false;
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  return ::poll(&p, 1, 0) == 0;
}

namespace {

// The process's connections. Never destroyed: connection threads may still
// run lookups while the process exits.
class DirectoryPool {
 public:
  // Returns 0 with *conn set (an idle connection, or a new one), or a
  // negative code when a new connection cannot be opened.
  int32_t Acquire(std::unique_ptr<DirectoryConnection>* conn) ZUV_LOCKS_EXCLUDED(mu_);
  // Keeps conn for reuse unless it is broken, stale or one too many.
  void Release(std::unique_ptr<DirectoryConnection> conn) ZUV_LOCKS_EXCLUDED(mu_);
  void Configure(DirectoryConfig config) ZUV_LOCKS_EXCLUDED(mu_);
  size_t Idle() ZUV_LOCKS_EXCLUDED(mu_);

 private:
  Mutex mu_;
  DirectoryConfig config_ ZUV_GUARDED_BY(mu_);
  std::vector<std::unique_ptr<DirectoryConnection>> idle_ ZUV_GUARDED_BY(mu_);
};

DirectoryPool& Pool() {
  static DirectoryPool& pool = *new DirectoryPool;
  return pool;
}

int32_t DirectoryPool::Acquire(std::unique_ptr<DirectoryConnection>* conn) {
  for (;;) {
    std::unique_ptr<DirectoryConnection> candidate;
    {
      MutexLock lock(mu_);
      if (idle_.empty()) break;
      candidate = std::move(idle_.back());
      idle_.pop_back();
    }
    if (candidate->StillOpen()) {
      *conn = std::move(candidate);
      return 0;
    }
    // candidate closes here, outside the lock.
  }
  DirectoryConfig config;
  {
    MutexLock lock(mu_);
    config = config_;
  }
  auto fresh = std::make_unique<DirectoryConnection>(config.generation);
  int rc = fresh->Open(config);
  if (rc != LDAP_SUCCESS) {
    NLog_ErrorA("ZUV", "LDAP %s: cannot bind as \"%s\": %s (%d)", config.uri.c_str(),
                config.bind_dn.c_str(), ldap_err2string(rc), rc);
    return ADResultFromLdap(rc);
  }
  *conn = std::move(fresh);
  return 0;
}

void DirectoryPool::Release(std::unique_ptr<DirectoryConnection> conn) {
  if (conn == nullptr || conn->broken()) return;
  {
    MutexLock lock(mu_);
    if (conn->generation() == config_.generation && idle_.size() < kMaxIdle) {
      idle_.push_back(std::move(conn));
      return;
    }
  }
  // A stale or surplus connection closes here, outside the lock.
}

void DirectoryPool::Configure(DirectoryConfig config) {
  std::vector<std::unique_ptr<DirectoryConnection>> closing;
  {
    MutexLock lock(mu_);
    config.generation = config_.generation + 1;
    config_ = std::move(config);
    closing.swap(idle_);
  }
}

size_t DirectoryPool::Idle() {
  MutexLock lock(mu_);
  return idle_.size();
}

}  // namespace

int32_t ADResultFromLdap(int ldap_error) {
  if (ldap_error == LDAP_SUCCESS) return 0;
  return static_cast<int32_t>(0x80A00000u | static_cast<uint16_t>(ldap_error));
}

int LdapErrorOfADResult(int32_t result) {
  if (result >= 0) return LDAP_SUCCESS;
  return static_cast<int16_t>(static_cast<uint32_t>(result) & 0xFFFFu);
}

uint32_t ConfigureDirectory(const std::string& uri, const std::string& bind_dn,
                            const std::string& password, const DirectoryTimeouts& timeouts,
                            std::string* err) {
  if (!ldap_is_ldap_url(uri.c_str())) {
    if (err != nullptr) *err = "not an LDAP URL: " + uri;
    return 1;
  }
  DirectoryConfig config;
  config.uri = uri;
  config.bind_dn = bind_dn;
  config.password = password;
  config.timeouts = timeouts;
  Pool().Configure(std::move(config));
  return 0;
}

uint32_t ConfigureDirectory(const ServiceSettings& settings, std::string* err) {
  DirectoryTimeouts timeouts;
  timeouts.connect = std::chrono::milliseconds(settings.LdapConnectTimeoutMs());
  timeouts.operation = std::chrono::milliseconds(settings.LdapTimeoutMs());
  return ConfigureDirectory(settings.LdapUri(), settings.LdapBindDN(), settings.LdapBindPassword(), timeouts,
                            err);
}

size_t IdleDirectoryConnectionsForTest() { return Pool().Idle(); }

std::string EscapeFilterValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
      auto byte = static_cast<unsigned char>(c);
      out += '\\';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

void CopyUtf8Cut(std::string_view src, char* dst, size_t size) {
  if (size == 0) return;
  size_t n = std::min(src.size(), size - 1);
  // Back up over continuation bytes so no character is split.
  if (n < src.size()) {
    while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

// ---- DirectorySearch ----

DirectorySearch::DirectorySearch() = default;

DirectorySearch::~DirectorySearch() {
  if (conn_ != nullptr && msgid_ >= 0) {
    // After the rows asked for, the server ends the search at once: read
    // its end so nothing of it is left for the next user of the connection.
    if (request_.size_limit > 0 && rows_ >= request_.size_limit) Drain();
    if (msgid_ >= 0) {
      ldap_abandon_ext(conn_->ld(), msgid_, nullptr, nullptr);
      conn_->MarkBroken();  // its late answers would be left in the connection
    }
  }
  if (cookie_.bv_val != nullptr) ber_memfree(cookie_.bv_val);
  if (conn_ != nullptr) Pool().Release(std::move(conn_));
}

int32_t DirectorySearch::Fail(SearchStep step, int ldap_error) {
  if (conn_ != nullptr) conn_->NoteError(ldap_error);
  if (ldap_error == LDAP_SUCCESS) ldap_error = LDAP_OTHER;
  failed_step_ = step;
  final_ = ADResultFromLdap(ldap_error);
  return final_;
}

SearchStep DirectorySearch::ReadStep() const {
  return rows_ == 0 ? SearchStep::kFirstRow : SearchStep::kNextRow;
}

int32_t DirectorySearch::Open(const SearchRequest& request,
                              const std::vector<ADNameBuf_s*>& attributes) {
  request_ = request;
  attributes_ = attributes;
  attribute_names_.clear();
  for (ADNameBuf_s* a : attributes_) attribute_names_.push_back(const_cast<char*>(a->name.c_str()));
  attribute_names_.push_back(nullptr);
  ClearValues();

  int32_t result = Pool().Acquire(&conn_);
  if (result != 0) {
    failed_step_ = SearchStep::kBind;
    final_ = result;
    return result;
  }
  switch (request_.base) {
    case SearchRequest::Base::kDefaultContext:
      base_ = conn_->default_context();
      break;
    case SearchRequest::Base::kConfigurationContext:
      base_ = conn_->configuration_context();
      break;
    case SearchRequest::Base::kDN:
      base_ = request_.dn;
      break;
  }
  bool context_missing = request_.base != SearchRequest::Base::kDN && base_.empty();
  if (request_.needs_configuration_context && conn_->configuration_context().empty()) {
    context_missing = true;
  }
  if (context_missing) return Fail(SearchStep::kContext, LDAP_NO_SUCH_ATTRIBUTE);
  path_ = "LDAP://" + base_;
  return 0;
}

int32_t DirectorySearch::Execute() { return SendPage(SearchStep::kExecute); }

int32_t DirectorySearch::SendPage(SearchStep step) {
  LDAP* ld = conn_->ld();
  LDAPControl* page = nullptr;
  if (request_.page_size > 0) {
    int rc = ldap_create_page_control(ld, request_.page_size, &cookie_, 1, &page);
    if (rc != LDAP_SUCCESS) return Fail(SearchStep::kPreference, rc);
  }
  LDAPControl* controls[2] = {page, nullptr};
  // The server's time limit, in whole seconds and at least one.
  timeval limit = conn_->operation_timeout();
  if (limit.tv_usec != 0 || limit.tv_sec == 0) ++limit.tv_sec;
  limit.tv_usec = 0;
  int rc = ldap_search_ext(ld, base_.c_str(), request_.scope, request_.filter.c_str(),
                           attribute_names_.data(), 0, page != nullptr ? controls : nullptr,
                           nullptr, &limit, request_.size_limit, &msgid_);
  if (page != nullptr) ldap_control_free(page);
  if (rc != LDAP_SUCCESS) {
    msgid_ = -1;
    return Fail(step, rc);
  }
  ++pages_;
  return 0;
}

int32_t DirectorySearch::NextRow() {
  ClearValues();
  if (msgid_ < 0) return failed_step_ != SearchStep::kNone ? final_ : S_ADS_NOMORE_ROWS;
  for (;;) {
    LDAPMessage* msg = nullptr;
    int error = LDAP_SUCCESS;
    int type = conn_->Wait(msgid_, LDAP_MSG_ONE, &msg, &error);
    if (type == 0) {
      msgid_ = -1;
      return Fail(ReadStep(), error);
    }
    if (type == LDAP_RES_SEARCH_ENTRY) {
      ReadEntry(msg);
      ldap_msgfree(msg);
      ++rows_;
      return 0;
    }
    if (type == LDAP_RES_SEARCH_RESULT) {
      bool more = false;
      int32_t result = EndOfPage(msg, &more);
      if (!more) return result;
      continue;
    }
    ldap_msgfree(msg);  // references and intermediate messages are not followed
  }
}

int32_t DirectorySearch::EndOfPage(LDAPMessage* result, bool* more) {
  LDAP* ld = conn_->ld();
  int code = LDAP_SUCCESS;
  LDAPControl** controls = nullptr;
  int rc = ldap_parse_result(ld, result, &code, nullptr, nullptr, nullptr, &controls, 1);
  msgid_ = -1;
  if (rc != LDAP_SUCCESS) return Fail(ReadStep(), rc);
  // A limit we asked for ends the search normally.
  if (code == LDAP_SIZELIMIT_EXCEEDED && request_.size_limit > 0) code = LDAP_SUCCESS;
  if (code != LDAP_SUCCESS) {
    ldap_controls_free(controls);
    bool base_refused = code == LDAP_NO_SUCH_OBJECT || code == LDAP_INVALID_DN_SYNTAX;
    if (base_refused && rows_ == 0 && pages_ == 1) return Fail(SearchStep::kOpen, code);
    return Fail(ReadStep(), code);
  }
  if (request_.page_size > 0) {
    LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr);
    if (response != nullptr) {
      ber_int_t estimate = 0;
      berval cookie{0, nullptr};
      rc = ldap_parse_pageresponse_control(ld, response, &estimate, &cookie);
      if (cookie_.bv_val != nullptr) ber_memfree(cookie_.bv_val);
      cookie_ = cookie;
      if (rc != LDAP_SUCCESS) {
        ldap_controls_free(controls);
        return Fail(SearchStep::kNextRow, rc);
      }
    }
    ldap_controls_free(controls);
    if (response != nullptr && cookie_.bv_len > 0) {
      *more = true;
      return SendPage(SearchStep::kNextRow);
    }
  } else {
    ldap_controls_free(controls);
  }
  final_ = S_ADS_NOMORE_ROWS;
  return final_;
}

void DirectorySearch::Drain() {
  while (msgid_ >= 0) {
    LDAPMessage* msg = nullptr;
    int error = LDAP_SUCCESS;
    int type = conn_->Wait(msgid_, LDAP_MSG_ONE, &msg, &error);
    if (type == 0) {
      msgid_ = -1;  // Wait abandoned it and marked the connection broken
      return;
    }
    if (type == LDAP_RES_SEARCH_RESULT) msgid_ = -1;
    ldap_msgfree(msg);
  }
}

void DirectorySearch::ClearValues() {
  for (ADNameBuf_s* a : attributes_) a->value.clear();
}

void DirectorySearch::ReadEntry(LDAPMessage* entry) {
  // One pass over the entry's attributes; each is matched by its exact type,
  // case-insensitively (subtypes such as cn for name do not count).
  LDAP* ld = conn_->ld();
  BerElement* ber = nullptr;
  berval dn{0, nullptr};
  if (ldap_get_dn_ber(ld, entry, &ber, &dn) != LDAP_SUCCESS) {
    if (ber != nullptr) ber_free(ber, 0);
    return;
  }
  berval type{0, nullptr};
  berval* values = nullptr;
  while (ldap_get_attribute_ber(ld, entry, ber, &type, &values) == LDAP_SUCCESS &&
         type.bv_val != nullptr) {
    for (ADNameBuf_s* a : attributes_) {
      if (values != nullptr && values[0].bv_val != nullptr && a->name.size() == type.bv_len &&
          strncasecmp(a->name.data(), type.bv_val, type.bv_len) == 0) {
        a->value.assign(values[0].bv_val, values[0].bv_len);
      }
    }
    ber_memfree(values);  // the array only: the values point into the message
    values = nullptr;
  }
  // name and distinguishedName are not generated by every server.
  for (ADNameBuf_s* a : attributes_) {
    if (!a->value.empty()) continue;
    if (strcasecmp(a->name.c_str(), "distinguishedName") == 0) {
      a->value.assign(dn.bv_val, dn.bv_len);
    } else if (strcasecmp(a->name.c_str(), "name") == 0) {
      a->value = RdnValue(std::string(dn.bv_val, dn.bv_len));
    }
  }
  ber_free(ber, 0);
}

namespace {

const FailureLine* LineOfStep(const FailureLines& lines, SearchStep step) {
  switch (step) {
    case SearchStep::kNone: return nullptr;
    case SearchStep::kBind: return &lines.bind;
    case SearchStep::kContext: return &lines.context;
    case SearchStep::kOpen: return &lines.open;
    case SearchStep::kPreference: return &lines.preference;
    case SearchStep::kExecute: return &lines.execute;
    case SearchStep::kFirstRow:
    case SearchStep::kNextRow: return &lines.rows;
  }
  return nullptr;
}

}  // namespace

void LogSearchFailure(int32_t result, const DirectorySearch& search, const FailureLines& lines) {
  const FailureLine* line = result < 0 ? LineOfStep(lines, search.failed_step()) : nullptr;
  if (line != nullptr && line->format != nullptr) {
    NLog_ErrorA("ZUV", line->format, line->a, line->b, line->c);
  }
}

// ---- ADQuery ----

int32_t FirstRowQuery(const std::string& filter, bool use_configuration_context,
                      const std::vector<ADNameBuf_s*>& attributes, QueryLines lines) {
  DirectorySearch search;
  SearchRequest request;
  request.base = use_configuration_context ? SearchRequest::Base::kConfigurationContext
                                           : SearchRequest::Base::kDefaultContext;
  request.filter = filter;
  request.size_limit = 1;  // only the first row is read
  int32_t result = search.Open(request, attributes);
  if (result == 0) result = search.Execute();
  if (result == 0) result = search.NextRow();
  const char* f = filter.c_str();
  const char* context =
      use_configuration_context ? "ConfigurationNamingContext" : "DefaultNamingContext";
  bool by_cn = lines == QueryLines::kByCN;
  const char* path = search.path().c_str();
  FailureLines failure{
      .bind = {"Could not execute query for %s. Could not bind to %s.", f, "LDAP://rootDSE"},
      .context = {"Could not execute query for %s. Could not get the context:%s", f, context},
      .open = {"Could not execute query for %s. Cannot open object %s", f, path},
      .preference = {"Could not execute query for %s. Cannot set search preference", f},
      .execute = {"Could not execute query for %s. Cannot execute search", f},
      .rows = {"Could not execute query for %s. Cannot find any matching rows", f}};
  if (by_cn) {
    failure.bind = {"Could not execute query for %s. Could not bind to LDAP://rootDSE.", f};
    failure.context = {"Could not execute query for %s. Could not get the default naming context",
                       f};
  }
  LogSearchFailure(result, search, failure);
  if (result == 0 && !by_cn) {
    for (const ADNameBuf_s* a : attributes) {
      if (!a->value.empty()) {
        NLog_TraceA("ZUV", "For ldap_filter %s, %s=%s", f, a->name.c_str(), a->value.c_str());
      }
    }
  }
  return result;
}

int32_t ADQuery(const std::string& filter, bool use_configuration_context,
                const std::vector<ADNameBuf_s*>& attributes) {
  return FirstRowQuery(filter, use_configuration_context, attributes, QueryLines::kEngine);
}

}  // namespace zuv
