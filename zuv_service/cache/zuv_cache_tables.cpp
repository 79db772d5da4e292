// zuv_cache_tables.cpp: the session's table cache.
#include <algorithm>
#include <utility>

#include "cache/zuv_cache.h"

ZUV_TablePtr ZUV_Cache::FindTable(const std::string& folderEntryID,
                                  const std::string& storeEntryID) {
  zuv::MutexLock lock(tables_mu_);
  for (const ZUV_TablePtr& table : tables_) {
    if (table->FolderEntryID() == folderEntryID && table->StoreEntryID() == storeEntryID) {
      return table;
    }
  }
  return nullptr;
}

void ZUV_Cache::AddTable(ZUV_TablePtr table) {
  if (table == nullptr) return;
  zuv::MutexLock lock(tables_mu_);
  tables_.push_back(std::move(table));
}

void ZUV_Cache::RemoveTable(const std::string& folderEntryID, const ZUV_Table* table) {
  (void)folderEntryID;  // the table object identifies the entry
  ZUV_TablePtr dropped;  // destroyed after the lock, when it was the last reference
  {
    zuv::MutexLock lock(tables_mu_);
    auto it = std::find_if(tables_.begin(), tables_.end(),
                           [table](const ZUV_TablePtr& t) { return t.get() == table; });
    if (it == tables_.end()) return;
    dropped = std::move(*it);
    tables_.erase(it);
  }
}

size_t ZUV_Cache::TableCount() {
  zuv::MutexLock lock(tables_mu_);
  return tables_.size();
}
