// attachment_requests.cpp: handlers of the attachments of items: attaching
// an uploaded file, setting attachment properties, deleting an attachment,
// sending an attachment's bytes on the connection, and the attachment rows
// of an item.

#include <string>
#include <vector>

#include "base/logging.h"
#include "cache/zuv_cache.h"
#include "handlers/handlers.h"
#include "handlers/request_reading.h"
#include "handlers/uploaded_file.h"

namespace zuv {
namespace {

// The cache for one of these handlers; false, logged, when it cannot be had.
bool AcquireCache(RequestContext& ctx, SessionHandle* cache) {
  if (cache->Acquire(ctx) == 0) return true;
  NLog_ErrorA("ZUV", "For Client %s, cannot get ZUV_Cache", ctx.ConnectionName());
  return false;
}

}  // namespace

void ProcessAttachRequest(RequestContext& ctx) {
  const char* operation = "ProcessAttachRequest";
  const std::string itemEntryID = ctx.EntryID("EntryID");
  const std::string clientId = ctx.String("ClientIdentifier");
  const std::string storeEntryID = ctx.String("StoreEntryID");
  const std::string attachmentName = ctx.String("AttachmentName");
  const std::string folderEntryID = ctx.EntryID("FolderEntryID");
  const std::string uploadName = ctx.String("UploadedAttachmentHash");
  const std::vector<set_data_element> elements = ReadSetData(ctx.Request(), kAttachmentKinds);
  (void)ctx.ReadServerInfo();
  (void)clientId;  // read with the request's keys; the operation does not use it
  NLog_InfoA("ZUV", "For Client %s, doing an Attach operation on folder %s: %s", ctx.ConnectionName(),
             EscapeForLog(ShortenID(folderEntryID)).c_str(),
             itemEntryID.empty() ? "NEW ITEM" : EscapeForLog(itemEntryID).c_str());

  ULONG attachNum = 0;
  uint32_t result = 1;
  SessionHandle cache;
  std::string path;
  if (AcquireCache(ctx, &cache) && UploadedFilePath(ctx.ConnectionName(), uploadName, &path) == 0) {
    result = cache->AttachFile(ctx.Connection(), folderEntryID, ctx.StoreKey(storeEntryID), itemEntryID, path, attachmentName,
                               elements, &attachNum);
  }
  if (result == 0) {
    NLog_InfoA("ZUV", "For Client %s, Attach successful: attachment %lu", ctx.ConnectionName(),
               static_cast<unsigned long>(attachNum));
  }
  ctx.Reply(operation, ResultJsonNumberRows(result == 0 ? 0 : 1, result == 0 ? "" : "Cannot set attachment", attachNum),
            result != 0);
}

void ProcessSetAttachmentPropertiesRequest(RequestContext& ctx) {
  const char* operation = "ProcessSetAttachmentPropertiesRequest";
  const std::string itemEntryID = ctx.EntryID("EntryID");
  const std::string clientId = ctx.String("ClientIdentifier");
  const std::string storeEntryID = ctx.String("StoreEntryID");
  const ULONG attachNum = static_cast<ULONG>(ctx.Number("AttachmentNum"));
  const std::string folderEntryID = ctx.EntryID("FolderEntryID");
  const std::vector<set_data_element> elements = ReadSetData(ctx.Request(), kAttachmentKinds);
  (void)ctx.ReadServerInfo();
  (void)clientId;
  NLog_InfoA("ZUV", "For Client %s, doing a SetAttachmentProperties operation on folder %s: %lu",
             ctx.ConnectionName(), EscapeForLog(ShortenID(folderEntryID)).c_str(),
             static_cast<unsigned long>(attachNum));

  uint32_t result = 1;
  SessionHandle cache;
  if (AcquireCache(ctx, &cache)) {
    result = cache->SetAttachmentProperties(ctx.Connection(), folderEntryID, ctx.StoreKey(storeEntryID), itemEntryID, attachNum,
                                            elements);
  }
  ctx.ReplyError(operation, result == 0 ? 0 : 1, result == 0 ? "" : "Cannot set attachment properties");
}

void ProcessDeleteAttachRequest(RequestContext& ctx) {
  const char* operation = "ProcessDeleteAttachRequest";
  const std::string itemEntryID = ctx.EntryID("EntryID");
  const std::string clientId = ctx.String("ClientIdentifier");
  const std::string folderEntryID = ctx.EntryID("FolderEntryID");
  const ULONG attachNum = static_cast<ULONG>(ctx.Number("AttachmentNum"));
  const std::string storeEntryID = ctx.String("StoreEntryID");
  (void)ctx.ReadServerInfo();
  (void)clientId;
  NLog_InfoA("ZUV", "For Client %s, doing a DeleteAttachFile operation on folder %s: %d", ctx.ConnectionName(),
             EscapeForLog(ShortenID(folderEntryID)).c_str(), static_cast<int>(attachNum));

  uint32_t result = 1;
  SessionHandle cache;
  if (AcquireCache(ctx, &cache)) {
    result = cache->DeleteAttachment(ctx.Connection(), folderEntryID, ctx.StoreKey(storeEntryID), itemEntryID, attachNum);
  }
  ctx.ReplyError(operation, result == 0 ? 0 : 1, "");
}

void ProcessGetAttachFileRequest(RequestContext& ctx) {
  const char* operation = "ProcessGetAttachFileRequest";
  const std::string itemEntryID = ctx.EntryID("EntryID");
  const std::string clientId = ctx.String("ClientIdentifier");
  const std::string folderEntryID = ctx.EntryID("FolderEntryID");
  const ULONG attachNum = static_cast<ULONG>(ctx.Number("AttachmentNum"));
  const std::string storeEntryID = ctx.String("StoreEntryID");
  (void)ctx.ReadServerInfo();
  (void)clientId;
  // The bytes go back on this connection; it is the destination.
  NLog_InfoA("ZUV", "For Client %s, doing a GetAttachFile operation on folder %s to %s", ctx.ConnectionName(),
             EscapeForLog(ShortenID(folderEntryID)).c_str(), ctx.ConnectionName());

  SessionHandle cache;
  if (!AcquireCache(ctx, &cache)) {
    ctx.ReplyNumber(operation, 1);
    return;
  }
  // Sent: the bytes were the answer. Broken: the connection is shut down.
  if (cache->GetAttachment(ctx.Connection(), folderEntryID, ctx.StoreKey(storeEntryID), itemEntryID, attachNum) ==
      ZUV_Cache::AttachmentDelivery::kNotSent) {
    ctx.ReplyNumber(operation, 1);
  }
}

void ProcessGetAttachDataRequest(RequestContext& ctx) {
  const std::string itemEntryID = ctx.EntryID("EntryID");
  ZUV_Cache::TableRequest_s request;
  request.cacheData = 0;
  request.clientIdentifier = ctx.String("ClientIdentifier");
  const std::string folderEntryID = ctx.EntryID("FolderEntryID");
  const std::vector<std::string> columns = ctx.StringArray("ColumnList");
  const std::string storeEntryID = ctx.String("StoreEntryID");
  (void)ctx.ReadServerInfo();
  NLog_InfoA("ZUV", "For Client %s, doing a GetAttachData operation on folder %s", ctx.ConnectionName(),
             EscapeForLog(ShortenID(folderEntryID)).c_str());

  SessionHandle cache;
  if (!AcquireCache(ctx, &cache)) {
    ctx.ReplyError("ProcessGetAttachDataRequest", 1, "Cannot create ZUV_Cache instance");
    return;
  }
  // The rows, or the failure envelope, are sent by the operation.
  (void)cache->GetAttachData(ctx.Connection(), itemEntryID, folderEntryID, ctx.StoreKey(storeEntryID), columns, request);
}

}  // namespace zuv
