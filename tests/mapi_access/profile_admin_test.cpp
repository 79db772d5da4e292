// Tests of profile administration against the store's profiles: existence
// checks, creation, and adding the Exchange service with and without
// IMsgServiceAdmin2.
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/profile_admin.h"

namespace zuv {
namespace {

namespace fs = std::filesystem;

class ProfileAdminTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv-profile-XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::string err, id;
    ASSERT_EQ(zuvstore::StoreAdmin::Open((dir_ / "store.db").string(), &admin_, &err), S_OK) << err;
    ASSERT_EQ(admin_->AddServer("EXCH1", false, &err), S_OK) << err;
    zuvstore::MailboxSpec spec{"svc-zuv", "ZUV Service", {"svc-zuv@example.org"}, "/o=Example/cn=svc-zuv", "EXCH1"};
    ASSERT_EQ(admin_->AddMailbox(spec, &id, &err), S_OK) << err;
    zuvstore::SetStorePath((dir_ / "store.db").string());
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
  }
  void TearDown() override {
    MAPIUninitialize();
    admin_.reset();
    fs::remove_all(dir_);
  }

  MapiPtr<IMsgServiceAdmin> Services(const char* profile) {
    MapiPtr<IProfAdmin> prof;
    MapiPtr<IMsgServiceAdmin> admin;
    EXPECT_EQ(MAPIAdminProfiles(0, prof.put()), S_OK);
    EXPECT_EQ(prof->AdminServices(const_cast<char*>(profile), nullptr, 0, 0, admin.put()), S_OK);
    return admin;
  }

  // Per service of profile: its name and whether its section has a marker.
  std::vector<std::pair<std::string, bool>> ServiceMarkers(const char* profile) {
    MapiPtr<IMsgServiceAdmin> admin = Services(profile);
    MapiPtr<IMAPITable> table;
    EXPECT_EQ(admin->GetMsgServiceTable(0, table.put()), S_OK);
    auto cols = MakePropTags(PR_SERVICE_UID, PR_SERVICE_NAME_A);
    MapiRows rows;
    EXPECT_EQ(HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put()), S_OK);
    std::vector<std::pair<std::string, bool>> out;
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue* v = rows->aRow[i].lpProps;
      MapiPtr<IProfSect> section;
      EXPECT_EQ(admin->OpenProfileSection(reinterpret_cast<LPMAPIUID>(v[0].Value.bin.lpb), nullptr, 0, section.put()),
                S_OK);
      auto tags = MakePropTags(kProviderMarkerTag);
      ULONG n = 0;
      MapiBuffer<SPropValue> marker;
      section->GetProps(tags.get(), 0, &n, marker.put());
      out.emplace_back(v[1].Value.lpszA, marker && marker->ulPropTag == kProviderMarkerTag);
    }
    return out;
  }

  bool CanLogOn(const char* profile) {
    CMapiExMod module("test");
    return module.Login("test", profile, true) && module.GetMailboxStore();
  }

  fs::path dir_;
  std::unique_ptr<zuvstore::StoreAdmin> admin_;
};

TEST_F(ProfileAdminTest, ExistenceIgnoresCaseAndCreationRefusesDuplicates) {
  EXPECT_EQ(ProfileExists(nullptr, "tovanixZUV"), S_OK);
  EXPECT_EQ(CreateProfile("tovanixZUV"), S_OK);
  EXPECT_EQ(ProfileExists(nullptr, "TOVANIXzuv"), MAPI_E_NO_ACCESS);
  MapiPtr<IProfAdmin> prof;
  ASSERT_EQ(MAPIAdminProfiles(0, prof.put()), S_OK);
  EXPECT_EQ(ProfileExists(prof.get(), "tovanixzuv"), MAPI_E_NO_ACCESS);
  EXPECT_EQ(ProfileExists(prof.get(), "other"), S_OK);
  EXPECT_EQ(CreateProfile("TovanixZuv"), MAPI_E_NO_ACCESS);
  EXPECT_EQ(CreateProfile(nullptr), E_INVALIDARG);
  EXPECT_EQ(ProfileExists(nullptr, nullptr), E_INVALIDARG);
}

