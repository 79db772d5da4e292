// Tests of stored property values: their byte layout, the trip through
// property-list blobs and back into SPropValue chains, string conversion and
// cutting, corrupt input, comparison and restriction evaluation.
#include "propval.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace zuvstore {
namespace {

std::string Hex(std::string_view s) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) out += {kDigits[c >> 4], kDigits[c & 15]};
  return out;
}

template <class Set>
SPropValue Val(ULONG tag, Set set) {
  SPropValue v{};
  v.ulPropTag = tag;
  set(v.Value);
  return v;
}

StoredProp Enc(const SPropValue& v) {
  StoredProp s;
  EXPECT_EQ(EncodeProp(v, &s), S_OK) << std::hex << v.ulPropTag;
  return s;
}

// Owns a MAPIAllocateBuffer chain that every decoded value hangs on; one
// MAPIFreeBuffer in TearDown must release it all (ASan reports leaks).
class PropvalTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MAPIAllocateBuffer(16, &parent_), S_OK); }
  void TearDown() override { MAPIFreeBuffer(parent_); }

  SPropValue Decode(ULONG tag, const StoredProp& s, size_t max_chars = 0) {
    SPropValue v{};
    EXPECT_EQ(DecodeProp(tag, s, parent_, &v, max_chars), S_OK) << std::hex << tag;
    return v;
  }

  void* parent_ = nullptr;
};

GUID g_guid = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
char g_a[] = "ab\xC3\xA9";  // "abé"
char g_empty[] = "";
char16_t g_w1[] = u"x\u00E9\U0001D11E";  // x, é, a clef outside the BMP
char16_t g_w2[] = u"yz";
BYTE g_bytes[] = {0, 1, 0xFF};
const std::string kGuidHex = "0403020106050807090a0b0c0d0e0f10";

struct Sample {
  SPropValue v;
  std::string hex;  // the stored payload
};

// One value of every type the store keeps, with its payload.
std::vector<Sample> Samples() {
  static short i2s[] = {-1, 2};
  static LONG longs[] = {1, -1};
  static float floats[] = {1.0f};
  static double doubles[] = {-2.0, -0.0};
  static CURRENCY curs[] = {{1}};
  static double apptimes[] = {1.0};
  static LARGE_INTEGER lis[] = {{{0, INT32_MIN}}};
  static FILETIME fts[] = {{1, 2}};
  static GUID guids[] = {g_guid};
  static LPSTR strs[] = {g_a, g_empty};
  static LPWSTR wstrs[] = {g_w2};
  static SBinary bins[] = {{3, g_bytes}, {0, nullptr}};
  std::vector<Sample> v;
  auto add = [&](ULONG type, std::string hex, auto set) {
    v.push_back({Val(PROP_TAG(type, 0x6000 + v.size()), set), std::move(hex)});
  };
  add(PT_I2, "feff", [](_PV& p) { p.i = -2; });
  add(PT_LONG, "04030201", [](_PV& p) { p.l = 0x01020304; });
  add(PT_FLOAT, "0000803f", [](_PV& p) { p.flt = 1.0f; });
  add(PT_DOUBLE, "00000000000000c0", [](_PV& p) { p.dbl = -2.0; });
  add(PT_CURRENCY, "1027000000000000", [](_PV& p) { p.cur.int64 = 10000; });
  add(PT_APPTIME, "000000000000f03f", [](_PV& p) { p.at = 1.0; });
  add(PT_BOOLEAN, "0100", [](_PV& p) { p.b = 7; });
  add(PT_I8, "0807060504030201", [](_PV& p) { p.li.QuadPart = 0x0102030405060708; });
  add(PT_SYSTIME, "0807060504030201", [](_PV& p) { p.ft = {0x05060708, 0x01020304}; });
  add(PT_CLSID, kGuidHex, [](_PV& p) { p.lpguid = &g_guid; });
  add(PT_STRING8, "6162c3a9", [](_PV& p) { p.lpszA = g_a; });
  add(PT_UNICODE, "78c3a9f09d849e", [](_PV& p) { p.lpszW = g_w1; });
  add(PT_BINARY, "0001ff", [](_PV& p) { p.bin = {3, g_bytes}; });
  add(PT_MV_I2, "02000000ffff0200", [](_PV& p) { p.MVi = {2, i2s}; });
  add(PT_MV_LONG, "0200000001000000ffffffff", [](_PV& p) { p.MVl = {2, longs}; });
  add(PT_MV_FLOAT, "010000000000803f", [](_PV& p) { p.MVflt = {1, floats}; });
  add(PT_MV_DOUBLE, "0200000000000000000000c00000000000000080", [](_PV& p) {
    p.MVdbl = {2, doubles};
  });
  add(PT_MV_CURRENCY, "010000000100000000000000", [](_PV& p) { p.MVcur = {1, curs}; });
  add(PT_MV_APPTIME, "01000000000000000000f03f", [](_PV& p) { p.MVat = {1, apptimes}; });
  add(PT_MV_I8, "010000000000000000000080", [](_PV& p) { p.MVli = {1, lis}; });
  add(PT_MV_SYSTIME, "010000000100000002000000", [](_PV& p) { p.MVft = {1, fts}; });
  add(PT_MV_CLSID, "01000000" + kGuidHex, [](_PV& p) { p.MVguid = {1, guids}; });
  add(PT_MV_STRING8, "02000000040000006162c3a900000000", [](_PV& p) { p.MVszA = {2, strs}; });
  add(PT_MV_UNICODE, "0100000002000000797a", [](_PV& p) { p.MVszW = {1, wstrs}; });
  add(PT_MV_BINARY, "02000000030000000001ff00000000", [](_PV& p) { p.MVbin = {2, bins}; });
  add(PT_MV_LONG, "00000000", [](_PV& p) { p.MVl = {0, nullptr}; });  // empty list
  return v;
}

