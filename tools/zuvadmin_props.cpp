// zuvadmin_props.cpp: properties by symbolic name: resolving names to tags,
// parsing values by the property's type, printing them, and the
// list-messages and set-property commands built on that.
//
// A name is a tag written in hex ("0x0037001E"), a name of the service's
// property tag table ("PR_SUBJECT"), or a name of its named-property table
// ("PidLidReminderSet", "dispidReminderSet"), whose ID the store assigns.
// Tag-table names with IDs of 0x8000 and up are named properties whose ID
// differs from store to store, so they are refused.
#include <glib.h>
#include <strings.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>

#include "mapi/mapitags.h"
#include "mapi/mapiutil.h"
#include "mapi_access/prop_tags.h"
#include "zuvadmin.h"

namespace zuvadmin {
namespace {

constexpr ULONG kFirstNamedId = 0x8000;

// What a name stands for before it is bound to a store.
struct PropRef {
  std::string name;
  ULONG tag = 0;                                 // PT_ERROR type until bound, for named properties
  const zuv::NamedPropEntry* named = nullptr;    // set for named properties
  bool absent = false;                           // named property the store has no ID for
};

// Parses an unsigned hex tag "0x0037001E".
bool ParseHexTag(const std::string& text, ULONG* tag) {
  if (text.size() != 10 || (text.compare(0, 2, "0x") != 0 && text.compare(0, 2, "0X") != 0)) return false;
  auto [end, ec] = std::from_chars(text.data() + 2, text.data() + text.size(), *tag, 16);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ResolveName(const std::string& name, PropRef* out, std::string* err) {
  out->name = name;
  if (ParseHexTag(name, &out->tag)) return true;
  uint32_t tag = 0;
  if (zuv::TagFromName(name, &tag) == 0) {
    if (PROP_ID(tag) >= kFirstNamedId) {
      *err = name + " is a named property whose ID differs per store; use a PidLid or dispid name, or a 0x tag";
      return false;
    }
    out->tag = tag;
    return true;
  }
  const size_t index = zuv::NamedPropertyIndex(name);
  if (index == zuv::NamedPropertyCount()) {
    *err = "unknown property name " + name;
    return false;
  }
  out->named = &zuv::NamedPropertyAt(index);
  out->tag = PROP_TAG(out->named->type, 0);
  return true;
}

// Gives a named property its ID on obj's store, creating it when asked;
// without create a name the store never saw is marked absent.
bool BindNamed(IMAPIProp* obj, bool create, PropRef* ref, std::string* err) {
  if (ref->named == nullptr) return true;
  MAPINAMEID id{const_cast<GUID*>(ref->named->propset), MNID_ID, {}};
  id.Kind.lID = static_cast<LONG>(ref->named->lid);
  LPMAPINAMEID names[1] = {&id};
  MapiBuffer<SPropTagArray> tags;
  HRESULT hr = obj->GetIDsFromNames(1, names, create ? MAPI_CREATE : 0, tags.put());
  if (FAILED(hr) || !tags || tags->cValues != 1) {
    *err = "cannot resolve " + ref->name + ": " + MapiErrorText(obj, hr);
    return false;
  }
  const ULONG found = tags->aulPropTag[0];
  ref->absent = PROP_TYPE(found) == PT_ERROR;
  if (!ref->absent) ref->tag = PROP_TAG(ref->named->type, PROP_ID(found));
  return true;
}

// ---- Parsing values ----

// Decimal, or hexadecimal after "0x"; with an optional sign.
bool ParseInteger(std::string_view text, int64_t min, int64_t max, int64_t* out) {
  bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
  if (negative) {
    if (magnitude > static_cast<uint64_t>(INT64_MAX) + 1) return false;
    *out = static_cast<int64_t>(0 - magnitude);
  } else {
    if (magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
    *out = static_cast<int64_t>(magnitude);
  }
  // Hex lets a 32-bit value be written as its bit pattern (0xFFFFFFFF).
  if (base == 16 && !negative && max == INT32_MAX && *out <= UINT32_MAX) *out = static_cast<int32_t>(*out);
  if (base == 16 && !negative && max == INT16_MAX && *out <= UINT16_MAX) *out = static_cast<int16_t>(*out);
  return *out >= min && *out <= max;
}

bool ParseBool(const std::string& text, unsigned short* out) {
  for (const char* yes : {"true", "1", "yes", "on"}) {
    if (strcasecmp(text.c_str(), yes) == 0) return *out = 1, true;
  }
  for (const char* no : {"false", "0", "no", "off"}) {
    if (strcasecmp(text.c_str(), no) == 0) return *out = 0, true;
  }
  return false;
}

bool ParseDouble(const std::string& text, double* out) {
  char* end = nullptr;
  *out = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && std::isfinite(*out);
}

// "now", or an ISO 8601 date ("2024-05-01", UTC midnight) or time
// ("2024-05-01T12:00:00Z", UTC unless an offset is given).
bool ParseTime(const std::string& text, FILETIME* out) {
  if (text == "now") {
    *out = FileTimeNow();
    return true;
  }
  std::string iso = text.size() == 10 ? text + "T00:00:00" : text;
  GTimeZone* utc = g_time_zone_new_utc();
  GDateTime* t = g_date_time_new_from_iso8601(iso.c_str(), utc);
  g_time_zone_unref(utc);
  if (t == nullptr) return false;
  *out = FileTimeFromUnixMicros(g_date_time_to_unix(t) * 1000000 + g_date_time_get_microsecond(t));
  g_date_time_unref(t);
  return true;
}

bool ParseGuid(const std::string& text, GUID* out) {
  unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
  int used = 0;
  if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                  &b[4], &b[5], &b[6], &b[7], &used) != 11 ||
      used != static_cast<int>(text.size())) {
    return false;
  }
  *out = GUID{d1, static_cast<uint16_t>(d2), static_cast<uint16_t>(d3), {}};
  for (int i = 0; i < 8; ++i) out->Data4[i] = static_cast<uint8_t>(b[i]);
  return true;
}

// Allocates bytes tied to root's allocation chain; null when out of memory.
void* More(size_t bytes, void* root) {
  void* p = nullptr;
  return MAPIAllocateMore(static_cast<ULONG>(bytes), root, &p) == S_OK ? p : nullptr;
}

char* CopyString(const std::string& text, void* root) {
  auto* p = static_cast<char*>(More(text.size() + 1, root));
  if (p != nullptr) std::memcpy(p, text.c_str(), text.size() + 1);
  return p;
}

char16_t* CopyWide(const std::string& text, void* root) {
  const std::u16string wide = zuvstore::Utf8ToUtf16(text);
  auto* p = static_cast<char16_t*>(More((wide.size() + 1) * sizeof(char16_t), root));
  if (p != nullptr) std::memcpy(p, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  return p;
}

// One value of a single-valued type into *v (the union member of type).
// Memory for strings and binaries hangs off root.
bool ParseOne(ULONG type, const std::string& text, void* root, _PV* v, std::string* why) {
  int64_t n = 0;
  switch (type) {
    case PT_I2:
      if (!ParseInteger(text, INT16_MIN, INT16_MAX, &n)) return *why = "a 16-bit integer", false;
      v->i = static_cast<short>(n);
      return true;
    case PT_LONG:
      if (!ParseInteger(text, INT32_MIN, INT32_MAX, &n)) return *why = "a 32-bit integer", false;
      v->l = static_cast<LONG>(n);
      return true;
    case PT_I8:
      if (!ParseInteger(text, INT64_MIN, INT64_MAX, &n)) return *why = "a 64-bit integer", false;
      v->li.QuadPart = n;
      return true;
    case PT_BOOLEAN:
      return ParseBool(text, &v->b) || (*why = "true or false", false);
    case PT_FLOAT: {
      double d = 0;
      if (!ParseDouble(text, &d)) return *why = "a number", false;
      v->flt = static_cast<float>(d);
      return true;
    }
    case PT_DOUBLE:
    case PT_APPTIME:
      return ParseDouble(text, &v->dbl) || (*why = "a number", false);
    case PT_CURRENCY: {
      double d = 0;
      if (!ParseDouble(text, &d) || std::fabs(d) > 9e14) return *why = "an amount", false;
      v->cur.int64 = std::llround(d * 10000);  // four decimal places, as MAPI keeps them
      return true;
    }
    case PT_SYSTIME:
      return ParseTime(text, &v->ft) || (*why = "an ISO 8601 time or 'now'", false);
    case PT_CLSID: {
      auto* g = static_cast<GUID*>(More(sizeof(GUID), root));
      if (g == nullptr || !ParseGuid(text, g)) return *why = "a GUID {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", false;
      v->lpguid = g;
      return true;
    }
    case PT_STRING8:
    case PT_UNICODE:
      if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return *why = "UTF-8 text", false;
      if (type == PT_STRING8) return (v->lpszA = CopyString(text, root)) != nullptr;
      return (v->lpszW = CopyWide(text, root)) != nullptr;
    case PT_BINARY: {
      std::string bytes;
      if (!zuvstore::HexToEntryId(text, &bytes)) return *why = "hexadecimal bytes", false;
      auto* p = static_cast<BYTE*>(More(bytes.size() + 1, root));
      if (p == nullptr) return false;
      std::memcpy(p, bytes.data(), bytes.size());
      v->bin = {static_cast<ULONG>(bytes.size()), p};
      return true;
    }
    default:
      return *why = "a type that cannot be set", false;
  }
}

// Splits a multi-valued text at ',' ("\," and "\\" escape).
std::vector<std::string> SplitValues(const std::string& text) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      parts.back() += text[++i];
    } else if (text[i] == ',') {
      parts.emplace_back();
    } else {
      parts.back() += text[i];
    }
  }
  return parts;
}

