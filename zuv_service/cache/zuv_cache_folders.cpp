// zuv_cache_folders.cpp: folder discovery and creation for ZUV_Cache: the
// folder hierarchy response, folder paths to entry IDs, new folders and the
// details of one folder.

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/logging.h"
#include "base/wire.h"
#include "cache/zuv_cache.h"
#include "mapi/mapitags.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"

namespace {

// Parents followed at most when building a folder's path; stores nest far
// less, and a broken parent chain must not loop.
constexpr int kMaxPathDepth = 64;

// FILETIME ticks from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

const char* const kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
const char* const kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};

// The last name of a path as log lines show it; "ROOT" for the root.
std::string PathLogName(const std::vector<std::string>& path) {
  return path.empty() ? std::string("ROOT") : zuv::EscapeForLog(path.back());
}

// One property of folder into *value; false (value empty) when it cannot be
// read or is an error value.
bool ReadFolderProp(CMAPIFolder* folder, ULONG tag, MapiBuffer<SPropValue>* value) {
  NLog_TraceA("ZUV", "PropTag is %ul", static_cast<unsigned>(tag));
  if (FAILED(folder->GetProperty(tag, value->put())) || !*value || (*value)->ulPropTag != tag) {
    value->reset();
    return false;
  }
  return true;
}

std::string FolderName(CMAPIFolder* folder) {
  MapiBuffer<SPropValue> v;
  return ReadFolderProp(folder, PR_DISPLAY_NAME_A, &v) && v->Value.lpszA != nullptr ? std::string(v->Value.lpszA)
                                                                                    : std::string();
}

std::string ParentEntryID(CMAPIFolder* folder) {
  MapiBuffer<SPropValue> v;
  return ReadFolderProp(folder, PR_PARENT_ENTRYID, &v) ? zuv::EntryIDToString(v->Value.bin.lpb, v->Value.bin.cb)
                                                       : std::string();
}

}  // namespace

std::string ZUV_Cache::LongLocalDateTime(uint64_t fileTime) {
  const int64_t seconds = (static_cast<int64_t>(fileTime) - kUnixEpochTicks) / 10000000;
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
      local.tm_mon > 11) {
    return std::string();
  }
  // en-US DATE_LONGDATE "dddd, MMMM d, yyyy" and time "h:mm:ss tt".
  const int hour12 = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
  char text[128];
  std::snprintf(text, sizeof(text), "%s, %s %d, %d %d:%02d:%02d %s", kDayNames[local.tm_wday],
                kMonthNames[local.tm_mon], local.tm_mday, local.tm_year + 1900, hour12, local.tm_min,
                local.tm_sec, local.tm_hour < 12 ? "AM" : "PM");
  return std::string(text);
}

uint32_t ZUV_Cache::GetFolderHierarchy(const zuv::ConnectionContext* context, const std::string& storeEntryID,
                                       const std::string& folderEntryID, bool refresh) {
  // The session reads the hierarchy afresh on every call: there is no
  // kept list for refresh to drop.
  (void)refresh;
  if (!session_) return 1;
  std::shared_ptr<const ZUV_FolderList> list =
      session_->GetFolderHierarchy(storeEntryID.c_str(), folderEntryID.c_str());
  jsonifyFolderList(context, list.get());
  return 0;
}

void ZUV_Cache::jsonifyFolderList(const zuv::ConnectionContext* context,
                                  const std::vector<ZUV_FolderInfo_s>* list) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("ErrorNumber");
  writer.Int(list == nullptr ? 1 : 0);
  writer.Key("ErrorString");
  writer.String(list == nullptr ? "cannot get folder list" : "");
  if (list != nullptr) {
    writer.Key("DataType");
    writer.Int(501);
    writer.Key("ROWS");
    writer.StartArray();
    for (const ZUV_FolderInfo_s& folder : *list) {
      writer.StartObject();
      writer.Key("Name");
      writer.String(folder.name.data(), static_cast<rapidjson::SizeType>(folder.name.size()));
      writer.Key("EntryID");
      writer.String(folder.entryID.data(), static_cast<rapidjson::SizeType>(folder.entryID.size()));
      writer.Key("EntryCount");
      writer.Uint(folder.contentCount);
      writer.Key("ChildCount");
      writer.Uint(folder.childCount);
      writer.Key("Class");
      writer.String(folder.containerClass.data(), static_cast<rapidjson::SizeType>(folder.containerClass.size()));
      writer.EndObject();
    }
    writer.EndArray();
  }
  writer.EndObject();
  const std::string_view json(buffer.GetString(), buffer.GetSize());
  // The writer escapes every control character, so the text is log-safe.
  NLog_InfoA("ZUV", "%s:Data is %.*s", "ZUV_Cache::jsonifyFolderList", static_cast<int>(json.size()), json.data());
  zuv::SendResponse("ZUV_Cache::jsonifyFolderList", context, "", json, list == nullptr);
}

