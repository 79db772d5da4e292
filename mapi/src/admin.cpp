// admin.cpp: creating the store, its servers, mailboxes and folders.
#include <algorithm>
#include <cstring>
#include <functional>

#include "entryid.h"
#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"
#include "objects.h"
#include "prop_object.h"

namespace zuvstore {
namespace {

struct DefaultFolder {
  const char* name;
  const char* container_class;
  ULONG store_tag;  // store property naming it, or 0
  ULONG inbox_tag;  // Inbox (and root) property naming it, or 0
};

// The folders a new mailbox gets below "Top of Information Store".
const DefaultFolder kIpmFolders[] = {
    {"Inbox", "IPF.Note", 0, 0},
    {"Outbox", "IPF.Note", PR_IPM_OUTBOX_ENTRYID, 0},
    {"Sent Items", "IPF.Note", PR_IPM_SENTMAIL_ENTRYID, 0},
    {"Deleted Items", "IPF.Note", PR_IPM_WASTEBASKET_ENTRYID, 0},
    {"Drafts", "IPF.Note", 0, PR_IPM_DRAFTS_ENTRYID},
    {"Contacts", "IPF.Contact", 0, PR_IPM_CONTACT_ENTRYID},
    {"Calendar", "IPF.Appointment", 0, PR_IPM_APPOINTMENT_ENTRYID},
    {"Tasks", "IPF.Task", 0, PR_IPM_TASK_ENTRYID},
    {"Notes", "IPF.StickyNote", 0, PR_IPM_NOTE_ENTRYID},
    {"Journal", "IPF.Journal", 0, PR_IPM_JOURNAL_ENTRYID},
};

constexpr const char* kIpmSubtreeName = "Top of Information Store";
constexpr const char* kPublicSubtreeName = "IPM_SUBTREE";

HRESULT AddFolder(WriteTxn& txn, int64_t store_id, int64_t parent_id, ULONG type, const std::string& name,
                  const std::string& container_class, FolderRecord* out) {
  FolderRecord rec;
  rec.store_id = store_id;
  rec.parent_id = parent_id;
  rec.folder_type = type;
  rec.props[PROP_ID(PR_DISPLAY_NAME_A)] = MakeString8(name);
  if (!container_class.empty()) rec.props[PROP_ID(PR_CONTAINER_CLASS_A)] = MakeString8(container_class);
  HRESULT hr = InsertFolder(txn, &rec);
  if (SUCCEEDED(hr)) *out = std::move(rec);
  return hr;
}

HRESULT InsertStore(WriteTxn& txn, int kind, const MailboxSpec& spec, int64_t server_id, StoreInfo* out) {
  GUID guid = NewGuid();
  Stmt s(txn.conn(),
         "INSERT INTO stores(guid, kind, alias, display_name, legacy_dn, server_id, html_ok) "
         "VALUES(?,?,?,?,?,?,?)");
  s.BindBlob(1, GuidBytes(guid)).Bind(2, kind);
  if (spec.alias.empty()) s.BindNull(3); else s.Bind(3, spec.alias);
  s.Bind(4, spec.display_name);
  if (spec.legacy_dn.empty()) s.BindNull(5); else s.Bind(5, spec.legacy_dn);
  if (server_id == 0) s.BindNull(6); else s.Bind(6, server_id);
  s.Bind(7, spec.html_ok ? 1 : 0);
  int rc = s.Step();
  if ((rc & 0xFF) == SQLITE_CONSTRAINT) return MAPI_E_COLLISION;
  if (rc != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  out->id = sqlite3_last_insert_rowid(txn.conn());
  out->guid = guid;
  out->kind = kind;
  return S_OK;
}

HRESULT SetRoot(WriteTxn& txn, int64_t store_id, int64_t root_id) {
  Stmt s(txn.conn(), "UPDATE stores SET root_id = ? WHERE id = ?");
  s.Bind(1, root_id).Bind(2, store_id);
  return s.Step() == SQLITE_DONE ? S_OK : MAPI_E_CALL_FAILED;
}

StoredProp FolderIdProp(const GUID& store, int64_t id) {
  return MakeBinary(MakeObjectEntryId(ObjKind::kFolder, store, id));
}

// Creates the public folder store when the database has none.
HRESULT EnsurePublicStore(WriteTxn& txn) {
  StoreInfo existing;
  HRESULT hr = LoadPublicStore(txn.conn(), &existing);
  if (SUCCEEDED(hr)) return S_OK;
  if (hr != MAPI_E_NOT_FOUND) return hr;
  MailboxSpec spec;
  spec.display_name = "Public Folders";
  StoreInfo store;
  if (FAILED(hr = InsertStore(txn, kStoreKindPublic, spec, 0, &store))) return hr;
  FolderRecord root, subtree;
  if (FAILED(hr = AddFolder(txn, store.id, 0, FOLDER_ROOT, "", "", &root))) return hr;
  if (FAILED(hr = AddFolder(txn, store.id, root.id, FOLDER_GENERIC, kPublicSubtreeName, "", &subtree))) return hr;
  if (FAILED(hr = SetRoot(txn, store.id, root.id))) return hr;
  PropMap props;
  props[PROP_ID(PR_IPM_SUBTREE_ENTRYID)] = FolderIdProp(store.guid, subtree.id);
  props[0x6631 /* PR_IPM_PUBLIC_FOLDERS_ENTRYID */] = FolderIdProp(store.guid, subtree.id);
  return SaveStoreProps(txn, store.id, props);
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

HRESULT SubtreeId(const StoreInfo& store, int64_t* id) {
  auto it = store.props.find(PROP_ID(PR_IPM_SUBTREE_ENTRYID));
  std::string bytes;
  ParsedEntryId parsed;
  if (it == store.props.end() || !GetBinary(it->second, &bytes) ||
      FAILED(ParseEntryId(bytes.data(), bytes.size(), &parsed))) {
    return MAPI_E_NOT_FOUND;
  }
  *id = parsed.id;
  return S_OK;
}

}  // namespace

struct StoreAdmin::Impl {
  std::shared_ptr<Db> db;

  HRESULT FindStore(sqlite3* conn, const std::string& alias, bool is_public, StoreInfo* out, std::string* err) {
    HRESULT hr = is_public ? LoadPublicStore(conn, out) : FindMailbox(conn, alias, out);
    if (FAILED(hr)) *err = is_public ? "the store has no public folders" : "no mailbox " + alias;
    return hr;
  }

  // The folder at path: from the IPM subtree, or from the root with a
  // leading '/'. Creates missing folders when txn is given.
  HRESULT ResolvePath(sqlite3* conn, WriteTxn* txn, const StoreInfo& store, const std::string& path,
                      const std::string& container_class, int64_t* id, std::string* err) {
    int64_t current = store.root_id;
    if (path.empty() || path[0] != '/') {
      HRESULT hr = SubtreeId(store, &current);
      if (FAILED(hr)) {
        *err = "the store has no IPM subtree";
        return hr;
      }
    }
    for (const std::string& name : SplitPath(path)) {
      FolderRecord child;
      HRESULT hr = FindChildFolder(conn, current, name, &child);
      if (hr == MAPI_E_NOT_FOUND && txn != nullptr) {
        hr = AddFolder(*txn, store.id, current, FOLDER_GENERIC, name, container_class, &child);
      }
      if (FAILED(hr)) {
        *err = hr == MAPI_E_NOT_FOUND ? "no folder " + name + " in " + path : "cannot create folder " + name;
        return hr;
      }
      current = child.id;
    }
    *id = current;
    return S_OK;
  }
};

StoreAdmin::StoreAdmin(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
StoreAdmin::~StoreAdmin() = default;

const std::string& StoreAdmin::path() const { return impl_->db->path(); }

HRESULT StoreAdmin::Open(const std::string& path, std::unique_ptr<StoreAdmin>* out, std::string* err) {
  auto impl = std::make_unique<Impl>();
  HRESULT hr = Db::Open(path, &impl->db, err);
  if (FAILED(hr)) return hr;
  hr = impl->db->Write([](WriteTxn& txn) { return EnsurePublicStore(txn); }, err);
  if (FAILED(hr)) {
    if (err->empty()) *err = "cannot create the public folder store";
    return hr;
  }
  out->reset(new StoreAdmin(std::move(impl)));
  return S_OK;
}

HRESULT StoreAdmin::AddServer(const std::string& name, bool cas, std::string* err) {
  if (name.empty()) {
    *err = "a server needs a name";
    return MAPI_E_INVALID_PARAMETER;
  }
  return impl_->db->Write(
      [&](WriteTxn& txn) -> HRESULT {
        Stmt s(txn.conn(), "INSERT INTO servers(name, cas) VALUES(?, ?)");
        s.Bind(1, name).Bind(2, cas ? 1 : 0);
        int rc = s.Step();
        if ((rc & 0xFF) == SQLITE_CONSTRAINT) {
          *err = "server " + name + " exists";
          return MAPI_E_COLLISION;
        }
        return rc == SQLITE_DONE ? S_OK : MAPI_E_CALL_FAILED;
      },
      err);
}

HRESULT StoreAdmin::AddMailbox(const MailboxSpec& spec, std::string* entry_id, std::string* err) {
  if (spec.alias.empty() || spec.display_name.empty() || spec.smtp.empty() || spec.legacy_dn.empty() ||
      spec.server.empty()) {
    *err = "a mailbox needs an alias, a display name, an SMTP address, a legacy DN and a server";
    return MAPI_E_INVALID_PARAMETER;
  }
  for (const std::string& a : spec.smtp) {
    size_t at = a.find('@');
    if (at == std::string::npos || at == 0 || at + 1 == a.size() || a.find('@', at + 1) != std::string::npos) {
      *err = "not an SMTP address: " + a;
      return MAPI_E_INVALID_PARAMETER;
    }
  }
  StoreInfo store;
  HRESULT hr = impl_->db->Write(
      [&](WriteTxn& txn) -> HRESULT {
        sqlite3* conn = txn.conn();
        Stmt server(conn, "SELECT id FROM servers WHERE name = ? AND cas = 0");
        server.Bind(1, spec.server);
        if (server.Step() != SQLITE_ROW) {
          *err = "no mailbox server " + spec.server + " (add it with add-server)";
          return MAPI_E_NOT_FOUND;
        }
        int64_t server_id = server.Int(0);
        HRESULT r = InsertStore(txn, kStoreKindMailbox, spec, server_id, &store);
        if (r == MAPI_E_COLLISION) *err = "mailbox " + spec.alias + " exists";
        if (FAILED(r)) return r;
        for (size_t i = 0; i < spec.smtp.size(); ++i) {
          Stmt a(conn, "INSERT INTO smtp(address, store_id, is_primary) VALUES(?,?,?)");
          a.Bind(1, spec.smtp[i]).Bind(2, store.id).Bind(3, i == 0 ? 1 : 0);
          int rc = a.Step();
          if ((rc & 0xFF) == SQLITE_CONSTRAINT) {
            *err = "address " + spec.smtp[i] + " belongs to another mailbox";
            return MAPI_E_COLLISION;
          }
          if (rc != SQLITE_DONE) return MAPI_E_CALL_FAILED;
        }
        FolderRecord root, subtree, sync;
        if (FAILED(r = AddFolder(txn, store.id, 0, FOLDER_ROOT, "", "", &root))) return r;
        if (FAILED(r = AddFolder(txn, store.id, root.id, FOLDER_GENERIC, kIpmSubtreeName, "", &subtree))) return r;
        if (FAILED(r = AddFolder(txn, store.id, root.id, FOLDER_GENERIC, "ExchangeSyncData", "", &sync))) return r;
        PropMap store_props, inbox_props;
        store_props[PROP_ID(PR_IPM_SUBTREE_ENTRYID)] = FolderIdProp(store.guid, subtree.id);
        FolderRecord inbox;
        for (const DefaultFolder& f : kIpmFolders) {
          FolderRecord rec;
          if (FAILED(r = AddFolder(txn, store.id, subtree.id, FOLDER_GENERIC, f.name, f.container_class, &rec))) {
            return r;
          }
          if (f.store_tag != 0) store_props[static_cast<uint16_t>(PROP_ID(f.store_tag))] = FolderIdProp(store.guid, rec.id);
          if (f.inbox_tag != 0) inbox_props[static_cast<uint16_t>(PROP_ID(f.inbox_tag))] = FolderIdProp(store.guid, rec.id);
          if (std::strcmp(f.name, "Inbox") == 0) inbox = rec;
        }
        store_props[kIdReceiveFolderId] = MakeI8(inbox.id);
        // The Inbox and the root both name the special folders, as clients
        // look for them in either place.
        for (auto& [id, v] : inbox_props) {
          inbox.props[id] = v;
          root.props[id] = v;
        }
        if (FAILED(r = UpdateFolder(txn, inbox))) return r;
        if (FAILED(r = UpdateFolder(txn, root))) return r;
        if (FAILED(r = SetRoot(txn, store.id, root.id))) return r;
        return SaveStoreProps(txn, store.id, store_props);
      },
      err);
  if (FAILED(hr)) return hr;
  std::string id = MakeStoreEntryId(store.guid);
  if (entry_id) *entry_id = EntryIdToHex(id.data(), id.size());
  return S_OK;
}

HRESULT StoreAdmin::ListMailboxes(std::vector<MailboxInfo>* out, std::string* err) {
  std::vector<StoreInfo> stores;
  HRESULT hr = impl_->db->Read([&](sqlite3* conn) { return ListStores(conn, &stores); }, err);
  if (FAILED(hr)) return hr;
  out->clear();
  for (const StoreInfo& s : stores) {
    MailboxInfo m;
    m.alias = s.alias;
    m.display_name = s.display_name;
    m.smtp = s.smtp;
    m.legacy_dn = s.legacy_dn;
    m.server = s.server;
    std::string id = MakeStoreEntryId(s.guid);
    m.store_entry_id = EntryIdToHex(id.data(), id.size());
    m.is_public = s.kind == kStoreKindPublic;
    out->push_back(std::move(m));
  }
  return S_OK;
}

HRESULT StoreAdmin::ListFolders(const std::string& alias, bool is_public, std::vector<FolderInfo>* out,
                                std::string* err) {
  out->clear();
  return impl_->db->Read(
      [&](sqlite3* conn) -> HRESULT {
        StoreInfo store;
        HRESULT hr = impl_->FindStore(conn, alias, is_public, &store, err);
        if (FAILED(hr)) return hr;
        int64_t subtree = 0;
        SubtreeId(store, &subtree);
        // Depth first from the root; paths below the IPM subtree are relative.
        struct Item {
          int64_t id;
          std::string path;
          bool below_subtree;
        };
        // Each folder is listed before its children, siblings in creation order.
        std::function<HRESULT(const Item&)> visit = [&](const Item& item) -> HRESULT {
          std::vector<FolderRecord> children;
          HRESULT r = ListChildFolders(conn, item.id, &children);
          if (FAILED(r)) return r;
          for (auto it = children.begin(); it != children.end(); ++it) {
            std::string name;
            auto dn = it->props.find(PROP_ID(PR_DISPLAY_NAME_A));
            if (dn != it->props.end()) GetString(dn->second, &name);
            bool below = item.below_subtree || item.id == subtree;
            std::string path = it->id == subtree ? ""
                               : below           ? (item.path.empty() ? name : item.path + "/" + name)
                                                 : item.path + "/" + name;
            if (it->id != subtree) {
              FolderInfo info;
              info.path = path;
              std::string id = MakeObjectEntryId(ObjKind::kFolder, store.guid, it->id);
              info.entry_id = EntryIdToHex(id.data(), id.size());
              info.content_count = CountMessages(conn, it->id, false);
              info.child_count = CountChildFolders(conn, it->id);
              auto cls = it->props.find(PROP_ID(PR_CONTAINER_CLASS_A));
              if (cls != it->props.end()) GetString(cls->second, &info.container_class);
              out->push_back(std::move(info));
            }
            if (FAILED(r = visit({it->id, path, below}))) return r;
          }
          return S_OK;
        };
        return visit({store.root_id, "", false});
      },
      err);
}

HRESULT StoreAdmin::CreateFolderPath(const std::string& alias, bool is_public, const std::string& path,
                                     const std::string& container_class, std::string* entry_id,
                                     std::string* err) {
  if (SplitPath(path).empty()) {
    *err = "an empty folder path";
    return MAPI_E_INVALID_PARAMETER;
  }
  StoreInfo store;
  int64_t id = 0;
  HRESULT hr = impl_->db->Write(
      [&](WriteTxn& txn) -> HRESULT {
        HRESULT r = impl_->FindStore(txn.conn(), alias, is_public, &store, err);
        if (FAILED(r)) return r;
        return impl_->ResolvePath(txn.conn(), &txn, store, path, container_class, &id, err);
      },
      err);
  if (FAILED(hr)) return hr;
  std::string bytes = MakeObjectEntryId(ObjKind::kFolder, store.guid, id);
  if (entry_id) *entry_id = EntryIdToHex(bytes.data(), bytes.size());
  return S_OK;
}

HRESULT StoreAdmin::OpenFolder(const std::string& alias, bool is_public, const std::string& path,
                               IMAPIFolder** out, std::string* err) {
  *out = nullptr;
  StoreInfo store;
  int64_t id = 0;
  HRESULT hr = impl_->db->Read(
      [&](sqlite3* conn) -> HRESULT {
        HRESULT r = impl_->FindStore(conn, alias, is_public, &store, err);
        if (FAILED(r)) return r;
        return impl_->ResolvePath(conn, nullptr, store, path, "", &id, err);
      },
      err);
  if (FAILED(hr)) return hr;
  std::shared_ptr<StoreContext> ctx;
  if (FAILED(hr = OpenStoreContext(impl_->db, store.guid, &ctx, err))) return hr;
  return OpenFolderObject(std::move(ctx), id, MAPI_MODIFY, out);
}

HRESULT StoreAdmin::Batch(const std::function<HRESULT()>& fn, std::string* err) {
  return impl_->db->Write([&](WriteTxn&) { return fn(); }, err);
}

HRESULT StoreAdmin::SetSetting(const std::string& key, const std::string& value, std::string* err) {
  return impl_->db->Write(
      [&](WriteTxn& txn) -> HRESULT {
        Stmt s(txn.conn(), "INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
        s.Bind(1, key).Bind(2, value);
        return s.Step() == SQLITE_DONE ? S_OK : MAPI_E_CALL_FAILED;
      },
      err);
}

std::string EntryIdToHex(const void* data, size_t len) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(len * 2);
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < len; ++i) {
    out.push_back(kDigits[p[i] >> 4]);
    out.push_back(kDigits[p[i] & 0xF]);
  }
  return out;
}

bool HexToEntryId(const std::string& hex, std::string* bytes) {
  if (hex.size() % 2 != 0) return false;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = digit(hex[i]), lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>((hi << 4) | lo));
  }
  *bytes = std::move(out);
  return true;
}

}  // namespace zuvstore
