// mapitags.h: the property tags the store and the service use, with MAPI's
// names and values.
//
// Strings are 8-bit here, so a string property's plain name is its _A form
// (PT_STRING8); the _W form is the same ID with PT_UNICODE. Multi-valued
// strings follow the same rule with PT_MV_STRING8 / PT_MV_UNICODE.
// Everything is constexpr data; the header has no state.
#pragma once

#include "mapi/mapidefs.h"

// ---- Identity of objects ----
inline constexpr ULONG PR_ENTRYID = 0x0FFF0102;
inline constexpr ULONG PR_INSTANCE_KEY = 0x0FF60102;
inline constexpr ULONG PR_RECORD_KEY = 0x0FF90102;
inline constexpr ULONG PR_PARENT_ENTRYID = 0x0E090102;
inline constexpr ULONG PR_STORE_ENTRYID = 0x0FFB0102;
inline constexpr ULONG PR_LONGTERM_ENTRYID_FROM_TABLE = 0x66700102;
inline constexpr ULONG PR_SEARCH_KEY = 0x300B0102;
inline constexpr ULONG PR_OBJECT_TYPE = 0x0FFE0003;
inline constexpr ULONG PR_ROWID = 0x30000003;

// ---- Common to every object ----
inline constexpr ULONG PR_DISPLAY_NAME = 0x3001001E;
inline constexpr ULONG PR_DISPLAY_NAME_A = 0x3001001E;
inline constexpr ULONG PR_DISPLAY_NAME_W = 0x3001001F;
inline constexpr ULONG PR_CREATION_TIME = 0x30070040;
inline constexpr ULONG PR_LAST_MODIFICATION_TIME = 0x30080040;

// ---- Sessions, status rows, profiles and message services ----
inline constexpr ULONG PR_PROVIDER_DISPLAY = 0x3006001E;
inline constexpr ULONG PR_PROVIDER_DISPLAY_A = 0x3006001E;
inline constexpr ULONG PR_PROVIDER_DISPLAY_W = 0x3006001F;
inline constexpr ULONG PR_RESOURCE_TYPE = 0x3E030003;
inline constexpr ULONG PR_DEFAULT_PROFILE = 0x3D04000B;
inline constexpr ULONG PR_SERVICE_NAME = 0x3D09001E;
inline constexpr ULONG PR_SERVICE_NAME_A = 0x3D09001E;
inline constexpr ULONG PR_SERVICE_NAME_W = 0x3D09001F;
inline constexpr ULONG PR_SERVICE_UID = 0x3D0C0102;
inline constexpr ULONG PR_PROFILE_NAME = 0x3D12001E;
inline constexpr ULONG PR_PROFILE_NAME_A = 0x3D12001E;
inline constexpr ULONG PR_PROFILE_NAME_W = 0x3D12001F;
// The Exchange service's section: the server and mailbox it was configured
// with, and what they resolved to.
inline constexpr ULONG PR_PROFILE_HOME_SERVER = 0x6602001E;
inline constexpr ULONG PR_PROFILE_HOME_SERVER_A = 0x6602001E;
inline constexpr ULONG PR_PROFILE_HOME_SERVER_W = 0x6602001F;
inline constexpr ULONG PR_PROFILE_USER = 0x6603001E;
inline constexpr ULONG PR_PROFILE_USER_A = 0x6603001E;
inline constexpr ULONG PR_PROFILE_USER_W = 0x6603001F;
inline constexpr ULONG PR_PROFILE_UNRESOLVED_NAME = 0x6607001E;
inline constexpr ULONG PR_PROFILE_UNRESOLVED_NAME_A = 0x6607001E;
inline constexpr ULONG PR_PROFILE_UNRESOLVED_NAME_W = 0x6607001F;
inline constexpr ULONG PR_PROFILE_UNRESOLVED_SERVER = 0x6608001E;
inline constexpr ULONG PR_PROFILE_UNRESOLVED_SERVER_A = 0x6608001E;
inline constexpr ULONG PR_PROFILE_UNRESOLVED_SERVER_W = 0x6608001F;

// ---- Message stores ----
inline constexpr ULONG PR_DEFAULT_STORE = 0x3400000B;
inline constexpr ULONG PR_STORE_SUPPORT_MASK = 0x340D0003;
inline constexpr ULONG PR_MDB_PROVIDER = 0x34140102;
inline constexpr ULONG PR_IPM_SUBTREE_ENTRYID = 0x35E00102;
inline constexpr ULONG PR_IPM_OUTBOX_ENTRYID = 0x35E20102;
inline constexpr ULONG PR_IPM_WASTEBASKET_ENTRYID = 0x35E30102;
inline constexpr ULONG PR_IPM_SENTMAIL_ENTRYID = 0x35E40102;
// Kept on the Inbox (and the root) rather than the store.
inline constexpr ULONG PR_IPM_APPOINTMENT_ENTRYID = 0x36D00102;
inline constexpr ULONG PR_IPM_CONTACT_ENTRYID = 0x36D10102;
inline constexpr ULONG PR_IPM_JOURNAL_ENTRYID = 0x36D20102;
inline constexpr ULONG PR_IPM_NOTE_ENTRYID = 0x36D30102;
inline constexpr ULONG PR_IPM_TASK_ENTRYID = 0x36D40102;
inline constexpr ULONG PR_IPM_DRAFTS_ENTRYID = 0x36D70102;

