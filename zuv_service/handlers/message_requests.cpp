// message_requests.cpp: handlers of composed messages: CreateMessage,
// AddMessageAttachment, DeleteMessageAttachment, SendMessage and
// DeleteMessage (discarding a draft).

#include <string>
#include <vector>

#include "base/logging.h"
#include "cache/zuv_cache.h"
#include "handlers/handlers.h"
#include "handlers/uploaded_file.h"
#include "handlers/request_reading.h"

namespace zuv {
namespace {


// The record of a CreateMessage request's Message object: the four
// backing-field keys whenever the object is there, the lists and flags only
// where present.
MessageRequest ReadMessageRequest(const rapidjson::Value& request) {
  MessageRequest message;
  auto it = request.FindMember("Message");
  if (it == request.MemberEnd() || !it->value.IsObject()) return message;
  const rapidjson::Value& m = it->value;
  message.subject = ReadStringKey(m, "<Subject>k__BackingField");
  message.body = ReadStringKey(m, "<Body>k__BackingField");
  message.readReceiptAddress = ReadStringKey(m, "<ReadReceiptEmail>k__BackingField");
  message.sensitivity = ReadIntKey(m, "<Sensitivity>k__BackingField");
  auto strings = [&m](const char* key, std::vector<std::string>* out) {
    const rapidjson::Value* list = FindArrayKey(m, key);
    if (list == nullptr) return;
    for (const auto& v : list->GetArray()) {
      if (v.IsString()) out->emplace_back(v.GetString(), v.GetStringLength());
    }
  };
  strings("ToList", &message.to);
  strings("CcList", &message.cc);
  strings("BccList", &message.bcc);
  message.saveToSent = ReadBoolKey(m, "SaveToSentItems");
  message.isHTML = ReadBoolKey(m, "IsHtml");
  return message;
}

}  // namespace

void ProcessCreateMessageRequest(RequestContext& ctx) {
  const char* operation = "ProcessCreateMessageRequest";
  const std::string clientId = ctx.String("ClientIdentifier");
  (void)clientId;  // read with the request's keys; the operation does not use it
  const MessageRequest message = ReadMessageRequest(ctx.Request());
  (void)ctx.ReadServerInfo();
  NLog_InfoA("ZUV", "For client %s, doing a CreateMessage operation: %zu To, %zu Cc, %zu Bcc recipients",
             ctx.ConnectionName(), message.to.size(), message.cc.size(), message.bcc.size());
  SessionHandle cache;
  std::string entryID;
  if (cache.Acquire(ctx) != 0 || cache->CreateMessage(ctx.Connection(), message, &entryID) != 0) {
    ctx.ReplyWithRows(operation, 1, "Cannot create message", "");
    return;
  }
  ctx.ReplyWithRows(operation, 0, "", entryID);
}

void ProcessAddMessageAttachmentRequest(RequestContext& ctx) {
  const char* operation = "ProcessAddMessageAttachmentRequest";
  const std::string entryID = ctx.EntryID("EntryID");
  const std::string clientId = ctx.String("ClientIdentifier");
  const std::string storeEntryID = ctx.String("StoreEntryID");
  const std::string attachmentName = ctx.String("AttachmentName");
  const std::string hash = ctx.String("UploadedAttachmentHash");
  (void)clientId;
  (void)storeEntryID;  // drafts live in the service mailbox
  (void)ctx.ReadServerInfo();
  NLog_InfoA("ZUV", "For client %s, doing an AddMessageAttachment operation on message %s: %s",
             ctx.ConnectionName(), EscapeForLog(ShortenID(entryID)).c_str(), EscapeForLog(attachmentName).c_str());
  int32_t flags = 0;
  std::string path;
  SessionHandle cache;
  if (UploadedFilePath(ctx.ConnectionName(), hash, &path) != 0 || cache.Acquire(ctx) != 0 ||
      cache->AddMessageAttachment(ctx.Connection(), attachmentName, entryID, path, &flags) != 0) {
    ctx.ReplyWithRows(operation, 1, "Cannot set attachment", std::to_string(flags));
    return;
  }
  ctx.ReplyWithRows(operation, 0, "", std::to_string(flags));
}

void ProcessDeleteMessageAttachmentRequest(RequestContext& ctx) {
  const char* operation = "ProcessDeleteMessageAttachmentRequest";
  const std::string clientId = ctx.String("ClientIdentifier");
  const int32_t attachNum = ctx.Number("AttachmentNum");
  (void)clientId;
  (void)ctx.ReadServerInfo();
  const std::string entryID = ctx.String("EntryID");
  NLog_InfoA("ZUV", "For client %s, doing a DeleteMessageAttachment operation on message %s: %d",
             ctx.ConnectionName(), EscapeForLog(ShortenID(entryID)).c_str(), attachNum);
  SessionHandle cache;
  const bool ok = cache.Acquire(ctx) == 0 && cache->DeleteMessageAttachment(ctx.Connection(), entryID, attachNum) == 0;
  ctx.ReplyError(operation, ok ? 0 : 1, ok ? "" : "Cannot send message");
}

void ProcessSendMessageRequest(RequestContext& ctx) {
  const char* operation = "ProcessSendMessageRequest";
  const std::string clientId = ctx.String("ClientIdentifier");
  (void)clientId;
  (void)ctx.ReadServerInfo();
  const std::string entryID = ctx.EntryID("EntryID");
  NLog_InfoA("ZUV", "For client %s, doing a SendMessage operation on message %s", ctx.ConnectionName(),
             EscapeForLog(ShortenID(entryID)).c_str());
  SessionHandle cache;
  const bool ok = cache.Acquire(ctx) == 0 && cache->SendMessage(ctx.Connection(), entryID) == 0;
  ctx.ReplyError(operation, ok ? 0 : 1, ok ? "" : "Cannot send message");
}

void ProcessDeleteMessageRequest(RequestContext& ctx) {
  const char* operation = "ProcessDeleteMessageRequest";
  const std::string clientId = ctx.String("ClientIdentifier");
  (void)clientId;
  (void)ctx.ReadServerInfo();
  const std::string entryID = ctx.String("EntryID");
  NLog_InfoA("ZUV", "For client %s, doing a DeleteMessage operation on message %s", ctx.ConnectionName(),
             EscapeForLog(ShortenID(entryID)).c_str());
  SessionHandle cache;
  const bool ok = cache.Acquire(ctx) == 0 && cache->DiscardMessage(ctx.Connection(), entryID) == 0;
  ctx.ReplyError(operation, ok ? 0 : 1, ok ? "" : "Cannot send message");
}

}  // namespace zuv
