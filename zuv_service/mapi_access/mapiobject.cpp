// mapiobject.cpp: entry-ID strings, dates, and CMAPIObject's item, property,
// named-property and body operations. Attachments live in
// mapimessage_attachments.cpp.
#include "mapi_access/mapiobject.h"

#include "mapi/mapiutil.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <langinfo.h>

#include "base/logging.h"
#include "mapi/mapitags.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/rtf_text.h"

namespace {

constexpr const char* kFile = "zuv_service/mapiobject";
constexpr ULONG kStreamBlock = 16384;
// FILETIME ticks between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsSeparator(char c) { return c != '\0' && std::strchr("\r\n\t -.,\\/'{}`", c) != nullptr; }

// The code page of the process locale for the RTF header: the number after
// "CP" in the codeset name, else 65001 for UTF-8 (at most 5 digits).
std::string AnsiCodePage() {
  const char* codeset = nl_langinfo(CODESET);
  std::string cs = codeset != nullptr ? codeset : "";
  std::string digits;
  for (char c : cs) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  if ((cs.rfind("CP", 0) == 0 || cs.rfind("cp", 0) == 0) && !digits.empty() && digits.size() <= 5) {
    return digits;
  }
  if (cs == "ANSI_X3.4-1968" || cs == "ISO-8859-1") return "1252";
  return "65001";
}

}  // namespace

namespace zuv {

std::string EntryIDToString(const void* data, size_t len) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  if (data == nullptr) return out;
  out.reserve(len * 2);
  const auto* p = static_cast<const BYTE*>(data);
  for (size_t i = 0; i < len; ++i) {
    out.push_back(kDigits[p[i] >> 4]);
    out.push_back(kDigits[p[i] & 0x0F]);
  }
  return out;
}

bool HexToBin(std::string_view text, std::vector<BYTE>* bytes) {
  bytes->clear();
  // The digits alone, separators dropped.
  std::string digits;
  digits.reserve(text.size());
  for (char c : text) {
    if (!IsSeparator(c)) digits.push_back(c);
  }
  std::string_view d = digits;
  if (d.size() > 2 && d[0] == '0' && (d[1] == 'x' || d[1] == 'X')) {
    d.remove_prefix(2);
  } else if (!d.empty() && (d[0] == 'x' || d[0] == 'X')) {
    d.remove_prefix(1);
  }
  if (d.size() % 2 != 0) return false;
  std::vector<BYTE> out;
  out.reserve(d.size() / 2 + 2);
  for (size_t i = 0; i < d.size(); i += 2) {
    int hi = HexValue(d[i]);
    int lo = HexValue(d[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<BYTE>(hi << 4 | lo));
  }
  *bytes = std::move(out);
  return true;
}

std::u16string AnsiToWide(std::string_view text) { return zuvstore::Utf8ToUtf16(text); }

std::string FileTimeToLocalDate(const FILETIME& ft) {
  int64_t ticks = static_cast<int64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
  if (ticks == 0) return "";
  time_t t = static_cast<time_t>((ticks - kUnixEpochTicks) / 10000000);
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return "";
  char buf[16];
  std::strftime(buf, sizeof(buf), "%m/%d/%Y", &local);
  return buf;
}

bool LocalDateToFileTime(std::string_view text, FILETIME* ft) {
  int month = 0, day = 0, year = 0;
  char tail = 0;
  std::string s(text);
  if (std::sscanf(s.c_str(), "%d/%d/%d%c", &month, &day, &year, &tail) != 3) return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || year < 1601) return false;
  struct tm local {};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_isdst = -1;
  time_t t = mktime(&local);
  if (t == static_cast<time_t>(-1) && year != 1969) return false;
  int64_t ticks = static_cast<int64_t>(t) * 10000000 + kUnixEpochTicks;
  ft->dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
  ft->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return true;
}

}  // namespace zuv

// ---- CMAPIObject ----

CMAPIObject::CMAPIObject() { NLog_TraceA("ZUV", "%s:%s:Creating a CMAPIObject", kFile, "CMAPIObject::CMAPIObject"); }

CMAPIObject::~CMAPIObject() {
  NLog_TraceA("ZUV", "%s:%s: Destroying a CMAPIOBject", kFile, "CMAPIObject::~CMAPIObject");
  // Not virtual dispatch here: the subclasses have closed their own parts.
  CMAPIObject::Close();
}

void CMAPIObject::Attach(IMAPIProp* item) {
  if (item_ != nullptr) item_->Release();
  item_ = item;
}

MapiPtr<IMessage> CMAPIObject::AsMessage() {
  MapiPtr<IMessage> message;
  if (item_ != nullptr && FAILED(item_->QueryInterface(IID_IMessage, message.put_void()))) message.reset();
  return message;
}

