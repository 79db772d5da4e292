// connection.cpp: request frames and the connection loop of the JSON ports.
//
// Frame in:  decimal byte count, then exactly that many bytes of JSON text.
// Frame out: 10-byte header ("%d" of the JSON length, NUL, filler), then JSON.
// Requests on one connection are strictly sequential: the client sends the
// next one only after reading the response.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
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

// Request bodies up to this size are received into the connection thread's
// own buffer; larger ones get a buffer of their own for the request.
constexpr size_t kInlineBodyBytes = 4096;

// The parse tree of a request starts in a buffer of the connection thread;
// only a large request takes pool chunks from the heap.
constexpr size_t kInlineTreeBytes = 16 * 1024;
constexpr size_t kParseStackBytes = 1024;

// Logs client text with %.*s: as it stands when nothing in it needs
// escaping (no copy), else through EscapeForLog.
class LoggedText {
 public:
  LoggedText(std::string_view text, size_t max_bytes) {
    if (NeedsEscapeForLog(text, max_bytes)) {
      escaped_ = EscapeForLog(text, max_bytes);
      view_ = escaped_;
    } else {
      view_ = text;
    }
  }
  int size() const { return static_cast<int>(view_.size()); }
  const char* data() const { return view_.data(); }

 private:
  std::string escaped_;
  std::string_view view_;
};


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

// The wait for the next request: one blocking recv() whose kernel timeout
// (SO_RCVTIMEO, set once per connection) is the idle timeout, instead of a
// receive, a poll and a receive again. Returns the recv() result, or
// kTimedOut when no byte came within the timeout.
class IdleReceiver {
 public:
  IdleReceiver(int socket, uint32_t idle_seconds) : socket_(socket) {
    if (idle_seconds == 0) return;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(idle_seconds);
    timed_ = ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
    if (!timed_) deadline_seconds_ = idle_seconds;  // fall back to poll()
  }
  IdleReceiver(const IdleReceiver&) = delete;
  IdleReceiver& operator=(const IdleReceiver&) = delete;

  ssize_t Recv(char* buf, size_t len) {
    if (!timed_) return RecvBefore(socket_, buf, len, Deadline::After(deadline_seconds_));
    for (;;) {
      const ssize_t n = ::recv(socket_, buf, len, 0);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return kTimedOut;
      return n;
    }
  }

 private:
  const int socket_;
  bool timed_ = false;
  uint32_t deadline_seconds_ = 0;
};

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

  IdleReceiver idle(conn->socket, limits.idle_timeout_seconds);
  char inline_body[kInlineBodyBytes + 1];
  alignas(std::max_align_t) char inline_tree[kInlineTreeBytes];
  bool stop = false;
  while (!stop) {
    const MemoryCheckpoint checkpoint = SampledHeapCheckpoint();
    NLog_InfoA("ZUV", "%s:Waiting for client request ....", name);
    CMapiExMod::LogDiagnostics();  // "Good:%d, Bad:%d"

    char first[kFirstReadBytes + 1];
    ssize_t got = idle.Recv(first, kFirstReadBytes);
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
    // A large body lives for this request only, so the memory check sees
    // what the handler left behind.
    std::unique_ptr<char[]> big_body;
    char* body = inline_body;
    if (count > kInlineBodyBytes) {
      big_body.reset(new (std::nothrow) char[count + 1]);
      if (big_body == nullptr) {
        NLog_ErrorA("ZUV", "%s:Closing the connection: no memory for %zu bytes", name, count);
        break;
      }
      body = big_body.get();
    }
    std::memcpy(body, first + frame.json_offset, frame.json_bytes);
    ssize_t last = got;
    size_t held = frame.json_bytes;
    if (held < count) {
      held += RecvUntil(conn->socket, body + held, count - held, frame_deadline, &last);
      if (last == kTimedOut) {
        NLog_ErrorA("ZUV",
                    "%s:Closing the connection: %zu of %zu request bytes arrived within %u "
                    "seconds (FrameTimeoutSeconds)",
                    name, held, count, limits.frame_timeout_seconds);
        break;
      }
    }
    body[held] = '\0';
    const char* text = body;
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
    rapidjson::MemoryPoolAllocator<> tree_pool(inline_tree, sizeof inline_tree);
    rapidjson::CrtAllocator stack_allocator;
    rapidjson::Document request(&tree_pool, kParseStackBytes,
                                &stack_allocator);
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
    if (LogEnabled("TLOG", LogLevel::Info)) {
      const LoggedText mailbox(server_info.mailbox, SIZE_MAX);
      NLog_InfoA("TLOG", "%s:%.*s:START %s", name, mailbox.size(), mailbox.data(),
                 RequestName(code));
    }
    if (LogEnabled("DETAILTLOG", LogLevel::Info)) {
      const LoggedText logged(text_view, kLoggedRequestBytes);
      NLog_InfoA("DETAILTLOG", "%.*s", logged.size(), logged.data());
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
    request.SetNull();
    tree_pool.Clear();
    big_body.reset();
    memory.Release();
    CheckMemory(checkpoint, "ZUVReqThread", __LINE__);
  }
  ::close(conn->socket);
  return 0;
}

}  // namespace zuv
