// propval.cpp: stored property values, property-list blobs, value comparison
// and restriction evaluation.
//
// Blob layout of SerializePropList, one entry per property in ID order:
//   u16 prop ID, u32 type (high bit: truncated), u32 payload length, payload
// All integers little-endian. An empty list is an empty blob.
#include "propval.h"

#include <bit>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>

namespace zuvstore {
namespace {

constexpr uint32_t kTruncatedBit = 0x80000000u;
constexpr size_t kEntryHeader = 10;  // u16 ID, u32 type, u32 length
constexpr int kMaxRestrictionDepth = 64;
constexpr char32_t kReplacement = 0xFFFD;

// ---- Little-endian payloads ----

// The host is little-endian too, so the payload of a fixed-size value is its
// bytes in the SPropValue union (FILETIME low word first, GUID fields in host
// order): fixed values and arrays of them copy as they are.
static_assert(std::endian::native == std::endian::little, "payloads are the host's bytes");

template <class T>
void Put(std::string* s, T v) {
  s->append(reinterpret_cast<const char*>(&v), sizeof v);
}

template <class T>
T Load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

int Sign(bool less, bool greater) { return less ? -1 : (greater ? 1 : 0); }

template <class T>
int Order(const T& a, const T& b) {
  return Sign(a < b, b < a);
}

// ---- Types the store keeps ----

enum class Kind { kUnknown, kFixed, kString, kBinary };

struct TypeInfo {
  Kind kind;
  size_t size;  // payload bytes of a kFixed type
};

TypeInfo InfoOf(ULONG base) {
  switch (base) {
    case PT_I2:
    case PT_BOOLEAN:
      return {Kind::kFixed, 2};
    case PT_LONG:
    case PT_FLOAT:
    case PT_ERROR:
      return {Kind::kFixed, 4};
    case PT_DOUBLE:
    case PT_CURRENCY:
    case PT_APPTIME:
    case PT_I8:
    case PT_SYSTIME:
      return {Kind::kFixed, 8};
    case PT_CLSID:
      return {Kind::kFixed, 16};
    case PT_STRING8:
    case PT_UNICODE:
      return {Kind::kString, 0};
    case PT_BINARY:
      return {Kind::kBinary, 0};
    default:
      return {Kind::kUnknown, 0};
  }
}

ULONG BaseType(ULONG type) { return type & ~MV_FLAG; }
bool IsMv(ULONG type) { return (type & MV_FLAG) != 0; }
bool IsStringType(ULONG base) { return base == PT_STRING8 || base == PT_UNICODE; }

bool IsKeptType(ULONG type) {
  if (type > PROP_TYPE_MASK) return false;
  ULONG base = BaseType(type);
  if (InfoOf(base).kind == Kind::kUnknown) return false;
  return !IsMv(type) || (base != PT_BOOLEAN && base != PT_ERROR);
}

// Walks the elements of an MV payload (u32 count, then the elements) without
// copying them.
class MvCursor {
 public:
  MvCursor(ULONG base, std::string_view data) : info_(InfoOf(base)), rest_(data) {
    if (rest_.size() >= 4 && info_.kind != Kind::kUnknown) {
      left_ = Load<uint32_t>(rest_.data());
      rest_.remove_prefix(4);
      ok_ = true;
    }
  }

  // The next element; false at the end or on corrupt data.
  bool Next(std::string_view* elem) {
    if (!ok_ || left_ == 0) return false;
    size_t n = info_.size;
    if (info_.kind != Kind::kFixed) {
      if (rest_.size() < 4) return Fail();
      n = Load<uint32_t>(rest_.data());
      rest_.remove_prefix(4);
    }
    if (rest_.size() < n) return Fail();
    *elem = rest_.substr(0, n);
    rest_.remove_prefix(n);
    --left_;
    return true;
  }

  // Every element read and nothing after them.
  bool AtCleanEnd() const { return ok_ && left_ == 0 && rest_.empty(); }

 private:
  bool Fail() {
    ok_ = false;
    return false;
  }

