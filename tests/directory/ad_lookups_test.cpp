// Tests of the directory lookups against the fixture's sample organisation
// (deploy/ldap/sample-users.ldif) and its 2,500 generated users.
#include <gtest/gtest.h>
#include <ldap.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "directory/ad_services.h"
#include "directory_fixture.h"

namespace zuv_test {
namespace {

using namespace zuv;

std::string Legacy(const std::string& nick) { return kLegacyPrefix + nick; }
std::string Database(int n) { return "CN=DB" + std::to_string(n) + "," + kDatabases; }

// The three outputs of a user lookup, pre-filled to show what was written.
struct UserOut {
  char name[1024] = "untouched";
  char server[1024] = "untouched";
  char legacy[1024] = "untouched";
};

int32_t ByEmail(const char* email, UserOut* out) {
  return QueryUserInfoByEmail(email, out->name, sizeof(out->name), out->server, sizeof(out->server),
                              out->legacy, sizeof(out->legacy));
}

int32_t ByCN(const char* cn, UserOut* out) {
  return QueryUserInfoByCN(cn, out->name, sizeof(out->name), out->server, sizeof(out->server),
                           out->legacy, sizeof(out->legacy), "ignored-domain-server");
}

class DirectoryLookupTest : public DirectoryTest {};

TEST_F(DirectoryLookupTest, EmailLookupMatchesAnyProxyAddressBySubstring) {
  for (const char* email : {"alice@example.com", "a.smith@example.com", "ALICE@EXAMPLE.COM",
                            "cn=alice.old", "Admin Group (EXAMPLE1)/cn=Recipients/cn=alice.old"}) {
    UserOut out;
    ASSERT_EQ(ByEmail(email, &out), 0) << email;
    EXPECT_STREQ(out.name, "Alice Smith") << email;
    EXPECT_STREQ(out.server, kExch1DN) << email;
    EXPECT_EQ(out.legacy, Legacy("alice")) << email;
  }
  EXPECT_TRUE(Logged("Trace|QueryUserInfoByEmail for alice@example.com\n"));
  // Parentheses in the address are escaped in the filter, not parsed.
  EXPECT_TRUE(Logged("(proxyAddresses=*Admin Group \\28EXAMPLE1\\29/cn=Recipients/cn=alice.old*)"));
}

TEST_F(DirectoryLookupTest, EmailLookupMissesLeaveTheOutputsUntouched) {
  // Unknown; no homeMDB; no legacyExchangeDN; an asterisk that must not act as a wildcard.
  for (const char* email : {"nobody@example.com", "erin@example.com", "grace@example.com",
                            "alice*example.com", ")(cn=*"}) {
    UserOut out;
    EXPECT_EQ(ByEmail(email, &out), 1) << email;
    EXPECT_STREQ(out.name, "untouched");
    EXPECT_STREQ(out.server, "untouched");
    EXPECT_STREQ(out.legacy, "untouched");
  }
  // Without msExchHomeServerName the user is still found.
  UserOut frank;
  EXPECT_EQ(ByEmail("frank@example.com", &frank), 0);
  EXPECT_STREQ(frank.server, kExch2DN);
  EXPECT_FALSE(Logged("Error|"));
}

TEST_F(DirectoryLookupTest, EmptyAddressOrNameIsNotFoundWithoutAnySearch) {
  // A directory that cannot be reached shows whether a search was tried.
  std::string err;
  ASSERT_EQ(
      ConfigureDirectory("ldap://127.0.0.1:1", kServiceDN, kServicePassword, TestTimeouts(), &err),
      0u);
  UserOut out;
  EXPECT_EQ(ByEmail("", &out), 1);
  EXPECT_EQ(ByCN("", &out), 1);
  EXPECT_STREQ(out.name, "untouched");
  EXPECT_FALSE(Logged("Could not"));
  Directory().ConfigureService();
}

TEST_F(DirectoryLookupTest, CommonNameLookupMatchesWholeNamesWithPunctuationAndAccents) {
  struct Case {
    const char* cn;
    const char* name;
    const char* server;
    const char* nick;
  };
  for (const Case& c : {Case{"Alice Smith", "Alice Smith", kExch1DN, "alice"},
                        Case{"alice smith", "Alice Smith", kExch1DN, "alice"},
                        Case{"Jones, Kim", "Jones, Kim", kExch2DN, "kim"},
                        Case{"Oscar (Ops) *Star", "Oscar (Ops) *Star", kExch2DN, "oscar"},
                        Case{"ZOË ÅNGSTRÖM", "Zoë Ångström", kExch2DN, "zoe"}}) {
    UserOut out;
    ASSERT_EQ(ByCN(c.cn, &out), 0) << c.cn;
    EXPECT_STREQ(out.name, c.name);
    EXPECT_STREQ(out.server, c.server);
    EXPECT_EQ(out.legacy, Legacy(c.nick));
  }
  EXPECT_TRUE(
      Logged("Trace|For ldap_filter (cn=Oscar \\28Ops\\29 \\2aStar), homeMDB=" + Database(2) +
             ", userDN=" + Legacy("oscar") +
             ", userName=Oscar (Ops) *Star, "
             "msExchHomeServerName=/o=Example Org/ou=Admin Group (EXAMPLE1)/cn=Configuration/"
             "cn=Servers/cn=EXCH2\n"));
  // A literal asterisk; a server (configuration context, not searched); nobody.
  for (const char* cn : {"Oscar*", "EXCH1", "Nobody Here"}) {
    UserOut out;
    EXPECT_EQ(ByCN(cn, &out), 1) << cn;
    EXPECT_STREQ(out.name, "untouched");
  }
}

TEST_F(DirectoryLookupTest, OutputsAreCutToTheCallersBuffers) {
  char name[4], server[9], legacy[2];
  ASSERT_EQ(QueryUserInfoByCN("Zoë Ångström", name, sizeof(name), server, sizeof(server), legacy,
                              sizeof(legacy), ""),
            0);
  EXPECT_STREQ(name, "Zo");  // "Zo" plus half of "ë" would not be UTF-8
  EXPECT_STREQ(server, "CN=EXCH2");
  EXPECT_STREQ(legacy, "/");
}

TEST_F(DirectoryLookupTest, GetDNValueReadsOneAttributeOfAnObject) {
  char value[1024] = "untouched";
  ASSERT_EQ(GetDNValue(Database(1).c_str(), "msExchOwningServer", value, sizeof(value)), 0);
  EXPECT_STREQ(value, kExch1DN);
  EXPECT_TRUE(
      Logged("Trace|GetDNValue() for DN " + Database(1) + ", property name msExchOwningServer\n"));
  EXPECT_TRUE(Logged("Trace|GetDNValue() for " + Database(1) + ". DN is " + kExch1DN + "\n"));

  // DN matching ignores case; a container has children but only it is read.
  ASSERT_EQ(GetDNValue(
                "cn=db2,cn=databases,cn=example org,cn=services,cn=configuration,dc=example,dc=com",
                "msExchOwningServer", value, sizeof(value)),
            0);
  EXPECT_STREQ(value, kExch2DN);
  ASSERT_EQ(GetDNValue(kDatabases, "cn", value, sizeof(value)), 0);
  EXPECT_STREQ(value, "Databases");

  // DB3 has no owner: found, empty.
  ASSERT_EQ(GetDNValue(Database(3).c_str(), "msExchOwningServer", value, sizeof(value)), 0);
  EXPECT_STREQ(value, "");
}

TEST_F(DirectoryLookupTest, GetDNValueOfAMissingOrMalformedObjectFails) {
  char value[64] = "untouched";
  int32_t result = GetDNValue(Database(9).c_str(), "msExchOwningServer", value, sizeof(value));
  EXPECT_LT(result, 0);
  EXPECT_EQ(LdapErrorOfADResult(result), LDAP_NO_SUCH_OBJECT);
  EXPECT_TRUE(Logged("Error|GetDNValue() for " + Database(9) + ". Could not open object LDAP://" +
                     Database(9) + "\n"));
  EXPECT_LT(GetDNValue("not a dn", "cn", value, sizeof(value)), 0);
  EXPECT_TRUE(Logged("Error|GetDNValue() for not a dn. Could not open object LDAP://not a dn\n"));
  EXPECT_STREQ(value, "untouched");
}

TEST_F(DirectoryLookupTest, GetHomeMDBAsksTheDirectoryOncePerDatabase) {
  ClearHomeMDBCacheForTest();
  const std::string db1 = Database(1);
  char server[1024];
  ASSERT_EQ(GetHomeMDB(db1.c_str(), server, sizeof(server)), 0);
  EXPECT_STREQ(server, kExch1DN);
  ASSERT_EQ(GetHomeMDB(db1.c_str(), server, sizeof(server)), 0);
  EXPECT_STREQ(server, kExch1DN);
  EXPECT_EQ(CountLogged("Trace|GetHomeMDB() for DN " + db1 + "\n"), 1u);
  EXPECT_EQ(CountLogged("GetDNValue() for DN " + db1), 1u);
  EXPECT_TRUE(
      Logged("Trace|GetHomeMDB() for DN " + db1 + " hit found in cache:" + kExch1DN + "\n"));

  // A database without owner is not cached, so each call asks again.
  const std::string db3 = Database(3);
  ASSERT_EQ(GetHomeMDB(db3.c_str(), server, sizeof(server)), 0);
  ASSERT_EQ(GetHomeMDB(db3.c_str(), server, sizeof(server)), 0);
  EXPECT_STREQ(server, "");
  EXPECT_EQ(CountLogged("GetDNValue() for DN " + db3), 2u);
}

TEST_F(DirectoryLookupTest, GetMailboxesPagesPastTheSizeLimitAndSkipsIncompleteUsers) {
  ClearHomeMDBCacheForTest();
  std::vector<ZUV_UserInfo> users;
  ASSERT_EQ(GetMailboxes("conn-7", &users), 0);

  // 9 valid named users and every generated one, far past the limit of 500.
  std::set<std::string> nicks;
  for (const ZUV_UserInfo& u : users) nicks.insert(u.mail.substr(0, u.mail.find('@')));
  EXPECT_EQ(users.size(), 9u + kGeneratedUsers);
  EXPECT_EQ(nicks.size(), users.size());
  for (const char* nick : {"svc-zuv", "alice", "bob", "carol", "heidi", "kim", "zoe", "ivan",
                           "oscar", "bulkuser00001", "bulkuser02500"}) {
    EXPECT_EQ(nicks.count(nick), 1u) << nick;
  }
  for (const char* nick : {"dave", "erin", "frank", "grace"})
    EXPECT_EQ(nicks.count(nick), 0u) << nick;

  // The skip lines, with the row number of the user in the result.
  std::string log = NewLog();
  for (const char* line :
       {"Info|conn-7: Skipping mailbox CN=Erin NoMDB,CN=Users,DC=example,DC=com(",
        "Info|conn-7: Skipping mailbox CN=Grace NoLegacy,CN=Users,DC=example,DC=com(",
        "Info|conn-7: Skipping mailbox CN=Frank NoHome,CN=Users,DC=example,DC=com("}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  EXPECT_NE(log.find("Erin NoMDB,CN=Users,DC=example,DC=com(5):StoreDN cannot be retrieved\n"),
            std::string::npos);
  EXPECT_NE(
      log.find(
          "Grace NoLegacy,CN=Users,DC=example,DC=com(7):legacyExchangeDN cannot be retrieved\n"),
      std::string::npos);
  EXPECT_NE(log.find("Frank NoHome,CN=Users,DC=example,DC=com(6):UserDN cannot be retrieved\n"),
            std::string::npos);
  EXPECT_EQ(CountLogged(": Skipping mailbox "), 3u);
  EXPECT_NE(
      log.find("Trace|conn-7:User account CN=Alice Smith,CN=Users,DC=example,DC=com(2) is valid\n"),
      std::string::npos);
  // Values traced under the filter as the service writes it.
  EXPECT_NE(
      log.find("Trace|conn-7:For ldap_filter (&(!userAccountControl:1.2.840.113556.1.4.803:=2) "
               "(mailNickname=*)(objectClass=user) ), GivenName=Alice\n"),
      std::string::npos);
  // One directory lookup per database; every other user is a cache hit.
  EXPECT_EQ(CountLogged("GetDNValue() for DN "), 2u);
  EXPECT_EQ(CountLogged("hit found in cache:"), users.size() - 2);
}

TEST_F(DirectoryLookupTest, GetMailboxesFillsEveryFieldOfTheUserRecord) {
  std::vector<ZUV_UserInfo> users;
  ASSERT_EQ(GetMailboxes("c", &users), 0);
  auto find = [&](const std::string& mail) {
    return std::find_if(users.begin(), users.end(),
                        [&](const ZUV_UserInfo& u) { return u.mail == mail; });
  };
  auto alice = find("alice@example.com");
  ASSERT_NE(alice, users.end());
  EXPECT_EQ(alice->server_dn, kExch1DN);
  EXPECT_EQ(alice->legacy_dn, Legacy("alice"));
  EXPECT_EQ(alice->mailbox_dn, Legacy("alice"));
  EXPECT_EQ(alice->store_dn, "/cn=Configuration/cn=Servers/cn=alice");
  EXPECT_EQ(alice->surname, "Smith");
  EXPECT_EQ(alice->given_name, "Alice");
  EXPECT_EQ(alice->initials, "A");
  EXPECT_EQ(alice->user_dn, "CN=Alice Smith,CN=Users,DC=example,DC=com");
  EXPECT_EQ(alice->legacy_exchange_dn, Legacy("alice"));

  auto zoe = find("zoe@example.com");
  ASSERT_NE(zoe, users.end());
  EXPECT_EQ(zoe->surname, "Ångström");
  EXPECT_EQ(zoe->initials, "ZÅ");
  EXPECT_EQ(zoe->server_dn, kExch2DN);
  auto ivan = find("ivan@example.com");  // no stored distinguishedName
  ASSERT_NE(ivan, users.end());
  EXPECT_EQ(ivan->user_dn, "cn=Ivan NoName,cn=Users,dc=example,dc=com");
}

TEST_F(DirectoryLookupTest, StoreDNTakesTheLegacyDNFromItsLastEqualsSign) {
  EXPECT_EQ(StoreDNFromLegacyDN("/o=Org/ou=AG (X)/cn=Recipients/cn=bob"),
            "/cn=Configuration/cn=Servers/cn=bob");
  EXPECT_EQ(StoreDNFromLegacyDN("no equals sign"), "/cn=Configuration/cn=Servers/cn");
}

TEST_F(DirectoryLookupTest, GetExchangeServersListsAllOrTheNamedOne) {
  std::vector<std::string> servers;
  ASSERT_EQ(GetExchangeServers(&servers, ""), 0);
  EXPECT_EQ(servers, (std::vector<std::string>{"EXCH1", "EXCH2"}));
  EXPECT_TRUE(
      Logged("Info|Search Query used to get exchange server list is "
             "(objectClass=msExchExchangeServer)\n"));
  EXPECT_TRUE(Logged("Info|server extracted is EXCH2\n"));

  servers.clear();
  ASSERT_EQ(GetExchangeServers(&servers, "exch2"), 0);
  EXPECT_EQ(servers, (std::vector<std::string>{"EXCH2"}));
  EXPECT_TRUE(
      Logged("Info|Search Query used to get exchange server list is "
             "(&(objectClass=msExchExchangeServer)(cn=exch2))\n"));

  servers.clear();
  ASSERT_EQ(GetExchangeServers(&servers, "EXCH*"), 0);  // the asterisk is literal
  EXPECT_TRUE(servers.empty());
  ASSERT_EQ(GetExchangeServers(&servers, "NOSUCH"), 0);
  EXPECT_TRUE(servers.empty());
}

}  // namespace
}  // namespace zuv_test
