// mapicode.h: result codes of the message store, with Extended MAPI's names
// and values. Failures have the high bit set; warnings are successes.
#pragma once

#include <cstdint>

using HRESULT = int32_t;
using SCODE = int32_t;

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HR_SUCCEEDED(hr) SUCCEEDED(hr)
#define HR_FAILED(hr) FAILED(hr)

inline constexpr HRESULT MakeMapiError(uint32_t code) {
  return static_cast<HRESULT>(0x80040000u | code);
}
inline constexpr HRESULT MakeMapiWarning(uint32_t code) {
  return static_cast<HRESULT>(0x00040000u | code);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT hrSuccess = 0;

inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);

inline constexpr HRESULT MAPI_E_CALL_FAILED = E_FAIL;
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_MEMORY = E_OUTOFMEMORY;
inline constexpr HRESULT MAPI_E_INVALID_PARAMETER = E_INVALIDARG;
inline constexpr HRESULT MAPI_E_INTERFACE_NOT_SUPPORTED = E_NOINTERFACE;
inline constexpr HRESULT MAPI_E_NO_ACCESS = static_cast<HRESULT>(0x80070005u);

inline constexpr HRESULT MAPI_E_NO_SUPPORT = MakeMapiError(0x102);
inline constexpr HRESULT MAPI_E_BAD_CHARWIDTH = MakeMapiError(0x103);
inline constexpr HRESULT MAPI_E_STRING_TOO_LONG = MakeMapiError(0x105);
inline constexpr HRESULT MAPI_E_UNKNOWN_FLAGS = MakeMapiError(0x106);
inline constexpr HRESULT MAPI_E_INVALID_ENTRYID = MakeMapiError(0x107);
inline constexpr HRESULT MAPI_E_INVALID_OBJECT = MakeMapiError(0x108);
inline constexpr HRESULT MAPI_E_OBJECT_CHANGED = MakeMapiError(0x109);
inline constexpr HRESULT MAPI_E_OBJECT_DELETED = MakeMapiError(0x10A);
inline constexpr HRESULT MAPI_E_BUSY = MakeMapiError(0x10B);
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_DISK = MakeMapiError(0x10D);
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_RESOURCES = MakeMapiError(0x10E);
inline constexpr HRESULT MAPI_E_NOT_FOUND = MakeMapiError(0x10F);
inline constexpr HRESULT MAPI_E_VERSION = MakeMapiError(0x110);
inline constexpr HRESULT MAPI_E_LOGON_FAILED = MakeMapiError(0x111);
inline constexpr HRESULT MAPI_E_SESSION_LIMIT = MakeMapiError(0x112);
inline constexpr HRESULT MAPI_E_USER_CANCEL = MakeMapiError(0x113);
inline constexpr HRESULT MAPI_E_UNABLE_TO_ABORT = MakeMapiError(0x114);
inline constexpr HRESULT MAPI_E_NETWORK_ERROR = MakeMapiError(0x115);
inline constexpr HRESULT MAPI_E_DISK_ERROR = MakeMapiError(0x116);
inline constexpr HRESULT MAPI_E_TOO_COMPLEX = MakeMapiError(0x117);
inline constexpr HRESULT MAPI_E_BAD_COLUMN = MakeMapiError(0x118);
inline constexpr HRESULT MAPI_E_EXTENDED_ERROR = MakeMapiError(0x119);
inline constexpr HRESULT MAPI_E_COMPUTED = MakeMapiError(0x11A);
inline constexpr HRESULT MAPI_E_CORRUPT_DATA = MakeMapiError(0x11B);
inline constexpr HRESULT MAPI_E_UNCONFIGURED = MakeMapiError(0x11C);
inline constexpr HRESULT MAPI_E_FAILONEPROVIDER = MakeMapiError(0x11D);
inline constexpr HRESULT MAPI_E_UNKNOWN_CPID = MakeMapiError(0x11E);
inline constexpr HRESULT MAPI_E_UNKNOWN_LCID = MakeMapiError(0x11F);
inline constexpr HRESULT MAPI_E_CORRUPT_STORE = MakeMapiError(0x600);
inline constexpr HRESULT MAPI_E_NOT_IN_QUEUE = MakeMapiError(0x601);
inline constexpr HRESULT MAPI_E_NO_SUPPRESS = MakeMapiError(0x602);
inline constexpr HRESULT MAPI_E_COLLISION = MakeMapiError(0x604);
inline constexpr HRESULT MAPI_E_NOT_INITIALIZED = MakeMapiError(0x605);
inline constexpr HRESULT MAPI_E_NON_STANDARD = MakeMapiError(0x606);
inline constexpr HRESULT MAPI_E_NO_RECIPIENTS = MakeMapiError(0x607);
inline constexpr HRESULT MAPI_E_SUBMITTED = MakeMapiError(0x608);
inline constexpr HRESULT MAPI_E_HAS_FOLDERS = MakeMapiError(0x609);
inline constexpr HRESULT MAPI_E_HAS_MESSAGES = MakeMapiError(0x60A);
inline constexpr HRESULT MAPI_E_FOLDER_CYCLE = MakeMapiError(0x60B);
inline constexpr HRESULT MAPI_E_AMBIGUOUS_RECIP = MakeMapiError(0x700);
inline constexpr HRESULT MAPI_E_END_OF_SESSION = MakeMapiError(0x200);
inline constexpr HRESULT MAPI_E_UNKNOWN_ENTRYID = MakeMapiError(0x201);
inline constexpr HRESULT MAPI_E_MISSING_REQUIRED_COLUMN = MakeMapiError(0x202);
inline constexpr HRESULT MAPI_E_BAD_VALUE = MakeMapiError(0x301);
inline constexpr HRESULT MAPI_E_TYPE_NO_SUPPORT = MakeMapiError(0x303);
inline constexpr HRESULT MAPI_E_UNEXPECTED_TYPE = MakeMapiError(0x304);
inline constexpr HRESULT MAPI_E_TOO_BIG = MakeMapiError(0x305);
// A property value whose type does not fit its tag.
inline constexpr HRESULT MAPI_E_INVALID_TYPE = MAPI_E_UNEXPECTED_TYPE;
inline constexpr HRESULT MAPI_E_DECLINE_COPY = MakeMapiError(0x306);
inline constexpr HRESULT MAPI_E_UNEXPECTED_ID = MakeMapiError(0x307);
inline constexpr HRESULT MAPI_E_UNABLE_TO_COMPLETE = MakeMapiError(0x400);
inline constexpr HRESULT MAPI_E_TIMEOUT = MakeMapiError(0x401);
inline constexpr HRESULT MAPI_E_TABLE_EMPTY = MakeMapiError(0x402);
inline constexpr HRESULT MAPI_E_TABLE_TOO_BIG = MakeMapiError(0x403);
inline constexpr HRESULT MAPI_E_INVALID_BOOKMARK = MakeMapiError(0x405);
inline constexpr HRESULT MAPI_E_WAIT = MakeMapiError(0x500);
inline constexpr HRESULT MAPI_E_CANCEL = MakeMapiError(0x501);
inline constexpr HRESULT MAPI_E_NOT_ME = MakeMapiError(0x502);

inline constexpr HRESULT MAPI_W_NO_SERVICE = MakeMapiWarning(0x203);
inline constexpr HRESULT MAPI_W_ERRORS_RETURNED = MakeMapiWarning(0x380);
inline constexpr HRESULT MAPI_W_POSITION_CHANGED = MakeMapiWarning(0x481);
inline constexpr HRESULT MAPI_W_APPROX_COUNT = MakeMapiWarning(0x482);
inline constexpr HRESULT MAPI_W_PARTIAL_COMPLETION = MakeMapiWarning(0x680);
