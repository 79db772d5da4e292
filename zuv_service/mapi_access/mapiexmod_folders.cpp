// mapiexmod_folders.cpp: CMapiExMod's folder openers, folder hierarchies
// and store notifications.
//
// Folders are opened with MAPI_BEST_ACCESS added to the caller's flags: the
// service creates items and subfolders in folders it opened with
// MAPI_DEFERRED_ERRORS alone, which the store refuses on a read-only folder.
#include "base/logging.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"

namespace {

constexpr const char* kFile = "zuv_service/mapiexmod";
const char* Str(const char* s) { return s != nullptr ? s : ""; }

// Opens the folder id names in store; null (and *hr set) on failure.
std::unique_ptr<CMAPIFolder> OpenFolderEntry(CMapiExMod* module, IMsgStore* store, ULONG cb, LPENTRYID id,
                                             ULONG flags, HRESULT* hr) {
  MapiPtr<IUnknown> unk;
  ULONG type = 0;
  flags |= MAPI_BEST_ACCESS;
  *hr = store->OpenEntry(cb, id, nullptr, flags, &type, unk.put());
  if (FAILED(*hr) || !unk) return nullptr;
  MapiPtr<IMAPIFolder> folder;
  *hr = unk->QueryInterface(IID_IMAPIFolder, folder.put_void());
  if (FAILED(*hr)) return nullptr;
  return std::make_unique<CMAPIFolder>(module, folder.release(), flags);
}

}  // namespace

std::unique_ptr<CMAPIFolder> CMapiExMod::OpenFolderFromStore(ULONG propTag, const char* storeKey) {
  const char* fn = "CMapiExMod::OpenFolder";
  const unsigned long tag = propTag;
  NLog_TraceA("ZUV", "%s:%s: for %lu, Store:%s", kFile, fn, tag, storeKey);
  MapiPtr<IMsgStore> store = GetStore(storeKey);
  if (!store) {
    NLog_ErrorA("ZUV", "%s:%s:Store not initialized  for %lu, Store:%s", kFile, fn, tag, storeKey);
    return nullptr;
  }
  auto tags = MakePropTags(propTag);
  ULONG count = 0;
  MapiBuffer<SPropValue> value;
  HRESULT hr = store->GetProps(tags.get(), 0, &count, value.put());
  if (FAILED(hr) || count != 1 || value->ulPropTag != propTag) {
    NLog_ErrorA("ZUV", "%s:%s:Cannot get the folder id  for %lu, Store:%s", kFile, fn, tag, storeKey);
    LogMapiError(FAILED(hr) ? hr : MAPI_E_NOT_FOUND, kFile, fn);
    return nullptr;
  }
  std::unique_ptr<CMAPIFolder> folder =
      OpenFolderEntry(this, store.get(), value->Value.bin.cb, reinterpret_cast<LPENTRYID>(value->Value.bin.lpb),
                      folder_open_flags_, &hr);
  if (!folder) {
    NLog_ErrorA("ZUV", "%s:%s:Cannot OpenEntry  for %lu, Store:%s", kFile, fn, tag, storeKey);
    LogMapiError(hr, kFile, fn);
  }
  return folder;
}

std::unique_ptr<CMAPIFolder> CMapiExMod::OpenFolder(ULONG propTag) {
  const char* fn = "CMapiExMod::OpenFolder";
  const unsigned long tag = propTag;
  NLog_TraceA("ZUV", "%s:%s: for folder %lu", kFile, fn, tag);
  std::unique_ptr<CMAPIFolder> folder = OpenFolderFromStore(propTag, kMailboxStoreKey);
  if (!folder) {
    NLog_InfoA("ZUV", "%s:%s: failed opening folder %lu on message store. trying PF folders ...", kFile, fn, tag);
    folder = OpenFolderFromStore(propTag, kPublicStoreKey);
    if (!folder) NLog_ErrorA("ZUV", "%s:%s: failed opening folder %lu on PF folders.", kFile, fn, tag);
  }
  return folder;
}

