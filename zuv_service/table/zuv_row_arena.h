// zuv_row_arena.h: the memory of the rows one table fill builds.
//
// A fill builds its rows one after another, ~100,000 at a time; on
// operator new each row is a heap block and the heap grows by small pages.
// An arena hands out row memory from chunks of 2 MiB, 2 MiB-aligned and
// marked MADV_HUGEPAGE, so a fill faults in a few dozen huge pages. The
// row records that its memory came from a chunk (see ZUV_Row) and frees
// it through Free, which finds the chunk by masking the address: the row
// may outlive the arena and the table that built it.
//
// Each chunk counts its live rows. The arena holds a bias on the chunk it
// allocates from; it drops the bias when it moves to a new chunk or ends
// (retires the chunk). The last free of a retired chunk releases it: into
// a process-wide pool of up to kPoolChunks chunks, kept warm for the next
// fill, else unmapped. When the arena ends, the unused whole pages at the
// tail of its last chunk go back to the system (MADV_DONTNEED).
//
// Memory bound: a chunk stays mapped while any row in it lives, and the
// space of its freed rows is not reused until all of them are freed. So
// the worst case is one fill's chunks (its rows' bytes, rounded up to
// 2 MiB) pinned by a few rows that outlive the rest - e.g. rows of a table
// whose other rows were replaced by notifications. Nothing else is held:
// the pool is bounded, and a fill allocates only while it runs.
//
// Threading: an arena object belongs to the one thread that fills with it
// (not thread-safe). Free may run on any thread at any time (the live
// count is atomic). The pool is guarded by its own mutex, taken only when
// an arena starts a chunk or a chunk is released, and never held across
// another lock or a system call.
#pragma once

#include <cstddef>
#include <cstdint>

class ZUV_RowArena {
 public:
  static constexpr size_t kChunkBytes = size_t{2} << 20;
  // Larger rows stay on operator new.
  static constexpr size_t kMaxRowBytes = size_t{64} << 10;
  // Released chunks kept for the next fill.
  static constexpr size_t kPoolChunks = 4;
  static constexpr size_t kAlign = 8;

  ZUV_RowArena() = default;
  ~ZUV_RowArena() { Finish(); }
  ZUV_RowArena(const ZUV_RowArena&) = delete;
  ZUV_RowArena& operator=(const ZUV_RowArena&) = delete;

  // bytes of memory aligned to kAlign; null when bytes > kMaxRowBytes or
  // no chunk can be mapped (the caller uses operator new then).
  void* Allocate(size_t bytes);
  // Frees memory Allocate returned, from any thread, whether or not its
  // arena still exists. bytes: as asked of Allocate.
  static void Free(void* memory, size_t bytes);
  // Retires the current chunk, its unused tail given back. The arena may
  // allocate again afterwards (from a new chunk).
  void Finish();

  struct Stats {
    size_t mapped_chunks = 0;  // in use or pooled
    size_t pooled_chunks = 0;
  };
  static Stats GetStats();

  // The head of a chunk (opaque).
  struct Chunk;

 private:
  bool StartChunk();
  Chunk* chunk_ = nullptr;   // the chunk allocated from; null before the first row
  char* next_ = nullptr;     // its first free byte
  char* end_ = nullptr;
  uint64_t allocated_ = 0;   // rows handed out of chunk_
};
