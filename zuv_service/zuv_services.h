// zuv_services.h: the service host and its network front end.
//
// Start-up (ServiceStart) starts MAPI, prepares the module directory, logging
// and settings, logs the diagnostics banner and checks the service mailbox,
// then runs the main service thread, which owns the four listener threads.
// Each accepted connection gets a detached thread that owns its
// ConnectionContext and socket for the connection's life.
//
// Threads (owner, end):
//   start-up thread   - main(); ends when the stop event is signalled.
//   signal thread     - ServiceStart, once running is reported; waits for
//                       SIGINT/SIGTERM and hands it to the service control
//                       handler as the stop control; ends after one.
//   main service thr. - ServiceStart; joins the listeners; ends when all four
//                       have ended (set-up failure, or shutdown on stop).
//   listener threads  - MainServiceThread; end on set-up failure or when the
//                       service stops (their sockets are shut down).
//   connection thr.   - a listener; detached; end with their connection or
//                       with the process.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

class ZUV_Cache;  // the shared mailbox session cache

namespace zuv {

constexpr int kProtocolVersion = 4;
constexpr int kFirstRequestCode = 1001;
constexpr int kRequestCodeCount = 32;  // 1001..1032

// Largest request frame and binary upload the service accepts.
constexpr int64_t kMaxRequestBytes = 64ll << 20;
constexpr int64_t kMaxUploadBytes = 256ll << 20;

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

// Name of a request code for log lines; "INVALID" for codes without one.
const char* RequestName(int code);

// Log form of identifiers: whole up to 32 characters, else the last 33.
std::string ShortenID(std::string_view id);

// ---- Request frames ----

// Result of reading the first segment of a request frame.
struct FrameStart {
  int64_t count = 0;        // announced byte count of the JSON text
  size_t json_offset = 0;   // where the JSON text begins in the segment
  size_t json_bytes = 0;    // how many JSON bytes the segment already holds
};

// Parses the first segment (at most 15 bytes): the decimal count before the
// first '{', and the start of the JSON text. Returns 0, or 1 with *err set
// when the count is missing, not positive, above kMaxRequestBytes, or smaller
// than the JSON bytes already received.
[[nodiscard]] uint32_t ParseFrameStart(const char* data, size_t len, FrameStart* out,
                                       std::string* err);

// Writes the 10-byte response header for a JSON text of length bytes.
void FormatResponseHeader(size_t length, char header[10]);

// Reads an integer envelope key: first occurrence wins; numbers and numeric
// strings count, anything else (or a missing key) is 0.
int ReadIntKey(const rapidjson::Value& request, const char* key);

// Reads a string envelope key; "" when missing or not a string.
std::string ReadStringKey(const rapidjson::Value& request, const char* key);

// ---- Responses ----

// Sends the 10-byte header and the JSON text; logs the trace and the
// returning success/error lines. Send failures are not reported: the next
// receive ends the connection.
void SendResponse(const char* operation, const ConnectionContext* conn, const char* mailbox,
                  std::string_view json, bool is_error);

// Sends {"ErrorNumber": number, "ErrorString": text} through SendResponse.
void SendErrorResponse(const char* operation, const ConnectionContext* conn,
                       const char* mailbox, int error_number, const char* error_string);

// Sends all of data; returns false when the peer is gone.
bool SendAll(int socket, const void* data, size_t len);

// One recv() of at most len bytes into buf (which has room for len + 1),
// retried on EINTR; a NUL is put after what arrived. Returns recv()'s
// result: 0 at end of stream, negative on error.
ssize_t RecvOnce(int socket, char* buf, size_t len);

// ---- Dispatch ----

// Calls the handler of code; codes without one do nothing.
void ProcessZUVRequest(ZUV_Cache* session, int code, ServerInfo* server_info,
                       ConnectionContext* conn, const rapidjson::Value& request);

// ---- Threads ----

// Connection loop of a JSON connection; takes ownership of conn.
int ClientThread(ConnectionContext* conn);

// Loop of a binary upload connection; takes ownership of conn.
int BinaryClientThread(ConnectionContext* conn);

// Listener thread routines. Return 0 when set-up failed or the service stops.
int ServiceListener(uint32_t port);
int BinaryListener(uint32_t port);

// Starts the four listeners and waits for them; when all have ended outside a
// shutdown, logs the fatal line, signals the stop event and returns 1.
// Returns 0 after a requested stop.
int MainServiceThread();

// Removes upload files older than max_age_seconds from dir. Returns the count.
int SweepUploadFiles(const std::string& dir, int64_t max_age_seconds);

// ---- Service run ----

// Exit status of a start that found no service mailbox, or of a stop after
// every listener failed.
constexpr int kServiceFailedExitCode = 1;

// The whole run of the service; argc is 0 in console mode. Returns the
// process exit code: 0 after a requested stop, kServiceFailedExitCode when
// the service mailbox cannot be opened (no listener started) or no port
// could listen. Ends the process itself with 1 when MAPI cannot start or
// the logs or ZUVFiles folder is not writable.
int ServiceStart(int argc, char** argv);

// Writes the logging configuration to path, with the log folder of the
// registry (LogFolderPath of the vendor node). No report when it fails.
void WriteLogConfig(const char* path);

// Signals the stop event (from any thread).
void SignalStopEvent();

// True once the service is shutting down.
bool ServiceStopping();

// The module directory (ZUV_HOME, else the executable's directory).
const std::string& ModuleDirectory();

}  // namespace zuv
