// registry_file_test.cpp: the registry export file reader and QueryValue.
#include "base/registry_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace zuv {
namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00\n\n";

class RegistryFileTest : public ::testing::Test {
 protected:
  void Parse(const std::string& body) {
    std::string err;
    ASSERT_EQ(0u, reg_.Parse(kHeader + body, &err)) << err;
  }

  // The value's type and bytes; found is false when the key or value is missing.
  struct Read {
    bool found = false;
    uint32_t type = REG_NONE;
    std::vector<uint8_t> bytes;
    std::string AsText() const { return std::string(bytes.begin(), bytes.end()); }
  };

  Read Value(const std::string& subpath, const char* name) {
    Read r;
    const RegistryKey* key = reg_.OpenKey(subpath);
    if (key == nullptr) return r;
    uint32_t size = 0;
    if (QueryValue(key, name, &r.type, nullptr, &size) != kRegSuccess) return r;
    r.bytes.resize(size);
    EXPECT_EQ(kRegSuccess, QueryValue(key, name, nullptr, r.bytes.data(), &size));
    r.found = true;
    return r;
  }

  std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "registry_file_test_" + std::to_string(getpid()) + "_" + name;
  }

  RegistryFile reg_;
};

using Bytes = std::vector<uint8_t>;

TEST_F(RegistryFileTest, ReadsEveryValueForm) {
  Parse(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n"
      "\"Dword\"=dword:00004fb0\n"
      "\"Short\"=dword:1\n"
      "\"Text\"=\"C:\\\\dir \\\"quoted\\\"\"\n"
      "\"Empty\"=\"\"\n"
      "\"Bin\"=hex:de,AD,0,ff\n"
      "\"NoBytes\"=hex:\n"
      "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\n"
      "\"Multi\"=hex(7):61,00,00,00,e9,00,00,00,00,00\n"
      "\"Qword\"=hex(b):01,02,03,04,05,06,07,08\n"
      "\"Other\"=HEX(5):00,00,00,01\n"
      "@=\"default\"\n");

  Read r = Value("SOFTWARE\\T", "Dword");
  EXPECT_EQ(REG_DWORD, r.type);
  EXPECT_EQ((Bytes{0xb0, 0x4f, 0, 0}), r.bytes);
  EXPECT_EQ((Bytes{1, 0, 0, 0}), Value("SOFTWARE\\T", "Short").bytes);

  r = Value("SOFTWARE\\T", "Text");
  EXPECT_EQ(REG_SZ, r.type);
  EXPECT_EQ(std::string("C:\\dir \"quoted\"\0", 16), r.AsText());
  EXPECT_EQ((Bytes{0}), Value("SOFTWARE\\T", "Empty").bytes);

  r = Value("SOFTWARE\\T", "Bin");
  EXPECT_EQ(REG_BINARY, r.type);
  EXPECT_EQ((Bytes{0xde, 0xad, 0x00, 0xff}), r.bytes);
  EXPECT_TRUE(Value("SOFTWARE\\T", "NoBytes").found);
  EXPECT_TRUE(Value("SOFTWARE\\T", "NoBytes").bytes.empty());

  // String types in hex are UTF-16LE in a version 5 file and read as UTF-8.
  r = Value("SOFTWARE\\T", "Expand");
  EXPECT_EQ(REG_EXPAND_SZ, r.type);
  EXPECT_EQ(std::string("%A%\0", 4), r.AsText());
  r = Value("SOFTWARE\\T", "Multi");
  EXPECT_EQ(REG_MULTI_SZ, r.type);
  EXPECT_EQ(std::string("a\0\xc3\xa9\0\0", 6), r.AsText());

  r = Value("SOFTWARE\\T", "Qword");
  EXPECT_EQ(REG_QWORD, r.type);
  EXPECT_EQ(8u, r.bytes.size());
  EXPECT_EQ(REG_DWORD_BIG_ENDIAN, Value("SOFTWARE\\T", "Other").type);

  r = Value("SOFTWARE\\T", "");
  EXPECT_EQ(std::string("default\0", 8), r.AsText());
  EXPECT_EQ(r.bytes, Value("SOFTWARE\\T", nullptr).bytes);

  EXPECT_TRUE(reg_.Problems().empty());
}

