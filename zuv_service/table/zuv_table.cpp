// zuv_table.cpp: a cached folder table: column resolution, the folder and
// its contents table, population runs, row storage and the reader
// primitives (counting, waiting, collecting), and the store's table
// notifications turned into row changes.
#include "table/zuv_table.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <thread>
#include <utility>

#include "base/logging.h"
#include "mapi/mapiptr.h"
#include "mapi/mapitags.h"
#include "mapi/mapiutil.h"
#include "mapi_access/mapi_sink.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/mapiobject.h"
#include "table/zuv_row_arena.h"

namespace {

constexpr LONG kFetchBatch = 1024;
constexpr int kTrimAfterRows = 65536;
constexpr size_t kStoreEvery = 128;  // rows of a batch stored and announced together
constexpr size_t kCutStringChars = 255;  // the contents table cuts strings here

uint64_t NowMillis() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

const std::string& NoName() {
  static const std::string* empty = new std::string;
  return *empty;
}

// "0x" followed by hex digits up to the first other character; false
// without any digit.
bool HexTagName(const std::string& name, ULONG* tag) {
  if (name.size() < 2 || name[0] != '0' || name[1] != 'x') return false;
  ULONG v = 0;
  size_t digits = 0;
  for (size_t i = 2; i < name.size() && std::isxdigit(static_cast<unsigned char>(name[i])); ++i, ++digits) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    v = v << 4 | static_cast<ULONG>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  if (digits == 0) return false;
  *tag = v;
  return true;
}

// ---- Cut strings read ahead ----

// The whole values of a batch's cut strings, by row and column.
struct CutStrings {
  std::vector<zuvstore::MessageValue> values;
  std::vector<const zuvstore::MessageValue*> slots;  // per row and column; null: not read
  std::vector<size_t> rowStart;                      // row -> its first slot; empty: nothing read
  // The slots of row's columns; null when nothing was read.
  const zuvstore::MessageValue* const* Row(ULONG row) const {
    return row < rowStart.size() ? slots.data() + rowStart[row] : nullptr;
  }
};

// The store's reader of many messages' values behind folder; null when it
// has none.
MapiPtr<zuvstore::IZuvMessageValues> ValuesReader(IMAPIFolder* folder) {
  MapiPtr<zuvstore::IZuvMessageValues> reader;
  if (folder == nullptr || FAILED(folder->QueryInterface(zuvstore::IID_IZuvMessageValues, reader.put_void()))) {
    reader.reset();
  }
  return reader;
}

// Reads whole, in one call, every PT_STRING8 value of a contents batch the
// table may have cut. Leaves *out empty when there is none or the read
// fails (the rows then open their messages).
void ReadCutStrings(zuvstore::IZuvMessageValues* reader, const SRowSet& batch, CutStrings* out) {
  out->values.clear();
  out->slots.clear();
  out->rowStart.clear();
  if (reader == nullptr) return;
  std::vector<zuvstore::MessageValueRequest> requests;
  std::vector<size_t> slotOf;  // request -> its slot
  size_t slots = 0;
  for (ULONG r = 0; r < batch.cRows; ++r) {
    const SRow& row = batch.aRow[r];
    const size_t first = slots;
    slots += row.cValues;
    if (row.cValues == 0 || PROP_TYPE(row.lpProps[0].ulPropTag) != PT_BINARY) continue;
    const std::string_view entryID(reinterpret_cast<const char*>(row.lpProps[0].Value.bin.lpb),
                                   row.lpProps[0].Value.bin.cb);
    if (entryID.empty()) continue;
    for (ULONG i = 1; i < row.cValues; ++i) {
      const SPropValue& v = row.lpProps[i];
      if (PROP_TYPE(v.ulPropTag) != PT_STRING8 || v.Value.lpszA == nullptr) continue;
      if (std::strlen(v.Value.lpszA) < kCutStringChars || !IsSupportedProperty(v.ulPropTag)) continue;
      requests.push_back(zuvstore::MessageValueRequest{entryID, v.ulPropTag});
      slotOf.push_back(first + i);
    }
  }
  if (requests.empty()) return;
  out->values.resize(requests.size());
  if (FAILED(reader->ReadMessageValues(requests.data(), requests.size(), out->values.data()))) {
    out->values.clear();
    return;
  }
  out->slots.assign(slots, nullptr);
  for (size_t k = 0; k < requests.size(); ++k) out->slots[slotOf[k]] = &out->values[k];
  out->rowStart.resize(batch.cRows);
  size_t at = 0;
  for (ULONG r = 0; r < batch.cRows; ++r) {
    out->rowStart[r] = at;
    at += batch.aRow[r].cValues;
  }
}

}  // namespace

// ---- Construction ----

ZUV_Table::ZUV_Table(std::string storeEntryID, std::string folderEntryID)
    : store_entry_id_(std::move(storeEntryID)),
      folder_entry_id_(std::move(folderEntryID)),
      key_(MakeKey(store_entry_id_, folder_entry_id_)),
      store_short_id_(zuv::ShortenID(store_entry_id_)),
      folder_short_id_(zuv::ShortenID(folder_entry_id_)) {}

ZUV_Table::ZUV_Table(ZUV_TableSession* session, std::string folderEntryID, std::string storeEntryID,
                     std::vector<std::string> requestedColumnNames, uint32_t cacheData)
    : session_(session),
      store_entry_id_(std::move(storeEntryID)),
      folder_entry_id_(std::move(folderEntryID)),
      key_(MakeKey(store_entry_id_, folder_entry_id_)),
      store_short_id_(zuv::ShortenID(store_entry_id_)),
      folder_short_id_(zuv::ShortenID(folder_entry_id_)),
      requested_column_names_(std::move(requestedColumnNames)),
      cache_data_(cacheData) {
  NLog_TraceA("ZUV", "Setting the table state to init");
}

ZUV_Table::~ZUV_Table() {
  zuv::MutexLock lock(fetch_mu_);
  Unadvise();
  folder_.reset();
}

std::string ZUV_Table::MakeKey(const std::string& storeEntryID, const std::string& folderEntryID) {
  std::string key;
  key.reserve(storeEntryID.size() + 1 + folderEntryID.size());
  key.append(storeEntryID).append(1, '/').append(folderEntryID);
  return key;
}

const std::string& ZUV_Table::LogName() const {
  return session_ != nullptr ? session_->TableLogName() : NoName();
}

// ---- Columns ----

uint32_t ZUV_Table::ResolveName(const std::string& name, ULONG* tag) {
  if (HexTagName(name, tag)) return 0;
  return session_->TableTagFromName(folder_entry_id_, store_entry_id_, name, tag);
}

