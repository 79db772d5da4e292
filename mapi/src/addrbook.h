// addrbook.h: the address book over the store's mailboxes, and the address
// resolution that message submission shares with it.
//
// The address book has no container hierarchy: its entries are the mailboxes
// of the database (mailbox entry IDs, MakeMailUserEntryId) and one-off SMTP
// addresses (MakeOneOffEntryId). Every entry opens as a read-only IMailUser.
//
// Thread safety: the objects may be used from several threads; each call
// reads the database in one transaction.
#pragma once

#include <memory>
#include <string_view>

#include "db.h"
#include "mapi/mapix.h"
#include "model.h"

namespace zuvstore {

// The address book of db. Returns S_OK and one reference the caller owns.
[[nodiscard]] HRESULT CreateAddrBook(std::shared_ptr<Db> db, IAddrBook** out);

// Opens a mailbox or one-off entry ID as an IMailUser (one reference the
// caller owns). MAPI_E_INVALID_ENTRYID for IDs that name neither,
// MAPI_E_NOT_FOUND for a mailbox that no longer exists.
[[nodiscard]] HRESULT OpenMailUser(const std::shared_ptr<Db>& db, ULONG cb, const ENTRYID* entry_id,
                                   IMailUser** out);

// True for "local@domain": exactly one '@', both parts non-empty, no blanks.
bool LooksLikeSmtpAddress(std::string_view text);

// The mailbox of db that a recipient's properties address, trying in turn its
// PR_ENTRYID (mailbox or one-off), PR_SMTP_ADDRESS, and PR_EMAIL_ADDRESS with
// PR_ADDRTYPE "SMTP" (or "EX", a legacy DN). Returns S_OK and *out, or
// MAPI_E_NOT_FOUND when the recipient is not a mailbox of this database.
// REQUIRES: inside a Db::Read or Db::Write of db.
[[nodiscard]] HRESULT FindRecipientMailbox(sqlite3* db, const PropMap& recipient, StoreInfo* out);

}  // namespace zuvstore
