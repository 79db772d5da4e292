// zuv_cache_attachments.cpp: attachment operations of ZUV_Cache (sending an
// attachment on the connection, attaching an uploaded file, setting
// attachment properties, deleting an attachment) and contact creation.
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/logging.h"
#include "base/wire.h"
#include "cache/zuv_cache.h"
#include "mapi/mapitags.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/mapimessage.h"
#include "mapi_access/mapiobject.h"

namespace {

// The header holds the count in decimal and a NUL within 10 bytes.
constexpr uint64_t kLargestSentAttachment = 999'999'999;

constexpr ULONG kDisplayName = 0x3001001E;   // PR_DISPLAY_NAME_A
constexpr ULONG kSurName = 0x3A11001E;       // PR_SURNAME_A
constexpr ULONG kGivenName = 0x3A06001E;     // PR_GIVEN_NAME_A
constexpr ULONG kMiddleName = 0x3A44001E;    // PR_MIDDLE_NAME_A

// Opens the item row of folder into *item. Logs and returns false when
// either cannot be opened (folderError: the operation's own line).
bool OpenItem(CMapiExMod* session, const char* conn, const std::string& folderEntryID,
              const std::string& storeEntryID, const std::string& rowEntryID, const char* folderError,
              std::unique_ptr<CMAPIFolder>* folder, CMAPIObject* item) {
  const std::string folderLog = zuv::EscapeForLog(folderEntryID);
  *folder = session->OpenFolderByEntryID(folderEntryID.c_str(), storeEntryID.c_str(), MAPI_DEFERRED_ERRORS);
  if (!*folder) {
    NLog_ErrorA("ZUV", folderError, conn, folderLog.c_str());
    return false;
  }
  std::vector<BYTE> id;
  if (!zuv::HexToBin(rowEntryID, &id) || id.empty() ||
      !item->Open(session, SBinary{static_cast<ULONG>(id.size()), id.data()})) {
    NLog_ErrorA("ZUV", "For Client %s Cannot open item for folder %s:%s", conn, folderLog.c_str(),
                zuv::EscapeForLog(rowEntryID).c_str());
    return false;
  }
  return true;
}

}  // namespace

ZUV_Cache::AttachmentDelivery ZUV_Cache::GetAttachment(const zuv::ConnectionContext* context,
                                                       const std::string& folderEntryID,
                                                       const std::string& storeEntryID,
                                                       const std::string& rowEntryID, ULONG attachNum) {
  const char* conn = context->name;
  NLog_InfoA("ZUV", "For Client %s, ZUV_GetMAPIAttachment for folder %s, rowEntryID=%s to %s", conn,
             zuv::EscapeForLog(folderEntryID).c_str(), zuv::EscapeForLog(rowEntryID).c_str(), conn);
  std::unique_ptr<CMAPIFolder> folder;
  CMAPIObject item;
  if (!OpenItem(session_.get(), conn, folderEntryID, storeEntryID, rowEntryID,
                "For Client %s, ZUV_SetMAPIAttachment for folder %s", &folder, &item)) {
    return AttachmentDelivery::kNotSent;
  }

  uint64_t size = 0;
  uint64_t sent = 0;
  bool headerSent = false;
  bool tooLarge = false;
  bool peerGone = false;
  auto sendHeader = [&]() {
    char header[zuv::kResponseHeaderBytes];
    zuv::FormatResponseHeader(static_cast<size_t>(size), header);
    headerSent = true;
    return zuv::SendAll(context->socket, header, sizeof(header));
  };
  const HRESULT hr = item.ReadAttachment(
      attachNum,
      [&](const void* data, size_t len) {
        if (!headerSent) {
          if (size > kLargestSentAttachment) {
            tooLarge = true;
            return false;
          }
          if (!sendHeader()) {
            peerGone = true;
            return false;
          }
        }
        if (!zuv::SendAll(context->socket, data, len)) {
          peerGone = true;
          return false;
        }
        sent += len;
        return true;
      },
      &size);
  item.Close();
  folder->Close();

  if (hr == S_OK && !headerSent) {
    // An empty attachment: the header alone.
    if (sendHeader()) return AttachmentDelivery::kSent;
    peerGone = true;
  }
  if (hr == S_OK && !peerGone) {
    NLog_InfoA("ZUV", "For Client %s, sent attachment %lu: %llu bytes", conn, static_cast<unsigned long>(attachNum),
               static_cast<unsigned long long>(sent));
    return AttachmentDelivery::kSent;
  }
  if (tooLarge) {
    NLog_ErrorA("ZUV", "For Client %s, attachment %lu has %llu bytes, more than a header can announce", conn,
                static_cast<unsigned long>(attachNum), static_cast<unsigned long long>(size));
  }
  if (!headerSent) return AttachmentDelivery::kNotSent;
  // The client expects the announced count: nothing else may follow.
  NLog_ErrorA("ZUV", "For Client %s, closing the connection: attachment %lu stopped after %llu of %llu bytes (%s)",
              conn, static_cast<unsigned long>(attachNum), static_cast<unsigned long long>(sent),
              static_cast<unsigned long long>(size), peerGone ? "the client is gone" : "the store read failed");
  ::shutdown(context->socket, SHUT_RDWR);
  return AttachmentDelivery::kBroken;
}

