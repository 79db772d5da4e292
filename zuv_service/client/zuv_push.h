// zuv_push.h: ZUV_PushSender, the pool of threads that sends pushed row
// changes (DataType 502 to 505) to the clients listening to a table.
//
// Each listener (client record) has one FIFO queue; at most one sender
// thread works on a listener at a time, so its pushes arrive in the order
// the changes happened, and a listener that is slow or refuses
// connections holds one thread, not the others' pushes. A queue keeps at
// most queue_limit pushes: beyond it the oldest go, with one warning line
// per listener and burst (until its queue runs empty again).
//
// One push, one connection: connect (dotted IPv4 addresses directly, host
// names resolved once per host) with a time-out, TCP_NODELAY, one framed
// message, close. A refused or timed-out connect is retried a few times
// with back-off; while it waits, its listener is set aside (no thread
// sleeps for it). A push that cannot be delivered is dropped with a
// warning line; nothing is reported back.
//
// Ownership: a queued or running push holds a reference to its client
// record and the message text (serialized once per change and shared by
// the listeners of that change). Drop() takes a closed client's queue
// away; its running push, if any, is the last one.
//
// Threads: started on the first push, PushThreads of them. The process's
// sender (Instance) is never destroyed: its threads end with the process.
// Other senders (tests, benchmarks) stop and join theirs in the destructor,
// dropping what is queued.
//
// Locks: mu_ guards the queues, the ready list, the host cache and the
// thread list; it is never held while connecting or sending, and no other
// lock is taken inside it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <netinet/in.h>

#include "base/thread_annotations.h"

class ZUV_Client;

class ZUV_PushSender {
 public:
  struct Options {
    uint32_t threads = 8;         // PushThreads
    uint32_t queue_limit = 10000;  // PushQueueLimit: pushes queued per listener
    std::chrono::milliseconds connect_timeout{2000};
    int retries = 2;  // connect attempts after the first
    std::chrono::milliseconds backoff{100};  // before the first retry; doubles
    bool held = false;  // threads take no push until Release() (tests, benchmarks)
  };

  explicit ZUV_PushSender(const Options& options);
  ~ZUV_PushSender();
  ZUV_PushSender(const ZUV_PushSender&) = delete;
  ZUV_PushSender& operator=(const ZUV_PushSender&) = delete;

  // The process's sender, with PushThreads and PushQueueLimit of the
  // registry settings.
  static ZUV_PushSender& Instance();

  // Queues one push of dataType to client; rows is the JSON text of the
  // message's ROWS value.
  void Enqueue(const std::shared_ptr<ZUV_Client>& client, int32_t dataType,
               std::shared_ptr<const std::string> rows) ZUV_LOCKS_EXCLUDED(mu_);
  // Drops client's queued pushes; none are queued for it after this
  // unless Enqueue is called again.
  void Drop(const ZUV_Client* client) ZUV_LOCKS_EXCLUDED(mu_);

  // Pushes dropped because a queue was full, and pushes that could not be
  // delivered (resolution or connection failed), since the start.
  uint64_t DroppedFull() ZUV_LOCKS_EXCLUDED(mu_);
  // Pushes queued since the start.
  uint64_t Enqueued() ZUV_LOCKS_EXCLUDED(mu_);
  uint64_t DroppedUndelivered() ZUV_LOCKS_EXCLUDED(mu_);
  // Lets the threads of a sender made held take pushes.
  void Release() ZUV_LOCKS_EXCLUDED(mu_);
  // Waits until nothing is queued or being sent (tests and benchmarks).
  void WaitUntilIdle() ZUV_LOCKS_EXCLUDED(mu_);

  // The framed message's JSON text.
  static std::string MessageText(int32_t dataType, const std::string& identifier, const std::string& rows);

 private:
  struct Item {
    int32_t data_type = 0;
    std::shared_ptr<const std::string> rows;
    int attempts = 0;  // connects tried
  };
  enum class Outcome { kSent, kRetry, kDropped };
  struct Listener {
    std::shared_ptr<ZUV_Client> client;
    std::deque<Item> items;
    bool busy = false;     // a thread is sending its front push
    bool ready = false;    // on ready_
    bool dropped = false;  // Drop() took it away
    bool warned = false;   // the full-queue line was logged in this burst
    std::chrono::steady_clock::time_point retry_at;  // while on delayed_
  };

  void Run() ZUV_LOCKS_EXCLUDED(mu_);
  // Moves the delayed listeners whose retry is due to ready_; the time of
  // the next one still waiting (max() when none).
  std::chrono::steady_clock::time_point WakeDelayed() ZUV_REQUIRES(mu_);
  // One attempt at one push.
  Outcome Send(const ZUV_Client& client, const Item& item) ZUV_LOCKS_EXCLUDED(mu_);
  bool Resolve(const std::string& host, in_addr* out) ZUV_LOCKS_EXCLUDED(mu_);

  const Options options_;
  zuv::Mutex mu_;
  zuv::CondVar work_;  // ready_ gained a listener, or stopping_
  zuv::CondVar idle_;  // a push ended
  bool stopping_ ZUV_GUARDED_BY(mu_) = false;
  bool held_ ZUV_GUARDED_BY(mu_) = false;
  std::vector<std::thread> threads_ ZUV_GUARDED_BY(mu_);
  std::unordered_map<const ZUV_Client*, std::shared_ptr<Listener>> listeners_ ZUV_GUARDED_BY(mu_);
  std::deque<std::shared_ptr<Listener>> ready_ ZUV_GUARDED_BY(mu_);
  std::vector<std::shared_ptr<Listener>> delayed_ ZUV_GUARDED_BY(mu_);  // waiting to retry a connect
  std::map<std::string, in_addr> hosts_ ZUV_GUARDED_BY(mu_);
  size_t queued_ ZUV_GUARDED_BY(mu_) = 0;  // pushes queued or being sent
  uint64_t enqueued_ ZUV_GUARDED_BY(mu_) = 0;
  uint64_t dropped_full_ ZUV_GUARDED_BY(mu_) = 0;
  uint64_t dropped_undelivered_ ZUV_GUARDED_BY(mu_) = 0;
};