uint32_t ZUV_Table::ResolveColumns(const std::vector<std::string>& names,
                                   std::vector<search_criteria_element>* criteria,
                                   std::vector<std::string>* newNames, std::vector<ULONG>* newTags,
                                   std::string* errorText) {
  if (session_ == nullptr) {
    *errorText = "The table has no session to resolve columns";
    return 1;
  }
  // Names the table does not hold yet, criteria names included.
  std::vector<std::string> fresh;
  {
    std::vector<const std::string*> asked;
    for (const std::string& name : names) asked.push_back(&name);
    if (criteria != nullptr) {
      for (const search_criteria_element& c : *criteria) asked.push_back(&c.name);
    }
    zuv::MutexLock lock(mu_);
    for (const std::string* name : asked) {
      if (std::find(all_column_names_.begin(), all_column_names_.end(), *name) != all_column_names_.end()) continue;
      if (std::find(fresh.begin(), fresh.end(), *name) != fresh.end()) continue;
      fresh.push_back(*name);
    }
  }
  // Lookups run without the lock: they may read the folder through MAPI.
  std::vector<std::pair<std::string, ULONG>> resolved;
  for (const std::string& name : fresh) {
    ULONG tag = 0;
    if (ResolveName(name, &tag) != 0) {
      NLog_ErrorA("ZUV", "%s:Cannot get the property Tag for %s", LogName().c_str(), zuv::EscapeForLog(name).c_str());
      continue;
    }
    resolved.emplace_back(name, tag);
  }
  if (criteria != nullptr) {
    for (search_criteria_element& c : *criteria) {
      ULONG tag = 0;
      if (ResolveName(c.name, &tag) == 0) c.tag = tag;
    }
  }
  zuv::MutexLock lock(mu_);
  column_names_.emplace(kRowKeyTag, "PR_LONGTERM_ENTRYID_FROM_TABLE");
  column_names_.emplace(kAttachNumTag, "PR_ATTACH_NUM");
  for (const auto& [name, tag] : resolved) {
    if (std::find(all_column_names_.begin(), all_column_names_.end(), name) != all_column_names_.end()) {
      continue;  // another request added it meanwhile
    }
    all_column_names_.push_back(name);
    all_column_tags_.push_back(tag);
    column_names_.emplace(tag, name);
    newNames->push_back(name);
    newTags->push_back(tag);
  }
  return 0;
}

std::vector<std::string> ZUV_Table::AllColumnNames() {
  zuv::MutexLock lock(mu_);
  return all_column_names_;
}

// ---- Folder ----

uint32_t ZUV_Table::OpenFolder(const char* connectionName, std::string* errorText) {
  (void)connectionName;  // the folder lines carry the session's name
  if (session_ != nullptr && session_->TableMapi() != nullptr) {
    // The notifier thread reads messages through a folder of its own.
    auto notifyFolder = session_->TableMapi()->OpenFolderByEntryID(folder_entry_id_.c_str(), store_entry_id_.c_str(), 0);
    zuv::MutexLock lock(notify_mu_);
    if (!notify_folder_) notify_folder_ = std::move(notifyFolder);
  }
  zuv::MutexLock lock(fetch_mu_);
  if (session_ == nullptr || session_->TableMapi() == nullptr) {
    NLog_ErrorA("ZUV", "%s: Cannot open folder with entryID %s", LogName().c_str(), folder_entry_id_.c_str());
    *errorText = "Cannot get the open the folder " + folder_entry_id_;
    return 1;
  }
  folder_ = session_->TableMapi()->OpenFolderByEntryID(folder_entry_id_.c_str(), store_entry_id_.c_str(), 0);
  if (!folder_) {
    NLog_ErrorA("ZUV", "%s: Cannot open folder with entryID %s", LogName().c_str(), folder_entry_id_.c_str());
    *errorText = "Cannot get the open the folder " + folder_entry_id_;
    return 1;
  }
  std::string mapiError;
  if (!folder_->GetContentsTable(&mapiError)) {
    NLog_ErrorA("ZUV", "%s: Cannot open folder content table with entryID %s", LogName().c_str(),
                folder_entry_id_.c_str());
    *errorText = "Cannot get the open the folder content table " + folder_entry_id_;
    folder_.reset();
    return 1;
  }
  return 0;
}

// ---- State ----

void ZUV_Table::SetStateLocked(int32_t state) {
  switch (state) {
    case kTableInit: NLog_TraceA("ZUV", "Setting the table state to init"); break;
    case kTableFetching: NLog_TraceA("ZUV", "Setting the table state to fetching"); break;
    case kTableFetched: NLog_TraceA("ZUV", "Setting the table state to fetched"); break;
    default: break;
  }
  state_ = state;
  if (state != kTableFetching) {
    // No reader waits any more: the change log is not needed.
    change_base_ += changes_.size();
    changes_.clear();
    changes_.shrink_to_fit();
  }
}

void ZUV_Table::SetState(int32_t state) {
  {
    zuv::MutexLock lock(mu_);
    SetStateLocked(state);
  }
  change_.NotifyAll();
}

int32_t ZUV_Table::GetState() {
  zuv::MutexLock lock(mu_);
  return state_;
}

void ZUV_Table::WaitUntilNotFetching() {
  zuv::MutexLock lock(mu_);
  while (state_ == kTableFetching || fill_threads_ > 0) change_.Wait(mu_);
}

// ---- Population ----

void ZUV_Table::StartFetch(const std::vector<std::string>& names, const std::vector<ULONG>& tags,
                           const std::vector<search_criteria_element>& criteria) {
  (void)names;  // the tags say it all; the names are in the column map
  NLog_InfoA("ZUV", "For table %s kicking off table fetch thread...", folder_short_id_.c_str());
  {
    // The table is fetched only once every run started has ended.
    zuv::MutexLock lock(mu_);
    ++pending_runs_;
    if (state_ != kTableFetching) SetStateLocked(kTableFetching);
  }
  if (cache_data_ != 0) {
    // The fill thread owns a reference to the table and ends with the run.
    {
      zuv::MutexLock lock(mu_);
      ++fill_threads_;
    }
    std::thread([self = shared_from_this(), tags, criteria]() mutable {
      self->RunFetch(std::move(tags), std::move(criteria));
      zuv::MutexLock lock(self->mu_);
      --self->fill_threads_;
      self->change_.NotifyAll();
    }).detach();
    return;
  }
  RunFetch(tags, criteria);
}

void ZUV_Table::RunFetch(std::vector<ULONG> tags, std::vector<search_criteria_element> criteria) {
  NLog_InfoA("ZUV", "In ZUVFetchTableData thread...");
  zuv::MutexLock lock(fetch_mu_);
  Populate(nullptr, tags, criteria);
}

void ZUV_Table::Unadvise() {
  if (advised_ && contents_table_ != nullptr) (void)contents_table_->Unadvise(advise_connection_);
  advised_ = false;
}

IMAPITable* ZUV_Table::OpenContentsWithColumns(LPSPropTagArray columns) {
  if (!folder_) return nullptr;
  return folder_->GetContentsTable(columns);
}

void ZUV_Table::RegisterSink() {
  auto* sink = new CMAPISink(&ZUV_Table::OnTableNotification, this, store_short_id_, folder_short_id_);
  sink->AddRef();
  NLog_WarnA("ZUV", "%s:Adding a MAPI Advise on table %s", LogName().c_str(), folder_short_id_.c_str());
  HRESULT hr = contents_table_->Advise(fnevTableModified, sink, &advise_connection_);
  if (FAILED(hr)) {
    NLog_ErrorA("ZUV", "%s:Cannot add notification sink to table %s:%s", LogName().c_str(),
                folder_short_id_.c_str(), zuvstore::LastErrorText(contents_table_, hr).c_str());
  } else {
    advised_ = true;
  }
  sink->Release();
}

