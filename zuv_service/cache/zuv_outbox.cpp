// zuv_outbox.cpp: the outbox worker, SMTP relaying through libcurl and
// non-delivery reports.
#include "cache/zuv_outbox.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "base/logging.h"
#include "base/wire.h"
#include "cache/zuv_cache.h"
#include "mapi/mapitags.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/mapimessage.h"
#include "mapi_access/rtf_text.h"

namespace zuv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kOutboxConnectionName = "OUTBOX";
constexpr auto kPollInterval = std::chrono::seconds(5);
constexpr auto kLongestRetryWait = std::chrono::hours(1);
constexpr ULONG PR_SENDER_NAME_A = 0x0C1A001E;
constexpr ULONG PR_SENDER_EMAIL_ADDRESS_A = 0x0C1F001E;
constexpr ULONG PR_BODY_HTML_A = 0x1013001E;

// Wake-up of the running worker.
Mutex g_wake_mu;
CondVar g_wake_cv;
bool g_wake ZUV_GUARDED_BY(g_wake_mu) = false;
bool g_stop ZUV_GUARDED_BY(g_wake_mu) = false;

std::once_flag g_curl_once;

bool StopRequested() {
  MutexLock lock(g_wake_mu);
  return g_stop;
}

std::string Base64(const std::string& bytes) {
  static const char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t n = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += {kTable[n >> 18], kTable[(n >> 12) & 63], kTable[(n >> 6) & 63], kTable[n & 63]};
  }
  if (i + 1 == bytes.size()) {
    const uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
    out += {kTable[n >> 18], kTable[(n >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    const uint32_t n = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    out += {kTable[n >> 18], kTable[(n >> 12) & 63], kTable[(n >> 6) & 63], '='};
  }
  return out;
}

// Header values must not carry line breaks of their own.
std::string HeaderSafe(const std::string& text) {
  std::string out = text;
  std::replace_if(out.begin(), out.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return out;
}

std::string JoinAddresses(const std::vector<std::string>& list) {
  std::string out;
  for (const std::string& a : list) out += (out.empty() ? "" : ", ") + HeaderSafe(a);
  return out;
}

struct CurlFree {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
  void operator()(curl_mime* m) const { curl_mime_free(m); }
};

}  // namespace

void WakeOutboxWorker() {
  MutexLock lock(g_wake_mu);
  g_wake = true;
  g_wake_cv.NotifyAll();
}

std::string EncodeHeaderWord(const std::string& text) {
  const std::string safe = HeaderSafe(text);
  bool ascii = std::all_of(safe.begin(), safe.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return ascii ? safe : "=?UTF-8?B?" + Base64(safe) + "?=";
}

SmtpOutcome_s RelayBySmtp(const std::string& relay, const OutgoingMail_s& mail) {
  std::call_once(g_curl_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  SmtpOutcome_s outcome;
  std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
  if (!curl) {
    outcome.reason = "cannot create an SMTP session (libcurl)";
    return outcome;
  }
  CURL* c = curl.get();
  char error[CURL_ERROR_SIZE] = {};
  const std::string url = "smtp://" + relay;
  const std::string from = "<" + mail.from + ">";
  std::unique_ptr<curl_slist, CurlFree> rcpt;
  for (const std::string& a : mail.envelope) {
    curl_slist* next = curl_slist_append(rcpt.get(), ("<" + a + ">").c_str());
    if (next == nullptr) {
      outcome.reason = "out of memory";
      return outcome;
    }
    (void)rcpt.release();
    rcpt.reset(next);
  }
  char date[64] = {};
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::strftime(date, sizeof(date), "Date: %a, %d %b %Y %H:%M:%S +0000", &tm);
  std::vector<std::string> header_lines = {
      date,
      "From: " + (mail.fromName.empty() ? std::string() : EncodeHeaderWord(mail.fromName) + " ") + from,
      "Subject: " + EncodeHeaderWord(mail.subject),
  };
  if (!mail.to.empty()) header_lines.push_back("To: " + JoinAddresses(mail.to));
  if (!mail.cc.empty()) header_lines.push_back("Cc: " + JoinAddresses(mail.cc));
  std::unique_ptr<curl_slist, CurlFree> headers;
  for (const std::string& h : header_lines) {
    curl_slist* next = curl_slist_append(headers.get(), h.c_str());
    if (next == nullptr) {
      outcome.reason = "out of memory";
      return outcome;
    }
    (void)headers.release();
    headers.reset(next);
  }
  std::unique_ptr<curl_mime, CurlFree> mime(curl_mime_init(c));
  curl_mimepart* text = curl_mime_addpart(mime.get());
  curl_mime_data(text, mail.body.data(), mail.body.size());
  curl_mime_type(text, mail.html ? "text/html; charset=UTF-8" : "text/plain; charset=UTF-8");
  curl_mime_encoder(text, "quoted-printable");
  for (const auto& [name, bytes] : mail.attachments) {
    curl_mimepart* part = curl_mime_addpart(mime.get());
    curl_mime_data(part, bytes.data(), bytes.size());
    curl_mime_filename(part, HeaderSafe(name).c_str());
    curl_mime_type(part, "application/octet-stream");
    curl_mime_encoder(part, "base64");
  }
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str());
  curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt.get());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_MIMEPOST, mime.get());
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 20L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 120L);  // bounds the wait of a stop
  const CURLcode rc = curl_easy_perform(c);
  long code = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
  if (rc == CURLE_OK) {
    outcome.accepted = true;
    return outcome;
  }
  outcome.permanent = code >= 500 && code < 600;
  outcome.reason = std::string(error[0] != '\0' ? error : curl_easy_strerror(rc));
  if (code != 0) outcome.reason += " (server reply " + std::to_string(code) + ")";
  return outcome;
}

}  // namespace zuv

