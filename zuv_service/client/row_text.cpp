// row_text.cpp: the JSON text of cached rows.
#include "client/row_text.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <rapidjson/internal/itoa.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mapi/mapitags.h"
#include "mapi_access/prop_tags.h"

namespace {

// The escape of each byte: 0 none, 'u' for \u00XX, else the letter after '\'.
struct EscapeTable {
  char of[256] = {};
  constexpr EscapeTable() {
    for (int c = 0; c < 0x20; ++c) of[c] = 'u';
    of[0x08] = 'b';
    of[0x09] = 't';
    of[0x0A] = 'n';
    of[0x0C] = 'f';
    of[0x0D] = 'r';
    of[0x22] = '"';
    of[0x5C] = '\\';
  }
};
constexpr EscapeTable kEscape;
constexpr char kHex[] = "0123456789ABCDEF";

// The mask of the bytes of a 16-byte block JSON escapes.
#if defined(__SSE2__)
inline unsigned SpecialMask(__m128i s) {
  const __m128i special =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(s, _mm_set1_epi8('"')), _mm_cmpeq_epi8(s, _mm_set1_epi8('\\'))),
                   _mm_cmpeq_epi8(_mm_max_epu8(s, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F)));
  return static_cast<unsigned>(_mm_movemask_epi8(special));
}
#endif

// Writes the escape of c at out; returns the end.
inline char* WriteEscape(char* out, unsigned char c) {
  const char e = kEscape.of[c];
  *out++ = '\\';
  *out++ = e;
  if (e == 'u') {
    out[0] = '0';
    out[1] = '0';
    out[2] = kHex[c >> 4];
    out[3] = kHex[c & 15];
    out += 4;
  }
  return out;
}

// Writes s escaped, without quotes; a NUL becomes nul_as when that is set.
// Blocks of 16 bytes are stored whole before they are checked: the room
// for escapes is there, and what follows a special byte is written over.
char* WriteEscaped(char* out, std::string_view s, char nul_as = 0) {
  const char* p = s.data();
  const char* const end = p + s.size();
#if defined(__SSE2__)
  while (end - p >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
    const unsigned mask = SpecialMask(block);
    if (mask == 0) {
      p += 16;
      out += 16;
      continue;
    }
    const unsigned n = static_cast<unsigned>(__builtin_ctz(mask));
    p += n;
    out += n;
    const unsigned char c = static_cast<unsigned char>(*p++);
    if (c == 0 && nul_as != 0) {
      *out++ = nul_as;
    } else {
      out = WriteEscape(out, c);
    }
  }
#endif
  for (; p < end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (kEscape.of[c] == 0) {
      *out++ = static_cast<char>(c);
    } else if (c == 0 && nul_as != 0) {
      *out++ = nul_as;
    } else {
      out = WriteEscape(out, c);
    }
  }
  return out;
}

// The bytes WriteEscaped writes for s (a NUL taken as one byte when
// nulAsOne: the caller's nul_as).
inline size_t EscapeExtra(unsigned char c, bool nulAsOne) {
  if (c == 0 && nulAsOne) return 0;
  return kEscape.of[c] == 'u' ? 5 : (kEscape.of[c] != 0 ? 1 : 0);
}

size_t EscapedLength(std::string_view s, bool nulAsOne = false) {
  const char* p = s.data();
  const char* const end = p + s.size();
  size_t extra = 0;
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    unsigned mask = SpecialMask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    for (; mask != 0; mask &= mask - 1) {
      extra += EscapeExtra(static_cast<unsigned char>(p[__builtin_ctz(mask)]), nulAsOne);
    }
  }
#endif
  for (; p < end; ++p) extra += EscapeExtra(static_cast<unsigned char>(*p), nulAsOne);
  return s.size() + extra;
}

char* WriteBase64(char* out, std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = static_cast<uint32_t>(p[i]) << 16 | static_cast<uint32_t>(p[i + 1]) << 8 | p[i + 2];
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = kAlphabet[(v >> 6) & 63];
    out[3] = kAlphabet[v & 63];
    out += 4;
  }
  if (n - i == 1) {
    const uint32_t v = static_cast<uint32_t>(p[i]) << 16;
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = '=';
    out[3] = '=';
    out += 4;
  } else if (n - i == 2) {
    const uint32_t v = static_cast<uint32_t>(p[i]) << 16 | static_cast<uint32_t>(p[i + 1]) << 8;
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = kAlphabet[(v >> 6) & 63];
    out[3] = '=';
    out += 4;
  }
  return out;
}

char* Put(char* out, std::string_view s) {
  std::memcpy(out, s.data(), s.size());
  return out + s.size();
}

// The name a tag is written under: the table's column name, the static
// name table, else the decimal tag.
std::string ColumnName(ULONG tag, const std::map<ULONG, std::string>& names) {
  auto it = names.find(tag);
  if (it != names.end()) return it->second;
  std::string name;
  if (zuv::FirstNameFromTag(tag, &name) == 0) return name;
  char text[16];
  std::snprintf(text, sizeof(text), "%lu", static_cast<unsigned long>(tag));
  return text;
}

