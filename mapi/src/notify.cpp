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
//  - while anyone is subscribed, every kJournalPollMs reads the journal for
//    other processes' changes and delivers them the same way.
// It starts with the first subscription and ends when the handle is
// destroyed. Callbacks run with no lock held; mu is held only to copy the
// subscriber list and to mark which subscription is running, which is what
// lets Unsubscribe wait for a running callback.
#include "notify.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

namespace zuvstore {

namespace {

// Journal entries read per ReadJournal call.
constexpr size_t kJournalBatch = 512;

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

  const std::shared_ptr<Db> db;

  std::mutex mu;
  std::condition_variable wake;                // queue, subscription or stop changed
  std::condition_variable idle;                // running went back to 0
  std::deque<std::vector<ChangeEvent>> queue;  // guarded by mu
  std::map<int, std::shared_ptr<Sub>> subs;    // guarded by mu
  int next_id = 1;                             // guarded by mu
  int running = 0;            // the subscription whose callback runs now; guarded by mu
  bool polling = false;       // subs is not empty; guarded by mu
  int64_t journal_seq = 0;    // last journal entry seen; guarded by mu
  uint64_t poll_epoch = 0;    // bumped when polling restarts; guarded by mu
  bool stop = false;          // guarded by mu
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
  wake.notify_one();
}

void Notifier::Hub::Run(std::shared_ptr<Hub> hub) {
  using Clock = std::chrono::steady_clock;
  const auto poll_every = std::chrono::milliseconds(kJournalPollMs);
  std::unique_lock<std::mutex> lk(hub->mu);
  auto next_poll = Clock::now() + poll_every;
  while (!hub->stop) {
    try {
      if (!hub->queue.empty()) {
        std::vector<ChangeEvent> batch = std::move(hub->queue.front());
        hub->queue.pop_front();
        hub->Deliver(lk, batch);
      } else if (!hub->polling) {
        hub->wake.wait(lk);
        next_poll = Clock::now() + poll_every;
      } else if (Clock::now() >= next_poll) {
        hub->Poll(lk);
        next_poll = Clock::now() + poll_every;
      } else {
        hub->wake.wait_until(lk, next_poll);
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
    hub_->wake.notify_all();
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
  // Read before taking mu (it is a database read); a change committed after
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
  hub_->wake.notify_all();
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

}  // namespace zuvstore
