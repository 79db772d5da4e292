// zuv_cache.h: ZUV_Cache, the shared logged-on MAPI session of the service
// and what the request handlers keep on it: the catalogue of described
// folders (column names per folder), the table cache, and the property-name
// resolution with the process-wide custom property cache
// (zuv_cache_propnames.cpp).
//
// Life: the service runs one instance, the service instance, created by the
// first GetInstance (normally VerifyServiceProfile at start-up), logged on
// with the service account's profile and kept until the process ends. Every
// mailbox is reached through its session by store and folder entry IDs. A
// failed creation leaves no instance; the next GetInstance tries again.
//
// Ownership: an instance owns its CMapiExMod and its described-folder map
// with the MAPI allocation chains behind the entries. It owns its cached
// tables through shared ownership (table/zuv_table.h): a table removed from
// the cache lives on for every fill thread, reader and client that still
// holds a reference.
//
// Threading: request, table fetch and notification threads share the
// instance without a lock of its own; its MAPI session is thread-safe. The
// locks, outermost first:
//   instance_mu_ - creation and hand-out of the service
//       instance; held across the whole logon of a creation, so a slow
//       logon holds every other GetInstance.
//   count_mu_ - the hand-out counter.
//   described_mu_ - the described-folder map (shared for lookups).
//   the custom property cache's lock (zuv_cache_propnames.cpp).
//   tables_mu_ - the table cache.
//   mailboxes_mu_ - the other users' mailboxes opened on the session.
// The last four are never held across a MAPI call.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "base/request_values.h"
#include "base/thread_annotations.h"
#include "mapi/mapix.h"
#include "table/zuv_table.h"

class CMapiExMod;
class CMAPIFolder;
struct ZUV_FolderInfo_s;

namespace zuv {
struct ConnectionContext;
struct ServerInfo;
class ServiceSettings;
}  // namespace zuv

// One column of a described folder: its tag and every name it is known by.
// Entries and their strings live in the MAPI allocation chain of the
// describe run that made them, freed with the instance.
struct PROP_ARRAY_ENTRY {
  ULONG tag;
  ULONG type;      // tag & 0xFFFF
  BYTE resolved;   // 1 when at least one name was found for the tag
  ULONG cNames;
  LPSTR* names;    // cNames names, static-table names first in table order
};

// The profile the service instance uses when none is configured or the
// configured one does not exist.
inline constexpr const char* kDefaultProfileName = "tovanixZUV";

class ZUV_Cache : public ZUV_TableSession {
 public:
  // ---- Process-wide ----

  // The settings the service instance is built from (ExAlias, ExServer, CAS,
  // ExProfile). Borrowed; must outlive every later call here.
  // REQUIRES: called before the first GetInstance, while no other thread
  // uses the cache.
  static void SetSettings(const zuv::ServiceSettings* settings);

  // Hands out the service instance, creating it on first demand. Returns 0
  // with *cache set (and its hand-out counter raised), or 1 with *cache null
  // when it cannot be created. context names the caller in log lines;
  // serverInfo is not consulted. Waits on the instance mutex without a time
  // limit. Any thread.
  [[nodiscard]] static uint32_t GetInstance(const zuv::ConnectionContext* context,
                                            const zuv::ServerInfo* serverInfo, ZUV_Cache** cache);

  // The creation step of GetInstance: returns the existing service instance,
  // or builds and logs on a new one (logging every step). 0 with *cache
  // set, or 1 with *cache null.
  // REQUIRES: the instance mutex is held (only GetInstance calls it).
  [[nodiscard]] static uint32_t GetServiceInstance(const zuv::ConnectionContext* context,
                                                   ZUV_Cache** cache) ZUV_REQUIRES(instance_mu_);

  // Every handler calls this when done with an instance. It has no effect:
  // the service instance lives until the process ends.
  static void ReleaseInstance(ZUV_Cache* cache);

  // The start-up check: gets the service instance as "SVCPROFILE" and reads
  // the message count of its Inbox. 0 when it could be read, else 1 (the
  // reason is logged).
  [[nodiscard]] static uint32_t VerifyServiceProfile();

  // The instance key of a legacyExchangeDN: h = rotl8(h) + c over its bytes,
  // each taken as a signed char; "" gives 0, "A" 65, "AB" 16706.
  static int32_t InstanceKey(const std::string& legacyDN);

