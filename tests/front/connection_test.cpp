// Tests of the request-frame parser and the small protocol helpers.
#include <arpa/inet.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "base/logging.h"
#include "base/request_codes.h"
#include "base/wire.h"
#include "front/front.h"

namespace zuv {
namespace {

uint32_t Parse(const std::string& segment, FrameStart* frame, std::string* err) {
  return ParseFrameStart(segment.data(), segment.size(), frame, err);
}

TEST(FrameStartTest, CountAndFirstJsonBytes) {
  FrameStart f;
  std::string err;
  ASSERT_EQ(Parse("38{\"ProtocolVe", &f, &err), 0u) << err;
  EXPECT_EQ(f.count, 38);
  EXPECT_EQ(f.json_offset, 2u);
  EXPECT_EQ(f.json_bytes, 12u);

  // Digits alone: the whole JSON text is still to come.
  ASSERT_EQ(Parse("1234", &f, &err), 0u);
  EXPECT_EQ(f.count, 1234);
  EXPECT_EQ(f.json_bytes, 0u);

  // Leading white space and a sign read like %d.
  ASSERT_EQ(Parse(" \t+7{\"a\":1}", &f, &err), 0u);
  EXPECT_EQ(f.count, 7);
  EXPECT_EQ(f.json_bytes, 7u);

  // Exactly the limit is accepted.
  ASSERT_EQ(Parse(std::to_string(kMaxRequestBytes) + "{", &f, &err), 0u);
}

TEST(FrameStartTest, FramesLeftToTheReceiverAreRefused) {
  FrameStart f;
  std::string err;
  EXPECT_NE(Parse("{\"ProtocolVersion", &f, &err), 0u);  // no count
  EXPECT_NE(Parse("abc{", &f, &err), 0u);
  EXPECT_NE(Parse("0{}", &f, &err), 0u);
  EXPECT_NE(Parse("-12{\"a\":1}", &f, &err), 0u);
  EXPECT_NE(Parse("3{\"abcdef\"", &f, &err), 0u);  // smaller than what arrived
  EXPECT_NE(Parse(std::to_string(kMaxRequestBytes + 1) + "{", &f, &err), 0u);
  EXPECT_NE(Parse("99999999999999", &f, &err), 0u);  // no overflow into a small count
  EXPECT_FALSE(err.empty());
}

TEST(FrameStartTest, BraceAfterANulIsNotSeen) {
  // The segment is read as a C string: a NUL ends it.
  std::string segment("5\0{\"a\"}", 7);
  FrameStart f;
  std::string err;
  ASSERT_EQ(Parse(segment, &f, &err), 0u);
  EXPECT_EQ(f.count, 5);
  EXPECT_EQ(f.json_bytes, 0u);
}

TEST(ProtocolHelpersTest, ResponseHeaderIsDecimalThenNul) {
  char header[10];
  std::memset(header, 'z', sizeof(header));
  FormatResponseHeader(12345, header);
  EXPECT_EQ(std::string(header, 6), std::string("12345\0", 6));
}

TEST(ProtocolHelpersTest, RequestNames) {
  EXPECT_STREQ(RequestName(1001), "GetTable");
  EXPECT_STREQ(RequestName(1009), "Close");
  EXPECT_STREQ(RequestName(1024), "DeleteMessage");
  EXPECT_STREQ(RequestName(1025), "INVALID");
  EXPECT_STREQ(RequestName(1026), "MailBoxInfo");
  EXPECT_STREQ(RequestName(1032), "GetASDevices");
  EXPECT_STREQ(RequestName(1000), "INVALID");
  EXPECT_STREQ(RequestName(1033), "INVALID");
  EXPECT_STREQ(RequestName(0), "INVALID");
}

TEST(ProtocolHelpersTest, ShortenIdKeepsTheTail) {
  EXPECT_EQ(ShortenID(""), "");
  std::string id32(32, 'A');
  EXPECT_EQ(ShortenID(id32), id32);
  std::string id40 = "0123456789ABCDEF0123456789ABCDEF01234567";
  EXPECT_EQ(ShortenID(id40), id40.substr(7));
  EXPECT_EQ(ShortenID(id40).size(), 33u);
}

TEST(ProtocolHelpersTest, ConnectionNameReadsThePortFieldAsStored) {
  char name[264];
  FormatConnectionName(inet_addr("10.0.0.5"), htons(50000), name, sizeof(name));
  EXPECT_STREQ(name, "10.0.0.5.20675");
  FormatConnectionName(inet_addr("127.0.0.1"), htons(1), name, sizeof(name));
  EXPECT_STREQ(name, "127.0.0.1.256");
}

}  // namespace
}  // namespace zuv
