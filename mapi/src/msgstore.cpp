// msgstore.cpp: IMsgStore, its object and new-mail notifications, and the
// administrative logon to other mailboxes (IExchangeManageStore).
#include <algorithm>
#include <cstring>
#include <map>

#include "entryid.h"
#include "mapi/mapitags.h"
#include "objects.h"
#include "prop_object.h"

namespace zuvstore {
namespace {

// A store advise: the sink, the events it wants, and the folder or message
// it watches (0: the whole store).
struct StoreAdvise {
  ComPtr<IMAPIAdviseSink> sink;
  ULONG mask = 0;
  int kind = 0;  // ObjKind of the watched object, 0 for the store
  int64_t object_id = 0;
  int subscription = 0;
};

ULONG EventMask(const ChangeEvent& e) {
  switch (e.type) {
    case ChangeType::kCreated: return fnevObjectCreated;
    case ChangeType::kModified: return fnevObjectModified;
    case ChangeType::kDeleted: return fnevObjectDeleted;
    case ChangeType::kMoved: return fnevObjectMoved;
  }
  return 0;
}

// Holds the entry IDs of one batch of notifications for the OnNotify call.
struct NotificationBatch {
  std::vector<NOTIFICATION> items;
  std::vector<std::string> ids;  // reserved up front: items point into it
};

class ManageStore final : public ComObject<IExchangeManageStore> {
 public:
  explicit ManageStore(std::shared_ptr<StoreContext> store) : store_(std::move(store)) {}

  // storeDN names the mailbox server as ".../cn=Servers/cn=NAME/..."; the
  // server must be one the store answers to, and mailboxDN must resolve.
  HRESULT CreateStoreEntryID(LPSTR store_dn, LPSTR mailbox_dn, ULONG flags, ULONG* cb,
                             LPENTRYID* out) override {
    if (cb == nullptr || out == nullptr) return MAPI_E_INVALID_PARAMETER;
    *cb = 0;
    *out = nullptr;
    std::string sdn = store_dn != nullptr ? store_dn : "";
    std::string mdn = mailbox_dn != nullptr ? mailbox_dn : "";
    StoreInfo target;
    std::string err;
    HRESULT hr = store_->db->Read(
        [&](sqlite3* db) -> HRESULT {
          if ((flags & OPENSTORE_PUBLIC) != 0 && mdn.empty()) return LoadPublicStore(db, &target);
          std::string server = ServerFromStoreDn(sdn);
          if (!server.empty() && !ServerExists(db, server)) {
            err = "no mailbox server " + server;
            return MAPI_E_NOT_FOUND;
          }
          HRESULT found = FindMailbox(db, mdn, &target);
          if (FAILED(found)) err = "no mailbox " + mdn;
          return found;
        },
        &err);
    if (FAILED(hr)) return error_.Set(hr, err.empty() ? ResultText(hr) : err);
    std::string id = MakeStoreEntryId(target.guid);
    void* buf = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(id.size()), &buf) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
    std::memcpy(buf, id.data(), id.size());
    *cb = static_cast<ULONG>(id.size());
    *out = static_cast<LPENTRYID>(buf);
    return S_OK;
  }

 private:
  bool Supports(REFIID riid) const override { return SameIid(riid, IID_IExchangeManageStore); }

  static std::string ServerFromStoreDn(const std::string& dn) {
    std::string lower = dn;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    size_t at = lower.find("/cn=servers/cn=");
    if (at == std::string::npos) return "";
    size_t start = at + std::strlen("/cn=servers/cn=");
    size_t end = dn.find('/', start);
    return dn.substr(start, end == std::string::npos ? std::string::npos : end - start);
  }

  std::shared_ptr<StoreContext> store_;
  LastError error_;
};

class MsgStore final : public PropObject<IMsgStore> {
 public:
  MsgStore(std::shared_ptr<StoreContext> store, bool writable) : PropObject(std::move(store)) {
    props_ = store_->info.props;
    read_only_ = !writable;
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv != nullptr && SameIid(riid, IID_IExchangeManageStore)) {
      *ppv = static_cast<IExchangeManageStore*>(new ManageStore(store_));
      return S_OK;
    }
    return PropObject::QueryInterface(riid, ppv);
  }

