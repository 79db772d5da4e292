// request_values.h: values a request carries to the cache and the tables:
// typed values (Kind/Value objects), search criteria, item data and custom
// properties. Plain data; the owner of a list owns its strings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mapi/mapix.h"

// One typed value. kind is the MAPI property type the client gave;
// has_value is false when the request did not accept that kind (the value
// stays unset).
struct zuv_typed_value {
  ULONG kind = 0;           // PT_LONG, PT_STRING8, PT_BOOLEAN or PT_SYSTIME
  bool has_value = false;
  int32_t number = 0;       // PT_LONG; PT_BOOLEAN as 0 or 1
  std::string text;         // PT_STRING8
  FILETIME time{};          // PT_SYSTIME: dwHighDateTime, dwLowDateTime
};

// One search criterion of a folder read.
struct search_criteria_element {
  ULONG type = 0;        // the Kind: property type
  std::string name;      // property name as the client gave it
  ULONG tag = 0;         // resolved later; 0 until then
  int32_t op = 0;        // operator
  zuv_typed_value value;
};

// One property to write on an item.
struct set_data_element {
  std::string key;       // property name
  ULONG type = 0;        // the Kind
  zuv_typed_value value;
};

// A custom property a client registered for one folder of one store.
struct custom_property {
  std::string name;
  ULONG type = 0;  // MAPI property type as the client gave it
  ULONG tag = 0;   // property tag; 0 when not known
};

// A draft message as a CreateMessage request composes it.
struct MessageRequest {
  std::string subject;
  std::string body;
  std::vector<std::string> to;
  std::vector<std::string> cc;
  std::vector<std::string> bcc;
  std::string readReceiptAddress;  // "" asks for no read receipt
  int32_t sensitivity = 0;         // PR_SENSITIVITY
  bool saveToSent = false;         // keep a copy in Sent Items after sending
  bool isHTML = false;             // body is HTML
};