ZUV_OutboxWorker::ZUV_OutboxWorker(const zuv::MailSettings& settings) : settings_(settings) {}

ZUV_OutboxWorker::~ZUV_OutboxWorker() { Stop(); }

void ZUV_OutboxWorker::Start() {
  if (thread_.joinable()) return;
  {
    zuv::MutexLock lock(zuv::g_wake_mu);
    zuv::g_stop = false;
  }
  if (settings_.smtp_relay.empty()) {
    NLog_InfoA("ZUV", "Outbox worker started; no SmtpRelay is set: mail for recipients outside the store comes back to the sender as undeliverable");
  } else {
    NLog_InfoA("ZUV", "Outbox worker started; relaying mail for recipients outside the store through %s",
               zuv::EscapeForLog(settings_.smtp_relay).c_str());
  }
  thread_ = std::thread([this] { Loop(); });
}

void ZUV_OutboxWorker::Stop() {
  if (!thread_.joinable()) return;
  {
    zuv::MutexLock lock(zuv::g_wake_mu);
    zuv::g_stop = true;
    zuv::g_wake_cv.NotifyAll();
  }
  thread_.join();
  NLog_InfoA("ZUV", "Outbox worker stopped");
}

std::chrono::steady_clock::duration ZUV_OutboxWorker::NextWait() {
  std::chrono::steady_clock::duration wait = zuv::kPollInterval;
  if (settings_.draft_idle_seconds_for_test != 0) {
    wait = std::min<std::chrono::steady_clock::duration>(wait, std::chrono::milliseconds(500));
  }
  const auto now = zuv::Clock::now();
  zuv::MutexLock lock(pass_mu_);
  for (const auto& [id, retry] : retries_) {
    if (retry.due > now) wait = std::min<std::chrono::steady_clock::duration>(wait, retry.due - now);
  }
  return std::max<std::chrono::steady_clock::duration>(wait, std::chrono::milliseconds(50));
}

void ZUV_OutboxWorker::Loop() {
  for (;;) {
    (void)RunOnce();
    const auto wait = NextWait();
    zuv::MutexLock lock(zuv::g_wake_mu);
    if (!zuv::g_stop && !zuv::g_wake) (void)zuv::g_wake_cv.WaitFor(zuv::g_wake_mu, wait);
    if (zuv::g_stop) return;
    zuv::g_wake = false;
  }
}

int ZUV_OutboxWorker::RunOnce() {
  const auto idle = settings_.draft_idle_seconds_for_test != 0
                        ? std::chrono::steady_clock::duration(std::chrono::seconds(settings_.draft_idle_seconds_for_test))
                        : std::chrono::steady_clock::duration(std::chrono::minutes(settings_.draft_idle_minutes));
  if (idle.count() > 0) (void)ZUV_Cache::CloseIdleDrafts(idle);

  zuv::ConnectionContext context;
  std::snprintf(context.name, sizeof(context.name), "%s", zuv::kOutboxConnectionName);
  zuv::ServerInfo server;
  ZUV_Cache* cache = nullptr;
  if (ZUV_Cache::GetInstance(&context, &server, &cache) != 0) {
    NLog_ErrorA("ZUV", "%s: Cannot get the service ZUV_Cache; queued mail waits for the next pass",
                zuv::kOutboxConnectionName);
    return 0;
  }
  CMapiExMod* session = cache->Session();
  std::vector<std::string> queued;
  {
    std::unique_ptr<CMAPIFolder> outbox = session->OpenOutbox();
    auto cols = MakePropTags(PR_ENTRYID);
    IMAPITable* table = outbox ? outbox->GetContentsTable(cols.get()) : nullptr;
    if (table == nullptr) {
      NLog_ErrorA("ZUV", "%s: Cannot read the Outbox of the service mailbox", zuv::kOutboxConnectionName);
      ZUV_Cache::ReleaseInstance(cache);
      return 0;
    }
    for (;;) {
      MapiRows rows;
      if (FAILED(table->QueryRows(256, 0, rows.put())) || rows->cRows == 0) break;
      for (ULONG r = 0; r < rows->cRows; ++r) {
        const SPropValue& v = rows->aRow[r].lpProps[0];
        if (v.ulPropTag == PR_ENTRYID) queued.push_back(zuv::EntryIDToString(v.Value.bin.lpb, v.Value.bin.cb));
      }
    }
  }
  int finished = 0;
  zuv::MutexLock lock(pass_mu_);
  for (const std::string& id : queued) {
    if (zuv::StopRequested()) break;  // the rest waits in the Outbox for the next start
    if (Process(session, id)) {
      retries_.erase(id);
      ++finished;
    }
  }
  // Messages gone from the Outbox by other hands need no retry state.
  for (auto it = retries_.begin(); it != retries_.end();) {
    it = std::find(queued.begin(), queued.end(), it->first) == queued.end() ? retries_.erase(it) : std::next(it);
  }
  ZUV_Cache::ReleaseInstance(cache);
  return finished;
}