// Size of one element in a multi-valued array of the base type.
size_t ElementSize(ULONG base) {
  switch (base) {
    case PT_I2: return sizeof(short);
    case PT_LONG: return sizeof(LONG);
    case PT_FLOAT: return sizeof(float);
    case PT_DOUBLE:
    case PT_APPTIME: return sizeof(double);
    case PT_CURRENCY: return sizeof(CURRENCY);
    case PT_SYSTIME: return sizeof(FILETIME);
    case PT_BINARY: return sizeof(SBinary);
    case PT_STRING8: return sizeof(LPSTR);
    case PT_UNICODE: return sizeof(LPWSTR);
    case PT_CLSID: return sizeof(GUID);
    case PT_I8: return sizeof(LARGE_INTEGER);
    default: return 0;
  }
}

// Copies one parsed element into slot i of a multi-valued array.
void StoreElement(ULONG base, const _PV& one, void* array, size_t i) {
  switch (base) {
    case PT_I2: static_cast<short*>(array)[i] = one.i; break;
    case PT_LONG: static_cast<LONG*>(array)[i] = one.l; break;
    case PT_FLOAT: static_cast<float*>(array)[i] = one.flt; break;
    case PT_DOUBLE:
    case PT_APPTIME: static_cast<double*>(array)[i] = one.dbl; break;
    case PT_CURRENCY: static_cast<CURRENCY*>(array)[i] = one.cur; break;
    case PT_SYSTIME: static_cast<FILETIME*>(array)[i] = one.ft; break;
    case PT_BINARY: static_cast<SBinary*>(array)[i] = one.bin; break;
    case PT_STRING8: static_cast<LPSTR*>(array)[i] = one.lpszA; break;
    case PT_UNICODE: static_cast<LPWSTR*>(array)[i] = one.lpszW; break;
    case PT_CLSID: static_cast<GUID*>(array)[i] = *one.lpguid; break;
    case PT_I8: static_cast<LARGE_INTEGER*>(array)[i] = one.li; break;
  }
}

