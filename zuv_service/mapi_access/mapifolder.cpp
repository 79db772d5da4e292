// mapifolder.cpp: CMAPIFolder.
#include "mapi_access/mapifolder.h"

#include <strings.h>

#include "base/logging.h"
#include "mapi/mapitags.h"
#include "mapi_access/mapiexmod.h"

namespace {

constexpr const char* kFile = "zuv_service/mapifolder";
constexpr LONG kHierarchyRows = 0x100000;

}  // namespace

CMAPIFolder::CMAPIFolder(CMapiExMod* module, IMAPIFolder* folder, ULONG flags) : flags_(flags) {
  module_ = module;
  Attach(folder);
  MapiBuffer<SPropValue> id;
  if (folder != nullptr && SUCCEEDED(GetProperty(PR_ENTRYID, id.put())) && id->ulPropTag == PR_ENTRYID) {
    SetEntryID(&id->Value.bin);
  }
}

CMAPIFolder::~CMAPIFolder() { ReleaseTables(); }

void CMAPIFolder::ReleaseTables() {
  if (hierarchy_ != nullptr) std::exchange(hierarchy_, nullptr)->Release();
  if (contents_ != nullptr) std::exchange(contents_, nullptr)->Release();
}

void CMAPIFolder::Close() {
  ReleaseTables();
  CMAPIObject::Close();
}

HRESULT CMAPIFolder::OpenContentsTable() {
  if (contents_ != nullptr) std::exchange(contents_, nullptr)->Release();
  if (Folder() == nullptr) return E_INVALIDARG;
  HRESULT hr = Folder()->GetContentsTable(0, &contents_);
  if (FAILED(hr)) contents_ = nullptr;
  return hr;
}

bool CMAPIFolder::GetContentsTable(std::string* error) {
  HRESULT hr = OpenContentsTable();
  if (FAILED(hr)) {
    std::string text = zuv::LastErrorText(item_, hr);
    *error = text.empty() ? "Unknown MAPI Error getting contents table" : text;
    return false;
  }
  return true;
}

bool CMAPIFolder::GetContents(std::string* error) {
  HRESULT hr = OpenContentsTable();
  if (FAILED(hr)) {
    std::string text = zuv::LastErrorText(item_, hr);
    *error = text.empty() ? "Unknown MAPI Error getting contents" : "Error getting contents:" + text;
    return false;
  }
  auto cols = MakePropTags(PR_MESSAGE_FLAGS, PR_ENTRYID);
  hr = contents_->SetColumns(cols.get(), 0);
  if (FAILED(hr)) {
    std::string text = zuv::LastErrorText(contents_, hr);
    *error = text.empty() ? "Unknown MAPI Error" : "Error getting contents:" + text;
    return false;
  }
  return true;
}

IMAPITable* CMAPIFolder::GetContentsTable(LPSPropTagArray columns) {
  std::string error;
  if (!GetContentsTable(&error)) return nullptr;
  if (columns != nullptr && FAILED(contents_->SetColumns(columns, 0))) return nullptr;
  return contents_;
}

HRESULT CMAPIFolder::RestrictContents(LPSRestriction restriction, ULONG flags) {
  if (contents_ == nullptr) return E_INVALIDARG;
  return contents_->Restrict(restriction, flags);
}

HRESULT CMAPIFolder::DeleteMessage(const SBinary& entryID) {
  if (Folder() == nullptr) return E_INVALIDARG;
  SBinary id = entryID;
  SBinaryArray list{1, &id};
  return Folder()->DeleteMessages(&list, 0, nullptr, 0);
}

// ---- Subfolders ----

bool CMAPIFolder::GetSubFolders(bool deep) {
  if (Folder() == nullptr) return false;
  if (hierarchy_ != nullptr) std::exchange(hierarchy_, nullptr)->Release();
  HRESULT hr = Folder()->GetHierarchyTable(deep ? CONVENIENT_DEPTH : 0, &hierarchy_);
  if (FAILED(hr)) {
    hierarchy_ = nullptr;
    LogItemError(hr, kFile, "CMAPIFolder::GetSubFolders");
    return false;
  }
  auto cols = MakePropTags(PR_DISPLAY_NAME_A, PR_ENTRYID);
  hr = hierarchy_->SetColumns(cols.get(), 0);
  if (FAILED(hr)) {
    std::exchange(hierarchy_, nullptr)->Release();
    return false;
  }
  return true;
}

