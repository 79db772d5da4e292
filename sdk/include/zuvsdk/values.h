// values.h: typed values as the protocol carries them.
//
// Requests carry typed values as {"Kind": property type, "Value": ...} (search
// criteria, item writes). Answers carry table rows as
// {row key: [{"NAME-TYPE": value}, ...]}; the decoded form is a Row.
//
// Threading: plain values and pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zuvsdk {

// Property types the protocol knows.
inline constexpr int kTypeLong = 3;       // PT_LONG
inline constexpr int kTypeBoolean = 11;   // PT_BOOLEAN
inline constexpr int kTypeString = 30;    // PT_STRING8
inline constexpr int kTypeSysTime = 64;   // PT_SYSTIME
inline constexpr int kTypeBinary = 258;   // PT_BINARY

// One value of an answer, as JSON gave it.
struct Value {
  enum class Kind { kNull, kString, kNumber, kBool };
  Kind kind = Kind::kNull;
  std::string text;    // kString
  int64_t number = 0;  // kNumber
  bool flag = false;   // kBool
  // The value as plain text: strings as they are, numbers in decimal,
  // booleans "true"/"false".
  std::string ToText() const;
};

// One property of a row: the column name, its type (-1 when the member name
// carried none) and its value.
struct Property {
  std::string name;
  int type = -1;
  Value value;
};

// One row of a table answer or a push.
struct Row {
  std::string key;  // the row key: long-term entry ID, or attachment number
  std::vector<Property> props;
  const Property* Find(std::string_view name) const;
};

// Data types of table answers and pushes.
inline constexpr int kDataTableRows = 501;
inline constexpr int kDataRowAdded = 502;
inline constexpr int kDataRowDeleted = 503;
inline constexpr int kDataRowModified = 504;
inline constexpr int kDataTableFill = 505;

// A decoded table-shaped answer or pushed message.
struct TableAnswer {
  int error_number = 0;
  std::string error_string;
  int data_type = 0;
  std::string client_id;
  std::vector<Row> rows;    // all data types but 503
  std::string deleted_key;  // data type 503
};

// Decodes json as a table answer. Returns 0, or 1 with *err when the text is
// not a JSON object of that shape.
[[nodiscard]] int DecodeTableAnswer(std::string_view json, TableAnswer* out, std::string* err);

// A value to send: the Kind and the Value in the form that kind wants.
struct TypedValue {
  int kind = kTypeString;
  std::string text;    // kTypeString; kTypeBoolean "1"/"0"; kTypeSysTime "high:low"
  int64_t number = 0;  // kTypeLong
};

// The property type of a column name: a "NAME-TYPE" suffix, a hex tag
// ("0x0037001E"), or the built-in list of common names. Returns 0 and sets
// *type, or 1 with *err naming the column.
[[nodiscard]] int PropertyTypeOf(std::string_view name, int* type, std::string* err);

// The column name without a "-TYPE" suffix.
std::string BareName(std::string_view name);

// Parses text as a value of type: numbers for 3; "1"/"0"/"true"/"false"/
// "yes"/"no" for 11; anything for 30; "high:low", "high,low" or an ISO 8601
// UTC time "YYYY-MM-DDTHH:MM:SSZ" for 64. Returns 0, or 1 with *err.
[[nodiscard]] int ParseTypedValue(int type, std::string_view text, TypedValue* out, std::string* err);

// Parses "NAME=VALUE", typed by the column's type. Returns 0 with the bare
// name, or 1 with *err.
[[nodiscard]] int ParseAssignment(std::string_view text, std::string* name, TypedValue* value, std::string* err);

// "high,low" of a file time as an ISO 8601 UTC text; "" when text is not a
// file time.
std::string FileTimeText(std::string_view high_comma_low);

}  // namespace zuvsdk
