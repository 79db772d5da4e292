// tables.h: the store's IMAPITable implementations.
//
// Memory tables serve the small lists (stores, profiles, services, status,
// attachments, recipients). Contents and hierarchy tables read the database
// in batches and never hold a whole folder in memory. All tables:
//  - start with a default column set; SetColumns replaces it, QueryColumns
//    returns it (TBL_ALL_COLUMNS: every tag the rows hold, or the default
//    set for database tables);
//  - QueryRows(n) returns up to n rows from the cursor and advances it; 0
//    rows at the end; a missing column comes back as PT_ERROR
//    MAPI_E_NOT_FOUND; string values are cut to 255 characters;
//  - Restrict(res) keeps the rows for which res holds and moves the cursor
//    to the beginning (a null res removes the restriction);
//  - SeekRow(BOOKMARK_BEGINNING|CURRENT|END, n) moves by whole rows;
//  - GetRowCount counts the rows that pass the restriction.
// Thread safety: one table may be used from several threads; calls are
// serialised by the table's mutex. Advise callbacks never hold it.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "mapi/mapix.h"
#include "propval.h"

namespace zuvstore {

struct StoreContext;

// One row of a memory table: its tagged values, in any order.
struct MemRow {
  std::vector<std::pair<ULONG, StoredProp>> values;
};

// A table over rows with default_columns as its column set. Advise gives
// MAPI_E_NO_SUPPORT. The caller owns the reference in *out.
[[nodiscard]] HRESULT CreateMemTable(std::vector<MemRow> rows, std::vector<ULONG> default_columns,
                                     IMAPITable** out);

// The contents table of a folder (MAPI_ASSOCIATED in flags: associated
// messages). Rows carry the message's stored and computed properties
// (PR_ENTRYID, PR_INSTANCE_KEY, PR_LONGTERM_ENTRYID_FROM_TABLE, ...). Advise
// (fnevTableModified) reports rows added, deleted and modified in the folder
// that pass the table's restriction, in its column order.
[[nodiscard]] HRESULT CreateContentsTable(std::shared_ptr<StoreContext> store, int64_t folder_id,
                                          ULONG flags, IMAPITable** out);

// The hierarchy table of a folder: its children, or with CONVENIENT_DEPTH
// the whole subtree depth first, each row with PR_DEPTH (1 for children).
[[nodiscard]] HRESULT CreateHierarchyTable(std::shared_ptr<StoreContext> store, int64_t folder_id,
                                           ULONG flags, IMAPITable** out);

}  // namespace zuvstore
