// notify_latency_load.cpp: how soon another process's commit reaches an
// advise sink, by the journal poll and by the writer's wake-up, in one run.
//
// A temporary store with one folder; this process advises a contents table of
// it (PR_SUBJECT_A, PR_INSTANCE_KEY). A child process (this binary again,
// --writer) commits --commits messages one at a time, a few milliseconds
// apart (7 to 29 ms, not a multiple of the poll period); each subject holds
// the steady clock when its write began, and the sink takes the difference
// when the TABLE_ROW_ADDED arrives. Reported per mode, p50 / p90 / p99 / max in ms:
//  - poll: wake-ups ignored, the journal read every kJournalPollMs (what
//    there was before the wake-up);
//  - wake: the defaults (the marker watched, a fallback poll every
//    kJournalFallbackPollMs).
// --watchers K starts K more processes (--watcher) that subscribe to the
// folder too, so that every commit wakes K + 1 notifiers.
//
//   build/release/bin/notify_latency_load [--commits 200] [--watchers 0]
//
// Exit status 0 when every commit arrived, 1 when some did not, 2 on bad
// options or when the store cannot be made.
#if __has_include("store_context.h")

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

constexpr auto kWait = std::chrono::seconds(30);

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The sink: one latency per added row, from the stamp in its subject.
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
      if (v.ulPropTag == PR_SUBJECT_A) ns_.push_back(now - std::atoll(v.Value.lpszA));
    }
    cv_.notify_all();
    return 0;
  }
  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kWait, [&] { return ns_.size() >= n; });
  }
  std::vector<int64_t> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::move(ns_);
  }

 private:
  std::atomic<ULONG> refs_{1};
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<int64_t> ns_;  // guarded by mu_
};

MessageRecord NewMessage(int64_t folder, const std::string& subject) {
  MessageRecord rec;
  rec.store_id = 1;
  rec.folder_id = folder;
  rec.props[PROP_ID(PR_MESSAGE_CLASS_A)] = MakeString8("IPM.Note");
  rec.props[PROP_ID(PR_SUBJECT_A)] = MakeString8(subject);
  rec.props[PROP_ID(PR_SENDER_NAME_A)] = MakeString8("Sender");
  return rec;
}

// The --writer child: count stamped messages into folder, spaced out.
int RunWriter(const char* path, int64_t folder, int count) {
  std::shared_ptr<Db> db;
  std::string err;
  if (FAILED(Db::Open(path, &db, &err))) return 2;
  for (int i = 0; i < count; ++i) {
    MessageRecord rec = NewMessage(folder, std::to_string(NowNs()));
    if (FAILED(db->Write([&](WriteTxn& txn) { return SaveMessageRecord(txn, &rec); }, &err))) {
      return 3;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(7 + (i * 7) % 23));
  }
  return 0;
}

// The --watcher child: subscribed to folder until SIGTERM.
int RunWatcher(const char* path, int64_t folder) {
  std::shared_ptr<Db> db;
  std::string err;
  if (FAILED(Db::Open(path, &db, &err))) return 2;
  std::shared_ptr<Notifier> notifier = Notifier::For(db);
  if (notifier->SubscribeFolder(folder, [](const std::vector<ChangeEvent>&) {}) == 0) return 3;
  for (;;) pause();
}

pid_t Spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  std::string self = "/proc/self/exe";
  argv.push_back(self.data());
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  return pid;
}

void Report(const char* mode, std::vector<int64_t> ns, int expected) {
  if (ns.empty()) {
    std::printf("%-5s  no notification arrived\n", mode);
    return;
  }
  std::sort(ns.begin(), ns.end());
  auto at = [&](double q) {
    return ns[std::min(ns.size() - 1, static_cast<size_t>(q * static_cast<double>(ns.size())))] /
           1e6;
  };
  std::printf("%-5s  %4zu/%d  p50 %8.3f ms  p90 %8.3f ms  p99 %8.3f ms  max %8.3f ms\n", mode,
              ns.size(), expected, at(0.50), at(0.90), at(0.99), ns.back() / 1e6);
}

int Main(int commits, int watchers) {
  char tmpl[] = "/tmp/zuv_notify_load_XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 2;
  const std::string dir = tmpl;
  const std::string path = dir + "/store.db";
  int status_out = 0;
  {
    std::shared_ptr<Db> db;
    std::string err;
    if (FAILED(Db::Open(path, &db, &err))) {
      std::fprintf(stderr, "cannot make the store: %s\n", err.c_str());
      return 2;
    }
    auto store = std::make_shared<StoreContext>();
    store->db = db;
    store->info.id = 1;
    store->info.guid = NewGuid();
    store->notifier = Notifier::For(db);
    int64_t folder = 0;
    HRESULT hr = db->Write(
        [&](WriteTxn& txn) -> HRESULT {
          FolderRecord rec;
          rec.store_id = 1;
          if (FAILED(InsertFolder(txn, &rec))) return MAPI_E_CALL_FAILED;
          folder = rec.id;
          return S_OK;
        },
        &err);
    if (FAILED(hr)) return 2;
    const std::string folder_arg = std::to_string(folder);

    std::vector<pid_t> watcher_pids;
    for (int i = 0; i < watchers; ++i) {
      watcher_pids.push_back(Spawn({"--watcher", path, folder_arg}));
    }
    std::printf("%d commits from another process, %d more watching processes\n", commits,
                watchers);
    for (const bool wake : {false, true}) {
      if (wake) {
        Notifier::ResetPolling();
      } else {
        Notifier::SetPolling(kJournalPollMs, kJournalPollMs, false);
      }
      LatencySink sink;
      ComPtr<IMAPITable> table;
      ULONG connection = 0;
      SizedSPropTagArray(2, cols) = {2, {PR_SUBJECT_A, PR_INSTANCE_KEY}};
      if (FAILED(CreateContentsTable(store, folder, 0, table.put())) ||
          FAILED(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0)) ||
          FAILED(table->Advise(fnevTableModified, &sink, &connection))) {
        std::fprintf(stderr, "cannot advise the table\n");
        return 2;
      }
      const pid_t writer =
          Spawn({"--writer", path, folder_arg, std::to_string(commits)});
      int status = 0;
      const bool wrote = writer > 0 && waitpid(writer, &status, 0) == writer &&
                         WIFEXITED(status) && WEXITSTATUS(status) == 0;
      const bool all = sink.WaitFor(static_cast<size_t>(commits));
      table->Unadvise(connection);
      Report(wake ? "wake" : "poll", sink.Take(), commits);
      if (!wrote || !all) status_out = 1;
    }
    for (pid_t pid : watcher_pids) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
  std::filesystem::remove_all(dir);
  return status_out;
}

}  // namespace
}  // namespace zuvstore

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--writer") == 0) {
    return zuvstore::RunWriter(argv[2], std::atoll(argv[3]), std::atoi(argv[4]));
  }
  if (argc == 4 && std::strcmp(argv[1], "--watcher") == 0) {
    return zuvstore::RunWatcher(argv[2], std::atoll(argv[3]));
  }
  int commits = 200, watchers = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--commits") == 0 && i + 1 < argc) {
      commits = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--watchers") == 0 && i + 1 < argc) {
      watchers = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: notify_latency_load [--commits N] [--watchers K]\n");
      return 2;
    }
  }
  if (commits <= 0 || watchers < 0) return 2;
  return zuvstore::Main(commits, watchers);
}

#else  // built without the store library: see bench/mapi_bench.cmake

#include <cstdio>

int main() {
  std::puts("notify_latency_load: built without the store library (include bench/mapi_bench.cmake)");
  return 0;
}

#endif
