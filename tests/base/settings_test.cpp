// settings_test.cpp: service settings, ports and log folder read from a registry.
#include "base/settings.h"

#include <gtest/gtest.h>

#include <string>

namespace zuv {
namespace {

constexpr const char* kWowNode = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\tovanix\\tovanixZUV]\n";
constexpr const char* kPlainNode = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\n";
constexpr const char* kModuleDir = "/opt/zuv";

class SettingsTest : public ::testing::Test {
 protected:
  void TearDown() override { SetPortsForTest(ServicePorts{}); }

  void Use(const std::string& body) {
    std::string err;
    ASSERT_EQ(0u, reg_.Parse("Windows Registry Editor Version 5.00\n\n" + body, &err)) << err;
    ASSERT_TRUE(reg_.Problems().empty()) << reg_.Problems()[0].line << ": "
                                         << reg_.Problems()[0].text;
  }

  ServiceSettings Read() { return ServiceSettings(reg_, kModuleDir); }

  static std::string Quoted(const std::string& name, const std::string& value) {
    return "\"" + name + "\"=\"" + value + "\"\n";
  }

  RegistryFile reg_;
};

TEST_F(SettingsTest, NoNodeLeavesEveryDefault) {
  Use("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"ZuvPort1\"=dword:00000001\n");
  SetPortsForTest(ServicePorts{1, 2, 3, 4});
  LoadPorts(reg_);
  EXPECT_EQ(20400u, Ports().zuv_port1);
  EXPECT_EQ(20410u, Ports().zuv_port2);
  EXPECT_EQ(20420u, Ports().zuv_port3);
  EXPECT_EQ(20430u, Ports().zuv_bin_port);

  ServiceSettings s = Read();
  EXPECT_EQ("", s.ExAlias());
  EXPECT_EQ("", s.ExServer());
  EXPECT_EQ("", s.CAS());
  EXPECT_EQ("", s.ExProfile());
  EXPECT_EQ(1, s.OwnNodeFlag());
  EXPECT_EQ("/opt/zuv/data/zuvstore.db", s.StorePath());
  EXPECT_EQ("ldap://localhost", s.LdapUri());
  EXPECT_EQ("", s.LdapBindDN());
  EXPECT_EQ("", s.LdapBindPassword());
  EXPECT_EQ(3000u, s.LdapConnectTimeoutMs());
  EXPECT_EQ(5000u, s.LdapTimeoutMs());
  EXPECT_EQ("${basedir}/logs", ReadLogFolderPath(reg_));
}

TEST_F(SettingsTest, PortsTakeValuesThatFitFourBytes) {
  Use(std::string(kPlainNode) +
      "\"ZuvPort1\"=dword:00014e21\n"        // TCP port 20001
      "\"ZuvPort2\"=\"20411\"\n"             // 6 bytes: refused
      "\"ZuvPort3\"=hex(b):01,00,00,00,00,00,00,00\n"  // 8 bytes: refused
      "\"ZuvBinPort\"=hex:39,30\n");         // 2 bytes: zero-extended 12345
  LoadPorts(reg_);
  EXPECT_EQ(0x14e21u, Ports().zuv_port1);
  EXPECT_EQ(20001, TcpPort(Ports().zuv_port1));
  EXPECT_EQ(20410u, Ports().zuv_port2);
  EXPECT_EQ(20420u, Ports().zuv_port3);
  EXPECT_EQ(12345u, Ports().zuv_bin_port);

  uint32_t value = 77;
  EXPECT_EQ(1u, ReadPortSetting(reg_, "ZuvPort2", &value));
  EXPECT_EQ(1u, ReadPortSetting(reg_, "Missing", &value));
  EXPECT_EQ(77u, value);
  EXPECT_EQ(0u, ReadPortSetting(reg_, "ZuvPort1", &value));
  EXPECT_EQ(0x14e21u, value);
}

TEST_F(SettingsTest, ReadsProfileValuesThroughEitherNodeAlike) {
  std::string values = Quoted("ExAlias", "svc-zuv") + Quoted("ExServer", "MAIL01") +
                       Quoted("cas", "cas01.example.org") + Quoted("ExProfile", "Prof");
  for (const char* separated : {"", "\"IsMAPISeparated\"=dword:00000001\n",
                                "\"IsMAPISeparated\"=dword:00000002\n",
                                "\"IsMAPISeparated\"=dword:00000000\n"}) {
    SCOPED_TRACE(separated);
    Use(kPlainNode + values + separated);
    ServiceSettings s = Read();
    EXPECT_EQ("svc-zuv", s.ExAlias());
    EXPECT_EQ("MAIL01", s.ExServer());
    EXPECT_EQ("cas01.example.org", s.CAS());
    EXPECT_EQ("Prof", s.ExProfile());
    EXPECT_EQ(std::string(separated).find("00000000") == std::string::npos ? 1 : 0,
              s.OwnNodeFlag());
  }
}

TEST_F(SettingsTest, StringsOfMoreThan254CharactersAreRefused) {
  Use(kPlainNode + Quoted("ExAlias", std::string(254, 'a')) +
      Quoted("ExServer", std::string(255, 'b')) + Quoted("CAS", "cas") +
      Quoted("ExProfile", std::string(300, 'p')));
  ServiceSettings s = Read();
  EXPECT_EQ(std::string(254, 'a'), s.ExAlias());
  EXPECT_EQ("", s.ExServer());
  EXPECT_EQ("cas", s.CAS());
  EXPECT_EQ("", s.ExProfile());
}

TEST_F(SettingsTest, StringEndsAtItsFirstNul) {
  // A multi-string read as a string gives its first element.
  Use(std::string(kPlainNode) + "\"ExAlias\"=hex(7):61,00,00,00,62,00,00,00,00,00\n");
  EXPECT_EQ("a", Read().ExAlias());
}

TEST_F(SettingsTest, Wow6432NodeWinsWhenItExists) {
  Use(kWowNode + Quoted("ExAlias", "wow") + "\"ZuvPort1\"=dword:00000001\n" + kPlainNode +
      Quoted("ExAlias", "plain") + Quoted("ExServer", "plain-server") +
      "\"ZuvPort1\"=dword:00000002\n\"ZuvPort2\"=dword:00000002\n");
  ServiceSettings s = Read();
  EXPECT_EQ("wow", s.ExAlias());
  // The first node that opens is used alone: no fallback per value.
  EXPECT_EQ("", s.ExServer());
  LoadPorts(reg_);
  EXPECT_EQ(1u, Ports().zuv_port1);
  EXPECT_EQ(20410u, Ports().zuv_port2);
}

TEST_F(SettingsTest, StoreAndDirectoryValuesComeFromTheServiceNode) {
  Use(kPlainNode + Quoted("StorePath", "/var/lib/zuv/store.db") +
      Quoted("LdapUri", "ldap://127.0.0.1:3890") + Quoted("LdapBindDN", "cn=svc,dc=example") +
      Quoted("LdapBindPassword", "secret") + "\"IsMAPISeparated\"=dword:00000000\n");
  ServiceSettings s = Read();
  EXPECT_EQ("/var/lib/zuv/store.db", s.StorePath());
  EXPECT_EQ("ldap://127.0.0.1:3890", s.LdapUri());
  EXPECT_EQ("cn=svc,dc=example", s.LdapBindDN());
  EXPECT_EQ("secret", s.LdapBindPassword());

  Use(kPlainNode + Quoted("StorePath", "") + Quoted("LdapUri", ""));
  ServiceSettings empty(reg_, "/opt/zuv/");
  EXPECT_EQ("/opt/zuv/data/zuvstore.db", empty.StorePath());
  EXPECT_EQ("ldap://localhost", empty.LdapUri());
}

TEST_F(SettingsTest, DirectoryTimeoutsAreDwordsAndZeroKeepsTheDefault) {
  Use(std::string(kPlainNode) + "\"LdapConnectTimeoutMs\"=dword:000003e8\n\"LdapTimeoutMs\"=dword:00000000\n");
  ServiceSettings s = Read();
  EXPECT_EQ(1000u, s.LdapConnectTimeoutMs());
  EXPECT_EQ(5000u, s.LdapTimeoutMs());
  // A string is not a number of milliseconds.
  Use(std::string(kPlainNode) + Quoted("LdapTimeoutMs", "200000"));
  EXPECT_EQ(5000u, Read().LdapTimeoutMs());
}

TEST_F(SettingsTest, LogFolderFromTheVendorNode) {
  Use("[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix]\n\"LogFolderPath\"=\"D:\\\\Logs\\\\Zuv\"\n");
  EXPECT_EQ("D:/Logs/Zuv", ReadLogFolderPath(reg_));

  Use(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\tovanix]\n\"LogFolderPath\"=\"/var/log/zuv\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix]\n\"LogFolderPath\"=\"/other\"\n");
  EXPECT_EQ("/var/log/zuv", ReadLogFolderPath(reg_));

