// tables.h: the store's IMAPITable implementations.
//
// Memory tables serve the small lists (stores, profiles, services, status,
// attachments, recipients). Contents and hierarchy tables read the database
// in batches and never hold a whole folder in memory. All tables:
//  - start with a default column set; SetColumns replaces it, QueryColumns
//    returns it (TBL_ALL_COLUMNS: every tag the rows hold; for database
//    tables the default set, then every other tag the rows keep, found by
//    reading them all);
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
// messages; MAPI_UNICODE: PT_UNICODE default string columns), rows in
// creation order. Rows carry the message's stored and computed properties
// (PR_ENTRYID, PR_INSTANCE_KEY, PR_LONGTERM_ENTRYID_FROM_TABLE, ...).
// MAPI_E_NOT_FOUND when the folder is not in the store. SortTable takes
// only an empty sort order (MAPI_E_TOO_COMPLEX otherwise).
// Advise(fnevTableModified) reports, in one OnNotify call per batch of
// changes (a transaction of this process; what one journal poll found of
// others), on the store's notifier thread: TABLE_ROW_ADDED for a message
// created in or moved into the folder that passes the restriction;
// TABLE_ROW_MODIFIED for a changed message that passes it; TABLE_ROW_DELETED
// (propIndex PR_INSTANCE_KEY, empty row) for one deleted, moved out, or
// changed so that it no longer passes (also when it never did). Rows come in
// the column order current at delivery; propPrior is PT_NULL. The sink is
// held from Advise to Unadvise (or the table's release); Unadvise returns
// after a running delivery to it has ended, unless called from inside it.
[[nodiscard]] HRESULT CreateContentsTable(std::shared_ptr<StoreContext> store, int64_t folder_id,
                                          ULONG flags, IMAPITable** out);

// The hierarchy table of a folder: its children, or with CONVENIENT_DEPTH
// the whole subtree depth first, each row with PR_DEPTH (1 for children).
// The folder list is read again whenever the cursor starts from the first
// row. Advise gives MAPI_E_NO_SUPPORT.
[[nodiscard]] HRESULT CreateHierarchyTable(std::shared_ptr<StoreContext> store, int64_t folder_id,
                                           ULONG flags, IMAPITable** out);

}  // namespace zuvstore
