// table_store_fixture.h: a private store with the service mailbox and one
// folder, logged on through the MAPI access layer, for tests of cached
// tables and of what reads them.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "mapi/mapiptr.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/profile_admin.h"
#include "mapi_access/prop_tags.h"
#include "table/zuv_table.h"

namespace zuv_test {

// Column names through the static tag table only.
class StaticNameSession : public ZUV_TableSession {
 public:
  StaticNameSession(CMapiExMod* mapi, std::string name) : mapi_(mapi), name_(std::move(name)) {}
  const std::string& TableLogName() const override { return name_; }
  CMapiExMod* TableMapi() const override { return mapi_; }
  uint32_t TableTagFromName(const std::string&, const std::string&, const std::string& name,
                            ULONG* tag) override {
    uint32_t t = 0;
    if (zuv::TagFromName(name, &t) != 0) return 1;
    *tag = t;
    return 0;
  }

 private:
  CMapiExMod* mapi_;
  std::string name_;
};

class TableStoreTest : public ::testing::Test {
 protected:
  // Builds the store: server EXCH1, mailbox svc-zuv, folder Inbox/<leaf>
  // (open in folder_ through the store's administration), fill run on it in
  // one batch, then logs on as the service would.
  void OpenStore(const std::string& leaf, const std::function<HRESULT()>& fill = nullptr) {
    char tmpl[] = "/tmp/zuv-table-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    std::string err;
    const std::string path = (dir_ / "store.db").string();
    ASSERT_EQ(zuvstore::StoreAdmin::Open(path, &admin_, &err), S_OK) << err;
    ASSERT_EQ(admin_->AddServer("EXCH1", false, &err), S_OK) << err;
    zuvstore::MailboxSpec spec{"svc-zuv", "svc-zuv", {"svc-zuv@example.org"}, "/o=Example/cn=svc-zuv",
                               "EXCH1", true};
    ASSERT_EQ(admin_->AddMailbox(spec, &store_id_, &err), S_OK) << err;
    folder_path_ = "Inbox/" + leaf;
    ASSERT_EQ(admin_->CreateFolderPath("svc-zuv", false, folder_path_, "IPF.Note", &folder_id_, &err), S_OK)
        << err;
    ASSERT_EQ(admin_->OpenFolder("svc-zuv", false, folder_path_, folder_.put(), &err), S_OK) << err;
    if (fill) {
      ASSERT_EQ(admin_->Batch(fill, &err), S_OK) << err;
    }
    zuvstore::SetStorePath(path);
    ASSERT_TRUE(CMapiExMod::Init(true, true));
    ASSERT_EQ(zuv::CreateProfile("p-test"), S_OK);
    ASSERT_EQ(zuv::AddMailboxToProfile(0, "EXCH1", "svc-zuv", "p-test"), S_OK);
    mapi_ = std::make_unique<CMapiExMod>("test");
    ASSERT_TRUE(mapi_->Login("test", "p-test", true));
    session_ = std::make_unique<StaticNameSession>(mapi_.get(), "T:" + leaf);
  }

  void TearDown() override {
    folder_.reset();
    session_.reset();
    mapi_.reset();
    CMapiExMod::Term();
    admin_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::filesystem::path dir_;
  std::unique_ptr<zuvstore::StoreAdmin> admin_;
  std::string store_id_, folder_id_, folder_path_;
  MapiPtr<IMAPIFolder> folder_;
  std::unique_ptr<CMapiExMod> mapi_;
  std::unique_ptr<StaticNameSession> session_;
};

}  // namespace zuv_test
