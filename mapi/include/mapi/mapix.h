// mapix.h: the message store's public interface, in Extended MAPI's shape.
//
// Structures, flags and COM-style interfaces carry MAPI's names, argument
// orders and meanings, so the service is written as it would be against
// Extended MAPI. Strings are 8-bit (UTF-8) unless a PT_UNICODE value says
// otherwise.
//
// Ownership rules, as in MAPI:
//  - Every interface returned through an out-parameter carries one reference
//    the caller owns; release it with Release().
//  - Every buffer returned through an out-parameter (property arrays, row
//    sets, entry IDs, MAPIERROR) is a MAPIAllocateBuffer chain the caller
//    frees with MAPIFreeBuffer (row sets with FreeProws).
//  - Interfaces are safe to call from any thread after MAPIInitialize with
//    MAPI_MULTITHREAD_NOTIFICATIONS; one object may be used by several
//    threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mapi/mapicode.h"
#include "mapi/mapidefs.h"

// ---- Basic types ----

using WORD = uint16_t;
using DWORD = uint32_t;
using BOOL = int32_t;
using LPBYTE = BYTE*;
using LPULONG = ULONG*;
using LPVOID = void*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = char16_t*;
using LPTSTR = char*;
using WCHAR = char16_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using ULONG_PTR = uintptr_t;
using LPCIID = const IID*;
using REFIID = const IID&;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

union LARGE_INTEGER {
  struct {
    uint32_t LowPart;
    int32_t HighPart;
  } u;
  int64_t QuadPart;
};
union ULARGE_INTEGER {
  struct {
    uint32_t LowPart;
    uint32_t HighPart;
  } u;
  uint64_t QuadPart;
};

// 100-nanosecond ticks since 1601-01-01 UTC.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct CURRENCY {
  int64_t int64;
};

// ---- Entry IDs ----

struct ENTRYID {
  BYTE abFlags[4];
  BYTE ab[1];  // variable length
};
using LPENTRYID = ENTRYID*;

struct MAPIUID {
  BYTE ab[16];
};
using LPMAPIUID = MAPIUID*;

// ---- Property values ----

struct SBinary {
  ULONG cb;
  LPBYTE lpb;
};
using LPSBinary = SBinary*;

struct SShortArray { ULONG cValues; short* lpi; };
struct SLongArray { ULONG cValues; LONG* lpl; };
struct SRealArray { ULONG cValues; float* lpflt; };
struct SDoubleArray { ULONG cValues; double* lpdbl; };
struct SCurrencyArray { ULONG cValues; CURRENCY* lpcur; };
struct SAppTimeArray { ULONG cValues; double* lpat; };
struct SDateTimeArray { ULONG cValues; FILETIME* lpft; };
struct SBinaryArray { ULONG cValues; SBinary* lpbin; };
struct SLPSTRArray { ULONG cValues; LPSTR* lppszA; };
struct SWStringArray { ULONG cValues; LPWSTR* lppszW; };
struct SGuidArray { ULONG cValues; GUID* lpguid; };
struct SLargeIntegerArray { ULONG cValues; LARGE_INTEGER* lpli; };

union _PV {
  short i;             // PT_I2
  LONG l;              // PT_LONG
  ULONG ul;            // PT_LONG
  float flt;           // PT_R4
  double dbl;          // PT_DOUBLE
  unsigned short b;    // PT_BOOLEAN
  CURRENCY cur;        // PT_CURRENCY
  double at;           // PT_APPTIME
  FILETIME ft;         // PT_SYSTIME
  LPSTR lpszA;         // PT_STRING8
  SBinary bin;         // PT_BINARY
  LPWSTR lpszW;        // PT_UNICODE (UTF-16)
  LPGUID lpguid;       // PT_CLSID
  LARGE_INTEGER li;    // PT_I8
  SShortArray MVi;     // PT_MV_I2
  SLongArray MVl;      // PT_MV_LONG
  SRealArray MVflt;
  SDoubleArray MVdbl;  // PT_MV_DOUBLE
  SCurrencyArray MVcur;
  SAppTimeArray MVat;
  SDateTimeArray MVft;
  SBinaryArray MVbin;  // PT_MV_BINARY
  SLPSTRArray MVszA;   // PT_MV_STRING8
  SWStringArray MVszW;
  SGuidArray MVguid;
  SLargeIntegerArray MVli;
  SCODE err;           // PT_ERROR
  LONG x;              // PT_NULL, PT_OBJECT
};