// Encode -> blob -> parse -> decode gives a value that encodes to the same
// payload; with the payload pinned, that is the same value.
TEST_F(PropvalTest, EveryTypeKeepsItsLayoutThroughBlobAndChain) {
  const std::vector<Sample> samples = Samples();
  PropMap props;
  for (const Sample& s : samples) {
    props[PROP_ID(s.v.ulPropTag)] = Enc(s.v);
    EXPECT_EQ(Hex(props[PROP_ID(s.v.ulPropTag)].data), s.hex) << std::hex << s.v.ulPropTag;
  }
  const std::string blob = SerializePropList(props);
  PropMap parsed;
  ASSERT_TRUE(ParsePropList(blob, &parsed));
  ASSERT_EQ(parsed.size(), samples.size());
  for (const Sample& s : samples) {
    const uint16_t id = PROP_ID(s.v.ulPropTag);
    StoredProp found;
    ASSERT_TRUE(FindInPropList(blob, id, &found));
    EXPECT_EQ(Hex(found.data), s.hex);
    const SPropValue back = Decode(PROP_TAG(PT_UNSPECIFIED, id), parsed[id]);
    EXPECT_EQ(back.ulPropTag, s.v.ulPropTag);
    EXPECT_EQ(Hex(Enc(back).data), s.hex) << std::hex << s.v.ulPropTag;
  }
  StoredProp none;
  EXPECT_FALSE(FindInPropList(blob, 0x0001, &none));
  EXPECT_FALSE(FindInPropList(blob, 0x6005 + 0x100, &none));
  EXPECT_FALSE(FindInPropList(blob, 0xFFFF, &none));
}

