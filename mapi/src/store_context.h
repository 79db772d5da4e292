// store_context.h: what the objects of one open message store share.
#pragma once

#include <memory>

#include "db.h"
#include "model.h"
#include "notify.h"

namespace zuvstore {

// Shared (shared_ptr) by the store object and every folder, message and table
// opened through it, so each lives as long as it needs the database.
// Constant after construction.
struct StoreContext {
  std::shared_ptr<Db> db;
  StoreInfo info;  // as read when the store was opened
  std::shared_ptr<Notifier> notifier;
};

}  // namespace zuvstore
