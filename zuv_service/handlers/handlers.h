// handlers.h: the request handlers of the JSON ports, by topic.
//
// Each handler runs on its connection thread with the request's context,
// reads its own keys and sends exactly one response frame (or none where
// its request gets no answer).
#pragma once

#include "handlers/request_context.h"

namespace zuv {

// ---- Session requests (session_requests.cpp)

// Close (1009): deletes the client's records (of EntryID, or of every
// folder when it is empty) and answers
// {"ErrorNumber": 0}; the connection loop then ends the connection.
void ProcessCloseRequest(RequestContext& ctx);

// ---- Folder requests (folder_requests.cpp)

// GetEntryID (1007): the entry ID of the folder at FolderHierarchy (the
// store root for an empty path), as ROWS.
void ProcessGetEntryIDRequest(RequestContext& ctx);
// GetFolder (1008): FolderRequest 1 answers the folder's details, 2 creates
// the folder Name under EntryID and answers its entry ID; any other value
// gets no response.
void ProcessGetFolderRequest(RequestContext& ctx);
// GetFolderHierarchy (1027): the direct subfolders of EntryID (the store
// root when empty), sent by the cache as DataType 501 rows.
void ProcessGetFolderHierarchyRequest(RequestContext& ctx);
// SetCustomProperties (1029): registers PropertyList for the folder EntryID.
void ProcessSetCustomPropertiesRequest(RequestContext& ctx);
// GetAttachment (1006): resolves the folder "TovanixQRP" and sends nothing.
void ProcessGetAttachmentRequest(RequestContext& ctx);

// ---- Table requests (table_requests.cpp)

// GetTable (1001): the rows of the folder EntryID from its cached table,
// with the request's columns, criteria and paging; sent by the cache.
void ProcessGetTableRequest(RequestContext& ctx);
// ClientPing (1010): {"ErrorNumber": 0} when the client has records, else 3.
void ProcessClientPingRequest(RequestContext& ctx);

// ---- Item requests (item_requests.cpp)

// SetTable (1003): writes SetData on the item EntryID of FolderEntryID, or
// on a new item there when EntryID is empty; ROWS is the written item's
// entry ID, or EntryID as sent when the write fails ("Cannot set data").
void ProcessSetTableRequest(RequestContext& ctx);
// 1025: deletes the item EntryID from FolderEntryID; {"ErrorNumber": 0 or
// 1, "ErrorString": ""}.
void ProcessFolderEntryDeleteRequest(RequestContext& ctx);

// ---- Attachment requests (attachment_requests.cpp)

// Attach (1011): attaches the upload UploadedAttachmentHash to the item
// EntryID of FolderEntryID (a new item there when EntryID is empty) under
// AttachmentName with SetData as extra properties; ROWS is the new
// attachment's number (0 on failure, "Cannot set attachment").
void ProcessAttachRequest(RequestContext& ctx);
// SetAttachmentProperties (1028): writes SetData on attachment
// AttachmentNum of the item; "Cannot set attachment properties" on failure.
void ProcessSetAttachmentPropertiesRequest(RequestContext& ctx);
// DeleteAttachment (1019): deletes attachment AttachmentNum of the item;
// {"ErrorNumber": 0 or 1, "ErrorString": ""}.
void ProcessDeleteAttachRequest(RequestContext& ctx);
// GetAttachmentFile (1018): sends attachment AttachmentNum of the item on
// this connection (10-byte header with its byte count, then the bytes) in
// place of a JSON response; {"ErrorNumber": 1} when it cannot be sent.
void ProcessGetAttachFileRequest(RequestContext& ctx);
// GetAttachmentData (1017): the rows of the item's attachment table with
// ColumnList, sent by the cache.
void ProcessGetAttachDataRequest(RequestContext& ctx);

// ---- Contact requests (contact_requests.cpp)

// AddContact (1015): adds a contact with the request's fields to the folder
// EntryID (the mailbox's Contacts folder when empty); ROWS is its entry ID
// ("" and "Cannot add contact" on failure).
void ProcessAddContactRequest(RequestContext& ctx);
// ---- Directory and mailbox requests (directory_requests.cpp)

// ADResolveEmail (1012) and ADResolveCN (1014): the user owning EmailAddr
// (an address, or a common name for 1014) as ROWS {"UserName", "UserDN",
// "StoreDN"}; on failure "Cannot resolve email" with the three empty. No
// mailbox session is taken.
void ProcessADResolveRequest(RequestContext& ctx);
// MailBoxInfo (1026): opens the mailbox of EmailAddress (the request's
// Mailbox when absent) and answers its store entry ID as ROWS.
void ProcessGetMailboxInfo(RequestContext& ctx);
// GetExchangeServers (1030): the mail servers named ServerWildCard, or all.
void ProcessGetExchangeServersRequest(RequestContext& ctx);
// GetMailboxes (1031): every mailbox user of the directory; ExchangeServer
// is only logged. No mailbox session is taken.
void ProcessGetMailboxesRequest(RequestContext& ctx);
// GetASDevices (1032): the mobile devices of the mailbox MailBoxDN (or of
// the AltMailbox user, or of the service mailbox).
void ProcessGetASDevicesRequest(RequestContext& ctx);
// ---- Message requests (message_requests.cpp)

// CreateMessage (1020): a draft in the service mailbox's Drafts folder from
// the Message object; ROWS is its entry ID ("Cannot create message").
void ProcessCreateMessageRequest(RequestContext& ctx);
// AddMessageAttachment (1021): the upload UploadedAttachmentHash attached to
// the draft EntryID as AttachmentName; ROWS is the flags number, 0
// ("Cannot set attachment").
void ProcessAddMessageAttachmentRequest(RequestContext& ctx);
// DeleteMessageAttachment (1022): removes AttachmentNum from the draft
// ("Cannot send message").
void ProcessDeleteMessageAttachmentRequest(RequestContext& ctx);
// SendMessage (1023): submits the draft ("Cannot send message").
void ProcessSendMessageRequest(RequestContext& ctx);
// DeleteMessage (1024): discards the draft ("Cannot send message").
void ProcessDeleteMessageRequest(RequestContext& ctx);

}  // namespace zuv