uint32_t ZUV_Cache::DeleteAttachment(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                                     const std::string& storeEntryID, const std::string& rowEntryID,
                                     ULONG attachNum) {
  const char* conn = context->name;
  const std::string folderLog = zuv::EscapeForLog(folderEntryID);
  const std::string rowLog = zuv::EscapeForLog(rowEntryID);
  NLog_InfoA("ZUV", "For Client %s, ZUV_DeleteMAPIAttachment for folder %s, rowEntryID=%s:%d", conn,
             folderLog.c_str(), rowLog.c_str(), static_cast<int>(attachNum));
  std::unique_ptr<CMAPIFolder> folder;
  CMAPIObject item;
  if (!OpenItem(session_.get(), conn, folderEntryID, storeEntryID, rowEntryID,
                "For Client %s, ZUV_DeleteMAPIAttachment for folder %s", &folder, &item)) {
    return 1;
  }
  if (!item.DeleteAttachment(attachNum)) {
    NLog_ErrorA("ZUV", "For Client %s, cannot delete attachment %d of %s", conn, static_cast<int>(attachNum),
                rowLog.c_str());
    return 1;
  }
  // The store keeps the deletion only once the item is saved.
  if (!item.Save(false)) {
    NLog_TraceA("ZUV", "Cannot save changes for %s:%s", folderLog.c_str(), rowLog.c_str());
    return 1;
  }
  return 0;
}

namespace {

// The property values of elements with their resolved tags; elements of
// other kinds than PT_LONG and PT_STRING8, or without a value, are left out.
// The values point into elements.
std::vector<SPropValue> AttachmentValues(const char* conn, const std::vector<set_data_element>& elements,
                                         const std::vector<ULONG>& tags) {
  std::vector<SPropValue> values;
  for (size_t i = 0; i < elements.size(); ++i) {
    const set_data_element& e = elements[i];
    if (!e.value.has_value) continue;
    SPropValue v{};
    v.ulPropTag = CHANGE_PROP_TYPE(tags[i], e.type);
    if (e.type == PT_LONG) {
      NLog_InfoA("ZUV", "For Client %s ZUV_SetMAPIAttachment(PT_LONG) #%d=%x/%ld", conn, static_cast<int>(i),
                 static_cast<unsigned>(v.ulPropTag), static_cast<long>(e.value.number));
      v.Value.l = e.value.number;
    } else if (e.type == PT_STRING8) {
      NLog_InfoA("ZUV", "For Client %s ZUV_SetMAPIAttachment(PT_STRING8) #%d=%x/%s", conn, static_cast<int>(i),
                 static_cast<unsigned>(v.ulPropTag), zuv::EscapeForLog(e.value.text).c_str());
      v.Value.lpszA = const_cast<char*>(e.value.text.c_str());
    } else {
      continue;
    }
    values.push_back(v);
  }
  return values;
}

}  // namespace

