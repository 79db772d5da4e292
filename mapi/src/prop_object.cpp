// prop_object.cpp: GetProps/SetProps/DeleteProps, named properties and
// property streams shared by the store's objects.
#include "prop_object.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "entryid.h"
#include "model.h"

namespace zuvstore {
namespace {

constexpr uint16_t kFirstNamedId = 0x8000;
constexpr uint16_t kLastNamedId = 0xFFFE;

// Allocates a problem array for the collected problems (none: *out null).
HRESULT MakeProblems(const std::vector<SPropProblem>& problems, LPSPropProblemArray* out) {
  if (out == nullptr) return S_OK;
  *out = nullptr;
  if (problems.empty()) return S_OK;
  void* buf = nullptr;
  size_t size = offsetof(SPropProblemArray, aProblem) + problems.size() * sizeof(SPropProblem);
  if (MAPIAllocateBuffer(static_cast<ULONG>(size), &buf) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* arr = static_cast<SPropProblemArray*>(buf);
  arr->cProblem = static_cast<ULONG>(problems.size());
  std::copy(problems.begin(), problems.end(), arr->aProblem);
  *out = arr;
  return S_OK;
}

HRESULT AllocTagArray(const std::vector<ULONG>& tags, LPSPropTagArray* out) {
  void* buf = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(tags.size())), &buf) != S_OK) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  auto* arr = static_cast<SPropTagArray*>(buf);
  arr->cValues = static_cast<ULONG>(tags.size());
  std::copy(tags.begin(), tags.end(), arr->aulPropTag);
  *out = arr;
  return S_OK;
}

// ---- Property streams ----

class PropStream final : public ComObject<IStream> {
 public:
  // A stream over data held in memory.
  PropStream(IUnknown* owner, PropCore* core, ULONG tag, std::string data, bool writable)
      : owner_(owner), core_(core), tag_(tag), data_(std::move(data)), writable_(writable) {
    owner_->AddRef();
  }
  // A stream over a value kept outside: read-only over source, or writable
  // over spool.
  PropStream(IUnknown* owner, PropCore* core, ULONG tag, LargeRef source, std::shared_ptr<Spool> spool)
      : owner_(owner), core_(core), tag_(tag), outside_(true), source_(std::move(source)),
        spool_(std::move(spool)), writable_(spool_ != nullptr) {
    owner_->AddRef();
  }

