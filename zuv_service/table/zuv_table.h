// zuv_table.h: ZUV_Table, the cached copy of one folder's contents table,
// and the interface through which it tells its listeners about row changes.
//
// Ownership: the session cache owns its tables through std::shared_ptr
// (ZUV_Cache::AddTable). Whoever works with a table - a fill thread, a
// reading request, a client listening to it - holds a shared_ptr of its own,
// so a table dropped from the cache stays valid until the last of them lets
// go. A table never owns its listeners: it holds them by weak reference
// and they unregister themselves (RemoveListener) before they end. A table
// owns its folder (and through it the MAPI contents table) and its rows.
// The rows a contents fill builds live in the chunks of an arena the run
// owns (zuv_row_arena.h); a row outlives both the run and the table.
//
// This module never includes client/ or cache/: listeners are whatever
// implements ZUV_TableListener, and the session a table reads through is
// whatever implements ZUV_TableSession.
//
// Threading: identity fields are set at construction and never change. The
// rows, the change log, the column maps, the listeners and the state are
// guarded by mu_, held only around the insertion or merge of a batch of
// rows, a reader's pass and the state change, never across a MAPI call.
// change_ (with mu_) wakes readers waiting for more rows, once per part
// of a batch stored (128 rows). fetch_mu_ serialises the population runs of one table (they share
// its folder object); it is taken before mu_. setup_mu_ (LockSetup) is a
// read's column set-up, taken before both.
//
// Threads: StartFetch of a cached table starts one detached fill thread
// per run; it holds a reference to the table and ends when the run ends.
// One-shot tables fill on the caller's thread.
//
// Notifications: the advise sink calls OnTableNotification on the store's
// notifier thread. It reads messages through a folder of its own
// (notify_folder_, under notify_mu_, never held with fetch_mu_: the fill
// thread's Unadvise waits for a running delivery) and takes mu_ only
// around the lookup and merge or removal.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/request_values.h"
#include "base/thread_annotations.h"
#include "mapi/mapix.h"
#include "mapi/zuvstore_values.h"
#include "table/zuv_row.h"
#include "table/zuv_row_index.h"

class CMapiExMod;
class CMAPIFolder;

// What happened to a row, as pushed to listeners (the DataType codes).
enum class ZUV_RowEvent : int32_t {
  kAdded = 502,
  kDeleted = 503,
  kModified = 504,
  kTableFill = 505,
};

// Table states.
enum ZUV_TableState : int32_t {
  kTableInit = 1,
  kTableFetching = 2,
  kTableFetched = 3,
  kTableResolveFailed = 4,
};

class ZUV_Table;

// Told by a table about each row change that takes effect. Called on the
// thread that changed the table, without the table's lock held. row is the
// stored row (the removed one for kDeleted; it may be null then).
class ZUV_TableListener {
 public:
  virtual ~ZUV_TableListener() = default;
  virtual void OnRowEvent(const ZUV_Table& table, ZUV_RowEvent event, const std::string& rowKey,
                          const ZUV_RowRef& row) = 0;
  // Where the listener's pushes go, and whose record it is.
  virtual const std::string& NotificationHost() const = 0;
  virtual int32_t NotificationPort() const = 0;
  virtual const std::string& ClientId() const = 0;
  virtual const std::string& ListenerFolderEntryID() const = 0;
};

// The session a table reads through: its log name, its MAPI module and the
// property-name lookup of the session's folders. Must outlive its tables.
class ZUV_TableSession {
 public:
  virtual ~ZUV_TableSession() = default;
  virtual const std::string& TableLogName() const = 0;
  virtual CMapiExMod* TableMapi() const = 0;
  // 0 with *tag set, non-zero when name resolves to nothing.
  virtual uint32_t TableTagFromName(const std::string& folderEntryID, const std::string& storeEntryID,
                                    const std::string& name, ULONG* tag) = 0;
};

// A reader's place in a table's changes (see CountMatching).
struct ZUV_TableCursor {
  bool scanned = false;
  uint64_t seen = 0;  // changes taken into count
  size_t count = 0;   // matching rows
};

using ZUV_RowMatch = std::function<bool(const ZUV_Row& row)>;

class ZUV_Table : public std::enable_shared_from_this<ZUV_Table> {
 public:
  // A table without a session: identity only, nothing to read.
  ZUV_Table(std::string storeEntryID, std::string folderEntryID);
  // A table of folderEntryID in storeEntryID read through session. cacheData
  // non-zero: a cached table, filled on a thread of its own; zero: a one-shot
  // table filled on the caller's thread with the criteria applied by MAPI.
  ZUV_Table(ZUV_TableSession* session, std::string folderEntryID, std::string storeEntryID,
            std::vector<std::string> requestedColumnNames, uint32_t cacheData);
  ~ZUV_Table();
  ZUV_Table(const ZUV_Table&) = delete;
  ZUV_Table& operator=(const ZUV_Table&) = delete;