  // Deletes the service instance so the next GetInstance builds a new one.
  // REQUIRES: no other thread uses the cache.
  static void ResetServiceInstanceForTest();

  // ---- Construction ----

  // name becomes connectionName + ":" + account; the session module is
  // created under that name. Opens nothing; Logon does.
  ZUV_Cache(const char* connectionName, const char* account);
  // Logs the session out and frees the described-folder catalogue.
  ~ZUV_Cache();
  ZUV_Cache(const ZUV_Cache&) = delete;
  ZUV_Cache& operator=(const ZUV_Cache&) = delete;

  // Finds or creates the MAPI profile (the default "tovanixZUV" when profile
  // is empty, or, for the service instance, when the named one is missing),
  // adds the mailbox to a new profile, logs on and opens the mailbox store
  // (and, for the service instance, the public folder store). account and
  // server of exactly "null" count as empty. True when logged on with the
  // stores open; false after logging why. instanceKey is not used.
  bool Logon(int32_t instanceKey, const char* account, const char* server, const char* profile,
             bool isService);

  // Raises the hand-out counter; returns its new value. Any thread.
  int32_t AddRef();

  const std::string& Name() const { return name_; }
  const std::string& Account() const { return account_; }
  const std::string& Server() const { return server_; }
  const std::string& Profile() const { return profile_; }
  bool ProfileCreated() const { return profile_created_; }
  bool IsService() const { return is_service_; }
  int32_t HandOutCount();
  // The session module, borrowed for the instance's life.
  CMapiExMod* Session() const { return session_.get(); }

  // ---- Property names (zuv_cache_propnames.cpp) ----
  // Folder and store arguments are entry-ID strings; the store may also be
  // one of the special keys of CMapiExMod. Any thread.

  // Resolves a client's property name to a tag for a folder, trying in
  // order: the static name table, the custom property cache, the folder's
  // described columns, the named-property table, a hexadecimal long ID in
  // the custom property set, every known property set, and finally a string
  // name in PS_PUBLIC_STRINGS (created there when create is set). type is
  // combined with named-property IDs (0 when unknown; the last source then
  // never succeeds). Returns 0 with *tag set, non-zero with *tag untouched.
  [[nodiscard]] uint32_t PropTagFromName(const std::string& folderEntryID,
                                         const std::string& storeEntryID, const std::string& name,
                                         ULONG type, ULONG* tag, bool create);

  // The folder's columns with their names, from the catalogue or by reading
  // the folder's contents table once. Returns 0 with *entries set (borrowed:
  // valid while the instance lives); non-zero with *entries empty when the
  // folder or its table cannot be opened, or when the last column has no
  // name, in which case the folder is not recorded as described.
  [[nodiscard]] uint32_t DescribeFolder(const std::string& folderEntryID,
                                        const std::string& storeEntryID,
                                        std::vector<PROP_ARRAY_ENTRY*>* entries);

  // The string names of a named property tag through the folder's
  // GetNamesFromIDs. Each name is appended to *names as a copy allocated
  // with MAPIAllocateMore on parent. Returns 0 when every returned name is
  // a string, 1 when a name is numeric (not appended), else the MAPI code
  // (a warning when the tag has no name).
  [[nodiscard]] static HRESULT StringsFromPropTag(CMAPIFolder* folder, ULONG tag, LPGUID guid,
                                                  void* parent, std::vector<LPSTR>* names);

  // The tag cached for name under (store, folder) by SetCustomProperties:
  // 0 with *tag set (even when the cached tag is 0), else 1.
  [[nodiscard]] static uint32_t LookupCustomProperty(const std::string& folderEntryID,
                                                     const std::string& storeEntryID,
                                                     const std::string& name, ULONG* tag);

  // Resolves each property and caches its tag under (store, folder). A name
  // that does not resolve is skipped, or, with createIfNotExists, created in
  // PS_PUBLIC_STRINGS. Returns 0, or 1 at the first property that gets no
  // tag, with *errorText saying which.
  [[nodiscard]] uint32_t SetCustomProperties(const zuv::ConnectionContext* context,
                                             const std::string& folderEntryID,
                                             const std::string& storeEntryID,
                                             const std::vector<custom_property>& properties,
                                             std::string* errorText, bool createIfNotExists);

