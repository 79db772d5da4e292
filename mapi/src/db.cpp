// db.cpp: connections, schema, transactions and the change journal.
#include "db.h"

#include "com.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <thread>
#include <unordered_map>

namespace zuvstore {
namespace {

constexpr int kSchemaVersion = 1;
constexpr int kSqliteBusyTimeoutMs = 250;  // one wait inside SQLite; we loop around it
constexpr int64_t kJournalKeepMs = 10 * 60 * 1000;
constexpr int kJournalPruneEvery = 512;

// Object IDs are AUTOINCREMENT: an entry ID, once given out, never names
// another object after its own is deleted.
const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT)",
    "CREATE TABLE IF NOT EXISTS servers(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE COLLATE "
    "NOCASE, cas INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS stores(id INTEGER PRIMARY KEY, guid BLOB NOT NULL UNIQUE, kind "
    "INTEGER NOT NULL, alias TEXT UNIQUE COLLATE NOCASE, display_name TEXT NOT NULL, legacy_dn TEXT "
    "COLLATE NOCASE, server_id INTEGER REFERENCES servers(id), html_ok INTEGER NOT NULL DEFAULT 1, "
    "root_id INTEGER NOT NULL DEFAULT 0, props BLOB NOT NULL DEFAULT x'')",
    "CREATE INDEX IF NOT EXISTS stores_dn ON stores(legacy_dn)",
    "CREATE TABLE IF NOT EXISTS smtp(address TEXT PRIMARY KEY COLLATE NOCASE, store_id INTEGER NOT "
    "NULL REFERENCES stores(id), is_primary INTEGER NOT NULL DEFAULT 0)",
    "CREATE INDEX IF NOT EXISTS smtp_store ON smtp(store_id)",
    "CREATE TABLE IF NOT EXISTS folders(id INTEGER PRIMARY KEY AUTOINCREMENT, store_id INTEGER NOT NULL, "
    "parent_id INTEGER NOT NULL DEFAULT 0, name TEXT COLLATE NOCASE, folder_type INTEGER NOT NULL "
    "DEFAULT 1, props BLOB NOT NULL, created INTEGER NOT NULL, modified INTEGER NOT NULL)",
    "CREATE INDEX IF NOT EXISTS folders_parent ON folders(parent_id, name)",
    "CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY AUTOINCREMENT, store_id INTEGER NOT NULL, "
    "folder_id INTEGER NOT NULL, assoc INTEGER NOT NULL DEFAULT 0, props BLOB NOT NULL, size "
    "INTEGER NOT NULL DEFAULT 0, has_attach INTEGER NOT NULL DEFAULT 0, created INTEGER NOT NULL, "
    "modified INTEGER NOT NULL)",
    "CREATE INDEX IF NOT EXISTS messages_folder ON messages(folder_id, assoc, id)",
    "CREATE TABLE IF NOT EXISTS attachments(id INTEGER PRIMARY KEY AUTOINCREMENT, message_id INTEGER NOT NULL, "
    "attach_num INTEGER NOT NULL, props BLOB NOT NULL, UNIQUE(message_id, attach_num))",
    "CREATE TABLE IF NOT EXISTS recipients(id INTEGER PRIMARY KEY AUTOINCREMENT, message_id INTEGER NOT NULL, "
    "row_id INTEGER NOT NULL, props BLOB NOT NULL)",
    "CREATE INDEX IF NOT EXISTS recipients_message ON recipients(message_id, row_id)",
    "CREATE TABLE IF NOT EXISTS large_props(kind INTEGER NOT NULL, obj_id INTEGER NOT NULL, "
    "prop_id INTEGER NOT NULL, value BLOB NOT NULL, PRIMARY KEY(kind, obj_id, prop_id)) WITHOUT "
    "ROWID",
    "CREATE TABLE IF NOT EXISTS large_chunks(kind INTEGER NOT NULL, obj_id INTEGER NOT NULL, "
    "prop_id INTEGER NOT NULL, seq INTEGER NOT NULL, data BLOB NOT NULL, "
    "PRIMARY KEY(kind, obj_id, prop_id, seq))",
    "CREATE TABLE IF NOT EXISTS named_props(store_id INTEGER NOT NULL, prop_id INTEGER NOT NULL, "
    "guid BLOB NOT NULL, kind INTEGER NOT NULL, lid INTEGER NOT NULL DEFAULT 0, name TEXT NOT NULL "
    "DEFAULT '', PRIMARY KEY(store_id, prop_id), UNIQUE(store_id, guid, kind, lid, name))",
    "CREATE TABLE IF NOT EXISTS profiles(name TEXT PRIMARY KEY COLLATE NOCASE, password TEXT, "
    "created INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS services(uid BLOB PRIMARY KEY, profile TEXT NOT NULL COLLATE "
    "NOCASE, name TEXT NOT NULL, display_name TEXT, ord INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS profile_sections(profile TEXT NOT NULL COLLATE NOCASE, uid BLOB NOT "
    "NULL, props BLOB NOT NULL, PRIMARY KEY(profile, uid))",
    "CREATE TABLE IF NOT EXISTS journal(seq INTEGER PRIMARY KEY AUTOINCREMENT, origin INTEGER NOT "
    "NULL, store_id INTEGER NOT NULL, kind INTEGER NOT NULL, type INTEGER NOT NULL, folder_id "
    "INTEGER NOT NULL, object_id INTEGER NOT NULL, old_folder_id INTEGER NOT NULL DEFAULT 0, "
    "new_mail INTEGER NOT NULL DEFAULT 0, time INTEGER NOT NULL)",
};

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// One thread's connection to one database, with its statement cache and the
// write transaction it is inside, if any.
struct ThreadConn {
  sqlite3* conn = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> stmts;  // keyed by the SQL literal
  WriteTxn* txn = nullptr;
  int read_depth = 0;
  ~ThreadConn() {
    for (auto& [sql, stmt] : stmts) sqlite3_finalize(stmt);
    if (conn != nullptr) sqlite3_close_v2(conn);
  }
};

