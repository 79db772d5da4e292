// propval.h: property values as the store keeps them, and their conversion to
// and from MAPI's SPropValue.
//
// A stored value is its property type plus an encoded payload:
//   I2 2 bytes, LONG/ERROR/FLOAT 4, BOOLEAN 2 (0 or 1), I8/SYSTIME/CURRENCY/
//   DOUBLE/APPTIME 8 (little-endian), CLSID 16, STRING8 and UNICODE the UTF-8
//   text (no NUL), BINARY the bytes; MV types: u32 count, then each element
//   (fixed-size elements as above, strings and binaries as u32 length + bytes).
// A property list (PropMap) is keyed by property ID: one value per ID, as in
// MAPI, whatever the type it was set with. String types convert into each
// other on read.
//
// Thread safety: plain values; no shared state.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/mapiutil.h"
#include "mapi/mapix.h"

namespace zuvstore {

struct StoredProp {
  ULONG type = PT_NULL;    // property type, MV_FLAG included
  std::string data;        // encoded payload
  bool truncated = false;  // data is a prefix; the full value is out of line
};

// Property ID -> value.
using PropMap = std::map<uint16_t, StoredProp>;

// Encodes value into *out. MAPI_E_INVALID_TYPE when the type is not one the
// store keeps (PT_OBJECT, PT_NULL, PT_UNSPECIFIED, PT_ERROR as input),
// MAPI_E_INVALID_PARAMETER for a null pointer inside the value.
[[nodiscard]] HRESULT EncodeProp(const SPropValue& value, StoredProp* out);

// Decodes stored into *out with the tag tag (PT_UNSPECIFIED in tag means the
// stored type). Memory for strings and arrays is allocated with
// MAPIAllocateMore on parent. max_chars > 0 cuts string values to that many
// characters (table rows); binaries are never cut. MAPI_E_INVALID_TYPE when
// the stored type cannot be read as the requested one, MAPI_E_CORRUPT_DATA
// for a damaged payload; on failure *out is a PT_ERROR value with the code.
// A stored PT_ERROR value reads as that error whatever the requested type.
[[nodiscard]] HRESULT DecodeProp(ULONG tag, const StoredProp& stored, void* parent,
                                 SPropValue* out, size_t max_chars = 0);

// A PT_ERROR value for tag with scode.
void ErrorProp(ULONG tag, SCODE scode, SPropValue* out);

// Serialises a property list into one blob and back (the truncated flag
// travels as the high bit of the stored type). ParsePropList returns false on
// a corrupt blob (and leaves *out partly filled).
std::string SerializePropList(const PropMap& props);
[[nodiscard]] bool ParsePropList(std::string_view blob, PropMap* out);

// Reads one property ID's value straight from a blob without building a map.
// Returns nullptr-equivalent false when absent.
[[nodiscard]] bool FindInPropList(std::string_view blob, uint16_t prop_id, StoredProp* out);

// Compares two stored values of compatible types (numbers with numbers,
// strings with strings, binaries bytewise). Returns <0, 0, >0; *comparable is
// false when the types do not compare. ignore_case applies to strings.
int CompareProps(const StoredProp& a, const StoredProp& b, bool ignore_case, bool* comparable);

// Typed helpers for the store's own values.
StoredProp MakeLong(int32_t v);
StoredProp MakeBool(bool v);
StoredProp MakeI8(int64_t v);
StoredProp MakeSysTime(int64_t filetime);
StoredProp MakeString8(std::string_view utf8);
StoredProp MakeUnicode(std::string_view utf8);
StoredProp MakeBinary(std::string_view bytes);
bool GetLong(const StoredProp& p, int32_t* v);
bool GetI8(const StoredProp& p, int64_t* v);
bool GetString(const StoredProp& p, std::string* utf8);  // STRING8 or UNICODE
bool GetBinary(const StoredProp& p, std::string* bytes);


// Current time as FILETIME ticks.
int64_t NowFileTime();

// ---- Restrictions ----

// A restriction deep-copied out of the caller's structure.
struct Restriction {
  ULONG rt = RES_AND;
  ULONG relop = 0;        // RES_PROPERTY, RES_COMPAREPROPS, RES_SIZE; BMR_* for RES_BITMASK
  ULONG tag = 0;          // the property looked at
  ULONG tag2 = 0;         // RES_COMPAREPROPS
  ULONG fuzzy = 0;        // RES_CONTENT
  ULONG mask_or_size = 0; // RES_BITMASK mask, RES_SIZE size
  StoredProp value;       // RES_PROPERTY, RES_CONTENT
  std::vector<Restriction> children;  // RES_AND, RES_OR, RES_NOT (one)
};

// Copies res. MAPI_E_INVALID_PARAMETER for a null or malformed structure
// (null child arrays, unknown type), MAPI_E_TOO_COMPLEX past depth 64.
[[nodiscard]] HRESULT CopyRestriction(const SRestriction* res, Restriction* out);

// Looks a property up by ID for the evaluator; returns nullptr when absent.
class PropSource {
 public:
  virtual const StoredProp* Find(uint16_t prop_id) const = 0;

 protected:
  ~PropSource() = default;
};

// Evaluates res on the properties of one row. A property-based test on a
// missing property is false (RES_NOT of it true). RES_PROPERTY and
// RES_COMPAREPROPS compare strings without regard to case; RES_CONTENT does
// so with FL_IGNORECASE or FL_LOOSE.
bool EvalRestriction(const Restriction& res, const PropSource& props);

// MAPIAllocateBuffer with spare bytes after the block, from which
// MAPIAllocateMore on it takes small children before it allocates: a table
// row's strings then share one allocation with the row.
[[nodiscard]] SCODE AllocateBufferWithSpare(ULONG cbSize, ULONG spare, LPVOID* lppBuffer);

}  // namespace zuvstore
