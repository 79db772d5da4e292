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
// parent's and never releases it; the parent must outlive it), one reference
// to every filed store, the current folder and the hierarchy lists.
//
// Threading: one service instance is used by request, population and
// notification threads at once. MAPI calls are thread-safe; the module's own
// maps and current folder are guarded by mu_, which is never held across a
// MAPI call. Pointers handed out from the maps (GetStore, GetCurrentFolder)
// are borrowed and stay valid until Logout or another setCurrent open.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/thread_annotations.h"
#include "mapi/mapitags.h"
#include "mapi/mapix.h"
#include "mapi_access/mapi_sink.h"
#include "mapi_access/mapiobject.h"

class CMAPIFolder;

inline constexpr const char* kMailboxStoreKey = "ZUV_MAILBOX_STORE_ENTRYID";
inline constexpr const char* kPublicStoreKey = "ZUV_PF_STORE_ENTRYID";

// A folder hierarchy, shared between the module's cache and its callers.
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

  CMapiExMod(const char* name, bool isDerived = false);
  // A module on parent's session; when mailboxStore is given it is filed
  // under kMailboxStoreKey (the module takes its own reference). Copies the
  // parent's service mail server and folder open flags.
  CMapiExMod(const char* name, CMapiExMod* parent, IMsgStore* mailboxStore);
  // Logs out (stores, current folder, own session).
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
  // Unadvises, logs off and releases the stores, deletes the current folder,
  // releases the own session. May be called more than once.
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
  // reference); filed under storeKey when fileUnderKey. store may be null.
  // Returns the last OpenMsgStore result, 1 when none was made or there is
  // no session, 0 when the key was already filed (or the table was empty).
  [[nodiscard]] HRESULT OpenStore(const char* name, const char* storeKey, IMsgStore** store,
                                  bool allowPublicFolders, ULONG flags, bool fileUnderKey,
                                  LPENTRYID entryID = nullptr, ULONG entryIDSize = 0);
  // The filed store, opened on demand; null when it cannot be had. Borrowed.
  IMsgStore* GetStore(const char* storeKey);
  IMsgStore* GetMailboxStore() { return GetStore(kMailboxStoreKey); }
  IMsgStore* GetPublicStore() { return GetStore(kPublicStoreKey); }
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
  // One attempt of the above with a ready store DN.
  [[nodiscard]] HRESULT HrMailboxLogon(const char* name, const char* storeDN, const char* mailboxDN,
                                       IMsgStore** store, ULONG reserved, ULONG flags,
                                       std::string* storeEntryID);
  // The store DN OpenSecondaryMailbox derives from a server DN.
  static std::string StoreDNFromServerDN(const std::string& serverDN);

  // ---- Folders ----
  // Each returns a new CMAPIFolder or null. Without setCurrent the caller
  // owns it; with setCurrent it also becomes the current folder (the
  // previous one is deleted) and the module owns it.

  // The folder whose entry ID the store property propTag holds: mailbox
  // store, then public store.
  CMAPIFolder* OpenFolder(ULONG propTag, bool setCurrent);
  CMAPIFolder* OpenOutbox(bool setCurrent) { return OpenFolder(PR_IPM_OUTBOX_ENTRYID, setCurrent); }
  CMAPIFolder* OpenDeletedItems(bool setCurrent) { return OpenFolder(PR_IPM_WASTEBASKET_ENTRYID, setCurrent); }
  CMAPIFolder* OpenSentItems(bool setCurrent) { return OpenFolder(PR_IPM_SENTMAIL_ENTRYID, setCurrent); }
  // The folder whose entry ID the Inbox property propTag holds.
  CMAPIFolder* OpenFolderInInbox(ULONG propTag, bool setCurrent);
  CMAPIFolder* OpenContacts(bool setCurrent) { return OpenFolderInInbox(PR_IPM_CONTACT_ENTRYID, setCurrent); }
  CMAPIFolder* OpenDrafts(bool setCurrent) { return OpenFolderInInbox(PR_IPM_DRAFTS_ENTRYID, setCurrent); }
  CMAPIFolder* OpenCalendar(bool setCurrent) { return OpenFolderInInbox(PR_IPM_APPOINTMENT_ENTRYID, setCurrent); }
  // The first folder of the store's whole tree with that display name
  // (ignoring case).
  CMAPIFolder* OpenFolder(const char* folderName, bool setCurrent, const char* storeKey);
  // The folder at path (display names from the root); the root itself for an
  // empty path.
  CMAPIFolder* OpenFolderByPath(const std::vector<std::string>& path, bool setCurrent,
                                const char* storeKey);
  CMAPIFolder* OpenFolderByEntryID(const char* entryID, const char* storeKey, bool setCurrent,
                                   ULONG flags);
  CMAPIFolder* OpenRootFolder(const char* storeKey, bool setCurrent, ULONG flags);
  CMAPIFolder* OpenInbox(bool setCurrent);
  // The current folder, borrowed; null when none.
  CMAPIFolder* GetCurrentFolder();

  // The direct subfolders of folderEntryID (the root, or the public IPM
  // subtree, when empty), rebuilt on every call and kept under
  // storeKey + folderEntryID. Null when the folder cannot be opened or read.
  std::shared_ptr<const ZUV_FolderList> GetFolderHierarchy(const char* storeKey,
                                                           const char* folderEntryID, bool refresh);

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
  // Files store under key (taking over the caller's reference); a store
  // already filed there is released.
  void FileStore(const std::string& key, IMsgStore* store);
  IMsgStore* FindStore(const std::string& key);
  // Makes folder current when setCurrent; returns folder.
  CMAPIFolder* Finish(CMAPIFolder* folder, bool setCurrent);
  CMAPIFolder* OpenFolderFromStore(ULONG propTag, const char* storeKey);
  HRESULT ScanStoreTable(const std::string& name, const char* storeKey, bool allowPublicFolders,
                         ULONG flags);

  const std::string name_;
  IMAPISession* session_ = nullptr;  // owned unless derived_
  ULONG folder_open_flags_ = MAPI_BEST_ACCESS;
  ULONG advise_connection_ = 0;
  std::string ex_server_;
  bool derived_ = false;

  std::mutex mu_;
  CMAPIFolder* current_folder_ ZUV_GUARDED_BY(mu_) = nullptr;  // owned
  std::map<std::string, IMsgStore*> stores_ ZUV_GUARDED_BY(mu_);  // one reference each
  std::map<std::string, std::shared_ptr<const ZUV_FolderList>> folder_hierarchies_
      ZUV_GUARDED_BY(mu_);
};
