// zuv_cache_messages.cpp: composed messages: the open-message map, drafts
// created in "Drafts", their attachments, discarding and sending.
//
// Locks, outermost first:
//   OpenDraft::mu - one draft: held for the whole of an operation on it
//       (MAPI calls included), so requests on one draft are serialised.
//   g_drafts_mu - the map itself; held only to find, add or remove an
//       entry, never across a MAPI call and never while waiting for a
//       draft's lock (the idle sweep only tries it).
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "base/thread_annotations.h"
#include "base/wire.h"
#include "cache/zuv_cache.h"
#include "cache/zuv_outbox.h"
#include "mapi/mapitags.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/mapimessage.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDraftsFolder = "Drafts";

// One composed message of the map.
struct OpenDraft {
  zuv::Mutex mu;
  // Null once the draft was sent, discarded or closed for idleness.
  std::unique_ptr<CMAPIMessage> message ZUV_GUARDED_BY(mu);
  Clock::time_point last_used ZUV_GUARDED_BY(mu);
  std::string creator;  // connection name of CreateMessage; immutable
};
using DraftPtr = std::shared_ptr<OpenDraft>;

zuv::Mutex g_drafts_mu;
std::map<std::string, DraftPtr>& Drafts() ZUV_REQUIRES(g_drafts_mu) {
  static auto* drafts = new std::map<std::string, DraftPtr>;  // lives to the end of the process
  return *drafts;
}

DraftPtr FindDraft(const std::string& entryID) ZUV_LOCKS_EXCLUDED(g_drafts_mu) {
  zuv::MutexLock lock(g_drafts_mu);
  auto it = Drafts().find(entryID);
  return it != Drafts().end() ? it->second : nullptr;
}

// Removes entryID from the map when it still names draft.
void ForgetDraft(const std::string& entryID, const OpenDraft* draft) ZUV_LOCKS_EXCLUDED(g_drafts_mu) {
  zuv::MutexLock lock(g_drafts_mu);
  auto it = Drafts().find(entryID);
  if (it != Drafts().end() && it->second.get() == draft) Drafts().erase(it);
}

// A draft locked for one operation; message() is null when the entry ID is
// not (or no longer) an open draft.
class LockedDraft {
 public:
  explicit LockedDraft(const std::string& entryID) ZUV_NO_THREAD_SAFETY_ANALYSIS : draft_(FindDraft(entryID)) {
    if (draft_) {
      draft_->mu.lock();
      if (draft_->message) draft_->last_used = Clock::now();
    }
  }
  ~LockedDraft() ZUV_NO_THREAD_SAFETY_ANALYSIS {
    if (draft_) draft_->mu.unlock();
  }
  LockedDraft(const LockedDraft&) = delete;
  LockedDraft& operator=(const LockedDraft&) = delete;

  CMAPIMessage* message() ZUV_NO_THREAD_SAFETY_ANALYSIS { return draft_ ? draft_->message.get() : nullptr; }
  // Closes the message; the caller then forgets the entry.
  void Close() ZUV_NO_THREAD_SAFETY_ANALYSIS {
    if (draft_ && draft_->message) {
      draft_->message->Close();
      draft_->message.reset();
    }
  }
  const OpenDraft* draft() const { return draft_.get(); }

 private:
  DraftPtr draft_;
};

const char* ClientName(const zuv::ConnectionContext* context) { return context != nullptr ? context->name : ""; }

std::string LogText(const std::string& text) { return zuv::EscapeForLog(text); }

}  // namespace

