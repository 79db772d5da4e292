// Tests of the row arena: rows built in it read back whole, chunks go back
// (to the pool, then unmapped) when their last row is freed in whatever
// order and on whatever thread, rows outlive their arena, and rows too
// large for a chunk stay on the heap.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mapi/mapitags.h"
#include "table/zuv_row.h"
#include "table/zuv_row_arena.h"

namespace {

// Chunks holding live rows (mapped and not pooled).
size_t ChunksInUse() {
  const ZUV_RowArena::Stats s = ZUV_RowArena::GetStats();
  return s.mapped_chunks - s.pooled_chunks;
}

std::string EntryId(uint64_t id) {
  std::string bytes(38, 'S');
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((id >> (8 * i)) & 0xFF));
  return bytes;
}

std::string Subject(uint64_t i, size_t length) {
  std::string s = "subject " + std::to_string(i) + " ";
  s.resize(length, static_cast<char>('a' + i % 26));
  return s;
}

ZUV_RowRef MessageRow(ZUV_RowArena* arena, uint64_t i, size_t subjectLength = 300) {
  ZUV_RowBuilder b;
  b.AddBinaryKey(EntryId(i));
  b.AddBytes(PR_SUBJECT_A, Subject(i, subjectLength));
  b.AddNumber(PR_IMPORTANCE, static_cast<LONG>(i % 3));
  b.AddNumber(PR_MESSAGE_SIZE, static_cast<LONG>(i * 7));
  return b.Build(arena);
}

void ExpectMessageRow(const ZUV_Row& row, uint64_t i, size_t subjectLength = 300) {
  ASSERT_EQ(row.Count(), 4u);
  EXPECT_EQ(row.KeyView().bytes, EntryId(i));
  EXPECT_TRUE(row.KeyView().binary);
  ZUV_CellView v;
  ASSERT_TRUE(row.Find(PR_SUBJECT_A, &v));
  EXPECT_EQ(v.bytes, Subject(i, subjectLength));
  ASSERT_TRUE(row.Find(PR_IMPORTANCE, &v));
  EXPECT_EQ(v.number, static_cast<int64_t>(i % 3));
  ASSERT_TRUE(row.Find(PR_MESSAGE_SIZE, &v));
  EXPECT_EQ(v.number, static_cast<int64_t>(i * 7));
}

// Rows of ~380 bytes: ~5,500 fill a chunk; these take 6 chunks.
constexpr size_t kRowsOverChunks = 30000;

}  // namespace

TEST(ZuvRowArenaTest, RowsReadBackWholeAlignedInTwoMegabyteChunks) {
  const size_t inUse = ChunksInUse();
  std::vector<ZUV_RowRef> rows;
  {
    ZUV_RowArena arena;
    EXPECT_EQ(ChunksInUse(), inUse) << "nothing is mapped before the first row";
    for (uint64_t i = 0; i < kRowsOverChunks; ++i) rows.push_back(MessageRow(&arena, i, 280 + i % 41));
    EXPECT_GE(ChunksInUse(), inUse + 3);
  }
  for (uint64_t i = 0; i < rows.size(); ++i) {
    const ZUV_Row& row = *rows[i];
    EXPECT_TRUE(row.InArena());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&row) % ZUV_RowArena::kAlign, 0u);
    // A row never crosses a chunk boundary.
    const uintptr_t begin = reinterpret_cast<uintptr_t>(&row);
    EXPECT_EQ(begin / ZUV_RowArena::kChunkBytes, (begin + row.AllocatedBytes() - 1) / ZUV_RowArena::kChunkBytes);
    ExpectMessageRow(row, i, 280 + i % 41);
  }
  // Rows built outside an arena stay on the heap.
  EXPECT_FALSE(MessageRow(nullptr, 1)->InArena());
  rows.clear();
  EXPECT_EQ(ChunksInUse(), inUse);
}

TEST(ZuvRowArenaTest, ChunksGoBackWhenTheirLastRowIsFreedInAnyOrder) {
  const size_t inUse = ChunksInUse();
  std::vector<ZUV_RowRef> rows;
  {
    ZUV_RowArena arena;
    for (uint64_t i = 0; i < kRowsOverChunks; ++i) rows.push_back(MessageRow(&arena, i));
  }
  ASSERT_GE(ChunksInUse(), inUse + 3);
  // The first row keeps its chunk mapped while every other row goes.
  ZUV_RowRef kept = rows[0];
  std::mt19937 random(7);
  std::shuffle(rows.begin(), rows.end(), random);
  rows.clear();
  EXPECT_EQ(ChunksInUse(), inUse + 1) << "one row pins its chunk and only it";
  ExpectMessageRow(*kept, 0);
  kept = ZUV_RowRef();
  EXPECT_EQ(ChunksInUse(), inUse);
  const ZUV_RowArena::Stats s = ZUV_RowArena::GetStats();
  EXPECT_LE(s.pooled_chunks, ZUV_RowArena::kPoolChunks) << "past the pool, chunks are unmapped";
  EXPECT_EQ(s.pooled_chunks, ZUV_RowArena::kPoolChunks) << "the pool filled first";

  // The next arena takes pooled chunks before mapping new ones.
  const size_t mapped = ZUV_RowArena::GetStats().mapped_chunks;
  {
    ZUV_RowArena arena;
    ZUV_RowRef row = MessageRow(&arena, 5);
    ExpectMessageRow(*row, 5);
    EXPECT_EQ(ZUV_RowArena::GetStats().mapped_chunks, mapped);
    EXPECT_EQ(ZUV_RowArena::GetStats().pooled_chunks, ZUV_RowArena::kPoolChunks - 1);
  }
  EXPECT_EQ(ZUV_RowArena::GetStats().pooled_chunks, ZUV_RowArena::kPoolChunks);
}

