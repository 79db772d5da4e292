// mapi_sink.cpp: CMAPISink.
#include "mapi_access/mapi_sink.h"

#include <cstdio>
#include <cstring>

#include "base/logging.h"
#include "mapi_access/mapiobject.h"

namespace {

const char* ObjectTypeText(ULONG type) {
  switch (type) {
    case MAPI_STORE: return "MAPI_STORE";
    case MAPI_ADDRBOOK: return "MAPI_ADDRBOOK";
    case MAPI_FOLDER: return "MAPI_FOLDER";
    case MAPI_ABCONT: return "MAPI_ABCONT";
    case MAPI_MESSAGE: return "MAPI_MESSAGE";
    case MAPI_SESSION: return "MAPI_SESSION";
    default: return "";
  }
}

// The trace line of a table event; null for the events not logged.
const char* TableEventFormat(ULONG event) {
  switch (event) {
    case TABLE_CHANGED: return "Table Changed notification for %s:%s";
    case TABLE_ERROR: return "Table Error notification for %s:%s";
    case TABLE_ROW_ADDED: return "Table Row Added notification for %s:%s";
    case TABLE_ROW_DELETED: return "Table Row Deleted notification for %s:%s";
    case TABLE_ROW_MODIFIED: return "Table Row Modified notification for %s:%s";
    case TABLE_RELOAD: return "Table Reload notification for %s:%s";
    default: return nullptr;
  }
}

}  // namespace

CMAPISink::CMAPISink(ZUV_NotifyCallback callback, void* context, std::string storeShortId,
                     std::string folderShortId)
    : callback_(callback),
      context_(context),
      store_short_id_(std::move(storeShortId)),
      folder_short_id_(std::move(folderShortId)) {}

HRESULT CMAPISink::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_INVALIDARG;
  if (std::memcmp(&riid, &IID_IMAPIAdviseSink, sizeof(IID)) == 0 ||
      std::memcmp(&riid, &IID_IUnknown, sizeof(IID)) == 0) {
    *out = static_cast<IMAPIAdviseSink*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG CMAPISink::AddRef() { return ref_count_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG CMAPISink::Release() {
  ULONG left = ref_count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

ULONG CMAPISink::OnNotify(ULONG count, LPNOTIFICATION notifications) {
  NLog_TraceA("ZUV", "Number of notifications:%d", static_cast<int>(count));
  for (ULONG i = 0; i < count && notifications != nullptr; ++i) {
    const NOTIFICATION& n = notifications[i];
    if (n.ulEventType == fnevTableModified) {
      const char* format = TableEventFormat(n.info.tab.ulTableEvent);
      if (format != nullptr) {
        NLog_TraceA("ZUV", format, store_short_id_.c_str(), folder_short_id_.c_str());
      }
      continue;
    }
    const char* event = nullptr;
    char unknown[48];
    switch (n.ulEventType) {
      case fnevObjectCreated: event = "CREATE"; break;
      case fnevObjectDeleted: event = "DELETED"; break;
      case fnevObjectModified: event = "MODIFIED"; break;
      default:
        std::snprintf(unknown, sizeof(unknown), "UNKNOWN NOTIFICATION:%d", static_cast<int>(n.ulEventType));
        event = unknown;
    }
    // Every notification kind begins with the entry ID; only object events
    // carry an object type.
    const OBJECT_NOTIFICATION& obj = n.info.obj;
    const ULONG object_events = fnevObjectCreated | fnevObjectDeleted | fnevObjectModified |
                                fnevObjectMoved | fnevObjectCopied;
    ULONG type = (n.ulEventType & object_events) != 0 ? obj.ulObjType : 0;
    std::string entry_id = zuv::EntryIDToString(obj.lpEntryID, obj.lpEntryID != nullptr ? obj.cbEntryID : 0);
    NLog_TraceA("ZUV", "Object %s notification for object type %s. EntryID:%s", event,
                ObjectTypeText(type), entry_id.c_str());
  }
  if (callback_ != nullptr) callback_(context_, count, notifications);
  return 0;
}
