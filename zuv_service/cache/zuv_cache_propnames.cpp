// zuv_cache_propnames.cpp: property names to tags and back for ZUV_Cache:
// the order of name sources, the described-folder catalogue and the
// process-wide custom property cache.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <unordered_map>

#include "base/logging.h"
#include "cache/zuv_cache.h"
#include "mapi/mapitags.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/prop_tags.h"

#include "base/process.h"
#include "base/wire.h"
#include "mapi/mapiutil.h"

namespace {

// Long IDs of names that are hexadecimal numbers live in this set:
// {B20182C7-7A66-D04E-8774-99FD4EC3BC65}.
const GUID kCustomPropertySet = {0xB20182C7, 0x7A66, 0xD04E, {0x87, 0x74, 0x99, 0xFD, 0x4E, 0xC3, 0xBC, 0x65}};

// The custom property cache: store entry ID + "-" + folder entry ID -> the
// properties registered there, in registration order; entries are only ever
// added. Guarded by mu, a reader-writer lock: lookups on request and fetch
// threads take it shared and never wait for each other; SetCustomProperties
// takes it exclusively only to add, never across a MAPI call. Never
// destroyed: connection threads may still look names up while the process
// exits.
struct CustomPropertyCache {
  zuv::SharedMutex mu;
  std::unordered_map<std::string, std::vector<std::unique_ptr<custom_property>>> lists ZUV_GUARDED_BY(mu);
};
CustomPropertyCache& CustomProperties() {
  static CustomPropertyCache* cache = new CustomPropertyCache;
  return *cache;
}

// The cache key of (store, folder), built in a per-thread buffer so the hot
// lookup allocates nothing once the buffer has grown.
const std::string& CustomKey(const std::string& store, const std::string& folder) {
  thread_local std::string key;
  key.assign(store);
  key += '-';
  key += folder;
  return key;
}

// A name made only of 1 to 8 hexadecimal digits, not 0 ("0x" is no part of
// it here). True with *value set.
bool ParseHexName(const std::string& name, ULONG* value) {
  if (name.empty() || name.size() > 8) return false;
  ULONG v = 0;
  for (char c : name) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    v = v << 4 | static_cast<ULONG>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10));
  }
  if (v == 0) return false;
  *value = v;
  return true;
}

// GetIDsFromNames of one MNID_ID name, without creating it. True with *id
// (the tag with PT_UNSPECIFIED) when the store knows the name.
bool IdOfLongId(IMAPIProp* item, const GUID& set, LONG lid, ULONG* id) {
  if (item == nullptr) return false;
  GUID guid = set;
  MAPINAMEID name{};
  name.lpguid = &guid;
  name.ulKind = MNID_ID;
  name.Kind.lID = lid;
  LPMAPINAMEID names[1] = {&name};
  MapiBuffer<SPropTagArray> tags;
  if (item->GetIDsFromNames(1, names, 0, tags.put()) != S_OK || !tags || tags->cValues < 1 ||
      PROP_TYPE(tags->aulPropTag[0]) == PT_ERROR) {
    return false;
  }
  *id = tags->aulPropTag[0];
  return true;
}

// UTF-16 to the ANSI code page (UTF-8).
std::string WideToAnsi(const char16_t* wide) {
  size_t len = 0;
  while (wide[len] != 0) ++len;
  return zuvstore::Utf16ToUtf8(wide, len);
}

// Copies text into the chain of parent; null when out of memory.
LPSTR CopyIntoChain(std::string_view text, void* parent) {
  void* mem = nullptr;
  if (MAPIAllocateMore(static_cast<ULONG>(text.size() + 1), parent, &mem) != S_OK) return nullptr;
  std::memcpy(mem, text.data(), text.size());
  static_cast<char*>(mem)[text.size()] = '\0';
  return static_cast<LPSTR>(mem);
}

}  // namespace

// ---- Name to tag ----

