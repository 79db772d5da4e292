// Tests of the request scan (nesting, memory bound) and the envelope numbers.
#include <string>

#include <gtest/gtest.h>

#include "front/request_parse.h"

namespace zuv {
namespace {

uint32_t Scan(const std::string& text, RequestScan* scan, std::string* err) {
  return ScanRequestText(text.data(), text.size(), scan, err);
}

TEST(RequestScanTest, NestingIsCountedOutsideStringsOnly) {
  RequestScan scan;
  std::string err;
  const std::string deep64 = std::string(64, '[') + std::string(64, ']');
  ASSERT_EQ(Scan(deep64, &scan, &err), 0u) << err;
  EXPECT_EQ(scan.depth, 64);
  EXPECT_NE(Scan("[" + deep64 + "]", &scan, &err), 0u);
  EXPECT_EQ(err, "request nested more than 64 levels deep");

  // Brackets inside strings, escaped quotes included, do not nest.
  const std::string quoted = "{\"a\":\"" + std::string(100, '[') + "\\\"" + std::string(100, '{') + "\"}";
  ASSERT_EQ(Scan(quoted, &scan, &err), 0u) << err;
  EXPECT_EQ(scan.depth, 1);
  // An unbalanced or truncated text still scans; the parser refuses it.
  EXPECT_EQ(Scan("{\"a\":[1,2", &scan, &err), 0u);
  EXPECT_EQ(Scan("]]]]", &scan, &err), 0u);
}

TEST(RequestScanTest, TreeBoundGrowsWithValuesNotJustBytes) {
  RequestScan numbers, text;
  std::string err;
  std::string zeros = "[0";
  for (int i = 0; i < 1000; ++i) zeros += ",0";
  zeros += "]";
  const std::string one_string = "[\"" + std::string(zeros.size() - 4, 'x') + "\"]";
  ASSERT_EQ(Scan(zeros, &numbers, &err), 0u);
  ASSERT_EQ(Scan(one_string, &text, &err), 0u);
  EXPECT_GE(numbers.values, 1001u);
  EXPECT_GT(numbers.tree_bytes, 16 * numbers.values);
  EXPECT_GT(numbers.tree_bytes, 10 * text.tree_bytes);
}

TEST(RequestParseTest, EnvelopeNumbersAreStrictIntegers) {
  rapidjson::Document doc;
  ASSERT_TRUE(ParseRequestText("{\"ProtocolVersion\":4,\"Request\":1009}", 36, &doc));
  RequestEnvelope e = ReadEnvelope(doc);
  EXPECT_EQ(e.version, 4);
  EXPECT_EQ(e.code, 1009);
  for (const std::string version : {"4294967300", "\"4\"", "4.9", "4.0", "\"4abc\"", "-4294967297", "null"}) {
    const std::string text = "{\"ProtocolVersion\":" + version + ",\"Request\":1009}";
    ASSERT_TRUE(ParseRequestText(text.data(), text.size(), &doc)) << text;
    EXPECT_EQ(ReadEnvelope(doc).version, 0) << version;
  }
  // Trailing bytes after the object are ignored; a non-object is refused.
  EXPECT_TRUE(ParseRequestText("{\"a\":1}garbage", 14, &doc));
  EXPECT_FALSE(ParseRequestText("[1,2]", 5, &doc));
  EXPECT_FALSE(ParseRequestText("{\"a\":", 5, &doc));
}

}  // namespace
}  // namespace zuv
