// zuv_row_index.cpp: sorted chunks of row references.
#include "table/zuv_row_index.h"

#include <algorithm>
#include <iterator>
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

bool ZUV_RowIndex::Shares(ZUV_RowKey key) const {
  return all_binary_ && key.binary && size_ > 0 && key.bytes.size() >= shared_.size() &&
         key.bytes.compare(0, shared_.size(), shared_) == 0;
}

size_t ZUV_RowIndex::Skip(ZUV_RowKey key) const { return Shares(key) ? shared_.size() : 0; }

uint32_t ZUV_RowIndex::TailOf(ZUV_RowKey key) const {
  // Zero padding keeps the order: keys whose tails differ order as their
  // tails do.
  uint32_t tail = 0;
  for (size_t i = shared_.size(); i < shared_.size() + 4; ++i) {
    tail = tail << 8 | (i < key.bytes.size() ? static_cast<unsigned char>(key.bytes[i]) : 0u);
  }
  return tail;
}

void ZUV_RowIndex::RecomputeTails() {
  for (size_t c = 0; c < chunks_.size(); ++c) {
    for (size_t s = 0; s < chunks_[c].size(); ++s) tails_[c][s] = TailOf(chunks_[c][s]->KeyView());
  }
}

void ZUV_RowIndex::NoteKey(ZUV_RowKey key) {
  if (!key.binary) {
    all_binary_ = false;  // tails are not used any more
    return;
  }
  if (size_ == 0) {
    shared_.assign(key.bytes);
    return;
  }
  size_t n = 0;
  while (n < shared_.size() && n < key.bytes.size() && shared_[n] == key.bytes[n]) ++n;
  if (n == shared_.size()) return;
  shared_.resize(n);
  if (all_binary_) RecomputeTails();
}

ZUV_RowIndex::Position ZUV_RowIndex::LowerBound(ZUV_RowKey key) const {
  if (chunks_.empty()) return {};
  const bool shares = Shares(key);
  const size_t skip = shares ? shared_.size() : 0;
  const uint32_t tail = shares ? TailOf(key) : 0;
  auto KeyBelow = [skip](const ZUV_RowRef& row, ZUV_RowKey k) { return CompareFrom(row->KeyView(), k, skip) < 0; };
  // The first chunk whose last row is not below key; past the end: the
  // end of the last chunk.
  size_t c = 0;
  if (shares) {
    size_t lo = 0, hi = chunks_.size();
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      const uint32_t last = tails_[mid].back();
      const bool below = last != tail ? last < tail : KeyBelow(chunks_[mid].back(), key);
      if (below) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    c = lo;
  } else {
    c = static_cast<size_t>(
        std::partition_point(chunks_.begin(), chunks_.end(),
                             [&](const std::vector<ZUV_RowRef>& chunk) { return KeyBelow(chunk.back(), key); }) -
        chunks_.begin());
  }
  if (c == chunks_.size()) return Position{chunks_.size() - 1, chunks_.back().size()};
  const std::vector<ZUV_RowRef>& chunk = chunks_[c];
  size_t from = 0, to = chunk.size();
  if (shares) {
    // Rows of a lower tail are below key, rows of a higher one are not:
    // only the rows of key's own tail are read.
    const std::vector<uint32_t>& tails = tails_[c];
    from = static_cast<size_t>(std::lower_bound(tails.begin(), tails.end(), tail) - tails.begin());
    to = static_cast<size_t>(std::upper_bound(tails.begin() + static_cast<ptrdiff_t>(from), tails.end(), tail) -
                             tails.begin());
  }
  auto slot = std::partition_point(chunk.begin() + static_cast<ptrdiff_t>(from),
                                   chunk.begin() + static_cast<ptrdiff_t>(to),
                                   [&](const ZUV_RowRef& r) { return KeyBelow(r, key); });
  return Position{c, static_cast<size_t>(slot - chunk.begin())};
}

const ZUV_RowRef* ZUV_RowIndex::Find(ZUV_RowKey key) const {
  const Position at = LowerBound(key);
  if (chunks_.empty() || at.slot >= chunks_[at.chunk].size()) return nullptr;
  const ZUV_RowRef& row = chunks_[at.chunk][at.slot];
  return CompareFrom(row->KeyView(), key, Skip(key)) == 0 ? &row : nullptr;
}

ZUV_RowRef* ZUV_RowIndex::FindOrInsert(const ZUV_RowRef& row) {
  const ZUV_RowKey key = row->KeyView();
  if (chunks_.empty()) {
    NoteKey(key);
    chunks_.emplace_back().reserve(kChunkRows);
    tails_.emplace_back().reserve(kChunkRows);
    tails_.back().push_back(TailOf(key));
    chunks_.back().push_back(row);
    size_ = 1;
    return nullptr;
  }
  const Position at = LowerBound(key);
  std::vector<ZUV_RowRef>& chunk = chunks_[at.chunk];
  if (at.slot < chunk.size() && CompareFrom(chunk[at.slot]->KeyView(), key, Skip(key)) == 0) return &chunk[at.slot];
  InsertAt(at, row);
  return nullptr;
}