struct SPropValue {
  ULONG ulPropTag;
  ULONG dwAlignPad;
  union _PV Value;
};
using LPSPropValue = SPropValue*;

// A counted array of property tags; declared with SizedSPropTagArray.
struct SPropTagArray {
  ULONG cValues;
  ULONG aulPropTag[1];
};
using LPSPropTagArray = SPropTagArray*;

#define CbNewSPropTagArray(n) (offsetof(SPropTagArray, aulPropTag) + (n) * sizeof(ULONG))
#define SizedSPropTagArray(n, name) \
  struct _SPropTagArray_##name {    \
    ULONG cValues;                  \
    ULONG aulPropTag[n];            \
  } name

struct SPropProblem {
  ULONG ulIndex;
  ULONG ulPropTag;
  SCODE scode;
};
struct SPropProblemArray {
  ULONG cProblem;
  SPropProblem aProblem[1];
};
using LPSPropProblemArray = SPropProblemArray*;

// ---- Rows ----

struct SRow {
  ULONG ulAdrEntryPad;
  ULONG cValues;
  LPSPropValue lpProps;  // its own MAPIAllocateBuffer chain
};
using LPSRow = SRow*;

struct SRowSet {
  ULONG cRows;
  SRow aRow[1];
};
using LPSRowSet = SRowSet*;
#define CbNewSRowSet(n) (offsetof(SRowSet, aRow) + (n) * sizeof(SRow))

// Recipient lists share the row layout.
using ADRENTRY = SRow;
using LPADRENTRY = SRow*;
struct ADRLIST {
  ULONG cEntries;
  ADRENTRY aEntries[1];
};
using LPADRLIST = ADRLIST*;
#define CbNewADRLIST(n) (offsetof(ADRLIST, aEntries) + (n) * sizeof(ADRENTRY))

// ---- Restrictions ----

struct SRestriction;
using LPSRestriction = SRestriction*;

struct SAndRestriction { ULONG cRes; LPSRestriction lpRes; };
struct SOrRestriction { ULONG cRes; LPSRestriction lpRes; };
struct SNotRestriction { ULONG ulReserved; LPSRestriction lpRes; };
struct SContentRestriction { ULONG ulFuzzyLevel; ULONG ulPropTag; LPSPropValue lpProp; };
struct SPropertyRestriction { ULONG relop; ULONG ulPropTag; LPSPropValue lpProp; };
struct SComparePropsRestriction { ULONG relop; ULONG ulPropTag1; ULONG ulPropTag2; };
struct SBitMaskRestriction { ULONG relBMR; ULONG ulPropTag; ULONG ulMask; };
struct SSizeRestriction { ULONG relop; ULONG ulPropTag; ULONG cb; };
struct SExistRestriction { ULONG ulReserved1; ULONG ulPropTag; ULONG ulReserved2; };
struct SSubRestriction { ULONG ulSubObject; LPSRestriction lpRes; };

struct SRestriction {
  ULONG rt;
  union {
    SComparePropsRestriction resCompareProps;
    SAndRestriction resAnd;
    SOrRestriction resOr;
    SNotRestriction resNot;
    SContentRestriction resContent;
    SPropertyRestriction resProperty;
    SBitMaskRestriction resBitMask;
    SSizeRestriction resSize;
    SExistRestriction resExist;
    SSubRestriction resSub;
  } res;
};

inline constexpr ULONG RES_AND = 0, RES_OR = 1, RES_NOT = 2, RES_CONTENT = 3, RES_PROPERTY = 4,
                       RES_COMPAREPROPS = 5, RES_BITMASK = 6, RES_SIZE = 7, RES_EXIST = 8,
                       RES_SUBRESTRICTION = 9;
inline constexpr ULONG RELOP_LT = 0, RELOP_LE = 1, RELOP_GT = 2, RELOP_GE = 3, RELOP_EQ = 4,
                       RELOP_NE = 5, RELOP_RE = 6;
