// db.h: the SQLite database behind the store.
//
// One Db per database file, shared by every session of the process. Each
// thread gets its own SQLite connection (WAL mode, busy timeout), so readers
// never wait for each other and a writer waits only for another writer.
// Write transactions are BEGIN IMMEDIATE and retried while the database is
// busy, up to the busy limit; then MAPI_E_BUSY is returned. A change made in
// a write transaction is journalled in the same transaction (so other
// processes see it) and, after commit, handed to the in-process notifier;
// then a byte is written to the wake-up marker (wake_path()) so that the
// notifiers of other processes, which watch it, read the journal at once.
//
// Thread safety: all members are safe from any thread.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/mapix.h"

namespace zuvstore {

// Object kinds in the change journal and in entry IDs.
enum class ObjKind : int { kStore = 1, kFolder = 3, kMessage = 5, kAttach = 7 };

// What happened to an object.
enum class ChangeType : int { kCreated = 1, kModified = 2, kDeleted = 3, kMoved = 4 };

// One change, as the journal keeps it and notifications need it.
struct ChangeEvent {
  int64_t store_id = 0;
  ObjKind kind = ObjKind::kMessage;
  ChangeType type = ChangeType::kModified;
  int64_t folder_id = 0;      // the folder holding the object (or the parent of a folder)
  int64_t object_id = 0;
  int64_t old_folder_id = 0;  // kMoved: where it was
  bool new_mail = false;      // a delivery into a receive folder
};

// A prepared statement, reset when it goes out of scope. Statements are
// cached per connection by the address of their SQL text, so one SQL literal
// must not be in use twice at once on a thread (no recursion while stepping).
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql);  // check ok()
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Stmt& Bind(int i, int64_t v);
  Stmt& Bind(int i, std::string_view text);     // as TEXT
  Stmt& BindBlob(int i, std::string_view bytes);
  Stmt& BindNull(int i);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();
  int64_t Int(int col) const;
  std::string_view Text(int col) const;
  std::string_view Blob(int col) const;
  bool IsNull(int col) const;
  sqlite3_stmt* raw() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  bool owned_ = false;  // not cached (a connection of another thread): finalized here
};

class Db;

// The context of one write transaction.
class WriteTxn {
 public:
  sqlite3* conn() const { return conn_; }
  // Records a change: journalled now, notified after commit.
  void Emit(const ChangeEvent& event);

 private:
  friend class Db;
  WriteTxn(Db* db, sqlite3* conn) : db_(db), conn_(conn) {}
  Db* db_;
  sqlite3* conn_;
  std::vector<ChangeEvent> events_;
};

// Receives the changes of committed transactions of this process, and those
// of other processes found in the journal.
using ChangeListener = std::function<void(const std::vector<ChangeEvent>& events)>;

class Db {
 public:
  // Opens (and on first use creates) the database at path. Returns S_OK and
  // a shared handle; the same path gives the same Db. On failure *err says
  // why (MAPI_E_NOT_FOUND for a missing directory, MAPI_E_CORRUPT_STORE for
  // a file that is not a store, MAPI_E_CALL_FAILED otherwise).
  [[nodiscard]] static HRESULT Open(const std::string& path, std::shared_ptr<Db>* out,
                                    std::string* err);

  // The calling thread's connection to this database (opened on first use).
  // nullptr when it cannot be opened; LastOpenError() says why.
  sqlite3* Conn();

  // err may be null where the caller does not want the text.
  // Runs fn inside BEGIN IMMEDIATE ... COMMIT. fn returns S_OK to commit, a
  // failure to roll back. SQLITE_BUSY at begin or commit is retried until
  // busy_limit_ms; then MAPI_E_BUSY with *err set. Nested calls from the same
  // thread run inside the outer transaction under a savepoint: a failing
  // nested call undoes only its own changes and events.
  [[nodiscard]] HRESULT Write(const std::function<HRESULT(WriteTxn&)>& fn, std::string* err);

  // Runs fn inside a read transaction (one consistent snapshot).
  [[nodiscard]] HRESULT Read(const std::function<HRESULT(sqlite3*)>& fn, std::string* err);

  // Listeners are called on the committing thread right after commit, with
  // no transaction open; they must only queue the events.
  int AddChangeListener(ChangeListener listener);
  void RemoveChangeListener(int id);

  // Reads journal entries of other processes after *seq (exclusive), up to
  // limit; advances *seq. Used by the notifier's poller.
  [[nodiscard]] HRESULT ReadJournal(int64_t* seq, size_t limit, std::vector<ChangeEvent>* out);
  // The newest journal sequence number (start point of a poller).
  int64_t JournalHead();

  const std::string& path() const { return path_; }
  // The wake-up marker: "<path>-notify", one byte long.
  const std::string& wake_path() const { return wake_path_; }
  // Creates the marker if it is missing, with the database file's mode.
  // False (errno set) when it cannot be made.
  bool EnsureWakeMarker();

  void set_busy_limit_ms(int ms) { busy_limit_ms_ = ms; }

  ~Db();

 private:
  explicit Db(std::string path);
  HRESULT CreateSchema(std::string* err);
  void Notify(const std::vector<ChangeEvent>& events);
  // Writes the marker after a commit that journalled changes. Never fails:
  // a marker that cannot be written is retried a second later, and the
  // other processes' notifiers find the changes by their slower poll.
  void SendWake();

  const std::string path_;
  const std::string wake_path_;
  const int64_t origin_;   // this process's mark on its journal entries
  const uint64_t serial_;  // keys this Db's per-thread connections
  const pid_t pid_;        // the process that opened it (see Open)
  std::atomic<int> emits_since_prune_{0};
  std::atomic<int> busy_limit_ms_{10000};
  std::mutex listeners_mu_;
  std::vector<std::pair<int, ChangeListener>> listeners_;  // guarded by listeners_mu_
  int next_listener_ = 1;                                   // guarded by listeners_mu_
  std::mutex wake_mu_;
  int wake_fd_ = -1;                                      // the marker; guarded by wake_mu_
  std::chrono::steady_clock::time_point wake_retry_at_;   // guarded by wake_mu_
  friend class WriteTxn;
};

// Text of the last SQLite error on conn, for MAPIERROR records.
std::string SqliteError(sqlite3* conn);

}  // namespace zuvstore
