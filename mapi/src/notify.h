// notify.h: delivery of store changes to advise sinks.
//
// One Notifier per database, shared by every session of the process. It
// takes the changes of this process's commits (Db change listener) and, while
// anyone is subscribed, reads the journal for other processes' changes when
// they wake it: every writer writes a byte to the database's marker file
// (Db::wake_path()) after a commit, and the notifier watches that file with
// inotify. A slower poll of the journal (kJournalFallbackPollMs) catches a
// wake-up that was missed. Where the marker cannot be made or watched (a
// read-only folder, no inotify instances left) one line goes to stderr and
// the journal is polled every kJournalPollMs instead, retrying the watch at
// each poll. A delivery thread hands each batch to the subscribers of the
// folder or store it concerns. Callbacks therefore run on the notifier's own
// thread, never on the writer's, and with no lock of the store held.
//
// Lifetime: a process-wide registry maps each Db to its Notifier through a
// weak reference, so the Notifier lives as long as someone (a StoreContext, a
// table's advise connection) holds it, and For() makes a new one after that.
// The Notifier holds its Db.
//
// Threads: one thread per Notifier delivers, waits for wake-ups and polls
// (one poll() over its own eventfd and the inotify descriptor). It starts
// with the first subscription and ends when the Notifier is destroyed
// (joined; or, when the last reference goes inside a callback, it finishes on
// its own after that callback returns). The marker is watched from the first
// subscription to the Notifier's end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "db.h"

namespace zuvstore {

// Journal poll period while the marker is not watched.
inline constexpr int kJournalPollMs = 50;
// Journal poll period while it is: only for a missed wake-up.
inline constexpr int kJournalFallbackPollMs = 1000;

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

  // Process-wide timing, for tests and benchmarks: the journal poll period
  // while the marker is watched and while it is not; wake_ups false leaves
  // the marker alone (every notifier polls). Notifier threads read it at
  // each wait; the marker is watched at the first subscription.
  static void SetPolling(int watched_ms, int unwatched_ms, bool wake_ups);
  // The defaults back.
  static void ResetPolling();

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