  HRESULT Read(void* pv, ULONG cb, ULONG* read) override {
    if (read) *read = 0;
    if (pv == nullptr && cb > 0) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mu_);
    if (!outside_) {
      size_t n = pos_ < data_.size() ? std::min<size_t>(cb, data_.size() - pos_) : 0;
      if (n > 0) std::memcpy(pv, data_.data() + pos_, n);
      pos_ += n;
      if (read) *read = static_cast<ULONG>(n);
      return S_OK;
    }
    size_t done = 0;
    char* out = static_cast<char*>(pv);
    while (done < cb) {
      size_t got = 0;
      HRESULT hr = ReadOutsideLocked(out + done, cb - done, &got);
      if (FAILED(hr)) return hr;
      if (got == 0) break;
      done += got;
      pos_ += got;
    }
    if (read) *read = static_cast<ULONG>(done);
    return S_OK;
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* written) override {
    if (written) *written = 0;
    if (!writable_) return MAPI_E_NO_ACCESS;
    if (pv == nullptr && cb > 0) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mu_);
    if (outside_) {
      HRESULT hr = OwnSpoolLocked();
      if (FAILED(hr)) return hr;
      if (cb > 0 && !spool_->WriteAt(static_cast<int64_t>(pos_), pv, cb)) {
        return core_->error().Set(MAPI_E_DISK_ERROR, std::string("cannot write a temporary file: ") +
                                                         std::strerror(errno));
      }
    } else {
      if (pos_ + cb > data_.size()) data_.resize(pos_ + cb);
      if (cb > 0) std::memcpy(data_.data() + pos_, pv, cb);
    }
    pos_ += cb;
    dirty_ = true;
    if (written) *written = cb;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_pos) override {
    std::lock_guard<std::mutex> lock(mu_);
    int64_t base = origin == STREAM_SEEK_SET ? 0
                   : origin == STREAM_SEEK_CUR ? static_cast<int64_t>(pos_)
                   : origin == STREAM_SEEK_END ? SizeLocked()
                                               : -1;
    if (base < 0 || base + move.QuadPart < 0) return MAPI_E_INVALID_PARAMETER;
    pos_ = static_cast<size_t>(base + move.QuadPart);
    if (new_pos) new_pos->QuadPart = pos_;
    return S_OK;
  }
  HRESULT SetSize(ULARGE_INTEGER size) override {
    if (!writable_) return MAPI_E_NO_ACCESS;
    std::lock_guard<std::mutex> lock(mu_);
    if (outside_) {
      HRESULT hr = OwnSpoolLocked();
      if (FAILED(hr)) return hr;
      if (!spool_->Resize(static_cast<int64_t>(size.QuadPart))) {
        return core_->error().Set(MAPI_E_DISK_ERROR, std::string("cannot resize a temporary file: ") +
                                                         std::strerror(errno));
      }
    } else {
      data_.resize(static_cast<size_t>(size.QuadPart));
    }
    dirty_ = true;
    return S_OK;
  }
  HRESULT Commit(DWORD) override {
    if (!writable_) return MAPI_E_NO_ACCESS;
    std::lock_guard<std::mutex> lock(mu_);
    if (!dirty_) return S_OK;
    const uint16_t id = static_cast<uint16_t>(PROP_ID(tag_));
    HRESULT hr;
    if (outside_) {
      const int64_t size = spool_->size();
      std::string head(static_cast<size_t>(std::min<int64_t>(size, static_cast<int64_t>(kInlineLimit))), '\0');
      size_t got = 0;
      if (!spool_->ReadAt(0, head.data(), head.size(), &got) || got != head.size()) {
        return core_->error().Set(MAPI_E_DISK_ERROR, "cannot read back a temporary file");
      }
      if (size <= static_cast<int64_t>(kInlineLimit)) {
        hr = core_->WriteStored(id, MakeBinary(head));
      } else {
        LargeRef ref;
        ref.size = size;
        ref.spool = spool_;
        hr = core_->WriteLarge(id, PT_BINARY, std::move(head), std::move(ref));
        spool_shared_ = SUCCEEDED(hr);  // later writes go to a copy
      }
    } else {
      StoredProp value;
      value.type = PROP_TYPE(tag_);
      if (value.type == PT_UNICODE) {
        // The stream holds UTF-16LE; the store keeps UTF-8.
        value.data = Utf16ToUtf8(reinterpret_cast<const char16_t*>(data_.data()), data_.size() / 2);
      } else {
        value.data = data_;
      }
      hr = core_->WriteStored(id, std::move(value));
    }
    if (SUCCEEDED(hr)) dirty_ = false;
    return hr;
  }
  HRESULT Revert() override { return S_OK; }
  void MarkDirty() {
    std::lock_guard<std::mutex> lock(mu_);
    dirty_ = true;
  }
  HRESULT Stat(STATSTG* stat, DWORD) override {
    if (stat == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mu_);
    std::memset(stat, 0, sizeof(*stat));
    stat->type = 2;  // STGTY_STREAM
    stat->cbSize.QuadPart = static_cast<uint64_t>(SizeLocked());
    stat->grfMode = writable_ ? STGM_READWRITE : STGM_READ;
    return S_OK;
  }

 private:
  ~PropStream() override { owner_->Release(); }
  bool Supports(REFIID riid) const override { return SameIid(riid, IID_IStream); }

  int64_t SizeLocked() const {
    if (!outside_) return static_cast<int64_t>(data_.size());
    return spool_ ? spool_->size() : source_.size;
  }

  // Reads from pos_ into out: from the spool, or through a cache of one
  // chunk of the source (one database read per chunk).
  HRESULT ReadOutsideLocked(char* out, size_t n, size_t* got) {
    *got = 0;
    const int64_t pos = static_cast<int64_t>(pos_);
    if (spool_) {
      if (spool_->ReadAt(pos, out, n, got)) return S_OK;
      return core_->error().Set(MAPI_E_DISK_ERROR, "cannot read a temporary file");
    }
    if (pos >= source_.size) return S_OK;
    if (pos < cache_at_ || pos >= cache_at_ + static_cast<int64_t>(cache_.size())) {
      const int64_t at = pos - pos % static_cast<int64_t>(kChunkBytes);
      cache_.resize(static_cast<size_t>(std::min<int64_t>(kChunkBytes, source_.size - at)));
      size_t filled = 0;
      HRESULT hr = core_->ReadLargeRange(source_, static_cast<uint16_t>(PROP_ID(tag_)), at, cache_.data(),
                                         cache_.size(), &filled);
      cache_.resize(filled);
      cache_at_ = at;
      if (FAILED(hr)) return hr;
      if (pos >= at + static_cast<int64_t>(filled)) {
        return core_->error().Set(MAPI_E_CORRUPT_DATA, "the stored value ends before its size");
      }
    }
    const size_t off = static_cast<size_t>(pos - cache_at_);
    *got = std::min(n, cache_.size() - off);
    std::memcpy(out, cache_.data() + off, *got);
    return S_OK;
  }

  // Makes spool_ this stream's own before a change: a committed spool
  // belongs to the object too.
  HRESULT OwnSpoolLocked() {
    if (!spool_shared_) return S_OK;
    std::string err;
    std::shared_ptr<Spool> copy = spool_->Clone(&err);
    if (!copy) return core_->error().Set(MAPI_E_DISK_ERROR, err);
    spool_ = std::move(copy);
    spool_shared_ = false;
    return S_OK;
  }

  IUnknown* owner_;  // one reference held: core_ lives as long as owner_
  PropCore* core_;
  const ULONG tag_;
  const bool outside_ = false;  // the bytes are in source_ or spool_, not data_
  const LargeRef source_;       // read-only outside stream: the value read
  std::mutex mu_;
  std::string data_;            // guarded by mu_; in-memory stream
  std::shared_ptr<Spool> spool_;  // guarded by mu_; writable outside stream
  bool spool_shared_ = false;   // guarded by mu_; spool_ was handed to the object
  std::string cache_;           // guarded by mu_; bytes of source_ at cache_at_
  int64_t cache_at_ = 0;        // guarded by mu_
  size_t pos_ = 0;              // guarded by mu_
  bool dirty_ = false;          // guarded by mu_
  const bool writable_;
};

