// Tests of ZUV_Cache: the service instance, its logon variants, failures and
// retries, concurrent hand-out and the start-up check, against the real
// store on a private database.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/logging.h"
#include "base/registry_file.h"
#include "base/settings.h"
#include "base/wire.h"
#include "cache/zuv_cache.h"
#include "directory/ad_services.h"
#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/profile_admin.h"

namespace {

namespace fs = std::filesystem;

class ZuvCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv-cache-XXXXXX";
    dir_ = mkdtemp(tmpl);
    // Every line, message only, into a file the test reads back.
    const fs::path config = dir_ / "log.xml";
    std::ofstream(config) << R"(<nlog xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <targets><target name="f" xsi:type="File" fileName="${basedir}/test.log" layout="${message}"/></targets>
  <rules><logger name="*" minlevel="Trace" writeTo="f"/></rules>
</nlog>)";
    std::string err;
    ASSERT_EQ(zuv::ConfigureLoggingFromFile(config.string(), dir_.string(), &err), 0u) << err;
    // A directory that refuses at once: lookups fail fast and are only logged.
    ASSERT_EQ(zuv::ConfigureDirectory("ldap://127.0.0.1:1", "", "", zuv::DirectoryTimeouts{}, &err), 0u) << err;

    ASSERT_EQ(zuvstore::StoreAdmin::Open((dir_ / "store.db").string(), &admin_, &err), S_OK) << err;
    ASSERT_EQ(admin_->AddServer("EXCH1", false, &err), S_OK) << err;
    AddMailbox("svc-zuv");
    zuvstore::SetStorePath((dir_ / "store.db").string());
    ASSERT_TRUE(CMapiExMod::Init(true, true));
    UseSettings("svc-zuv", "EXCH1", "", "");
  }

  void TearDown() override {
    ZUV_Cache::ResetServiceInstanceForTest();
    ZUV_Cache::SetSettings(nullptr);
    CMapiExMod::Term();
    admin_.reset();
    zuv::ResetLoggingForTest();
    fs::remove_all(dir_);
  }

  void UseSettings(const std::string& alias, const std::string& server, const std::string& cas,
                   const std::string& profile) {
    std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\n";
    for (auto [name, value] : {std::pair{"ExAlias", alias}, {"ExServer", server}, {"CAS", cas}, {"ExProfile", profile}}) {
      if (!value.empty()) text += "\"" + std::string(name) + "\"=\"" + value + "\"\n";
    }
    std::string err;
    ASSERT_EQ(registry_.Parse(text, &err), 0u) << err;
    settings_ = std::make_unique<zuv::ServiceSettings>(registry_, dir_.string());
    ZUV_Cache::SetSettings(settings_.get());
  }

  void AddMailbox(const std::string& alias, const std::string& server = "EXCH1") {
    zuvstore::MailboxSpec spec;
    spec.alias = alias;
    spec.display_name = alias;
    spec.smtp = {alias + "@example.org"};
    spec.legacy_dn = "/o=Example/ou=Users/cn=" + alias;
    spec.server = server;
    std::string err, id;
    ASSERT_EQ(admin_->AddMailbox(spec, &id, &err), S_OK) << err;
  }

  void AddServer(const std::string& name, bool cas) {
    std::string err;
    ASSERT_EQ(admin_->AddServer(name, cas, &err), S_OK) << err;
  }

  // Delivers count plain messages into the mailbox's Inbox.
  void Deliver(const std::string& alias, int count) {
    std::string err;
    IMAPIFolder* raw = nullptr;
    ASSERT_EQ(admin_->OpenFolder(alias, false, "Inbox", &raw, &err), S_OK) << err;
    MapiPtr<IMAPIFolder> inbox(raw);
    for (int i = 0; i < count; ++i) {
      MapiPtr<IMessage> message;
      ASSERT_EQ(inbox->CreateMessage(nullptr, 0, message.put()), S_OK);
      SPropValue subject{};
      subject.ulPropTag = PR_SUBJECT_A;
      std::string text = "message " + std::to_string(i);
      subject.Value.lpszA = text.data();
      ASSERT_EQ(message->SetProps(1, &subject, nullptr), S_OK);
      ASSERT_EQ(message->SaveChanges(0), S_OK);
    }
  }

  static ZUV_Cache* Get(const char* connection, uint32_t* result) {
    zuv::ConnectionContext context;
    std::snprintf(context.name, sizeof(context.name), "%s", connection);
    zuv::ServerInfo info;
    ZUV_Cache* cache = reinterpret_cast<ZUV_Cache*>(1);
    *result = ZUV_Cache::GetInstance(&context, &info, &cache);
    return cache;
  }

  std::string Log() {
    zuv::FlushLogs();
    std::ifstream in(dir_ / "test.log");
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  bool Logged(const std::string& line) { return Log().find(line + "\n") != std::string::npos; }
  int Count(const std::string& text) {
    std::string log = Log();
    int n = 0;
    for (size_t p = log.find(text); p != std::string::npos; p = log.find(text, p + 1)) ++n;
    return n;
  }

  fs::path dir_;
  std::unique_ptr<zuvstore::StoreAdmin> admin_;
  zuv::RegistryFile registry_;
  std::unique_ptr<zuv::ServiceSettings> settings_;
};