  const std::string& StoreEntryID() const { return store_entry_id_; }
  const std::string& FolderEntryID() const { return folder_entry_id_; }
  const std::string& FolderShortID() const { return folder_short_id_; }
  const std::string& StoreShortID() const { return store_short_id_; }
  // The key the session cache files the table under.
  const std::string& Key() const { return key_; }
  uint32_t CacheData() const { return cache_data_; }
  const std::vector<std::string>& RequestedColumnNames() const { return requested_column_names_; }
  const std::string& LogName() const;

  // The cache key of a folder in a store.
  static std::string MakeKey(const std::string& storeEntryID, const std::string& folderEntryID);

  // ---- Set-up (request threads) ----

  // Merges names and the criteria's names into the table's columns and
  // resolves them ("0x" + hex digits is a tag; else the session's lookup).
  // Fills each criterion's tag. *newNames/*newTags get the names resolved
  // now that the table did not hold yet. Unresolvable names are logged and
  // left out. 0, or 1 (with *errorText) when the table has no session.
  uint32_t ResolveColumns(const std::vector<std::string>& names,
                          std::vector<search_criteria_element>* criteria,
                          std::vector<std::string>* newNames, std::vector<ULONG>* newTags,
                          std::string* errorText) ZUV_LOCKS_EXCLUDED(mu_);
  // Opens the folder and its contents table. 0, or 1 with *errorText.
  uint32_t OpenFolder(const char* connectionName, std::string* errorText) ZUV_LOCKS_EXCLUDED(fetch_mu_);
  // Starts a population run with these columns (all the table's columns
  // when empty). Cached table: on a thread of its own, returns at once;
  // one-shot: runs here.
  void StartFetch(const std::vector<std::string>& names, const std::vector<ULONG>& tags,
                  const std::vector<search_criteria_element>& criteria);
  // Fills a one-shot table with the attachment table of the message
  // itemEntryID, rows keyed by attachment number. 0, or 1 when the message
  // cannot be opened.
  uint32_t GetAttachmentData(const char* connectionName, const std::string& itemEntryID)
      ZUV_LOCKS_EXCLUDED(fetch_mu_, mu_);

  // The set-up lock: held by a read around its column resolution and the
  // start of the fill, so a read that finds its columns present also finds
  // their fill started. Taken before mu_ and fetch_mu_.
  void LockSetup() ZUV_ACQUIRE(setup_mu_) { setup_mu_.lock(); }
  void UnlockSetup() ZUV_RELEASE(setup_mu_) { setup_mu_.unlock(); }

  void SetState(int32_t state) ZUV_LOCKS_EXCLUDED(mu_);
  int32_t GetState() ZUV_LOCKS_EXCLUDED(mu_);
  // Waits until the table is not fetching and its fill threads are done
  // with it (tests and benchmarks; the caller's reference outlives them).
  void WaitUntilNotFetching() ZUV_LOCKS_EXCLUDED(mu_);

  // ---- Rows ----

  // Stores row under its own key: added when the key is new, else merged
  // (the new row's columns over the cached ones) into a new row swapped in.
  // key is the key's text for the log lines ("" = taken from the row).
  // Returns the row stored; null when checkInterest is set and no compared
  // column changed (the cached row stays). Wakes no one; callers signal.
  // A merged row takes its memory from arena when given (the fill's).
  ZUV_RowRef AddOrMergeRow(std::string_view key, const ZUV_RowRef& row, bool checkInterest = false,
                           ZUV_RowArena* arena = nullptr) ZUV_REQUIRES(mu_);
  // True when a compared column of newRow differs from oldRow's value.
  static bool IsChangeOfInterest(const ZUV_Row& oldRow, const ZUV_Row& newRow);

  // ---- Notifications (the store's notifier thread) ----

  // The advise sink's callback; context is the table. Returns 0.
  static LONG OnTableNotification(void* context, ULONG count, LPNOTIFICATION notifications);
  void RowAdded(const SRow& row) ZUV_LOCKS_EXCLUDED(notify_mu_, mu_);
  void RowDeleted(std::string_view instanceKey) ZUV_LOCKS_EXCLUDED(mu_);
  void RowModified(const SRow& row) ZUV_LOCKS_EXCLUDED(notify_mu_, mu_);
  // Wakes readers waiting for changes.
  void SignalChange();