// A spool holding the current bytes of a binary value (copied a chunk at a
// time when it is kept outside).
HRESULT SpoolOf(PropCore* core, uint16_t id, const StoredProp* stored, const LargeRef* large,
                std::shared_ptr<Spool>* out) {
  std::string err;
  std::shared_ptr<Spool> spool = Spool::Create(&err);
  if (!spool) return core->error().Set(MAPI_E_DISK_ERROR, err);
  if (large != nullptr) {
    std::vector<char> buf(kChunkBytes);
    for (int64_t off = 0; off < large->size;) {
      size_t got = 0;
      HRESULT hr = core->ReadLargeRange(*large, id, off, buf.data(), buf.size(), &got);
      if (FAILED(hr)) return hr;
      if (got == 0) return core->error().Set(MAPI_E_CORRUPT_DATA, "the stored value ends before its size");
      if (!spool->WriteAt(off, buf.data(), got)) return core->error().Set(MAPI_E_DISK_ERROR, "cannot write a temporary file");
      off += static_cast<int64_t>(got);
    }
  } else if (stored != nullptr && !stored->data.empty()) {
    if (!spool->WriteAt(0, stored->data.data(), stored->data.size())) {
      return core->error().Set(MAPI_E_DISK_ERROR, "cannot write a temporary file");
    }
  }
  *out = std::move(spool);
  return S_OK;
}

}  // namespace

