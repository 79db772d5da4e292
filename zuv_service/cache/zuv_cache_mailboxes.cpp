// zuv_cache_mailboxes.cpp: discovery through the directory for ZUV_Cache:
// another user's mailbox by e-mail address, the mail servers, every mailbox
// user, and the mobile devices recorded in a mailbox.
//
// Large answers (tens of thousands of users) are written with a SAX writer
// straight into one buffer, sized from the values before writing, and sent
// as one frame; no node tree is built.

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/logging.h"
#include "base/process.h"
#include "base/wire.h"
#include "cache/zuv_cache.h"
#include "directory/ad_services.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

constexpr size_t kDirectoryBufferBytes = 1024;
// OPENSTORE_USE_ADMIN_PRIVILEGE | OPENSTORE_TAKE_OWNERSHIP.
constexpr ULONG kUserMailboxFlags = 9;
// Remembered user mailboxes; the map starts afresh past this.
constexpr size_t kMaxUserMailboxes = 4096;
// Key bytes of one user row beside its values, for the buffer estimate.
constexpr size_t kUserRowOverhead = 200;

void WriteString(JsonWriter& w, std::string_view text) {
  w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

// {"<name>": value} as one member object of a row array.
void WriteMember(JsonWriter& w, const char* name, std::string_view value) {
  w.StartObject();
  w.Key(name);
  WriteString(w, value);
  w.EndObject();
}

// A server DN as the secondary logon reads it: a bare server name becomes
// "cn=<name>", the first component of a comma-form DN.
std::string ServerDNForLogon(const std::string& server) {
  if (server.empty() || server.find_first_of("=/") != std::string::npos) return server;
  return "cn=" + server;
}

std::string FileTimeText(const FILETIME& ft) {
  char text[32];
  std::snprintf(text, sizeof(text), "%lu,%lu", static_cast<unsigned long>(ft.dwHighDateTime),
                static_cast<unsigned long>(ft.dwLowDateTime));
  return text;
}

FILETIME ToFileTime(uint64_t ticks) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

// The device type and ID of a device folder name "<protocol>-<type>-<id>";
// the ID is the rest after the second '-'. Missing parts are "".
void SplitDeviceFolder(const std::string& name, std::string* type, std::string* id) {
  type->clear();
  id->clear();
  size_t first = name.find('-');
  if (first == std::string::npos) return;
  size_t second = name.find('-', first + 1);
  if (second == std::string::npos) {
    *type = name.substr(first + 1);
    return;
  }
  *type = name.substr(first + 1, second - first - 1);
  *id = name.substr(second + 1);
}

const char* ConnectionNameOf(const zuv::ConnectionContext* context) {
  return context != nullptr ? context->name : "";
}

}  // namespace

uint32_t ZUV_Cache::OpenUserMailbox(const std::string& serverDN, const std::string& mailboxDN,
                                    std::string* storeEntryID) {
  if (mailboxDN.empty()) return static_cast<uint32_t>(MAPI_E_INVALID_PARAMETER);
  const std::string key = serverDN + "\n" + mailboxDN;
  {
    zuv::MutexLock lock(mailboxes_mu_);
    auto it = user_mailboxes_.find(key);
    if (it != user_mailboxes_.end()) {
      *storeEntryID = it->second;
      return 0;
    }
  }
  MapiPtr<IMsgStore> store;
  std::string id;
  const std::string server = ServerDNForLogon(serverDN);
  HRESULT hr = session_->OpenSecondaryMailbox(name_.c_str(), server.c_str(), mailboxDN.c_str(), kUserMailboxFlags,
                                              store.put(), &id);
  if (hr == 0 && (id.empty() || !store)) hr = MAPI_E_NOT_FOUND;  // no mailbox store to log on through
  if (hr != 0) return static_cast<uint32_t>(hr);
  // Filed under its entry ID, so later requests find the store open.
  if (!session_->GetStore(id.c_str())) return static_cast<uint32_t>(MAPI_E_NOT_FOUND);
  {
    zuv::MutexLock lock(mailboxes_mu_);
    if (user_mailboxes_.size() >= kMaxUserMailboxes) user_mailboxes_.clear();
    user_mailboxes_.emplace(key, id);
  }
  *storeEntryID = id;
  return 0;
}