inline constexpr ULONG BMR_EQZ = 0, BMR_NEZ = 1;
// Content restriction fuzzy levels: low word the match, high word modifiers.
inline constexpr ULONG FL_FULLSTRING = 0x0, FL_SUBSTRING = 0x1, FL_PREFIX = 0x2,
                       FL_IGNORECASE = 0x10000, FL_IGNORENONSPACE = 0x20000, FL_LOOSE = 0x40000;

// ---- Sort orders ----

struct SSortOrder {
  ULONG ulPropTag;
  ULONG ulOrder;
};
struct SSortOrderSet {
  ULONG cSorts;
  ULONG cCategories;
  ULONG cExpanded;
  SSortOrder aSort[1];
};
using LPSSortOrderSet = SSortOrderSet*;
inline constexpr ULONG TABLE_SORT_ASCEND = 0, TABLE_SORT_DESCEND = 1;

// ---- Named properties ----

struct MAPINAMEID {
  LPGUID lpguid;
  ULONG ulKind;  // MNID_ID or MNID_STRING
  union {
    LONG lID;
    LPWSTR lpwstrName;  // UTF-16, NUL-terminated
  } Kind;
};
using LPMAPINAMEID = MAPINAMEID*;

// ---- Errors ----

struct MAPIERROR {
  ULONG ulVersion;
  LPSTR lpszError;      // what failed, for a log line
  LPSTR lpszComponent;  // "ZUV Store"
  ULONG ulLowLevelError;
  ULONG ulContext;
};
using LPMAPIERROR = MAPIERROR*;

// ---- Notifications ----

inline constexpr ULONG fnevCriticalError = 0x00000001, fnevNewMail = 0x00000002,
                       fnevObjectCreated = 0x00000004, fnevObjectDeleted = 0x00000008,
                       fnevObjectModified = 0x00000010, fnevObjectMoved = 0x00000020,
                       fnevObjectCopied = 0x00000040, fnevSearchComplete = 0x00000080,
                       fnevTableModified = 0x00000100, fnevStatusObjectModified = 0x00000200,
                       fnevExtended = 0x80000000;

inline constexpr ULONG TABLE_CHANGED = 1, TABLE_ERROR = 2, TABLE_ROW_ADDED = 3,
                       TABLE_ROW_DELETED = 4, TABLE_ROW_MODIFIED = 5, TABLE_SORT_DONE = 6,
                       TABLE_RESTRICT_DONE = 7, TABLE_SETCOL_DONE = 8, TABLE_RELOAD = 9;

struct TABLE_NOTIFICATION {
  ULONG ulTableEvent;
  HRESULT hResult;
  SPropValue propIndex;      // PR_INSTANCE_KEY of the row
  SPropValue propPrior;      // the row before it, or PT_NULL at the top
  SRow row;                  // the row, in the table's column order
  ULONG ulPad;
};

struct OBJECT_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  ULONG ulObjType;
  ULONG cbParentID;
  LPENTRYID lpParentID;
  ULONG cbOldID;
  LPENTRYID lpOldID;
  ULONG cbOldParentID;
  LPENTRYID lpOldParentID;
  LPSPropTagArray lpPropTagArray;
};

struct NEWMAIL_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  ULONG cbParentID;
  LPENTRYID lpParentID;
  ULONG ulFlags;
  LPSTR lpszMessageClass;
  ULONG ulMessageFlags;
};

struct ERROR_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  SCODE scode;
  ULONG ulFlags;
  LPMAPIERROR lpMAPIError;
};

struct NOTIFICATION {
  ULONG ulEventType;
  ULONG ulAlignPad;
  union {
    ERROR_NOTIFICATION err;
    NEWMAIL_NOTIFICATION newmail;
    OBJECT_NOTIFICATION obj;
    TABLE_NOTIFICATION tab;
  } info;
};
using LPNOTIFICATION = NOTIFICATION*;

// ---- Object types ----

inline constexpr ULONG MAPI_STORE = 0x1, MAPI_ADDRBOOK = 0x2, MAPI_FOLDER = 0x3, MAPI_ABCONT = 0x4,
                       MAPI_MESSAGE = 0x5, MAPI_MAILUSER = 0x6, MAPI_ATTACH = 0x7,
                       MAPI_DISTLIST = 0x8, MAPI_PROFSECT = 0x9, MAPI_STATUS = 0xA,
                       MAPI_SESSION = 0xB, MAPI_FORMINFO = 0xC;