HRESULT OpenPropStream(IUnknown* owner, PropCore* core, ULONG tag, ULONG flags, IStream** out) {
  *out = nullptr;
  ULONG type = PROP_TYPE(tag);
  if (type != PT_BINARY && type != PT_STRING8 && type != PT_UNICODE) {
    return core->error().Set(MAPI_E_INVALID_TYPE, "only string and binary properties open as streams");
  }
  const uint16_t id = static_cast<uint16_t>(PROP_ID(tag));
  bool writable = (flags & (MAPI_MODIFY | MAPI_CREATE)) != 0;
  StoredProp stored;
  bool exists = false;
  LargeRef large;
  bool is_large = false;
  if ((flags & MAPI_CREATE) == 0) {
    exists = core->ReadStored(id, &stored);
    if (!exists && !writable) return core->error().Set(MAPI_E_NOT_FOUND, "the property does not exist");
    is_large = exists && stored.truncated;
    if (is_large && !core->FindLarge(id, &large)) {
      return core->error().Set(MAPI_E_CORRUPT_DATA, "the value's stored bytes are missing");
    }
  }
  PropStream* stream = nullptr;
  if (is_large || (type == PT_BINARY && writable && core->KeepsLargeOutside())) {
    std::shared_ptr<Spool> spool;
    if (writable) {
      HRESULT hr = SpoolOf(core, id, exists ? &stored : nullptr, is_large ? &large : nullptr, &spool);
      if (FAILED(hr)) return hr;
    }
    stream = new PropStream(owner, core, tag, std::move(large), std::move(spool));
  } else {
    std::string data;
    if (type == PT_UNICODE) {
      std::u16string w = Utf8ToUtf16(stored.data);
      data.assign(reinterpret_cast<const char*>(w.data()), w.size() * 2);
    } else {
      data = std::move(stored.data);
    }
    stream = new PropStream(owner, core, tag, std::move(data), writable);
  }
  // A created stream makes the property exist on Commit even when nothing
  // was written (an empty attachment).
  if ((flags & MAPI_CREATE) != 0) stream->MarkDirty();
  *out = stream;
  return S_OK;
}

// ---- PropCore ----

bool PropCore::Writable(uint16_t prop_id) const {
  // Computed properties are the object's own; everything else may be set.
  const auto& ids = ComputedIds();
  return std::find(ids.begin(), ids.end(), prop_id) == ids.end();
}

bool PropCore::ReadStored(uint16_t prop_id, StoredProp* out) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = props_.find(prop_id);
  if (it == props_.end()) return false;
  *out = it->second;
  return true;
}

HRESULT PropCore::WriteStored(uint16_t prop_id, StoredProp value) {
  std::lock_guard<std::mutex> lock(mu_);
  if (read_only_) return error_.Set(MAPI_E_NO_ACCESS, "the object was opened read-only");
  props_[prop_id] = std::move(value);
  large_.erase(prop_id);
  dirty_ = true;
  return Changed();
}

bool PropCore::FindLarge(uint16_t prop_id, LargeRef* out) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = large_.find(prop_id);
  if (it == large_.end()) return false;
  *out = it->second;
  return true;
}

HRESULT PropCore::WriteLarge(uint16_t prop_id, ULONG type, std::string prefix, LargeRef ref) {
  std::lock_guard<std::mutex> lock(mu_);
  if (read_only_) return error_.Set(MAPI_E_NO_ACCESS, "the object was opened read-only");
  StoredProp head;
  head.type = type;
  head.data = std::move(prefix);
  head.truncated = true;
  props_[prop_id] = std::move(head);
  large_[prop_id] = std::move(ref);
  dirty_ = true;
  return Changed();
}