uint32_t ZUV_Cache::GetMailboxInfo(const zuv::ConnectionContext* context, const std::string& email,
                                   std::string* storeEntryID, std::string* errorText) {
  (void)context;  // lines begin with the instance name
  char user_name[kDirectoryBufferBytes] = {};
  char server_dn[kDirectoryBufferBytes] = {};
  char legacy_dn[kDirectoryBufferBytes] = {};
  int32_t found = zuv::QueryUserInfoByEmail(email.c_str(), user_name, sizeof(user_name), server_dn,
                                            sizeof(server_dn), legacy_dn, sizeof(legacy_dn));
  if (found != 0) {
    *errorText = "Cannot resolve e-amil " + email;
    return static_cast<uint32_t>(found);
  }
  std::string id;
  uint32_t result = OpenUserMailbox(server_dn, legacy_dn, &id);
  if (result != 0) {
    *errorText = std::string("Cannot open user mailbox ") + server_dn + ":" + legacy_dn;
    return result;
  }
  NLog_InfoA("ZUV", "%s:Mailbox of %s is store %s", name_.c_str(), zuv::EscapeForLog(email).c_str(),
             zuv::ShortenID(id).c_str());
  *storeEntryID = id;
  return 0;
}

int32_t ZUV_Cache::GetExchangeServers(const zuv::ConnectionContext* context, const std::string& pattern) {
  std::vector<std::string> servers;
  int32_t result = zuv::GetExchangeServers(&servers, pattern);
  if (result != 0) {
    NLog_ErrorA("ZUV", "Cannot get the exchange server list");
    return result;
  }
  rapidjson::StringBuffer buffer;
  JsonWriter w(buffer);
  w.StartObject();
  w.Key("ErrorNumber");
  w.Int(0);
  w.Key("ErrorString");
  w.String("");
  w.Key("ROWS");
  w.StartArray();
  for (const std::string& server : servers) WriteMember(w, "Server", server);
  w.EndArray();
  w.EndObject();
  zuv::SendResponse("ZUV_Cache::GetExchangeServers", context, "",
                    std::string_view(buffer.GetString(), buffer.GetSize()), false);
  return 0;
}