void ZUV_Table::Populate(IMAPITable* attachmentTable, const std::vector<ULONG>& givenTags,
                         const std::vector<search_criteria_element>& criteria) {
  const char* name = LogName().c_str();
  const char* folder = folder_short_id_.c_str();
  NLog_InfoA("ZUV", "For table %s, Starting cache table population...", folder);
  std::vector<ULONG> columns = givenTags;
  if (columns.empty() && attachmentTable == nullptr) {
    zuv::MutexLock lock(mu_);
    columns = all_column_tags_;
  }
  for (size_t i = 0; i < columns.size(); ++i) {
    NLog_InfoA("ZUV", "For Table %s Requested Column #%d=%x", folder, static_cast<int>(i), columns[i]);
  }
  if (cache_data_ == 0) {
    for (size_t i = 0; i < criteria.size(); ++i) {
      const search_criteria_element& c = criteria[i];
      if (c.type == PT_LONG) {
        NLog_InfoA("ZUV", "For Table %s Requested Criteria(PT_LONG) #%d=%x/%ld", folder, static_cast<int>(i), c.tag,
                   static_cast<long>(c.value.number));
      } else if (c.type == PT_STRING8) {
        NLog_InfoA("ZUV", "For Table %s Requested Criteria(PT_STRING8) #%d=%x/%s", folder, static_cast<int>(i), c.tag,
                   zuv::EscapeForLog(c.value.text).c_str());
      }
    }
  }

  // Key column, PR_INSTANCE_KEY, then the columns.
  std::vector<ULONG> buffer(columns.size() + 3);
  auto* tagArray = reinterpret_cast<LPSPropTagArray>(buffer.data());
  tagArray->cValues = static_cast<ULONG>(columns.size() + 2);
  tagArray->aulPropTag[0] = attachmentTable != nullptr ? kAttachNumTag : kRowKeyTag;
  tagArray->aulPropTag[1] = kInstanceKeyTag;
  std::copy(columns.begin(), columns.end(), &tagArray->aulPropTag[2]);

  IMAPITable* table = nullptr;
  if (attachmentTable != nullptr) {
    if (SUCCEEDED(attachmentTable->SetColumns(tagArray, 0))) table = attachmentTable;
  } else {
    Unadvise();
    contents_table_ = OpenContentsWithColumns(tagArray);
    if (contents_table_ == nullptr) {
      NLog_ErrorA("ZUV", "Cannot get the contents table for selected columns. Will dissect individual columns separately...");
      for (ULONG tag : columns) {
        auto one = MakePropTags(tag);
        contents_table_ = OpenContentsWithColumns(one.get());
        if (contents_table_ == nullptr) NLog_ErrorA("ZUV", "Table query does not accept column %x", tag);
      }
    }
    table = contents_table_;
    if (table != nullptr) RegisterSink();
    if (table != nullptr && cache_data_ == 0 && !criteria.empty()) {
      std::vector<SRestriction> parts(criteria.size());
      std::vector<SPropValue> values(criteria.size());
      for (size_t i = 0; i < criteria.size(); ++i) {
        const search_criteria_element& c = criteria[i];
        values[i].ulPropTag = c.tag;
        if (PROP_TYPE(c.tag) == PT_STRING8) {
          values[i].Value.lpszA = const_cast<char*>(c.value.text.c_str());
        } else if (PROP_TYPE(c.tag) == PT_SYSTIME) {
          values[i].Value.ft = c.value.time;
        } else {
          values[i].Value.l = c.value.number;
        }
        parts[i].rt = RES_PROPERTY;
        parts[i].res.resProperty.relop = static_cast<ULONG>(c.op);
        parts[i].res.resProperty.ulPropTag = c.tag;
        parts[i].res.resProperty.lpProp = &values[i];
        NLog_InfoA("ZUV", "Criteria[%d]=%x/%s", static_cast<int>(i), c.tag, zuv::EscapeForLog(c.value.text).c_str());
      }
      SRestriction all{};
      all.rt = RES_AND;
      all.res.resAnd.cRes = static_cast<ULONG>(parts.size());
      all.res.resAnd.lpRes = parts.data();
      (void)folder_->RestrictContents(&all, TBL_BATCH);
    }
  }

  const uint64_t start = NowMillis();
  int fetched = 0;
  if (table != nullptr) {
    // The rows of a contents fill take their memory from an arena of the
    // run's own, its last chunk's tail given back when the run ends. Into
    // a table that holds rows already, fetched rows are mostly merged and
    // dropped at once: only the merged rows go to the arena then, so the
    // dropped ones leave no dead space in its chunks. Attachment tables
    // are small and stay on the heap.
    ZUV_RowArena arena;
    ZUV_RowArena* rowArena = nullptr;
    ZUV_RowArena* mergeArena = nullptr;
    if (attachmentTable == nullptr) {
      zuv::MutexLock lock(mu_);
      mergeArena = &arena;
      if (rows_.Size() == 0) rowArena = &arena;
    }
    (void)table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
    // The count scans the whole folder: it is taken once the first batch is
    // stored, so a reader of the first page does not wait for it. The log
    // lines keep their order.
    bool counted = false;
    ULONG left = 0;
    for (;;) {
      if (counted) {
        NLog_InfoA("ZUV", "%s:Trying to fetch %d rows for table %s", name, static_cast<int>(kFetchBatch), folder);
      }
      const uint64_t t0 = NowMillis();
      MapiRows rows;
      HRESULT hr = table->QueryRows(kFetchBatch, 0, rows.put());
      const int n = (SUCCEEDED(hr) && rows.get() != nullptr) ? static_cast<int>(rows->cRows) : 0;
      const int fetchMillis = static_cast<int>(NowMillis() - t0);
      const uint64_t t1 = NowMillis();
      if (n > 0) ProcessRows(*rows.get(), attachmentTable != nullptr, rowArena, mergeArena);
      const int populateMillis = static_cast<int>(NowMillis() - t1);
      if (!counted) {
        counted = true;
        ULONG total = 0;
        (void)table->GetRowCount(0, &total);
        left = total;
        NLog_InfoA("ZUV", "%s:Starting to fetch %lu rows for table %s", name, static_cast<unsigned long>(total), folder);
        NLog_InfoA("ZUV", "%s:Trying to fetch %d rows for table %s", name, static_cast<int>(kFetchBatch), folder);
      }
      left = left > static_cast<ULONG>(n) ? left - static_cast<ULONG>(n) : 0;
      NLog_InfoA("ZUV", "%s:Fetched %d rows in %d millisecs for table %s in current iteration, %lu rows still to be fetched",
                 name, n, fetchMillis, folder, static_cast<unsigned long>(left));
      if (n == 0) break;
      NLog_InfoA("ZUV", "%s:Populated %d rows in %d millisecs for table %s in current iteration, %lu rows still to be populated",
                 name, n, populateMillis, folder, static_cast<unsigned long>(left));
      fetched += n;
    }
  }
  NLog_InfoA("ZUV", "%s: Done fetching all the rows(%d) in %d milliseconds for table %s", name, fetched,
             static_cast<int>(NowMillis() - start), folder);
  NLog_InfoA("ZUV", "%s:For table %s, Done with caching table", name, folder);
  {
    zuv::MutexLock lock(mu_);
    if (pending_runs_ > 0) --pending_runs_;
    if (pending_runs_ == 0) {
      SetStateLocked(kTableFetched);
      rows_.Compact();
    }
  }
  SignalChange();
  // A large fill leaves freed batches and index chunks behind in the heap;
  // their pages go back to the system.
  if (fetched >= kTrimAfterRows) (void)malloc_trim(0);
}