  // ---- Client writes (UpdateRow) ----
  // Applies a client's own write to the row rowKey: the written values
  // over the cached ones, as a new row swapped in under the lock; a row of
  // the key and the written values when rowKey is not cached. Nobody is
  // woken or told. 0, or 1 for an empty rowKey.
  uint32_t UpdateRow(const std::string& rowKey, const ZUV_RowBuilder& written) ZUV_LOCKS_EXCLUDED(mu_);

  // ---- Reading (client threads) ----

  void Lock() ZUV_ACQUIRE(mu_) { mu_.lock(); }
  void Unlock() ZUV_RELEASE(mu_) { mu_.unlock(); }
  int32_t State() const ZUV_REQUIRES(mu_) { return state_; }
  size_t RowCount() const ZUV_REQUIRES(mu_) { return rows_.Size(); }
  // Brings cursor->count up to the rows that match now: a full scan the
  // first time (or when the table dropped its change log), afterwards only
  // the rows changed since the last call. Returns the state.
  int32_t CountMatching(ZUV_TableCursor* cursor, const ZUV_RowMatch& match) ZUV_REQUIRES(mu_);
  // Waits until a change arrives past cursor or the table stops fetching.
  void WaitForChange(const ZUV_TableCursor& cursor) ZUV_REQUIRES(mu_);
  // The matching rows numbered from 1 in key order, from startIndex on.
  void CollectMatching(const ZUV_RowMatch& match, int32_t startIndex, std::vector<ZUV_RowRef>* out)
      ZUV_REQUIRES(mu_);
  // The rows stored (added or replaced) since *seen that match, in the
  // order they were stored; *seen moves to the end. Rows stored before the
  // fill began, or while no fill ran, are not kept for this and are not
  // given.
  void CollectStored(uint64_t* seen, const ZUV_RowMatch& match, std::vector<ZUV_RowRef>* out) ZUV_REQUIRES(mu_);
  // Tag -> the column name it was asked for.
  const std::map<ULONG, std::string>& ColumnNames() const ZUV_REQUIRES(mu_) { return column_names_; }
  // The row under key; null when none.
  ZUV_RowRef FindRow(std::string_view key) ZUV_REQUIRES(mu_);
  std::vector<std::string> AllColumnNames() ZUV_LOCKS_EXCLUDED(mu_);

  // ---- Listeners ----

  // Adds listener unless one with the same notification host and port is
  // registered.
  void AddListener(const std::shared_ptr<ZUV_TableListener>& listener) ZUV_LOCKS_EXCLUDED(mu_);
  // Removes every listener with clientId and folderEntryID (and the ones
  // gone); returns how many are left.
  size_t RemoveListener(const std::string& clientId, const std::string& folderEntryID)
      ZUV_LOCKS_EXCLUDED(mu_);
  size_t ListenerCount() ZUV_LOCKS_EXCLUDED(mu_);

  // ---- Population steps ----

  // The population run: reads the attachment table when given, else the
  // folder's contents table with these columns, in batches of 1024.
  void Populate(IMAPITable* attachmentTable, const std::vector<ULONG>& tags,
                const std::vector<search_criteria_element>& criteria) ZUV_REQUIRES(fetch_mu_);
  // Builds the row of one MAPI row (key column first, then PR_INSTANCE_KEY,
  // then the columns). Opens the message only to re-read a string the
  // table cut at 255 characters. S_OK, or the failure that ended the row
  // (*builder keeps what was read; *key is empty when the row has no key).
  HRESULT PopulateRow(const SRow& row, bool isAttachment, ZUV_RowBuilder* builder, std::string* key)
      ZUV_REQUIRES(fetch_mu_);
  // Builds, stores and announces one row.
  void ProcessRow(const SRow& row, bool isAttachment) ZUV_REQUIRES(fetch_mu_) ZUV_LOCKS_EXCLUDED(mu_);
  // Builds the rows of one batch without the lock and stores them in parts
  // of 128: each part under one hold of the lock, with one wake for the
  // readers, then each row announced. The strings the table cut are read
  // whole for the batch at once through the store's IZuvMessageValues (by
  // opening each message where the store has none). Rows are built in
  // rowArena and merged rows in mergeArena when given (the fill's arena).
  void ProcessRows(const SRowSet& batch, bool isAttachment, ZUV_RowArena* rowArena = nullptr,
                   ZUV_RowArena* mergeArena = nullptr) ZUV_REQUIRES(fetch_mu_) ZUV_LOCKS_EXCLUDED(mu_);

 private:
  struct Change {
    ZUV_RowRef before;  // null for an added row
    ZUV_RowRef after;
  };

