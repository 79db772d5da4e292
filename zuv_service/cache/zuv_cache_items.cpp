// zuv_cache_items.cpp: item writes of ZUV_Cache: properties written on a
// new or existing item, the refresh of the folder's cached row, and item
// deletion.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/logging.h"
#include "base/wire.h"
#include "cache/zuv_cache.h"
#include "mapi/mapitags.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/mapiobject.h"

namespace {

// The four types an item write sets; other types are resolved only.
bool IsWrittenType(ULONG type) {
  return type == PT_LONG || type == PT_STRING8 || type == PT_BOOLEAN || type == PT_SYSTIME;
}

// The tag a value is written under: the resolved property with the type the
// client gave, so the value is never read as another type.
ULONG WrittenTag(ULONG resolved, ULONG type) { return CHANGE_PROP_TYPE(resolved, type); }

// Sets one element on item; false when the store refuses it.
bool WriteElement(CMAPIObject* item, const set_data_element& e, ULONG tag) {
  switch (e.type) {
    case PT_LONG:
      return item->SetPropertyLong(tag, e.value.number);
    case PT_STRING8:
      return item->SetPropertyString(tag, e.value.text.c_str(), false);
    case PT_BOOLEAN:
      return item->SetPropertyBool(tag, e.value.number != 0);
    case PT_SYSTIME: {
      SPropValue v{};
      v.ulPropTag = tag;
      v.Value.ft = e.value.time;
      return item->SetProperties(1, &v);
    }
    default:
      return true;  // not written
  }
}

}  // namespace

void ZUV_Cache::LogSetTable(const std::string& instanceName, const std::string& folderEntryID,
                            const std::string& storeEntryID, const std::vector<set_data_element>& elements,
                            const std::vector<ULONG>& tags, const std::string& rowEntryID) {
  std::string line = instanceName + ": SetTable for " + storeEntryID + ":" + folderEntryID + " row " +
                     (rowEntryID.empty() ? std::string("NEW ROW") : rowEntryID) + "(";
  char part[96];
  for (size_t i = 0; i < elements.size(); ++i) {
    const set_data_element& e = elements[i];
    const unsigned tag = static_cast<unsigned>(i < tags.size() ? tags[i] : 0);
    switch (e.type) {
      case PT_LONG:
        std::snprintf(part, sizeof(part), "(%x/PT_LONG)=%lu,", tag,
                      static_cast<unsigned long>(static_cast<uint32_t>(e.value.number)));
        break;
      case PT_STRING8:
        line += e.key;
        std::snprintf(part, sizeof(part), "(%x/PT_STRING8)=", tag);
        line += part;
        line += e.value.text;
        line += ",";
        continue;
      case PT_BOOLEAN:
        std::snprintf(part, sizeof(part), "(%x/PT_BOOLEAN)=%d,", tag, static_cast<int>(e.value.number));
        break;
      case PT_SYSTIME:
        std::snprintf(part, sizeof(part), "(%x/PT_SYSTIME)=%lu, %lu,", tag,
                      static_cast<unsigned long>(e.value.time.dwHighDateTime),
                      static_cast<unsigned long>(e.value.time.dwLowDateTime));
        break;
      default:
        continue;  // other types add nothing
    }
    line += e.key;
    line += part;
  }
  line += ")";
  zuv::LogLine("ZUV", zuv::LogLevel::Info, zuv::EscapeForLog(line).c_str());
}

