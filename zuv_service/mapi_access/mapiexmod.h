// mapiexmod.h: CMapiExMod, the one object through which the service reaches
// a mailbox: process-wide MAPI start and stop, logon with a profile, the
// stores of the session filed by key, secondary mailboxes through the
// mailbox store's administrative interface, and folder openers.
//
// Store keys: kMailboxStoreKey ("ZUV_MAILBOX_STORE_ENTRYID") for the
// session's mailbox store, kPublicStoreKey ("ZUV_PF_STORE_ENTRYID") for the
// public folder store, any other text is a store entry-ID string.
//
// Ownership: the module owns its session (a derived module borrows its
// parent's and never releases it; the parent must outlive it) and one
// reference to every filed store. Stores handed out carry a reference of
// their own and outlive a Logout; folders handed out belong to the caller.
//
// Threading: one service instance is used by request, population and
// notification threads at once. MAPI calls are thread-safe; the store map
// is guarded by mu_, which is never held across a MAPI call other than the
// AddRef of a store being handed out. Login, Logout, Notify and the setters
// are the owner's calls, made while no other thread uses the module.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/thread_annotations.h"
#include "mapi/mapiptr.h"
#include "mapi/mapitags.h"
#include "mapi/mapix.h"
#include "mapi_access/mapi_sink.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/mapiobject.h"

inline constexpr const char* kMailboxStoreKey = "ZUV_MAILBOX_STORE_ENTRYID";
inline constexpr const char* kPublicStoreKey = "ZUV_PF_STORE_ENTRYID";

// A folder hierarchy, shared by the callers that read it.
using ZUV_FolderList = std::vector<ZUV_FolderInfo_s>;

class CMapiExMod {
 public:
  // ---- Process-wide ----

  // MAPIInitialize with MAPI_MULTITHREAD_NOTIFICATIONS and/or MAPI_NT_SERVICE
  // (plain MAPIInitialize(null) when neither). Once, before any logon.
  static bool Init(bool bMultiThreadedNotifications, bool InitAsService);
  // MAPIUninitialize. Once, at shutdown.
  static void Term();
  // The path of the store library in use, for the diagnostics banner: the
  // store is linked into this executable, so the executable's own path
  // (or "built-in zuvmapi" when that cannot be read). client is ignored;
  // there is no mail-client registry. False when buffer is too small.
  static bool GetMapiDllPath(const char* client, char* buffer, size_t size);

  // The secondary-mailbox diagnostics lists: "server DN-mailbox DN" of every
  // attempt, successes ("Good") and failures ("Bad"). Process-wide, guarded
  // by a mutex of their own (any thread).
  static void LogDiagnostics();  // "Good:%d, Bad:%d" at warning level
  static void GetDiagnostics(std::vector<std::string>* good, std::vector<std::string>* bad);
  static void ClearDiagnosticsForTest();

  // ---- Construction ----

  explicit CMapiExMod(const char* name);
  // A module on parent's session; when mailboxStore is given it is filed
  // under kMailboxStoreKey (the module takes its own reference). Copies the
  // parent's service mail server and folder open flags.
  CMapiExMod(const char* name, CMapiExMod* parent, IMsgStore* mailboxStore);
  // Logs out (stores, own session).
  ~CMapiExMod();
  CMapiExMod(const CMapiExMod&) = delete;
  CMapiExMod& operator=(const CMapiExMod&) = delete;

  // The configured service mail server (ExServer), the fallback of
  // OpenSecondaryMailbox. Set once after construction, before other threads
  // use the module.
  void SetExServer(const std::string& server) { ex_server_ = server; }
  const std::string& ExServer() const { return ex_server_; }
  // Flags for OpenEntry of folders opened from a store or Inbox property;
  // MAPI_BEST_ACCESS unless changed. Same rule as SetExServer.
  void SetFolderOpenFlags(ULONG flags) { folder_open_flags_ = flags; }
  ULONG FolderOpenFlags() const { return folder_open_flags_; }

  const std::string& Name() const { return name_; }
  bool IsDerived() const { return derived_; }
  // The session, borrowed; null before Login.
  IMAPISession* GetSession() const { return session_; }

  // ---- Session ----

  // MAPILogonEx with profile. False (no session) on failure, logged.
  bool Login(const char* name, const char* profile, bool InitAsService);
  // Unadvises, logs off and releases the filed stores, releases the own
  // session. Stores handed out stay valid. May be called more than once.
  void Logout();
  bool GetProfileName(std::string* name);
  bool GetProfileEmail(std::string* email);
  bool CreateProfile(const char* profile) { return AdminProfile(profile, true); }
  bool DeleteProfile(const char* profile) { return AdminProfile(profile, false); }

  // ---- Stores ----

  // Opens stores: by the store-table scan for the special keys, a null key
  // ("DefaultStores": mailbox, and public when allowed) or an invalid
  // entry-ID string; else by entry ID (storeKey converted, or entryID).
  // Scan path: opened stores are filed under their special key and *store
  // stays null. Entry-ID path: *store gets the store (caller owns one
  // reference); with fileUnderKey it is filed under storeKey, and when
  // another thread filed that key first, the filed store is kept and handed
  // back instead of the one just opened. store may be null.
  // Returns the last OpenMsgStore result, 1 when none was made or there is
  // no session, 0 when the key was already filed (or the table was empty).
  [[nodiscard]] HRESULT OpenStore(const char* name, const char* storeKey, IMsgStore** store,
                                  bool allowPublicFolders, ULONG flags, bool fileUnderKey,
                                  LPENTRYID entryID = nullptr, ULONG entryIDSize = 0);
  // The filed store, opened and filed on demand; null when it cannot be
  // had. The holder owns the reference it gets.
  MapiPtr<IMsgStore> GetStore(const char* storeKey);
  MapiPtr<IMsgStore> GetMailboxStore() { return GetStore(kMailboxStoreKey); }
  MapiPtr<IMsgStore> GetPublicStore() { return GetStore(kPublicStoreKey); }
  // PR_STORE_SUPPORT_MASK of the mailbox store; 0 without one.
  ULONG GetStoreSupportMask();

