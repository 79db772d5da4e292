// zuv_cache_tables.cpp: the session's table cache and the serving of
// folder reads from it.
#include <algorithm>
#include <utility>

#include "base/logging.h"
#include "base/wire.h"
#include "cache/zuv_cache.h"
#include "client/zuv_client.h"
#include "mapi_access/prop_tags.h"

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

// ---- Table serving ----

namespace {

constexpr ULONG kPrunedTag = 0x66700102;  // every table carries it already

}  // namespace

uint32_t ZUV_Cache::TableTagFromName(const std::string& folderEntryID, const std::string& storeEntryID,
                                     const std::string& name, ULONG* tag) {
  return PropTagFromName(folderEntryID, storeEntryID, name, 0, tag, false);
}

uint32_t ZUV_Cache::PruneColumns(const std::string& folderEntryID, const std::string& storeEntryID,
                                 const std::vector<std::string>& columnNames, std::vector<std::string>* keptNames,
                                 std::string* errorText) {
  for (const std::string& name : columnNames) {
    ULONG tag = 0;
    if (name.compare(0, 2, "0x") == 0) {
      if (!zuv::TagFromHexName(name, &tag)) {
        keptNames->push_back(name);  // no digits: kept as it is
        continue;
      }
    } else {
      const uint32_t r = PropTagFromName(folderEntryID, storeEntryID, name, 0, &tag, false);
      if (r != 0) {
        NLog_ErrorA("ZUV", "%s: Cannot get the property tag for %s in table %s:%s", name_.c_str(),
                    zuv::EscapeForLog(name).c_str(), zuv::EscapeForLog(folderEntryID).c_str(),
                    zuv::EscapeForLog(storeEntryID).c_str());
        *errorText = "Cannot resolve column " + name;
        return r;
      }
    }
    if (tag != kPrunedTag) keptNames->push_back(name);
  }
  return 0;
}

void ZUV_Cache::LogGetTableRequest(const std::string& instanceName, const std::string& folderEntryID,
                                   const std::string& storeEntryID, const std::vector<std::string>& columnNames,
                                   const std::vector<std::string>& keptNames) {
  std::string line = instanceName + ": GetTableRequest: Table EntryID: " + folderEntryID +
                     ", Table StoreEntryID:" + storeEntryID + ", Requested Columns:";
  for (const std::string& name : columnNames) line += name + ",";
  line += " Pruned Column Tags:";
  for (const std::string& name : keptNames) line += name + ",";
  zuv::LogLine("ZUV", zuv::LogLevel::Info, zuv::EscapeForLog(line).c_str());
}

