// zuv_client.cpp: client records and their registry, fetch-and-filter with
// paging, and the serialization of rows into one response.
#include "client/zuv_client.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include <rapidjson/internal/itoa.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/logging.h"
#include "client/zuv_push.h"
#include "mapi/mapitags.h"
#include "mapi_access/prop_tags.h"

namespace zuvjson {

// The buffer responses are written into: a string buffer of its own type,
// so its writer can copy the runs of a string that need no escaping at
// once instead of a character at a time.
struct FrameAllocator : rapidjson::CrtAllocator {};
using FrameBuffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, FrameAllocator>;

// True for the characters JSON escapes: controls, '"' and '\\'.
inline bool NeedsEscape(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\';
}

// The length of the longest run from p (before end) without such a character.
inline size_t PlainRun(const char* p, const char* end) {
  const char* start = p;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1F);
  for (; end - p >= 16; p += 16) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(s, quote), _mm_cmpeq_epi8(s, backslash)),
                                         _mm_cmpeq_epi8(_mm_max_epu8(s, control), control));
    const int mask = _mm_movemask_epi8(special);
    if (mask != 0) return static_cast<size_t>(p - start) + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  while (p < end && !NeedsEscape(*p)) ++p;
  return static_cast<size_t>(p - start);
}

}  // namespace zuvjson

namespace rapidjson {

// Copies the run up to the next character to escape in one piece; the
// writer escapes that character and calls again.
template <>
inline bool Writer<zuvjson::FrameBuffer>::ScanWriteUnescapedString(StringStream& is, size_t length) {
  const char* p = is.src_;
  const char* end = is.head_ + length;
  if (p >= end) return false;
  const size_t n = zuvjson::PlainRun(p, end);
  if (n > 0) {
    std::memcpy(os_->Push(n), p, n);
    is.src_ = p + n;
  }
  return is.src_ < end;
}

}  // namespace rapidjson

zuv::SharedMutex ZUV_Client::registry_mu_;

namespace {

// FILETIME as one number: 100 ns ticks since 1601-01-01.
uint64_t NowFileTicks() {
  const auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return static_cast<uint64_t>(since1970.count() / 100) + 116444736000000000ull;
}

void AppendBase64(std::string_view bytes, std::string* out) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size(), i = 0;
  out->reserve(out->size() + (n + 2) / 3 * 4);
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = p[i] << 16 | p[i + 1] << 8 | p[i + 2];
    out->push_back(kAlphabet[v >> 18]);
    out->push_back(kAlphabet[(v >> 12) & 63]);
    out->push_back(kAlphabet[(v >> 6) & 63]);
    out->push_back(kAlphabet[v & 63]);
  }
  if (n - i == 1) {
    const uint32_t v = p[i] << 16;
    out->push_back(kAlphabet[v >> 18]);
    out->push_back(kAlphabet[(v >> 12) & 63]);
    out->append("==");
  } else if (n - i == 2) {
    const uint32_t v = p[i] << 16 | p[i + 1] << 8;
    out->push_back(kAlphabet[v >> 18]);
    out->push_back(kAlphabet[(v >> 12) & 63]);
    out->push_back(kAlphabet[(v >> 6) & 63]);
    out->push_back('=');
  }
}

using JsonWriter = rapidjson::Writer<zuvjson::FrameBuffer>;

// Responses kept by a connection thread's buffer up to this size; a larger
// one is given back after sending.
constexpr size_t kKeptBufferBytes = size_t{128} << 20;

// The name a tag is written under: the table's column name, the static
// name table, else the decimal tag.
std::string ColumnName(ULONG tag, const std::map<ULONG, std::string>& names) {
  auto it = names.find(tag);
  if (it != names.end()) return it->second;
  std::string name;
  if (zuv::FirstNameFromTag(tag, &name) == 0) return name;
  char text[16];
  std::snprintf(text, sizeof(text), "%lu", static_cast<unsigned long>(tag));
  return text;
}