  // Logs on to another user's mailbox through the mailbox store's
  // IExchangeManageStore, first on the server named by serverDN, then on
  // ExServer. 0 without doing anything when mailboxDN is empty or there is
  // no mailbox store. On 0 *store holds the store (caller owns one
  // reference; not filed) and *storeEntryID its entry-ID string.
  [[nodiscard]] HRESULT OpenSecondaryMailbox(const char* name, const char* serverDN,
                                             const char* mailboxDN, ULONG flags, IMsgStore** store,
                                             std::string* storeEntryID);
  // One attempt of the above with a ready store DN; with fileUnderKey the
  // store is also filed under its entry-ID string (see OpenStore).
  [[nodiscard]] HRESULT HrMailboxLogon(const char* name, const char* storeDN, const char* mailboxDN,
                                       IMsgStore** store, bool fileUnderKey, ULONG flags,
                                       std::string* storeEntryID);
  // The store DN OpenSecondaryMailbox derives from a server DN.
  static std::string StoreDNFromServerDN(const std::string& serverDN);

  // ---- Folders ----
  // Each returns a new folder owned by the caller, or null (logged).

  // The folder whose entry ID the store property propTag holds: mailbox
  // store, then public store.
  std::unique_ptr<CMAPIFolder> OpenFolder(ULONG propTag);
  std::unique_ptr<CMAPIFolder> OpenOutbox() { return OpenFolder(PR_IPM_OUTBOX_ENTRYID); }
  std::unique_ptr<CMAPIFolder> OpenDeletedItems() { return OpenFolder(PR_IPM_WASTEBASKET_ENTRYID); }
  std::unique_ptr<CMAPIFolder> OpenSentItems() { return OpenFolder(PR_IPM_SENTMAIL_ENTRYID); }
  // The folder whose entry ID the Inbox property propTag holds.
  std::unique_ptr<CMAPIFolder> OpenFolderInInbox(ULONG propTag);
  std::unique_ptr<CMAPIFolder> OpenContacts() { return OpenFolderInInbox(PR_IPM_CONTACT_ENTRYID); }
  std::unique_ptr<CMAPIFolder> OpenDrafts() { return OpenFolderInInbox(PR_IPM_DRAFTS_ENTRYID); }
  std::unique_ptr<CMAPIFolder> OpenCalendar() { return OpenFolderInInbox(PR_IPM_APPOINTMENT_ENTRYID); }
  // The first folder of the store's whole tree with that display name
  // (ignoring case).
  std::unique_ptr<CMAPIFolder> OpenFolder(const char* folderName, const char* storeKey);
  // The folder at path (display names from the root); the root itself for an
  // empty path.
  std::unique_ptr<CMAPIFolder> OpenFolderByPath(const std::vector<std::string>& path,
                                                const char* storeKey);
  std::unique_ptr<CMAPIFolder> OpenFolderByEntryID(const char* entryID, const char* storeKey,
                                                   ULONG flags);
  std::unique_ptr<CMAPIFolder> OpenRootFolder(const char* storeKey, ULONG flags);
  std::unique_ptr<CMAPIFolder> OpenInbox();

  // The direct subfolders of folderEntryID (the root, or the public IPM
  // subtree, when empty), read afresh on every call. Null when the folder
  // cannot be opened or read.
  std::shared_ptr<const ZUV_FolderList> GetFolderHierarchy(const char* storeKey,
                                                           const char* folderEntryID);

  // ---- Notifications ----

  // Registers a CMAPISink for callback on the mailbox store's Inbox with
  // eventMask, replacing any earlier registration. Needs STORE_NOTIFY_OK.
  bool Notify(ZUV_NotifyCallback callback, void* context, ULONG eventMask);
  ULONG AdviseConnection() const { return advise_connection_; }

  // Logs the session's last error text for code under where/function.
  void LogMapiError(HRESULT code, const char* where, const char* function);

  // Replaces the session, for tests that wrap the store's session. The
  // module takes over the caller's reference.
  void SetSessionForTest(IMAPISession* session);

 private:
  bool AdminProfile(const char* profile, bool create);
  // Files store under key unless a store is filed there already, in which
  // case store is released and the filed one kept. Returns the store filed
  // under key, with a reference for the caller.
  MapiPtr<IMsgStore> FileStore(const std::string& key, MapiPtr<IMsgStore> store);
  // The store filed under key with a reference for the caller; null when
  // none.
  MapiPtr<IMsgStore> FindStore(const std::string& key);
  std::unique_ptr<CMAPIFolder> OpenFolderFromStore(ULONG propTag, const char* storeKey);
  HRESULT ScanStoreTable(const std::string& name, const char* storeKey, bool allowPublicFolders,
                         ULONG flags);

  const std::string name_;
  IMAPISession* session_ = nullptr;  // owned unless derived_
  ULONG folder_open_flags_ = MAPI_BEST_ACCESS;
  ULONG advise_connection_ = 0;
  std::string ex_server_;
  bool derived_ = false;

  zuv::Mutex mu_;
  std::map<std::string, MapiPtr<IMsgStore>> stores_ ZUV_GUARDED_BY(mu_);
};
