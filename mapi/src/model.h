// model.h: the organisation as the database holds it, and the reads and
// writes of its records.
//
// Schema (db.cpp creates it):
//   meta(key PRIMARY KEY, value)                 schema version, settings
//                                                ("service_admin2" = "0"
//                                                withdraws IMsgServiceAdmin2)
//   servers(id, name UNIQUE NOCASE, cas)         mailbox servers, CAS names
//   stores(id, guid UNIQUE, kind, alias UNIQUE NOCASE, display_name,
//          legacy_dn NOCASE, server_id, html_ok, root_id, props)
//   smtp(address PRIMARY KEY NOCASE, store_id, is_primary)
//   folders(id, store_id, parent_id, name NOCASE, folder_type, props,
//           created, modified)
//   messages(id, store_id, folder_id, assoc, props, size, created, modified)
//   attachments(id, message_id, attach_num, props)
//   recipients(id, message_id, row_id, props)
//   large_props(kind, obj_id, prop_id, value)    values kept out of line
//   large_chunks(kind, obj_id, prop_id, seq, data)  streamed values in chunks
//                                                (large_value.h)
//   named_props(store_id, prop_id, guid, kind, lid, name)  IDs from 0x8000
//   profiles(name PRIMARY KEY NOCASE, password, created)
//   services(uid PRIMARY KEY, profile NOCASE, name, display_name, ord)
//   profile_sections(profile NOCASE, uid, props)  PRIMARY KEY(profile, uid)
//   journal(seq AUTOINCREMENT, origin, store_id, kind, type, folder_id,
//           object_id, old_folder_id, new_mail, time)
// props columns hold SerializePropList blobs. A string or binary value longer
// than kInlineLimit bytes lives in large_props; the blob keeps its first
// kInlineLimit bytes marked truncated, which is all a table row needs (rows
// cut strings at 255 characters). LoadLargeProps puts the full values back.
//
// All functions take the calling thread's connection and run inside the
// caller's transaction (Db::Read / Db::Write); none opens one itself.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db.h"
#include "propval.h"

namespace zuvstore {

inline constexpr int kStoreKindMailbox = 0;
inline constexpr int kStoreKindPublic = 1;

// Store property (PT_I8) holding the receive folder's ID. Private to the
// store; GetReceiveFolder reads it.
inline constexpr uint16_t kIdReceiveFolderId = 0x67F0;

// Values longer than this are stored out of line.
inline constexpr size_t kInlineLimit = 1024;

struct StoreInfo {
  int64_t id = 0;
  GUID guid{};
  int kind = kStoreKindMailbox;
  std::string alias;         // empty for the public store
  std::string display_name;  // "Public Folders" for the public store
  std::string legacy_dn;
  std::string server;        // home server name
  bool html_ok = true;
  int64_t root_id = 0;
  std::vector<std::string> smtp;  // primary first
  PropMap props;             // store properties (PR_IPM_SUBTREE_ENTRYID, ...)
};

struct FolderRecord {
  int64_t id = 0;
  int64_t store_id = 0;
  int64_t parent_id = 0;  // 0 for a root
  ULONG folder_type = FOLDER_GENERIC;
  PropMap props;          // PR_DISPLAY_NAME is kept in props and in the name column
  int64_t created = 0;    // FILETIME ticks
  int64_t modified = 0;
};

struct MessageRecord {
  int64_t id = 0;
  int64_t store_id = 0;
  int64_t folder_id = 0;
  bool associated = false;
  PropMap props;          // large values hold their prefix only (see LoadLargeProps)
  int64_t size = 0;       // PR_MESSAGE_SIZE
  int64_t created = 0;
  int64_t modified = 0;
  bool has_attach = false;
};

// ---- Stores ----
[[nodiscard]] HRESULT LoadStore(sqlite3* db, int64_t store_id, StoreInfo* out);
[[nodiscard]] HRESULT LoadStoreByGuid(sqlite3* db, const GUID& guid, StoreInfo* out);
// Finds a mailbox by alias, SMTP address or legacy DN (any case).
[[nodiscard]] HRESULT FindMailbox(sqlite3* db, std::string_view name, StoreInfo* out);
[[nodiscard]] HRESULT LoadPublicStore(sqlite3* db, StoreInfo* out);
[[nodiscard]] HRESULT ListStores(sqlite3* db, std::vector<StoreInfo>* out);
[[nodiscard]] HRESULT SaveStoreProps(WriteTxn& txn, int64_t store_id, const PropMap& props);
// True when a server of that name (mailbox server or CAS) exists.
[[nodiscard]] bool ServerExists(sqlite3* db, std::string_view name);

// ---- Folders ----
[[nodiscard]] HRESULT LoadFolder(sqlite3* db, int64_t folder_id, FolderRecord* out);
[[nodiscard]] HRESULT ListChildFolders(sqlite3* db, int64_t parent_id, std::vector<FolderRecord>* out);
// The child of parent_id named name (any case); MAPI_E_NOT_FOUND when none.
[[nodiscard]] HRESULT FindChildFolder(sqlite3* db, int64_t parent_id, std::string_view name,
                                      FolderRecord* out);
[[nodiscard]] HRESULT InsertFolder(WriteTxn& txn, FolderRecord* rec);  // sets rec->id, times
[[nodiscard]] HRESULT UpdateFolder(WriteTxn& txn, const FolderRecord& rec);
[[nodiscard]] HRESULT DeleteFolderTree(WriteTxn& txn, int64_t folder_id);
int64_t CountMessages(sqlite3* db, int64_t folder_id, bool associated);
int64_t CountChildFolders(sqlite3* db, int64_t folder_id);

// ---- Messages ----
[[nodiscard]] HRESULT LoadMessage(sqlite3* db, int64_t message_id, MessageRecord* out);
// Calls fn for each message of folder with id > after_id in id order, at
// most limit; fn returns false to stop. Large values stay prefixes.
[[nodiscard]] HRESULT ScanMessages(sqlite3* db, int64_t folder_id, bool associated, int64_t after_id,
                                   int limit, const std::function<bool(MessageRecord&)>& fn);
// Inserts (rec->id == 0) or replaces a message row; splits large values out.
[[nodiscard]] HRESULT SaveMessageRecord(WriteTxn& txn, MessageRecord* rec);
[[nodiscard]] HRESULT DeleteMessageRecord(WriteTxn& txn, int64_t message_id);

// Replaces the prefixes in props with the full large values of the object.
[[nodiscard]] HRESULT LoadLargeProps(sqlite3* db, ObjKind kind, int64_t obj_id, PropMap* props);

// ---- Computed properties ----
// Properties the store derives rather than keeps (entry IDs, instance and
// record keys, counts, sizes, times). Returns true and sets *out when prop_id
// is one of them for this object.
bool ComputedStoreProp(const StoreInfo& store, uint16_t prop_id, StoredProp* out);
bool ComputedFolderProp(sqlite3* db, const StoreInfo& store, const FolderRecord& folder,
                        uint16_t prop_id, StoredProp* out);
bool ComputedMessageProp(const StoreInfo& store, const MessageRecord& msg, uint16_t prop_id,
                         StoredProp* out);

}  // namespace zuvstore