  TypeInfo info_;
  std::string_view rest_;
  uint32_t left_ = 0;
  bool ok_ = false;
};

// A truncated value is a prefix; a cut MV list is read up to its last whole
// element, so only its framing is not checked.
bool ValidPayload(ULONG type, std::string_view data, bool truncated) {
  if (!IsKeptType(type)) return false;
  TypeInfo info = InfoOf(BaseType(type));
  if (IsMv(type)) {
    if (truncated) return true;
    MvCursor c(BaseType(type), data);
    std::string_view e;
    while (c.Next(&e)) {
    }
    return c.AtCleanEnd();
  }
  if (info.kind == Kind::kFixed) return !truncated && data.size() == info.size;
  return true;
}

// ---- UTF-8 ----

// Decodes the code point at s[*i] and advances past it; an invalid sequence
// becomes U+FFFD and is skipped as its longest valid-looking prefix.
char32_t NextCodePoint(std::string_view s, size_t* i) {
  auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t k = *i;
  const unsigned char c = p[k++];
  if (c < 0x80) {
    *i = k;
    return c;
  }
  int len = 0;
  char32_t cp = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    *i = k;
    return kReplacement;
  }
  for (int m = 1; m < len; ++m) {
    if (k >= s.size() || p[k] < lo || p[k] > hi) {
      *i = k;
      return kReplacement;
    }
    cp = (cp << 6) | (p[k++] & 0x3F);
    lo = 0x80;
    hi = 0xBF;
  }
  *i = k;
  return cp;
}

// The first max_chars characters of s (all of s when it has fewer).
std::string_view CutUtf8(std::string_view s, size_t max_chars) {
  size_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) continue;
    if (chars == max_chars) return s.substr(0, i);
    ++chars;
  }
  return s;
}

// Drops a sequence left incomplete at the end of a truncated value.
std::string_view TrimCutUtf8(std::string_view s) {
  const size_t n = s.size();
  for (size_t back = 1; back <= 4 && back <= n; ++back) {
    const auto c = static_cast<unsigned char>(s[n - back]);
    if ((c & 0xC0) == 0x80) continue;
    const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return need > back ? s.substr(0, n - back) : s;
  }
  return s;
}

// Case folding for comparisons: ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic capitals map to their small letters.
char32_t SimpleFold(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
    return c | 1;
  }
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
  if (c == 0x178) return 0xFF;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

int CompareFolded(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const char32_t x = SimpleFold(NextCodePoint(a, &i));
    const char32_t y = SimpleFold(NextCodePoint(b, &j));
    if (x != y) return Order(x, y);
  }
  return Sign(i == a.size() && j < b.size(), i < a.size() && j == b.size());
}

// True when hay starts with needle, ignoring case.
bool FoldedStartsWith(std::string_view hay, std::string_view needle) {
  size_t i = 0, j = 0;
  while (j < needle.size()) {
    if (i >= hay.size()) return false;
    if (SimpleFold(NextCodePoint(hay, &i)) != SimpleFold(NextCodePoint(needle, &j))) return false;
  }
  return true;
}

bool FoldedContains(std::string_view hay, std::string_view needle) {
  size_t i = 0;
  while (true) {
    if (FoldedStartsWith(hay.substr(i), needle)) return true;
    if (i >= hay.size()) return false;
    NextCodePoint(hay, &i);
  }
}

// ---- Values in SPropValue ----

// Every MV member of _PV is a count followed by an array pointer.
struct MvView {
  ULONG count;
  void* items;
};
static_assert(sizeof(MvView) == sizeof(SLongArray) &&
              offsetof(SBinaryArray, lpbin) == offsetof(MvView, items));

MvView GetMv(const _PV& pv) {
  MvView m;
  std::memcpy(&m, &pv, sizeof m);
  return m;
}

void SetMv(_PV* pv, size_t count, void* items) {
  const MvView m{static_cast<ULONG>(count), items};
  std::memcpy(pv, &m, sizeof m);
}

