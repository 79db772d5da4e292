// zuv_row.cpp: compact immutable rows, their keys and their builder.
#include "table/zuv_row.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include "base/thread_annotations.h"
#include "mapi/mapitags.h"
#include "table/zuv_row_arena.h"

bool IsSupportedProperty(ULONG tag) {
  if (tag == kRowKeyTag || tag == kAttachNumTag) return true;
  switch (PROP_TYPE(tag)) {
    case PT_I2:
    case PT_LONG:
    case PT_BOOLEAN:
    case PT_I8:
    case PT_STRING8:
    case PT_UNICODE:
    case PT_SYSTIME:
    case PT_BINARY:
    case PT_MV_STRING8:
      return true;
    default:
      return false;
  }
}

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Types whose value is a run of bytes in the pool.
bool HoldsBytes(ULONG tag) {
  if (tag == kRowKeyTag || tag == kAttachNumTag) return true;
  const ULONG type = PROP_TYPE(tag);
  return type == PT_STRING8 || type == PT_UNICODE || type == PT_BINARY || type == PT_MV_STRING8;
}

// Numbers held in 4 bytes; the other numbers take 8.
bool HoldsShortNumber(ULONG tag) {
  const ULONG type = PROP_TYPE(tag);
  return type == PT_I2 || type == PT_LONG || type == PT_BOOLEAN;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Character i of a key's text form.
char KeyChar(ZUV_RowKey k, size_t i) {
  if (!k.binary) return k.bytes[i];
  const auto b = static_cast<unsigned char>(k.bytes[i / 2]);
  return kHexDigits[(i % 2 == 0) ? b >> 4 : b & 15];
}

// ---- Schemas ----

// Interned schemas are never freed: their number and size are bounded.
constexpr size_t kMaxSchemas = 4096;
constexpr size_t kMaxSchemaTags = 256;

struct SchemaTable {
  zuv::Mutex mu;
  // Keyed by the bytes of the tag array.
  std::unordered_map<std::string, const ZUV_Row::Schema*> schemas ZUV_GUARDED_BY(mu);
};

// The interned schema of tags; null past the bounds.
const ZUV_Row::Schema* InternSchema(const ULONG* tags, size_t n) {
  // Rows built in a row mostly share their tags.
  thread_local const ZUV_Row::Schema* last = nullptr;
  if (last != nullptr && last->count == n && (n == 0 || std::memcmp(last->Tags(), tags, n * sizeof(ULONG)) == 0)) {
    return last;
  }
  if (n > kMaxSchemaTags) return nullptr;
  static SchemaTable* table = new SchemaTable;
  std::string key(reinterpret_cast<const char*>(tags), n * sizeof(ULONG));
  zuv::MutexLock lock(table->mu);
  auto it = table->schemas.find(key);
  if (it == table->schemas.end()) {
    if (table->schemas.size() >= kMaxSchemas) return nullptr;
    void* memory = ::operator new(sizeof(ZUV_Row::Schema) + n * sizeof(ULONG));
    auto* schema = new (memory) ZUV_Row::Schema{static_cast<uint32_t>(n), 0};
    if (n > 0) std::memcpy(const_cast<ULONG*>(schema->Tags()), tags, n * sizeof(ULONG));
    it = table->schemas.emplace(std::move(key), schema).first;
  }
  last = it->second;
  return last;
}

}  // namespace

// ---- Keys ----

