// objects.h: how the store's objects open each other.
//
// Every function returns S_OK and one reference in *out that the caller
// owns, or a failure with *out null. flags carry MAPI_MODIFY /
// MAPI_BEST_ACCESS (read-write) or neither (read-only, except where a
// function says otherwise).
#pragma once

#include <memory>
#include <string>

#include "mapi/mapix.h"
#include "mapi/zuvstore_values.h"
#include "store_context.h"

namespace zuvstore {

// The context of the store with that GUID in db (the notifier included).
[[nodiscard]] HRESULT OpenStoreContext(const std::shared_ptr<Db>& db, const GUID& store,
                                       std::shared_ptr<StoreContext>* out, std::string* err);

// The store object. session_mailbox: the logged-on mailbox's own store
// (answers IExchangeManageStore).
[[nodiscard]] HRESULT CreateStoreObject(std::shared_ptr<StoreContext> store, ULONG flags,
                                        IMsgStore** out);

// A folder of the store.
[[nodiscard]] HRESULT OpenFolderObject(std::shared_ptr<StoreContext> store, int64_t folder_id,
                                       ULONG flags, IMAPIFolder** out);

// An existing message (MAPI_E_NOT_FOUND when it is gone).
[[nodiscard]] HRESULT OpenMessageObject(std::shared_ptr<StoreContext> store, int64_t message_id,
                                        ULONG flags, IMessage** out);

// A new message in folder_id; it exists in the store from its first
// SaveChanges. Always writable.
[[nodiscard]] HRESULT CreateMessageObject(std::shared_ptr<StoreContext> store, int64_t folder_id,
                                          bool associated, IMessage** out);

// Opens whatever entry_id names inside store (the store itself with cb 0 or
// a null ID opens the root folder, as IMsgStore::OpenEntry does).
// MAPI_E_INVALID_ENTRYID for malformed IDs, MAPI_E_NOT_FOUND for IDs of
// another store or of deleted objects.
[[nodiscard]] HRESULT OpenEntryInStore(const std::shared_ptr<StoreContext>& store, ULONG cb,
                                       const ENTRYID* entry_id, ULONG flags, ULONG* obj_type,
                                       IUnknown** out);

// The value reader a folder of store hands out (zuvstore_values.h).
[[nodiscard]] HRESULT CreateMessageValues(std::shared_ptr<StoreContext> store, IZuvMessageValues** out);

// Delivers a copy of the saved message message_id into the receive folder
// (Inbox) of the mailbox store_guid, marked unread, with
// PR_MESSAGE_DELIVERY_TIME set, inside txn. Used by SubmitMessage.
[[nodiscard]] HRESULT DeliverCopy(WriteTxn& txn, int64_t message_id, const StoreInfo& target,
                                  int64_t* new_id);

}  // namespace zuvstore