size_t Utf16Length(const char16_t* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// Appends the payload of one string or binary element.
HRESULT PutVariable(ULONG base, const void* item, std::string* out) {
  if (base == PT_BINARY) {
    const auto* b = static_cast<const SBinary*>(item);
    if (b->cb > 0 && b->lpb == nullptr) return MAPI_E_INVALID_PARAMETER;
    if (b->cb > 0) out->append(reinterpret_cast<const char*>(b->lpb), b->cb);
    return S_OK;
  }
  if (base == PT_STRING8) {
    const char* s = *static_cast<const LPSTR*>(item);
    if (s == nullptr) return MAPI_E_INVALID_PARAMETER;
    out->append(s);
    return S_OK;
  }
  const char16_t* w = *static_cast<const LPWSTR*>(item);
  if (w == nullptr) return MAPI_E_INVALID_PARAMETER;
  out->append(Utf16ToUtf8(w, Utf16Length(w)));
  return S_OK;
}

HRESULT EncodeValue(const _PV& pv, ULONG type, std::string* out) {
  const ULONG base = BaseType(type);
  const TypeInfo info = InfoOf(base);
  if (!IsMv(type)) {
    switch (base) {
      case PT_BOOLEAN:
        Put<uint16_t>(out, pv.b != 0 ? 1 : 0);
        return S_OK;
      case PT_CLSID:
        if (pv.lpguid == nullptr) return MAPI_E_INVALID_PARAMETER;
        out->append(reinterpret_cast<const char*>(pv.lpguid), sizeof(GUID));
        return S_OK;
      case PT_STRING8:
        return PutVariable(base, &pv.lpszA, out);
      case PT_UNICODE:
        return PutVariable(base, &pv.lpszW, out);
      case PT_BINARY:
        return PutVariable(base, &pv.bin, out);
      default:
        out->append(reinterpret_cast<const char*>(&pv), info.size);
        return S_OK;
    }
  }
  const MvView mv = GetMv(pv);
  if (mv.count > 0 && mv.items == nullptr) return MAPI_E_INVALID_PARAMETER;
  Put<uint32_t>(out, mv.count);
  if (mv.count == 0) return S_OK;
  if (info.kind == Kind::kFixed) {
    out->append(static_cast<const char*>(mv.items), mv.count * info.size);
    return S_OK;
  }
  const size_t item_size = base == PT_BINARY ? sizeof(SBinary) : sizeof(void*);
  for (ULONG i = 0; i < mv.count; ++i) {
    const size_t at = out->size();
    Put<uint32_t>(out, 0);
    HRESULT hr = PutVariable(base, static_cast<const char*>(mv.items) + i * item_size, out);
    if (FAILED(hr)) return hr;
    const auto len = static_cast<uint32_t>(out->size() - at - 4);
    std::memcpy(&(*out)[at], &len, sizeof len);
  }
  return S_OK;
}

HRESULT AllocBytes(size_t n, void* parent, void** out) {
  *out = nullptr;
  if (parent == nullptr) return MAPI_E_INVALID_PARAMETER;
  if (n > 0xFFFFFFF0u) return MAPI_E_NOT_ENOUGH_MEMORY;
  return MAPIAllocateMore(static_cast<ULONG>(n), parent, out);
}

HRESULT CopyString8(std::string_view utf8, size_t max_chars, void* parent, LPSTR* out) {
  if (max_chars > 0) utf8 = CutUtf8(utf8, max_chars);
  void* p = nullptr;
  HRESULT hr = AllocBytes(utf8.size() + 1, parent, &p);
  if (FAILED(hr)) return hr;
  std::memcpy(p, utf8.data(), utf8.size());
  *out = static_cast<LPSTR>(p);
  (*out)[utf8.size()] = '\0';
  return S_OK;
}

HRESULT CopyUnicode(std::string_view utf8, size_t max_chars, void* parent, LPWSTR* out) {
  std::u16string w = Utf8ToUtf16(utf8);
  if (max_chars > 0 && w.size() > max_chars) {
    size_t n = max_chars;
    if (w[n - 1] >= 0xD800 && w[n - 1] <= 0xDBFF) --n;  // keep surrogate pairs whole
    w.resize(n);
  }
  void* p = nullptr;
  HRESULT hr = AllocBytes((w.size() + 1) * sizeof(char16_t), parent, &p);
  if (FAILED(hr)) return hr;
  std::memcpy(p, w.data(), w.size() * sizeof(char16_t));
  *out = static_cast<LPWSTR>(p);
  (*out)[w.size()] = 0;
  return S_OK;
}

HRESULT CopyBinary(std::string_view bytes, void* parent, SBinary* out) {
  out->cb = 0;
  out->lpb = nullptr;
  if (bytes.empty()) return S_OK;
  void* p = nullptr;
  HRESULT hr = AllocBytes(bytes.size(), parent, &p);
  if (FAILED(hr)) return hr;
  std::memcpy(p, bytes.data(), bytes.size());
  out->cb = static_cast<ULONG>(bytes.size());
  out->lpb = static_cast<LPBYTE>(p);
  return S_OK;
}

// Reads one string or binary element into item (an LPSTR, LPWSTR or SBinary).
HRESULT GetVariable(ULONG base, std::string_view e, size_t max_chars, void* parent, void* item) {
  if (base == PT_STRING8) return CopyString8(e, max_chars, parent, static_cast<LPSTR*>(item));
  if (base == PT_UNICODE) return CopyUnicode(e, max_chars, parent, static_cast<LPWSTR*>(item));
  return CopyBinary(e, parent, static_cast<SBinary*>(item));
}

// Decodes s as type want, which Readable() accepted. A truncated string drops
// a character cut in half; a truncated list keeps its whole elements.
HRESULT DecodeValue(ULONG want, const StoredProp& s, void* parent, size_t max_chars, _PV* v) {
  const ULONG base = BaseType(want);
  const TypeInfo info = InfoOf(base);
  if (!IsMv(want)) {
    switch (base) {
      case PT_BOOLEAN:
        v->b = Load<uint16_t>(s.data.data()) != 0 ? 1 : 0;
        return S_OK;
      case PT_CLSID: {
        void* g = nullptr;
        HRESULT hr = AllocBytes(sizeof(GUID), parent, &g);
        if (FAILED(hr)) return hr;
        std::memcpy(g, s.data.data(), sizeof(GUID));
        v->lpguid = static_cast<LPGUID>(g);
        return S_OK;
      }
      case PT_STRING8:
      case PT_UNICODE:
      case PT_BINARY: {
        const std::string_view d = s.truncated && base != PT_BINARY ? TrimCutUtf8(s.data) : s.data;
        return GetVariable(base, d, max_chars, parent, v);
      }
      default:
        std::memcpy(v, s.data.data(), info.size);
        return S_OK;
    }
  }
  size_t n = 0;
  {
    MvCursor c(BaseType(s.type), s.data);
    std::string_view e;
    while (c.Next(&e)) ++n;
    if (!c.AtCleanEnd() && !s.truncated) return MAPI_E_CORRUPT_DATA;
  }
  SetMv(v, 0, nullptr);
  if (n == 0) return S_OK;
  const size_t item_size = info.kind == Kind::kFixed ? info.size
                           : base == PT_BINARY       ? sizeof(SBinary)
                                                     : sizeof(void*);
  void* items = nullptr;
  HRESULT hr = AllocBytes(n * item_size, parent, &items);
  if (FAILED(hr)) return hr;
  MvCursor c(BaseType(s.type), s.data);
  std::string_view e;
  for (size_t i = 0; i < n && c.Next(&e); ++i) {
    char* item = static_cast<char*>(items) + i * item_size;
    if (info.kind == Kind::kFixed) {
      std::memcpy(item, e.data(), item_size);
    } else if (FAILED(hr = GetVariable(base, e, max_chars, parent, item))) {
      return hr;
    }
  }
  SetMv(v, n, items);
  return S_OK;
}

bool Readable(ULONG stored, ULONG want) {
  if (stored == want) return true;
  if (IsMv(stored) != IsMv(want)) return false;
  return IsStringType(BaseType(stored)) && IsStringType(BaseType(want));
}

// ---- Comparison ----

// Groups of types whose values compare with each other.
enum class Family { kNone, kNumber, kBoolean, kTime, kCurrency, kAppTime, kGuid, kString, kBinary };

Family FamilyOf(ULONG base) {
  switch (base) {
    case PT_I2:
    case PT_LONG:
    case PT_I8:
    case PT_FLOAT:
    case PT_DOUBLE:
      return Family::kNumber;
    case PT_BOOLEAN:
      return Family::kBoolean;
    case PT_SYSTIME:
      return Family::kTime;
    case PT_CURRENCY:
      return Family::kCurrency;
    case PT_APPTIME:
      return Family::kAppTime;
    case PT_CLSID:
      return Family::kGuid;
    case PT_STRING8:
    case PT_UNICODE:
      return Family::kString;
    case PT_BINARY:
      return Family::kBinary;
    default:
      return Family::kNone;
  }
}

struct Number {
  bool is_float = false;
  int64_t i = 0;
  double d = 0;
};

bool ReadNumber(ULONG base, std::string_view p, Number* n) {
  const TypeInfo info = InfoOf(base);
  if (info.kind != Kind::kFixed || p.size() != info.size) return false;
  switch (base) {
    case PT_I2:
      n->i = Load<int16_t>(p.data());
      return true;
    case PT_LONG:
      n->i = Load<int32_t>(p.data());
      return true;
    case PT_I8:
      n->i = Load<int64_t>(p.data());
      return true;
    case PT_FLOAT:
      n->is_float = true;
      n->d = Load<float>(p.data());
      return true;
    case PT_DOUBLE:
      n->is_float = true;
      n->d = Load<double>(p.data());
      return true;
    default:
      return false;
  }
}

// NaN sorts below every number and equal to itself.
int CompareDoubles(long double a, long double b) {
  const bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return Sign(na && !nb, nb && !na);
  return Order(a, b);
}

int CompareNumbers(const Number& a, const Number& b) {
  if (!a.is_float && !b.is_float) return Order(a.i, b.i);
  // long double holds every int64 exactly on the platforms we build for.
  const long double x = a.is_float ? static_cast<long double>(a.d) : a.i;
  const long double y = b.is_float ? static_cast<long double>(b.d) : b.i;
  return CompareDoubles(x, y);
}

int CompareBytes(std::string_view a, std::string_view b) { return Sign(a < b, b < a); }

// Compares two single-valued payloads.
int CompareScalar(ULONG ta, std::string_view a, ULONG tb, std::string_view b, bool ignore_case,
                  bool* comparable) {
  const Family f = FamilyOf(ta);
  *comparable = f != Family::kNone && f == FamilyOf(tb);
  if (!*comparable) return 0;
  if (f == Family::kString) return ignore_case ? CompareFolded(a, b) : CompareBytes(a, b);
  if (f == Family::kBinary) return CompareBytes(a, b);
  if (f == Family::kNumber) {
    Number x, y;
    *comparable = ReadNumber(ta, a, &x) && ReadNumber(tb, b, &y);
    return *comparable ? CompareNumbers(x, y) : 0;
  }
  const size_t size = InfoOf(ta).size;  // the other fixed families are one type each
  *comparable = a.size() == size && b.size() == size;
  if (!*comparable) return 0;
  switch (f) {
    case Family::kBoolean:
      return Order(Load<uint16_t>(a.data()) != 0, Load<uint16_t>(b.data()) != 0);
    case Family::kTime:
      return Order(Load<uint64_t>(a.data()), Load<uint64_t>(b.data()));
    case Family::kCurrency:
      return Order(Load<int64_t>(a.data()), Load<int64_t>(b.data()));
    case Family::kAppTime:
      return CompareDoubles(Load<double>(a.data()), Load<double>(b.data()));
    default:  // kGuid
      return CompareBytes(a, b);
  }
}

// ---- Restrictions ----

bool ValidRelop(ULONG relop) { return relop <= RELOP_NE; }

bool RelopHolds(ULONG relop, int cmp) {
  switch (relop) {
    case RELOP_LT:
      return cmp < 0;
    case RELOP_LE:
      return cmp <= 0;
    case RELOP_GT:
      return cmp > 0;
    case RELOP_GE:
      return cmp >= 0;
    case RELOP_EQ:
      return cmp == 0;
    case RELOP_NE:
      return cmp != 0;
    default:
      return false;
  }
}

// The restriction's tag type accepts a value of value_type: the same type,
// string8 and unicode mixed, or one element of the tag's MV type.
bool ValueFitsTag(ULONG tag_type, ULONG value_type) {
  if (tag_type == PT_UNSPECIFIED) return true;
  auto norm = [](ULONG t) {
    ULONG base = BaseType(t);
    if (base == PT_UNICODE) base = PT_STRING8;
    return base | (t & MV_FLAG);
  };
  const ULONG a = norm(tag_type), b = norm(value_type);
  return a == b || (IsMv(a) && !IsMv(b) && BaseType(a) == b);
}

HRESULT CopyValue(const SPropValue* value, StoredProp* out) {
  if (value == nullptr) return MAPI_E_INVALID_PARAMETER;
  return EncodeProp(*value, out);
}

HRESULT CopyRes(const SRestriction* res, int depth, Restriction* out) {
  if (res == nullptr) return MAPI_E_INVALID_PARAMETER;
  if (depth > kMaxRestrictionDepth) return MAPI_E_TOO_COMPLEX;
  out->rt = res->rt;
  switch (res->rt) {
    case RES_AND:
    case RES_OR: {
      // resAnd and resOr share their layout.
      const SAndRestriction& list = res->res.resAnd;
      if (list.cRes > 0 && list.lpRes == nullptr) return MAPI_E_INVALID_PARAMETER;
      out->children.resize(list.cRes);
      for (ULONG i = 0; i < list.cRes; ++i) {
        HRESULT hr = CopyRes(&list.lpRes[i], depth + 1, &out->children[i]);
        if (FAILED(hr)) return hr;
      }
      return S_OK;
    }
    case RES_NOT:
      out->children.resize(1);
      return CopyRes(res->res.resNot.lpRes, depth + 1, &out->children[0]);
    case RES_PROPERTY: {
      const SPropertyRestriction& r = res->res.resProperty;
      if (r.relop == RELOP_RE) return MAPI_E_TOO_COMPLEX;
      if (!ValidRelop(r.relop) || r.lpProp == nullptr) return MAPI_E_INVALID_PARAMETER;
      if (!ValueFitsTag(PROP_TYPE(r.ulPropTag), PROP_TYPE(r.lpProp->ulPropTag))) {
        return MAPI_E_INVALID_TYPE;
      }
      out->relop = r.relop;
      out->tag = r.ulPropTag;
      return CopyValue(r.lpProp, &out->value);
    }
    case RES_CONTENT: {
      const SContentRestriction& r = res->res.resContent;
      if ((r.ulFuzzyLevel & 0xFFFF) > FL_PREFIX || r.lpProp == nullptr) {
        return MAPI_E_INVALID_PARAMETER;
      }
      const ULONG vt = PROP_TYPE(r.lpProp->ulPropTag);
      const Family f = FamilyOf(vt);
      if (f != Family::kString && f != Family::kBinary) return MAPI_E_INVALID_TYPE;
      const ULONG tt = PROP_TYPE(r.ulPropTag);
      if (tt != PT_UNSPECIFIED && FamilyOf(BaseType(tt)) != f) return MAPI_E_INVALID_TYPE;
      out->fuzzy = r.ulFuzzyLevel;
      out->tag = r.ulPropTag;
      return CopyValue(r.lpProp, &out->value);
    }
    case RES_COMPAREPROPS: {
      const SComparePropsRestriction& r = res->res.resCompareProps;
      if (r.relop == RELOP_RE) return MAPI_E_TOO_COMPLEX;
      if (!ValidRelop(r.relop)) return MAPI_E_INVALID_PARAMETER;
      out->relop = r.relop;
      out->tag = r.ulPropTag1;
      out->tag2 = r.ulPropTag2;
      return S_OK;
    }
    case RES_BITMASK: {
      const SBitMaskRestriction& r = res->res.resBitMask;
      if (r.relBMR != BMR_EQZ && r.relBMR != BMR_NEZ) return MAPI_E_INVALID_PARAMETER;
      out->relop = r.relBMR;
      out->tag = r.ulPropTag;
      out->mask_or_size = r.ulMask;
      return S_OK;
    }
    case RES_SIZE: {
      const SSizeRestriction& r = res->res.resSize;
      if (!ValidRelop(r.relop)) return MAPI_E_INVALID_PARAMETER;
      out->relop = r.relop;
      out->tag = r.ulPropTag;
      out->mask_or_size = r.cb;
      return S_OK;
    }
    case RES_EXIST:
      out->tag = res->res.resExist.ulPropTag;
      return S_OK;
    case RES_SUBRESTRICTION:  // recipients and attachments are not searched
      return MAPI_E_TOO_COMPLEX;
    default:
      return MAPI_E_INVALID_PARAMETER;
  }
}

// RES_PROPERTY on one present value. An MV value against a single value
// matches when any element does.
bool PropertyHolds(const Restriction& r, const StoredProp& p) {
  bool comparable = false;
  if (IsMv(p.type) && !IsMv(r.value.type)) {
    MvCursor c(BaseType(p.type), p.data);
    std::string_view e;
    while (c.Next(&e)) {
      int cmp = CompareScalar(BaseType(p.type), e, r.value.type, r.value.data, true, &comparable);
      if (comparable && RelopHolds(r.relop, cmp)) return true;
    }
    return false;
  }
  const int cmp = CompareProps(p, r.value, true, &comparable);
  return comparable && RelopHolds(r.relop, cmp);
}

bool ContentMatches(ULONG fuzzy, bool is_string, std::string_view value, std::string_view pattern) {
  const bool fold = is_string && (fuzzy & (FL_IGNORECASE | FL_LOOSE)) != 0;
  switch (fuzzy & 0xFFFF) {
    case FL_SUBSTRING:
      return fold ? FoldedContains(value, pattern) : value.find(pattern) != std::string_view::npos;
    case FL_PREFIX:
      return fold ? FoldedStartsWith(value, pattern) : value.starts_with(pattern);
    default:
      return fold ? CompareFolded(value, pattern) == 0 : value == pattern;
  }
}

bool ContentHolds(const Restriction& r, const StoredProp& p) {
  const Family f = FamilyOf(r.value.type);
  const ULONG base = BaseType(p.type);
  if (FamilyOf(base) != f) return false;
  const bool is_string = f == Family::kString;
  if (!IsMv(p.type)) return ContentMatches(r.fuzzy, is_string, p.data, r.value.data);
  MvCursor c(base, p.data);
  std::string_view e;
  while (c.Next(&e)) {
    if (ContentMatches(r.fuzzy, is_string, e, r.value.data)) return true;
  }
  return false;
}

bool BitmaskHolds(const Restriction& r, const StoredProp& p) {
  Number n;
  if (IsMv(p.type) || !ReadNumber(p.type, p.data, &n) || n.is_float) return false;
  const bool zero = (static_cast<uint32_t>(n.i) & r.mask_or_size) == 0;
  return r.relop == BMR_EQZ ? zero : !zero;
}

}  // namespace

