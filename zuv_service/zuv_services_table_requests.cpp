// zuv_services_table_requests.cpp: handlers of the folder and session requests.
#include "logging.h"
#include "zuv_handlers.h"
#include "zuv_services.h"

namespace zuv {

void ProcessCloseRequest(ZUV_Cache* session, ConnectionContext* conn,
                         const rapidjson::Value& request, int code) {
  // TODO: remove the client's records (ClientIdentifier, EntryID) from the
  // client registry once it exists; until then a connection has none.
  std::string mailbox = ReadStringKey(request, "Mailbox");
  SendResponse("ProcessCloseRequest", conn, mailbox.c_str(), "{\"ErrorNumber\":0}", false);
}

}  // namespace zuv
