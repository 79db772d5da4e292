// client.h: a client of the ZUV service: one connection to a JSON port and
// each request as a function with a typed result.
//
// Every function returns a result code (below) and passes texts back through
// its last parameter. kFailed carries the service's ErrorString. Every read
// waits at most the time-out for the next bytes, so no call hangs on a
// service that does not answer.
//
// Threading: a Client is used by one thread at a time (requests on one
// connection are strictly sequential). Different Clients are independent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zuvsdk/values.h"

namespace zuvsdk {

// Result codes.
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;        // the service answered with a failure
inline constexpr int kNoAnswer = 3;      // no answer within the time-out
inline constexpr int kNotConnected = 4;  // cannot connect, or the service closed the connection
inline constexpr int kBadAnswer = 5;     // an answer of the wrong shape
inline constexpr int kBadArgument = 6;   // an argument the request cannot carry

// The word that stands for the session's mailbox store.
inline constexpr const char* kMailboxStore = "ZUV_MAILBOX_STORE_ENTRYID";
inline constexpr const char* kPublicStore = "ZUV_PF_STORE_ENTRYID";

// Where the service listens and how long to wait for it.
struct Endpoint {
  std::string host = "127.0.0.1";
  uint16_t port = 20400;      // a JSON port
  uint16_t bin_port = 20430;  // the binary upload port
  int timeout_ms = 10000;     // longest wait for connect and for each read
};

// Keys sent with every request of a session.
struct Session {
  std::string mailbox;                   // Mailbox; "" leaves it out
  std::string server;                    // ServerName; "" leaves it out
  std::string store = kMailboxStore;     // StoreEntryID
  std::string client_id = "zuvctl";      // ClientIdentifier
};

// One search criterion of a table read: equality of a column with a value.
struct Criterion {
  std::string name;
  TypedValue value;
  int op = 4;  // RELOP_EQ; the service compares for equality
};

// One property to write: name and typed value.
struct Assignment {
  std::string name;
  TypedValue value;
};

struct TableQuery {
  std::string folder;  // folder entry ID
  std::vector<std::string> columns;
  std::vector<Criterion> criteria;
  std::string notification_url;  // "host:port" for pushes; "" for none
  // The service pushes only to reads with an identifier; "" with a
  // notification_url sends the client ID.
  std::string identifier;
  int start = 0;
  int count = 0;  // 0: all rows
};

struct FolderEntry {
  std::string name;
  std::string entry_id;
  int64_t entry_count = 0;
  int64_t child_count = 0;
  std::string container_class;
};

struct FolderInfo {
  std::string name;
  std::string parent_entry_id;
  int64_t message_count = 0;
  std::string modification_time;
  std::string path;
};

// A record of a directory answer: its name (the row's first value or key)
// and its fields in answer order.
struct Record {
  std::string name;
  std::vector<std::pair<std::string, std::string>> fields;
  std::string Get(std::string_view field) const;
};

struct UserInfo {
  std::string user_name;
  std::string user_dn;
  std::string store_dn;
};

struct Draft {
  std::string subject;
  std::string body;
  std::vector<std::string> to, cc, bcc;
  std::string read_receipt_email;
  int sensitivity = 0;
  bool save_to_sent_items = true;
  bool html = false;
};

struct Contact {
  std::string file_as, display_name, given_name, surname, middle_name, business_url, notes;
};

// Receives the bytes of an attachment as they arrive: chunk, bytes received
// so far (chunk included) and the total. Returns false to stop.
using ByteSink = std::function<bool(std::string_view chunk, uint64_t received, uint64_t total)>;

class Client {
 public:
  Client(Endpoint endpoint, Session session);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  const Endpoint& endpoint() const { return endpoint_; }
  Session& session() { return session_; }

  // Connects if not connected. Returns kOk or kNotConnected / kNoAnswer.
  [[nodiscard]] int Connect(std::string* err);
  void Disconnect();

  // Sends request (a JSON object text) and reads one response frame into
  // *response. kNoAnswer when nothing came within the time-out.
  [[nodiscard]] int Call(std::string_view request, std::string* response, std::string* err);

  // ---- Session and folders ----
  // ClientPing: *error_number 0 when the service knows the client, else 3.
  [[nodiscard]] int Ping(int* error_number, std::string* err);
  // Close: ends the client's table reads of folder ("" for all) and the
  // connection.
  [[nodiscard]] int Close(const std::string& folder, std::string* err);
  [[nodiscard]] int GetEntryID(const std::vector<std::string>& path, std::string* entry_id, std::string* err);
  [[nodiscard]] int GetFolderInfo(const std::string& folder, FolderInfo* info, std::string* err);
  [[nodiscard]] int CreateFolder(const std::string& parent, const std::string& name, const std::string& folder_class,
                                 std::string* entry_id, std::string* err);
  [[nodiscard]] int GetFolderHierarchy(const std::string& folder, bool refresh, std::vector<FolderEntry>* folders,
                                       std::string* err);
  // SetCustomProperties: registers named properties (name, type) of folder.
  [[nodiscard]] int SetCustomProperties(const std::string& folder,
                                        const std::vector<std::pair<std::string, int>>& properties,
                                        bool create_if_not_exists, std::string* err);

