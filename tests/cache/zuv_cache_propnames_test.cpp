// Tests of ZUV_Cache's property-name resolution: the order of sources, the
// described-folder catalogue and the custom property cache, against the real
// store on a private database.
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/wire.h"
#include "cache/zuv_cache.h"
#include "directory/ad_services.h"
#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/profile_admin.h"
#include "mapi_access/prop_tags.h"

namespace {

namespace fs = std::filesystem;

// {B20182C7-7A66-D04E-8774-99FD4EC3BC65}, where hexadecimal names live.
const GUID kCustomSet = {0xB20182C7, 0x7A66, 0xD04E, {0x87, 0x74, 0x99, 0xFD, 0x4E, 0xC3, 0xBC, 0x65}};

// The ID (PT_UNSPECIFIED tag) of a named property, created when missing.
ULONG CreateNamedId(IMAPIProp* item, GUID set, const char* string_name, LONG lid) {
  MAPINAMEID name{};
  name.lpguid = &set;
  std::u16string wide;
  if (string_name != nullptr) {
    wide = zuv::AnsiToWide(string_name);
    name.ulKind = MNID_STRING;
    name.Kind.lpwstrName = wide.data();
  } else {
    name.ulKind = MNID_ID;
    name.Kind.lID = lid;
  }
  LPMAPINAMEID names[1] = {&name};
  MapiBuffer<SPropTagArray> tags;
  if (item->GetIDsFromNames(1, names, MAPI_CREATE, tags.put()) != S_OK) return 0;
  return tags->aulPropTag[0];
}

class ZuvCachePropNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv-propnames-XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::string err;
    ASSERT_EQ(zuvstore::StoreAdmin::Open((dir_ / "store.db").string(), &admin_, &err), S_OK) << err;
    ASSERT_EQ(admin_->AddServer("EXCH1", false, &err), S_OK) << err;
    zuvstore::MailboxSpec spec;
    spec.alias = "svc-zuv";
    spec.display_name = "ZUV Service";
    spec.smtp = {"svc-zuv@example.org"};
    spec.legacy_dn = "/o=Example/ou=Users/cn=svc-zuv";
    spec.server = "EXCH1";
    ASSERT_EQ(admin_->AddMailbox(spec, &store_id_, &err), S_OK) << err;
    ASSERT_EQ(admin_->CreateFolderPath("svc-zuv", false, "Inbox/Props", "IPF.Note", &folder_id_, &err), S_OK);
    ASSERT_EQ(admin_->CreateFolderPath("svc-zuv", false, "Inbox/Numbered", "IPF.Note", &numbered_id_, &err), S_OK);
    zuvstore::SetStorePath((dir_ / "store.db").string());
    ASSERT_TRUE(CMapiExMod::Init(true, true));
    cache_ = std::make_unique<ZUV_Cache>("C1", "svc-zuv");
    ASSERT_TRUE(cache_->Logon(0, "svc-zuv", "EXCH1", "", true));
    ZUV_Cache::ClearCustomPropertiesForTest();
  }

  void TearDown() override {
    ZUV_Cache::ClearCustomPropertiesForTest();
    cache_.reset();
    CMapiExMod::Term();
    admin_.reset();
    fs::remove_all(dir_);
  }

  MapiPtr<IMAPIFolder> AdminFolder(const std::string& path) {
    std::string err;
    IMAPIFolder* raw = nullptr;
    EXPECT_EQ(admin_->OpenFolder("svc-zuv", false, path, &raw, &err), S_OK) << err;
    return MapiPtr<IMAPIFolder>(raw);
  }

  // A message in path carrying PR_SUBJECT and the named property id with a
  // value of type.
  void AddMessageWith(const std::string& path, ULONG id, ULONG type) {
    MapiPtr<IMAPIFolder> folder = AdminFolder(path);
    MapiPtr<IMessage> message;
    ASSERT_EQ(folder->CreateMessage(nullptr, 0, message.put()), S_OK);
    SPropValue v[2] = {};
    v[0].ulPropTag = PR_SUBJECT_A;
    v[0].Value.lpszA = const_cast<char*>("hello");
    v[1].ulPropTag = PROP_TAG(type, PROP_ID(id));
    if (type == PT_LONG) {
      v[1].Value.l = 7;
    } else {
      v[1].Value.lpszA = const_cast<char*>("value");
    }
    ASSERT_EQ(message->SetProps(2, v, nullptr), S_OK);
    ASSERT_EQ(message->SaveChanges(0), S_OK);
  }

  uint32_t Resolve(const std::string& name, ULONG type, ULONG* tag, bool create = false,
                   const std::string& folder = "") {
    return cache_->PropTagFromName(folder.empty() ? folder_id_ : folder, kMailboxStoreKey, name, type, tag, create);
  }

  fs::path dir_;
  std::unique_ptr<zuvstore::StoreAdmin> admin_;
  std::unique_ptr<ZUV_Cache> cache_;
  std::string store_id_, folder_id_, numbered_id_;
  zuv::ConnectionContext context_;
};

