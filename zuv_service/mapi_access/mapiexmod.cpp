// mapiexmod.cpp: CMapiExMod's process-wide calls, logon, stores and
// secondary mailboxes. The folder openers are in mapiexmod_folders.cpp.
#include "mapi_access/mapiexmod.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/logging.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapifolder.h"

namespace {

constexpr const char* kFile = "zuv_service/mapiexmod";
constexpr const char* kPublicFoldersName = "Public Folders";
constexpr LONG kStoreTableBatch = 0x400;
constexpr ULONG kSecondaryStoreFlags = MDB_NO_DIALOG | MAPI_BEST_ACCESS | MDB_TEMPORARY | MDB_NO_MAIL;

// The secondary-mailbox diagnostics lists. Never destroyed: connection
// threads may still log on while the process exits.
struct Diagnostics {
  zuv::Mutex mu;
  std::vector<std::string> good ZUV_GUARDED_BY(mu);
  std::vector<std::string> bad ZUV_GUARDED_BY(mu);
};
Diagnostics& Diag() {
  static Diagnostics* d = new Diagnostics;
  return *d;
}

const char* TrueFalse(bool b) { return b ? "TRUE" : "FALSE"; }
const char* Str(const char* s) { return s != nullptr ? s : ""; }

}  // namespace

// ---- Process-wide ----

bool CMapiExMod::Init(bool bMultiThreadedNotifications, bool InitAsService) {
  const char* fn = "CMapiExMod::Init";
  NLog_TraceA("ZUV",
              "%s:%s:Calling Init on CMapiExMod instance with bMultiThreadedNotifications=%s and "
              "InitAsService=%s",
              kFile, fn, TrueFalse(bMultiThreadedNotifications), TrueFalse(InitAsService));
  ULONG flags = (bMultiThreadedNotifications ? MAPI_MULTITHREAD_NOTIFICATIONS : 0) |
                (InitAsService ? MAPI_NT_SERVICE : 0);
  if (flags == 0) {
    if (FAILED(MAPIInitialize(nullptr))) {
      NLog_ErrorA("ZUV", "%s:%s:MAPIInitialize in Init failed", kFile, fn);
      return false;
    }
    return true;
  }
  MAPIINIT_0 init{MAPI_INIT_VERSION, flags};
  HRESULT hr = MAPIInitialize(&init);
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s:MAPIInitialize with flags in Init failed:%ld", kFile, fn, static_cast<long>(hr));
    return false;
  }
  return true;
}

void CMapiExMod::Term() {
  NLog_TraceA("ZUV", "%s:%s:MAPIUnitialize", kFile, "CMapiExMod::Term");
  MAPIUninitialize();
}