std::unique_ptr<CMAPIFolder> CMAPIFolder::OpenSubFolder(const SBinary& entryID) {
  MapiPtr<IUnknown> unk;
  ULONG type = 0;
  HRESULT hr = Folder()->OpenEntry(entryID.cb, reinterpret_cast<LPENTRYID>(entryID.lpb), nullptr, flags_, &type,
                                   unk.put());
  MapiPtr<IMAPIFolder> folder;
  if (SUCCEEDED(hr) && unk) hr = unk->QueryInterface(IID_IMAPIFolder, folder.put_void());
  if (FAILED(hr) || !folder) {
    LogItemError(hr, kFile, "CMAPIFolder::GetNextSubFolder");
    return nullptr;
  }
  return std::make_unique<CMAPIFolder>(module_, folder.release(), flags_);
}

bool CMAPIFolder::GetNextSubFolder(std::unique_ptr<CMAPIFolder>* folder, std::string* name) {
  folder->reset();
  if (hierarchy_ == nullptr) return false;
  for (;;) {
    MapiRows rows;
    HRESULT hr = hierarchy_->QueryRows(1, 0, rows.put());
    if (FAILED(hr)) {
      NLog_ErrorA("ZUV", "%s:%s:MAPI Error:%s\n", kFile, "CMAPIFolder::GetNextSubFolder",
                  zuv::LastErrorText(hierarchy_, hr).c_str());
      return false;
    }
    if (rows->cRows == 0) return false;
    const SPropValue* v = rows->aRow[0].lpProps;
    if (v[1].ulPropTag != PR_ENTRYID) continue;  // a row without an ID cannot be opened
    *name = v[0].ulPropTag == PR_DISPLAY_NAME_A && v[0].Value.lpszA != nullptr ? v[0].Value.lpszA : "";
    *folder = OpenSubFolder(v[1].Value.bin);
    return *folder != nullptr;
  }
}

std::unique_ptr<CMAPIFolder> CMAPIFolder::FindSubFolder(const std::string& name) {
  if (!GetSubFolders(true)) return nullptr;
  std::unique_ptr<CMAPIFolder> folder;
  std::string candidate;
  // Names are compared before the folder is opened: rows are read here.
  for (;;) {
    MapiRows rows;
    if (FAILED(hierarchy_->QueryRows(1, 0, rows.put())) || rows->cRows == 0) return nullptr;
    const SPropValue* v = rows->aRow[0].lpProps;
    candidate = v[0].ulPropTag == PR_DISPLAY_NAME_A && v[0].Value.lpszA != nullptr ? v[0].Value.lpszA : "";
    NLog_TraceA("ZUV", "Verifying for %s with %s", name.c_str(), candidate.c_str());
    if (v[1].ulPropTag == PR_ENTRYID && strcasecmp(candidate.c_str(), name.c_str()) == 0) {
      return OpenSubFolder(v[1].Value.bin);
    }
  }
}