int32_t ZUV_Cache::GetMailboxes(const zuv::ConnectionContext* context, const std::string& server) {
  const char* conn = ConnectionNameOf(context);
  std::vector<zuv::ZUV_UserInfo> users;
  int32_t result = zuv::GetMailboxes(conn, &users);
  if (result != 0) return result;
  NLog_InfoA("ZUV", "%s: Getting all mailboxes from exchange server %s:%d Entries returned", conn,
             server.empty() ? "ALL Servers" : zuv::EscapeForLog(server).c_str(), static_cast<int>(users.size()));

  size_t estimate = 64;
  for (const zuv::ZUV_UserInfo& u : users) {
    estimate += kUserRowOverhead + 2 * u.legacy_dn.size() + u.server_dn.size() + u.mailbox_dn.size() +
                u.store_dn.size() + u.surname.size() + u.given_name.size() + u.initials.size() + u.mail.size() +
                u.user_dn.size() + u.legacy_exchange_dn.size();
  }
  rapidjson::StringBuffer buffer;
  buffer.Reserve(estimate);
  JsonWriter w(buffer);
  w.StartObject();
  w.Key("ErrorNumber");
  w.Int(0);
  w.Key("ErrorString");
  w.String("");
  w.Key("ROWS");
  w.StartArray();
  for (const zuv::ZUV_UserInfo& u : users) {
    w.StartObject();
    w.Key(u.legacy_dn.data(), static_cast<rapidjson::SizeType>(u.legacy_dn.size()));
    w.StartArray();
    WriteMember(w, "MailBoxName", u.legacy_dn);
    WriteMember(w, "StoreDN", u.server_dn);
    WriteMember(w, "MailBoxDN", u.mailbox_dn);
    WriteMember(w, "MailStoreDN", u.store_dn);
    WriteMember(w, "SurName", u.surname);
    WriteMember(w, "GivenName", u.given_name);
    WriteMember(w, "Initials", u.initials);
    WriteMember(w, "Mail", u.mail);
    WriteMember(w, "DN", u.user_dn);
    WriteMember(w, "UserDN", u.legacy_exchange_dn);
    w.EndArray();
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  // The records go before the send, so at most the text is held meanwhile.
  std::vector<zuv::ZUV_UserInfo>().swap(users);
  zuv::SendResponse("ZUV_Cache::GetMailboxes", context, "", std::string_view(buffer.GetString(), buffer.GetSize()),
                    false);
  return 0;
}

uint32_t ZUV_Cache::GetASDevices(const zuv::ConnectionContext* context, const std::string& server,
                                 const std::string& mailbox, const std::string& mailboxDN,
                                 const std::string& mailStoreDN) {
  const size_t checkpoint = zuv::HeapInUse();
  const char* conn = ConnectionNameOf(context);
  std::string store_key = kMailboxStoreKey;
  if (!mailboxDN.empty()) {
    const std::string& server_dn = server.empty() ? mailStoreDN : server;
    if (OpenUserMailbox(server_dn, mailboxDN, &store_key) != 0) {
      NLog_ErrorA("ZUV", "%s:%s:Cannot open the mailbox %s on %s", conn, zuv::EscapeForLog(mailbox).c_str(),
                  zuv::EscapeForLog(mailboxDN).c_str(), zuv::EscapeForLog(server_dn).c_str());
      return 1;
    }
  }
  {
    std::vector<ZUV_ASDevice> devices;
    GetASDevicesInMailbox(store_key, server, mailbox, &devices);

    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    w.StartObject();
    w.Key("ErrorNumber");
    w.Int(0);
    w.Key("ErrorString");
    w.String("");
    w.Key("ROWS");
    w.StartArray();
    std::string type;
    std::string id;
    for (const ZUV_ASDevice& d : devices) {
      SplitDeviceFolder(d.folderName, &type, &id);
      w.StartObject();
      w.Key(id.data(), static_cast<rapidjson::SizeType>(id.size()));
      w.StartArray();
      WriteMember(w, "DeviceID", id);
      WriteMember(w, "MailBoxName", mailbox);
      WriteMember(w, "MailBoxDN", mailboxDN);
      WriteMember(w, "DeviceType", type);
      WriteMember(w, "StoreEntryID", d.storeEntryID);
      WriteMember(w, "ContactEntryID", d.contactsEntryID);
      WriteMember(w, "CreationTime", FileTimeText(d.creationTime));
      WriteMember(w, "ModificationTime", FileTimeText(d.modificationTime));
      w.EndArray();
      w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    NLog_InfoA("ZUV", "%s:%s:Returning %d Active Sync devices", conn, zuv::EscapeForLog(mailbox).c_str(),
               static_cast<int>(devices.size()));
    zuv::SendResponse("ZUV_Cache::GetASDevices", context, "", std::string_view(buffer.GetString(), buffer.GetSize()),
                      false);
  }
  zuv::CheckMemory(checkpoint, "ZUV_Cache::GetASDevices", __LINE__);
  return 0;
}

void ZUV_Cache::GetASDevicesInMailbox(const std::string& storeKey, const std::string& server,
                                      const std::string& mailbox, std::vector<ZUV_ASDevice>* devices) {
  const char* name = name_.c_str();
  NLog_TraceA("ZUV", "%s:Threaded GetASDevicesInMailbox called with Server = \"%s\", Mailbox = \"%s\"\n", name,
              zuv::EscapeForLog(server).c_str(), zuv::EscapeForLog(mailbox).c_str());
  std::string contacts_id;
  {
    std::unique_ptr<CMAPIFolder> contacts = session_->OpenFolderByPath({"Contacts"}, storeKey.c_str());
    if (!contacts || !contacts->GetEntryIDString(&contacts_id)) {
      NLog_InfoA("ZUV", "%s:Cannot open contacts folder", name);
      return;
    }
  }
  std::string sync_id;
  {
    std::unique_ptr<CMAPIFolder> sync = session_->OpenFolderByPath({"ExchangeSyncData"}, storeKey.c_str());
    if (!sync || !sync->GetEntryIDString(&sync_id)) {
      NLog_InfoA("ZUV", "%s:Cannot open folder ExchangeSyncData", name);
      return;
    }
  }
  std::shared_ptr<const ZUV_FolderList> folders = session_->GetFolderHierarchy(storeKey.c_str(), sync_id.c_str());
  if (!folders) return;  // logged by the session
  for (const ZUV_FolderInfo_s& folder : *folders) {
    if (folder.name.find("validate") != std::string::npos) continue;
    ZUV_ASDevice device;
    device.folderName = folder.name;
    device.storeEntryID = storeKey;
    device.contactsEntryID = contacts_id;
    NLog_TraceA("ZUV", "%s:Exchange Sync folder for %s is %s", name, zuv::EscapeForLog(mailbox).c_str(),
                zuv::EscapeForLog(folder.name).c_str());
    std::shared_ptr<const ZUV_FolderList> children =
        session_->GetFolderHierarchy(storeKey.c_str(), folder.entryID.c_str());
    if (children) {
      for (const ZUV_FolderInfo_s& child : *children) {
        if (child.name == "SyncStatus") {
          device.creationTime = ToFileTime(child.created);
          device.modificationTime = ToFileTime(child.modified);
          break;
        }
      }
    }
    // A folder without its sync state is not a device.
    if (device.creationTime.dwLowDateTime == 0 && device.creationTime.dwHighDateTime == 0) continue;
    devices->push_back(std::move(device));
  }
}
