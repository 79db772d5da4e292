// wire.cpp: connection names, response frames and their sending.
#include "base/wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/logging.h"
#include "base/request_codes.h"

namespace zuv {
namespace {

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

}  // namespace

const char* RequestName(int code) {
  if (code < kFirstRequestCode || code >= kFirstRequestCode + kRequestCodeCount) {
    return "INVALID";
  }
  const char* name = kRequestNames[code - kFirstRequestCode];
  return name != nullptr ? name : "INVALID";
}

void FormatConnectionName(uint32_t addr_network_order, uint16_t port_network_order,
                          char* out, size_t out_size) {
  char dotted[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = addr_network_order;
  ::inet_ntop(AF_INET, &a, dotted, sizeof(dotted));
  // The port field's two bytes, first byte low: the raw field on a
  // little-endian host, spelled out so the name is the same on any host.
  unsigned char bytes[2];
  std::memcpy(bytes, &port_network_order, 2);
  unsigned port_as_read = bytes[0] | (static_cast<unsigned>(bytes[1]) << 8);
  std::snprintf(out, out_size, "%s.%u", dotted, port_as_read);
}


void FormatResponseHeader(size_t length, char header[kResponseHeaderBytes]) {
  std::memset(header, 0, 10);
  std::snprintf(header, 10, "%d", static_cast<int>(length));
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

bool SendFrame(int socket, std::string_view json) { return SendFrameParts(socket, &json, 1); }

bool SendFrameParts(int socket, const std::string_view* parts, size_t count) {
  constexpr size_t kMaxParts = 8;
  if (count > kMaxParts) return false;
  size_t length = 0;
  for (size_t i = 0; i < count; ++i) length += parts[i].size();
  char header[kResponseHeaderBytes];
  FormatResponseHeader(length, header);
  iovec vectors[kMaxParts + 1] = {{header, sizeof(header)}};
  for (size_t i = 0; i < count; ++i) vectors[i + 1] = {const_cast<char*>(parts[i].data()), parts[i].size()};
  return SendVectors(socket, vectors, count + 1);
}

bool SendVectors(int socket, iovec* vectors, size_t count) {
  constexpr size_t kMaxVectors = 1024;  // IOV_MAX on Linux
  msghdr msg{};
  while (count > 0) {
    msg.msg_iov = vectors;
    msg.msg_iovlen = std::min(count, kMaxVectors);
    const ssize_t n = ::sendmsg(socket, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    // Step past what was sent.
    size_t sent = static_cast<size_t>(n);
    while (count > 0 && sent >= vectors->iov_len) {
      sent -= vectors->iov_len;
      ++vectors;
      --count;
    }
    if (count > 0) {
      vectors->iov_base = static_cast<char*>(vectors->iov_base) + sent;
      vectors->iov_len -= sent;
    }
  }
  return true;
}

bool SendTimedOut() { return errno == EAGAIN || errno == EWOULDBLOCK; }

void SendResponse(const char* operation, const ConnectionContext* conn, const char* mailbox,
                  std::string_view json, bool is_error) {
  SendResponseParts(operation, conn, mailbox, &json, 1, is_error);
}

void SendResponseParts(const char* operation, const ConnectionContext* conn, const char* mailbox,
                       const std::string_view* parts, size_t count, bool is_error) {
  const bool timed_out = !SendFrameParts(conn->socket, parts, count) && SendTimedOut();
  EndResponse(operation, conn, mailbox, timed_out, parts, count, is_error);
}

void EndResponse(const char* operation, const ConnectionContext* conn, const char* mailbox, bool timed_out,
                 const std::string_view* parts, size_t count, bool is_error) {
  if (timed_out) {
    // The client stopped reading. What was sent cannot be followed by
    // anything the client could read as a frame.
    NLog_ErrorA("ZUV", "%s:Closing the connection: the client took no bytes of the response (%s) within "
                "FrameTimeoutSeconds", conn->name, operation);
    ::shutdown(conn->socket, SHUT_RDWR);
  }
  if (parts != nullptr && LogEnabled("ZUV", LogLevel::Trace)) {
    std::string json;
    for (size_t i = 0; i < count; ++i) json.append(parts[i]);
    NLog_TraceA("ZUV", "%s:%s:%s Return Buffer (%zu):%.*s", conn->name, mailbox, operation,
                json.size(), static_cast<int>(json.size()), json.data());
  }
  if (is_error) {
    NLog_InfoA("ZUV", "%s:%s:%s returning error", conn->name, mailbox, operation);
  } else {
    NLog_InfoA("ZUV", "%s:%s:%s returning success", conn->name, mailbox, operation);
  }
}

namespace {

// The envelope, then rows written by writeRows when it is given.
template <typename WriteRows>
std::string Envelope(int error_number, const char* error_string, WriteRows* writeRows) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("ErrorNumber");
  writer.Int(error_number);
  writer.Key("ErrorString");
  writer.String(error_string != nullptr ? error_string : "");
  if (writeRows != nullptr) {
    writer.Key("ROWS");
    (*writeRows)(writer);
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

std::string ResultJson(int error_number, const char* error_string, const std::string_view* rows) {
  auto text = [rows](rapidjson::Writer<rapidjson::StringBuffer>& w) {
    w.String(rows->data(), static_cast<rapidjson::SizeType>(rows->size()));
  };
  return Envelope(error_number, error_string, rows != nullptr ? &text : nullptr);
}

std::string ResultJsonNumberRows(int error_number, const char* error_string, uint32_t rows) {
  auto number = [rows](rapidjson::Writer<rapidjson::StringBuffer>& w) { w.Uint(rows); };
  return Envelope(error_number, error_string, &number);
}

void SendErrorResponse(const char* operation, const ConnectionContext* conn,
                       const char* mailbox, int error_number, const char* error_string) {
  SendResponse(operation, conn, mailbox, ResultJson(error_number, error_string, nullptr), true);
}

}  // namespace zuv