HRESULT PropCore::ReadLargeRange(const LargeRef& ref, uint16_t prop_id, int64_t offset, void* buf, size_t n,
                                 size_t* got) {
  std::string err;
  HRESULT hr = ReadLarge(*store_->db, ref, prop_id, offset, buf, n, got, &err);
  if (FAILED(hr)) return error_.Set(hr, "cannot read the stored value: " + (err.empty() ? ResultText(hr) : err));
  return S_OK;
}

// The whole of a value kept as a prefix, for GetProps. REQUIRES: mu_ held.
HRESULT PropCore::LoadWholeLocked(uint16_t prop_id, const StoredProp& head, StoredProp* out) {
  auto it = large_.find(prop_id);
  if (it == large_.end()) return MAPI_E_CORRUPT_DATA;
  const LargeRef& ref = it->second;
  out->type = head.type;
  HRESULT hr = Guarded([&] {
    out->data.resize(static_cast<size_t>(ref.size));
    return S_OK;
  });
  if (FAILED(hr)) return MAPI_E_NOT_ENOUGH_MEMORY;
  for (int64_t off = 0; off < ref.size;) {
    size_t got = 0;
    std::string err;
    hr = ReadLarge(*store_->db, ref, prop_id, off, out->data.data() + off, static_cast<size_t>(ref.size - off),
                   &got, &err);
    if (FAILED(hr)) return hr;
    if (got == 0) return MAPI_E_CORRUPT_DATA;
    off += static_cast<int64_t>(got);
  }
  return S_OK;
}

HRESULT PropCore::GetPropsImpl(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) {
  if (count == nullptr || out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *count = 0;
  *out = nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ULONG> wanted;
  if (tags == nullptr) {
    for (auto& [id, v] : props_) wanted.push_back(PROP_TAG(v.type, id));
    StoredProp value;
    for (uint16_t id : ComputedIds()) {
      if (props_.count(id) == 0 && Computed(id, &value)) wanted.push_back(PROP_TAG(value.type, id));
    }
  } else {
    wanted.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
  }
  void* buf = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(std::max<size_t>(1, wanted.size()) * sizeof(SPropValue)),
                         &buf) != S_OK) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  auto* values = static_cast<SPropValue*>(buf);
  bool errors = false;
  for (size_t i = 0; i < wanted.size(); ++i) {
    ULONG tag = wanted[i];
    uint16_t id = static_cast<uint16_t>(PROP_ID(tag));
    StoredProp computed;
    const StoredProp* value = nullptr;
    HRESULT hr = S_OK;
    if (Computed(id, &computed)) {
      value = &computed;
    } else {
      auto it = props_.find(id);
      if (it != props_.end()) value = &it->second;
      if (value != nullptr && value->truncated) {
        hr = LoadWholeLocked(id, *value, &computed);
        value = &computed;
      }
    }
    if (SUCCEEDED(hr)) hr = value != nullptr ? DecodeProp(tag, *value, buf, &values[i]) : MAPI_E_NOT_FOUND;
    if (hr == MAPI_E_NOT_ENOUGH_MEMORY) {
      MAPIFreeBuffer(buf);
      return hr;
    }
    if (FAILED(hr)) {
      ErrorProp(tag, hr, &values[i]);
      errors = true;
    }
  }
  *count = static_cast<ULONG>(wanted.size());
  *out = values;
  (void)flags;
  return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT PropCore::GetPropListImpl(ULONG flags, LPSPropTagArray* out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ULONG> tags;
  for (auto& [id, v] : props_) tags.push_back(PROP_TAG(v.type, id));
  StoredProp value;
  for (uint16_t id : ComputedIds()) {
    if (props_.count(id) == 0 && Computed(id, &value)) tags.push_back(PROP_TAG(value.type, id));
  }
  (void)flags;
  return AllocTagArray(tags, out);
}