TEST_F(RegistryFileTest, HexListsContinueOverLines) {
  Parse(
      "[HKLM\\K]\n"
      "\"Long\"=hex:01,02,\\\n"
      "  03,04,\\\n"
      "  05\n"
      "\"After\"=dword:00000007\n"
      "\"AtEnd\"=hex:0a,\\\n");
  EXPECT_EQ((Bytes{1, 2, 3, 4, 5}), Value("K", "Long").bytes);
  EXPECT_EQ((Bytes{7, 0, 0, 0}), Value("K", "After").bytes);
  EXPECT_EQ((Bytes{0x0a}), Value("K", "AtEnd").bytes);
  EXPECT_TRUE(reg_.Problems().empty());
}

TEST_F(RegistryFileTest, QueryValueFollowsTheWindowsBufferRules) {
  Parse("[HKEY_LOCAL_MACHINE\\K]\n\"Port\"=\"20411\"\n\"N\"=dword:00000005\n");
  const RegistryKey* key = reg_.OpenKey("K");
  ASSERT_NE(nullptr, key);

  // A 6-byte string does not fit a 4-byte buffer: more data, size needed,
  // buffer untouched.
  uint8_t buf[4] = {9, 9, 9, 9};
  uint32_t size = sizeof buf;
  uint32_t type = 0;
  EXPECT_EQ(kRegMoreData, QueryValue(key, "Port", &type, buf, &size));
  EXPECT_EQ(6u, size);
  EXPECT_EQ(REG_SZ, type);
  EXPECT_EQ(9, buf[0]);

  char text[6];
  size = sizeof text;
  EXPECT_EQ(kRegSuccess, QueryValue(key, "Port", nullptr, text, &size));
  EXPECT_EQ(6u, size);
  EXPECT_STREQ("20411", text);

  size = 100;
  EXPECT_EQ(kRegSuccess, QueryValue(key, "N", nullptr, buf, &size));
  EXPECT_EQ(4u, size);

  EXPECT_EQ(kRegNotFound, QueryValue(key, "Missing", nullptr, buf, &size));
  EXPECT_EQ(kRegInvalidHandle, QueryValue(nullptr, "N", nullptr, buf, &size));
  EXPECT_EQ(kRegInvalidParameter, QueryValue(key, "N", nullptr, buf, nullptr));
  EXPECT_EQ(kRegSuccess, QueryValue(key, "N", nullptr, nullptr, nullptr));
}

TEST_F(RegistryFileTest, NamesMatchCaseInsensitively) {
  Parse("[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\n\"ExAlias\"=\"a\"\n");
  const RegistryKey* key = reg_.OpenKey("software\\TOVANIX\\TovanixZuv");
  ASSERT_NE(nullptr, key);
  EXPECT_EQ("HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV", key->Path());
  EXPECT_NE(nullptr, key->FindValue("EXALIAS"));
  EXPECT_EQ(key, reg_.FindKey("HKLM\\SOFTWARE\\tovanix\\tovanixZUV"));
  EXPECT_EQ(key, reg_.FindKey("hkey_local_machine\\software\\tovanix\\tovanixzuv"));
  EXPECT_EQ(nullptr, reg_.FindKey("HKCU\\SOFTWARE\\tovanix\\tovanixZUV"));
  EXPECT_EQ(nullptr, reg_.FindKey("NOHIVE\\SOFTWARE\\tovanix\\tovanixZUV"));
  EXPECT_EQ(nullptr, reg_.OpenKey("SOFTWARE\\tovanix\\tovanixZU"));
}

