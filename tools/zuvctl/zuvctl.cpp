// zuvctl.cpp: the command line, global options and the shared output.
#include "zuvctl.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace zuvctl {

zuvsdk::Endpoint Options::endpoint() const {
  zuvsdk::Endpoint e;
  e.host = host;
  e.port = port;
  e.bin_port = bin_port;
  e.timeout_ms = static_cast<int>(timeout_s * 1000);
  return e;
}

zuvsdk::Session Options::session() const {
  zuvsdk::Session s;
  s.mailbox = mailbox;
  s.server = server;
  s.store = store;
  s.client_id = client_id;
  return s;
}

int Fail(std::string_view text, int status) {
  std::fprintf(stderr, "zuvctl: %.*s\n", static_cast<int>(text.size()), text.data());
  return status;
}

int Finish(int rc, const std::string& err, std::string_view what) {
  switch (rc) {
    case zuvsdk::kOk:
      return kExitOk;
    case zuvsdk::kNoAnswer:
      return Fail(std::string(what) + ": " + err, kExitNoAnswer);
    case zuvsdk::kBadArgument:
      return Fail(err, kExitUsage);
    case zuvsdk::kFailed:
      return Fail(std::string(what) + " failed: " + err);
    default:
      return Fail(err);
  }
}

JsonLine::JsonLine() : writer_(buffer_) { writer_.StartObject(); }

JsonLine& JsonLine::Str(const char* key, std::string_view value) {
  writer_.Key(key);
  writer_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  return *this;
}
JsonLine& JsonLine::Int(const char* key, int64_t value) {
  writer_.Key(key);
  writer_.Int64(value);
  return *this;
}
JsonLine& JsonLine::Bool(const char* key, bool value) {
  writer_.Key(key);
  writer_.Bool(value);
  return *this;
}
JsonLine& JsonLine::Value(const char* key, const zuvsdk::Value& value) {
  writer_.Key(key);
  switch (value.kind) {
    case zuvsdk::Value::Kind::kString:
      writer_.String(value.text.data(), static_cast<rapidjson::SizeType>(value.text.size()));
      break;
    case zuvsdk::Value::Kind::kNumber:
      writer_.Int64(value.number);
      break;
    case zuvsdk::Value::Kind::kBool:
      writer_.Bool(value.flag);
      break;
    case zuvsdk::Value::Kind::kNull:
      writer_.Null();
      break;
  }
  return *this;
}
std::string JsonLine::Text() {
  if (!done_) writer_.EndObject();
  done_ = true;
  return std::string(buffer_.GetString(), buffer_.GetSize());
}
void JsonLine::Print() {
  const std::string text = Text();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

TextTable::TextTable(std::vector<std::string> header) { rows_.push_back(std::move(header)); }

void TextTable::Add(std::vector<std::string> row) {
  for (std::string& cell : row) {
    std::replace_if(cell.begin(), cell.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
  }
  rows_.push_back(std::move(row));
}

void TextTable::Print() const {
  std::vector<size_t> widths;
  for (const auto& row : rows_) {
    widths.resize(std::max(widths.size(), row.size()));
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string line;
  for (const auto& row : rows_) {
    line.clear();
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - row[i].size() + 2, ' ');
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  }
}

std::string CellText(const zuvsdk::Property* prop) {
  if (prop == nullptr) return std::string();
  if (prop->type == zuvsdk::kTypeSysTime && prop->value.kind == zuvsdk::Value::Kind::kString) {
    std::string when = zuvsdk::FileTimeText(prop->value.text);
    if (!when.empty()) return when;
  }
  return prop->value.ToText();
}

bool IsEntryId(std::string_view text) {
  if (text.size() < 16 || text.size() % 2 != 0) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

std::vector<std::string> SplitPath(std::string_view path) {
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > pos) names.emplace_back(path.substr(pos, slash - pos));
    pos = slash + 1;
  }
  return names;
}

int ResolveFolder(zuvsdk::Client* client, const std::string& path_or_id, std::string* entry_id, std::string* err) {
  if (IsEntryId(path_or_id)) {
    *entry_id = path_or_id;
    return zuvsdk::kOk;
  }
  const int rc = client->GetEntryID(SplitPath(path_or_id), entry_id, err);
  if (rc == zuvsdk::kFailed) *err = "folder " + path_or_id + ": " + *err;
  return rc;
}

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *err = "cannot read " + path;
    return false;
  }
  std::ostringstream out;
  out << in.rdbuf();
  *bytes = out.str();
  return true;
}

}  // namespace zuvctl

namespace {

// The first word of args that is not a known command, for the error text.
std::string UnknownCommand(const CLI::App& app) {
  for (const std::string& word : app.remaining(true)) {
    if (!word.empty() && word[0] != '-') return word;
  }
  return std::string();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zuvctl;
  Options opts;
  char host[256] = {};
  ::gethostname(host, sizeof(host) - 1);
  opts.client_id = "zuvctl-" + std::string(host) + "-" + std::to_string(::getpid());

  CLI::App app{"zuvctl: a command-line client of the ZUV service.\n"
               "Exit status: 0 done, 1 failed (the service's error on stderr), 2 bad command line,\n"
               "3 no answer within the time-out.",
               "zuvctl"};
  app.set_version_flag("--version", "zuvctl 1.1");
  app.add_option("--host", opts.host, "service host name or address")->capture_default_str();
  app.add_option("--port", opts.port, "JSON port")->capture_default_str();
  app.add_option("--binport", opts.bin_port, "binary upload port")->capture_default_str();
  app.add_option("--mailbox", opts.mailbox, "mailbox name sent as Mailbox");
  app.add_option("--server", opts.server, "mail server name sent as ServerName");
  app.add_option("--store", opts.store, "store entry ID (or ZUV_PF_STORE_ENTRYID)")->capture_default_str();
  app.add_option("--client-id", opts.client_id, "ClientIdentifier of this client (default zuvctl-HOST-PID)");
  app.add_option("--timeout", opts.timeout_s, "seconds to wait for each answer")
      ->check(CLI::Range(0.1, 86400.0))
      ->capture_default_str();
  app.add_flag("--json", opts.json, "machine output: one JSON object per line");
  app.require_subcommand(1);

  int status = kExitOk;
  AddFolderCommands(&app, &opts, &status);
  AddTableCommands(&app, &opts, &status);
  AddItemCommands(&app, &opts, &status);
  AddDirectoryCommands(&app, &opts, &status);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // CLI11 reports a misspelt command as a missing one; name the word.
    const CLI::App* at = &app;
    std::string parents;
    while (!at->get_subcommands().empty()) {
      at = at->get_subcommands().front();
      parents += at->get_name() + " ";
    }
    if (at->get_require_subcommand_min() > 0) {
      const std::string word = UnknownCommand(app);
      if (!word.empty()) {
        return Fail("unknown command \"" + parents + word + "\"; see zuvctl " + parents + "--help", kExitUsage);
      }
    }
    app.exit(e);
    return kExitUsage;
  }
  std::fflush(stdout);
  return status;
}
