// notify.h: delivery of store changes to advise sinks.
//
// One Notifier per database, shared by every session of the process. It
// takes the changes of this process's commits (Db change listener) and, while
// anyone is subscribed, polls the journal for other processes' changes every
// kJournalPollMs. A delivery thread hands each batch to the subscribers of the
// folder or store it concerns. Callbacks therefore run on the notifier's own
// thread, never on the writer's, and with no lock of the store held.
//
// Threads: the delivery thread and the poller start with the first
// subscription and end when the Notifier is destroyed.
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

  // The notifier of db (created on first use).
  static std::shared_ptr<Notifier> For(const std::shared_ptr<Db>& db);

  // Calls cb with the changes of objects whose folder_id (or, for moves,
  // old_folder_id) is folder_id. Returns a subscription ID (> 0).
  int SubscribeFolder(int64_t folder_id, Callback cb);
  // Calls cb with every change in the store.
  int SubscribeStore(int64_t store_id, Callback cb);
  // After it returns the callback is not running and will not run again
  // (when called from inside that callback, it only stops later calls).
  void Unsubscribe(int id);

  virtual ~Notifier() = default;

 protected:
  Notifier() = default;
  virtual int Subscribe(bool by_store, int64_t key, Callback cb) = 0;
  virtual void DoUnsubscribe(int id) = 0;
};

}  // namespace zuvstore