TEST_F(RegistryFileTest, KeyLinesCreateKeysAndAncestors) {
  Parse(
      "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n"
      "[HKEY_LOCAL_MACHINE\\Empty]\n"
      "[HKEY_LOCAL_MACHINE\\A\\B]\n"
      "\"V\"=dword:00000001\n"
      "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n"
      "\"V\"=dword:00000002\n"
      "[HKEY_LOCAL_MACHINE\\A\\B]\n"
      "\"V\"=dword:00000003\n");
  EXPECT_NE(nullptr, reg_.OpenKey("A"));
  EXPECT_NE(nullptr, reg_.OpenKey("Empty"));
  // A key line reopens its key; a repeated value replaces the earlier one.
  EXPECT_EQ((Bytes{3, 0, 0, 0}), Value("A\\B", "V").bytes);
  EXPECT_EQ((Bytes{2, 0, 0, 0}), Value("A\\B\\C", "V").bytes);
}

TEST_F(RegistryFileTest, DeletesKeysSubkeysAndValues) {
  Parse(
      "[HKEY_LOCAL_MACHINE\\S]\n"
      "\"Keep\"=dword:00000001\n"
      "\"Drop\"=dword:00000002\n"
      "\"DROP\"=-\n"
      "\"NeverThere\"=-\n"
      "[HKEY_LOCAL_MACHINE\\S\\Zuv]\n"
      "[HKEY_LOCAL_MACHINE\\S\\Zuv\\Sub]\n"
      "[HKEY_LOCAL_MACHINE\\S\\Zuv2]\n"
      "[HKEY_LOCAL_MACHINE\\S\\Old]\n"
      "\"X\"=dword:00000001\n"
      "[-HKEY_LOCAL_MACHINE\\S\\old]\n"
      "\"Ignored\"=dword:00000001\n"
      "[-HKEY_LOCAL_MACHINE\\S\\Zuv]\n"
      "[-HKEY_LOCAL_MACHINE\\S\\NotThere]\n"
      "[HKEY_LOCAL_MACHINE\\S\\Old]\n");
  EXPECT_EQ(nullptr, reg_.OpenKey("S\\Zuv"));
  EXPECT_EQ(nullptr, reg_.OpenKey("S\\Zuv\\Sub"));
  EXPECT_NE(nullptr, reg_.OpenKey("S\\Zuv2"));  // shares a prefix, not a subkey
  EXPECT_TRUE(Value("S", "Keep").found);
  EXPECT_FALSE(Value("S", "Drop").found);
  // Recreated after its deletion: the old values are gone, the dropped
  // value lines were ignored without a problem.
  ASSERT_NE(nullptr, reg_.OpenKey("S\\Old"));
  EXPECT_FALSE(Value("S\\Old", "X").found);
  EXPECT_FALSE(Value("S\\Old", "Ignored").found);
  EXPECT_TRUE(reg_.Problems().empty());
}

TEST_F(RegistryFileTest, MalformedLinesAreReportedAndSkipped) {
  // Line numbers count from the header (line 1) and its blank line (2).
  Parse(
      "\"Orphan\"=dword:00000001\n"       // 3: before any key
      "[HKEY_LOCAL_MACHINE\\K]\n"         // 4
      "\"A\"=dword:00000001\n"            // 5
      "\"B\"=dword:123456789\n"           // 6: nine digits
      "\"C\"=\"bad \\q escape\"\n"        // 7
      "\"D\"=hex:01,zz,\\\n"              // 8: continued list with a bad byte
      "  03\n"                            // 9
      "\"E\"=\"unterminated\n"            // 10
      "\"F\" dword:00000001\n"            // 11: no '='
      "\"G\"=word:1\n"                    // 12
      "garbage\n"                         // 13
      "[HKEY_LOCAL_MACHINE\\K\n"          // 14: no ']'
      "\"H\"=dword:00000001\n"            // 15: dropped with its bad key
      "[HKEY_NOWHERE\\K]\n"               // 16
      "[HKEY_LOCAL_MACHINE\\K\\\\X]\n"    // 17: empty name
      "[HKEY_LOCAL_MACHINE\\K]\n"         // 18
      "\"Z\"=\"text\" trailing\n"         // 19
      "\"Last\"=dword:00000002\n");       // 20
  std::vector<int> lines;
  for (const RegistryProblem& p : reg_.Problems()) {
    lines.push_back(p.line);
    EXPECT_FALSE(p.text.empty());
  }
  EXPECT_EQ((std::vector<int>{3, 6, 7, 8, 10, 11, 12, 13, 14, 16, 17, 19}), lines);

  EXPECT_TRUE(Value("K", "A").found);
  EXPECT_TRUE(Value("K", "Last").found);
  for (const char* name : {"B", "C", "D", "E", "F", "G", "H", "Z"}) {
    EXPECT_FALSE(Value("K", name).found) << name;
  }
  EXPECT_EQ(nullptr, reg_.FindKey("HKLM\\K\\X"));
}