HRESULT ZUV_Table::PopulateRow(const SRow& row, bool isAttachment, ZUV_RowBuilder* builder, std::string* key) {
  return BuildRow(folder_.get(), row, isAttachment, builder, key);
}

HRESULT ZUV_Table::BuildRow(CMAPIFolder* messageFolder, const SRow& row, bool isAttachment, ZUV_RowBuilder* builder,
                            std::string* key, const zuvstore::MessageValue* const* ahead) {
  const char* name = LogName().c_str();
  const char* folder = folder_short_id_.c_str();
  key->clear();
  if (row.cValues == 0) return MAPI_E_NOT_FOUND;
  // Trace lines are many per row: asked for once.
  const bool trace = zuv::LogEnabled("ZUV", zuv::LogLevel::Trace);
  std::string_view entryID;
  const SPropValue& first = row.lpProps[0];
  if (isAttachment) {
    if (PROP_TYPE(first.ulPropTag) != PT_LONG) return MAPI_E_NOT_FOUND;
    char text[32];
    std::snprintf(text, sizeof(text), "%ld", static_cast<long>(first.Value.l));
    *key = text;
    builder->AddBytes(kAttachNumTag, *key);
  } else {
    if (PROP_TYPE(first.ulPropTag) != PT_BINARY) return MAPI_E_NOT_FOUND;
    entryID = std::string_view(reinterpret_cast<const char*>(first.Value.bin.lpb), first.Value.bin.cb);
    AppendHex(entryID, key);
    builder->AddBinaryKey(entryID);
    if (trace) NLog_TraceA("ZUV", "%s: For Table %s, populating table row %s", name, folder, key->c_str());
  }

  MapiPtr<IMessage> message;  // opened on demand for cut strings
  bool openFailed = false;
  for (ULONG i = 1; i < row.cValues; ++i) {
    const SPropValue& v = row.lpProps[i];
    const ULONG tag = v.ulPropTag;
    // A requested PR_ATTACH_NUM column is the key itself: a second value
    // under the key's tag would hide the key.
    if (isAttachment && tag == kAttachNumTag) continue;
    if (trace) NLog_TraceA("ZUV", "%s: For Table %s, Checking whether property %x is supported or not", name, folder, tag);
    if (!IsSupportedProperty(tag)) {
      if (PROP_TYPE(tag) == PT_ERROR) {
        if (trace) NLog_TraceA("ZUV", "%s:For table %s, MAPI does not return value for property %x in row %s", name, folder, tag,
                               key->c_str());
      } else {
        NLog_ErrorA("ZUV", "%s:For table %s, ZUV does not support property %x in row %s:%d", name, folder, tag,
                    key->c_str(), static_cast<int>(i));
      }
      continue;
    }
    if (trace) NLog_TraceA("ZUV", "%s: For Table %s, Property %x is supported", name, folder, tag);
    if (trace) NLog_TraceA("ZUV", "%s:For table %s, Getting the property data for %x/%x", name, folder, tag, PROP_TYPE(tag));
    switch (PROP_TYPE(tag)) {
      case PT_I2: builder->AddNumber(tag, v.Value.i); break;
      case PT_LONG: builder->AddNumber(tag, v.Value.l); break;
      case PT_BOOLEAN: builder->AddNumber(tag, v.Value.b); break;
      case PT_I8: builder->AddNumber(tag, v.Value.li.QuadPart); break;
      case PT_SYSTIME: builder->AddTime(tag, v.Value.ft); break;
      case PT_BINARY:
        builder->AddBytes(tag, std::string_view(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb));
        break;
      case PT_UNICODE: {
        const char16_t* w = v.Value.lpszW;
        size_t len = 0;
        while (w != nullptr && w[len] != 0) ++len;
        builder->AddBytes(tag, w != nullptr ? zuvstore::Utf16ToUtf8(w, len) : std::string());
        break;
      }
      case PT_MV_STRING8: {
        if (trace) NLog_TraceA("ZUV", "%s:For table %s, Getting the property data for %x/%x as a PT_MV_STRING8", name, folder, tag,
                               PROP_TYPE(tag));
        std::vector<std::string_view> strings;
        for (ULONG k = 0; k < v.Value.MVszA.cValues; ++k) {
          const char* s = v.Value.MVszA.lppszA[k];
          strings.emplace_back(s != nullptr ? s : "");
        }
        builder->AddStrings(tag, strings);
        break;
      }
      case PT_STRING8: {
        std::string_view text = v.Value.lpszA != nullptr ? v.Value.lpszA : "";
        if (text.size() < kCutStringChars || isAttachment) {
          if (trace) NLog_TraceA("ZUV", "%s:For table %s, Reading property data for %x/%x as a PT_STRING8:%d", name, folder, tag,
                                 PROP_TYPE(tag), static_cast<int>(text.size()));
          builder->AddBytes(tag, text);
          break;
        }
        // Possibly cut by the table: read it whole from the message (or
        // take what was read ahead for the batch).
        if (ahead != nullptr && ahead[i] != nullptr) {
          const zuvstore::MessageValue& w = *ahead[i];
          if (FAILED(w.open_result)) {
            NLog_ErrorA("ZUV", "%s:For table %s, cannot open message object with entry ID %s", name, folder,
                        key->c_str());
            key->clear();  // the message is gone: the row is not stored
            return w.open_result;
          }
          if (trace) NLog_TraceA("ZUV", "%s:For table %s, Getting the property data for %x/%x as a PT_STRING8/STREAM", name,
                                 folder, tag, PROP_TYPE(tag));
          if (FAILED(w.value_result)) {
            NLog_ErrorA("ZUV", "%s:For table %s, Cannot get property value for %x in row %s", name, folder, tag,
                        key->c_str());
            return w.value_result;
          }
          if (trace) NLog_TraceA("ZUV", "%s:For table %s, Opened the property data for %x/%x as a PT_STRING8/STREAM", name,
                                 folder, tag, PROP_TYPE(tag));
          if (w.bytes.empty()) {
            if (trace) NLog_TraceA("ZUV", "%s:For table %s, Stream buffer size is zero for property data for %x/%x as a PT_STRING8/STREAM",
                                   name, folder, tag, PROP_TYPE(tag));
            builder->AddBytes(tag, text);
            break;
          }
          if (trace) NLog_TraceA("ZUV", "%s:For table %s, Read property data for %x/%x as a PT_STRING8/STREAM:%d", name, folder,
                                 tag, PROP_TYPE(tag), static_cast<int>(w.bytes.size()));
          std::string_view whole(w.bytes);
          if (const size_t nul = whole.find('\0'); nul != std::string_view::npos) whole = whole.substr(0, nul);
          builder->AddBytes(tag, whole);
          break;
        }
        if (!message && !openFailed) {
          ULONG type = 0;
          HRESULT hr = MAPI_E_NOT_FOUND;
          if (!entryID.empty() && messageFolder != nullptr) {
            hr = messageFolder->Folder()->OpenEntry(
                static_cast<ULONG>(entryID.size()),
                reinterpret_cast<LPENTRYID>(const_cast<char*>(entryID.data())), nullptr, MAPI_DEFERRED_ERRORS, &type,
                message.put_unknown());
          }
          if (FAILED(hr) || !message) {
            NLog_ErrorA("ZUV", "%s:For table %s, cannot open message object with entry ID %s", name, folder,
                        key->c_str());
            openFailed = true;
            key->clear();  // the message is gone: the row is not stored
            return hr;
          }
        }
        if (trace) NLog_TraceA("ZUV", "%s:For table %s, Getting the property data for %x/%x as a PT_STRING8/STREAM", name, folder,
                               tag, PROP_TYPE(tag));
        MapiPtr<IStream> stream;
        HRESULT hr = message->OpenProperty(tag, &IID_IStream, 0, MAPI_DEFERRED_ERRORS, stream.put_unknown());
        if (FAILED(hr)) {
          NLog_ErrorA("ZUV", "%s:For table %s, Cannot get property value for %x in row %s", name, folder, tag,
                      key->c_str());
          return hr;
        }
        if (trace) NLog_TraceA("ZUV", "%s:For table %s, Opened the property data for %x/%x as a PT_STRING8/STREAM", name, folder,
                               tag, PROP_TYPE(tag));
        STATSTG stat{};
        if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) {
          if (trace) NLog_TraceA("ZUV", "%s:For table %s, Failed to open the property data for %x/%x as a PT_STRING8/STREAM", name,
                                 folder, tag, PROP_TYPE(tag));
          builder->AddBytes(tag, text);
          break;
        }
        if (stat.cbSize.QuadPart == 0) {
          if (trace) NLog_TraceA("ZUV", "%s:For table %s, Stream buffer size is zero for property data for %x/%x as a PT_STRING8/STREAM",
                                 name, folder, tag, PROP_TYPE(tag));
          builder->AddBytes(tag, text);
          break;
        }
        std::string whole(static_cast<size_t>(stat.cbSize.QuadPart), '\0');
        ULONG read = 0;
        hr = stream->Read(whole.data(), static_cast<ULONG>(whole.size()), &read);
        if (FAILED(hr)) {
          NLog_ErrorA("ZUV", "%s:For table %s, Error reading property data for %x/%x as a PT_STRING8/STREAM:%d", name,
                      folder, tag, PROP_TYPE(tag), static_cast<int>(hr));
          read = 0;
        } else {
          if (trace) NLog_TraceA("ZUV", "%s:For table %s, Read property data for %x/%x as a PT_STRING8/STREAM:%d", name, folder,
                                 tag, PROP_TYPE(tag), static_cast<int>(read));
        }
        whole.resize(read);
        if (const size_t nul = whole.find('\0'); nul != std::string::npos) whole.resize(nul);
        builder->AddBytes(tag, whole);
        break;
      }
      default:
        break;
    }
  }
  return S_OK;
}

