// table_load.cpp: load tool for the cached folder tables of zuv_service.
//
// Builds a private store (or reuses one kept with --store-dir) holding the
// service mailbox and three folders of generated messages (6 columns:
// subject of 12 to 400 characters, sender name, sender address, importance,
// message flags, submit time), starts the service on free loopback ports
// with a private ZUV_HOME, then measures over the wire, each next to its
// baseline in the same run:
//  memory - service RSS before and after a table of --messages rows exists
//           (a read matching nothing, so no large response is made), per
//           row, against the value bytes of the 6 columns;
//  cold   - GetTable of a fresh --messages folder, whole (startIndex 1,
//           numEntries 0), population included, rows/s; baseline one SQLite
//           SELECT of the same columns from the store file, read-only;
//  warm   - the same GetTable again, rows/s and MB/s; baseline a plain
//           loopback socket copy of the same response bytes;
//  ping   - ClientPing on kept connections with 1, 8 and 64 clients;
//           baseline one client of a bare loopback server answering the
//           same frames;
//  first  - time to the first response for startIndex 1, numEntries 50 on
//           a fresh --rows folder while it fills, then the fill's rate and
//           the memory per row of that table.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "mapi/mapiptr.h"
#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kAlias = "svc-zuv";
constexpr const char* kServer = "MAIL01";
constexpr const char* kStoreKey = "ZUV_MAILBOX_STORE_ENTRYID";
constexpr const char* kClientId = "table-load";
constexpr const char* kColumns =
    "\"PR_SUBJECT\",\"PR_SENDER_NAME\",\"PR_SENDER_EMAIL_ADDRESS\",\"PR_IMPORTANCE\",\"PR_MESSAGE_FLAGS\","
    "\"PR_CLIENT_SUBMIT_TIME\"";
// The same columns as stored property IDs.
constexpr uint16_t kColumnIds[6] = {0x0037, 0x0C1A, 0x0C1F, 0x0017, 0x0E07, 0x0039};
// A criterion no generated message meets (importance is 0..2).
constexpr const char* kMatchNothing =
    ",\"SearchCriteria\":[{\"<PropertyName>k__BackingField\":\"PR_IMPORTANCE\","
    "\"<PropertyValue>k__BackingField\":{\"Kind\":3,\"Value\":99},\"<Operator>k__BackingField\":4}]";
constexpr const char* kPingResponse = "{\"ErrorNumber\":0}";
constexpr int kBatchMessages = 5000;  // messages per store transaction while building

std::atomic<bool> g_interrupted{false};
void OnSignal(int) { g_interrupted.store(true); }

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// ---------------------------------------------------------------- options

struct Options {
  std::string service;
  long messages = 100000;
  long rows = 1000000;
  long subject_max = 400;
  std::vector<int> clients{1, 8, 64};
  double seconds = 3.0;
  int repeat = 5;
  std::string tmp_dir = "/tmp";
  std::string store_dir;  // kept store, reused when it holds the folders
  std::string keep_log;   // where the service's log is copied at the end
  std::string log_level;  // minlevel of the service's file and console logs; "" keeps its default
  double timeout = 600.0;
};

const char* kHelp =
    "Usage: table_load [options]\n"
    "\n"
    "Cached folder tables of zuv_service over the wire, each beside a baseline:\n"
    "cold and warm GetTable of a whole folder, ClientPing on kept connections,\n"
    "time to the first page of a large folder while it fills, memory per row.\n"
    "\n"
    "  --service PATH   zuv_service to start (default: next to this tool)\n"
    "  --messages N     messages of the cold/warm and memory folders (100000)\n"
    "  --rows N         messages of the large folder for the first page; 0 skips\n"
    "                   it (1000000)\n"
    "  --subject-max N  longest subject (400; 254 or less: no subject is cut by\n"
    "                   the contents table, so no message is opened)\n"
    "  --clients LIST   ClientPing client counts, comma separated (1,8,64)\n"
    "  --seconds S      length of each ClientPing run (3)\n"
    "  --repeat N       warm reads and baseline copies (5)\n"
    "  --tmp-dir DIR    parent of the private ZUV_HOME (/tmp)\n"
    "  --store-dir DIR  build the store in DIR and keep it; a later run reuses it\n"
    "                   (folders are topped up to the sizes asked for)\n"
    "  --keep-log FILE  copy the service's log to FILE at the end\n"
    "  --log-level L    minlevel of the service's file and console logs (Trace,\n"
    "                   Debug, Info, Warn, Error); default: the service's own\n"
    "                   configuration (Info), which writes every request\n"
    "  --timeout S      per socket operation (600)\n"
    "  --help           this text\n"
    "\n"
    "Exit status: 0 when every request succeeded, 1 on errors, 2 on bad options\n"
    "or when the store or the service cannot be made.\n";

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string cur;
  std::istringstream in(s);
  while (std::getline(in, cur, sep)) parts.push_back(cur);
  return parts;
}

