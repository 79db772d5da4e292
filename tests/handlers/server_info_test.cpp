// Tests of ReadServerInfo: the request's own fields, and the AltMailbox
// lookup against a private directory (tests/directory/directory_fixture.h),
// started once for this suite only.
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "../directory/directory_fixture.h"
#include "base/wire.h"
#include "directory/ad_services.h"
#include "handlers/request_context.h"
#include "handlers/request_reading.h"

namespace zuv {
namespace {

using zuv_test::kExch1DN;
using zuv_test::kExch2DN;
using zuv_test::kLegacyPrefix;

rapidjson::Document Parse(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.data(), text.size());
  EXPECT_FALSE(doc.HasParseError()) << text;
  return doc;
}

ServerInfo Prefilled() { return ServerInfo{"old-server", "old@example.com", "old-store", "old-user"}; }

TEST(ServerInfoTest, RequestFieldsAreCopiedWherePresent) {
  rapidjson::Document doc = Parse(
      R"({"Mailbox":"alice@example.com","ServerName":"EXCH9","StoreDN":"CN=EXCH9,CN=Servers",)"
      R"("UserDN":"/o=Org/cn=alice"})");
  ServerInfo info = Prefilled();
  EXPECT_EQ(ReadServerInfo(doc, &info), 0u);
  EXPECT_EQ(info.mailbox, "alice@example.com");
  EXPECT_EQ(info.server, "EXCH9");
  EXPECT_EQ(info.store_dn, "CN=EXCH9,CN=Servers");
  EXPECT_EQ(info.user_dn, "/o=Org/cn=alice");

  // Missing or mistyped keys leave the fields; an empty string is copied.
  doc = Parse(R"({"Mailbox":"","ServerName":5,"StoreDN":null,"mailbox":"x","AltMailbox":"0"})");
  info = Prefilled();
  EXPECT_EQ(ReadServerInfo(doc, &info), 0u);
  EXPECT_EQ(info.mailbox, "");
  EXPECT_EQ(info.server, "old-server");
  EXPECT_EQ(info.store_dn, "old-store");
  EXPECT_EQ(info.user_dn, "old-user");

  // Through the request context, which starts from the envelope's values.
  doc = Parse(R"({"StoreDN":"CN=S1","UserDN":"/o=Org/cn=u"})");
  ConnectionContext conn;
  RequestContext ctx(&conn, doc, RequestCode::kGetTable, ServerInfo{"EXCH1", "u@example.com", "", ""});
  EXPECT_EQ(ctx.ReadServerInfo(), 0u);
  EXPECT_EQ(ctx.Server().server, "EXCH1");
  EXPECT_EQ(ctx.Server().mailbox, "u@example.com");
  EXPECT_EQ(ctx.Server().store_dn, "CN=S1");
  EXPECT_EQ(ctx.Server().user_dn, "/o=Org/cn=u");
}

class AltMailboxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    directory_ = new zuv_test::DirectoryEnvironment;
    directory_->SetUp();
  }
  static void TearDownTestSuite() {
    directory_->TearDown();
    delete directory_;
    directory_ = nullptr;
  }
  void SetUp() override {
    ASSERT_FALSE(directory_->uri().empty()) << "the directory did not start";
    directory_->ConfigureService();
  }

  static zuv_test::DirectoryEnvironment* directory_;
};

zuv_test::DirectoryEnvironment* AltMailboxTest::directory_ = nullptr;