bool ZUV_Table::BuildFetchedRow(const SRow& mapiRow, bool isAttachment, ZUV_RowBuilder* builder, std::string* key,
                                bool trace, const zuvstore::MessageValue* const* ahead) {
  const char* name = LogName().c_str();
  const char* folder = folder_short_id_.c_str();
  builder->Clear();
  const HRESULT hr = BuildRow(folder_.get(), mapiRow, isAttachment, builder, key, ahead);
  if (isAttachment) {
    if (FAILED(hr)) {
      NLog_WarnA("ZUV", "%s:For table %s Error populating attachment row", name, folder);
    } else if (trace) {
      NLog_TraceA("ZUV", "%s:For table %s populated attachment row", name, folder);
    }
  } else if (FAILED(hr)) {
    NLog_WarnA("ZUV", "%s:For table %s Error populating row with entryID %s", name, folder, key->c_str());
  } else if (trace) {
    NLog_TraceA("ZUV", "%s:For table %s populated row with entryID %s", name, folder, key->c_str());
  }
  return !key->empty();  // no key: not stored, not announced
}

void ZUV_Table::StoreAndAnnounce(std::vector<ZUV_RowRef>* rows, ZUV_RowArena* mergeArena) {
  if (rows->empty()) return;
  std::vector<std::shared_ptr<ZUV_TableListener>> listeners;
  {
    zuv::MutexLock lock(mu_);
    for (ZUV_RowRef& row : *rows) row = AddOrMergeRow(std::string_view(), row, false, mergeArena);
    listeners = LiveListeners();
  }
  // One wake for the rows stored together.
  SignalChange();
  if (listeners.empty()) return;
  const char* name = LogName().c_str();
  const char* folder = folder_short_id_.c_str();
  std::string key;
  for (const ZUV_RowRef& row : *rows) {
    key = row->Key();
    for (const auto& l : listeners) {
      NLog_TraceA("ZUV", "%s:For table %s sending TableFill Notification for row %s to listener %s", name, folder,
                  key.c_str(), zuv::EscapeForLog(l->ClientId()).c_str());
      l->OnRowEvent(*this, ZUV_RowEvent::kTableFill, key, row);
    }
  }
}

void ZUV_Table::ProcessRow(const SRow& mapiRow, bool isAttachment) {
  const bool trace = zuv::LogEnabled("ZUV", zuv::LogLevel::Trace);
  ZUV_RowBuilder builder;
  std::string key;
  std::vector<ZUV_RowRef> rows;
  if (BuildFetchedRow(mapiRow, isAttachment, &builder, &key, trace)) rows.push_back(builder.Build());
  StoreAndAnnounce(&rows);
}