bool ZUV_OutboxWorker::Process(CMapiExMod* session, const std::string& entryID) {
  const char* who = zuv::kOutboxConnectionName;
  Retry_s& retry = retries_[entryID];
  const auto now = zuv::Clock::now();
  if (retry.due > now) return false;

  std::vector<BYTE> bytes;
  if (!zuv::HexToBin(entryID, &bytes)) return false;
  SBinary bin{static_cast<ULONG>(bytes.size()), bytes.data()};
  CMAPIMessage message;
  if (!message.Open(session, bin)) {
    NLog_ErrorA("ZUV", "%s: Cannot open the queued message %s; trying again later", who, entryID.c_str());
    retry.due = now + zuv::kPollInterval;
    return false;
  }
  zuv::OutgoingMail_s mail;
  std::vector<CMAPIMessage::Recipient_s> recipients;
  if (!message.GetRecipients(&recipients)) {
    NLog_ErrorA("ZUV", "%s: Cannot read the recipients of the queued message %s; trying again later", who,
                entryID.c_str());
    retry.due = now + zuv::kPollInterval;
    return false;
  }
  std::string shown;  // the undelivered recipients, for logs and reports
  for (const auto& r : recipients) {
    const std::string& address = r.address.empty() ? r.displayName : r.address;
    if (r.type == MAPI_TO) mail.to.push_back(address);
    if (r.type == MAPI_CC) mail.cc.push_back(address);
    if (r.responsibility) continue;
    mail.envelope.push_back(address);
    shown += (shown.empty() ? "" : ", ") + address;
  }
  (void)message.GetPropertyString(PR_SUBJECT_A, &mail.subject, false);
  (void)message.GetPropertyString(zuv::PR_SENDER_EMAIL_ADDRESS_A, &mail.from, false);
  (void)message.GetPropertyString(zuv::PR_SENDER_NAME_A, &mail.fromName, false);
  const std::string subject_log = zuv::EscapeForLog(mail.subject, 200);
  const std::string shown_log = zuv::EscapeForLog(shown, 1000);

  auto finish = [&](const char* what) {
    message.Close();
    std::unique_ptr<CMAPIFolder> outbox = session->OpenOutbox();
    if (!outbox || FAILED(outbox->DeleteMessage(bin))) {
      NLog_ErrorA("ZUV", "%s: Cannot remove the queued message %s (\"%s\") from the Outbox after it was %s", who,
                  entryID.c_str(), subject_log.c_str(), what);
      return false;
    }
    return true;
  };
  auto report = [&](const std::string& reason) {
    if (!Report(session, mail.subject, shown, reason)) {
      NLog_ErrorA("ZUV", "%s: Cannot write the non-delivery report for message %s (\"%s\"); it stays in the Outbox",
                  who, entryID.c_str(), subject_log.c_str());
      retry.due = now + zuv::kPollInterval;
      return false;
    }
    NLog_WarnA("ZUV", "%s: Message \"%s\" could not be delivered to %s: %s; a non-delivery report went to the sender",
               who, subject_log.c_str(), shown_log.c_str(), zuv::EscapeForLog(reason).c_str());
    return finish("reported");
  };

  if (mail.envelope.empty()) {
    NLog_InfoA("ZUV", "%s: Queued message %s has no recipient left to relay", who, entryID.c_str());
    return finish("delivered");
  }
  if (settings_.smtp_relay.empty()) {
    return report("no SMTP relay is configured for recipients outside this mail store (registry value SmtpRelay)");
  }
  if (mail.from.empty()) {
    return report("the message has no sender address to relay it from");
  }
  // The body: HTML when the message has it (directly or inside RTF), else
  // the plain text.
  std::string rtf;
  if (message.GetPropertyString(zuv::PR_BODY_HTML_A, &mail.body, true) && !mail.body.empty()) {
    mail.html = true;
  } else if (message.GetRTF(&rtf) && zuv::HtmlFromRtf(rtf, &mail.body)) {
    mail.html = true;
  } else {
    mail.body.clear();
    (void)message.GetPropertyString(PR_BODY_A, &mail.body, true);
  }
  std::vector<std::pair<ULONG, std::string>> attachments;
  if (!message.GetAttachments(&attachments)) attachments.clear();
  for (const auto& [num, name] : attachments) {
    std::string data;
    uint64_t size = 0;
    HRESULT hr = message.ReadAttachment(
        num, [&data](const void* p, size_t len) { data.append(static_cast<const char*>(p), len); return true; },
        &size);
    if (FAILED(hr)) {
      NLog_ErrorA("ZUV", "%s: Cannot read attachment %lu of the queued message %s; trying again later", who,
                  static_cast<unsigned long>(num), entryID.c_str());
      retry.due = now + zuv::kPollInterval;
      return false;
    }
    mail.attachments.emplace_back(name.empty() ? "attachment" + std::to_string(num) : name, std::move(data));
  }

  ++retry.attempts;
  NLog_InfoA("ZUV", "%s: Relaying message \"%s\" to %s through %s, attempt %u of %u", who, subject_log.c_str(),
             shown_log.c_str(), zuv::EscapeForLog(settings_.smtp_relay).c_str(), retry.attempts,
             settings_.smtp_max_attempts);
  const zuv::SmtpOutcome_s outcome = zuv::RelayBySmtp(settings_.smtp_relay, mail);
  if (outcome.accepted) {
    NLog_InfoA("ZUV", "%s: The relay %s accepted message \"%s\" for %s", who,
               zuv::EscapeForLog(settings_.smtp_relay).c_str(), subject_log.c_str(), shown_log.c_str());
    return finish("relayed");
  }
  if (outcome.permanent) {
    NLog_ErrorA("ZUV", "%s: The relay %s refused message \"%s\": %s", who,
                zuv::EscapeForLog(settings_.smtp_relay).c_str(), subject_log.c_str(),
                zuv::EscapeForLog(outcome.reason).c_str());
    return report("the mail relay " + settings_.smtp_relay + " refused it: " + outcome.reason);
  }
  if (retry.attempts >= settings_.smtp_max_attempts) {
    NLog_ErrorA("ZUV", "%s: Giving up on message \"%s\" after %u attempts: %s", who, subject_log.c_str(),
                retry.attempts, zuv::EscapeForLog(outcome.reason).c_str());
    return report("no delivery after " + std::to_string(retry.attempts) + " attempts through the mail relay " +
                  settings_.smtp_relay + "; the last one failed with: " + outcome.reason);
  }
  auto wait = std::chrono::steady_clock::duration(std::chrono::seconds(settings_.smtp_retry_seconds));
  for (uint32_t i = 1; i < retry.attempts && wait < zuv::kLongestRetryWait; ++i) wait *= 2;
  wait = std::min<std::chrono::steady_clock::duration>(wait, zuv::kLongestRetryWait);
  retry.due = now + wait;
  NLog_WarnA("ZUV", "%s: Temporary failure relaying message \"%s\": %s; next attempt in %lld s", who,
             subject_log.c_str(), zuv::EscapeForLog(outcome.reason).c_str(),
             static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(wait).count()));
  return false;
}

bool ZUV_OutboxWorker::Report(CMapiExMod* session, const std::string& subject, const std::string& recipients,
                              const std::string& reason) {
  std::unique_ptr<CMAPIFolder> inbox = session->OpenInbox();
  if (!inbox) return false;
  CMAPIMessage ndr;
  if (!ndr.CMAPIObject::Create(session, inbox.get())) return false;
  const std::string body = "Your message could not be delivered.\r\n\r\nSubject: " + subject +
                           "\r\nRecipients: " + recipients + "\r\nReason: " + reason + "\r\n";
  const std::string ndr_subject = "Undeliverable: " + subject;
  bool ok = ndr.SetPropertyString(PR_MESSAGE_CLASS_A, "REPORT.IPM.Note.NDR", false) &&
            ndr.SetSubject(ndr_subject.c_str()) && ndr.SetBody(body.c_str()) &&
            ndr.SetPropertyString(zuv::PR_SENDER_NAME_A, "Mail Delivery System", false) && ndr.Save(true);
  if (!ok) ndr.Close();
  return ok;
}
