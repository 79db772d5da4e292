// Tests of the organisation, logon, stores and folders through the MAPI
// interfaces, on a private database.
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "com.h"
#include "db.h"
#include "entryid.h"
#include "mapi/mapitags.h"
#include "mapi/mapix.h"
#include "mapi/zuvstore_admin.h"
#include "propval.h"

namespace zuvstore {
namespace {

namespace fs = std::filesystem;

// Frees a MAPI buffer at scope end.
struct BufferGuard {
  void* p = nullptr;
  ~BufferGuard() { MAPIFreeBuffer(p); }
};

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv-store-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = (dir_ / "store.db").string();
    std::string err;
    ASSERT_EQ(StoreAdmin::Open(path_, &admin_, &err), S_OK) << err;
    ASSERT_EQ(admin_->AddServer("MAIL01", false, &err), S_OK) << err;
    ASSERT_EQ(admin_->AddServer("cas.example.org", true, &err), S_OK) << err;
    ASSERT_EQ(AddMailbox("jdoe", "John Doe", "jdoe@example.org", "MAIL01"), S_OK);
    SetStorePath(path_);
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
  }
  void TearDown() override {
    session_.reset();
    MAPIUninitialize();
    admin_.reset();
    fs::remove_all(dir_);
  }

  HRESULT AddMailbox(const std::string& alias, const std::string& name, const std::string& smtp,
                     const std::string& server) {
    MailboxSpec spec;
    spec.alias = alias;
    spec.display_name = name;
    spec.smtp = {smtp};
    spec.legacy_dn = "/o=Example/ou=Users/cn=" + alias;
    spec.server = server;
    std::string err, id;
    return admin_->AddMailbox(spec, &id, &err);
  }

  // A profile with an MSEMS service for server and mailbox.
  void MakeProfile(const std::string& profile, const std::string& server, const std::string& mailbox) {
    ComPtr<IProfAdmin> pa;
    ASSERT_EQ(MAPIAdminProfiles(0, pa.put()), S_OK);
    ASSERT_EQ(pa->CreateProfile(const_cast<char*>(profile.c_str()), nullptr, 0, 0), S_OK);
    ComPtr<IMsgServiceAdmin> sa;
    ASSERT_EQ(pa->AdminServices(const_cast<char*>(profile.c_str()), nullptr, 0, 0, sa.put()), S_OK);
    ComPtr<IMsgServiceAdmin2> sa2;
    ASSERT_EQ(sa->QueryInterface(IID_IMsgServiceAdmin2, reinterpret_cast<void**>(sa2.put())), S_OK);
    MAPIUID uid{};
    ASSERT_EQ(sa2->CreateMsgServiceEx(const_cast<char*>("MSEMS"), const_cast<char*>("MSEMS"), 0, 0, &uid), S_OK);
    SPropValue props[2];
    props[0].ulPropTag = PR_PROFILE_UNRESOLVED_SERVER;
    props[0].Value.lpszA = const_cast<char*>(server.c_str());
    props[1].ulPropTag = PR_PROFILE_UNRESOLVED_NAME;
    props[1].Value.lpszA = const_cast<char*>(mailbox.c_str());
    ASSERT_EQ(sa->ConfigureMsgService(&uid, 0, 0, 2, props), S_OK);
  }

  void Logon() {
    MakeProfile("tovanixZUV", "MAIL01", "jdoe");
    ASSERT_EQ(MAPILogonEx(0, const_cast<char*>("tovanixZUV"), nullptr,
                          MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_USE_DEFAULT | MAPI_EXPLICIT_PROFILE, session_.put()),
              S_OK)
        << LastLogonError();
  }