// ---- Flags ----

inline constexpr ULONG MAPI_MODIFY = 0x00000001;
inline constexpr ULONG MAPI_ACCESS_MODIFY = 0x00000001, MAPI_ACCESS_READ = 0x00000002,
                       MAPI_ACCESS_DELETE = 0x00000004;
inline constexpr ULONG MAPI_UNICODE = 0x80000000;
inline constexpr ULONG MAPI_DEFERRED_ERRORS = 0x00000008;
inline constexpr ULONG MAPI_BEST_ACCESS = 0x00000010;
inline constexpr ULONG MAPI_ASSOCIATED = 0x00000040;
inline constexpr ULONG MAPI_DIALOG = 0x00000008;
inline constexpr ULONG MAPI_FORCE_ACCESS = 0x00080000;

// MAPIInitialize
inline constexpr ULONG MAPI_INIT_VERSION = 0;
inline constexpr ULONG MAPI_MULTITHREAD_NOTIFICATIONS = 0x00000001;
inline constexpr ULONG MAPI_NT_SERVICE = 0x00010000;
struct MAPIINIT_0 {
  ULONG ulVersion;
  ULONG ulFlags;
};

// MAPILogonEx
inline constexpr ULONG MAPI_LOGON_UI = 0x00000001, MAPI_NEW_SESSION = 0x00000002,
                       MAPI_EXPLICIT_PROFILE = 0x00000010, MAPI_EXTENDED = 0x00000020,
                       MAPI_FORCE_DOWNLOAD = 0x00001000, MAPI_SERVICE_UI_ALWAYS = 0x00002000,
                       MAPI_NO_MAIL = 0x00008000, MAPI_PASSWORD_UI = 0x00020000,
                       MAPI_USE_DEFAULT = 0x00000040;

// OpenMsgStore
inline constexpr ULONG MDB_NO_DIALOG = 0x00000001, MDB_WRITE = 0x00000004,
                       MDB_TEMPORARY = 0x00000020, MDB_NO_MAIL = 0x00000080;
// IExchangeManageStore::CreateStoreEntryID
inline constexpr ULONG OPENSTORE_USE_ADMIN_PRIVILEGE = 0x00000001, OPENSTORE_PUBLIC = 0x00000002,
                       OPENSTORE_HOME_LOGON = 0x00000004, OPENSTORE_TAKE_OWNERSHIP = 0x00000008;
// StoreLogoff
inline constexpr ULONG LOGOFF_NO_WAIT = 0x00000001, LOGOFF_ORDERLY = 0x00000002;

// SaveChanges
inline constexpr ULONG KEEP_OPEN_READONLY = 0x00000001, KEEP_OPEN_READWRITE = 0x00000002,
                       FORCE_SAVE = 0x00000004;

// CreateFolder
inline constexpr ULONG FOLDER_ROOT = 0, FOLDER_GENERIC = 1, FOLDER_SEARCH = 2;
inline constexpr ULONG OPEN_IF_EXISTS = 0x00000001;
// DeleteFolder
inline constexpr ULONG DEL_MESSAGES = 0x00000008, DEL_FOLDERS = 0x00000004;

// GetHierarchyTable, GetContentsTable
inline constexpr ULONG CONVENIENT_DEPTH = 0x00000001;
inline constexpr ULONG SHOW_SOFT_DELETES = 0x00000002;

// ModifyRecipients
inline constexpr ULONG MODRECIP_ADD = 0x00000002, MODRECIP_MODIFY = 0x00000004,
                       MODRECIP_REMOVE = 0x00000008;
// Recipient types
inline constexpr ULONG MAPI_ORIG = 0, MAPI_TO = 1, MAPI_CC = 2, MAPI_BCC = 3;

// Message flags
inline constexpr ULONG MSGFLAG_READ = 0x0001, MSGFLAG_UNMODIFIED = 0x0002,
                       MSGFLAG_SUBMIT = 0x0004, MSGFLAG_UNSENT = 0x0008,
                       MSGFLAG_HASATTACH = 0x0010, MSGFLAG_FROMME = 0x0020;

