// com.cpp: last-error records and the texts of result codes.
#include "com.h"

#include <new>

namespace zuvstore {
namespace {

constexpr const char* kComponent = "ZUV Store";

struct CodeText {
  HRESULT code;
  const char* text;
};

// One entry per value; where names share one (MAPI_E_INVALID_TYPE and
// MAPI_E_UNEXPECTED_TYPE, MAPI_E_CALL_FAILED and E_FAIL) the store's own
// name is used.
constexpr CodeText kTexts[] = {
    {S_OK, "S_OK: success"},
    {S_FALSE, "S_FALSE: success, with a negative answer"},
    {MAPI_E_CALL_FAILED, "MAPI_E_CALL_FAILED: the call failed"},
    {MAPI_E_NOT_ENOUGH_MEMORY, "MAPI_E_NOT_ENOUGH_MEMORY: not enough memory"},
    {MAPI_E_INVALID_PARAMETER, "MAPI_E_INVALID_PARAMETER: invalid parameter"},
    {MAPI_E_INTERFACE_NOT_SUPPORTED, "MAPI_E_INTERFACE_NOT_SUPPORTED: interface not supported"},
    {MAPI_E_NO_ACCESS, "MAPI_E_NO_ACCESS: access denied"},
    {E_NOTIMPL, "E_NOTIMPL: not implemented"},
    {MAPI_E_NO_SUPPORT, "MAPI_E_NO_SUPPORT: not supported"},
    {MAPI_E_BAD_CHARWIDTH, "MAPI_E_BAD_CHARWIDTH: string width not supported"},
    {MAPI_E_STRING_TOO_LONG, "MAPI_E_STRING_TOO_LONG: string too long"},
    {MAPI_E_UNKNOWN_FLAGS, "MAPI_E_UNKNOWN_FLAGS: unknown flags"},
    {MAPI_E_INVALID_ENTRYID, "MAPI_E_INVALID_ENTRYID: invalid entry ID"},
    {MAPI_E_INVALID_OBJECT, "MAPI_E_INVALID_OBJECT: invalid object"},
    {MAPI_E_OBJECT_CHANGED, "MAPI_E_OBJECT_CHANGED: object changed by another session"},
    {MAPI_E_OBJECT_DELETED, "MAPI_E_OBJECT_DELETED: object deleted"},
    {MAPI_E_BUSY, "MAPI_E_BUSY: store busy"},
    {MAPI_E_NOT_ENOUGH_DISK, "MAPI_E_NOT_ENOUGH_DISK: not enough disk space"},
    {MAPI_E_NOT_ENOUGH_RESOURCES, "MAPI_E_NOT_ENOUGH_RESOURCES: not enough resources"},
    {MAPI_E_NOT_FOUND, "MAPI_E_NOT_FOUND: not found"},
    {MAPI_E_VERSION, "MAPI_E_VERSION: version mismatch"},
    {MAPI_E_LOGON_FAILED, "MAPI_E_LOGON_FAILED: logon failed"},
    {MAPI_E_SESSION_LIMIT, "MAPI_E_SESSION_LIMIT: too many sessions"},
    {MAPI_E_USER_CANCEL, "MAPI_E_USER_CANCEL: cancelled by the user"},
    {MAPI_E_UNABLE_TO_ABORT, "MAPI_E_UNABLE_TO_ABORT: unable to abort"},
    {MAPI_E_NETWORK_ERROR, "MAPI_E_NETWORK_ERROR: network error"},
    {MAPI_E_DISK_ERROR, "MAPI_E_DISK_ERROR: disk error"},
    {MAPI_E_TOO_COMPLEX, "MAPI_E_TOO_COMPLEX: operation too complex"},
    {MAPI_E_BAD_COLUMN, "MAPI_E_BAD_COLUMN: bad column"},
    {MAPI_E_EXTENDED_ERROR, "MAPI_E_EXTENDED_ERROR: extended error"},
    {MAPI_E_COMPUTED, "MAPI_E_COMPUTED: computed property cannot be changed"},
    {MAPI_E_CORRUPT_DATA, "MAPI_E_CORRUPT_DATA: corrupt data"},
    {MAPI_E_UNCONFIGURED, "MAPI_E_UNCONFIGURED: service not configured"},
    {MAPI_E_FAILONEPROVIDER, "MAPI_E_FAILONEPROVIDER: a provider failed"},
    {MAPI_E_UNKNOWN_CPID, "MAPI_E_UNKNOWN_CPID: unknown code page"},
    {MAPI_E_UNKNOWN_LCID, "MAPI_E_UNKNOWN_LCID: unknown locale"},
    {MAPI_E_CORRUPT_STORE, "MAPI_E_CORRUPT_STORE: corrupt store"},
    {MAPI_E_NOT_IN_QUEUE, "MAPI_E_NOT_IN_QUEUE: not in the queue"},
    {MAPI_E_NO_SUPPRESS, "MAPI_E_NO_SUPPRESS: cannot suppress"},
    {MAPI_E_COLLISION, "MAPI_E_COLLISION: name already exists"},
    {MAPI_E_NOT_INITIALIZED, "MAPI_E_NOT_INITIALIZED: not initialised"},
    {MAPI_E_NON_STANDARD, "MAPI_E_NON_STANDARD: non-standard error"},
    {MAPI_E_NO_RECIPIENTS, "MAPI_E_NO_RECIPIENTS: no recipients"},
    {MAPI_E_SUBMITTED, "MAPI_E_SUBMITTED: message already submitted"},
    {MAPI_E_HAS_FOLDERS, "MAPI_E_HAS_FOLDERS: folder has subfolders"},
    {MAPI_E_HAS_MESSAGES, "MAPI_E_HAS_MESSAGES: folder has messages"},
    {MAPI_E_FOLDER_CYCLE, "MAPI_E_FOLDER_CYCLE: folder would contain itself"},
    {MAPI_E_AMBIGUOUS_RECIP, "MAPI_E_AMBIGUOUS_RECIP: ambiguous recipient"},
    {MAPI_E_END_OF_SESSION, "MAPI_E_END_OF_SESSION: session ended"},
    {MAPI_E_UNKNOWN_ENTRYID, "MAPI_E_UNKNOWN_ENTRYID: unknown entry ID"},
    {MAPI_E_MISSING_REQUIRED_COLUMN, "MAPI_E_MISSING_REQUIRED_COLUMN: required column missing"},
    {MAPI_E_BAD_VALUE, "MAPI_E_BAD_VALUE: bad value"},
    {MAPI_E_TYPE_NO_SUPPORT, "MAPI_E_TYPE_NO_SUPPORT: property type not supported"},
    {MAPI_E_INVALID_TYPE, "MAPI_E_INVALID_TYPE: property type does not fit"},
    {MAPI_E_TOO_BIG, "MAPI_E_TOO_BIG: value too big"},
    {MAPI_E_DECLINE_COPY, "MAPI_E_DECLINE_COPY: copy declined"},
    {MAPI_E_UNEXPECTED_ID, "MAPI_E_UNEXPECTED_ID: unexpected property ID"},
    {MAPI_E_UNABLE_TO_COMPLETE, "MAPI_E_UNABLE_TO_COMPLETE: unable to complete"},
    {MAPI_E_TIMEOUT, "MAPI_E_TIMEOUT: timed out"},
    {MAPI_E_TABLE_EMPTY, "MAPI_E_TABLE_EMPTY: table empty"},
    {MAPI_E_TABLE_TOO_BIG, "MAPI_E_TABLE_TOO_BIG: table too big"},
    {MAPI_E_INVALID_BOOKMARK, "MAPI_E_INVALID_BOOKMARK: invalid bookmark"},
    {MAPI_E_WAIT, "MAPI_E_WAIT: wait"},
    {MAPI_E_CANCEL, "MAPI_E_CANCEL: cancelled"},
    {MAPI_E_NOT_ME, "MAPI_E_NOT_ME: not handled here"},
    {MAPI_W_NO_SERVICE, "MAPI_W_NO_SERVICE: a service could not be loaded"},
    {MAPI_W_ERRORS_RETURNED, "MAPI_W_ERRORS_RETURNED: some values are errors"},
    {MAPI_W_POSITION_CHANGED, "MAPI_W_POSITION_CHANGED: position changed"},
    {MAPI_W_APPROX_COUNT, "MAPI_W_APPROX_COUNT: approximate count"},
    {MAPI_W_PARTIAL_COMPLETION, "MAPI_W_PARTIAL_COMPLETION: partly completed"},
};

HRESULT CopyText(const char* text, void* parent, LPSTR* out) {
  const size_t n = std::strlen(text) + 1;
  void* p = nullptr;
  SCODE sc = MAPIAllocateMore(static_cast<ULONG>(n), parent, &p);
  if (FAILED(sc)) return sc;
  std::memcpy(p, text, n);
  *out = static_cast<LPSTR>(p);
  return S_OK;
}

}  // namespace

HRESULT LastError::Set(HRESULT hr, std::string text) {
  std::lock_guard<std::mutex> lock(mu_);
  code_ = hr;
  text_ = std::move(text);
  return hr;
}

HRESULT LastError::Get(HRESULT hr, ULONG /*flags*/, LPMAPIERROR* out) const {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  std::string text;
  try {
    std::lock_guard<std::mutex> lock(mu_);
    text = (code_ == hr && !text_.empty()) ? text_ : ResultText(hr);
  } catch (const std::bad_alloc&) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  void* buf = nullptr;
  if (FAILED(MAPIAllocateBuffer(sizeof(MAPIERROR), &buf))) return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* err = static_cast<MAPIERROR*>(buf);
  err->ulVersion = 0;
  err->ulLowLevelError = 0;
  err->ulContext = 0;
  if (FAILED(CopyText(text.c_str(), buf, &err->lpszError)) ||
      FAILED(CopyText(kComponent, buf, &err->lpszComponent))) {
    MAPIFreeBuffer(buf);
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  *out = err;
  return S_OK;
}

const char* ResultText(HRESULT hr) {
  for (const CodeText& t : kTexts) {
    if (t.code == hr) return t.text;
  }
  return SUCCEEDED(hr) ? "unknown success code" : "unknown result code";
}

}  // namespace zuvstore