  // ---- Tables and items ----
  [[nodiscard]] int GetTable(const TableQuery& query, TableAnswer* answer, std::string* err);
  // SetTable: writes values into item *entry_id ("" for a new item) of
  // folder; on kOk *entry_id is the written item's.
  [[nodiscard]] int SetTable(const std::string& folder, const std::vector<Assignment>& values,
                             std::string* entry_id, std::string* err);
  [[nodiscard]] int DeleteItem(const std::string& folder, const std::string& item, std::string* err);

  // ---- Attachments ----
  // Attach: the upload named upload_name becomes attachment name of item;
  // *number is the new attachment's number.
  [[nodiscard]] int Attach(const std::string& folder, const std::string& item, const std::string& name,
                           const std::string& upload_name, const std::vector<Assignment>& values, int* number,
                           std::string* err);
  [[nodiscard]] int SetAttachmentProperties(const std::string& folder, const std::string& item, int number,
                                            const std::vector<Assignment>& values, std::string* err);
  [[nodiscard]] int DeleteAttachment(const std::string& folder, const std::string& item, int number,
                                     std::string* err);
  // GetAttachmentData: the rows of item's attachment table in columns.
  [[nodiscard]] int GetAttachmentData(const std::string& folder, const std::string& item,
                                      const std::vector<std::string>& columns, TableAnswer* answer, std::string* err);
  // GetAttachmentFile: the attachment's bytes, handed to sink as they come.
  [[nodiscard]] int GetAttachmentFile(const std::string& folder, const std::string& item, int number,
                                      const ByteSink& sink, std::string* err);

  // ---- Drafts and contacts ----
  [[nodiscard]] int CreateMessage(const Draft& draft, std::string* entry_id, std::string* err);
  [[nodiscard]] int AddMessageAttachment(const std::string& message, const std::string& name,
                                         const std::string& upload_name, int* number, std::string* err);
  [[nodiscard]] int DeleteMessageAttachment(const std::string& message, int number, std::string* err);
  [[nodiscard]] int SendMessage(const std::string& message, std::string* err);
  [[nodiscard]] int DeleteMessage(const std::string& message, std::string* err);
  // AddContact: into folder ("" for the mailbox's Contacts folder).
  [[nodiscard]] int AddContact(const std::string& folder, const Contact& contact, std::string* entry_id,
                               std::string* err);

  // ---- Directory ----
  [[nodiscard]] int ResolveEmail(const std::string& email, UserInfo* user, std::string* err);
  [[nodiscard]] int ResolveCN(const std::string& common_name, const std::string& dom_server, UserInfo* user,
                              std::string* err);
  // MailBoxInfo: the store entry ID of the mailbox of email.
  [[nodiscard]] int MailboxInfo(const std::string& email, std::string* store_entry_id, std::string* err);
  [[nodiscard]] int GetExchangeServers(const std::string& pattern, std::vector<std::string>* servers,
                                       std::string* err);
  [[nodiscard]] int GetMailboxes(const std::string& exchange_server, std::vector<Record>* mailboxes,
                                 std::string* err);
  [[nodiscard]] int GetASDevices(const std::string& exchange_server, const std::string& mailbox_name,
                                 const std::string& mailbox_dn, const std::string& mail_store_dn,
                                 std::vector<Record>* devices, std::string* err);

 private:
  // Call() for requests answered by {ErrorNumber, ErrorString[, ROWS]}:
  // kFailed with ErrorString when ErrorNumber is not 0; *rows_json gets the
  // ROWS member as JSON text ("" when absent).
  int CallSimple(std::string_view request, std::string* rows_json, std::string* err);
  int CallTable(std::string_view request, TableAnswer* answer, std::string* err);
  int CallRecords(std::string_view request, std::vector<Record>* records, std::string* err);
  int SendAll(std::string_view bytes, std::string* err);
  // Reads exactly n bytes, each wait at most the time-out.
  int ReadExactly(size_t n, std::string* out, std::string* err);

  Endpoint endpoint_;
  Session session_;
  int fd_ = -1;
};

// Uploads bytes on the binary port. Returns kOk with *upload_name (the name
// later requests give in UploadedAttachmentHash), kFailed when the service
// could not store them, or a connection code.
[[nodiscard]] int Upload(const Endpoint& endpoint, std::string_view bytes, std::string* upload_name,
                         std::string* err);

// "host:port" into its parts. Returns kOk or kBadArgument with *err.
[[nodiscard]] int ParseHostPort(std::string_view text, std::string* host, uint16_t* port, std::string* err);

}  // namespace zuvsdk
