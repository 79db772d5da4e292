// session.cpp: MAPIInitialize, logon, the session object and profile
// administration's entry point.
//
// A logon reads the profile's "MSEMS" service section for the server and
// mailbox name (PR_PROFILE_UNRESOLVED_SERVER / _NAME, or PR_PROFILE_HOME_SERVER
// / PR_PROFILE_USER); the server must be one the store answers to and the
// mailbox must resolve by alias, SMTP address or legacy DN.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "com.h"
#include "entryid.h"
#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"
#include "objects.h"
#include "profiles.h"
#include "tables.h"

namespace zuvstore {

// Address book of the store (addrbook.cpp).
HRESULT CreateAddrBook(std::shared_ptr<Db> db, IAddrBook** out);

namespace {

thread_local std::string t_logon_error;

std::mutex g_init_mu;
int g_init_count = 0;           // guarded by g_init_mu
std::string g_store_path;       // guarded by g_init_mu

bool Initialized() {
  std::lock_guard<std::mutex> lock(g_init_mu);
  return g_init_count > 0;
}

HRESULT OpenProcessDb(std::shared_ptr<Db>* db, std::string* err) {
  std::string path = StorePath();
  if (path.empty()) {
    *err = "no message store is configured (SetStorePath or ZUV_STORE_PATH)";
    return MAPI_E_NOT_INITIALIZED;
  }
  return Db::Open(path, db, err);
}

std::string SectionString(const PropMap& props, ULONG tag) {
  auto it = props.find(static_cast<uint16_t>(PROP_ID(tag)));
  std::string value;
  if (it != props.end()) GetString(it->second, &value);
  return value;
}

class Session final : public ComObject<IMAPISession> {
 public:
  Session(std::shared_ptr<Db> db, std::string profile, StoreInfo mailbox)
      : db_(std::move(db)), profile_(std::move(profile)), mailbox_(std::move(mailbox)) {}

  HRESULT GetLastError(HRESULT hr, ULONG flags, LPMAPIERROR* out) override {
    return error_.Get(hr, flags, out);
  }

  HRESULT GetMsgStoresTable(ULONG, LPMAPITABLE* out) override {
    if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::vector<MemRow> rows;
    rows.push_back(StoreRow(mailbox_, "Mailbox - " + mailbox_.display_name, true));
    StoreInfo pub;
    std::string err;
    if (SUCCEEDED(db_->Read([&](sqlite3* db) { return LoadPublicStore(db, &pub); }, &err))) {
      rows.push_back(StoreRow(pub, "Public Folders", false));
    }
    return CreateMemTable(std::move(rows),
                          {PR_DISPLAY_NAME_A, PR_ENTRYID, PR_DEFAULT_STORE, PR_PROVIDER_DISPLAY_A,
                           PR_RECORD_KEY, PR_INSTANCE_KEY, PR_MDB_PROVIDER},
                          out);
  }

  HRESULT OpenMsgStore(ULONG_PTR, ULONG cb, LPENTRYID id, LPCIID, ULONG flags, LPMDB* out) override {
    if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    ParsedEntryId parsed;
    HRESULT hr = ParseEntryId(id, cb, &parsed);
    if (FAILED(hr) || parsed.kind != static_cast<int>(ObjKind::kStore)) {
      return error_.Set(MAPI_E_INVALID_ENTRYID, "OpenMsgStore: not a store entry ID");
    }
    std::shared_ptr<StoreContext> ctx;
    if (FAILED(hr = Context(parsed.store, &ctx))) return hr;
    return CreateStoreObject(std::move(ctx), flags, out);
  }

