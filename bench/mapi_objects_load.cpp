// mapi_objects_load: message-store object benchmarks against plain SQLite.
//
// Builds a folder of N messages (5 string and 3 numeric properties, subjects
// of mixed length) in a private store, then measures in one run:
//  - OpenEntry + GetProps of one message by entry ID, per second, next to a
//    plain SQLite SELECT of the same row by key;
//  - streaming an attachment of M MB in (CreateAttach + IStream::Write +
//    SaveChanges) and out (OpenAttach + IStream::Read), MB/s;
//  - database bytes per message.
// Usage: mapi_objects_load [--messages N] [--attach-mb M] [--seconds S] [--dir D]
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "mapi/mapitags.h"
#include "mapi/mapix.h"
#include "mapi/zuvstore_admin.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

template <class T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  T** put() { return &p; }
  T* operator->() const { return p; }
};

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

int Fail(const char* what, HRESULT hr) {
  std::fprintf(stderr, "mapi_objects_load: %s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int messages = 100000;
  int attach_mb = 100;
  double seconds = 3;
  std::string base = "/tmp";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::printf("Usage: %s [--messages N (100000)] [--attach-mb M (100)] [--seconds S (3)] [--dir D (/tmp)]\n",
                  argv[0]);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s: %s needs a value\n", argv[0], a.c_str());
      return 2;
    }
    if (a == "--messages") messages = std::atoi(argv[++i]);
    else if (a == "--attach-mb") attach_mb = std::atoi(argv[++i]);
    else if (a == "--seconds") seconds = std::atof(argv[++i]);
    else if (a == "--dir") base = argv[++i];
    else {
      std::fprintf(stderr, "%s: unknown option %s (see --help)\n", argv[0], a.c_str());
      return 2;
    }
  }
  std::string tmpl = base + "/zuv-objbench-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  fs::path dir = buf.data();
  std::string path = (dir / "store.db").string();

  std::unique_ptr<zuvstore::StoreAdmin> admin;
  std::string err;
  HRESULT hr = zuvstore::StoreAdmin::Open(path, &admin, &err);
  if (FAILED(hr)) return Fail(err.c_str(), hr);
  if (FAILED(hr = admin->AddServer("MAIL01", false, &err))) return Fail(err.c_str(), hr);
  zuvstore::MailboxSpec spec;
  spec.alias = "bench";
  spec.display_name = "Bench Mark";
  spec.smtp = {"bench@example.org"};
  spec.legacy_dn = "/o=Example/cn=bench";
  spec.server = "MAIL01";
  std::string store_id;
  if (FAILED(hr = admin->AddMailbox(spec, &store_id, &err))) return Fail(err.c_str(), hr);
  Ref<IMAPIFolder> folder;
  if (FAILED(hr = admin->OpenFolder("bench", false, "Inbox", folder.put(), &err))) return Fail(err.c_str(), hr);

  // ---- Fill ----
  std::mt19937 rng(42);
  std::vector<std::string> ids;
  ids.reserve(messages);
  auto fill_start = Clock::now();
  for (int i = 0; i < messages; ++i) {
    Ref<IMessage> msg;
    if (FAILED(hr = folder->CreateMessage(nullptr, 0, msg.put()))) return Fail("CreateMessage", hr);
    std::string subject = "Subject " + std::to_string(i) + " " + std::string(rng() % 120, 's');
    std::string from = "Sender " + std::to_string(i % 97);
    std::string to = "user" + std::to_string(i % 13) + "@example.org";
    std::string cls = "IPM.Note";
    std::string body = "Body of message " + std::to_string(i) + std::string(rng() % 400, 'b');
    SPropValue v[8];
    v[0].ulPropTag = PR_SUBJECT_A, v[0].Value.lpszA = subject.data();
    v[1].ulPropTag = PR_SENDER_NAME_A, v[1].Value.lpszA = from.data();
    v[2].ulPropTag = PR_DISPLAY_TO_A, v[2].Value.lpszA = to.data();
    v[3].ulPropTag = PR_MESSAGE_CLASS_A, v[3].Value.lpszA = cls.data();
    v[4].ulPropTag = PR_BODY_A, v[4].Value.lpszA = body.data();
    v[5].ulPropTag = PR_IMPORTANCE, v[5].Value.l = static_cast<LONG>(i % 3);
    v[6].ulPropTag = PR_SENSITIVITY, v[6].Value.l = 0;
    v[7].ulPropTag = PR_MESSAGE_FLAGS, v[7].Value.l = MSGFLAG_READ;
    if (FAILED(hr = msg->SetProps(8, v, nullptr))) return Fail("SetProps", hr);
    if (FAILED(hr = msg->SaveChanges(KEEP_OPEN_READWRITE))) return Fail("SaveChanges", hr);
    SizedSPropTagArray(1, eid) = {1, {PR_ENTRYID}};
    ULONG n = 0;
    LPSPropValue out = nullptr;
    if (FAILED(hr = msg->GetProps(reinterpret_cast<LPSPropTagArray>(&eid), 0, &n, &out))) return Fail("GetProps", hr);
    ids.emplace_back(reinterpret_cast<char*>(out[0].Value.bin.lpb), out[0].Value.bin.cb);
    MAPIFreeBuffer(out);
  }
  double fill_s = Seconds(fill_start, Clock::now());

  // ---- OpenEntry + GetProps ----
  SizedSPropTagArray(6, cols) = {6, {PR_SUBJECT_A, PR_SENDER_NAME_A, PR_DISPLAY_TO_A, PR_IMPORTANCE,
                                     PR_MESSAGE_FLAGS, PR_MESSAGE_CLASS_A}};
  long opens = 0;
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  auto open_start = Clock::now();
  while (Clock::now() < deadline) {
    for (int k = 0; k < 256; ++k) {
      const std::string& id = ids[rng() % ids.size()];
      ULONG type = 0;
      IUnknown* unk = nullptr;
      if (FAILED(hr = folder->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(id.data())),
                                        nullptr, 0, &type, &unk))) {
        return Fail("OpenEntry", hr);
      }
      auto* msg = static_cast<IMessage*>(unk);
      ULONG n = 0;
      LPSPropValue out = nullptr;
      if (FAILED(hr = msg->GetProps(reinterpret_cast<LPSPropTagArray>(&cols), 0, &n, &out))) return Fail("GetProps", hr);
      MAPIFreeBuffer(out);
      msg->Release();
      ++opens;
    }
  }
  double open_rate = opens / Seconds(open_start, Clock::now());

  // Baseline: the same row read by key with one prepared SELECT.
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT props FROM messages WHERE id = ?", -1, &st, nullptr);
  long selects = 0;
  size_t bytes = 0;
  deadline = Clock::now() + std::chrono::duration<double>(seconds);
  auto sel_start = Clock::now();
  while (Clock::now() < deadline) {
    for (int k = 0; k < 256; ++k) {
      sqlite3_bind_int64(st, 1, 1 + static_cast<int64_t>(rng() % messages));
      if (sqlite3_step(st) == SQLITE_ROW) bytes += static_cast<size_t>(sqlite3_column_bytes(st, 0));
      sqlite3_reset(st);
      ++selects;
    }
  }
  double select_rate = selects / Seconds(sel_start, Clock::now());
  sqlite3_finalize(st);
  sqlite3_close(db);

  // ---- Attachment streaming ----
  std::string data(static_cast<size_t>(attach_mb) << 20, '\0');
  for (size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<char>(rng());
  Ref<IMessage> carrier;
  if (FAILED(hr = folder->CreateMessage(nullptr, 0, carrier.put()))) return Fail("CreateMessage", hr);
  auto in_start = Clock::now();
  ULONG num = 0;
  {
    Ref<IAttach> att;
    if (FAILED(hr = carrier->CreateAttach(nullptr, 0, &num, att.put()))) return Fail("CreateAttach", hr);
    IUnknown* unk = nullptr;
    if (FAILED(hr = att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, &unk))) {
      return Fail("OpenProperty", hr);
    }
    auto* stream = static_cast<IStream*>(unk);
    for (size_t off = 0; off < data.size(); off += 1 << 20) {
      ULONG written = 0;
      stream->Write(data.data() + off, static_cast<ULONG>(std::min<size_t>(1 << 20, data.size() - off)), &written);
    }
    stream->Commit(0);
    stream->Release();
    if (FAILED(hr = att->SaveChanges(KEEP_OPEN_READWRITE))) return Fail("attachment SaveChanges", hr);
  }
  if (FAILED(hr = carrier->SaveChanges(KEEP_OPEN_READWRITE))) return Fail("message SaveChanges", hr);
  double in_s = Seconds(in_start, Clock::now());
  auto out_start = Clock::now();
  size_t read_total = 0;
  {
    Ref<IAttach> att;
    if (FAILED(hr = carrier->OpenAttach(num, nullptr, 0, att.put()))) return Fail("OpenAttach", hr);
    IUnknown* unk = nullptr;
    if (FAILED(hr = att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, &unk))) return Fail("OpenProperty", hr);
    auto* stream = static_cast<IStream*>(unk);
    std::vector<char> chunk(1 << 20);
    for (;;) {
      ULONG got = 0;
      stream->Read(chunk.data(), static_cast<ULONG>(chunk.size()), &got);
      if (got == 0) break;
      read_total += got;
    }
    stream->Release();
  }
  double out_s = Seconds(out_start, Clock::now());
  if (read_total != data.size()) {
    std::fprintf(stderr, "mapi_objects_load: read %zu of %zu attachment bytes\n", read_total, data.size());
    return 1;
  }

  std::error_code ec;
  auto db_bytes = fs::file_size(path, ec);
  auto wal = fs::file_size(path + "-wal", ec);
  if (ec) wal = 0;

  std::printf("messages                          %d (filled in %.1f s, %.0f saves/s)\n", messages, fill_s,
              messages / fill_s);
  std::printf("OpenEntry + GetProps (6 columns)  %.0f /s   (target >= 50000)\n", open_rate);
  std::printf("plain SQLite SELECT by key        %.0f /s   ratio %.1f%%\n", select_rate,
              100.0 * open_rate / select_rate);
  std::printf("attachment %d MB in               %.0f MB/s\n", attach_mb, attach_mb / in_s);
  std::printf("attachment %d MB out              %.0f MB/s\n", attach_mb, attach_mb / out_s);
  std::printf("database bytes per message        %.0f (file %llu + wal %llu, attachment excluded: ~%.0f)\n",
              static_cast<double>(db_bytes + wal) / messages, static_cast<unsigned long long>(db_bytes),
              static_cast<unsigned long long>(wal),
              (static_cast<double>(db_bytes + wal) - static_cast<double>(data.size())) / messages);
  (void)bytes;
  admin.reset();
  fs::remove_all(dir, ec);
  return 0;
}