void ZUV_Table::ProcessRows(const SRowSet& batch, bool isAttachment, ZUV_RowArena* rowArena,
                            ZUV_RowArena* mergeArena) {
  const char* name = LogName().c_str();
  const char* folder = folder_short_id_.c_str();
  const bool trace = zuv::LogEnabled("ZUV", zuv::LogLevel::Trace);
  // Rows are built without the lock, then stored together.
  ZUV_RowBuilder builder;
  std::string key;
  std::vector<ZUV_RowRef> rows;
  rows.reserve(kStoreEvery);
  // The strings the table cut are read whole for the batch at once rather
  // than by opening each row's message.
  CutStrings ahead;
  if (!isAttachment) ReadCutStrings(ValuesReader(folder_ ? folder_->Folder() : nullptr).get(), batch, &ahead);
  for (ULONG i = 0; i < batch.cRows; ++i) {
    if (trace) {
      NLog_TraceA("ZUV", "%s:For table %s Processing row %lu/%lu", name, folder, static_cast<unsigned long>(i + 1),
                  static_cast<unsigned long>(batch.cRows));
    }
    if (BuildFetchedRow(batch.aRow[i], isAttachment, &builder, &key, trace, ahead.Row(i))) {
      rows.push_back(builder.Build(rowArena));
    }
    // A part of the batch is stored as soon as it is built: a reader of
    // the first page need not wait for the rest (rows that open their
    // message are slow to build).
    if (rows.size() >= kStoreEvery) {
      StoreAndAnnounce(&rows, mergeArena);
      rows.clear();
    }
  }
  StoreAndAnnounce(&rows, mergeArena);
}

uint32_t ZUV_Table::GetAttachmentData(const char* connectionName, const std::string& itemEntryID) {
  zuv::MutexLock lock(fetch_mu_);
  NLog_InfoA("ZUV", "For Client %s, GetAttachmentData for folder %s, rowEntryID=%s", connectionName,
             folder_short_id_.c_str(), zuv::EscapeForLog(itemEntryID).c_str());
  std::vector<BYTE> id;
  MapiPtr<IMessage> message;
  MapiPtr<IMAPITable> attachments;
  ULONG type = 0;
  HRESULT hr = MAPI_E_NOT_FOUND;
  if (folder_ && zuv::HexToBin(itemEntryID, &id) && !id.empty()) {
    hr = folder_->Folder()->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr,
                                      MAPI_DEFERRED_ERRORS, &type, message.put_unknown());
  }
  if (SUCCEEDED(hr) && message) hr = message->GetAttachmentTable(0, attachments.put());
  if (FAILED(hr) || !attachments) {
    NLog_ErrorA("ZUV", "For Client %s Cannot open item for folder %s:%s", connectionName, folder_short_id_.c_str(),
                zuv::EscapeForLog(itemEntryID).c_str());
    SetState(kTableFetched);
    return 1;
  }
  std::vector<ULONG> tags;
  {
    zuv::MutexLock rowsLock(mu_);
    tags = all_column_tags_;
  }
  Populate(attachments.get(), tags, {});
  return 0;
}

// ---- Rows ----

void ZUV_Table::RecordChange(ZUV_RowRef before, ZUV_RowRef after) {
  if (state_ != kTableFetching) {
    change_base_ += 1;  // no reader waits: nothing to keep
    return;
  }
  changes_.push_back(Change{std::move(before), std::move(after)});
}

ZUV_RowRef ZUV_Table::AddOrMergeRow(std::string_view key, const ZUV_RowRef& row, bool checkInterest,
                                     ZUV_RowArena* arena) {
  const bool trace = zuv::LogEnabled("ZUV", zuv::LogLevel::Trace);
  std::string keyText;
  if (trace) keyText = key.empty() ? row->Key() : std::string(key);
  // A new key is stored by the same search that looks for it.
  const ZUV_RowRef* cached = checkInterest ? rows_.Find(row->KeyView()) : rows_.Insert(row);
  if (cached == nullptr) {
    if (trace) NLog_TraceA("ZUV", "%s:Adding Row %s", LogName().c_str(), keyText.c_str());
    if (checkInterest) (void)rows_.Put(row);
    RecordChange(ZUV_RowRef(), row);
    return row;
  }
  if (checkInterest && !IsChangeOfInterest(**cached, *row)) return ZUV_RowRef();
  if (trace) {
    for (size_t i = 0; i < row->Count(); ++i) {
      const ULONG tag = row->TagAt(i);
      if ((*cached)->Find(tag, nullptr)) {
        NLog_TraceA("ZUV", "%s:replacing column %lu for row %s", LogName().c_str(), static_cast<unsigned long>(tag),
                    keyText.c_str());
      } else {
        NLog_TraceA("ZUV", "%s:Adding column %lu for row %s", LogName().c_str(), static_cast<unsigned long>(tag),
                    keyText.c_str());
      }
    }
  }
  // The new row's columns over the cached ones, as a new row.
  ZUV_RowBuilder merged;
  merged.AddMissingFrom(*row);
  merged.AddMissingFrom(**cached);
  ZUV_RowRef stored = merged.Build(arena);
  ZUV_RowRef before = rows_.Put(stored);
  RecordChange(std::move(before), stored);
  return stored;
}

void ZUV_Table::SignalChange() {
  NLog_TraceA("ZUV", "Signalling table change...");
  change_.NotifyAll();
}

ZUV_RowRef ZUV_Table::FindRow(std::string_view key) {
  std::string storage;
  const ZUV_RowRef* row = rows_.Find(RowKeyFromText(key, &storage));
  return row != nullptr ? *row : ZUV_RowRef();
}

// ---- Reading ----

int32_t ZUV_Table::CountMatching(ZUV_TableCursor* cursor, const ZUV_RowMatch& match) {
  const uint64_t end = change_base_ + changes_.size();
  if (!cursor->scanned || cursor->seen < change_base_) {
    size_t count = 0;
    rows_.ForEach([&](const ZUV_RowRef& row) {
      count += match(*row) ? 1 : 0;
      return true;
    });
    cursor->count = count;
    cursor->scanned = true;
  } else {
    for (uint64_t i = cursor->seen; i < end; ++i) {
      const Change& c = changes_[static_cast<size_t>(i - change_base_)];
      if (c.before && match(*c.before)) --cursor->count;
      if (c.after && match(*c.after)) ++cursor->count;
    }
  }
  cursor->seen = end;
  return state_;
}

void ZUV_Table::WaitForChange(const ZUV_TableCursor& cursor) {
  NLog_TraceA("ZUV", "blocking on wait for table change");
  while (state_ == kTableFetching && change_base_ + changes_.size() == cursor.seen) change_.Wait(mu_);
  NLog_TraceA("ZUV", "Unblocked on wait for table change");
}

void ZUV_Table::CollectMatching(const ZUV_RowMatch& match, int32_t startIndex, std::vector<ZUV_RowRef>* out) {
  int64_t number = 0;
  rows_.ForEach([&](const ZUV_RowRef& row) {
    if (!match(*row)) return true;
    ++number;
    if (number >= startIndex) out->push_back(row);
    return true;
  });
}

void ZUV_Table::CollectStored(uint64_t* seen, const ZUV_RowMatch& match, std::vector<ZUV_RowRef>* out) {
  const uint64_t end = change_base_ + changes_.size();
  for (uint64_t i = std::max(*seen, change_base_); i < end; ++i) {
    const Change& c = changes_[static_cast<size_t>(i - change_base_)];
    if (c.after && match(*c.after)) out->push_back(c.after);
  }
  *seen = end;
}

// ---- Listeners ----