  HRESULT OpenEntry(ULONG cb, LPENTRYID id, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override {
    if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    ParsedEntryId parsed;
    HRESULT hr = ParseEntryId(id, cb, &parsed);
    if (FAILED(hr)) return error_.Set(hr, "OpenEntry: the entry ID is not one of this store");
    if (parsed.kind == kEntryKindMailUser || parsed.kind == kEntryKindOneOff) {
      ComPtr<IAddrBook> ab;
      if (FAILED(hr = CreateAddrBook(db_, ab.put()))) return hr;
      return ab->OpenEntry(cb, id, nullptr, flags, type, out);
    }
    std::shared_ptr<StoreContext> ctx;
    if (FAILED(hr = Context(parsed.store, &ctx))) return hr;
    hr = OpenEntryInStore(ctx, cb, id, flags, type, out);
    if (FAILED(hr)) error_.Set(hr, std::string("OpenEntry: ") + ResultText(hr));
    return hr;
  }

  HRESULT OpenAddressBook(ULONG_PTR, LPCIID, ULONG, LPADRBOOK* out) override {
    if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
    return CreateAddrBook(db_, out);
  }

  HRESULT GetStatusTable(ULONG, LPMAPITABLE* out) override {
    if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::vector<MemRow> rows(2);
    rows[0].values = {{PR_DISPLAY_NAME_A, MakeString8("ZUV Store")},
                      {PR_RESOURCE_TYPE, MakeLong(MAPI_STORE_PROVIDER)},
                      {PR_INSTANCE_KEY, MakeBinary(InstanceKey(1))}};
    rows[1].values = {{PR_DISPLAY_NAME_A, MakeString8(profile_)},
                      {PR_RESOURCE_TYPE, MakeLong(MAPI_SUBSYSTEM)},
                      {PR_INSTANCE_KEY, MakeBinary(InstanceKey(2))}};
    return CreateMemTable(std::move(rows), {PR_DISPLAY_NAME_A, PR_RESOURCE_TYPE, PR_INSTANCE_KEY}, out);
  }

  HRESULT QueryIdentity(ULONG* cb, LPENTRYID* out) override {
    if (cb == nullptr || out == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::string id = MakeMailUserEntryId(mailbox_.guid);
    void* buf = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(id.size()), &buf) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
    std::memcpy(buf, id.data(), id.size());
    *cb = static_cast<ULONG>(id.size());
    *out = static_cast<LPENTRYID>(buf);
    return S_OK;
  }

  HRESULT Logoff(ULONG_PTR, ULONG, ULONG) override { return S_OK; }

 private:
  bool Supports(REFIID riid) const override { return SameIid(riid, IID_IMAPISession); }

  static MemRow StoreRow(const StoreInfo& s, const std::string& name, bool is_default) {
    MemRow row;
    row.values = {{PR_DISPLAY_NAME_A, MakeString8(name)},
                  {PR_ENTRYID, MakeBinary(MakeStoreEntryId(s.guid))},
                  {PR_DEFAULT_STORE, MakeBool(is_default)},
                  {PR_PROVIDER_DISPLAY_A, MakeString8("ZUV Store")},
                  {PR_RECORD_KEY, MakeBinary(GuidBytes(s.guid))},
                  {PR_INSTANCE_KEY, MakeBinary(InstanceKey(s.id))},
                  {PR_MDB_PROVIDER, MakeBinary(std::string_view(
                                        reinterpret_cast<const char*>(kStoreProviderUid.ab), 16))}};
    return row;
  }

  // The context of a store, shared by every object this session opens in it.
  HRESULT Context(const GUID& guid, std::shared_ptr<StoreContext>* out) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string key = GuidBytes(guid);
    auto it = contexts_.find(key);
    if (it != contexts_.end()) {
      *out = it->second;
      return S_OK;
    }
    std::string err;
    HRESULT hr = OpenStoreContext(db_, guid, out, &err);
    if (FAILED(hr)) return error_.Set(hr == MAPI_E_NOT_FOUND ? hr : hr, "cannot open the store: " + err);
    contexts_[key] = *out;
    return S_OK;
  }

  const std::shared_ptr<Db> db_;
  const std::string profile_;
  const StoreInfo mailbox_;
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<StoreContext>> contexts_;  // guarded by mu_
  LastError error_;
};

}  // namespace

void SetStorePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_init_mu);
  g_store_path = path;
}

std::string LastLogonError() { return t_logon_error; }

std::string StorePath() {
  {
    std::lock_guard<std::mutex> lock(g_init_mu);
    if (!g_store_path.empty()) return g_store_path;
  }
  const char* env = std::getenv("ZUV_STORE_PATH");
  return env != nullptr ? env : "";
}

}  // namespace zuvstore

