// zuv_cache.cpp: ZUV_Cache construction, the service instance, logon and the
// start-up check of the service mailbox.
#include "cache/zuv_cache.h"

#include <cstring>

#include "base/logging.h"
#include "base/process.h"
#include "base/settings.h"
#include "base/wire.h"
#include "directory/ad_services.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/profile_admin.h"

namespace {

constexpr const char* kVerifyConnectionName = "SVCPROFILE";
constexpr size_t kDirectoryBufferBytes = 1024;
constexpr ULONG kOpenStoreFlags = 0x11;  // MDB_NO_DIALOG | MAPI_BEST_ACCESS

const zuv::ServiceSettings* g_settings = nullptr;  // set before any thread asks

const std::string& Alias() {
  static const std::string* empty = new std::string;
  return g_settings != nullptr ? g_settings->ExAlias() : *empty;
}
const std::string& ConfiguredProfile() {
  static const std::string* empty = new std::string;
  return g_settings != nullptr ? g_settings->ExProfile() : *empty;
}

std::string NullAsEmpty(const char* value) {
  if (value == nullptr || std::strcmp(value, "null") == 0) return "";
  return value;
}

}  // namespace

// ---- Process-wide ----

// Never destroyed before the process ends: the mutex has a trivial
// destructor, and the instance is deleted only by the test reset.
zuv::Mutex ZUV_Cache::instance_mu_;
ZUV_Cache* ZUV_Cache::service_instance_ = nullptr;

void ZUV_Cache::SetSettings(const zuv::ServiceSettings* settings) { g_settings = settings; }

int32_t ZUV_Cache::InstanceKey(const std::string& legacyDN) {
  uint32_t h = 0;
  for (char c : legacyDN) {
    // The byte counts as a signed char: 0x80..0xFF subtract.
    h = ((h << 8) | (h >> 24)) + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
  }
  return static_cast<int32_t>(h);
}

uint32_t ZUV_Cache::GetInstance(const zuv::ConnectionContext* context, const zuv::ServerInfo* serverInfo,
                                ZUV_Cache** cache) {
  (void)serverInfo;  // every mailbox goes through the service instance
  zuv::MutexLock lock(instance_mu_);
  uint32_t result = GetServiceInstance(context, cache);
  if (result == 0) (*cache)->AddRef();
  return result;
}

uint32_t ZUV_Cache::GetServiceInstance(const zuv::ConnectionContext* context, ZUV_Cache** cache) {
  if (service_instance_ != nullptr) {
    *cache = service_instance_;
    return 0;
  }
  const char* conn = context != nullptr ? context->name : "";
  NLog_InfoA("ZUV", "Creating service instance");
  if (g_settings == nullptr) {
    NLog_ErrorA("ZUV", "%s:Cannot create the service ZUV_Cache before the settings are read", conn);
    *cache = nullptr;
    return 1;
  }
  const zuv::ServiceSettings& settings = *g_settings;

  const std::string account = settings.ExAlias();
  std::string profile;
  std::string server = settings.ExServer();
  NLog_InfoA("ZUV", "%s:%s:Creating service ZUV_Cache with account (%s, %s)", conn, account.c_str(),
             account.empty() ? "NA" : account.c_str(), server.c_str());
  if (!settings.ExProfile().empty()) {
    profile = settings.ExProfile();
    NLog_InfoA("ZUV", "%s:%s:Using configured profile %s to create service ZUV_Cache", conn, account.c_str(),
               profile.c_str());
  } else {
    NLog_InfoA("ZUV", "%s:%s:Using dynamic profile %s to create service ZUV_Cache", conn, account.c_str(),
               profile.c_str());
  }
  if (!settings.CAS().empty()) {
    server = settings.CAS();
    NLog_InfoA("ZUV", "%s:%s:Using CAS Server %s to create service ZUV_Cache", conn, account.c_str(),
               server.c_str());
  } else {
    server = settings.ExServer();
    NLog_InfoA("ZUV", "%s:%s:Using configured Server %s to create service ZUV_Cache", conn, account.c_str(),
               server.c_str());
  }

  // The directory's answer is only logged and hashed: a failed lookup (it
  // logs its own reason) leaves the buffers empty and creation goes on.
  char user_name[kDirectoryBufferBytes] = {};
  char home_server[kDirectoryBufferBytes] = {};
  char legacy_dn[kDirectoryBufferBytes] = {};
  (void)zuv::QueryUserInfoByEmail(account.c_str(), user_name, sizeof(user_name), home_server,
                                  sizeof(home_server), legacy_dn, sizeof(legacy_dn));
  NLog_TraceA("ZUV", "Using credentials (%s,%s) and has using %s", account.c_str(), server.c_str(), legacy_dn);
  const int32_t key = InstanceKey(legacy_dn);

  auto* created = new ZUV_Cache(conn, account.c_str());
  created->session_->SetExServer(settings.ExServer());
  *cache = created;
  created->AddRef();
  if (!created->Logon(key, account.c_str(), server.c_str(), profile.c_str(), true)) {
    NLog_ErrorA("ZUV", "%s:Error creating service ZUV_Cache for %s(%s,%s)", created->name_.c_str(),
                created->profile_.c_str(), account.c_str(), server.c_str());
    delete created;
    *cache = nullptr;
    return 1;
  }
  NLog_InfoA("ZUV", "%s:Successfully created service ZUV_Cache for %s(%s,%s) and stored as %ld",
             created->name_.c_str(), created->profile_.c_str(), account.c_str(), server.c_str(),
             static_cast<long>(key));
  service_instance_ = created;
  return 0;
}