std::unique_ptr<CMAPIFolder> CMapiExMod::OpenInbox() {
  const char* fn = "CMapiExMod::OpenInbox";
  MapiPtr<IMsgStore> store = GetMailboxStore();
  if (!store) {
    NLog_ErrorA("ZUV", "%s:%s:No mailbox store to open the Inbox in", kFile, fn);
    return nullptr;
  }
  ULONG cb = 0;
  MapiBuffer<ENTRYID> id;
  HRESULT hr = store->GetReceiveFolder(nullptr, 0, &cb, id.put(), nullptr);
  std::unique_ptr<CMAPIFolder> folder;
  if (SUCCEEDED(hr)) folder = OpenFolderEntry(this, store.get(), cb, id.get(), folder_open_flags_, &hr);
  if (!folder) NLog_ErrorA("ZUV", "%s:%s:MAPI Error:%s\n", kFile, fn, zuv::LastErrorText(store.get(), hr).c_str());
  return folder;
}

std::unique_ptr<CMAPIFolder> CMapiExMod::OpenFolderInInbox(ULONG propTag) {
  std::unique_ptr<CMAPIFolder> inbox = OpenInbox();
  MapiPtr<IMsgStore> store = GetMailboxStore();
  if (!inbox || !store) return nullptr;
  MapiBuffer<SPropValue> value;
  if (FAILED(inbox->GetProperty(propTag, value.put())) || value->ulPropTag != propTag) return nullptr;
  HRESULT hr = S_OK;
  std::unique_ptr<CMAPIFolder> folder =
      OpenFolderEntry(this, store.get(), value->Value.bin.cb, reinterpret_cast<LPENTRYID>(value->Value.bin.lpb),
                      folder_open_flags_, &hr);
  if (!folder) LogMapiError(hr, kFile, "CMapiExMod::OpenFolderInInbox");
  return folder;
}

std::unique_ptr<CMAPIFolder> CMapiExMod::OpenRootFolder(const char* storeKey, ULONG flags) {
  const char* fn = "CMapiExMod::OpenRootFolder";
  NLog_TraceA("ZUV", "%s:%s:OpenRootFolder called for %s", kFile, fn, Str(storeKey));
  MapiPtr<IMsgStore> store = GetStore(storeKey);
  if (!store) {
    NLog_ErrorA("ZUV", "Error opening store with entryID %s", Str(storeKey));
    return nullptr;
  }
  HRESULT hr = S_OK;
  std::unique_ptr<CMAPIFolder> root = OpenFolderEntry(this, store.get(), 0, nullptr, flags, &hr);
  if (!root) {
    NLog_ErrorA("ZUV", "%s:%s:Error opening the root of %s Store ", kFile, fn, Str(storeKey));
    LogMapiError(hr, kFile, fn);
  }
  return root;
}

std::unique_ptr<CMAPIFolder> CMapiExMod::OpenFolder(const char* folderName, const char* storeKey) {
  const char* fn = "CMapiExMod::OpenFolder";
  NLog_TraceA("ZUV", "%s:%s: for folder %s, Store:%s", kFile, fn, Str(folderName), Str(storeKey));
  std::unique_ptr<CMAPIFolder> root = OpenRootFolder(storeKey, MAPI_DEFERRED_ERRORS);
  if (!root) {
    NLog_ErrorA("ZUV", "%s:%s:Cannot get root folder for folder %s, Store:%s", kFile, fn, Str(folderName),
                Str(storeKey));
    return nullptr;
  }
  return root->FindSubFolder(Str(folderName));
}

std::unique_ptr<CMAPIFolder> CMapiExMod::OpenFolderByPath(const std::vector<std::string>& path,
                                                          const char* storeKey) {
  std::string shown;
  for (const std::string& part : path) shown += ":" + part;
  NLog_TraceA("ZUV", "%s: for folder %s, StoreEntryID:%s", name_.c_str(), shown.c_str(), Str(storeKey));
  std::unique_ptr<CMAPIFolder> root = OpenRootFolder(storeKey, MAPI_DEFERRED_ERRORS);
  if (!root) {
    NLog_ErrorA("ZUV", "%s:Cannot get root folder for folder %s, Store:%s", name_.c_str(), shown.c_str(),
                Str(storeKey));
    return nullptr;
  }
  if (path.empty()) return root;
  return root->FindFolderByPath(path, 0);
}

