// values.cpp: decoding answers and parsing values typed by their column.
#include "zuvsdk/values.h"

#include <rapidjson/document.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>

#include "json_util.h"

namespace zuvsdk {
namespace {

struct KnownColumn {
  const char* name;
  int type;
};

// Common columns by their symbolic names (string forms without _A/_W).
constexpr KnownColumn kKnownColumns[] = {
    {"PR_SUBJECT", kTypeString},
    {"PR_NORMALIZED_SUBJECT", kTypeString},
    {"PR_CONVERSATION_TOPIC", kTypeString},
    {"PR_SENDER_NAME", kTypeString},
    {"PR_SENDER_EMAIL_ADDRESS", kTypeString},
    {"PR_SENT_REPRESENTING_NAME", kTypeString},
    {"PR_DISPLAY_TO", kTypeString},
    {"PR_DISPLAY_CC", kTypeString},
    {"PR_DISPLAY_BCC", kTypeString},
    {"PR_DISPLAY_NAME", kTypeString},
    {"PR_MESSAGE_CLASS", kTypeString},
    {"PR_BODY", kTypeString},
    {"PR_INTERNET_MESSAGE_ID", kTypeString},
    {"PR_EMAIL_ADDRESS", kTypeString},
    {"PR_GIVEN_NAME", kTypeString},
    {"PR_SURNAME", kTypeString},
    {"PR_COMPANY_NAME", kTypeString},
    {"PR_CONTAINER_CLASS", kTypeString},
    {"PR_ATTACH_FILENAME", kTypeString},
    {"PR_ATTACH_LONG_FILENAME", kTypeString},
    {"PR_ATTACH_MIME_TAG", kTypeString},
    {"PR_ATTACH_CONTENT_ID", kTypeString},
    {"PR_ATTACH_EXTENSION", kTypeString},
    {"PR_MESSAGE_SIZE", kTypeLong},
    {"PR_MESSAGE_FLAGS", kTypeLong},
    {"PR_IMPORTANCE", kTypeLong},
    {"PR_SENSITIVITY", kTypeLong},
    {"PR_PRIORITY", kTypeLong},
    {"PR_ATTACH_SIZE", kTypeLong},
    {"PR_ATTACH_NUM", kTypeLong},
    {"PR_ATTACH_METHOD", kTypeLong},
    {"PR_RENDERING_POSITION", kTypeLong},
    {"PR_CONTENT_COUNT", kTypeLong},
    {"PR_CONTENT_UNREAD", kTypeLong},
    {"PR_OBJECT_TYPE", kTypeLong},
    {"PR_HASATTACH", kTypeBoolean},
    {"PR_READ_RECEIPT_REQUESTED", kTypeBoolean},
    {"PR_MESSAGE_DELIVERY_TIME", kTypeSysTime},
    {"PR_CLIENT_SUBMIT_TIME", kTypeSysTime},
    {"PR_CREATION_TIME", kTypeSysTime},
    {"PR_LAST_MODIFICATION_TIME", kTypeSysTime},
    {"PR_START_DATE", kTypeSysTime},
    {"PR_END_DATE", kTypeSysTime},
    {"PR_ENTRYID", kTypeBinary},
    {"PR_LONGTERM_ENTRYID_FROM_TABLE", kTypeBinary},
};

bool ParseInt(std::string_view text, int64_t* out) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && ptr == end;
}

bool ParseUint32(std::string_view text, uint32_t* out) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && ptr == end;
}

// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

Value ValueOf(const rapidjson::Value& v) {
  Value out;
  if (v.IsString()) {
    out.kind = Value::Kind::kString;
    out.text.assign(v.GetString(), v.GetStringLength());
  } else if (v.IsBool()) {
    out.kind = Value::Kind::kBool;
    out.flag = v.GetBool();
  } else if (v.IsInt64()) {
    out.kind = Value::Kind::kNumber;
    out.number = v.GetInt64();
  } else if (v.IsNumber()) {
    out.kind = Value::Kind::kNumber;
    out.number = static_cast<int64_t>(v.GetDouble());
  }
  return out;
}

// "NAME-TYPE" into name and type; the bare name keeps type -1.
void SplitMemberName(std::string_view member, std::string* name, int* type) {
  const size_t dash = member.rfind('-');
  int64_t n = 0;
  if (dash != std::string_view::npos && dash > 0 && ParseInt(member.substr(dash + 1), &n) && n >= 0 &&
      n <= 0xFFFF) {
    name->assign(member.substr(0, dash));
    *type = static_cast<int>(n);
    return;
  }
  name->assign(member);
  *type = -1;
}

}  // namespace

std::string Value::ToText() const {
  switch (kind) {
    case Kind::kString:
      return text;
    case Kind::kNumber:
      return std::to_string(number);
    case Kind::kBool:
      return flag ? "true" : "false";
    case Kind::kNull:
      break;
  }
  return std::string();
}

