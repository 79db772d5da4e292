// Tests of CMapiExMod against the real store on a private database: logon,
// the store-table scan, secondary mailboxes, stores shared between threads,
// folder openers, hierarchies.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <latch>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/profile_admin.h"

namespace {

namespace fs = std::filesystem;

// Allocates one row of the store table as MAPI hands it out.
SRow MakeStoreRow(const std::string& name, const std::string& id, bool is_default) {
  SRow row{};
  row.cValues = 3;
  MAPIAllocateBuffer(3 * sizeof(SPropValue), reinterpret_cast<void**>(&row.lpProps));
  void* text = nullptr;
  MAPIAllocateMore(static_cast<ULONG>(name.size() + 1), row.lpProps, &text);
  std::memcpy(text, name.c_str(), name.size() + 1);
  void* bytes = nullptr;
  MAPIAllocateMore(static_cast<ULONG>(id.size()), row.lpProps, &bytes);
  std::memcpy(bytes, id.data(), id.size());
  row.lpProps[0].ulPropTag = PR_DISPLAY_NAME_A;
  row.lpProps[0].Value.lpszA = static_cast<char*>(text);
  row.lpProps[1].ulPropTag = PR_ENTRYID;
  row.lpProps[1].Value.bin = {static_cast<ULONG>(id.size()), static_cast<BYTE*>(bytes)};
  row.lpProps[2].ulPropTag = PR_DEFAULT_STORE;
  row.lpProps[2].Value.b = is_default ? 1 : 0;
  return row;
}

// A store table over fixed rows (the columns are those OpenStore asks for).
class FixedStoreTable final : public IMAPITable {
 public:
  struct Row {
    std::string name, id;
    bool is_default;
  };
  explicit FixedStoreTable(std::vector<Row> rows) : rows_(std::move(rows)) {}
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetStatus(ULONG*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetColumns(LPSPropTagArray, ULONG) override { return S_OK; }
  HRESULT QueryColumns(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetRowCount(ULONG, ULONG* count) override {
    *count = static_cast<ULONG>(rows_.size());
    return S_OK;
  }
  HRESULT SeekRow(BOOKMARK, LONG, LONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryPosition(ULONG*, ULONG*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Restrict(LPSRestriction, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SortTable(LPSSortOrderSet, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryRows(LONG count, ULONG, LPSRowSet* out) override {
    size_t n = std::min(rows_.size() - pos_, static_cast<size_t>(count));
    MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(n == 0 ? 1 : n)), reinterpret_cast<void**>(out));
    (*out)->cRows = static_cast<ULONG>(n);
    for (size_t i = 0; i < n; ++i, ++pos_) {
      (*out)->aRow[i] = MakeStoreRow(rows_[pos_].name, rows_[pos_].id, rows_[pos_].is_default);
    }
    return S_OK;
  }

 private:
  ~FixedStoreTable() override = default;
  std::vector<Row> rows_;
  size_t pos_ = 0;
  ULONG refs_ = 1;
};

// Passes every call to the real session; counts OpenMsgStore calls, can
// make each take open_delay longer (set before other threads use it), and
// can list the public folder store before the mailbox in its store table.
class CountingSession final : public IMAPISession {
 public:
  CountingSession(IMAPISession* real, bool public_first) : real_(real), public_first_(public_first) {}
  std::atomic<int> opens{0};
  std::chrono::milliseconds open_delay{0};

  HRESULT QueryInterface(REFIID riid, void** out) override { return real_->QueryInterface(riid, out); }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetLastError(HRESULT hr, ULONG flags, LPMAPIERROR* out) override { return real_->GetLastError(hr, flags, out); }
  HRESULT GetMsgStoresTable(ULONG flags, LPMAPITABLE* out) override {
    MapiPtr<IMAPITable> table;
    HRESULT hr = real_->GetMsgStoresTable(flags, table.put());
    if (FAILED(hr)) return hr;
    auto cols = MakePropTags(PR_DISPLAY_NAME_A, PR_ENTRYID, PR_DEFAULT_STORE);
    table->SetColumns(cols.get(), 0);
    MapiRows rows;
    table->QueryRows(100, 0, rows.put());
    std::vector<FixedStoreTable::Row> list;
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue* v = rows->aRow[i].lpProps;
      list.push_back({v[0].Value.lpszA, std::string(reinterpret_cast<char*>(v[1].Value.bin.lpb), v[1].Value.bin.cb),
                      v[2].Value.b != 0});
    }
    if (public_first_) std::reverse(list.begin(), list.end());
    *out = new FixedStoreTable(std::move(list));
    return S_OK;
  }
  HRESULT OpenMsgStore(ULONG_PTR ui, ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, LPMDB* out) override {
    ++opens;
    if (open_delay.count() > 0) std::this_thread::sleep_for(open_delay);
    return real_->OpenMsgStore(ui, cb, id, iid, flags, out);
  }
  HRESULT OpenEntry(ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* type, LPUNKNOWN* out) override {
    return real_->OpenEntry(cb, id, iid, flags, type, out);
  }
  HRESULT OpenAddressBook(ULONG_PTR ui, LPCIID iid, ULONG flags, LPADRBOOK* out) override {
    return real_->OpenAddressBook(ui, iid, flags, out);
  }
  HRESULT GetStatusTable(ULONG flags, LPMAPITABLE* out) override { return real_->GetStatusTable(flags, out); }
  HRESULT QueryIdentity(ULONG* cb, LPENTRYID* out) override { return real_->QueryIdentity(cb, out); }
  HRESULT Logoff(ULONG_PTR ui, ULONG flags, ULONG reserved) override { return real_->Logoff(ui, flags, reserved); }

 private:
  ~CountingSession() override = default;
  MapiPtr<IMAPISession> real_;
  bool public_first_;
  std::atomic<ULONG> refs_{1};
};

std::string DisplayName(IMAPIProp* obj) {
  auto tags = MakePropTags(PR_DISPLAY_NAME_A);
  ULONG n = 0;
  MapiBuffer<SPropValue> v;
  if (obj == nullptr || FAILED(obj->GetProps(tags.get(), 0, &n, v.put())) || v->ulPropTag != PR_DISPLAY_NAME_A) {
    return "";
  }
  return v->Value.lpszA;
}

// The display names of the folders right below the store's root; empty
// when the root cannot be opened or read.
std::vector<std::string> RootFolderNames(IMsgStore* store) {
  MapiPtr<IUnknown> unk;
  MapiPtr<IMAPIFolder> root;
  MapiPtr<IMAPITable> table;
  MapiRows rows;
  ULONG type = 0;
  auto cols = MakePropTags(PR_DISPLAY_NAME_A);
  if (store == nullptr || FAILED(store->OpenEntry(0, nullptr, nullptr, 0, &type, unk.put())) ||
      FAILED(unk->QueryInterface(IID_IMAPIFolder, root.put_void())) ||
      FAILED(root->GetHierarchyTable(0, table.put())) ||
      FAILED(HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put()))) {
    return {};
  }
  std::vector<std::string> names;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue& v = rows->aRow[i].lpProps[0];
    names.push_back(v.ulPropTag == PR_DISPLAY_NAME_A ? v.Value.lpszA : "");
  }
  return names;
}

constexpr const char* kAnnMailboxDN = "/o=Example/ou=Users/cn=asmith";
constexpr const char* kAnnServerDN = "cn=EXCH1,cn=Servers,cn=Org";
const std::vector<std::string> kMailboxRoot{"Top of Information Store", "ExchangeSyncData"};

class MapiExModTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv-exmod-XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::string err;
    ASSERT_EQ(zuvstore::StoreAdmin::Open((dir_ / "store.db").string(), &admin_, &err), S_OK) << err;
    ASSERT_EQ(admin_->AddServer("EXCH1", false, &err), S_OK) << err;
    AddMailbox("svc-zuv", "ZUV Service", "EXCH1");
    AddMailbox("asmith", "Ann Smith", "EXCH1");
    zuvstore::SetStorePath((dir_ / "store.db").string());
    ASSERT_TRUE(CMapiExMod::Init(true, true));
    ASSERT_EQ(zuv::CreateProfile("tovanixZUV"), S_OK);
    ASSERT_EQ(zuv::AddMailboxToProfile(0, "EXCH1", "svc-zuv", "tovanixZUV"), S_OK);
    module_ = std::make_unique<CMapiExMod>("conn:svc-zuv");
    module_->SetExServer("EXCH1");
    ASSERT_TRUE(module_->Login(module_->Name().c_str(), "tovanixZUV", true));
    CMapiExMod::ClearDiagnosticsForTest();
  }
  void TearDown() override {
    module_.reset();
    CMapiExMod::Term();
    admin_.reset();
    fs::remove_all(dir_);
  }

