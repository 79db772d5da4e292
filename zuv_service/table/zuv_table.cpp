// zuv_table.cpp: identity of a cached folder table. Population, row storage,
// notifications and reads are not built yet.
#include "table/zuv_table.h"

#include <utility>

ZUV_Table::ZUV_Table(std::string storeEntryID, std::string folderEntryID)
    : store_entry_id_(std::move(storeEntryID)),
      folder_entry_id_(std::move(folderEntryID)),
      key_(MakeKey(store_entry_id_, folder_entry_id_)) {}

ZUV_Table::~ZUV_Table() = default;

std::string ZUV_Table::MakeKey(const std::string& storeEntryID, const std::string& folderEntryID) {
  std::string key;
  key.reserve(storeEntryID.size() + 1 + folderEntryID.size());
  key.append(storeEntryID).append(1, '/').append(folderEntryID);
  return key;
}
