// mapi_tables_bench.cpp: the store's contents table and its notifications.
//
// One folder of 100,000 messages (5 string and 3 numeric properties each,
// subjects of mixed length, a third of them past the 255-character cut) is
// written once to a temporary database. Then, in the same run:
//  - ContentsQueryRows: QueryRows of 6 columns in batches of 1024 over the
//    whole folder (rows/s; target 300,000);
//  - SqliteScanBaseline: one SELECT of the same rows' property blobs, each
//    blob touched, nothing decoded (the floor under the table);
//  - SqliteFindBaseline: the same SELECT taking the 4 stored values out of
//    each blob with FindInPropList (what the table's stored columns cost);
//  - InProcessLatency: a message written on one thread until its
//    TABLE_ROW_ADDED reaches a sink, p50/p99 (target p99 < 5 ms);
//  - CrossProcessLatency: the same with the writer in a child process, seen
//    through its wake-up (target p99 < 250 ms; notify_latency_load compares
//    the wake-up with the journal poll).
// Build with the release preset; the binary needs bench/mapi_bench.cmake.
#if __has_include("store_context.h")

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com.h"
#include "entryid.h"
#include "mapi/mapitags.h"
#include "mapi/mapix.h"
#include "model.h"
#include "notify.h"
#include "store_context.h"
#include "tables.h"

namespace zuvstore {
namespace {

constexpr int kMessages = 100000;
constexpr int kLatencySamples = 300;
constexpr int kCrossSamples = 100;
constexpr int kCrossIntervalMs = 23;  // not a multiple of the poll period
constexpr auto kWait = std::chrono::seconds(10);

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

MessageRecord NewMessage(int64_t folder, int i, const std::string& subject) {
  MessageRecord rec;
  rec.store_id = 1;
  rec.folder_id = folder;
  rec.props[PROP_ID(PR_MESSAGE_CLASS_A)] = MakeString8("IPM.Note");
  rec.props[PROP_ID(PR_SUBJECT_A)] = MakeString8(subject);
  rec.props[PROP_ID(PR_SENDER_NAME_A)] = MakeString8("Sender " + std::to_string(i % 97));
  rec.props[PROP_ID(PR_SENDER_EMAIL_ADDRESS_A)] =
      MakeString8("sender" + std::to_string(i % 97) + "@example.org");
  rec.props[PROP_ID(PR_DISPLAY_TO_A)] = MakeString8("Recipient One; Recipient Two");
  rec.props[PROP_ID(PR_IMPORTANCE)] = MakeLong(i % 3);
  rec.props[PROP_ID(PR_MESSAGE_FLAGS)] = MakeLong(i % 2 ? MSGFLAG_READ : 0);
  rec.props[PROP_ID(PR_SENSITIVITY)] = MakeLong(0);
  return rec;
}

// The database, its store context and the big folder, made once.
struct Fixture {
  std::string dir;
  std::shared_ptr<Db> db;
  std::shared_ptr<StoreContext> store;
  int64_t big_folder = 0;
  int64_t live_folder = 0;  // for the latency runs
  bool ok = false;

