// client.cpp: the connection of a Client and its requests.
#include "zuvsdk/client.h"

#include <unistd.h>

#include <algorithm>

#include "json_util.h"
#include "net.h"
#include "zuvsdk/frame.h"

namespace zuvsdk {

using internal::IntMember;
using internal::ParseObject;
using internal::RequestWriter;
using internal::StringMember;

namespace {

// Request codes.
enum : int {
  kGetTable = 1001,
  kSetTable = 1003,
  kGetEntryID = 1007,
  kGetFolder = 1008,
  kClose = 1009,
  kClientPing = 1010,
  kAttach = 1011,
  kADResolveEmail = 1012,
  kADResolveCN = 1014,
  kAddContact = 1015,
  kGetAttachmentData = 1017,
  kGetAttachmentFile = 1018,
  kDeleteAttachment = 1019,
  kCreateMessage = 1020,
  kAddMessageAttachment = 1021,
  kDeleteMessageAttachment = 1022,
  kSendMessage = 1023,
  kDeleteMessage = 1024,
  kFolderEntryDelete = 1025,
  kMailBoxInfo = 1026,
  kGetFolderHierarchy = 1027,
  kSetAttachmentProperties = 1028,
  kSetCustomProperties = 1029,
  kGetExchangeServers = 1030,
  kGetMailboxes = 1031,
  kGetASDevices = 1032,
};

// Largest chunk handed to a ByteSink.
constexpr size_t kChunkBytes = 64 * 1024;

std::string JsonText(const rapidjson::Value& v) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  v.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string ScalarText(const rapidjson::Value& v) {
  if (v.IsString()) return std::string(v.GetString(), v.GetStringLength());
  if (v.IsNull()) return std::string();
  return JsonText(v);
}

void AddFields(const rapidjson::Value& obj, Record* record) {
  for (const auto& m : obj.GetObject()) {
    if (m.value.IsArray()) {
      for (const auto& inner : m.value.GetArray()) {
        if (inner.IsObject()) AddFields(inner, record);
      }
      continue;
    }
    record->fields.emplace_back(std::string(m.name.GetString(), m.name.GetStringLength()), ScalarText(m.value));
  }
}

// ROWS holding a string into *value; missing names what the answer lacks.
int StringRows(const std::string& rows, std::string* value, std::string* err,
               const char* missing = "the entry ID") {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(rows.data(), rows.size());
  if (doc.HasParseError() || !doc.IsString()) {
    *err = std::string("answer without ") + missing;
    return kBadAnswer;
  }
  value->assign(doc.GetString(), doc.GetStringLength());
  return kOk;
}

}  // namespace

std::string Record::Get(std::string_view field) const {
  for (const auto& [k, v] : fields) {
    if (k == field) return v;
  }
  return std::string();
}

Client::Client(Endpoint endpoint, Session session) : endpoint_(std::move(endpoint)), session_(std::move(session)) {}

Client::~Client() { Disconnect(); }

int Client::Connect(std::string* err) {
  if (fd_ >= 0) return kOk;
  return internal::ConnectTcp(endpoint_.host, endpoint_.port, endpoint_.timeout_ms, &fd_, err);
}

void Client::Disconnect() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int Client::SendAll(std::string_view bytes, std::string* err) {
  const int rc = internal::SendAll(fd_, bytes, endpoint_.timeout_ms, err);
  if (rc != kOk) Disconnect();
  return rc;
}

int Client::ReadExactly(size_t n, std::string* out, std::string* err) {
  out->resize(n);
  size_t got = 0;
  while (got < n) {
    const long r = internal::RecvSome(fd_, out->data() + got, n - got, endpoint_.timeout_ms, err);
    if (r > 0) {
      got += static_cast<size_t>(r);
      continue;
    }
    // A late answer would belong to this request: the connection is dropped.
    Disconnect();
    if (r == -2) {
      *err = "no answer from the service within " + std::to_string(endpoint_.timeout_ms / 1000.0).substr(0, 4) +
             " s (the request may not be served by this service)";
      return kNoAnswer;
    }
    if (r == 0) *err = "the service closed the connection without an answer";
    return kNotConnected;
  }
  return kOk;
}

int Client::Call(std::string_view request, std::string* response, std::string* err) {
  int rc = Connect(err);
  if (rc != kOk) return rc;
  if ((rc = SendAll(EncodeRequestFrame(request), err)) != kOk) return rc;
  std::string header;
  if ((rc = ReadExactly(kResponseHeaderBytes, &header, err)) != kOk) return rc;
  size_t length = 0;
  if (ParseResponseHeader(header, &length, err) != 0) {
    Disconnect();
    return kBadAnswer;
  }
  return ReadExactly(length, response, err);
}

int Client::CallSimple(std::string_view request, std::string* rows_json, std::string* err) {
  std::string response;
  int rc = Call(request, &response, err);
  if (rc != kOk) return rc;
  rapidjson::Document doc;
  if (ParseObject(response, &doc, err) != 0) return kBadAnswer;
  if (IntMember(doc, "ErrorNumber", 1) != 0) {
    *err = StringMember(doc, "ErrorString");
    if (err->empty()) *err = "the service reported a failure (ErrorNumber " +
                             std::to_string(IntMember(doc, "ErrorNumber", 1)) + ")";
    return kFailed;
  }
  if (rows_json != nullptr) {
    auto rows = doc.FindMember("ROWS");
    *rows_json = rows == doc.MemberEnd() ? std::string() : JsonText(rows->value);
  }
  return kOk;
}

int Client::CallTable(std::string_view request, TableAnswer* answer, std::string* err) {
  std::string response;
  int rc = Call(request, &response, err);
  if (rc != kOk) return rc;
  if (DecodeTableAnswer(response, answer, err) != 0) return kBadAnswer;
  if (answer->error_number != 0) {
    *err = answer->error_string.empty() ? "the service reported a failure" : answer->error_string;
    return kFailed;
  }
  return kOk;
}

int Client::CallRecords(std::string_view request, std::vector<Record>* records, std::string* err) {
  records->clear();
  std::string rows;
  int rc = CallSimple(request, &rows, err);
  if (rc != kOk) return rc;
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(rows.data(), rows.size());
  if (doc.HasParseError() || (!doc.IsArray() && !doc.IsNull())) {
    *err = "ROWS is not an array";
    return kBadAnswer;
  }
  if (doc.IsNull()) return kOk;
  for (const auto& row : doc.GetArray()) {
    Record r;
    if (row.IsObject()) {
      if (row.MemberCount() == 1 && row.MemberBegin()->value.IsArray()) {
        r.name.assign(row.MemberBegin()->name.GetString(), row.MemberBegin()->name.GetStringLength());
      }
      AddFields(row, &r);
      if (r.name.empty() && !r.fields.empty()) r.name = r.fields.front().second;
    } else if (row.IsArray()) {
      for (const auto& inner : row.GetArray()) {
        if (inner.IsObject()) AddFields(inner, &r);
      }
      if (!r.fields.empty()) r.name = r.fields.front().second;
    } else {
      r.name = ScalarText(row);
    }
    records->push_back(std::move(r));
  }
  return kOk;
}

// Every request carries the session's keys after the envelope.
#define ZUV_BEGIN(code)                                  \
  RequestWriter w(code);                                 \
  w.Str("ClientIdentifier", session_.client_id);         \
  if (!session_.mailbox.empty()) w.Str("Mailbox", session_.mailbox); \
  if (!session_.server.empty()) w.Str("ServerName", session_.server)

int Client::Ping(int* error_number, std::string* err) {
  ZUV_BEGIN(kClientPing);
  std::string response;
  int rc = Call(w.Finish(), &response, err);
  if (rc != kOk) return rc;
  rapidjson::Document doc;
  if (ParseObject(response, &doc, err) != 0) return kBadAnswer;
  if (!doc.HasMember("ErrorNumber")) {
    *err = "answer without ErrorNumber";
    return kBadAnswer;
  }
  *error_number = IntMember(doc, "ErrorNumber", -1);
  return kOk;
}

int Client::Close(const std::string& folder, std::string* err) {
  ZUV_BEGIN(kClose);
  w.Str("EntryID", folder);
  const int rc = CallSimple(w.Finish(), nullptr, err);
  Disconnect();  // the service ends the connection after Close
  return rc;
}

int Client::GetEntryID(const std::vector<std::string>& path, std::string* entry_id, std::string* err) {
  ZUV_BEGIN(kGetEntryID);
  w.StrArray("FolderHierarchy", path).Str("StoreEntryID", session_.store);
  std::string rows;
  int rc = CallSimple(w.Finish(), &rows, err);
  if (rc != kOk) return rc;
  return StringRows(rows, entry_id, err);
}

int Client::GetFolderInfo(const std::string& folder, FolderInfo* info, std::string* err) {
  ZUV_BEGIN(kGetFolder);
  w.Str("EntryID", folder).Str("StoreEntryID", session_.store).Int("FolderRequest", 1);
  std::string rows;
  int rc = CallSimple(w.Finish(), &rows, err);
  if (rc != kOk) return rc;
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(rows.data(), rows.size());
  if (doc.HasParseError() || !doc.IsObject()) {
    *err = "answer without the folder record";
    return kBadAnswer;
  }
  info->name = StringMember(doc, "name");
  info->parent_entry_id = StringMember(doc, "ParentEntryID");
  auto count = doc.FindMember("MessageCount");
  info->message_count = count != doc.MemberEnd() && count->value.IsInt64() ? count->value.GetInt64() : 0;
  info->modification_time = StringMember(doc, "ModificationTime");
  info->path = StringMember(doc, "Path");
  return kOk;
}

int Client::CreateFolder(const std::string& parent, const std::string& name, const std::string& folder_class,
                         std::string* entry_id, std::string* err) {
  ZUV_BEGIN(kGetFolder);
  w.Str("EntryID", parent)
      .Str("StoreEntryID", session_.store)
      .Str("Name", name)
      .Str("FolderClass", folder_class)
      .Int("FolderRequest", 2);
  std::string rows;
  int rc = CallSimple(w.Finish(), &rows, err);
  if (rc != kOk) return rc;
  return StringRows(rows, entry_id, err, "the new folder's entry ID");
}

int Client::GetFolderHierarchy(const std::string& folder, bool refresh, std::vector<FolderEntry>* folders,
                               std::string* err) {
  folders->clear();
  ZUV_BEGIN(kGetFolderHierarchy);
  w.Str("StoreEntryID", session_.store).Str("EntryID", folder).Bool("RefreshCache", refresh);
  std::string rows;
  int rc = CallSimple(w.Finish(), &rows, err);
  if (rc != kOk) return rc;
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(rows.data(), rows.size());
  if (doc.HasParseError() || !doc.IsArray()) {
    *err = "answer without the folder list";
    return kBadAnswer;
  }
  for (const auto& row : doc.GetArray()) {
    if (!row.IsObject()) continue;
    FolderEntry f;
    f.name = StringMember(row, "Name");
    f.entry_id = StringMember(row, "EntryID");
    f.entry_count = IntMember(row, "EntryCount");
    f.child_count = IntMember(row, "ChildCount");
    f.container_class = StringMember(row, "Class");
    folders->push_back(std::move(f));
  }
  return kOk;
}

int Client::SetCustomProperties(const std::string& folder, const std::vector<std::pair<std::string, int>>& properties,
                                bool create_if_not_exists, std::string* err) {
  ZUV_BEGIN(kSetCustomProperties);
  w.Str("EntryID", folder);
  auto& raw = w.raw();
  raw.Key("PropertyList");
  raw.StartArray();
  for (const auto& [name, type] : properties) {
    raw.StartObject();
    raw.Key("Name");
    raw.String(name.data(), static_cast<rapidjson::SizeType>(name.size()));
    raw.Key("Type");
    raw.Int(type);
    raw.EndObject();
  }
  raw.EndArray();
  w.Bool("CreateIfNotExists", create_if_not_exists).Str("StoreEntryID", session_.store);
  return CallSimple(w.Finish(), nullptr, err);
}

int Client::GetTable(const TableQuery& query, TableAnswer* answer, std::string* err) {
  ZUV_BEGIN(kGetTable);
  w.Str("EntryID", query.folder).StrArray("ColumnList", query.columns);
  auto& raw = w.raw();
  raw.Key("SearchCriteria");
  raw.StartArray();
  for (const Criterion& c : query.criteria) {
    raw.StartObject();
    raw.Key("<PropertyName>k__BackingField");
    raw.String(c.name.data(), static_cast<rapidjson::SizeType>(c.name.size()));
    w.Typed("<PropertyValue>k__BackingField", c.value);
    raw.Key("<Operator>k__BackingField");
    raw.Int(c.op);
    raw.EndObject();
  }
  raw.EndArray();
  w.Bool("CacheData", true)
      .Str("NotificationURL", query.notification_url)
      .Str("identifier", query.identifier.empty() && !query.notification_url.empty() ? session_.client_id
                                                                                        : query.identifier)
      .Str("StoreEntryID", session_.store)
      .Int("startIndex", query.start)
      .Int("numEntries", query.count);
  return CallTable(w.Finish(), answer, err);
}

int Client::SetTable(const std::string& folder, const std::vector<Assignment>& values, std::string* entry_id,
                     std::string* err) {
  ZUV_BEGIN(kSetTable);
  w.Str("EntryID", *entry_id);
  auto& raw = w.raw();
  raw.Key("SetData");
  raw.StartArray();
  for (const Assignment& a : values) {
    raw.StartObject();
    raw.Key("Key");
    raw.String(a.name.data(), static_cast<rapidjson::SizeType>(a.name.size()));
    w.Typed("Value", a.value);
    raw.EndObject();
  }
  raw.EndArray();
  w.Str("FolderEntryID", folder).Str("StoreEntryID", session_.store);
  std::string rows;
  int rc = CallSimple(w.Finish(), &rows, err);
  if (rc != kOk) return rc;
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(rows.data(), rows.size());
  if (!doc.HasParseError() && doc.IsString()) entry_id->assign(doc.GetString(), doc.GetStringLength());
  return kOk;
}

int Client::DeleteItem(const std::string& folder, const std::string& item, std::string* err) {
  ZUV_BEGIN(kFolderEntryDelete);
  w.Str("EntryID", item).Str("FolderEntryID", folder).Str("StoreEntryID", session_.store);
  return CallSimple(w.Finish(), nullptr, err);
}

namespace {

void WriteSetData(RequestWriter* w, const std::vector<Assignment>& values) {
  auto& raw = w->raw();
  raw.Key("SetData");
  raw.StartArray();
  for (const Assignment& a : values) {
    raw.StartObject();
    raw.Key("Key");
    raw.String(a.name.data(), static_cast<rapidjson::SizeType>(a.name.size()));
    w->Typed("Value", a.value);
    raw.EndObject();
  }
  raw.EndArray();
}

// ROWS holding a number (also as text) into *number.
int NumberRows(const std::string& rows, int* number, std::string* err) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(rows.data(), rows.size());
  if (!doc.HasParseError() && doc.IsInt()) {
    *number = doc.GetInt();
    return kOk;
  }
  if (!doc.HasParseError() && doc.IsString()) {
    *number = std::atoi(doc.GetString());
    return kOk;
  }
  *err = "answer without the attachment number";
  return kBadAnswer;
}

}  // namespace

