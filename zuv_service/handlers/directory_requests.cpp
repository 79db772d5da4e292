// directory_requests.cpp: handlers of the directory and mailbox requests:
// user resolution by address or common name, another user's mailbox, the
// mail servers, every mailbox user and the mobile devices of a mailbox.
//
// A directory that is down or slow makes these requests fail within the
// directory's time-outs with an error envelope; the connection stays open.
#include <cstring>
#include <string>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/logging.h"
#include "base/process.h"
#include "cache/zuv_cache.h"
#include "directory/ad_services.h"
#include "handlers/handlers.h"
#include "handlers/request_reading.h"

namespace zuv {
namespace {

// Bytes of each directory output of a resolution.
constexpr size_t kResolveField = 1024;

void WriteString(rapidjson::Writer<rapidjson::StringBuffer>& w, const char* text) {
  w.String(text, static_cast<rapidjson::SizeType>(std::strlen(text)));
}

std::string ResolveJson(bool found, const char* user_name, const char* user_dn, const char* store_dn) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("ErrorNumber");
  w.Int(found ? 0 : 1);
  w.Key("ErrorString");
  w.String(found ? "" : "Cannot resolve email");
  w.Key("ROWS");
  w.StartObject();
  w.Key("UserName");
  WriteString(w, found ? user_name : "");
  w.Key("UserDN");
  WriteString(w, found ? user_dn : "");
  w.Key("StoreDN");
  WriteString(w, found ? store_dn : "");
  w.EndObject();
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

void ProcessADResolveRequest(RequestContext& ctx) {
  const char* operation = "ProcessADResolveRequest";
  const std::string address = ctx.String("EmailAddr");
  const std::string clientId = ctx.String("ClientIdentifier");
  const std::string domServer = ctx.String("DomServer");
  (void)clientId;  // read with the request's keys; the lookup does not use it
  const bool by_cn = ctx.Code() == RequestCode::kADResolveCN;
  NLog_InfoA("ZUV", "%s:Resolving %s %s in the directory", ctx.ConnectionName(),
             by_cn ? "common name" : "address", EscapeForLog(address).c_str());

  char user_name[kResolveField] = {};
  char store_dn[kResolveField] = {};
  char user_dn[kResolveField] = {};
  const int32_t result =
      by_cn ? QueryUserInfoByCN(address.c_str(), user_name, sizeof(user_name), store_dn, sizeof(store_dn),
                                user_dn, sizeof(user_dn), domServer.c_str())
            : QueryUserInfoByEmail(address.c_str(), user_name, sizeof(user_name), store_dn, sizeof(store_dn),
                                   user_dn, sizeof(user_dn));
  if (result != 0) {
    NLog_ErrorA("ZUV", "%s:Cannot resolve %s (%d)", ctx.ConnectionName(), EscapeForLog(address).c_str(),
                static_cast<int>(result));
  }
  ctx.Reply(operation, ResolveJson(result == 0, user_name, user_dn, store_dn), result != 0);
}

void ProcessGetMailboxInfo(RequestContext& ctx) {
  const char* operation = "ProcessGetMailboxInfo";
  std::string email = ctx.String("EmailAddress");
  const std::string clientId = ctx.String("ClientIdentifier");
  (void)clientId;
  (void)ctx.ReadServerInfo();
  if (email.empty()) email = ctx.Server().mailbox;
  NLog_InfoA("ZUV", "%s:%s:Opening the mailbox of %s", ctx.ConnectionName(), ctx.Mailbox(),
             EscapeForLog(email).c_str());
  SessionHandle session;
  if (session.Acquire(ctx) != 0) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot get ZUV_Cache", ctx.ConnectionName(), ctx.Mailbox());
    ctx.ReplyError(operation, 1, "Cannot open mailbox");
    return;
  }
  std::string store;
  std::string error_text;
  if (session->GetMailboxInfo(ctx.Connection(), email, &store, &error_text) != 0) {
    NLog_ErrorA("ZUV", "%s:%s:%s", ctx.ConnectionName(), ctx.Mailbox(), EscapeForLog(error_text).c_str());
    ctx.ReplyError(operation, 1, error_text.c_str());
    return;
  }
  ctx.ReplyWithRows(operation, 0, "", store);
}

void ProcessGetExchangeServersRequest(RequestContext& ctx) {
  const char* operation = "ProcessGetExchangeServersRequest";
  const char* failure = "Cannot get the exchange server list";
  const std::string wildcard = ctx.String("ServerWildCard");
  (void)ctx.ReadServerInfo();
  SessionHandle session;
  if (session.Acquire(ctx) != 0) {
    NLog_ErrorA("ZUV", "%s:%s: Cannot get ZUV_Cache", ctx.ConnectionName(), ctx.Mailbox());
    ctx.ReplyError(operation, 1, failure);
    return;
  }
  // The operation sends the server list itself.
  if (ZUV_Cache::GetExchangeServers(ctx.Connection(), wildcard) != 0) ctx.ReplyError(operation, 1, failure);
}

void ProcessGetMailboxesRequest(RequestContext& ctx) {
  const char* operation = "ProcessGetMailboxesRequest";
  const std::string server = ctx.String("ExchangeServer");
  (void)ctx.ReadServerInfo();
  // The operation sends the mailbox rows itself; no session is needed.
  const int32_t result = ZUV_Cache::GetMailboxes(ctx.Connection(), server);
  if (result != 0) {
    NLog_ErrorA("ZUV", "%s:Cannot get mailboxes from the directory (%d)", ctx.ConnectionName(),
                static_cast<int>(result));
    SendErrorResponse(operation, ctx.Connection(), "", 1, "Cannot get mailboxes");
  }
}

void ProcessGetASDevicesRequest(RequestContext& ctx) {
  const char* operation = "ProcessGetASDevicesRequest";
  const char* failure = "Cannot retrieve Active Sync Devices";
  std::string server = ctx.String("ExchangeServer");
  const std::string mailbox = ctx.String("MailBoxName");
  std::string mailbox_dn = ctx.String("MailBoxDN");
  const std::string mail_store_dn = ctx.String("MailStoreDN");
  (void)ctx.ReadServerInfo();
  const size_t checkpoint = HeapInUse();
  {
    SessionHandle session;
    if (session.Acquire(ctx) != 0) {
      NLog_ErrorA("ZUV", "Cannot open mailbox");
      ctx.ReplyError(operation, 1, "Cannot open mailbox");
    } else {
      // Without a mailbox of its own the request reads the AltMailbox user's.
      if (mailbox_dn.empty() && ctx.IsAltMailbox()) {
        mailbox_dn = ctx.Server().user_dn;
        if (server.empty()) server = ctx.Server().store_dn;
      }
      if (session->GetASDevices(ctx.Connection(), server, mailbox, mailbox_dn, mail_store_dn) != 0) {
        NLog_ErrorA("ZUV", "%s", failure);
        ctx.ReplyError(operation, 1, failure);
      }
    }
  }
  CheckMemory(checkpoint, operation, __LINE__);
}

}  // namespace zuv
