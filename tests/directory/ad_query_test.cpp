// Tests of the directory query engine: filter escaping, cut copies and
// ADQuery against the fixture's slapd.
#include <gtest/gtest.h>
#include <ldap.h>

#include <string>
#include <vector>

#include "directory/ad_services.h"
#include "directory_fixture.h"

namespace zuv_test {
namespace {

using namespace zuv;

TEST(DirectoryTextTest, EscapeFilterValueEscapesExactlyTheFilterMetacharacters) {
  EXPECT_EQ(EscapeFilterValue("Oscar (Ops) *Star"), "Oscar \\28Ops\\29 \\2aStar");
  EXPECT_EQ(EscapeFilterValue("a\\b"), "a\\5cb");
  EXPECT_EQ(EscapeFilterValue(std::string("a\0b", 3)), "a\\00b");
  EXPECT_EQ(EscapeFilterValue("Zoë Ångström=,+<>#;\""), "Zoë Ångström=,+<>#;\"");
  EXPECT_EQ(EscapeFilterValue(""), "");
}

TEST(DirectoryTextTest, CopyUtf8CutNeverSplitsACharacter) {
  char buf[16];
  CopyUtf8Cut("Zoë", buf, sizeof(buf));
  EXPECT_STREQ(buf, "Zoë");
  CopyUtf8Cut("Zoë", buf, 4);  // room for 3 bytes: "Zo" and half of "ë"
  EXPECT_STREQ(buf, "Zo");
  CopyUtf8Cut("Zoë", buf, 5);  // exactly fits
  EXPECT_STREQ(buf, "Zoë");
  CopyUtf8Cut("abcdef", buf, 4);
  EXPECT_STREQ(buf, "abc");
  CopyUtf8Cut("abc", buf, 1);
  EXPECT_STREQ(buf, "");
  buf[0] = 'x';
  CopyUtf8Cut("abc", buf, 0);
  EXPECT_EQ(buf[0], 'x');
  CopyUtf8Cut("\xE2\x82\xAC\xE2\x82\xAC", buf, 6);  // two 3-byte characters, room for 5 bytes
  EXPECT_STREQ(buf, "\xE2\x82\xAC");
}

TEST(DirectoryTextTest, ConfigureDirectoryRejectsANonLdapUrl) {
  std::string err;
  EXPECT_EQ(ConfigureDirectory("http://127.0.0.1/", "", "", DirectoryTimeouts{}, &err), 1u);
  EXPECT_NE(err.find("http://127.0.0.1/"), std::string::npos);
  // The fixture's configuration stays in force.
  ADNameBuf_s cn{"cn", ""};
  EXPECT_EQ(ADQuery("(cn=Alice Smith)", false, {&cn}), 0);
}

class ADQueryTest : public DirectoryTest {};

TEST_F(ADQueryTest, FirstRowValuesComeInRequestOrderAndMissingOnesAreEmpty) {
  ADNameBuf_s home_mdb{"homeMDB", "stale"}, given{"GivenName", "stale"}, initials{"Initials", "x"},
      legacy{"legacyExchangeDN", ""};
  ASSERT_EQ(ADQuery("(cn=Erin NoMDB)", false, {&home_mdb, &given, &initials, &legacy}), 0);
  EXPECT_EQ(home_mdb.value, "");  // Erin has no homeMDB
  EXPECT_EQ(given.value, "Erin");
  EXPECT_EQ(initials.value, "");
  EXPECT_EQ(legacy.value, std::string(kLegacyPrefix) + "erin");
  EXPECT_TRUE(Logged("Trace|For ldap_filter (cn=Erin NoMDB), GivenName=Erin\n"));
  EXPECT_FALSE(Logged("homeMDB="));
}

TEST_F(ADQueryTest, NoMatchIsEndOfRowsWithEveryValueEmpty) {
  ADNameBuf_s cn{"cn", "stale"};
  EXPECT_EQ(ADQuery("(cn=Nobody Here)", false, {&cn}), S_ADS_NOMORE_ROWS);
  EXPECT_EQ(cn.value, "");
  EXPECT_FALSE(Logged("Error|"));
}

TEST_F(ADQueryTest, UnstoredNameAndDistinguishedNameFallBackToTheEntryDN) {
  ADNameBuf_s name{"name", ""}, dn{"DistinguishedName", ""};
  ASSERT_EQ(ADQuery("(mailNickname=ivan)", false, {&name, &dn}), 0);
  EXPECT_EQ(name.value, "Ivan NoName");
  EXPECT_EQ(dn.value, "cn=Ivan NoName,cn=Users,dc=example,dc=com");
  // Stored values win: Kim's DN as stored, not the server's form cn=Jones\2C Kim,...
  ASSERT_EQ(ADQuery("(mailNickname=kim)", false, {&name, &dn}), 0);
  EXPECT_EQ(name.value, "Jones, Kim");
  EXPECT_EQ(dn.value, "CN=Jones\\, Kim,CN=Users,DC=example,DC=com");
}

TEST_F(ADQueryTest, MalformedFilterIsAFailureWithTheExecuteLine) {
  ADNameBuf_s cn{"cn", ""};
  // The bare negation libldap refuses (the form GetMailboxes' filter is written in).
  int32_t result = ADQuery("(&(!cn=x) (mail=*) )", false, {&cn});
  EXPECT_LT(result, 0);
  EXPECT_EQ(LdapErrorOfADResult(result), LDAP_FILTER_ERROR);
  EXPECT_TRUE(
      Logged("Error|Could not execute query for (&(!cn=x) (mail=*) ). Cannot execute search\n"));
}

}  // namespace
}  // namespace zuv_test