void ZUV_Table::AddListener(const std::shared_ptr<ZUV_TableListener>& listener) {
  if (!listener) return;
  zuv::MutexLock lock(mu_);
  for (const auto& weak : listeners_) {
    auto l = weak.lock();
    if (l && l->NotificationHost() == listener->NotificationHost() &&
        l->NotificationPort() == listener->NotificationPort()) {
      return;
    }
  }
  listeners_.push_back(listener);
}

size_t ZUV_Table::RemoveListener(const std::string& clientId, const std::string& folderEntryID) {
  zuv::MutexLock lock(mu_);
  std::erase_if(listeners_, [&](const std::weak_ptr<ZUV_TableListener>& weak) {
    auto l = weak.lock();
    return !l || (l->ClientId() == clientId && l->ListenerFolderEntryID() == folderEntryID);
  });
  return listeners_.size();
}

size_t ZUV_Table::ListenerCount() {
  zuv::MutexLock lock(mu_);
  return listeners_.size();
}

// ---- Client writes (UpdateRow) ----

uint32_t ZUV_Table::UpdateRow(const std::string& rowKey, const ZUV_RowBuilder& written) {
  if (rowKey.empty()) return 1;
  ZUV_RowBuilder builder = written;
  builder.AddBytes(kRowKeyTag, rowKey);
  ZUV_RowRef row = builder.Build();
  zuv::MutexLock lock(mu_);
  if (ZUV_RowRef old = FindRow(rowKey)) {
    if (IsChangeOfInterest(*old, *row)) written_unannounced_.insert(rowKey);
    NLog_TraceA("ZUV", "OLD-Number of columnss in row %d\n", static_cast<int>(old->Count()));
    for (size_t i = 0; i < old->Count(); ++i) {
      NLog_TraceA("ZUV", "OLD-Column#%d:%u\n", static_cast<int>(i), static_cast<unsigned>(old->TagAt(i)));
    }
  }
  const ZUV_RowRef stored = AddOrMergeRow(rowKey, row);
  NLog_TraceA("ZUV", "NEW-Number of columnss in row %d\n", static_cast<int>(stored->Count()));
  for (size_t i = 0; i < stored->Count(); ++i) {
    NLog_TraceA("ZUV", "NEW-Column#%d:%u\n", static_cast<int>(i), static_cast<unsigned>(stored->TagAt(i)));
  }
  return 0;
}

// ---- Notifications ----

namespace {

std::atomic<int> g_added_rows{0};  // rows added through notifications, for a log line

std::string JoinStrings(const ZUV_CellView& v) {
  std::string joined(v.bytes);
  if (!joined.empty()) joined.pop_back();  // the last NUL
  std::replace(joined.begin(), joined.end(), '\0', ',');
  return joined;
}

}  // namespace

std::vector<std::shared_ptr<ZUV_TableListener>> ZUV_Table::LiveListeners() {
  std::vector<std::shared_ptr<ZUV_TableListener>> out;
  out.reserve(listeners_.size());
  for (const auto& weak : listeners_) {
    if (auto l = weak.lock()) out.push_back(std::move(l));
  }
  return out;
}

bool ZUV_Table::IsChangeOfInterest(const ZUV_Row& oldRow, const ZUV_Row& newRow) {
  NLog_DebugA("ZUV", "Checking to see whether MAPI notification is of interest");
  for (size_t i = 0; i < newRow.Count(); ++i) {
    const ZUV_CellView now = newRow.At(i);
    const ULONG tag = now.tag;
    NLog_DebugA("ZUV", "Checking column %x", tag);
    ZUV_CellView was;
    if (!oldRow.Find(tag, &was)) continue;
    if (!IsSupportedProperty(tag)) {
      NLog_DebugA("ZUV", "Column %x not supported", tag);
      continue;
    }
    if (tag == kRowKeyTag) {
      NLog_DebugA("ZUV", "Column %x (PR_LONGTERM_ENTRYID_FROM_TABLE) ignored", tag);
      continue;
    }
    bool changed = false;
    const char* type = nullptr;
    switch (PROP_TYPE(tag)) {
      case PT_SYSTIME:
        type = "PT_SYSTIME";
        changed = was.time.dwHighDateTime != now.time.dwHighDateTime || was.time.dwLowDateTime != now.time.dwLowDateTime;
        break;
      case PT_LONG:
        type = "PT_LONG";
        changed = static_cast<int32_t>(was.number) != static_cast<int32_t>(now.number);
        break;
      case PT_BOOLEAN:
        changed = static_cast<uint16_t>(was.number) != static_cast<uint16_t>(now.number);
        if (changed) {
          NLog_DebugA("ZUV", "Column %x (PT_BOOLEAN changed", tag);
          return true;
        }
        NLog_DebugA("ZUV", "Column %x (PT_BOOLEAN) did not change", tag);
        continue;
      case PT_STRING8:
        type = "PT_STRING8";
        changed = was.bytes != now.bytes;
        break;
      case PT_UNICODE:
        type = "PT_UNICODE";
        changed = !was.bytes.empty() && was.bytes != now.bytes;
        break;
      case PT_MV_STRING8:
        type = "PT_MV_STRING8";
        changed = JoinStrings(was) != JoinStrings(now);
        break;
      default:
        continue;  // PT_I2, PT_I8, PT_BINARY: never a change
    }
    if (changed) {
      NLog_DebugA("ZUV", "Column %x (%s) changed", tag, type);
      return true;
    }
    NLog_DebugA("ZUV", "Column %x (%s) did not change", tag, type);
  }
  return false;
}

LONG ZUV_Table::OnTableNotification(void* context, ULONG count, LPNOTIFICATION notifications) {
  // The sink is unadvised before the table goes; a table already going
  // gives no reference and takes nothing more.
  std::shared_ptr<ZUV_Table> self = static_cast<ZUV_Table*>(context)->weak_from_this().lock();
  if (!self) return 0;
  const char* store = self->store_short_id_.c_str();
  const char* folder = self->folder_short_id_.c_str();
  NLog_InfoA("ZUV", "Table Notification for %s:%s Count:%d", store, folder, static_cast<int>(count));
  for (ULONG i = 0; i < count && notifications != nullptr; ++i) {
    const NOTIFICATION& n = notifications[i];
    if (n.ulEventType == fnevNewMail) {
      NLog_InfoA("ZUV", "New Mail Notification for %s:%s", store, folder);
      continue;
    }
    if (n.ulEventType != fnevTableModified) continue;
    const TABLE_NOTIFICATION& t = n.info.tab;
    if (t.ulTableEvent == TABLE_ROW_DELETED && t.row.cValues == 0) {
      NLog_InfoA("ZUV", "Row Deleted Notification for %s:%s", store, folder);
      if (PROP_TYPE(t.propIndex.ulPropTag) == PT_BINARY) {
        self->RowDeleted(std::string_view(reinterpret_cast<const char*>(t.propIndex.Value.bin.lpb),
                                          t.propIndex.Value.bin.cb));
      } else {
        self->RowDeleted(std::string_view());
      }
    }
    for (ULONG k = 0; k < t.row.cValues && t.row.lpProps != nullptr; ++k) {
      const ULONG tag = t.row.lpProps[k].ulPropTag;
      switch (t.ulTableEvent) {
        case TABLE_CHANGED: NLog_TraceA("ZUV", "Processing Table Changed Notification for %s:%s:%x", store, folder, tag); break;
        case TABLE_ERROR: NLog_TraceA("ZUV", "Processing Error Notification for %s:%s:%x", store, folder, tag); break;
        case TABLE_ROW_ADDED: NLog_WarnA("ZUV", "Processing Row Added Notification for %s:%s:%x", store, folder, tag); break;
        case TABLE_ROW_MODIFIED:
          NLog_TraceA("ZUV", "Processing Row Modified Notification for %s:%s:%x", store, folder, tag);
          break;
        case TABLE_RELOAD: NLog_TraceA("ZUV", "Processing Table Reload Notification for %s:%s:%x", store, folder, tag); break;
        default: break;
      }
    }
    if (t.ulTableEvent == TABLE_ROW_ADDED) {
      self->RowAdded(t.row);
    } else if (t.ulTableEvent == TABLE_ROW_MODIFIED) {
      self->RowModified(t.row);
    }
  }
  return 0;
}

