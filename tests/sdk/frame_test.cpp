// Frame encoding and the reassembly of response frames from TCP segments of
// any size.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zuvsdk/frame.h"

namespace {

using zuvsdk::EncodeResponseFrame;
using zuvsdk::FrameReader;

// Feeds stream to a reader cut at the given sizes (the rest in one piece)
// and collects every frame it yields.
std::vector<std::string> Reassemble(const std::string& stream, const std::vector<size_t>& cuts) {
  FrameReader reader;
  std::vector<std::string> frames;
  size_t pos = 0;
  auto drain = [&] {
    std::string body, err;
    while (reader.Next(&body, &err) == 0) frames.push_back(body);
  };
  for (size_t cut : cuts) {
    reader.Feed(std::string_view(stream).substr(pos, cut));
    pos += cut;
    drain();
  }
  reader.Feed(std::string_view(stream).substr(pos));
  drain();
  return frames;
}

TEST(FrameTest, RequestFrameIsDigitsThenJson) {
  EXPECT_EQ(zuvsdk::EncodeRequestFrame("{\"a\":1}"), "7{\"a\":1}");
}

TEST(FrameTest, ResponseHeaderIsTenBytesWithNulAfterTheCount) {
  const std::string frame = EncodeResponseFrame(std::string(12345, 'x'));
  ASSERT_EQ(frame.size(), 10u + 12345u);
  EXPECT_EQ(frame.substr(0, 6), std::string("12345\0", 6));
  size_t length = 0;
  std::string err;
  EXPECT_EQ(zuvsdk::ParseResponseHeader(frame, &length, &err), 0);
  EXPECT_EQ(length, 12345u);
}

TEST(FrameTest, HeaderFillerAfterTheNulIsIgnored) {
  size_t length = 0;
  std::string err;
  EXPECT_EQ(zuvsdk::ParseResponseHeader(std::string("2\0garbage", 10), &length, &err), 0);
  EXPECT_EQ(length, 2u);
}

TEST(FrameTest, MalformedHeadersAreRefused) {
  size_t length = 0;
  std::string err;
  EXPECT_NE(zuvsdk::ParseResponseHeader(std::string("\0\0\0\0\0\0\0\0\0\0", 10), &length, &err), 0);
  EXPECT_NE(zuvsdk::ParseResponseHeader("1234567890", &length, &err), 0);     // no NUL
  EXPECT_NE(zuvsdk::ParseResponseHeader(std::string("12a\0\0\0\0\0\0\0", 10), &length, &err), 0);
  EXPECT_NE(zuvsdk::ParseResponseHeader(std::string("999999999\0", 10), &length, &err), 0);  // over the limit
  EXPECT_NE(zuvsdk::ParseResponseHeader("12", &length, &err), 0);
}

TEST(FrameTest, OneFrameSplitIntoEverySegmentSize) {
  const std::string json = "{\"ErrorNumber\":0,\"ErrorString\":\"\",\"ROWS\":[]}";
  const std::string stream = EncodeResponseFrame(json);
  // Single bytes, a cut inside the header, a cut right after it, and one
  // byte before the end.
  for (size_t step : {1u, 3u, 9u, 10u, 11u}) {
    std::vector<size_t> cuts(stream.size() / step, step);
    EXPECT_EQ(Reassemble(stream, cuts), std::vector<std::string>{json}) << "step " << step;
  }
  EXPECT_EQ(Reassemble(stream, {stream.size() - 1}), std::vector<std::string>{json});
}

TEST(FrameTest, CoalescedFramesComeOutInOrder) {
  const std::vector<std::string> bodies = {"{\"n\":1}", "{}", std::string(70000, 'y'), "{\"n\":4}"};
  std::string stream;
  for (const std::string& b : bodies) stream += EncodeResponseFrame(b);
  EXPECT_EQ(Reassemble(stream, {}), bodies);             // all in one segment
  EXPECT_EQ(Reassemble(stream, {13, 5, 40000}), bodies);  // frames straddling segments
}

TEST(FrameTest, IncompleteFrameWaitsAndReportsWhatItExpects) {
  FrameReader reader;
  const std::string stream = EncodeResponseFrame("{\"abc\":true}");
  reader.Feed(stream.substr(0, 12));
  std::string body, err;
  EXPECT_EQ(reader.Next(&body, &err), 2);
  size_t expected = 0;
  ASSERT_TRUE(reader.expected(&expected));
  EXPECT_EQ(expected, 12u);
  reader.Feed(stream.substr(12));
  EXPECT_EQ(reader.Next(&body, &err), 0);
  EXPECT_EQ(body, "{\"abc\":true}");
  EXPECT_EQ(reader.buffered(), 0u);
}

TEST(FrameTest, ABadHeaderLeavesTheReaderFailed) {
  FrameReader reader;
  reader.Feed("not a header at all");
  std::string body, err;
  EXPECT_EQ(reader.Next(&body, &err), 1);
  EXPECT_FALSE(err.empty());
  reader.Feed(EncodeResponseFrame("{}"));
  EXPECT_EQ(reader.Next(&body, &err), 1);
}

}  // namespace
