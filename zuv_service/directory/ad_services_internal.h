// ad_services_internal.h: the search engine under the directory lookups: a
// pooled, bound LDAP connection and one search over it, read row by row the
// way the lookups walk their results (first row, next row, end of rows).
#pragma once

#include <ldap.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "directory/ad_services.h"

namespace zuv {

class DirectoryConnection;

// The step a search failed at; each lookup logs its own line for it.
enum class SearchStep {
  kNone,
  kBind,        // no connection: connect, bind or root DSE read failed
  kContext,     // the root DSE lacks the naming context
  kOpen,        // the base object does not exist or is not a DN
  kPreference,  // the paging control could not be built
  kExecute,     // the search request could not be sent
  kFirstRow,    // reading the first row failed
  kNextRow,     // reading a later row or page failed
};

// What a search reads and where.
struct SearchRequest {
  enum class Base { kDefaultContext, kConfigurationContext, kDN };
  Base base = Base::kDefaultContext;
  std::string dn;      // the base object when base is kDN
  std::string filter;  // as sent to the server (already escaped)
  int scope = LDAP_SCOPE_SUBTREE;
  int page_size = 0;                         // 0: unpaged
  int size_limit = 0;                        // 0: the server's; n: stop after n rows
  bool needs_configuration_context = false;  // fail at kContext when the root DSE lacks it
};

// One search on a connection taken from the pool. Not thread-safe: one
// thread runs a search from Execute to destruction.
// Ownership: holds its connection until destroyed, then gives it back to the
// pool (or closes it when it failed); an unfinished search is abandoned.
class DirectorySearch {
 public:
  DirectorySearch();
  ~DirectorySearch();
  DirectorySearch(const DirectorySearch&) = delete;
  DirectorySearch& operator=(const DirectorySearch&) = delete;

  // Takes a connection from the pool and resolves the base; attributes
  // (borrowed until destruction) name what is asked for, and their values
  // are what NextRow fills. Returns 0, or a negative code with failed_step()
  // set (kBind, kContext).
  [[nodiscard]] int32_t Open(const SearchRequest& request,
                             const std::vector<ADNameBuf_s*>& attributes);

  // Sends the search (the first page of a paged one). Returns 0, or a
  // negative code with failed_step() set (kPreference, kExecute).
  // REQUIRES: Open returned 0.
  [[nodiscard]] int32_t Execute();

  // Reads the next row into the attributes (each "" when absent), fetching
  // the next page when one ends. Returns 0 for a row, S_ADS_NOMORE_ROWS at
  // the end (values ""), or a negative code with failed_step() set (kOpen
  // when the server refused the base object).
  [[nodiscard]] int32_t NextRow();

  SearchStep failed_step() const { return failed_step_; }
  // "LDAP://" + the base; known once Execute has resolved it.
  const std::string& path() const { return path_; }

 private:
  [[nodiscard]] int32_t Fail(SearchStep step, int ldap_error);
  [[nodiscard]] int32_t SendPage(SearchStep step);
  [[nodiscard]] int32_t EndOfPage(LDAPMessage* result, bool* more);
  SearchStep ReadStep() const;
  // Reads and drops what is left of the search, up to its end.
  void Drain();
  void ClearValues();
  void ReadEntry(LDAPMessage* entry);

  std::unique_ptr<DirectoryConnection> conn_;
  SearchRequest request_;
  std::vector<ADNameBuf_s*> attributes_;
  std::vector<char*> attribute_names_;  // NULL-terminated, pointing into attributes_
  std::string base_;
  std::string path_;
  berval cookie_{0, nullptr};  // paging cookie, owned (ber_memfree)
  int msgid_ = -1;             // outstanding request, -1 when none
  int pages_ = 0;              // pages requested
  int rows_ = 0;               // rows read
  int32_t final_ = 0;          // the result NextRow repeats once the search ended
  SearchStep failed_step_ = SearchStep::kNone;
};

// One failure line: a printf format taking up to three strings (printf
// ignores those it does not use).
struct FailureLine {
  const char* format = nullptr;
  const char* a = "";
  const char* b = "";
  const char* c = "";
};

// A lookup's failure lines, one for each step a search can fail at.
struct FailureLines {
  FailureLine bind;        // kBind
  FailureLine context;     // kContext
  FailureLine open;        // kOpen
  FailureLine preference;  // kPreference
  FailureLine execute;     // kExecute
  FailureLine rows;        // kFirstRow, kNextRow
};

// Logs at error the line of the step the search failed at; nothing when
// result is not negative.
void LogSearchFailure(int32_t result, const DirectorySearch& search, const FailureLines& lines);

// Which failure lines a first-row query logs.
enum class QueryLines {
  kEngine,  // ADQuery's lines, and a trace of each value read
  kByCN,    // the common-name lookup's lines, no value traces
};

// ADQuery with a choice of log lines (QueryLines); same results.
[[nodiscard]] int32_t FirstRowQuery(const std::string& filter, bool use_configuration_context,
                                    const std::vector<ADNameBuf_s*>& attributes, QueryLines lines);

}  // namespace zuv
