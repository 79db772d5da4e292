// zuv_row.h: one cached row of a folder table, immutable once built.
//
// A row is one allocation: a 16-byte header, the end offset of each cell's
// bytes (16-bit when the bytes fit, else 32-bit), then the bytes
// themselves, the key's first, then the other cells' in tag order: numbers (4 bytes for PT_I2, PT_LONG and PT_BOOLEAN, 8 for
// the rest), strings, binaries, and multi-valued strings as a 32-bit count
// and NUL-ended strings. The cells' tags, in ascending order, are a schema
// shared by every row with the same tags (rows of one table mostly have
// one): interned once for the process and never freed, up to a bound past
// which a row carries its tags in its own allocation. A contents row holds
// its key (PR_LONGTERM_ENTRYID_FROM_TABLE) as the entry ID's bytes; it
// becomes uppercase hexadecimal only when read as text. A PR_INSTANCE_KEY
// that repeats the key's last bytes is held as their count. Rows are shared by
// counted references (ZUV_RowRef); a table swaps a merged row in as a new
// row, so a reader holding a reference keeps seeing the values it took.
//
// A row built by a table fill takes its memory from the fill's arena
// (ZUV_RowArena) and records so; every other row is one operator new.
//
// Threading: a built row is never written; references may be copied and
// dropped on any thread (the count is atomic). Schemas are interned under
// a process-wide lock taken only when a thread builds a row whose tags
// differ from its previous row's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mapi/mapix.h"

inline constexpr ULONG kRowKeyTag = 0x66700102;     // PR_LONGTERM_ENTRYID_FROM_TABLE
inline constexpr ULONG kAttachNumTag = 0x0E210003;  // PR_ATTACH_NUM
inline constexpr ULONG kInstanceKeyTag = 0x0FF60102;  // PR_INSTANCE_KEY

// True for the tags a table keeps: the two key tags, and the types
// PT_I2, PT_LONG, PT_BOOLEAN, PT_I8, PT_STRING8, PT_UNICODE, PT_SYSTIME,
// PT_BINARY and PT_MV_STRING8.
bool IsSupportedProperty(ULONG tag);

// A row key as stored: entry-ID bytes (binary) or text. Keys order as
// their text forms do, byte-wise (uppercase hexadecimal for binary keys,
// which is the order of the bytes themselves).
struct ZUV_RowKey {
  std::string_view bytes;
  bool binary = false;
};

// <0, 0, >0 as a's text form sorts before, equal to or after b's.
int CompareRowKeys(ZUV_RowKey a, ZUV_RowKey b);

// The stored form of a key given as text: an even run of uppercase hex
// digits becomes its bytes (in *storage), anything else stays text.
ZUV_RowKey RowKeyFromText(std::string_view text, std::string* storage);

// Appends the uppercase hexadecimal form of bytes.
void AppendHex(std::string_view bytes, std::string* out);
// Writes it at out (2 characters a byte); returns the end.
char* WriteHex(std::string_view bytes, char* out);

// One value of a row. Numbers (PT_I2, PT_LONG, PT_BOOLEAN, PT_I8) in
// number, PT_SYSTIME in time; PT_STRING8, PT_UNICODE (held as UTF-8) and
// PT_BINARY in bytes; PT_MV_STRING8 in bytes as the strings each followed
// by a NUL, count strings. The key tags hold their key in bytes: the entry
// ID's bytes when binary_key is set (write them as hex), else the text.
struct ZUV_CellView {
  ULONG tag = 0;
  int64_t number = 0;
  FILETIME time{};
  std::string_view bytes;
  uint32_t count = 0;
  bool binary_key = false;
};

class ZUV_Row;
class ZUV_RowArena;

// A counted reference to a row; null or one row.
class ZUV_RowRef {
 public:
  ZUV_RowRef() = default;
  ZUV_RowRef(const ZUV_RowRef& other);
  ZUV_RowRef(ZUV_RowRef&& other) noexcept : row_(other.row_) { other.row_ = nullptr; }
  ZUV_RowRef& operator=(ZUV_RowRef other) noexcept {
    std::swap(row_, other.row_);
    return *this;
  }
  ~ZUV_RowRef();

  const ZUV_Row* get() const { return row_; }
  const ZUV_Row* operator->() const { return row_; }
  const ZUV_Row& operator*() const { return *row_; }
  explicit operator bool() const { return row_ != nullptr; }

 private:
  friend class ZUV_RowBuilder;
  explicit ZUV_RowRef(ZUV_Row* row) : row_(row) {}
  ZUV_Row* row_ = nullptr;
};

class ZUV_Row {
 public:
  ZUV_Row(const ZUV_Row&) = delete;
  ZUV_Row& operator=(const ZUV_Row&) = delete;

  size_t Count() const { return schema_->count; }
  ULONG TagAt(size_t i) const { return Tags()[i]; }
  // The tags in ascending order; Count() of them.
  const ULONG* TagList() const { return Tags(); }
  // True when the tag list is the process's interned one, shared by rows
  // with the same tags and never freed: its address names it.
  bool TagListInterned() const { return (meta_ & kOwnSchema) == 0; }
  ZUV_CellView At(size_t i) const;
  // The value under tag; false when the row has none.
  bool Find(ULONG tag, ZUV_CellView* out) const;
  // The key as stored (PR_LONGTERM_ENTRYID_FROM_TABLE, else PR_ATTACH_NUM);
  // empty text when the row has neither.
  ZUV_RowKey KeyView() const;
  // The key's text: uppercase hexadecimal of a binary key.
  std::string Key() const;
  void AppendKeyText(std::string* out) const;
  // True when the key's text equals text, without building it.
  bool KeyEquals(std::string_view text) const;
  // Bytes of the allocation behind the row.
  size_t AllocatedBytes() const;
  // True when the row's memory is in an arena chunk.
  bool InArena() const { return (meta_ & kArenaMemory) != 0; }

