// session_requests.cpp: handlers of the session requests.
#include <string>

#include "client/zuv_client.h"
#include "handlers/handlers.h"

namespace zuv {

void ProcessCloseRequest(RequestContext& ctx) {
  const std::string clientId = ctx.String("ClientIdentifier");
  const std::string folderEntryID = ctx.EntryID("EntryID");
  ZUV_Client::DeleteClient(clientId, folderEntryID);
  ctx.ReplyNumber("ProcessCloseRequest", 0);
}

}  // namespace zuv
