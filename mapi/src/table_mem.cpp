// table_mem.cpp: an IMAPITable over rows held in memory.
//
// The rows are fixed at creation. The table keeps a view: the indices of
// the rows that pass the restriction, in sort order. The cursor is a
// position in that view, from 0 (before the first row) to the view's size
// (after the last). Restrict and SortTable rebuild the view and move the
// cursor to the beginning.
//
// QueryRows reads forwards only: a count <= 0 is MAPI_E_INVALID_PARAMETER.
// (MAPI lets a negative count read backwards; nothing here needs it.)
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "com.h"
#include "propval.h"
#include "tables.h"

namespace zuvstore {
namespace {

constexpr ULONG kTableStatusComplete = 0;  // TBLSTAT_COMPLETE
constexpr ULONG kTableTypeSnapshot = 0;    // TBLTYPE_SNAPSHOT
constexpr size_t kRowStringChars = 255;

// The first value in row with prop_id, whatever its type; nullptr if none.
const StoredProp* FindValue(const MemRow& row, uint16_t prop_id) {
  for (const auto& [tag, value] : row.values) {
    if (PROP_ID(tag) == prop_id) return &value;
  }
  return nullptr;
}

class RowSource final : public PropSource {
 public:
  explicit RowSource(const MemRow& row) : row_(row) {}
  const StoredProp* Find(uint16_t prop_id) const override { return FindValue(row_, prop_id); }

 private:
  const MemRow& row_;
};

class MemTable final : public ComObject<IMAPITable> {
 public:
  MemTable(std::vector<MemRow> rows, std::vector<ULONG> columns)
      : rows_(std::move(rows)), columns_(std::move(columns)) {
    RebuildView();
  }

  // IMAPITable
  HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
    return error_.Get(hResult, ulFlags, lppMAPIError);
  }
  HRESULT Advise(ULONG, LPMAPIADVISESINK, ULONG* lpulConnection) override {
    if (lpulConnection != nullptr) *lpulConnection = 0;
    return error_.Set(MAPI_E_NO_SUPPORT, "a memory table sends no notifications");
  }
  HRESULT Unadvise(ULONG) override {
    return error_.Set(MAPI_E_NO_SUPPORT, "a memory table sends no notifications");
  }
  HRESULT GetStatus(ULONG* lpulTableStatus, ULONG* lpulTableType) override;
  HRESULT SetColumns(LPSPropTagArray lpPropTagArray, ULONG ulFlags) override;
  HRESULT QueryColumns(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) override;
  HRESULT GetRowCount(ULONG ulFlags, ULONG* lpulCount) override;
  HRESULT SeekRow(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) override;
  HRESULT QueryPosition(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) override;
  HRESULT Restrict(LPSRestriction lpRestriction, ULONG ulFlags) override;
  HRESULT SortTable(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) override;
  HRESULT QueryRows(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) override;

 protected:
  bool Supports(REFIID riid) const override { return SameIid(riid, IID_IMAPITable); }

 private:
  ~MemTable() override = default;

  void RebuildView();                                        // REQUIRES: mu_ held
  bool SortsBefore(const MemRow& a, const MemRow& b) const;  // REQUIRES: mu_ held
  HRESULT FillRow(const MemRow& row, SRow* out) const;       // REQUIRES: mu_ held

  mutable std::mutex mu_;
  const std::vector<MemRow> rows_;
  std::vector<ULONG> columns_;    // guarded by mu_
  bool restricted_ = false;       // guarded by mu_
  Restriction restriction_;       // guarded by mu_
  std::vector<SSortOrder> sort_;  // guarded by mu_
  std::vector<size_t> view_;      // guarded by mu_; indices into rows_
  size_t cursor_ = 0;             // guarded by mu_; 0 .. view_.size()
  LastError error_;               // its own lock
};

void MemTable::RebuildView() {
  view_.clear();
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (!restricted_ || EvalRestriction(restriction_, RowSource(rows_[i]))) view_.push_back(i);
  }
  if (!sort_.empty()) {
    std::stable_sort(view_.begin(), view_.end(),
                     [this](size_t a, size_t b) { return SortsBefore(rows_[a], rows_[b]); });
  }
  cursor_ = 0;
}

// Strings compare without case. A row without a key's property sorts before
// the rows that have it (after them when descending); values that do not
// compare count as equal, so the stable sort keeps their order.
bool MemTable::SortsBefore(const MemRow& a, const MemRow& b) const {
  for (const SSortOrder& key : sort_) {
    const StoredProp* va = FindValue(a, PROP_ID(key.ulPropTag));
    const StoredProp* vb = FindValue(b, PROP_ID(key.ulPropTag));
    int c = 0;
    if (va == nullptr || vb == nullptr) {
      c = (va != nullptr) - (vb != nullptr);
    } else {
      bool comparable = false;
      c = CompareProps(*va, *vb, /*ignore_case=*/true, &comparable);
      if (!comparable) c = 0;
    }
    if (key.ulOrder == TABLE_SORT_DESCEND) c = -c;
    if (c != 0) return c < 0;
  }
  return false;
}