TEST_F(AltMailboxTest, LookupFillsStoreUserAndServerFromTheDirectory) {
  rapidjson::Document doc = Parse(R"({"Mailbox":"alice@example.com","AltMailbox":"1"})");
  ServerInfo info;
  ASSERT_EQ(ReadServerInfo(doc, &info), 0u);
  EXPECT_EQ(info.mailbox, "alice@example.com");
  EXPECT_EQ(info.store_dn, kExch1DN);
  EXPECT_EQ(info.user_dn, std::string(kLegacyPrefix) + "alice");
  EXPECT_EQ(info.server, "EXCH1") << "the value of the store DN's first component";

  // One of the three missing is enough for a lookup, which replaces all three.
  doc = Parse(
      R"({"Mailbox":"carol@example.com","AltMailbox":"1","StoreDN":"given-store","UserDN":"given-user"})");
  info = ServerInfo{};
  ASSERT_EQ(ReadServerInfo(doc, &info), 0u);
  EXPECT_EQ(info.store_dn, kExch2DN);
  EXPECT_EQ(info.user_dn, std::string(kLegacyPrefix) + "carol");
  EXPECT_EQ(info.server, "EXCH2");

  // A secondary proxy address finds the same user; the mailbox stays as given.
  doc = Parse(R"({"Mailbox":"a.smith@example.com","AltMailbox":"1","ServerName":"EXCH7"})");
  info = ServerInfo{};
  ASSERT_EQ(ReadServerInfo(doc, &info), 0u);
  EXPECT_EQ(info.mailbox, "a.smith@example.com");
  EXPECT_EQ(info.server, "EXCH1");
  EXPECT_EQ(info.user_dn, std::string(kLegacyPrefix) + "alice");

  // Through the request context, with the envelope's mailbox.
  doc = Parse(R"({"AltMailbox":"1"})");
  ConnectionContext conn;
  RequestContext ctx(&conn, doc, RequestCode::kGetTable, ServerInfo{"", "zoe@example.com", "", ""});
  ASSERT_EQ(ctx.ReadServerInfo(), 0u);
  EXPECT_EQ(ctx.Server().server, "EXCH2");
  EXPECT_EQ(ctx.Server().user_dn, std::string(kLegacyPrefix) + "zoe");
}

TEST_F(AltMailboxTest, FailedLookupReturnsNonZeroAndLeavesTheFields) {
  for (const char* mailbox : {"nobody@example.com", "erin@example.com", ""}) {
    rapidjson::Document doc = Parse(std::string(R"({"AltMailbox":"1","StoreDN":"given-store","Mailbox":")") +
                                    mailbox + "\"}");
    ServerInfo info = Prefilled();
    info.server.clear();
    EXPECT_NE(ReadServerInfo(doc, &info), 0u) << mailbox;
    EXPECT_EQ(info.mailbox, mailbox);
    EXPECT_EQ(info.store_dn, "given-store") << mailbox;
    EXPECT_EQ(info.user_dn, "old-user") << mailbox;
    EXPECT_EQ(info.server, "") << mailbox;
  }
  EXPECT_NE(directory_->Log().find("Cannot find the mailbox nobody@example.com"), std::string::npos);

  // AltMailbox other than exactly "1" makes no lookup.
  for (const char* alt : {R"("0")", R"("true")", R"("")", "1", "true"}) {
    rapidjson::Document doc =
        Parse(std::string(R"({"Mailbox":"alice@example.com","AltMailbox":)") + alt + "}");
    ServerInfo info;
    EXPECT_EQ(ReadServerInfo(doc, &info), 0u) << alt;
    EXPECT_EQ(info.store_dn, "") << alt;
    EXPECT_EQ(info.user_dn, "") << alt;
    EXPECT_EQ(info.server, "") << alt;
  }
}

TEST_F(AltMailboxTest, NoLookupWhenAllThreeAreGiven) {
  // A directory that refuses at once: any lookup fails.
  std::string err;
  ASSERT_EQ(ConfigureDirectory("ldap://127.0.0.1:1", zuv_test::kServiceDN, zuv_test::kServicePassword,
                               zuv_test::TestTimeouts(), &err),
            0u)
      << err;

  rapidjson::Document doc = Parse(
      R"({"Mailbox":"alice@example.com","AltMailbox":"1","StoreDN":"S","UserDN":"U","ServerName":"V"})");
  ServerInfo info;
  EXPECT_EQ(ReadServerInfo(doc, &info), 0u);
  EXPECT_EQ(info.store_dn, "S");
  EXPECT_EQ(info.user_dn, "U");
  EXPECT_EQ(info.server, "V");

  // The three may come from the envelope as well as from the request.
  doc = Parse(R"({"AltMailbox":"1"})");
  info = ServerInfo{"V", "alice@example.com", "S", "U"};
  EXPECT_EQ(ReadServerInfo(doc, &info), 0u);
  EXPECT_EQ(info.store_dn, "S");

  // With one of them empty the lookup is made, and fails here.
  doc = Parse(R"({"Mailbox":"alice@example.com","AltMailbox":"1","StoreDN":"S","UserDN":"U"})");
  info = ServerInfo{};
  EXPECT_NE(ReadServerInfo(doc, &info), 0u);
  EXPECT_EQ(info.store_dn, "S");
  EXPECT_EQ(info.server, "");
}

}  // namespace
}  // namespace zuv