bool ParseLong(const std::string& s, long min, long max, long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

// 0 to go on, -1 after --help, else the exit status.
int ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::string v;
    auto value = [&]() {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "table_load: %s needs a value\n", a.c_str());
        return false;
      }
      v = argv[++i];
      return true;
    };
    long n = 0;
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return -1;
    } else if (a == "--service") {
      if (!value()) return 2;
      o->service = v;
    } else if (a == "--messages") {
      if (!value() || !ParseLong(v, 1, 10000000, &o->messages)) return 2;
    } else if (a == "--rows") {
      if (!value() || !ParseLong(v, 0, 10000000, &o->rows)) return 2;
    } else if (a == "--subject-max") {
      if (!value() || !ParseLong(v, 20, 1000, &o->subject_max)) return 2;
    } else if (a == "--clients") {
      if (!value()) return 2;
      o->clients.clear();
      for (const std::string& c : Split(v, ',')) {
        if (!ParseLong(c, 1, 1024, &n)) {
          std::fprintf(stderr, "table_load: bad client count '%s'\n", c.c_str());
          return 2;
        }
        o->clients.push_back(static_cast<int>(n));
      }
    } else if (a == "--seconds") {
      if (!value()) return 2;
      o->seconds = std::strtod(v.c_str(), nullptr);
      if (!(o->seconds > 0) || o->seconds > 600) return 2;
    } else if (a == "--repeat") {
      if (!value() || !ParseLong(v, 1, 100, &n)) return 2;
      o->repeat = static_cast<int>(n);
    } else if (a == "--tmp-dir") {
      if (!value()) return 2;
      o->tmp_dir = v;
    } else if (a == "--store-dir") {
      if (!value()) return 2;
      o->store_dir = v;
    } else if (a == "--keep-log") {
      if (!value()) return 2;
      o->keep_log = v;
    } else if (a == "--log-level") {
      if (!value()) return 2;
      o->log_level = v;
    } else if (a == "--timeout") {
      if (!value()) return 2;
      o->timeout = std::strtod(v.c_str(), nullptr);
      if (!(o->timeout > 0)) return 2;
    } else {
      std::fprintf(stderr, "table_load: unknown option '%s' (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (o->service.empty()) {
    o->service = (fs::path(argv[0]).parent_path() / "zuv_service").string();
  }
  return 0;
}

// ---------------------------------------------------------------- sockets

int ConnectLoopback(uint16_t port, double timeout) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    const int saved = errno;
    ::close(fd);
    return -saved;
  }
  return fd;
}