// The member names of one response's columns, worked out once per tag:
// "" for a tag that is not written.
class MemberNames {
 public:
  explicit MemberNames(const std::map<ULONG, std::string>& columnNames) : column_names_(columnNames) {}

  const std::string& Of(ULONG tag) {
    auto it = std::lower_bound(names_.begin(), names_.end(), tag,
                               [](const std::pair<ULONG, std::string>& e, ULONG t) { return e.first < t; });
    if (it != names_.end() && it->first == tag) return it->second;
    std::string member;
    if (column_names_.count(tag) != 0 && IsSupportedProperty(tag)) {
      member = ColumnName(tag, column_names_);
      if (tag != kRowKeyTag) {
        char suffix[16];
        const int n = std::snprintf(suffix, sizeof(suffix), "-%d", static_cast<int>(PROP_TYPE(tag)));
        member.append(suffix, static_cast<size_t>(n));
      }
    }
    return names_.insert(it, {tag, std::move(member)})->second;
  }

 private:
  const std::map<ULONG, std::string>& column_names_;
  std::vector<std::pair<ULONG, std::string>> names_;  // sorted by tag
};

void WriteText(JsonWriter& w, std::string_view s) { w.String(s.data(), static_cast<rapidjson::SizeType>(s.size())); }

// One property as {name: value}; nothing when it yields no value.
// keyText: the row key's text, written for the key cell.
void WriteProperty(JsonWriter& w, const ZUV_CellView& v, const std::string& member, std::string_view keyText,
                   std::string* scratch) {
  auto open = [&] {
    w.StartObject();
    w.Key(member.data(), static_cast<rapidjson::SizeType>(member.size()));
  };
  if (v.tag == kRowKeyTag || v.tag == kAttachNumTag) {
    open();
    if (v.binary_key) {
      WriteText(w, keyText);
    } else {
      WriteText(w, v.bytes);
    }
  } else {
    switch (PROP_TYPE(v.tag)) {
      case PT_BOOLEAN: open(); w.Bool((v.number & 0xFFFF) != 0); break;
      case PT_I2: open(); w.Int(static_cast<int16_t>(v.number)); break;
      case PT_LONG: open(); w.Int(static_cast<int32_t>(v.number)); break;
      case PT_STRING8:
      case PT_UNICODE:
        if (v.bytes.empty()) return;
        open();
        WriteText(w, v.bytes);
        break;
      case PT_SYSTIME: {
        // "high,low" in decimal
        char t[32];
        char* e = rapidjson::internal::u32toa(static_cast<uint32_t>(v.time.dwHighDateTime), t);
        *e++ = ',';
        e = rapidjson::internal::u32toa(static_cast<uint32_t>(v.time.dwLowDateTime), e);
        open();
        WriteText(w, std::string_view(t, static_cast<size_t>(e - t)));
        break;
      }
      case PT_BINARY: {
        scratch->clear();
        AppendBase64(v.bytes, scratch);
        open();
        WriteText(w, *scratch);
        break;
      }
      case PT_MV_STRING8: {
        scratch->assign(v.bytes);
        if (!scratch->empty()) scratch->pop_back();  // the last NUL
        std::replace(scratch->begin(), scratch->end(), '\0', ',');
        open();
        WriteText(w, *scratch);
        break;
      }
      default:
        return;  // PT_I8 and the rest are left out
    }
  }
  w.EndObject();
}

// One row as {key: [properties]}, only the columns the table knows by
// name and keeps.
void WriteRow(JsonWriter& w, const ZUV_Row& row, MemberNames& names, std::string* scratch, std::string* keyScratch) {
  // The key's text, worked out once: it names the row and is its first
  // property's value.
  const ZUV_RowKey key = row.KeyView();
  std::string_view keyText = key.bytes;
  if (key.binary) {
    keyScratch->resize(key.bytes.size() * 2);
    WriteHex(key.bytes, keyScratch->data());
    keyText = *keyScratch;
  }
  w.StartObject();
  w.Key(keyText.data(), static_cast<rapidjson::SizeType>(keyText.size()));
  w.StartArray();
  for (size_t i = 0; i < row.Count(); ++i) {
    const std::string& member = names.Of(row.TagAt(i));
    if (member.empty()) continue;
    WriteProperty(w, row.At(i), member, keyText, scratch);
  }
  w.EndArray();
  w.EndObject();
}

