// zuv_services_protocol.cpp: request frames, the connection loop, responses
// and the request dispatcher of the JSON ports.
//
// Frame in:  decimal byte count, then exactly that many bytes of JSON text.
// Frame out: 10-byte header ("%d" of the JSON length, NUL, filler), then JSON.
// Requests on one connection are strictly sequential: the client sends the
// next one only after reading the response.
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "logging.h"
#include "mapiexmod.h"
#include "zuv_handlers.h"
#include "zuv_services.h"

namespace zuv {
namespace {

// Bytes of the first read of a request: enough for the count and the start
// of the JSON text.
constexpr size_t kFirstReadBytes = 15;

const char* const kRequestNames[kRequestCodeCount] = {
    "GetTable",                 // 1001
    "DescribeTable",            // 1002
    "SetTable",                 // 1003
    "GetWUPAPDL",               // 1004
    "GetWUPAIcon",              // 1005
    "GetAttachment",            // 1006
    "GetEntryID",               // 1007
    "GetFolder",                // 1008
    "Close",                    // 1009
    "ClientPing",               // 1010
    "Attach",                   // 1011
    "ADResolveEmail",           // 1012
    "ListIOSDevices",           // 1013
    "ADResolveCN",              // 1014
    "AddContact",               // 1015
    "DeleteContact",            // 1016
    "GetAttachmentData",        // 1017
    "GetAttachmentFile",        // 1018
    "DeleteAttachment",         // 1019
    "CreateMessage",            // 1020
    "AddMessageAttachment",     // 1021
    "DeleteMessageAttachment",  // 1022
    "SendMessage",              // 1023
    "DeleteMessage",            // 1024
    nullptr,                    // 1025: the name lookup has no entry
    "MailBoxInfo",              // 1026
    "GetFolderHierarchy",       // 1027
    "SetAttachmentProperties",  // 1028
    "SetCustomProperties",      // 1029
    "GetExchangeServers",       // 1030
    "GetMailboxes",             // 1031
    "GetASDevices",             // 1032
};

// Handlers by code - 1001. A null entry passes the request over without a
// response; the connection then waits for the next request.
const RequestHandler kHandlers[kRequestCodeCount] = {
    nullptr,              // 1001 GetTable
    nullptr,              // 1002 DescribeTable: no handler
    nullptr,              // 1003 SetTable
    nullptr,              // 1004 GetWUPAPDL: no handler
    nullptr,              // 1005 GetWUPAIcon: no handler
    nullptr,              // 1006 GetAttachment
    nullptr,              // 1007 GetEntryID
    nullptr,              // 1008 GetFolder
    ProcessCloseRequest,  // 1009 Close
    nullptr,              // 1010 ClientPing
    nullptr,              // 1011 Attach
    nullptr,              // 1012 ADResolveEmail
    nullptr,              // 1013 ListIOSDevices: no handler
    nullptr,              // 1014 ADResolveCN
    nullptr,              // 1015 AddContact
    nullptr,              // 1016 DeleteContact: no handler
    nullptr,              // 1017 GetAttachmentData
    nullptr,              // 1018 GetAttachmentFile
    nullptr,              // 1019 DeleteAttachment
    nullptr,              // 1020 CreateMessage
    nullptr,              // 1021 AddMessageAttachment
    nullptr,              // 1022 DeleteMessageAttachment
    nullptr,              // 1023 SendMessage
    nullptr,              // 1024 DeleteMessage
    nullptr,              // 1025 folder entry delete
    nullptr,              // 1026 MailBoxInfo
    nullptr,              // 1027 GetFolderHierarchy
    nullptr,              // 1028 SetAttachmentProperties
    nullptr,              // 1029 SetCustomProperties
    nullptr,              // 1030 GetExchangeServers
    nullptr,              // 1031 GetMailboxes
    nullptr,              // 1032 GetASDevices
};

// Heap statistics checkpoint of the memory check.
size_t HeapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Logs the bytes that stayed allocated since the checkpoint. mallinfo2 is
// process-wide, so concurrent requests show in each other's numbers; only
// growth is reported (the %lu cannot show a net release).
void CheckMemory(size_t checkpoint, const char* tag, int place) {
  size_t now = HeapInUse();
  if (now > checkpoint) {
    NLog_InfoA("ZUV", "MEMORY USAGE of %lu bytes in %s:%d\n",
               static_cast<unsigned long>(now - checkpoint), tag, place);
  }
}

// Receives until len bytes are held or the peer stops; returns the count
// held and the last recv() result in *last.
size_t RecvUntil(int socket, char* buf, size_t len, ssize_t* last) {
  size_t held = 0;
  *last = 0;
  while (held < len) {
    ssize_t n = ::recv(socket, buf + held, len - held, 0);
    if (n < 0 && errno == EINTR) continue;
    *last = n;
    if (n <= 0) break;
    held += static_cast<size_t>(n);
  }
  return held;
}

}  // namespace

const char* RequestName(int code) {
  if (code < kFirstRequestCode || code >= kFirstRequestCode + kRequestCodeCount) {
    return "INVALID";
  }
  const char* name = kRequestNames[code - kFirstRequestCode];
  return name != nullptr ? name : "INVALID";
}

std::string ShortenID(std::string_view id) {
  if (id.size() <= 32) return std::string(id);
  return std::string(id.substr(id.size() - 33));
}

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

void FormatResponseHeader(size_t length, char header[10]) {
  std::memset(header, 0, 10);
  std::snprintf(header, 10, "%d", static_cast<int>(length));
}

int ReadIntKey(const rapidjson::Value& request, const char* key) {
  if (!request.IsObject()) return 0;
  auto it = request.FindMember(key);  // the first occurrence wins
  if (it == request.MemberEnd()) return 0;
  const rapidjson::Value& v = it->value;
  if (v.IsInt()) return v.GetInt();
  if (v.IsInt64()) return static_cast<int>(v.GetInt64());
  if (v.IsUint()) return static_cast<int>(v.GetUint());
  if (v.IsDouble()) {
    double d = v.GetDouble();
    return (d > -2147483648.0 && d < 2147483648.0) ? static_cast<int>(d) : 0;
  }
  if (v.IsString()) return static_cast<int>(std::strtol(v.GetString(), nullptr, 10));
  return 0;
}

std::string ReadStringKey(const rapidjson::Value& request, const char* key) {
  if (!request.IsObject()) return {};
  auto it = request.FindMember(key);
  if (it == request.MemberEnd() || !it->value.IsString()) return {};
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

ssize_t RecvOnce(int socket, char* buf, size_t len) {
  ssize_t got;
  do {
    got = ::recv(socket, buf, len, 0);
  } while (got < 0 && errno == EINTR);
  buf[got > 0 ? got : 0] = '\0';
  return got;
}

bool SendAll(int socket, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::send(socket, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void SendResponse(const char* operation, const ConnectionContext* conn, const char* mailbox,
                  std::string_view json, bool is_error) {
  char header[10];
  FormatResponseHeader(json.size(), header);
  if (SendAll(conn->socket, header, sizeof(header))) {
    SendAll(conn->socket, json.data(), json.size());
  }
  if (LogEnabled("ZUV", LogLevel::Trace)) {
    NLog_TraceA("ZUV", "%s:%s:%s Return Buffer (%s):%.*s", conn->name, mailbox, operation,
                header, static_cast<int>(json.size()), json.data());
  }
  if (is_error) {
    NLog_InfoA("ZUV", "%s:%s:%s returning error", conn->name, mailbox, operation);
  } else {
    NLog_InfoA("ZUV", "%s:%s:%s returning success", conn->name, mailbox, operation);
  }
}

void SendErrorResponse(const char* operation, const ConnectionContext* conn,
                       const char* mailbox, int error_number, const char* error_string) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("ErrorNumber");
  writer.Int(error_number);
  writer.Key("ErrorString");
  writer.String(error_string != nullptr ? error_string : "");
  writer.EndObject();
  SendResponse(operation, conn, mailbox, std::string_view(buffer.GetString(), buffer.GetSize()),
               true);
}

void ProcessZUVRequest(ZUV_Cache* session, int code, ServerInfo* server_info,
                       ConnectionContext* conn, const rapidjson::Value& request) {
  (void)server_info;  // handlers read their own keys into a ServerInfo
  if (code < kFirstRequestCode || code >= kFirstRequestCode + kRequestCodeCount) return;
  RequestHandler handler = kHandlers[code - kFirstRequestCode];
  if (handler == nullptr) return;
  if (code == 1032) {
    size_t checkpoint = HeapInUse();
    handler(session, conn, request, code);
    CheckMemory(checkpoint, "ProcessZUVRequest", __LINE__);
    return;
  }
  handler(session, conn, request, code);
}

int ClientThread(ConnectionContext* raw_conn) {
  std::unique_ptr<ConnectionContext> conn(raw_conn);
  const char* name = conn->name;
  NLog_InfoA("ZUV", "%s:Client thread started", name);

  bool stop = false;
  while (!stop) {
    size_t checkpoint = HeapInUse();
    NLog_InfoA("ZUV", "%s:Waiting for client request ....", name);
    CMapiExMod::LogDiagnostics();  // "Good:%d, Bad:%d"

    char first[kFirstReadBytes + 1];
    ssize_t got = RecvOnce(conn->socket, first, kFirstReadBytes);
    if (got <= 0) break;

    FrameStart frame;
    std::string err;
    if (ParseFrameStart(first, static_cast<size_t>(got), &frame, &err) != 0) {
      NLog_ErrorA("ZUV", "%s:Closing the connection: %s", name, err.c_str());
      break;
    }
    // The body lives for this request only, so the memory check sees what
    // the handler left behind.
    size_t count = static_cast<size_t>(frame.count);
    std::unique_ptr<char[]> body(new (std::nothrow) char[count + 1]);
    if (body == nullptr) {
      NLog_ErrorA("ZUV", "%s:Closing the connection: no memory for %zu bytes", name, count);
      break;
    }
    std::memcpy(body.get(), first + frame.json_offset, frame.json_bytes);
    ssize_t last = got;
    size_t held = frame.json_bytes;
    if (held < count) held += RecvUntil(conn->socket, body.get() + held, count - held, &last);
    body[held] = '\0';
    const char* text = body.get();
    NLog_TraceA("ZUV", "%s:Request Buffer (%d):%s", name, static_cast<int>(last), text);

    // An early end of stream leaves a short text, which normally fails to
    // parse and is rejected below.
    rapidjson::Document request;
    request.Parse<rapidjson::kParseStopWhenDoneFlag>(text, held);
    bool parsed = !request.HasParseError() && request.IsObject();
    int version = parsed ? ReadIntKey(request, "ProtocolVersion") : 0;
    int code = parsed ? ReadIntKey(request, "Request") : 0;

    if (version != kProtocolVersion) {
      NLog_ErrorA("ZUV", "%s:Rejecting a request %s with protocol version %d to %d", name,
                  RequestName(code), version, kProtocolVersion);
      NLog_ErrorA("ZUV", "%s:Buffer:%s", name, text);
      break;
    }
    NLog_InfoA("ZUV", "%s:Got a ZUV_Request %s (Proto %d-->%d)", name, RequestName(code),
               version, kProtocolVersion);

    ServerInfo server_info;
    server_info.mailbox = ReadStringKey(request, "Mailbox");
    server_info.server = ReadStringKey(request, "ServerName");
    NLog_InfoA("TLOG", "%s:%s:START %s", name, server_info.mailbox.c_str(), RequestName(code));
    NLog_InfoA("DETAILTLOG", "%s", text);

    ProcessZUVRequest(nullptr, code, &server_info, conn.get(), request);

    if (code == 1009) {
      NLog_InfoA("ZUV", "%s: Got a CLOSE request", name);
      stop = true;
    }
    request = rapidjson::Document();
    body.reset();
    CheckMemory(checkpoint, "ZUVReqThread", __LINE__);
  }
  ::close(conn->socket);
  return 0;
}

}  // namespace zuv
