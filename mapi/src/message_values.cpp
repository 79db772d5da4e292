// message_values.cpp: IZuvMessageValues, one property of many messages read
// in one snapshot without opening the messages.
//
// Each value is what OpenEntry and OpenProperty(IID_IStream) of the message
// would read: the stored bytes of the property ID, a value kept out of line
// read whole, PT_UNICODE as UTF-16LE. Only the requested value's out-of-line
// bytes are checked; an open checks every value of the message.
#include <string>

#include "com.h"
#include "entryid.h"
#include "mapi/mapiutil.h"
#include "mapi/zuvstore_values.h"
#include "model.h"
#include "objects.h"

namespace zuvstore {
namespace {

class MessageValues final : public ComObject<IZuvMessageValues> {
 public:
  explicit MessageValues(std::shared_ptr<StoreContext> store) : store_(std::move(store)) {}

  HRESULT ReadMessageValues(const MessageValueRequest* requests, size_t count, MessageValue* out) override {
    if (count > 0 && (requests == nullptr || out == nullptr)) return MAPI_E_INVALID_PARAMETER;
    if (count == 0) return S_OK;
    std::string err;
    return store_->db->Read(
        [&](sqlite3* conn) { return Guarded([&] { return ReadAll(conn, requests, count, out); }); }, &err);
  }

 private:
  ~MessageValues() override = default;
  bool Supports(REFIID riid) const override { return SameIid(riid, IID_IZuvMessageValues); }

  HRESULT ReadAll(sqlite3* conn, const MessageValueRequest* requests, size_t count, MessageValue* out) {
    ParsedEntryId parsed;
    StoredProp value;
    for (size_t i = 0; i < count; ++i) {
      MessageValue& v = out[i];
      v.open_result = MAPI_E_NOT_FOUND;
      v.value_result = MAPI_E_NOT_FOUND;
      v.bytes.clear();
      const std::string_view id = requests[i].entry_id;
      if (FAILED(ParseEntryId(id.data(), id.size(), &parsed)) ||
          parsed.kind != static_cast<int>(ObjKind::kMessage)) {
        v.open_result = MAPI_E_INVALID_ENTRYID;
        continue;
      }
      if (parsed.store != store_->info.guid) continue;  // another store's: not found
      const ULONG tag = requests[i].tag;
      const ULONG type = PROP_TYPE(tag);
      bool found = false;
      {
        Stmt s(conn, "SELECT store_id, props FROM messages WHERE id = ?");
        s.Bind(1, parsed.id);
        const int rc = s.Step();
        if (rc == SQLITE_DONE) continue;  // deleted
        if (rc != SQLITE_ROW) return MAPI_E_CALL_FAILED;
        if (s.Int(0) != store_->info.id) continue;
        found = FindInPropList(s.Blob(1), static_cast<uint16_t>(PROP_ID(tag)), &value);
      }
      v.open_result = S_OK;
      if (found && value.truncated) {
        Stmt large(conn, "SELECT value FROM large_props WHERE kind = ? AND obj_id = ? AND prop_id = ?");
        large.Bind(1, static_cast<int64_t>(ObjKind::kMessage)).Bind(2, parsed.id).Bind(3, PROP_ID(tag));
        const int rc = large.Step();
        if (rc == SQLITE_DONE) {
          v.open_result = MAPI_E_CORRUPT_DATA;
          continue;
        }
        if (rc != SQLITE_ROW) return MAPI_E_CALL_FAILED;
        value.data.assign(large.Blob(0));
      }
      if (type != PT_BINARY && type != PT_STRING8 && type != PT_UNICODE) {
        v.value_result = MAPI_E_INVALID_TYPE;
        continue;
      }
      if (!found) continue;
      v.value_result = S_OK;
      if (type == PT_UNICODE) {
        const std::u16string w = Utf8ToUtf16(value.data);
        v.bytes.assign(reinterpret_cast<const char*>(w.data()), w.size() * 2);
      } else {
        v.bytes.swap(value.data);
      }
    }
    return S_OK;
  }

  const std::shared_ptr<StoreContext> store_;
};

}  // namespace

HRESULT CreateMessageValues(std::shared_ptr<StoreContext> store, IZuvMessageValues** out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = new (std::nothrow) MessageValues(std::move(store));
  return *out != nullptr ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

}  // namespace zuvstore
