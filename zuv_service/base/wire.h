// wire.h: what every part of the service knows about a connection and its
// frames: the connection record, the per-request server record, the
// response frame and its sending, and the log form of identifiers.
//
// Frame in:  decimal byte count, then exactly that many bytes of JSON text.
// Frame out: 10-byte header ("%d" of the JSON length, NUL, filler), then JSON.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zuv {

constexpr int kProtocolVersion = 4;

// Largest request frame the service accepts (uploads: MaxUploadMB).
constexpr int64_t kMaxRequestBytes = 64ll << 20;

// Bytes of a response header.
constexpr size_t kResponseHeaderBytes = 10;

// One accepted connection, owned by its connection thread.
struct ConnectionContext {
  int socket = -1;
  char name[264] = {};  // "%s.%d": peer IPv4 address and raw port field
};

// Server, mailbox, store DN and user DN of one request; owned by the
// connection loop for the duration of the request.
struct ServerInfo {
  std::string server;
  std::string mailbox;
  std::string store_dn;
  std::string user_dn;
};

// Formats the connection name: dotted address, '.', and the 16-bit port field
// as it stands in network byte order, read as a host number
// (10.0.0.5 port 50000 gives "10.0.0.5.20675").
void FormatConnectionName(uint32_t addr_network_order, uint16_t port_network_order,
                          char* out, size_t out_size);

// Writes the 10-byte response header for a JSON text of length bytes.
void FormatResponseHeader(size_t length, char header[kResponseHeaderBytes]);

// Sends all of data; returns false when the peer is gone.
bool SendAll(int socket, const void* data, size_t len);

// Sends the 10-byte header and the JSON text in one system call where the
// socket takes it all. False when the peer is gone.
bool SendFrame(int socket, std::string_view json);

// The same for a JSON text given in parts, sent in order as one text.
// On false, errno is the failed send's (EAGAIN: the socket's send timeout).
bool SendFrameParts(int socket, const std::string_view* parts, size_t count);
// Sends every byte of vectors[0, count) (any count) with as few calls as
// the kernel allows; the vectors are used up. On false, errno as above.
bool SendVectors(int socket, iovec* vectors, size_t count);
// After a send above returned false: true when it failed because the
// socket's send timeout passed (the client took nothing).
bool SendTimedOut();

// Sends the frame of json (SendFrame); logs the trace and the
// returning success/error lines. Send failures are not reported: the next
// receive ends the connection. A send that times out (the socket's
// SO_SNDTIMEO) is logged and shuts the socket down, so that receive ends.
void SendResponse(const char* operation, const ConnectionContext* conn, const char* mailbox,
                  std::string_view json, bool is_error);
// The same for a JSON text given in parts.
void SendResponseParts(const char* operation, const ConnectionContext* conn, const char* mailbox,
                       const std::string_view* parts, size_t count, bool is_error);
// What SendResponseParts does after sending, for a response the caller
// sent itself: timed_out (the failed send's errno was EAGAIN) shuts the
// socket down; the trace lines show parts when given.
void EndResponse(const char* operation, const ConnectionContext* conn, const char* mailbox, bool timed_out,
                 const std::string_view* parts, size_t count, bool is_error);

// {"ErrorNumber": number, "ErrorString": text}, and "ROWS": rows as a
// string when rows is given.
std::string ResultJson(int error_number, const char* error_string, const std::string_view* rows);
// The same with "ROWS": rows as a number.
std::string ResultJsonNumberRows(int error_number, const char* error_string, uint32_t rows);

// Sends {"ErrorNumber": number, "ErrorString": text} through SendResponse.
void SendErrorResponse(const char* operation, const ConnectionContext* conn,
                       const char* mailbox, int error_number, const char* error_string);

}  // namespace zuv