TEST_F(PropvalTest, StringsConvertAndCutOnWholeCharacters) {
  const StoredProp s = MakeString8(
      "a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E"
      "b");  // a é € 𝄞 b
  EXPECT_EQ(std::u16string(Decode(PROP_TAG(PT_UNICODE, 1), s).Value.lpszW),
            u"a\u00E9\u20AC\U0001D11Eb");
  EXPECT_STREQ(Decode(PROP_TAG(PT_STRING8, 1),
                      Enc(Val(PROP_TAG(PT_UNICODE, 1), [](_PV& p) { p.lpszW = g_w1; })))
                   .Value.lpszA,
               "x\xC3\xA9\xF0\x9D\x84\x9E");
  // max_chars counts characters in UTF-8 and code units in UTF-16, where a
  // cut between the halves of the clef drops it.
  EXPECT_STREQ(Decode(PROP_TAG(PT_STRING8, 1), s, 3).Value.lpszA, "a\xC3\xA9\xE2\x82\xAC");
  EXPECT_STREQ(Decode(PROP_TAG(PT_STRING8, 1), s, 4).Value.lpszA,
               "a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E");
  EXPECT_EQ(std::u16string(Decode(PROP_TAG(PT_UNICODE, 1), s, 4).Value.lpszW), u"a\u00E9\u20AC");
  EXPECT_EQ(std::u16string(Decode(PROP_TAG(PT_UNICODE, 1), s, 5).Value.lpszW),
            u"a\u00E9\u20AC\U0001D11E");
  // A truncated prefix that ends inside a character loses that character.
  StoredProp cut = MakeUnicode("ab\xE2\x82");
  cut.truncated = true;
  EXPECT_EQ(std::u16string(Decode(PROP_TAG(PT_UNICODE, 1), cut).Value.lpszW), u"ab");

  static LPWSTR wstrs[] = {g_w2, g_w1};
  SPropValue wide{};
  wide.ulPropTag = PROP_TAG(PT_MV_UNICODE, 3);
  wide.Value.MVszW = {2, wstrs};
  const SPropValue mv = Decode(PROP_TAG(PT_MV_STRING8, 3), Enc(wide), 2);
  ASSERT_EQ(mv.Value.MVszA.cValues, 2u);
  EXPECT_STREQ(mv.Value.MVszA.lppszA[0], "yz");
  EXPECT_STREQ(mv.Value.MVszA.lppszA[1], "x\xC3\xA9");
}

TEST_F(PropvalTest, BadValuesAndTypesAreRefused) {
  SPropValue v{};
  EXPECT_EQ(DecodeProp(PROP_TAG(PT_STRING8, 1), MakeLong(5), parent_, &v), MAPI_E_INVALID_TYPE);
  EXPECT_EQ(v.ulPropTag, PROP_TAG(PT_ERROR, 1));
  EXPECT_EQ(DecodeProp(PROP_TAG(PT_I8, 1), MakeLong(5), parent_, &v), MAPI_E_INVALID_TYPE);
  EXPECT_EQ(DecodeProp(PROP_TAG(PT_MV_UNICODE, 1), MakeString8("x"), parent_, &v),
            MAPI_E_INVALID_TYPE);
  StoredProp short_long = MakeLong(5);
  short_long.data.pop_back();
  EXPECT_EQ(DecodeProp(PROP_TAG(PT_LONG, 1), short_long, parent_, &v), MAPI_E_CORRUPT_DATA);
  EXPECT_EQ(DecodeProp(PROP_TAG(PT_STRING8, 1), MakeString8("x"), nullptr, &v),
            MAPI_E_INVALID_PARAMETER);
  StoredProp err = MakeLong(MAPI_E_NOT_FOUND);  // a stored error reads as itself
  err.type = PT_ERROR;
  EXPECT_EQ(DecodeProp(PROP_TAG(PT_STRING8, 7), err, parent_, &v), S_OK);
  EXPECT_EQ(v.ulPropTag, PROP_TAG(PT_ERROR, 7));
  EXPECT_EQ(v.Value.err, MAPI_E_NOT_FOUND);

  static LPSTR holes[] = {g_a, nullptr};
  static SBinary bad_bins[] = {{2, nullptr}};
  const SPropValue null_inside[] = {
      Val(PROP_TAG(PT_STRING8, 1), [](_PV& p) { p.lpszA = nullptr; }),
      Val(PROP_TAG(PT_UNICODE, 1), [](_PV& p) { p.lpszW = nullptr; }),
      Val(PROP_TAG(PT_CLSID, 1), [](_PV& p) { p.lpguid = nullptr; }),
      Val(PROP_TAG(PT_BINARY, 1),
          [](_PV& p) {
            p.bin = {4, nullptr};
          }),
      Val(PROP_TAG(PT_MV_LONG, 1),
          [](_PV& p) {
            p.MVl = {2, nullptr};
          }),
      Val(PROP_TAG(PT_MV_STRING8, 1),
          [](_PV& p) {
            p.MVszA = {2, holes};
          }),
      Val(PROP_TAG(PT_MV_BINARY, 1),
          [](_PV& p) {
            p.MVbin = {1, bad_bins};
          }),
  };
  StoredProp s;
  for (const SPropValue& bad : null_inside) {
    EXPECT_EQ(EncodeProp(bad, &s), MAPI_E_INVALID_PARAMETER) << std::hex << bad.ulPropTag;
  }
  for (ULONG type : {PT_OBJECT, PT_NULL, PT_UNSPECIFIED, PT_ERROR, ULONG{0x1234}}) {
    EXPECT_EQ(EncodeProp(Val(PROP_TAG(type, 1), [](_PV&) {}), &s), MAPI_E_INVALID_TYPE) << type;
  }
}

