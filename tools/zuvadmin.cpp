// zuvadmin.cpp: administration of the message store: the command line, the
// store path, and the commands that manage servers, mailboxes, folders,
// devices and single messages. Mail parsing and import live in
// zuvadmin_mail.cpp, property names and values in zuvadmin_props.cpp.
#include "zuvadmin.h"

#include <sys/mman.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <strings.h>
#include <system_error>

#include "base/logging.h"
#include "base/process.h"
#include "base/registry_file.h"
#include "base/settings.h"
#include "mapi/mapitags.h"

namespace zuvadmin {

namespace fs = std::filesystem;

int Fail(std::string_view text) {
  Warn(text);
  return kExitFailure;
}

void Warn(std::string_view text) {
  std::fprintf(stderr, "zuvadmin: %.*s\n", static_cast<int>(text.size()), text.data());
}

// ---- Output ----

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

JsonLine& JsonLine::StrArray(const char* key, const std::vector<std::string>& values) {
  writer_.Key(key);
  writer_.StartArray();
  for (const std::string& v : values) writer_.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
  writer_.EndArray();
  return *this;
}

void JsonLine::Print() {
  writer_.EndObject();
  std::fwrite(buffer_.GetString(), 1, buffer_.GetSize(), stdout);
  std::fputc('\n', stdout);
}

namespace {

// Width of UTF-8 text in characters (continuation bytes do not count).
size_t TextWidth(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

Listing::Listing(bool json, std::vector<std::string> header) : json_(json) { rows_.push_back(std::move(header)); }

Listing& Listing::Member(const char* key, std::optional<std::string> cell, std::string_view json) {
  if (json_) {
    if (!line_) line_ = std::make_unique<JsonLine>();
    if (json.empty()) {
      line_->Str(key, cell.value_or(""));
    } else {
      line_->writer().Key(key);
      line_->writer().RawValue(json.data(), json.size(), rapidjson::kObjectType);
    }
  } else if (cell) {
    if (rows_.size() == 1) rows_.emplace_back();
    for (char& c : *cell) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    rows_.back().push_back(std::move(*cell));
  }
  return *this;
}

Listing& Listing::List(const char* key, const std::vector<std::string>& values) {
  std::string text;
  rapidjson::StringBuffer json;
  rapidjson::Writer<rapidjson::StringBuffer> writer(json);
  writer.StartArray();
  for (const std::string& v : values) {
    text += (text.empty() ? "" : ", ") + v;
    writer.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
  }
  writer.EndArray();
  return Member(key, text, json.GetString());
}

void Listing::EndRow() {
  if (json_) {
    if (line_) line_->Print();
    line_.reset();
  } else {
    rows_.emplace_back();
  }
}

void Listing::Finish() const {
  if (json_) return;
  std::vector<size_t> widths;
  for (const auto& row : rows_) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], TextWidth(row[i]));
  }
  for (const auto& row : rows_) {
    if (row.empty()) continue;  // the one EndRow leaves open
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - TextWidth(row[i]) + 2, ' ');
    }
    std::puts(line.c_str());
  }
}

// ---- Store helpers ----

HRESULT OpenFolder(const Context& ctx, const std::string& alias, bool is_public, const std::string& path,
                   MapiPtr<IMAPIFolder>* folder) {
  std::string err;
  HRESULT hr = ctx.admin->OpenFolder(alias, is_public, path, folder->put(), &err);
  if (FAILED(hr)) Fail(err.empty() ? "cannot open folder " + path : err);
  return hr;
}