bool CMapiExMod::GetMapiDllPath(const char* /*client*/, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return false;
  // The store library is linked into the executable itself.
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  std::string text = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("built-in zuvmapi");
  if (text.size() + 1 > size) {
    buffer[0] = '\0';
    return false;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

void CMapiExMod::LogDiagnostics() {
  Diagnostics& d = Diag();
  int good = 0;
  int bad = 0;
  {
    // Only the counts under the lock: the line is written outside it.
    zuv::MutexLock lock(d.mu);
    good = static_cast<int>(d.good.size());
    bad = static_cast<int>(d.bad.size());
  }
  NLog_WarnA("ZUV", "Good:%d, Bad:%d", good, bad);
}

void CMapiExMod::GetDiagnostics(std::vector<std::string>* good, std::vector<std::string>* bad) {
  Diagnostics& d = Diag();
  zuv::MutexLock lock(d.mu);
  if (good != nullptr) *good = d.good;
  if (bad != nullptr) *bad = d.bad;
}

void CMapiExMod::ClearDiagnosticsForTest() {
  Diagnostics& d = Diag();
  zuv::MutexLock lock(d.mu);
  d.good.clear();
  d.bad.clear();
}

// ---- Construction ----

CMapiExMod::CMapiExMod(const char* name) : name_(Str(name)) {
  NLog_TraceA("ZUV", "%s:%s:Creating a %s instance", kFile, "CMapiExMod::CMapiExMod", name_.c_str());
}

CMapiExMod::CMapiExMod(const char* name, CMapiExMod* parent, IMsgStore* mailboxStore)
    : name_(Str(name)), derived_(true) {
  NLog_TraceA("ZUV", "%s:%s:Creating a derived %s instance", kFile, "CMapiExMod::CMapiExMod", name_.c_str());
  if (parent != nullptr) {
    session_ = parent->session_;
    ex_server_ = parent->ex_server_;
    folder_open_flags_ = parent->folder_open_flags_;
  }
  if (mailboxStore != nullptr) {
    mailboxStore->AddRef();
    (void)FileStore(kMailboxStoreKey, MapiPtr<IMsgStore>(mailboxStore));
  }
}

CMapiExMod::~CMapiExMod() {
  NLog_TraceA("ZUV", "destroying a CMapiExMod instance");
  Logout();
}

void CMapiExMod::SetSessionForTest(IMAPISession* session) {
  if (session_ != nullptr && !derived_) session_->Release();
  session_ = session;
  derived_ = false;
}

// ---- Session ----

bool CMapiExMod::Login(const char* name, const char* profile, bool InitAsService) {
  NLog_InfoA("ZUV", "%s: Logging in with profile %s and InitAsService:%s", Str(name), Str(profile),
             TrueFalse(InitAsService));
  ULONG flags = MAPI_USE_DEFAULT | MAPI_EXTENDED | MAPI_NEW_SESSION;
  if (InitAsService) flags |= MAPI_EXPLICIT_PROFILE | MAPI_NT_SERVICE;
  IMAPISession* session = nullptr;
  HRESULT hr = MAPILogonEx(0, const_cast<char*>(Str(profile)), nullptr, flags, &session);
  if (FAILED(hr) || session == nullptr) {
    NLog_ErrorA("ZUV", "%s: Login with profile %s and InitAsService:%s failed:%x", Str(name), Str(profile),
                TrueFalse(InitAsService), static_cast<unsigned>(hr));
    // The store says why a logon failed (missing profile, server, mailbox).
    std::string why = zuvstore::LastLogonError();
    if (!why.empty()) NLog_ErrorA("ZUV", "%s:%s:MAPI Error:%s\n", kFile, "CMapiExMod::Login", why.c_str());
    LogMapiError(hr, kFile, "CMapiExMod::Login");
    return false;
  }
  if (session_ != nullptr && !derived_) session_->Release();
  session_ = session;
  derived_ = false;
  return true;
}

void CMapiExMod::Logout() {
  NLog_TraceA("ZUV", "%s:%s: Logging out ", kFile, "CMapiExMod::Logout");
  std::map<std::string, MapiPtr<IMsgStore>> stores;
  {
    zuv::MutexLock lock(mu_);
    stores.swap(stores_);
  }
  if (advise_connection_ != 0) {
    for (auto& [key, store] : stores) (void)store->Unadvise(advise_connection_);
    advise_connection_ = 0;
  }
  // Holders of a handed-out store keep their own reference.
  for (auto& [key, store] : stores) {
    ULONG flags = 0;
    (void)store->StoreLogoff(&flags);
  }
  stores.clear();
  if (!derived_ && session_ != nullptr) {
    session_->Release();
  }
  session_ = nullptr;
}

bool CMapiExMod::GetProfileName(std::string* name) {
  const char* fn = "CMapiExMod::GetProfileName";
  if (session_ == nullptr) {
    NLog_ErrorA("ZUV", "%s:%s: GetProfileName failed No MAPI Session created", kFile, fn);
    return false;
  }
  MapiPtr<IMAPITable> table;
  auto cols = MakePropTags(PR_DISPLAY_NAME_A, PR_RESOURCE_TYPE);
  if (SUCCEEDED(session_->GetStatusTable(0, table.put())) && SUCCEEDED(table->SetColumns(cols.get(), 0))) {
    for (;;) {
      MapiRows rows;
      if (FAILED(table->QueryRows(1, 0, rows.put())) || rows->cRows == 0) break;
      const SPropValue* v = rows->aRow[0].lpProps;
      if (v[1].ulPropTag == PR_RESOURCE_TYPE && v[1].Value.ul == MAPI_SUBSYSTEM &&
          v[0].ulPropTag == PR_DISPLAY_NAME_A && v[0].Value.lpszA != nullptr) {
        *name = v[0].Value.lpszA;
        NLog_TraceA("ZUV", "%s:%s: GetProfileName is returning %s", kFile, fn, name->c_str());
        return true;
      }
    }
  }
  NLog_ErrorA("ZUV", "%s:%s: GetProfileName failed", kFile, fn);
  return false;
}

bool CMapiExMod::GetProfileEmail(std::string* email) {
  const char* fn = "CMapiExMod::GetProfileEmail";
  if (session_ == nullptr) {
    NLog_ErrorA("ZUV", "%s:%s: GetProfileEmail failed No MAPI Session created", kFile, fn);
    return false;
  }
  NLog_TraceA("ZUV", "%s:%s: GetProfileEmail", kFile, fn);
  ULONG cb = 0;
  MapiBuffer<ENTRYID> id;
  MapiPtr<IUnknown> entry;
  MapiPtr<IMAPIProp> user;
  ULONG type = 0;
  auto cols = MakePropTags(PR_EMAIL_ADDRESS_A);
  ULONG count = 0;
  MapiBuffer<SPropValue> value;
  if (SUCCEEDED(session_->QueryIdentity(&cb, id.put())) &&
      SUCCEEDED(session_->OpenEntry(cb, id.get(), nullptr, 0, &type, entry.put())) && entry &&
      SUCCEEDED(entry->QueryInterface(IID_IMAPIProp, user.put_void())) &&
      SUCCEEDED(user->GetProps(cols.get(), 0, &count, value.put())) && count == 1 &&
      value->ulPropTag == PR_EMAIL_ADDRESS_A && value->Value.lpszA != nullptr) {
    *email = value->Value.lpszA;
    NLog_TraceA("ZUV", "%s:%s: GetProfileEmail is returning %s", kFile, fn, email->c_str());
    return true;
  }
  NLog_ErrorA("ZUV", "%s:%s: GetProfileEmail failed", kFile, fn);
  return false;
}

bool CMapiExMod::AdminProfile(const char* profile, bool create) {
  const char* fn = create ? "CMapiExMod::CreateProfile" : "CMapiExMod::DeleteProfile";
  NLog_InfoA("ZUV", create ? "%s:%s: Creating a profile %s" : "%s:%s: Deleting a profile %s", kFile, fn, Str(profile));
  MapiPtr<IProfAdmin> admin;
  HRESULT hr = MAPIAdminProfiles(0, admin.put());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot get profiles object %s", kFile, fn, Str(profile));
    LogMapiError(hr, kFile, fn);
    return false;
  }
  char* name = const_cast<char*>(Str(profile));
  hr = create ? admin->CreateProfile(name, nullptr, 0, 0) : admin->DeleteProfile(name, 0);
  if (FAILED(hr)) {
    if (create) NLog_ErrorA("ZUV", "%s:%s: Cannot create profile %s", kFile, fn, Str(profile));
    LogMapiError(hr, kFile, fn);
    return false;
  }
  return true;
}

void CMapiExMod::LogMapiError(HRESULT code, const char* where, const char* function) {
  MapiBuffer<MAPIERROR> error;
  if (session_ != nullptr && SUCCEEDED(session_->GetLastError(code, 0, error.put())) && error) {
    const char* text = Str(error->lpszError);
    if (function != nullptr) {
      NLog_ErrorA("ZUV", "%s:%s:MAPI Error:%s\n", Str(where), function, text);
    } else {
      NLog_ErrorA("ZUV", "%s:MAPI Error:%s\n", Str(where), text);
    }
    return;
  }
  if (function != nullptr) {
    NLog_ErrorA("ZUV", "%s:%s:Unknown MAPI Error\n", Str(where), function);
  } else {
    NLog_ErrorA("ZUV", "%s:Unknown MAPI Error\n", Str(where));
  }
}

// ---- Stores ----

MapiPtr<IMsgStore> CMapiExMod::FileStore(const std::string& key, MapiPtr<IMsgStore> store) {
  if (!store) return FindStore(key);
  IMsgStore* filed = nullptr;
  {
    zuv::MutexLock lock(mu_);
    MapiPtr<IMsgStore>& slot = stores_[key];
    if (!slot) slot = std::move(store);
    filed = slot.get();
    filed->AddRef();
  }
  store.reset();  // the one opened second, if any, released outside the lock
  return MapiPtr<IMsgStore>(filed);
}

MapiPtr<IMsgStore> CMapiExMod::FindStore(const std::string& key) {
  zuv::MutexLock lock(mu_);
  auto it = stores_.find(key);
  if (it == stores_.end() || !it->second) return {};
  it->second->AddRef();
  return MapiPtr<IMsgStore>(it->second.get());
}

HRESULT CMapiExMod::ScanStoreTable(const std::string& name, const char* storeKey, bool allowPublicFolders,
                                   ULONG flags) {
  const char* fn = "CMapiExMod::OpenStore";
  const std::string key = storeKey != nullptr ? storeKey : "";
  NLog_TraceA("ZUV", "%s: Iterating store table for store %s", name.c_str(),
              storeKey != nullptr ? storeKey : "DefaultStores");
  HRESULT result = 1;
  MapiPtr<IMAPITable> table;
  auto cols = MakePropTags(PR_DISPLAY_NAME_A, PR_ENTRYID, PR_DEFAULT_STORE);
  if (FAILED(session_->GetMsgStoresTable(0, table.put())) || FAILED(table->SetColumns(cols.get(), 0))) {
    return result;
  }
  // Keys filed by this scan: a later row of the same kind is not opened (the
  // sticky match would otherwise open the public store for the mailbox key
  // when public folders are not allowed).
  std::vector<std::string> filed;
  bool matched = false;  // sticky: once a row matched, every later row of the batch is opened
  while (!matched) {
    MapiRows rows;
    if (FAILED(table->QueryRows(kStoreTableBatch, 0, rows.put()))) break;
    if (rows->cRows == 0) {
      NLog_ErrorA("ZUV", "%s: Cannot open store %s. No stores reported.", name.c_str(),
                  storeKey != nullptr ? storeKey : "DefaultStores");
      return 0;
    }
    NLog_TraceA("ZUV", "%s:Enumerating the message stores Format (Name;StoreID;IsDefaultStore)", name.c_str());
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue* v = rows->aRow[i].lpProps;
      const char* display = v[0].ulPropTag == PR_DISPLAY_NAME_A ? Str(v[0].Value.lpszA) : "";
      std::string id = v[1].ulPropTag == PR_ENTRYID ? zuv::EntryIDToString(v[1].Value.bin.lpb, v[1].Value.bin.cb) : "";
      bool is_default = v[2].ulPropTag == PR_DEFAULT_STORE && v[2].Value.b != 0;
      NLog_TraceA("ZUV", "%s:STORE %s;%s;%s", name.c_str(), display, zuv::ShortenID(id).c_str(),
                  is_default ? "Yes" : "No");
    }
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue* v = rows->aRow[i].lpProps;
      const char* display = v[0].ulPropTag == PR_DISPLAY_NAME_A ? Str(v[0].Value.lpszA) : "";
      if (v[1].ulPropTag != PR_ENTRYID) continue;
      std::string id = zuv::ShortenID(zuv::EntryIDToString(v[1].Value.bin.lpb, v[1].Value.bin.cb));
      const bool is_public = allowPublicFolders && std::strcmp(display, kPublicFoldersName) == 0;
      if (is_public) {
        NLog_TraceA("ZUV", "%s: PF Store Entry ID is %s", name.c_str(), id.c_str());
        if (storeKey == nullptr || key == kPublicStoreKey) matched = true;
      } else {
        NLog_TraceA("ZUV", "%s:Default Store Entry ID is %s", name.c_str(), id.c_str());
        if (storeKey == nullptr || key == kMailboxStoreKey) matched = true;
      }
      if (!matched) continue;
      const std::string file_key = is_public ? kPublicStoreKey : kMailboxStoreKey;
      if (std::find(filed.begin(), filed.end(), file_key) != filed.end()) {
        NLog_TraceA("ZUV", "%s:Store %s already opened", name.c_str(), file_key.c_str());
        continue;
      }
      NLog_InfoA("ZUV", "%s:Opening store %s.", name.c_str(), id.c_str());
      MapiPtr<IMsgStore> store;
      result = session_->OpenMsgStore(0, v[1].Value.bin.cb, reinterpret_cast<LPENTRYID>(v[1].Value.bin.lpb), nullptr,
                                      flags, store.put());
      if (SUCCEEDED(result) && store) {
        NLog_InfoA("ZUV", "%s:successfully opened store %s", name.c_str(), id.c_str());
        // A store filed meanwhile under the key stays; this one is released.
        (void)FileStore(file_key, std::move(store));
        filed.push_back(file_key);
      } else {
        NLog_ErrorA("ZUV", "%s:Cannot open store %s", name.c_str(), id.c_str());
        LogMapiError(result, kFile, fn);
      }
    }
  }
  return result;
}

