// folder_requests.cpp: handlers of the folder requests: folder paths to
// entry IDs, folder details and creation, the folder hierarchy, custom
// property registration and the attachment lookup.
#include <string>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/logging.h"
#include "base/process.h"
#include "cache/zuv_cache.h"
#include "handlers/handlers.h"
#include "handlers/request_reading.h"

namespace zuv {
namespace {

constexpr int kFolderInfoRequest = 1;
constexpr int kCreateFolderRequest = 2;

void WriteString(rapidjson::Writer<rapidjson::StringBuffer>& writer, const std::string& text) {
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

// {"ErrorNumber", "ErrorString", "ROWS": {the folder's details}}; the same
// shape, with empty details, on failure.
std::string FolderInfoJson(int errorNumber, const char* errorString, const ZUV_Cache::FolderDetails_s& info) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("ErrorNumber");
  writer.Int(errorNumber);
  writer.Key("ErrorString");
  writer.String(errorString);
  writer.Key("ROWS");
  writer.StartObject();
  writer.Key("name");
  WriteString(writer, info.name);
  writer.Key("ParentEntryID");
  WriteString(writer, info.parentEntryID);
  writer.Key("MessageCount");
  writer.Int(info.messageCount);
  writer.Key("ModificationTime");
  WriteString(writer, info.modificationTime);
  writer.Key("Path");
  WriteString(writer, info.path);
  writer.Key("PublicOrNot");
  writer.Bool(true);
  writer.EndObject();
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

void ProcessGetEntryIDRequest(RequestContext& ctx) {
  const char* operation = "ProcessGetEntryIDRequest";
  const std::vector<std::string> path = ctx.StringArray("FolderHierarchy");
  const std::string store = ctx.String("StoreEntryID");
  (void)ctx.ReadServerInfo();
  NLog_InfoA("ZUV", "%s:%s:GetEntryIDForFolder request for folder %s storeEntryID:%s", ctx.ConnectionName(),
             ctx.Mailbox(), path.empty() ? "ROOT" : EscapeForLog(path.back()).c_str(), EscapeForLog(store).c_str());

  std::string entry_id;
  std::string parent_id;
  uint32_t result = 1;
  const size_t checkpoint = HeapInUse();
  {
    SessionHandle session;
    if (session.Acquire(ctx) != 0) {
      const ServerInfo& server = ctx.Server();
      NLog_ErrorA("ZUV", "%s:%s: Cannot get ZUV_Cache instance for (%s, %s, %s, %s)", ctx.ConnectionName(),
                  ctx.Mailbox(), EscapeForLog(server.server).c_str(), ctx.Mailbox(),
                  EscapeForLog(server.store_dn).c_str(), EscapeForLog(server.user_dn).c_str());
    } else {
      result = session->GetEntryIDForFolder(ctx.Connection(), path, ctx.StoreKey(store), &entry_id, &parent_id);
    }
  }
  CheckMemory(checkpoint, operation, __LINE__);
  if (result != 0) entry_id.clear();
  ctx.ReplyWithRows(operation, result == 0 ? 0 : 1, result == 0 ? "" : "Cannot get EntryID for folder", entry_id);
}

void ProcessGetFolderRequest(RequestContext& ctx) {
  const char* operation = "ProcessGetFolderRequest";
  const std::string entry_id = ctx.EntryID("EntryID");
  const std::string store = ctx.String("StoreEntryID");
  const std::string name = ctx.String("Name");
  const std::string folder_class = ctx.String("FolderClass");
  const int32_t folder_request = ctx.Number("FolderRequest");
  (void)ctx.ReadServerInfo();
  SessionHandle session;
  const bool have_session = session.Acquire(ctx) == 0;
  if (!have_session) NLog_ErrorA("ZUV", "%s:%s: Cannot get ZUV_Cache", ctx.ConnectionName(), ctx.Mailbox());

  if (folder_request == kFolderInfoRequest) {
    ZUV_Cache::FolderDetails_s info;
    const bool ok = have_session && session->GetFolderInfo(ctx.Connection(), entry_id, ctx.StoreKey(store), &info) == 0;
    if (!ok) info = ZUV_Cache::FolderDetails_s{};
    ctx.Reply(operation, FolderInfoJson(ok ? 0 : 1, ok ? "" : "Cannot get Folder info for entryID", info), !ok);
  } else if (folder_request == kCreateFolderRequest) {
    std::string new_id;
    const bool ok =
        have_session && session->CreateFolder(ctx.Connection(), name, folder_class, entry_id, ctx.StoreKey(store), &new_id) == 0;
    if (!ok) new_id.clear();
    ctx.ReplyWithRows(operation, ok ? 0 : 1, ok ? "" : "Cannot create folder", new_id);
  }
  // Any other FolderRequest gets no response.
}

void ProcessGetFolderHierarchyRequest(RequestContext& ctx) {
  const char* operation = "ProcessGetFolderHierarchyRequest";
  const std::string store = ctx.String("StoreEntryID");
  const std::string folder = ctx.EntryID("EntryID");
  const bool refresh = ctx.Boolean("RefreshCache");
  (void)ctx.ReadServerInfo();
  SessionHandle session;
  if (session.Acquire(ctx) != 0) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot get ZUV_Cache", ctx.ConnectionName(), ctx.Mailbox());
    ctx.ReplyError(operation, 1, "Cannot get ZUV_Cache");
    return;
  }
  // The operation sends the folder list (or its failure) itself.
  if (session->GetFolderHierarchy(ctx.Connection(), ctx.StoreKey(store), folder, refresh) != 0) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot get ZUV_Cache", ctx.ConnectionName(), ctx.Mailbox());
    ctx.ReplyError(operation, 1, "Cannot get folder hierarchy");
  }
}

void ProcessSetCustomPropertiesRequest(RequestContext& ctx) {
  const char* operation = "ProcessSetCustomPropertiesRequest";
  const std::string folder = ctx.EntryID("EntryID");
  const std::vector<custom_property> properties = ReadPropertyList(ctx.Request());
  const bool create = ctx.Boolean("CreateIfNotExists");
  const std::string store = ctx.String("StoreEntryID");
  (void)ctx.ReadServerInfo();
  NLog_InfoA("ZUV", "%s:%s:Doing a SetCustomProperties operation on folder %s:%s", ctx.ConnectionName(),
             ctx.Mailbox(), EscapeForLog(ShortenID(store)).c_str(), EscapeForLog(ShortenID(folder)).c_str());
  SessionHandle session;
  if (session.Acquire(ctx) != 0) {
    NLog_ErrorA("ZUV", "For Client %s, cannot get a ZUV_Cache instance", ctx.ConnectionName());
    ctx.ReplyError(operation, 1, "Cannot get a cache instance");
    return;
  }
  std::string error_text;
  const bool ok = session->SetCustomProperties(ctx.Connection(), folder, ctx.StoreKey(store), properties, &error_text, create) == 0;
  ctx.Reply(operation, ResultJson(ok ? 0 : 1, ok ? "" : error_text.c_str(), nullptr), !ok);
}

void ProcessGetAttachmentRequest(RequestContext& ctx) {
  // The lookup this request stands for (Data1 as a display name, Data2) was
  // never settled: the folder is resolved and the request ends there,
  // without a response.
  const std::vector<std::string> path = {"TovanixQRP"};
  const std::string store = ctx.String("StoreEntryID");
  (void)ctx.ReadServerInfo();
  SessionHandle session;
  if (session.Acquire(ctx) != 0) return;
  std::string entry_id;
  std::string parent_id;
  (void)session->GetEntryIDForFolder(ctx.Connection(), path, ctx.StoreKey(store), &entry_id, &parent_id);
}

}  // namespace zuv