HRESULT PropCore::SetPropsImpl(ULONG n, LPSPropValue values, LPSPropProblemArray* problems) {
  if (problems) *problems = nullptr;
  if (n > 0 && values == nullptr) return MAPI_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(mu_);
  if (read_only_) return error_.Set(MAPI_E_NO_ACCESS, "the object was opened read-only");
  std::vector<SPropProblem> found;
  for (ULONG i = 0; i < n; ++i) {
    ULONG tag = values[i].ulPropTag;
    uint16_t id = static_cast<uint16_t>(PROP_ID(tag));
    StoredProp stored;
    HRESULT hr = !Writable(id) ? MAPI_E_COMPUTED : EncodeProp(values[i], &stored);
    if (FAILED(hr)) {
      found.push_back({i, tag, hr});
      continue;
    }
    props_[id] = std::move(stored);
    large_.erase(id);
  }
  dirty_ = true;
  HRESULT hr = Changed();
  if (FAILED(hr)) return hr;
  return MakeProblems(found, problems);
}

HRESULT PropCore::DeletePropsImpl(LPSPropTagArray tags, LPSPropProblemArray* problems) {
  if (problems) *problems = nullptr;
  if (tags == nullptr) return MAPI_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(mu_);
  if (read_only_) return error_.Set(MAPI_E_NO_ACCESS, "the object was opened read-only");
  std::vector<SPropProblem> found;
  for (ULONG i = 0; i < tags->cValues; ++i) {
    uint16_t id = static_cast<uint16_t>(PROP_ID(tags->aulPropTag[i]));
    if (!Writable(id)) {
      found.push_back({i, tags->aulPropTag[i], MAPI_E_COMPUTED});
      continue;
    }
    if (props_.erase(id) == 0) found.push_back({i, tags->aulPropTag[i], MAPI_E_NOT_FOUND});
    large_.erase(id);
  }
  dirty_ = true;
  HRESULT hr = Changed();
  if (FAILED(hr)) return hr;
  return MakeProblems(found, problems);
}

// ---- Named properties ----