  void AddMailbox(const std::string& alias, const std::string& name, const std::string& server) {
    zuvstore::MailboxSpec spec;
    spec.alias = alias;
    spec.display_name = name;
    spec.smtp = {alias + "@example.org"};
    spec.legacy_dn = "/o=Example/ou=Users/cn=" + alias;
    spec.server = server;
    std::string err, id;
    ASSERT_EQ(admin_->AddMailbox(spec, &id, &err), S_OK) << err;
  }

  std::string CreateFolderPath(const std::string& alias, bool is_public, const std::string& path) {
    std::string err, id;
    EXPECT_EQ(admin_->CreateFolderPath(alias, is_public, path, "IPF.Note", &id, &err), S_OK) << err;
    return id;
  }

  // The entry-ID string of Ann Smith's store, by a secondary logon that
  // files nothing.
  std::string AnnStoreKey() {
    IMsgStore* store = nullptr;
    std::string id;
    EXPECT_EQ(module_->OpenSecondaryMailbox("conn", kAnnServerDN, kAnnMailboxDN, 0, &store, &id), S_OK);
    MapiPtr<IMsgStore> held(store);
    return id;
  }

  // Replaces the module's session with a counting wrapper of a new logon.
  CountingSession* WrapSession(bool public_first) {
    IMAPISession* real = nullptr;
    EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("tovanixZUV"), nullptr, MAPI_EXTENDED, &real), S_OK);
    auto* wrapper = new CountingSession(real, public_first);
    module_ = std::make_unique<CMapiExMod>("conn:wrapped");
    module_->SetSessionForTest(wrapper);
    return wrapper;
  }

  fs::path dir_;
  std::unique_ptr<zuvstore::StoreAdmin> admin_;
  std::unique_ptr<CMapiExMod> module_;
};