std::string Entry(uint16_t id, uint32_t type, const std::string& payload) {
  std::string e(10, '\0');
  const auto len = static_cast<uint32_t>(payload.size());
  std::memcpy(&e[0], &id, 2);
  std::memcpy(&e[2], &type, 4);
  std::memcpy(&e[6], &len, 4);
  return e + payload;
}

// Every cut of a valid blob fails or yields exactly the entries that fit
// whole; random damage never reads out of bounds (ASan watches).
TEST_F(PropvalTest, CorruptBlobsAreRejected) {
  PropMap m;
  for (const Sample& s : Samples()) m[PROP_ID(s.v.ulPropTag)] = Enc(s.v);
  m[0x9000] = MakeBinary(std::string(40, 'x'));
  m[0x9000].truncated = true;
  const std::string blob = SerializePropList(m);
  for (size_t n = 0; n < blob.size(); ++n) {
    PropMap out;
    if (ParsePropList(std::string_view(blob).substr(0, n), &out)) {
      EXPECT_LT(out.size(), m.size()) << n;
      EXPECT_EQ(SerializePropList(out), blob.substr(0, n)) << n;
    }
    StoredProp p;
    EXPECT_FALSE(FindInPropList(std::string_view(blob).substr(0, n), 0x9000, &p)) << n;
  }
  PropMap out;
  EXPECT_TRUE(ParsePropList(Entry(1, PT_LONG, "abcd"), &out));
  const std::string bad[] = {
      Entry(1, PT_LONG, "abc"),
      Entry(1, PT_LONG | 0x80000000u, "abcd"),  // a fixed value cannot be cut
      Entry(1, PT_MV_LONG, std::string("\x03\0\0\0abcdabcd", 12)),
      Entry(1, PT_MV_STRING8, std::string("\x01\0\0\0\xFF\0\0\0a", 9)),
      Entry(1, PT_OBJECT, ""),
      Entry(2, PT_LONG, "abcd") + Entry(1, PT_LONG, "abcd"),  // out of order
      Entry(2, PT_LONG, "abcd") + Entry(2, PT_LONG, "abcd"),
  };
  for (const std::string& b : bad) EXPECT_FALSE(ParsePropList(b, &out)) << Hex(b);

  std::mt19937 rng(12345);
  for (int round = 0; round < 1000; ++round) {
    std::string damaged = blob;
    for (int k = 0; k < 3; ++k) damaged[rng() % damaged.size()] = static_cast<char>(rng());
    if (!ParsePropList(damaged, &out)) continue;
    for (const auto& [id, p] : out) {
      SPropValue v{};
      (void)DecodeProp(PROP_TAG(PT_UNSPECIFIED, id), p, parent_, &v, 5);
      bool comparable;
      (void)CompareProps(p, p, true, &comparable);
    }
  }
}

TEST(PropvalTextTest, InvalidSequencesBecomeReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("a\xFF"
                        "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82"), u"\uFFFD");                  // cut: one U+FFFD
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
  const char16_t units[] = {u'a', 0xD800, u'b', 0xDC00, 0xD83D, 0xDE00};
  EXPECT_EQ(Utf16ToUtf8(units, 6),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\xF0\x9F\x98\x80");
  // 2001-01-01 is 12591158400 s after 1601-01-01; now is later than that.
  EXPECT_GT(NowFileTime(), 125911584000000000);
}