std::string CMAPIObject::ItemErrorText(HRESULT hr) { return zuv::LastErrorText(item_, hr); }

void CMAPIObject::LogItemError(HRESULT hr, const char* where, const char* function) {
  std::string text = ItemErrorText(hr);
  if (!text.empty()) {
    NLog_ErrorA("ZUV", "%s:%s:MAPI Error:%s\n", where, function, text.c_str());
  } else {
    NLog_ErrorA("ZUV", "%s:%s:Unknown MAPI Error:%s\n", where, function, "");
  }
}

bool CMAPIObject::GetEntryIDString(std::string* text) const {
  NLog_TraceA("ZUV", "%s:%s: Getting the entryID string", kFile, "CMAPIObject::GetEntryIDString");
  if (entry_id_.empty()) return false;
  *text = zuv::EntryIDToString(entry_id_.data(), entry_id_.size());
  return true;
}

void CMAPIObject::SetEntryID(const SBinary* entryID) {
  if (entryID == nullptr || entryID->lpb == nullptr) {
    entry_id_.clear();
    return;
  }
  entry_id_.assign(entryID->lpb, entryID->lpb + entryID->cb);
}

bool CMAPIObject::Open(CMapiExMod* module, const SBinary& entryID) {
  const char* fn = "CMAPIObject::Open";
  NLog_InfoA("ZUV", "%s:%s:Opening a MAPI object by entryID", kFile, fn);
  Close();
  SetEntryID(&entryID);
  module_ = module;
  IMAPISession* session = module != nullptr ? module->GetSession() : nullptr;
  std::string hex = zuv::EntryIDToString(entryID.lpb, entryID.cb);
  if (session == nullptr) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot do OpenENtry using the specified entryID:%s", kFile, fn, hex.c_str());
    return false;
  }
  ULONG type = 0;
  MapiPtr<IUnknown> unk;
  HRESULT hr = session->OpenEntry(entryID.cb, reinterpret_cast<LPENTRYID>(entryID.lpb), nullptr,
                                  MAPI_BEST_ACCESS, &type, unk.put());
  MapiPtr<IMAPIProp> prop;
  if (SUCCEEDED(hr) && unk) hr = unk->QueryInterface(IID_IMAPIProp, prop.put_void());
  if (FAILED(hr) || !prop) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot do OpenENtry using the specified entryID:%s", kFile, fn, hex.c_str());
    std::string text = zuv::LastErrorText(session, hr);
    if (!text.empty()) {
      NLog_ErrorA("ZUV", "%s::Cannot do OpenEntry using the specified entryID (%s):,%s\n", fn, hex.c_str(),
                  text.c_str());
    } else {
      NLog_ErrorA("ZUV", "%s:Cannot do OpenENtry using the specified entryID\n", fn);
    }
    return false;
  }
  Attach(prop.release());
  return true;
}

void CMAPIObject::Close() {
  NLog_TraceA("ZUV", "%s:%s: Closing the MAPI object", kFile, "CMAPIObject::Close");
  entry_id_.clear();
  Attach(nullptr);
  module_ = nullptr;
}

bool CMAPIObject::Save(bool close) {
  const char* fn = "CMAPIObject::Save";
  NLog_TraceA("ZUV", "%s:%s: Saving the MAPI object with close Option %s", kFile, fn, close ? "TRUE" : "FALSE");
  if (item_ == nullptr) return false;
  HRESULT hr = item_->SaveChanges(close ? 0 : KEEP_OPEN_READWRITE);
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot Save object:%s", kFile, fn, ItemErrorText(hr).c_str());
    return false;
  }
  if (entry_id_.empty()) {
    // A new item has its entry ID from its first save.
    MapiBuffer<SPropValue> id;
    if (SUCCEEDED(GetProperty(PR_ENTRYID, id.put())) && id->ulPropTag == PR_ENTRYID) SetEntryID(&id->Value.bin);
  }
  if (close) Close();
  return true;
}