  // Store table rows: (display name, entry ID, default).
  struct StoreRow {
    std::string name;
    std::string entry_id;
    bool is_default;
  };
  std::vector<StoreRow> StoreRows() {
    ComPtr<IMAPITable> table;
    EXPECT_EQ(session_->GetMsgStoresTable(0, table.put()), S_OK);
    SizedSPropTagArray(3, cols) = {3, {PR_DISPLAY_NAME_A, PR_ENTRYID, PR_DEFAULT_STORE}};
    EXPECT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), S_OK);
    LPSRowSet rows = nullptr;
    EXPECT_EQ(table->QueryRows(1024, 0, &rows), S_OK);
    std::vector<StoreRow> out;
    for (ULONG i = 0; rows != nullptr && i < rows->cRows; ++i) {
      const SPropValue* v = rows->aRow[i].lpProps;
      out.push_back({v[0].Value.lpszA,
                     std::string(reinterpret_cast<char*>(v[1].Value.bin.lpb), v[1].Value.bin.cb),
                     v[2].Value.b != 0});
    }
    FreeProws(rows);
    return out;
  }

  ComPtr<IMsgStore> OpenMailbox() {
    auto rows = StoreRows();
    ComPtr<IMsgStore> store;
    EXPECT_FALSE(rows.empty());
    if (rows.empty()) return store;
    EXPECT_EQ(session_->OpenMsgStore(0, static_cast<ULONG>(rows[0].entry_id.size()),
                                     reinterpret_cast<LPENTRYID>(rows[0].entry_id.data()), nullptr,
                                     MDB_NO_DIALOG | MAPI_BEST_ACCESS, store.put()),
              S_OK);
    return store;
  }

  std::string BinaryProp(IMAPIProp* obj, ULONG tag) {
    SizedSPropTagArray(1, tags) = {1, {tag}};
    ULONG n = 0;
    LPSPropValue v = nullptr;
    HRESULT hr = obj->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &n, &v);
    BufferGuard g{v};
    if (FAILED(hr) || n != 1 || PROP_TYPE(v[0].ulPropTag) != PT_BINARY) return "";
    return std::string(reinterpret_cast<char*>(v[0].Value.bin.lpb), v[0].Value.bin.cb);
  }

  ComPtr<IMAPIFolder> OpenFolderById(IMsgStore* store, const std::string& id) {
    ComPtr<IMAPIFolder> folder;
    ULONG type = 0;
    IUnknown* unk = nullptr;
    EXPECT_EQ(store->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(id.data())),
                               nullptr, MAPI_BEST_ACCESS, &type, &unk),
              S_OK);
    EXPECT_EQ(type, MAPI_FOLDER);
    return ComPtr<IMAPIFolder>(static_cast<IMAPIFolder*>(unk));
  }

  fs::path dir_;
  std::string path_;
  std::unique_ptr<StoreAdmin> admin_;
  ComPtr<IMAPISession> session_;
};

TEST_F(StoreTest, NewMailboxHasTheDefaultFoldersAndTheirStoreProperties) {
  std::vector<FolderInfo> folders;
  std::string err;
  ASSERT_EQ(admin_->ListFolders("jdoe", false, &folders, &err), S_OK) << err;
  std::vector<std::string> paths;
  for (auto& f : folders) paths.push_back(f.path);
  for (const char* p : {"Inbox", "Outbox", "Sent Items", "Deleted Items", "Drafts", "Contacts", "Calendar",
                        "Tasks", "Notes", "Journal", "/ExchangeSyncData"}) {
    EXPECT_NE(std::find(paths.begin(), paths.end(), p), paths.end()) << p;
  }
  EXPECT_EQ(admin_->ListFolders("nobody", false, &folders, &err), MAPI_E_NOT_FOUND);

  Logon();
  ComPtr<IMsgStore> store = OpenMailbox();
  ASSERT_TRUE(store);
  SizedSPropTagArray(1, mask_tag) = {1, {PR_STORE_SUPPORT_MASK}};
  ULONG n = 0;
  LPSPropValue v = nullptr;
  ASSERT_EQ(store->GetProps(reinterpret_cast<LPSPropTagArray>(&mask_tag), 0, &n, &v), S_OK);
  EXPECT_NE(v[0].Value.l & STORE_NOTIFY_OK, 0);
  EXPECT_NE(v[0].Value.l & STORE_HTML_OK, 0);
  MAPIFreeBuffer(v);

  // The outbox named by the store opens and is called Outbox.
  ComPtr<IMAPIFolder> outbox = OpenFolderById(store.get(), BinaryProp(store.get(), PR_IPM_OUTBOX_ENTRYID));
  ASSERT_TRUE(outbox);
  SizedSPropTagArray(1, name_tag) = {1, {PR_DISPLAY_NAME_A}};
  ASSERT_EQ(outbox->GetProps(reinterpret_cast<LPSPropTagArray>(&name_tag), 0, &n, &v), S_OK);
  EXPECT_STREQ(v[0].Value.lpszA, "Outbox");
  MAPIFreeBuffer(v);

  // The receive folder is the Inbox, which names the Contacts folder.
  ULONG cb = 0;
  LPENTRYID inbox_id = nullptr;
  ASSERT_EQ(store->GetReceiveFolder(nullptr, 0, &cb, &inbox_id, nullptr), S_OK);
  ComPtr<IMAPIFolder> inbox = OpenFolderById(store.get(), std::string(reinterpret_cast<char*>(inbox_id), cb));
  MAPIFreeBuffer(inbox_id);
  ComPtr<IMAPIFolder> contacts = OpenFolderById(store.get(), BinaryProp(inbox.get(), PR_IPM_CONTACT_ENTRYID));
  ASSERT_EQ(contacts->GetProps(reinterpret_cast<LPSPropTagArray>(&name_tag), 0, &n, &v), S_OK);
  EXPECT_STREQ(v[0].Value.lpszA, "Contacts");
  MAPIFreeBuffer(v);
}

