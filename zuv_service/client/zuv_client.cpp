// zuv_client.cpp: client records and their registry, fetch-and-filter with
// paging, and the serialization of rows into one response.
#include "client/zuv_client.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include <rapidjson/internal/itoa.h>

#include "base/logging.h"
#include "client/row_text.h"
#include "client/zuv_push.h"
#include "mapi/mapitags.h"
#include "mapi_access/prop_tags.h"

zuv::SharedMutex ZUV_Client::registry_mu_;
std::atomic<size_t> ZUV_Client::stream_rows_{size_t{1} << 18};

namespace {

// FILETIME as one number: 100 ns ticks since 1601-01-01.
uint64_t NowFileTicks() {
  const auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return static_cast<uint64_t>(since1970.count() / 100) + 116444736000000000ull;
}

// Responses kept by a connection thread's buffer up to this size; a larger
// one is given back after sending.
constexpr size_t kKeptBufferBytes = size_t{128} << 20;

void AppendNumber(ZUV_TextBuffer* out, int32_t n) {
  char text[16];
  char* end = rapidjson::internal::i32toa(n, text);
  out->Append(std::string_view(text, static_cast<size_t>(end - text)));
}

// Rows from begin on, each after a comma but the response's first, until
// end or until out holds limit bytes; returns the row after the last one.
size_t WriteRowsUpTo(ZUV_RowTextWriter* writer, ZUV_TextBuffer* out, const std::vector<ZUV_RowRef>& rows,
                     size_t begin, size_t end, size_t limit) {
  constexpr size_t kAhead = 4;  // rows fetched into the cache ahead of the writer
  size_t i = begin;
  for (; i < end && out->Size() < limit; ++i) {
    if (i + kAhead < end) {
      const char* ahead = reinterpret_cast<const char*>(rows[i + kAhead].get());
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + 64);
    }
    if (i != 0) out->Append(',');
    writer->WriteRow(*rows[i], out);
  }
  return i;
}

void WriteRows(ZUV_TextBuffer* out, const std::vector<ZUV_RowRef>& rows, size_t begin, size_t end,
               const std::map<ULONG, std::string>& columnNames) {
  ZUV_RowTextWriter writer(columnNames);
  (void)WriteRowsUpTo(&writer, out, rows, begin, end, SIZE_MAX);
}

// The bytes of rows [begin, end) as WriteRows writes them.
size_t MeasureRows(ZUV_RowTextWriter* writer, const std::vector<ZUV_RowRef>& rows, size_t begin, size_t end) {
  size_t bytes = 0;
  for (size_t i = begin; i < end; ++i) bytes += writer->MeasureRow(*rows[i]) + (i != 0 ? 1 : 0);
  return bytes;
}

// The response up to its rows: the envelope, and for a success the
// opening of ROWS.
void WriteResponseHead(ZUV_TextBuffer* out, int32_t dataType, const std::string& identifier, int32_t errorNumber,
                       const std::string& errorText) {
  out->Append("{\"ErrorNumber\":");
  AppendNumber(out, errorNumber);
  out->Append(",\"ErrorString\":");
  AppendJsonString(out, errorText);
  if (errorNumber == 0) {
    out->Append(",\"DataType\":");
    AppendNumber(out, dataType);
    out->Append(",\"ClientIdentifier\":");
    AppendJsonString(out, identifier);
    out->Append(",\"ROWS\":[");
  }
}

// What follows the rows of a successful response.
constexpr std::string_view kRowsTail = "]}";

void WriteResponseTail(ZUV_TextBuffer* out, int32_t errorNumber) {
  out->Append(errorNumber == 0 ? kRowsTail : std::string_view("}"));
}

// The whole response object into out.
void WriteResponse(ZUV_TextBuffer* out, int32_t dataType, const std::string& identifier,
                   const std::vector<ZUV_RowRef>& rows, const std::map<ULONG, std::string>& columnNames,
                   int32_t errorNumber, const std::string& errorText) {
  WriteResponseHead(out, dataType, identifier, errorNumber, errorText);
  if (errorNumber == 0) WriteRows(out, rows, 0, rows.size(), columnNames);
  WriteResponseTail(out, errorNumber);
}

// Responses of this many rows or more are written by two threads, each
// half into a buffer of its own, and sent as one text.
constexpr size_t kSplitRows = 16384;

// Larger responses (ZUV_Client::stream_rows_) are streamed: measured first
// (the frame's header holds the length), then sent block by block while a
// helper thread writes the blocks into a few buffers the connection thread
// keeps. No buffer the size of the response is made; on two cores this is
// slower than writing whole, so it is kept for reads of hundreds of MB.
constexpr size_t kBlockBytes = size_t{1} << 20;
constexpr size_t kBlockBuffers = 4;