int Client::Attach(const std::string& folder, const std::string& item, const std::string& name,
                   const std::string& upload_name, const std::vector<Assignment>& values, int* number,
                   std::string* err) {
  ZUV_BEGIN(kAttach);
  w.Str("EntryID", item)
      .Str("StoreEntryID", session_.store)
      .Str("AttachmentName", name)
      .Str("FolderEntryID", folder)
      .Str("UploadedAttachmentHash", upload_name);
  WriteSetData(&w, values);
  std::string rows;
  int rc = CallSimple(w.Finish(), &rows, err);
  if (rc != kOk) return rc;
  return NumberRows(rows, number, err);
}

int Client::SetAttachmentProperties(const std::string& folder, const std::string& item, int number,
                                    const std::vector<Assignment>& values, std::string* err) {
  ZUV_BEGIN(kSetAttachmentProperties);
  w.Str("EntryID", item)
      .Str("StoreEntryID", session_.store)
      .Int("AttachmentNum", number)
      .Str("FolderEntryID", folder);
  WriteSetData(&w, values);
  return CallSimple(w.Finish(), nullptr, err);
}

int Client::DeleteAttachment(const std::string& folder, const std::string& item, int number, std::string* err) {
  ZUV_BEGIN(kDeleteAttachment);
  w.Str("EntryID", item).Str("FolderEntryID", folder).Int("AttachmentNum", number).Str("StoreEntryID", session_.store);
  return CallSimple(w.Finish(), nullptr, err);
}