StoredProp Double(double d) {
  return Enc(Val(PROP_TAG(PT_DOUBLE, 1), [d](_PV& p) { p.dbl = d; }));
}

TEST(CompareTest, ValuesOrderWithinTheirFamilies) {
  struct Case {
    StoredProp a, b;
    bool ignore_case;
    int expected;
  };
  const Case cases[] = {
      {MakeLong(2), Double(2.5), false, -1},
      {Double(-1e20), MakeI8(-5), false, -1},
      {MakeI8(INT64_MAX), MakeI8(INT64_MAX - 1), false, 1},
      {Enc(Val(PROP_TAG(PT_I2, 1), [](_PV& p) { p.i = -3; })), MakeLong(-3), false, 0},
      {MakeString8("abc"), MakeUnicode("abd"), false, -1},
      {MakeString8("ABC"), MakeString8("abc"), false, -1},
      {MakeString8("ABC"), MakeString8("abc"), true, 0},
      {MakeString8("\xC3\x89t\xC3\xA9"), MakeUnicode("\xC3\xA9T\xC3\x89"), true, 0},  // Été
      {MakeString8("ab"), MakeString8("ABC"), true, -1},
      {MakeBinary("ab"), MakeBinary("abc"), false, -1},
      {MakeBinary("\xFF"), MakeBinary("abc"), false, 1},
      {MakeBool(false), MakeBool(true), false, -1},
      {MakeSysTime(100), MakeSysTime(99), false, 1},
  };
  for (const Case& c : cases) {
    bool comparable = false;
    const int r = CompareProps(c.a, c.b, c.ignore_case, &comparable);
    EXPECT_TRUE(comparable) << Hex(c.a.data) << " vs " << Hex(c.b.data);
    EXPECT_EQ((r > 0) - (r < 0), c.expected) << Hex(c.a.data) << " vs " << Hex(c.b.data);
  }
  const std::pair<StoredProp, StoredProp> incomparable[] = {
      {MakeString8("1"), MakeLong(1)},
      {MakeBool(true), MakeLong(1)},
      {MakeSysTime(1), MakeI8(1)},
      {MakeBinary("a"), MakeString8("a")},
  };
  for (const auto& [a, b] : incomparable) {
    bool comparable = true;
    CompareProps(a, b, false, &comparable);
    EXPECT_FALSE(comparable) << a.type << " vs " << b.type;
  }
}

// ---- Restrictions ----

class MapSource final : public PropSource {
 public:
  explicit MapSource(PropMap m) : m_(std::move(m)) {}
  const StoredProp* Find(uint16_t id) const override {
    auto it = m_.find(id);
    return it == m_.end() ? nullptr : &it->second;
  }

 private:
  PropMap m_;
};

// Builds SRestriction trees whose nodes and values live as long as it does.
class ResBuilder {
 public:
  SRestriction* Node(ULONG rt, ULONG a, ULONG b, ULONG c) {
    SRestriction& r = nodes_.emplace_back();
    r.rt = rt;
    // Every kind starts with two ULONGs (relop, level or count; then the tag)
    // and a third word; pointers are set by the callers below.
    r.res.resCompareProps = {a, b, c};
    return &r;
  }
  SRestriction* Prop(ULONG relop, ULONG tag, const SPropValue& v) {
    SRestriction* r = Node(RES_PROPERTY, relop, tag, 0);
    r->res.resProperty.lpProp = &values_.emplace_back(v);
    return r;
  }
  SRestriction* Content(ULONG fuzzy, ULONG tag, const SPropValue& v) {
    SRestriction* r = Node(RES_CONTENT, fuzzy, tag, 0);
    r->res.resContent.lpProp = &values_.emplace_back(v);
    return r;
  }
  SRestriction* Exist(ULONG tag) { return Node(RES_EXIST, 0, tag, 0); }
  SRestriction* List(ULONG rt, std::vector<SRestriction*> children) {
    auto& arr = lists_.emplace_back();
    for (SRestriction* c : children) arr.push_back(*c);
    SRestriction* r = Node(rt, 0, 0, 0);
    r->res.resAnd = {static_cast<ULONG>(arr.size()), arr.empty() ? nullptr : arr.data()};
    return r;
  }
  SRestriction* Not(SRestriction* child) {
    SRestriction* r = Node(RES_NOT, 0, 0, 0);
    r->res.resNot.lpRes = child;
    return r;
  }

