// contact_requests.cpp: handler of contact creation (AddContact).
#include <string>

#include "base/logging.h"
#include "cache/zuv_cache.h"
#include "handlers/handlers.h"

namespace zuv {

void ProcessAddContactRequest(RequestContext& ctx) {
  const char* operation = "ProcessAddContactRequest";
  const std::string clientId = ctx.String("ClientIdentifier");
  ZUV_Cache::ContactRequest_s contact;
  contact.fileAs = ctx.String("FileAs");
  contact.displayName = ctx.String("DisplayName");
  contact.givenName = ctx.String("GivenName");
  contact.surName = ctx.String("SurName");
  contact.middleName = ctx.String("MiddleName");
  contact.businessUrl = ctx.String("BusinessUrl");
  contact.notes = ctx.String("Notes");
  const std::string folderEntryID = ctx.EntryID("EntryID");
  const std::string storeEntryID = ctx.String("StoreEntryID");
  (void)ctx.ReadServerInfo();
  (void)clientId;  // read with the request's keys; the operation does not use it

  SessionHandle cache;
  if (cache.Acquire(ctx) != 0) {
    NLog_ErrorA("ZUV", "For client %s, cannot get ZUV_Cache", ctx.ConnectionName());
    ctx.ReplyWithRows(operation, 1, "Cannot add contact", "");
    return;
  }
  std::string entryID;
  if (cache->AddContact(ctx.Connection(), ctx.Server(), contact, folderEntryID, ctx.StoreKey(storeEntryID), &entryID) != 0) {
    NLog_ErrorA("ZUV", "For client %s, AddContact Failed:", ctx.ConnectionName());
    ctx.ReplyWithRows(operation, 1, "Cannot add contact", "");
    return;
  }
  NLog_InfoA("ZUV", "For client %s, AddContact successful. EntryID:%s", ctx.ConnectionName(), entryID.c_str());
  ctx.ReplyWithRows(operation, 0, "", entryID);
}

}  // namespace zuv