int Client::GetAttachmentData(const std::string& folder, const std::string& item,
                              const std::vector<std::string>& columns, TableAnswer* answer, std::string* err) {
  ZUV_BEGIN(kGetAttachmentData);
  w.Str("EntryID", item).Str("FolderEntryID", folder).StrArray("ColumnList", columns).Str("StoreEntryID",
                                                                                           session_.store);
  return CallTable(w.Finish(), answer, err);
}

int Client::GetAttachmentFile(const std::string& folder, const std::string& item, int number, const ByteSink& sink,
                              std::string* err) {
  ZUV_BEGIN(kGetAttachmentFile);
  w.Str("EntryID", item).Str("FolderEntryID", folder).Int("AttachmentNum", number).Str("StoreEntryID",
                                                                                        session_.store);
  int rc = Connect(err);
  if (rc != kOk) return rc;
  if ((rc = SendAll(EncodeRequestFrame(w.Finish()), err)) != kOk) return rc;
  std::string header;
  if ((rc = ReadExactly(kResponseHeaderBytes, &header, err)) != kOk) return rc;
  size_t total = 0;
  if (ParseResponseHeader(header, &total, err) != 0) {
    Disconnect();
    return kBadAnswer;
  }
  // The failure answer is a small JSON object in the same header form; a
  // short body that parses as {"ErrorNumber": n != 0} is taken as one.
  std::string chunk;
  if (total <= 256) {
    if ((rc = ReadExactly(total, &chunk, err)) != kOk) return rc;
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseIterativeFlag>(chunk.data(), chunk.size());
    if (!doc.HasParseError() && doc.IsObject() && doc.HasMember("ErrorNumber") &&
        IntMember(doc, "ErrorNumber", 1) != 0) {
      *err = StringMember(doc, "ErrorString");
      if (err->empty()) *err = "the service cannot read the attachment";
      return kFailed;
    }
    if (!sink(chunk, total, total)) {
      *err = "stopped by the receiver";
      return kFailed;
    }
    return kOk;
  }
  uint64_t received = 0;
  while (received < total) {
    const size_t n = std::min(kChunkBytes, total - static_cast<size_t>(received));
    if ((rc = ReadExactly(n, &chunk, err)) != kOk) return rc;
    received += n;
    if (!sink(chunk, received, total)) {
      Disconnect();
      *err = "stopped by the receiver";
      return kFailed;
    }
  }
  return kOk;
}