uint32_t ZUV_Cache::GetTable(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                             const std::string& storeEntryID, const std::vector<std::string>& columnNames,
                             std::vector<search_criteria_element>* criteria, const TableRequest_s& request,
                             int32_t startIndex, int32_t numEntries, std::string* errorText) {
  const std::string folderShort = zuv::ShortenID(folderEntryID);
  const char* name = name_.c_str();
  const bool notifiable = request.cacheData != 0 && !request.notificationURL.empty() && !request.identifier.empty();

  std::vector<std::string> kept;
  if (const uint32_t r = PruneColumns(folderEntryID, storeEntryID, columnNames, &kept, errorText); r != 0) return r;
  LogGetTableRequest(name_, folderEntryID, storeEntryID, columnNames, kept);

  bool error = false;
  ZUV_TablePtr table;
  {
    zuv::MutexLock serving(table_serving_mu_);
    table = FindTable(folderEntryID, storeEntryID);
    if (!table) {
      NLog_InfoA("ZUV", "%s: ZUV Table for %s not found in cache. Will populate it using MAPI", name, folderShort.c_str());
      table = std::make_shared<ZUV_Table>(this, folderEntryID, storeEntryID, columnNames, request.cacheData);
      if (table->OpenFolder(context->name, errorText) == 0) {
        NLog_TraceA("ZUV", "%s: Resolved the table %s. Adding table to the cache...", name, folderShort.c_str());
        AddTable(table);
      } else {
        NLog_ErrorA("ZUV", "%s:Cannot resolve table for %s:%s", name, folderShort.c_str(), errorText->c_str());
        error = true;
        table.reset();
      }
    } else {
      NLog_InfoA("ZUV", "%s: Serving data for table %s from cache", name, folderShort.c_str());
    }
  }

  // Columns are added and their fill started under the table's set-up
  // lock: a read that finds the columns already there finds the table
  // fetching too, not yet to start (it would answer from a table still
  // empty). Reads of other folders go on meanwhile.
  if (!error) {
    table->LockSetup();
    std::vector<std::string> newNames;
    std::vector<ULONG> newTags;
    if (table->ResolveColumns(kept, criteria, &newNames, &newTags, errorText) == 0) {
      if (!newNames.empty()) {
        NLog_InfoA("ZUV", "%s: About to populate data from folder %s", name, folderShort.c_str());
        table->StartFetch(newNames, newTags, *criteria);
      } else {
        NLog_InfoA("ZUV", "%s:Data for table %s already populated", name, folderShort.c_str());
      }
      table->UnlockSetup();
    } else {
      table->UnlockSetup();
      NLog_ErrorA("ZUV", "%s: Error resolving request for table %s:%s", name, folderShort.c_str(),
                  errorText->c_str());
      error = true;
      table->SetState(kTableResolveFailed);
      RemoveTable(folderEntryID, table.get());
      table.reset();
    }
  }

  ZUV_ClientPtr client = ZUV_Client::Create(*context, table, *criteria, folderEntryID, storeEntryID,
                                            request.clientIdentifier, request.notificationURL, request.identifier, 1);
  if (!error) {
    NLog_InfoA("ZUV", "%s:Starting to filter and return the cached table for %s.", name, folderShort.c_str());
    int32_t rowCount = 0;
    client->FetchAndFilter(*table, context->socket, startIndex, numEntries, &rowCount);
    NLog_InfoA("ZUV", "%s: Done filter and return the cached table for %s:%d rows", name, folderShort.c_str(),
               static_cast<int>(rowCount));
    if (notifiable) {
      NLog_InfoA("ZUV", "%s: Enabling notifications for client", name);
      table->AddListener(client);
    }
    return 0;
  }
  NLog_InfoA("ZUV", "%s: Error creating the ZUV Client:%s", name, errorText->c_str());
  client->jsonify(context->socket, kDataTypeTableRows, {}, {}, 1, *errorText);
  ZUV_Client::DeleteClient(request.clientIdentifier, folderEntryID);
  return 0;
}

uint32_t ZUV_Cache::GetAttachData(const zuv::ConnectionContext* context, const std::string& itemEntryID,
                                  const std::string& folderEntryID, const std::string& storeEntryID,
                                  const std::vector<std::string>& columnNames, const TableRequest_s& request) {
  const char* conn = context->name;
  std::string errorText;
  bool error = false;
  auto table = std::make_shared<ZUV_Table>(this, folderEntryID, storeEntryID, columnNames, 0);
  if (table->OpenFolder(conn, &errorText) != 0) {
    NLog_ErrorA("ZUV", "For client %s, Cannot resolve table for %s:%s", conn, zuv::EscapeForLog(folderEntryID).c_str(),
                errorText.c_str());
    error = true;
  }
  if (!error) {
    table->SetState(kTableFetching);
    std::vector<std::string> names;
    std::vector<ULONG> tags;
    if (table->ResolveColumns(columnNames, nullptr, &names, &tags, &errorText) == 0) {
      NLog_InfoA("ZUV", "For Client %s,About to populate data from folder %s", conn,
                 zuv::EscapeForLog(folderEntryID).c_str());
      (void)table->GetAttachmentData(conn, itemEntryID);
    } else {
      NLog_ErrorA("ZUV", "For client %s, Error resolving request:%s", conn, errorText.c_str());
      error = true;
      table->SetState(kTableResolveFailed);
    }
  }
  NLog_InfoA("ZUV", "For client %s, Creating the ZUV Client ....", conn);
  ZUV_ClientPtr client =
      ZUV_Client::Create(*context, table, {}, folderEntryID, storeEntryID, request.clientIdentifier, "", "", 0);
  if (!error) {
    NLog_InfoA("ZUV", "For client %s, Starting to filter and return the cached table for %s.", conn,
               zuv::EscapeForLog(itemEntryID).c_str());
    int32_t rowCount = 0;
    client->FetchAndFilter(*table, context->socket, 0, 0, &rowCount);
    NLog_InfoA("ZUV", "For client %s, Done filter and return the cached table for %s:%d rows", conn,
               zuv::EscapeForLog(itemEntryID).c_str(), static_cast<int>(rowCount));
  } else {
    NLog_InfoA("ZUV", "For client %s, jsonifying the error back to the client:%s", conn, errorText.c_str());
    client->jsonify(context->socket, kDataTypeTableRows, {}, {}, 1, errorText);
  }
  ZUV_Client::DeleteRecord(client);  // a one-shot read is not kept
  return 0;
}
