// model.cpp: reads and writes of stores, folders and messages.
#include "model.h"

#include <cstring>

#include "entryid.h"

namespace zuvstore {
namespace {

// Property IDs the model reads or derives.
constexpr uint16_t kIdDisplayName = 0x3001;
constexpr uint16_t kIdEntryId = 0x0FFF;
constexpr uint16_t kIdInstanceKey = 0x0FF6;
constexpr uint16_t kIdRecordKey = 0x0FF9;
constexpr uint16_t kIdParentEntryId = 0x0E09;
constexpr uint16_t kIdStoreEntryId = 0x0FFB;
constexpr uint16_t kIdStoreRecordKey = 0x0FFA;
constexpr uint16_t kIdLongtermEntryId = 0x6670;
constexpr uint16_t kIdObjectType = 0x0FFE;
constexpr uint16_t kIdContentCount = 0x3602;
constexpr uint16_t kIdContentUnread = 0x3603;
constexpr uint16_t kIdAssocContentCount = 0x3617;
constexpr uint16_t kIdFolderChildCount = 0x6638;
constexpr uint16_t kIdSubfolders = 0x360A;
constexpr uint16_t kIdFolderType = 0x3601;
constexpr uint16_t kIdMessageSize = 0x0E08;
constexpr uint16_t kIdHasAttach = 0x0E1B;
constexpr uint16_t kIdCreationTime = 0x3007;
constexpr uint16_t kIdLastModificationTime = 0x3008;
constexpr uint16_t kIdStoreSupportMask = 0x340D;
constexpr uint16_t kIdMdbProvider = 0x3414;
constexpr uint16_t kIdMessageFlags = 0x0E07;

constexpr ULONG kMailboxSupport = STORE_ENTRYID_UNIQUE | STORE_MODIFY_OK | STORE_CREATE_OK |
                                  STORE_ATTACH_OK | STORE_SUBMIT_OK | STORE_NOTIFY_OK |
                                  STORE_MV_PROPS_OK | STORE_RESTRICTION_OK | STORE_RTF_OK |
                                  STORE_ANSI_OK | STORE_UNICODE_OK;

HRESULT DbFailure(sqlite3* db) {
  (void)db;
  return MAPI_E_CALL_FAILED;
}

// Reads one row of the store SELECTs below.
HRESULT ReadStoreRow(sqlite3* db, Stmt& s, StoreInfo* out) {
  int rc = s.Step();
  if (rc == SQLITE_DONE) return MAPI_E_NOT_FOUND;
  if (rc != SQLITE_ROW) return DbFailure(db);
  StoreInfo info;
  info.id = s.Int(0);
  if (!GuidFromBytes(s.Blob(1), &info.guid)) return MAPI_E_CORRUPT_STORE;
  info.kind = static_cast<int>(s.Int(2));
  info.alias = std::string(s.Text(3));
  info.display_name = std::string(s.Text(4));
  info.legacy_dn = std::string(s.Text(5));
  info.server = std::string(s.Text(6));
  info.html_ok = s.Int(7) != 0;
  info.root_id = s.Int(8);
  if (!ParsePropList(s.Blob(9), &info.props)) return MAPI_E_CORRUPT_STORE;
  Stmt addrs(db, "SELECT address FROM smtp WHERE store_id = ? ORDER BY is_primary DESC, rowid");
  addrs.Bind(1, info.id);
  while (addrs.Step() == SQLITE_ROW) info.smtp.emplace_back(addrs.Text(0));
  *out = std::move(info);
  return S_OK;
}

HRESULT ReadFolderRow(Stmt& s, FolderRecord* out) {
  out->id = s.Int(0);
  out->store_id = s.Int(1);
  out->parent_id = s.Int(2);
  out->folder_type = static_cast<ULONG>(s.Int(3));
  out->props.clear();
  if (!ParsePropList(s.Blob(4), &out->props)) return MAPI_E_CORRUPT_STORE;
  out->created = s.Int(5);
  out->modified = s.Int(6);
  return S_OK;
}

HRESULT ReadMessageRow(Stmt& s, MessageRecord* out) {
  out->id = s.Int(0);
  out->store_id = s.Int(1);
  out->folder_id = s.Int(2);
  out->associated = s.Int(3) != 0;
  out->props.clear();
  if (!ParsePropList(s.Blob(4), &out->props)) return MAPI_E_CORRUPT_STORE;
  out->size = s.Int(5);
  out->has_attach = s.Int(6) != 0;
  out->created = s.Int(7);
  out->modified = s.Int(8);
  return S_OK;
}

std::string DisplayNameOf(const PropMap& props) {
  auto it = props.find(kIdDisplayName);
  std::string name;
  if (it != props.end()) GetString(it->second, &name);
  return name;
}

bool IsSplittable(ULONG type) {
  return type == PT_STRING8 || type == PT_UNICODE || type == PT_BINARY;
}

// Largest prefix of utf8 of at most n bytes that ends on a character.
size_t Utf8Cut(std::string_view s, size_t n) {
  if (s.size() <= n) return s.size();
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return n;
}

// Moves values above kInlineLimit into large_props (kind, id) and leaves a
// truncated prefix in props. Removes large values the object no longer has.
HRESULT SplitLargeProps(WriteTxn& txn, ObjKind kind, int64_t id, PropMap* props) {
  Stmt clear(txn.conn(), "DELETE FROM large_props WHERE kind = ? AND obj_id = ?");
  clear.Bind(1, static_cast<int64_t>(kind)).Bind(2, id);
  if (clear.Step() != SQLITE_DONE) return DbFailure(txn.conn());
  for (auto& [prop_id, value] : *props) {
    if (value.truncated) return MAPI_E_CALL_FAILED;  // a prefix must never be saved as the value
    if (!IsSplittable(value.type) || value.data.size() <= kInlineLimit) continue;
    Stmt put(txn.conn(), "INSERT INTO large_props(kind, obj_id, prop_id, value) VALUES(?,?,?,?)");
    put.Bind(1, static_cast<int64_t>(kind)).Bind(2, id).Bind(3, prop_id).BindBlob(4, value.data);
    if (put.Step() != SQLITE_DONE) return DbFailure(txn.conn());
  }
  return S_OK;
}

// The blob to keep inline: large values cut to their prefix.
std::string InlineBlob(const PropMap& props) {
  bool any_large = false;
  for (auto& [id, v] : props) {
    if (IsSplittable(v.type) && v.data.size() > kInlineLimit) any_large = true;
  }
  if (!any_large) return SerializePropList(props);
  PropMap copy;
  for (auto& [id, v] : props) {
    if (IsSplittable(v.type) && v.data.size() > kInlineLimit) {
      StoredProp prefix;
      prefix.type = v.type;
      size_t n = v.type == PT_BINARY ? kInlineLimit : Utf8Cut(v.data, kInlineLimit);
      prefix.data = v.data.substr(0, n);
      prefix.truncated = true;
      copy.emplace(id, std::move(prefix));
    } else {
      copy.emplace(id, v);
    }
  }
  return SerializePropList(copy);
}

int64_t PropsSize(const PropMap& props) {
  int64_t size = 0;
  for (auto& [id, v] : props) size += static_cast<int64_t>(v.data.size()) + 8;
  return size;
}

HRESULT DeleteObjectsOfMessage(WriteTxn& txn, int64_t message_id) {
  sqlite3* db = txn.conn();
  Stmt att_large(db,
                 "DELETE FROM large_props WHERE kind = ? AND obj_id IN (SELECT id FROM attachments "
                 "WHERE message_id = ?)");
  att_large.Bind(1, static_cast<int64_t>(ObjKind::kAttach)).Bind(2, message_id);
  if (att_large.Step() != SQLITE_DONE) return DbFailure(db);
  Stmt att_chunks(db,
                  "DELETE FROM large_chunks WHERE kind = ? AND obj_id IN (SELECT id FROM attachments "
                  "WHERE message_id = ?)");
  att_chunks.Bind(1, static_cast<int64_t>(ObjKind::kAttach)).Bind(2, message_id);
  if (att_chunks.Step() != SQLITE_DONE) return DbFailure(db);
  Stmt att(db, "DELETE FROM attachments WHERE message_id = ?");
  att.Bind(1, message_id);
  if (att.Step() != SQLITE_DONE) return DbFailure(db);
  Stmt rcp(db, "DELETE FROM recipients WHERE message_id = ?");
  rcp.Bind(1, message_id);
  if (rcp.Step() != SQLITE_DONE) return DbFailure(db);
  Stmt large(db, "DELETE FROM large_props WHERE kind = ? AND obj_id = ?");
  large.Bind(1, static_cast<int64_t>(ObjKind::kMessage)).Bind(2, message_id);
  return large.Step() == SQLITE_DONE ? S_OK : DbFailure(db);
}

// The identity properties every folder and message has: its entry IDs and
// keys, its parent's and store's entry IDs, its object type.
bool ComputedIdentity(ObjKind kind, const StoreInfo& store, int64_t id, int64_t parent_id,
                      uint16_t prop_id, StoredProp* out) {
  switch (prop_id) {
    // Built in place: a table row reuses out's buffer from row to row.
    case kIdEntryId:
    case kIdRecordKey:
    case kIdLongtermEntryId:
      out->type = PT_BINARY;
      out->truncated = false;
      AssignObjectEntryId(kind, store.guid, id, &out->data);
      return true;
    case kIdInstanceKey:
      out->type = PT_BINARY;
      out->truncated = false;
      AssignInstanceKey(id, &out->data);
      return true;
    case kIdParentEntryId:
      *out = MakeBinary(MakeObjectEntryId(ObjKind::kFolder, store.guid, parent_id));
      return true;
    case kIdStoreEntryId:
      *out = MakeBinary(MakeStoreEntryId(store.guid));
      return true;
    case kIdStoreRecordKey:
      *out = MakeBinary(GuidBytes(store.guid));
      return true;
    case kIdObjectType:
      *out = MakeLong(kind == ObjKind::kFolder ? MAPI_FOLDER : MAPI_MESSAGE);
      return true;
    default:
      return false;
  }
}

}  // namespace

// ---- Stores ----

HRESULT LoadStore(sqlite3* db, int64_t store_id, StoreInfo* out) {
  Stmt s(db,
         "SELECT s.id, s.guid, s.kind, COALESCE(s.alias, ''), s.display_name, COALESCE(s.legacy_dn, "
         "''), COALESCE(v.name, ''), s.html_ok, s.root_id, s.props FROM stores s LEFT JOIN servers v "
         "ON v.id = s.server_id WHERE s.id = ?");
  s.Bind(1, store_id);
  return ReadStoreRow(db, s, out);
}

HRESULT LoadStoreByGuid(sqlite3* db, const GUID& guid, StoreInfo* out) {
  Stmt s(db,
         "SELECT s.id, s.guid, s.kind, COALESCE(s.alias, ''), s.display_name, COALESCE(s.legacy_dn, "
         "''), COALESCE(v.name, ''), s.html_ok, s.root_id, s.props FROM stores s LEFT JOIN servers v "
         "ON v.id = s.server_id WHERE s.guid = ?");
  s.BindBlob(1, GuidBytes(guid));
  return ReadStoreRow(db, s, out);
}

HRESULT LoadPublicStore(sqlite3* db, StoreInfo* out) {
  Stmt s(db,
         "SELECT s.id, s.guid, s.kind, COALESCE(s.alias, ''), s.display_name, COALESCE(s.legacy_dn, "
         "''), COALESCE(v.name, ''), s.html_ok, s.root_id, s.props FROM stores s LEFT JOIN servers v "
         "ON v.id = s.server_id WHERE s.kind = 1 ORDER BY s.id LIMIT 1");
  return ReadStoreRow(db, s, out);
}

HRESULT FindMailbox(sqlite3* db, std::string_view name, StoreInfo* out) {
  if (name.empty()) return MAPI_E_NOT_FOUND;
  int64_t id = 0;
  {
    Stmt s(db, "SELECT id FROM stores WHERE kind = 0 AND alias = ?");
    s.Bind(1, name);
    if (s.Step() == SQLITE_ROW) id = s.Int(0);
  }
  if (id == 0) {
    Stmt s(db, "SELECT store_id FROM smtp WHERE address = ?");
    // "SMTP:user@example.org" proxy form is accepted too.
    std::string_view addr = name;
    if (addr.size() > 5 && (addr.substr(0, 5) == "SMTP:" || addr.substr(0, 5) == "smtp:")) {
      addr.remove_prefix(5);
    }
    s.Bind(1, addr);
    if (s.Step() == SQLITE_ROW) id = s.Int(0);
  }
  if (id == 0) {
    Stmt s(db, "SELECT id FROM stores WHERE kind = 0 AND legacy_dn = ?");
    s.Bind(1, name);
    if (s.Step() == SQLITE_ROW) id = s.Int(0);
  }
  if (id == 0) return MAPI_E_NOT_FOUND;
  return LoadStore(db, id, out);
}

HRESULT ListStores(sqlite3* db, std::vector<StoreInfo>* out) {
  std::vector<int64_t> ids;
  {
    Stmt s(db, "SELECT id FROM stores ORDER BY kind, id");
    while (s.Step() == SQLITE_ROW) ids.push_back(s.Int(0));
  }
  out->clear();
  for (int64_t id : ids) {
    StoreInfo info;
    HRESULT hr = LoadStore(db, id, &info);
    if (FAILED(hr)) return hr;
    out->push_back(std::move(info));
  }
  return S_OK;
}

HRESULT SaveStoreProps(WriteTxn& txn, int64_t store_id, const PropMap& props) {
  Stmt s(txn.conn(), "UPDATE stores SET props = ? WHERE id = ?");
  s.BindBlob(1, SerializePropList(props)).Bind(2, store_id);
  if (s.Step() != SQLITE_DONE) return DbFailure(txn.conn());
  ChangeEvent e;
  e.store_id = store_id;
  e.kind = ObjKind::kStore;
  e.type = ChangeType::kModified;
  txn.Emit(e);
  return S_OK;
}

bool ServerExists(sqlite3* db, std::string_view name) {
  Stmt s(db, "SELECT 1 FROM servers WHERE name = ?");
  s.Bind(1, name);
  return s.Step() == SQLITE_ROW;
}

// ---- Folders ----

HRESULT LoadFolder(sqlite3* db, int64_t folder_id, FolderRecord* out) {
  Stmt s(db, "SELECT id, store_id, parent_id, folder_type, props, created, modified FROM folders WHERE id = ?");
  s.Bind(1, folder_id);
  int rc = s.Step();
  if (rc == SQLITE_DONE) return MAPI_E_NOT_FOUND;
  if (rc != SQLITE_ROW) return DbFailure(db);
  return ReadFolderRow(s, out);
}

HRESULT ListChildFolders(sqlite3* db, int64_t parent_id, std::vector<FolderRecord>* out) {
  out->clear();
  Stmt s(db,
         "SELECT id, store_id, parent_id, folder_type, props, created, modified FROM folders WHERE "
         "parent_id = ? ORDER BY id");
  s.Bind(1, parent_id);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    FolderRecord rec;
    HRESULT hr = ReadFolderRow(s, &rec);
    if (FAILED(hr)) return hr;
    out->push_back(std::move(rec));
  }
  return rc == SQLITE_DONE ? S_OK : DbFailure(db);
}