uint32_t ZUV_Cache::PropTagFromName(const std::string& folderEntryID, const std::string& storeEntryID,
                                    const std::string& name, ULONG type, ULONG* tag, bool create) {
  // The static table through its name index: the same first match as a
  // front-to-back scan. Release build, bench/propnames_bench.cpp: ~35 ns for
  // PR_SUBJECT and ~65 ns for a cached custom name, against ~3 us and
  // ~108 us (a name the table lacks) for the scan converting every entry.
  uint32_t found = 0;
  if (zuv::TagFromName(name, &found) == 0) {
    *tag = found;
    return 0;
  }
  if (LookupCustomProperty(folderEntryID, storeEntryID, name, tag) == 0) return 0;

  if (!IsDescribed(folderEntryID)) {
    NLog_TraceA("ZUV", "Describing table %s for property lookup %s", folderEntryID.c_str(), name.c_str());
    std::vector<PROP_ARRAY_ENTRY*> entries;
    (void)DescribeFolder(folderEntryID, storeEntryID, &entries);
    if (!IsDescribed(folderEntryID)) return 1;
  }
  if (FindDescribedName(folderEntryID, name, tag)) return 0;
  if (NamedPropertyTag(folderEntryID, storeEntryID, name, type, tag)) return 0;

  // Last, a string name in PS_PUBLIC_STRINGS, opened for writing when the
  // name may be created.
  std::unique_ptr<CMAPIFolder> folder =
      session_->OpenFolderByEntryID(folderEntryID.c_str(), storeEntryID.c_str(), create ? MAPI_MODIFY : 0);
  if (!folder) {
    NLog_ErrorA("ZUV", "Cannot open folder by entryID %s", folderEntryID.c_str());
    return 1;
  }
  ULONG resolved = 0;
  if (folder->ProptagFromString(name.c_str(), type, &resolved, create) != 0) {
    NLog_ErrorA("ZUV", "Cannot resolve property name %s in folder %s", name.c_str(), folderEntryID.c_str());
    return 1;
  }
  if (type == 0) return 1;  // a named property needs its type
  *tag = resolved;
  return 0;
}

bool ZUV_Cache::NamedPropertyTag(const std::string& folderEntryID, const std::string& storeEntryID,
                                 const std::string& name, ULONG type, ULONG* tag) {
  std::unique_ptr<CMAPIFolder> folder =
      session_->OpenFolderByEntryID(folderEntryID.c_str(), storeEntryID.c_str(), MAPI_DEFERRED_ERRORS);
  if (!folder) return false;
  IMAPIProp* item = folder->Item();
  ULONG id = 0;

  const size_t index = zuv::NamedPropertyIndex(name);
  if (index < zuv::NamedPropertyCount()) {
    const zuv::NamedPropEntry& entry = zuv::NamedPropertyAt(index);
    if (IdOfLongId(item, *entry.propset, static_cast<LONG>(entry.lid), &id)) {
      *tag = entry.type | id;
      return true;
    }
  }
  ULONG lid = 0;
  if (ParseHexName(name, &lid)) {
    if (IdOfLongId(item, kCustomPropertySet, static_cast<LONG>(lid), &id)) {
      *tag = type | id;
      return true;
    }
    return false;
  }
  for (size_t i = 0; i < zuv::GuidCount(); ++i) {
    ULONG resolved = 0;
    if (folder->ProptagFromString(zuv::GuidAt(i), name.c_str(), type, &resolved) == 0 && type != 0) {
      *tag = resolved;
      return true;
    }
  }
  return false;
}

// ---- Described folders ----

bool ZUV_Cache::IsDescribed(const std::string& folderEntryID) {
  zuv::ReaderLock lock(described_mu_);
  return described_folders_->count(folderEntryID) != 0;
}

