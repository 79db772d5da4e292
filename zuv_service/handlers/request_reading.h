// request_reading.h: reading request keys into typed values, criteria,
// item data, custom properties and the request's ServerInfo.
//
// Keys are direct members of the request object, matched by exact name;
// the first occurrence wins. A missing string reads as "", a missing number
// as 0, a missing boolean as false. Numbers count only as JSON integers
// within 32 bits: 4.0, "4" and 4294967300 read as absent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "base/request_values.h"
#include "base/wire.h"

namespace zuv {

int32_t ReadIntKey(const rapidjson::Value& object, const char* key);
std::string ReadStringKey(const rapidjson::Value& object, const char* key);
bool ReadBoolKey(const rapidjson::Value& object, const char* key);
// The array member key; null when missing or not an array.
const rapidjson::Value* FindArrayKey(const rapidjson::Value& object, const char* key);

// The kinds a request accepts in its typed values.
enum AcceptedKinds : uint32_t {
  kAcceptLong = 1u << 0,     // Kind 3, PT_LONG: a number
  kAcceptString = 1u << 1,   // Kind 30, PT_STRING8: a string
  kAcceptBoolean = 1u << 2,  // Kind 11, PT_BOOLEAN: a string, "1" is true
  kAcceptSysTime = 1u << 3,  // Kind 64, PT_SYSTIME: "high:low" decimal halves
};
// GetTable: long, string, time. SetTable: all four. Attach and
// SetAttachmentProperties: long and string.
constexpr uint32_t kTableReadKinds = kAcceptLong | kAcceptString | kAcceptSysTime;
constexpr uint32_t kItemWriteKinds = kAcceptLong | kAcceptString | kAcceptBoolean | kAcceptSysTime;
constexpr uint32_t kAttachmentKinds = kAcceptLong | kAcceptString;

// Reads a {"Kind": n, "Value": v} object. The kind is always taken; the
// value only when the kind is accepted and v has its form (has_value).
zuv_typed_value ReadTypedValue(const rapidjson::Value& object, uint32_t accepted);

// Parses "high:low" (two unsigned 32-bit decimal numbers). False when the
// text has another form.
[[nodiscard]] bool ParseFileTime(const char* text, FILETIME* ft);

// SearchCriteria entries, in order: <PropertyName>k__BackingField,
// <PropertyValue>k__BackingField (typed), <Operator>k__BackingField.
// Entries that are not objects are skipped.
std::vector<search_criteria_element> ReadSearchCriteria(const rapidjson::Value& request,
                                                        uint32_t accepted);

// SetData entries, in order: Key and Value (typed).
std::vector<set_data_element> ReadSetData(const rapidjson::Value& request, uint32_t accepted);

// PropertyList entries, in order: Name and Type.
std::vector<custom_property> ReadPropertyList(const rapidjson::Value& request);

// Fills server from Mailbox, ServerName, StoreDN and UserDN where present.
// With AltMailbox "1" and any of store DN, user DN and server name empty,
// looks the mailbox up in the directory by address: store DN and user DN
// from the lookup, server name from the first component of the store DN.
// Returns 0 (success, or no lookup) or the lookup's result.
uint32_t ReadServerInfo(const rapidjson::Value& request, ServerInfo* server);

}  // namespace zuv