// The whole response object into buffer.
void WriteResponse(zuvjson::FrameBuffer* buffer, int32_t dataType, const std::string& identifier,
                   const std::vector<ZUV_RowRef>& rows, const std::map<ULONG, std::string>& columnNames,
                   int32_t errorNumber, const std::string& errorText) {
  JsonWriter w(*buffer);
  w.StartObject();
  w.Key("ErrorNumber");
  w.Int(errorNumber);
  w.Key("ErrorString");
  WriteText(w, errorText);
  if (errorNumber == 0) {
    w.Key("DataType");
    w.Int(dataType);
    w.Key("ClientIdentifier");
    WriteText(w, identifier);
    w.Key("ROWS");
    w.StartArray();
    MemberNames names(columnNames);
    std::string scratch, keyScratch;
    constexpr size_t kAhead = 4;  // rows fetched into the cache ahead of the writer
    for (size_t i = 0; i < rows.size(); ++i) {
      if (i + kAhead < rows.size()) {
        const char* ahead = reinterpret_cast<const char*>(rows[i + kAhead].get());
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + 64);
      }
      WriteRow(w, *rows[i], names, &scratch, &keyScratch);
    }
    w.EndArray();
  }
  w.EndObject();
}

// The ROWS text of the last change pushed, shared by its listeners.
struct PushTextCache {
  zuv::Mutex mu;
  const ZUV_Table* table ZUV_GUARDED_BY(mu) = nullptr;
  int32_t data_type ZUV_GUARDED_BY(mu) = 0;
  ZUV_RowRef row ZUV_GUARDED_BY(mu);  // held so its address is not reused while cached
  std::string key ZUV_GUARDED_BY(mu);
  std::shared_ptr<const std::string> text ZUV_GUARDED_BY(mu);
};

PushTextCache& PushCache() {
  static auto* cache = new PushTextCache;
  return *cache;
}

}  // namespace

// ---- Records ----

std::vector<std::shared_ptr<ZUV_Client>>& ZUV_Client::Registry() {
  static auto* registry = new std::vector<std::shared_ptr<ZUV_Client>>;
  return *registry;
}

void ZUV_Client::ParseNotificationURL(const std::string& url, std::string* host, int32_t* port) {
  const std::string text = url.substr(0, 1023);
  const size_t colon = text.find(':');
  *port = 0;
  if (colon == std::string::npos) {
    *host = text;
    return;
  }
  *host = text.substr(0, colon);
  int value = 0;
  if (std::sscanf(text.c_str() + colon + 1, "%d", &value) == 1) *port = value;
}

ZUV_Client::ZUV_Client(const zuv::ConnectionContext& connection, ZUV_TablePtr table,
                       const std::vector<search_criteria_element>& criteria, const std::string& folderEntryID,
                       const std::string& storeEntryID, const std::string& clientId,
                       const std::string& notificationURL, const std::string& identifier, uint8_t flag)
    : table_(std::move(table)),
      folder_entry_id_(folderEntryID),
      store_entry_id_(storeEntryID),
      identifier_(identifier),
      client_id_(clientId),
      flag_(flag),
      connection_(connection),
      criteria_(criteria) {
  ParseNotificationURL(notificationURL, &notification_host_, &notification_port_);
  for (search_criteria_element& c : criteria_) {
    ULONG tag = 0;
    if (zuv::TagFromHexName(c.name, &tag)) c.tag = tag;
  }
  last_touched_.store(NowFileTicks(), std::memory_order_relaxed);
}

ZUV_Client::~ZUV_Client() = default;

