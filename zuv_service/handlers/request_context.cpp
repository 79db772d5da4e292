// request_context.cpp: key readers and reply helpers of a request.
#include "handlers/request_context.h"

#include <cstring>
#include <utility>

#include "base/logging.h"
#include "cache/zuv_cache.h"
#include "handlers/request_reading.h"
#include "mapi_access/mapiexmod.h"

namespace zuv {

RequestContext::RequestContext(ConnectionContext* conn, const rapidjson::Value& request,
                               RequestCode code, ServerInfo server)
    : conn_(conn),
      request_(request),
      code_(code),
      server_(std::move(server)),
      mailbox_log_(EscapeForLog(server_.mailbox)) {}

std::string RequestContext::String(const char* key) const { return ReadStringKey(request_, key); }

int32_t RequestContext::Number(const char* key) const { return ReadIntKey(request_, key); }

bool RequestContext::Boolean(const char* key) const { return ReadBoolKey(request_, key); }

const rapidjson::Value* RequestContext::Array(const char* key) const {
  return FindArrayKey(request_, key);
}

std::vector<std::string> RequestContext::StringArray(const char* key) const {
  std::vector<std::string> out;
  const rapidjson::Value* array = Array(key);
  if (array == nullptr) return out;
  out.reserve(array->Size());
  for (const rapidjson::Value& v : array->GetArray()) {
    if (v.IsString()) out.emplace_back(v.GetString(), v.GetStringLength());
  }
  return out;
}

std::string RequestContext::EntryID(const char* key) const {
  std::string id = String(key);
  if (id == kPublicStoreKey) id.clear();
  return id;
}

uint32_t RequestContext::ReadServerInfo() {
  const uint32_t result = zuv::ReadServerInfo(request_, &server_);
  mailbox_log_ = EscapeForLog(server_.mailbox);
  alt_mailbox_ = String("AltMailbox") == "1";
  server_info_result_ = result;
  return result;
}

std::string RequestContext::StoreKey(const std::string& requested) const {
  if (!alt_store_.empty() && (requested.empty() || requested == kMailboxStoreKey)) return alt_store_;
  return requested;
}

void RequestContext::Reply(const char* operation, std::string_view json, bool isError) const {
  SendResponse(operation, conn_, Mailbox(), json, isError);
}

void RequestContext::ReplyError(const char* operation, int number, const char* text) const {
  SendErrorResponse(operation, conn_, Mailbox(), number, text);
}

void RequestContext::ReplyWithRows(const char* operation, int number, const char* text,
                                   std::string_view rows) const {
  Reply(operation, ResultJson(number, text, &rows), number != 0);
}

void RequestContext::ReplyNumber(const char* operation, int number) const {
  char json[48];
  int n = std::snprintf(json, sizeof(json), "{\"ErrorNumber\":%d}", number);
  Reply(operation, std::string_view(json, static_cast<size_t>(n)), false);
}

SessionHandle::~SessionHandle() {
  if (cache_ != nullptr) ZUV_Cache::ReleaseInstance(cache_);
}

uint32_t SessionHandle::Acquire(RequestContext& ctx) {
  if (cache_ == nullptr && ZUV_Cache::GetInstance(ctx.Connection(), &ctx.Server(), &cache_) != 0) return 1;
  if (!ctx.alt_mailbox_ || !ctx.alt_store_.empty()) return 0;
  const ServerInfo& server = ctx.Server();
  if (ctx.server_info_result_ != 0 || server.user_dn.empty()) {
    NLog_ErrorA("ZUV", "%s:%s:Cannot read another user's mailbox: not found in the directory",
                ctx.ConnectionName(), ctx.Mailbox());
    return 1;
  }
  const uint32_t result = cache_->OpenUserMailbox(server.store_dn, server.user_dn, &ctx.alt_store_);
  if (result != 0) {
    NLog_ErrorA("ZUV", "%s:%s:Cannot open the mailbox %s on %s (0x%08x)", ctx.ConnectionName(), ctx.Mailbox(),
                EscapeForLog(server.user_dn).c_str(), EscapeForLog(server.store_dn).c_str(), result);
    return 1;
  }
  return 0;
}

}  // namespace zuv
