// handlers.h: the request handlers of the JSON ports, by topic.
//
// Each handler runs on its connection thread with the request's context,
// reads its own keys and sends exactly one response frame (or none where
// its request gets no answer).
#pragma once

#include "handlers/request_context.h"

namespace zuv {

// ---- Session requests (session_requests.cpp)

// Close (1009): forgets the client's table reads and answers
// {"ErrorNumber": 0}; the connection loop then ends the connection.
void ProcessCloseRequest(RequestContext& ctx);

}  // namespace zuv