  // A string-named property in PS_PUBLIC_STRINGS of the folder, created when
  // create is set; the folder is opened for writing then, and once more with
  // MAPI_BEST_ACCESS when that fails. The tag, or 0.
  ULONG CreatePropTag(const std::string& folderEntryID, const std::string& storeEntryID,
                      const std::string& name, ULONG type, bool create);

  // Appends the first static-table name of tag to *names: 0, or 1 when the
  // table has none. folderEntryID is not used.
  [[nodiscard]] static uint32_t NameFromPropTag(const std::string& folderEntryID, ULONG tag,
                                                std::vector<std::string>* names);

  // Forgets every cached custom property. REQUIRES: no other thread uses
  // the cache.
  static void ClearCustomPropertiesForTest();

  // ---- Folders (zuv_cache_folders.cpp) ----
  // Folder and store arguments are entry-ID strings; the store may also be
  // one of the special keys of CMapiExMod. Each runs on the requesting
  // connection's thread and uses the shared session without a lock of its
  // own.

  // What GetFolderInfo reads of one folder.
  struct FolderDetails_s {
    std::string name;              // PR_DISPLAY_NAME_A
    std::string parentEntryID;     // PR_PARENT_ENTRYID as an entry-ID string
    int32_t messageCount = 0;      // PR_CONTENT_COUNT
    std::string modificationTime;  // PR_LAST_MODIFICATION_TIME, LongLocalDateTime
    std::string path;              // "/" and the display names from the root down
  };

  // Reads the direct subfolders of folderEntryID (the store root, or the
  // public IPM subtree, when empty) and sends them with jsonifyFolderList.
  // The list is read afresh on every call, so refresh changes nothing.
  // Returns 0 once a response went out (the folder list, or its failure
  // envelope), 1 when nothing was sent.
  [[nodiscard]] uint32_t GetFolderHierarchy(const zuv::ConnectionContext* context,
                                            const std::string& storeEntryID,
                                            const std::string& folderEntryID, bool refresh);

  // Sends {"ErrorNumber": 0, "ErrorString": "", "DataType": 501, "ROWS":
  // [{"Name", "EntryID", "EntryCount", "ChildCount", "Class"}...]} in list
  // order, or {"ErrorNumber": 1, "ErrorString": "cannot get folder list"}
  // when list is null.
  void jsonifyFolderList(const zuv::ConnectionContext* context,
                         const std::vector<ZUV_FolderInfo_s>* list);

  // Opens the folder at path (display names from the store root; empty is
  // the root). 0 with *entryID and *parentEntryID set; 1 when it cannot be
  // opened, both left untouched.
  [[nodiscard]] uint32_t GetEntryIDForFolder(const zuv::ConnectionContext* context,
                                             const std::vector<std::string>& path,
                                             const std::string& storeEntryID, std::string* entryID,
                                             std::string* parentEntryID);

  // Creates (or opens, when it exists) the subfolder name with container
  // class containerClass ("" sets none) under parentEntryID, or under the
  // store root when that is empty. 0 with *entryID set; 1 when the parent
  // cannot be opened or the folder created.
  [[nodiscard]] uint32_t CreateFolder(const zuv::ConnectionContext* context, const std::string& name,
                                      const std::string& containerClass,
                                      const std::string& parentEntryID,
                                      const std::string& storeEntryID, std::string* entryID);

  // Reads the folder's name, parent, message count, modification time and
  // path (the root for an empty folderEntryID). 0 with *values filled (a
  // value the folder lacks stays empty); 1, *values untouched, when the
  // folder or one of its parents cannot be opened.
  [[nodiscard]] uint32_t GetFolderInfo(const zuv::ConnectionContext* context,
                                       const std::string& folderEntryID,
                                       const std::string& storeEntryID, FolderDetails_s* values);

  // A FILETIME (100 ns ticks since 1601 UTC) as the server's local time in
  // the en-US long date and time forms, whatever the process locale:
  // "Sunday, December 6, 2026 3:04:05 AM". "" when the time is out of range.
  static std::string LongLocalDateTime(uint64_t fileTime);

  // ---- Mailboxes, servers and mobile devices (zuv_cache_mailboxes.cpp) ----
  // Run on the requesting connection's thread. Directory answers are read
  // through the directory module, bounded by its time-outs; stores are
  // opened on the shared session.