bool SendAll(int fd, const char* p, size_t len) {
  while (len > 0) {
    const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool RecvExact(int fd, char* p, size_t len) {
  while (len > 0) {
    const ssize_t n = ::recv(fd, p, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

std::string Frame(const std::string& json) { return std::to_string(json.size()) + json; }

// One request and its response on fd, timed from the send to the first
// byte and to the last byte of the response. The body lands in a buffer
// kept across exchanges, so page faults of fresh memory are not timed.
struct Exchange {
  bool ok = false;
  double first_byte = 0;
  double last_byte = 0;
  size_t bytes = 0;  // header included
  std::string_view body;
};

// Responses land here. The pages are huge where the kernel gives them and
// are written through the kernel once beforehand (a read of /dev/zero):
// on some virtual machines the kernel's first write to a user page costs
// as much as the page fault, and no measured read should pay for either.
class ReceiveBuffer {
 public:
  ReceiveBuffer() = default;
  ~ReceiveBuffer() { Unmap(); }
  ReceiveBuffer(const ReceiveBuffer&) = delete;
  ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;

  char* data() { return data_; }
  size_t size() const { return size_; }
  // At least len bytes, touched; what was held before is not kept.
  void Reserve(size_t len) {
    if (len <= size_) return;
    Unmap();
    constexpr size_t kHuge = size_t{2} << 20;
    const size_t bytes = (len + kHuge - 1) / kHuge * kHuge;
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      std::perror("table_load: mmap of the receive buffer");
      std::exit(2);
    }
    (void)::madvise(p, bytes, MADV_HUGEPAGE);
    data_ = static_cast<char*>(p);
    size_ = bytes;
    const int zero = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
    size_t done = 0;
    while (zero >= 0 && done < size_) {
      const ssize_t n = ::read(zero, data_ + done, size_ - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    if (zero >= 0) ::close(zero);
    if (done < size_) std::memset(data_ + done, 0, size_ - done);
  }

 private:
  void Unmap() {
    if (data_ != nullptr) ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
  }
  char* data_ = nullptr;
  size_t size_ = 0;
};

Exchange Roundtrip(int fd, const std::string& frame, ReceiveBuffer* buffer) {
  Exchange x;
  const Clock::time_point t0 = Clock::now();
  if (!SendAll(fd, frame.data(), frame.size())) return x;
  char header[11] = {};
  if (!RecvExact(fd, header, 1)) return x;
  x.first_byte = SecondsSince(t0);
  if (!RecvExact(fd, header + 1, 9)) return x;
  char* end = nullptr;
  const unsigned long len = std::strtoul(header, &end, 10);
  if (end == header) return x;
  buffer->Reserve(len);
  if (!RecvExact(fd, buffer->data(), len)) return x;
  x.last_byte = SecondsSince(t0);
  x.bytes = 10 + len;
  x.body = std::string_view(buffer->data(), len);
  x.ok = true;
  return x;
}

// One short request and its response with as few calls as the client can
// make (one send, usually one receive), so that on a small machine the
// client takes little of what the service could use. *body: the response.
bool ShortRoundtrip(int fd, const std::string& frame, std::string* body) {
  if (!SendAll(fd, frame.data(), frame.size())) return false;
  char buf[512];
  size_t have = 0, need = 10;
  while (have < need) {
    const ssize_t n = ::recv(fd, buf + have, sizeof(buf) - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
    if (have >= 10 && need == 10) {
      char header[11] = {};
      std::memcpy(header, buf, 10);
      need = 10 + std::strtoul(header, nullptr, 10);
      if (need > sizeof(buf)) return false;
    }
  }
  body->assign(buf + 10, need - 10);
  return have == need;
}

// Rows of a GetTable response; -1 when it is no successful table read.
long RowsOf(std::string_view body) {
  rapidjson::Document d;
  d.Parse(body.data(), body.size());
  if (!d.IsObject() || !d.HasMember("ErrorNumber") || !d["ErrorNumber"].IsInt() || d["ErrorNumber"].GetInt() != 0 ||
      !d.HasMember("ROWS") || !d["ROWS"].IsArray()) {
    return -1;
  }
  return static_cast<long>(d["ROWS"].Size());
}

std::string GetTableRequest(const std::string& folder, int startIndex, int numEntries, const std::string& extra = "") {
  return Frame("{\"ProtocolVersion\":4,\"Request\":1001,\"EntryID\":\"" + folder + "\",\"StoreEntryID\":\"" +
               kStoreKey + "\",\"ClientIdentifier\":\"" + kClientId + "\",\"identifier\":\"load\",\"ColumnList\":[" +
               kColumns + "],\"startIndex\":" + std::to_string(startIndex) +
               ",\"numEntries\":" + std::to_string(numEntries) + extra + "}");
}

// A GetTable on a connection of its own.
Exchange GetTable(uint16_t port, double timeout, const std::string& frame, ReceiveBuffer* buffer) {
  const int fd = ConnectLoopback(port, timeout);
  if (fd < 0) return Exchange{};
  Exchange x = Roundtrip(fd, frame, buffer);
  ::close(fd);
  return x;
}

// ---------------------------------------------------------------- store

struct FolderSpec {
  std::string name;  // under Inbox
  long count = 0;
  std::string entry_id;
};

// Subject of message i: 12 to maxChars characters (with the default 400,
// about a third past the table's 255-character cut).
std::string SubjectOf(long i, long maxChars) {
  std::string s = "Subject " + std::to_string(i) + " ";
  s.resize(static_cast<size_t>(12 + (i * 37) % (maxChars - 11)), 'x');
  return s;
}

HRESULT AddMessages(zuvstore::StoreAdmin* admin, const std::string& path, long from, long to, long subjectMax,
                    std::string* err) {
  MapiPtr<IMAPIFolder> folder;
  HRESULT hr = admin->OpenFolder(kAlias, false, path, folder.put(), err);
  if (FAILED(hr)) return hr;
  for (long start = from; start < to && !g_interrupted.load(); start += kBatchMessages) {
    const long end = std::min(to, start + kBatchMessages);
    hr = admin->Batch(
        [&]() -> HRESULT {
          for (long i = start; i < end; ++i) {
            MapiPtr<IMessage> msg;
            HRESULT h = folder->CreateMessage(nullptr, 0, msg.put());
            if (FAILED(h)) return h;
            const std::string subject = SubjectOf(i, subjectMax);
            const std::string sender = "Sender " + std::to_string(i % 97);
            const std::string address = "sender" + std::to_string(i % 97) + "@example.org";
            SPropValue v[6]{};
            v[0].ulPropTag = PR_SUBJECT_A;
            v[0].Value.lpszA = const_cast<char*>(subject.c_str());
            v[1].ulPropTag = PR_SENDER_NAME_A;
            v[1].Value.lpszA = const_cast<char*>(sender.c_str());
            v[2].ulPropTag = PR_SENDER_EMAIL_ADDRESS_A;
            v[2].Value.lpszA = const_cast<char*>(address.c_str());
            v[3].ulPropTag = PR_IMPORTANCE;
            v[3].Value.l = static_cast<LONG>(i % 3);
            v[4].ulPropTag = PR_MESSAGE_FLAGS;
            v[4].Value.l = (i % 2) != 0 ? MSGFLAG_READ : 0;
            v[5].ulPropTag = PR_CLIENT_SUBMIT_TIME;
            const uint64_t ft = 133000000000000000ull + static_cast<uint64_t>(i) * 10000000ull;
            v[5].Value.ft = FILETIME{static_cast<DWORD>(ft & 0xFFFFFFFFu), static_cast<DWORD>(ft >> 32)};
            if (FAILED(h = msg->SetProps(6, v, nullptr))) return h;
            if (FAILED(h = msg->SaveChanges(0))) return h;
          }
          return S_OK;
        },
        err);
    if (FAILED(hr)) return hr;
  }
  return g_interrupted.load() ? MAPI_E_USER_CANCEL : S_OK;
}

// Opens or creates the store at path with the service mailbox and the
// folders, topping each up to its count.
bool PrepareStore(const std::string& path, std::vector<FolderSpec*> folders, long subjectMax, std::string* err) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  const bool existed = fs::exists(path);
  std::unique_ptr<zuvstore::StoreAdmin> admin;
  if (zuvstore::StoreAdmin::Open(path, &admin, err) != S_OK) return false;
  if (!existed) {
    zuvstore::MailboxSpec spec;
    spec.alias = kAlias;
    spec.display_name = "ZUV Service";
    spec.smtp = {"svc-zuv@example.com"};
    spec.legacy_dn = "/o=Example/ou=Admin/cn=Recipients/cn=svc-zuv";
    spec.server = kServer;
    std::string id;
    if (admin->AddServer(kServer, false, err) != S_OK || admin->AddMailbox(spec, &id, err) != S_OK) return false;
  }
  std::vector<zuvstore::FolderInfo> existing;
  if (admin->ListFolders(kAlias, false, &existing, err) != S_OK) return false;
  for (FolderSpec* f : folders) {
    const std::string folderPath = "Inbox/" + f->name;
    long have = 0;
    for (const zuvstore::FolderInfo& info : existing) {
      if (info.path == folderPath) have = static_cast<long>(info.content_count);
    }
    if (admin->CreateFolderPath(kAlias, false, folderPath, "IPF.Note", &f->entry_id, err) != S_OK) return false;
    if (have < f->count) {
      std::printf("building %s: %ld messages ...\n", folderPath.c_str(), f->count - have);
      std::fflush(stdout);
      const Clock::time_point t0 = Clock::now();
      if (AddMessages(admin.get(), folderPath, have, f->count, subjectMax, err) != S_OK) return false;
      const double s = SecondsSince(t0);
      std::printf("  %.1f s (%.0f messages/s)\n", s, static_cast<double>(f->count - have) / s);
    } else if (have > f->count) {
      *err = folderPath + " holds " + std::to_string(have) + " messages, more than asked; use another --store-dir";
      return false;
    }
  }
  return true;
}

// ------------------------------------------------------------ SQLite baseline

struct ScanResult {
  bool ok = false;
  long rows = 0;
  double seconds = 0;
  uint64_t value_bytes = 0;  // payloads of the 6 columns
  long truncated = 0;        // values kept out of line (not read here)
  std::string error;
};

uint32_t Load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// One SELECT of the folder's messages from the store file opened
// read-only, taking the 6 columns' values out of each property blob into
// buffers of their own (blob entries: u16 ID, u32 type, u32 length, value).
ScanResult SqliteScan(const std::string& dbPath, const std::string& folderName) {
  ScanResult r;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    r.error = "cannot open " + dbPath;
    sqlite3_close(db);
    return r;
  }
  sqlite3_busy_timeout(db, 5000);
  int64_t folderId = -1;
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT id FROM folders WHERE name = ?", -1, &s, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(s, 1, folderName.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(s) == SQLITE_ROW) folderId = sqlite3_column_int64(s, 0);
  }
  sqlite3_finalize(s);
  if (folderId < 0) {
    r.error = "no folder " + folderName + " in the store file";
    sqlite3_close(db);
    return r;
  }
  const Clock::time_point t0 = Clock::now();
  sqlite3_prepare_v2(db, "SELECT id, props FROM messages WHERE folder_id = ? AND assoc = 0 ORDER BY id", -1, &s,
                     nullptr);
  sqlite3_bind_int64(s, 1, folderId);
  std::string values[6];
  std::vector<int64_t> keys;
  keys.reserve(1 << 16);
  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    keys.push_back(sqlite3_column_int64(s, 0));
    const char* blob = static_cast<const char*>(sqlite3_column_blob(s, 1));
    size_t left = static_cast<size_t>(sqlite3_column_bytes(s, 1));
    for (std::string& v : values) v.clear();
    while (left >= 10) {
      uint16_t id;
      std::memcpy(&id, blob, 2);
      const uint32_t type = Load32(blob + 2);
      const uint32_t len = Load32(blob + 6);
      if (len > left - 10) break;
      for (int c = 0; c < 6; ++c) {
        if (id != kColumnIds[c]) continue;
        values[c].assign(blob + 10, len);
        r.value_bytes += len;
        if ((type & 0x80000000u) != 0) ++r.truncated;
      }
      blob += 10 + len;
      left -= 10 + len;
    }
    ++r.rows;
  }
  sqlite3_finalize(s);
  r.seconds = SecondsSince(t0);
  sqlite3_close(db);
  r.ok = rc == SQLITE_DONE;
  if (!r.ok) r.error = "SELECT ended with SQLite code " + std::to_string(rc);
  return r;
}

// ------------------------------------------------------------ copy baseline

// A loopback server that answers each request of frameBytes bytes with
// response, sent from memory in one call.
class CopyServer {
 public:
  CopyServer(std::string response, size_t frameBytes) : response_(std::move(response)), frame_bytes_(frameBytes) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~CopyServer() {
    stop_.store(true);
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  void Serve() {
    std::vector<char> request(frame_bytes_);
    while (!stop_.load()) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      while (RecvExact(fd, request.data(), request.size()) && SendAll(fd, response_.data(), response_.size())) {
      }
      ::close(fd);
    }
  }
  std::string response_;
  size_t frame_bytes_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---------------------------------------------------------------- service

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

std::vector<uint16_t> FreePorts(int count) {
  std::vector<int> fds;
  std::vector<uint16_t> ports;
  for (int i = 0; i < count; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      if (fd >= 0) ::close(fd);
      break;
    }
    socklen_t len = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    fds.push_back(fd);
    ports.push_back(ntohs(addr.sin_port));
  }
  for (int fd : fds) ::close(fd);
  return ports;
}

// zuv_service in its console mode with a private home and the given store.
class Service {
 public:
  ~Service() { Stop(); }

  bool Start(const std::string& binary, const std::string& tmpDir, const std::string& storePath,
             const std::string& logLevel, std::string* err) {
    std::string tmpl = tmpDir + "/zuv-table-load-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
      *err = "cannot create a directory in " + tmpDir;
      return false;
    }
    home_ = tmpl;
    const std::vector<uint16_t> ports = FreePorts(4);
    if (ports.size() != 4) {
      *err = "cannot find four free loopback ports";
      return false;
    }
    ports_.assign(ports.begin(), ports.begin() + 3);
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tovanix\\tovanixZUV]\r\n";
    const char* names[4] = {"ZuvPort1", "ZuvPort2", "ZuvPort3", "ZuvBinPort"};
    char line[64];
    for (int i = 0; i < 4; ++i) {
      std::snprintf(line, sizeof(line), "\"%s\"=dword:%08x\r\n", names[i], ports[i]);
      reg += line;
    }
    reg += "\"StorePath\"=\"" + storePath + "\"\r\n\"ExAlias\"=\"" + kAlias + "\"\r\n\"ExServer\"=\"" + kServer +
           "\"\r\n";
    std::ofstream(home_ / "registry.reg", std::ios::binary) << reg;
    if (!logLevel.empty()) {
      // The service reads this file when present instead of writing its own.
      std::ofstream(home_ / "ZUV_NLOG_Config.xml", std::ios::binary)
          << "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<nlog>\n  <targets>\n"
             "    <target name=\"logfile\" xsi:type=\"File\" layout=\"${date}::${level}::${message}\" "
             "fileName=\"${basedir}/logs/ZUV_Service-${machinename}.log\" />\n"
             "    <target name=\"console\" type=\"ColoredConsole\" layout=\"${date}::${level}::${message}\" />\n"
             "  </targets>\n  <rules>\n"
             "    <logger name=\"*\" minlevel=\""
          << logLevel << "\" writeTo=\"logfile\" />\n    <logger name=\"*\" minlevel=\"" << logLevel
          << "\" writeTo=\"console\" />\n  </rules>\n</nlog>\n";
    }

    const std::string home = home_.string();
    const std::string registry = (home_ / "registry.reg").string();
    const std::string console = (home_ / "console.out").string();
    const pid_t parent = ::getpid();
    std::fflush(nullptr);  // the child must not write out our buffered lines again
    pid_ = ::fork();
    if (pid_ < 0) {
      *err = "fork failed";
      return false;
    }
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);
      ::setenv("ZUV_HOME", home.c_str(), 1);
      ::setenv("TOVANIX_REGISTRY", registry.c_str(), 1);
      if (std::freopen(console.c_str(), "w", stdout) == nullptr) ::_exit(127);
      if (std::freopen(console.c_str(), "a", stderr) == nullptr) ::_exit(127);
      ::execl(binary.c_str(), binary.c_str(), "run", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    char host[256] = {};
    ::gethostname(host, sizeof(host) - 1);
    log_ = home_ / "logs" / ("ZUV_Service-" + std::string(host) + ".log");
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline && !g_interrupted.load()) {
      if (Exited()) {
        *err = "the service exited during start-up; console: " + ReadWholeFile(home_ / "console.out");
        return false;
      }
      const std::string text = ReadWholeFile(log_);
      if (CountOf(text, "ZUV Service thread started on port") >= 3 &&
          CountOf(text, "ZUV Binary Service thread started on port") >= 1) {
        return true;
      }
      if (AllPortsAccept(ports)) return true;  // a log level that hides those lines
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *err = "the service did not become ready within 60 s";
    return false;
  }

  static bool AllPortsAccept(const std::vector<uint16_t>& ports) {
    for (uint16_t p : ports) {
      const int fd = ConnectLoopback(p, 1.0);
      if (fd < 0) return false;
      ::close(fd);
    }
    return true;
  }

  int Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      const auto deadline = Clock::now() + std::chrono::seconds(30);
      while (!Exited() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        exit_status_ = -1;
      }
    }
    if (!home_.empty()) {
      std::error_code ec;
      fs::remove_all(home_, ec);
      home_.clear();
    }
    return exit_status_;
  }

  uint16_t port(size_t i) const { return ports_[i % ports_.size()]; }
  std::string Log() const { return ReadWholeFile(log_); }

  // Resident set of the service in bytes, from /proc/<pid>/status.
  long long RssBytes() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
    }
    return -1;
  }

 private:
  bool Exited() {
    if (pid_ <= 0) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return true;
    }
    return false;
  }

  fs::path home_;
  fs::path log_;
  std::vector<uint16_t> ports_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