int Client::CreateMessage(const Draft& draft, std::string* entry_id, std::string* err) {
  ZUV_BEGIN(kCreateMessage);
  auto& raw = w.raw();
  raw.Key("Message");
  raw.StartObject();
  auto str = [&raw](const char* key, const std::string& v) {
    raw.Key(key);
    raw.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
  };
  auto list = [&raw](const char* key, const std::vector<std::string>& values) {
    raw.Key(key);
    raw.StartArray();
    for (const std::string& v : values) raw.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
    raw.EndArray();
  };
  str("<Subject>k__BackingField", draft.subject);
  str("<Body>k__BackingField", draft.body);
  list("ToList", draft.to);
  list("CcList", draft.cc);
  list("BccList", draft.bcc);
  str("<ReadReceiptEmail>k__BackingField", draft.read_receipt_email);
  raw.Key("<Sensitivity>k__BackingField");
  raw.Int(draft.sensitivity);
  raw.Key("SaveToSentItems");
  raw.Bool(draft.save_to_sent_items);
  raw.Key("IsHtml");
  raw.Bool(draft.html);
  raw.EndObject();
  std::string rows;
  int rc = CallSimple(w.Finish(), &rows, err);
  if (rc != kOk) return rc;
  return StringRows(rows, entry_id, err);
}

