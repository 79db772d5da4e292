// binary_channel.cpp: the binary upload channel.
//
// Per upload: the client sends a decimal byte count alone, waits for a 10-byte
// acknowledgement, sends the contents, and gets "<upload name>:<count>" back
// ("<upload name>:0" on failure). The upload name is the connection name; the
// contents go to ZUVFiles/<upload name>.jpg, which a later JSON request names.
//
// Contents are streamed into ZUVFiles/<upload name>.jpg.part and renamed over
// the upload file when complete, so memory stays bounded by one chunk per
// connection and a reader never sees a half-written upload.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "base/logging.h"
#include "base/process.h"
#include "base/settings.h"
#include "front/front.h"
#include "front/limits.h"

namespace zuv {
namespace {

constexpr size_t kHeaderReadBytes = 255;
constexpr size_t kChunkBytes = 1 << 20;
constexpr int64_t kMiB = 1 << 20;

// Reads the decimal count at the start of a header like %d. Returns false for
// a header without digits, a negative count or one above max_bytes.
bool ParseUploadHeader(const char* header, int64_t max_bytes, int64_t* count) {
  const char* p = header;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  const char* digits = p;
  int64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    if (value <= max_bytes) value = value * 10 + (*p - '0');
    ++p;
  }
  if (p == digits || negative || value > max_bytes) return false;
  *count = value;
  return true;
}

void Reply(int socket, const std::string& text) { SendAll(socket, text.data(), text.size()); }

// Writes all of data to fd; false on a write error.
bool WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}


// A pipe through which contents move from the socket to the file inside the
// kernel (splice), sparing the copy through user memory.
struct UploadPipe {
  int fds[2] = {-1, -1};
  bool tried = false;
  ~UploadPipe() {
    if (fds[0] >= 0) ::close(fds[0]);
    if (fds[1] >= 0) ::close(fds[1]);
  }
  bool Ready() {
    if (!tried) {
      tried = true;
      if (::pipe2(fds, O_CLOEXEC) == 0) {
        ::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(kChunkBytes));
      } else {
        fds[0] = fds[1] = -1;
      }
    }
    return fds[0] >= 0;
  }
};

struct ReceiveResult {
  int64_t received = 0;
  bool peer_gone = false;     // end of stream or error before count bytes
  bool timed_out = false;     // the deadline passed before count bytes
  bool write_failed = false;  // the file could not take all bytes
};

// Moves count bytes from the socket into fd (or drops them when fd < 0 or a
// write failed, to stay in step with the client). Splices through the pipe
// when it can, else copies through a chunk buffer.
ReceiveResult ReceiveContents(int socket, int fd, int64_t count, const Deadline& deadline,
                              UploadPipe* pipe, std::unique_ptr<char[]>* chunk) {
  ReceiveResult r;
  bool use_splice = fd >= 0 && pipe->Ready();
  while (r.received < count) {
    size_t want = static_cast<size_t>(std::min<int64_t>(count - r.received, kChunkBytes));
    if (WaitReadable(socket, deadline) == 0) {
      r.timed_out = true;
      r.peer_gone = true;
      break;
    }
    if (use_splice && !r.write_failed) {
      ssize_t n = ::splice(socket, nullptr, pipe->fds[1], nullptr, want, SPLICE_F_MOVE | SPLICE_F_MORE);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EINVAL && r.received == 0) {
        use_splice = false;  // this file system or socket does not splice
        continue;
      }
      if (n <= 0) {
        r.peer_gone = true;
        break;
      }
      r.received += n;
      // Drain the pipe into the file; what the file refuses is read out
      // and dropped so the pipe is empty for the next round.
      ssize_t left = n;
      while (left > 0) {
        ssize_t w = r.write_failed ? -1
                                   : ::splice(pipe->fds[0], nullptr, fd, nullptr,
                                              static_cast<size_t>(left), SPLICE_F_MOVE | SPLICE_F_MORE);
        if (w < 0 && errno == EINTR && !r.write_failed) continue;
        if (w <= 0) {
          r.write_failed = true;
          if (*chunk == nullptr) chunk->reset(new char[kChunkBytes]);
          ssize_t d = ::read(pipe->fds[0], chunk->get(), static_cast<size_t>(left));
          if (d <= 0) break;
          left -= d;
          continue;
        }
        left -= w;
      }
      continue;
    }
    if (*chunk == nullptr) chunk->reset(new char[kChunkBytes]);
    ssize_t n = ::recv(socket, chunk->get(), want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      r.peer_gone = true;
      break;
    }
    if (fd >= 0 && !r.write_failed) r.write_failed = !WriteAll(fd, chunk->get(), static_cast<size_t>(n));
    r.received += n;
  }
  return r;
}

}  // namespace