// Room for any cell's value but the key's: 6 bytes of text a byte of the
// row (escapes), and a number or a time.
constexpr size_t kCellSlack = 32;

}  // namespace

// ---- Buffer ----

namespace {

// From this size a buffer is mapped pages of its own, huge pages where the
// kernel gives them: a connection's first large response then faults in
// a few dozen pages, not thousands.
constexpr size_t kMappedBytes = size_t{8} << 20;
constexpr size_t kHugePageBytes = size_t{2} << 20;

}  // namespace

ZUV_TextBuffer::~ZUV_TextBuffer() { Release(); }

void ZUV_TextBuffer::Grow(size_t n) {
  size_t capacity = std::max<size_t>(capacity_ * 2, 4096);
  while (capacity - size_ < n) capacity *= 2;
  if (capacity < kMappedBytes) {
    char* data = static_cast<char*>(std::realloc(data_, capacity));
    if (data == nullptr) std::abort();  // out of memory
    data_ = data;
    capacity_ = capacity;
    return;
  }
  capacity = (capacity + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  void* data = MAP_FAILED;
  if (mapped_) {
    data = ::mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);  // keeps the advice
  } else {
    data = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data != MAP_FAILED) {
      (void)::madvise(data, capacity, MADV_HUGEPAGE);
      if (size_ != 0) std::memcpy(data, data_, size_);
      std::free(data_);
    }
  }
  if (data == MAP_FAILED) std::abort();  // out of memory
  data_ = static_cast<char*>(data);
  capacity_ = capacity;
  mapped_ = true;
}

void ZUV_TextBuffer::Append(std::string_view s) {
  std::memcpy(Reserve(s.size()), s.data(), s.size());
  size_ += s.size();
}

