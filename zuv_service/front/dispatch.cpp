// dispatch.cpp: the table from request code to handler.
#include "front/dispatch.h"

#include <array>

#include "base/process.h"
#include "handlers/handlers.h"

namespace zuv {
namespace {

struct Route {
  RequestCode code;
  RequestHandler handler;
};

// Codes answered by a handler. Codes absent here get no response.
constexpr Route kRoutes[] = {
    {RequestCode::kGetTable, ProcessGetTableRequest},
    {RequestCode::kClose, ProcessCloseRequest},
    {RequestCode::kClientPing, ProcessClientPingRequest},
    {RequestCode::kGetAttachment, ProcessGetAttachmentRequest},
    {RequestCode::kGetEntryID, ProcessGetEntryIDRequest},
    {RequestCode::kGetFolder, ProcessGetFolderRequest},
    {RequestCode::kGetFolderHierarchy, ProcessGetFolderHierarchyRequest},
    {RequestCode::kSetCustomProperties, ProcessSetCustomPropertiesRequest},
    {RequestCode::kSetTable, ProcessSetTableRequest},
    {RequestCode::kFolderEntryDelete, ProcessFolderEntryDeleteRequest},
    {RequestCode::kAttach, ProcessAttachRequest},
    {RequestCode::kSetAttachmentProperties, ProcessSetAttachmentPropertiesRequest},
    {RequestCode::kDeleteAttachment, ProcessDeleteAttachRequest},
    {RequestCode::kGetAttachmentFile, ProcessGetAttachFileRequest},
    {RequestCode::kGetAttachmentData, ProcessGetAttachDataRequest},
    {RequestCode::kAddContact, ProcessAddContactRequest},
    {RequestCode::kADResolveEmail, ProcessADResolveRequest},
    {RequestCode::kADResolveCN, ProcessADResolveRequest},
    {RequestCode::kMailBoxInfo, ProcessGetMailboxInfo},
    {RequestCode::kGetExchangeServers, ProcessGetExchangeServersRequest},
    {RequestCode::kGetMailboxes, ProcessGetMailboxesRequest},
    {RequestCode::kGetASDevices, ProcessGetASDevicesRequest},
    {RequestCode::kCreateMessage, ProcessCreateMessageRequest},
    {RequestCode::kAddMessageAttachment, ProcessAddMessageAttachmentRequest},
    {RequestCode::kDeleteMessageAttachment, ProcessDeleteMessageAttachmentRequest},
    {RequestCode::kSendMessage, ProcessSendMessageRequest},
    {RequestCode::kDeleteMessage, ProcessDeleteMessageRequest},
};

using HandlerTable = std::array<RequestHandler, kRequestCodeCount>;

constexpr HandlerTable MakeTable() {
  HandlerTable table{};
  for (const Route& r : kRoutes) table[static_cast<int>(r.code) - kFirstRequestCode] = r.handler;
  return table;
}

constexpr HandlerTable kHandlers = MakeTable();


}  // namespace

RequestHandler HandlerFor(RequestCode code) {
  const int c = static_cast<int>(code);
  return IsKnownRequestCode(c) ? kHandlers[c - kFirstRequestCode] : nullptr;
}

bool ProcessZUVRequest(RequestContext& ctx) {
  RequestHandler handler = HandlerFor(ctx.Code());
  if (handler == nullptr) return false;
  if (ctx.Code() != RequestCode::kGetASDevices) {
    handler(ctx);
    return true;
  }
  // The device listing runs inside a memory check of its own.
  const size_t checkpoint = HeapInUse();
  handler(ctx);
  CheckMemory(checkpoint, "ProcessZUVRequest", __LINE__);
  return true;
}

}  // namespace zuv