int Client::AddMessageAttachment(const std::string& message, const std::string& name, const std::string& upload_name,
                                 int* number, std::string* err) {
  ZUV_BEGIN(kAddMessageAttachment);
  w.Str("EntryID", message)
      .Str("StoreEntryID", session_.store)
      .Str("AttachmentName", name)
      .Str("UploadedAttachmentHash", upload_name);
  std::string rows;
  int rc = CallSimple(w.Finish(), &rows, err);
  if (rc != kOk) return rc;
  return NumberRows(rows, number, err);
}

int Client::DeleteMessageAttachment(const std::string& message, int number, std::string* err) {
  ZUV_BEGIN(kDeleteMessageAttachment);
  w.Int("AttachmentNum", number).Str("EntryID", message);
  return CallSimple(w.Finish(), nullptr, err);
}

int Client::SendMessage(const std::string& message, std::string* err) {
  ZUV_BEGIN(kSendMessage);
  w.Str("EntryID", message);
  return CallSimple(w.Finish(), nullptr, err);
}

int Client::DeleteMessage(const std::string& message, std::string* err) {
  ZUV_BEGIN(kDeleteMessage);
  w.Str("EntryID", message);
  return CallSimple(w.Finish(), nullptr, err);
}

int Client::AddContact(const std::string& folder, const Contact& contact, std::string* entry_id, std::string* err) {
  ZUV_BEGIN(kAddContact);
  w.Str("FileAs", contact.file_as)
      .Str("DisplayName", contact.display_name)
      .Str("GivenName", contact.given_name)
      .Str("SurName", contact.surname)
      .Str("MiddleName", contact.middle_name)
      .Str("BusinessUrl", contact.business_url)
      .Str("Notes", contact.notes)
      .Str("EntryID", folder)
      .Str("StoreEntryID", session_.store);
  std::string rows;
  int rc = CallSimple(w.Finish(), &rows, err);
  if (rc != kOk) return rc;
  return StringRows(rows, entry_id, err);
}