uint32_t ZUV_Cache::CreateMessage(const zuv::ConnectionContext* context, const MessageRequest& message,
                                  std::string* entryID) {
  const char* name = ClientName(context);
  std::unique_ptr<CMAPIFolder> drafts = session_->OpenFolder(kDraftsFolder, kMailboxStoreKey);
  if (!drafts) {
    NLog_ErrorA("ZUV", "For client %s, Error opening drafts folder", name);
    return 1;
  }
  auto draft = std::make_unique<CMAPIMessage>();
  if (!draft->Create(session_.get(), 0, message.saveToSent, drafts.get())) {
    NLog_ErrorA("ZUV", "For client %s, Error creating message in drafts folder", name);
    return 1;
  }
  bool ok = draft->SetSubject(message.subject.c_str());
  if (ok) ok = message.isHTML ? draft->SetHTML(message.body.c_str()) : draft->SetBody(message.body.c_str());
  if (ok) ok = draft->SetPropertyLong(PR_SENSITIVITY, message.sensitivity);
  if (!ok) {
    NLog_ErrorA("ZUV", "For client %s, Error writing the subject, body or sensitivity of the new message", name);
    return 1;  // never saved: nothing is left in Drafts
  }
  const std::pair<const std::vector<std::string>*, ULONG> lists[] = {
      {&message.to, MAPI_TO}, {&message.cc, MAPI_CC}, {&message.bcc, MAPI_BCC}};
  for (const auto& [list, type] : lists) {
    for (const std::string& address : *list) {
      if (!draft->AddRecipient(address.c_str(), type)) {
        NLog_ErrorA("ZUV", "For client %s, Cannot add the recipient %s to the new message", name,
                    LogText(address).c_str());
        return 1;
      }
    }
  }
  if (!message.readReceiptAddress.empty() && !draft->SetReadReceipt(true, message.readReceiptAddress.c_str())) {
    NLog_ErrorA("ZUV", "For client %s, Cannot ask for a read receipt to %s", name,
                LogText(message.readReceiptAddress).c_str());
    return 1;
  }
  if (!draft->Save(false)) {
    NLog_ErrorA("ZUV", "For client %s, Error saving message in drafts folder", name);
    return 1;
  }
  std::string id;
  MapiBuffer<SPropValue> value;
  if (FAILED(draft->GetProperty(PR_ENTRYID, value.put())) || value->ulPropTag != PR_ENTRYID) {
    NLog_ErrorA("ZUV", "For client %s, Error saving message in drafts folder", name);
    return 1;
  }
  draft->SetEntryID(&value->Value.bin);
  draft->GetEntryIDString(&id);

  auto entry = std::make_shared<OpenDraft>();
  {
    zuv::MutexLock draft_lock(entry->mu);
    entry->message = std::move(draft);
    entry->last_used = Clock::now();
  }
  entry->creator = name;
  {
    zuv::MutexLock lock(g_drafts_mu);
    Drafts()[id] = std::move(entry);
  }
  NLog_InfoA("ZUV", "For client %s, created message %s in the drafts folder", name, id.c_str());
  *entryID = std::move(id);
  return 0;
}

uint32_t ZUV_Cache::AddMessageAttachment(const zuv::ConnectionContext* context, const std::string& attachmentName,
                                         const std::string& entryID, const std::string& path, int32_t* flags) {
  const char* name = ClientName(context);
  LockedDraft draft(entryID);
  CMAPIMessage* message = draft.message();
  if (message == nullptr) {
    NLog_ErrorA("ZUV", "For client %sCannot open message with entryID %s. Invalid entryID", name, LogText(entryID).c_str());
    return 1;
  }
  const ULONG attach_flags = flags != nullptr ? static_cast<ULONG>(*flags) : 0;
  const char* shown = attachmentName.empty() ? nullptr : attachmentName.c_str();
  if (!message->AddAttachmentFile(path.c_str(), attach_flags, shown, nullptr) || !message->Save(false)) {
    NLog_ErrorA("ZUV", "For client %s, Cannot add attachment %s message with entryID %s.", name,
                LogText(attachmentName).c_str(), LogText(entryID).c_str());
    return 1;
  }
  return 0;
}

uint32_t ZUV_Cache::DeleteMessageAttachment(const zuv::ConnectionContext* context, const std::string& entryID,
                                            int32_t attachNum) {
  const char* name = ClientName(context);
  LockedDraft draft(entryID);
  CMAPIMessage* message = draft.message();
  if (message == nullptr) {
    NLog_ErrorA("ZUV", "For client %sCannot open message with entryID %s. Invalid entryID", name, LogText(entryID).c_str());
    return 1;
  }
  if (attachNum < 0 || !message->DeleteAttachment(static_cast<ULONG>(attachNum)) || !message->Save(false)) {
    NLog_ErrorA("ZUV", "For client %s, Cannot send message with entryID %s.", name, LogText(entryID).c_str());
    return 1;
  }
  return 0;
}