HRESULT FindChildFolder(sqlite3* db, int64_t parent_id, std::string_view name, FolderRecord* out) {
  Stmt s(db,
         "SELECT id, store_id, parent_id, folder_type, props, created, modified FROM folders WHERE "
         "parent_id = ? AND name = ? ORDER BY id LIMIT 1");
  s.Bind(1, parent_id).Bind(2, name);
  int rc = s.Step();
  if (rc == SQLITE_DONE) return MAPI_E_NOT_FOUND;
  if (rc != SQLITE_ROW) return DbFailure(db);
  return ReadFolderRow(s, out);
}

HRESULT InsertFolder(WriteTxn& txn, FolderRecord* rec) {
  int64_t now = NowFileTime();
  rec->created = rec->created != 0 ? rec->created : now;
  rec->modified = now;
  Stmt s(txn.conn(),
         "INSERT INTO folders(store_id, parent_id, name, folder_type, props, created, modified) "
         "VALUES(?,?,?,?,?,?,?)");
  s.Bind(1, rec->store_id)
      .Bind(2, rec->parent_id)
      .Bind(3, DisplayNameOf(rec->props))
      .Bind(4, static_cast<int64_t>(rec->folder_type))
      .BindBlob(5, SerializePropList(rec->props))
      .Bind(6, rec->created)
      .Bind(7, rec->modified);
  if (s.Step() != SQLITE_DONE) return DbFailure(txn.conn());
  rec->id = sqlite3_last_insert_rowid(txn.conn());
  ChangeEvent e;
  e.store_id = rec->store_id;
  e.kind = ObjKind::kFolder;
  e.type = ChangeType::kCreated;
  e.folder_id = rec->parent_id;
  e.object_id = rec->id;
  txn.Emit(e);
  return S_OK;
}