ZUV_RowRef ZUV_RowIndex::Put(ZUV_RowRef row) {
  ZUV_RowRef* stored = FindOrInsert(row);
  if (stored == nullptr) return ZUV_RowRef();
  std::swap(*stored, row);  // the same key: the same tail
  return row;
}

const ZUV_RowRef* ZUV_RowIndex::Insert(const ZUV_RowRef& row) { return FindOrInsert(row); }

void ZUV_RowIndex::InsertAt(Position at, const ZUV_RowRef& row) {
  std::vector<ZUV_RowRef>* chunk = &chunks_[at.chunk];
  if (chunk->size() >= kChunkRows) {
    if (at.chunk + 1 == chunks_.size() && at.slot == chunk->size()) {
      // Past the last row: a new chunk, the full one stays full.
      chunks_.emplace_back().reserve(kChunkRows);
      tails_.emplace_back().reserve(kChunkRows);
      at = Position{at.chunk + 1, 0};
    } else {
      // Split the full chunk in two halves.
      const size_t half = chunk->size() / 2;
      std::vector<ZUV_RowRef> upper;
      upper.reserve(kChunkRows);
      std::move(chunk->begin() + static_cast<ptrdiff_t>(half), chunk->end(), std::back_inserter(upper));
      chunk->resize(half);
      std::vector<uint32_t>& tails = tails_[at.chunk];
      std::vector<uint32_t> upperTails;
      upperTails.reserve(kChunkRows);
      upperTails.assign(tails.begin() + static_cast<ptrdiff_t>(half), tails.end());
      tails.resize(half);
      chunks_.insert(chunks_.begin() + static_cast<ptrdiff_t>(at.chunk) + 1, std::move(upper));
      tails_.insert(tails_.begin() + static_cast<ptrdiff_t>(at.chunk) + 1, std::move(upperTails));
      if (at.slot > half) at = Position{at.chunk + 1, at.slot - half};
    }
    chunk = &chunks_[at.chunk];
  }
  // The key may shorten the shared part, which recomputes every tail: the
  // new row's tail is taken after.
  const ZUV_RowKey key = row->KeyView();
  NoteKey(key);
  std::vector<uint32_t>& tails = tails_[at.chunk];
  tails.insert(tails.begin() + static_cast<ptrdiff_t>(at.slot), TailOf(key));
  chunk->insert(chunk->begin() + static_cast<ptrdiff_t>(at.slot), row);
  ++size_;
}

ZUV_RowRef ZUV_RowIndex::Erase(ZUV_RowKey key) {
  const Position at = LowerBound(key);
  if (chunks_.empty() || at.slot >= chunks_[at.chunk].size()) return ZUV_RowRef();
  std::vector<ZUV_RowRef>& chunk = chunks_[at.chunk];
  if (CompareRowKeys(chunk[at.slot]->KeyView(), key) != 0) return ZUV_RowRef();
  ZUV_RowRef removed = std::move(chunk[at.slot]);
  chunk.erase(chunk.begin() + static_cast<ptrdiff_t>(at.slot));
  std::vector<uint32_t>& tails = tails_[at.chunk];
  tails.erase(tails.begin() + static_cast<ptrdiff_t>(at.slot));
  if (chunk.empty()) {
    chunks_.erase(chunks_.begin() + static_cast<ptrdiff_t>(at.chunk));
    tails_.erase(tails_.begin() + static_cast<ptrdiff_t>(at.chunk));
  }
  --size_;
  return removed;
}

void ZUV_RowIndex::Compact() {
  std::vector<std::vector<ZUV_RowRef>> packed;
  std::vector<std::vector<uint32_t>> packedTails;
  packed.reserve((size_ + kChunkRows - 1) / kChunkRows);
  packedTails.reserve(packed.capacity());
  for (size_t c = 0; c < chunks_.size(); ++c) {
    for (size_t s = 0; s < chunks_[c].size(); ++s) {
      if (packed.empty() || packed.back().size() == kChunkRows) {
        const size_t rows = std::min(kChunkRows, size_ - (packed.size() * kChunkRows));
        packed.emplace_back().reserve(rows);
        packedTails.emplace_back().reserve(rows);
      }
      packed.back().push_back(std::move(chunks_[c][s]));
      packedTails.back().push_back(tails_[c][s]);
    }
  }
  chunks_ = std::move(packed);
  tails_ = std::move(packedTails);
}
