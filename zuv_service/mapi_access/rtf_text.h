// rtf_text.h: HTML carried inside RTF for stores without HTML support, and
// back.
//
// The RTF written is 7-bit clean whatever the text: every character outside
// ASCII becomes a Unicode escape (\uN? with N the signed 16-bit code unit,
// characters beyond the BMP as two surrogate escapes, '?' the fallback for
// readers without Unicode), and RTF's own specials '\', '{' and '}' are
// escaped. The declared code page therefore never changes the text.
#pragma once

#include <string>
#include <string_view>

namespace zuv {

// The RTF document "{\rtf1\ansi\ansicpg<codePage>\uc1\fromhtml1
// {\*\htmltag1 <html> }}" with html (UTF-8) escaped as above. Bytes that
// are not valid UTF-8 are kept as hexadecimal escapes (\'hh).
std::string HtmlToRtf(std::string_view html, const std::string& codePage);

// The HTML of an RTF document that HtmlToRtf wrote (or any \fromhtml1
// document of the same shape), as UTF-8: the text of its \htmltag groups
// with the escapes undone. False when rtf is not such a document.
[[nodiscard]] bool HtmlFromRtf(std::string_view rtf, std::string* html);

}  // namespace zuv