bool ZUV_Cache::FindDescribedName(const std::string& folderEntryID, const std::string& name, ULONG* tag) {
  zuv::ReaderLock lock(described_mu_);
  auto it = described_folders_->find(folderEntryID);
  if (it == described_folders_->end()) return false;
  for (const PROP_ARRAY_ENTRY* entry : it->second.entries) {
    if (entry->resolved == 0) continue;
    for (ULONG i = 0; i < entry->cNames; ++i) {
      if (entry->names[i] != nullptr && name == entry->names[i]) {
        *tag = entry->tag;
        return true;
      }
    }
  }
  return false;
}

uint32_t ZUV_Cache::DescribeFolder(const std::string& folderEntryID, const std::string& storeEntryID,
                                   std::vector<PROP_ARRAY_ENTRY*>* entries) {
  const char* folder_id = folderEntryID.c_str();
  entries->clear();
  NLog_TraceA("ZUV", "Checking whether the folder with entryID %s is described or not", folder_id);
  {
    zuv::ReaderLock lock(described_mu_);
    auto it = described_folders_->find(folderEntryID);
    if (it != described_folders_->end()) {
      NLog_TraceA("ZUV", "Folder with entryID %s is already described", folder_id);
      *entries = it->second.entries;
      return 0;
    }
  }

  std::unique_ptr<CMAPIFolder> folder =
      session_->OpenFolderByEntryID(folder_id, storeEntryID.c_str(), MAPI_DEFERRED_ERRORS);
  if (!folder) {
    NLog_ErrorA("ZUV", "Cannot open the folder specified by entryID %s", folder_id);
    return 1;
  }
  std::string error;
  if (!folder->GetContentsTable(&error)) {
    NLog_ErrorA("ZUV", "Error getting contents table for folder %s:%s", folder_id, error.c_str());
    return 1;
  }
  MapiBuffer<SPropTagArray> columns;
  HRESULT hr = folder->ContentsTable()->QueryColumns(TBL_ALL_COLUMNS, columns.put());
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "Error getting contents table for folder %s:%s", folder_id,
                zuv::LastErrorText(folder->ContentsTable(), hr).c_str());
    return static_cast<uint32_t>(hr);
  }

  // One chain per run: the entry array first, names and name lists after it.
  const ULONG count = columns->cValues;
  void* chain = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(std::max<ULONG>(count, 1) * sizeof(PROP_ARRAY_ENTRY)), &chain) != S_OK) {
    NLog_ErrorA("ZUV", "%s:Cannot allocate memory buffer", "ZUV_Cache::DescribeFolder");
    return static_cast<uint32_t>(MAPI_E_NOT_ENOUGH_MEMORY);
  }
  auto* array = static_cast<PROP_ARRAY_ENTRY*>(chain);
  HRESULT last = S_OK;
  std::vector<std::string> static_names;
  std::vector<LPSTR> names;
  for (ULONG i = 0; i < count; ++i) {
    const ULONG tag = columns->aulPropTag[i];
    NLog_TraceA("ZUV", "%x,", static_cast<unsigned>(tag));
    PROP_ARRAY_ENTRY* entry = &array[i];
    *entry = PROP_ARRAY_ENTRY{tag, tag & 0xFFFF, 1, 0, nullptr};
    static_names.clear();
    names.clear();
    if (zuv::NamesFromTag(tag, &static_names) == 0) {
      for (const std::string& n : static_names) {
        if (LPSTR copy = CopyIntoChain(n, chain)) names.push_back(copy);
      }
      last = S_OK;
    } else {
      last = StringsFromPropTag(folder.get(), tag, nullptr, chain, &names);
    }
    if (names.empty()) {
      entry->resolved = 0;
      NLog_TraceA("ZUV", "Name for %x not found", static_cast<unsigned>(tag));
    } else {
      void* list = nullptr;
      if (MAPIAllocateMore(static_cast<ULONG>(names.size() * sizeof(LPSTR)), chain, &list) == S_OK) {
        entry->names = static_cast<LPSTR*>(list);
        entry->cNames = static_cast<ULONG>(names.size());
        std::copy(names.begin(), names.end(), entry->names);
      } else {
        entry->resolved = 0;
      }
    }
    entries->push_back(entry);
  }

  if (last != S_OK) {
    // Not recorded: the next lookup in this folder describes it again.
    entries->clear();
    MAPIFreeBuffer(chain);
    return static_cast<uint32_t>(last);
  }
  zuv::WriterLock lock(described_mu_);
  auto [it, inserted] = described_folders_->try_emplace(folderEntryID, DescribedFolder{chain, *entries});
  if (!inserted) {
    // Another thread described the folder meanwhile; its snapshot stands.
    MAPIFreeBuffer(chain);
    *entries = it->second.entries;
  }
  return 0;
}