HRESULT MemTable::GetStatus(ULONG* lpulTableStatus, ULONG* lpulTableType) {
  if (lpulTableStatus == nullptr || lpulTableType == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "GetStatus: null out-parameter");
  }
  *lpulTableStatus = kTableStatusComplete;
  *lpulTableType = kTableTypeSnapshot;
  return S_OK;
}

HRESULT MemTable::SetColumns(LPSPropTagArray lpPropTagArray, ULONG) {
  if (lpPropTagArray == nullptr || lpPropTagArray->cValues == 0) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "SetColumns: no columns");
  }
  HRESULT hr = Guarded([&] {
    std::vector<ULONG> columns(lpPropTagArray->aulPropTag,
                               lpPropTagArray->aulPropTag + lpPropTagArray->cValues);
    std::lock_guard<std::mutex> lock(mu_);
    columns_ = std::move(columns);
    return S_OK;
  });
  return FAILED(hr) ? error_.Set(hr, "SetColumns failed") : hr;
}

HRESULT MemTable::QueryColumns(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) {
  if (lpPropTagArray == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "QueryColumns: null out-parameter");
  }
  *lpPropTagArray = nullptr;
  if ((ulFlags & ~TBL_ALL_COLUMNS) != 0) {
    return error_.Set(MAPI_E_UNKNOWN_FLAGS, "QueryColumns: unknown flags");
  }
  HRESULT hr = Guarded([&] {
    std::vector<ULONG> tags;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if ((ulFlags & TBL_ALL_COLUMNS) == 0) {
        tags = columns_;
      } else {
        // Every property the rows hold, once per ID, in first-seen order.
        for (const MemRow& row : rows_) {
          for (const auto& [tag, value] : row.values) {
            bool seen = std::any_of(tags.begin(), tags.end(),
                                    [t = tag](ULONG s) { return PROP_ID(s) == PROP_ID(t); });
            if (!seen) tags.push_back(tag);
          }
        }
      }
    }
    LPSPropTagArray out = nullptr;
    size_t bytes = CbNewSPropTagArray(std::max<size_t>(tags.size(), 1));
    if (MAPIAllocateBuffer(static_cast<ULONG>(bytes), reinterpret_cast<void**>(&out)) != S_OK) {
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    out->cValues = static_cast<ULONG>(tags.size());
    std::copy(tags.begin(), tags.end(), out->aulPropTag);
    *lpPropTagArray = out;
    return S_OK;
  });
  return FAILED(hr) ? error_.Set(hr, "QueryColumns failed") : hr;
}

HRESULT MemTable::GetRowCount(ULONG, ULONG* lpulCount) {
  if (lpulCount == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "GetRowCount: null out-parameter");
  }
  std::lock_guard<std::mutex> lock(mu_);
  *lpulCount = static_cast<ULONG>(view_.size());
  return S_OK;
}

HRESULT MemTable::SeekRow(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) {
  if (lplRowsSought != nullptr) *lplRowsSought = 0;
  if (bkOrigin != BOOKMARK_BEGINNING && bkOrigin != BOOKMARK_CURRENT && bkOrigin != BOOKMARK_END) {
    return error_.Set(MAPI_E_INVALID_BOOKMARK, "SeekRow: unknown bookmark");
  }
  std::lock_guard<std::mutex> lock(mu_);
  const int64_t size = static_cast<int64_t>(view_.size());
  const int64_t start = bkOrigin == BOOKMARK_BEGINNING ? 0
                        : bkOrigin == BOOKMARK_CURRENT ? static_cast<int64_t>(cursor_)
                                                       : size;
  // A seek past either end stops there and reports the rows actually moved.
  const int64_t target = std::clamp<int64_t>(start + lRowCount, 0, size);
  cursor_ = static_cast<size_t>(target);
  if (lplRowsSought != nullptr) *lplRowsSought = static_cast<LONG>(target - start);
  return S_OK;
}

// The fraction is cursor / row count; an empty table answers 0/1.
HRESULT MemTable::QueryPosition(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) {
  if (lpulRow == nullptr || lpulNumerator == nullptr || lpulDenominator == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "QueryPosition: null out-parameter");
  }
  std::lock_guard<std::mutex> lock(mu_);
  *lpulRow = static_cast<ULONG>(cursor_);
  *lpulNumerator = static_cast<ULONG>(cursor_);
  *lpulDenominator = static_cast<ULONG>(std::max<size_t>(view_.size(), 1));
  return S_OK;
}

