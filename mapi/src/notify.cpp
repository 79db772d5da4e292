// notify.cpp: the Notifier registry, its Db listener and its thread.
//
// DESIGN
// Everything a Notifier shares lives in a Hub: the Notifier handle owns it,
// its thread holds a reference for as long as it runs, and the Db change
// listener holds it weakly. So the thread can outlive the handle when the last
// handle reference goes inside a callback (the destructor then detaches the
// thread instead of joining itself), and a listener call racing destruction
// finds either a live Hub or none.
//
// One thread per Hub ("delivery thread") does two jobs:
//  - pops the batches the Db listener queued (this process's commits) and
//    hands each subscriber the events that concern it;
//  - while anyone is subscribed, reads the journal for other processes'
//    changes and delivers them the same way: when the marker changed (a
//    writer's wake-up), when a watch was just set (what was committed before
//    it), and every poll period (watched: a missed wake-up; not watched: the
//    only way).
// It sleeps in poll() on an eventfd (queue, subscription or stop changed;
// written under mu) and the inotify descriptor. Both descriptors are made
// under mu and closed only by ~Hub, so the thread reads them under mu and
// polls them without it.
//
// The watch: set by Subscribe when polling starts (making the marker if
// missing), before the journal head is read, so a commit after Subscribe
// returns always wakes the thread. It follows the marker's inode; on an
// attribute change or the end of the watch, and at each poll, the thread
// checks that the path still names that inode (the store deleted and made
// again, the marker removed) and watches the new one. The thread never
// makes the marker (a folder being removed stays removed): while it is
// missing the thread watches the folder for it, as the next writer makes
// it, and polls at kJournalPollMs.
//
// A writer of this process wakes its own notifier too (the marker does not
// say who wrote it); that costs one journal read finding nothing, as the
// read skips this process's entries.
// It starts with the first subscription and ends when the handle is
// destroyed. Callbacks run with no lock held; mu is held only to copy the
// subscriber list and to mark which subscription is running, which is what
// lets Unsubscribe wait for a running callback.
#include "notify.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zuvstore {

namespace {

// Journal entries read per ReadJournal call.
constexpr size_t kJournalBatch = 512;

// A write is a writer's wake-up; a touch too. An attribute change may also
// be the marker's removal (its link count), so it is checked first.
constexpr uint32_t kMarkerEvents = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// While the marker is missing: its folder, for the marker made again.
constexpr uint32_t kFolderEvents = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

std::atomic<int> g_watched_poll_ms{kJournalFallbackPollMs};
std::atomic<int> g_unwatched_poll_ms{kJournalPollMs};
std::atomic<bool> g_wake_ups{true};

// One stderr line per marker and process when it cannot be watched.
void LogNoWatchOnce(const std::string& marker, const char* what, int err) {
  static std::mutex mu;
  static auto* logged = new std::set<std::string>;  // guarded by mu; never destroyed
  {
    std::lock_guard<std::mutex> lock(mu);
    if (!logged->insert(marker).second) return;
  }
  std::fprintf(stderr,
               "zuvstore: %s %s: %s; other processes' changes are polled every %d ms\n", what,
               marker.c_str(), std::strerror(err), g_unwatched_poll_ms.load());
}

}  // namespace

struct Notifier::Hub {
  struct Sub {
    const int id;
    const bool by_store;
    const int64_t key;  // folder or store ID
    const Callback cb;
    bool cancelled = false;  // guarded by Hub::mu

    bool Wants(const ChangeEvent& e) const {
      if (by_store) return e.store_id == key;
      return e.folder_id == key || (e.type == ChangeType::kMoved && e.old_folder_id == key);
    }
  };

