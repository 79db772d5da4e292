// zuvctl.h: the parts of the zuvctl tool its sources share: exit statuses,
// the global options, output as tables or JSON lines, and folder arguments.
//
// The tool is single-threaded except for `watch`, whose push listener thread
// prints through the Output lock. Results go to stdout, errors to stderr as
// "zuvctl: <text>".
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zuvsdk/client.h"

namespace zuvctl {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;     // the service or the connection failed; stderr says why
inline constexpr int kExitUsage = 2;      // a malformed command line
inline constexpr int kExitNoAnswer = 3;   // no answer within the time-out

// Global options.
struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = 20400;
  uint16_t bin_port = 20430;
  std::string mailbox;
  std::string server;
  std::string store = zuvsdk::kMailboxStore;
  std::string client_id;
  double timeout_s = 10;
  bool json = false;

  zuvsdk::Endpoint endpoint() const;
  zuvsdk::Session session() const;
};

// Prints "zuvctl: text" on stderr and returns status.
int Fail(std::string_view text, int status = kExitFailed);
// The exit status of a library result, printing err for failures. A request
// without an answer says so plainly.
int Finish(int rc, const std::string& err, std::string_view what);

// One JSON object on one line of stdout.
class JsonLine {
 public:
  JsonLine();
  JsonLine& Str(const char* key, std::string_view value);
  JsonLine& Int(const char* key, int64_t value);
  JsonLine& Bool(const char* key, bool value);
  JsonLine& Value(const char* key, const zuvsdk::Value& value);
  rapidjson::Writer<rapidjson::StringBuffer>& writer() { return writer_; }
  std::string Text();
  void Print();

 private:
  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> writer_;
  bool done_ = false;
};

// Aligned text columns for people: the header, then the rows, printed by
// Print (control characters shown as spaces).
class TextTable {
 public:
  explicit TextTable(std::vector<std::string> header);
  void Add(std::vector<std::string> row);
  void Print() const;
  size_t size() const { return rows_.size() - 1; }

 private:
  std::vector<std::vector<std::string>> rows_;
};

// The text a person reads for a value of a column: file times as UTC times.
std::string CellText(const zuvsdk::Property* prop);

// True when text looks like an entry ID (even count of hex digits, at least
// 16) rather than a folder path.
bool IsEntryId(std::string_view text);
// "Inbox/Projects" into its names; "" and "/" give the root.
std::vector<std::string> SplitPath(std::string_view path);
// The entry ID of a folder given as PATH or ID. Returns a library result.
int ResolveFolder(zuvsdk::Client* client, const std::string& path_or_id, std::string* entry_id, std::string* err);

// Reads a whole file; false with *err.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* err);

// Command groups: each adds its subcommands to app; the callbacks store the
// exit status in *status.
void AddFolderCommands(CLI::App* app, const Options* opts, int* status);
void AddTableCommands(CLI::App* app, const Options* opts, int* status);
void AddItemCommands(CLI::App* app, const Options* opts, int* status);
void AddDirectoryCommands(CLI::App* app, const Options* opts, int* status);

}  // namespace zuvctl