// The blocks of one streamed response, between the helper thread that
// measures half the rows and then writes every block, and the connection
// thread that sends the blocks in order. Lock: mu.
struct BlockRing {
  zuv::Mutex mu;
  zuv::CondVar changed;
  ZUV_TextBuffer* buffers[kBlockBuffers] = {};                    // the connection thread's
  bool measured ZUV_GUARDED_BY(mu) = false;                       // second_half_bytes is set
  size_t second_half_bytes ZUV_GUARDED_BY(mu) = 0;
  size_t filled ZUV_GUARDED_BY(mu) = 0;                           // blocks written
  size_t sent ZUV_GUARDED_BY(mu) = 0;                             // blocks sent: their buffers are free
  bool done ZUV_GUARDED_BY(mu) = false;                           // the last block is written
  bool stop ZUV_GUARDED_BY(mu) = false;                           // the sender gave up
  size_t written ZUV_GUARDED_BY(mu) = 0;                          // bytes of all blocks, once done
};

// The helper thread's part: the bytes of rows [half, end), then every row
// in blocks.
void WriteBlocks(BlockRing* ring, const std::vector<ZUV_RowRef>& rows, size_t half,
                 const std::map<ULONG, std::string>& columnNames) {
  ZUV_RowTextWriter writer(columnNames);
  const size_t secondHalf = MeasureRows(&writer, rows, half, rows.size());
  {
    zuv::MutexLock lock(ring->mu);
    ring->second_half_bytes = secondHalf;
    ring->measured = true;
  }
  ring->changed.NotifyAll();
  size_t next = 0;
  size_t written = 0;
  while (next < rows.size()) {
    ZUV_TextBuffer* out = nullptr;
    {
      zuv::MutexLock lock(ring->mu);
      while (!ring->stop && ring->filled - ring->sent >= kBlockBuffers) ring->changed.Wait(ring->mu);
      if (ring->stop) return;
      out = ring->buffers[ring->filled % kBlockBuffers];
    }
    out->Clear();
    next = WriteRowsUpTo(&writer, out, rows, next, rows.size(), kBlockBytes);
    written += out->Size();
    {
      zuv::MutexLock lock(ring->mu);
      ++ring->filled;
    }
    ring->changed.NotifyAll();
  }
  {
    zuv::MutexLock lock(ring->mu);
    ring->done = true;
    ring->written = written;
  }
  ring->changed.NotifyAll();
}

// The connection thread's buffers: a response is written into them and
// sent from them, their memory reused by the next response.
ZUV_TextBuffer& ConnectionBuffer() {
  thread_local ZUV_TextBuffer buffer;
  return buffer;
}
ZUV_TextBuffer& SecondBuffer() {
  thread_local ZUV_TextBuffer buffer;
  return buffer;
}

}  // namespace

// The texts of rows written while their table filled, each after a comma,
// found again by row. The written rows are held, so no other row can take
// their addresses. Owned by one read on its connection thread.
class ZUV_EarlyRows {
 public:
  // maxRows: past this many rows the read is streamed, not sent from here.
  ZUV_EarlyRows(std::map<ULONG, std::string> names, size_t maxRows)
      : names_(std::move(names)), max_rows_(maxRows), writer_(names_), text_(ConnectionBuffer()) {
    text_.Clear();
  }
  ~ZUV_EarlyRows() {
    text_.Clear();
    if (text_.Capacity() > kKeptBufferBytes) text_.Release();
  }
  ZUV_EarlyRows(const ZUV_EarlyRows&) = delete;
  ZUV_EarlyRows& operator=(const ZUV_EarlyRows&) = delete;

  // False once the texts hold as much as a connection keeps, or the rows
  // are too many to be sent from here.
  bool Open() const { return text_.Size() <= kKeptBufferBytes && held_.size() < max_rows_; }
  size_t Rows() const { return held_.size(); }
  const std::map<ULONG, std::string>& Names() const { return names_; }
  ZUV_TextBuffer& Text() { return text_; }

  void Write(const std::vector<ZUV_RowRef>& rows) {
    for (const ZUV_RowRef& row : rows) {
      if (2 * (held_.size() + 1) > places_.size()) Rehash(std::max<size_t>(1024, 2 * places_.size()));
      Place* at = &places_[SlotOf(row.get())];
      if (at->row != nullptr) continue;  // stored twice
      at->row = row.get();
      at->offset = text_.Size();
      text_.Append(',');
      writer_.WriteRow(*row, &text_);
      at->length = text_.Size() - at->offset;
      held_.push_back(row);
    }
  }
  // Where the text of row is, comma first; false when it was not written.
  bool Find(const ZUV_Row* row, size_t* offset, size_t* length) const {
    if (places_.empty()) return false;
    const Place* at = &places_[SlotOf(row)];
    if (at->row == nullptr) return false;
    *offset = at->offset;
    *length = at->length;
    return true;
  }