void ZUV_Cache::ReleaseInstance(ZUV_Cache* cache) {
  (void)cache;  // the service instance is never released while the service runs
}

void ZUV_Cache::ResetServiceInstanceForTest() {
  zuv::MutexLock lock(instance_mu_);
  delete service_instance_;
  service_instance_ = nullptr;
}

uint32_t ZUV_Cache::VerifyServiceProfile() {
  zuv::ConnectionContext context;
  std::snprintf(context.name, sizeof(context.name), "%s", kVerifyConnectionName);
  zuv::ServerInfo server_info;
  NLog_InfoA("ZUV", "Verifying service profile ...");

  ZUV_Cache* cache = nullptr;
  if (GetInstance(&context, &server_info, &cache) != 0) {
    NLog_ErrorA("ZUV", "%s:%s:Cannot get the service ZUV_Cache for profile %s", kVerifyConnectionName,
                Alias().c_str(), ConfiguredProfile().c_str());
    return 1;
  }
  const char* name = cache->name_.c_str();
  NLog_InfoA("ZUV", "%s:Verifying whether the service profile %s works or not ....", name,
             ConfiguredProfile().c_str());

  uint32_t result = 1;
  std::unique_ptr<CMAPIFolder> inbox = cache->session_->OpenFolderByPath({"Inbox"}, kMailboxStoreKey);
  std::string folder_id;
  ULONG tag = 0;
  if (!inbox) {
    NLog_ErrorA("ZUV", "%s:Cannot open the Inbox folder for profile %s", name, ConfiguredProfile().c_str());
  } else if (inbox->GetEntryIDString(&folder_id),
             cache->PropTagFromName(folder_id, kMailboxStoreKey, "PR_CONTENT_COUNT", PT_LONG, &tag, false) != 0) {
    NLog_ErrorA("ZUV", "%s:Cannot get the property tag for PR_CONTENT_COUNT in folder %s", name, folder_id.c_str());
  } else if (LONG count = inbox->GetPropertyLong(tag, -1); count == -1) {
    NLog_ErrorA("ZUV", "%s:Cannot get the message count for the Inbox in folder %s", name, folder_id.c_str());
  } else {
    NLog_InfoA("ZUV", "%s:Message Count for Service account Inbox is %d", name, static_cast<int>(count));
    result = 0;
  }
  ReleaseInstance(cache);
  return result;
}

// ---- Construction ----

ZUV_Cache::ZUV_Cache(const char* connectionName, const char* account)
    : described_folders_(std::make_unique<DescribedFolderMap>()),
      name_(std::string(connectionName != nullptr ? connectionName : "") + ":" + (account != nullptr ? account : "")) {
  session_ = std::make_unique<CMapiExMod>(name_.c_str());
}