HRESULT CMapiExMod::OpenStore(const char* name, const char* storeKey, IMsgStore** store, bool allowPublicFolders,
                              ULONG flags, bool fileUnderKey, LPENTRYID entryID, ULONG entryIDSize) {
  const char* fn = "CMapiExMod::OpenStore";
  if (store != nullptr) *store = nullptr;
  const std::string who = Str(name);
  const std::string label = storeKey != nullptr ? storeKey : "DefaultStores";
  std::string shown =
      zuv::ShortenID(entryID != nullptr && entryIDSize > 0 ? zuv::EntryIDToString(entryID, entryIDSize) : label);
  NLog_InfoA("ZUV", "%s:Opening store %s", who.c_str(), shown.c_str());
  if (session_ == nullptr) {
    NLog_ErrorA("ZUV", "%s: Failed to open store %s No MAPI Session created", who.c_str(), shown.c_str());
    return 1;
  }
  // Any other label is an entry-ID string; it replaces entryID.
  std::vector<BYTE> binary;
  if (label != kMailboxStoreKey && label != kPublicStoreKey) {
    if (!zuv::HexToBin(label, &binary)) binary.clear();
  }
  if (storeKey != nullptr) {
    if (MapiPtr<IMsgStore> filed = FindStore(storeKey)) {
      NLog_InfoA("ZUV", "%s:Store %s already opened", who.c_str(), shown.c_str());
      if (store != nullptr) *store = filed.release();
      return 0;
    }
  }
  if (binary.empty()) return ScanStoreTable(who, storeKey, allowPublicFolders, flags);

  NLog_InfoA("ZUV", "%s: Opening store %s", who.c_str(), shown.c_str());
  MapiPtr<IMsgStore> opened;
  HRESULT hr = session_->OpenMsgStore(0, static_cast<ULONG>(binary.size()), reinterpret_cast<LPENTRYID>(binary.data()),
                                      nullptr, flags, opened.put());
  if (FAILED(hr) || !opened) {
    NLog_ErrorA("ZUV", "%s: Error opening store %s", who.c_str(), shown.c_str());
    LogMapiError(hr, kFile, fn);
    return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
  }
  NLog_InfoA("ZUV", "%s: successfully opened store %s", who.c_str(), shown.c_str());
  // Threads opening the same key at once all get the store filed first.
  if (fileUnderKey && storeKey != nullptr) opened = FileStore(storeKey, std::move(opened));
  if (store != nullptr) *store = opened.release();
  return hr;
}