TEST_F(ProfileAdminTest, MailboxServiceWithServiceAdmin2LogsOn) {
  ASSERT_EQ(CreateProfile("tovanixZUV"), S_OK);
  EXPECT_EQ(AddMailboxToProfile(0, "EXCH1", nullptr, "tovanixZUV"), S_OK);
  EXPECT_TRUE(ServiceMarkers("tovanixZUV").empty()) << "a null mailbox adds nothing";
  EXPECT_FALSE(CanLogOn("tovanixZUV"));
  ASSERT_EQ(AddMailboxToProfile(0, "EXCH1", "svc-zuv", "tovanixZUV"), S_OK);
  EXPECT_TRUE(CanLogOn("tovanixZUV"));
  EXPECT_EQ(AddServiceToProfile(nullptr, 0, 0, 0, nullptr, "tovanixZUV"), E_INVALIDARG);
  EXPECT_EQ(AddServiceToProfile("MSEMS", 0, 0, 0, nullptr, "nosuch"), MAPI_E_NOT_FOUND);
}

TEST_F(ProfileAdminTest, MarkerPathFindsTheNewServiceAndLeavesNoMarker) {
  std::string err;
  ASSERT_EQ(admin_->SetSetting("service_admin2", "0", &err), S_OK) << err;
  ASSERT_EQ(CreateProfile("tovanixZUV"), S_OK);
  {
    MapiPtr<IMsgServiceAdmin> admin = Services("tovanixZUV");
    MapiPtr<IMsgServiceAdmin2> admin2;
    EXPECT_EQ(admin->QueryInterface(IID_IMsgServiceAdmin2, admin2.put_void()), E_NOINTERFACE);
  }
  // Two services exist before the mailbox service.
  ASSERT_EQ(AddServiceToProfile("MSPST", 0, 0, 0, nullptr, "tovanixZUV"), S_OK);
  ASSERT_EQ(AddServiceToProfile("CONTAB", 0, 0, 0, nullptr, "tovanixZUV"), S_OK);
  ASSERT_EQ(AddMailboxToProfile(0, "EXCH1", "svc-zuv", "tovanixZUV"), S_OK);

  auto services = ServiceMarkers("tovanixZUV");
  ASSERT_EQ(services.size(), 3u);
  for (auto& [name, marked] : services) EXPECT_FALSE(marked) << name;
  EXPECT_TRUE(CanLogOn("tovanixZUV")) << "the MSEMS service got the server and mailbox";
}

TEST_F(ProfileAdminTest, CheckStringPropRejectsWhatCannotBeUsed) {
  SPropValue v{};
  EXPECT_FALSE(CheckStringProp(nullptr, PT_STRING8));
  v.ulPropTag = PROP_TAG(PT_ERROR, 0x1000);
  v.Value.err = MAPI_E_NOT_FOUND;
  EXPECT_FALSE(CheckStringProp(&v, PT_STRING8));
  v.ulPropTag = PR_DISPLAY_NAME_A;
  v.Value.lpszA = nullptr;
  EXPECT_FALSE(CheckStringProp(&v, PT_STRING8));
  v.Value.lpszA = const_cast<char*>("");
  EXPECT_FALSE(CheckStringProp(&v, PT_STRING8));
  v.Value.lpszA = const_cast<char*>("name");
  EXPECT_TRUE(CheckStringProp(&v, PT_STRING8));
  EXPECT_FALSE(CheckStringProp(&v, PT_UNICODE)) << "another string type";
  EXPECT_FALSE(CheckStringProp(&v, PT_LONG)) << "not a string type";
  char16_t empty[1] = {0};
  v.ulPropTag = PR_DISPLAY_NAME_W;
  v.Value.lpszW = empty;
  EXPECT_FALSE(CheckStringProp(&v, PT_UNICODE));
}

}  // namespace
}  // namespace zuv
