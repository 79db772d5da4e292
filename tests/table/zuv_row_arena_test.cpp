// Tests of the row arena: rows read back whole, chunks go back (pooled,
// then unmapped) when their last row goes, in any order and on any thread,
// rows outlive their arena, large rows stay on the heap.
#include <sys/mman.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mapi/mapitags.h"
#include "table/zuv_row.h"
#include "table/zuv_row_arena.h"

namespace {

size_t ChunksInUse() {
  const ZUV_RowArena::Stats s = ZUV_RowArena::GetStats();
  return s.mapped_chunks - s.pooled_chunks;
}

std::string Subject(uint64_t i, size_t length) {
  std::string s = std::to_string(i) + " ";
  s.resize(length, static_cast<char>('a' + i % 26));
  return s;
}

ZUV_RowRef MessageRow(ZUV_RowArena* arena, uint64_t i, size_t length = 300) {
  ZUV_RowBuilder b;
  b.AddBinaryKey(std::string(38, 'S') + std::string(reinterpret_cast<const char*>(&i), 8));
  b.AddBytes(PR_SUBJECT_A, Subject(i, length));
  b.AddNumber(PR_IMPORTANCE, static_cast<LONG>(i % 3));
  return b.Build(arena);
}

void ExpectMessageRow(const ZUV_Row& row, uint64_t i, size_t length = 300) {
  ZUV_CellView v;
  EXPECT_EQ(row.KeyView().bytes.substr(38), std::string(reinterpret_cast<const char*>(&i), 8));
  ASSERT_TRUE(row.Find(PR_SUBJECT_A, &v));
  EXPECT_EQ(v.bytes, Subject(i, length));
  ASSERT_TRUE(row.Find(PR_IMPORTANCE, &v));
  EXPECT_EQ(v.number, static_cast<int64_t>(i % 3));
}

constexpr uint64_t kRows = 30000;  // ~370 bytes each: 6 chunks

}  // namespace

TEST(ZuvRowArenaTest, RowsReadBackAndChunksGoBackWhenTheirLastRowGoesInAnyOrder) {
  const size_t inUse = ChunksInUse();
  std::vector<ZUV_RowRef> rows;
  {
    ZUV_RowArena arena;
    for (uint64_t i = 0; i < kRows; ++i) rows.push_back(MessageRow(&arena, i, 280 + i % 41));
  }
  ASSERT_GE(ChunksInUse(), inUse + 5);
  for (uint64_t i = 0; i < kRows; ++i) {
    const auto at = reinterpret_cast<uintptr_t>(rows[i].get());
    ASSERT_TRUE(rows[i]->InArena());
    EXPECT_EQ(at % ZUV_RowArena::kAlign, 0u);
    EXPECT_EQ(at / ZUV_RowArena::kChunkBytes, (at + rows[i]->AllocatedBytes() - 1) / ZUV_RowArena::kChunkBytes);
    ExpectMessageRow(*rows[i], i, 280 + i % 41);
  }
  EXPECT_FALSE(MessageRow(nullptr, 1)->InArena());

  ZUV_RowRef kept = rows[0];  // pins its chunk, and only it
  std::shuffle(rows.begin(), rows.end(), std::mt19937(7));
  rows.clear();
  EXPECT_EQ(ChunksInUse(), inUse + 1);
  ExpectMessageRow(*kept, 0, 280);
  kept = ZUV_RowRef();
  EXPECT_EQ(ChunksInUse(), inUse);
  EXPECT_EQ(ZUV_RowArena::GetStats().pooled_chunks, ZUV_RowArena::kPoolChunks) << "the rest were unmapped";

  // The next arena starts on a pooled chunk.
  const size_t mapped = ZUV_RowArena::GetStats().mapped_chunks;
  ZUV_RowArena arena;
  ExpectMessageRow(*MessageRow(&arena, 5), 5);
  EXPECT_EQ(ZUV_RowArena::GetStats().mapped_chunks, mapped);
}

TEST(ZuvRowArenaTest, ARowOutlivesItsArenaWhoseTailWentBackAndLargeRowsStayOnTheHeap) {
  const size_t inUse = ChunksInUse();
  ZUV_RowRef survivor, big;
  {
    ZUV_RowArena arena;
    for (uint64_t i = 0; i < 100; ++i) (void)MessageRow(&arena, i);  // dropped at once
    survivor = MessageRow(&arena, 42);
    big = MessageRow(&arena, 3, ZUV_RowArena::kMaxRowBytes);
  }
  ExpectMessageRow(*survivor, 42);
  ExpectMessageRow(*big, 3, ZUV_RowArena::kMaxRowBytes);
  EXPECT_FALSE(big->InArena());
  unsigned char in[2] = {};
  const auto at = reinterpret_cast<uintptr_t>(survivor.get()) & ~uintptr_t{4095};
  ASSERT_EQ(::mincore(reinterpret_cast<void*>(at), 4096, &in[0]), 0);
  ASSERT_EQ(::mincore(reinterpret_cast<void*>((at | (ZUV_RowArena::kChunkBytes - 1)) - 4095), 4096, &in[1]), 0);
  EXPECT_EQ(in[0] & 1, 1);
  EXPECT_EQ(in[1] & 1, 0) << "the chunk's unused last page went back";
  EXPECT_EQ(ChunksInUse(), inUse + 1);
  survivor = ZUV_RowRef();
  EXPECT_EQ(ChunksInUse(), inUse);
}

TEST(ZuvRowArenaTest, RowsFreedOnSeveralThreadsAtOnceReleaseEveryChunk) {
  const size_t inUse = ChunksInUse();
  constexpr uint64_t kThreads = 4;
  std::vector<std::vector<ZUV_RowRef>> shares(kThreads);
  {
    ZUV_RowArena arena;
    for (uint64_t i = 0; i < kRows; ++i) {
      ZUV_RowRef row = MessageRow(&arena, i);
      shares[i % kThreads].push_back(row);
      if (i % 5 == 0) shares[(i + 1) % kThreads].push_back(row);  // shared by two threads
    }
  }
  std::vector<std::thread> threads;
  for (auto& mine : shares) threads.emplace_back([&mine] { mine.clear(); });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(ChunksInUse(), inUse);
}

#if defined(__SANITIZE_ADDRESS__)
// Checked builds poison freed row memory though its chunk stays mapped.
TEST(ZuvRowArenaDeathTest, AReadOfAFreedRowIsCaught) {
  ZUV_RowArena arena;
  ZUV_RowRef keep = MessageRow(&arena, 1);
  const ZUV_Row* stale = MessageRow(&arena, 2).get();
  EXPECT_DEATH((void)stale->Count(), "use-after-poison");
}
#endif