  explicit Hub(std::shared_ptr<Db> d) : db(std::move(d)) {}
  ~Hub() {
    if (event_fd >= 0) close(event_fd);
    if (inotify_fd >= 0) close(inotify_fd);
  }
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  // Db listener: runs on the committing thread, so it only queues.
  void Enqueue(const std::vector<ChangeEvent>& events);
  // The delivery thread's body.
  static void Run(std::shared_ptr<Hub> hub);
  // Hands batch to the subscribers. Called and returns with lk held; drops
  // it around callbacks.
  void Deliver(std::unique_lock<std::mutex>& lk, const std::vector<ChangeEvent>& batch);
  // Reads the journal after journal_seq and delivers what it finds. Called
  // and returns with lk held; drops it around the database reads.
  void Poll(std::unique_lock<std::mutex>& lk);
  // Wakes the thread. mu held.
  void Signal();
  // Sleeps until Signal, a change of the marker or timeout_ms (-1: no
  // limit). Called and returns with lk held; drops it while asleep.
  void Wait(std::unique_lock<std::mutex>& lk, int timeout_ms);
  // Watches the marker unless it is watched; make: make it when missing
  // (the first subscription). A marker missing without make is waited for
  // through a watch of its folder. mu held. False when not watched; a
  // failure other than a missing marker is logged once.
  bool Watch(bool make);
  // Drops the watch when the marker's path no longer names the watched
  // file. mu held.
  void CheckWatch();
  // The poll period now.
  int PollMs() const {
    return watch >= 0 && g_wake_ups.load() ? g_watched_poll_ms.load() : g_unwatched_poll_ms.load();
  }

  const std::shared_ptr<Db> db;

  std::mutex mu;
  std::condition_variable idle;                // running went back to 0
  std::deque<std::vector<ChangeEvent>> queue;  // guarded by mu
  std::map<int, std::shared_ptr<Sub>> subs;    // guarded by mu
  int next_id = 1;                             // guarded by mu
  int running = 0;            // the subscription whose callback runs now; guarded by mu
  bool polling = false;       // subs is not empty; guarded by mu
  int64_t journal_seq = 0;    // last journal entry seen; guarded by mu
  uint64_t poll_epoch = 0;    // bumped when polling restarts; guarded by mu
  bool stop = false;          // guarded by mu
  int event_fd = -1;          // made by the first Subscribe; guarded by mu
  int inotify_fd = -1;        // made by the first Watch; guarded by mu
  int watch = -1;             // the marker's watch descriptor, -1 for none; guarded by mu
  int folder_watch = -1;      // its folder's, while the marker is missing; guarded by mu
  dev_t watched_dev = 0;      // the watched marker's file; guarded by mu
  ino_t watched_ino = 0;      // guarded by mu
  bool wake_due = false;      // the marker changed, or a watch was set; guarded by mu
  std::thread thread;         // started by Subscribe, taken by ~Notifier; guarded by mu
  std::thread::id thread_id;  // guarded by mu
};

void Notifier::Hub::Enqueue(const std::vector<ChangeEvent>& events) {
  if (events.empty()) return;
  std::lock_guard<std::mutex> lock(mu);
  if (stop || subs.empty()) return;
  try {
    queue.push_back(events);
  } catch (const std::bad_alloc&) {
    return;  // the committing thread must not see it; the batch is lost
  }
  Signal();
}