HRESULT ZUV_Cache::StringsFromPropTag(CMAPIFolder* folder, ULONG tag, LPGUID guid, void* parent,
                                      std::vector<LPSTR>* names) {
  const char* fn = "ZUV_Cache::StringsFromPropTag";
  MapiBuffer<SPropTagArray> tags;
  HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(1)), reinterpret_cast<void**>(tags.put()));
  if (hr != S_OK) {
    NLog_ErrorA("ZUV", "%s:Cannot allocate memory buffer", fn);
    return hr;
  }
  tags->cValues = 1;
  tags->aulPropTag[0] = tag;
  IMAPIProp* item = folder != nullptr ? folder->Item() : nullptr;
  if (item == nullptr) return E_INVALIDARG;
  LPSPropTagArray tag_array = tags.get();
  ULONG count = 0;
  MapiBuffer<LPMAPINAMEID> ids;
  hr = item->GetNamesFromIDs(&tag_array, guid, 0, &count, ids.put());
  if (FAILED(hr)) return hr;
  HRESULT result = hr;
  for (ULONG i = 0; i < count; ++i) {
    const MAPINAMEID* id = ids.get()[i];
    if (id == nullptr) continue;
    if (id->ulKind == MNID_ID) {
      result = 1;
      continue;
    }
    std::string text = id->Kind.lpwstrName != nullptr ? WideToAnsi(id->Kind.lpwstrName) : std::string();
    LPSTR copy = nullptr;
    if (id->Kind.lpwstrName != nullptr) {
      copy = CopyIntoChain(text, parent);
      if (copy == nullptr) {
        NLog_ErrorA("ZUV", "%s: Cannot extend memory buffer", fn);
        return MAPI_E_NOT_ENOUGH_MEMORY;
      }
    }
    NLog_TraceA("ZUV", "Name for %x=%s", static_cast<unsigned>(tag), text.c_str());
    names->push_back(copy);
  }
  return result;
}

// ---- Custom properties ----

uint32_t ZUV_Cache::LookupCustomProperty(const std::string& folderEntryID, const std::string& storeEntryID,
                                         const std::string& name, ULONG* tag) {
  CustomPropertyCache& cache = CustomProperties();
  zuv::ReaderLock lock(cache.mu);
  auto it = cache.lists.find(CustomKey(storeEntryID, folderEntryID));
  if (it == cache.lists.end()) return 1;
  for (const auto& property : it->second) {
    if (property->name != name) continue;
    NLog_TraceA("ZUV", "For folder %s-%s returning property tag %x for property name %s from the custom property cache",
                storeEntryID.c_str(), folderEntryID.c_str(), static_cast<unsigned>(property->tag), name.c_str());
    *tag = property->tag;
    return 0;
  }
  return 1;
}

