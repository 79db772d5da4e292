// zuv_handlers.h: the request handlers of the JSON ports.
//
// Each handler runs on its connection thread, reads its own keys from the
// request object and sends exactly one response frame (or none where its
// request gets no answer). session is always null on the connection path:
// handlers obtain the shared mailbox cache themselves. code is the request
// code, which the handlers serving several codes use.
#pragma once

#include <rapidjson/document.h>

class ZUV_Cache;

namespace zuv {

struct ConnectionContext;

using RequestHandler = void (*)(ZUV_Cache* session, ConnectionContext* conn,
                                const rapidjson::Value& request, int code);

// Close (1009): forgets the client's table reads and answers {"ErrorNumber": 0};
// the connection loop then ends the connection.
void ProcessCloseRequest(ZUV_Cache* session, ConnectionContext* conn,
                         const rapidjson::Value& request, int code);

}  // namespace zuv
