// zuv_row_index.h: the rows of a table in key order, as a list of sorted
// chunks of row references (12 bytes a row, no node per row). Inserting
// moves at most one chunk's references; a lookup is two binary searches.
// Entry IDs of one store share a long first part: the index keeps the part
// every stored key shares, and compares only what follows it. Beside each
// reference it keeps the first 4 bytes following that part (its tail), so
// a search mostly compares tails and reads a row only when they are equal.
//
// Threading: none of its own; the owning table's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "table/zuv_row.h"

class ZUV_RowIndex {
 public:
  // A row's place: chunk and slot.
  struct Position {
    size_t chunk = 0;
    size_t slot = 0;
  };

  size_t Size() const { return size_; }
  // The row stored under key; null when none.
  const ZUV_RowRef* Find(ZUV_RowKey key) const;
  // Stores row under its own key, replacing the row stored under that key;
  // returns the replaced row (null when the key is new).
  ZUV_RowRef Put(ZUV_RowRef row);
  // Stores row when its key is new and returns null; else stores nothing
  // and returns the row stored under the key. One search either way.
  const ZUV_RowRef* Insert(const ZUV_RowRef& row);
  // Removes the row stored under key; returns it (null when none).
  ZUV_RowRef Erase(ZUV_RowKey key);
  // Packs the chunks full (after a fill that inserted out of order).
  void Compact();

  // Calls f(row) for each row in key order; f returns false to stop.
  template <typename F>
  void ForEach(F&& f) const {
    for (const std::vector<ZUV_RowRef>& chunk : chunks_) {
      for (const ZUV_RowRef& row : chunk) {
        if (!f(row)) return;
      }
    }
  }

 private:
  static constexpr size_t kChunkRows = 512;
  // The first position whose key is not below key.
  Position LowerBound(ZUV_RowKey key) const;
  // Bytes every key compared with key may skip: the shared first part
  // when all keys, key included, are binary and start with it; else 0.
  size_t Skip(ZUV_RowKey key) const;
  // True when key and every stored key are binary and start with shared_.
  bool Shares(ZUV_RowKey key) const;
  void NoteKey(ZUV_RowKey key);
  // The 4 bytes of key after shared_, big-endian, zero-padded.
  uint32_t TailOf(ZUV_RowKey key) const;
  void RecomputeTails();
  // The row stored under row's key; else stores row and returns null.
  ZUV_RowRef* FindOrInsert(const ZUV_RowRef& row);
  // Inserts row, whose key is new, at its lower bound at.
  void InsertAt(Position at, const ZUV_RowRef& row);

  std::vector<std::vector<ZUV_RowRef>> chunks_;  // each non-empty and sorted
  std::vector<std::vector<uint32_t>> tails_;     // TailOf each row of chunks_, same shape
  size_t size_ = 0;
  bool all_binary_ = true;
  std::string shared_;  // the first bytes of every binary key stored
};
