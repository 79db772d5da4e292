// HTML inside RTF: escapes of RTF's specials and of every non-ASCII
// character, and the way back.
#include "mapi_access/rtf_text.h"

#include <gtest/gtest.h>

#include <string>

namespace zuv {
namespace {

std::string Body(const std::string& rtf) {
  const std::string open = "{\\*\\htmltag1 ";
  size_t start = rtf.find(open);
  return start == std::string::npos ? "" : rtf.substr(start + open.size(), rtf.size() - start - open.size() - 3);
}

TEST(RtfTextTest, HeaderDeclaresCodePageUnicodeSkipAndHtmlOrigin) {
  const std::string rtf = HtmlToRtf("<b>x</b>", "1252");
  EXPECT_EQ(rtf, "{\\rtf1\\ansi\\ansicpg1252\\uc1\\fromhtml1 {\\*\\htmltag1 <b>x</b> }}");
}

TEST(RtfTextTest, SpecialsAndNonAsciiAreEscapedSoTheDocumentIsAscii) {
  EXPECT_EQ(Body(HtmlToRtf("a\\b{c}d", "1252")), "a\\\\b\\{c\\}d");
  // ü U+00FC, П U+041F, 世 U+4E16, and U+1F4E7 as a surrogate pair; code
  // units above 0x7FFF are written signed.
  EXPECT_EQ(Body(HtmlToRtf("\xC3\xBC\xD0\x9F\xE4\xB8\x96\xF0\x9F\x93\xA7", "1252")),
            "\\u252?\\u1055?\\u19990?\\u-10179?\\u-8985?");
  EXPECT_EQ(Body(HtmlToRtf("\xEF\xBF\xBD", "1252")), "\\u-3?");  // U+FFFD
  // Line ends and bytes that are not UTF-8 stay as hexadecimal escapes.
  EXPECT_EQ(Body(HtmlToRtf("a\r\nb\xFF\xC3", "1252")), "a\\'0d\\'0ab\\'ff\\'c3");
  EXPECT_EQ(Body(HtmlToRtf("\xC0\xAF", "1252")), "\\'c0\\'af");  // overlong '/'
}

TEST(RtfTextTest, RoundTripKeepsEveryScriptAndSpecial) {
  const std::string samples[] = {
      "",
      "<p>plain</p>",
      "<p>{braces} \\back\\slash</p>",
      "Grüße aus München; Привет, мир; こんにちは世界; 📧 end ",
      "line one\r\nline two\n\ttabbed",
  };
  for (const std::string& html : samples) {
    std::string back = "unchanged";
    ASSERT_TRUE(HtmlFromRtf(HtmlToRtf(html, "65001"), &back)) << html;
    EXPECT_EQ(back, html);
  }
}

TEST(RtfTextTest, ReaderTakesOnlyHtmlTagGroupsAndRefusesOtherDocuments) {
  std::string html;
  EXPECT_TRUE(HtmlFromRtf("{\\rtf1\\ansi\\fromhtml1 {\\fonttbl{\\f0 Arial;}}{\\*\\htmltag19 <p>}\\htmlrtf ignored"
                          "\\htmlrtf0 {\\*\\htmltag64 \\u1055?x}}",
                          &html));
  EXPECT_EQ(html, "<p>\xD0\x9Fx");
  EXPECT_FALSE(HtmlFromRtf("{\\rtf1\\ansi plain RTF}", &html));
  EXPECT_FALSE(HtmlFromRtf("<p>not rtf</p>", &html));
  EXPECT_FALSE(HtmlFromRtf("{\\rtf1\\fromhtml1 {\\*\\htmltag1 \\'4", &html));  // cut inside an escape
}

}  // namespace
}  // namespace zuv
