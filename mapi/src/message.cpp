// message.cpp: IMessage and IAttach over the messages, attachments and
// recipients tables; submission and local delivery.
//
// A Message holds the whole message in memory: its properties (props_, full
// values), its recipients, and a summary of each attachment (the inline props
// blob, large values as prefixes, plus the attachment's byte size). An
// attachment's full values are read only by OpenAttach, into the IAttach,
// except those written through streams: they stay in their chunks (or, until
// the message is saved, in spool files) and are read a chunk at a time
// (large_value.h).
// Changes stay in the objects until the message's SaveChanges writes the
// record, the changed attachments and the recipients in one transaction, so
// other sessions see all of a save or none of it.
//
// Rules fixed here:
//  - A new message exists from its first save: until then PR_ENTRYID,
//    PR_RECORD_KEY and PR_INSTANCE_KEY are MAPI_E_NOT_FOUND.
//  - SaveChanges(KEEP_OPEN_READWRITE) and SaveChanges(0) keep the object
//    writable: callers save a draft with 0 and then attach and send through
//    the same object, which servers allow. After
//    SaveChanges(KEEP_OPEN_READONLY), and after SubmitMessage, every write
//    (SetProps, DeleteProps, write streams, attachment and recipient
//    changes, SaveChanges, SubmitMessage) fails with MAPI_E_NO_ACCESS; reads
//    go on working. The same holds for IAttach.
//  - SaveChanges fails with MAPI_E_OBJECT_CHANGED when another object saved
//    the message after this one read it (FORCE_SAVE overrides), and with
//    MAPI_E_OBJECT_DELETED when the message is gone.
//  - Attachment numbers start at 0 and are never reused within a message:
//    the next number is saved with the message (hidden kIdNextAttachNum).
//  - A new attachment joins the message at the IAttach's SaveChanges; the
//    message's own SaveChanges then makes it permanent.
#include "message.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "addrbook.h"
#include "entryid.h"
#include "large_value.h"
#include "mapi/mapitags.h"
#include "objects.h"
#include "prop_object.h"
#include "tables.h"