HRESULT UpdateFolder(WriteTxn& txn, const FolderRecord& rec) {
  Stmt s(txn.conn(), "UPDATE folders SET name = ?, props = ?, modified = ? WHERE id = ?");
  s.Bind(1, DisplayNameOf(rec.props))
      .BindBlob(2, SerializePropList(rec.props))
      .Bind(3, NowFileTime())
      .Bind(4, rec.id);
  if (s.Step() != SQLITE_DONE) return DbFailure(txn.conn());
  if (sqlite3_changes(txn.conn()) == 0) return MAPI_E_NOT_FOUND;
  ChangeEvent e;
  e.store_id = rec.store_id;
  e.kind = ObjKind::kFolder;
  e.type = ChangeType::kModified;
  e.folder_id = rec.parent_id;
  e.object_id = rec.id;
  txn.Emit(e);
  return S_OK;
}

HRESULT DeleteFolderTree(WriteTxn& txn, int64_t folder_id) {
  sqlite3* db = txn.conn();
  FolderRecord top;
  HRESULT hr = LoadFolder(db, folder_id, &top);
  if (FAILED(hr)) return hr;
  // Collect the subtree first: statements are not used re-entrantly.
  std::vector<FolderRecord> all{top};
  for (size_t i = 0; i < all.size(); ++i) {
    std::vector<FolderRecord> children;
    hr = ListChildFolders(db, all[i].id, &children);
    if (FAILED(hr)) return hr;
    for (auto& c : children) all.push_back(std::move(c));
  }
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    std::vector<int64_t> messages;
    {
      Stmt s(db, "SELECT id FROM messages WHERE folder_id = ?");
      s.Bind(1, it->id);
      while (s.Step() == SQLITE_ROW) messages.push_back(s.Int(0));
    }
    for (int64_t m : messages) {
      hr = DeleteMessageRecord(txn, m);
      if (FAILED(hr)) return hr;
    }
    Stmt del(db, "DELETE FROM folders WHERE id = ?");
    del.Bind(1, it->id);
    if (del.Step() != SQLITE_DONE) return DbFailure(db);
    ChangeEvent e;
    e.store_id = it->store_id;
    e.kind = ObjKind::kFolder;
    e.type = ChangeType::kDeleted;
    e.folder_id = it->parent_id;
    e.object_id = it->id;
    txn.Emit(e);
  }
  return S_OK;
}