bool OpenMessage(const Context& ctx, const std::string& alias, const std::string& hex,
                 MapiPtr<IMessage>* message) {
  std::string bytes;
  if (!zuvstore::HexToEntryId(hex, &bytes) || bytes.empty()) {
    Fail("bad entry ID " + hex + ": not a hexadecimal entry ID");
    return false;
  }
  MapiPtr<IMAPIFolder> root;
  if (FAILED(OpenFolder(ctx, alias, false, "/", &root))) return false;
  ULONG type = 0;
  MapiPtr<IUnknown> entry;
  HRESULT hr = root->OpenEntry(static_cast<ULONG>(bytes.size()), reinterpret_cast<LPENTRYID>(bytes.data()),
                               nullptr, MAPI_MODIFY, &type, entry.put());
  if (hr == MAPI_E_INVALID_ENTRYID) {
    Fail("bad entry ID " + hex + ": not an entry ID of this store");
    return false;
  }
  if (hr == MAPI_E_NOT_FOUND) {
    Fail("no message with entry ID " + hex + " in mailbox " + alias);
    return false;
  }
  if (FAILED(hr)) {
    Fail("cannot open entry " + hex + ": " + MapiErrorText(root.get(), hr));
    return false;
  }
  if (type != MAPI_MESSAGE) {
    Fail("entry ID " + hex + " is not a message");
    return false;
  }
  *message = MapiPtr<IMessage>(static_cast<IMessage*>(entry.release()));
  return true;
}

std::string EntryIdOf(IMAPIProp* obj) {
  auto tags = MakePropTags(PR_ENTRYID);
  ULONG n = 0;
  MapiBuffer<SPropValue> value;
  if (FAILED(obj->GetProps(tags.get(), 0, &n, value.put())) || n != 1 ||
      PROP_TYPE(value[0].ulPropTag) != PT_BINARY) {
    return "";
  }
  return zuvstore::EntryIdToHex(value[0].Value.bin.lpb, value[0].Value.bin.cb);
}