MapiPtr<IMsgStore> CMapiExMod::GetStore(const char* storeKey) {
  if (storeKey == nullptr) return {};
  if (MapiPtr<IMsgStore> store = FindStore(storeKey)) return store;
  MapiPtr<IMsgStore> opened;
  (void)OpenStore(name_.c_str(), storeKey, opened.put(), true, MDB_NO_DIALOG | MAPI_BEST_ACCESS, true);
  if (opened) return opened;
  return FindStore(storeKey);  // the scan files stores without handing one back
}

ULONG CMapiExMod::GetStoreSupportMask() {
  MapiPtr<IMsgStore> store = GetMailboxStore();
  if (!store) return 0;
  auto tags = MakePropTags(PR_STORE_SUPPORT_MASK);
  ULONG count = 0;
  MapiBuffer<SPropValue> value;
  if (FAILED(store->GetProps(tags.get(), 0, &count, value.put())) || count != 1 ||
      value->ulPropTag != PR_STORE_SUPPORT_MASK) {
    return 0;
  }
  return value->Value.ul;
}

std::string CMapiExMod::StoreDNFromServerDN(const std::string& serverDN) {
  const std::string kSuffix = "/cn=Microsoft Private MDB";
  std::string dn = "/cn=Configuration/cn=Servers";
  size_t slash = serverDN.rfind('/');
  if (slash != std::string::npos) return dn + serverDN.substr(slash) + kSuffix;
  std::string token = serverDN.substr(0, serverDN.find(','));
  if (!token.empty()) return dn + "/" + token + kSuffix;
  return "/" + serverDN + kSuffix;
}