TEST_F(StoreTest, MailboxWithoutHtmlWithdrawsTheFlag) {
  MailboxSpec spec;
  spec.alias = "plain";
  spec.display_name = "Plain Text";
  spec.smtp = {"plain@example.org"};
  spec.legacy_dn = "/o=Example/ou=Users/cn=plain";
  spec.server = "MAIL01";
  spec.html_ok = false;
  std::string err, id;
  ASSERT_EQ(admin_->AddMailbox(spec, &id, &err), S_OK) << err;
  EXPECT_EQ(admin_->AddMailbox(spec, &id, &err), MAPI_E_COLLISION);
  spec.alias = "other";
  EXPECT_EQ(admin_->AddMailbox(spec, &id, &err), MAPI_E_COLLISION) << "the address is taken";
  spec.server = "NOSUCH";
  spec.smtp = {"other@example.org"};
  EXPECT_EQ(admin_->AddMailbox(spec, &id, &err), MAPI_E_NOT_FOUND);
  EXPECT_NE(err.find("NOSUCH"), std::string::npos);

  MakeProfile("plainprofile", "MAIL01", "plain@example.org");
  ASSERT_EQ(MAPILogonEx(0, const_cast<char*>("plainprofile"), nullptr, MAPI_EXTENDED, session_.put()), S_OK);
  ComPtr<IMsgStore> store = OpenMailbox();
  SizedSPropTagArray(1, mask_tag) = {1, {PR_STORE_SUPPORT_MASK}};
  ULONG n = 0;
  LPSPropValue v = nullptr;
  ASSERT_EQ(store->GetProps(reinterpret_cast<LPSPropTagArray>(&mask_tag), 0, &n, &v), S_OK);
  EXPECT_EQ(v[0].Value.l & STORE_HTML_OK, 0);
  EXPECT_NE(v[0].Value.l & STORE_NOTIFY_OK, 0);
  MAPIFreeBuffer(v);
}

TEST_F(StoreTest, LogonFailuresSayWhy) {
  ComPtr<IMAPISession> s;
  EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("missing"), nullptr, MAPI_EXTENDED, s.put()), MAPI_E_LOGON_FAILED);
  EXPECT_NE(LastLogonError().find("missing"), std::string::npos);

  MakeProfile("badserver", "NOSUCH", "jdoe");
  EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("badserver"), nullptr, MAPI_EXTENDED, s.put()), MAPI_E_NETWORK_ERROR);
  EXPECT_NE(LastLogonError().find("NOSUCH"), std::string::npos);

  MakeProfile("badmailbox", "MAIL01", "nobody");
  EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("badmailbox"), nullptr, MAPI_EXTENDED, s.put()), MAPI_E_LOGON_FAILED);
  EXPECT_NE(LastLogonError().find("nobody"), std::string::npos);

  // The legacy DN resolves too, and the profile name matches in any case.
  MakeProfile("ByDn", "MAIL01", "/o=Example/ou=Users/cn=jdoe");
  EXPECT_EQ(MAPILogonEx(0, const_cast<char*>("bydn"), nullptr, MAPI_EXTENDED, s.put()), S_OK) << LastLogonError();
}