  // One mobile device recorded in a mailbox.
  struct ZUV_ASDevice {
    std::string folderName;      // the device folder's display name
    FILETIME creationTime{};     // of its "SyncStatus" child
    FILETIME modificationTime{};
    std::string storeEntryID;    // the store the device was found in
    std::string contactsEntryID; // that mailbox's Contacts folder
  };

  // Finds the owner of email in the directory and opens that mailbox on the
  // service session. 0 with *storeEntryID set (usable as StoreEntryID in
  // later requests); else the failing step's result with *errorText
  // "Cannot resolve e-amil <email>" or "Cannot open user mailbox
  // <server>:<legacy DN>".
  [[nodiscard]] uint32_t GetMailboxInfo(const zuv::ConnectionContext* context, const std::string& email,
                                        std::string* storeEntryID, std::string* errorText);

  // Opens another user's mailbox (mailboxDN: its legacyExchangeDN; serverDN:
  // the directory DN of its server, a slash-form server DN or a bare server
  // name) and gives its store entry-ID string. Answers are remembered per
  // (server, mailbox), so a mailbox read by many requests is logged on once.
  // 0, or the logon's failure code (*storeEntryID untouched).
  [[nodiscard]] uint32_t OpenUserMailbox(const std::string& serverDN, const std::string& mailboxDN,
                                         std::string* storeEntryID) ZUV_LOCKS_EXCLUDED(mailboxes_mu_);

  // Sends {"ErrorNumber": 0, "ErrorString": "", "ROWS": [{"Server": cn}...]}
  // for the mail servers named pattern (every one when empty). 0 once sent;
  // the directory's negative result when the list cannot be read (nothing
  // sent).
  [[nodiscard]] static int32_t GetExchangeServers(const zuv::ConnectionContext* context,
                                                  const std::string& pattern);

  // Sends every enabled mailbox user of the directory as one row each:
  // {"<mailbox name>": [{"MailBoxName"}, {"StoreDN"}, {"MailBoxDN"},
  // {"MailStoreDN"}, {"SurName"}, {"GivenName"}, {"Initials"}, {"Mail"},
  // {"DN"}, {"UserDN"}]}, written straight into one buffer. server is only
  // logged ("ALL Servers" when empty). 0 once sent; the directory's result
  // when the list cannot be read (nothing sent). Needs no mailbox session.
  [[nodiscard]] static int32_t GetMailboxes(const zuv::ConnectionContext* context, const std::string& server);

  // Sends the mobile devices of a mailbox: the user's mailbox when mailboxDN
  // is given (opened through OpenUserMailbox with server, else with
  // mailStoreDN), else the service mailbox. One row per device:
  // {"<DeviceID>": [{"DeviceID"}, {"MailBoxName"}, {"MailBoxDN"},
  // {"DeviceType"}, {"StoreEntryID"}, {"ContactEntryID"}, {"CreationTime"},
  // {"ModificationTime"}]}, times as "high,low". A mailbox without device
  // folders gives an empty ROWS. 0 once sent; 1 when the mailbox cannot be
  // opened (nothing sent).
  [[nodiscard]] uint32_t GetASDevices(const zuv::ConnectionContext* context, const std::string& server,
                                      const std::string& mailbox, const std::string& mailboxDN,
                                      const std::string& mailStoreDN);

  // Appends the devices of the store storeKey to *devices: every folder
  // below "ExchangeSyncData" whose name lacks "validate" and that has a
  // "SyncStatus" child, with that child's times, in hierarchy order.
  // Missing folders end the scan (logged), leaving *devices as it was.
  void GetASDevicesInMailbox(const std::string& storeKey, const std::string& server,
                             const std::string& mailbox, std::vector<ZUV_ASDevice>* devices);

  // ---- Table serving (zuv_cache_tables.cpp) ----
  // Runs on the requesting connection's thread. Tables are found or made
  // (the folder opened) under table_serving_mu_, so two first reads of one
  // folder share one table; new columns are resolved and their fill
  // started under the table's own set-up lock, rows are read outside both.

  // What a GetTable request asks besides its columns and criteria.
  struct TableRequest_s {
    uint32_t cacheData = 1;
    std::string notificationURL;
    std::string identifier;
    std::string clientIdentifier;
  };