// Connections of this thread, keyed by the Db's serial number (never
// reused, so a Db at a reused address never finds another's connection).
struct ThreadConns {
  std::unordered_map<uint64_t, std::unique_ptr<ThreadConn>> by_db;
};
thread_local ThreadConns t_conns;

// Statements are cached per connection; Stmt finds the connection's cache
// through this map from sqlite3* to ThreadConn on the current thread.
ThreadConn* FindThreadConn(sqlite3* conn) {
  for (auto& [serial, tc] : t_conns.by_db) {
    if (tc->conn == conn) return tc.get();
  }
  return nullptr;
}

std::atomic<uint64_t> g_next_serial{1};
thread_local std::string t_last_open_error;

std::mutex g_registry_mu;
std::map<std::string, std::weak_ptr<Db>>& Registry() {  // guarded by g_registry_mu
  static auto* registry = new std::map<std::string, std::weak_ptr<Db>>;
  return *registry;
}

int64_t RandomOrigin() {
  std::random_device rd;
  uint64_t v = (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ static_cast<uint64_t>(getpid());
  return static_cast<int64_t>(v & 0x7FFFFFFFFFFFFFFFull);
}

// The mode a new marker gets: the database file's read and write bits, so
// that whoever may write the store may also wake its readers.
mode_t MarkerMode(const std::string& db_path) {
  struct stat st;
  if (stat(db_path.c_str(), &st) != 0) return 0644;
  return st.st_mode & 0666;
}

// Opens the marker for writing, creating it when missing. -1 and errno
// when it cannot.
int OpenMarker(const std::string& path, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
  if (fd >= 0) {
    fchmod(fd, mode);  // past the umask; best effort
    return fd;
  }
  if (errno == EEXIST) return open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  return -1;
}

bool Exec(sqlite3* conn, const char* sql) {
  return sqlite3_exec(conn, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace

// ---- Stmt ----

namespace {
// Runs a statement without results through the connection's statement cache.
bool StepOnce(sqlite3* conn, const char* sql) {
  Stmt s(conn, sql);
  return s.ok() && s.Step() == SQLITE_DONE;
}
}  // namespace

Stmt::Stmt(sqlite3* db, const char* sql) {
  if (db == nullptr) return;
  ThreadConn* tc = FindThreadConn(db);
  if (tc != nullptr) {
    auto it = tc->stmts.find(sql);
    if (it != tc->stmts.end()) {
      stmt_ = it->second;
      return;
    }
  }
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK) {
    stmt_ = nullptr;
    return;
  }
  if (tc != nullptr) tc->stmts.emplace(sql, stmt_);
  else owned_ = true;
}

Stmt::~Stmt() {
  if (stmt_ == nullptr) return;
  if (owned_) {
    sqlite3_finalize(stmt_);
    return;
  }
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

Stmt& Stmt::Bind(int i, int64_t v) {
  if (stmt_) sqlite3_bind_int64(stmt_, i, v);
  return *this;
}
Stmt& Stmt::Bind(int i, std::string_view text) {
  if (stmt_) sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}
Stmt& Stmt::BindBlob(int i, std::string_view bytes) {
  if (stmt_) {
    // An empty blob binds as a zero-length blob, not NULL.
    sqlite3_bind_blob(stmt_, i, bytes.empty() ? "" : bytes.data(), static_cast<int>(bytes.size()),
                      SQLITE_TRANSIENT);
  }
  return *this;
}
Stmt& Stmt::BindNull(int i) {
  if (stmt_) sqlite3_bind_null(stmt_, i);
  return *this;
}
int Stmt::Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }
int64_t Stmt::Int(int col) const { return sqlite3_column_int64(stmt_, col); }
std::string_view Stmt::Text(int col) const {
  auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
  return p ? std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
           : std::string_view();
}
std::string_view Stmt::Blob(int col) const {
  auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, col));
  return p ? std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
           : std::string_view();
}
bool Stmt::IsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