TEST_F(ZuvCachePropNamesTest, StaticNamesResolveWithoutTouchingTheStore) {
  ULONG tag = 0;
  // Neither entry ID opens anything: the answer can only come from the table.
  EXPECT_EQ(cache_->PropTagFromName("NOT-A-FOLDER", "NOT-A-STORE", "PR_SUBJECT", 0, &tag, false), 0u);
  EXPECT_EQ(tag, PR_SUBJECT);
  tag = 77;
  EXPECT_NE(cache_->PropTagFromName("NOT-A-FOLDER", "NOT-A-STORE", "NoSuchName", PT_LONG, &tag, false), 0u);
  EXPECT_EQ(tag, 77u) << "a failed lookup leaves the tag alone";

  std::vector<std::string> names;
  EXPECT_EQ(ZUV_Cache::NameFromPropTag("", PR_SUBJECT, &names), 0u);
  EXPECT_EQ(ZUV_Cache::NameFromPropTag("", 0x7FFE0003, &names), 1u);
  std::string first;
  ASSERT_EQ(zuv::FirstNameFromTag(PR_SUBJECT, &first), 0u);
  EXPECT_EQ(names, std::vector<std::string>{first});
}

TEST_F(ZuvCachePropNamesTest, CustomPropertiesAreCachedPerStoreAndFolder) {
  std::string err;
  std::vector<custom_property> wanted = {{"Colour", PT_STRING8, 0}, {"Absent", PT_LONG, 0}};
  // Without create an unknown name is skipped and the call still succeeds.
  EXPECT_EQ(cache_->SetCustomProperties(&context_, folder_id_, kMailboxStoreKey, wanted, &err, false), 0u);
  ULONG tag = 0;
  EXPECT_EQ(ZUV_Cache::LookupCustomProperty(folder_id_, kMailboxStoreKey, "Colour", &tag), 1u);

  EXPECT_EQ(cache_->SetCustomProperties(&context_, folder_id_, kMailboxStoreKey, wanted, &err, true), 0u) << err;
  ULONG colour = 0, absent = 0;
  ASSERT_EQ(ZUV_Cache::LookupCustomProperty(folder_id_, kMailboxStoreKey, "Colour", &colour), 0u);
  ASSERT_EQ(ZUV_Cache::LookupCustomProperty(folder_id_, kMailboxStoreKey, "Absent", &absent), 0u);
  EXPECT_EQ(PROP_TYPE(colour), PT_STRING8);
  EXPECT_EQ(PROP_TYPE(absent), PT_LONG);
  EXPECT_GE(PROP_ID(colour), 0x8000u);
  EXPECT_NE(PROP_ID(colour), PROP_ID(absent));

  // The same folder under the store's entry-ID string is another key.
  EXPECT_EQ(ZUV_Cache::LookupCustomProperty(folder_id_, store_id_, "Colour", &tag), 1u);
  EXPECT_EQ(ZUV_Cache::LookupCustomProperty(numbered_id_, kMailboxStoreKey, "Colour", &tag), 1u);
  EXPECT_EQ(Resolve("Colour", PT_STRING8, &tag), 0u);
  EXPECT_EQ(tag, colour);

  // A folder that cannot be opened cannot create: the error names it.
  EXPECT_EQ(cache_->SetCustomProperties(&context_, "00BAD0", kMailboxStoreKey, {{"Other", PT_LONG, 0}}, &err, true),
            1u);
  EXPECT_EQ(err, std::string("Cannot get the property tag for property name Other in folder ") + kMailboxStoreKey +
                     "-00BAD0");
}

