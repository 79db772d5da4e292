// Tests of a failing directory (wrong password, server stopped, server hung)
// and of many threads looking up at once.
#include <gtest/gtest.h>
#include <ldap.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "directory/ad_services.h"
#include "directory_fixture.h"

namespace zuv_test {
namespace {

using namespace zuv;

std::string BulkMail(int n) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "bulkuser%05d@example.com", n);
  return buf;
}

// One e-mail lookup of a generated user; true when it found the right one.
bool LookUpBulkUser(int n) {
  char name[256], server[1024], legacy[1024];
  if (QueryUserInfoByEmail(BulkMail(n).c_str(), name, sizeof(name), server, sizeof(server), legacy,
                           sizeof(legacy)) != 0) {
    return false;
  }
  return BulkMail(n).rfind(name, 0) == 0 && std::string(server) == (n % 2 ? kExch2DN : kExch1DN);
}

class DirectoryFailureTest : public DirectoryTest {
 protected:
  void TearDown() override {
    Directory().Resume();
    Directory().StartServer();
    Directory().ConfigureService();
  }
};

TEST_F(DirectoryFailureTest, WrongPasswordFailsEveryLookupWithItsBindLine) {
  std::string err;
  ASSERT_EQ(ConfigureDirectory(Directory().uri(), kServiceDN, "wrong", TestTimeouts(), &err), 0u);

  ADNameBuf_s cn{"cn", ""};
  int32_t result = ADQuery("(cn=Alice Smith)", false, {&cn});
  EXPECT_LT(result, 0);
  EXPECT_EQ(LdapErrorOfADResult(result), LDAP_INVALID_CREDENTIALS);
  EXPECT_TRUE(Logged(
      "Error|Could not execute query for (cn=Alice Smith). Could not bind to LDAP://rootDSE.\n"));

  char name[64], server[64], legacy[64];
  EXPECT_EQ(QueryUserInfoByEmail("alice@example.com", name, 64, server, 64, legacy, 64), 1);
  EXPECT_EQ(QueryUserInfoByCN("Alice Smith", name, 64, server, 64, legacy, 64, ""), 1);
  EXPECT_TRUE(Logged(
      "Error|Could not execute query for (cn=Alice Smith). Could not bind to LDAP://rootDSE.\n"));
  EXPECT_LT(GetDNValue(kExch1DN, "cn", name, sizeof(name)), 0);
  EXPECT_TRUE(Logged(std::string("Error|GetDNValue() for ") + kExch1DN +
                     ". Could not bind to LDAP://rootDSE\n"));

  std::vector<ZUV_UserInfo> users;
  EXPECT_LT(GetMailboxes("conn-1", &users), 0);
  EXPECT_TRUE(users.empty());
  EXPECT_TRUE(Logged(
      "Error|conn-1:Could not execute query for (&(!userAccountControl:1.2.840.113556.1.4.803:=2) "
      "(mailNickname=*)(objectClass=user) ). Could not bind to LDAP://rootDSE.\n"));
  std::vector<std::string> servers;
  EXPECT_LT(GetExchangeServers(&servers, ""), 0);
  EXPECT_TRUE(servers.empty());
  EXPECT_TRUE(Logged("Error|Could not execute query. Could not bind to LDAP://rootDSE.\n"));
  EXPECT_TRUE(Logged("Invalid credentials (49)"));

  Directory().ConfigureService();
  EXPECT_TRUE(LookUpBulkUser(1));
}

TEST_F(DirectoryFailureTest, StoppedServerFailsLookupsUntilItIsBack) {
  ASSERT_TRUE(LookUpBulkUser(1));  // leaves a pooled connection behind
  ASSERT_GE(IdleDirectoryConnectionsForTest(), 1u);
  Directory().StopServer();

  EXPECT_FALSE(LookUpBulkUser(2));
  std::vector<std::string> servers;
  int32_t result = GetExchangeServers(&servers, "");
  EXPECT_LT(result, 0);
  EXPECT_EQ(LdapErrorOfADResult(result), LDAP_SERVER_DOWN);
  char value[64];
  EXPECT_LT(GetDNValue(kExch1DN, "cn", value, sizeof(value)), 0);
  EXPECT_TRUE(Logged("Error|Could not execute query. Could not bind to LDAP://rootDSE.\n"));

  Directory().StartServer();
  EXPECT_TRUE(LookUpBulkUser(3));
  EXPECT_EQ(GetExchangeServers(&servers, ""), 0);
  EXPECT_EQ(servers.size(), 2u);
}

TEST_F(DirectoryFailureTest, HungServerTimesOutInsteadOfBlocking) {
  DirectoryTimeouts quick;
  quick.connect = std::chrono::milliseconds(500);
  quick.operation = std::chrono::milliseconds(500);
  std::string err;
  ASSERT_EQ(ConfigureDirectory(Directory().uri(), kServiceDN, kServicePassword, quick, &err), 0u);
  ASSERT_TRUE(LookUpBulkUser(4));  // a pooled connection that will see no answer

  Directory().Pause();  // connections are accepted, nothing is answered
  ADNameBuf_s cn{"cn", ""};
  int32_t pooled = ADQuery("(cn=Alice Smith)", false, {&cn});
  EXPECT_EQ(LdapErrorOfADResult(pooled), LDAP_TIMEOUT);
  EXPECT_TRUE(Logged(
      "Error|Could not execute query for (cn=Alice Smith). Cannot find any matching rows\n"));
  int32_t fresh = ADQuery("(cn=Bob Jones)", false, {&cn});  // the timed-out connection was dropped
  EXPECT_EQ(LdapErrorOfADResult(fresh), LDAP_TIMEOUT);
  EXPECT_TRUE(Logged(
      "Error|Could not execute query for (cn=Bob Jones). Could not bind to LDAP://rootDSE.\n"));

  Directory().Resume();
  EXPECT_TRUE(LookUpBulkUser(5));
}

TEST_F(DirectoryFailureTest, SixteenThreadsLookUpAtOnceOnSeparateConnections) {
  constexpr int kThreads = 16;
  constexpr int kLookups = 40;
  std::atomic<int> ready{0}, wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < kLookups; ++i) {
        if (!LookUpBulkUser(1 + (t * kLookups + i) % kGeneratedUsers)) wrong.fetch_add(1);
        if (i % 10 == 0) {
          std::vector<std::string> servers;
          if (GetExchangeServers(&servers, "") != 0 || servers.size() != 2) wrong.fetch_add(1);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  // Lookups that overlapped used connections of their own.
  EXPECT_GT(IdleDirectoryConnectionsForTest(), 1u);
  EXPECT_LE(IdleDirectoryConnectionsForTest(), 16u);
  EXPECT_FALSE(Logged("Error|"));
}

}  // namespace
}  // namespace zuv_test
