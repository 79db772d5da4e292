// rtf_text.cpp: HTML inside RTF with Unicode escapes, and back.
#include "mapi_access/rtf_text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "mapi/mapiutil.h"

namespace zuv {
namespace {

// Decodes one UTF-8 sequence at text[*pos]; advances *pos past it. False
// (and *pos unchanged) for an invalid or overlong sequence.
bool NextCodePoint(std::string_view text, size_t* pos, uint32_t* cp) {
  const auto b0 = static_cast<unsigned char>(text[*pos]);
  size_t len = 0;
  uint32_t value = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    value = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    value = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    value = b0 & 0x07;
  } else {
    return false;
  }
  if (*pos + len > text.size()) return false;
  for (size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(text[*pos + i]);
    if ((b & 0xC0) != 0x80) return false;
    value = (value << 6) | (b & 0x3F);
  }
  if ((len == 3 && value < 0x800) || (len == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
      (value >= 0xD800 && value <= 0xDFFF)) {
    return false;
  }
  *pos += len;
  *cp = value;
  return true;
}

void AppendUnicodeEscape(uint16_t unit, std::string* out) {
  *out += "\\u";
  *out += std::to_string(static_cast<int16_t>(unit));
  out->push_back('?');
}

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HtmlToRtf(std::string_view html, const std::string& codePage) {
  std::string rtf = "{\\rtf1\\ansi\\ansicpg" + codePage + "\\uc1\\fromhtml1 {\\*\\htmltag1 ";
  rtf.reserve(rtf.size() + html.size() + html.size() / 4 + 4);
  size_t pos = 0;
  while (pos < html.size()) {
    const char c = html[pos];
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20) {  // raw line ends are not text in RTF
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\'%02x", b);
      rtf += hex;
      ++pos;
      continue;
    }
    if (b < 0x80) {
      if (c == '\\' || c == '{' || c == '}') rtf.push_back('\\');
      rtf.push_back(c);
      ++pos;
      continue;
    }
    uint32_t cp = 0;
    if (!NextCodePoint(html, &pos, &cp)) {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\'%02x", b);
      rtf += hex;
      ++pos;
      continue;
    }
    if (cp < 0x10000) {
      AppendUnicodeEscape(static_cast<uint16_t>(cp), &rtf);
    } else {
      const uint32_t v = cp - 0x10000;
      AppendUnicodeEscape(static_cast<uint16_t>(0xD800 + (v >> 10)), &rtf);
      AppendUnicodeEscape(static_cast<uint16_t>(0xDC00 + (v & 0x3FF)), &rtf);
    }
  }
  rtf += " }}";
  return rtf;
}

bool HtmlFromRtf(std::string_view rtf, std::string* html) {
  if (rtf.substr(0, 6) != "{\\rtf1" || rtf.find("\\fromhtml1") == std::string_view::npos) return false;
  std::string out;
  int depth = 0;
  int htmlDepth = 0;       // depth of the open \htmltag group; 0 outside one
  bool pendingStar = false;
  int skipAfterUnicode = 1;  // \ucN
  uint16_t highSurrogate = 0;
  size_t i = 0;
  auto inHtml = [&] { return htmlDepth != 0 && depth >= htmlDepth; };
  while (i < rtf.size()) {
    const char c = rtf[i];
    if (c == '{') {
      ++depth;
      ++i;
      continue;
    }
    if (c == '}') {
      if (htmlDepth != 0 && depth == htmlDepth) htmlDepth = 0;
      --depth;
      ++i;
      continue;
    }
    if (c != '\\') {
      if (inHtml() && c != '\r' && c != '\n') out.push_back(c);
      ++i;
      continue;
    }
    // A control symbol or word.
    if (i + 1 >= rtf.size()) return false;
    const char next = rtf[i + 1];
    if (next == '\\' || next == '{' || next == '}') {
      if (inHtml()) out.push_back(next);
      i += 2;
      continue;
    }
    if (next == '*') {
      pendingStar = true;
      i += 2;
      continue;
    }
    if (next == '\'') {
      if (i + 3 >= rtf.size()) return false;
      const int hi = HexValue(rtf[i + 2]);
      const int lo = HexValue(rtf[i + 3]);
      if (hi < 0 || lo < 0) return false;
      if (inHtml()) out.push_back(static_cast<char>(hi * 16 + lo));
      i += 4;
      continue;
    }
    if (!IsAlpha(next)) {  // other control symbols carry no text here
      i += 2;
      continue;
    }
    size_t j = i + 1;
    while (j < rtf.size() && IsAlpha(rtf[j])) ++j;
    const std::string_view word = rtf.substr(i + 1, j - i - 1);
    bool hasParam = false;
    long param = 0;
    size_t k = j;
    if (k < rtf.size() && (rtf[k] == '-' || IsDigit(rtf[k]))) {
      size_t start = k;
      if (rtf[k] == '-') ++k;
      while (k < rtf.size() && IsDigit(rtf[k])) ++k;
      param = std::strtol(std::string(rtf.substr(start, k - start)).c_str(), nullptr, 10);
      hasParam = true;
    }
    if (k < rtf.size() && rtf[k] == ' ') ++k;  // the delimiter belongs to the word
    i = k;
    if (word == "htmltag" && pendingStar) htmlDepth = depth;
    pendingStar = false;
    if (word == "uc" && hasParam) {
      skipAfterUnicode = static_cast<int>(param);
    } else if (word == "u" && hasParam) {
      const auto unit = static_cast<uint16_t>(static_cast<int16_t>(param));
      // The fallback characters that follow are for readers without Unicode.
      for (int s = 0; s < skipAfterUnicode && i < rtf.size() && rtf[i] != '\\' && rtf[i] != '{' && rtf[i] != '}'; ++s) ++i;
      if (!inHtml()) continue;
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        highSurrogate = unit;
      } else if (unit >= 0xDC00 && unit <= 0xDFFF && highSurrogate != 0) {
        zuvstore::AppendUtf8(&out, 0x10000 + ((static_cast<char32_t>(highSurrogate) - 0xD800) << 10) + (unit - 0xDC00));
        highSurrogate = 0;
      } else {
        zuvstore::AppendUtf8(&out, unit);
        highSurrogate = 0;
      }
    } else if (word == "par" && inHtml()) {
      out += "\r\n";
    } else if (word == "tab" && inHtml()) {
      out.push_back('\t');
    }
  }
  // The trailing blank HtmlToRtf puts before the group's end is not HTML.
  if (!out.empty() && out.back() == ' ') out.pop_back();
  *html = std::move(out);
  return true;
}

}  // namespace zuv