TEST_F(StoreTest, StoreTableListsTheMailboxThenPublicFolders) {
  Logon();
  auto rows = StoreRows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].name, "Mailbox - John Doe");
  EXPECT_TRUE(rows[0].is_default);
  EXPECT_EQ(rows[1].name, "Public Folders");
  EXPECT_FALSE(rows[1].is_default);

  // The status table names the profile on its subsystem row.
  ComPtr<IMAPITable> status;
  ASSERT_EQ(session_->GetStatusTable(0, status.put()), S_OK);
  SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME_A, PR_RESOURCE_TYPE}};
  ASSERT_EQ(status->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), S_OK);
  bool found = false;
  for (;;) {
    LPSRowSet row = nullptr;
    ASSERT_EQ(status->QueryRows(1, 0, &row), S_OK);
    if (row->cRows == 0) {
      FreeProws(row);
      break;
    }
    if (row->aRow[0].lpProps[1].Value.l == static_cast<LONG>(MAPI_SUBSYSTEM)) {
      EXPECT_STREQ(row->aRow[0].lpProps[0].Value.lpszA, "tovanixZUV");
      found = true;
    }
    FreeProws(row);
  }
  EXPECT_TRUE(found);
}

TEST_F(StoreTest, ManageStoreOpensAnotherMailboxOnTheSameSession) {
  ASSERT_EQ(AddMailbox("asmith", "Ann Smith", "asmith@example.org", "MAIL01"), S_OK);
  Logon();
  ComPtr<IMsgStore> store = OpenMailbox();
  ComPtr<IExchangeManageStore> manage;
  ASSERT_EQ(store->QueryInterface(IID_IExchangeManageStore, reinterpret_cast<void**>(manage.put())), S_OK);
  ULONG cb = 0;
  LPENTRYID id = nullptr;
  ASSERT_EQ(manage->CreateStoreEntryID(const_cast<char*>("/cn=Configuration/cn=Servers/cn=MAIL01/cn=Microsoft Private MDB"),
                                       const_cast<char*>("/o=Example/ou=Users/cn=asmith"), 0, &cb, &id),
            S_OK);
  ComPtr<IMsgStore> other;
  ASSERT_EQ(session_->OpenMsgStore(0, cb, id, nullptr, MDB_NO_DIALOG | MAPI_BEST_ACCESS, other.put()), S_OK);
  MAPIFreeBuffer(id);
  SizedSPropTagArray(1, tags) = {1, {PR_DISPLAY_NAME_A}};
  ULONG n = 0;
  LPSPropValue v = nullptr;
  ASSERT_EQ(other->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &n, &v), S_OK);
  EXPECT_STREQ(v[0].Value.lpszA, "Ann Smith");
  MAPIFreeBuffer(v);

  EXPECT_EQ(manage->CreateStoreEntryID(const_cast<char*>("/cn=Configuration/cn=Servers/cn=EXCH9/cn=Microsoft Private MDB"),
                                       const_cast<char*>("/o=Example/ou=Users/cn=asmith"), 0, &cb, &id),
            MAPI_E_NOT_FOUND);
  EXPECT_EQ(manage->CreateStoreEntryID(const_cast<char*>("/cn=Configuration/cn=Servers/cn=MAIL01/cn=Microsoft Private MDB"),
                                       const_cast<char*>("/o=Example/ou=Users/cn=nobody"), 0, &cb, &id),
            MAPI_E_NOT_FOUND);
}