namespace zuvstore {
namespace {

constexpr ULONG kPrDisplayBcc = 0x0E02001E;
constexpr ULONG kPrResponsibility = 0x0E0F000B;
constexpr ULONG kPrSenderEntryId = 0x0C190102;
constexpr ULONG kPrSenderAddrType = 0x0C1E001E;
constexpr ULONG kPrSentRepresentingEntryId = 0x00410102;
constexpr ULONG kPrSentRepresentingAddrType = 0x0064001E;
constexpr ULONG kPrSentRepresentingEmail = 0x0065001E;
constexpr ULONG kPrStoreRecordKey = 0x0FFA0102;

// SetReadFlag flags.
constexpr ULONG kSuppressReceipt = 0x01, kClearReadFlag = 0x04, kGenerateReceiptOnly = 0x10,
                kClearRnPending = 0x20, kClearNrnPending = 0x40;
// Recipient-type bits above the type itself (MAPI_P1, MAPI_SUBMITTED).
constexpr ULONG kRecipTypeMask = 0x0FFFFFFF;

// Store-private property of a message: the next attachment number.
constexpr uint16_t kIdNextAttachNum = 0x67F1;

constexpr uint16_t Id(ULONG tag) { return static_cast<uint16_t>(tag >> 16); }

constexpr std::string_view kTextReadOnly =
    "the object is read-only (opened without MAPI_MODIFY, saved with KEEP_OPEN_READONLY, or "
    "submitted)";

// Bytes a property list takes, as PR_MESSAGE_SIZE counts them; values kept
// outside count with their full size.
int64_t ValueBytes(const PropMap& props, const LargeMap& large = {}) {
  int64_t n = 0;
  for (const auto& [id, v] : props) {
    auto it = large.find(id);
    n += (it != large.end() ? it->second.size : static_cast<int64_t>(v.data.size())) + 8;
  }
  return n;
}

bool GetBoolProp(const PropMap& props, ULONG tag) {
  auto it = props.find(Id(tag));
  return it != props.end() && it->second.type == PT_BOOLEAN && !it->second.data.empty() &&
         it->second.data[0] != 0;
}

ULONG GetLongProp(const PropMap& props, ULONG tag, ULONG fallback = 0) {
  auto it = props.find(Id(tag));
  int32_t v = 0;
  return it != props.end() && GetLong(it->second, &v) ? static_cast<ULONG>(v) : fallback;
}

std::string GetStringProp(const PropMap& props, ULONG tag) {
  auto it = props.find(Id(tag));
  std::string s;
  if (it != props.end()) GetString(it->second, &s);
  return s;
}

// The folder an entry-ID property names in store; 0 when it names none.
int64_t FolderFromEntryIdProp(const PropMap& props, ULONG tag, const GUID& store) {
  auto it = props.find(Id(tag));
  std::string bytes;
  ParsedEntryId parsed;
  if (it == props.end() || !GetBinary(it->second, &bytes) ||
      FAILED(ParseEntryId(bytes.data(), bytes.size(), &parsed)) ||
      parsed.kind != static_cast<int>(ObjKind::kFolder) || !(parsed.store == store)) {
    return 0;
  }
  return parsed.id;
}

bool IsStringType(ULONG type) { return type == PT_STRING8 || type == PT_UNICODE; }

// Length of the longest prefix of s, at most n bytes, that ends on a UTF-8
// character boundary.
size_t Utf8Prefix(std::string_view s, size_t n) {
  if (s.size() <= n) return s.size();
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return n;
}

// Copies props into a table row. Rows carry inline-sized values: longer
// strings are cut (rows show 255 characters anyway), longer binaries and
// multi-valued properties are left out, so a row never holds attachment data.
void AppendRowValues(const PropMap& props, MemRow* row) {
  for (const auto& [id, v] : props) {
    if (v.truncated || v.data.size() > kInlineLimit) {
      if (!IsStringType(v.type)) continue;
      StoredProp cut;
      cut.type = v.type;
      cut.data = v.data.substr(0, Utf8Prefix(v.data, kInlineLimit));
      row->values.emplace_back(PROP_TAG(v.type, id), std::move(cut));
      continue;
    }
    row->values.emplace_back(PROP_TAG(v.type, id), v);
  }
}

bool RowHas(const MemRow& row, ULONG tag) {
  return std::any_of(row.values.begin(), row.values.end(),
                     [&](const auto& tv) { return PROP_ID(tv.first) == PROP_ID(tag); });
}

// Converts the values of one ADRLIST entry. PR_ROWID goes to *row_id; error,
// null and object values are dropped.
HRESULT RecipientFromEntry(const ADRENTRY& entry, PropMap* props, std::optional<ULONG>* row_id) {
  if (entry.cValues > 0 && entry.lpProps == nullptr) return MAPI_E_INVALID_PARAMETER;
  for (ULONG i = 0; i < entry.cValues; ++i) {
    const SPropValue& v = entry.lpProps[i];
    ULONG type = PROP_TYPE(v.ulPropTag);
    if (v.ulPropTag == PR_ROWID) {
      *row_id = v.Value.ul;
      continue;
    }
    if (type == PT_ERROR || type == PT_NULL || type == PT_OBJECT || type == PT_UNSPECIFIED) continue;
    StoredProp stored;
    HRESULT hr = EncodeProp(v, &stored);
    if (FAILED(hr)) return hr;
    (*props)[Id(v.ulPropTag)] = std::move(stored);
  }
  return S_OK;
}

// ---- Rows of the attachments and recipients tables ----

// The inline blob of an attachment: values over kInlineLimit cut to a prefix
// marked truncated; their full values go to large_props.
std::string InlineAttachBlob(const PropMap& props) {
  PropMap inline_props;
  for (const auto& [id, v] : props) {
    if ((IsStringType(v.type) || v.type == PT_BINARY) && v.data.size() > kInlineLimit) {
      StoredProp prefix;
      prefix.type = v.type;
      prefix.data = v.data.substr(0, v.type == PT_BINARY ? kInlineLimit : Utf8Prefix(v.data, kInlineLimit));
      prefix.truncated = true;
      inline_props.emplace(id, std::move(prefix));
    } else {
      inline_props.emplace(id, v);
    }
  }
  return SerializePropList(inline_props);
}

HRESULT DeleteAttachRow(WriteTxn& txn, int64_t row_id) {
  Stmt large(txn.conn(), "DELETE FROM large_props WHERE kind = ? AND obj_id = ?");
  large.Bind(1, static_cast<int64_t>(ObjKind::kAttach)).Bind(2, row_id);
  if (large.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  if (FAILED(DeleteChunked(txn, ObjKind::kAttach, row_id, {}))) return MAPI_E_CALL_FAILED;
  Stmt row(txn.conn(), "DELETE FROM attachments WHERE id = ?");
  row.Bind(1, row_id);
  return row.Step() == SQLITE_DONE ? S_OK : MAPI_E_CALL_FAILED;
}

// Writes one attachment (insert when *row_id is 0 or its row is gone) and
// its large values: whole ones to large_props, those in large from their
// spool, or left (copied when the row changed) where they are stored. Sets
// *row_id.
HRESULT WriteAttachRow(WriteTxn& txn, int64_t message_id, ULONG num, const PropMap& props, const LargeMap& large,
                       int64_t* row_id) {
  sqlite3* db = txn.conn();
  const std::string blob = InlineAttachBlob(props);
  if (*row_id != 0) {
    Stmt up(db, "UPDATE attachments SET props = ? WHERE id = ? AND message_id = ?");
    up.BindBlob(1, blob).Bind(2, *row_id).Bind(3, message_id);
    if (up.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
    if (sqlite3_changes(db) == 0) *row_id = 0;
  }
  if (*row_id == 0) {
    // A forced save may meet a row of that number saved by another object.
    int64_t clash = 0;
    {
      Stmt find(db, "SELECT id FROM attachments WHERE message_id = ? AND attach_num = ?");
      find.Bind(1, message_id).Bind(2, static_cast<int64_t>(num));
      if (find.Step() == SQLITE_ROW) clash = find.Int(0);
    }
    if (clash != 0 && FAILED(DeleteAttachRow(txn, clash))) return MAPI_E_CALL_FAILED;
    Stmt ins(db, "INSERT INTO attachments(message_id, attach_num, props) VALUES(?,?,?)");
    ins.Bind(1, message_id).Bind(2, static_cast<int64_t>(num)).BindBlob(3, blob);
    if (ins.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
    *row_id = sqlite3_last_insert_rowid(db);
  }
  Stmt clear(db, "DELETE FROM large_props WHERE kind = ? AND obj_id = ?");
  clear.Bind(1, static_cast<int64_t>(ObjKind::kAttach)).Bind(2, *row_id);
  if (clear.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  // Chunks of this row that stay as they are; the rest go.
  std::set<uint16_t> kept;
  std::set<int64_t> sources;  // other rows whose chunks this row takes over
  for (const auto& [id, ref] : large) {
    if (ref.spool) continue;
    if (ref.obj_id == *row_id) {
      kept.insert(id);
    } else {
      sources.insert(ref.obj_id);
    }
  }
  if (FAILED(DeleteChunked(txn, ObjKind::kAttach, *row_id, kept))) return MAPI_E_CALL_FAILED;
  for (int64_t from : sources) {
    int64_t copied = 0;
    if (FAILED(CopyChunked(txn, ObjKind::kAttach, from, *row_id, &copied))) return MAPI_E_CALL_FAILED;
    if (copied == 0) return MAPI_E_OBJECT_DELETED;  // the row holding the bytes is gone
  }
  for (const auto& [id, ref] : large) {
    if (ref.spool && FAILED(WriteChunked(txn, ObjKind::kAttach, *row_id, id, *ref.spool))) {
      return MAPI_E_CALL_FAILED;
    }
  }
  if (!sources.empty()) {
    // Copied rows bring every value of their source: drop those not wanted.
    std::set<uint16_t> wanted;
    for (const auto& [id, ref] : large) wanted.insert(id);
    if (FAILED(DeleteChunked(txn, ObjKind::kAttach, *row_id, wanted))) return MAPI_E_CALL_FAILED;
  }
  for (const auto& [id, v] : props) {
    if (v.truncated) continue;  // in large
    if (!(IsStringType(v.type) || v.type == PT_BINARY) || v.data.size() <= kInlineLimit) continue;
    Stmt put(db, "INSERT INTO large_props(kind, obj_id, prop_id, value) VALUES(?,?,?,?)");
    put.Bind(1, static_cast<int64_t>(ObjKind::kAttach)).Bind(2, *row_id).Bind(3, id);
    // Bound in place: the value may be 100 MB and outlives the step.
    sqlite3_bind_blob64(put.raw(), 4, v.data.data(), v.data.size(), SQLITE_STATIC);
    if (put.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  }
  return S_OK;
}

// Completes the inline values of attachment row_id: values in large_props
// are read whole, values in chunks stay prefixes with their place in *large.
HRESULT LoadAttachValues(sqlite3* db, int64_t row_id, PropMap* props, LargeMap* large) {
  Stmt s(db, "SELECT prop_id, value FROM large_props WHERE kind = ? AND obj_id = ?");
  s.Bind(1, static_cast<int64_t>(ObjKind::kAttach)).Bind(2, row_id);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    auto it = props->find(static_cast<uint16_t>(s.Int(0)));
    if (it == props->end()) continue;
    it->second.data = std::string(s.Blob(1));
    it->second.truncated = false;
  }
  if (rc != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  for (const auto& [id, v] : *props) {
    if (!v.truncated) continue;
    LargeRef ref;
    ref.kind = ObjKind::kAttach;
    ref.obj_id = row_id;
    HRESULT hr = ChunkedSize(db, ObjKind::kAttach, row_id, id, &ref.size);
    if (hr == MAPI_E_NOT_FOUND) return MAPI_E_CORRUPT_DATA;  // its full value is missing
    if (FAILED(hr)) return hr;
    (*large)[id] = std::move(ref);
  }
  return S_OK;
}

struct RecipientRow {
  ULONG row_id = 0;
  PropMap props;
};

HRESULT ReadRecipientRows(sqlite3* db, int64_t message_id, std::vector<RecipientRow>* out) {
  Stmt s(db, "SELECT row_id, props FROM recipients WHERE message_id = ? ORDER BY row_id");
  s.Bind(1, message_id);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    RecipientRow r;
    r.row_id = static_cast<ULONG>(s.Int(0));
    if (!ParsePropList(s.Blob(1), &r.props)) return MAPI_E_CORRUPT_DATA;
    out->push_back(std::move(r));
  }
  return rc == SQLITE_DONE ? S_OK : MAPI_E_CALL_FAILED;
}

HRESULT WriteRecipientRows(WriteTxn& txn, int64_t message_id, const std::vector<RecipientRow>& rows) {
  Stmt clear(txn.conn(), "DELETE FROM recipients WHERE message_id = ?");
  clear.Bind(1, message_id);
  if (clear.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  for (const RecipientRow& r : rows) {
    Stmt ins(txn.conn(), "INSERT INTO recipients(message_id, row_id, props) VALUES(?,?,?)");
    ins.Bind(1, message_id).Bind(2, static_cast<int64_t>(r.row_id)).BindBlob(3, SerializePropList(r.props));
    if (ins.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  }
  return S_OK;
}

}  // namespace

HRESULT CopyMessageRows(WriteTxn& txn, int64_t message_id, int64_t store_id, int64_t folder_id,
                        const std::function<void(PropMap*)>& edit,
                        const std::function<bool(PropMap*)>& keep_recipient, int64_t* new_id) {
  sqlite3* db = txn.conn();
  MessageRecord rec;
  HRESULT hr = LoadMessage(db, message_id, &rec);
  if (SUCCEEDED(hr)) hr = LoadLargeProps(db, ObjKind::kMessage, message_id, &rec.props);
  if (FAILED(hr)) return hr;
  rec.id = 0;
  rec.store_id = store_id;
  rec.folder_id = folder_id;
  rec.created = 0;
  edit(&rec.props);
  if (FAILED(hr = SaveMessageRecord(txn, &rec))) return hr;

  std::vector<std::pair<int64_t, int64_t>> attachments;  // (row id, attach num)
  std::vector<std::string> blobs;
  {
    Stmt s(db, "SELECT id, attach_num, props FROM attachments WHERE message_id = ? ORDER BY attach_num");
    s.Bind(1, message_id);
    while (s.Step() == SQLITE_ROW) {
      attachments.emplace_back(s.Int(0), s.Int(1));
      blobs.emplace_back(s.Blob(2));
    }
  }
  for (size_t i = 0; i < attachments.size(); ++i) {
    Stmt ins(db, "INSERT INTO attachments(message_id, attach_num, props) VALUES(?,?,?)");
    ins.Bind(1, rec.id).Bind(2, attachments[i].second).BindBlob(3, blobs[i]);
    if (ins.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
    int64_t copy_id = sqlite3_last_insert_rowid(db);
    Stmt large(db,
               "INSERT INTO large_props(kind, obj_id, prop_id, value) SELECT kind, ?, prop_id, value "
               "FROM large_props WHERE kind = ? AND obj_id = ?");
    large.Bind(1, copy_id).Bind(2, static_cast<int64_t>(ObjKind::kAttach)).Bind(3, attachments[i].first);
    if (large.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
    if (FAILED(CopyChunked(txn, ObjKind::kAttach, attachments[i].first, copy_id, nullptr))) return MAPI_E_CALL_FAILED;
  }

  std::vector<RecipientRow> recipients;
  if (FAILED(hr = ReadRecipientRows(db, message_id, &recipients))) return hr;
  std::vector<RecipientRow> kept;
  for (RecipientRow& r : recipients) {
    if (keep_recipient(&r.props)) kept.push_back(std::move(r));
  }
  if (FAILED(hr = WriteRecipientRows(txn, rec.id, kept))) return hr;
  *new_id = rec.id;
  return S_OK;
}

namespace {

// Moves a message to another folder of its store (one kMoved event).
HRESULT MoveMessageRow(WriteTxn& txn, MessageRecord* rec, int64_t folder_id) {
  Stmt s(txn.conn(), "UPDATE messages SET folder_id = ? WHERE id = ?");
  s.Bind(1, folder_id).Bind(2, rec->id);
  if (s.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  ChangeEvent e;
  e.store_id = rec->store_id;
  e.kind = ObjKind::kMessage;
  e.type = ChangeType::kMoved;
  e.folder_id = folder_id;
  e.object_id = rec->id;
  e.old_folder_id = rec->folder_id;
  txn.Emit(e);
  rec->folder_id = folder_id;
  return S_OK;
}

// ---- Objects ----

// PropObject whose writes can be closed off after a save: SetProps,
// DeleteProps and write streams fail with MAPI_E_NO_ACCESS once writable_ is
// false.
template <class Interface>
class SavableObject : public PropObject<Interface> {
 public:
  SavableObject(std::shared_ptr<StoreContext> store, bool writable)
      : PropObject<Interface>(std::move(store)), writable_(writable) {
    this->read_only_ = !writable;
  }

  HRESULT SetProps(ULONG n, LPSPropValue values, LPSPropProblemArray* problems) override {
    if (problems) *problems = nullptr;
    if (!writable_) return Denied();
    return PropObject<Interface>::SetProps(n, values, problems);
  }
  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    if (problems) *problems = nullptr;
    if (!writable_) return Denied();
    return PropObject<Interface>::DeleteProps(tags, problems);
  }
  HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override {
    if (out) *out = nullptr;
    if ((flags & (MAPI_MODIFY | MAPI_CREATE)) != 0 && !writable_) return Denied();
    return PropObject<Interface>::OpenProperty(tag, iid, options, flags, out);
  }

 protected:
  ~SavableObject() override = default;
  HRESULT Denied() { return this->error_.Set(MAPI_E_NO_ACCESS, std::string(kTextReadOnly)); }

  std::atomic<bool> writable_;
};

class Attach;

// A summary of one attachment of a message.
struct AttachEntry {
  int64_t row_id = 0;   // attachments.id; 0 until saved
  PropMap props;        // full values when loaded, else the inline blob's
  LargeMap large;       // when loaded: where the values kept as prefixes are
  bool loaded = false;  // props hold full values
  bool dirty = false;   // written by the next save of the message
  int64_t bytes = 0;    // size of all its values
};

class Message final : public SavableObject<IMessage> {
 public:
  Message(std::shared_ptr<StoreContext> store, MessageRecord rec, bool writable)
      : SavableObject(std::move(store), writable), rec_(std::move(rec)) {
    props_ = std::move(rec_.props);
    rec_.props.clear();
    auto it = props_.find(kIdNextAttachNum);
    if (it != props_.end()) {
      int32_t next = 0;
      if (GetLong(it->second, &next) && next > 0) next_attach_num_ = static_cast<ULONG>(next);
      props_.erase(it);
    }
  }

  // Fills the attachment summaries and recipients of a saved message.
  // REQUIRES: before the object is shared.
  void Load(std::map<ULONG, AttachEntry> attachments, std::vector<RecipientRow> recipients) {
    attachments_ = std::move(attachments);
    recipients_ = std::move(recipients);
    if (!attachments_.empty())
      next_attach_num_ = std::max(next_attach_num_, attachments_.rbegin()->first + 1);
    for (const auto& r : recipients_) next_row_id_ = std::max(next_row_id_, r.row_id + 1);
  }

  // A new message: unsaved, with default flags.
  void InitNew() {
    props_[Id(PR_MESSAGE_FLAGS)] = MakeLong(MSGFLAG_READ | MSGFLAG_UNSENT);
    dirty_ = true;
  }

  // IMAPIProp
  HRESULT SaveChanges(ULONG flags) override;

  // IMessage
  HRESULT GetAttachmentTable(ULONG flags, LPMAPITABLE* out) override;
  HRESULT OpenAttach(ULONG num, LPCIID iid, ULONG flags, LPATTACH* out) override;
  HRESULT CreateAttach(LPCIID iid, ULONG flags, ULONG* num, LPATTACH* out) override;
  HRESULT DeleteAttach(ULONG num, ULONG ui_param, void* progress, ULONG flags) override;
  HRESULT GetRecipientTable(ULONG flags, LPMAPITABLE* out) override;
  HRESULT ModifyRecipients(ULONG flags, LPADRLIST mods) override;
  HRESULT SubmitMessage(ULONG flags) override;
  HRESULT SetReadFlag(ULONG flags) override;

  // Takes the values of attachment num from its IAttach's SaveChanges.
  HRESULT AcceptAttach(ULONG num, PropMap props, LargeMap large);

 protected:
  bool Computed(uint16_t prop_id, StoredProp* out) override;
  const std::vector<uint16_t>& ComputedIds() const override;
  bool Writable(uint16_t prop_id) const override {
    return prop_id == Id(PR_MESSAGE_FLAGS) || (prop_id != kIdNextAttachNum && PropCore::Writable(prop_id));
  }

 private:
  using TxnStep = std::function<HRESULT(WriteTxn&, MessageRecord&)>;

  ~Message() override = default;
  bool Supports(REFIID riid) const override {
    return SameIid(riid, IID_IMessage) || SameIid(riid, IID_IMAPIProp);
  }

  // Writes the message in one transaction, then runs after (if any) in it.
  // REQUIRES: mu_ held.
  HRESULT SaveLocked(bool force, const TxnStep& after, std::string* err);
  int64_t SizeLocked() const;
  ULONG FlagsLocked() const;
  std::string DisplayListLocked(ULONG recipient_type) const;
  HRESULT SubmitStepLocked(WriteTxn& txn, MessageRecord& rec);
  // A memory table with columns over the rows fill makes; fill runs with mu_ held.
  HRESULT MakeTable(const std::function<void(std::vector<MemRow>*)>& fill,
                      const std::vector<ULONG>& columns, LPMAPITABLE* out);

  MessageRecord rec_;                         // guarded by mu_; props live in props_
  bool deleted_ = false;                      // guarded by mu_; deleted by SubmitMessage
  std::map<ULONG, AttachEntry> attachments_;  // guarded by mu_; by attachment number
  std::vector<int64_t> deleted_attach_rows_;  // guarded by mu_; saved rows to delete
  std::set<ULONG> deleted_attach_nums_;       // guarded by mu_
  ULONG next_attach_num_ = 0;                 // guarded by mu_
  std::vector<RecipientRow> recipients_;      // guarded by mu_; in PR_ROWID order
  bool recipients_dirty_ = false;             // guarded by mu_
  ULONG next_row_id_ = 0;                     // guarded by mu_
};

class Attach final : public SavableObject<IAttach> {
 public:
  Attach(Message* parent, ULONG num, PropMap props, LargeMap large, bool writable)
      : SavableObject(parent->store(), writable), num_(num) {
    parent->AddRef();
    parent_ = ComPtr<Message>(parent);
    props_ = std::move(props);
    large_ = std::move(large);
  }

  bool KeepsLargeOutside() const override { return true; }

  // Hands the values to the message, which must then be saved itself.
  HRESULT SaveChanges(ULONG flags) override {
    if (!writable_) return Denied();
    PropMap copy;
    LargeMap large;
    {
      std::lock_guard<std::mutex> lock(mu_);
      HRESULT hr = Guarded([&] {
        copy = props_;
        large = large_;
        return S_OK;
      });
      if (FAILED(hr)) return error_.Set(hr, "no memory for the attachment's values");
    }
    HRESULT hr = parent_->AcceptAttach(num_, std::move(copy), std::move(large));
    if (FAILED(hr)) {
      LPMAPIERROR info = nullptr;
      std::string text = "the message did not take the attachment";
      if (SUCCEEDED(parent_->GetLastError(hr, 0, &info)) && info != nullptr) {
        if (info->lpszError) text = info->lpszError;
        MAPIFreeBuffer(info);
      }
      return error_.Set(hr, text);
    }
    std::lock_guard<std::mutex> lock(mu_);
    dirty_ = false;
    if ((flags & KEEP_OPEN_READONLY) != 0) writable_ = false;
    return S_OK;
  }

 protected:
  bool Computed(uint16_t prop_id, StoredProp* out) override {
    switch (prop_id) {
      case Id(PR_ATTACH_NUM): *out = MakeLong(static_cast<int32_t>(num_)); return true;
      case Id(PR_OBJECT_TYPE): *out = MakeLong(MAPI_ATTACH); return true;
      case Id(PR_INSTANCE_KEY):
      case Id(PR_RECORD_KEY): *out = MakeBinary(InstanceKey(num_)); return true;
      case Id(PR_ATTACH_SIZE):
        if (props_.count(prop_id) != 0) return false;  // a size the client set
        *out = MakeLong(static_cast<int32_t>(std::min<int64_t>(ValueBytes(props_, large_), INT32_MAX)));
        return true;
      default: return false;
    }
  }
  const std::vector<uint16_t>& ComputedIds() const override {
    static const std::vector<uint16_t> ids = {Id(PR_ATTACH_NUM), Id(PR_OBJECT_TYPE), Id(PR_INSTANCE_KEY),
                                              Id(PR_RECORD_KEY), Id(PR_ATTACH_SIZE)};
    return ids;
  }
  bool Writable(uint16_t prop_id) const override {
    return prop_id == Id(PR_ATTACH_SIZE) || PropCore::Writable(prop_id);
  }

 private:
  ~Attach() override = default;
  bool Supports(REFIID riid) const override {
    return SameIid(riid, IID_IAttachment) || SameIid(riid, IID_IMAPIProp);
  }

  ComPtr<Message> parent_;  // constant after construction
  const ULONG num_;
};

// ---- Message: properties ----

ULONG Message::FlagsLocked() const {
  ULONG flags = GetLongProp(props_, PR_MESSAGE_FLAGS);
  return attachments_.empty() ? flags & ~MSGFLAG_HASATTACH : flags | MSGFLAG_HASATTACH;
}

int64_t Message::SizeLocked() const {
  int64_t size = ValueBytes(props_);
  for (const auto& [num, a] : attachments_) size += a.bytes;
  return size;
}

std::string Message::DisplayListLocked(ULONG recipient_type) const {
  std::string list;
  for (const RecipientRow& r : recipients_) {
    if ((GetLongProp(r.props, PR_RECIPIENT_TYPE) & kRecipTypeMask) != recipient_type) continue;
    std::string name = GetStringProp(r.props, PR_DISPLAY_NAME);
    if (name.empty()) name = GetStringProp(r.props, PR_EMAIL_ADDRESS);
    if (name.empty()) name = GetStringProp(r.props, PR_SMTP_ADDRESS);
    if (!list.empty()) list += "; ";
    list += name;
  }
  return list;
}

bool Message::Computed(uint16_t prop_id, StoredProp* out) {
  switch (prop_id) {
    case Id(PR_MESSAGE_FLAGS): *out = MakeLong(static_cast<int32_t>(FlagsLocked())); return true;
    case Id(PR_HASATTACH): *out = MakeBool(!attachments_.empty()); return true;
    case Id(PR_MESSAGE_SIZE):
      *out = MakeLong(static_cast<int32_t>(std::min<int64_t>(SizeLocked(), INT32_MAX)));
      return true;
    case Id(PR_DISPLAY_TO): *out = MakeString8(DisplayListLocked(MAPI_TO)); return true;
    case Id(PR_DISPLAY_CC): *out = MakeString8(DisplayListLocked(MAPI_CC)); return true;
    case Id(kPrDisplayBcc): *out = MakeString8(DisplayListLocked(MAPI_BCC)); return true;
    case Id(PR_ENTRYID):
    case Id(PR_RECORD_KEY):
    case Id(PR_INSTANCE_KEY):
    case Id(PR_LONGTERM_ENTRYID_FROM_TABLE):
      if (rec_.id == 0) return false;  // not in the store yet
      [[fallthrough]];
    default: return ComputedMessageProp(store_->info, rec_, prop_id, out);
  }
}

const std::vector<uint16_t>& Message::ComputedIds() const {
  static const std::vector<uint16_t> ids = {
      Id(PR_ENTRYID),       Id(PR_RECORD_KEY),     Id(PR_INSTANCE_KEY),  Id(PR_PARENT_ENTRYID),
      Id(PR_STORE_ENTRYID), Id(kPrStoreRecordKey), Id(PR_OBJECT_TYPE),   Id(PR_MESSAGE_SIZE),
      Id(PR_HASATTACH),     Id(PR_MESSAGE_FLAGS),  Id(PR_CREATION_TIME), Id(PR_LAST_MODIFICATION_TIME),
      Id(PR_DISPLAY_TO),    Id(PR_DISPLAY_CC),     Id(kPrDisplayBcc)};
  return ids;
}

// ---- Message: saving ----

HRESULT Message::SaveLocked(bool force, const TxnStep& after, std::string* err) {
  MessageRecord rec;
  HRESULT hr = Guarded([&] {
    rec.id = rec_.id;
    rec.store_id = rec_.store_id;
    rec.folder_id = rec_.folder_id;
    rec.associated = rec_.associated;
    rec.created = rec_.created;
    rec.props = props_;
    // Derived values are kept with the record so contents tables show them.
    rec.props[Id(PR_MESSAGE_FLAGS)] = MakeLong(static_cast<int32_t>(FlagsLocked()));
    rec.props[Id(PR_DISPLAY_TO)] = MakeString8(DisplayListLocked(MAPI_TO));
    rec.props[Id(PR_DISPLAY_CC)] = MakeString8(DisplayListLocked(MAPI_CC));
    rec.props[Id(kPrDisplayBcc)] = MakeString8(DisplayListLocked(MAPI_BCC));
    rec.props[kIdNextAttachNum] = MakeLong(static_cast<int32_t>(next_attach_num_));
    rec.has_attach = !attachments_.empty();
    rec.size = std::max<int64_t>(1, SizeLocked());
    return S_OK;
  });
  if (FAILED(hr)) return hr;

  std::map<ULONG, int64_t> row_ids;  // attachment rows as written
  const bool is_new = rec.id == 0;
  hr = store_->db->Write(
      [&](WriteTxn& txn) {
        return Guarded([&]() -> HRESULT {
          row_ids.clear();
          if (is_new) {
            FolderRecord folder;
            HRESULT found = LoadFolder(txn.conn(), rec.folder_id, &folder);
            if (found == MAPI_E_NOT_FOUND) *err = "the message's folder no longer exists";
            if (FAILED(found)) return found;
          } else {
            MessageRecord current;
            HRESULT found = LoadMessage(txn.conn(), rec.id, &current);
            if (found == MAPI_E_NOT_FOUND) {
              *err = "the message was deleted";
              return MAPI_E_OBJECT_DELETED;
            }
            if (FAILED(found)) return found;
            if (!force && current.modified != rec_.modified) {
              *err = "the message was saved by someone else since it was opened";
              return MAPI_E_OBJECT_CHANGED;
            }
            rec.folder_id = current.folder_id;  // it may have been moved meanwhile
          }
          HRESULT r = SaveMessageRecord(txn, &rec);
          if (FAILED(r)) return r;
          for (int64_t row : deleted_attach_rows_) {
            if (FAILED(r = DeleteAttachRow(txn, row))) return r;
          }
          for (const auto& [num, a] : attachments_) {
            if (!a.dirty) continue;
            assert(a.loaded);  // only IAttach::SaveChanges dirties, with full values
            int64_t row = a.row_id;
            if (FAILED(r = WriteAttachRow(txn, rec.id, num, a.props, a.large, &row))) return r;
            row_ids[num] = row;
          }
          if (recipients_dirty_ || is_new) {
            if (FAILED(r = WriteRecipientRows(txn, rec.id, recipients_))) return r;
          }
          return after ? after(txn, rec) : S_OK;
        });
      },
      err);
  if (FAILED(hr)) return hr;

  rec_.id = rec.id;
  rec_.folder_id = rec.folder_id;
  rec_.created = rec.created;
  rec_.modified = rec.modified;
  rec_.size = rec.size;
  rec_.has_attach = rec.has_attach;
  for (auto& [num, a] : attachments_) {
    auto it = row_ids.find(num);
    if (it == row_ids.end()) continue;
    a.row_id = it->second;
    a.dirty = false;
    // Keep only the summary: full values can be large and OpenAttach reads them.
    PropMap summary;
    if (ParsePropList(InlineAttachBlob(a.props), &summary)) {
      a.props = std::move(summary);
      a.large.clear();
      a.loaded = false;
    }
  }
  deleted_attach_rows_.clear();
  recipients_dirty_ = false;
  dirty_ = false;
  return S_OK;
}

HRESULT Message::SaveChanges(ULONG flags) {
  if (!writable_) return Denied();
  std::lock_guard<std::mutex> lock(mu_);
  std::string err;
  // A saved message without changes has nothing to write.
  HRESULT hr = rec_.id != 0 && !dirty_ ? S_OK : SaveLocked((flags & FORCE_SAVE) != 0, nullptr, &err);
  if (FAILED(hr)) return error_.Set(hr, "cannot save the message: " + (err.empty() ? ResultText(hr) : err));
  if ((flags & KEEP_OPEN_READONLY) != 0) writable_ = false;
  return S_OK;
}

// ---- Message: attachments ----

HRESULT Message::MakeTable(const std::function<void(std::vector<MemRow>*)>& fill,
                             const std::vector<ULONG>& columns, LPMAPITABLE* out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  std::vector<MemRow> rows;
  HRESULT hr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    hr = Guarded([&] {
      fill(&rows);
      return S_OK;
    });
  }
  if (FAILED(hr)) return error_.Set(hr, "no memory for the table");
  return CreateMemTable(std::move(rows), columns, out);
}

HRESULT Message::GetAttachmentTable(ULONG, LPMAPITABLE* out) {
  static const std::vector<ULONG> kColumns = {
      PR_ATTACH_NUM,      PR_INSTANCE_KEY,      PR_ATTACH_METHOD,  PR_ATTACH_LONG_FILENAME,
      PR_ATTACH_FILENAME, PR_ATTACH_CONTENT_ID, PR_ATTACH_SIZE,    PR_RENDERING_POSITION,
      PR_DISPLAY_NAME,    PR_ATTACHMENT_HIDDEN, PR_ATTACH_MIME_TAG};
  auto fill = [&](std::vector<MemRow>* rows) {
    for (const auto& [num, a] : attachments_) {
      MemRow row;
      row.values.emplace_back(PR_ATTACH_NUM, MakeLong(static_cast<int32_t>(num)));
      row.values.emplace_back(PR_INSTANCE_KEY, MakeBinary(InstanceKey(num)));
      row.values.emplace_back(PR_OBJECT_TYPE, MakeLong(MAPI_ATTACH));
      AppendRowValues(a.props, &row);
      if (!RowHas(row, PR_ATTACH_SIZE)) {
        row.values.emplace_back(PR_ATTACH_SIZE,
                                MakeLong(static_cast<int32_t>(std::min<int64_t>(a.bytes, INT32_MAX))));
      }
      rows->push_back(std::move(row));
    }
  };
  return MakeTable(fill, kColumns, out);
}

HRESULT Message::OpenAttach(ULONG num, LPCIID iid, ULONG flags, LPATTACH* out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (iid != nullptr && !SameIid(*iid, IID_IAttachment) && !SameIid(*iid, IID_IMAPIProp)) {
    return error_.Set(MAPI_E_INTERFACE_NOT_SUPPORTED, "attachments open as IAttach only");
  }
  PropMap props;
  LargeMap large;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = attachments_.find(num);
    if (it == attachments_.end()) {
      return error_.Set(MAPI_E_NOT_FOUND, "no attachment number " + std::to_string(num));
    }
    const AttachEntry& a = it->second;
    std::string err;
    HRESULT hr;
    if (a.loaded) {
      hr = Guarded([&] {
        props = a.props;
        large = a.large;
        return S_OK;
      });
    } else {
      auto read = [&](sqlite3* db) -> HRESULT {
        Stmt s(db, "SELECT props FROM attachments WHERE id = ?");
        s.Bind(1, a.row_id);
        if (s.Step() != SQLITE_ROW) return MAPI_E_NOT_FOUND;
        if (!ParsePropList(s.Blob(0), &props)) return MAPI_E_CORRUPT_DATA;
        return LoadAttachValues(db, a.row_id, &props, &large);
      };
      hr = store_->db->Read([&](sqlite3* db) { return Guarded([&] { return read(db); }); }, &err);
    }
    if (FAILED(hr)) {
      return error_.Set(
          hr, "cannot read attachment " + std::to_string(num) + ": " + (err.empty() ? ResultText(hr) : err));
    }
  }
  bool writable = writable_ && (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0;
  *out = new (std::nothrow) Attach(this, num, std::move(props), std::move(large), writable);
  return *out != nullptr ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

HRESULT Message::CreateAttach(LPCIID iid, ULONG flags, ULONG* num, LPATTACH* out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  (void)iid;
  (void)flags;
  if (!writable_) return Denied();
  ULONG n;
  {
    std::lock_guard<std::mutex> lock(mu_);
    n = next_attach_num_++;
  }
  *out = new (std::nothrow) Attach(this, n, PropMap(), LargeMap(), true);
  if (*out == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  if (num != nullptr) *num = n;
  return S_OK;
}

HRESULT Message::DeleteAttach(ULONG num, ULONG, void*, ULONG) {
  if (!writable_) return Denied();
  std::lock_guard<std::mutex> lock(mu_);
  auto it = attachments_.find(num);
  if (it == attachments_.end())
    return error_.Set(MAPI_E_NOT_FOUND, "no attachment number " + std::to_string(num));
  if (it->second.row_id != 0) deleted_attach_rows_.push_back(it->second.row_id);
  attachments_.erase(it);
  deleted_attach_nums_.insert(num);
  dirty_ = true;
  return S_OK;
}

HRESULT Message::AcceptAttach(ULONG num, PropMap props, LargeMap large) {
  if (!writable_) return Denied();
  std::lock_guard<std::mutex> lock(mu_);
  if (deleted_attach_nums_.count(num) != 0) {
    return error_.Set(MAPI_E_OBJECT_DELETED, "attachment " + std::to_string(num) + " was deleted");
  }
  AttachEntry& a = attachments_[num];
  a.bytes = ValueBytes(props, large);
  a.props = std::move(props);
  a.large = std::move(large);
  a.loaded = true;
  a.dirty = true;
  dirty_ = true;
  return S_OK;
}

// ---- Message: recipients ----

HRESULT Message::GetRecipientTable(ULONG, LPMAPITABLE* out) {
  static const std::vector<ULONG> kColumns = {PR_ROWID,       PR_DISPLAY_NAME,   PR_EMAIL_ADDRESS,
                                              PR_ADDRTYPE,    PR_RECIPIENT_TYPE, PR_ENTRYID,
                                              PR_SMTP_ADDRESS};
  auto fill = [&](std::vector<MemRow>* rows) {
    for (const RecipientRow& r : recipients_) {
      MemRow row;
      row.values.emplace_back(PR_ROWID, MakeLong(static_cast<int32_t>(r.row_id)));
      row.values.emplace_back(PR_INSTANCE_KEY, MakeBinary(InstanceKey(r.row_id)));
      AppendRowValues(r.props, &row);
      if (!RowHas(row, PR_OBJECT_TYPE)) row.values.emplace_back(PR_OBJECT_TYPE, MakeLong(MAPI_MAILUSER));
      rows->push_back(std::move(row));
    }
  };
  return MakeTable(fill, kColumns, out);
}

HRESULT Message::ModifyRecipients(ULONG flags, LPADRLIST mods) {
  if (flags != 0 && flags != MODRECIP_ADD && flags != MODRECIP_MODIFY && flags != MODRECIP_REMOVE) {
    return error_.Set(MAPI_E_INVALID_PARAMETER,
                      "ModifyRecipients takes one of MODRECIP_ADD, _MODIFY, _REMOVE or 0");
  }
  if (mods == nullptr) return error_.Set(MAPI_E_INVALID_PARAMETER, "no recipient list");
  if (!writable_) return Denied();
  std::lock_guard<std::mutex> lock(mu_);
  // Works on a copy so a bad entry leaves the recipients as they were.
  std::vector<RecipientRow> result;
  ULONG next = next_row_id_;
  std::string problem;
  HRESULT hr = Guarded([&]() -> HRESULT {
    if (flags != 0) result = recipients_;
    for (ULONG i = 0; i < mods->cEntries; ++i) {
      PropMap props;
      std::optional<ULONG> row_id;
      HRESULT r = RecipientFromEntry(mods->aEntries[i], &props, &row_id);
      if (FAILED(r)) {
        problem = "recipient " + std::to_string(i) + " has a value the store cannot keep";
        return r;
      }
      if (flags == 0 || flags == MODRECIP_ADD) {
        result.push_back({next++, std::move(props)});
        continue;
      }
      if (!row_id) {
        problem = "recipient " + std::to_string(i) + " has no PR_ROWID";
        return MAPI_E_INVALID_PARAMETER;
      }
      auto it = std::find_if(result.begin(), result.end(),
                             [&](const RecipientRow& r) { return r.row_id == *row_id; });
      if (it == result.end()) {
        problem = "no recipient with PR_ROWID " + std::to_string(*row_id);
        return MAPI_E_NOT_FOUND;
      }
      if (flags == MODRECIP_MODIFY) {
        it->props = std::move(props);
      } else {
        result.erase(it);
      }
    }
    return S_OK;
  });
  if (FAILED(hr)) return error_.Set(hr, problem.empty() ? std::string(ResultText(hr)) : problem);
  recipients_ = std::move(result);
  next_row_id_ = next;
  recipients_dirty_ = true;
  dirty_ = true;
  return S_OK;
}

// ---- Message: submission and read state ----

HRESULT Message::SubmitStepLocked(WriteTxn& txn, MessageRecord& rec) {
  sqlite3* db = txn.conn();
  std::set<int64_t> delivered;
  std::vector<bool> local(recipients_.size(), false);
  bool remote = false;
  for (size_t i = 0; i < recipients_.size(); ++i) {
    StoreInfo target;
    HRESULT hr = FindRecipientMailbox(db, recipients_[i].props, &target);
    if (hr == MAPI_E_NOT_FOUND) {
      remote = true;
      continue;
    }
    if (FAILED(hr)) return hr;
    local[i] = true;
    if (!delivered.insert(target.id).second) continue;  // one copy per mailbox
    int64_t copy_id = 0;
    if (FAILED(hr = DeliverCopy(txn, rec.id, target, &copy_id))) return hr;
  }
  if (remote) {
    // No relay runs yet: the queued copy waits in the Outbox for one, with
    // PR_RESPONSIBILITY set on the recipients already delivered here.
    const int64_t outbox =
        FolderFromEntryIdProp(store_->info.props, PR_IPM_OUTBOX_ENTRYID, store_->info.guid);
    if (outbox == 0) return MAPI_E_NOT_FOUND;
    // The copy's recipients come in PR_ROWID order, as recipients_ holds them.
    size_t index = 0;
    int64_t queued = 0;
    HRESULT hr = CopyMessageRows(
        txn, rec.id, rec.store_id, outbox,
        [](PropMap* props) {
          ULONG flags = GetLongProp(*props, PR_MESSAGE_FLAGS);
          (*props)[Id(PR_MESSAGE_FLAGS)] =
              MakeLong(static_cast<int32_t>(flags | MSGFLAG_SUBMIT | MSGFLAG_UNSENT));
        },
        [&](PropMap* recipient) {
          (*recipient)[Id(kPrResponsibility)] = MakeBool(index < local.size() && local[index]);
          ++index;
          return true;
        },
        &queued);
    if (FAILED(hr)) return hr;
  }
  if (GetBoolProp(props_, PR_DELETE_AFTER_SUBMIT)) {
    HRESULT hr = DeleteMessageRecord(txn, rec.id);
    if (SUCCEEDED(hr)) deleted_ = true;
    return hr;
  }
  const int64_t sent = FolderFromEntryIdProp(props_, PR_SENTMAIL_ENTRYID, store_->info.guid);
  if (sent != 0 && sent != rec.folder_id) {
    FolderRecord folder;
    HRESULT hr = LoadFolder(db, sent, &folder);
    // A Sent Items folder that is gone leaves the message where it is.
    if (hr == MAPI_E_NOT_FOUND || (SUCCEEDED(hr) && folder.store_id != rec.store_id)) return S_OK;
    if (FAILED(hr)) return hr;
    return MoveMessageRow(txn, &rec, sent);
  }
  return S_OK;
}

HRESULT Message::SubmitMessage(ULONG flags) {
  (void)flags;
  if (!writable_) return Denied();
  std::lock_guard<std::mutex> lock(mu_);
  if (recipients_.empty()) return error_.Set(MAPI_E_NO_RECIPIENTS, "the message has no recipients");
  // Sent state and sender, applied to props_ and undone if the submit fails.
  PropMap stamp;
  const int64_t now = NowFileTime();
  ULONG msg_flags = GetLongProp(props_, PR_MESSAGE_FLAGS);
  msg_flags = (msg_flags | MSGFLAG_READ | MSGFLAG_FROMME) & ~(MSGFLAG_UNSENT | MSGFLAG_SUBMIT);
  stamp[Id(PR_MESSAGE_FLAGS)] = MakeLong(static_cast<int32_t>(msg_flags));
  stamp[Id(PR_CLIENT_SUBMIT_TIME)] = MakeSysTime(now);
  const StoreInfo& me = store_->info;
  if (me.kind == kStoreKindMailbox) {
    const std::string address = me.smtp.empty() ? me.alias : me.smtp.front();
    const std::string entry_id = MakeMailUserEntryId(me.guid);
    auto fill = [&](ULONG tag, StoredProp value) {
      if (props_.count(Id(tag)) == 0) stamp[Id(tag)] = std::move(value);
    };
    fill(PR_SENDER_NAME, MakeString8(me.display_name));
    fill(PR_SENDER_EMAIL_ADDRESS, MakeString8(address));
    fill(kPrSenderAddrType, MakeString8("SMTP"));
    fill(kPrSenderEntryId, MakeBinary(entry_id));
    fill(PR_SENT_REPRESENTING_NAME, MakeString8(me.display_name));
    fill(kPrSentRepresentingEmail, MakeString8(address));
    fill(kPrSentRepresentingAddrType, MakeString8("SMTP"));
    fill(kPrSentRepresentingEntryId, MakeBinary(entry_id));
  }
  std::map<uint16_t, std::optional<StoredProp>> undo;
  for (auto& [id, value] : stamp) {
    auto it = props_.find(id);
    undo[id] = it != props_.end() ? std::optional<StoredProp>(it->second) : std::nullopt;
    props_[id] = value;
  }
  std::string err;
  HRESULT hr = SaveLocked(
      false, [&](WriteTxn& txn, MessageRecord& rec) { return SubmitStepLocked(txn, rec); }, &err);
  if (FAILED(hr)) {
    for (auto& [id, value] : undo) {
      if (value)
        props_[id] = std::move(*value);
      else
        props_.erase(id);
    }
    if (hr == MAPI_E_NOT_FOUND && err.empty()) err = "the mailbox has no Outbox for the queued copy";
    return error_.Set(hr, "cannot submit the message: " + (err.empty() ? ResultText(hr) : err));
  }
  writable_ = false;
  return S_OK;
}

HRESULT Message::SetReadFlag(ULONG flags) {
  if ((flags & ~(kSuppressReceipt | kClearReadFlag | MAPI_DEFERRED_ERRORS | kGenerateReceiptOnly |
                 kClearRnPending | kClearNrnPending)) != 0) {
    return error_.Set(MAPI_E_UNKNOWN_FLAGS, "unknown SetReadFlag flags");
  }
  if ((flags & kGenerateReceiptOnly) != 0) return S_OK;  // no receipts are generated
  const bool read = (flags & kClearReadFlag) == 0;
  auto apply = [read](ULONG f) { return read ? f | MSGFLAG_READ : f & ~MSGFLAG_READ; };
  std::lock_guard<std::mutex> lock(mu_);
  props_[Id(PR_MESSAGE_FLAGS)] = MakeLong(static_cast<int32_t>(apply(GetLongProp(props_, PR_MESSAGE_FLAGS))));
  if (rec_.id == 0 || deleted_) return S_OK;
  // The read state is written at once and leaves the modification time (and
  // so the conflict check of SaveChanges) alone. Only the inline blob
  // changes: large values stay where they are.
  std::string err;
  HRESULT hr = store_->db->Write(
      [&](WriteTxn& txn) {
        return Guarded([&]() -> HRESULT {
          PropMap stored;
          {
            Stmt s(txn.conn(), "SELECT props FROM messages WHERE id = ?");
            s.Bind(1, rec_.id);
            if (s.Step() != SQLITE_ROW) return MAPI_E_OBJECT_DELETED;
            if (!ParsePropList(s.Blob(0), &stored)) return MAPI_E_CORRUPT_DATA;
          }
          stored[Id(PR_MESSAGE_FLAGS)] =
              MakeLong(static_cast<int32_t>(apply(GetLongProp(stored, PR_MESSAGE_FLAGS))));
          Stmt up(txn.conn(), "UPDATE messages SET props = ? WHERE id = ?");
          up.BindBlob(1, SerializePropList(stored)).Bind(2, rec_.id);
          if (up.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
          ChangeEvent e;
          e.store_id = rec_.store_id;
          e.kind = ObjKind::kMessage;
          e.type = ChangeType::kModified;
          e.folder_id = rec_.folder_id;
          e.object_id = rec_.id;
          txn.Emit(e);
          return S_OK;
        });
      },
      &err);
  if (FAILED(hr)) return error_.Set(hr, "cannot set the read state: " + (err.empty() ? ResultText(hr) : err));
  return S_OK;
}

// Reads the attachment summaries and recipients of message_id.
HRESULT LoadMessageParts(sqlite3* db, int64_t message_id, std::map<ULONG, AttachEntry>* attachments,
                         std::vector<RecipientRow>* recipients) {
  Stmt s(db,
         "SELECT a.id, a.attach_num, a.props, (SELECT COALESCE(SUM(length(l.value)), 0) FROM "
         "large_props l WHERE l.kind = ?1 AND l.obj_id = a.id) + (SELECT COALESCE(SUM(length(c.data)), 0) "
         "FROM large_chunks c WHERE c.kind = ?1 AND c.obj_id = a.id) FROM attachments a WHERE "
         "a.message_id = ?2 ORDER BY a.attach_num");
  s.Bind(1, static_cast<int64_t>(ObjKind::kAttach)).Bind(2, message_id);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    AttachEntry a;
    a.row_id = s.Int(0);
    if (!ParsePropList(s.Blob(2), &a.props)) return MAPI_E_CORRUPT_DATA;
    // length() of the large values reads their size, not their bytes.
    a.bytes = s.Int(3);
    for (const auto& [id, v] : a.props)
      a.bytes += 8 + (v.truncated ? 0 : static_cast<int64_t>(v.data.size()));
    (*attachments)[static_cast<ULONG>(s.Int(1))] = std::move(a);
  }
  if (rc != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  return ReadRecipientRows(db, message_id, recipients);
}

}  // namespace

HRESULT OpenMessageObject(std::shared_ptr<StoreContext> store, int64_t message_id, ULONG flags,
                          IMessage** out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  MessageRecord rec;
  std::map<ULONG, AttachEntry> attachments;
  std::vector<RecipientRow> recipients;
  std::string err;
  HRESULT hr = store->db->Read(
      [&](sqlite3* db) {
        return Guarded([&]() -> HRESULT {
          HRESULT r = LoadMessage(db, message_id, &rec);
          if (FAILED(r)) return r;
          if (rec.store_id != store->info.id) return MAPI_E_NOT_FOUND;
          if (FAILED(r = LoadLargeProps(db, ObjKind::kMessage, message_id, &rec.props))) return r;
          return LoadMessageParts(db, message_id, &attachments, &recipients);
        });
      },
      &err);
  if (FAILED(hr)) return hr;
  bool writable = (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0;
  auto* msg = new (std::nothrow) Message(std::move(store), std::move(rec), writable);
  if (msg == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  msg->Load(std::move(attachments), std::move(recipients));
  *out = msg;
  return S_OK;
}

HRESULT CreateMessageObject(std::shared_ptr<StoreContext> store, int64_t folder_id, bool associated,
                            IMessage** out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  FolderRecord folder;
  std::string err;
  HRESULT hr = store->db->Read([&](sqlite3* db) { return LoadFolder(db, folder_id, &folder); }, &err);
  if (FAILED(hr)) return hr;
  if (folder.store_id != store->info.id) return MAPI_E_NOT_FOUND;
  MessageRecord rec;
  rec.store_id = store->info.id;
  rec.folder_id = folder_id;
  rec.associated = associated;
  rec.created = rec.modified = NowFileTime();
  auto* msg = new (std::nothrow) Message(std::move(store), std::move(rec), true);
  if (msg == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  msg->InitNew();
  *out = msg;
  return S_OK;
}

HRESULT DeliverCopy(WriteTxn& txn, int64_t message_id, const StoreInfo& target, int64_t* new_id) {
  auto it = target.props.find(kIdReceiveFolderId);
  int64_t inbox = 0;
  if (it == target.props.end() || !GetI8(it->second, &inbox) || inbox == 0) return MAPI_E_NOT_FOUND;
  const int64_t now = NowFileTime();
  HRESULT hr = CopyMessageRows(
      txn, message_id, target.id, inbox,
      [now](PropMap* props) {
        // Unread and received: only the attachment bit of the sender's flags stays.
        ULONG flags = GetLongProp(*props, PR_MESSAGE_FLAGS) & MSGFLAG_HASATTACH;
        (*props)[Id(PR_MESSAGE_FLAGS)] = MakeLong(static_cast<int32_t>(flags));
        (*props)[Id(PR_MESSAGE_DELIVERY_TIME)] = MakeSysTime(now);
        for (ULONG tag : {PR_DELETE_AFTER_SUBMIT, PR_SENTMAIL_ENTRYID, kPrDisplayBcc}) props->erase(Id(tag));
      },
      [](PropMap* recipient) {
        // Blind copies stay with the sender.
        return (GetLongProp(*recipient, PR_RECIPIENT_TYPE) & kRecipTypeMask) != MAPI_BCC;
      },
      new_id);
  if (FAILED(hr)) return hr;
  // SaveMessageRecord announced the copy as created; this marks it new mail.
  ChangeEvent e;
  e.store_id = target.id;
  e.kind = ObjKind::kMessage;
  e.type = ChangeType::kModified;
  e.folder_id = inbox;
  e.object_id = *new_id;
  e.new_mail = true;
  txn.Emit(e);
  return S_OK;
}

}  // namespace zuvstore