// ---- Values ----

HRESULT EncodeProp(const SPropValue& value, StoredProp* out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  const ULONG type = PROP_TYPE(value.ulPropTag);
  if (!IsKeptType(type) || type == PT_ERROR) return MAPI_E_INVALID_TYPE;
  try {
    std::string data;
    HRESULT hr = EncodeValue(value.Value, type, &data);
    if (FAILED(hr)) return hr;
    out->type = type;
    out->data = std::move(data);
    out->truncated = false;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
}

HRESULT DecodeProp(ULONG tag, const StoredProp& stored, void* parent, SPropValue* out,
                   size_t max_chars) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  HRESULT hr = S_OK;
  ULONG want = PROP_TYPE(tag);
  if (want == PT_UNSPECIFIED) want = stored.type;
  if (!IsKeptType(stored.type)) {
    hr = MAPI_E_INVALID_TYPE;
  } else if (!ValidPayload(stored.type, stored.data, stored.truncated)) {
    hr = MAPI_E_CORRUPT_DATA;
  } else if (stored.type == PT_ERROR) {
    // A stored error reads as that error whatever type is asked for.
    ErrorProp(tag, static_cast<SCODE>(Load<uint32_t>(stored.data.data())), out);
    return S_OK;
  } else if (!Readable(stored.type, want)) {
    hr = MAPI_E_INVALID_TYPE;
  } else {
    out->ulPropTag = PROP_TAG(want, PROP_ID(tag));
    out->dwAlignPad = 0;
    try {
      hr = DecodeValue(want, stored, parent, max_chars, &out->Value);
    } catch (const std::bad_alloc&) {
      hr = MAPI_E_NOT_ENOUGH_MEMORY;
    }
  }
  if (FAILED(hr)) ErrorProp(tag, hr, out);
  return hr;
}

