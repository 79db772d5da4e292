// large_value.cpp: chunked values in the database and spool files.
#include "large_value.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zuvstore {

// ---- Spool ----

std::shared_ptr<Spool> Spool::Create(std::string* err) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/zuvstore-spool-XXXXXX";
  int fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) {
    if (err) *err = "cannot create a temporary file in " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  unlink(path.c_str());  // gone with the last descriptor
  return std::shared_ptr<Spool>(new Spool(fd));
}

Spool::~Spool() { close(fd_); }

int64_t Spool::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return size_;
}

bool Spool::WriteAt(int64_t offset, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    ssize_t w = pwrite(fd_, p + done, n - done, static_cast<off_t>(offset + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  std::lock_guard<std::mutex> lock(mu_);
  size_ = std::max<int64_t>(size_, offset + static_cast<int64_t>(n));
  return true;
}

bool Spool::ReadAt(int64_t offset, void* buf, size_t n, size_t* got) const {
  *got = 0;
  const int64_t end = size();
  if (offset >= end) return true;
  n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), end - offset));
  char* p = static_cast<char*>(buf);
  while (*got < n) {
    ssize_t r = pread(fd_, p + *got, n - *got, static_cast<off_t>(offset + *got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) {  // a gap never written reads as zeros
      std::memset(p + *got, 0, n - *got);
      *got = n;
      break;
    }
    *got += static_cast<size_t>(r);
  }
  return true;
}

bool Spool::Resize(int64_t size) {
  if (ftruncate(fd_, static_cast<off_t>(size)) != 0) return false;
  std::lock_guard<std::mutex> lock(mu_);
  size_ = size;
  return true;
}

std::shared_ptr<Spool> Spool::Clone(std::string* err) const {
  std::shared_ptr<Spool> copy = Create(err);
  if (!copy) return nullptr;
  std::vector<char> buf(kChunkBytes);
  const int64_t end = size();
  for (int64_t off = 0; off < end;) {
    size_t got = 0;
    if (!ReadAt(off, buf.data(), buf.size(), &got) || got == 0 || !copy->WriteAt(off, buf.data(), got)) {
      if (err) *err = std::string("cannot copy a temporary file: ") + std::strerror(errno);
      return nullptr;
    }
    off += static_cast<int64_t>(got);
  }
  return copy;
}

// ---- Chunks in the database ----

HRESULT ChunkedSize(sqlite3* db, ObjKind kind, int64_t obj_id, uint16_t prop_id, int64_t* size) {
  // Every chunk but the last is full: the last one's number and length say it.
  Stmt s(db,
         "SELECT seq, length(data) FROM large_chunks WHERE kind = ? AND obj_id = ? AND prop_id = ? "
         "ORDER BY seq DESC LIMIT 1");
  s.Bind(1, static_cast<int64_t>(kind)).Bind(2, obj_id).Bind(3, prop_id);
  int rc = s.Step();
  if (rc == SQLITE_DONE) return MAPI_E_NOT_FOUND;
  if (rc != SQLITE_ROW) return MAPI_E_CALL_FAILED;
  *size = s.Int(0) * static_cast<int64_t>(kChunkBytes) + s.Int(1);
  return S_OK;
}

HRESULT ReadChunked(sqlite3* db, ObjKind kind, int64_t obj_id, uint16_t prop_id, int64_t offset, void* buf,
                    size_t n, size_t* got) {
  *got = 0;
  char* out = static_cast<char*>(buf);
  Stmt s(db, "SELECT data FROM large_chunks WHERE kind = ? AND obj_id = ? AND prop_id = ? AND seq = ?");
  while (*got < n) {
    const int64_t pos = offset + static_cast<int64_t>(*got);
    const int64_t seq = pos / static_cast<int64_t>(kChunkBytes);
    const size_t in_chunk = static_cast<size_t>(pos % static_cast<int64_t>(kChunkBytes));
    sqlite3_reset(s.raw());
    s.Bind(1, static_cast<int64_t>(kind)).Bind(2, obj_id).Bind(3, prop_id).Bind(4, seq);
    int rc = s.Step();
    if (rc == SQLITE_DONE) return *got > 0 || seq == 0 ? S_OK : MAPI_E_CORRUPT_DATA;
    if (rc != SQLITE_ROW) return MAPI_E_CALL_FAILED;
    std::string_view data = s.Blob(0);
    if (in_chunk >= data.size()) break;  // the end of the value
    const size_t take = std::min(n - *got, data.size() - in_chunk);
    std::memcpy(out + *got, data.data() + in_chunk, take);
    *got += take;
    if (data.size() < kChunkBytes) break;  // the last chunk
  }
  return S_OK;
}