// Attach methods
inline constexpr ULONG NO_ATTACHMENT = 0, ATTACH_BY_VALUE = 1, ATTACH_BY_REFERENCE = 2,
                       ATTACH_BY_REF_RESOLVE = 3, ATTACH_BY_REF_ONLY = 4, ATTACH_EMBEDDED_MSG = 5,
                       ATTACH_OLE = 6;

// Store support mask
inline constexpr ULONG STORE_ENTRYID_UNIQUE = 0x00000001, STORE_READONLY = 0x00000002,
                       STORE_SEARCH_OK = 0x00000004, STORE_MODIFY_OK = 0x00000008,
                       STORE_CREATE_OK = 0x00000010, STORE_ATTACH_OK = 0x00000020,
                       STORE_OLE_OK = 0x00000040, STORE_SUBMIT_OK = 0x00000080,
                       STORE_NOTIFY_OK = 0x00000100, STORE_MV_PROPS_OK = 0x00000200,
                       STORE_CATEGORIZE_OK = 0x00000400, STORE_RTF_OK = 0x00000800,
                       STORE_RESTRICTION_OK = 0x00001000, STORE_SORT_OK = 0x00002000,
                       STORE_PUBLIC_FOLDERS = 0x00004000, STORE_UNCOMPRESSED_RTF = 0x00008000,
                       STORE_HTML_OK = 0x00010000, STORE_ANSI_OK = 0x00020000,
                       STORE_UNICODE_OK = 0x00040000;

// Resource types of the status table
inline constexpr ULONG MAPI_STORE_PROVIDER = 33, MAPI_AB = 34, MAPI_AB_PROVIDER = 35,
                       MAPI_TRANSPORT_PROVIDER = 36, MAPI_SPOOLER = 37, MAPI_PROFILE_PROVIDER = 38,
                       MAPI_SUBSYSTEM = 39, MAPI_HOOK_PROVIDER = 40;

// Tables
inline constexpr ULONG TBL_ALL_COLUMNS = 0x00000001;
inline constexpr ULONG TBLSTAT_COMPLETE = 0, TBLSTAT_QCHANGED = 7, TBLSTAT_SORTING = 9,
                       TBLSTAT_SORT_ERROR = 10, TBLSTAT_SETTING_COLS = 11,
                       TBLSTAT_SETCOL_ERROR = 13, TBLSTAT_RESTRICTING = 14,
                       TBLSTAT_RESTRICT_ERROR = 15;
inline constexpr ULONG TBLTYPE_SNAPSHOT = 0, TBLTYPE_KEYSET = 1, TBLTYPE_DYNAMIC = 2;
inline constexpr ULONG TBL_ASYNC = 0x00000001, TBL_BATCH = 0x00000002;
inline constexpr ULONG TBL_NOADVANCE = 0x00000001;
using BOOKMARK = ULONG;
inline constexpr BOOKMARK BOOKMARK_BEGINNING = 0, BOOKMARK_CURRENT = 1, BOOKMARK_END = 2;

// Profiles and message services
inline constexpr ULONG MAPI_DEFAULT_SERVICES = 0x00000001;
inline constexpr ULONG SERVICE_UI_ALWAYS = 0x00000002, SERVICE_UI_ALLOWED = 0x00000010;

// Streams
inline constexpr ULONG STGM_READ = 0x00000000, STGM_WRITE = 0x00000001,
                       STGM_READWRITE = 0x00000002, STGM_CREATE = 0x00001000;
inline constexpr ULONG STATFLAG_DEFAULT = 0, STATFLAG_NONAME = 1;
inline constexpr ULONG STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2;
struct STATSTG {
  LPSTR pwcsName;
  DWORD type;
  ULARGE_INTEGER cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
};

// WrapCompressedRTFStream
inline constexpr ULONG MAPI_READ = 0x00000000;
inline constexpr ULONG STORE_UNCOMPRESSED_RTF_FLAG = 0x00008000;

// ---- Interface IDs ----