TEST(ZuvRowArenaTest, ARowOutlivesItsArenaAndAnArenaThatEndsEmptyHoldsNothing) {
  const size_t inUse = ChunksInUse();
  ZUV_RowRef survivor;
  {
    ZUV_RowArena arena;
    survivor = MessageRow(&arena, 42);
    ZUV_RowRef copy = survivor;
    for (uint64_t i = 0; i < 100; ++i) (void)MessageRow(&arena, i);  // built and dropped at once
  }
  EXPECT_EQ(ChunksInUse(), inUse + 1);
  ExpectMessageRow(*survivor, 42);
  // The chunk's tail went back to the system at the arena's end; the row's
  // own page did not.
  auto resident = [](uintptr_t address) {
    unsigned char in = 0;
    EXPECT_EQ(::mincore(reinterpret_cast<void*>(address & ~uintptr_t{4095}), 4096, &in), 0);
    return (in & 1) != 0;
  };
  const auto at = reinterpret_cast<uintptr_t>(survivor.get());
  EXPECT_TRUE(resident(at));
  const uintptr_t chunkEnd = (at | (ZUV_RowArena::kChunkBytes - 1)) + 1;
  EXPECT_FALSE(resident(chunkEnd - 4096));
  EXPECT_FALSE(resident(chunkEnd - ZUV_RowArena::kChunkBytes / 2));
  survivor = ZUV_RowRef();
  EXPECT_EQ(ChunksInUse(), inUse);

  { ZUV_RowArena unused; }
  EXPECT_EQ(ChunksInUse(), inUse);
  {
    // Finish mid-way: the arena carries on in another chunk.
    ZUV_RowArena arena;
    ZUV_RowRef a = MessageRow(&arena, 1);
    arena.Finish();
    ZUV_RowRef b = MessageRow(&arena, 2);
    EXPECT_EQ(ChunksInUse(), inUse + 2);
    a = ZUV_RowRef();
    EXPECT_EQ(ChunksInUse(), inUse + 1);
    ExpectMessageRow(*b, 2);
  }
  EXPECT_EQ(ChunksInUse(), inUse);
}

TEST(ZuvRowArenaTest, RowsPastTheLimitStayOnTheHeap) {
  const size_t inUse = ChunksInUse();
  ZUV_RowArena arena;
  const size_t large = ZUV_RowArena::kMaxRowBytes + 1;
  ZUV_RowRef big = MessageRow(&arena, 3, large);
  EXPECT_FALSE(big->InArena());
  EXPECT_EQ(ChunksInUse(), inUse) << "a heap row maps no chunk";
  ExpectMessageRow(*big, 3, large);
  ZUV_RowRef small = MessageRow(&arena, 4);
  EXPECT_TRUE(small->InArena());
  EXPECT_EQ(ChunksInUse(), inUse + 1);
  EXPECT_EQ(arena.Allocate(0), nullptr);
  EXPECT_EQ(arena.Allocate(ZUV_RowArena::kMaxRowBytes + 1), nullptr);
  // The largest row fits, even in a chunk that has little room left.
  for (int i = 0; i < 40; ++i) {
    void* p = arena.Allocate(ZUV_RowArena::kMaxRowBytes);
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, ZUV_RowArena::kMaxRowBytes);
    ZUV_RowArena::Free(p, ZUV_RowArena::kMaxRowBytes);
  }
  ExpectMessageRow(*small, 4);
}

TEST(ZuvRowArenaTest, RowsFreedConcurrentlyOnSeveralThreadsReleaseEveryChunk) {
  const size_t inUse = ChunksInUse();
  constexpr int kThreads = 4;
  std::vector<std::vector<ZUV_RowRef>> shares(kThreads);
  {
    ZUV_RowArena arena;
    for (uint64_t i = 0; i < kRowsOverChunks; ++i) {
      ZUV_RowRef row = MessageRow(&arena, i);
      // Every row to one thread, every fifth to a second one as well.
      shares[i % kThreads].push_back(row);
      if (i % 5 == 0) shares[(i + 1) % kThreads].push_back(row);
    }
  }
  ASSERT_GE(ChunksInUse(), inUse + 3);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&shares, t] {
      std::vector<ZUV_RowRef>& mine = shares[t];
      std::mt19937 random(static_cast<unsigned>(t));
      std::shuffle(mine.begin(), mine.end(), random);
      while (!mine.empty()) mine.pop_back();
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(ChunksInUse(), inUse);
  EXPECT_LE(ZUV_RowArena::GetStats().pooled_chunks, ZUV_RowArena::kPoolChunks);
}

#if defined(__SANITIZE_ADDRESS__)
// Checked builds poison freed row memory: a read through a stale pointer
// is caught though the chunk stays mapped.
TEST(ZuvRowArenaDeathTest, AReadOfAFreedRowIsCaught) {
  ZUV_RowArena arena;
  ZUV_RowRef keep = MessageRow(&arena, 1);
  const ZUV_Row* stale = nullptr;
  {
    ZUV_RowRef gone = MessageRow(&arena, 2);
    stale = gone.get();
  }
  EXPECT_DEATH((void)stale->Count(), "use-after-poison");
  ExpectMessageRow(*keep, 1);
}
#endif