TEST_F(MapiExModTest, LoginNamesTheProfileAndMailboxAndFailsWithoutOne) {
  std::string name, email;
  ASSERT_TRUE(module_->GetProfileName(&name));
  EXPECT_EQ(name, "tovanixZUV");
  ASSERT_TRUE(module_->GetProfileEmail(&email));
  EXPECT_EQ(email, "svc-zuv@example.org");
  char path[4096];
  EXPECT_TRUE(CMapiExMod::GetMapiDllPath(nullptr, path, sizeof(path)));
  EXPECT_NE(path[0], '\0');

  EXPECT_TRUE(module_->CreateProfile("extra"));
  EXPECT_FALSE(module_->CreateProfile("EXTRA"));
  EXPECT_TRUE(module_->DeleteProfile("extra"));
  EXPECT_FALSE(module_->DeleteProfile("extra"));

  CMapiExMod lost("conn:lost");
  EXPECT_FALSE(lost.Login("conn:lost", "nosuchprofile", true));
  EXPECT_EQ(lost.GetSession(), nullptr);
  EXPECT_FALSE(lost.GetProfileName(&name));
  IMsgStore* store = nullptr;
  EXPECT_EQ(lost.OpenStore("conn:lost", nullptr, &store, true, 0x11, true), 1);
  EXPECT_FALSE(lost.GetMailboxStore());
  EXPECT_FALSE(lost.OpenInbox());
  lost.Logout();
  lost.Logout();
}

