// request_reading.cpp: typed reading of request keys.
#include "handlers/request_reading.h"

#include <charconv>
#include <cstring>

#include "base/logging.h"
#include "directory/ad_services.h"
#include "mapi/mapidefs.h"

namespace zuv {
namespace {

// Bytes of each directory output, as the lookup fills them.
constexpr size_t kDirectoryField = 1024;

const rapidjson::Value* Member(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return nullptr;
  auto it = object.FindMember(key);  // the first occurrence wins
  return it == object.MemberEnd() ? nullptr : &it->value;
}

bool ParseUint32(const char* begin, const char* end, uint32_t* out) {
  if (begin == end) return false;
  auto [p, ec] = std::from_chars(begin, end, *out);
  return ec == std::errc() && p == end;
}

}  // namespace

int32_t ReadIntKey(const rapidjson::Value& object, const char* key) {
  const rapidjson::Value* v = Member(object, key);
  return v != nullptr && v->IsInt() ? v->GetInt() : 0;
}

std::string ReadStringKey(const rapidjson::Value& object, const char* key) {
  const rapidjson::Value* v = Member(object, key);
  if (v == nullptr || !v->IsString()) return {};
  return std::string(v->GetString(), v->GetStringLength());
}

bool ReadBoolKey(const rapidjson::Value& object, const char* key) {
  const rapidjson::Value* v = Member(object, key);
  return v != nullptr && v->IsBool() && v->GetBool();
}

const rapidjson::Value* FindArrayKey(const rapidjson::Value& object, const char* key) {
  const rapidjson::Value* v = Member(object, key);
  return v != nullptr && v->IsArray() ? v : nullptr;
}

bool ParseFileTime(const char* text, FILETIME* ft) {
  const char* end = text + std::strlen(text);
  const char* colon = static_cast<const char*>(std::memchr(text, ':', static_cast<size_t>(end - text)));
  if (colon == nullptr) return false;
  uint32_t high = 0;
  uint32_t low = 0;
  if (!ParseUint32(text, colon, &high) || !ParseUint32(colon + 1, end, &low)) return false;
  ft->dwHighDateTime = high;
  ft->dwLowDateTime = low;
  return true;
}

zuv_typed_value ReadTypedValue(const rapidjson::Value& object, uint32_t accepted) {
  zuv_typed_value out;
  out.kind = static_cast<ULONG>(ReadIntKey(object, "Kind"));
  const rapidjson::Value* v = Member(object, "Value");
  if (v == nullptr) return out;
  switch (out.kind) {
    case PT_LONG:
      if ((accepted & kAcceptLong) != 0 && v->IsInt()) {
        out.number = v->GetInt();
        out.has_value = true;
      }
      break;
    case PT_STRING8:
      if ((accepted & kAcceptString) != 0 && v->IsString()) {
        out.text.assign(v->GetString(), v->GetStringLength());
        out.has_value = true;
      }
      break;
    case PT_BOOLEAN:
      if ((accepted & kAcceptBoolean) != 0 && v->IsString()) {
        // Exactly "1": a NUL inside the text does not end it.
        out.number = v->GetStringLength() == 1 && v->GetString()[0] == '1' ? 1 : 0;
        out.has_value = true;
      }
      break;
    case PT_SYSTIME:
      if ((accepted & kAcceptSysTime) != 0 && v->IsString()) {
        // ParseFileTime reads up to the first NUL; a text with one inside is malformed.
        out.has_value = std::strlen(v->GetString()) == v->GetStringLength() &&
                        ParseFileTime(v->GetString(), &out.time);
      }
      break;
    default:
      break;
  }
  return out;
}

std::vector<search_criteria_element> ReadSearchCriteria(const rapidjson::Value& request,
                                                        uint32_t accepted) {
  std::vector<search_criteria_element> out;
  const rapidjson::Value* list = FindArrayKey(request, "SearchCriteria");
  if (list == nullptr) return out;
  out.reserve(list->Size());
  for (const rapidjson::Value& entry : list->GetArray()) {
    if (!entry.IsObject()) continue;
    search_criteria_element e;
    e.name = ReadStringKey(entry, "<PropertyName>k__BackingField");
    e.op = ReadIntKey(entry, "<Operator>k__BackingField");
    if (const rapidjson::Value* v = Member(entry, "<PropertyValue>k__BackingField")) {
      e.value = ReadTypedValue(*v, accepted);
    }
    e.type = e.value.kind;
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<set_data_element> ReadSetData(const rapidjson::Value& request, uint32_t accepted) {
  std::vector<set_data_element> out;
  const rapidjson::Value* list = FindArrayKey(request, "SetData");
  if (list == nullptr) return out;
  out.reserve(list->Size());
  for (const rapidjson::Value& entry : list->GetArray()) {
    if (!entry.IsObject()) continue;
    set_data_element e;
    e.key = ReadStringKey(entry, "Key");
    if (const rapidjson::Value* v = Member(entry, "Value")) e.value = ReadTypedValue(*v, accepted);
    e.type = e.value.kind;
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<custom_property> ReadPropertyList(const rapidjson::Value& request) {
  std::vector<custom_property> out;
  const rapidjson::Value* list = FindArrayKey(request, "PropertyList");
  if (list == nullptr) return out;
  out.reserve(list->Size());
  for (const rapidjson::Value& entry : list->GetArray()) {
    if (!entry.IsObject()) continue;
    custom_property p;
    p.name = ReadStringKey(entry, "Name");
    p.type = static_cast<ULONG>(ReadIntKey(entry, "Type"));
    out.push_back(std::move(p));
  }
  return out;
}

uint32_t ReadServerInfo(const rapidjson::Value& request, ServerInfo* server) {
  auto take = [&request](const char* key, std::string* field) {
    const rapidjson::Value* v = Member(request, key);
    if (v != nullptr && v->IsString()) field->assign(v->GetString(), v->GetStringLength());
  };
  take("Mailbox", &server->mailbox);
  take("ServerName", &server->server);
  take("StoreDN", &server->store_dn);
  take("UserDN", &server->user_dn);
  if (ReadStringKey(request, "AltMailbox") != "1") return 0;
  if (!server->store_dn.empty() && !server->user_dn.empty() && !server->server.empty()) return 0;

  char name[kDirectoryField] = {};
  char server_dn[kDirectoryField] = {};
  char legacy_dn[kDirectoryField] = {};
  int32_t found = QueryUserInfoByEmail(server->mailbox.c_str(), name, sizeof(name), server_dn,
                                       sizeof(server_dn), legacy_dn, sizeof(legacy_dn));
  if (found != 0) {
    NLog_ErrorA("ZUV", "Cannot find the mailbox %s in the directory (%d)",
                EscapeForLog(server->mailbox).c_str(), found);
    return static_cast<uint32_t>(found);
  }
  server->store_dn = server_dn;
  server->user_dn = legacy_dn;
  // The server is the value of the store DN's first component: "CN=EX1,..." -> "EX1".
  const std::string& dn = server->store_dn;
  size_t eq = dn.find('=');
  size_t comma = dn.find(',');
  server->server = eq == std::string::npos ? std::string()
                   : dn.substr(eq + 1, (comma == std::string::npos ? dn.size() : comma) - eq - 1);
  return 0;
}

}  // namespace zuv