inline constexpr IID IID_IUnknown = MakeOleGuid(0x00000000, 0, 0);
inline constexpr IID IID_IStream = MakeOleGuid(0x0000000C, 0, 0);
inline constexpr IID IID_IMAPISession = MakeOleGuid(0x00020300, 0, 0);
inline constexpr IID IID_IMAPITable = MakeOleGuid(0x00020301, 0, 0);
inline constexpr IID IID_IMAPIAdviseSink = MakeOleGuid(0x00020302, 0, 0);
inline constexpr IID IID_IMAPIProp = MakeOleGuid(0x00020303, 0, 0);
inline constexpr IID IID_IProfSect = MakeOleGuid(0x00020304, 0, 0);
inline constexpr IID IID_IMsgStore = MakeOleGuid(0x00020306, 0, 0);
inline constexpr IID IID_IMessage = MakeOleGuid(0x00020307, 0, 0);
inline constexpr IID IID_IAttachment = MakeOleGuid(0x00020308, 0, 0);
inline constexpr IID IID_IAddrBook = MakeOleGuid(0x00020309, 0, 0);
inline constexpr IID IID_IMailUser = MakeOleGuid(0x0002030A, 0, 0);
inline constexpr IID IID_IMAPIContainer = MakeOleGuid(0x0002030B, 0, 0);
inline constexpr IID IID_IMAPIFolder = MakeOleGuid(0x0002030C, 0, 0);
inline constexpr IID IID_IProfAdmin = MakeOleGuid(0x0002031C, 0, 0);
inline constexpr IID IID_IMsgServiceAdmin = MakeOleGuid(0x0002031D, 0, 0);
inline constexpr IID IID_IMsgServiceAdmin2 = MakeOleGuid(0x00020387, 0, 0);
inline constexpr IID IID_IExchangeManageStore = {
    0x559D10B0, 0xA772, 0x11CD, {0x9B, 0xC8, 0x00, 0xAA, 0x00, 0x2F, 0xC4, 0x5A}};

// ---- Interfaces ----

class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  virtual ~IUnknown() = default;  // only Release() deletes
};
using LPUNKNOWN = IUnknown*;

class IMAPIAdviseSink : public IUnknown {
 public:
  // Called on the store's notification threads, never while a store lock
  // is held. The notifications are valid for the call only.
  virtual ULONG OnNotify(ULONG cNotif, LPNOTIFICATION lpNotifications) = 0;
};
using LPMAPIADVISESINK = IMAPIAdviseSink*;

class IStream : public IUnknown {
 public:
  virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;
  virtual HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
  virtual HRESULT SetSize(ULARGE_INTEGER libNewSize) = 0;
  // Makes the written contents part of the object; the object's own
  // SaveChanges makes them visible to other sessions.
  virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
};
using LPSTREAM = IStream*;

class IMAPITable : public IUnknown {
 public:
  virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  virtual HRESULT Advise(ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) = 0;
  virtual HRESULT Unadvise(ULONG ulConnection) = 0;
  virtual HRESULT GetStatus(ULONG* lpulTableStatus, ULONG* lpulTableType) = 0;
  virtual HRESULT SetColumns(LPSPropTagArray lpPropTagArray, ULONG ulFlags) = 0;
  virtual HRESULT QueryColumns(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) = 0;
  virtual HRESULT GetRowCount(ULONG ulFlags, ULONG* lpulCount) = 0;
  virtual HRESULT SeekRow(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) = 0;
  virtual HRESULT QueryPosition(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) = 0;
  virtual HRESULT Restrict(LPSRestriction lpRestriction, ULONG ulFlags) = 0;
  virtual HRESULT SortTable(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) = 0;
  virtual HRESULT QueryRows(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) = 0;
};
using LPMAPITABLE = IMAPITable*;

class IMAPIProp : public IUnknown {
 public:
  virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  virtual HRESULT SaveChanges(ULONG ulFlags) = 0;
  // Returns every requested property; a missing one comes back as PT_ERROR
  // with MAPI_E_NOT_FOUND and the call returns MAPI_W_ERRORS_RETURNED.
  virtual HRESULT GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                           LPSPropValue* lppPropArray) = 0;
  virtual HRESULT GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) = 0;
  virtual HRESULT OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions,
                               ULONG ulFlags, LPUNKNOWN* lppUnk) = 0;
  virtual HRESULT SetProps(ULONG cValues, LPSPropValue lpPropArray,
                           LPSPropProblemArray* lppProblems) = 0;
  virtual HRESULT DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) = 0;
  virtual HRESULT GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                                  ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) = 0;
  virtual HRESULT GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                                  LPSPropTagArray* lppPropTags) = 0;
};
using LPMAPIPROP = IMAPIProp*;