  // The names of columnNames the table needs: "0x" names as they are, the
  // others looked up (not created); PR_LONGTERM_ENTRYID_FROM_TABLE left
  // out. 0, or the failing lookup's result with *errorText naming it.
  [[nodiscard]] uint32_t PruneColumns(const std::string& folderEntryID, const std::string& storeEntryID,
                                      const std::vector<std::string>& columnNames,
                                      std::vector<std::string>* keptNames, std::string* errorText);
  // One info line with the requested and the kept names.
  static void LogGetTableRequest(const std::string& instanceName, const std::string& folderEntryID,
                                 const std::string& storeEntryID, const std::vector<std::string>& columnNames,
                                 const std::vector<std::string>& keptNames);
  // Serves one folder read from the cached table (made and filled on
  // demand) and sends the response. 0 once a response went out; non-zero
  // with *errorText when nothing was sent. criteria get their tags.
  [[nodiscard]] uint32_t GetTable(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                                  const std::string& storeEntryID, const std::vector<std::string>& columnNames,
                                  std::vector<search_criteria_element>* criteria, const TableRequest_s& request,
                                  int32_t startIndex, int32_t numEntries, std::string* errorText)
      ZUV_LOCKS_EXCLUDED(table_serving_mu_);
  // Sends the attachment rows of the message itemEntryID through a one-shot
  // table. 0 once a response went out.
  [[nodiscard]] uint32_t GetAttachData(const zuv::ConnectionContext* context, const std::string& itemEntryID,
                                       const std::string& folderEntryID, const std::string& storeEntryID,
                                       const std::vector<std::string>& columnNames, const TableRequest_s& request);

  // ZUV_TableSession: what the tables read through.
  const std::string& TableLogName() const override { return name_; }
  CMapiExMod* TableMapi() const override { return session_.get(); }
  uint32_t TableTagFromName(const std::string& folderEntryID, const std::string& storeEntryID,
                            const std::string& name, ULONG* tag) override;

  // ---- Table cache (zuv_cache_tables.cpp) ----
  // Any thread; each call takes tables_mu_ for its own duration only.

  // The first cached table of folderEntryID in storeEntryID; null when none.
  // The caller's reference keeps the table alive whatever the cache does.
  ZUV_TablePtr FindTable(const std::string& folderEntryID, const std::string& storeEntryID)
      ZUV_LOCKS_EXCLUDED(tables_mu_);
  // Files table at the end of the cache.
  void AddTable(ZUV_TablePtr table) ZUV_LOCKS_EXCLUDED(tables_mu_);
  // Drops the cache's reference to table (the first entry that is this
  // object); nothing when it is not cached. folderEntryID is not consulted.
  void RemoveTable(const std::string& folderEntryID, const ZUV_Table* table)
      ZUV_LOCKS_EXCLUDED(tables_mu_);
  size_t TableCount() ZUV_LOCKS_EXCLUDED(tables_mu_);

  // ---- Item writes (zuv_cache_items.cpp) ----
  // Run on the requesting connection's thread through the shared session.
  // Folder and store arguments are entry-ID strings; the store may also be
  // one of the special keys of CMapiExMod.

  // Writes elements on the item *rowEntryID of the folder, or on a new item
  // there when *rowEntryID is empty. Names resolve with create (a new name
  // becomes a named property); PT_LONG, PT_STRING8, PT_BOOLEAN and
  // PT_SYSTIME are written, other types resolved only. On success the
  // folder's cached table gets the row (UpdateCacheData) and a new item's
  // entry ID is written to *rowEntryID. 0, or 1 (logged) with nothing saved
  // and *rowEntryID untouched.
  [[nodiscard]] uint32_t SetData(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                                 const std::string& storeEntryID, const std::vector<set_data_element>& elements,
                                 std::string* rowEntryID);
  // The info line of a write: each element with its tag (tags[i] of
  // elements[i]) and value; "NEW ROW" for an empty rowEntryID.
  static void LogSetTable(const std::string& instanceName, const std::string& folderEntryID,
                          const std::string& storeEntryID, const std::vector<set_data_element>& elements,
                          const std::vector<ULONG>& tags, const std::string& rowEntryID);
  // Deletes the item rowEntryID from the folder. 0, or 1 (logged) when the
  // folder cannot be opened or the item is not deleted. The cached table
  // learns of it from the store's notification.
  [[nodiscard]] uint32_t DeleteEntry(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                                     const std::string& storeEntryID, const std::string& rowEntryID);
  // Hands the written values (tags[i] of changedProperties[i]) of the row
  // rowEntryID to the folder's cached table; 0 when the folder has no
  // cached table, else the table's result.
  uint32_t UpdateCacheData(const std::string& folderEntryID, const std::string& storeEntryID,
                           const std::string& rowEntryID, const std::vector<set_data_element>& changedProperties,
                           const std::vector<ULONG>& tags) ZUV_LOCKS_EXCLUDED(tables_mu_);