TEST_F(ZuvCachePropNamesTest, HexadecimalNamesAreLongIdsInTheCustomSet) {
  ULONG tag = 0;
  EXPECT_NE(Resolve("1A2B", PT_LONG, &tag), 0u) << "not registered yet";
  MapiPtr<IMAPIFolder> folder = AdminFolder("Inbox/Props");
  const ULONG id = CreateNamedId(folder.get(), kCustomSet, nullptr, 0x1A2B);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(Resolve("1A2B", PT_LONG, &tag), 0u);
  EXPECT_EQ(tag, PROP_TAG(PT_LONG, PROP_ID(id)));
  EXPECT_EQ(Resolve("1a2b", PT_STRING8, &tag), 0u) << "either case, the caller's type";
  EXPECT_EQ(tag, PROP_TAG(PT_STRING8, PROP_ID(id)));
  EXPECT_NE(Resolve("0x1A2B", PT_LONG, &tag), 0u) << "a prefix makes it a plain string name";
}

TEST_F(ZuvCachePropNamesTest, NamedPropertyTableNamesUseTheirSetAndType) {
  const size_t index = zuv::NamedPropertyIndex("PidLidWhere");
  ASSERT_LT(index, zuv::NamedPropertyCount());
  const zuv::NamedPropEntry& entry = zuv::NamedPropertyAt(index);
  ULONG tag = 0;
  EXPECT_NE(Resolve("PidLidWhere", 0, &tag), 0u) << "the store has no ID for it yet";
  MapiPtr<IMAPIFolder> folder = AdminFolder("Inbox/Props");
  const ULONG id = CreateNamedId(folder.get(), *entry.propset, nullptr, static_cast<LONG>(entry.lid));
  ASSERT_NE(id, 0u);
  EXPECT_EQ(Resolve("PidLidWhere", 0, &tag), 0u);
  EXPECT_EQ(tag, PROP_TAG(entry.type, PROP_ID(id)));
}

TEST_F(ZuvCachePropNamesTest, PublicStringsAreCreatedOnlyOnRequestAndNeedAType) {
  ULONG tag = 0;
  EXPECT_NE(Resolve("X-Ticket", PT_LONG, &tag), 0u);
  EXPECT_EQ(Resolve("X-Ticket", PT_LONG, &tag, true), 0u);
  const ULONG created = tag;
  EXPECT_EQ(PROP_TYPE(created), PT_LONG);
  tag = 0;
  EXPECT_EQ(Resolve("X-Ticket", PT_LONG, &tag), 0u) << "found without create now";
  EXPECT_EQ(tag, created);
  EXPECT_NE(Resolve("X-Ticket", 0, &tag), 0u) << "without a type a string name never resolves";

  const ULONG other = cache_->CreatePropTag(folder_id_, kMailboxStoreKey, "X-Other", PT_STRING8, true);
  EXPECT_EQ(PROP_TYPE(other), PT_STRING8);
  EXPECT_GE(PROP_ID(other), 0x8000u);
  EXPECT_NE(PROP_ID(other), PROP_ID(created));
  EXPECT_EQ(cache_->CreatePropTag("00BAD0", kMailboxStoreKey, "X-Other", PT_STRING8, true), 0u)
      << "both opens, the second with MAPI_BEST_ACCESS, fail";
  EXPECT_EQ(cache_->CreatePropTag(folder_id_, kMailboxStoreKey, "X-Never", PT_STRING8, false), 0u);
}

TEST_F(ZuvCachePropNamesTest, DescribedFolderNamesItsColumnsOnce) {
  MapiPtr<IMAPIFolder> admin_folder = AdminFolder("Inbox/Props");
  const ULONG id = CreateNamedId(admin_folder.get(), PS_PUBLIC_STRINGS, "X-Region", 0);
  ASSERT_NE(id, 0u);
  AddMessageWith("Inbox/Props", id, PT_STRING8);

  std::vector<PROP_ARRAY_ENTRY*> entries;
  ASSERT_EQ(cache_->DescribeFolder(folder_id_, kMailboxStoreKey, &entries), 0u);
  ASSERT_FALSE(entries.empty());
  const PROP_ARRAY_ENTRY* subject = nullptr;
  const PROP_ARRAY_ENTRY* region = nullptr;
  for (const PROP_ARRAY_ENTRY* e : entries) {
    EXPECT_EQ(e->type, e->tag & 0xFFFF);
    if (e->tag == PR_SUBJECT) subject = e;
    if (PROP_ID(e->tag) == PROP_ID(id)) region = e;
  }
  ASSERT_NE(subject, nullptr);
  ASSERT_NE(region, nullptr);
  std::vector<std::string> static_names;
  ASSERT_EQ(zuv::NamesFromTag(PR_SUBJECT, &static_names), 0u);
  ASSERT_EQ(subject->cNames, static_names.size());
  EXPECT_STREQ(subject->names[0], static_names[0].c_str());
  ASSERT_EQ(region->cNames, 1u);
  EXPECT_STREQ(region->names[0], "X-Region");
  EXPECT_EQ(region->resolved, 1);

  // The catalogue answers with the column's own type, whatever was asked.
  ULONG tag = 0;
  EXPECT_EQ(Resolve("X-Region", 0, &tag), 0u);
  EXPECT_EQ(tag, region->tag);

  std::vector<PROP_ARRAY_ENTRY*> again;
  ASSERT_EQ(cache_->DescribeFolder(folder_id_, kMailboxStoreKey, &again), 0u);
  EXPECT_EQ(again, entries) << "the first snapshot stands";
}