HRESULT MemTable::Restrict(LPSRestriction lpRestriction, ULONG) {
  HRESULT hr = Guarded([&] {
    Restriction copy;
    if (lpRestriction != nullptr) {
      HRESULT copied = CopyRestriction(lpRestriction, &copy);
      if (FAILED(copied)) return copied;
    }
    std::lock_guard<std::mutex> lock(mu_);
    restricted_ = lpRestriction != nullptr;
    restriction_ = std::move(copy);
    RebuildView();
    return S_OK;
  });
  return FAILED(hr) ? error_.Set(hr, "Restrict: the restriction cannot be used") : hr;
}

// Categories are not supported: cCategories must be 0.
HRESULT MemTable::SortTable(LPSSortOrderSet lpSortCriteria, ULONG) {
  if (lpSortCriteria == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "SortTable: no sort order");
  }
  if (lpSortCriteria->cCategories != 0) {
    return error_.Set(MAPI_E_TOO_COMPLEX, "SortTable: categories are not supported");
  }
  for (ULONG i = 0; i < lpSortCriteria->cSorts; ++i) {
    ULONG order = lpSortCriteria->aSort[i].ulOrder;
    if (order != TABLE_SORT_ASCEND && order != TABLE_SORT_DESCEND) {
      return error_.Set(MAPI_E_TOO_COMPLEX, "SortTable: unsupported sort direction");
    }
  }
  HRESULT hr = Guarded([&] {
    std::vector<SSortOrder> keys(lpSortCriteria->aSort,
                                 lpSortCriteria->aSort + lpSortCriteria->cSorts);
    std::lock_guard<std::mutex> lock(mu_);
    sort_ = std::move(keys);
    RebuildView();
    return S_OK;
  });
  return FAILED(hr) ? error_.Set(hr, "SortTable failed") : hr;
}

// A column without a value in the row, or whose value cannot be read with
// the column's type, comes back as PT_ERROR. Only running out of memory
// fails the row.
HRESULT MemTable::FillRow(const MemRow& row, SRow* out) const {
  const size_t count = columns_.size();
  LPSPropValue props = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * std::max<size_t>(count, 1)),
                         reinterpret_cast<void**>(&props)) != S_OK) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  out->lpProps = props;
  out->cValues = static_cast<ULONG>(count);
  for (size_t i = 0; i < count; ++i) {
    const ULONG tag = columns_[i];
    const StoredProp* value = FindValue(row, PROP_ID(tag));
    if (value == nullptr) {
      ErrorProp(CHANGE_PROP_TYPE(tag, PT_ERROR), MAPI_E_NOT_FOUND, &props[i]);
      continue;
    }
    HRESULT hr = DecodeProp(tag, *value, props, &props[i], kRowStringChars);
    if (hr == MAPI_E_NOT_ENOUGH_MEMORY) return hr;
    if (FAILED(hr)) ErrorProp(CHANGE_PROP_TYPE(tag, PT_ERROR), hr, &props[i]);
  }
  return S_OK;
}

HRESULT MemTable::QueryRows(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) {
  if (lppRows == nullptr) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "QueryRows: null out-parameter");
  }
  *lppRows = nullptr;
  if (lRowCount <= 0) {
    return error_.Set(MAPI_E_INVALID_PARAMETER, "QueryRows: the row count must be positive");
  }
  std::lock_guard<std::mutex> lock(mu_);
  const size_t n = std::min(static_cast<size_t>(lRowCount), view_.size() - cursor_);
  LPSRowSet set = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(std::max<size_t>(n, 1))),
                         reinterpret_cast<void**>(&set)) != S_OK) {
    return error_.Set(MAPI_E_NOT_ENOUGH_MEMORY, "QueryRows: out of memory");
  }
  set->cRows = 0;
  for (size_t i = 0; i < n; ++i) {
    set->cRows = static_cast<ULONG>(i + 1);  // counted first, so FreeProws frees a partial row
    HRESULT hr = FillRow(rows_[view_[cursor_ + i]], &set->aRow[i]);
    if (FAILED(hr)) {
      FreeProws(set);
      return error_.Set(hr, "QueryRows: out of memory");
    }
  }
  if ((ulFlags & TBL_NOADVANCE) == 0) cursor_ += n;
  *lppRows = set;
  return S_OK;
}

}  // namespace

HRESULT CreateMemTable(std::vector<MemRow> rows, std::vector<ULONG> default_columns,
                       IMAPITable** out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  return Guarded([&] {
    *out = new MemTable(std::move(rows), std::move(default_columns));
    return S_OK;
  });
}

}  // namespace zuvstore