class IMAPIContainer : public IMAPIProp {
 public:
  virtual HRESULT GetContentsTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT GetHierarchyTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
};

class IMessage;
class IMAPIFolder : public IMAPIContainer {
 public:
  virtual HRESULT CreateMessage(LPCIID lpInterface, ULONG ulFlags, IMessage** lppMessage) = 0;
  // lpMsgList is an SBinaryArray of message entry IDs.
  virtual HRESULT DeleteMessages(SBinaryArray* lpMsgList, ULONG ulUIParam, void* lpProgress,
                                 ULONG ulFlags) = 0;
  virtual HRESULT CreateFolder(ULONG ulFolderType, LPSTR lpszFolderName, LPSTR lpszFolderComment,
                               LPCIID lpInterface, ULONG ulFlags, IMAPIFolder** lppFolder) = 0;
  virtual HRESULT DeleteFolder(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulUIParam,
                               void* lpProgress, ULONG ulFlags) = 0;
  virtual HRESULT EmptyFolder(ULONG ulUIParam, void* lpProgress, ULONG ulFlags) = 0;
};
using LPMAPIFOLDER = IMAPIFolder*;

class IAttach : public IMAPIProp {};
using LPATTACH = IAttach*;

class IMessage : public IMAPIProp {
 public:
  virtual HRESULT GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags,
                             LPATTACH* lppAttach) = 0;
  virtual HRESULT CreateAttach(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum,
                               LPATTACH* lppAttach) = 0;
  virtual HRESULT DeleteAttach(ULONG ulAttachmentNum, ULONG ulUIParam, void* lpProgress,
                               ULONG ulFlags) = 0;
  virtual HRESULT GetRecipientTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT ModifyRecipients(ULONG ulFlags, LPADRLIST lpMods) = 0;
  virtual HRESULT SubmitMessage(ULONG ulFlags) = 0;
  virtual HRESULT SetReadFlag(ULONG ulFlags) = 0;
};
using LPMESSAGE = IMessage*;

class IMsgStore : public IMAPIProp {
 public:
  virtual HRESULT Advise(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask,
                         LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) = 0;
  virtual HRESULT Unadvise(ULONG ulConnection) = 0;
  virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  // The entry ID of the Inbox; free with MAPIFreeBuffer.
  virtual HRESULT GetReceiveFolder(LPSTR lpszMessageClass, ULONG ulFlags, ULONG* lpcbEntryID,
                                   LPENTRYID* lppEntryID, LPSTR* lppszExplicitClass) = 0;
  virtual HRESULT StoreLogoff(ULONG* lpulFlags) = 0;
};
using LPMDB = IMsgStore*;