uint32_t ZUV_Cache::DiscardMessage(const zuv::ConnectionContext* context, const std::string& entryID) {
  const char* name = ClientName(context);
  std::unique_ptr<CMAPIFolder> drafts = session_->OpenFolder(kDraftsFolder, kMailboxStoreKey);
  LockedDraft draft(entryID);
  CMAPIMessage* message = draft.message();
  if (message == nullptr) {
    NLog_ErrorA("ZUV", "For client %s Cannot open message with entryID %s. Invalid entryID", name,
                LogText(entryID).c_str());
    return 1;
  }
  if (!drafts) {
    NLog_ErrorA("ZUV", "For client %s Cannot open Drafts folde", name);
    return 1;
  }
  std::vector<BYTE> bytes = message->EntryID();
  draft.Close();
  ForgetDraft(entryID, draft.draft());
  SBinary id{static_cast<ULONG>(bytes.size()), bytes.data()};
  HRESULT hr = drafts->DeleteMessage(id);
  if (FAILED(hr)) {
    // The draft is closed either way; what stays in Drafts is only a draft.
    NLog_ErrorA("ZUV", "For client %s, Cannot delete message with entryID %s from the drafts folder: 0x%08X", name,
                LogText(entryID).c_str(), static_cast<unsigned>(hr));
    return 1;
  }
  NLog_InfoA("ZUV", "For client %s, discarded message %s", name, LogText(entryID).c_str());
  return 0;
}

uint32_t ZUV_Cache::SendMessage(const zuv::ConnectionContext* context, const std::string& entryID) {
  const char* name = ClientName(context);
  LockedDraft draft(entryID);
  CMAPIMessage* message = draft.message();
  if (message == nullptr) {
    NLog_ErrorA("ZUV", "For client %sCannot open message with entryID %s. Invalid entryID", name, LogText(entryID).c_str());
    return 1;
  }
  // Recipients outside the directory go through the Outbox; the worker is
  // woken for them (its regular pass finds them anyway).
  std::vector<CMAPIMessage::Recipient_s> recipients;
  const bool outside = !message->GetRecipients(&recipients) ||
                       std::any_of(recipients.begin(), recipients.end(),
                                   [](const CMAPIMessage::Recipient_s& r) { return !r.directoryEntry; });
  uint32_t result = 0;
  if (!message->Send()) {
    NLog_ErrorA("ZUV", "For client %s, Cannot send message with entryID %s.", name, LogText(entryID).c_str());
    result = 1;
  } else {
    NLog_InfoA("ZUV", "For client %s, sent message %s", name, LogText(entryID).c_str());
  }
  draft.Close();
  ForgetDraft(entryID, draft.draft());
  if (result == 0 && outside) zuv::WakeOutboxWorker();
  return result;
}

int ZUV_Cache::CloseIdleDrafts(std::chrono::steady_clock::duration idle) {
  std::vector<std::pair<std::string, DraftPtr>> candidates;
  {
    zuv::MutexLock lock(g_drafts_mu);
    candidates.assign(Drafts().begin(), Drafts().end());
  }
  const auto now = Clock::now();
  const long minutes = static_cast<long>(std::chrono::duration_cast<std::chrono::minutes>(idle).count());
  const long seconds = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(idle).count());
  int closed = 0;
  for (auto& [id, draft] : candidates) {
    if (!draft->mu.try_lock()) continue;  // a request is using it: not idle
    bool close = draft->message && now - draft->last_used >= idle;
    if (close) {
      draft->message->Close();
      draft->message.reset();
    }
    draft->mu.unlock();
    if (!close) continue;
    ForgetDraft(id, draft.get());
    ++closed;
    NLog_InfoA("ZUV", "Closed the draft %s of client %s: untouched for %ld minutes (%ld s); it stays in Drafts and its entry ID is no longer valid",
               id.c_str(), draft->creator.c_str(), minutes, seconds);
  }
  return closed;
}

size_t ZUV_Cache::OpenDraftCount() {
  zuv::MutexLock lock(g_drafts_mu);
  return Drafts().size();
}

void ZUV_Cache::CloseAllDraftsForTest() { (void)CloseIdleDrafts(std::chrono::steady_clock::duration::zero()); }