void ErrorProp(ULONG tag, SCODE scode, SPropValue* out) {
  out->ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
  out->dwAlignPad = 0;
  out->Value.err = scode;
}

// ---- Property lists ----

std::string SerializePropList(const PropMap& props) {
  size_t total = 0;
  for (const auto& [id, p] : props) total += kEntryHeader + p.data.size();
  std::string out;
  out.reserve(total);
  for (const auto& [id, p] : props) {
    Put<uint16_t>(&out, id);
    Put<uint32_t>(&out, p.type | (p.truncated ? kTruncatedBit : 0));
    Put<uint32_t>(&out, static_cast<uint32_t>(p.data.size()));
    out.append(p.data);
  }
  return out;
}

bool ParsePropList(std::string_view blob, PropMap* out) {
  out->clear();
  int prev_id = -1;
  while (!blob.empty()) {
    if (blob.size() < kEntryHeader) return false;
    const uint16_t id = Load<uint16_t>(blob.data());
    const uint32_t type = Load<uint32_t>(blob.data() + 2);
    const uint32_t len = Load<uint32_t>(blob.data() + 6);
    blob.remove_prefix(kEntryHeader);
    if (len > blob.size() || id <= prev_id) return false;
    StoredProp p;
    p.type = type & ~kTruncatedBit;
    p.truncated = (type & kTruncatedBit) != 0;
    p.data.assign(blob.data(), len);
    blob.remove_prefix(len);
    if (!ValidPayload(p.type, p.data, p.truncated)) return false;
    out->emplace_hint(out->end(), id, std::move(p));
    prev_id = id;
  }
  return true;
}