const Property* Row::Find(std::string_view name) const {
  for (const Property& p : props) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

int DecodeTableAnswer(std::string_view json, TableAnswer* out, std::string* err) {
  *out = TableAnswer{};
  rapidjson::Document doc;
  if (internal::ParseObject(json, &doc, err) != 0) return 1;
  out->error_number = internal::IntMember(doc, "ErrorNumber");
  out->error_string = internal::StringMember(doc, "ErrorString");
  out->data_type = internal::IntMember(doc, "DataType");
  out->client_id = internal::StringMember(doc, "ClientIdentifier");
  auto rows = doc.FindMember("ROWS");
  if (rows == doc.MemberEnd()) return 0;
  if (rows->value.IsString()) {
    out->deleted_key.assign(rows->value.GetString(), rows->value.GetStringLength());
    return 0;
  }
  if (!rows->value.IsArray()) {
    *err = "ROWS is neither an array nor a string";
    return 1;
  }
  out->rows.reserve(rows->value.Size());
  for (const auto& element : rows->value.GetArray()) {
    if (!element.IsObject() || element.MemberCount() != 1 || !element.MemberBegin()->value.IsArray()) {
      *err = "a row is not {key: [properties]}";
      return 1;
    }
    Row row;
    row.key.assign(element.MemberBegin()->name.GetString(), element.MemberBegin()->name.GetStringLength());
    for (const auto& prop : element.MemberBegin()->value.GetArray()) {
      if (!prop.IsObject()) continue;
      for (const auto& member : prop.GetObject()) {
        Property p;
        SplitMemberName(std::string_view(member.name.GetString(), member.name.GetStringLength()), &p.name, &p.type);
        p.value = ValueOf(member.value);
        row.props.push_back(std::move(p));
      }
    }
    out->rows.push_back(std::move(row));
  }
  return 0;
}

std::string BareName(std::string_view name) {
  std::string bare;
  int type = -1;
  SplitMemberName(name, &bare, &type);
  return bare;
}

int PropertyTypeOf(std::string_view name, int* type, std::string* err) {
  std::string bare;
  SplitMemberName(name, &bare, type);
  if (*type >= 0) return 0;
  if (bare.size() == 10 && bare[0] == '0' && (bare[1] == 'x' || bare[1] == 'X')) {
    uint32_t tag = 0;
    auto [ptr, ec] = std::from_chars(bare.data() + 2, bare.data() + bare.size(), tag, 16);
    if (ec == std::errc() && ptr == bare.data() + bare.size()) {
      *type = static_cast<int>(tag & 0xFFFF);
      return 0;
    }
  }
  std::string_view key = bare;
  if (key.size() > 2 && (key.ends_with("_A") || key.ends_with("_W"))) key.remove_suffix(2);
  for (const KnownColumn& c : kKnownColumns) {
    if (key == c.name) {
      *type = c.type;
      return 0;
    }
  }
  *err = "the type of column " + std::string(name) +
         " is not known; write it as NAME-30 (string), NAME-3 (number), NAME-11 (boolean) or NAME-64 (time)";
  return 1;
}

int ParseTypedValue(int type, std::string_view text, TypedValue* out, std::string* err) {
  *out = TypedValue{};
  out->kind = type;
  switch (type) {
    case kTypeLong: {
      if (!ParseInt(text, &out->number) || out->number < INT32_MIN || out->number > INT32_MAX) {
        *err = "not a 32-bit number: " + std::string(text);
        return 1;
      }
      return 0;
    }
    case kTypeString:
      out->text.assign(text);
      return 0;
    case kTypeBoolean: {
      std::string lower;
      for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (lower == "1" || lower == "true" || lower == "yes") {
        out->text = "1";
      } else if (lower == "0" || lower == "false" || lower == "no") {
        out->text = "0";
      } else {
        *err = "not a boolean (1, 0, true, false): " + std::string(text);
        return 1;
      }
      return 0;
    }
    case kTypeSysTime: {
      const size_t sep = text.find_first_of(":,");
      uint32_t high = 0;
      uint32_t low = 0;
      if (sep != std::string_view::npos && ParseUint32(text.substr(0, sep), &high) &&
          ParseUint32(text.substr(sep + 1), &low)) {
        out->text = std::to_string(high) + ":" + std::to_string(low);
        return 0;
      }
      struct tm tm {};
      const std::string s(text);
      const char* end = strptime(s.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
      if (end != nullptr && (*end == '\0' || (end[0] == 'Z' && end[1] == '\0'))) {
        const int64_t ticks = static_cast<int64_t>(timegm(&tm)) * 10000000 + kUnixEpochTicks;
        if (ticks >= 0) {
          const uint64_t u = static_cast<uint64_t>(ticks);
          out->text = std::to_string(u >> 32) + ":" + std::to_string(u & 0xFFFFFFFFu);
          return 0;
        }
      }
      *err = "not a time (high:low or YYYY-MM-DDTHH:MM:SSZ): " + std::string(text);
      return 1;
    }
    default:
      *err = "values of property type " + std::to_string(type) + " cannot be sent";
      return 1;
  }
}

int ParseAssignment(std::string_view text, std::string* name, TypedValue* value, std::string* err) {
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos || eq == 0) {
    *err = "not NAME=VALUE: " + std::string(text);
    return 1;
  }
  int type = -1;
  if (PropertyTypeOf(text.substr(0, eq), &type, err) != 0) return 1;
  if (ParseTypedValue(type, text.substr(eq + 1), value, err) != 0) {
    *err = std::string(text.substr(0, eq)) + ": " + *err;
    return 1;
  }
  *name = BareName(text.substr(0, eq));
  return 0;
}

std::string FileTimeText(std::string_view high_comma_low) {
  const size_t comma = high_comma_low.find(',');
  uint32_t high = 0;
  uint32_t low = 0;
  if (comma == std::string_view::npos || !ParseUint32(high_comma_low.substr(0, comma), &high) ||
      !ParseUint32(high_comma_low.substr(comma + 1), &low)) {
    return std::string();
  }
  const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
  const time_t t = static_cast<time_t>((ticks - kUnixEpochTicks) / 10000000);
  struct tm tm {};
  if (ticks < kUnixEpochTicks || gmtime_r(&t, &tm) == nullptr) return std::string();
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace zuvsdk
