// notify.h: delivery of store changes to advise sinks.
//
// One Notifier per database, shared by every session of the process. It
// takes the changes of this process's commits (Db change listener) and, while
// anyone is subscribed, polls the journal for other processes' changes every
// kJournalPollMs. A delivery thread hands each batch to the subscribers of the
// folder or store it concerns. Callbacks therefore run on the notifier's own
// thread, never on the writer's, and with no lock of the store held.
//
// Lifetime: a process-wide registry maps each Db to its Notifier through a
// weak reference, so the Notifier lives as long as someone (a StoreContext, a
// table's advise connection) holds it, and For() makes a new one after that.
// The Notifier holds its Db.
//
// Threads: one thread per Notifier both delivers and polls. It starts with
// the first subscription and ends when the Notifier is destroyed (joined; or,
// when the last reference goes inside a callback, it finishes on its own
// after that callback returns).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "db.h"

namespace zuvstore {

inline constexpr int kJournalPollMs = 50;

class Notifier {
 public:
  using Callback = std::function<void(const std::vector<ChangeEvent>& events)>;

  // The notifier of db (created on first use). Thread-safe.
  static std::shared_ptr<Notifier> For(const std::shared_ptr<Db>& db);

  // Calls cb with the changes of objects whose folder_id (or, for moves,
  // old_folder_id) is folder_id. Returns a subscription ID (> 0), or 0 when
  // the delivery thread cannot start. Changes committed after the call
  // returns are delivered; earlier ones may be.
  int SubscribeFolder(int64_t folder_id, Callback cb);
  // Calls cb with every change in the store.
  int SubscribeStore(int64_t store_id, Callback cb);
  // After it returns the callback is not running and will not run again
  // (when called from inside that callback, it only stops later calls).
  // An unknown or already removed ID is ignored.
  void Unsubscribe(int id);

  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;
  ~Notifier();

 private:
  struct Hub;  // the state shared with the thread and the Db listener

  explicit Notifier(std::shared_ptr<Db> db);
  int Subscribe(bool by_store, int64_t key, Callback cb);

  const std::shared_ptr<Hub> hub_;
  const int listener_id_;  // our Db change listener
};

}  // namespace zuvstore