 private:
  // Open addressing by the row's address: one probe, mostly.
  struct Place {
    const ZUV_Row* row = nullptr;
    size_t offset = 0;
    size_t length = 0;
  };
  // The slot of row, else the empty one where it would go.
  size_t SlotOf(const ZUV_Row* row) const {
    const size_t mask = places_.size() - 1;
    size_t i = ((reinterpret_cast<uintptr_t>(row) >> 4) * 0x9E3779B97F4A7C15ull >> 20) & mask;
    while (places_[i].row != nullptr && places_[i].row != row) i = (i + 1) & mask;
    return i;
  }
  void Rehash(size_t size) {
    std::vector<Place> old(size);
    old.swap(places_);
    for (const Place& p : old) {
      if (p.row != nullptr) places_[SlotOf(p.row)] = p;
    }
  }
  const std::map<ULONG, std::string> names_;
  const size_t max_rows_;
  ZUV_RowTextWriter writer_;  // over names_
  ZUV_TextBuffer& text_;      // the connection thread's
  std::vector<Place> places_;  // a power of two of them, at most half used
  std::vector<ZUV_RowRef> held_;
};

namespace {

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
  ZUV_TextBuffer buffer;
  if (dataType == static_cast<int32_t>(ZUV_RowEvent::kDeleted) || !row) {
    AppendJsonString(&buffer, rowKey);
  } else {
    ZUV_RowTextWriter writer(columnNames);
    buffer.Append('[');
    writer.WriteRow(*row, &buffer);
    buffer.Append(']');
  }
  return std::string(buffer.View());
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
  // While the table fills, this thread would only wait: it writes the
  // matching rows as they are stored instead. The response is then sent
  // from those texts in the table's order at the end (ZUV_EarlyRows).
  std::unique_ptr<ZUV_EarlyRows> early;
  if (table.State() == kTableFetching && !zuv::LogEnabled("ZUV", zuv::LogLevel::Trace)) {
    early = std::make_unique<ZUV_EarlyRows>(table.ColumnNames(), stream_rows_.load(std::memory_order_relaxed));
  }
  uint64_t stored = 0;  // the table's changes taken into the early texts
  for (;;) {
    NLog_TraceA("ZUV", "%s:Fetching and filtering for table %s:%d", name, folder, static_cast<int>(cursor.count));
    const int32_t state = table.CountMatching(&cursor, match);
    NLog_TraceA("ZUV", "%s:Number of rows collected so far for table %s:%d", name, folder,
                static_cast<int>(cursor.count));
    const int64_t wanted = static_cast<int64_t>(startIndex) + numEntries;
    if (state == kTableFetching && (numEntries == 0 || static_cast<int64_t>(cursor.count) + 1 < wanted)) {
      if (early && early->Open()) {
        std::vector<ZUV_RowRef> fresh;
        table.CollectStored(&stored, match, &fresh);
        if (!fresh.empty()) {
          table.Unlock();
          early->Write(fresh);
          table.Lock();
        }
      }
      NLog_TraceA("ZUV", "%s: Waiting for more data to fetch and filter for table %s", name, folder);
      table.WaitForChange(cursor);
      continue;
    }
    break;
  }
  NLog_InfoA("ZUV", "%s: Done doing  fetch for table %s:%d", name, folder, static_cast<int>(table.RowCount()));
  if (cursor.count >= static_cast<size_t>(std::max(startIndex, 1))) rows.reserve(cursor.count - std::max(startIndex, 1) + 1);
  table.CollectMatching(match, startIndex, &rows);
  columnNames = table.ColumnNames();
  NLog_InfoA("ZUV", "%s:Done doing  fetch and filter for table %s:%d", name, folder, static_cast<int>(rows.size()));
  table.Unlock();
  // The rows are immutable and referenced: written without the lock.
  *rowCount = static_cast<int32_t>(rows.size());
  if (early && early->Rows() != 0 && early->Names() == columnNames &&
      rows.size() < stream_rows_.load(std::memory_order_relaxed)) {
    SendWithEarlyRows(socket, rows, columnNames, early.get());
    return;
  }
  early.reset();
  jsonify(socket, kDataTypeTableRows, rows, columnNames, 0, "");
}