  // ---- Attachments and contacts (zuv_cache_attachments.cpp) ----
  // Run on the requesting connection's thread through the shared session;
  // each opens the folder and item it needs and closes them before it
  // returns. Folder and store arguments are entry-ID strings; the store may
  // also be one of the special keys of CMapiExMod.

  // What GetAttachment achieved on the connection.
  enum class AttachmentDelivery {
    kSent = 0,      // the header and every byte went out
    kNotSent = 1,   // nothing was sent; the caller answers the failure
    kBroken = 2,    // the stream stopped after its header: the connection
                    // was shut down, as no answer can follow
  };
  // Sends attachment attachNum of the item rowEntryID on context's socket:
  // a 10-byte header of the response form (its byte count, NUL, filler),
  // then exactly that many bytes, read from the store in blocks, so memory
  // here stays at one block whatever the size.
  AttachmentDelivery GetAttachment(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                                   const std::string& storeEntryID, const std::string& rowEntryID,
                                   ULONG attachNum);
  // Deletes attachment attachNum of the item and saves it. 0, or 1 (logged).
  [[nodiscard]] uint32_t DeleteAttachment(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                                          const std::string& storeEntryID, const std::string& rowEntryID,
                                          ULONG attachNum);
  // Attaches the file at filePath to the item rowEntryID (a new item of the
  // folder when empty) under attachmentName, with elements (PT_LONG and
  // PT_STRING8; names resolved with create) as extra properties, and saves
  // the item. 0 with *attachNum set to the new attachment's number, or 1
  // (logged) with *attachNum untouched.
  [[nodiscard]] uint32_t AttachFile(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                                    const std::string& storeEntryID, const std::string& rowEntryID,
                                    const std::string& filePath, const std::string& attachmentName,
                                    const std::vector<set_data_element>& elements, ULONG* attachNum);
  // Sets elements (as AttachFile) on attachment attachNum of the item and
  // saves it. 0, or 1 (logged).
  [[nodiscard]] uint32_t SetAttachmentProperties(const zuv::ConnectionContext* context,
                                                 const std::string& folderEntryID,
                                                 const std::string& storeEntryID, const std::string& rowEntryID,
                                                 ULONG attachNum, const std::vector<set_data_element>& elements);

  // The fields of a new contact; empty fields are not written.
  struct ContactRequest_s {
    std::string fileAs;
    std::string displayName;
    std::string givenName;
    std::string surName;
    std::string middleName;
    std::string businessUrl;
    std::string notes;
  };
  // Adds an "IPM.Contact" item with contact's fields to folderEntryID, or to
  // the Contacts folder of the mailbox store when that is empty. 0 with
  // *entryID set, or 1 (logged with serverInfo's mailbox and server).
  [[nodiscard]] uint32_t AddContact(const zuv::ConnectionContext* context, const zuv::ServerInfo& serverInfo,
                                    const ContactRequest_s& contact, const std::string& folderEntryID,
                                    const std::string& storeEntryID, std::string* entryID);
  // ---- Composed messages (zuv_cache_messages.cpp) ----
  // The open-message map: process-wide, from a draft's entry-ID string to
  // its open message, guarded by its own lock (never held across a MAPI
  // call). Each draft also has a lock of its own, held for the whole of an
  // operation on it, so two requests on one draft run one after the other.
  // A draft leaves the map when it is sent, discarded or closed for
  // idleness; its entry ID then answers "Invalid entryID", as after a
  // restart. Any request thread; CloseIdleDrafts on the outbox worker.

