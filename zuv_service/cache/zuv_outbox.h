// zuv_outbox.h: ZUV_OutboxWorker, the thread that empties the service
// mailbox's Outbox and closes idle drafts.
//
// Sending puts what recipients outside the store need into the Outbox
// (local recipients already have their copy). Each pass of the worker takes
// every queued message in turn:
//  - with SmtpRelay set, it relays the message by SMTP (libcurl) and deletes
//    it from the Outbox once the relay accepted it. A temporary failure
//    (connection trouble, 4xx) is retried after SmtpRetrySeconds, doubling
//    up to an hour, at most SmtpMaxAttempts times; a permanent one (5xx) or
//    running out of attempts sends the sender a non-delivery report;
//  - without a relay, the sender gets the report at once.
// A report ("Undeliverable: " and the subject; the recipients and the reason
// in the body) lands in the sender's Inbox before the queued message is
// deleted; if it cannot be written the message stays queued for the next
// pass, so nothing is dropped silently. Every attempt is logged.
//
// Ownership: the host creates one worker after the service mailbox was
// verified, starts it, and stops it (joining the thread) at shutdown. The
// retry state lives in the worker, so a restart retries at once.
//
// Threading: one thread of its own. pass_mu_ serialises passes (the thread's
// and RunOnce's); wake_mu_ guards the wake-up flag and the stop request.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>

#include "base/settings.h"
#include "base/thread_annotations.h"

namespace zuv {

// Asks the running worker for a pass now. Any thread; no effect when none
// runs.
void WakeOutboxWorker();

// The result of one SMTP attempt.
struct SmtpOutcome_s {
  bool accepted = false;
  bool permanent = false;  // refused for good: no retry
  std::string reason;      // what the relay or the connection said
};

// The queued message as the relay sends it.
struct OutgoingMail_s {
  std::string from;                  // sender's SMTP address
  std::string fromName;
  std::vector<std::string> to, cc;   // header addresses
  std::vector<std::string> envelope; // every address the relay is to deliver to
  std::string subject;
  std::string body;
  bool html = false;
  std::vector<std::pair<std::string, std::string>> attachments;  // name, bytes
};

// Sends mail through relay ("host:port") in one SMTP transaction.
SmtpOutcome_s RelayBySmtp(const std::string& relay, const OutgoingMail_s& mail);

// "=?UTF-8?B?...?=" for a header text with non-ASCII characters, else the
// text itself.
std::string EncodeHeaderWord(const std::string& text);

}  // namespace zuv

class ZUV_OutboxWorker {
 public:
  explicit ZUV_OutboxWorker(const zuv::MailSettings& settings);
  // Stops the thread when it runs.
  ~ZUV_OutboxWorker();
  ZUV_OutboxWorker(const ZUV_OutboxWorker&) = delete;
  ZUV_OutboxWorker& operator=(const ZUV_OutboxWorker&) = delete;

  // Starts the thread (once). Logs the relay in use.
  void Start();
  // Asks the thread to end after its current pass and joins it.
  void Stop();
  // One pass on the calling thread: idle drafts, then the Outbox. Returns
  // the number of queued messages finished (relayed or reported).
  int RunOnce();

 private:
  struct Retry_s {
    uint32_t attempts = 0;
    std::chrono::steady_clock::time_point due{};
  };

  void Loop();
  // Works on one queued message; true when it left the Outbox.
  bool Process(class CMapiExMod* session, const std::string& entryID) ZUV_REQUIRES(pass_mu_);
  // Writes the report to the sender's Inbox; false when it could not.
  bool Report(class CMapiExMod* session, const std::string& subject, const std::string& recipients,
              const std::string& reason);
  std::chrono::steady_clock::duration NextWait() ZUV_LOCKS_EXCLUDED(pass_mu_);

  const zuv::MailSettings settings_;
  zuv::Mutex pass_mu_;
  std::map<std::string, Retry_s> retries_ ZUV_GUARDED_BY(pass_mu_);  // by Outbox entry ID
  std::thread thread_;  // owned; joined by Stop
};
