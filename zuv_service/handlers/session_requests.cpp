// session_requests.cpp: handlers of the session requests.
#include "handlers/handlers.h"

namespace zuv {

void ProcessCloseRequest(RequestContext& ctx) {
  // The client registry is not built yet, so a connection has no records to
  // remove; the answer is the same either way.
  ctx.ReplyNumber("ProcessCloseRequest", 0);
}

}  // namespace zuv
