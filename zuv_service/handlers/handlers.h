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

// The file an upload name stands for: "ZUVFiles/<hash>.jpg" under the
// module directory. 1 (logged, naming the file) when hash is empty or holds
// a path separator or "..", or when the file does not exist; else 0 with
// *path set.
[[nodiscard]] uint32_t UploadedFilePath(const char* connectionName, const std::string& hash, std::string* path);

}  // namespace zuv