std::shared_ptr<ZUV_Client> ZUV_Client::Create(const zuv::ConnectionContext& connection, ZUV_TablePtr table,
                                               const std::vector<search_criteria_element>& criteria,
                                               const std::string& folderEntryID, const std::string& storeEntryID,
                                               const std::string& clientId, const std::string& notificationURL,
                                               const std::string& identifier, uint8_t flag) {
  NLog_TraceA("ZUV", "%s:%d", "ZUV_Client::ZUV_Client", __LINE__);
  std::shared_ptr<ZUV_Client> client(new ZUV_Client(connection, std::move(table), criteria, folderEntryID,
                                                    storeEntryID, clientId, notificationURL, identifier, flag));
  {
    zuv::WriterLock lock(registry_mu_);
    Registry().push_back(client);
  }
  NLog_TraceA("ZUV", "%s:%d", "ZUV_Client::ZUV_Client", __LINE__);
  return client;
}

void ZUV_Client::Touch() {
  if (zuv::LogEnabled("ZUV", zuv::LogLevel::Trace)) {
    NLog_TraceA("ZUV", "Client %s touching", zuv::EscapeForLog(client_id_).c_str());
  }
  last_touched_.store(NowFileTicks(), std::memory_order_relaxed);
}

FILETIME ZUV_Client::LastTouched() {
  const uint64_t ticks = last_touched_.load(std::memory_order_relaxed);
  FILETIME ft;
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  return ft;
}

int32_t ZUV_Client::Ping(const std::string& clientId) {
  NLog_InfoA("ZUV", "Client %s pinging", zuv::EscapeForLog(clientId).c_str());
  // The touch is one atomic store, so it happens under the shared lock;
  // its trace lines (one per record, all with this ID) follow the lock.
  size_t touched = 0;
  {
    zuv::ReaderLock lock(registry_mu_);
    for (const auto& c : Registry()) {
      if (c->client_id_ == clientId) {
        c->last_touched_.store(NowFileTicks(), std::memory_order_relaxed);
        ++touched;
      }
    }
  }
  if (touched > 0 && zuv::LogEnabled("ZUV", zuv::LogLevel::Trace)) {
    const std::string logged = zuv::EscapeForLog(clientId);
    for (size_t i = 0; i < touched; ++i) NLog_TraceA("ZUV", "Client %s touching", logged.c_str());
  }
  return touched == 0 ? 3 : 0;
}