namespace {

int UserRows(const std::string& rows, UserInfo* user, std::string* err) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(rows.data(), rows.size());
  if (doc.HasParseError() || !doc.IsObject()) {
    *err = "answer without the user record";
    return kBadAnswer;
  }
  user->user_name = StringMember(doc, "UserName");
  user->user_dn = StringMember(doc, "UserDN");
  user->store_dn = StringMember(doc, "StoreDN");
  return kOk;
}

}  // namespace

int Client::ResolveEmail(const std::string& email, UserInfo* user, std::string* err) {
  ZUV_BEGIN(kADResolveEmail);
  w.Str("EmailAddr", email).Str("DomServer", "");
  std::string rows;
  int rc = CallSimple(w.Finish(), &rows, err);
  if (rc != kOk) return rc;
  return UserRows(rows, user, err);
}

int Client::ResolveCN(const std::string& common_name, const std::string& dom_server, UserInfo* user,
                      std::string* err) {
  ZUV_BEGIN(kADResolveCN);
  w.Str("EmailAddr", common_name).Str("DomServer", dom_server);
  std::string rows;
  int rc = CallSimple(w.Finish(), &rows, err);
  if (rc != kOk) return rc;
  return UserRows(rows, user, err);
}

int Client::MailboxInfo(const std::string& email, std::string* store_entry_id, std::string* err) {
  ZUV_BEGIN(kMailBoxInfo);
  w.Str("EmailAddress", email);
  std::string rows;
  int rc = CallSimple(w.Finish(), &rows, err);
  if (rc != kOk) return rc;
  return StringRows(rows, store_entry_id, err);
}

int Client::GetExchangeServers(const std::string& pattern, std::vector<std::string>* servers, std::string* err) {
  servers->clear();
  ZUV_BEGIN(kGetExchangeServers);
  w.Str("ServerWildCard", pattern);
  std::vector<Record> records;
  int rc = CallRecords(w.Finish(), &records, err);
  if (rc != kOk) return rc;
  for (const Record& r : records) {
    const std::string server = r.Get("Server");
    servers->push_back(server.empty() ? r.name : server);
  }
  return kOk;
}

int Client::GetMailboxes(const std::string& exchange_server, std::vector<Record>* mailboxes, std::string* err) {
  ZUV_BEGIN(kGetMailboxes);
  w.Str("ExchangeServer", exchange_server);
  return CallRecords(w.Finish(), mailboxes, err);
}

int Client::GetASDevices(const std::string& exchange_server, const std::string& mailbox_name,
                         const std::string& mailbox_dn, const std::string& mail_store_dn,
                         std::vector<Record>* devices, std::string* err) {
  ZUV_BEGIN(kGetASDevices);
  w.Str("ExchangeServer", exchange_server)
      .Str("MailBoxName", mailbox_name)
      .Str("MailBoxDN", mailbox_dn)
      .Str("MailStoreDN", mail_store_dn);
  return CallRecords(w.Finish(), devices, err);
}

#undef ZUV_BEGIN

int ParseHostPort(std::string_view text, std::string* host, uint16_t* port, std::string* err) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) {
    *err = "not HOST:PORT: " + std::string(text);
    return kBadArgument;
  }
  unsigned long value = 0;
  for (char c : text.substr(colon + 1)) {
    if (c < '0' || c > '9' || value > 65535) {
      *err = "not a port number: " + std::string(text.substr(colon + 1));
      return kBadArgument;
    }
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value > 65535) {
    *err = "not a port number: " + std::string(text.substr(colon + 1));
    return kBadArgument;
  }
  host->assign(text.substr(0, colon));
  *port = static_cast<uint16_t>(value);
  return kOk;
}

}  // namespace zuvsdk
