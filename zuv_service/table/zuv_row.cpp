// zuv_row.cpp: compact immutable rows and their builder.
#include "table/zuv_row.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "mapi/mapitags.h"

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

// Types whose value lives in the row's byte pool.
bool HoldsBytes(ULONG tag) {
  if (tag == kRowKeyTag || tag == kAttachNumTag) return true;
  const ULONG type = PROP_TYPE(tag);
  return type == PT_STRING8 || type == PT_UNICODE || type == PT_BINARY || type == PT_MV_STRING8;
}

}  // namespace

// ---- References ----

ZUV_RowRef::ZUV_RowRef(const ZUV_RowRef& other) : row_(other.row_) {
  if (row_ != nullptr) row_->refs_.fetch_add(1, std::memory_order_relaxed);
}

ZUV_RowRef::~ZUV_RowRef() {
  if (row_ != nullptr && row_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    row_->~ZUV_Row();
    ::operator delete(static_cast<void*>(row_));
  }
}

// ---- Reading ----

ZUV_CellView ZUV_Row::At(size_t i) const {
  const Cell& c = Cells()[i];
  ZUV_CellView v;
  v.tag = c.tag;
  if (PROP_TYPE(c.tag) == PT_MV_STRING8 && c.tag != kRowKeyTag) {
    // length holds the count; the bytes run to the next cell's bytes
    v.count = c.length;
    const char* p = Pool() + c.data;
    size_t len = 0;
    for (uint32_t k = 0; k < c.length; ++k) len += std::strlen(p + len) + 1;
    v.bytes = std::string_view(p, len);
  } else if (HoldsBytes(c.tag)) {
    v.bytes = std::string_view(Pool() + c.data, c.length);
  } else if (PROP_TYPE(c.tag) == PT_SYSTIME) {
    v.time.dwHighDateTime = static_cast<DWORD>(c.data >> 32);
    v.time.dwLowDateTime = static_cast<DWORD>(c.data & 0xFFFFFFFFu);
  } else {
    v.number = static_cast<int64_t>(c.data);
  }
  return v;
}

bool ZUV_Row::Find(ULONG tag, ZUV_CellView* out) const {
  const Cell* begin = Cells();
  const Cell* end = begin + count_;
  const Cell* it = std::lower_bound(begin, end, tag, [](const Cell& c, ULONG t) { return c.tag < t; });
  if (it == end || it->tag != tag) return false;
  if (out != nullptr) *out = At(static_cast<size_t>(it - begin));
  return true;
}

std::string_view ZUV_Row::Key() const {
  ZUV_CellView v;
  if (Find(kRowKeyTag, &v)) return v.bytes;
  if (Find(kAttachNumTag, &v)) return v.bytes;
  return {};
}

// ---- Building ----

ZUV_RowBuilder::Pending& ZUV_RowBuilder::Slot(ULONG tag) {
  for (Pending& p : cells_) {
    if (p.tag == tag) {
      p = Pending{tag, 0, 0, {}};
      return p;
    }
  }
  cells_.push_back(Pending{tag, 0, 0, {}});
  return cells_.back();
}

void ZUV_RowBuilder::AddNumber(ULONG tag, int64_t value) { Slot(tag).data = static_cast<uint64_t>(value); }

void ZUV_RowBuilder::AddTime(ULONG tag, FILETIME value) {
  Slot(tag).data = static_cast<uint64_t>(value.dwHighDateTime) << 32 | value.dwLowDateTime;
}

void ZUV_RowBuilder::AddBytes(ULONG tag, std::string_view bytes) {
  Pending& p = Slot(tag);
  p.bytes.assign(bytes);
  p.length = static_cast<uint32_t>(bytes.size());
}

void ZUV_RowBuilder::AddStrings(ULONG tag, const std::vector<std::string_view>& strings) {
  Pending& p = Slot(tag);
  for (std::string_view s : strings) {
    p.bytes.append(s.substr(0, s.find('\0')));
    p.bytes.push_back('\0');
  }
  p.length = static_cast<uint32_t>(strings.size());
}

bool ZUV_RowBuilder::Has(ULONG tag) const {
  return std::any_of(cells_.begin(), cells_.end(), [tag](const Pending& p) { return p.tag == tag; });
}

void ZUV_RowBuilder::AddMissingFrom(const ZUV_Row& row) {
  for (size_t i = 0; i < row.Count(); ++i) {
    const ZUV_CellView v = row.At(i);
    if (Has(v.tag)) continue;
    if (PROP_TYPE(v.tag) == PT_MV_STRING8 && v.tag != kRowKeyTag) {
      Pending p{v.tag, v.count, 0, std::string(v.bytes)};
      cells_.push_back(std::move(p));
    } else if (HoldsBytes(v.tag)) {
      AddBytes(v.tag, v.bytes);
    } else if (PROP_TYPE(v.tag) == PT_SYSTIME) {
      AddTime(v.tag, v.time);
    } else {
      AddNumber(v.tag, v.number);
    }
  }
}

ZUV_RowRef ZUV_RowBuilder::Build() const {
  std::vector<const Pending*> order;
  order.reserve(cells_.size());
  size_t pool = 0;
  for (const Pending& p : cells_) {
    order.push_back(&p);
    pool += p.bytes.size();
  }
  std::sort(order.begin(), order.end(), [](const Pending* a, const Pending* b) { return a->tag < b->tag; });

  const size_t bytes = sizeof(ZUV_Row) + order.size() * sizeof(ZUV_Row::Cell) + pool;
  void* memory = ::operator new(bytes);
  auto* row = new (memory) ZUV_Row();
  row->count_ = static_cast<uint32_t>(order.size());
  row->allocated_ = bytes;
  ZUV_Row::Cell* cells = row->Cells();
  char* out = reinterpret_cast<char*>(cells + order.size());
  size_t offset = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    const Pending& p = *order[i];
    cells[i].tag = p.tag;
    cells[i].length = p.length;
    if (HoldsBytes(p.tag)) {
      if (!p.bytes.empty()) std::memcpy(out + offset, p.bytes.data(), p.bytes.size());
      cells[i].data = offset;
      offset += p.bytes.size();
    } else {
      cells[i].data = p.data;
    }
  }
  return ZUV_RowRef(row);
}