std::unique_ptr<CMAPIFolder> CMAPIFolder::FindSubFolderTwoLevels(const std::string& name) {
  if (!GetSubFolders(false)) return nullptr;
  // The direct children first, collected so the searches below can reuse
  // their own hierarchy tables.
  std::vector<std::pair<std::string, std::vector<BYTE>>> children;
  for (;;) {
    MapiRows rows;
    if (FAILED(hierarchy_->QueryRows(1, 0, rows.put())) || rows->cRows == 0) break;
    const SPropValue* v = rows->aRow[0].lpProps;
    if (v[1].ulPropTag != PR_ENTRYID) continue;
    std::string child = v[0].ulPropTag == PR_DISPLAY_NAME_A && v[0].Value.lpszA != nullptr ? v[0].Value.lpszA : "";
    children.emplace_back(child, std::vector<BYTE>(v[1].Value.bin.lpb, v[1].Value.bin.lpb + v[1].Value.bin.cb));
  }
  for (auto& [child, id] : children) {
    SBinary bin{static_cast<ULONG>(id.size()), id.data()};
    std::unique_ptr<CMAPIFolder> folder = OpenSubFolder(bin);
    if (!folder) continue;
    if (strcasecmp(child.c_str(), name.c_str()) == 0) return folder;
    NLog_TraceA("ZUV", "Searching for %s in %s", name.c_str(), child.c_str());
    std::unique_ptr<CMAPIFolder> found = folder->FindSubFolder(name);
    if (found) return found;
  }
  return nullptr;
}

std::unique_ptr<CMAPIFolder> CMAPIFolder::FindFolderByPath(const std::vector<std::string>& path, size_t level) {
  if (level >= path.size()) return nullptr;
  if (path.size() == 1) return FindSubFolderTwoLevels(path[0]);
  // Level 0 looks at the whole subtree, deeper levels at direct children.
  if (!GetSubFolders(level == 0)) return nullptr;
  std::vector<std::vector<BYTE>> matches;
  for (;;) {
    MapiRows rows;
    if (FAILED(hierarchy_->QueryRows(1, 0, rows.put())) || rows->cRows == 0) break;
    const SPropValue* v = rows->aRow[0].lpProps;
    const char* candidate = v[0].ulPropTag == PR_DISPLAY_NAME_A && v[0].Value.lpszA != nullptr ? v[0].Value.lpszA : "";
    if (v[1].ulPropTag == PR_ENTRYID && strcasecmp(candidate, path[level].c_str()) == 0) {
      matches.emplace_back(v[1].Value.bin.lpb, v[1].Value.bin.lpb + v[1].Value.bin.cb);
    }
  }
  for (auto& id : matches) {
    SBinary bin{static_cast<ULONG>(id.size()), id.data()};
    std::unique_ptr<CMAPIFolder> folder = OpenSubFolder(bin);
    if (!folder) continue;
    if (level + 1 == path.size()) return folder;
    // A dead end here goes on with the next candidate.
    std::unique_ptr<CMAPIFolder> found = folder->FindFolderByPath(path, level + 1);
    if (found) return found;
  }
  return nullptr;
}

std::unique_ptr<CMAPIFolder> CMAPIFolder::CreateSubFolder(const char* name, const char* containerClass) {
  if (Folder() == nullptr || name == nullptr) return nullptr;
  MapiPtr<IMAPIFolder> folder;
  HRESULT hr = Folder()->CreateFolder(FOLDER_GENERIC, const_cast<char*>(name), nullptr, nullptr, OPEN_IF_EXISTS,
                                      folder.put());
  if (FAILED(hr)) {
    LogItemError(hr, kFile, "CMAPIFolder::CreateSubFolder");
    return nullptr;
  }
  if (containerClass != nullptr && containerClass[0] != '\0') {
    SPropValue v{};
    v.ulPropTag = PR_CONTAINER_CLASS_A;
    v.Value.lpszA = const_cast<char*>(containerClass);
    hr = folder->SetProps(1, &v, nullptr);
    if (FAILED(hr)) LogItemError(hr, kFile, "CMAPIFolder::CreateSubFolder");
  }
  return std::make_unique<CMAPIFolder>(module_, folder.release(), flags_);
}