int64_t CountMessages(sqlite3* db, int64_t folder_id, bool associated) {
  Stmt s(db, "SELECT COUNT(*) FROM messages WHERE folder_id = ? AND assoc = ?");
  s.Bind(1, folder_id).Bind(2, associated ? 1 : 0);
  return s.Step() == SQLITE_ROW ? s.Int(0) : 0;
}

int64_t CountChildFolders(sqlite3* db, int64_t folder_id) {
  Stmt s(db, "SELECT COUNT(*) FROM folders WHERE parent_id = ?");
  s.Bind(1, folder_id);
  return s.Step() == SQLITE_ROW ? s.Int(0) : 0;
}

// ---- Messages ----

HRESULT LoadMessage(sqlite3* db, int64_t message_id, MessageRecord* out) {
  Stmt s(db,
         "SELECT id, store_id, folder_id, assoc, props, size, has_attach, created, modified FROM "
         "messages WHERE id = ?");
  s.Bind(1, message_id);
  int rc = s.Step();
  if (rc == SQLITE_DONE) return MAPI_E_NOT_FOUND;
  if (rc != SQLITE_ROW) return DbFailure(db);
  return ReadMessageRow(s, out);
}

HRESULT ScanMessages(sqlite3* db, int64_t folder_id, bool associated, int64_t after_id, int limit,
                     const std::function<bool(MessageRecord&)>& fn) {
  Stmt s(db,
         "SELECT id, store_id, folder_id, assoc, props, size, has_attach, created, modified FROM "
         "messages WHERE folder_id = ? AND assoc = ? AND id > ? ORDER BY id LIMIT ?");
  s.Bind(1, folder_id).Bind(2, associated ? 1 : 0).Bind(3, after_id).Bind(4, limit);
  MessageRecord rec;
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    HRESULT hr = ReadMessageRow(s, &rec);
    if (FAILED(hr)) return hr;
    if (!fn(rec)) return S_OK;
  }
  return rc == SQLITE_DONE ? S_OK : DbFailure(db);
}