HRESULT WriteChunked(WriteTxn& txn, ObjKind kind, int64_t obj_id, uint16_t prop_id, const Spool& spool) {
  sqlite3* db = txn.conn();
  Stmt clear(db, "DELETE FROM large_chunks WHERE kind = ? AND obj_id = ? AND prop_id = ?");
  clear.Bind(1, static_cast<int64_t>(kind)).Bind(2, obj_id).Bind(3, prop_id);
  if (clear.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  std::vector<char> buf(kChunkBytes);
  const int64_t end = spool.size();
  int64_t seq = 0;
  // An empty value still has one (empty) chunk, so that it exists.
  for (int64_t off = 0; off < end || seq == 0; ++seq) {
    size_t got = 0;
    if (!spool.ReadAt(off, buf.data(), buf.size(), &got)) return MAPI_E_DISK_ERROR;
    Stmt put(db, "INSERT INTO large_chunks(kind, obj_id, prop_id, seq, data) VALUES(?,?,?,?,?)");
    put.Bind(1, static_cast<int64_t>(kind)).Bind(2, obj_id).Bind(3, prop_id).Bind(4, seq);
    sqlite3_bind_blob64(put.raw(), 5, got > 0 ? buf.data() : "", got, SQLITE_STATIC);
    if (put.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
    off += static_cast<int64_t>(got);
    if (got == 0) break;
  }
  // A value of an exact number of chunks needs an empty last one, so that
  // ChunkedSize sees where it ends.
  if (end > 0 && end % static_cast<int64_t>(kChunkBytes) == 0) {
    Stmt put(db, "INSERT INTO large_chunks(kind, obj_id, prop_id, seq, data) VALUES(?,?,?,?,?)");
    put.Bind(1, static_cast<int64_t>(kind)).Bind(2, obj_id).Bind(3, prop_id).Bind(4, seq).BindBlob(5, "");
    if (put.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  }
  return S_OK;
}

HRESULT CopyChunked(WriteTxn& txn, ObjKind kind, int64_t from_id, int64_t to_id, int64_t* copied) {
  Stmt s(txn.conn(),
         "INSERT INTO large_chunks(kind, obj_id, prop_id, seq, data) SELECT kind, ?, prop_id, seq, data "
         "FROM large_chunks WHERE kind = ? AND obj_id = ?");
  s.Bind(1, to_id).Bind(2, static_cast<int64_t>(kind)).Bind(3, from_id);
  if (s.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  if (copied) *copied = sqlite3_changes(txn.conn());
  return S_OK;
}

HRESULT DeleteChunked(WriteTxn& txn, ObjKind kind, int64_t obj_id, const std::set<uint16_t>& keep) {
  sqlite3* db = txn.conn();
  std::vector<int64_t> ids;
  {
    Stmt s(db, "SELECT DISTINCT prop_id FROM large_chunks WHERE kind = ? AND obj_id = ?");
    s.Bind(1, static_cast<int64_t>(kind)).Bind(2, obj_id);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) {
      if (keep.count(static_cast<uint16_t>(s.Int(0))) == 0) ids.push_back(s.Int(0));
    }
    if (rc != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  }
  for (int64_t id : ids) {
    Stmt del(db, "DELETE FROM large_chunks WHERE kind = ? AND obj_id = ? AND prop_id = ?");
    del.Bind(1, static_cast<int64_t>(kind)).Bind(2, obj_id).Bind(3, id);
    if (del.Step() != SQLITE_DONE) return MAPI_E_CALL_FAILED;
  }
  return S_OK;
}

HRESULT ReadLarge(Db& db, const LargeRef& ref, uint16_t prop_id, int64_t offset, void* buf, size_t n,
                  size_t* got, std::string* err) {
  *got = 0;
  if (offset >= ref.size) return S_OK;
  n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), ref.size - offset));
  if (ref.spool) {
    if (ref.spool->ReadAt(offset, buf, n, got)) return S_OK;
    if (err) *err = std::string("cannot read a temporary file: ") + std::strerror(errno);
    return MAPI_E_DISK_ERROR;
  }
  return db.Read(
      [&](sqlite3* conn) { return ReadChunked(conn, ref.kind, ref.obj_id, prop_id, offset, buf, n, got); },
      err);
}

}  // namespace zuvstore