int BinaryClientThread(ConnectionContext* raw_conn) {
  std::unique_ptr<ConnectionContext> conn(raw_conn);
  const char* name = conn->name;
  const FrontLimits& limits = Limits();
  const int64_t max_upload = static_cast<int64_t>(limits.max_upload_mb) * kMiB;
  const std::string final_path = std::string(kUploadDir) + "/" + name + ".jpg";
  const std::string part_path = final_path + ".part";
  const std::string failed_reply = std::string(name) + ":0";
  std::unique_ptr<char[]> chunk;
  UploadPipe pipe;

  NLog_InfoA("ZUV", "Binary Client thread for %s started", name);
  for (;;) {
    NLog_InfoA("ZUV", "Waiting for binary data from client %s", name);
    char header[kHeaderReadBytes + 1];
    ssize_t got = RecvBefore(conn->socket, header, kHeaderReadBytes,
                             Deadline::After(limits.idle_timeout_seconds));
    if (got == kTimedOut) {
      NLog_InfoA("ZUV", "For client %s, closing the connection: no upload for %u seconds (IdleTimeoutSeconds)",
                 name, limits.idle_timeout_seconds);
      break;
    }
    if (got <= 0) break;
    header[got] = '\0';
    const Deadline deadline = Deadline::After(limits.frame_timeout_seconds);

    int64_t count = 0;
    if (!ParseUploadHeader(header, max_upload, &count)) {
      NLog_ErrorA("ZUV", "For client %s, refusing the upload header '%s': not a byte count from 0 to %lld (MaxUploadMB %u)",
                  name, EscapeForLog(std::string_view(header, static_cast<size_t>(got)), 32).c_str(),
                  static_cast<long long>(max_upload), limits.max_upload_mb);
      ::unlink(final_path.c_str());
      Reply(conn->socket, failed_reply);
      break;
    }

    // The acknowledgement echoes the header, NUL-terminated when it is short.
    char ack[10] = {};
    std::memcpy(ack, header, std::min<size_t>(static_cast<size_t>(got), sizeof(ack)));
    if (!SendAll(conn->socket, ack, sizeof(ack))) break;

    int fd = ::open(part_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    // Reserving the blocks up front saves the file system work per write.
    if (fd >= 0 && count > 0) ::posix_fallocate(fd, 0, count);
    const ReceiveResult rr = ReceiveContents(conn->socket, fd, count, deadline, &pipe, &chunk);
    NLog_InfoA("ZUV", "Got %d of binary data", static_cast<int>(count));

    // Whatever goes wrong, the name is left without a file, so a later
    // Attach can never take the contents of an earlier upload.
    bool ok = fd >= 0 && !rr.write_failed && rr.received == count && count > 0;
    if (fd >= 0) ok = (::close(fd) == 0) && ok;
    if (ok) ok = std::rename(part_path.c_str(), final_path.c_str()) == 0;
    if (ok) {
      NLog_InfoA("ZUV", "For client %s, finished saving the file: %d", name, static_cast<int>(count));
      Reply(conn->socket, std::string(name) + ":" + std::to_string(count));
    } else {
      ::unlink(part_path.c_str());
      ::unlink(final_path.c_str());
      if (fd < 0) {
        NLog_ErrorA("ZUV", "Cannot create file %s to save binary data", name);
      } else if (rr.timed_out) {
        NLog_ErrorA("ZUV", "For client %s, the upload stopped: %lld of %lld bytes arrived within %u seconds (FrameTimeoutSeconds); nothing was kept",
                    name, static_cast<long long>(rr.received), static_cast<long long>(count),
                    limits.frame_timeout_seconds);
      } else if (rr.received < count) {
        NLog_ErrorA("ZUV", "For client %s, the upload ended early: %lld of %lld bytes received; nothing was kept",
                    name, static_cast<long long>(rr.received), static_cast<long long>(count));
      } else {
        NLog_ErrorA("ZUV", "Cannot write file %s to save binary data", name);
      }
      Reply(conn->socket, failed_reply);
    }
    if (rr.peer_gone) break;
  }
  // The upload file stays: Attach and AddMessageAttachment may name it after
  // this connection has closed. The start-up and hourly sweeps remove it.
  NLog_InfoA("ZUV", "For Client %s, deleting the binary file: ZUVFiles/%s", name, name);
  ::unlink(part_path.c_str());
  ::close(conn->socket);
  return 0;
}

int SweepUploadFiles(const std::string& dir, int64_t max_age_seconds, bool all_partial) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const auto now = fs::file_time_type::clock::now();
  int removed = 0;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string file = it->path().filename().string();
    const bool partial = file.ends_with(".jpg.part");
    const bool upload = partial || (file.size() > 4 && file.ends_with(".jpg"));
    if (!upload || !it->is_regular_file(ec)) continue;
    if (partial && all_partial) {
      if (fs::remove(it->path(), ec)) ++removed;
      continue;
    }
    auto modified = it->last_write_time(ec);
    if (ec) continue;
    auto age = std::chrono::duration_cast<std::chrono::seconds>(now - modified).count();
    if (age < max_age_seconds) continue;
    if (fs::remove(it->path(), ec)) ++removed;
  }
  return removed;
}

}  // namespace zuv