// Parses text as a value of tag's type (the property called name) into
// *out, memory off root.
bool ParseValue(const std::string& name, ULONG tag, const std::string& text, void* root, SPropValue* out,
                std::string* err) {
  const ULONG type = PROP_TYPE(tag);
  out->ulPropTag = tag;
  std::string why;
  if ((type & MV_FLAG) == 0) {
    if (ParseOne(type, text, root, &out->Value, &why)) return true;
  } else {
    const ULONG base = type & ~MV_FLAG;
    const std::vector<std::string> parts = SplitValues(text);
    const size_t size = ElementSize(base);
    void* array = size == 0 ? nullptr : More(size * parts.size(), root);
    bool ok = array != nullptr;
    if (size == 0) why = "a type that cannot be set";
    for (size_t i = 0; ok && i < parts.size(); ++i) {
      _PV one{};
      ok = ParseOne(base, parts[i], root, &one, &why);
      if (ok) StoreElement(base, one, array, i);
    }
    if (ok) {
      // Every multi-valued member has the same layout: a count, then the array.
      out->Value.MVl.cValues = static_cast<ULONG>(parts.size());
      out->Value.MVl.lpl = static_cast<LONG*>(array);
      return true;
    }
  }
  *err = why.empty() ? "out of memory" : "the value of " + name + " must be " + why;
  return false;
}

// ---- Printing values ----

