// folder.cpp: IMAPIFolder over a folder record, and opening entries by ID.
#include <algorithm>

#include "entryid.h"
#include "mapi/mapitags.h"
#include "objects.h"
#include "prop_object.h"
#include "tables.h"

namespace zuvstore {
namespace {

class Folder final : public PropObject<IMAPIFolder> {
 public:
  Folder(std::shared_ptr<StoreContext> store, FolderRecord rec, bool writable)
      : PropObject(std::move(store)), rec_(std::move(rec)) {
    props_ = rec_.props;
    read_only_ = !writable;
  }

  // IZuvMessageValues is a separate object over the same store.
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv != nullptr && SameIid(riid, IID_IZuvMessageValues)) {
      *ppv = nullptr;
      IZuvMessageValues* values = nullptr;
      HRESULT hr = CreateMessageValues(store_, &values);
      if (SUCCEEDED(hr)) *ppv = values;
      return hr;
    }
    return PropObject::QueryInterface(riid, ppv);
  }

  // Folder properties take effect at once; SaveChanges has nothing left.
  HRESULT SaveChanges(ULONG) override { return S_OK; }

  HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* out) override {
    if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
    return CreateContentsTable(store_, rec_.id, flags, out);
  }
  HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* out) override {
    if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
    return CreateHierarchyTable(store_, rec_.id, flags, out);
  }
  HRESULT OpenEntry(ULONG cb, LPENTRYID id, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override {
    return OpenEntryInStore(store_, cb, id, flags, type, out);
  }
  HRESULT CreateMessage(LPCIID, ULONG flags, IMessage** out) override {
    if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
    if (read_only_) return error_.Set(MAPI_E_NO_ACCESS, "the folder was opened read-only");
    return CreateMessageObject(store_, rec_.id, (flags & MAPI_ASSOCIATED) != 0, out);
  }

  HRESULT DeleteMessages(SBinaryArray* list, ULONG, void*, ULONG) override {
    if (list == nullptr || (list->cValues > 0 && list->lpbin == nullptr)) return MAPI_E_INVALID_PARAMETER;
    if (read_only_) return error_.Set(MAPI_E_NO_ACCESS, "the folder was opened read-only");
    bool partial = false;
    std::string err;
    HRESULT hr = store_->db->Write(
        [&](WriteTxn& txn) -> HRESULT {
          for (ULONG i = 0; i < list->cValues; ++i) {
            ParsedEntryId parsed;
            MessageRecord msg;
            if (FAILED(ParseEntryId(list->lpbin[i].lpb, list->lpbin[i].cb, &parsed)) ||
                parsed.kind != static_cast<int>(ObjKind::kMessage) || parsed.store != store_->info.guid ||
                FAILED(LoadMessage(txn.conn(), parsed.id, &msg)) || msg.folder_id != rec_.id) {
              partial = true;
              continue;
            }
            HRESULT one = DeleteMessageRecord(txn, parsed.id);
            if (FAILED(one)) return one;
          }
          return S_OK;
        },
        &err);
    if (FAILED(hr)) return error_.Set(hr, "cannot delete messages: " + err);
    return partial ? MAPI_W_PARTIAL_COMPLETION : S_OK;
  }

  HRESULT CreateFolder(ULONG type, LPSTR name, LPSTR comment, LPCIID, ULONG flags,
                       IMAPIFolder** out) override {
    if (out == nullptr || name == nullptr || *name == '\0') return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (type != FOLDER_GENERIC && type != FOLDER_SEARCH) return MAPI_E_INVALID_PARAMETER;
    if (read_only_) return error_.Set(MAPI_E_NO_ACCESS, "the folder was opened read-only");
    FolderRecord child;
    bool existed = false;
    std::string err;
    HRESULT hr = store_->db->Write(
        [&](WriteTxn& txn) -> HRESULT {
          HRESULT found = FindChildFolder(txn.conn(), rec_.id, name, &child);
          if (SUCCEEDED(found)) {
            existed = true;
            return (flags & OPEN_IF_EXISTS) != 0 ? S_OK : MAPI_E_COLLISION;
          }
          if (found != MAPI_E_NOT_FOUND) return found;
          child = FolderRecord();
          child.store_id = rec_.store_id;
          child.parent_id = rec_.id;
          child.folder_type = type;
          child.props[PROP_ID(PR_DISPLAY_NAME_A)] = MakeString8(name);
          if (comment != nullptr && *comment != '\0') child.props[0x3004 /* PR_COMMENT */] = MakeString8(comment);
          return InsertFolder(txn, &child);
        },
        &err);
    if (hr == MAPI_E_COLLISION) return error_.Set(hr, std::string("a folder named ") + name + " exists");
    if (FAILED(hr)) return error_.Set(hr, "cannot create the folder: " + err);
    (void)existed;
    return OpenFolderObject(store_, child.id, MAPI_MODIFY, out);
  }

  HRESULT DeleteFolder(ULONG cb, LPENTRYID id, ULONG, void*, ULONG flags) override {
    if (read_only_) return error_.Set(MAPI_E_NO_ACCESS, "the folder was opened read-only");
    ParsedEntryId parsed;
    HRESULT hr = ParseEntryId(id, cb, &parsed);
    if (FAILED(hr) || parsed.kind != static_cast<int>(ObjKind::kFolder) || parsed.store != store_->info.guid) {
      return error_.Set(MAPI_E_INVALID_ENTRYID, "not a folder of this store");
    }
    std::string err;
    hr = store_->db->Write(
        [&](WriteTxn& txn) -> HRESULT {
          FolderRecord child;
          HRESULT found = LoadFolder(txn.conn(), parsed.id, &child);
          if (FAILED(found)) return found;
          if (child.parent_id != rec_.id) return MAPI_E_NOT_FOUND;
          if ((flags & DEL_FOLDERS) == 0 && CountChildFolders(txn.conn(), child.id) > 0) return MAPI_E_HAS_FOLDERS;
          if ((flags & DEL_MESSAGES) == 0 && (CountMessages(txn.conn(), child.id, false) > 0 ||
                                              CountMessages(txn.conn(), child.id, true) > 0)) {
            return MAPI_E_HAS_MESSAGES;
          }
          return DeleteFolderTree(txn, child.id);
        },
        &err);
    if (FAILED(hr)) return error_.Set(hr, "cannot delete the folder: " + (err.empty() ? ResultText(hr) : err));
    return S_OK;
  }

  HRESULT EmptyFolder(ULONG, void*, ULONG) override {
    if (read_only_) return error_.Set(MAPI_E_NO_ACCESS, "the folder was opened read-only");
    std::string err;
    HRESULT hr = store_->db->Write(
        [&](WriteTxn& txn) -> HRESULT {
          std::vector<FolderRecord> children;
          HRESULT r = ListChildFolders(txn.conn(), rec_.id, &children);
          if (FAILED(r)) return r;
          for (auto& c : children) {
            if (FAILED(r = DeleteFolderTree(txn, c.id))) return r;
          }
          std::vector<int64_t> ids;
          {
            Stmt s(txn.conn(), "SELECT id FROM messages WHERE folder_id = ? AND assoc = 0");
            s.Bind(1, rec_.id);
            while (s.Step() == SQLITE_ROW) ids.push_back(s.Int(0));
          }
          for (int64_t m : ids) {
            if (FAILED(r = DeleteMessageRecord(txn, m))) return r;
          }
          return S_OK;
        },
        &err);
    return FAILED(hr) ? error_.Set(hr, "cannot empty the folder: " + err) : S_OK;
  }

 protected:
  bool Computed(uint16_t prop_id, StoredProp* out) override {
    sqlite3* db = store_->db->Conn();
    return db != nullptr && ComputedFolderProp(db, store_->info, rec_, prop_id, out);
  }
  const std::vector<uint16_t>& ComputedIds() const override {
    static const std::vector<uint16_t> ids = {
        PROP_ID(PR_ENTRYID),          PROP_ID(PR_RECORD_KEY),          PROP_ID(PR_INSTANCE_KEY),
        PROP_ID(PR_PARENT_ENTRYID),   PROP_ID(PR_STORE_ENTRYID),       PROP_ID(PR_OBJECT_TYPE),
        PROP_ID(PR_FOLDER_TYPE),      PROP_ID(PR_CONTENT_COUNT),       PROP_ID(PR_CONTENT_UNREAD),
        PROP_ID(PR_FOLDER_CHILD_COUNT), PROP_ID(PR_SUBFOLDERS),        PROP_ID(PR_CREATION_TIME),
        PROP_ID(PR_LAST_MODIFICATION_TIME), PROP_ID(PR_MDB_PROVIDER),  0x3617 /* assoc count */,
        0x0FFA /* store record key */, PROP_ID(PR_LONGTERM_ENTRYID_FROM_TABLE)};
    return ids;
  }
  // Writes changed folder properties straight away. REQUIRES: mu_ held.
  HRESULT Changed() override {
    FolderRecord rec = rec_;
    rec.props = props_;
    std::string err;
    HRESULT hr = store_->db->Write([&](WriteTxn& txn) { return UpdateFolder(txn, rec); }, &err);
    if (FAILED(hr)) {
      props_ = rec_.props;  // what the store still holds
      return error_.Set(hr, "cannot save the folder: " + err);
    }
    rec_.props = props_;
    dirty_ = false;
    return S_OK;
  }

 private:
  bool Supports(REFIID riid) const override {
    return SameIid(riid, IID_IMAPIFolder) || SameIid(riid, IID_IMAPIContainer) || SameIid(riid, IID_IMAPIProp);
  }

  FolderRecord rec_;  // guarded by mu_ (props kept in props_)
};

}  // namespace