TEST_F(MapiExModTest, DefaultStoresScanFilesMailboxAndPublicStore) {
  CountingSession* session = WrapSession(false);
  IMsgStore* store = nullptr;
  EXPECT_EQ(module_->OpenStore("conn", nullptr, &store, true, 0x11, true), S_OK);
  EXPECT_EQ(store, nullptr) << "the scan files stores instead of handing one back";
  EXPECT_EQ(session->opens.load(), 2);
  EXPECT_EQ(DisplayName(module_->GetMailboxStore().get()), "ZUV Service");
  EXPECT_EQ(DisplayName(module_->GetPublicStore().get()), "Public Folders");
  EXPECT_EQ(session->opens.load(), 2) << "both were filed by the scan";
  EXPECT_NE(module_->GetStoreSupportMask() & STORE_NOTIFY_OK, 0u);
}

TEST_F(MapiExModTest, ScanWithoutPublicFoldersKeepsTheMailboxUnderItsKey) {
  CountingSession* session = WrapSession(false);
  EXPECT_EQ(module_->OpenStore("conn", nullptr, nullptr, false, 0x11, true), S_OK);
  EXPECT_EQ(session->opens.load(), 1);
  EXPECT_EQ(DisplayName(module_->GetMailboxStore().get()), "ZUV Service");
}

TEST_F(MapiExModTest, StickyMatchOpensEveryLaterRowOfTheBatch) {
  // Mailbox listed first: its match sticks, so the public row after it is
  // opened and filed too.
  CountingSession* session = WrapSession(false);
  EXPECT_EQ(module_->OpenStore("conn", kMailboxStoreKey, nullptr, true, 0x11, true), S_OK);
  EXPECT_EQ(session->opens.load(), 2);
  EXPECT_EQ(DisplayName(module_->GetPublicStore().get()), "Public Folders");
  EXPECT_EQ(session->opens.load(), 2);

  // Public store first: the public row before the mailbox does not match.
  session = WrapSession(true);
  EXPECT_EQ(module_->OpenStore("conn", kMailboxStoreKey, nullptr, true, 0x11, true), S_OK);
  EXPECT_EQ(session->opens.load(), 1);
  EXPECT_EQ(DisplayName(module_->GetMailboxStore().get()), "ZUV Service");

  // Public store first and asked for: both, each under its own key.
  session = WrapSession(true);
  EXPECT_EQ(module_->OpenStore("conn", kPublicStoreKey, nullptr, true, 0x11, true), S_OK);
  EXPECT_EQ(session->opens.load(), 2);
  EXPECT_EQ(DisplayName(module_->GetPublicStore().get()), "Public Folders");
  EXPECT_EQ(DisplayName(module_->GetMailboxStore().get()), "ZUV Service");
  EXPECT_EQ(session->opens.load(), 2);
}

TEST_F(MapiExModTest, StoreByEntryIdIsFiledAndFoundAgainWithoutTheSession) {
  std::vector<zuvstore::MailboxInfo> boxes;
  std::string err;
  ASSERT_EQ(admin_->ListMailboxes(&boxes, &err), S_OK);
  auto it = std::find_if(boxes.begin(), boxes.end(), [](auto& b) { return b.alias == "asmith"; });
  ASSERT_NE(it, boxes.end());
  CountingSession* session = WrapSession(false);
  IMsgStore* store = nullptr;
  ASSERT_EQ(module_->OpenStore("conn", it->store_entry_id.c_str(), &store, false, 0x11, true), S_OK);
  MapiPtr<IMsgStore> held(store);
  EXPECT_EQ(DisplayName(store), "Ann Smith");
  EXPECT_EQ(module_->GetStore(it->store_entry_id.c_str()).get(), store);
  EXPECT_EQ(session->opens.load(), 1);

  // An entry-ID key that is not hexadecimal falls back to the scan, which
  // matches nothing for a key that is not special.
  EXPECT_FALSE(module_->GetStore("NOT-HEX"));
  EXPECT_EQ(session->opens.load(), 1);
}