std::string Hex(const BYTE* data, ULONG size) { return zuvstore::EntryIdToHex(data, size); }

std::string TimeText(const FILETIME& ft) {
  const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const int64_t seconds = static_cast<int64_t>(ticks / 10000000) - 11644473600LL;
  const time_t t = static_cast<time_t>(seconds);
  std::tm tm{};
  char text[32];
  if (gmtime_r(&t, &tm) == nullptr || std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) return "";
  return text;
}

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::string WideText(const char16_t* w) {
  gchar* utf8 = g_utf16_to_utf8(reinterpret_cast<const gunichar2*>(w), -1, nullptr, nullptr, nullptr);
  std::string out = utf8 != nullptr ? utf8 : "";
  g_free(utf8);
  return out;
}

std::string NumberText(double d) {
  char text[40];
  std::snprintf(text, sizeof(text), "%.17g", d);
  return text;
}

// A value written to JSON as a number or boolean rather than text.
enum class Shape { kText, kNumber, kBool };

// One element of a value as text, with the shape JSON gives it.
std::string ElementText(ULONG base, const _PV& v, Shape* shape) {
  *shape = Shape::kNumber;
  switch (base) {
    case PT_I2: return std::to_string(v.i);
    case PT_LONG: return std::to_string(v.l);
    case PT_I8: return std::to_string(v.li.QuadPart);
    case PT_FLOAT: return NumberText(v.flt);
    case PT_DOUBLE:
    case PT_APPTIME: return NumberText(v.dbl);
    case PT_CURRENCY: return NumberText(static_cast<double>(v.cur.int64) / 10000);
    case PT_BOOLEAN: *shape = Shape::kBool; return v.b ? "true" : "false";
    default: break;
  }
  *shape = Shape::kText;
  switch (base) {
    case PT_SYSTIME: return TimeText(v.ft);
    case PT_STRING8: return v.lpszA != nullptr ? v.lpszA : "";
    case PT_UNICODE: return v.lpszW != nullptr ? WideText(v.lpszW) : "";
    case PT_BINARY: return Hex(v.bin.lpb, v.bin.cb);
    case PT_CLSID: return v.lpguid != nullptr ? GuidText(*v.lpguid) : "";
    default: return "";
  }
}

// Element i of a multi-valued value as a single value of the base type.
_PV ElementAt(ULONG base, const _PV& v, ULONG i) {
  _PV one{};
  switch (base) {
    case PT_I2: one.i = v.MVi.lpi[i]; break;
    case PT_LONG: one.l = v.MVl.lpl[i]; break;
    case PT_FLOAT: one.flt = v.MVflt.lpflt[i]; break;
    case PT_DOUBLE: one.dbl = v.MVdbl.lpdbl[i]; break;
    case PT_APPTIME: one.dbl = v.MVat.lpat[i]; break;
    case PT_CURRENCY: one.cur = v.MVcur.lpcur[i]; break;
    case PT_SYSTIME: one.ft = v.MVft.lpft[i]; break;
    case PT_BINARY: one.bin = v.MVbin.lpbin[i]; break;
    case PT_STRING8: one.lpszA = v.MVszA.lppszA[i]; break;
    case PT_UNICODE: one.lpszW = v.MVszW.lppszW[i]; break;
    case PT_CLSID: one.lpguid = &v.MVguid.lpguid[i]; break;
    case PT_I8: one.li = v.MVli.lpli[i]; break;
  }
  return one;
}

// The elements of a value (one for a single-valued one); empty when it is
// missing (PT_ERROR).
std::vector<std::pair<std::string, Shape>> Elements(const SPropValue& v) {
  std::vector<std::pair<std::string, Shape>> out;
  const ULONG type = PROP_TYPE(v.ulPropTag);
  Shape shape;
  if (type == PT_ERROR || type == PT_NULL) return out;
  if ((type & MV_FLAG) == 0) {
    std::string text = ElementText(type, v.Value, &shape);
    out.emplace_back(std::move(text), shape);
    return out;
  }
  for (ULONG i = 0; i < v.Value.MVl.cValues; ++i) {
    std::string text = ElementText(type & ~MV_FLAG, ElementAt(type & ~MV_FLAG, v.Value, i), &shape);
    out.emplace_back(std::move(text), shape);
  }
  return out;
}

std::string ValueText(const SPropValue* v) {
  std::string text;
  if (v == nullptr) return text;
  for (const auto& [element, shape] : Elements(*v)) {
    if (!text.empty()) text += "; ";
    text += element;
  }
  return text;
}

