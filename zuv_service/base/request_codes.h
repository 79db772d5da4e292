// request_codes.h: the request codes of the JSON protocol and their names in
// log lines.
#pragma once

#include <cstdint>

namespace zuv {

enum class RequestCode : int32_t {
  kGetTable = 1001,
  kDescribeTable = 1002,
  kSetTable = 1003,
  kGetWUPAPDL = 1004,
  kGetWUPAIcon = 1005,
  kGetAttachment = 1006,
  kGetEntryID = 1007,
  kGetFolder = 1008,
  kClose = 1009,
  kClientPing = 1010,
  kAttach = 1011,
  kADResolveEmail = 1012,
  kListIOSDevices = 1013,
  kADResolveCN = 1014,
  kAddContact = 1015,
  kDeleteContact = 1016,
  kGetAttachmentData = 1017,
  kGetAttachmentFile = 1018,
  kDeleteAttachment = 1019,
  kCreateMessage = 1020,
  kAddMessageAttachment = 1021,
  kDeleteMessageAttachment = 1022,
  kSendMessage = 1023,
  kDeleteMessage = 1024,
  kFolderEntryDelete = 1025,  // logged as "INVALID": the name table has no entry
  kMailBoxInfo = 1026,
  kGetFolderHierarchy = 1027,
  kSetAttachmentProperties = 1028,
  kSetCustomProperties = 1029,
  kGetExchangeServers = 1030,
  kGetMailboxes = 1031,
  kGetASDevices = 1032,
};

constexpr int kFirstRequestCode = 1001;
constexpr int kRequestCodeCount = 32;  // 1001..1032

constexpr bool IsKnownRequestCode(int code) {
  return code >= kFirstRequestCode && code < kFirstRequestCode + kRequestCodeCount;
}

// Name of a request code for log lines; "INVALID" for codes without one.
const char* RequestName(int code);
inline const char* RequestName(RequestCode code) { return RequestName(static_cast<int>(code)); }

}  // namespace zuv