TEST_F(ZuvCachePropNamesTest, ConcurrentLookupsAndRegistrationsAgree) {
  MapiPtr<IMAPIFolder> admin_folder = AdminFolder("Inbox/Props");
  const ULONG id = CreateNamedId(admin_folder.get(), PS_PUBLIC_STRINGS, "X-Region", 0);
  AddMessageWith("Inbox/Props", id, PT_STRING8);
  constexpr int kThreads = 8;
  std::vector<ULONG> region(kThreads, 0), custom(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      // Every thread may describe the folder; one snapshot must win.
      EXPECT_EQ(Resolve("X-Region", 0, &region[i]), 0u);
      std::string err;
      EXPECT_EQ(cache_->SetCustomProperties(&context_, folder_id_, kMailboxStoreKey, {{"Shared", PT_LONG, 0}}, &err,
                                            true),
                0u)
          << err;
      EXPECT_EQ(ZUV_Cache::LookupCustomProperty(folder_id_, kMailboxStoreKey, "Shared", &custom[i]), 0u);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 1; i < kThreads; ++i) {
    EXPECT_EQ(region[i], region[0]);
    EXPECT_EQ(custom[i], custom[0]);
  }
  EXPECT_EQ(PROP_ID(region[0]), PROP_ID(id));
}

TEST_F(ZuvCachePropNamesTest, FolderWhoseLastColumnIsNumericIsNeverDescribed) {
  MapiPtr<IMAPIFolder> admin_folder = AdminFolder("Inbox/Numbered");
  const ULONG numeric = CreateNamedId(admin_folder.get(), kCustomSet, nullptr, 0x77);
  ASSERT_NE(numeric, 0u);
  AddMessageWith("Inbox/Numbered", numeric, PT_LONG);

  std::vector<PROP_ARRAY_ENTRY*> entries;
  EXPECT_EQ(cache_->DescribeFolder(numbered_id_, kMailboxStoreKey, &entries), 1u);
  EXPECT_TRUE(entries.empty());
  // Lookups past the caches now end at the catalogue, even for a name the
  // store would know.
  ULONG tag = 0;
  EXPECT_EQ(Resolve("X-Ticket", PT_LONG, &tag, true, folder_id_), 0u);
  EXPECT_NE(Resolve("X-Ticket", PT_LONG, &tag, false, numbered_id_), 0u);
  EXPECT_EQ(Resolve("PR_SUBJECT", 0, &tag, false, numbered_id_), 0u);

  std::unique_ptr<CMAPIFolder> folder =
      cache_->Session()->OpenFolderByEntryID(numbered_id_.c_str(), kMailboxStoreKey, 0);
  ASSERT_TRUE(folder);
  MapiBuffer<BYTE> chain;
  ASSERT_EQ(MAPIAllocateBuffer(8, reinterpret_cast<void**>(chain.put())), S_OK);
  void* parent = chain.get();
  std::vector<LPSTR> names;
  EXPECT_EQ(ZUV_Cache::StringsFromPropTag(folder.get(), PROP_TAG(PT_LONG, PROP_ID(numeric)), nullptr, parent, &names),
            1);
  EXPECT_TRUE(names.empty());
  EXPECT_NE(ZUV_Cache::StringsFromPropTag(folder.get(), PROP_TAG(PT_LONG, 0xFFF0), nullptr, parent, &names), 0);
  EXPECT_TRUE(names.empty()) << "an ID without a name adds nothing";
}

}  // namespace