int CompareRowKeys(ZUV_RowKey a, ZUV_RowKey b) {
  if (a.binary == b.binary) {
    // Hex text orders as its bytes do.
    const size_t n = std::min(a.bytes.size(), b.bytes.size());
    const int c = n == 0 ? 0 : std::memcmp(a.bytes.data(), b.bytes.data(), n);
    if (c != 0) return c;
    return a.bytes.size() < b.bytes.size() ? -1 : (a.bytes.size() > b.bytes.size() ? 1 : 0);
  }
  const size_t la = a.binary ? a.bytes.size() * 2 : a.bytes.size();
  const size_t lb = b.binary ? b.bytes.size() * 2 : b.bytes.size();
  for (size_t i = 0; i < la && i < lb; ++i) {
    const auto ca = static_cast<unsigned char>(KeyChar(a, i));
    const auto cb = static_cast<unsigned char>(KeyChar(b, i));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return la < lb ? -1 : (la > lb ? 1 : 0);
}

ZUV_RowKey RowKeyFromText(std::string_view text, std::string* storage) {
  if (text.empty() || text.size() % 2 != 0) return ZUV_RowKey{text, false};
  storage->resize(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexValue(text[i]);
    const int lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return ZUV_RowKey{text, false};
    (*storage)[i / 2] = static_cast<char>(hi << 4 | lo);
  }
  return ZUV_RowKey{*storage, true};
}

namespace {

// The two hex digits of each byte value.
struct HexPairs {
  char pairs[256][2] = {};
  constexpr HexPairs() {
    for (int b = 0; b < 256; ++b) {
      pairs[b][0] = kHexDigits[b >> 4];
      pairs[b][1] = kHexDigits[b & 15];
    }
  }
};
constexpr HexPairs kHexPairs;

}  // namespace

char* WriteHex(std::string_view bytes, char* out) {
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
#if defined(__SSE2__)
  // 16 bytes at a time: each nibble plus '0', plus 7 more past 9.
  const __m128i low4 = _mm_set1_epi8(0x0F);
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i seven = _mm_set1_epi8(7);
  auto digits = [&](__m128i n) { return _mm_add_epi8(_mm_add_epi8(n, zero), _mm_and_si128(_mm_cmpgt_epi8(n, nine), seven)); };
  for (; end - p >= 16; p += 16, out += 32) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = digits(_mm_and_si128(_mm_srli_epi16(v, 4), low4));
    const __m128i lo = digits(_mm_and_si128(v, low4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(hi, lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(hi, lo));
  }
#endif
  for (; p < end; ++p) {
    const unsigned char b = static_cast<unsigned char>(*p);
    std::memcpy(out, kHexPairs.pairs[b], 2);
    out += 2;
  }
  return out;
}

void AppendHex(std::string_view bytes, std::string* out) {
  const size_t at = out->size();
  out->resize(at + bytes.size() * 2);
  WriteHex(bytes, out->data() + at);
}

// ---- References ----

ZUV_RowRef::ZUV_RowRef(const ZUV_RowRef& other) : row_(other.row_) {
  if (row_ != nullptr) row_->refs_.fetch_add(1, std::memory_order_relaxed);
}

ZUV_RowRef::~ZUV_RowRef() {
  if (row_ != nullptr && row_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    if (row_->InArena()) {
      const size_t bytes = row_->AllocatedBytes();
      row_->~ZUV_Row();
      ZUV_RowArena::Free(row_, bytes);
      return;
    }
    row_->~ZUV_Row();
    ::operator delete(static_cast<void*>(row_));
  }
}

// ---- Reading ----

size_t ZUV_Row::AllocatedBytes() const {
  const size_t n = schema_->count;
  return sizeof(ZUV_Row) + OwnSchemaBytes() + n * EndWidth() + (n == 0 ? 0 : PoolBefore(n));
}

ZUV_CellView ZUV_Row::At(size_t i) const {
  const ULONG tag = Tags()[i];
  const std::string_view b = BytesAt(i);
  ZUV_CellView v;
  v.tag = tag;
  if (tag == kRowKeyTag || tag == kAttachNumTag) {
    v.bytes = b;
    v.binary_key = i == KeyCell() && (meta_ & kBinaryKey) != 0;
  } else if (PROP_TYPE(tag) == PT_MV_STRING8) {
    if (b.size() >= 4) {
      std::memcpy(&v.count, b.data(), 4);
      v.bytes = b.substr(4);
    }
  } else if (HoldsBytes(tag)) {
    v.bytes = b;
  } else if (b.size() == 4) {
    int32_t n;
    std::memcpy(&n, b.data(), 4);
    v.number = n;
  } else if (b.size() == 8) {
    uint64_t n;
    std::memcpy(&n, b.data(), 8);
    if (PROP_TYPE(tag) == PT_SYSTIME) {
      v.time.dwHighDateTime = static_cast<DWORD>(n >> 32);
      v.time.dwLowDateTime = static_cast<DWORD>(n & 0xFFFFFFFFu);
    } else {
      v.number = static_cast<int64_t>(n);
    }
  }
  return v;
}

bool ZUV_Row::Find(ULONG tag, ZUV_CellView* out) const {
  const ULONG* begin = Tags();
  const ULONG* end = begin + schema_->count;
  const ULONG* it = std::lower_bound(begin, end, tag);
  if (it == end || *it != tag) return false;
  if (out != nullptr) *out = At(static_cast<size_t>(it - begin));
  return true;
}

ZUV_RowKey ZUV_Row::KeyView() const {
  if (KeyCell() >= schema_->count) return {};
  return ZUV_RowKey{BytesAt(KeyCell()), (meta_ & kBinaryKey) != 0};
}

std::string ZUV_Row::Key() const {
  std::string text;
  AppendKeyText(&text);
  return text;
}

void ZUV_Row::AppendKeyText(std::string* out) const {
  const ZUV_RowKey k = KeyView();
  if (k.binary) {
    AppendHex(k.bytes, out);
  } else {
    out->append(k.bytes);
  }
}

bool ZUV_Row::KeyEquals(std::string_view text) const {
  const ZUV_RowKey k = KeyView();
  if (!k.binary) return k.bytes == text;
  if (text.size() != k.bytes.size() * 2) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (KeyChar(k, i) != text[i]) return false;
  }
  return true;
}

// ---- Building ----

ZUV_RowBuilder::Pending& ZUV_RowBuilder::Slot(ULONG tag) {
  for (Pending& p : cells_) {
    if (p.tag == tag) return p;
  }
  cells_.push_back(Pending{tag, false, 0, 0});
  return cells_.back();
}

void ZUV_RowBuilder::Put(ULONG tag, const void* data, size_t length, bool binaryKey) {
  Pending& p = Slot(tag);
  p.binary_key = binaryKey;
  p.offset = static_cast<uint32_t>(bytes_.size());
  p.length = static_cast<uint32_t>(length);
  if (length > 0) bytes_.append(static_cast<const char*>(data), length);
}

void ZUV_RowBuilder::AddNumber(ULONG tag, int64_t value) {
  if (HoldsShortNumber(tag)) {
    const auto n = static_cast<int32_t>(value);
    Put(tag, &n, 4);
  } else {
    Put(tag, &value, 8);
  }
}

void ZUV_RowBuilder::AddTime(ULONG tag, FILETIME value) {
  const uint64_t n = static_cast<uint64_t>(value.dwHighDateTime) << 32 | value.dwLowDateTime;
  Put(tag, &n, 8);
}

void ZUV_RowBuilder::AddBytes(ULONG tag, std::string_view bytes) {
  if (tag == kRowKeyTag) {
    std::string storage;
    const ZUV_RowKey k = RowKeyFromText(bytes, &storage);
    Put(tag, k.bytes.data(), k.bytes.size(), k.binary);
    return;
  }
  Put(tag, bytes.data(), bytes.size());
}

void ZUV_RowBuilder::AddBinaryKey(std::string_view entryID) {
  Put(kRowKeyTag, entryID.data(), entryID.size(), !entryID.empty());
}

void ZUV_RowBuilder::AddStrings(ULONG tag, const std::vector<std::string_view>& strings) {
  std::string joined;
  const auto count = static_cast<uint32_t>(strings.size());
  joined.append(reinterpret_cast<const char*>(&count), 4);
  for (std::string_view s : strings) {
    joined.append(s.substr(0, s.find('\0')));
    joined.push_back('\0');
  }
  Put(tag, joined.data(), joined.size());
}

bool ZUV_RowBuilder::Has(ULONG tag) const {
  return std::any_of(cells_.begin(), cells_.end(), [tag](const Pending& p) { return p.tag == tag; });
}

void ZUV_RowBuilder::AddMissingFrom(const ZUV_Row& row) {
  for (size_t i = 0; i < row.Count(); ++i) {
    const ULONG tag = row.TagAt(i);
    if (Has(tag)) continue;
    const std::string_view b = row.BytesAt(i);
    Put(tag, b.data(), b.size(), i == row.KeyCell() && (row.meta_ & ZUV_Row::kBinaryKey) != 0);
  }
}

ZUV_RowRef ZUV_RowBuilder::Build(ZUV_RowArena* arena) const {
  // Small rows sort in place on the stack.
  const Pending* stackOrder[32];
  std::vector<const Pending*> heapOrder;
  const Pending** order = stackOrder;
  if (cells_.size() > 32) {
    heapOrder.resize(cells_.size());
    order = heapOrder.data();
  }
  size_t pool = 0;
  for (size_t i = 0; i < cells_.size(); ++i) {
    order[i] = &cells_[i];
    pool += cells_[i].length;
  }
  const size_t n = cells_.size();
  std::sort(order, order + n, [](const Pending* a, const Pending* b) { return a->tag < b->tag; });

  // The entry ID is the key when the row has one, else the attachment number.
  size_t keyCell = ZUV_Row::kNoKey;
  bool binaryKey = false;
  for (size_t i = 0; i < n && i < ZUV_Row::kNoKey; ++i) {
    if (order[i]->tag == kRowKeyTag) {
      keyCell = i;
      binaryKey = order[i]->binary_key;
    } else if (order[i]->tag == kAttachNumTag && keyCell == ZUV_Row::kNoKey) {
      keyCell = i;
    }
  }
  // A PR_INSTANCE_KEY equal to the binary key's last bytes keeps their count.
  size_t instanceCell = ZUV_Row::kNoKey;
  if (binaryKey) {
    const Pending& key = *order[keyCell];
    for (size_t i = 0; i < n; ++i) {
      if (order[i]->tag != kInstanceKeyTag) continue;
      const Pending& inst = *order[i];
      if (inst.length > 1 && inst.length < 256 && inst.length <= key.length &&
          std::memcmp(bytes_.data() + inst.offset, bytes_.data() + key.offset + key.length - inst.length,
                      inst.length) == 0) {
        instanceCell = i;
        pool -= inst.length - 1;
      }
      break;
    }
  }

  ULONG sortedTags[32];
  std::vector<ULONG> heapTags;
  ULONG* tagList = sortedTags;
  if (n > 32) {
    heapTags.resize(n);
    tagList = heapTags.data();
  }
  for (size_t i = 0; i < n; ++i) tagList[i] = order[i]->tag;
  const ZUV_Row::Schema* schema = InternSchema(tagList, n);
  const size_t ownSchema = schema == nullptr ? sizeof(ZUV_Row::Schema) + n * sizeof(ULONG) : 0;

  const bool wide = pool > 0xFFFF;
  const size_t endWidth = wide ? 4 : 2;
  const size_t bytes = sizeof(ZUV_Row) + ownSchema + n * endWidth + pool;
  void* memory = arena != nullptr ? arena->Allocate(bytes) : nullptr;
  const bool inArena = memory != nullptr;
  if (!inArena) memory = ::operator new(bytes);
  auto* row = new (memory) ZUV_Row();
  row->meta_ = static_cast<uint32_t>(keyCell) | (wide ? ZUV_Row::kWideEnds : 0) |
               (binaryKey ? ZUV_Row::kBinaryKey : 0) | (instanceCell < n ? ZUV_Row::kInstanceInKey : 0) |
               (inArena ? ZUV_Row::kArenaMemory : 0);
  if (schema == nullptr) {
    // Tags of its own, right after the header.
    auto* own = new (row + 1) ZUV_Row::Schema{static_cast<uint32_t>(n), 0};
    if (n > 0) std::memcpy(const_cast<ULONG*>(own->Tags()), tagList, n * sizeof(ULONG));
    schema = own;
    row->meta_ |= ZUV_Row::kOwnSchema;
  }
  row->schema_ = schema;
  auto* ends = reinterpret_cast<unsigned char*>(row + 1) + ownSchema;
  char* out = reinterpret_cast<char*>(ends + n * endWidth);
  // The key's bytes first, then the rest in tag order.
  size_t offset = 0;
  auto place = [&](size_t i) {
    const Pending& p = *order[i];
    if (i == instanceCell) {
      out[offset++] = static_cast<char>(p.length);
    } else {
      if (p.length > 0) std::memcpy(out + offset, bytes_.data() + p.offset, p.length);
      offset += p.length;
    }
    if (wide) {
      const auto e = static_cast<uint32_t>(offset);
      std::memcpy(ends + i * 4, &e, 4);
    } else {
      const auto e = static_cast<uint16_t>(offset);
      std::memcpy(ends + i * 2, &e, 2);
    }
  };
  if (keyCell < n) place(keyCell);
  for (size_t i = 0; i < n; ++i) {
    if (i != keyCell) place(i);
  }
  return ZUV_RowRef(row);
}