uint32_t ZUV_Cache::SetData(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                            const std::string& storeEntryID, const std::vector<set_data_element>& elements,
                            std::string* rowEntryID) {
  (void)context;  // lines of this operation carry the instance name
  const char* name = name_.c_str();
  const std::string folderLog = zuv::EscapeForLog(folderEntryID);
  const std::string storeLog = zuv::EscapeForLog(storeEntryID);

  // Every name first, in order; nothing is opened when one fails.
  std::vector<ULONG> tags(elements.size(), 0);
  for (size_t i = 0; i < elements.size(); ++i) {
    if (PropTagFromName(folderEntryID, storeEntryID, elements[i].key, elements[i].type, &tags[i], true) != 0) {
      NLog_ErrorA("ZUV", "%s:Cannot do SetData. One of the properties %s cannot be resolved", name,
                  zuv::EscapeForLog(elements[i].key).c_str());
      return 1;
    }
  }
  LogSetTable(name_, folderEntryID, storeEntryID, elements, tags, *rowEntryID);

  std::unique_ptr<CMAPIFolder> folder = session_->OpenFolderByEntryID(
      folderEntryID.c_str(), storeEntryID.c_str(), MAPI_MODIFY | MAPI_DEFERRED_ERRORS);
  if (!folder) {
    NLog_ErrorA("ZUV", "%s:Cannot open folder %s:%s", name, storeLog.c_str(), folderLog.c_str());
    return 1;
  }

  const bool isNew = rowEntryID->empty();
  const std::string rowLog = zuv::EscapeForLog(*rowEntryID);
  CMAPIObject item;
  if (isNew) {
    if (!item.Create(session_.get(), folder.get())) {
      NLog_ErrorA("ZUV", "%s: Cannot create new item for folder %s:%s", name, storeLog.c_str(), folderLog.c_str());
      return 1;
    }
  } else {
    std::vector<BYTE> id;
    SBinary bin{};
    if (zuv::HexToBin(*rowEntryID, &id) && !id.empty()) {
      bin.cb = static_cast<ULONG>(id.size());
      bin.lpb = id.data();
    }
    if (bin.cb == 0 || !item.Open(session_.get(), bin)) {
      NLog_ErrorA("ZUV", "%s:Cannot open item %s for folder %s:%s", name, rowLog.c_str(), storeLog.c_str(),
                  folderLog.c_str());
      return 1;
    }
  }

  for (size_t i = 0; i < elements.size(); ++i) {
    const set_data_element& e = elements[i];
    if (!IsWrittenType(e.type)) continue;
    if (!WriteElement(&item, e, WrittenTag(tags[i], e.type))) {
      NLog_ErrorA("ZUV", "%s:Cannot set property %s in row %s for %s:%s", name, zuv::EscapeForLog(e.key).c_str(),
                  rowLog.c_str(), storeLog.c_str(), folderLog.c_str());
      item.Close();
      return 1;
    }
  }

  if (!item.Save(false)) {
    NLog_ErrorA("ZUV", "%s: Cannot save changes for item %s in  %s:%s", name, rowLog.c_str(), storeLog.c_str(),
                folderLog.c_str());
    item.Close();
    return 1;
  }

  // The row's key in the cache: the item's own entry-ID string (upper-case
  // hex whatever form the client sent).
  std::string rowKey;
  if (isNew) {
    MapiBuffer<SPropValue> id;
    if (SUCCEEDED(item.GetProperty(PR_ENTRYID, id.put())) && id->ulPropTag == PR_ENTRYID) {
      item.SetEntryID(&id->Value.bin);
    }
    (void)item.GetEntryIDString(rowEntryID);
    rowKey = *rowEntryID;
  } else {
    (void)item.GetEntryIDString(&rowKey);
  }
  item.Close();
  folder->Close();

  std::vector<set_data_element> written;
  std::vector<ULONG> writtenTags;
  for (size_t i = 0; i < elements.size(); ++i) {
    if (!IsWrittenType(elements[i].type)) continue;
    written.push_back(elements[i]);
    writtenTags.push_back(WrittenTag(tags[i], elements[i].type));
  }
  (void)UpdateCacheData(folderEntryID, storeEntryID, rowKey, written, writtenTags);
  NLog_InfoA("ZUV", "%s:Success doing SetData for row %s in %s:%s", name, zuv::EscapeForLog(*rowEntryID).c_str(),
             storeLog.c_str(), folderLog.c_str());
  return 0;
}

uint32_t ZUV_Cache::UpdateCacheData(const std::string& folderEntryID, const std::string& storeEntryID,
                                    const std::string& rowEntryID,
                                    const std::vector<set_data_element>& changedProperties,
                                    const std::vector<ULONG>& tags) {
  ZUV_TablePtr table = FindTable(folderEntryID, storeEntryID);
  if (!table) {
    NLog_InfoA("ZUV", "Table %s in store %s is not cached. UpdateCacheData does not apply",
               zuv::EscapeForLog(folderEntryID).c_str(), zuv::EscapeForLog(storeEntryID).c_str());
    return 0;
  }
  ZUV_RowBuilder written;
  for (size_t i = 0; i < changedProperties.size() && i < tags.size(); ++i) {
    const set_data_element& e = changedProperties[i];
    switch (PROP_TYPE(tags[i])) {
      case PT_LONG:
        written.AddNumber(tags[i], e.value.number);
        break;
      case PT_BOOLEAN:
        written.AddNumber(tags[i], e.value.number != 0 ? 1 : 0);
        break;
      case PT_STRING8:
        written.AddBytes(tags[i], e.value.text);
        break;
      case PT_SYSTIME:
        written.AddTime(tags[i], e.value.time);
        break;
      default:
        break;
    }
  }
  return table->UpdateRow(rowEntryID, written);
}

uint32_t ZUV_Cache::DeleteEntry(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                                const std::string& storeEntryID, const std::string& rowEntryID) {
  const char* conn = context->name;
  const std::string folderLog = zuv::EscapeForLog(folderEntryID);
  const std::string rowLog = zuv::EscapeForLog(rowEntryID);
  NLog_InfoA("ZUV", "For Client %s, ZUV_DeleteMAPIEntry for folder %s, rowEntryID=%s", conn, folderLog.c_str(),
             rowLog.c_str());
  std::unique_ptr<CMAPIFolder> folder =
      session_->OpenFolderByEntryID(folderEntryID.c_str(), storeEntryID.c_str(), MAPI_MODIFY);
  if (!folder) {
    NLog_ErrorA("ZUV", "For Client %s, ZUV_DeleteMAPIEntry for folder %s", conn, folderLog.c_str());
    return 1;
  }
  std::vector<BYTE> id;
  // A one-entry list: partial completion means the item was not deleted.
  HRESULT hr = MAPI_E_INVALID_ENTRYID;
  if (zuv::HexToBin(rowEntryID, &id) && !id.empty()) {
    hr = folder->DeleteMessage(SBinary{static_cast<ULONG>(id.size()), id.data()});
  }
  if (hr != S_OK) {
    NLog_ErrorA("ZUV", "For Client %s Cannot delete entry with entryID %s in folder %s", conn, rowLog.c_str(),
                folderLog.c_str());
    return 1;
  }
  if (!folder->Save(false)) {
    NLog_ErrorA("ZUV", "For Client %s Cannot save changes for %s:%s", conn, folderLog.c_str(), rowLog.c_str());
    return 1;
  }
  return 0;
}