// RSS once it stopped moving (two equal readings 200 ms apart, at most 3 s).
long long SettledRss(const Service& s) {
  long long last = s.RssBytes();
  for (int i = 0; i < 15; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long long now = s.RssBytes();
    if (now == last) break;
    last = now;
  }
  return last;
}

// ---------------------------------------------------------------- ping

struct PingRun {
  int clients = 0;
  uint64_t requests = 0;
  uint64_t errors = 0;
  double seconds = 0;
  double p50_us = 0, p99_us = 0;
  std::string first_error;
};

std::string PingFrame() {
  return Frame(std::string("{\"ProtocolVersion\":4,\"Request\":1010,\"ClientIdentifier\":\"") + kClientId + "\"}");
}

// Pings on kept connections, client i connected to portOf(i).
PingRun RunPings(const std::function<uint16_t(size_t)>& portOf, int clients, double seconds, double timeout) {
  PingRun run;
  run.clients = clients;
  const std::string frame = PingFrame();
  std::vector<std::vector<uint32_t>> latencies(static_cast<size_t>(clients));
  std::vector<uint64_t> errors(static_cast<size_t>(clients), 0);
  std::vector<std::string> firstErrors(static_cast<size_t>(clients));
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  Clock::time_point deadline{};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      const size_t k = static_cast<size_t>(i);
      const int fd = ConnectLoopback(portOf(k), timeout);
      ready.fetch_add(1);
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      if (fd < 0) {
        ++errors[k];
        firstErrors[k] = "connect failed";
        return;
      }
      latencies[k].reserve(1 << 16);
      std::string body;
      for (Clock::time_point t0 = Clock::now(); t0 < deadline && !g_interrupted.load(std::memory_order_relaxed);) {
        const bool ok = ShortRoundtrip(fd, frame, &body);
        if (!ok || body != kPingResponse) {
          ++errors[k];
          firstErrors[k] = ok ? "unexpected response " + body : "no response";
          break;
        }
        const Clock::time_point t1 = Clock::now();
        latencies[k].push_back(
            static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(t1 - t0).count()));
        t0 = t1;
      }
      ::close(fd);
    });
  }
  while (ready.load() < clients) std::this_thread::yield();
  const Clock::time_point start = Clock::now();
  deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  go.store(true, std::memory_order_release);
  for (std::thread& t : threads) t.join();
  run.seconds = SecondsSince(start);
  std::vector<uint32_t> all;
  for (size_t k = 0; k < latencies.size(); ++k) {
    all.insert(all.end(), latencies[k].begin(), latencies[k].end());
    run.errors += errors[k];
    if (run.first_error.empty()) run.first_error = firstErrors[k];
  }
  run.requests = all.size();
  if (!all.empty()) {
    std::sort(all.begin(), all.end());
    run.p50_us = all[all.size() / 2];
    run.p99_us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  }
  return run;
}