void ZUV_TextBuffer::Release() {
  if (mapped_) {
    ::munmap(data_, capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
  mapped_ = false;
}

// ---- Strings ----

char* WriteJsonString(char* out, std::string_view s) {
  *out++ = '"';
  out = WriteEscaped(out, s);
  *out++ = '"';
  return out;
}

void AppendJsonString(ZUV_TextBuffer* out, std::string_view s) {
  out->CommitTo(WriteJsonString(out->Reserve(JsonStringBound(s.size())), s));
}

// ---- Rows ----

const std::string& ZUV_RowTextWriter::Opening(ULONG tag) {
  auto it = std::lower_bound(openings_.begin(), openings_.end(), tag,
                             [](const std::pair<ULONG, std::string>& e, ULONG t) { return e.first < t; });
  if (it != openings_.end() && it->first == tag) return it->second;
  std::string opening;
  if (column_names_.count(tag) != 0 && IsSupportedProperty(tag)) {
    std::string member = ColumnName(tag, column_names_);
    if (tag != kRowKeyTag) {
      char suffix[16];
      const int n = std::snprintf(suffix, sizeof(suffix), "-%d", static_cast<int>(PROP_TYPE(tag)));
      member.append(suffix, static_cast<size_t>(n));
    }
    opening.resize(JsonStringBound(member.size()) + 2);
    char* end = opening.data();
    *end++ = '{';
    end = WriteJsonString(end, member);
    *end++ = ':';
    opening.resize(static_cast<size_t>(end - opening.data()));
  }
  return openings_.insert(it, {tag, std::move(opening)})->second;
}

void ZUV_RowTextWriter::TakeOpenings(const ZUV_Row& row) {
  const size_t count = row.Count();
  const ULONG* tags = row.TagList();
  if (tags != last_tags_ || last_openings_.size() != count) {
    // Added first: an insertion moves the openings held before it.
    for (size_t i = 0; i < count; ++i) (void)Opening(tags[i]);
    last_openings_.resize(count);
    last_openings_bytes_ = 0;
    for (size_t i = 0; i < count; ++i) {
      last_openings_[i] = &Opening(tags[i]);
      last_openings_bytes_ += last_openings_[i]->size();
    }
    // An interned list is never freed, so its address names it; a row's
    // own list could be freed and its address reused.
    last_tags_ = row.TagListInterned() ? tags : nullptr;
  }
}

void ZUV_RowTextWriter::WriteRow(const ZUV_Row& row, ZUV_TextBuffer* out) {
  TakeOpenings(row);
  const size_t count = row.Count();
  // The key's text names the row and is the key cell's value.
  const ZUV_RowKey key = row.KeyView();
  const size_t keyBound = key.binary ? 2 * key.bytes.size() + 2 : JsonStringBound(key.bytes.size());
  char* const start = out->Reserve(3 * keyBound + last_openings_bytes_ + 6 * row.AllocatedBytes() +
                                   kCellSlack * count + 8);
  char* p = start;
  *p++ = '{';
  char* const keyText = p;
  if (key.binary) {
    *p++ = '"';
    p = WriteHex(key.bytes, p);
    *p++ = '"';
  } else {
    p = WriteJsonString(p, key.bytes);
  }
  const std::string_view quotedKey(keyText, static_cast<size_t>(p - keyText));
  *p++ = ':';
  *p++ = '[';
  bool first = true;
  for (size_t i = 0; i < count; ++i) {
    const std::string& opening = *last_openings_[i];
    if (opening.empty()) continue;
    const ZUV_CellView v = row.At(i);
    const ULONG tag = v.tag;
    char* const cellStart = p;
    if (!first) *p++ = ',';
    p = Put(p, opening);
    if (tag == kRowKeyTag || tag == kAttachNumTag) {
      if (v.binary_key) {
        p = Put(p, quotedKey);
      } else {
        p = WriteJsonString(p, v.bytes);
      }
    } else {
      switch (PROP_TYPE(tag)) {
        case PT_BOOLEAN:
          p = Put(p, (v.number & 0xFFFF) != 0 ? std::string_view("true") : std::string_view("false"));
          break;
        case PT_I2:
          p = rapidjson::internal::i32toa(static_cast<int16_t>(v.number), p);
          break;
        case PT_LONG:
          p = rapidjson::internal::i32toa(static_cast<int32_t>(v.number), p);
          break;
        case PT_STRING8:
        case PT_UNICODE:
          if (v.bytes.empty()) {
            p = cellStart;  // empty strings are left out
            continue;
          }
          p = WriteJsonString(p, v.bytes);
          break;
        case PT_SYSTIME:
          *p++ = '"';
          p = rapidjson::internal::u32toa(static_cast<uint32_t>(v.time.dwHighDateTime), p);
          *p++ = ',';
          p = rapidjson::internal::u32toa(static_cast<uint32_t>(v.time.dwLowDateTime), p);
          *p++ = '"';
          break;
        case PT_BINARY:
          *p++ = '"';
          p = WriteBase64(p, v.bytes);
          *p++ = '"';
          break;
        case PT_MV_STRING8: {
          std::string_view joined = v.bytes;
          if (!joined.empty()) joined.remove_suffix(1);  // the last NUL
          *p++ = '"';
          p = WriteEscaped(p, joined, ',');
          *p++ = '"';
          break;
        }
        default:
          p = cellStart;  // PT_I8 and the rest are left out
          continue;
      }
    }
    *p++ = '}';
    first = false;
  }
  *p++ = ']';
  *p++ = '}';
  out->CommitTo(p);
}

size_t ZUV_RowTextWriter::MeasureRow(const ZUV_Row& row) {
  TakeOpenings(row);
  const size_t count = row.Count();
  const ZUV_RowKey key = row.KeyView();
  const size_t quotedKey = key.binary ? 2 * key.bytes.size() + 2 : EscapedLength(key.bytes) + 2;
  size_t n = quotedKey + 3;  // {KEY:[
  bool first = true;
  for (size_t i = 0; i < count; ++i) {
    const std::string& opening = *last_openings_[i];
    if (opening.empty()) continue;
    const ZUV_CellView v = row.At(i);
    const ULONG tag = v.tag;
    size_t value = 0;
    if (tag == kRowKeyTag || tag == kAttachNumTag) {
      value = v.binary_key ? quotedKey : EscapedLength(v.bytes) + 2;
    } else {
      char digits[16];
      switch (PROP_TYPE(tag)) {
        case PT_BOOLEAN:
          value = (v.number & 0xFFFF) != 0 ? 4 : 5;
          break;
        case PT_I2:
          value = static_cast<size_t>(rapidjson::internal::i32toa(static_cast<int16_t>(v.number), digits) - digits);
          break;
        case PT_LONG:
          value = static_cast<size_t>(rapidjson::internal::i32toa(static_cast<int32_t>(v.number), digits) - digits);
          break;
        case PT_STRING8:
        case PT_UNICODE:
          if (v.bytes.empty()) continue;
          value = EscapedLength(v.bytes) + 2;
          break;
        case PT_SYSTIME:
          value = 3 + static_cast<size_t>(rapidjson::internal::u32toa(
                          static_cast<uint32_t>(v.time.dwHighDateTime), digits) - digits);
          value += static_cast<size_t>(rapidjson::internal::u32toa(
                       static_cast<uint32_t>(v.time.dwLowDateTime), digits) - digits);
          break;
        case PT_BINARY:
          value = 2 + (v.bytes.size() + 2) / 3 * 4;
          break;
        case PT_MV_STRING8: {
          std::string_view joined = v.bytes;
          if (!joined.empty()) joined.remove_suffix(1);
          value = 2 + EscapedLength(joined, true);
          break;
        }
        default:
          continue;
      }
    }
    n += (first ? 0 : 1) + opening.size() + value + 1;
    first = false;
  }
  return n + 2;  // ]}
}