HRESULT OpenFolderObject(std::shared_ptr<StoreContext> store, int64_t folder_id, ULONG flags,
                         IMAPIFolder** out) {
  *out = nullptr;
  FolderRecord rec;
  std::string err;
  HRESULT hr = store->db->Read([&](sqlite3* db) { return LoadFolder(db, folder_id, &rec); }, &err);
  if (FAILED(hr)) return hr;
  if (rec.store_id != store->info.id) return MAPI_E_NOT_FOUND;
  // Folders take writes whatever flags they were opened with: a server
  // decides access by the mailbox's rights, and the one logged-on account
  // has them all.
  (void)flags;
  *out = new Folder(std::move(store), std::move(rec), true);
  return S_OK;
}

HRESULT OpenEntryInStore(const std::shared_ptr<StoreContext>& store, ULONG cb, const ENTRYID* entry_id,
                         ULONG flags, ULONG* obj_type, IUnknown** out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (cb == 0 || entry_id == nullptr) {
    IMAPIFolder* root = nullptr;
    HRESULT hr = OpenFolderObject(store, store->info.root_id, flags, &root);
    if (FAILED(hr)) return hr;
    if (obj_type) *obj_type = MAPI_FOLDER;
    *out = root;
    return S_OK;
  }
  ParsedEntryId parsed;
  HRESULT hr = ParseEntryId(entry_id, cb, &parsed);
  if (FAILED(hr)) return hr;
  if (parsed.kind == static_cast<int>(ObjKind::kStore) ||
      parsed.kind == static_cast<int>(ObjKind::kFolder) ||
      parsed.kind == static_cast<int>(ObjKind::kMessage)) {
    if (parsed.store != store->info.guid) return MAPI_E_NOT_FOUND;
  }
  switch (parsed.kind) {
    case static_cast<int>(ObjKind::kStore): {
      IMsgStore* s = nullptr;
      if (FAILED(hr = CreateStoreObject(store, flags, &s))) return hr;
      if (obj_type) *obj_type = MAPI_STORE;
      *out = s;
      return S_OK;
    }
    case static_cast<int>(ObjKind::kFolder): {
      IMAPIFolder* f = nullptr;
      if (FAILED(hr = OpenFolderObject(store, parsed.id, flags, &f))) return hr;
      if (obj_type) *obj_type = MAPI_FOLDER;
      *out = f;
      return S_OK;
    }
    case static_cast<int>(ObjKind::kMessage): {
      IMessage* m = nullptr;
      if (FAILED(hr = OpenMessageObject(store, parsed.id, flags, &m))) return hr;
      if (obj_type) *obj_type = MAPI_MESSAGE;
      *out = m;
      return S_OK;
    }
    default:
      return MAPI_E_INVALID_ENTRYID;
  }
}

}  // namespace zuvstore