// ---------------------------------------------------------------- output

std::string Verdict(bool met) { return met ? "met" : "NOT met"; }

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int rc = ParseOptions(argc, argv, &o);
  if (rc == -1) return 0;
  if (rc != 0) {
    if (rc == 2) std::fprintf(stderr, "table_load: bad options (see --help)\n");
    return rc;
  }
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  // ---- Store ----
  fs::path storeDir;
  bool keepStore = !o.store_dir.empty();
  if (keepStore) {
    storeDir = o.store_dir;
  } else {
    std::string tmpl = o.tmp_dir + "/zuv-table-store-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
      std::fprintf(stderr, "table_load: cannot create a directory in %s\n", o.tmp_dir.c_str());
      return 2;
    }
    storeDir = tmpl;
  }
  const std::string storePath = (storeDir / "zuvstore.db").string();
  FolderSpec warmup{"TableLoadWarmup", 10, ""};
  const std::string suffix = std::to_string(o.messages) + "s" + std::to_string(o.subject_max);
  FolderSpec memory{"TableLoadMem" + suffix, o.messages, ""};
  FolderSpec cold{"TableLoadCold" + suffix, o.messages, ""};
  FolderSpec big{"TableLoadBig" + std::to_string(o.rows) + "s" + std::to_string(o.subject_max), o.rows, ""};
  std::vector<FolderSpec*> folders{&warmup, &memory, &cold};
  if (o.rows > 0) folders.push_back(&big);
  auto dropStore = [&] {
    if (!keepStore) {
      std::error_code ec;
      fs::remove_all(storeDir, ec);
    }
  };
  {
    std::string err;
    std::printf("store: %s\n", storePath.c_str());
    std::fflush(stdout);
    if (!PrepareStore(storePath, folders, o.subject_max, &err)) {
      std::fprintf(stderr, "table_load: cannot prepare the store: %s\n", err.c_str());
      dropStore();
      return 2;
    }
  }

  // ---- Service ----
  Service service;
  {
    std::string err;
    if (!service.Start(o.service, o.tmp_dir, storePath, o.log_level, &err)) {
      std::fprintf(stderr, "table_load: cannot start %s: %s\n", o.service.c_str(), err.c_str());
      dropStore();
      return 2;
    }
  }
  bool failed = false;
  auto fail = [&](const std::string& what) {
    failed = true;
    std::printf("  error: %s\n", what.c_str());
    std::fflush(stdout);
  };
  auto step = [](const char* what) {
    std::printf("%s ...\n", what);
    std::fflush(stdout);
  };

  // The session, its name lookups and its first table exist before
  // anything is measured.
  step("warm-up read");
  // Responses land in one buffer, touched here once so that no read pays
  // for fresh pages.
  ReceiveBuffer rx;
  rx.Reserve(static_cast<size_t>(o.messages) * 1024);
  {
    const Exchange x = GetTable(service.port(0), o.timeout, GetTableRequest(warmup.entry_id, 1, 0), &rx);
    if (!x.ok || RowsOf(x.body) != warmup.count) fail("warm-up read: " + std::string(x.body.substr(0, 200)));
  }

  // ---- Memory per row ----
  step("memory: a table of the memory folder, read matching nothing");
  const long long rssBefore = SettledRss(service);
  const Exchange memRead =
      GetTable(service.port(1), o.timeout, GetTableRequest(memory.entry_id, 1, 0, kMatchNothing), &rx);
  if (!memRead.ok || RowsOf(memRead.body) != 0) fail("memory read: " + std::string(memRead.body.substr(0, 200)));
  const long long rssAfter = SettledRss(service);
  const ScanResult memScan = SqliteScan(storePath, memory.name);

  // ---- Cold and SQLite ----
  step("SQLite SELECT of the cold folder (twice, the faster counts)");
  ScanResult scan = SqliteScan(storePath, cold.name);
  {
    const ScanResult again = SqliteScan(storePath, cold.name);
    if (again.ok && again.seconds < scan.seconds) scan = again;
  }
  if (!scan.ok || scan.rows != cold.count) fail("SQLite scan: " + scan.error);
  step("cold GetTable of the whole folder");
  const std::string wholeFrame = GetTableRequest(cold.entry_id, 1, 0);
  const Exchange coldRead = GetTable(service.port(0), o.timeout, wholeFrame, &rx);
  const long coldRows = coldRead.ok ? RowsOf(coldRead.body) : -1;
  if (coldRows != cold.count) fail("cold read returned " + std::to_string(coldRows) + " rows");

  // ---- Warm and the copy ----
  step("warm GetTable and the loopback copy");
  double warmBest = 1e30, warmMedian = 0, copyBest = 1e30, copyMedian = 0;
  size_t warmBytes = 0;
  {
    // One read gives the bytes the copy sends; then warm reads and copies
    // alternate, so a change in the machine's load hits both alike.
    std::vector<double> warm, copy;
    std::string response;
    const int fd = ConnectLoopback(service.port(2), o.timeout);
    {
      const Exchange x = fd >= 0 ? Roundtrip(fd, wholeFrame, &rx) : Exchange{};
      if (!x.ok || RowsOf(x.body) != cold.count) {
        fail("warm read failed");
      } else {
        warm.push_back(x.last_byte);
        warmBytes = x.bytes;
        char header[10] = {};
        std::snprintf(header, sizeof(header), "%zu", x.body.size());
        response.assign(header, sizeof(header));
        response += x.body;
      }
    }
    if (!response.empty()) {
      CopyServer copyServer(response, wholeFrame.size());
      const int cfd = ConnectLoopback(copyServer.port(), o.timeout);
      for (int i = 0; i < o.repeat && cfd >= 0 && !g_interrupted.load(); ++i) {
        const Exchange c = Roundtrip(cfd, wholeFrame, &rx);
        if (!c.ok || c.bytes != response.size()) {
          fail("loopback copy failed");
          break;
        }
        copy.push_back(c.last_byte);
        if (i + 1 >= o.repeat) break;
        const Exchange x = Roundtrip(fd, wholeFrame, &rx);
        if (!x.ok || x.bytes != warmBytes) {
          fail("warm read failed");
          break;
        }
        warm.push_back(x.last_byte);
      }
      if (cfd >= 0) ::close(cfd);
    }
    if (fd >= 0) ::close(fd);
    auto median = [](std::vector<double> v) {
      if (v.empty()) return 0.0;
      std::sort(v.begin(), v.end());
      return v[v.size() / 2];
    };
    for (double t : warm) warmBest = std::min(warmBest, t);
    for (double t : copy) copyBest = std::min(copyBest, t);
    warmMedian = median(warm);
    copyMedian = median(copy);
  }

  // ---- ClientPing ----
  std::vector<PingRun> pings;
  for (int c : o.clients) {
    if (g_interrupted.load()) break;
    std::printf("ClientPing: %d client(s) for %.1f s ...\n", c, o.seconds);
    std::fflush(stdout);
    PingRun r = RunPings([&](size_t i) { return service.port(i); }, c, o.seconds, o.timeout);
    if (r.errors > 0) fail("ClientPing: " + r.first_error);
    pings.push_back(r);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  // The floor of one client: the same frames answered by a bare loopback
  // server, one round trip at a time.
  PingRun echo;
  if (!o.clients.empty() && !g_interrupted.load()) {
    std::printf("ClientPing baseline: 1 client of a bare loopback server for %.1f s ...\n", o.seconds);
    std::fflush(stdout);
    char header[10] = {};
    std::snprintf(header, sizeof(header), "%zu", std::strlen(kPingResponse));
    CopyServer server(std::string(header, sizeof(header)) + kPingResponse, PingFrame().size());
    echo = RunPings([&](size_t) { return server.port(); }, 1, o.seconds, o.timeout);
    if (echo.errors > 0) fail("ClientPing baseline: " + echo.first_error);
  }

  // ---- First page of a large folder while it fills ----
  Exchange firstPage, bigEnd;
  long firstRows = -1;
  long long bigRssBefore = -1, bigRssAfter = -1;
  ScanResult bigScan;
  if (o.rows > 0 && !g_interrupted.load()) {
    step("first page of the large folder while it fills");
    bigRssBefore = SettledRss(service);
    firstPage = GetTable(service.port(0), o.timeout, GetTableRequest(big.entry_id, 1, 50), &rx);
    firstRows = firstPage.ok ? RowsOf(firstPage.body) : -1;
    if (firstRows < 50) fail("first page returned " + std::to_string(firstRows) + " rows");
    // The end of the fill: a read matching nothing with numEntries 0.
    bigEnd = GetTable(service.port(1), o.timeout, GetTableRequest(big.entry_id, 1, 0, kMatchNothing), &rx);
    if (!bigEnd.ok || RowsOf(bigEnd.body) != 0) fail("end-of-fill read failed");
    bigRssAfter = SettledRss(service);
    bigScan = SqliteScan(storePath, big.name);
  }

  const std::string log = service.Log();
  if (!o.keep_log.empty()) std::ofstream(o.keep_log, std::ios::binary) << log;
  const int status = service.Stop();
  if (status != 0) fail("service exit status " + std::to_string(status));
  dropStore();

  // ---- Report ----
  const double n = static_cast<double>(o.messages);
  std::printf("\n==== table_load results ====\n");
  long over = 0;
  for (long i = 0; i < o.messages; ++i) over += SubjectOf(i, o.subject_max).size() >= 255 ? 1 : 0;
  std::printf("machine: nproc %u; folders of %ld messages, 6 columns, subjects of 12..%ld characters (%.0f%% of\n"
              "them at 255 or more, re-read whole from the message)\n\n",
              std::thread::hardware_concurrency(), o.messages, o.subject_max, 100.0 * static_cast<double>(over) / n);

  const double coldRate = coldRead.ok ? n / coldRead.last_byte : 0;
  const double sqliteRate = scan.ok && scan.seconds > 0 ? static_cast<double>(scan.rows) / scan.seconds : 0;
  std::printf("%-46s %12.0f rows/s  (%.3f s, first byte %.3f s)\n", "cold GetTable, whole folder:", coldRate,
              coldRead.last_byte, coldRead.first_byte);
  std::printf("%-46s %12.0f rows/s  (%.3f s)\n", "  SQLite SELECT of the 6 columns:", sqliteRate, scan.seconds);
  if (scan.truncated > 0) std::printf("  (%ld values are kept out of line; the SELECT read their first bytes only)\n", scan.truncated);
  std::printf("%-46s %12.2f        target >= 0.30: %s\n", "  ratio:", sqliteRate > 0 ? coldRate / sqliteRate : 0,
              Verdict(sqliteRate > 0 && coldRate / sqliteRate >= 0.3).c_str());

  const double mb = static_cast<double>(warmBytes) / 1e6;
  const double warmRate = warmMedian > 0 ? n / warmMedian : 0;
  const double warmMBs = warmMedian > 0 ? mb / warmMedian : 0;
  const double copyMBs = copyMedian > 0 ? mb / copyMedian : 0;
  std::printf("\n%-46s %12.0f rows/s  %8.1f MB/s  (median of %d, %.3f s; best %.3f s; %.1f MB, %.0f B/row)\n",
              "warm GetTable, whole folder:", warmRate, warmMBs, o.repeat, warmMedian, warmBest, mb,
              static_cast<double>(warmBytes) / n);
  std::printf("%-46s %12s         %8.1f MB/s  (median %.3f s; best %.3f s)\n", "  loopback copy of the same bytes:", "",
              copyMBs, copyMedian, copyBest);
  std::printf("%-46s %12.2f        target >= 0.50: %s; rows/s target >= 500,000: %s\n", "  ratio:",
              copyMBs > 0 ? warmMBs / copyMBs : 0, Verdict(copyMBs > 0 && warmMBs / copyMBs >= 0.5).c_str(),
              Verdict(warmRate >= 500000).c_str());

  std::printf("\nClientPing on kept connections (target >= 50,000/s)\n");
  std::printf("%8s %12s %12s %10s %10s %8s  %s\n", "clients", "requests", "requests/s", "p50 us", "p99 us", "errors",
              "");
  for (const PingRun& r : pings) {
    const double rate = r.seconds > 0 ? static_cast<double>(r.requests) / r.seconds : 0;
    std::printf("%8d %12" PRIu64 " %12.0f %10.0f %10.0f %8" PRIu64 "  %s\n", r.clients, r.requests, rate, r.p50_us,
                r.p99_us, r.errors, Verdict(rate >= 50000).c_str());
  }
  if (echo.seconds > 0) {
    std::printf("  bare loopback server, 1 client: %12" PRIu64 " %12.0f %10.0f %10.0f %8" PRIu64 "\n", echo.requests,
                static_cast<double>(echo.requests) / echo.seconds, echo.p50_us, echo.p99_us, echo.errors);
  }

  auto memoryLine = [&](const char* what, long long before, long long after, long rows, const ScanResult& s) {
    if (before < 0 || after < 0 || rows <= 0 || !s.ok) return;
    const double perRow = static_cast<double>(after - before) / static_cast<double>(rows);
    const double raw = static_cast<double>(s.value_bytes) / static_cast<double>(rows);
    std::printf("%-46s %8.1f B/row  raw %6.1f B/row  ratio %.2f  (RSS %.1f -> %.1f MB) target <= 1.5: %s\n", what,
                perRow, raw, raw > 0 ? perRow / raw : 0, static_cast<double>(before) / 1e6,
                static_cast<double>(after) / 1e6, Verdict(raw > 0 && perRow / raw <= 1.5).c_str());
  };
  std::printf("\nMemory per cached row (service RSS growth / rows, against the 6 columns' value bytes)\n");
  memoryLine(("  folder of " + std::to_string(o.messages) + ":").c_str(), rssBefore, rssAfter, o.messages, memScan);
  if (memRead.ok) {
    std::printf("%-46s %12.0f rows/s  (%.3f s, population alone, nothing sent)\n", "  its fill:",
                n / memRead.last_byte, memRead.last_byte);
  }

  if (o.rows > 0) {
    std::printf("\nFirst page of a fresh folder of %ld messages while it fills (startIndex 1, numEntries 50)\n",
                o.rows);
    if (firstPage.ok) {
      std::printf("%-46s %10.1f ms  (first byte %.1f ms, %ld rows in it) target < 50 ms: %s\n",
                  "  time to the response:", firstPage.last_byte * 1e3, firstPage.first_byte * 1e3, firstRows,
                  Verdict(firstPage.last_byte < 0.05).c_str());
    }
    if (bigEnd.ok) {
      const double fill = firstPage.last_byte + bigEnd.last_byte;
      std::printf("%-46s %10.1f s   (%.0f rows/s)\n", "  whole fill (about):", fill,
                  static_cast<double>(o.rows) / fill);
    }
    memoryLine("  memory, that folder:", bigRssBefore, bigRssAfter, o.rows, bigScan);
  }
  if (!o.log_level.empty()) std::printf("\nservice log level: %s\n", o.log_level.c_str());
  std::printf("result: %s\n", failed ? "ERRORS (see above)" : "ok");
  return failed ? 1 : 0;
}