HRESULT SaveMessageRecord(WriteTxn& txn, MessageRecord* rec) {
  sqlite3* db = txn.conn();
  int64_t now = NowFileTime();
  bool created = rec->id == 0;
  int64_t old_folder = 0;
  if (created && rec->created == 0) rec->created = now;
  rec->modified = now;
  if (rec->size == 0) rec->size = PropsSize(rec->props);
  std::string blob = InlineBlob(rec->props);
  if (created) {
    Stmt s(db,
           "INSERT INTO messages(store_id, folder_id, assoc, props, size, has_attach, created, "
           "modified) VALUES(?,?,?,?,?,?,?,?)");
    s.Bind(1, rec->store_id)
        .Bind(2, rec->folder_id)
        .Bind(3, rec->associated ? 1 : 0)
        .BindBlob(4, blob)
        .Bind(5, rec->size)
        .Bind(6, rec->has_attach ? 1 : 0)
        .Bind(7, rec->created)
        .Bind(8, rec->modified);
    if (s.Step() != SQLITE_DONE) return DbFailure(db);
    rec->id = sqlite3_last_insert_rowid(db);
  } else {
    Stmt prev(db, "SELECT folder_id FROM messages WHERE id = ?");
    prev.Bind(1, rec->id);
    if (prev.Step() == SQLITE_ROW) old_folder = prev.Int(0);
    Stmt s(db,
           "UPDATE messages SET folder_id = ?, props = ?, size = ?, has_attach = ?, modified = ? "
           "WHERE id = ?");
    s.Bind(1, rec->folder_id)
        .BindBlob(2, blob)
        .Bind(3, rec->size)
        .Bind(4, rec->has_attach ? 1 : 0)
        .Bind(5, rec->modified)
        .Bind(6, rec->id);
    if (s.Step() != SQLITE_DONE) return DbFailure(db);
    if (sqlite3_changes(db) == 0) return MAPI_E_OBJECT_DELETED;
  }
  HRESULT hr = SplitLargeProps(txn, ObjKind::kMessage, rec->id, &rec->props);
  if (FAILED(hr)) return hr;
  ChangeEvent e;
  e.store_id = rec->store_id;
  e.kind = ObjKind::kMessage;
  e.type = created ? ChangeType::kCreated : ChangeType::kModified;
  e.folder_id = rec->folder_id;
  e.object_id = rec->id;
  if (!created && old_folder != 0 && old_folder != rec->folder_id) {
    // The old folder's tables lose the row, the new folder's gain it.
    e.type = ChangeType::kMoved;
    e.old_folder_id = old_folder;
  }
  txn.Emit(e);
  return S_OK;
}