TEST(ZuvCacheKeyTest, InstanceKeyRotatesAndAddsSignedBytes) {
  EXPECT_EQ(ZUV_Cache::InstanceKey(""), 0);
  EXPECT_EQ(ZUV_Cache::InstanceKey("A"), 65);
  EXPECT_EQ(ZUV_Cache::InstanceKey("AB"), 16706);
  // The fifth byte wraps the top byte round: rotl8(0x41424344) + 'E'.
  EXPECT_EQ(ZUV_Cache::InstanceKey("ABCDE"), 0x42434486);
  EXPECT_EQ(ZUV_Cache::InstanceKey("\x80"), -128);
  EXPECT_EQ(ZUV_Cache::InstanceKey("\xFF\x01"), 0) << "-1 rotated is -1; adding 1 gives 0";
}

TEST_F(ZuvCacheTest, FirstHandOutCreatesTheDefaultProfileAndLaterOnesReuseTheInstance) {
  uint32_t result = 1;
  ZUV_Cache* cache = Get("C1", &result);
  ASSERT_EQ(result, 0u) << Log();
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(cache->Name(), "C1:svc-zuv");
  EXPECT_EQ(cache->Profile(), kDefaultProfileName);
  EXPECT_TRUE(cache->ProfileCreated());
  EXPECT_TRUE(cache->IsService());
  EXPECT_EQ(cache->HandOutCount(), 2) << "one count at creation, one for the hand-out";
  EXPECT_EQ(cache->Session()->ExServer(), "EXCH1");

  for (const char* line : {"Creating service instance",
                           "C1:svc-zuv:Creating service ZUV_Cache with account (svc-zuv, EXCH1)",
                           "C1:svc-zuv:Using dynamic profile  to create service ZUV_Cache",
                           "C1:svc-zuv:Using configured Server EXCH1 to create service ZUV_Cache",
                           "Using credentials (svc-zuv,EXCH1) and has using ",
                           "C1:svc-zuv: Checking whether profile tovanixZUV already exists or not",
                           "C1:svc-zuv:Creating dynamic profile tovanixZUV with (EXCH1, svc-zuv) for service ZUV_Cache",
                           "C1:svc-zuv:Successfully created dynamic profile tovanixZUV with (EXCH1, svc-zuv)",
                           "C1:svc-zuv:Successfully added mailbox svc-zuv to dynamic profile tovanixZUV",
                           "C1:svc-zuv:Successfully created service ZUV_Cache for tovanixZUV(svc-zuv,EXCH1) and "
                           "stored as 0"}) {
    EXPECT_TRUE(Logged(line)) << line << "\n" << Log();
  }
  EXPECT_EQ(Count(":successfully opened store"), 2) << "mailbox and public folder store";
  EXPECT_EQ(zuv::ProfileExists(nullptr, kDefaultProfileName), MAPI_E_NO_ACCESS) << "the profile stays";

  EXPECT_EQ(Get("C2", &result), cache);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(cache->HandOutCount(), 3);
  ZUV_Cache::ReleaseInstance(cache);
  EXPECT_EQ(cache->HandOutCount(), 3) << "release changes nothing";
  EXPECT_EQ(Count("Creating service instance"), 1);
}