void WriteJsonElement(rapidjson::Writer<rapidjson::StringBuffer>& w, const std::string& text, Shape shape) {
  if (shape == Shape::kBool) {
    w.Bool(text == "true");
  } else if (shape == Shape::kNumber) {
    w.RawValue(text.data(), text.size(), rapidjson::kNumberType);
  } else {
    w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  }
}

// v as JSON text: null when missing, an array when multi-valued.
std::string JsonValue(const SPropValue* v) {
  if (v == nullptr || PROP_TYPE(v->ulPropTag) == PT_ERROR || PROP_TYPE(v->ulPropTag) == PT_NULL) return "null";
  rapidjson::StringBuffer json;
  rapidjson::Writer<rapidjson::StringBuffer> w(json);
  const auto elements = Elements(*v);
  const bool multi = (PROP_TYPE(v->ulPropTag) & MV_FLAG) != 0;
  if (multi) w.StartArray();
  for (const auto& [text, shape] : elements) WriteJsonElement(w, text, shape);
  if (multi) w.EndArray();
  return json.GetString();
}

std::string ProblemText(SCODE code) {
  switch (code) {
    case MAPI_E_COMPUTED: return "the store computes it";
    case MAPI_E_INVALID_TYPE: return "the store does not keep this type";
    case MAPI_E_NO_ACCESS: return "read-only";
    default: {
      char text[32];
      std::snprintf(text, sizeof(text), "MAPI error 0x%08X", static_cast<unsigned>(code));
      return text;
    }
  }
}

}  // namespace

// ---- Commands ----

namespace {

// Tables cut string values at kTableStringChars characters; a value that
// long may be the start of a longer one.
constexpr size_t kTableStringChars = 255;

bool MayBeCut(const SPropValue* v) {
  if (v == nullptr || PROP_TYPE(v->ulPropTag) != PT_STRING8 || v->Value.lpszA == nullptr) return false;
  size_t chars = 0;
  for (const char* p = v->Value.lpszA; *p != '\0'; ++p) {
    if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) ++chars;
  }
  return chars >= kTableStringChars;
}

// Reads property tag whole from the message of the row's PR_ENTRYID, opening
// *message on first use. False when it cannot: the cut value is shown then.
bool ReadWholeValue(IMAPIFolder* folder, const SPropValue& entry_id, ULONG tag, MapiPtr<IMessage>* message,
                    MapiBuffer<SPropValue>* whole) {
  if (PROP_TYPE(entry_id.ulPropTag) != PT_BINARY) return false;
  if (!*message) {
    ULONG type = 0;
    MapiPtr<IUnknown> unk;
    if (FAILED(folder->OpenEntry(entry_id.Value.bin.cb, reinterpret_cast<LPENTRYID>(entry_id.Value.bin.lpb), nullptr,
                                 0, &type, unk.put())) ||
        FAILED(unk->QueryInterface(IID_IMessage, message->put_void()))) {
      return false;
    }
  }
  SizedSPropTagArray(1, one) = {1, {tag}};
  ULONG count = 0;
  whole->reset();
  HRESULT hr = (*message)->GetProps(reinterpret_cast<LPSPropTagArray>(&one), 0, &count, whole->put());
  return hr == S_OK && count == 1 && PROP_TYPE((*whole)->ulPropTag) == PT_STRING8;
}

}  // namespace