uint32_t ZUV_Cache::GetEntryIDForFolder(const zuv::ConnectionContext* context, const std::vector<std::string>& path,
                                        const std::string& storeEntryID, std::string* entryID,
                                        std::string* parentEntryID) {
  (void)context;  // lines begin with the instance name
  std::unique_ptr<CMAPIFolder> folder = session_->OpenFolderByPath(path, storeEntryID.c_str());
  if (!folder) {
    NLog_ErrorA("ZUV", "%s:Cannot Open folder %s", name_.c_str(),
                path.empty() ? "" : zuv::EscapeForLog(path.back()).c_str());
    return 1;
  }
  std::string id;
  (void)folder->GetEntryIDString(&id);
  *parentEntryID = ParentEntryID(folder.get());
  *entryID = id;
  NLog_InfoA("ZUV", "%s:EntryID for %s is %s", name_.c_str(), PathLogName(path).c_str(), id.c_str());
  return 0;
}

uint32_t ZUV_Cache::CreateFolder(const zuv::ConnectionContext* context, const std::string& name,
                                 const std::string& containerClass, const std::string& parentEntryID,
                                 const std::string& storeEntryID, std::string* entryID) {
  (void)context;
  std::unique_ptr<CMAPIFolder> parent =
      parentEntryID.empty() ? session_->OpenRootFolder(storeEntryID.c_str(), MAPI_MODIFY)
                            : session_->OpenFolderByEntryID(parentEntryID.c_str(), storeEntryID.c_str(), MAPI_MODIFY);
  if (!parent) return 1;
  std::unique_ptr<CMAPIFolder> folder = parent->CreateSubFolder(name.c_str(), containerClass.c_str());
  if (!folder || !folder->GetEntryIDString(entryID)) return 1;
  return 0;
}

uint32_t ZUV_Cache::GetFolderInfo(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                                  const std::string& storeEntryID, FolderDetails_s* values) {
  (void)context;
  const char* store = storeEntryID.c_str();
  std::unique_ptr<CMAPIFolder> folder = session_->OpenFolderByEntryID(folderEntryID.c_str(), store, 0);
  if (!folder) return 1;

  FolderDetails_s details;
  details.name = FolderName(folder.get());
  details.parentEntryID = ParentEntryID(folder.get());
  MapiBuffer<SPropValue> v;
  if (ReadFolderProp(folder.get(), PR_CONTENT_COUNT, &v)) details.messageCount = v->Value.l;
  if (ReadFolderProp(folder.get(), PR_LAST_MODIFICATION_TIME, &v)) {
    details.modificationTime =
        LongLocalDateTime(static_cast<uint64_t>(v->Value.ft.dwHighDateTime) << 32 | v->Value.ft.dwLowDateTime);
  }

  // The path: display names up the parent chain to the root, which is its
  // own parent and has no name of its own.
  std::vector<std::string> names;
  std::string id;
  (void)folder->GetEntryIDString(&id);
  std::string parent_id = details.parentEntryID;
  std::string name = details.name;
  for (int depth = 0; depth < kMaxPathDepth && !parent_id.empty() && parent_id != id; ++depth) {
    names.push_back(name);
    std::unique_ptr<CMAPIFolder> parent = session_->OpenFolderByEntryID(parent_id.c_str(), store, 0);
    if (!parent) return 1;
    id = parent_id;
    name = FolderName(parent.get());
    parent_id = ParentEntryID(parent.get());
  }
  details.path = "/";
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (it != names.rbegin()) details.path += '/';
    details.path += *it;
  }
  *values = std::move(details);
  return 0;
}