  // The Wow6432Node vendor key exists as the service node's parent, so it is
  // the one read, and it has no log folder.
  Use(kWowNode + std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix]\n") +
      "\"LogFolderPath\"=\"/other\"\n");
  EXPECT_EQ("${basedir}/logs", ReadLogFolderPath(reg_));

  Use("[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix]\n" + Quoted("LogFolderPath", std::string(1022, 'x')));
  EXPECT_EQ(std::string(1022, 'x'), ReadLogFolderPath(reg_));
  Use("[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix]\n" + Quoted("LogFolderPath", std::string(1023, 'x')));
  EXPECT_EQ("${basedir}/logs", ReadLogFolderPath(reg_));
}

TEST_F(SettingsTest, SampleRegistryFileReadsCleanly) {
  std::string path = __FILE__;
  path = path.substr(0, path.rfind("/tests/")) + "/deploy/registry.sample.reg";
  std::string err;
  if (reg_.Load(path, &err) == kRegistryFileMissing) GTEST_SKIP() << err;
  ASSERT_TRUE(reg_.Problems().empty()) << reg_.Problems()[0].line << ": "
                                       << reg_.Problems()[0].text;
  ServiceSettings s = Read();
  EXPECT_EQ("svc-zuv", s.ExAlias());
  EXPECT_EQ("MAIL01", s.ExServer());
  EXPECT_EQ(1, s.OwnNodeFlag());
  EXPECT_EQ("/opt/zuv/data/zuvstore.db", s.StorePath());
  LoadPorts(reg_);
  EXPECT_EQ(20400u, Ports().zuv_port1);
  EXPECT_EQ(20430u, Ports().zuv_bin_port);
  EXPECT_EQ("${basedir}/logs", ReadLogFolderPath(reg_));
}

TEST_F(SettingsTest, MailSettingsDefaultAndReadFromTheServiceNode) {
  Use(std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix]\n"));
  LoadMailSettings(reg_);
  EXPECT_EQ(60u, Mail().draft_idle_minutes);
  EXPECT_EQ("", Mail().smtp_relay);
  EXPECT_EQ(60u, Mail().smtp_retry_seconds);
  EXPECT_EQ(10u, Mail().smtp_max_attempts);

  Use(kPlainNode + Quoted("SmtpRelay", "mail.example.org:25") + "\"DraftIdleMinutes\"=dword:00000005\n" +
      "\"SmtpRetrySeconds\"=dword:0000001e\n\"SmtpMaxAttempts\"=dword:00000000\n");
  LoadMailSettings(reg_);
  EXPECT_EQ(5u, Mail().draft_idle_minutes);
  EXPECT_EQ("mail.example.org:25", Mail().smtp_relay);
  EXPECT_EQ(30u, Mail().smtp_retry_seconds);
  EXPECT_EQ(1u, Mail().smtp_max_attempts);  // every message gets at least one attempt
  SetMailSettingsForTest(MailSettings{});
}

}  // namespace
}  // namespace zuv
