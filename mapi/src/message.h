// message.h: message-level helpers shared inside the store (message.cpp).
#pragma once

#include <functional>
#include <new>

#include "db.h"
#include "model.h"

namespace zuvstore {

// Runs body and returns its result; an exception thrown by a library call
// Copies the saved message message_id, with its attachments and recipients,
// into folder_id of store_id inside txn (one kCreated event). edit adjusts
// the copy's properties; keep_recipient may adjust a recipient and returns
// false to leave it out. Attachment data is copied inside the database,
// never read into memory. Sets *new_id.
[[nodiscard]] HRESULT CopyMessageRows(WriteTxn& txn, int64_t message_id, int64_t store_id, int64_t folder_id,
                                      const std::function<void(PropMap*)>& edit,
                                      const std::function<bool(PropMap*)>& keep_recipient, int64_t* new_id);

}  // namespace zuvstore