HRESULT CMapiExMod::OpenSecondaryMailbox(const char* name, const char* serverDN, const char* mailboxDN, ULONG flags,
                                         IMsgStore** store, std::string* storeEntryID) {
  if (store != nullptr) *store = nullptr;
  if (mailboxDN == nullptr || mailboxDN[0] == '\0' || GetStoreSupportMask() == 0) return 0;
  std::string store_dn = StoreDNFromServerDN(Str(serverDN));
  HRESULT hr = HrMailboxLogon(name, store_dn.c_str(), mailboxDN, store, false, flags, storeEntryID);
  if (hr != 0) {
    NLog_ErrorA("ZUV", "%s:Cannot open secondary mailbox with ServerDN = \"%s\", Mailbox = \"%s\"\n", Str(name),
                store_dn.c_str(), mailboxDN);
    store_dn = "/cn=Configuration/cn=Servers/cn=" + ex_server_ + "/cn=Microsoft Private MDB";
    NLog_InfoA("ZUV", "%s:Opening secondary mailbox with service profile ServerDN = \"%s\", Mailbox = \"%s\"\n",
               Str(name), store_dn.c_str(), mailboxDN);
    hr = HrMailboxLogon(name, store_dn.c_str(), mailboxDN, store, false, flags, storeEntryID);
  }
  std::string attempt = std::string(Str(serverDN)) + "-" + mailboxDN;
  Diagnostics& d = Diag();
  zuv::MutexLock lock(d.mu);
  (hr == 0 ? d.good : d.bad).push_back(std::move(attempt));
  return hr;
}

