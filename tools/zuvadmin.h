// zuvadmin.h: the parts of the zuvadmin tool its sources share: exit
// statuses, the command context, error reporting and output in text or JSON.
//
// The tool is single-threaded. Every command gets a Context (the open store
// and the output mode), prints its results on stdout and its errors on
// stderr as "zuvadmin: <text>", and returns the process exit status.
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/mapiptr.h"
#include "mapi/mapix.h"
#include "mapi/zuvstore_admin.h"

namespace zuvadmin {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // nothing done: the error says why
inline constexpr int kExitUsage = 2;    // a malformed command line
inline constexpr int kExitPartial = 3;  // done, but some messages were skipped

// Prints "zuvadmin: text" on stderr and returns kExitFailure.
int Fail(std::string_view text);
// Prints "zuvadmin: text" on stderr (a warning; the command goes on).
void Warn(std::string_view text);

// What every command works on.
struct Context {
  zuvstore::StoreAdmin* admin = nullptr;  // borrowed; open for the whole command
  bool json = false;                      // --json: one JSON object per output line
};

// One line of JSON output: an object whose members are added in order, then
// printed on stdout by Print().
class JsonLine {
 public:
  JsonLine();
  JsonLine& Str(const char* key, std::string_view value);
  JsonLine& Int(const char* key, int64_t value);
  JsonLine& Bool(const char* key, bool value);
  JsonLine& StrArray(const char* key, const std::vector<std::string>& values);
  // For members of other shapes: write the key, then the value.
  rapidjson::Writer<rapidjson::StringBuffer>& writer() { return writer_; }
  void Print();

 private:
  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

// The rows of a list command: with --json one object per row, printed as
// the row ends; else aligned text columns under header, printed by Finish.
class Listing {
 public:
  Listing(bool json, std::vector<std::string> header);
  // Adds a member to the current row: cell is its text column (nullopt: JSON
  // only), json its JSON value as JSON text ("" for cell as a JSON string).
  Listing& Member(const char* key, std::optional<std::string> cell, std::string_view json = "");
  Listing& Str(const char* key, const std::string& value) { return Member(key, value); }
  Listing& Int(const char* key, int64_t value) { return Member(key, std::to_string(value), std::to_string(value)); }
  // Text joins the values with ", ".
  Listing& List(const char* key, const std::vector<std::string>& values);
  void EndRow();
  // Prints the text table (control characters as spaces).
  void Finish() const;

 private:
  const bool json_;
  std::unique_ptr<JsonLine> line_;              // the row being built (--json)
  std::vector<std::vector<std::string>> rows_;  // text: the header, then the rows
};

// ---- Store helpers ----

// The folder at path of a mailbox (or the public store), read-write. On
// failure prints the error and returns a failure code.
[[nodiscard]] HRESULT OpenFolder(const Context& ctx, const std::string& alias, bool is_public,
                                 const std::string& path, MapiPtr<IMAPIFolder>* folder);

// Opens the message with the entry ID hex in mailbox alias, read-write.
// Prints why on failure (not hex, not an entry ID, not a message, not in this
// mailbox) and returns false.
[[nodiscard]] bool OpenMessage(const Context& ctx, const std::string& alias, const std::string& hex,
                               MapiPtr<IMessage>* message);

// PR_ENTRYID of obj in hex; "" when it has none.
std::string EntryIdOf(IMAPIProp* obj);

// Text of a failed MAPI call on obj: its GetLastError text, else the code.
template <class T>
std::string MapiErrorText(T* obj, HRESULT hr) {
  std::string text = zuvstore::LastErrorText(obj, hr);
  if (!text.empty()) return text;
  char code[32];
  std::snprintf(code, sizeof(code), "MAPI error 0x%08X", static_cast<unsigned>(hr));
  return code;
}

// 100 ns ticks since 1601 for a Unix time in microseconds.
FILETIME FileTimeFromUnixMicros(int64_t micros);
FILETIME FileTimeNow();

// ---- Commands in other sources ----

struct ListMessagesArgs {
  std::string alias;
  bool is_public = false;
  std::string folder;
  std::vector<std::string> columns;  // symbolic names; empty for the default set
};
int ListMessages(const Context& ctx, const ListMessagesArgs& args);

struct SetPropertyArgs {
  std::string alias;
  std::string entry_id;
  std::vector<std::string> assignments;  // NAME=VALUE
};
int SetProperty(const Context& ctx, const SetPropertyArgs& args);

struct DeliverArgs {
  std::string alias;
  std::string folder;
  std::vector<std::string> files;  // "-" is standard input
};
int Deliver(const Context& ctx, const DeliverArgs& args);

struct ImportMboxArgs {
  std::string alias;
  std::string folder;
  std::string file;
};
int ImportMbox(const Context& ctx, const ImportMboxArgs& args);

}  // namespace zuvadmin