uint32_t ZUV_Cache::AttachFile(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                               const std::string& storeEntryID, const std::string& rowEntryID,
                               const std::string& filePath, const std::string& attachmentName,
                               const std::vector<set_data_element>& elements, ULONG* attachNum) {
  const char* conn = context->name;
  const std::string folderLog = zuv::EscapeForLog(folderEntryID);
  const std::string rowLog = zuv::EscapeForLog(rowEntryID);
  NLog_InfoA("ZUV", "For Client %s, ZUV_SetMAPIAttachment for folder %s, rowEntryID=%s", conn, folderLog.c_str(),
             rowLog.c_str());
  std::vector<ULONG> tags(elements.size(), 0);
  for (size_t i = 0; i < elements.size(); ++i) {
    if (PropTagFromName(folderEntryID, storeEntryID, elements[i].key, elements[i].type, &tags[i], true) != 0) {
      NLog_ErrorA("ZUV", "For Client %s, cannot do AttachFile. One of the properties %s cannot be resolved", conn,
                  zuv::EscapeForLog(elements[i].key).c_str());
      return 1;
    }
  }
  const std::vector<SPropValue> values = AttachmentValues(conn, elements, tags);

  std::unique_ptr<CMAPIFolder> folder;
  CMAPIObject item;
  if (rowEntryID.empty()) {
    folder = session_->OpenFolderByEntryID(folderEntryID.c_str(), storeEntryID.c_str(), MAPI_DEFERRED_ERRORS);
    if (!folder) {
      NLog_ErrorA("ZUV", "For Client %s, ZUV_SetMAPIAttachment for folder %s", conn, folderLog.c_str());
      return 1;
    }
    if (!item.Create(session_.get(), folder.get())) {
      NLog_ErrorA("ZUV", "For Client %s Cannot create new item for folder %s", conn, folderLog.c_str());
      return 1;
    }
  } else if (!OpenItem(session_.get(), conn, folderEntryID, storeEntryID, rowEntryID,
                       "For Client %s, ZUV_SetMAPIAttachment for folder %s", &folder, &item)) {
    return 1;
  }
  ULONG num = 0;
  if (!item.AddAttachment(filePath.c_str(), 0, values.data(), static_cast<ULONG>(values.size()),
                          attachmentName.c_str(), nullptr, &num)) {
    NLog_ErrorA("ZUV", "For Client %s, cannot attach %s to %s in folder %s", conn, zuv::EscapeForLog(filePath).c_str(),
                rowEntryID.empty() ? "a new item" : rowLog.c_str(), folderLog.c_str());
    return 1;
  }
  if (!item.Save(false)) {
    NLog_TraceA("ZUV", "Cannot save changes for %s:%s", folderLog.c_str(), rowLog.c_str());
    return 1;
  }
  *attachNum = num;
  return 0;
}