uint32_t ZUV_Cache::SetCustomProperties(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                                        const std::string& storeEntryID,
                                        const std::vector<custom_property>& properties, std::string* errorText,
                                        bool createIfNotExists) {
  (void)context;  // lines begin with the instance name
  CustomPropertyCache& cache = CustomProperties();
  const std::string key = storeEntryID + "-" + folderEntryID;
  const std::string store_short = zuv::ShortenID(storeEntryID);
  const std::string folder_short = zuv::ShortenID(folderEntryID);
  {
    zuv::WriterLock lock(cache.mu);
    cache.lists.try_emplace(key);
  }
  // Adds (name, type, tag) unless the very same entry is there already: a
  // repeated registration resolves through the cache to the same tag, and
  // lookups take the first match anyway.
  auto remember = [&](const custom_property& property, ULONG tag) {
    {
      zuv::WriterLock lock(cache.mu);
      auto& list = cache.lists[key];
      bool known = false;
      for (const auto& p : list) known = known || (p->name == property.name && p->type == property.type && p->tag == tag);
      if (!known) list.push_back(std::make_unique<custom_property>(custom_property{property.name, property.type, tag}));
    }
    NLog_InfoA("ZUV", "%s:For folder %s-%s, caching property tag %x for property name %s and type %ul",
               name_.c_str(), store_short.c_str(), folder_short.c_str(), static_cast<unsigned>(tag),
               property.name.c_str(), static_cast<unsigned>(property.type));
  };
  auto known_with_tag = [&](const std::string& name) {
    zuv::ReaderLock lock(cache.mu);
    auto it = cache.lists.find(key);
    if (it == cache.lists.end()) return false;
    for (const auto& p : it->second) {
      if (p->name == name && p->tag != 0) return true;
    }
    return false;
  };

  for (const custom_property& property : properties) {
    ULONG tag = 0;
    const uint32_t r = PropTagFromName(folderEntryID, storeEntryID, property.name, property.type, &tag, false);
    if (r != 0 && known_with_tag(property.name)) continue;
    if (r == 0) {
      remember(property, tag);
      continue;
    }
    if (!createIfNotExists) continue;
    tag = CreatePropTag(folderEntryID, storeEntryID, property.name, property.type, true);
    if (tag != 0 && tag != property.type) {
      remember(property, tag);
      continue;
    }
    *errorText = "Cannot get the property tag for property name " + property.name + " in folder " + storeEntryID +
                 "-" + folderEntryID;
    NLog_ErrorA("ZUV", "%s:For folder %s-%s, error getting property tag for property name %s and type %ul",
                name_.c_str(), store_short.c_str(), folder_short.c_str(), property.name.c_str(),
                static_cast<unsigned>(property.type));
    return 1;
  }
  return 0;
}

ULONG ZUV_Cache::CreatePropTag(const std::string& folderEntryID, const std::string& storeEntryID,
                               const std::string& name, ULONG type, bool create) {
  const char* store = storeEntryID.c_str();
  const char* folder_id = folderEntryID.c_str();
  std::unique_ptr<CMAPIFolder> folder = session_->OpenFolderByEntryID(folder_id, store, create ? MAPI_MODIFY : 0);
  if (!folder) {
    NLog_ErrorA("ZUV", "%s:Cannot open the folder %s-%s", name_.c_str(), store, folder_id);
    if (!create) return 0;
    NLog_InfoA("ZUV", "%s:Opening folder with MAPI_BEST_ACCESS: %s-%s", name_.c_str(), store, folder_id);
    folder = session_->OpenFolderByEntryID(folder_id, store, MAPI_BEST_ACCESS);
    if (!folder) {
      NLog_ErrorA("ZUV", "%s:Cannot open the folder for MAPI_BEST_ACCESS %s-%s", name_.c_str(), store, folder_id);
      return 0;
    }
  }
  ULONG tag = 0;
  (void)folder->ProptagFromString(name.c_str(), type, &tag, create);
  return tag;
}

uint32_t ZUV_Cache::NameFromPropTag(const std::string& folderEntryID, ULONG tag, std::vector<std::string>* names) {
  (void)folderEntryID;
  std::string name;
  if (zuv::FirstNameFromTag(tag, &name) != 0) return 1;
  names->push_back(std::move(name));
  return 0;
}

void ZUV_Cache::ClearCustomPropertiesForTest() {
  CustomPropertyCache& cache = CustomProperties();
  zuv::WriterLock lock(cache.mu);
  cache.lists.clear();
}