TEST_F(ZuvCacheTest, ConfiguredProfileIsUsedWhenPresentAndReplacedByTheDefaultWhenMissing) {
  UseSettings("svc-zuv", "EXCH1", "", "Missing");
  uint32_t result = 1;
  ZUV_Cache* cache = Get("C1", &result);
  ASSERT_EQ(result, 0u) << Log();
  EXPECT_EQ(cache->Profile(), kDefaultProfileName);
  EXPECT_TRUE(Logged("C1:svc-zuv:Using configured profile Missing to create service ZUV_Cache"));
  EXPECT_TRUE(Logged("C1:svc-zuv: Checking whether profile Missing already exists or not"));
  EXPECT_EQ(zuv::ProfileExists(nullptr, "Missing"), S_OK) << "the missing profile is not created";

  ZUV_Cache::ResetServiceInstanceForTest();
  ASSERT_EQ(zuv::CreateProfile("Ops"), S_OK);
  ASSERT_EQ(zuv::AddMailboxToProfile(0, "EXCH1", "svc-zuv", "Ops"), S_OK);
  UseSettings("svc-zuv", "EXCH1", "", "Ops");
  cache = Get("C2", &result);
  ASSERT_EQ(result, 0u) << Log();
  EXPECT_EQ(cache->Profile(), "Ops");
  EXPECT_FALSE(cache->ProfileCreated());
  EXPECT_TRUE(Logged("C2:svc-zuv: Profile Ops exists. Do not need to create one\n"));
}

TEST_F(ZuvCacheTest, CasReplacesTheConfiguredServerOfANewProfile) {
  AddServer("cas01", true);
  UseSettings("svc-zuv", "EXCH9", "cas01", "");  // the store does not know EXCH9
  uint32_t result = 1;
  ZUV_Cache* cache = Get("C1", &result);
  ASSERT_EQ(result, 0u) << Log();
  EXPECT_EQ(cache->Server(), "cas01");
  EXPECT_EQ(cache->Session()->ExServer(), "EXCH9") << "secondary mailboxes fall back to ExServer";
  EXPECT_TRUE(Logged("C1:svc-zuv:Using CAS Server cas01 to create service ZUV_Cache"));
  EXPECT_TRUE(Logged("C1:svc-zuv:Creating dynamic profile tovanixZUV with (cas01, svc-zuv) for service ZUV_Cache"));
}

