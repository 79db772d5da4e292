// zuv_row_index.cpp: sorted chunks of row references.
#include "table/zuv_row_index.h"

#include <algorithm>
#include <utility>

namespace {

// Orders two keys that agree on their first skip bytes.
int CompareFrom(ZUV_RowKey a, ZUV_RowKey b, size_t skip) {
  if (skip == 0) return CompareRowKeys(a, b);
  a.bytes.remove_prefix(skip);
  b.bytes.remove_prefix(skip);
  return CompareRowKeys(a, b);
}

}  // namespace

size_t ZUV_RowIndex::Skip(ZUV_RowKey key) const {
  if (!all_binary_ || !key.binary || size_ == 0) return 0;
  if (key.bytes.size() < shared_.size() || key.bytes.compare(0, shared_.size(), shared_) != 0) return 0;
  return shared_.size();
}

void ZUV_RowIndex::NoteKey(ZUV_RowKey key) {
  if (!key.binary) {
    all_binary_ = false;
    return;
  }
  if (size_ == 0) {
    shared_.assign(key.bytes);
    return;
  }
  size_t n = 0;
  while (n < shared_.size() && n < key.bytes.size() && shared_[n] == key.bytes[n]) ++n;
  shared_.resize(n);
}

ZUV_RowIndex::Position ZUV_RowIndex::LowerBound(ZUV_RowKey key) const {
  if (chunks_.empty()) return {};
  const size_t skip = Skip(key);
  auto KeyBelow = [skip](const ZUV_RowRef& row, ZUV_RowKey k) { return CompareFrom(row->KeyView(), k, skip) < 0; };
  // The first chunk whose last row is not below key; past the end: the
  // end of the last chunk.
  auto chunk = std::partition_point(chunks_.begin(), chunks_.end(),
                                    [&](const std::vector<ZUV_RowRef>& c) { return KeyBelow(c.back(), key); });
  if (chunk == chunks_.end()) return Position{chunks_.size() - 1, chunks_.back().size()};
  auto slot = std::partition_point(chunk->begin(), chunk->end(), [&](const ZUV_RowRef& r) { return KeyBelow(r, key); });
  return Position{static_cast<size_t>(chunk - chunks_.begin()), static_cast<size_t>(slot - chunk->begin())};
}

const ZUV_RowRef* ZUV_RowIndex::Find(ZUV_RowKey key) const {
  const Position at = LowerBound(key);
  if (chunks_.empty() || at.slot >= chunks_[at.chunk].size()) return nullptr;
  const ZUV_RowRef& row = chunks_[at.chunk][at.slot];
  return CompareFrom(row->KeyView(), key, Skip(key)) == 0 ? &row : nullptr;
}

ZUV_RowRef ZUV_RowIndex::Put(ZUV_RowRef row) {
  const ZUV_RowKey key = row->KeyView();
  if (chunks_.empty()) {
    NoteKey(key);
    chunks_.emplace_back().reserve(kChunkRows);
    chunks_.back().push_back(std::move(row));
    size_ = 1;
    return ZUV_RowRef();
  }
  const Position at = LowerBound(key);
  std::vector<ZUV_RowRef>& chunk = chunks_[at.chunk];
  if (at.slot < chunk.size() && CompareFrom(chunk[at.slot]->KeyView(), key, Skip(key)) == 0) {
    std::swap(chunk[at.slot], row);
    return row;
  }
  InsertAt(at, std::move(row));
  return ZUV_RowRef();
}

const ZUV_RowRef* ZUV_RowIndex::Insert(const ZUV_RowRef& row) {
  if (chunks_.empty()) {
    (void)Put(row);
    return nullptr;
  }
  const ZUV_RowKey key = row->KeyView();
  const Position at = LowerBound(key);
  const std::vector<ZUV_RowRef>& chunk = chunks_[at.chunk];
  if (at.slot < chunk.size() && CompareFrom(chunk[at.slot]->KeyView(), key, Skip(key)) == 0) return &chunk[at.slot];
  InsertAt(at, row);
  return nullptr;
}

void ZUV_RowIndex::InsertAt(Position at, ZUV_RowRef row) {
  NoteKey(row->KeyView());
  std::vector<ZUV_RowRef>* chunk = &chunks_[at.chunk];
  if (chunk->size() >= kChunkRows) {
    if (at.chunk + 1 == chunks_.size() && at.slot == chunk->size()) {
      // Past the last row: a new chunk, the full one stays full.
      chunks_.emplace_back().reserve(kChunkRows);
      at = Position{at.chunk + 1, 0};
    } else {
      // Split the full chunk in two halves.
      std::vector<ZUV_RowRef> upper;
      upper.reserve(kChunkRows);
      const size_t half = chunk->size() / 2;
      std::move(chunk->begin() + static_cast<ptrdiff_t>(half), chunk->end(), std::back_inserter(upper));
      chunk->resize(half);
      chunks_.insert(chunks_.begin() + static_cast<ptrdiff_t>(at.chunk) + 1, std::move(upper));
      if (at.slot > half) at = Position{at.chunk + 1, at.slot - half};
    }
    chunk = &chunks_[at.chunk];
  }
  chunk->insert(chunk->begin() + static_cast<ptrdiff_t>(at.slot), std::move(row));
  ++size_;
}

ZUV_RowRef ZUV_RowIndex::Erase(ZUV_RowKey key) {
  const Position at = LowerBound(key);
  if (chunks_.empty() || at.slot >= chunks_[at.chunk].size()) return ZUV_RowRef();
  std::vector<ZUV_RowRef>& chunk = chunks_[at.chunk];
  if (CompareRowKeys(chunk[at.slot]->KeyView(), key) != 0) return ZUV_RowRef();
  ZUV_RowRef removed = std::move(chunk[at.slot]);
  chunk.erase(chunk.begin() + static_cast<ptrdiff_t>(at.slot));
  if (chunk.empty()) chunks_.erase(chunks_.begin() + static_cast<ptrdiff_t>(at.chunk));
  --size_;
  return removed;
}

void ZUV_RowIndex::Compact() {
  std::vector<std::vector<ZUV_RowRef>> packed;
  packed.reserve((size_ + kChunkRows - 1) / kChunkRows);
  for (std::vector<ZUV_RowRef>& chunk : chunks_) {
    for (ZUV_RowRef& row : chunk) {
      if (packed.empty() || packed.back().size() == kChunkRows) {
        packed.emplace_back().reserve(std::min(kChunkRows, size_ - (packed.size() * kChunkRows)));
      }
      packed.back().push_back(std::move(row));
    }
  }
  chunks_ = std::move(packed);
}