HRESULT DeleteMessageRecord(WriteTxn& txn, int64_t message_id) {
  sqlite3* db = txn.conn();
  int64_t store_id = 0, folder_id = 0;
  {
    Stmt s(db, "SELECT store_id, folder_id FROM messages WHERE id = ?");
    s.Bind(1, message_id);
    int rc = s.Step();
    if (rc == SQLITE_DONE) return MAPI_E_NOT_FOUND;
    if (rc != SQLITE_ROW) return DbFailure(db);
    store_id = s.Int(0);
    folder_id = s.Int(1);
  }
  HRESULT hr = DeleteObjectsOfMessage(txn, message_id);
  if (FAILED(hr)) return hr;
  Stmt del(db, "DELETE FROM messages WHERE id = ?");
  del.Bind(1, message_id);
  if (del.Step() != SQLITE_DONE) return DbFailure(db);
  ChangeEvent e;
  e.store_id = store_id;
  e.kind = ObjKind::kMessage;
  e.type = ChangeType::kDeleted;
  e.folder_id = folder_id;
  e.object_id = message_id;
  txn.Emit(e);
  return S_OK;
}

HRESULT LoadLargeProps(sqlite3* db, ObjKind kind, int64_t obj_id, PropMap* props) {
  bool any = false;
  for (auto& [id, v] : *props) any = any || v.truncated;
  if (!any) return S_OK;
  Stmt s(db, "SELECT prop_id, value FROM large_props WHERE kind = ? AND obj_id = ?");
  s.Bind(1, static_cast<int64_t>(kind)).Bind(2, obj_id);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    auto it = props->find(static_cast<uint16_t>(s.Int(0)));
    if (it == props->end()) continue;
    it->second.data = std::string(s.Blob(1));
    it->second.truncated = false;
  }
  if (rc != SQLITE_DONE) return DbFailure(db);
  for (auto& [id, v] : *props) {
    if (v.truncated) return MAPI_E_CORRUPT_DATA;  // its full value is missing
  }
  return S_OK;
}