using namespace zuvstore;

extern "C" {

HRESULT MAPIInitialize(LPVOID init) {
  if (init != nullptr) {
    auto* record = static_cast<MAPIINIT_0*>(init);
    if (record->ulVersion != MAPI_INIT_VERSION) return MAPI_E_VERSION;
    const ULONG known = MAPI_MULTITHREAD_NOTIFICATIONS | MAPI_NT_SERVICE;
    if ((record->ulFlags & ~known) != 0) return MAPI_E_UNKNOWN_FLAGS;
  }
  std::lock_guard<std::mutex> lock(g_init_mu);
  ++g_init_count;
  return S_OK;
}

void MAPIUninitialize() {
  std::lock_guard<std::mutex> lock(g_init_mu);
  if (g_init_count > 0) --g_init_count;
}

HRESULT MAPIAdminProfiles(ULONG flags, LPPROFADMIN* out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (flags != 0) return MAPI_E_UNKNOWN_FLAGS;
  if (!Initialized()) return MAPI_E_NOT_INITIALIZED;
  std::shared_ptr<Db> db;
  std::string err;
  HRESULT hr = OpenProcessDb(&db, &err);
  if (FAILED(hr)) return hr;
  return CreateProfAdmin(std::move(db), out);
}

HRESULT MAPILogonEx(ULONG_PTR, LPSTR profile, LPSTR, ULONG flags, LPMAPISESSION* out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (!Initialized()) return MAPI_E_NOT_INITIALIZED;
  if ((flags & MAPI_LOGON_UI) != 0) return MAPI_E_NO_SUPPORT;  // a service has no UI
  std::shared_ptr<Db> db;
  std::string err;
  HRESULT hr = OpenProcessDb(&db, &err);
  if (FAILED(hr)) {
    t_logon_error = err;
    return hr;
  }

  StoreInfo mailbox;
  std::string profile_name = profile != nullptr ? profile : "";
  hr = db->Read(
      [&](sqlite3* conn) -> HRESULT {
        if (profile_name.empty()) {
          // MAPI_USE_DEFAULT without a name: the first profile.
          Stmt first(conn, "SELECT name FROM profiles ORDER BY created, name LIMIT 1");
          if (first.Step() != SQLITE_ROW) {
            err = "there is no profile to log on with";
            return MAPI_E_LOGON_FAILED;
          }
          profile_name = std::string(first.Text(0));
        }
        ProfileInfo info;
        HRESULT r = ReadProfile(conn, profile_name, &info);
        if (FAILED(r)) {
          err = "profile " + profile_name + " does not exist";
          return MAPI_E_LOGON_FAILED;
        }
        profile_name = info.name;
        const ServiceInfo* msems = FindService(info, "MSEMS");
        if (msems == nullptr) {
          err = "profile " + profile_name + " has no MSEMS service";
          return MAPI_E_LOGON_FAILED;
        }
        std::string server = SectionString(msems->props, PR_PROFILE_UNRESOLVED_SERVER);
        if (server.empty()) server = SectionString(msems->props, PR_PROFILE_HOME_SERVER);
        std::string name = SectionString(msems->props, PR_PROFILE_UNRESOLVED_NAME);
        if (name.empty()) name = SectionString(msems->props, PR_PROFILE_USER);
        if (server.empty() || name.empty()) {
          err = "the MSEMS service of profile " + profile_name + " names no server or mailbox";
          return MAPI_E_UNCONFIGURED;
        }
        if (!ServerExists(conn, server)) {
          err = "the store does not answer for server " + server;
          return MAPI_E_NETWORK_ERROR;
        }
        r = FindMailbox(conn, name, &mailbox);
        if (FAILED(r)) err = "mailbox " + name + " does not resolve";
        return FAILED(r) ? MAPI_E_LOGON_FAILED : S_OK;
      },
      &err);
  t_logon_error = err;
  if (FAILED(hr)) return hr;
  *out = new Session(std::move(db), profile_name, std::move(mailbox));
  return S_OK;
}

}  // extern "C"