 private:
  std::deque<SRestriction> nodes_;
  std::deque<SPropValue> values_;
  std::deque<std::vector<SRestriction>> lists_;
};

SPropValue Long(LONG l) {
  return Val(PROP_TAG(PT_LONG, 0), [l](_PV& p) { p.l = l; });
}
SPropValue Str(const char* s) {
  return Val(PROP_TAG(PT_STRING8, 0), [s](_PV& p) { p.lpszA = const_cast<char*>(s); });
}
SPropValue Bin(const char* s, ULONG n) {
  return Val(PROP_TAG(PT_BINARY, 0), [s, n](_PV& p) {
    p.bin = {n, reinterpret_cast<LPBYTE>(const_cast<char*>(s))};
  });
}

constexpr ULONG kSubject = PROP_TAG(PT_STRING8, 0x0037);
constexpr ULONG kSize = PROP_TAG(PT_LONG, 0x0E08);
constexpr ULONG kFlags = PROP_TAG(PT_LONG, 0x0E07);
constexpr ULONG kImportance = PROP_TAG(PT_LONG, 0x0017);
constexpr ULONG kScore = PROP_TAG(PT_DOUBLE, 0x8001);
constexpr ULONG kKeywords = PROP_TAG(PT_MV_STRING8, 0x8002);
constexpr ULONG kBlob = PROP_TAG(PT_BINARY, 0x8003);
constexpr ULONG kWhen = PROP_TAG(PT_SYSTIME, 0x8004);
constexpr ULONG kNumbers = PROP_TAG(PT_MV_LONG, 0x8007);
constexpr ULONG kBroken = PROP_TAG(PT_LONG, 0x8008);  // stored as an error value
constexpr ULONG kPriority = PROP_TAG(PT_LONG, 0x8009);
constexpr ULONG kMissing = PROP_TAG(PT_LONG, 0x7777);

PropMap RowProps() {
  static char alpha[] = "alpha", beta[] = "Beta";
  static LPSTR words[] = {alpha, beta};
  static LONG nums[] = {1, 7, 9};
  PropMap m;
  m[0x0037] = MakeString8("Quarterly Report \xC3\x9Cn\xC3\xAF");  // ... Ünï
  m[0x0E08] = MakeLong(4096);
  m[0x0E07] = MakeLong(0x5);
  m[0x0017] = MakeLong(2);
  m[0x8001] = Double(2.5);
  m[0x8002] = Enc(Val(kKeywords, [](_PV& p) { p.MVszA = {2, words}; }));
  m[0x8003] = MakeBinary("\x01\x02\x03");
  m[0x8004] = MakeSysTime(1000);
  m[0x8007] = Enc(Val(kNumbers, [](_PV& p) { p.MVl = {3, nums}; }));
  m[0x8008] = MakeLong(MAPI_E_NOT_FOUND);
  m[0x8008].type = PT_ERROR;
  m[0x8009] = MakeLong(2);
  return m;
}