// ---- Computed properties ----

bool ComputedStoreProp(const StoreInfo& store, uint16_t prop_id, StoredProp* out) {
  switch (prop_id) {
    case kIdEntryId:
    case kIdStoreEntryId:
    case kIdRecordKey:
    case kIdStoreRecordKey:
      *out = MakeBinary(prop_id == kIdRecordKey || prop_id == kIdStoreRecordKey
                            ? GuidBytes(store.guid)
                            : MakeStoreEntryId(store.guid));
      return true;
    case kIdDisplayName:
      *out = MakeString8(store.display_name);
      return true;
    case kIdObjectType:
      *out = MakeLong(MAPI_STORE);
      return true;
    case kIdMdbProvider:
      *out = MakeBinary(std::string_view(reinterpret_cast<const char*>(kStoreProviderUid.ab), 16));
      return true;
    case kIdStoreSupportMask: {
      ULONG mask = kMailboxSupport;
      if (store.html_ok) mask |= STORE_HTML_OK;
      if (store.kind == kStoreKindPublic) mask |= STORE_PUBLIC_FOLDERS;
      *out = MakeLong(static_cast<int32_t>(mask));
      return true;
    }
    default:
      return false;
  }
}

bool ComputedFolderProp(sqlite3* db, const StoreInfo& store, const FolderRecord& folder,
                        uint16_t prop_id, StoredProp* out) {
  // A root folder is its own parent.
  if (ComputedIdentity(ObjKind::kFolder, store, folder.id, folder.parent_id != 0 ? folder.parent_id : folder.id,
                       prop_id, out)) {
    return true;
  }
  switch (prop_id) {
    case kIdFolderType:
      *out = MakeLong(static_cast<int32_t>(folder.folder_type));
      return true;
    case kIdContentCount:
      *out = MakeLong(static_cast<int32_t>(CountMessages(db, folder.id, false)));
      return true;
    case kIdAssocContentCount:
      *out = MakeLong(static_cast<int32_t>(CountMessages(db, folder.id, true)));
      return true;
    case kIdContentUnread: {
      Stmt s(db, "SELECT props FROM messages WHERE folder_id = ? AND assoc = 0");
      s.Bind(1, folder.id);
      int32_t unread = 0;
      while (s.Step() == SQLITE_ROW) {
        StoredProp flags;
        int32_t v = 0;
        if (!FindInPropList(s.Blob(0), kIdMessageFlags, &flags) || !GetLong(flags, &v) ||
            (v & MSGFLAG_READ) == 0) {
          ++unread;
        }
      }
      *out = MakeLong(unread);
      return true;
    }
    case kIdFolderChildCount:
      *out = MakeLong(static_cast<int32_t>(CountChildFolders(db, folder.id)));
      return true;
    case kIdSubfolders:
      *out = MakeBool(CountChildFolders(db, folder.id) > 0);
      return true;
    case kIdCreationTime:
      *out = MakeSysTime(folder.created);
      return true;
    case kIdLastModificationTime:
      *out = MakeSysTime(folder.modified);
      return true;
    case kIdMdbProvider:
      *out = MakeBinary(std::string_view(reinterpret_cast<const char*>(kStoreProviderUid.ab), 16));
      return true;
    default:
      return false;
  }
}

bool ComputedMessageProp(const StoreInfo& store, const MessageRecord& msg, uint16_t prop_id,
                         StoredProp* out) {
  if (ComputedIdentity(ObjKind::kMessage, store, msg.id, msg.folder_id, prop_id, out)) return true;
  switch (prop_id) {
    case kIdMessageSize:
      *out = MakeLong(static_cast<int32_t>(msg.size));
      return true;
    case kIdHasAttach:
      *out = MakeBool(msg.has_attach);
      return true;
    case kIdCreationTime:
      *out = MakeSysTime(msg.created);
      return true;
    case kIdLastModificationTime:
      *out = MakeSysTime(msg.modified);
      return true;
    default:
      return false;
  }
}

}  // namespace zuvstore