  uint32_t ResolveName(const std::string& name, ULONG* tag);
  void RunFetch(std::vector<ULONG> tags, std::vector<search_criteria_element> criteria)
      ZUV_LOCKS_EXCLUDED(fetch_mu_);
  void RecordChange(ZUV_RowRef before, ZUV_RowRef after) ZUV_REQUIRES(mu_);
  // PopulateRow into *builder (emptied first) with its log lines; false
  // when the row has no key and is skipped. ahead: the row's strings read
  // ahead by column (may be null).
  bool BuildFetchedRow(const SRow& row, bool isAttachment, ZUV_RowBuilder* builder, std::string* key, bool trace,
                       const zuvstore::MessageValue* const* ahead = nullptr) ZUV_REQUIRES(fetch_mu_);
  // Stores *rows (each replaced by the row stored) and announces them.
  void StoreAndAnnounce(std::vector<ZUV_RowRef>* rows, ZUV_RowArena* mergeArena = nullptr)
      ZUV_LOCKS_EXCLUDED(mu_);
  HRESULT BuildRow(CMAPIFolder* folder, const SRow& row, bool isAttachment, ZUV_RowBuilder* builder,
                   std::string* key, const zuvstore::MessageValue* const* ahead = nullptr);
  // Builds a notified row through notify_folder_; false when it has no key.
  bool BuildNotifiedRow(const SRow& row, const char* kind, ZUV_RowRef* out, std::string* key)
      ZUV_LOCKS_EXCLUDED(notify_mu_);
  std::vector<std::shared_ptr<ZUV_TableListener>> LiveListeners() ZUV_REQUIRES(mu_);
  void SetStateLocked(int32_t state) ZUV_REQUIRES(mu_);
  IMAPITable* OpenContentsWithColumns(LPSPropTagArray columns) ZUV_REQUIRES(fetch_mu_);
  void RegisterSink() ZUV_REQUIRES(fetch_mu_);
  void Unadvise() ZUV_REQUIRES(fetch_mu_);

  ZUV_TableSession* const session_ = nullptr;  // not owned; null for identity-only tables
  const std::string store_entry_id_;
  const std::string folder_entry_id_;
  const std::string key_;
  const std::string store_short_id_;
  const std::string folder_short_id_;
  const std::vector<std::string> requested_column_names_;
  const uint32_t cache_data_ = 1;

  zuv::Mutex setup_mu_;
  zuv::Mutex fetch_mu_;
  std::unique_ptr<CMAPIFolder> folder_ ZUV_GUARDED_BY(fetch_mu_);
  IMAPITable* contents_table_ ZUV_GUARDED_BY(fetch_mu_) = nullptr;  // borrowed from folder_
  ULONG advise_connection_ ZUV_GUARDED_BY(fetch_mu_) = 0;
  bool advised_ ZUV_GUARDED_BY(fetch_mu_) = false;

  zuv::Mutex notify_mu_;  // taken before mu_, never with fetch_mu_
  std::unique_ptr<CMAPIFolder> notify_folder_ ZUV_GUARDED_BY(notify_mu_);
  // Log counters only.
  std::atomic<uint32_t> modified_forwarded_{0};
  std::atomic<uint32_t> modified_received_{0};

  zuv::Mutex mu_;
  zuv::CondVar change_;
  int32_t state_ ZUV_GUARDED_BY(mu_) = kTableInit;
  int32_t pending_runs_ ZUV_GUARDED_BY(mu_) = 0;  // started and not ended
  int32_t fill_threads_ ZUV_GUARDED_BY(mu_) = 0;  // fill threads not yet done with the table
  ZUV_RowIndex rows_ ZUV_GUARDED_BY(mu_);
  // Rows a client's write changed in the cache before the store's own
  // notification of that write came: the notification is announced to the
  // listeners even though the cached row already holds its values.
  std::set<std::string, std::less<>> written_unannounced_ ZUV_GUARDED_BY(mu_);
  // Rows changed while fetching, for waiting readers; dropped when the
  // table stops fetching. change_base_ counts the changes dropped so far.
  std::vector<Change> changes_ ZUV_GUARDED_BY(mu_);
  uint64_t change_base_ ZUV_GUARDED_BY(mu_) = 0;
  std::vector<std::string> all_column_names_ ZUV_GUARDED_BY(mu_);
  std::vector<ULONG> all_column_tags_ ZUV_GUARDED_BY(mu_);
  std::map<ULONG, std::string> column_names_ ZUV_GUARDED_BY(mu_);
  std::vector<std::weak_ptr<ZUV_TableListener>> listeners_ ZUV_GUARDED_BY(mu_);
};

using ZUV_TablePtr = std::shared_ptr<ZUV_Table>;