TEST_F(MapiExModTest, SecondaryMailboxThroughBothServerDnFormsAndTheFallback) {
  EXPECT_EQ(CMapiExMod::StoreDNFromServerDN("cn=EXCH1,cn=Servers,cn=Org"),
            "/cn=Configuration/cn=Servers/cn=EXCH1/cn=Microsoft Private MDB");
  EXPECT_EQ(CMapiExMod::StoreDNFromServerDN("/o=Org/ou=Site/cn=Configuration/cn=Servers/cn=EXCH1"),
            "/cn=Configuration/cn=Servers/cn=EXCH1/cn=Microsoft Private MDB");
  EXPECT_EQ(CMapiExMod::StoreDNFromServerDN(",cn=x"), "/,cn=x/cn=Microsoft Private MDB");

  const char* mailbox = "/o=Example/ou=Users/cn=asmith";
  for (const char* server : {"cn=EXCH1,cn=Servers,cn=Org", "/o=Org/ou=Site/cn=Configuration/cn=Servers/cn=EXCH1",
                             "cn=EXCH9,cn=Servers,cn=Org"}) {
    IMsgStore* store = nullptr;
    std::string id;
    ASSERT_EQ(module_->OpenSecondaryMailbox("conn", server, mailbox, 0, &store, &id), S_OK) << server;
    MapiPtr<IMsgStore> held(store);
    EXPECT_EQ(DisplayName(store), "Ann Smith");
    EXPECT_EQ(id.size(), 76u);
  }
  // The configured server does not know the mailbox either.
  IMsgStore* store = nullptr;
  std::string id;
  EXPECT_NE(module_->OpenSecondaryMailbox("conn", "cn=EXCH9", "/o=Example/ou=Users/cn=nobody", 0, &store, &id), S_OK);
  EXPECT_EQ(store, nullptr);
  // No mailbox DN: no logon and no record.
  EXPECT_EQ(module_->OpenSecondaryMailbox("conn", "cn=EXCH1", "", 0, &store, &id), S_OK);
  EXPECT_EQ(store, nullptr);

  std::vector<std::string> good, bad;
  CMapiExMod::GetDiagnostics(&good, &bad);
  EXPECT_EQ(good, (std::vector<std::string>{"cn=EXCH1,cn=Servers,cn=Org-/o=Example/ou=Users/cn=asmith",
                                            "/o=Org/ou=Site/cn=Configuration/cn=Servers/cn=EXCH1-/o=Example/ou=Users/cn=asmith",
                                            "cn=EXCH9,cn=Servers,cn=Org-/o=Example/ou=Users/cn=asmith"}));
  EXPECT_EQ(bad, (std::vector<std::string>{"cn=EXCH9-/o=Example/ou=Users/cn=nobody"}));
}

