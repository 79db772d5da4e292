// dispatch.h: the request dispatcher of the JSON ports.
#pragma once

#include "handlers/request_context.h"

namespace zuv {

// The handler of code; null for codes the service does not answer.
RequestHandler HandlerFor(RequestCode code);

// Calls the handler of ctx's code; codes without one do nothing (no
// response; the connection waits for the next request). Returns whether a
// handler ran.
bool ProcessZUVRequest(RequestContext& ctx);

}  // namespace zuv
