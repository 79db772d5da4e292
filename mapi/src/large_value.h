// large_value.h: values too large to hold in memory, in the database and in
// temporary files.
//
// A binary value written through a property stream of an attachment is kept
// in large_chunks as rows of kChunkBytes (the last one shorter), keyed by
// (kind, obj_id, prop_id, seq). Reads fetch the chunks an offset range needs
// and writes insert one chunk at a time, so neither holds the whole value.
// Values set through SetProps stay whole in large_props (model.h).
//
// Until the object holding it is saved, a streamed value lives in a Spool: an
// unlinked temporary file under $TMPDIR (or /tmp).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "db.h"

namespace zuvstore {

inline constexpr size_t kChunkBytes = 1 << 20;

// Bytes of one value in a temporary file. Thread-safe: reads and writes are
// positioned and the size is guarded by mu_.
class Spool {
 public:
  // Creates an empty spool; nullptr with *err set when no file can be made.
  static std::shared_ptr<Spool> Create(std::string* err);
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  int64_t size() const;
  // Writes n bytes at offset (a gap reads as zeros). False on an I/O error.
  bool WriteAt(int64_t offset, const void* data, size_t n);
  // Reads up to n bytes at offset into buf; *got 0 at the end.
  bool ReadAt(int64_t offset, void* buf, size_t n, size_t* got) const;
  bool Resize(int64_t size);
  // A new spool with the same bytes, copied a chunk at a time.
  std::shared_ptr<Spool> Clone(std::string* err) const;

 private:
  explicit Spool(int fd) : fd_(fd) {}
  const int fd_;
  mutable std::mutex mu_;
  int64_t size_ = 0;  // guarded by mu_
};

// Where the full bytes of a value kept as a prefix are: in spool when set,
// else in the chunks of (kind, obj_id) in the database.
struct LargeRef {
  int64_t size = 0;
  std::shared_ptr<Spool> spool;
  ObjKind kind = ObjKind::kAttach;
  int64_t obj_id = 0;
};
using LargeMap = std::map<uint16_t, LargeRef>;

// Size of the chunked value; MAPI_E_NOT_FOUND when it has no chunks.
[[nodiscard]] HRESULT ChunkedSize(sqlite3* db, ObjKind kind, int64_t obj_id, uint16_t prop_id,
                                  int64_t* size);
// Reads up to n bytes at offset of the chunked value into buf (*got 0 at the
// end). A missing chunk inside the size is MAPI_E_CORRUPT_DATA.
[[nodiscard]] HRESULT ReadChunked(sqlite3* db, ObjKind kind, int64_t obj_id, uint16_t prop_id,
                                  int64_t offset, void* buf, size_t n, size_t* got);
// Writes the spool's bytes as the chunks of the value, replacing any.
[[nodiscard]] HRESULT WriteChunked(WriteTxn& txn, ObjKind kind, int64_t obj_id, uint16_t prop_id,
                                   const Spool& spool);
// Copies every chunked value of (kind, from_id) to (kind, to_id) inside the
// database. Sets *copied to the number of chunks when not null.
[[nodiscard]] HRESULT CopyChunked(WriteTxn& txn, ObjKind kind, int64_t from_id, int64_t to_id,
                                  int64_t* copied);
// Deletes the chunked values of (kind, obj_id), except the IDs in keep.
[[nodiscard]] HRESULT DeleteChunked(WriteTxn& txn, ObjKind kind, int64_t obj_id,
                                    const std::set<uint16_t>& keep);

// Reads up to n bytes at offset of ref's value (spool or database).
[[nodiscard]] HRESULT ReadLarge(Db& db, const LargeRef& ref, uint16_t prop_id, int64_t offset,
                                void* buf, size_t n, size_t* got, std::string* err);

}  // namespace zuvstore