// Request threads reach one secondary mailbox at once: each logs on
// (own store), then each files it under its entry-ID key, half through
// GetStore and half through the logon with fileUnderKey. The key is filed
// once and every thread gets that store, with a reference of its own.
TEST_F(MapiExModTest, EightThreadsOpeningOneSecondaryMailboxShareTheStoreFiledFirst) {
  constexpr int kThreads = 8;
  // Slow opens: every thread is inside its open when the first files.
  WrapSession(false)->open_delay = std::chrono::milliseconds(20);
  module_->SetExServer("EXCH1");
  const std::string store_dn = CMapiExMod::StoreDNFromServerDN(kAnnServerDN);
  struct Seen {
    HRESULT logon = E_FAIL;
    std::string id;
    std::string own_name;
    std::vector<std::string> own_root;
    IMsgStore* filed = nullptr;  // compared only, after the threads end
    std::string filed_name;
    std::vector<std::string> filed_root;
    std::vector<std::string> folder_root;
  };
  std::vector<Seen> seen(kThreads);
  std::latch start(kThreads);
  std::latch filing(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      Seen& s = seen[i];
      start.arrive_and_wait();
      IMsgStore* raw = nullptr;
      s.logon = module_->OpenSecondaryMailbox("conn", kAnnServerDN, kAnnMailboxDN, 0, &raw, &s.id);
      MapiPtr<IMsgStore> own(raw);
      s.own_name = DisplayName(own.get());
      s.own_root = RootFolderNames(own.get());
      filing.arrive_and_wait();
      MapiPtr<IMsgStore> filed;
      if (i % 2 == 0) {
        filed = module_->GetStore(s.id.c_str());
      } else {
        std::string again;
        if (module_->HrMailboxLogon("conn", store_dn.c_str(), kAnnMailboxDN, &raw, true, 0, &again) == S_OK) {
          filed = MapiPtr<IMsgStore>(raw);
        }
      }
      s.filed = filed.get();
      s.filed_name = DisplayName(filed.get());
      s.filed_root = RootFolderNames(filed.get());
      std::unique_ptr<CMAPIFolder> root = module_->OpenRootFolder(s.id.c_str(), MAPI_DEFERRED_ERRORS);
      std::vector<ZUV_FolderInfo_s> list;
      if (root && SUCCEEDED(root->GetHierarchy(&list))) {
        for (const ZUV_FolderInfo_s& f : list) s.folder_root.push_back(f.name);
      }
    });
  }
  for (std::thread& t : threads) t.join();

  MapiPtr<IMsgStore> filed = module_->GetStore(seen[0].id.c_str());
  ASSERT_TRUE(filed);
  for (int i = 0; i < kThreads; ++i) {
    const Seen& s = seen[i];
    EXPECT_EQ(s.logon, S_OK) << i;
    EXPECT_EQ(s.id, seen[0].id) << i;
    EXPECT_EQ(s.own_name, "Ann Smith") << i;
    EXPECT_EQ(s.own_root, kMailboxRoot) << i;
    EXPECT_EQ(s.filed, filed.get()) << "thread " << i << " got a store other than the one filed";
    EXPECT_EQ(s.filed_name, "Ann Smith") << i;
    EXPECT_EQ(s.filed_root, kMailboxRoot) << i;
    EXPECT_EQ(s.folder_root, kMailboxRoot) << i;
  }
}

// A holder's store lives through its key being filed anew: a scan that
// files the mailbox key again, and a logout that drops every filed store
// followed by the same key filed with a new store.
TEST_F(MapiExModTest, StoreHandedOutStaysUsableWhileAnotherThreadFilesItsKeyAgain) {
  const std::string key = AnnStoreKey();
  ASSERT_FALSE(key.empty());
  MapiPtr<IMsgStore> ann = module_->GetStore(key.c_str());
  MapiPtr<IMsgStore> mailbox = module_->GetMailboxStore();
  ASSERT_TRUE(ann && mailbox);
  IMsgStore* const first_ann = ann.get();
  IMsgStore* const first_mailbox = mailbox.get();

  std::atomic<bool> done{false};
  int refiled = 0;
  std::thread refiler([&] {
    IMsgStore* filed_mailbox = first_mailbox;
    for (int i = 0; i < 10; ++i) {
      // The scan opens the default stores again; the filed ones stay.
      if (module_->OpenStore("conn", nullptr, nullptr, true, MDB_NO_DIALOG | MAPI_BEST_ACCESS, true) != S_OK) break;
      if (module_->GetMailboxStore().get() != filed_mailbox) break;
      module_->Logout();
      if (!module_->Login(module_->Name().c_str(), "tovanixZUV", true)) break;
      MapiPtr<IMsgStore> again = module_->GetStore(key.c_str());
      MapiPtr<IMsgStore> new_mailbox = module_->GetMailboxStore();
      if (!again || again.get() == first_ann || !new_mailbox) break;
      filed_mailbox = new_mailbox.get();
      ++refiled;
    }
    done = true;
  });
  int uses = 0;
  bool usable = true;
  while (usable && (!done || uses == 0)) {
    usable = DisplayName(ann.get()) == "Ann Smith" && RootFolderNames(ann.get()) == kMailboxRoot &&
             DisplayName(mailbox.get()) == "ZUV Service";
    ++uses;
  }
  refiler.join();
  EXPECT_TRUE(usable) << "after " << uses << " uses";
  EXPECT_EQ(refiled, 10);
  EXPECT_NE(module_->GetStore(key.c_str()).get(), first_ann) << "the key was filed with a new store";
  EXPECT_EQ(RootFolderNames(ann.get()), kMailboxRoot);
  EXPECT_EQ(DisplayName(mailbox.get()), "ZUV Service");
}