  Fixture() {
    char tmpl[] = "/tmp/zuv_tables_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir = tmpl;
    std::string err;
    if (FAILED(Db::Open(dir + "/store.db", &db, &err))) return;
    store = std::make_shared<StoreContext>();
    store->db = db;
    store->info.id = 1;
    store->info.guid = NewGuid();
    store->notifier = Notifier::For(db);
    HRESULT hr = db->Write(
        [&](WriteTxn& txn) -> HRESULT {
          FolderRecord big, live;
          big.store_id = live.store_id = 1;
          if (FAILED(InsertFolder(txn, &big)) || FAILED(InsertFolder(txn, &live)))
            return MAPI_E_CALL_FAILED;
          big_folder = big.id;
          live_folder = live.id;
          for (int i = 0; i < kMessages; ++i) {
            // Subjects of 12 to 400 characters.
            std::string subject = "Subject " + std::to_string(i) + " ";
            subject.resize(12 + (i * 37) % 389, 'x');
            MessageRecord rec = NewMessage(big_folder, i, subject);
            if (FAILED(SaveMessageRecord(txn, &rec))) return MAPI_E_CALL_FAILED;
          }
          return S_OK;
        },
        &err);
    ok = SUCCEEDED(hr);
  }
  ~Fixture() {
    store.reset();
    db.reset();
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
};

Fixture* g_fixture = nullptr;  // made by the first benchmark, dropped by main

Fixture& TheFixture() {
  if (g_fixture == nullptr) g_fixture = new Fixture;
  return *g_fixture;
}

void ContentsQueryRows(benchmark::State& state) {
  Fixture& f = TheFixture();
  if (!f.ok) return state.SkipWithError("cannot build the folder");
  SizedSPropTagArray(6, cols) = {6,
                                 {PR_LONGTERM_ENTRYID_FROM_TABLE, PR_INSTANCE_KEY, PR_SUBJECT_A,
                                  PR_SENDER_NAME_A, PR_IMPORTANCE, PR_MESSAGE_FLAGS}};
  int64_t rows = 0;
  for (auto _ : state) {
    ComPtr<IMAPITable> table;
    if (FAILED(CreateContentsTable(f.store, f.big_folder, 0, table.put())) ||
        FAILED(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0))) {
      return state.SkipWithError("cannot open the table");
    }
    for (;;) {
      LPSRowSet set = nullptr;
      if (FAILED(table->QueryRows(1024, 0, &set))) return state.SkipWithError("QueryRows failed");
      const ULONG n = set->cRows;
      FreeProws(set);
      if (n == 0) break;
      rows += n;
    }
  }
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(ContentsQueryRows)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// One SELECT over the folder's rows; find_values also takes the stored
// columns out of each blob.
void SqliteScan(benchmark::State& state, bool find_values) {
  Fixture& f = TheFixture();
  if (!f.ok) return state.SkipWithError("cannot build the folder");
  const uint16_t ids[] = {PROP_ID(PR_SUBJECT_A), PROP_ID(PR_SENDER_NAME_A), PROP_ID(PR_IMPORTANCE),
                          PROP_ID(PR_MESSAGE_FLAGS)};
  int64_t rows = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    std::string err;
    HRESULT hr = f.db->Read(
        [&](sqlite3* conn) -> HRESULT {
          Stmt s(conn,
                 "SELECT id, props FROM messages WHERE folder_id = ? AND assoc = 0 ORDER BY id");
          s.Bind(1, f.big_folder);
          StoredProp value;
          while (s.Step() == SQLITE_ROW) {
            std::string_view blob = s.Blob(1);
            bytes += blob.size() + static_cast<size_t>(s.Int(0) & 1);
            if (find_values) {
              for (uint16_t id : ids) {
                if (FindInPropList(blob, id, &value)) bytes += value.data.size();
              }
            }
            ++rows;
          }
          return S_OK;
        },
        &err);
    if (FAILED(hr)) return state.SkipWithError(err.c_str());
  }
  benchmark::DoNotOptimize(bytes);
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
void SqliteScanBaseline(benchmark::State& state) { SqliteScan(state, false); }
void SqliteFindBaseline(benchmark::State& state) { SqliteScan(state, true); }
BENCHMARK(SqliteScanBaseline)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(SqliteFindBaseline)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// A sink that stamps the arrival of each added row: the row's subject holds
// the writer's NowNs() at the start of its write.
class LatencySink final : public IMAPIAdviseSink {
 public:
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }
  ULONG OnNotify(ULONG count, LPNOTIFICATION notes) override {
    const int64_t now = NowNs();
    std::lock_guard<std::mutex> lock(mu_);
    for (ULONG i = 0; i < count; ++i) {
      const TABLE_NOTIFICATION& tab = notes[i].info.tab;
      if (tab.ulTableEvent != TABLE_ROW_ADDED || tab.row.cValues == 0) continue;
      const SPropValue& v = tab.row.lpProps[0];
      if (v.ulPropTag == PR_SUBJECT_A) latencies_ns_.push_back(now - std::atoll(v.Value.lpszA));
    }
    cv_.notify_all();
    return 0;
  }
  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kWait, [&] { return latencies_ns_.size() >= n; });
  }
  std::vector<int64_t> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::move(latencies_ns_);
  }

 private:
  std::atomic<ULONG> refs_{1};
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<int64_t> latencies_ns_;  // guarded by mu_
};