int ListMessages(const Context& ctx, const ListMessagesArgs& args) {
  static const std::vector<std::string> kDefaultColumns = {"PR_SUBJECT", "PR_SENDER_NAME",
                                                           "PR_MESSAGE_DELIVERY_TIME", "PR_MESSAGE_SIZE"};
  const std::vector<std::string>& names = args.columns.empty() ? kDefaultColumns : args.columns;
  MapiPtr<IMAPIFolder> folder;
  if (FAILED(OpenFolder(ctx, args.alias, args.is_public, args.folder, &folder))) return kExitFailure;

  // Column 0 is the entry ID; a named property the store never saw has no
  // column and shows as missing.
  std::vector<PropRef> refs(names.size());
  std::vector<int> column_of(names.size(), -1);
  std::vector<ULONG> columns{0, PR_ENTRYID};
  std::string err;
  for (size_t i = 0; i < names.size(); ++i) {
    if (!ResolveName(names[i], &refs[i], &err) || !BindNamed(folder.get(), false, &refs[i], &err)) return Fail(err);
    if (refs[i].absent) continue;
    column_of[i] = static_cast<int>(columns.size() - 1);
    columns.push_back(refs[i].tag);
  }
  columns[0] = static_cast<ULONG>(columns.size() - 1);

  MapiPtr<IMAPITable> table;
  HRESULT hr = folder->GetContentsTable(0, table.put());
  if (SUCCEEDED(hr)) hr = table->SetColumns(reinterpret_cast<LPSPropTagArray>(columns.data()), 0);
  if (FAILED(hr)) return Fail("cannot read folder " + args.folder + ": " + MapiErrorText(folder.get(), hr));

  std::vector<std::string> header{"ENTRY ID"};
  header.insert(header.end(), names.begin(), names.end());
  Listing list(ctx.json, header);
  for (;;) {
    MapiRows rows;
    hr = table->QueryRows(256, 0, rows.put());
    if (FAILED(hr)) return Fail("cannot read folder " + args.folder + ": " + MapiErrorText(table.get(), hr));
    if (rows->cRows == 0) break;
    for (ULONG r = 0; r < rows->cRows; ++r) {
      const SPropValue* values = rows->aRow[r].lpProps;
      list.Str("entry_id", ValueText(&values[0]));
      MapiPtr<IMessage> message;  // opened for the first value the table cut
      MapiBuffer<SPropValue> whole;
      for (size_t i = 0; i < names.size(); ++i) {
        const SPropValue* v = column_of[i] < 0 ? nullptr : &values[column_of[i]];
        if (MayBeCut(v) && ReadWholeValue(folder.get(), values[0], v->ulPropTag, &message, &whole)) v = whole.get();
        list.Member(names[i].c_str(), ValueText(v), JsonValue(v));
      }
      list.EndRow();
    }
  }
  list.Finish();
  return kExitOk;
}

int SetProperty(const Context& ctx, const SetPropertyArgs& args) {
  MapiPtr<IMessage> message;
  if (!OpenMessage(ctx, args.alias, args.entry_id, &message)) return kExitFailure;

  // Every name and value is checked before anything changes; named
  // properties get their IDs only then.
  const size_t n = args.assignments.size();
  MapiBuffer<SPropValue> values;
  if (MAPIAllocateBuffer(static_cast<ULONG>(n * sizeof(SPropValue)), reinterpret_cast<void**>(values.put())) != S_OK) {
    return Fail("out of memory");
  }
  std::vector<PropRef> refs(n);
  std::string err;
  for (size_t i = 0; i < n; ++i) {
    const std::string& a = args.assignments[i];
    const size_t eq = a.find('=');
    if (eq == std::string::npos || eq == 0) return Fail("not NAME=VALUE: " + a);
    if (!ResolveName(a.substr(0, eq), &refs[i], &err)) return Fail(err);
    values[i] = SPropValue{};
    if (!ParseValue(refs[i].name, refs[i].tag, a.substr(eq + 1), values.get(), &values[i], &err)) return Fail(err);
  }
  for (size_t i = 0; i < n; ++i) {
    if (!BindNamed(message.get(), true, &refs[i], &err)) return Fail(err);
    values[i].ulPropTag = refs[i].tag;
  }

  // A problem leaves the message unsaved, so nothing is written.
  MapiBuffer<SPropProblemArray> problems;
  HRESULT hr = message->SetProps(static_cast<ULONG>(n), values.get(), problems.put());
  if (FAILED(hr)) return Fail("cannot set properties: " + MapiErrorText(message.get(), hr));
  if (problems && problems->cProblem > 0) {
    for (ULONG i = 0; i < problems->cProblem; ++i) {
      const SPropProblem& p = problems->aProblem[i];
      Warn("cannot set " + refs[p.ulIndex].name + ": " + ProblemText(p.scode));
    }
    return Fail("nothing was changed");
  }
  hr = message->SaveChanges(KEEP_OPEN_READWRITE);
  if (hr == MAPI_E_OBJECT_CHANGED) return Fail("message " + args.entry_id + " changed meanwhile; nothing was changed");
  if (FAILED(hr)) return Fail("cannot save message " + args.entry_id + ": " + MapiErrorText(message.get(), hr));
  if (ctx.json) {
    std::vector<std::string> set;
    for (const PropRef& r : refs) set.push_back(r.name);
    JsonLine().Str("entry_id", args.entry_id).StrArray("set", set).Print();
  }
  return kExitOk;
}

}  // namespace zuvadmin