// ---- Serialization ----

std::string ZUV_Client::BuildResponse(int32_t dataType, const std::string& identifier,
                                      const std::vector<ZUV_RowRef>& rows,
                                      const std::map<ULONG, std::string>& columnNames, int32_t errorNumber,
                                      const std::string& errorText) {
  ZUV_TextBuffer buffer;
  WriteResponse(&buffer, dataType, identifier, rows, columnNames, errorNumber, errorText);
  return std::string(buffer.View());
}

void ZUV_Client::jsonify(int socket, int32_t dataType, const std::vector<ZUV_RowRef>& rows,
                         const std::map<ULONG, std::string>& columnNames, int32_t errorNumber,
                         const std::string& errorText) const {
  const bool twoThreads = std::thread::hardware_concurrency() > 1;
  if (errorNumber == 0 && rows.size() >= stream_rows_.load(std::memory_order_relaxed) && twoThreads &&
      !zuv::LogEnabled("ZUV", zuv::LogLevel::Trace) && SendStreamed(socket, dataType, rows, columnNames)) {
    return;
  }
  ZUV_TextBuffer& buffer = ConnectionBuffer();
  ZUV_TextBuffer& second = SecondBuffer();
  buffer.Clear();
  second.Clear();
  WriteResponseHead(&buffer, dataType, identifier_, errorNumber, errorText);
  if (errorNumber == 0) {
    bool split = false;
    if (rows.size() >= kSplitRows && twoThreads) {
      // The second half on a thread of this connection's, joined before
      // anything is sent; without a thread, all here.
      const size_t half = rows.size() / 2;
      ZUV_TextBuffer* const secondPart = &second;  // this thread's, not the helper's
      try {
        std::thread helper([&] { WriteRows(secondPart, rows, half, rows.size(), columnNames); });
        WriteRows(&buffer, rows, 0, half, columnNames);
        helper.join();
        split = true;
      } catch (const std::system_error&) {
        second.Clear();
      }
    }
    if (!split) WriteRows(&buffer, rows, 0, rows.size(), columnNames);
  }
  WriteResponseTail(second.Size() != 0 ? &second : &buffer, errorNumber);
  const std::string_view parts[2] = {buffer.View(), second.View()};
  const size_t bytes = parts[0].size() + parts[1].size();
  if (errorNumber == 0) {
    NLog_InfoA("ZUV", "For Client %s, jsonifying response:%d bytes", connection_.name, static_cast<int>(bytes));
  } else {
    NLog_InfoA("ZUV", "For Client %s, jsonifying response errorNo:%d, errorMessage:%s:%d bytes", connection_.name,
               static_cast<int>(errorNumber), errorText.c_str(), static_cast<int>(bytes));
  }
  zuv::ConnectionContext target = connection_;
  target.socket = socket;
  // One sendmsg of the header and the text, straight from the buffers.
  zuv::SendResponseParts("ZUV_Client::jsonify", &target, "", parts, second.Size() != 0 ? 2 : 1, false);
  buffer.Clear();
  second.Clear();
  if (bytes > kKeptBufferBytes) {
    buffer.Release();
    second.Release();
  }
}

void ZUV_Client::SendWithEarlyRows(int socket, const std::vector<ZUV_RowRef>& rows,
                                   const std::map<ULONG, std::string>& columnNames, ZUV_EarlyRows* early) const {
  // Rows stored after the last look, or replaced since, are written now.
  ZUV_TextBuffer& head = SecondBuffer();
  head.Clear();
  WriteResponseHead(&head, kDataTypeTableRows, identifier_, 0, "");
  const size_t headBytes = head.Size();
  ZUV_RowTextWriter writer(columnNames);
  struct Piece {
    bool early;
    size_t offset;
    size_t length;
  };
  std::vector<Piece> pieces(rows.size());
  size_t late = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    Piece& p = pieces[i];
    p.early = early->Find(rows[i].get(), &p.offset, &p.length);
    if (!p.early) {
      ++late;
      p.offset = head.Size();
      head.Append(',');
      writer.WriteRow(*rows[i], &head);
      p.length = head.Size() - p.offset;
    }
  }
  head.Append(kRowsTail);
  // header, head, the rows (the first without its comma), tail
  char header[zuv::kResponseHeaderBytes];
  std::vector<iovec> vectors;
  vectors.reserve(rows.size() + 3);
  vectors.push_back({header, sizeof(header)});
  vectors.push_back({const_cast<char*>(head.Data()), headBytes});
  size_t bytes = headBytes + kRowsTail.size();
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece& p = pieces[i];
    const char* base = p.early ? early->Text().Data() : head.Data();
    const size_t skip = i == 0 ? 1 : 0;
    vectors.push_back({const_cast<char*>(base + p.offset + skip), p.length - skip});
    bytes += p.length - skip;
  }
  vectors.push_back({const_cast<char*>(head.Data() + head.Size() - kRowsTail.size()), kRowsTail.size()});
  zuv::FormatResponseHeader(bytes, header);
  NLog_DebugA("ZUV", "For Client %s, %d of %d rows were written while the table filled", connection_.name,
              static_cast<int>(rows.size() - late), static_cast<int>(rows.size()));
  NLog_InfoA("ZUV", "For Client %s, jsonifying response:%d bytes", connection_.name, static_cast<int>(bytes));
  const bool sent = zuv::SendVectors(socket, vectors.data(), vectors.size());
  const bool timedOut = !sent && zuv::SendTimedOut();
  zuv::ConnectionContext target = connection_;
  target.socket = socket;
  zuv::EndResponse("ZUV_Client::jsonify", &target, "", timedOut, nullptr, 0, false);
  head.Clear();
  if (head.Capacity() > kKeptBufferBytes) head.Release();
}