HRESULT CMAPIFolder::GetHierarchy(std::vector<ZUV_FolderInfo_s>* list) {
  list->clear();
  if (Folder() == nullptr) return E_INVALIDARG;
  MapiPtr<IMAPITable> table;
  HRESULT hr = Folder()->GetHierarchyTable(0, table.put());
  if (FAILED(hr)) return hr;
  auto cols = MakePropTags(PR_DISPLAY_NAME_A, PR_LONGTERM_ENTRYID_FROM_TABLE, PR_CONTENT_COUNT,
                           PR_FOLDER_CHILD_COUNT, PR_CREATION_TIME, PR_LAST_MODIFICATION_TIME,
                           PR_CONTAINER_CLASS_A);
  if (FAILED(hr = table->SetColumns(cols.get(), 0))) return hr;
  MapiRows rows;
  if (FAILED(hr = table->QueryRows(kHierarchyRows, 0, rows.put()))) return hr;
  auto ticks = [](const SPropValue& v) {
    return static_cast<uint64_t>(v.Value.ft.dwHighDateTime) << 32 | v.Value.ft.dwLowDateTime;
  };
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    ZUV_FolderInfo_s info;
    if (v[0].ulPropTag == PR_DISPLAY_NAME_A && v[0].Value.lpszA != nullptr) info.name = v[0].Value.lpszA;
    if (v[1].ulPropTag == PR_LONGTERM_ENTRYID_FROM_TABLE) {
      info.entryID = zuv::EntryIDToString(v[1].Value.bin.lpb, v[1].Value.bin.cb);
    }
    if (v[2].ulPropTag == PR_CONTENT_COUNT) info.contentCount = v[2].Value.ul;
    if (v[3].ulPropTag == PR_FOLDER_CHILD_COUNT) info.childCount = v[3].Value.ul;
    if (v[4].ulPropTag == PR_CREATION_TIME) info.created = ticks(v[4]);
    if (v[5].ulPropTag == PR_LAST_MODIFICATION_TIME) info.modified = ticks(v[5]);
    if (v[6].ulPropTag == PR_CONTAINER_CLASS_A && v[6].Value.lpszA != nullptr) info.containerClass = v[6].Value.lpszA;
    list->push_back(std::move(info));
  }
  return S_OK;
}

// ---- String-named properties ----

HRESULT CMAPIFolder::ProptagFromString(const char* name, ULONG propType, ULONG* tag) {
  return ProptagFromString(name, propType, tag, false);
}

// Resolution stays in PS_PUBLIC_STRINGS whatever the set.
HRESULT CMAPIFolder::ProptagFromString(const GUID* /*propSet*/, const char* name, ULONG propType, ULONG* tag) {
  return ProptagFromString(name, propType, tag, false);
}

HRESULT CMAPIFolder::ProptagFromString(const char* name, ULONG propType, ULONG* tag, bool create) {
  const char* shown = name != nullptr ? name : "";
  NLog_TraceA("ZUV", "In ProptagFromString for %s\n", shown);
  if (item_ == nullptr) return E_INVALIDARG;
  GUID set = PS_PUBLIC_STRINGS;
  MAPINAMEID id{};
  id.lpguid = &set;
  id.ulKind = MNID_STRING;
  std::u16string wide = zuv::AnsiToWide(name != nullptr ? name : "");
  id.Kind.lpwstrName = name != nullptr ? wide.data() : nullptr;
  LPMAPINAMEID names[1] = {&id};
  MapiBuffer<SPropTagArray> tags;
  HRESULT hr = item_->GetIDsFromNames(1, names, create ? MAPI_CREATE : 0, tags.put());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "Error ProptagFromString for %s\n", shown);
    std::string text = zuv::LastErrorText(item_, hr);
    if (!text.empty()) {
      NLog_ErrorA("ZUV", "%s:Error resolving proptag %s:%s\n", "CMAPIFolder::ProptagFromString", shown, text.c_str());
    } else {
      NLog_ErrorA("ZUV", "%s:Unknown Error resolving %s\n", "CMAPIFolder::ProptagFromString", shown);
    }
    return hr;
  }
  if (!tags || tags->cValues < 1) return 1;
  ULONG got = tags->aulPropTag[0];
  if (got == PROP_TAG(PT_ERROR, 0)) return 1;
  NLog_TraceA("ZUV", "Prop Tag for %s is %lu\n", shown, static_cast<unsigned long>(got));
  *tag = (got & 0xFFFF0000) | propType;
  return 0;
}