void Notifier::Hub::Signal() {
  if (event_fd < 0) return;
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = write(event_fd, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
  // EAGAIN only at a counter near 2^64: the thread is awake anyway.
}

void Notifier::Hub::Wait(std::unique_lock<std::mutex>& lk, int timeout_ms) {
  pollfd fds[2] = {{event_fd, POLLIN, 0}, {-1, POLLIN, 0}};
  // Marker changes matter only while polling; while not, they wait in the
  // inotify queue and cost one read when polling starts again.
  if (polling && g_wake_ups.load()) fds[1].fd = inotify_fd;
  const int fd_count = fds[1].fd >= 0 ? 2 : 1;
  const int efd = event_fd, ifd = fds[1].fd, fwd = folder_watch;
  lk.unlock();
  bool written = false;  // a wake-up
  bool touched = false;  // an attribute change of the watched marker
  bool check = false;    // the marker may be another file now, or back
  std::vector<int> ended;
  const int n = poll(fds, static_cast<nfds_t>(fd_count), timeout_ms);
  if (n > 0 && (fds[0].revents & POLLIN) != 0) {
    uint64_t count;
    while (read(efd, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }
  if (n > 0 && fd_count == 2 && (fds[1].revents & POLLIN) != 0) {
    const std::string name = std::filesystem::path(db->wake_path()).filename().string();
    alignas(inotify_event) char buf[4096];
    ssize_t got;
    while ((got = read(ifd, buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR)) {
      for (ssize_t at = 0; got > 0 && at < got;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if ((ev->mask & IN_Q_OVERFLOW) != 0) {
          written = check = true;
        } else if ((ev->mask & IN_IGNORED) != 0) {
          ended.push_back(ev->wd);
          check = true;
        } else if (ev->wd == fwd) {
          if (ev->len > 0 && name == ev->name) check = true;
        } else {
          if ((ev->mask & IN_MODIFY) != 0) written = true;
          if ((ev->mask & IN_ATTRIB) != 0) touched = true;
          if ((ev->mask & (IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) check = true;
        }
      }
    }
  }
  lk.lock();
  for (const int wd : ended) {
    if (wd == watch) watch = -1;
    if (wd == folder_watch) folder_watch = -1;
  }
  if (check) {
    CheckWatch();
    // A touch of the marker wakes like a write; its removal does not
    // (nothing was committed), and a new marker is read at once (Watch).
    if (watch >= 0) {
      written = written || touched;
    } else {
      Watch(false);
    }
  }
  if (written) wake_due = true;
}

bool Notifier::Hub::Watch(bool make) {
  if (watch >= 0) return true;
  if (!g_wake_ups.load()) return false;
  const std::string& marker = db->wake_path();
  if (inotify_fd < 0) {
    inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_fd < 0) {
      LogNoWatchOnce(marker, "no inotify instance to watch", errno);
      return false;
    }
  }
  if (make && !db->EnsureWakeMarker()) {
    LogNoWatchOnce(marker, "cannot make", errno);
    return false;
  }
  int wd = inotify_add_watch(inotify_fd, marker.c_str(), kMarkerEvents);
  if (wd < 0 && errno == ENOENT && !make) {
    // Removed (the store deleted and made again): its next writer makes it.
    if (folder_watch < 0) {
      const std::string folder = std::filesystem::path(marker).parent_path().string();
      folder_watch = inotify_add_watch(inotify_fd, folder.empty() ? "." : folder.c_str(),
                                       kFolderEvents);
    }
    if (folder_watch < 0) return false;
    wd = inotify_add_watch(inotify_fd, marker.c_str(), kMarkerEvents);  // made meanwhile?
    if (wd < 0) return false;
  }
  if (wd < 0) {
    LogNoWatchOnce(marker, "cannot watch", errno);
    return false;
  }
  struct stat st;
  if (stat(marker.c_str(), &st) != 0) {
    inotify_rm_watch(inotify_fd, wd);
    return false;
  }
  if (folder_watch >= 0) {
    inotify_rm_watch(inotify_fd, folder_watch);
    folder_watch = -1;
  }
  watch = wd;
  watched_dev = st.st_dev;
  watched_ino = st.st_ino;
  wake_due = true;  // what was committed before the watch
  return true;
}

void Notifier::Hub::CheckWatch() {
  if (watch < 0) return;
  struct stat st;
  if (stat(db->wake_path().c_str(), &st) == 0 && st.st_dev == watched_dev &&
      st.st_ino == watched_ino) {
    return;
  }
  inotify_rm_watch(inotify_fd, watch);
  watch = -1;
}

void Notifier::Hub::Run(std::shared_ptr<Hub> hub) {
  using Clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> lk(hub->mu);
  auto next_poll = Clock::now() + std::chrono::milliseconds(hub->PollMs());
  while (!hub->stop) {
    try {
      if (!hub->queue.empty()) {
        std::vector<ChangeEvent> batch = std::move(hub->queue.front());
        hub->queue.pop_front();
        hub->Deliver(lk, batch);
      } else if (!hub->polling) {
        hub->Wait(lk, -1);
        next_poll = Clock::now() + std::chrono::milliseconds(hub->PollMs());
      } else if (hub->wake_due) {
        hub->wake_due = false;
        hub->Poll(lk);
        next_poll = std::min(next_poll, Clock::now() + std::chrono::milliseconds(hub->PollMs()));
      } else if (Clock::now() >= next_poll) {
        hub->CheckWatch();
        hub->Watch(false);  // again, after a lost watch
        hub->wake_due = false;
        hub->Poll(lk);
        next_poll = Clock::now() + std::chrono::milliseconds(hub->PollMs());
      } else {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next_poll - Clock::now());
        hub->Wait(lk, static_cast<int>(std::max<int64_t>(left.count(), 0)));
      }
    } catch (const std::bad_alloc&) {
      // Out of memory while copying a batch: that batch is lost, the
      // thread goes on.
      if (!lk.owns_lock()) lk.lock();
      hub->running = 0;
      hub->idle.notify_all();
    }
  }
}

void Notifier::Hub::Deliver(std::unique_lock<std::mutex>& lk,
                            const std::vector<ChangeEvent>& batch) {
  std::vector<std::shared_ptr<Sub>> snapshot;
  snapshot.reserve(subs.size());
  for (const auto& [id, sub] : subs) snapshot.push_back(sub);
  lk.unlock();

  std::vector<ChangeEvent> mine;
  for (const auto& sub : snapshot) {
    mine.clear();
    for (const ChangeEvent& e : batch) {
      if (sub->Wants(e)) mine.push_back(e);
    }
    if (mine.empty()) continue;
    lk.lock();
    if (sub->cancelled || stop) {
      lk.unlock();
      continue;
    }
    running = sub->id;
    lk.unlock();
    try {
      sub->cb(mine);
    } catch (...) {
      // A throwing subscriber loses this batch; the thread goes on.
    }
    lk.lock();
    running = 0;
    idle.notify_all();
    lk.unlock();
  }
  // The last reference to a subscription (and what its callback captured,
  // possibly this Hub's Notifier) may go here, so not under mu.
  snapshot.clear();
  lk.lock();
}

void Notifier::Hub::Poll(std::unique_lock<std::mutex>& lk) {
  int64_t seq = journal_seq;
  const uint64_t epoch = poll_epoch;
  lk.unlock();
  std::vector<std::vector<ChangeEvent>> found;
  for (;;) {
    // Our own entries are skipped, so a short answer does not mean the end;
    // a read that does not move seq does.
    const int64_t before = seq;
    std::vector<ChangeEvent> events;
    if (FAILED(db->ReadJournal(&seq, kJournalBatch, &events))) break;  // retried next poll
    if (!events.empty()) found.push_back(std::move(events));
    if (seq == before) break;
  }
  lk.lock();
  // A restart of polling while we read set a new start point; keep it.
  if (epoch != poll_epoch) return;
  journal_seq = seq;
  for (const auto& events : found) {
    if (stop) return;
    Deliver(lk, events);
  }
}

// ---- Notifier ----

namespace {

struct Registry {
  std::mutex mu;
  std::map<const Db*, std::weak_ptr<Notifier>> map;  // guarded by mu
};

// Never destroyed: notifier threads may still run at exit.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

std::shared_ptr<Notifier> Notifier::For(const std::shared_ptr<Db>& db) {
  if (!db) return nullptr;
  Registry& reg = TheRegistry();
  std::lock_guard<std::mutex> lock(reg.mu);
  for (auto it = reg.map.begin(); it != reg.map.end();) {
    it = it->second.expired() ? reg.map.erase(it) : std::next(it);
  }
  auto it = reg.map.find(db.get());
  if (it != reg.map.end()) {
    if (auto live = it->second.lock()) return live;
  }
  std::shared_ptr<Notifier> made(new Notifier(db));
  reg.map[db.get()] = made;
  return made;
}

Notifier::Notifier(std::shared_ptr<Db> db)
    : hub_(std::make_shared<Hub>(std::move(db))),
      listener_id_(hub_->db->AddChangeListener(
          [weak = std::weak_ptr<Hub>(hub_)](const std::vector<ChangeEvent>& events) {
            if (auto hub = weak.lock()) hub->Enqueue(events);
          })) {}

Notifier::~Notifier() {
  hub_->db->RemoveChangeListener(listener_id_);
  std::thread thread;
  std::map<int, std::shared_ptr<Hub::Sub>> subs;
  {
    std::lock_guard<std::mutex> lock(hub_->mu);
    hub_->stop = true;
    hub_->polling = false;
    hub_->queue.clear();
    subs.swap(hub_->subs);
    for (auto& [id, sub] : subs) sub->cancelled = true;
    thread = std::move(hub_->thread);
    hub_->Signal();
  }
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // inside a callback: the loop sees stop when it returns
    } else {
      thread.join();
    }
  }
}

int Notifier::SubscribeFolder(int64_t folder_id, Callback cb) {
  return Subscribe(false, folder_id, std::move(cb));
}

int Notifier::SubscribeStore(int64_t store_id, Callback cb) {
  return Subscribe(true, store_id, std::move(cb));
}

int Notifier::Subscribe(bool by_store, int64_t key, Callback cb) {
  {
    // The watch before the head: a change committed after the head is read
    // both lies past it and wakes the thread.
    std::lock_guard<std::mutex> lock(hub_->mu);
    if (hub_->stop) return 0;
    if (hub_->event_fd < 0) {
      hub_->event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
      if (hub_->event_fd < 0) return 0;
    }
    if (!hub_->polling) hub_->Watch(true);
  }
  // Read without mu (it is a database read); a change committed after
  // this point is past head, so the poller will see it.
  const int64_t head = hub_->db->JournalHead();
  std::lock_guard<std::mutex> lock(hub_->mu);
  if (hub_->stop) return 0;
  if (!hub_->polling) {
    hub_->polling = true;
    hub_->journal_seq = head;
    ++hub_->poll_epoch;
  }
  const int id = hub_->next_id++;
  try {
    hub_->subs.emplace(id, std::make_shared<Hub::Sub>(Hub::Sub{id, by_store, key, std::move(cb)}));
    if (!hub_->thread.joinable()) {
      hub_->thread = std::thread(&Hub::Run, hub_);
      hub_->thread_id = hub_->thread.get_id();
    }
  } catch (const std::exception&) {  // no memory, or no thread
    hub_->subs.erase(id);
    hub_->polling = !hub_->subs.empty();
    return 0;
  }
  hub_->Signal();
  return id;
}

void Notifier::Unsubscribe(int id) {
  std::shared_ptr<Hub::Sub> gone;  // released after mu
  std::unique_lock<std::mutex> lk(hub_->mu);
  auto it = hub_->subs.find(id);
  if (it == hub_->subs.end()) return;
  gone = std::move(it->second);
  gone->cancelled = true;
  hub_->subs.erase(it);
  if (hub_->subs.empty()) {
    hub_->polling = false;
    hub_->queue.clear();
  }
  if (std::this_thread::get_id() != hub_->thread_id) {
    hub_->idle.wait(lk, [&] { return hub_->running != id; });
  }
  lk.unlock();
}

void Notifier::SetPolling(int watched_ms, int unwatched_ms, bool wake_ups) {
  g_watched_poll_ms.store(watched_ms > 0 ? watched_ms : 1);
  g_unwatched_poll_ms.store(unwatched_ms > 0 ? unwatched_ms : 1);
  g_wake_ups.store(wake_ups);
}

void Notifier::ResetPolling() { SetPolling(kJournalFallbackPollMs, kJournalPollMs, true); }

}  // namespace zuvstore
