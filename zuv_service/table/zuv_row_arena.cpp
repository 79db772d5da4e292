// zuv_row_arena.cpp: 2 MiB chunks of row memory, counted and pooled.
#include "table/zuv_row_arena.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "base/thread_annotations.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define ARENA_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define ARENA_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define ARENA_POISON(p, n) ((void)(p), (void)(n))
#define ARENA_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

// The head of each chunk. live counts the chunk's rows not yet freed, plus
// kBias while an arena allocates from it.
struct alignas(64) ZUV_RowArena::Chunk {
  std::atomic<uint64_t> live{0};
};

namespace {

constexpr uint64_t kBias = uint64_t{1} << 40;
constexpr size_t kPageBytes = 4096;

size_t RoundUp(size_t n, size_t to) { return (n + to - 1) & ~(to - 1); }

struct ChunkPool {
  zuv::Mutex mu;
  void* chunks[ZUV_RowArena::kPoolChunks] ZUV_GUARDED_BY(mu) = {};
  size_t count ZUV_GUARDED_BY(mu) = 0;
};

// Never destroyed: rows may be freed while the process exits.
ChunkPool& Pool() {
  static ChunkPool* pool = new ChunkPool;
  return *pool;
}

std::atomic<size_t> g_mapped{0};
std::atomic<size_t> g_pooled{0};

// A fresh chunk: 2 MiB at a 2 MiB boundary, cut out of a larger mapping.
void* MapChunk() {
  constexpr size_t kChunk = ZUV_RowArena::kChunkBytes;
  const size_t span = 2 * kChunk - kPageBytes;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto base = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = RoundUp(base, kChunk);
  if (aligned > base) (void)::munmap(raw, aligned - base);
  const uintptr_t tail = aligned + kChunk;
  if (tail < base + span) (void)::munmap(reinterpret_cast<void*>(tail), base + span - tail);
  void* chunk = reinterpret_cast<void*>(aligned);
  (void)::madvise(chunk, kChunk, MADV_HUGEPAGE);  // a plain mapping still works
  g_mapped.fetch_add(1, std::memory_order_relaxed);
  return chunk;
}

void* TakePooledChunk() {
  ChunkPool& pool = Pool();
  zuv::MutexLock lock(pool.mu);
  if (pool.count == 0) return nullptr;
  g_pooled.fetch_sub(1, std::memory_order_relaxed);
  return pool.chunks[--pool.count];
}

// The last row of a retired chunk is gone.
void ReleaseChunk(ZUV_RowArena::Chunk* chunk) {
  ARENA_POISON(chunk + 1, ZUV_RowArena::kChunkBytes - sizeof(*chunk));
  {
    ChunkPool& pool = Pool();
    zuv::MutexLock lock(pool.mu);
    if (pool.count < ZUV_RowArena::kPoolChunks) {
      pool.chunks[pool.count++] = chunk;
      g_pooled.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  chunk->~Chunk();
  // The shadow of an unmapped range must not stay poisoned for its next use.
  ARENA_UNPOISON(chunk, ZUV_RowArena::kChunkBytes);
  (void)::munmap(chunk, ZUV_RowArena::kChunkBytes);
  g_mapped.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

bool ZUV_RowArena::StartChunk() {
  void* memory = TakePooledChunk();
  if (memory == nullptr) memory = MapChunk();
  if (memory == nullptr) return false;
  chunk_ = new (memory) Chunk();
  chunk_->live.store(kBias, std::memory_order_relaxed);
  next_ = reinterpret_cast<char*>(chunk_ + 1);
  end_ = static_cast<char*>(memory) + kChunkBytes;
  allocated_ = 0;
  ARENA_POISON(next_, static_cast<size_t>(end_ - next_));
  return true;
}

void* ZUV_RowArena::Allocate(size_t bytes) {
  if (bytes == 0 || bytes > kMaxRowBytes) return nullptr;
  const size_t size = RoundUp(bytes, kAlign);
  if (chunk_ == nullptr || static_cast<size_t>(end_ - next_) < size) {
    Finish();
    if (!StartChunk()) return nullptr;
  }
  void* memory = next_;
  next_ += size;
  ++allocated_;
  ARENA_UNPOISON(memory, size);
  return memory;
}

void ZUV_RowArena::Free(void* memory, size_t bytes) {
  ARENA_POISON(memory, RoundUp(bytes, kAlign));
  (void)bytes;
  auto* chunk = reinterpret_cast<Chunk*>(reinterpret_cast<uintptr_t>(memory) & ~(uintptr_t{kChunkBytes} - 1));
  if (chunk->live.fetch_sub(1, std::memory_order_acq_rel) == 1) ReleaseChunk(chunk);
}

void ZUV_RowArena::Finish() {
  if (chunk_ == nullptr) return;
  // Whole pages past the last row were never handed out: give them back.
  const auto used = reinterpret_cast<uintptr_t>(next_);
  const uintptr_t unusedFrom = RoundUp(used, kPageBytes);
  const auto end = reinterpret_cast<uintptr_t>(end_);
  if (unusedFrom < end) (void)::madvise(reinterpret_cast<void*>(unusedFrom), end - unusedFrom, MADV_DONTNEED);
  Chunk* chunk = chunk_;
  const uint64_t drop = kBias - allocated_;
  chunk_ = nullptr;
  next_ = end_ = nullptr;
  allocated_ = 0;
  if (chunk->live.fetch_sub(drop, std::memory_order_acq_rel) == drop) ReleaseChunk(chunk);
}

ZUV_RowArena::Stats ZUV_RowArena::GetStats() {
  Stats s;
  s.mapped_chunks = g_mapped.load(std::memory_order_relaxed);
  s.pooled_chunks = g_pooled.load(std::memory_order_relaxed);
  return s;
}
