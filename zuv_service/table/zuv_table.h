// zuv_table.h: ZUV_Table, the cached copy of one folder's contents table,
// and the interface through which it tells its listeners about row changes.
//
// Ownership: the session cache owns its tables through std::shared_ptr
// (ZUV_Cache::AddTable). Whoever works with a table - a fill thread, a
// reading request, a client listening to it - holds a shared_ptr of its own,
// so a table dropped from the cache stays valid until the last of them lets
// go. A table never owns its listeners: it holds them by weak reference
// and they unregister themselves (RemoveListener) before they end.
//
// This module never includes client/: listeners are whatever implements
// ZUV_TableListener.
//
// Threading: identity fields are set at construction and never change; the
// rows, listeners and state will be guarded by the table's own lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// What happened to a row, as pushed to listeners (the DataType codes).
enum class ZUV_RowEvent : int32_t {
  kAdded = 502,
  kDeleted = 503,
  kModified = 504,
  kTableFill = 505,
};

class ZUV_Table;

// Told by a table about each row change that takes effect. Called on the
// thread that changed the table, without the table's lock held.
class ZUV_TableListener {
 public:
  virtual ~ZUV_TableListener() = default;
  virtual void OnRowEvent(const ZUV_Table& table, ZUV_RowEvent event, const std::string& rowKey) = 0;
};

class ZUV_Table {
 public:
  // A table of the folder folderEntryID in the store storeEntryID (entry-ID
  // strings, or the store keys of CMapiExMod).
  ZUV_Table(std::string storeEntryID, std::string folderEntryID);
  ~ZUV_Table();
  ZUV_Table(const ZUV_Table&) = delete;
  ZUV_Table& operator=(const ZUV_Table&) = delete;

  const std::string& StoreEntryID() const { return store_entry_id_; }
  const std::string& FolderEntryID() const { return folder_entry_id_; }
  // The key the session cache files the table under.
  const std::string& Key() const { return key_; }

  // The cache key of a folder in a store.
  static std::string MakeKey(const std::string& storeEntryID, const std::string& folderEntryID);

 private:
  const std::string store_entry_id_;
  const std::string folder_entry_id_;
  const std::string key_;
};

using ZUV_TablePtr = std::shared_ptr<ZUV_Table>;