FILETIME FileTimeFromUnixMicros(int64_t micros) {
  constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;  // 1970-01-01 in FILETIME ticks
  const uint64_t ticks = kUnixEpochTicks + static_cast<uint64_t>(micros) * 10;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

FILETIME FileTimeNow() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return FileTimeFromUnixMicros(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

namespace {

// ---- The store path ----

// The service's settings reader logs each step through the service's
// loggers, which write to stderr until configured. An empty configuration
// (no targets, no rules) silences them, so stderr carries only our messages.
void SilenceServiceLogging() {
  const int fd = memfd_create("zuvadmin-nlog", 0);
  if (fd < 0) return;
  static const char kEmptyConfig[] = "<nlog/>";
  if (write(fd, kEmptyConfig, sizeof(kEmptyConfig) - 1) == sizeof(kEmptyConfig) - 1) {
    std::string err;
    (void)zuv::ConfigureLoggingFromFile("/proc/self/fd/" + std::to_string(fd), ".", &err);
  }
  close(fd);
}

// The service's rule: StorePath of the registry file named by
// TOVANIX_REGISTRY, else <module dir>/data/zuvstore.db.
std::string DefaultStorePath() {
  SilenceServiceLogging();
  const char* env = std::getenv("TOVANIX_REGISTRY");
  const std::string path = env != nullptr && *env != '\0' ? env : zuv::kDefaultRegistryPath;
  zuv::RegistryFile registry;
  std::string why;
  if (registry.Load(path, &why) == zuv::kRegistryFileUnreadable) {
    Warn("cannot read the registry file " + why + "; using the default store path");
  }
  return zuv::ServiceSettings(registry, zuv::ModuleDirectory()).StorePath();
}

// Opens the store at path. Only init creates one: elsewhere a missing file
// is an error, so a mistyped path never leaves an empty store behind.
int OpenStore(const std::string& path, bool create, std::unique_ptr<zuvstore::StoreAdmin>* admin) {
  std::error_code ec;
  if (create) {
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && !fs::create_directories(parent, ec) && ec) {
      return Fail("cannot create the directory " + parent.string() + ": " + ec.message());
    }
  } else if (!fs::exists(path, ec)) {
    return Fail("no store at " + path + " (zuvadmin init creates one)");
  }
  std::string err;
  if (FAILED(zuvstore::StoreAdmin::Open(path, admin, &err))) {
    return Fail("cannot open the store " + path + ": " + err);
  }
  return kExitOk;
}

// ---- Commands ----

int Init(const Context& ctx) {
  std::error_code ec;
  const std::string path = fs::absolute(ctx.admin->path(), ec).lexically_normal().string();
  if (ctx.json) {
    JsonLine().Str("store", path).Print();
  } else {
    std::puts(path.c_str());
  }
  return kExitOk;
}

int AddServer(const Context& ctx, const std::string& name, bool cas) {
  std::string err;
  if (FAILED(ctx.admin->AddServer(name, cas, &err))) return Fail(err);
  if (ctx.json) JsonLine().Str("server", name).Bool("cas", cas).Print();
  return kExitOk;
}

int AddMailbox(const Context& ctx, const zuvstore::MailboxSpec& mailbox) {
  std::string err, entry_id;
  if (FAILED(ctx.admin->AddMailbox(mailbox, &entry_id, &err))) return Fail(err);
  if (ctx.json) {
    JsonLine().Str("alias", mailbox.alias).Str("entry_id", entry_id).Print();
  } else {
    std::puts(entry_id.c_str());
  }
  return kExitOk;
}

int ListMailboxes(const Context& ctx) {
  std::vector<zuvstore::MailboxInfo> boxes;
  std::string err;
  if (FAILED(ctx.admin->ListMailboxes(&boxes, &err))) return Fail(err);
  Listing list(ctx.json, {"ALIAS", "DISPLAY NAME", "SMTP", "LEGACY DN", "SERVER", "ENTRY ID"});
  for (const auto& b : boxes) {
    list.Str("alias", b.alias)
        .Str("display_name", b.display_name)
        .List("smtp", b.smtp)
        .Str("legacy_dn", b.legacy_dn)
        .Str("server", b.server)
        .Str("entry_id", b.store_entry_id)
        .Member("public", std::nullopt, b.is_public ? "true" : "false")
        .EndRow();
  }
  list.Finish();
  return kExitOk;
}

// The store an "ALIAS|--public" operand names; fails on both or neither.
int CheckTarget(const std::string& alias, bool is_public) {
  if (is_public && !alias.empty()) return Fail("give a mailbox alias or --public, not both");
  if (!is_public && alias.empty()) return Fail("give a mailbox alias or --public");
  return kExitOk;
}

// Folder paths in tree order: each folder before its subfolders, siblings by
// name ignoring case, the IPM subtree before the folders at the store root.
bool TreeOrder(const std::string& a, const std::string& b) {
  const bool a_root = !a.empty() && a[0] == '/', b_root = !b.empty() && b[0] == '/';
  if (a_root != b_root) return b_root;
  size_t i = 0, j = 0;
  for (;;) {
    const size_t a_end = std::min(a.find('/', i), a.size()), b_end = std::min(b.find('/', j), b.size());
    const size_t a_len = a_end - i, b_len = b_end - j;
    const int c = strncasecmp(a.c_str() + i, b.c_str() + j, std::min(a_len, b_len));
    if (c != 0 || a_len != b_len) return c != 0 ? c < 0 : a_len < b_len;
    if (a_end == a.size() || b_end == b.size()) return a_end == a.size() && b_end != b.size();
    i = a_end + 1;
    j = b_end + 1;
  }
}

int ListFolders(const Context& ctx, const std::string& alias, bool is_public) {
  if (int rc = CheckTarget(alias, is_public); rc != kExitOk) return rc;
  std::vector<zuvstore::FolderInfo> folders;
  std::string err;
  if (FAILED(ctx.admin->ListFolders(alias, is_public, &folders, &err))) return Fail(err);
  std::sort(folders.begin(), folders.end(),
            [](const zuvstore::FolderInfo& a, const zuvstore::FolderInfo& b) { return TreeOrder(a.path, b.path); });
  Listing list(ctx.json, {"PATH", "ENTRY ID", "MESSAGES", "FOLDERS", "CLASS"});
  for (const auto& f : folders) {
    list.Str("path", f.path)
        .Str("entry_id", f.entry_id)
        .Int("content_count", f.content_count)
        .Int("child_count", f.child_count)
        .Str("class", f.container_class)
        .EndRow();
  }
  list.Finish();
  return kExitOk;
}

int CreateFolder(const Context& ctx, const std::string& alias, bool is_public, const std::string& path,
                 const std::string& container_class) {
  if (int rc = CheckTarget(alias, is_public); rc != kExitOk) return rc;
  std::string err, entry_id;
  if (FAILED(ctx.admin->CreateFolderPath(alias, is_public, path, container_class, &entry_id, &err))) {
    return Fail(err);
  }
  if (ctx.json) {
    JsonLine().Str("path", path).Str("entry_id", entry_id).Print();
  } else {
    std::puts(entry_id.c_str());
  }
  return kExitOk;
}

int DeleteMessage(const Context& ctx, const std::string& alias, const std::string& hex) {
  MapiPtr<IMessage> message;
  if (!OpenMessage(ctx, alias, hex, &message)) return kExitFailure;
  auto tags = MakePropTags(PR_PARENT_ENTRYID);
  ULONG n = 0;
  MapiBuffer<SPropValue> parent;
  HRESULT hr = message->GetProps(tags.get(), 0, &n, parent.put());
  if (FAILED(hr) || PROP_TYPE(parent[0].ulPropTag) != PT_BINARY) {
    return Fail("cannot find the folder of message " + hex);
  }
  MapiPtr<IMAPIFolder> root;
  if (FAILED(OpenFolder(ctx, alias, false, "/", &root))) return kExitFailure;
  ULONG type = 0;
  MapiPtr<IUnknown> folder;
  hr = root->OpenEntry(parent[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(parent[0].Value.bin.lpb), nullptr,
                       MAPI_MODIFY, &type, folder.put());
  if (FAILED(hr) || type != MAPI_FOLDER) return Fail("cannot open the folder of message " + hex);
  message.reset();

  std::string bytes;
  (void)zuvstore::HexToEntryId(hex, &bytes);  // checked by OpenMessage
  SBinary id{static_cast<ULONG>(bytes.size()), reinterpret_cast<LPBYTE>(bytes.data())};
  SBinaryArray list{1, &id};
  auto* parent_folder = static_cast<IMAPIFolder*>(folder.get());
  hr = parent_folder->DeleteMessages(&list, 0, nullptr, 0);
  if (hr == MAPI_W_PARTIAL_COMPLETION) return Fail("message " + hex + " was deleted meanwhile");
  if (FAILED(hr)) return Fail("cannot delete message " + hex + ": " + MapiErrorText(parent_folder, hr));
  if (ctx.json) JsonLine().Str("entry_id", hex).Bool("deleted", true).Print();
  return kExitOk;
}

constexpr const char* kSyncDataFolder = "/ExchangeSyncData";

int AddDevice(const Context& ctx, const std::string& alias, const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) {
    return Fail("a device name must be non-empty and without '/': " + name);
  }
  const std::string path = std::string(kSyncDataFolder) + "/" + name;
  std::vector<zuvstore::FolderInfo> folders;
  std::string err, entry_id;
  if (FAILED(ctx.admin->ListFolders(alias, false, &folders, &err))) return Fail(err);
  for (const auto& f : folders) {
    // Folder names compare ignoring case, as the store matches them.
    if (strcasecmp(f.path.c_str(), path.c_str()) == 0) {
      return Fail("device " + name + " exists in mailbox " + alias);
    }
  }
  // The device and its SyncStatus child in one transaction.
  if (FAILED(ctx.admin->CreateFolderPath(alias, false, path + "/SyncStatus", "", &entry_id, &err)) ||
      FAILED(ctx.admin->CreateFolderPath(alias, false, path, "", &entry_id, &err))) {
    return Fail(err);
  }
  if (ctx.json) JsonLine().Str("device", name).Str("entry_id", entry_id).Print();
  return kExitOk;
}

// ---- Command line ----

constexpr const char* kFooter =
    "Entry IDs are upper-case hexadecimal strings. A folder PATH is a '/'-separated list of\n"
    "display names below the mailbox's \"Top of Information Store\" (\"Inbox/Projects\"); a\n"
    "leading '/' starts at the store root (\"/ExchangeSyncData\").\n"
    "\n"
    "The store is --store, else StorePath of the registry file named by TOVANIX_REGISTRY\n"
    "(default /etc/tovanix/registry.reg), else <module dir>/data/zuvstore.db, the module\n"
    "directory being ZUV_HOME or the directory of this program.\n"
    "\n"
    "Exit status: 0 done, 1 failed (nothing changed), 2 bad command line,\n"
    "3 done but some messages were skipped.";

struct Options {
  std::string store;
  bool json = false;
  // Operands of the commands; each command reads its own.
  std::string alias, path, name, folder, entry_id, container_class = "IPF.Note", file;
  bool is_public = false, cas = false, no_html = false;
  zuvstore::MailboxSpec mailbox;
  std::vector<std::string> files, columns, assignments;
};

void AddTarget(CLI::App* cmd, Options& opts) {
  cmd->add_option("ALIAS", opts.alias, "mailbox alias (omit with --public)");
  cmd->add_flag("--public", opts.is_public, "the public folder store instead of a mailbox");
}

int Main(int argc, char** argv) {
  CLI::App app{"zuvadmin: administration of the ZUV message store and mail import", "zuvadmin"};
  app.footer(kFooter);
  app.require_subcommand(1);
  app.fallthrough();  // --store and --json may follow the command too
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "zuvadmin: " + std::string(e.what()) + "\nRun with --help for more information.\n";
  });
  Options opts;
  app.add_option("--store", opts.store, "the store database (default: see below)");
  app.add_flag("--json", opts.json, "print one JSON object per line instead of text");

  CLI::App* init = app.add_subcommand("init", "create an empty store (idempotent); prints its path");

  CLI::App* add_server = app.add_subcommand("add-server", "add a mailbox server (or client access name)");
  add_server->add_option("NAME", opts.name, "server name")->required();
  add_server->add_flag("--cas", opts.cas, "a client access name rather than a mailbox server");

  CLI::App* add_mailbox = app.add_subcommand("add-mailbox", "add a mailbox with its default folders; prints its store entry ID");
  add_mailbox->add_option("ALIAS", opts.mailbox.alias, "mailbox alias")->required();
  add_mailbox->add_option("--display-name", opts.mailbox.display_name, "display name")->required();
  add_mailbox->add_option("--smtp", opts.mailbox.smtp, "SMTP address; repeat for more, the first is primary")
      ->required();
  add_mailbox->add_option("--legacy-dn", opts.mailbox.legacy_dn, "legacy Exchange DN")->required();
  add_mailbox->add_option("--server", opts.mailbox.server, "home server (added with add-server)")->required();
  add_mailbox->add_flag("--no-html", opts.no_html, "withdraw STORE_HTML_OK: HTML bodies are kept as RTF");

  CLI::App* list_mailboxes = app.add_subcommand("list-mailboxes", "list the mailboxes and the public folder store");

  CLI::App* list_folders = app.add_subcommand("list-folders", "list the whole folder tree of a mailbox or the public store");
  AddTarget(list_folders, opts);

  CLI::App* create_folder = app.add_subcommand("create-folder", "create the missing folders along PATH; prints the last one's entry ID");
  AddTarget(create_folder, opts);
  create_folder->add_option("PATH", opts.path, "folder path");
  create_folder->add_option("--class", opts.container_class, "container class of created folders")
      ->capture_default_str();

  CLI::App* deliver = app.add_subcommand("deliver", "deliver RFC 5322 messages into a folder; prints one entry ID per message");
  deliver->add_option("ALIAS", opts.alias, "mailbox alias")->required();
  deliver->add_option("--folder", opts.folder, "folder path, e.g. Inbox")->required();
  deliver->add_option("FILE", opts.files, "message files; - reads standard input")->required();

  CLI::App* import_mbox = app.add_subcommand("import-mbox", "import every message of an mbox file into a folder");
  import_mbox->add_option("ALIAS", opts.alias, "mailbox alias")->required();
  import_mbox->add_option("--folder", opts.folder, "folder path, e.g. Inbox")->required();
  import_mbox->add_option("FILE", opts.file, "mbox file")->required();

  CLI::App* list_messages = app.add_subcommand("list-messages", "list the messages of a folder, one row per message");
  AddTarget(list_messages, opts);
  list_messages->add_option("--folder", opts.folder, "folder path")->required();
  list_messages->add_option("--columns", opts.columns,
                            "property names (PR_..., PidLid..., or 0x tags); default "
                            "PR_SUBJECT,PR_SENDER_NAME,PR_MESSAGE_DELIVERY_TIME,PR_MESSAGE_SIZE")
      ->delimiter(',');

  CLI::App* set_property = app.add_subcommand("set-property", "set properties of a message by symbolic name");
  set_property->add_option("ALIAS", opts.alias, "mailbox alias")->required();
  set_property->add_option("ENTRYID", opts.entry_id, "message entry ID")->required();
  set_property->add_option("NAME=VALUE", opts.assignments,
                           "property and value, parsed by the property's type: text, numbers, "
                           "true/false, ISO 8601 times or 'now', hex for binaries; "
                           "multiple values separated by ','")
      ->required();

  CLI::App* delete_message = app.add_subcommand("delete-message", "delete a message");
  delete_message->add_option("ALIAS", opts.alias, "mailbox alias")->required();
  delete_message->add_option("ENTRYID", opts.entry_id, "message entry ID")->required();

  CLI::App* add_device = app.add_subcommand("add-device", "record a mobile device: /ExchangeSyncData/NAME with a SyncStatus child");
  add_device->add_option("ALIAS", opts.alias, "mailbox alias")->required();
  add_device->add_option("NAME", opts.name, "device name")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // CLI11 reports a misspelt command as a missing one; name the word.
    if (e.get_exit_code() != 0 && app.get_subcommands().empty()) {
      for (const std::string& word : app.remaining()) {
        if (word.empty() || word[0] == '-') continue;
        Fail("unknown command \"" + word + "\"; see zuvadmin --help");
        return kExitUsage;
      }
    }
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }

  // Operands CLI11 cannot check: with --public the only operand is the path.
  if (create_folder->parsed() && opts.is_public && opts.path.empty()) std::swap(opts.alias, opts.path);
  if (create_folder->parsed() && opts.path.empty()) return Fail("create-folder needs a folder PATH");

  const std::string store = opts.store.empty() ? DefaultStorePath() : opts.store;
  std::unique_ptr<zuvstore::StoreAdmin> admin;
  if (int rc = OpenStore(store, init->parsed(), &admin); rc != kExitOk) return rc;
  const Context ctx{admin.get(), opts.json};

  if (init->parsed()) return Init(ctx);
  if (add_server->parsed()) return AddServer(ctx, opts.name, opts.cas);
  if (add_mailbox->parsed()) {
    opts.mailbox.html_ok = !opts.no_html;
    return AddMailbox(ctx, opts.mailbox);
  }
  if (list_mailboxes->parsed()) return ListMailboxes(ctx);
  if (list_folders->parsed()) return ListFolders(ctx, opts.alias, opts.is_public);
  if (create_folder->parsed()) return CreateFolder(ctx, opts.alias, opts.is_public, opts.path, opts.container_class);
  if (deliver->parsed()) return Deliver(ctx, {opts.alias, opts.folder, opts.files});
  if (import_mbox->parsed()) return ImportMbox(ctx, {opts.alias, opts.folder, opts.file});
  if (list_messages->parsed()) {
    if (int rc = CheckTarget(opts.alias, opts.is_public); rc != kExitOk) return rc;
    return ListMessages(ctx, {opts.alias, opts.is_public, opts.folder, opts.columns});
  }
  if (set_property->parsed()) return SetProperty(ctx, {opts.alias, opts.entry_id, opts.assignments});
  if (delete_message->parsed()) return DeleteMessage(ctx, opts.alias, opts.entry_id);
  if (add_device->parsed()) return AddDevice(ctx, opts.alias, opts.name);
  return Fail("no command given");
}

}  // namespace
}  // namespace zuvadmin

int main(int argc, char** argv) {
  // Nothing may unwind out of main: a library exception becomes an error line.
  try {
    return zuvadmin::Main(argc, argv);
  } catch (const std::exception& e) {
    return zuvadmin::Fail(e.what());
  }
}
