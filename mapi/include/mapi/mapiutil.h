// mapiutil.h: text conversions shared by the store and its callers.
//
// Strings are 8-bit UTF-8 (the "ANSI code page" of this system); MAPI's
// Unicode values are UTF-16. Invalid sequences become U+FFFD, a lone
// surrogate included; nothing is dropped silently.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zuvstore {

std::string Utf16ToUtf8(const char16_t* s, size_t len);
std::u16string Utf8ToUtf16(std::string_view s);
// Appends cp as UTF-8, unchecked: the caller decides what a surrogate or an
// out-of-range value becomes.
void AppendUtf8(std::string* out, char32_t cp);

}  // namespace zuvstore