std::string SqliteError(sqlite3* conn) {
  return conn != nullptr ? sqlite3_errmsg(conn) : "no database connection";
}

// ---- WriteTxn ----

void WriteTxn::Emit(const ChangeEvent& e) {
  events_.push_back(e);
  Stmt s(conn_,
         "INSERT INTO journal(origin, store_id, kind, type, folder_id, object_id, old_folder_id, "
         "new_mail, time) VALUES(?,?,?,?,?,?,?,?,?)");
  s.Bind(1, db_->origin_)
      .Bind(2, e.store_id)
      .Bind(3, static_cast<int64_t>(e.kind))
      .Bind(4, static_cast<int64_t>(e.type))
      .Bind(5, e.folder_id)
      .Bind(6, e.object_id)
      .Bind(7, e.old_folder_id)
      .Bind(8, e.new_mail ? 1 : 0)
      .Bind(9, NowMs());
  s.Step();
}

// ---- Db ----

Db::Db(std::string path)
    : path_(std::move(path)),
      wake_path_(path_ + "-notify"),
      origin_(RandomOrigin()),
      serial_(g_next_serial.fetch_add(1)),
      pid_(getpid()) {}

Db::~Db() {
  t_conns.by_db.erase(serial_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

bool Db::EnsureWakeMarker() {
  struct stat st;
  if (stat(wake_path_.c_str(), &st) == 0) return true;
  if (errno != ENOENT) return false;
  const int fd = OpenMarker(wake_path_, MarkerMode(path_));
  if (fd < 0) return false;
  close(fd);
  return true;
}

void Db::SendWake() {
  std::lock_guard<std::mutex> lock(wake_mu_);
  if (wake_fd_ >= 0) {
    // A deleted marker (the store removed and made again) is watched by no
    // one; open the one at the path now.
    struct stat st;
    if (fstat(wake_fd_, &st) != 0 || st.st_nlink == 0) {
      close(wake_fd_);
      wake_fd_ = -1;
    }
  }
  if (wake_fd_ < 0) {
    const auto now = std::chrono::steady_clock::now();
    if (now < wake_retry_at_) return;
    wake_fd_ = OpenMarker(wake_path_, MarkerMode(path_));
    if (wake_fd_ < 0) {
      wake_retry_at_ = now + std::chrono::seconds(1);
      return;
    }
  }
  static const char kByte = '\n';
  if (pwrite(wake_fd_, &kByte, 1, 0) != 1) {
    close(wake_fd_);
    wake_fd_ = -1;
  }
}

HRESULT Db::Open(const std::string& path, std::shared_ptr<Db>* out, std::string* err) {
  std::string scratch;
  if (err == nullptr) err = &scratch;
  out->reset();
  namespace fs = std::filesystem;
  std::error_code ec;
  std::string key = fs::weakly_canonical(path, ec).string();
  if (ec || key.empty()) key = path;
  std::lock_guard<std::mutex> lock(g_registry_mu);
  auto it = Registry().find(key);
  if (it != Registry().end()) {
    // A Db made before a fork() belongs to the parent: its connections and
    // journal mark must not be shared with the child.
    auto existing = it->second.lock();
    if (existing && existing->pid_ == getpid()) {
      *out = std::move(existing);
      return S_OK;
    }
  }
  fs::path parent = fs::path(key).parent_path();
  if (!parent.empty() && !fs::is_directory(parent, ec)) {
    *err = "the folder of the store " + key + " does not exist";
    return MAPI_E_NOT_FOUND;
  }
  std::shared_ptr<Db> db(new Db(key));
  if (db->Conn() == nullptr) {
    *err = t_last_open_error;
    return t_last_open_error.find("not a database") != std::string::npos ? MAPI_E_CORRUPT_STORE
                                                                          : MAPI_E_CALL_FAILED;
  }
  HRESULT hr = db->CreateSchema(err);
  if (FAILED(hr)) return hr;
  Registry()[key] = db;
  *out = std::move(db);
  return S_OK;
}

sqlite3* Db::Conn() {
  auto& slot = t_conns.by_db[serial_];
  if (slot && slot->conn != nullptr) return slot->conn;
  slot = std::make_unique<ThreadConn>();
  sqlite3* conn = nullptr;
  int rc = sqlite3_open_v2(path_.c_str(), &conn,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    t_last_open_error = "cannot open " + path_ + ": " + SqliteError(conn);
    sqlite3_close_v2(conn);
    t_conns.by_db.erase(serial_);
    return nullptr;
  }
  sqlite3_busy_timeout(conn, kSqliteBusyTimeoutMs);
  sqlite3_extended_result_codes(conn, 1);
  // WAL: readers never block the writer; NORMAL sync keeps every commit
  // across a killed process (the OS has it) at a fraction of FULL's cost.
  char* msg = nullptr;
  rc = sqlite3_exec(conn,
                    "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=OFF; "
                    "PRAGMA temp_store=MEMORY; PRAGMA cache_size=-16000; PRAGMA mmap_size=268435456;",
                    nullptr, nullptr, &msg);
  if (rc != SQLITE_OK) {
    t_last_open_error = "cannot prepare " + path_ + ": " + (msg ? msg : SqliteError(conn));
    sqlite3_free(msg);
    sqlite3_close_v2(conn);
    t_conns.by_db.erase(serial_);
    return nullptr;
  }
  slot->conn = conn;
  return conn;
}

HRESULT Db::CreateSchema(std::string* err) {
  return Write(
      [&](WriteTxn& txn) -> HRESULT {
        for (const char* sql : kSchema) {
          if (!Exec(txn.conn(), sql)) {
            *err = "cannot create the store schema: " + SqliteError(txn.conn());
            return MAPI_E_CALL_FAILED;
          }
        }
        Stmt get(txn.conn(), "SELECT value FROM meta WHERE key='format'");
        if (get.Step() == SQLITE_ROW) {
          if (get.Text(0) != "zuvstore " + std::to_string(kSchemaVersion)) {
            *err = path_ + " holds a store of another format (" + std::string(get.Text(0)) + ")";
            return MAPI_E_VERSION;
          }
          return S_OK;
        }
        Stmt put(txn.conn(), "INSERT INTO meta(key, value) VALUES('format', ?)");
        put.Bind(1, "zuvstore " + std::to_string(kSchemaVersion));
        return put.Step() == SQLITE_DONE ? S_OK : MAPI_E_CALL_FAILED;
      },
      err);
}

HRESULT Db::Write(const std::function<HRESULT(WriteTxn&)>& fn, std::string* err) {
  std::string scratch;
  if (err == nullptr) err = &scratch;
  sqlite3* conn = Conn();
  if (conn == nullptr) {
    *err = t_last_open_error;
    return MAPI_E_CALL_FAILED;
  }
  ThreadConn* tc = t_conns.by_db[serial_].get();
  if (tc->txn != nullptr) {
    // Nested: part of the outer transaction, under a savepoint so that a
    // failing inner write undoes only itself (and its events).
    WriteTxn& outer = *tc->txn;
    size_t mark = outer.events_.size();
    if (!Exec(conn, "SAVEPOINT nested_write")) {
      *err = "cannot open a savepoint: " + SqliteError(conn);
      return MAPI_E_CALL_FAILED;
    }
    HRESULT hr = Guarded([&] { return fn(outer); });
    if (FAILED(hr)) {
      Exec(conn, "ROLLBACK TO nested_write");
      outer.events_.resize(mark);
    }
    Exec(conn, "RELEASE nested_write");
    return hr;
  }
  if (tc->read_depth > 0) {
    *err = "a write inside a read transaction";
    return MAPI_E_CALL_FAILED;
  }

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(busy_limit_ms_.load());
  for (;;) {
    int rc = sqlite3_exec(conn, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) break;
    if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) {
      *err = "cannot begin a write: " + SqliteError(conn);
      return MAPI_E_CALL_FAILED;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      *err = "the store is busy: another writer held it for " +
             std::to_string(busy_limit_ms_.load()) + " ms";
      return MAPI_E_BUSY;
    }
  }

  WriteTxn txn(this, conn);
  tc->txn = &txn;
  HRESULT hr = Guarded([&] { return fn(txn); });  // a throw rolls back like a failure
  tc->txn = nullptr;
  if (FAILED(hr)) {
    Exec(conn, "ROLLBACK");
    if (err->empty()) *err = SqliteError(conn);
    return hr;
  }
  for (;;) {
    int rc = sqlite3_exec(conn, "COMMIT", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) break;
    if ((rc & 0xFF) == SQLITE_BUSY && std::chrono::steady_clock::now() < deadline) continue;
    *err = "cannot commit: " + SqliteError(conn);
    Exec(conn, "ROLLBACK");
    return (rc & 0xFF) == SQLITE_BUSY ? MAPI_E_BUSY : MAPI_E_CALL_FAILED;
  }
  if (!txn.events_.empty()) {
    if (emits_since_prune_.fetch_add(static_cast<int>(txn.events_.size())) >= kJournalPruneEvery) {
      emits_since_prune_.store(0);
      Stmt prune(conn, "DELETE FROM journal WHERE time < ?");
      prune.Bind(1, NowMs() - kJournalKeepMs);
      prune.Step();  // outside a transaction: its own small one; failure is harmless
    }
    Notify(txn.events_);
    SendWake();
  }
  return hr;
}

HRESULT Db::Read(const std::function<HRESULT(sqlite3*)>& fn, std::string* err) {
  std::string scratch;
  if (err == nullptr) err = &scratch;
  sqlite3* conn = Conn();
  if (conn == nullptr) {
    *err = t_last_open_error;
    return MAPI_E_CALL_FAILED;
  }
  ThreadConn* tc = t_conns.by_db[serial_].get();
  if (tc->txn != nullptr || tc->read_depth > 0) return fn(conn);
  // Prepared once per connection: a read is often a single lookup, for
  // which preparing BEGIN and COMMIT again cost as much as the lookup.
  if (!StepOnce(conn, "BEGIN")) {
    *err = "cannot begin a read: " + SqliteError(conn);
    return MAPI_E_CALL_FAILED;
  }
  ++tc->read_depth;
  HRESULT hr = Guarded([&] { return fn(conn); });
  --tc->read_depth;
  if (!StepOnce(conn, "COMMIT")) Exec(conn, "ROLLBACK");  // never leave the read open
  return hr;
}

int Db::AddChangeListener(ChangeListener listener) {
  std::lock_guard<std::mutex> lock(listeners_mu_);
  int id = next_listener_++;
  listeners_.emplace_back(id, std::move(listener));
  return id;
}

void Db::RemoveChangeListener(int id) {
  std::lock_guard<std::mutex> lock(listeners_mu_);
  for (auto it = listeners_.begin(); it != listeners_.end(); ++it) {
    if (it->first == id) {
      listeners_.erase(it);
      return;
    }
  }
}

void Db::Notify(const std::vector<ChangeEvent>& events) {
  std::vector<ChangeListener> copy;
  {
    std::lock_guard<std::mutex> lock(listeners_mu_);
    for (auto& [id, l] : listeners_) copy.push_back(l);
  }
  for (auto& l : copy) l(events);
}

HRESULT Db::ReadJournal(int64_t* seq, size_t limit, std::vector<ChangeEvent>* out) {
  sqlite3* conn = Conn();
  if (conn == nullptr) return MAPI_E_CALL_FAILED;
  Stmt s(conn,
         "SELECT seq, origin, store_id, kind, type, folder_id, object_id, old_folder_id, new_mail "
         "FROM journal WHERE seq > ? ORDER BY seq LIMIT ?");
  s.Bind(1, *seq).Bind(2, static_cast<int64_t>(limit));
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    *seq = s.Int(0);
    if (s.Int(1) == origin_) continue;  // this process notified these itself
    ChangeEvent e;
    e.store_id = s.Int(2);
    e.kind = static_cast<ObjKind>(s.Int(3));
    e.type = static_cast<ChangeType>(s.Int(4));
    e.folder_id = s.Int(5);
    e.object_id = s.Int(6);
    e.old_folder_id = s.Int(7);
    e.new_mail = s.Int(8) != 0;
    out->push_back(e);
  }
  return rc == SQLITE_DONE ? S_OK : MAPI_E_CALL_FAILED;
}

int64_t Db::JournalHead() {
  sqlite3* conn = Conn();
  if (conn == nullptr) return 0;
  Stmt s(conn, "SELECT COALESCE(MAX(seq), 0) FROM journal");
  return s.Step() == SQLITE_ROW ? s.Int(0) : 0;
}

}  // namespace zuvstore