HRESULT WriteStamped(Db& db, int64_t folder, int i) {
  const int64_t stamp = NowNs();
  MessageRecord rec = NewMessage(folder, i, std::to_string(stamp));
  std::string err;
  return db.Write([&](WriteTxn& txn) { return SaveMessageRecord(txn, &rec); }, &err);
}

void ReportPercentiles(benchmark::State& state, std::vector<int64_t> ns) {
  if (ns.empty()) return state.SkipWithError("no notification arrived");
  std::sort(ns.begin(), ns.end());
  auto at = [&](double q) {
    return ns[std::min(ns.size() - 1, static_cast<size_t>(q * ns.size()))] / 1e6;
  };
  state.counters["p50_ms"] = at(0.50);
  state.counters["p99_ms"] = at(0.99);
  state.counters["max_ms"] = ns.back() / 1e6;
  state.counters["samples"] = static_cast<double>(ns.size());
}

// Advises a contents table of the live folder (PR_SUBJECT_A first), runs
// write once per iteration and reports the latencies the sink saw.
void MeasureLatency(benchmark::State& state,
                    const std::function<bool(Fixture&, LatencySink&)>& write) {
  Fixture& f = TheFixture();
  if (!f.ok) return state.SkipWithError("cannot build the folder");
  LatencySink sink;  // outlives the table
  ComPtr<IMAPITable> table;
  ULONG connection = 0;
  SizedSPropTagArray(2, cols) = {2, {PR_SUBJECT_A, PR_INSTANCE_KEY}};
  if (FAILED(CreateContentsTable(f.store, f.live_folder, 0, table.put())) ||
      FAILED(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0)) ||
      FAILED(table->Advise(fnevTableModified, &sink, &connection))) {
    return state.SkipWithError("cannot advise the table");
  }
  for (auto _ : state) {
    if (!write(f, sink)) return state.SkipWithError("the writer failed");
  }
  if (FAILED(table->Unadvise(connection))) return state.SkipWithError("Unadvise failed");
  ReportPercentiles(state, sink.Take());
}

// Each message is written after the previous one has been seen.
void InProcessLatency(benchmark::State& state) {
  MeasureLatency(state, [](Fixture& f, LatencySink& sink) {
    bool ok = true;
    std::thread writer([&] {
      for (int i = 0; i < kLatencySamples && ok; ++i) {
        ok = SUCCEEDED(WriteStamped(*f.db, f.live_folder, i)) && sink.WaitFor(i + 1);
      }
    });
    writer.join();
    return ok;
  });
}
BENCHMARK(InProcessLatency)->Unit(benchmark::kMillisecond)->Iterations(1);

// The child's part: writes stamped messages into folder, one every
// kCrossIntervalMs.
int RunWriter(const char* path, int64_t folder) {
  std::shared_ptr<Db> db;
  std::string err;
  if (FAILED(Db::Open(path, &db, &err))) return 2;
  for (int i = 0; i < kCrossSamples; ++i) {
    if (FAILED(WriteStamped(*db, folder, i))) return 3;
    std::this_thread::sleep_for(std::chrono::milliseconds(kCrossIntervalMs));
  }
  return 0;
}

// The writer is this binary again (--writer), with a Db of its own.
void CrossProcessLatency(benchmark::State& state) {
  MeasureLatency(state, [](Fixture& f, LatencySink& sink) {
    std::string path = f.dir + "/store.db";
    std::string folder = std::to_string(f.live_folder);
    std::string self = "/proc/self/exe", flag = "--writer";
    char* argv[] = {self.data(), flag.data(), path.data(), folder.data(), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
      execv("/proc/self/exe", argv);
      _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && sink.WaitFor(kCrossSamples);
  });
}
BENCHMARK(CrossProcessLatency)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace zuvstore

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--writer") == 0) {
    return zuvstore::RunWriter(argv[2], std::atoll(argv[3]));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete zuvstore::g_fixture;  // ends the notifier thread and removes the database
  return 0;
}

#else  // built without the store library: see bench/mapi_bench.cmake

#include <cstdio>

int main() {
  std::puts("mapi_tables_bench: built without the store library (include bench/mapi_bench.cmake)");
  return 0;
}

#endif