class IExchangeManageStore : public IUnknown {
 public:
  // An entry ID that opens the mailbox mailboxDN on this session.
  virtual HRESULT CreateStoreEntryID(LPSTR lpszMsgStoreDN, LPSTR lpszMailboxDN, ULONG ulFlags,
                                     ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;
};

class IMailUser : public IMAPIProp {};
using LPMAILUSER = IMailUser*;

class IAddrBook : public IMAPIProp {
 public:
  virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  // Resolves each unresolved entry (PR_DISPLAY_NAME / PR_EMAIL_ADDRESS) of
  // lpAdrList in place against the store's mailboxes, else as a one-off SMTP
  // address; MAPI_E_NOT_FOUND / MAPI_E_AMBIGUOUS_RECIP when one cannot be.
  virtual HRESULT ResolveName(ULONG_PTR ulUIParam, ULONG ulFlags, LPSTR lpszNewEntryTitle,
                              LPADRLIST lpAdrList) = 0;
};
using LPADRBOOK = IAddrBook*;

class IProfSect : public IMAPIProp {};
using LPPROFSECT = IProfSect*;

class IMsgServiceAdmin : public IUnknown {
 public:
  virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  virtual HRESULT GetMsgServiceTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT CreateMsgService(LPSTR lpszService, LPSTR lpszDisplayName, ULONG_PTR ulUIParam,
                                   ULONG ulFlags) = 0;
  virtual HRESULT DeleteMsgService(LPMAPIUID lpUID) = 0;
  virtual HRESULT ConfigureMsgService(LPMAPIUID lpUID, ULONG_PTR ulUIParam, ULONG ulFlags,
                                      ULONG cValues, LPSPropValue lpProps) = 0;
  virtual HRESULT OpenProfileSection(LPMAPIUID lpUID, LPCIID lpInterface, ULONG ulFlags,
                                     LPPROFSECT* lppProfSect) = 0;
};
using LPSERVICEADMIN = IMsgServiceAdmin*;

class IMsgServiceAdmin2 : public IMsgServiceAdmin {
 public:
  // Like CreateMsgService, and returns the new service's UID.
  virtual HRESULT CreateMsgServiceEx(LPSTR lpszService, LPSTR lpszDisplayName, ULONG_PTR ulUIParam,
                                     ULONG ulFlags, LPMAPIUID lpuidService) = 0;
};

class IProfAdmin : public IUnknown {
 public:
  virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  virtual HRESULT GetProfileTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  // MAPI_E_NO_ACCESS when the name exists.
  virtual HRESULT CreateProfile(LPSTR lpszProfileName, LPSTR lpszPassword, ULONG_PTR ulUIParam,
                                ULONG ulFlags) = 0;
  virtual HRESULT DeleteProfile(LPSTR lpszProfileName, ULONG ulFlags) = 0;
  virtual HRESULT AdminServices(LPSTR lpszProfileName, LPSTR lpszPassword, ULONG_PTR ulUIParam,
                                ULONG ulFlags, LPSERVICEADMIN* lppServiceAdmin) = 0;
};
using LPPROFADMIN = IProfAdmin*;

class IMAPISession : public IUnknown {
 public:
  virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  // Rows: PR_DISPLAY_NAME (mailbox store first, then "Public Folders"),
  // PR_ENTRYID, PR_DEFAULT_STORE, PR_PROVIDER_DISPLAY, PR_RECORD_KEY.
  virtual HRESULT GetMsgStoresTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT OpenMsgStore(ULONG_PTR ulUIParam, ULONG cbEntryID, LPENTRYID lpEntryID,
                               LPCIID lpInterface, ULONG ulFlags, LPMDB* lppMDB) = 0;
  virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  virtual HRESULT OpenAddressBook(ULONG_PTR ulUIParam, LPCIID lpInterface, ULONG ulFlags,
                                  LPADRBOOK* lppAdrBook) = 0;
  // The profile row has PR_RESOURCE_TYPE MAPI_SUBSYSTEM and the profile name
  // as PR_DISPLAY_NAME.
  virtual HRESULT GetStatusTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  // The address-book entry ID of the logged-on mailbox.
  virtual HRESULT QueryIdentity(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;
  virtual HRESULT Logoff(ULONG_PTR ulUIParam, ULONG ulFlags, ULONG ulReserved) = 0;
};
using LPMAPISESSION = IMAPISession*;

// ---- Functions ----

extern "C" {

HRESULT MAPIInitialize(LPVOID lpMapiInit);
void MAPIUninitialize();
HRESULT MAPILogonEx(ULONG_PTR ulUIParam, LPSTR lpszProfileName, LPSTR lpszPassword, ULONG ulFlags,
                    LPMAPISESSION* lppSession);
HRESULT MAPIAdminProfiles(ULONG ulFlags, LPPROFADMIN* lppProfAdmin);

// Allocation chains: MAPIAllocateMore ties a block to a parent allocated by
// MAPIAllocateBuffer; MAPIFreeBuffer on the parent frees the whole chain.
SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer);
SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
ULONG MAPIFreeBuffer(LPVOID lpBuffer);
void FreeProws(LPSRowSet lpRows);
void FreePadrlist(LPADRLIST lpAdrlist);
HRESULT HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                       LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows);

// A stream over PR_RTF_COMPRESSED that compresses what is written and
// decompresses what is read (MAPI_MODIFY to write).
HRESULT WrapCompressedRTFStream(LPSTREAM lpCompressedRTFStream, ULONG ulFlags,
                                LPSTREAM* lpUncompressedRTFStream);

}  // extern "C"