TEST_F(MapiExModTest, DerivedModuleUsesTheParentSessionAndLeavesItUsable) {
  IMsgStore* store = nullptr;
  std::string id;
  ASSERT_EQ(module_->OpenSecondaryMailbox("conn", "cn=EXCH1", "/o=Example/ou=Users/cn=asmith", 0, &store, &id), S_OK);
  {
    CMapiExMod derived("conn:asmith", module_.get(), store);
    store->Release();
    EXPECT_TRUE(derived.IsDerived());
    EXPECT_EQ(derived.GetSession(), module_->GetSession());
    EXPECT_EQ(DisplayName(derived.GetMailboxStore().get()), "Ann Smith");
    std::unique_ptr<CMAPIFolder> inbox = derived.OpenInbox();
    ASSERT_TRUE(inbox);
    EXPECT_EQ(DisplayName(inbox->Item()), "Inbox");
    derived.Logout();
    derived.Logout();
    EXPECT_EQ(derived.GetSession(), nullptr);
  }
  std::unique_ptr<CMAPIFolder> inbox = module_->OpenInbox();
  ASSERT_TRUE(inbox);
  std::string name;
  EXPECT_TRUE(module_->GetProfileName(&name));
}

TEST_F(MapiExModTest, FolderOpenersFindTheDefaultFolders) {
  std::unique_ptr<CMAPIFolder> outbox = module_->OpenOutbox();
  std::unique_ptr<CMAPIFolder> sent = module_->OpenSentItems();
  std::unique_ptr<CMAPIFolder> contacts = module_->OpenContacts();
  std::unique_ptr<CMAPIFolder> drafts = module_->OpenDrafts();
  std::unique_ptr<CMAPIFolder> calendar = module_->OpenCalendar();
  std::unique_ptr<CMAPIFolder> deleted = module_->OpenDeletedItems();
  std::unique_ptr<CMAPIFolder> byname = module_->OpenFolder("deleted ITEMS", kMailboxStoreKey);
  ASSERT_TRUE(outbox && sent && contacts && drafts && calendar && deleted && byname);
  EXPECT_EQ(DisplayName(outbox->Item()), "Outbox");
  EXPECT_EQ(DisplayName(sent->Item()), "Sent Items");
  EXPECT_EQ(DisplayName(contacts->Item()), "Contacts");
  EXPECT_EQ(DisplayName(drafts->Item()), "Drafts");
  EXPECT_EQ(DisplayName(calendar->Item()), "Calendar");
  EXPECT_EQ(DisplayName(deleted->Item()), "Deleted Items");
  EXPECT_EQ(byname->EntryID(), deleted->EntryID());
  EXPECT_FALSE(module_->OpenFolder("No Such Folder", kMailboxStoreKey));
}

TEST_F(MapiExModTest, FolderByPathBacktracksOutOfADeadEnd) {
  CreateFolderPath("svc-zuv", false, "Archive/Projects");
  std::string target = CreateFolderPath("svc-zuv", false, "Inbox/Projects/2026");
  std::unique_ptr<CMAPIFolder> found(module_->OpenFolderByPath({"projects", "2026"}, kMailboxStoreKey));
  ASSERT_TRUE(found);
  std::string id;
  ASSERT_TRUE(found->GetEntryIDString(&id));
  EXPECT_EQ(id, target);

  std::unique_ptr<CMAPIFolder> inbox = module_->OpenFolderByPath({"Inbox"}, kMailboxStoreKey);
  ASSERT_TRUE(inbox);
  EXPECT_EQ(DisplayName(inbox->Item()), "Inbox");
  EXPECT_FALSE(module_->OpenFolderByPath({"Inbox", "Nowhere"}, kMailboxStoreKey));
  std::unique_ptr<CMAPIFolder> root = module_->OpenFolderByPath({}, kMailboxStoreKey);
  ASSERT_TRUE(root);
  // The second level is searched through its whole subtree.
  EXPECT_TRUE(root->FindSubFolderTwoLevels("2026") != nullptr);
  EXPECT_TRUE(root->FindSubFolderTwoLevels("2027") == nullptr);
}

