// json_util.h: RapidJSON helpers private to the client library.
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zuvsdk/values.h"

namespace zuvsdk::internal {

// Parses json as one JSON object. Returns 0, or 1 with *err.
inline int ParseObject(std::string_view json, rapidjson::Document* doc, std::string* err) {
  // Iterative: a deeply nested answer cannot exhaust the stack.
  doc->Parse<rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseIterativeFlag>(json.data(), json.size());
  if (doc->HasParseError()) {
    *err = std::string("answer is not JSON: ") + rapidjson::GetParseError_En(doc->GetParseError());
    return 1;
  }
  if (!doc->IsObject()) {
    *err = "answer is not a JSON object";
    return 1;
  }
  return 0;
}

inline int IntMember(const rapidjson::Value& obj, const char* key, int missing = 0) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd() || !it->value.IsInt()) return missing;
  return it->value.GetInt();
}

inline std::string StringMember(const rapidjson::Value& obj, const char* key) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd() || !it->value.IsString()) return std::string();
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

// Writes one request object: the envelope keys first, then the caller's.
class RequestWriter {
 public:
  explicit RequestWriter(int code) : writer_(buffer_) {
    writer_.StartObject();
    Int("ProtocolVersion", 4);
    Int("Request", code);
  }
  RequestWriter& Str(const char* key, std::string_view value) {
    writer_.Key(key);
    writer_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    return *this;
  }
  RequestWriter& Int(const char* key, int64_t value) {
    writer_.Key(key);
    writer_.Int64(value);
    return *this;
  }
  RequestWriter& Bool(const char* key, bool value) {
    writer_.Key(key);
    writer_.Bool(value);
    return *this;
  }
  RequestWriter& StrArray(const char* key, const std::vector<std::string>& values) {
    writer_.Key(key);
    writer_.StartArray();
    for (const std::string& v : values) writer_.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
    writer_.EndArray();
    return *this;
  }
  // {"Kind": k, "Value": v} in the form the kind takes.
  RequestWriter& Typed(const char* key, const TypedValue& value) {
    writer_.Key(key);
    writer_.StartObject();
    writer_.Key("Kind");
    writer_.Int(value.kind);
    writer_.Key("Value");
    if (value.kind == kTypeLong) {
      writer_.Int64(value.number);
    } else {
      writer_.String(value.text.data(), static_cast<rapidjson::SizeType>(value.text.size()));
    }
    writer_.EndObject();
    return *this;
  }
  rapidjson::Writer<rapidjson::StringBuffer>& raw() { return writer_; }
  std::string Finish() {
    writer_.EndObject();
    return std::string(buffer_.GetString(), buffer_.GetSize());
  }

 private:
  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

}  // namespace zuvsdk::internal