  HRESULT SaveChanges(ULONG) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (!dirty_) return S_OK;
    std::string err;
    PropMap props = props_;
    HRESULT hr = store_->db->Write([&](WriteTxn& txn) { return SaveStoreProps(txn, store_->info.id, props); }, &err);
    if (FAILED(hr)) return error_.Set(hr, "cannot save the store properties: " + err);
    dirty_ = false;
    return S_OK;
  }

  HRESULT Advise(ULONG cb, LPENTRYID entry_id, ULONG mask, LPMAPIADVISESINK sink, ULONG* connection) override {
    if (sink == nullptr || connection == nullptr || mask == 0) return MAPI_E_INVALID_PARAMETER;
    auto advise = std::make_shared<StoreAdvise>();
    sink->AddRef();
    advise->sink = ComPtr<IMAPIAdviseSink>(sink);
    advise->mask = mask;
    if (cb > 0 && entry_id != nullptr) {
      ParsedEntryId parsed;
      if (FAILED(ParseEntryId(entry_id, cb, &parsed)) || parsed.store != store_->info.guid) {
        return error_.Set(MAPI_E_INVALID_ENTRYID, "Advise on an entry ID of another store");
      }
      advise->kind = parsed.kind;
      advise->object_id = parsed.id;
    }
    std::weak_ptr<StoreContext> weak_store = store_;
    std::weak_ptr<StoreAdvise> weak_advise = advise;
    advise->subscription = store_->notifier->SubscribeStore(
        store_->info.id, [weak_store, weak_advise](const std::vector<ChangeEvent>& events) {
          auto s = weak_store.lock();
          auto a = weak_advise.lock();
          if (s && a) Deliver(*s, *a, events);
        });
    std::lock_guard<std::mutex> lock(advise_mu_);
    ULONG id = next_connection_++;
    advises_[id] = advise;
    *connection = id;
    return S_OK;
  }

  HRESULT Unadvise(ULONG connection) override {
    std::shared_ptr<StoreAdvise> advise;
    {
      std::lock_guard<std::mutex> lock(advise_mu_);
      auto it = advises_.find(connection);
      if (it == advises_.end()) return MAPI_E_NOT_FOUND;
      advise = std::move(it->second);
      advises_.erase(it);
    }
    store_->notifier->Unsubscribe(advise->subscription);
    return S_OK;
  }

  HRESULT OpenEntry(ULONG cb, LPENTRYID id, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override {
    HRESULT hr = OpenEntryInStore(store_, cb, id, flags, type, out);
    if (FAILED(hr)) error_.Set(hr, std::string("OpenEntry: ") + ResultText(hr));
    return hr;
  }

  HRESULT GetReceiveFolder(LPSTR, ULONG, ULONG* cb, LPENTRYID* out, LPSTR* explicit_class) override {
    if (cb == nullptr || out == nullptr) return MAPI_E_INVALID_PARAMETER;
    *cb = 0;
    *out = nullptr;
    if (explicit_class) *explicit_class = nullptr;
    int64_t inbox = 0;
    auto it = store_->info.props.find(kIdReceiveFolderId);
    if (it == store_->info.props.end() || !GetI8(it->second, &inbox) || inbox == 0) {
      return error_.Set(MAPI_E_NOT_FOUND, "the store has no receive folder");
    }
    std::string id = MakeObjectEntryId(ObjKind::kFolder, store_->info.guid, inbox);
    void* buf = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(id.size()), &buf) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
    std::memcpy(buf, id.data(), id.size());
    *cb = static_cast<ULONG>(id.size());
    *out = static_cast<LPENTRYID>(buf);
    return S_OK;
  }

  HRESULT StoreLogoff(ULONG* flags) override {
    if (flags) *flags = 0;
    return S_OK;
  }

 protected:
  bool Computed(uint16_t prop_id, StoredProp* out) override {
    return ComputedStoreProp(store_->info, prop_id, out);
  }
  const std::vector<uint16_t>& ComputedIds() const override {
    static const std::vector<uint16_t> ids = {
        PROP_ID(PR_ENTRYID),   PROP_ID(PR_STORE_ENTRYID), PROP_ID(PR_RECORD_KEY), 0x0FFA,
        PROP_ID(PR_OBJECT_TYPE), PROP_ID(PR_MDB_PROVIDER), PROP_ID(PR_STORE_SUPPORT_MASK),
        PROP_ID(PR_DISPLAY_NAME)};
    return ids;
  }

 private:
  ~MsgStore() override {
    std::map<ULONG, std::shared_ptr<StoreAdvise>> advises;
    {
      std::lock_guard<std::mutex> lock(advise_mu_);
      advises.swap(advises_);
    }
    for (auto& [id, a] : advises) store_->notifier->Unsubscribe(a->subscription);
  }
  bool Supports(REFIID riid) const override {
    return SameIid(riid, IID_IMsgStore) || SameIid(riid, IID_IMAPIProp);
  }

  // Turns changes into object and new-mail notifications for one advise.
  // Runs on the notifier's thread.
  static void Deliver(const StoreContext& store, const StoreAdvise& advise,
                      const std::vector<ChangeEvent>& events) {
    NotificationBatch batch;
    batch.ids.reserve(events.size() * 3);
    for (const ChangeEvent& e : events) {
      if (advise.kind != 0) {
        bool about = (advise.kind == static_cast<int>(e.kind) && advise.object_id == e.object_id) ||
                     (advise.kind == static_cast<int>(ObjKind::kFolder) &&
                      (advise.object_id == e.folder_id || advise.object_id == e.old_folder_id));
        if (!about) continue;
      }
      ULONG type = e.kind == ObjKind::kFolder ? MAPI_FOLDER
                   : e.kind == ObjKind::kStore ? MAPI_STORE
                                                : MAPI_MESSAGE;
      batch.ids.push_back(e.kind == ObjKind::kStore ? MakeStoreEntryId(store.info.guid)
                                                     : MakeObjectEntryId(e.kind, store.info.guid, e.object_id));
      std::string& id = batch.ids.back();
      batch.ids.push_back(MakeObjectEntryId(ObjKind::kFolder, store.info.guid, e.folder_id));
      std::string& parent = batch.ids.back();
      if (e.new_mail && (advise.mask & fnevNewMail) != 0) {
        NOTIFICATION n{};
        n.ulEventType = fnevNewMail;
        n.info.newmail.cbEntryID = static_cast<ULONG>(id.size());
        n.info.newmail.lpEntryID = reinterpret_cast<LPENTRYID>(id.data());
        n.info.newmail.cbParentID = static_cast<ULONG>(parent.size());
        n.info.newmail.lpParentID = reinterpret_cast<LPENTRYID>(parent.data());
        batch.items.push_back(n);
      }
      ULONG mask = EventMask(e);
      if ((advise.mask & mask) == 0) continue;
      NOTIFICATION n{};
      n.ulEventType = mask;
      n.info.obj.ulObjType = type;
      n.info.obj.cbEntryID = static_cast<ULONG>(id.size());
      n.info.obj.lpEntryID = reinterpret_cast<LPENTRYID>(id.data());
      n.info.obj.cbParentID = static_cast<ULONG>(parent.size());
      n.info.obj.lpParentID = reinterpret_cast<LPENTRYID>(parent.data());
      if (e.type == ChangeType::kMoved) {
        batch.ids.push_back(MakeObjectEntryId(ObjKind::kFolder, store.info.guid, e.old_folder_id));
        n.info.obj.cbOldParentID = static_cast<ULONG>(batch.ids.back().size());
        n.info.obj.lpOldParentID = reinterpret_cast<LPENTRYID>(batch.ids.back().data());
      }
      batch.items.push_back(n);
    }
    if (!batch.items.empty()) {
      advise.sink->OnNotify(static_cast<ULONG>(batch.items.size()), batch.items.data());
    }
  }

  std::mutex advise_mu_;
  std::map<ULONG, std::shared_ptr<StoreAdvise>> advises_;  // guarded by advise_mu_
  ULONG next_connection_ = 1;                             // guarded by advise_mu_
};

}  // namespace

HRESULT CreateStoreObject(std::shared_ptr<StoreContext> store, ULONG flags, IMsgStore** out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  bool writable = (flags & (MAPI_BEST_ACCESS | MAPI_MODIFY | MDB_WRITE)) != 0;
  *out = new MsgStore(std::move(store), writable);
  return S_OK;
}

HRESULT OpenStoreContext(const std::shared_ptr<Db>& db, const GUID& guid,
                         std::shared_ptr<StoreContext>* out, std::string* err) {
  auto ctx = std::make_shared<StoreContext>();
  ctx->db = db;
  HRESULT hr = db->Read([&](sqlite3* conn) { return LoadStoreByGuid(conn, guid, &ctx->info); }, err);
  if (FAILED(hr)) {
    if (err->empty()) *err = "no such store";
    return hr;
  }
  ctx->notifier = Notifier::For(db);
  *out = std::move(ctx);
  return S_OK;
}

}  // namespace zuvstore