TEST_F(MapiExModTest, FolderByEntryIdRejectsBadStrings) {
  std::string id = CreateFolderPath("svc-zuv", false, "Inbox/Reports");
  std::unique_ptr<CMAPIFolder> folder = module_->OpenFolderByEntryID(id.c_str(), kMailboxStoreKey, 8);
  ASSERT_TRUE(folder);
  EXPECT_EQ(DisplayName(folder->Item()), "Reports");
  std::string odd = id.substr(1);
  std::string foreign = id;
  foreign[5] = 'G';
  EXPECT_FALSE(module_->OpenFolderByEntryID(odd.c_str(), kMailboxStoreKey, 8));
  EXPECT_FALSE(module_->OpenFolderByEntryID(foreign.c_str(), kMailboxStoreKey, 8));
  EXPECT_FALSE(module_->OpenFolderByEntryID("00112233", kMailboxStoreKey, 8));
  // Items can be created in a folder opened with deferred errors alone.
  CMAPIObject item;
  EXPECT_TRUE(item.Create(module_.get(), folder.get()));
}

TEST_F(MapiExModTest, HierarchyIsReadAfreshOnEveryCall) {
  std::string inbox = CreateFolderPath("svc-zuv", false, "Inbox/One");
  std::unique_ptr<CMAPIFolder> inbox_folder = module_->OpenInbox();
  std::string inbox_id;
  ASSERT_TRUE(inbox_folder->GetEntryIDString(&inbox_id));

  auto first = module_->GetFolderHierarchy(kMailboxStoreKey, inbox_id.c_str());
  ASSERT_TRUE(first);
  ASSERT_EQ(first->size(), 1u);
  EXPECT_EQ((*first)[0].name, "One");
  EXPECT_EQ((*first)[0].entryID, inbox);
  EXPECT_EQ((*first)[0].containerClass, "IPF.Note");
  EXPECT_NE((*first)[0].created, 0u);

  CreateFolderPath("svc-zuv", false, "Inbox/Two");
  auto second = module_->GetFolderHierarchy(kMailboxStoreKey, inbox_id.c_str());
  ASSERT_TRUE(second);
  EXPECT_EQ(second->size(), 2u) << "read afresh";
  EXPECT_EQ(first->size(), 1u) << "a caller's list stays as it was read";

  // The root of the mailbox, and the IPM subtree of the public store.
  auto root = module_->GetFolderHierarchy(kMailboxStoreKey, "");
  ASSERT_TRUE(root);
  EXPECT_TRUE(std::any_of(root->begin(), root->end(), [](auto& f) { return f.name == "Top of Information Store"; }));
  CreateFolderPath("", true, "Shared");
  auto pub = module_->GetFolderHierarchy(kPublicStoreKey, "");
  ASSERT_TRUE(pub);
  ASSERT_EQ(pub->size(), 1u);
  EXPECT_EQ((*pub)[0].name, "Shared");
  EXPECT_EQ(module_->GetFolderHierarchy(kMailboxStoreKey, "ABC"), nullptr);
}

struct NotifyProbe {
  std::mutex mu;
  std::condition_variable cv;
  int events = 0;
  static LONG Callback(void* context, ULONG count, LPNOTIFICATION) {
    auto* probe = static_cast<NotifyProbe*>(context);
    std::lock_guard<std::mutex> lock(probe->mu);
    probe->events += static_cast<int>(count);
    probe->cv.notify_all();
    return 0;
  }
};

TEST_F(MapiExModTest, NotifyWatchesTheInboxUntilLogout) {
  NotifyProbe probe;
  ASSERT_TRUE(module_->Notify(&NotifyProbe::Callback, &probe, fnevObjectCreated));
  EXPECT_NE(module_->AdviseConnection(), 0u);
  CreateFolderPath("svc-zuv", false, "Inbox/Watched");
  {
    std::unique_lock<std::mutex> lock(probe.mu);
    EXPECT_TRUE(probe.cv.wait_for(lock, std::chrono::seconds(10), [&] { return probe.events > 0; }));
  }
  module_->Logout();
  EXPECT_EQ(module_->AdviseConnection(), 0u);
}

}  // namespace
