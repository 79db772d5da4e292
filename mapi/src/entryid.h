// entryid.h: the store's entry IDs.
//
// Layout: 4 flag bytes (0), the store provider's 16-byte UID, a version
// byte (1), the object kind, the store GUID, and for objects inside a store
// their 64-bit ID (little-endian):
//   store   38 bytes: flags | uid | 1 | kStore | store guid
//   folder  46 bytes: ... | kFolder | store guid | folder id
//   message 46 bytes: ... | kMessage | store guid | message id
//   mailbox address-book entry 38 bytes: ... | kMailUser | store guid
//   one-off address: ... | kOneOff | UTF-8 "name\0address"
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "db.h"
#include "mapi/mapix.h"

namespace zuvstore {

inline constexpr int kEntryKindMailUser = 6;
inline constexpr int kEntryKindOneOff = 8;

// The provider UID that marks this store's entry IDs.
extern const MAPIUID kStoreProviderUid;

std::string MakeStoreEntryId(const GUID& store);
std::string MakeObjectEntryId(ObjKind kind, const GUID& store, int64_t id);
// The same into *out, reusing its buffer (table rows build one per row).
void AssignObjectEntryId(ObjKind kind, const GUID& store, int64_t id, std::string* out);
std::string MakeMailUserEntryId(const GUID& store);
std::string MakeOneOffEntryId(std::string_view display_name, std::string_view address);

struct ParsedEntryId {
  int kind = 0;           // an ObjKind value, kEntryKindMailUser or kEntryKindOneOff
  GUID store{};
  int64_t id = 0;         // folder or message ID
  std::string name;       // one-off display name
  std::string address;    // one-off SMTP address
};

// MAPI_E_INVALID_ENTRYID for null, short, foreign or malformed IDs.
[[nodiscard]] HRESULT ParseEntryId(const void* data, size_t len, ParsedEntryId* out);

// PR_INSTANCE_KEY of a table row: the object's ID, 8 bytes little-endian.
std::string InstanceKey(int64_t id);
void AssignInstanceKey(int64_t id, std::string* out);

// A new random GUID (stores, services).
GUID NewGuid();

std::string GuidBytes(const GUID& g);
bool GuidFromBytes(std::string_view bytes, GUID* out);

}  // namespace zuvstore