bool ZUV_Client::SendStreamed(int socket, int32_t dataType, const std::vector<ZUV_RowRef>& rows,
                              const std::map<ULONG, std::string>& columnNames) const {
  thread_local ZUV_TextBuffer head;
  thread_local ZUV_TextBuffer blocks[kBlockBuffers];
  BlockRing ring;
  for (size_t k = 0; k < kBlockBuffers; ++k) ring.buffers[k] = &blocks[k];
  const size_t half = rows.size() / 2;
  std::thread helper;
  try {
    helper = std::thread(WriteBlocks, &ring, std::cref(rows), half, std::cref(columnNames));
  } catch (const std::system_error&) {
    return false;  // written whole on this thread instead
  }
  head.Clear();
  WriteResponseHead(&head, dataType, identifier_, 0, "");
  ZUV_RowTextWriter writer(columnNames);
  size_t bytes = head.Size() + MeasureRows(&writer, rows, 0, half) + kRowsTail.size();
  {
    zuv::MutexLock lock(ring.mu);
    while (!ring.measured) ring.changed.Wait(ring.mu);
    bytes += ring.second_half_bytes;
  }
  NLog_InfoA("ZUV", "For Client %s, jsonifying response:%d bytes", connection_.name, static_cast<int>(bytes));
  char header[zuv::kResponseHeaderBytes];
  zuv::FormatResponseHeader(bytes, header);
  bool sent = zuv::SendAll(socket, header, sizeof(header)) && zuv::SendAll(socket, head.Data(), head.Size());
  bool timedOut = !sent && zuv::SendTimedOut();
  size_t written = 0;
  for (;;) {
    ZUV_TextBuffer* block = nullptr;
    {
      zuv::MutexLock lock(ring.mu);
      while (sent && ring.filled == ring.sent && !ring.done) ring.changed.Wait(ring.mu);
      if (!sent || ring.filled == ring.sent) {
        ring.stop = !sent;
        written = ring.written;
        break;
      }
      block = ring.buffers[ring.sent % kBlockBuffers];
    }
    sent = zuv::SendAll(socket, block->Data(), block->Size());
    timedOut = !sent && zuv::SendTimedOut();
    {
      zuv::MutexLock lock(ring.mu);
      if (sent) ++ring.sent;
    }
    ring.changed.NotifyAll();
  }
  ring.changed.NotifyAll();
  helper.join();
  zuv::ConnectionContext target = connection_;
  target.socket = socket;
  if (sent && head.Size() + written + kRowsTail.size() != bytes) {
    // The header announced another length: nothing the client reads after
    // this could be a frame.
    NLog_ErrorA("ZUV", "%s:Closing the connection: the response of %zu bytes was written as %zu", connection_.name,
                bytes, head.Size() + written + kRowsTail.size());
    ::shutdown(socket, SHUT_RDWR);
    sent = false;
  }
  if (sent) {
    sent = zuv::SendAll(socket, kRowsTail.data(), kRowsTail.size());
    timedOut = !sent && zuv::SendTimedOut();
  }
  zuv::EndResponse("ZUV_Client::jsonify", &target, "", timedOut, nullptr, 0, false);
  // A block holds a little more than kBlockBytes unless one row was larger.
  for (ZUV_TextBuffer& b : blocks) {
    b.Clear();
    if (b.Capacity() > 4 * kBlockBytes) b.Release();
  }
  return true;
}