 private:
  friend class ZUV_RowBuilder;
  friend class ZUV_RowRef;
  static constexpr uint32_t kNoKey = 0xFFFFFF;
  static constexpr uint32_t kWideEnds = 1u << 24;
  static constexpr uint32_t kBinaryKey = 1u << 25;
  static constexpr uint32_t kOwnSchema = 1u << 26;  // tags in the row's own allocation
  // PR_INSTANCE_KEY is the binary key's last bytes: its cell holds only
  // their count.
  static constexpr uint32_t kInstanceInKey = 1u << 27;
  static constexpr uint32_t kArenaMemory = 1u << 28;  // freed through ZUV_RowArena

 public:
  // The tags of a row: count, then the tags in ascending order.
  struct Schema {
    uint32_t count;
    uint32_t unused;
    const ULONG* Tags() const { return reinterpret_cast<const ULONG*>(this + 1); }
  };

 private:
  ZUV_Row() = default;
  const ULONG* Tags() const { return schema_->Tags(); }
  size_t OwnSchemaBytes() const {
    return (meta_ & kOwnSchema) != 0 ? sizeof(Schema) + schema_->count * sizeof(ULONG) : 0;
  }
  const unsigned char* Ends() const {
    return reinterpret_cast<const unsigned char*>(this + 1) + OwnSchemaBytes();
  }
  size_t EndWidth() const { return (meta_ & kWideEnds) != 0 ? 4 : 2; }
  size_t EndAt(size_t i) const;
  const char* Pool() const { return reinterpret_cast<const char*>(Ends() + EndWidth() * schema_->count); }
  // Pool bytes before cell i's.
  size_t PoolBefore(size_t i) const;
  std::string_view BytesAt(size_t i) const;
  size_t KeyCell() const { return meta_ & kNoKey; }

  mutable std::atomic<uint32_t> refs_{1};
  uint32_t meta_ = kNoKey;  // key cell index and the flags above
  const Schema* schema_ = nullptr;
};
static_assert(sizeof(ZUV_Row) == 16, "row header");

// Inline: the writers of responses call these for every cell.
inline size_t ZUV_Row::EndAt(size_t i) const {
  const unsigned char* p = Ends() + i * EndWidth();
  if ((meta_ & kWideEnds) != 0) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  }
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

// The pool holds the key cell's bytes first (next to the header, for the
// index's comparisons), then the other cells' in tag order.
inline size_t ZUV_Row::PoolBefore(size_t i) const {
  const size_t k = KeyCell();
  if (i == k) return 0;
  if (i >= 1 && i - 1 != k) return EndAt(i - 1);
  if (i >= 2) return EndAt(i - 2);  // i - 1 is the key cell
  return k < schema_->count ? EndAt(k) : 0;
}

inline std::string_view ZUV_Row::BytesAt(size_t i) const {
  const size_t begin = PoolBefore(i);
  const std::string_view bytes(Pool() + begin, EndAt(i) - begin);
  if ((meta_ & kInstanceInKey) != 0 && Tags()[i] == kInstanceKeyTag && bytes.size() == 1) {
    const size_t k = KeyCell();
    const size_t keyEnd = EndAt(k);
    const size_t n = static_cast<unsigned char>(bytes[0]);
    return std::string_view(Pool() + keyEnd - n, n);
  }
  return bytes;
}

// Collects values and builds one row. Later values under the same tag
// replace earlier ones.
class ZUV_RowBuilder {
 public:
  void AddNumber(ULONG tag, int64_t value);
  void AddTime(ULONG tag, FILETIME value);
  // PT_STRING8, PT_UNICODE (UTF-8 text), PT_BINARY and the key tags. A
  // PR_LONGTERM_ENTRYID_FROM_TABLE key given as uppercase hex is kept as
  // its bytes.
  void AddBytes(ULONG tag, std::string_view bytes);
  // The PR_LONGTERM_ENTRYID_FROM_TABLE key as the entry ID's bytes.
  void AddBinaryKey(std::string_view entryID);
  void AddStrings(ULONG tag, const std::vector<std::string_view>& strings);
  // Takes every value of row whose tag this builder does not hold yet.
  void AddMissingFrom(const ZUV_Row& row);
  bool Has(ULONG tag) const;
  size_t Size() const { return cells_.size(); }
  // Empties the builder, keeping its buffers for the next row.
  void Clear() {
    cells_.clear();
    bytes_.clear();
  }
  // The row, in ascending tag order.
  ZUV_RowRef Build() const { return Build(nullptr); }
  // The same, its memory from arena when given and the row small enough.
  ZUV_RowRef Build(ZUV_RowArena* arena) const;

 private:
  struct Pending {
    ULONG tag;
    bool binary_key;
    uint32_t offset;  // in bytes_
    uint32_t length;
  };
  Pending& Slot(ULONG tag);
  void Put(ULONG tag, const void* data, size_t length, bool binaryKey = false);
  std::vector<Pending> cells_;
  std::string bytes_;  // the cells' bytes; replaced values stay unused
};