uint32_t ZUV_Cache::SetAttachmentProperties(const zuv::ConnectionContext* context, const std::string& folderEntryID,
                                            const std::string& storeEntryID, const std::string& rowEntryID,
                                            ULONG attachNum, const std::vector<set_data_element>& elements) {
  const char* conn = context->name;
  const std::string folderLog = zuv::EscapeForLog(folderEntryID);
  const std::string rowLog = zuv::EscapeForLog(rowEntryID);
  NLog_InfoA("ZUV", "For Client %s, ZUV_SetMAPIAttachment for folder %s, rowEntryID=%s", conn, folderLog.c_str(),
             rowLog.c_str());
  std::vector<ULONG> tags(elements.size(), 0);
  for (size_t i = 0; i < elements.size(); ++i) {
    if (PropTagFromName(folderEntryID, storeEntryID, elements[i].key, elements[i].type, &tags[i], true) != 0) {
      NLog_ErrorA("ZUV",
                  "For Client %s, cannot do SetAttachmentProperties. One of the properties %s cannot be resolved",
                  conn, zuv::EscapeForLog(elements[i].key).c_str());
      return 1;
    }
  }
  std::vector<SPropValue> values = AttachmentValues(conn, elements, tags);
  std::unique_ptr<CMAPIFolder> folder;
  CMAPIObject item;
  if (!OpenItem(session_.get(), conn, folderEntryID, storeEntryID, rowEntryID,
                "For Client %s, ZUV_SetMAPIAttachment for folder %s", &folder, &item)) {
    return 1;
  }
  if (!item.SetAttachmentProperties(attachNum, values.data(), static_cast<ULONG>(values.size()))) {
    NLog_ErrorA("ZUV", "For Client %s, cannot set the properties of attachment %lu of %s", conn,
                static_cast<unsigned long>(attachNum), rowLog.c_str());
    return 1;
  }
  if (!item.Save(false)) {
    NLog_TraceA("ZUV", "Cannot save changes for %s:%s", folderLog.c_str(), rowLog.c_str());
    return 1;
  }
  return 0;
}

uint32_t ZUV_Cache::AddContact(const zuv::ConnectionContext* context, const zuv::ServerInfo& serverInfo,
                               const ContactRequest_s& contact, const std::string& folderEntryID,
                               const std::string& storeEntryID, std::string* entryID) {
  const char* conn = context->name;
  const std::string mailbox = zuv::EscapeForLog(serverInfo.mailbox);
  const std::string server = zuv::EscapeForLog(serverInfo.server);
  std::unique_ptr<CMAPIFolder> folder =
      folderEntryID.empty()
          ? session_->OpenFolderByPath({"Contacts"}, kMailboxStoreKey)
          : session_->OpenFolderByEntryID(folderEntryID.c_str(), storeEntryID.c_str(), MAPI_MODIFY);
  if (!folder) {
    NLog_ErrorA("ZUV", "For mailbox %s on server %s Cannot open folder Contacts", mailbox.c_str(), server.c_str());
    return 1;
  }
  CMAPIContact item;
  if (!item.Create(session_.get(), folder.get())) {
    NLog_ErrorA("ZUV", "For mailbox %s on server %s Cannot add  Contacts", mailbox.c_str(), server.c_str());
    return 1;
  }
  bool written = true;
  const std::pair<const std::string*, ULONG> names[] = {
      {&contact.displayName, kDisplayName},
      {&contact.surName, kSurName},
      {&contact.givenName, kGivenName},
      {&contact.middleName, kMiddleName},
  };
  for (const auto& [text, tag] : names) {
    if (!text->empty()) written = item.SetName(text->c_str(), tag) && written;
  }
  if (!contact.fileAs.empty()) written = item.SetFileAs(contact.fileAs.c_str()) && written;
  if (!contact.businessUrl.empty()) written = item.SetHomePage(contact.businessUrl.c_str(), true) && written;
  if (!contact.notes.empty()) written = item.SetNotes(contact.notes.c_str()) && written;
  if (!written) {
    // A contact with some fields missing would be kept silently otherwise.
    NLog_ErrorA("ZUV", "For Client %s, cannot write the fields of the new contact of mailbox %s", conn,
                mailbox.c_str());
    return 1;
  }
  if (!item.Save(false)) {
    NLog_ErrorA("ZUV", "For Client %s, cannot save the new contact of mailbox %s", conn, mailbox.c_str());
    return 1;
  }
  MapiBuffer<SPropValue> id;
  if (SUCCEEDED(item.GetProperty(PR_ENTRYID, id.put())) && id->ulPropTag == PR_ENTRYID) {
    item.SetEntryID(&id->Value.bin);
  }
  if (!item.GetEntryIDString(entryID) || entryID->empty()) {
    NLog_ErrorA("ZUV", "For Client %s, the new contact of mailbox %s has no entry ID", conn, mailbox.c_str());
    return 1;
  }
  item.Close();
  return 0;
}
