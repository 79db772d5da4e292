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
CMAPIFolder* OpenFolderEntry(CMapiExMod* module, IMsgStore* store, ULONG cb, LPENTRYID id, ULONG flags,
                             HRESULT* hr) {
  MapiPtr<IUnknown> unk;
  ULONG type = 0;
  flags |= MAPI_BEST_ACCESS;
  *hr = store->OpenEntry(cb, id, nullptr, flags, &type, unk.put());
  if (FAILED(*hr) || !unk) return nullptr;
  MapiPtr<IMAPIFolder> folder;
  *hr = unk->QueryInterface(IID_IMAPIFolder, folder.put_void());
  if (FAILED(*hr)) return nullptr;
  return new CMAPIFolder(module, folder.release(), flags);
}

}  // namespace

CMAPIFolder* CMapiExMod::Finish(CMAPIFolder* folder, bool setCurrent) {
  if (folder == nullptr || !setCurrent) return folder;
  CMAPIFolder* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    old = std::exchange(current_folder_, folder);
  }
  delete old;
  return folder;
}

CMAPIFolder* CMapiExMod::GetCurrentFolder() {
  std::lock_guard<std::mutex> lock(mu_);
  return current_folder_;
}

CMAPIFolder* CMapiExMod::OpenFolderFromStore(ULONG propTag, const char* storeKey) {
  const char* fn = "CMapiExMod::OpenFolder";
  const unsigned long tag = propTag;
  NLog_TraceA("ZUV", "%s:%s: for %lu, Store:%s", kFile, fn, tag, storeKey);
  IMsgStore* store = GetStore(storeKey);
  if (store == nullptr) {
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
  CMAPIFolder* folder = OpenFolderEntry(this, store, value->Value.bin.cb,
                                        reinterpret_cast<LPENTRYID>(value->Value.bin.lpb), folder_open_flags_, &hr);
  if (folder == nullptr) {
    NLog_ErrorA("ZUV", "%s:%s:Cannot OpenEntry  for %lu, Store:%s", kFile, fn, tag, storeKey);
    LogMapiError(hr, kFile, fn);
  }
  return folder;
}

CMAPIFolder* CMapiExMod::OpenFolder(ULONG propTag, bool setCurrent) {
  const char* fn = "CMapiExMod::OpenFolder";
  const unsigned long tag = propTag;
  NLog_TraceA("ZUV", "%s:%s: for folder %lu", kFile, fn, tag);
  CMAPIFolder* folder = OpenFolderFromStore(propTag, kMailboxStoreKey);
  if (folder == nullptr) {
    NLog_InfoA("ZUV", "%s:%s: failed opening folder %lu on message store. trying PF folders ...", kFile, fn, tag);
    folder = OpenFolderFromStore(propTag, kPublicStoreKey);
    if (folder == nullptr) NLog_ErrorA("ZUV", "%s:%s: failed opening folder %lu on PF folders.", kFile, fn, tag);
  }
  return Finish(folder, setCurrent);
}

CMAPIFolder* CMapiExMod::OpenInbox(bool setCurrent) {
  const char* fn = "CMapiExMod::OpenInbox";
  IMsgStore* store = GetMailboxStore();
  if (store == nullptr) return nullptr;
  ULONG cb = 0;
  MapiBuffer<ENTRYID> id;
  HRESULT hr = store->GetReceiveFolder(nullptr, 0, &cb, id.put(), nullptr);
  CMAPIFolder* folder = nullptr;
  if (SUCCEEDED(hr)) folder = OpenFolderEntry(this, store, cb, id.get(), folder_open_flags_, &hr);
  if (folder == nullptr) {
    NLog_ErrorA("ZUV", "%s:%s:MAPI Error:%s\n", kFile, fn, zuv::LastErrorText(store, hr).c_str());
    return nullptr;
  }
  return Finish(folder, setCurrent);
}

CMAPIFolder* CMapiExMod::OpenFolderInInbox(ULONG propTag, bool setCurrent) {
  std::unique_ptr<CMAPIFolder> inbox(OpenInbox(false));
  IMsgStore* store = GetMailboxStore();
  if (!inbox || store == nullptr) return nullptr;
  MapiBuffer<SPropValue> value;
  if (FAILED(inbox->GetProperty(propTag, value.put())) || value->ulPropTag != propTag) return nullptr;
  HRESULT hr = S_OK;
  CMAPIFolder* folder = OpenFolderEntry(this, store, value->Value.bin.cb,
                                        reinterpret_cast<LPENTRYID>(value->Value.bin.lpb), folder_open_flags_, &hr);
  if (folder == nullptr) LogMapiError(hr, kFile, "CMapiExMod::OpenFolderInInbox");
  return Finish(folder, setCurrent);
}

CMAPIFolder* CMapiExMod::OpenRootFolder(const char* storeKey, bool setCurrent, ULONG flags) {
  const char* fn = "CMapiExMod::OpenRootFolder";
  NLog_TraceA("ZUV", "%s:%s:OpenRootFolder called for %s", kFile, fn, Str(storeKey));
  IMsgStore* store = GetStore(storeKey);
  if (store == nullptr) {
    NLog_ErrorA("ZUV", "Error opening store with entryID %s", Str(storeKey));
    return nullptr;
  }
  HRESULT hr = S_OK;
  CMAPIFolder* root = OpenFolderEntry(this, store, 0, nullptr, flags, &hr);
  if (root == nullptr) {
    NLog_ErrorA("ZUV", "%s:%s:Error opening the root of %s Store ", kFile, fn, Str(storeKey));
    LogMapiError(hr, kFile, fn);
    return nullptr;
  }
  return Finish(root, setCurrent);
}

CMAPIFolder* CMapiExMod::OpenFolder(const char* folderName, bool setCurrent, const char* storeKey) {
  const char* fn = "CMapiExMod::OpenFolder";
  NLog_TraceA("ZUV", "%s:%s: for folder %s, Store:%s", kFile, fn, Str(folderName), Str(storeKey));
  std::unique_ptr<CMAPIFolder> root(OpenRootFolder(storeKey, false, MAPI_DEFERRED_ERRORS));
  if (!root) {
    NLog_ErrorA("ZUV", "%s:%s:Cannot get root folder for folder %s, Store:%s", kFile, fn, Str(folderName),
                Str(storeKey));
    return nullptr;
  }
  return Finish(root->FindSubFolder(Str(folderName)).release(), setCurrent);
}

CMAPIFolder* CMapiExMod::OpenFolderByPath(const std::vector<std::string>& path, bool setCurrent,
                                          const char* storeKey) {
  std::string shown;
  for (const std::string& part : path) shown += ":" + part;
  NLog_TraceA("ZUV", "%s: for folder %s, StoreEntryID:%s", name_.c_str(), shown.c_str(), Str(storeKey));
  std::unique_ptr<CMAPIFolder> root(OpenRootFolder(storeKey, false, MAPI_DEFERRED_ERRORS));
  if (!root) {
    NLog_ErrorA("ZUV", "%s:Cannot get root folder for folder %s, Store:%s", name_.c_str(), shown.c_str(),
                Str(storeKey));
    return nullptr;
  }
  if (path.empty()) return Finish(root.release(), setCurrent);
  return Finish(root->FindFolderByPath(path, 0).release(), setCurrent);
}

CMAPIFolder* CMapiExMod::OpenFolderByEntryID(const char* entryID, const char* storeKey, bool setCurrent, ULONG flags) {
  const char* fn = "CMapiExMod::OpenFolderByEntryID";
  const char* id_text = Str(entryID);
  NLog_TraceA("ZUV", "%s:%s: for entryID %s", kFile, fn, id_text);
  IMsgStore* store = GetStore(storeKey);
  if (store == nullptr) {
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
  CMAPIFolder* folder = OpenFolderEntry(this, store, static_cast<ULONG>(bytes.size()),
                                        reinterpret_cast<LPENTRYID>(bytes.data()), flags, &hr);
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:%s:Opening folder with entryID %s on MsgStore:%s", fn, "FAILED", id_text, Str(storeKey));
    LogMapiError(hr, kFile, fn);
    std::string text = zuv::LastErrorText(store, hr);
    if (!text.empty()) {
      NLog_ErrorA("ZUV", "%s:%s:MAPI Error:%s\n", kFile, fn, text.c_str());
    } else {
      NLog_ErrorA("ZUV", "%s:%s:Unknown MAPI Error:%s\n", kFile, fn, id_text);
    }
    return nullptr;
  }
  return Finish(folder, setCurrent);
}

std::shared_ptr<const ZUV_FolderList> CMapiExMod::GetFolderHierarchy(const char* storeKey, const char* folderEntryID,
                                                                     bool refresh) {
  const std::string store_key = Str(storeKey);
  const std::string folder_id = Str(folderEntryID);
  const std::string key = store_key + folder_id;
  if (refresh) {
    std::lock_guard<std::mutex> lock(mu_);
    folder_hierarchies_.erase(key);
  }
  std::unique_ptr<CMAPIFolder> folder(folder_id.empty()
                                          ? OpenRootFolder(storeKey, false, MAPI_DEFERRED_ERRORS)
                                          : OpenFolderByEntryID(folderEntryID, storeKey, false, MAPI_DEFERRED_ERRORS));
  if (folder && store_key == kPublicStoreKey && folder_id.empty()) folder = folder->FindSubFolder("IPM_SUBTREE");
  if (!folder) {
    NLog_ErrorA("ZUV", "%s:Cannot open folder %s in store %s", name_.c_str(), folder_id.c_str(), store_key.c_str());
    return nullptr;
  }
  auto list = std::make_shared<ZUV_FolderList>();
  if (FAILED(folder->GetHierarchy(list.get()))) return nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  folder_hierarchies_[key] = list;
  return list;
}

bool CMapiExMod::Notify(ZUV_NotifyCallback callback, void* context, ULONG eventMask) {
  NLog_TraceA("ZUV", "%s:%s: Notify called", kFile, "CMapiExMod::Notify");
  if ((GetStoreSupportMask() & STORE_NOTIFY_OK) == 0) return false;
  IMsgStore* store = GetMailboxStore();
  if (store == nullptr) return false;
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