bool CMAPIObject::Create(CMapiExMod* module, CMAPIFolder* folder) {
  const char* fn = "CMAPIObject::Create";
  if (folder == nullptr || folder->Folder() == nullptr) {
    NLog_ErrorA("ZUV", "%s:%s:No folder to create the item in", kFile, fn);
    return false;
  }
  Close();
  module_ = module;
  MapiPtr<IMessage> message;
  HRESULT hr = folder->Folder()->CreateMessage(nullptr, 0, message.put());
  if (FAILED(hr)) {
    std::string text = zuv::LastErrorText(folder->Folder(), hr);
    if (!text.empty()) {
      NLog_InfoA("ZUV", "%s:Error doing Create :%s\n", fn, text.c_str());
    } else {
      NLog_InfoA("ZUV", "%s:Unknown Error doing Create :%s\n", fn, "");
    }
    return false;
  }
  Attach(message.release());
  MapiBuffer<SPropValue> id;
  if (SUCCEEDED(GetProperty(PR_ENTRYID, id.put())) && id->ulPropTag == PR_ENTRYID) SetEntryID(&id->Value.bin);
  return true;
}

HRESULT CMAPIObject::GetProperty(ULONG tag, LPSPropValue* value) {
  *value = nullptr;
  if (item_ == nullptr) return E_INVALIDARG;
  auto tags = MakePropTags(tag);
  ULONG count = 0;
  HRESULT hr = item_->GetProps(tags.get(), 0, &count, value);
  if (FAILED(hr)) {
    LogItemError(hr, kFile, "CMAPIObject::GetProperty");
    return hr;
  }
  if (count != 1 || *value == nullptr) {
    MAPIFreeBuffer(*value);
    *value = nullptr;
    return MAPI_E_NOT_FOUND;
  }
  return hr;
}

LONG CMAPIObject::GetPropertyLong(ULONG tag, LONG def) {
  MapiBuffer<SPropValue> v;
  if (FAILED(GetProperty(tag, v.put())) || v->ulPropTag != tag) return def;
  return v->Value.l;
}

bool CMAPIObject::SetProperties(ULONG count, LPSPropValue props) {
  if (item_ == nullptr) return false;
  return SUCCEEDED(item_->SetProps(count, props, nullptr));
}

bool CMAPIObject::SetPropertyLong(ULONG tag, LONG value) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.l = value;
  return SetProperties(1, &v);
}

bool CMAPIObject::SetPropertyBool(ULONG tag, bool value) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.b = value ? 1 : 0;
  return SetProperties(1, &v);
}

ULONG CMAPIObject::GetMessageFlags() { return static_cast<ULONG>(GetPropertyLong(PR_MESSAGE_FLAGS, 0)); }

bool CMAPIObject::SetMessageFlags(ULONG flags) {
  const char* fn = "CMAPIObject::SetMessageFlags";
  if (item_ == nullptr) {
    NLog_ErrorA("ZUV", "%s:%s: Internal Object is NULL", kFile, fn);
    return false;
  }
  SPropValue v{};
  v.ulPropTag = PR_MESSAGE_FLAGS;
  v.Value.l = static_cast<LONG>(flags);
  HRESULT hr = item_->SetProps(1, &v, nullptr);
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s:Error setting properties:%s", kFile, fn, ItemErrorText(hr).c_str());
    return false;
  }
  return true;
}

bool CMAPIObject::GetMessageClass(std::string* text) { return GetPropertyString(PR_MESSAGE_CLASS_A, text, false); }

LONG CMAPIObject::GetMessageEditorFormat() { return GetPropertyLong(PR_MSG_EDITOR_FORMAT, 0); }

bool CMAPIObject::SetMessageEditorFormat(ULONG format) {
  const char* fn = "CMAPIObject::SetMessageEditorFormat";
  if (item_ == nullptr) return false;
  SPropValue v{};
  v.ulPropTag = PR_MSG_EDITOR_FORMAT;
  v.Value.l = static_cast<LONG>(format);
  HRESULT hr = item_->SetProps(1, &v, nullptr);
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot set the properties:%s", kFile, fn, ItemErrorText(hr).c_str());
    return false;
  }
  return true;
}

bool CMAPIObject::GetPropertyString(ULONG tag, std::string* text, bool asStream) {
  text->clear();
  if (item_ == nullptr) return false;
  if (!asStream) {
    MapiBuffer<SPropValue> v;
    if (FAILED(GetProperty(tag, v.put())) || PROP_TYPE(v->ulPropTag) != PT_STRING8 || v->Value.lpszA == nullptr) {
      return false;
    }
    *text = v->Value.lpszA;
    return true;
  }
  MapiPtr<IStream> stream;
  HRESULT hr = item_->OpenProperty(tag, &IID_IStream, 0, 0, stream.put_unknown());
  if (FAILED(hr)) return false;
  std::vector<char> block(kStreamBlock);
  for (;;) {
    ULONG read = 0;
    if (FAILED(stream->Read(block.data(), kStreamBlock, &read))) return false;
    text->append(block.data(), read);
    if (read < kStreamBlock) break;
  }
  // Strings are written with their terminating NUL.
  while (!text->empty() && text->back() == '\0') text->pop_back();
  return true;
}

