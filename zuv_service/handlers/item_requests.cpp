// item_requests.cpp: handlers of the item writes: properties written on a
// new or existing item (SetTable) and item deletion (1025).
#include <string>
#include <vector>

#include "base/logging.h"
#include "cache/zuv_cache.h"
#include "handlers/handlers.h"
#include "handlers/request_reading.h"

namespace zuv {

void ProcessSetTableRequest(RequestContext& ctx) {
  const char* operation = "ProcessSetTableRequest";
  const std::string passedEntryID = ctx.EntryID("EntryID");
  const std::vector<set_data_element> elements = ReadSetData(ctx.Request(), kItemWriteKinds);
  const std::string folderEntryID = ctx.EntryID("FolderEntryID");
  const std::string storeEntryID = ctx.String("StoreEntryID");
  (void)ctx.ReadServerInfo();
  NLog_InfoA("ZUV", "%s:%s:SetTable called for folder %s", ctx.ConnectionName(), ctx.Mailbox(),
             EscapeForLog(ShortenID(folderEntryID)).c_str());

  SessionHandle cache;
  if (cache.Acquire(ctx) != 0) {
    NLog_ErrorA("ZUV", "%s:%s: cannot get ZUV_Cache", ctx.ConnectionName(), ctx.Mailbox());
    ctx.ReplyWithRows(operation, 1, "Cannot set data", passedEntryID);
    return;
  }
  std::string rowEntryID = passedEntryID;
  if (cache->SetData(ctx.Connection(), folderEntryID, ctx.StoreKey(storeEntryID), elements, &rowEntryID) != 0) {
    NLog_ErrorA("ZUV", "%s:%s:SetTable Failed:", ctx.ConnectionName(), ctx.Mailbox());
    ctx.ReplyWithRows(operation, 1, "Cannot set data", passedEntryID);
    return;
  }
  NLog_InfoA("ZUV", "%s:%s:SetTable successful. EntryID:%s", ctx.ConnectionName(), ctx.Mailbox(),
             EscapeForLog(rowEntryID).c_str());
  ctx.ReplyWithRows(operation, 0, "", rowEntryID);
}

void ProcessFolderEntryDeleteRequest(RequestContext& ctx) {
  const char* operation = "ProcessFolderEntryDeleteRequest";
  const std::string itemEntryID = ctx.EntryID("EntryID");
  const std::string clientId = ctx.String("ClientIdentifier");
  const std::string folderEntryID = ctx.EntryID("FolderEntryID");
  (void)ctx.ReadServerInfo();
  const std::string storeEntryID = ctx.String("StoreEntryID");
  NLog_InfoA("ZUV", "For Client %s, doing a DeleteFolderEntry operation on folder %s: %s", ctx.ConnectionName(),
             EscapeForLog(ShortenID(folderEntryID)).c_str(), EscapeForLog(itemEntryID).c_str());
  (void)clientId;  // read with the request's keys; the operation does not use it

  SessionHandle cache;
  if (cache.Acquire(ctx) != 0) {
    NLog_ErrorA("ZUV", "For Client %s, cannot get a ZUV_Cache instance", ctx.ConnectionName());
    ctx.ReplyError(operation, 1, "");
    return;
  }
  const uint32_t result = cache->DeleteEntry(ctx.Connection(), folderEntryID, ctx.StoreKey(storeEntryID), itemEntryID);
  ctx.ReplyError(operation, result == 0 ? 0 : 1, "");
}

}  // namespace zuv