TEST(RestrictionTest, EvaluatesEveryKindOnOneRow) {
  ResBuilder b;
  static char16_t report[] = u"quarterly report \u00FCN\u00CF";
  const SPropValue wide = Val(PROP_TAG(PT_UNICODE, 0), [](_PV& p) { p.lpszW = report; });
  const SPropValue when = Val(kWhen, [](_PV& p) { p.ft = {999, 0}; });
  const ULONG kAnyCase = FL_SUBSTRING | FL_IGNORECASE;
  struct Case {
    const char* name;
    SRestriction* res;
    bool expected;
  };
  const Case cases[] = {
      {"EQ", b.Prop(RELOP_EQ, kImportance, Long(2)), true},
      {"NE", b.Prop(RELOP_NE, kImportance, Long(2)), false},
      {"LT", b.Prop(RELOP_LT, kImportance, Long(3)), true},
      {"LE", b.Prop(RELOP_LE, kImportance, Long(2)), true},
      {"GT", b.Prop(RELOP_GT, kImportance, Long(2)), false},
      {"GE", b.Prop(RELOP_GE, kImportance, Long(3)), false},
      {"double", b.Prop(RELOP_EQ, kScore, Val(kScore, [](_PV& p) { p.dbl = 2.5; })), true},
      {"systime", b.Prop(RELOP_GT, kWhen, when), true},
      {"string any case", b.Prop(RELOP_EQ, kSubject, Str("QUARTERLY report \xC3\xBCN\xC3\x8F")),
       true},
      {"unicode value", b.Prop(RELOP_EQ, kSubject, wide), true},
      {"string LT", b.Prop(RELOP_LT, kSubject, Str("R")), true},
      {"missing", b.Prop(RELOP_NE, kMissing, Long(1)), false},
      {"NOT missing", b.Not(b.Prop(RELOP_EQ, kMissing, Long(1))), true},
      {"error value", b.Prop(RELOP_NE, kBroken, Long(1)), false},
      {"MV any EQ", b.Prop(RELOP_EQ, kNumbers, Long(7)), true},
      {"MV none EQ", b.Prop(RELOP_EQ, kNumbers, Long(8)), false},
      {"MV any GT", b.Prop(RELOP_GT, kNumbers, Long(8)), true},
      {"MV string", b.Prop(RELOP_EQ, kKeywords, Str("beta")), true},
      {"substring", b.Content(FL_SUBSTRING, kSubject, Str("report")), false},
      {"substring any case", b.Content(kAnyCase, kSubject, Str("REPORT")), true},
      {"substring folded", b.Content(kAnyCase, kSubject, Str("\xC3\xBCN\xC3\x8F")), true},
      {"substring absent", b.Content(kAnyCase, kSubject, Str("memo")), false},
      {"prefix", b.Content(FL_PREFIX, kSubject, Str("Quarter")), true},
      {"prefix not", b.Content(FL_PREFIX, kSubject, Str("Report")), false},
      {"full", b.Content(FL_FULLSTRING, kSubject, Str("Quarterly Report \xC3\x9Cn\xC3\xAF")), true},
      {"full partial", b.Content(FL_FULLSTRING, kSubject, Str("Quarterly")), false},
      {"MV content", b.Content(kAnyCase, kKeywords, Str("ET")), true},
      {"binary substring", b.Content(FL_SUBSTRING, kBlob, Bin("\x02\x03", 2)), true},
      {"binary prefix", b.Content(FL_PREFIX, kBlob, Bin("\x02", 1)), false},
      {"content on a number",
       b.Content(FL_SUBSTRING, CHANGE_PROP_TYPE(kSize, PT_STRING8), Str("4")), false},
      {"exist", b.Exist(kSize), true},
      {"exist missing", b.Exist(kMissing), false},
      {"exist error", b.Exist(kBroken), false},
      {"bitmask NEZ", b.Node(RES_BITMASK, BMR_NEZ, kFlags, 0x1), true},
      {"bitmask EQZ", b.Node(RES_BITMASK, BMR_EQZ, kFlags, 0x2), true},
      {"bitmask EQZ set", b.Node(RES_BITMASK, BMR_EQZ, kFlags, 0x4), false},
      {"bitmask missing", b.Node(RES_BITMASK, BMR_EQZ, kMissing, 0x4), false},
      {"size", b.Node(RES_SIZE, RELOP_EQ, kBlob, 3), true},
      {"size LT", b.Node(RES_SIZE, RELOP_LT, kSize, 4), false},
      {"compare EQ", b.Node(RES_COMPAREPROPS, RELOP_EQ, kImportance, kPriority), true},
      {"compare GT", b.Node(RES_COMPAREPROPS, RELOP_GT, kSize, kScore), true},
      {"compare mixed", b.Node(RES_COMPAREPROPS, RELOP_NE, kSubject, kSize), false},
      {"compare missing", b.Node(RES_COMPAREPROPS, RELOP_NE, kSize, kMissing), false},
      {"AND", b.List(RES_AND, {b.Exist(kSize), b.Exist(kMissing)}), false},
      {"OR", b.List(RES_OR, {b.Exist(kMissing), b.Exist(kSize)}), true},
      {"empty AND", b.List(RES_AND, {}), true},
      {"empty OR", b.List(RES_OR, {}), false},
  };
  const MapSource row(RowProps());
  for (const Case& c : cases) {
    Restriction r;
    ASSERT_EQ(CopyRestriction(c.res, &r), S_OK) << c.name;
    EXPECT_EQ(EvalRestriction(r, row), c.expected) << c.name;
  }
  // The copy owns its values.
  char text[] = "Quarterly Report \xC3\x9Cn\xC3\xAF";
  Restriction r;
  ASSERT_EQ(CopyRestriction(b.Prop(RELOP_EQ, kSubject, Str(text)), &r), S_OK);
  text[0] = 'X';
  EXPECT_TRUE(EvalRestriction(r, row));
}