bool CMAPIObject::SetPropertyString(ULONG tag, const char* text, bool asStream) {
  if (item_ == nullptr || text == nullptr) return false;
  if (!asStream) {
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.lpszA = const_cast<char*>(text);
    return SUCCEEDED(item_->SetProps(1, &v, nullptr));
  }
  MapiPtr<IStream> stream;
  HRESULT hr = item_->OpenProperty(tag, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, stream.put_unknown());
  if (FAILED(hr)) return false;
  ULONG written = 0;
  ULONG len = static_cast<ULONG>(std::strlen(text) + 1);
  if (FAILED(stream->SetSize(ULARGE_INTEGER{})) || FAILED(stream->Write(text, len, &written))) return false;
  return SUCCEEDED(stream->Commit(0));
}

// ---- Named properties ----

HRESULT CMAPIObject::GetNamedPropTag(const NamedPropKey& key, ULONG type, bool create, ULONG* tag) {
  if (item_ == nullptr) return E_INVALIDARG;
  GUID set = key.by_name() ? PS_PUBLIC_STRINGS : MakeOleGuid(key.set_data1, 0, 0);
  MAPINAMEID id{};
  id.lpguid = &set;
  std::u16string wide;
  if (key.by_name()) {
    wide = zuv::AnsiToWide(key.name);
    if (wide.size() > 255) wide.resize(255);
    id.ulKind = MNID_STRING;
    id.Kind.lpwstrName = wide.data();
  } else {
    id.ulKind = MNID_ID;
    id.Kind.lID = key.lid;
  }
  LPMAPINAMEID names[1] = {&id};
  MapiBuffer<SPropTagArray> tags;
  HRESULT hr = item_->GetIDsFromNames(1, names, create ? MAPI_CREATE : 0, tags.put());
  if (FAILED(hr)) return hr;
  if (!tags || tags->cValues != 1 || PROP_TYPE(tags->aulPropTag[0]) == PT_ERROR) return MAPI_E_NOT_FOUND;
  *tag = CHANGE_PROP_TYPE(tags->aulPropTag[0], type);
  return S_OK;
}

bool CMAPIObject::SetNamedValue(const NamedPropKey& key, ULONG type, SPropValue value) {
  ULONG tag = 0;
  if (FAILED(GetNamedPropTag(key, type, true, &tag))) return false;
  value.ulPropTag = tag;
  return SetProperties(1, &value);
}

HRESULT CMAPIObject::GetNamedValue(const NamedPropKey& key, ULONG type, LPSPropValue* value) {
  *value = nullptr;
  ULONG tag = 0;
  HRESULT hr = GetNamedPropTag(key, type, false, &tag);
  if (FAILED(hr)) return hr;
  hr = GetProperty(tag, value);
  if (SUCCEEDED(hr) && (*value)->ulPropTag != tag) {
    MAPIFreeBuffer(*value);
    *value = nullptr;
    return MAPI_E_NOT_FOUND;
  }
  return hr;
}

bool CMAPIObject::SetNamedString(const NamedPropKey& key, const char* value) {
  if (value == nullptr) return false;
  SPropValue v{};
  v.Value.lpszA = const_cast<char*>(value);
  return SetNamedValue(key, PT_STRING8, v);
}

bool CMAPIObject::SetNamedLong(const NamedPropKey& key, LONG value) {
  SPropValue v{};
  v.Value.l = value;
  return SetNamedValue(key, PT_LONG, v);
}

bool CMAPIObject::SetNamedBool(const NamedPropKey& key, bool value) {
  SPropValue v{};
  v.Value.b = value ? 1 : 0;
  return SetNamedValue(key, PT_BOOLEAN, v);
}

bool CMAPIObject::SetNamedTime(const NamedPropKey& key, const FILETIME& value) {
  SPropValue v{};
  v.Value.ft = value;
  return SetNamedValue(key, PT_SYSTIME, v);
}

bool CMAPIObject::SetNamedStrings(const NamedPropKey& key, const std::vector<std::string>& values) {
  std::vector<char*> pointers;
  for (const std::string& s : values) pointers.push_back(const_cast<char*>(s.c_str()));
  SPropValue v{};
  v.Value.MVszA.cValues = static_cast<ULONG>(pointers.size());
  v.Value.MVszA.lppszA = pointers.data();
  return SetNamedValue(key, PT_MV_STRING8, v);
}

bool CMAPIObject::GetNamedString(const NamedPropKey& key, std::string* value) {
  MapiBuffer<SPropValue> v;
  if (FAILED(GetNamedValue(key, PT_STRING8, v.put())) || v->Value.lpszA == nullptr) return false;
  *value = v->Value.lpszA;
  return true;
}