// ---- Folders ----
inline constexpr ULONG PR_FOLDER_TYPE = 0x36010003;
inline constexpr ULONG PR_CONTENT_COUNT = 0x36020003;
inline constexpr ULONG PR_CONTENT_UNREAD = 0x36030003;
inline constexpr ULONG PR_SUBFOLDERS = 0x360A000B;
inline constexpr ULONG PR_CONTAINER_CLASS = 0x3613001E;
inline constexpr ULONG PR_CONTAINER_CLASS_A = 0x3613001E;
inline constexpr ULONG PR_CONTAINER_CLASS_W = 0x3613001F;
inline constexpr ULONG PR_FOLDER_CHILD_COUNT = 0x66380003;
inline constexpr ULONG PR_DEPTH = 0x30050003;

// ---- Messages ----
inline constexpr ULONG PR_MESSAGE_CLASS = 0x001A001E;
inline constexpr ULONG PR_MESSAGE_CLASS_A = 0x001A001E;
inline constexpr ULONG PR_MESSAGE_CLASS_W = 0x001A001F;
inline constexpr ULONG PR_SUBJECT = 0x0037001E;
inline constexpr ULONG PR_SUBJECT_A = 0x0037001E;
inline constexpr ULONG PR_SUBJECT_W = 0x0037001F;
inline constexpr ULONG PR_NORMALIZED_SUBJECT = 0x0E1D001E;
inline constexpr ULONG PR_NORMALIZED_SUBJECT_A = 0x0E1D001E;
inline constexpr ULONG PR_NORMALIZED_SUBJECT_W = 0x0E1D001F;
inline constexpr ULONG PR_CONVERSATION_TOPIC = 0x0070001E;
inline constexpr ULONG PR_CONVERSATION_TOPIC_A = 0x0070001E;
inline constexpr ULONG PR_CONVERSATION_TOPIC_W = 0x0070001F;
inline constexpr ULONG PR_BODY = 0x1000001E;
inline constexpr ULONG PR_BODY_A = 0x1000001E;
inline constexpr ULONG PR_BODY_W = 0x1000001F;
inline constexpr ULONG PR_BODY_HTML = 0x1013001E;
inline constexpr ULONG PR_BODY_HTML_A = 0x1013001E;
inline constexpr ULONG PR_BODY_HTML_W = 0x1013001F;
inline constexpr ULONG PR_HTML = 0x10130102;  // PR_BODY_HTML's ID as binary
inline constexpr ULONG PR_RTF_COMPRESSED = 0x10090102;
inline constexpr ULONG PR_MESSAGE_SIZE = 0x0E080003;
inline constexpr ULONG PR_HASATTACH = 0x0E1B000B;
inline constexpr ULONG PR_MESSAGE_FLAGS = 0x0E070003;
inline constexpr ULONG PR_MESSAGE_DELIVERY_TIME = 0x0E060040;
inline constexpr ULONG PR_CLIENT_SUBMIT_TIME = 0x00390040;
inline constexpr ULONG PR_SENDER_NAME = 0x0C1A001E;
inline constexpr ULONG PR_SENDER_NAME_A = 0x0C1A001E;
inline constexpr ULONG PR_SENDER_NAME_W = 0x0C1A001F;
inline constexpr ULONG PR_SENDER_EMAIL_ADDRESS = 0x0C1F001E;
inline constexpr ULONG PR_SENDER_EMAIL_ADDRESS_A = 0x0C1F001E;
inline constexpr ULONG PR_SENDER_EMAIL_ADDRESS_W = 0x0C1F001F;
inline constexpr ULONG PR_SENT_REPRESENTING_NAME = 0x0042001E;
inline constexpr ULONG PR_SENT_REPRESENTING_NAME_A = 0x0042001E;
inline constexpr ULONG PR_SENT_REPRESENTING_NAME_W = 0x0042001F;
inline constexpr ULONG PR_DISPLAY_TO = 0x0E04001E;
inline constexpr ULONG PR_DISPLAY_TO_A = 0x0E04001E;
inline constexpr ULONG PR_DISPLAY_TO_W = 0x0E04001F;
inline constexpr ULONG PR_DISPLAY_CC = 0x0E03001E;
inline constexpr ULONG PR_DISPLAY_CC_A = 0x0E03001E;
inline constexpr ULONG PR_DISPLAY_CC_W = 0x0E03001F;
inline constexpr ULONG PR_INTERNET_MESSAGE_ID = 0x1035001E;
inline constexpr ULONG PR_INTERNET_MESSAGE_ID_A = 0x1035001E;
inline constexpr ULONG PR_INTERNET_MESSAGE_ID_W = 0x1035001F;
inline constexpr ULONG PR_TRANSPORT_MESSAGE_HEADERS = 0x007D001E;
inline constexpr ULONG PR_TRANSPORT_MESSAGE_HEADERS_A = 0x007D001E;
inline constexpr ULONG PR_TRANSPORT_MESSAGE_HEADERS_W = 0x007D001F;
inline constexpr ULONG PR_IMPORTANCE = 0x00170003;
inline constexpr ULONG PR_SENSITIVITY = 0x00360003;
inline constexpr ULONG PR_READ_RECEIPT_REQUESTED = 0x0029000B;
inline constexpr ULONG PR_DELETE_AFTER_SUBMIT = 0x0E01000B;
inline constexpr ULONG PR_SENTMAIL_ENTRYID = 0x0E0A0102;
inline constexpr ULONG PR_MSG_EDITOR_FORMAT = 0x59090003;

