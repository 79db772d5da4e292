// request_context.h: what a handler is given and how it answers.
//
// The connection loop builds one RequestContext per request on its own
// thread; the handler reads its keys through it, obtains the mailbox session
// with a SessionHandle and sends exactly one response (or none, where its
// request gets no answer) through the reply helpers. Nothing here is shared
// between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>

#include "base/request_codes.h"
#include "base/wire.h"

class ZUV_Cache;

namespace zuv {

class RequestContext {
 public:
  // conn and request are borrowed for the request's duration. server holds
  // the envelope's Mailbox and ServerName as the connection loop read them.
  RequestContext(ConnectionContext* conn, const rapidjson::Value& request, RequestCode code,
                 ServerInfo server);
  RequestContext(const RequestContext&) = delete;
  RequestContext& operator=(const RequestContext&) = delete;

  ConnectionContext* Connection() const { return conn_; }
  const char* ConnectionName() const { return conn_->name; }
  const rapidjson::Value& Request() const { return request_; }
  RequestCode Code() const { return code_; }
  ServerInfo& Server() { return server_; }
  const ServerInfo& Server() const { return server_; }
  // The request's mailbox as it may stand in a log line (control
  // characters escaped).
  const char* Mailbox() const { return mailbox_log_.c_str(); }

  // ---- Typed key readers: direct members of the request, first occurrence
  // wins. A missing or mistyped key reads as the empty value.

  // A string key; "" when missing or not a string.
  std::string String(const char* key) const;
  // A 32-bit integer key; 0 when missing or not a JSON integer within 32 bits.
  int32_t Number(const char* key) const;
  // A boolean key; false when missing or not a boolean.
  bool Boolean(const char* key) const;
  // An array key; null when missing or not an array.
  const rapidjson::Value* Array(const char* key) const;
  // An array of strings, in order; entries that are not strings are skipped.
  std::vector<std::string> StringArray(const char* key) const;
  // An entry-ID key: a string key where "ZUV_PF_STORE_ENTRYID" becomes "".
  std::string EntryID(const char* key) const;

  // Fills the ServerInfo from the request (ReadServerInfo in
  // request_reading.h). 0, or the directory lookup's failure.
  uint32_t ReadServerInfo();

  // ---- Another user's mailbox (AltMailbox "1")

  // True when the request asked for another user's mailbox; known once
  // ReadServerInfo ran.
  bool IsAltMailbox() const { return alt_mailbox_; }
  // The store a handler passes on for the store key requested: the other
  // user's store once SessionHandle::Acquire opened it, where requested is
  // "" or the mailbox store key; requested itself otherwise.
  std::string StoreKey(const std::string& requested) const;

  // ---- Replies

  // Sends json as the response, with the returning success/error lines.
  void Reply(const char* operation, std::string_view json, bool isError) const;
  // {"ErrorNumber": number, "ErrorString": text}, logged as an error.
  void ReplyError(const char* operation, int number, const char* text) const;
  // {"ErrorNumber": number, "ErrorString": text, "ROWS": rows}.
  void ReplyWithRows(const char* operation, int number, const char* text,
                     std::string_view rows) const;
  // {"ErrorNumber": number} alone.
  void ReplyNumber(const char* operation, int number) const;

 private:
  ConnectionContext* conn_;
  const rapidjson::Value& request_;
  RequestCode code_;
  ServerInfo server_;
  std::string mailbox_log_;
  bool alt_mailbox_ = false;
  uint32_t server_info_result_ = 0;  // of ReadServerInfo
  std::string alt_store_;            // the other user's store entry ID; set by SessionHandle

  friend class SessionHandle;
};

// The shared mailbox cache for one handler: GetInstance on Acquire,
// ReleaseInstance when the handle ends.
class SessionHandle {
 public:
  SessionHandle() = default;
  ~SessionHandle();
  SessionHandle(const SessionHandle&) = delete;
  SessionHandle& operator=(const SessionHandle&) = delete;

  // 0 with the instance held, 1 when it cannot be had. For a request with
  // AltMailbox "1" it also opens that user's mailbox (found through the
  // directory by ReadServerInfo) and records its store in ctx; 1 when the
  // user is not in the directory or the mailbox cannot be opened.
  [[nodiscard]] uint32_t Acquire(RequestContext& ctx);
  ZUV_Cache* get() const { return cache_; }
  ZUV_Cache* operator->() const { return cache_; }
  explicit operator bool() const { return cache_ != nullptr; }

 private:
  ZUV_Cache* cache_ = nullptr;
};

// A request handler. Runs on the connection's thread.
using RequestHandler = void (*)(RequestContext& ctx);

}  // namespace zuv