bool FindInPropList(std::string_view blob, uint16_t prop_id, StoredProp* out) {
  while (blob.size() >= kEntryHeader) {
    const uint16_t id = Load<uint16_t>(blob.data());
    const uint32_t len = Load<uint32_t>(blob.data() + 6);
    if (len > blob.size() - kEntryHeader) return false;
    if (id == prop_id) {
      const uint32_t type = Load<uint32_t>(blob.data() + 2);
      out->type = type & ~kTruncatedBit;
      out->truncated = (type & kTruncatedBit) != 0;
      out->data.assign(blob.data() + kEntryHeader, len);
      return true;
    }
    if (id > prop_id) return false;  // entries are in ID order
    blob.remove_prefix(kEntryHeader + len);
  }
  return false;
}

int CompareProps(const StoredProp& a, const StoredProp& b, bool ignore_case, bool* comparable) {
  bool ignored = false;
  if (comparable == nullptr) comparable = &ignored;
  if (IsMv(a.type) != IsMv(b.type)) {
    *comparable = false;
    return 0;
  }
  if (!IsMv(a.type)) return CompareScalar(a.type, a.data, b.type, b.data, ignore_case, comparable);
  // Element by element, then the shorter list first.
  const ULONG ba = BaseType(a.type), bb = BaseType(b.type);
  *comparable = FamilyOf(ba) != Family::kNone && FamilyOf(ba) == FamilyOf(bb);
  if (!*comparable) return 0;
  MvCursor ca(ba, a.data), cb(bb, b.data);
  std::string_view ea, eb;
  while (true) {
    const bool ha = ca.Next(&ea), hb = cb.Next(&eb);
    if (!ha || !hb) return Sign(!ha && hb, ha && !hb);
    const int c = CompareScalar(ba, ea, bb, eb, ignore_case, comparable);
    if (!*comparable || c != 0) return c;
  }
}