HRESULT PropCore::GetIDsFromNamesImpl(ULONG n, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (n == 0 || names == nullptr) return error_.Set(MAPI_E_NO_SUPPORT, "listing every named property is not supported");
  bool create = (flags & MAPI_CREATE) != 0;
  std::vector<ULONG> tags(n, PROP_TAG(PT_ERROR, 0));
  bool errors = false;
  std::string err;
  const int64_t store_id = store_->info.id;
  auto resolve = [&](sqlite3* db, WriteTxn* txn) -> HRESULT {
    for (ULONG i = 0; i < n; ++i) {
      if (tags[i] != PROP_TAG(PT_ERROR, 0)) continue;
      const MAPINAMEID* name = names[i];
      if (name == nullptr || name->lpguid == nullptr ||
          (name->ulKind != MNID_ID && name->ulKind != MNID_STRING) ||
          (name->ulKind == MNID_STRING && name->Kind.lpwstrName == nullptr)) {
        continue;
      }
      std::string guid = GuidBytes(*name->lpguid);
      int64_t lid = name->ulKind == MNID_ID ? static_cast<uint32_t>(name->Kind.lID) : 0;
      std::string text;
      if (name->ulKind == MNID_STRING) {
        size_t len = 0;
        while (name->Kind.lpwstrName[len] != 0) ++len;
        text = Utf16ToUtf8(name->Kind.lpwstrName, len);
      }
      Stmt find(db,
                "SELECT prop_id FROM named_props WHERE store_id = ? AND guid = ? AND kind = ? AND "
                "lid = ? AND name = ?");
      find.Bind(1, store_id).BindBlob(2, guid).Bind(3, name->ulKind).Bind(4, lid).Bind(5, text);
      if (find.Step() == SQLITE_ROW) {
        tags[i] = PROP_TAG(PT_UNSPECIFIED, find.Int(0));
        continue;
      }
      if (txn == nullptr) continue;
      Stmt next(db, "SELECT COALESCE(MAX(prop_id), ?) + 1 FROM named_props WHERE store_id = ?");
      next.Bind(1, kFirstNamedId - 1).Bind(2, store_id);
      if (next.Step() != SQLITE_ROW) return MAPI_E_CALL_FAILED;
      int64_t id = next.Int(0);
      if (id > kLastNamedId) return MAPI_E_NOT_ENOUGH_RESOURCES;
      Stmt put(db,
               "INSERT INTO named_props(store_id, prop_id, guid, kind, lid, name) VALUES(?,?,?,?,?,?)");
      put.Bind(1, store_id).Bind(2, id).BindBlob(3, guid).Bind(4, name->ulKind).Bind(5, lid).Bind(6, text);
      if (put.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
      tags[i] = PROP_TAG(PT_UNSPECIFIED, id);
    }
    return S_OK;
  };
  // Look up first without taking the write lock; create only what is missing.
  HRESULT hr = store_->db->Read([&](sqlite3* db) { return resolve(db, nullptr); }, &err);
  bool missing = std::count(tags.begin(), tags.end(), PROP_TAG(PT_ERROR, 0)) > 0;
  if (SUCCEEDED(hr) && missing && create) {
    hr = store_->db->Write([&](WriteTxn& txn) { return resolve(txn.conn(), &txn); }, &err);
  }
  if (FAILED(hr)) return error_.Set(hr, "cannot resolve named properties: " + err);
  for (ULONG t : tags) errors = errors || t == PROP_TAG(PT_ERROR, 0);
  hr = AllocTagArray(tags, out);
  if (FAILED(hr)) return hr;
  return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT PropCore::GetNamesFromIDsImpl(LPSPropTagArray* tags, LPGUID guid, ULONG flags, ULONG* count,
                                      LPMAPINAMEID** out) {
  if (tags == nullptr || *tags == nullptr || count == nullptr || out == nullptr) {
    return error_.Set(MAPI_E_NO_SUPPORT, "listing every named property is not supported");
  }
  (void)guid;
  (void)flags;
  ULONG n = (*tags)->cValues;
  void* buf = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(std::max<ULONG>(1, n) * sizeof(LPMAPINAMEID)), &buf) != S_OK) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  auto* result = static_cast<LPMAPINAMEID*>(buf);
  bool errors = false;
  std::string err;
  HRESULT hr = store_->db->Read(
      [&](sqlite3* db) -> HRESULT {
        for (ULONG i = 0; i < n; ++i) {
          result[i] = nullptr;
          ULONG id = PROP_ID((*tags)->aulPropTag[i]);
          Stmt s(db, "SELECT guid, kind, lid, name FROM named_props WHERE store_id = ? AND prop_id = ?");
          s.Bind(1, store_->info.id).Bind(2, id);
          if (s.Step() != SQLITE_ROW) {
            errors = true;
            continue;
          }
          void* mem = nullptr;
          if (MAPIAllocateMore(sizeof(MAPINAMEID) + sizeof(GUID), buf, &mem) != S_OK) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
          }
          auto* nid = static_cast<MAPINAMEID*>(mem);
          nid->lpguid = reinterpret_cast<GUID*>(static_cast<char*>(mem) + sizeof(MAPINAMEID));
          GuidFromBytes(s.Blob(0), nid->lpguid);
          nid->ulKind = static_cast<ULONG>(s.Int(1));
          if (nid->ulKind == MNID_ID) {
            nid->Kind.lID = static_cast<LONG>(s.Int(2));
          } else {
            std::u16string w = Utf8ToUtf16(s.Text(3));
            void* text = nullptr;
            if (MAPIAllocateMore(static_cast<ULONG>((w.size() + 1) * 2), buf, &text) != S_OK) {
              return MAPI_E_NOT_ENOUGH_MEMORY;
            }
            std::memcpy(text, w.c_str(), (w.size() + 1) * 2);
            nid->Kind.lpwstrName = static_cast<LPWSTR>(text);
          }
          result[i] = nid;
        }
        return S_OK;
      },
      &err);
  if (FAILED(hr)) {
    MAPIFreeBuffer(buf);
    return error_.Set(hr, "cannot read named properties: " + err);
  }
  *count = n;
  *out = result;
  return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

}  // namespace zuvstore