TEST(RestrictionTest, CopyRejectsMalformedStructures) {
  ResBuilder b;
  Restriction r;
  SRestriction* unknown = b.Node(42, 0, 0, 0);
  SRestriction* and_null = b.Node(RES_AND, 2, 0, 0);  // two children, no array
  SRestriction* or_null = b.Node(RES_OR, 1, 0, 0);
  struct Case {
    const char* name;
    SRestriction* res;
    HRESULT expected;
  };
  const Case cases[] = {
      {"null", nullptr, MAPI_E_INVALID_PARAMETER},
      {"AND without array", and_null, MAPI_E_INVALID_PARAMETER},
      {"OR without array", or_null, MAPI_E_INVALID_PARAMETER},
      {"NOT of null", b.Not(nullptr), MAPI_E_INVALID_PARAMETER},
      {"property without value", b.Node(RES_PROPERTY, RELOP_EQ, kSize, 0),
       MAPI_E_INVALID_PARAMETER},
      {"content without value", b.Node(RES_CONTENT, FL_PREFIX, kSubject, 0),
       MAPI_E_INVALID_PARAMETER},
      {"unknown type", unknown, MAPI_E_INVALID_PARAMETER},
      {"bad child deep inside", b.List(RES_AND, {b.Exist(kSize), b.Not(unknown)}),
       MAPI_E_INVALID_PARAMETER},
      {"regular expression", b.Prop(RELOP_RE, kSubject, Str("a.*")), MAPI_E_TOO_COMPLEX},
      {"unknown relop", b.Prop(99, kSize, Long(1)), MAPI_E_INVALID_PARAMETER},
      {"unknown bitmask test", b.Node(RES_BITMASK, 7, kFlags, 1), MAPI_E_INVALID_PARAMETER},
      {"unknown fuzzy level", b.Content(FL_PREFIX + 1, kSubject, Str("a")),
       MAPI_E_INVALID_PARAMETER},
      {"string for a number", b.Prop(RELOP_EQ, kSize, Str("4096")), MAPI_E_INVALID_TYPE},
      {"number for a string", b.Prop(RELOP_EQ, kSubject, Long(1)), MAPI_E_INVALID_TYPE},
      {"content of a number", b.Content(FL_PREFIX, kSize, Long(4)), MAPI_E_INVALID_TYPE},
      {"string in a binary", b.Content(FL_PREFIX, kBlob, Str("a")), MAPI_E_INVALID_TYPE},
      {"null string value", b.Prop(RELOP_EQ, kSubject, Str(nullptr)), MAPI_E_INVALID_PARAMETER},
  };
  for (const Case& c : cases) EXPECT_EQ(CopyRestriction(c.res, &r), c.expected) << c.name;

  // 64 levels are accepted, 65 are too many.
  SRestriction* deep = b.Exist(kSize);
  for (int depth = 1; depth < 64; ++depth) deep = b.Not(deep);
  EXPECT_EQ(CopyRestriction(deep, &r), S_OK);
  EXPECT_EQ(CopyRestriction(b.Not(deep), &r), MAPI_E_TOO_COMPLEX);
}

}  // namespace
}  // namespace zuvstore