// ---- Typed helpers ----

namespace {

template <class T>
StoredProp MakeFixed(ULONG type, T v) {
  StoredProp p;
  p.type = type;
  Put(&p.data, v);
  return p;
}

StoredProp MakeBytes(ULONG type, std::string_view bytes) {
  StoredProp p;
  p.type = type;
  p.data.assign(bytes);
  return p;
}

}  // namespace

StoredProp MakeLong(int32_t v) { return MakeFixed(PT_LONG, v); }
StoredProp MakeBool(bool v) { return MakeFixed<uint16_t>(PT_BOOLEAN, v ? 1 : 0); }
StoredProp MakeI8(int64_t v) { return MakeFixed(PT_I8, v); }
StoredProp MakeSysTime(int64_t filetime) { return MakeFixed(PT_SYSTIME, filetime); }
StoredProp MakeString8(std::string_view utf8) { return MakeBytes(PT_STRING8, utf8); }
StoredProp MakeUnicode(std::string_view utf8) { return MakeBytes(PT_UNICODE, utf8); }
StoredProp MakeBinary(std::string_view bytes) { return MakeBytes(PT_BINARY, bytes); }

bool GetLong(const StoredProp& p, int32_t* v) {
  Number n;
  if ((p.type != PT_LONG && p.type != PT_I2) || !ReadNumber(p.type, p.data, &n)) return false;
  *v = static_cast<int32_t>(n.i);
  return true;
}

