// zuvstore_values.h: reading one property of many messages in one call, for
// callers that would otherwise open each message (OpenEntry) to read a
// value whole (OpenProperty with IID_IStream). Not part of MAPI.
//
// A folder of this store answers QueryInterface(IID_IZuvMessageValues) with
// an IZuvMessageValues (a separate object holding its own reference to the
// store); other stores answer E_NOINTERFACE, and callers go on opening each
// message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "mapi/mapix.h"

namespace zuvstore {

inline constexpr IID IID_IZuvMessageValues = {
    0x6B3F2A51, 0x8C0E, 0x4D7A, {0x9E, 0x21, 0x5F, 0x43, 0x0B, 0xD7, 0x6C, 0x18}};

// One value to read: a message's entry ID and a string or binary tag.
struct MessageValueRequest {
  std::string_view entry_id;
  ULONG tag = 0;
};

// What the reads of one request would have given.
struct MessageValue {
  // OpenEntry of the message: S_OK, MAPI_E_INVALID_ENTRYID (not a message
  // entry ID), MAPI_E_NOT_FOUND (another store's, or deleted) or
  // MAPI_E_CORRUPT_DATA (a value kept out of line is missing).
  HRESULT open_result = MAPI_E_NOT_FOUND;
  // OpenProperty of the tag once the message opened: S_OK, MAPI_E_NOT_FOUND
  // (no such property) or MAPI_E_INVALID_TYPE (not a string or binary tag).
  HRESULT value_result = MAPI_E_NOT_FOUND;
  // With both S_OK: the bytes a read of the whole stream gives (PT_STRING8
  // and PT_BINARY as stored, PT_STRING8 text in UTF-8; PT_UNICODE as
  // UTF-16LE). Only the requested value's out-of-line bytes are checked,
  // where an open checks every value of the message.
  std::string bytes;
};

class IZuvMessageValues : public IUnknown {
 public:
  // Fills out[i] for requests[i], i < count, all read in one snapshot of
  // the store. S_OK, or a failure of the read itself (MAPI_E_CALL_FAILED,
  // MAPI_E_NOT_ENOUGH_MEMORY) with out undefined.
  virtual HRESULT ReadMessageValues(const MessageValueRequest* requests, size_t count,
                                    MessageValue* out) = 0;
};

}  // namespace zuvstore