LONG CMAPIObject::GetNamedLong(const NamedPropKey& key, LONG def) {
  MapiBuffer<SPropValue> v;
  return SUCCEEDED(GetNamedValue(key, PT_LONG, v.put())) ? v->Value.l : def;
}

bool CMAPIObject::GetNamedBool(const NamedPropKey& key, bool def) {
  MapiBuffer<SPropValue> v;
  return SUCCEEDED(GetNamedValue(key, PT_BOOLEAN, v.put())) ? v->Value.b != 0 : def;
}

bool CMAPIObject::GetNamedTime(const NamedPropKey& key, FILETIME* value) {
  MapiBuffer<SPropValue> v;
  if (FAILED(GetNamedValue(key, PT_SYSTIME, v.put()))) return false;
  *value = v->Value.ft;
  return true;
}

bool CMAPIObject::GetNamedStrings(const NamedPropKey& key, std::vector<std::string>* values) {
  MapiBuffer<SPropValue> v;
  if (FAILED(GetNamedValue(key, PT_MV_STRING8, v.put()))) return false;
  values->clear();
  for (ULONG i = 0; i < v->Value.MVszA.cValues; ++i) {
    const char* s = v->Value.MVszA.lppszA[i];
    values->push_back(s != nullptr ? s : "");
  }
  return true;
}

bool CMAPIObject::DeleteNamedProperty(const NamedPropKey& key, ULONG type) {
  ULONG tag = 0;
  HRESULT hr = GetNamedPropTag(key, type, false, &tag);
  if (hr == MAPI_E_NOT_FOUND) return true;  // never had an ID, so no value
  if (FAILED(hr)) return false;
  auto tags = MakePropTags(tag);
  return SUCCEEDED(item_->DeleteProps(tags.get(), nullptr));
}

// ---- Body ----

bool CMAPIObject::SetBody(const char* text) {
  if (!SetPropertyString(PR_BODY_A, text, true)) return false;
  return SetMessageEditorFormat(1);  // EDITOR_FORMAT_PLAINTEXT
}

bool CMAPIObject::SetHTML(const char* html) {
  if (html == nullptr) return false;
  ULONG mask = module_ != nullptr ? module_->GetStoreSupportMask() : 0;
  if ((mask & STORE_HTML_OK) != 0) {
    if (!SetPropertyString(PR_BODY_HTML_A, html, true)) return false;
    return SetMessageEditorFormat(2);  // EDITOR_FORMAT_HTML
  }
  return SetRTF(zuv::HtmlToRtf(html, AnsiCodePage()).c_str());
}

bool CMAPIObject::SetRTF(const char* rtf) {
  const char* fn = "CMAPIObject::SetRTF";
  if (item_ == nullptr || rtf == nullptr) return false;
  NLog_TraceA("ZUV", "%s:%s:Setting RTF string %s", kFile, fn, rtf);
  MapiPtr<IStream> compressed;
  HRESULT hr = item_->OpenProperty(PR_RTF_COMPRESSED, &IID_IStream, STGM_CREATE | STGM_WRITE,
                                   MAPI_CREATE | MAPI_MODIFY, compressed.put_unknown());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s:Cannot open property PR_RTF_COMPRESSED:%s", kFile, fn, ItemErrorText(hr).c_str());
    return false;
  }
  MapiPtr<IStream> plain;
  hr = WrapCompressedRTFStream(compressed.get(), MAPI_MODIFY, plain.put());
  if (FAILED(hr)) return false;
  ULONG written = 0;
  if (FAILED(plain->Write(rtf, static_cast<ULONG>(std::strlen(rtf)), &written)) || FAILED(plain->Commit(0))) {
    return false;
  }
  return SUCCEEDED(compressed->Commit(0));
}

bool CMAPIObject::GetRTF(std::string* rtf) {
  if (item_ == nullptr || rtf == nullptr) return false;
  MapiPtr<IStream> compressed;
  HRESULT hr = item_->OpenProperty(PR_RTF_COMPRESSED, &IID_IStream, STGM_READ, 0, compressed.put_unknown());
  if (FAILED(hr)) return false;
  MapiPtr<IStream> plain;
  if (FAILED(WrapCompressedRTFStream(compressed.get(), 0, plain.put()))) return false;
  std::string text;
  char block[16384];
  for (;;) {
    ULONG got = 0;
    if (FAILED(plain->Read(block, sizeof(block), &got))) return false;
    text.append(block, got);
    if (got < sizeof(block)) break;
  }
  *rtf = std::move(text);
  return true;
}