bool GetI8(const StoredProp& p, int64_t* v) {
  if (p.type == PT_SYSTIME && p.data.size() == 8) {
    *v = Load<int64_t>(p.data.data());
    return true;
  }
  Number n;
  if ((p.type != PT_I8 && p.type != PT_LONG && p.type != PT_I2) ||
      !ReadNumber(p.type, p.data, &n)) {
    return false;
  }
  *v = n.i;
  return true;
}

bool GetString(const StoredProp& p, std::string* utf8) {
  if (!IsStringType(p.type)) return false;
  utf8->assign(p.data);
  return true;
}

bool GetBinary(const StoredProp& p, std::string* bytes) {
  if (p.type != PT_BINARY) return false;
  bytes->assign(p.data);
  return true;
}

// ---- Text and time ----

void AppendUtf8(std::string* out, char32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string Utf16ToUtf8(const char16_t* s, size_t len) {
  std::string out;
  if (s == nullptr) return out;
  out.reserve(len);
  for (size_t i = 0; i < len; ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < len && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;  // unpaired surrogate
    }
    AppendUtf8(&out, c);
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const char32_t c = NextCodePoint(s, &i);
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

int64_t NowFileTime() {
  constexpr int64_t kUnixEpochTicks = 116444736000000000;  // 1970-01-01 in FILETIME ticks
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochTicks +
         std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100;
}

// ---- Restrictions ----

HRESULT CopyRestriction(const SRestriction* res, Restriction* out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  try {
    Restriction copy;
    HRESULT hr = CopyRes(res, 1, &copy);
    if (FAILED(hr)) return hr;
    *out = std::move(copy);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
}

bool EvalRestriction(const Restriction& res, const PropSource& props) {
  switch (res.rt) {
    case RES_AND:
      for (const Restriction& c : res.children) {
        if (!EvalRestriction(c, props)) return false;
      }
      return true;
    case RES_OR:
      for (const Restriction& c : res.children) {
        if (EvalRestriction(c, props)) return true;
      }
      return false;
    case RES_NOT:
      return res.children.size() == 1 && !EvalRestriction(res.children[0], props);
    default:
      break;
  }
  // An error value counts as absent.
  const StoredProp* p = props.Find(static_cast<uint16_t>(PROP_ID(res.tag)));
  if (p == nullptr || p->type == PT_ERROR) return false;
  switch (res.rt) {
    case RES_EXIST:
      return true;
    case RES_PROPERTY:
      return PropertyHolds(res, *p);
    case RES_CONTENT:
      return ContentHolds(res, *p);
    case RES_BITMASK:
      return BitmaskHolds(res, *p);
    case RES_SIZE:
      return RelopHolds(res.relop, Order<size_t>(p->data.size(), res.mask_or_size));
    case RES_COMPAREPROPS: {
      const StoredProp* q = props.Find(static_cast<uint16_t>(PROP_ID(res.tag2)));
      if (q == nullptr || q->type == PT_ERROR) return false;
      bool comparable = false;
      const int cmp = CompareProps(*p, *q, true, &comparable);
      return comparable && RelopHolds(res.relop, cmp);
    }
    default:
      return false;
  }
}

}  // namespace zuvstore