TEST_F(StoreTest, FoldersCreateCollideDeleteAndRejectBadIds) {
  Logon();
  ComPtr<IMsgStore> store = OpenMailbox();
  ComPtr<IMAPIFolder> subtree = OpenFolderById(store.get(), BinaryProp(store.get(), PR_IPM_SUBTREE_ENTRYID));
  ComPtr<IMAPIFolder> projects;
  ASSERT_EQ(subtree->CreateFolder(FOLDER_GENERIC, const_cast<char*>("Projects"), nullptr, nullptr, 0, projects.put()), S_OK);
  ComPtr<IMAPIFolder> again;
  EXPECT_EQ(subtree->CreateFolder(FOLDER_GENERIC, const_cast<char*>("projects"), nullptr, nullptr, 0, again.put()),
            MAPI_E_COLLISION);
  ASSERT_EQ(subtree->CreateFolder(FOLDER_GENERIC, const_cast<char*>("PROJECTS"), nullptr, nullptr, OPEN_IF_EXISTS,
                                  again.put()),
            S_OK);
  EXPECT_EQ(BinaryProp(again.get(), PR_ENTRYID), BinaryProp(projects.get(), PR_ENTRYID));

  ComPtr<IMAPIFolder> child;
  ASSERT_EQ(projects->CreateFolder(FOLDER_GENERIC, const_cast<char*>("2026"), nullptr, nullptr, 0, child.put()), S_OK);
  std::string id = BinaryProp(projects.get(), PR_ENTRYID);
  EXPECT_EQ(subtree->DeleteFolder(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), 0, nullptr, 0),
            MAPI_E_HAS_FOLDERS);
  EXPECT_EQ(subtree->DeleteFolder(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), 0, nullptr,
                                  DEL_FOLDERS | DEL_MESSAGES),
            S_OK);
  ULONG type = 0;
  IUnknown* unk = nullptr;
  EXPECT_EQ(store->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0, &type, &unk),
            MAPI_E_NOT_FOUND);

  // Malformed and foreign IDs.
  std::string bad = id.substr(0, id.size() - 1);
  EXPECT_EQ(store->OpenEntry(static_cast<ULONG>(bad.size()), reinterpret_cast<LPENTRYID>(bad.data()), nullptr, 0, &type, &unk),
            MAPI_E_INVALID_ENTRYID);
  std::string foreign(46, '\x11');
  EXPECT_EQ(store->OpenEntry(static_cast<ULONG>(foreign.size()), reinterpret_cast<LPENTRYID>(foreign.data()), nullptr, 0,
                             &type, &unk),
            MAPI_E_INVALID_ENTRYID);
  EXPECT_EQ(store->OpenEntry(0, nullptr, nullptr, 0, &type, &unk), S_OK);  // the root
  EXPECT_EQ(type, MAPI_FOLDER);
  unk->Release();
}

TEST(EntryIdTest, IdsBuiltIntoAUsedBufferEqualFreshOnes) {
  const GUID guid = NewGuid();
  std::string reused(100, 'x');  // longer than any ID: nothing of it may stay
  for (int64_t id : {int64_t{1}, int64_t{4242}, int64_t{0x0102030405060708}}) {
    AssignObjectEntryId(ObjKind::kMessage, guid, id, &reused);
    EXPECT_EQ(reused, MakeObjectEntryId(ObjKind::kMessage, guid, id));
    ParsedEntryId parsed;
    ASSERT_EQ(ParseEntryId(reused.data(), reused.size(), &parsed), S_OK);
    EXPECT_EQ(parsed.id, id);
    EXPECT_EQ(parsed.kind, static_cast<int>(ObjKind::kMessage));
    AssignInstanceKey(id, &reused);
    EXPECT_EQ(reused, InstanceKey(id));
  }
}