void ZUV_Client::DeleteClient(const std::string& clientId, const std::string& folderEntryID) {
  NLog_InfoA("ZUV", "Trying to delete client %s:%s", zuv::EscapeForLog(clientId).c_str(),
             zuv::EscapeForLog(folderEntryID).c_str());
  std::vector<std::shared_ptr<ZUV_Client>> removed;
  {
    zuv::WriterLock lock(registry_mu_);
    auto& registry = Registry();
    for (auto it = registry.begin(); it != registry.end();) {
      if ((*it)->client_id_ == clientId && (folderEntryID.empty() || (*it)->folder_entry_id_ == folderEntryID)) {
        removed.push_back(std::move(*it));
        it = registry.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Off the tables after the registry lock: table locks are never taken
  // inside it.
  for (const auto& c : removed) {
    NLog_InfoA("ZUV", "Deleting client %s:%s", zuv::EscapeForLog(c->client_id_).c_str(),
               zuv::EscapeForLog(c->folder_entry_id_).c_str());
    c->Close();
    if (c->table_) (void)c->table_->RemoveListener(c->client_id_, c->folder_entry_id_);
  }
}

void ZUV_Client::DeleteRecord(const std::shared_ptr<ZUV_Client>& client) {
  if (!client) return;
  {
    zuv::WriterLock lock(registry_mu_);
    std::erase(Registry(), client);
  }
  client->Close();
  if (client->table_) (void)client->table_->RemoveListener(client->client_id_, client->folder_entry_id_);
}

size_t ZUV_Client::RegistryCount() {
  zuv::ReaderLock lock(registry_mu_);
  return Registry().size();
}

size_t ZUV_Client::RegistryCount(const std::string& clientId) {
  zuv::ReaderLock lock(registry_mu_);
  return static_cast<size_t>(std::count_if(Registry().begin(), Registry().end(),
                                           [&](const auto& c) { return c->client_id_ == clientId; }));
}

void ZUV_Client::Close() {
  closed_.store(true, std::memory_order_release);
  ZUV_PushSender::Instance().Drop(this);
}

std::string ZUV_Client::PushRowsText(int32_t dataType, const std::string& rowKey, const ZUV_RowRef& row,
                                     const std::map<ULONG, std::string>& columnNames) {
  zuvjson::FrameBuffer buffer;
  JsonWriter w(buffer);
  if (dataType == static_cast<int32_t>(ZUV_RowEvent::kDeleted) || !row) {
    w.String(rowKey.data(), static_cast<rapidjson::SizeType>(rowKey.size()));
  } else {
    MemberNames names(columnNames);
    std::string scratch, keyScratch;
    w.StartArray();
    WriteRow(w, *row, names, &scratch, &keyScratch);
    w.EndArray();
  }
  return std::string(buffer.GetString(), buffer.GetSize());
}

void ZUV_Client::OnRowEvent(const ZUV_Table& table, ZUV_RowEvent event, const std::string& rowKey,
                            const ZUV_RowRef& row) {
  if (IsClosed() || notification_host_.empty() || notification_port_ == 0 || !table_) return;
  const int32_t dataType = static_cast<int32_t>(event);
  if (event != ZUV_RowEvent::kDeleted && (!row || !MatchesCriteria(*row, false))) {
    NLog_TraceA("ZUV", "%s: row %s of table %s does not match, not pushed", zuv::EscapeForLog(client_id_).c_str(),
                rowKey.c_str(), table.FolderShortID().c_str());
    return;
  }
  if (event != ZUV_RowEvent::kDeleted && !row) return;
  // Serialized once per change: the listeners of one change share the text.
  std::shared_ptr<const std::string> text;
  PushTextCache& cache = PushCache();
  {
    zuv::MutexLock lock(cache.mu);
    if (cache.text && cache.table == &table && cache.data_type == dataType && cache.row.get() == row.get() &&
        cache.key == rowKey) {
      text = cache.text;
    }
  }
  if (!text) {
    std::map<ULONG, std::string> columnNames;
    if (event != ZUV_RowEvent::kDeleted) {
      table_->Lock();
      columnNames = table_->ColumnNames();
      table_->Unlock();
    }
    text = std::make_shared<const std::string>(PushRowsText(dataType, rowKey, row, columnNames));
    zuv::MutexLock lock(cache.mu);
    cache.table = &table;
    cache.data_type = dataType;
    cache.row = row;
    cache.key = rowKey;
    cache.text = text;
  }
  ZUV_PushSender::Instance().Enqueue(shared_from_this(), dataType, std::move(text));
}

// ---- Reading ----

bool ZUV_Client::MatchesCriteria(const ZUV_Row& row, bool withKey) const {
  if (criteria_.empty()) return true;
  for (const search_criteria_element& c : criteria_) {
    if (c.name == "PR_ENTRYID") {
      if (withKey && c.value.has_value && row.KeyEquals(c.value.text)) return true;
      continue;
    }
    ZUV_CellView v;
    if (!row.Find(c.tag, &v) || !c.value.has_value) continue;
    switch (PROP_TYPE(v.tag)) {
      case PT_STRING8:
        if (c.type == PT_STRING8 && v.bytes == c.value.text) return true;
        break;
      case PT_LONG:
        if (c.type == PT_LONG && static_cast<int32_t>(v.number) == c.value.number) return true;
        break;
      case PT_SYSTIME:
        if (c.type == PT_SYSTIME && v.time.dwHighDateTime == c.value.time.dwHighDateTime &&
            v.time.dwLowDateTime == c.value.time.dwLowDateTime) {
          return true;
        }
        break;
      default:
        break;
    }
  }
  return false;
}

void ZUV_Client::FetchAndFilter(ZUV_Table& table, int socket, int32_t startIndex, int32_t numEntries,
                                int32_t* rowCount) {
  const char* name = connection_.name;
  const char* folder = table.FolderShortID().c_str();
  NLog_InfoA("ZUV", "%s: Fetching and filtering for table %s", name, folder);
  const ZUV_RowMatch match = [this](const ZUV_Row& row) { return MatchesCriteria(row, true); };
  ZUV_TableCursor cursor;
  std::vector<ZUV_RowRef> rows;
  std::map<ULONG, std::string> columnNames;
  table.Lock();
  for (;;) {
    NLog_TraceA("ZUV", "%s:Fetching and filtering for table %s:%d", name, folder, static_cast<int>(cursor.count));
    const int32_t state = table.CountMatching(&cursor, match);
    NLog_TraceA("ZUV", "%s:Number of rows collected so far for table %s:%d", name, folder,
                static_cast<int>(cursor.count));
    const int64_t wanted = static_cast<int64_t>(startIndex) + numEntries;
    if (state == kTableFetching && (numEntries == 0 || static_cast<int64_t>(cursor.count) + 1 < wanted)) {
      NLog_TraceA("ZUV", "%s: Waiting for more data to fetch and filter for table %s", name, folder);
      table.WaitForChange(cursor);
      continue;
    }
    break;
  }
  NLog_InfoA("ZUV", "%s: Done doing  fetch for table %s:%d", name, folder, static_cast<int>(table.RowCount()));
  table.CollectMatching(match, startIndex, &rows);
  columnNames = table.ColumnNames();
  NLog_InfoA("ZUV", "%s:Done doing  fetch and filter for table %s:%d", name, folder, static_cast<int>(rows.size()));
  table.Unlock();
  // The rows are immutable and referenced: written without the lock.
  *rowCount = static_cast<int32_t>(rows.size());
  jsonify(socket, kDataTypeTableRows, rows, columnNames, 0, "");
}

// ---- Serialization ----

std::string ZUV_Client::BuildResponse(int32_t dataType, const std::string& identifier,
                                      const std::vector<ZUV_RowRef>& rows,
                                      const std::map<ULONG, std::string>& columnNames, int32_t errorNumber,
                                      const std::string& errorText) {
  zuvjson::FrameBuffer buffer;
  WriteResponse(&buffer, dataType, identifier, rows, columnNames, errorNumber, errorText);
  return std::string(buffer.GetString(), buffer.GetSize());
}

void ZUV_Client::jsonify(int socket, int32_t dataType, const std::vector<ZUV_RowRef>& rows,
                         const std::map<ULONG, std::string>& columnNames, int32_t errorNumber,
                         const std::string& errorText) const {
  // The connection thread's buffer: a response is written into it and sent
  // from it, its memory reused by the next response.
  thread_local zuvjson::FrameBuffer buffer;
  buffer.Clear();
  WriteResponse(&buffer, dataType, identifier_, rows, columnNames, errorNumber, errorText);
  const std::string_view json(buffer.GetString(), buffer.GetSize());
  if (errorNumber == 0) {
    NLog_InfoA("ZUV", "For Client %s, jsonifying response:%d bytes", connection_.name, static_cast<int>(json.size()));
  } else {
    NLog_InfoA("ZUV", "For Client %s, jsonifying response errorNo:%d, errorMessage:%s:%d bytes", connection_.name,
               static_cast<int>(errorNumber), errorText.c_str(), static_cast<int>(json.size()));
  }
  zuv::ConnectionContext target = connection_;
  target.socket = socket;
  // One sendmsg of the header and the text, straight from the buffer.
  zuv::SendResponse("ZUV_Client::jsonify", &target, "", json, false);
  buffer.Clear();
  if (json.size() > kKeptBufferBytes) buffer.ShrinkToFit();
}