TEST_F(RegistryFileTest, AcceptsRegedit4BomCrlfAndComments) {
  std::string err;
  ASSERT_EQ(0u, reg_.Parse("\xEF\xBB\xBF; exported\r\nREGEDIT4\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\K]\r\n"
                           "  ; indented comment\r\n"
                           "\"S\"=\"v\"\r\n"
                           "\"E\"=hex(2):41,42,00\r\n",
                           &err))
      << err;
  EXPECT_EQ(std::string("v\0", 2), Value("K", "S").AsText());
  // REGEDIT4 hex strings are 8-bit already.
  EXPECT_EQ(std::string("AB\0", 3), Value("K", "E").AsText());
  EXPECT_TRUE(reg_.Problems().empty());
}

TEST_F(RegistryFileTest, ConvertsUtf16LeFiles) {
  std::string utf8 = std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\K]\r\n\"N\"=\"caf\xc3\xa9\"\r\n";
  // Widen by hand: every character here but the e-acute is ASCII.
  std::string wide = "\xFF\xFE";
  for (size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] == '\xc3') {
      wide += std::string("\xe9\x00", 2);
      ++i;
    } else {
      wide += utf8[i];
      wide += '\0';
    }
  }
  std::string err;
  ASSERT_EQ(0u, reg_.Parse(wide, &err)) << err;
  EXPECT_EQ(std::string("caf\xc3\xa9\0", 6), Value("K", "N").AsText());
}

TEST_F(RegistryFileTest, RefusesTextWithoutHeader) {
  Parse("[HKEY_LOCAL_MACHINE\\K]\n");
  std::string err;
  EXPECT_EQ(kRegistryFileUnreadable, reg_.Parse("[HKEY_LOCAL_MACHINE\\K]\n", &err));
  EXPECT_NE(std::string::npos, err.find("line 1"));
  EXPECT_EQ(0u, reg_.KeyCount());  // the earlier contents are gone too
  EXPECT_EQ(kRegistryFileUnreadable, reg_.Parse("", &err));
  EXPECT_EQ(kRegistryFileUnreadable, reg_.Parse("Windows Registry Editor Version 4.00\n", &err));
}

TEST_F(RegistryFileTest, LoadsFilesAndReportsMissingOnes) {
  std::string path = TempPath("load.reg");
  {
    std::ofstream out(path, std::ios::binary);
    out << kHeader << "[HKEY_LOCAL_MACHINE\\K]\n\"V\"=dword:00000001\n";
  }
  std::string err;
  ASSERT_EQ(0u, reg_.Load(path, &err)) << err;
  EXPECT_TRUE(Value("K", "V").found);

  std::remove(path.c_str());
  EXPECT_EQ(kRegistryFileMissing, reg_.Load(path, &err));
  EXPECT_NE(std::string::npos, err.find(path));
  EXPECT_EQ(0u, reg_.KeyCount());
  EXPECT_EQ(kRegistryFileUnreadable, reg_.Load(::testing::TempDir(), &err));
}

TEST(ProcessRegistryTest, TestHooksReplaceTheProcessRegistry) {
  std::string err;
  ASSERT_EQ(0u, SetProcessRegistryTextForTest(
                    "REGEDIT4\n[HKEY_LOCAL_MACHINE\\P]\n\"V\"=dword:00000001\n", &err))
      << err;
  EXPECT_NE(nullptr, ProcessRegistry().OpenKey("P"));

  EXPECT_EQ(kRegistryFileMissing,
            LoadProcessRegistryForTest(::testing::TempDir() + "no-such-registry.reg", &err));
  EXPECT_EQ(0u, ProcessRegistry().KeyCount());
}

}  // namespace
}  // namespace zuv