std::unique_ptr<CMAPIFolder> CMapiExMod::OpenFolderByEntryID(const char* entryID, const char* storeKey,
                                                             ULONG flags) {
  const char* fn = "CMapiExMod::OpenFolderByEntryID";
  const char* id_text = Str(entryID);
  NLog_TraceA("ZUV", "%s:%s: for entryID %s", kFile, fn, id_text);
  MapiPtr<IMsgStore> store = GetStore(storeKey);
  if (!store) {
    NLog_ErrorA("ZUV", "%s:%s:Cannot open folder with entryID %s.Store %s cannot be opened", kFile, fn, id_text,
                Str(storeKey));
    return nullptr;
  }
  std::vector<BYTE> bytes;
  if (!zuv::HexToBin(id_text, &bytes)) {
    NLog_ErrorA("ZUV", "%s:%s:Cannot open folder with entryID %s. Invalid entryID", kFile, fn, id_text);
    return nullptr;
  }
  HRESULT hr = S_OK;
  std::unique_ptr<CMAPIFolder> folder = OpenFolderEntry(this, store.get(), static_cast<ULONG>(bytes.size()),
                                                        reinterpret_cast<LPENTRYID>(bytes.data()), flags, &hr);
  if (!folder) {
    NLog_ErrorA("ZUV", "%s:%s:Opening folder with entryID %s on MsgStore:%s", fn, "FAILED", id_text, Str(storeKey));
    LogMapiError(hr, kFile, fn);
    std::string text = zuv::LastErrorText(store.get(), hr);
    if (!text.empty()) {
      NLog_ErrorA("ZUV", "%s:%s:MAPI Error:%s\n", kFile, fn, text.c_str());
    } else {
      NLog_ErrorA("ZUV", "%s:%s:Unknown MAPI Error:%s\n", kFile, fn, id_text);
    }
    return nullptr;
  }
  return folder;
}

std::shared_ptr<const ZUV_FolderList> CMapiExMod::GetFolderHierarchy(const char* storeKey,
                                                                     const char* folderEntryID) {
  const std::string store_key = Str(storeKey);
  const std::string folder_id = Str(folderEntryID);
  std::unique_ptr<CMAPIFolder> folder = folder_id.empty()
                                            ? OpenRootFolder(storeKey, MAPI_DEFERRED_ERRORS)
                                            : OpenFolderByEntryID(folderEntryID, storeKey, MAPI_DEFERRED_ERRORS);
  if (folder && store_key == kPublicStoreKey && folder_id.empty()) folder = folder->FindSubFolder("IPM_SUBTREE");
  if (!folder) {
    NLog_ErrorA("ZUV", "%s:Cannot open folder %s in store %s", name_.c_str(), folder_id.c_str(), store_key.c_str());
    return nullptr;
  }
  auto list = std::make_shared<ZUV_FolderList>();
  if (FAILED(folder->GetHierarchy(list.get()))) return nullptr;
  return list;
}

bool CMapiExMod::Notify(ZUV_NotifyCallback callback, void* context, ULONG eventMask) {
  NLog_TraceA("ZUV", "%s:%s: Notify called", kFile, "CMapiExMod::Notify");
  if ((GetStoreSupportMask() & STORE_NOTIFY_OK) == 0) return false;
  MapiPtr<IMsgStore> store = GetMailboxStore();
  if (!store) return false;
  if (advise_connection_ != 0) {
    (void)store->Unadvise(advise_connection_);
    advise_connection_ = 0;
  }
  // The watched folder: the Inbox of the mailbox store.
  ULONG cb = 0;
  MapiBuffer<ENTRYID> id;
  if (FAILED(store->GetReceiveFolder(nullptr, 0, &cb, id.put(), nullptr))) return false;
  // Our own reference keeps the sink alive through a failing Advise, which
  // may already have released the one it took.
  auto* raw = new CMAPISink(callback, context);
  raw->AddRef();
  MapiPtr<CMAPISink> sink(raw);
  HRESULT hr = store->Advise(cb, id.get(), eventMask, sink.get(), &advise_connection_);
  if (FAILED(hr)) {
    advise_connection_ = 0;
    return false;
  }
  return true;
}