TEST_F(ZuvCacheTest, FailedLogonLeavesNoInstanceAndTheNextHandOutTriesAgain) {
  // Unknown server: the profile made by the failed attempt is found and
  // reused once the server exists.
  UseSettings("svc-zuv", "EXCH9", "", "");
  uint32_t result = 0;
  EXPECT_EQ(Get("C1", &result), nullptr);
  EXPECT_EQ(result, 1u);
  EXPECT_TRUE(Logged("C1:svc-zuv:Error logging on with profile tovanixZUV"));
  EXPECT_TRUE(Logged("C1:svc-zuv:Error creating service ZUV_Cache for tovanixZUV(svc-zuv,EXCH9)"));
  AddServer("EXCH9", false);
  ZUV_Cache* cache = Get("C2", &result);
  ASSERT_EQ(result, 0u) << Log();
  EXPECT_FALSE(cache->ProfileCreated());
  EXPECT_EQ(Count("Creating service instance"), 2);

  // Unknown mailbox, under a profile of its own: fails until it exists.
  ZUV_Cache::ResetServiceInstanceForTest();
  UseSettings("nobody", "EXCH1", "", "Nobody");
  ASSERT_EQ(zuv::CreateProfile("Nobody"), S_OK);
  ASSERT_EQ(zuv::AddMailboxToProfile(0, "EXCH1", "nobody", "Nobody"), S_OK);
  EXPECT_EQ(Get("C3", &result), nullptr);
  EXPECT_NE(Log().find("mailbox nobody does not resolve"), std::string::npos) << Log();
  AddMailbox("nobody");
  EXPECT_NE(Get("C4", &result), nullptr);

  // A profile without a mailbox service cannot log on at all.
  ZUV_Cache::ResetServiceInstanceForTest();
  ASSERT_EQ(zuv::CreateProfile("Bare"), S_OK);
  UseSettings("svc-zuv", "EXCH1", "", "Bare");
  EXPECT_EQ(Get("C5", &result), nullptr);
  EXPECT_TRUE(Logged("C5:svc-zuv:Error creating service ZUV_Cache for Bare(svc-zuv,EXCH1)"));
}

TEST_F(ZuvCacheTest, ConcurrentHandOutsCreateOneInstance) {
  constexpr int kThreads = 16;
  std::atomic<int> ready{0};
  std::vector<ZUV_Cache*> got(kThreads, nullptr);
  std::vector<uint32_t> results(kThreads, 9);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      got[i] = Get(("T" + std::to_string(i)).c_str(), &results[i]);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(results[i], 0u);
    EXPECT_EQ(got[i], got[0]);
  }
  ASSERT_NE(got[0], nullptr);
  EXPECT_EQ(Count("Creating service instance"), 1);
  EXPECT_EQ(got[0]->HandOutCount(), kThreads + 1);
}

TEST_F(ZuvCacheTest, PlainLogonKeepsItsProfileAndTreatsNullAsEmpty) {
  {
    // A named profile is created as named: only the service instance falls
    // back to the default.
    ZUV_Cache cache("C1", "svc-zuv");
    EXPECT_TRUE(cache.Logon(0, "svc-zuv", "EXCH1", "Other", false)) << Log();
    EXPECT_EQ(cache.Profile(), "Other");
    EXPECT_FALSE(cache.IsService());
    EXPECT_TRUE(Logged("C1:svc-zuv:Creating dynamic profile Other with (EXCH1, svc-zuv)"));
    EXPECT_EQ(Count(":successfully opened store"), 1) << "no public folder store";
  }
  ZUV_Cache cache("C2", "null");
  EXPECT_EQ(cache.Name(), "C2:null");
  EXPECT_FALSE(cache.Logon(0, "null", "null", "null", false));
  EXPECT_EQ(cache.Account(), "");
  EXPECT_EQ(cache.Server(), "");
  EXPECT_EQ(cache.Profile(), kDefaultProfileName);
  EXPECT_TRUE(Logged("C2:null:Creating dynamic profile tovanixZUV with (, )"));
}

TEST_F(ZuvCacheTest, VerifyServiceProfileReadsTheInboxMessageCount) {
  Deliver("svc-zuv", 3);
  EXPECT_EQ(ZUV_Cache::VerifyServiceProfile(), 0u) << Log();
  EXPECT_TRUE(Logged("Verifying service profile ..."));
  EXPECT_TRUE(Logged("SVCPROFILE:svc-zuv:Verifying whether the service profile  works or not ...."));
  EXPECT_TRUE(Logged("SVCPROFILE:svc-zuv:Message Count for Service account Inbox is 3"));
}

TEST_F(ZuvCacheTest, VerifyServiceProfileFailsWithoutTheServiceMailbox) {
  UseSettings("nobody", "EXCH1", "", "Prof");
  EXPECT_EQ(ZUV_Cache::VerifyServiceProfile(), 1u);
  EXPECT_TRUE(Logged("SVCPROFILE:nobody:Cannot get the service ZUV_Cache for profile Prof"));
}

}  // namespace