bool ZUV_Table::BuildNotifiedRow(const SRow& mapiRow, const char* kind, ZUV_RowRef* out, std::string* key) {
  ZUV_RowBuilder builder;
  HRESULT hr;
  {
    zuv::MutexLock lock(notify_mu_);
    hr = BuildRow(notify_folder_.get(), mapiRow, false, &builder, key);
  }
  if (key->empty()) {
    NLog_ErrorA("ZUV", "%s:For table %s, %s notification for a row that cannot be read", LogName().c_str(),
                folder_short_id_.c_str(), kind);
    return false;
  }
  if (FAILED(hr)) {
    NLog_WarnA("ZUV", "Error populating row with entryID %s in table %s:%s", key->c_str(), store_short_id_.c_str(),
               folder_short_id_.c_str());
  }
  *out = builder.Build();
  return SUCCEEDED(hr);
}

void ZUV_Table::RowAdded(const SRow& mapiRow) {
  ZUV_RowRef row;
  std::string key;
  const bool ok = BuildNotifiedRow(mapiRow, "RowAdd", &row, &key);
  if (!row) return;
  const char* store = store_short_id_.c_str();
  const char* folder = folder_short_id_.c_str();
  if (ok) NLog_InfoA("ZUV", "Processed RowAdd notification for row %s in table %s:%s", key.c_str(), store, folder);
  ZUV_RowRef stored;
  bool grew = false;
  std::vector<std::shared_ptr<ZUV_TableListener>> listeners;
  {
    zuv::MutexLock lock(mu_);
    const size_t before = rows_.Size();
    stored = AddOrMergeRow(key, row);
    grew = rows_.Size() > before;
    listeners = LiveListeners();
  }
  SignalChange();
  if (grew) {
    NLog_TraceA("ZUV", "ADDED ROW %d", g_added_rows.fetch_add(1, std::memory_order_relaxed) + 1);
  } else {
    NLog_TraceA("ZUV", "What happened to this row?");
  }
  for (const auto& l : listeners) {
    NLog_InfoA("ZUV", "%s: RowAdd notification for row %s sent for table %s:%s",
               zuv::EscapeForLog(l->ClientId()).c_str(), key.c_str(), store, folder);
    l->OnRowEvent(*this, ZUV_RowEvent::kAdded, key, stored);
  }
}

void ZUV_Table::RowDeleted(std::string_view instanceKey) {
  const char* store = store_short_id_.c_str();
  const char* folder = folder_short_id_.c_str();
  std::string key;
  ZUV_RowRef removed;
  std::vector<std::shared_ptr<ZUV_TableListener>> listeners;
  {
    zuv::MutexLock lock(mu_);
    rows_.ForEach([&](const ZUV_RowRef& row) {
      ZUV_CellView v;
      if (!row->Find(kInstanceKeyTag, &v) || v.bytes != instanceKey) return true;
      removed = row;
      return false;
    });
    if (removed) {
      key = removed->Key();
      (void)rows_.Erase(removed->KeyView());
      written_unannounced_.erase(key);
      RecordChange(removed, ZUV_RowRef());
      NLog_InfoA("ZUV", "Processed RowDelete notification for row %s in table %s:%s", zuv::ShortenID(key).c_str(),
                 store, folder);
    }
    if (removed) listeners = LiveListeners();
  }
  if (!removed) {
    NLog_ErrorA("ZUV", "Error processing RowDelete notification in table %s:%s. Row could not be found", store,
                folder);
    return;
  }
  SignalChange();
  for (const auto& l : listeners) {
    NLog_InfoA("ZUV", "%s: RowDelete notification for row %s sent for table %s:%s",
               zuv::EscapeForLog(l->ClientId()).c_str(), key.c_str(), store, folder);
    l->OnRowEvent(*this, ZUV_RowEvent::kDeleted, key, removed);
  }
}

void ZUV_Table::RowModified(const SRow& mapiRow) {
  const uint32_t received = modified_received_.fetch_add(1, std::memory_order_relaxed) + 1;
  ZUV_RowRef row;
  std::string key;
  (void)BuildNotifiedRow(mapiRow, "RowChanged", &row, &key);
  if (!row) return;
  const char* store = store_short_id_.c_str();
  const char* folder = folder_short_id_.c_str();
  const std::string shortKey = zuv::ShortenID(key);
  NLog_InfoA("ZUV", "Processing RowChanged notification(%lu/%lu) for row %s in table %s:%s",
             static_cast<unsigned long>(modified_forwarded_.load(std::memory_order_relaxed)),
             static_cast<unsigned long>(received), shortKey.c_str(), store, folder);
  ZUV_RowRef stored;
  std::vector<std::shared_ptr<ZUV_TableListener>> listeners;
  {
    zuv::MutexLock lock(mu_);
    // A client's write that reached the cache first still gets announced.
    const bool written = written_unannounced_.erase(key) > 0;
    stored = AddOrMergeRow(key, row, !written);
    if (stored) listeners = LiveListeners();
  }
  if (!stored) {
    NLog_InfoA("ZUV", "IGNORING RowChanged notification(%lu/%lu) for row %s sent for table %s:%s",
               static_cast<unsigned long>(modified_forwarded_.load(std::memory_order_relaxed)),
               static_cast<unsigned long>(received), shortKey.c_str(), store, folder);
    return;
  }
  const uint32_t forwarded = modified_forwarded_.fetch_add(1, std::memory_order_relaxed) + 1;
  for (const auto& l : listeners) {
    NLog_InfoA("ZUV", "%s: RowChanged notification(%lu/%lu) for row %s sent for table %s:%s",
               zuv::EscapeForLog(l->ClientId()).c_str(), static_cast<unsigned long>(forwarded),
               static_cast<unsigned long>(received), shortKey.c_str(), store, folder);
    l->OnRowEvent(*this, ZUV_RowEvent::kModified, key, stored);
  }
}