// ---- Attachments ----
inline constexpr ULONG PR_ATTACH_NUM = 0x0E210003;
inline constexpr ULONG PR_ATTACH_SIZE = 0x0E200003;
inline constexpr ULONG PR_ATTACH_METHOD = 0x37050003;
inline constexpr ULONG PR_ATTACH_DATA_BIN = 0x37010102;
inline constexpr ULONG PR_ATTACH_FILENAME = 0x3704001E;
inline constexpr ULONG PR_ATTACH_FILENAME_A = 0x3704001E;
inline constexpr ULONG PR_ATTACH_FILENAME_W = 0x3704001F;
inline constexpr ULONG PR_ATTACH_LONG_FILENAME = 0x3707001E;
inline constexpr ULONG PR_ATTACH_LONG_FILENAME_A = 0x3707001E;
inline constexpr ULONG PR_ATTACH_LONG_FILENAME_W = 0x3707001F;
inline constexpr ULONG PR_ATTACH_MIME_TAG = 0x370E001E;
inline constexpr ULONG PR_ATTACH_MIME_TAG_A = 0x370E001E;
inline constexpr ULONG PR_ATTACH_MIME_TAG_W = 0x370E001F;
inline constexpr ULONG PR_ATTACH_CONTENT_ID = 0x3712001E;
inline constexpr ULONG PR_ATTACH_CONTENT_ID_A = 0x3712001E;
inline constexpr ULONG PR_ATTACH_CONTENT_ID_W = 0x3712001F;
inline constexpr ULONG PR_RENDERING_POSITION = 0x370B0003;
inline constexpr ULONG PR_ATTACHMENT_HIDDEN = 0x7FFE000B;
inline constexpr ULONG PR_ATTACHMENT_CONTACTPHOTO = 0x7FFF000B;

// ---- Recipients and address-book entries ----
inline constexpr ULONG PR_RECIPIENT_TYPE = 0x0C150003;
inline constexpr ULONG PR_ADDRTYPE = 0x3002001E;
inline constexpr ULONG PR_ADDRTYPE_A = 0x3002001E;
inline constexpr ULONG PR_ADDRTYPE_W = 0x3002001F;
inline constexpr ULONG PR_EMAIL_ADDRESS = 0x3003001E;
inline constexpr ULONG PR_EMAIL_ADDRESS_A = 0x3003001E;
inline constexpr ULONG PR_EMAIL_ADDRESS_W = 0x3003001F;
inline constexpr ULONG PR_SMTP_ADDRESS = 0x39FE001E;
inline constexpr ULONG PR_SMTP_ADDRESS_A = 0x39FE001E;
inline constexpr ULONG PR_SMTP_ADDRESS_W = 0x39FE001F;
inline constexpr ULONG PR_ACCOUNT = 0x3A00001E;
inline constexpr ULONG PR_ACCOUNT_A = 0x3A00001E;
inline constexpr ULONG PR_ACCOUNT_W = 0x3A00001F;
inline constexpr ULONG PR_EMS_AB_PROXY_ADDRESSES = 0x800F101E;
inline constexpr ULONG PR_EMS_AB_PROXY_ADDRESSES_A = 0x800F101E;
inline constexpr ULONG PR_EMS_AB_PROXY_ADDRESSES_W = 0x800F101F;