ZUV_Cache::~ZUV_Cache() {
  session_->Logout();
  {
    zuv::WriterLock lock(described_mu_);
    for (auto& [folder, described] : *described_folders_) MAPIFreeBuffer(described.chain);
    described_folders_.reset();
  }
  session_.reset();
}

int32_t ZUV_Cache::AddRef() {
  zuv::MutexLock lock(count_mu_);
  return ++hand_out_count_;
}

int32_t ZUV_Cache::HandOutCount() {
  zuv::MutexLock lock(count_mu_);
  return hand_out_count_;
}

bool ZUV_Cache::Logon(int32_t instanceKey, const char* account, const char* server, const char* profile,
                      bool isService) {
  (void)instanceKey;
  account_ = NullAsEmpty(account);
  server_ = NullAsEmpty(server);
  profile_ = NullAsEmpty(profile);
  profile_created_ = false;
  is_service_ = isService;
  if (profile_.empty()) profile_ = kDefaultProfileName;
  const char* name = name_.c_str();

  NLog_InfoA("ZUV", "%s: Checking whether profile %s already exists or not", name, profile_.c_str());
  // ProfileExists answers MAPI_E_NO_ACCESS for an existing profile.
  bool exists = zuv::ProfileExists(nullptr, profile_.c_str()) == MAPI_E_NO_ACCESS;
  if (!exists && isService && profile_ != kDefaultProfileName) {
    // A configured profile that is missing gives way to the default one.
    profile_ = kDefaultProfileName;
    exists = zuv::ProfileExists(nullptr, profile_.c_str()) == MAPI_E_NO_ACCESS;
  }
  if (exists) {
    NLog_InfoA("ZUV", "%s: Profile %s exists. Do not need to create one\n", name, profile_.c_str());
  } else {
    if (isService) {
      NLog_InfoA("ZUV", "%s:Creating dynamic profile %s with (%s, %s) for service ZUV_Cache", name, profile_.c_str(),
                 server_.c_str(), account_.c_str());
    } else {
      NLog_InfoA("ZUV", "%s:Creating dynamic profile %s with (%s, %s)", name, profile_.c_str(), server_.c_str(),
                 account_.c_str());
    }
    if (FAILED(zuv::CreateProfile(profile_.c_str()))) {
      NLog_ErrorA("ZUV", "%s:Error creating dynamic profile %s with (%s, %s)", name, profile_.c_str(),
                  server_.c_str(), account_.c_str());
      return false;
    }
    NLog_InfoA("ZUV", "%s:Successfully created dynamic profile %s with (%s, %s)", name, profile_.c_str(),
               server_.c_str(), account_.c_str());
    profile_created_ = true;
    if (FAILED(zuv::AddMailboxToProfile(0, server_.c_str(), account_.c_str(), profile_.c_str()))) {
      NLog_ErrorA("ZUV", "%s:Error adding mailbox %s to dynamic profile %s", name, account_.c_str(),
                  profile_.c_str());
      return false;
    }
    NLog_InfoA("ZUV", "%s:Successfully added mailbox %s to dynamic profile %s", name, account_.c_str(),
               profile_.c_str());
  }

  if (!session_->Login(name, profile_.c_str(), true)) {
    NLog_InfoA("ZUV", "%s:Error logging on with profile %s", name, profile_.c_str());
    return false;
  }
  IMsgStore* store = nullptr;
  HRESULT hr = session_->OpenStore(name, nullptr, &store, isService, kOpenStoreFlags, true);
  if (store != nullptr) store->Release();  // the scan files the stores; nothing is handed back
  if (hr != 0) {
    MAPIERROR* error = nullptr;
    IMAPISession* session = session_->GetSession();
    if (session != nullptr && SUCCEEDED(session->GetLastError(hr, 0, &error)) && error != nullptr) {
      NLog_ErrorA("ZUV", "%s:Error opening default message store with profile %s:%s\n", name, profile_.c_str(),
                  error->lpszError != nullptr ? error->lpszError : "");
      MAPIFreeBuffer(error);
    } else {
      NLog_ErrorA("ZUV", "%s:Unknown error opening default message store with profile %s", name, profile_.c_str());
    }
    return false;
  }
  return true;
}
