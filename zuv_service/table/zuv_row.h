// zuv_row.h: one cached row of a folder table, immutable once built.
//
// A row is one allocation: a header, its cells in ascending tag order, then
// the bytes of its strings and binaries. Rows are shared by counted
// references (ZUV_RowRef); a table swaps a merged row in as a new row, so a
// reader holding a reference keeps seeing the values it took.
//
// Threading: a built row is never written; references may be copied and
// dropped on any thread (the count is atomic).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/mapix.h"

inline constexpr ULONG kRowKeyTag = 0x66700102;     // PR_LONGTERM_ENTRYID_FROM_TABLE
inline constexpr ULONG kAttachNumTag = 0x0E210003;  // PR_ATTACH_NUM
inline constexpr ULONG kInstanceKeyTag = 0x0FF60102;  // PR_INSTANCE_KEY

// True for the tags a table keeps: the two key tags, and the types
// PT_I2, PT_LONG, PT_BOOLEAN, PT_I8, PT_STRING8, PT_UNICODE, PT_SYSTIME,
// PT_BINARY and PT_MV_STRING8.
bool IsSupportedProperty(ULONG tag);

// One value of a row. Numbers (PT_I2, PT_LONG, PT_BOOLEAN, PT_I8) in
// number, PT_SYSTIME in time; PT_STRING8 and PT_UNICODE (held as UTF-8) and
// PT_BINARY in bytes; PT_MV_STRING8 in bytes as the strings each followed
// by a NUL, count strings. The key tags hold their text in bytes.
struct ZUV_CellView {
  ULONG tag = 0;
  int64_t number = 0;
  FILETIME time{};
  std::string_view bytes;
  uint32_t count = 0;
};

class ZUV_Row;

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

  size_t Count() const { return count_; }
  ULONG TagAt(size_t i) const { return Cells()[i].tag; }
  ZUV_CellView At(size_t i) const;
  // The value under tag; false when the row has none.
  bool Find(ULONG tag, ZUV_CellView* out) const;
  // The text of the key column (PR_LONGTERM_ENTRYID_FROM_TABLE, else
  // PR_ATTACH_NUM); "" when the row has neither.
  std::string_view Key() const;
  // Bytes of the allocation behind the row.
  size_t AllocatedBytes() const { return allocated_; }

 private:
  friend class ZUV_RowBuilder;
  friend class ZUV_RowRef;
  struct Cell {
    ULONG tag;
    uint32_t length;  // bytes of the value; strings count for PT_MV_STRING8
    uint64_t data;    // number, FILETIME, or offset of the bytes
  };
  ZUV_Row() = default;
  const Cell* Cells() const { return reinterpret_cast<const Cell*>(this + 1); }
  Cell* Cells() { return reinterpret_cast<Cell*>(this + 1); }
  const char* Pool() const { return reinterpret_cast<const char*>(Cells() + count_); }

  mutable std::atomic<uint32_t> refs_{1};
  uint32_t count_ = 0;
  size_t allocated_ = 0;
};

// Collects values and builds one row. Later values under the same tag
// replace earlier ones.
class ZUV_RowBuilder {
 public:
  void AddNumber(ULONG tag, int64_t value);
  void AddTime(ULONG tag, FILETIME value);
  // PT_STRING8, PT_UNICODE (UTF-8 text), PT_BINARY and the key tags.
  void AddBytes(ULONG tag, std::string_view bytes);
  void AddStrings(ULONG tag, const std::vector<std::string_view>& strings);
  // Takes every value of row whose tag this builder does not hold yet.
  void AddMissingFrom(const ZUV_Row& row);
  bool Has(ULONG tag) const;
  size_t Size() const { return cells_.size(); }
  // The row, in ascending tag order.
  ZUV_RowRef Build() const;

 private:
  struct Pending {
    ULONG tag;
    uint32_t length;
    uint64_t data;
    std::string bytes;
  };
  Pending& Slot(ULONG tag);
  std::vector<Pending> cells_;
};
