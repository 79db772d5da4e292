// zuv_client.h: ZUV_Client, the record of one client's read of one table
// (who it is, its criteria, where its pushes go), the process-wide registry
// of these records, the read itself (fetch-and-filter with paging) and the
// serialization of rows into a response frame.
//
// Ownership: the registry owns its records through std::shared_ptr; a read
// in progress holds a reference of its own, so a record deleted by Close
// while it is read stays valid until the read ends. A record holds a
// reference to its table; a table holds its listening records weakly.
//
// Pushes: a record told of a row change (OnRowEvent, on the thread that
// changed the table) queues a push on the process's ZUV_PushSender when it
// has a notification host and port and, except for deletions, the row
// matches its criteria. The ROWS text is serialized once per change and
// shared by the listeners of that change.
//
// Threading: the registry is guarded by registry_mu_, held shared by ping
// and the counts and exclusively by registration and delete; it is never held while a table lock is taken or a
// response is sent. A record's identity and criteria are fixed at creation;
// its last-touched time is an atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/request_values.h"
#include "base/thread_annotations.h"
#include "base/wire.h"
#include "table/zuv_table.h"

// DataType of a table read.
inline constexpr int32_t kDataTypeTableRows = 501;

class ZUV_EarlyRows;

class ZUV_Client : public ZUV_TableListener, public std::enable_shared_from_this<ZUV_Client> {
 public:
  // Creates a record, copies the criteria (a "0x" name sets the tag) and
  // registers it. table may be null (a read that failed).
  static std::shared_ptr<ZUV_Client> Create(const zuv::ConnectionContext& connection, ZUV_TablePtr table,
                                            const std::vector<search_criteria_element>& criteria,
                                            const std::string& folderEntryID, const std::string& storeEntryID,
                                            const std::string& clientId, const std::string& notificationURL,
                                            const std::string& identifier, uint8_t flag);
  ~ZUV_Client() override;
  ZUV_Client(const ZUV_Client&) = delete;
  ZUV_Client& operator=(const ZUV_Client&) = delete;

  // ---- Registry ----

  // Touches every record of clientId: 0 when there was one, else 3.
  static int32_t Ping(const std::string& clientId) ZUV_LOCKS_EXCLUDED(registry_mu_);
  // Deletes the records of clientId for folderEntryID ("" = every folder),
  // taking each off its table's listeners.
  static void DeleteClient(const std::string& clientId, const std::string& folderEntryID)
      ZUV_LOCKS_EXCLUDED(registry_mu_);
  // Deletes this one record (a read that is not kept).
  static void DeleteRecord(const std::shared_ptr<ZUV_Client>& client) ZUV_LOCKS_EXCLUDED(registry_mu_);
  static size_t RegistryCount() ZUV_LOCKS_EXCLUDED(registry_mu_);
  static size_t RegistryCount(const std::string& clientId) ZUV_LOCKS_EXCLUDED(registry_mu_);

  // Splits "host:port" at its first ':'; port 0 when absent or unreadable.
  static void ParseNotificationURL(const std::string& url, std::string* host, int32_t* port);

  // ---- Record ----

  void Touch();
  FILETIME LastTouched();
  const std::string& Identifier() const { return identifier_; }
  const std::string& StoreEntryID() const { return store_entry_id_; }
  const std::vector<search_criteria_element>& Criteria() const { return criteria_; }
  const ZUV_TablePtr& Table() const { return table_; }
  // 1 for a cached read (GetTable), 0 for a one-shot read.
  uint8_t Flag() const { return flag_; }
  const char* ConnectionName() const { return connection_.name; }
  // Set when the record is deleted: no push is queued or started after it.
  bool IsClosed() const { return closed_.load(std::memory_order_acquire); }

  // ZUV_TableListener
  void OnRowEvent(const ZUV_Table& table, ZUV_RowEvent event, const std::string& rowKey,
                  const ZUV_RowRef& row) override;
  const std::string& NotificationHost() const override { return notification_host_; }
  int32_t NotificationPort() const override { return notification_port_; }
  const std::string& ClientId() const override { return client_id_; }
  const std::string& ListenerFolderEntryID() const override { return folder_entry_id_; }

  // ---- Reading ----

  // True when no criteria, or any criterion equals the row's value
  // ("PR_ENTRYID" against the row key; PT_STRING8, PT_LONG and PT_SYSTIME
  // values only).
  bool MatchesCriteria(const ZUV_Row& row, bool withKey) const;
  // Waits while the table fills until enough rows match, then sends every
  // matching row from startIndex on (numbered from 1). *rowCount: rows sent.
  void FetchAndFilter(ZUV_Table& table, int socket, int32_t startIndex, int32_t numEntries, int32_t* rowCount);

  // Serializes and sends one response on socket: rows (named by the
  // column names given) with errorNumber 0, else the error envelope only.
  void jsonify(int socket, int32_t dataType, const std::vector<ZUV_RowRef>& rows,
               const std::map<ULONG, std::string>& columnNames, int32_t errorNumber,
               const std::string& errorText) const;

  // The ROWS value of a push: the one row as an array, or the key as a
  // string for a deleted row (503).
  static std::string PushRowsText(int32_t dataType, const std::string& rowKey, const ZUV_RowRef& row,
                                  const std::map<ULONG, std::string>& columnNames);

  // Reads of this many rows or more are streamed (written while they are
  // sent, through buffers of a few MB); default 262,144. For tests.
  static void SetStreamRows(size_t rows) { stream_rows_.store(rows, std::memory_order_relaxed); }

  // The response text of the same (no frame), for tests and the above.
  static std::string BuildResponse(int32_t dataType, const std::string& identifier,
                                   const std::vector<ZUV_RowRef>& rows,
                                   const std::map<ULONG, std::string>& columnNames, int32_t errorNumber,
                                   const std::string& errorText);

 private:
  // Sends a read's response from the texts written while the table filled
  // (early), writing the rows it lacks.
  void SendWithEarlyRows(int socket, const std::vector<ZUV_RowRef>& rows,
                         const std::map<ULONG, std::string>& columnNames, ZUV_EarlyRows* early) const;
  // jsonify for a large read: measured, then sent while a helper thread
  // writes it. False when the helper cannot start (nothing is sent then).
  bool SendStreamed(int socket, int32_t dataType, const std::vector<ZUV_RowRef>& rows,
                    const std::map<ULONG, std::string>& columnNames) const;

  ZUV_Client(const zuv::ConnectionContext& connection, ZUV_TablePtr table,
             const std::vector<search_criteria_element>& criteria, const std::string& folderEntryID,
             const std::string& storeEntryID, const std::string& clientId, const std::string& notificationURL,
             const std::string& identifier, uint8_t flag);

  std::string notification_host_;
  int32_t notification_port_ = 0;
  const ZUV_TablePtr table_;
  const std::string folder_entry_id_;
  const std::string store_entry_id_;
  const std::string identifier_;
  const std::string client_id_;
  const uint8_t flag_;
  zuv::ConnectionContext connection_;
  std::vector<search_criteria_element> criteria_;

  std::atomic<bool> closed_{false};
  // Closes the record and drops its queued pushes.
  void Close();

  // The last-touched FILETIME as one 64-bit number.
  std::atomic<uint64_t> last_touched_{0};

  static zuv::SharedMutex registry_mu_;
  static std::atomic<size_t> stream_rows_;
  // Changed only under the exclusive lock.
  static std::vector<std::shared_ptr<ZUV_Client>>& Registry() ZUV_REQUIRES_SHARED(registry_mu_);
};

using ZUV_ClientPtr = std::shared_ptr<ZUV_Client>;