HRESULT CMapiExMod::HrMailboxLogon(const char* name, const char* storeDN, const char* mailboxDN, IMsgStore** store,
                                   bool fileUnderKey, ULONG flags, std::string* storeEntryID) {
  const char* fn = "CMapiExMod::HrMailboxLogon";
  const char* who = Str(name);
  const char* sdn = Str(storeDN);
  const char* mdn = Str(mailboxDN);
  NLog_InfoA("ZUV", "%s:Logging on to secondary mailbox with MailboxDN %s, modified StoreDN:%s", who, mdn, sdn);
  if (sdn[0] == '\0' || mdn[0] == '\0') flags |= OPENSTORE_PUBLIC;
  MapiPtr<IExchangeManageStore> manage;
  MapiPtr<IMsgStore> mailbox = GetMailboxStore();
  HRESULT hr = mailbox ? mailbox->QueryInterface(IID_IExchangeManageStore, manage.put_void()) : MAPI_E_NOT_FOUND;
  if (FAILED(hr) || !manage) {
    NLog_ErrorA("ZUV", "%s:Cannot queryInterface the manage store to open the secondary mailbox (%s,%s)", who, mdn,
                sdn);
    return FAILED(hr) ? hr : E_NOINTERFACE;
  }
  ULONG cb = 0;
  MapiBuffer<ENTRYID> id;
  hr = manage->CreateStoreEntryID(const_cast<char*>(sdn), const_cast<char*>(mdn), flags, &cb, id.put());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "Error opening mailbox:Error %d for credentials:(%s, %s))", static_cast<int>(hr), sdn, mdn);
    NLog_ErrorA("ZUV", "%s: Error creating Store EntryID %s for secondary mailbox (%s,%s)", who, "", mdn, sdn);
    LogMapiError(hr, kFile, fn);
    return hr;
  }
  std::string hex = zuv::EntryIDToString(id.get(), cb);
  if (storeEntryID != nullptr) *storeEntryID = hex;
  NLog_InfoA("ZUV", "%s: Created Store EntryID %s for secondary mailbox (%s,%s)", who, zuv::ShortenID(hex).c_str(),
             mdn, sdn);
  hr = OpenStore(name, hex.c_str(), store, false, kSecondaryStoreFlags, fileUnderKey, id.get(), cb);
  if (hr == 0) {
    NLog_InfoA("ZUV", "%s:Success opening secondary mailbox for credentials:(%s, %s))", who, mdn, sdn);
  } else {
    NLog_ErrorA("ZUV", "Error opening secondary mailbox for credentials (%s, %s):%d)", mdn, sdn, static_cast<int>(hr));
  }
  return hr;
}