  // Creates the draft in the mailbox's "Drafts" folder with the record's
  // subject, body, sensitivity, recipients and read receipt, saves it and
  // keeps it open in the map. 0 with *entryID set; 1 (logged, nothing left
  // behind) when the folder cannot be opened or the draft not written.
  [[nodiscard]] uint32_t CreateMessage(const zuv::ConnectionContext* context, const MessageRequest& message,
                                       std::string* entryID);
  // Adds the file at path to the draft entryID as an attachment called
  // attachmentName (the file's own name when empty), with flags as the
  // attachment flags, and saves the draft. 0, or 1 (logged).
  [[nodiscard]] uint32_t AddMessageAttachment(const zuv::ConnectionContext* context,
                                              const std::string& attachmentName, const std::string& entryID,
                                              const std::string& path, int32_t* flags);
  // Deletes attachment attachNum of the draft entryID and saves it. 0, or 1.
  [[nodiscard]] uint32_t DeleteMessageAttachment(const zuv::ConnectionContext* context,
                                                 const std::string& entryID, int32_t attachNum);
  // Deletes the draft entryID from "Drafts" and forgets it. 0, or 1.
  [[nodiscard]] uint32_t DiscardMessage(const zuv::ConnectionContext* context, const std::string& entryID);
  // Submits the draft entryID through the store (local recipients get it in
  // their Inbox, others are queued in the Outbox for the outbox worker) and
  // forgets it, sent or not. 0, or 1.
  [[nodiscard]] uint32_t SendMessage(const zuv::ConnectionContext* context, const std::string& entryID);
  // Closes every draft untouched for at least idle (info line each); drafts
  // busy with a request are left for the next call. The number closed.
  static int CloseIdleDrafts(std::chrono::steady_clock::duration idle);
  // Drafts in the map.
  static size_t OpenDraftCount();
  // Closes every draft. REQUIRES: no request thread uses the map.
  static void CloseAllDraftsForTest();

 private:
  // One described folder: its entries and the chain that holds them.
  struct DescribedFolder {
    void* chain = nullptr;  // MAPIAllocateBuffer root; freed by ~ZUV_Cache
    std::vector<PROP_ARRAY_ENTRY*> entries;
  };
  using DescribedFolderMap = std::map<std::string, DescribedFolder>;

  // The tag of name among the described columns of folder; false when the
  // folder is not described or no column has that name.
  bool FindDescribedName(const std::string& folderEntryID, const std::string& name, ULONG* tag)
      ZUV_LOCKS_EXCLUDED(described_mu_);
  bool IsDescribed(const std::string& folderEntryID) ZUV_LOCKS_EXCLUDED(described_mu_);
  // Steps of PropTagFromName past the caches, on the folder's named
  // properties; true with *tag set when one of them resolves name.
  bool NamedPropertyTag(const std::string& folderEntryID, const std::string& storeEntryID,
                        const std::string& name, ULONG type, ULONG* tag);

  std::unique_ptr<CMapiExMod> session_;
  std::string account_;  // "" for "null"
  std::string server_;   // "" for "null"

  // Creation and hand-out of the service instance.
  static zuv::Mutex instance_mu_;
  static ZUV_Cache* service_instance_ ZUV_GUARDED_BY(instance_mu_);

  zuv::Mutex count_mu_;
  int32_t hand_out_count_ ZUV_GUARDED_BY(count_mu_) = 0;

  bool profile_created_ = false;  // Logon made a new profile
  bool is_service_ = false;       // the service instance; opens the public store too

  // The described-folder catalogue: folder entry-ID string -> its columns.
  // Guarded by described_mu_, a reader-writer lock: lookups on request and
  // fetch threads take it shared and never wait for each other; a describe
  // run takes it exclusively only to insert, after its MAPI reads. Entries
  // are immutable once inserted and never removed.
  zuv::SharedMutex described_mu_;
  std::unique_ptr<DescribedFolderMap> described_folders_ ZUV_PT_GUARDED_BY(described_mu_);

  // The cached contents tables of this session, in the order they were
  // added. Guarded by tables_mu_.
  // Find-or-make of a table for a read, its folder opened; taken before
  // tables_mu_ and before a table's locks.
  zuv::Mutex table_serving_mu_;
  zuv::Mutex tables_mu_;
  std::vector<ZUV_TablePtr> tables_ ZUV_GUARDED_BY(tables_mu_);

  // Other users' mailboxes opened on the session: server DN "\n" mailbox
  // DN -> store entry-ID string. Guarded by mailboxes_mu_, never held
  // across a logon; emptied when it reaches kMaxUserMailboxes.
  zuv::Mutex mailboxes_mu_;
  std::map<std::string, std::string> user_mailboxes_ ZUV_GUARDED_BY(mailboxes_mu_);

  std::string name_;     // log prefix: connection name ":" account
  std::string profile_;  // the profile Logon used
};
