// table_requests.cpp: handlers of the folder reads and client pings.
#include <string>
#include <vector>

#include "base/logging.h"
#include "cache/zuv_cache.h"
#include "client/zuv_client.h"
#include "handlers/handlers.h"
#include "handlers/request_reading.h"

namespace zuv {

void ProcessGetTableRequest(RequestContext& ctx) {
  const std::string folderEntryID = ctx.EntryID("EntryID");
  ZUV_Cache::TableRequest_s request;
  request.clientIdentifier = ctx.String("ClientIdentifier");
  const std::vector<std::string> columns = ctx.StringArray("ColumnList");
  std::vector<search_criteria_element> criteria = ReadSearchCriteria(ctx.Request(), kTableReadKinds);
  (void)ctx.ReadServerInfo();
  request.cacheData = ctx.Boolean("CacheData") ? 1 : 0;
  request.notificationURL = ctx.String("NotificationURL");
  request.identifier = ctx.String("identifier");
  const std::string storeEntryID = ctx.String("StoreEntryID");
  const int32_t startIndex = ctx.Number("startIndex");
  const int32_t numEntries = ctx.Number("numEntries");

  NLog_InfoA("ZUV", "%s:%s:Doing a GetTable operation on folder %s", ctx.ConnectionName(), ctx.Mailbox(),
             EscapeForLog(ShortenID(folderEntryID)).c_str());
  SessionHandle cache;
  if (cache.Acquire(ctx) != 0) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot get a ZUV_Cache instance", ctx.ConnectionName(), ctx.Mailbox());
    ctx.ReplyError("ProcessGetTableRequest", 1, "Cannot create ZUV_Cache instance");
    return;
  }
  NLog_WarnA("ZUV", "%s:%s: Forcing cacheData as true", ctx.ConnectionName(), ctx.Mailbox());
  request.cacheData = 1;
  std::string errorText;
  if (cache->GetTable(ctx.Connection(), folderEntryID, ctx.StoreKey(storeEntryID), columns, &criteria, request, startIndex,
                      numEntries, &errorText) != 0) {
    NLog_ErrorA("ZUV", "%s:%s:Error:%s", ctx.ConnectionName(), ctx.Mailbox(), EscapeForLog(errorText).c_str());
    ctx.ReplyError("ProcessGetTableRequest", 1, errorText.c_str());
  }
}

void ProcessClientPingRequest(RequestContext& ctx) {
  const std::string clientId = ctx.String("ClientIdentifier");
  ctx.ReplyNumber("ProcessClientPingRequest", ZUV_Client::Ping(clientId));
}

}  // namespace zuv
