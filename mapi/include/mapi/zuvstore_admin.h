// zuvstore_admin.h: administration of the message store, for the admin tool,
// the tests and the demo. Not part of the MAPI surface.
//
// All calls return S_OK or a failure with *err saying what went wrong in
// words an operator can act on. A StoreAdmin is safe to use from one thread
// at a time; several StoreAdmins (and MAPI sessions, in this or other
// processes) may use one database at once.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mapi/mapix.h"

namespace zuvstore {

// The database MAPILogonEx and MAPIAdminProfiles use. Call before
// MAPIInitialize; without it the ZUV_STORE_PATH environment variable names
// it. Returns the path in use ("" when none is set).
void SetStorePath(const std::string& path);
std::string StorePath();

// Why the calling thread's last MAPILogonEx failed ("" after a success):
// the missing profile, service, server or mailbox.
std::string LastLogonError();

struct MailboxSpec {
  std::string alias;
  std::string display_name;
  std::vector<std::string> smtp;  // the first is the primary address
  std::string legacy_dn;
  std::string server;             // a server added with AddServer
  bool html_ok = true;            // false withdraws STORE_HTML_OK
};

struct MailboxInfo {
  std::string alias;
  std::string display_name;
  std::vector<std::string> smtp;
  std::string legacy_dn;
  std::string server;
  std::string store_entry_id;  // upper-case hex
  bool is_public = false;
};

struct FolderInfo {
  std::string path;            // "Inbox/Projects"; "/ExchangeSyncData" outside the IPM subtree
  std::string entry_id;        // upper-case hex
  int64_t content_count = 0;
  int64_t child_count = 0;
  std::string container_class;
};

class StoreAdmin {
 public:
  // Opens (creating when missing) the store database at path, with the public
  // folder store and its IPM subtree.
  [[nodiscard]] static HRESULT Open(const std::string& path, std::unique_ptr<StoreAdmin>* out,
                                    std::string* err);
  ~StoreAdmin();

  [[nodiscard]] HRESULT AddServer(const std::string& name, bool cas, std::string* err);
  // A mailbox with its default folders (root, Top of Information Store with
  // Inbox, Outbox, Sent Items, Deleted Items, Drafts, Contacts, Calendar,
  // Tasks, Notes, Journal; root-level ExchangeSyncData). *entry_id: the store
  // entry ID in hex. MAPI_E_COLLISION when the alias or an address is taken.
  [[nodiscard]] HRESULT AddMailbox(const MailboxSpec& spec, std::string* entry_id, std::string* err);
  [[nodiscard]] HRESULT ListMailboxes(std::vector<MailboxInfo>* out, std::string* err);
  // alias "" with is_public: the public folder store.
  [[nodiscard]] HRESULT ListFolders(const std::string& alias, bool is_public,
                                    std::vector<FolderInfo>* out, std::string* err);
  // Creates the missing folders along path; *entry_id is the last one's.
  [[nodiscard]] HRESULT CreateFolderPath(const std::string& alias, bool is_public,
                                         const std::string& path, const std::string& container_class,
                                         std::string* entry_id, std::string* err);
  // The folder at path, opened read-write on an internal session.
  [[nodiscard]] HRESULT OpenFolder(const std::string& alias, bool is_public, const std::string& path,
                                   IMAPIFolder** out, std::string* err);
  // Runs fn with every store write of this thread inside one transaction:
  // others see all of it at commit, and its notifications go out then. A
  // write inside fn that fails undoes only itself; fn's own failure undoes
  // the whole batch. Holds the store's write lock while fn runs.
  [[nodiscard]] HRESULT Batch(const std::function<HRESULT()>& fn, std::string* err);

  // "service_admin2" = "0" withdraws IMsgServiceAdmin2 from profiles.
  [[nodiscard]] HRESULT SetSetting(const std::string& key, const std::string& value, std::string* err);

  const std::string& path() const;

 private:
  struct Impl;
  explicit StoreAdmin(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Entry IDs as upper-case hex and back.
std::string EntryIdToHex(const void* data, size_t len);
bool HexToEntryId(const std::string& hex, std::string* bytes);

}  // namespace zuvstore
