// connection.cpp: request frames and the connection loop of the JSON ports.
//
// Frame in:  decimal byte count, then exactly that many bytes of JSON text.
// Frame out: 10-byte header ("%d" of the JSON length, NUL, filler), then JSON.
// Requests on one connection are strictly sequential: the client sends the
// next one only after reading the response.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <rapidjson/document.h>

#include "base/logging.h"
#include "base/process.h"
#include "base/request_codes.h"
#include "base/settings.h"
#include "front/dispatch.h"
#include "front/front.h"
#include "front/limits.h"
#include "front/request_parse.h"
#include "handlers/request_reading.h"
#include "mapi_access/mapiexmod.h"

namespace zuv {
namespace {

// Bytes of the first read of a request: enough for the count and the start
// of the JSON text.
constexpr size_t kFirstReadBytes = 15;


// Receives until len bytes are held, the peer stops or the deadline passes;
// returns the count held and the last recv() result (or kTimedOut) in *last.
size_t RecvUntil(int socket, char* buf, size_t len, const Deadline& deadline, ssize_t* last) {
  size_t held = 0;
  *last = 0;
  while (held < len) {
    const ssize_t n = RecvBefore(socket, buf + held, len - held, deadline);
    *last = n;
    if (n <= 0) break;
    held += static_cast<size_t>(n);
  }
  return held;
}

}  // namespace


uint32_t ParseFrameStart(const char* data, size_t len, FrameStart* out, std::string* err) {
  // Like strchr on the NUL-terminated segment: a '{' after a NUL is not seen.
  size_t text_len = strnlen(data, len);
  const char* brace = static_cast<const char*>(std::memchr(data, '{', text_len));
  size_t count_len = brace != nullptr ? static_cast<size_t>(brace - data) : text_len;

  // The count reads like %d: optional white space, optional sign, digits.
  size_t i = 0;
  while (i < count_len && (data[i] == ' ' || (data[i] >= '\t' && data[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < count_len && (data[i] == '+' || data[i] == '-')) negative = data[i++] == '-';
  size_t digits_start = i;
  int64_t count = 0;
  while (i < count_len && data[i] >= '0' && data[i] <= '9') {
    if (count <= kMaxRequestBytes) count = count * 10 + (data[i] - '0');
    ++i;
  }
  if (i == digits_start) {
    *err = "request frame without a byte count";
    return 1;
  }
  if (negative) count = -count;
  out->count = count;
  out->json_offset = brace != nullptr ? static_cast<size_t>(brace - data) : len;
  out->json_bytes = brace != nullptr ? len - out->json_offset : 0;
  if (count <= 0) {
    *err = "request frame with a byte count that is not positive";
    return 1;
  }
  if (count > kMaxRequestBytes) {
    *err = "request frame of more than " + std::to_string(kMaxRequestBytes) + " bytes";
    return 1;
  }
  if (static_cast<size_t>(count) < out->json_bytes) {
    *err = "request frame whose byte count " + std::to_string(count) +
           " is smaller than the JSON bytes already received";
    return 1;
  }
  return 0;
}


int ClientThread(ConnectionContext* raw_conn) {
  std::unique_ptr<ConnectionContext> conn(raw_conn);
  const char* name = conn->name;
  const FrontLimits& limits = Limits();
  NLog_InfoA("ZUV", "%s:Client thread started", name);

  bool stop = false;
  while (!stop) {
    size_t checkpoint = HeapInUse();
    NLog_InfoA("ZUV", "%s:Waiting for client request ....", name);
    CMapiExMod::LogDiagnostics();  // "Good:%d, Bad:%d"

    char first[kFirstReadBytes + 1];
    ssize_t got = RecvBefore(conn->socket, first, kFirstReadBytes,
                             Deadline::After(limits.idle_timeout_seconds));
    if (got == kTimedOut) {
      NLog_InfoA("ZUV", "%s:Closing the connection: no request for %u seconds (IdleTimeoutSeconds)",
                 name, limits.idle_timeout_seconds);
      break;
    }
    if (got <= 0) break;
    first[got] = '\0';
    // From the first byte on, the whole frame must arrive in time.
    const Deadline frame_deadline = Deadline::After(limits.frame_timeout_seconds);

    FrameStart frame;
    std::string err;
    if (ParseFrameStart(first, static_cast<size_t>(got), &frame, &err) != 0) {
      NLog_ErrorA("ZUV", "%s:Closing the connection: %s", name, err.c_str());
      break;
    }
    // The body and its parse tree are charged to the request memory budget
    // before they exist; the reservation ends with the request.
    size_t count = static_cast<size_t>(frame.count);
    MemoryReservation memory;
    if (!memory.Reserve(count + 1)) {
      NLog_ErrorA("ZUV",
                  "%s:Closing the connection: a request of %zu bytes does not fit in "
                  "MaxRequestMemoryMB (%u MB, %zu bytes in use)",
                  name, count, limits.max_request_memory_mb, RequestMemoryInUse());
      break;
    }
    // The body lives for this request only, so the memory check sees what
    // the handler left behind.
    std::unique_ptr<char[]> body(new (std::nothrow) char[count + 1]);
    if (body == nullptr) {
      NLog_ErrorA("ZUV", "%s:Closing the connection: no memory for %zu bytes", name, count);
      break;
    }
    std::memcpy(body.get(), first + frame.json_offset, frame.json_bytes);
    ssize_t last = got;
    size_t held = frame.json_bytes;
    if (held < count) {
      held += RecvUntil(conn->socket, body.get() + held, count - held, frame_deadline, &last);
      if (last == kTimedOut) {
        NLog_ErrorA("ZUV",
                    "%s:Closing the connection: %zu of %zu request bytes arrived within %u "
                    "seconds (FrameTimeoutSeconds)",
                    name, held, count, limits.frame_timeout_seconds);
        break;
      }
    }
    body[held] = '\0';
    const char* text = body.get();
    const std::string_view text_view(text, held);
    if (LogEnabled("ZUV", LogLevel::Trace)) {
      NLog_TraceA("ZUV", "%s:Request Buffer (%d):%s", name, static_cast<int>(last),
                  EscapeForLog(text_view, kLoggedRequestBytes).c_str());
    }

    RequestScan scan;
    if (ScanRequestText(text, held, &scan, &err) != 0) {
      NLog_ErrorA("ZUV", "%s:Closing the connection: %s", name, err.c_str());
      break;
    }
    if (!memory.Reserve(scan.tree_bytes)) {
      NLog_ErrorA("ZUV",
                  "%s:Closing the connection: parsing a request of %zu bytes (%zu values) does "
                  "not fit in MaxRequestMemoryMB (%u MB, %zu bytes in use)",
                  name, count, scan.values, limits.max_request_memory_mb, RequestMemoryInUse());
      break;
    }

    // An early end of stream leaves a short text, which normally fails to
    // parse and is rejected below.
    rapidjson::Document request;
    const bool parsed = ParseRequestText(text, held, &request);
    const RequestEnvelope envelope = parsed ? ReadEnvelope(request) : RequestEnvelope{};
    const int version = envelope.version;
    const int code = envelope.code;

    if (version != kProtocolVersion) {
      NLog_ErrorA("ZUV", "%s:Rejecting a request %s with protocol version %d to %d", name,
                  RequestName(code), version, kProtocolVersion);
      NLog_ErrorA("ZUV", "%s:Buffer:%s", name, EscapeForLog(text_view, kLoggedRequestBytes).c_str());
      break;
    }
    NLog_InfoA("ZUV", "%s:Got a ZUV_Request %s (Proto %d-->%d)", name, RequestName(code),
               version, kProtocolVersion);

    ServerInfo server_info;
    server_info.mailbox = ReadStringKey(request, "Mailbox");
    server_info.server = ReadStringKey(request, "ServerName");
    NLog_InfoA("TLOG", "%s:%s:START %s", name, EscapeForLog(server_info.mailbox).c_str(),
               RequestName(code));
    if (LogEnabled("DETAILTLOG", LogLevel::Info)) {
      NLog_InfoA("DETAILTLOG", "%s", EscapeForLog(text_view, kLoggedRequestBytes).c_str());
    }

    {
      RequestContext ctx(conn.get(), request, static_cast<RequestCode>(code),
                         std::move(server_info));
      ProcessZUVRequest(ctx);
    }

    if (code == static_cast<int>(RequestCode::kClose)) {
      NLog_InfoA("ZUV", "%s: Got a CLOSE request", name);
      stop = true;
    }
    request = rapidjson::Document();
    body.reset();
    memory.Release();
    CheckMemory(checkpoint, "ZUVReqThread", __LINE__);
  }
  ::close(conn->socket);
  return 0;
}

}  // namespace zuv