TEST_F(StoreTest, DeletedMessagesNeverLendTheirEntryIds) {
  Logon();
  ComPtr<IMsgStore> store = OpenMailbox();
  ComPtr<IMAPIFolder> subtree = OpenFolderById(store.get(), BinaryProp(store.get(), PR_IPM_SUBTREE_ENTRYID));
  auto make = [&] {
    ComPtr<IMessage> msg;
    EXPECT_EQ(subtree->CreateMessage(nullptr, 0, msg.put()), S_OK);
    EXPECT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    return BinaryProp(msg.get(), PR_ENTRYID);
  };
  std::string a = make(), b = make();
  SBinary bin{static_cast<ULONG>(b.size()), reinterpret_cast<LPBYTE>(b.data())};
  SBinaryArray list{1, &bin};
  ASSERT_EQ(subtree->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  std::string c = make();
  EXPECT_NE(c, b);
  EXPECT_NE(c, a);
  ULONG type = 0;
  IUnknown* unk = nullptr;
  EXPECT_EQ(store->OpenEntry(static_cast<ULONG>(b.size()), reinterpret_cast<LPENTRYID>(b.data()), nullptr, 0, &type, &unk),
            MAPI_E_NOT_FOUND);
}

TEST_F(StoreTest, NamedPropertiesAreStableAcrossReopening) {
  MAPINAMEID by_id{const_cast<GUID*>(&PSETID_Address), MNID_ID, {}};
  by_id.Kind.lID = 0x8005;
  std::u16string text = u"CustomerNumber";
  MAPINAMEID by_name{const_cast<GUID*>(&PS_PUBLIC_STRINGS), MNID_STRING, {}};
  by_name.Kind.lpwstrName = text.data();
  LPMAPINAMEID names[2] = {&by_id, &by_name};

  std::vector<ULONG> first;
  {
    Logon();
    ComPtr<IMsgStore> store = OpenMailbox();
    LPSPropTagArray tags = nullptr;
    EXPECT_EQ(store->GetIDsFromNames(2, names, 0, &tags), MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(tags->aulPropTag[0], PROP_TAG(PT_ERROR, 0));
    MAPIFreeBuffer(tags);
    ASSERT_EQ(store->GetIDsFromNames(2, names, MAPI_CREATE, &tags), S_OK);
    first.assign(tags->aulPropTag, tags->aulPropTag + 2);
    MAPIFreeBuffer(tags);
    EXPECT_GE(PROP_ID(first[0]), 0x8000u);
    EXPECT_NE(PROP_ID(first[0]), PROP_ID(first[1]));
    session_.reset();
  }
  // A fresh database handle (the process's first one is gone) sees the same IDs.
  std::string err;
  admin_.reset();
  ASSERT_EQ(StoreAdmin::Open(path_, &admin_, &err), S_OK);
  ASSERT_EQ(MAPILogonEx(0, const_cast<char*>("tovanixZUV"), nullptr, MAPI_EXTENDED, session_.put()), S_OK);
  ComPtr<IMsgStore> store = OpenMailbox();
  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(store->GetIDsFromNames(2, names, 0, &tags), S_OK);
  EXPECT_EQ(std::vector<ULONG>(tags->aulPropTag, tags->aulPropTag + 2), first);
  ULONG count = 0;
  LPMAPINAMEID* back = nullptr;
  ASSERT_EQ(store->GetNamesFromIDs(&tags, nullptr, 0, &count, &back), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(back[0]->ulKind, MNID_ID);
  EXPECT_EQ(back[0]->Kind.lID, 0x8005);
  EXPECT_TRUE(*back[1]->lpguid == PS_PUBLIC_STRINGS);
  EXPECT_EQ(std::u16string(back[1]->Kind.lpwstrName), text);
  MAPIFreeBuffer(back);
  MAPIFreeBuffer(tags);
}

TEST_F(StoreTest, StoreAdviseReportsFolderCreation) {
  Logon();
  ComPtr<IMsgStore> store = OpenMailbox();

  struct Sink final : public IMAPIAdviseSink {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<ULONG> events;
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    ULONG OnNotify(ULONG n, LPNOTIFICATION notes) override {
      std::lock_guard<std::mutex> lock(mu);
      for (ULONG i = 0; i < n; ++i) events.push_back(notes[i].ulEventType);
      cv.notify_all();
      return 0;
    }
  } sink;
  ULONG connection = 0;
  ASSERT_EQ(store->Advise(0, nullptr, fnevObjectCreated, &sink, &connection), S_OK);
  std::string err, id;
  ASSERT_EQ(admin_->CreateFolderPath("jdoe", false, "Inbox/Reports", "IPF.Note", &id, &err), S_OK) << err;
  {
    std::unique_lock<std::mutex> lock(sink.mu);
    EXPECT_TRUE(sink.cv.wait_for(lock, std::chrono::seconds(10), [&] { return !sink.events.empty(); }));
    if (!sink.events.empty()) {
      EXPECT_EQ(sink.events[0], fnevObjectCreated);
    }
  }
  EXPECT_EQ(store->Unadvise(connection), S_OK);
  EXPECT_EQ(store->Unadvise(connection), MAPI_E_NOT_FOUND);
}

}  // namespace
}  // namespace zuvstore
