// entryid.cpp: building and reading the store's entry IDs.
#include "entryid.h"

#include <cstring>
#include <random>

namespace zuvstore {
namespace {

constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderBytes = 4 + 16 + 2;  // flags, provider UID, version, kind

std::string Header(int kind) {
  std::string out(kHeaderBytes, '\0');
  std::memcpy(out.data() + 4, kStoreProviderUid.ab, 16);
  out[20] = static_cast<char>(kVersion);
  out[21] = static_cast<char>(kind);
  return out;
}

void AppendI64(std::string* out, int64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xFF));
}

}  // namespace

// A fixed UID of this store provider.
const MAPIUID kStoreProviderUid = {
    {0x5A, 0x55, 0x56, 0x53, 0x54, 0x4F, 0x52, 0x45, 0x9A, 0x41, 0x3C, 0x11, 0x8E, 0x27, 0x40, 0x01}};

std::string GuidBytes(const GUID& g) {
  std::string out(16, '\0');
  std::memcpy(out.data(), &g, 16);
  return out;
}

bool GuidFromBytes(std::string_view bytes, GUID* out) {
  if (bytes.size() != 16) return false;
  std::memcpy(out, bytes.data(), 16);
  return true;
}

std::string MakeStoreEntryId(const GUID& store) {
  return Header(static_cast<int>(ObjKind::kStore)) + GuidBytes(store);
}

std::string MakeObjectEntryId(ObjKind kind, const GUID& store, int64_t id) {
  std::string out;
  AssignObjectEntryId(kind, store, id, &out);
  return out;
}

void AssignObjectEntryId(ObjKind kind, const GUID& store, int64_t id, std::string* out) {
  out->assign(kHeaderBytes + 16, '\0');
  std::memcpy(out->data() + 4, kStoreProviderUid.ab, 16);
  (*out)[20] = static_cast<char>(kVersion);
  (*out)[21] = static_cast<char>(static_cast<int>(kind));
  std::memcpy(out->data() + kHeaderBytes, &store, 16);
  AppendI64(out, id);
}

std::string MakeMailUserEntryId(const GUID& store) { return Header(kEntryKindMailUser) + GuidBytes(store); }

std::string MakeOneOffEntryId(std::string_view display_name, std::string_view address) {
  std::string out = Header(kEntryKindOneOff);
  out.append(display_name);
  out.push_back('\0');
  out.append(address);
  return out;
}

HRESULT ParseEntryId(const void* data, size_t len, ParsedEntryId* out) {
  if (data == nullptr || out == nullptr || len < kHeaderBytes) return MAPI_E_INVALID_ENTRYID;
  const auto* p = static_cast<const unsigned char*>(data);
  if (std::memcmp(p + 4, kStoreProviderUid.ab, 16) != 0 || p[20] != kVersion) {
    return MAPI_E_INVALID_ENTRYID;
  }
  *out = ParsedEntryId();
  out->kind = p[21];
  const char* rest = reinterpret_cast<const char*>(p + kHeaderBytes);
  size_t rest_len = len - kHeaderBytes;
  switch (out->kind) {
    case static_cast<int>(ObjKind::kStore):
    case kEntryKindMailUser:
      if (rest_len != 16) return MAPI_E_INVALID_ENTRYID;
      std::memcpy(&out->store, rest, 16);
      return S_OK;
    case static_cast<int>(ObjKind::kFolder):
    case static_cast<int>(ObjKind::kMessage): {
      if (rest_len != 24) return MAPI_E_INVALID_ENTRYID;
      std::memcpy(&out->store, rest, 16);
      uint64_t id = 0;
      for (int i = 0; i < 8; ++i) id |= static_cast<uint64_t>(static_cast<unsigned char>(rest[16 + i])) << (8 * i);
      out->id = static_cast<int64_t>(id);
      return out->id > 0 ? S_OK : MAPI_E_INVALID_ENTRYID;
    }
    case kEntryKindOneOff: {
      std::string_view text(rest, rest_len);
      size_t nul = text.find('\0');
      if (nul == std::string_view::npos) return MAPI_E_INVALID_ENTRYID;
      out->name = std::string(text.substr(0, nul));
      out->address = std::string(text.substr(nul + 1));
      return out->address.empty() ? MAPI_E_INVALID_ENTRYID : S_OK;
    }
    default:
      return MAPI_E_INVALID_ENTRYID;
  }
}

std::string InstanceKey(int64_t id) {
  std::string out;
  AssignInstanceKey(id, &out);
  return out;
}

void AssignInstanceKey(int64_t id, std::string* out) {
  out->clear();
  AppendI64(out, id);
}

GUID NewGuid() {
  static thread_local std::mt19937_64 rng(std::random_device{}() ^
                                          (static_cast<uint64_t>(std::random_device{}()) << 32));
  GUID g;
  uint64_t a = rng(), b = rng();
  std::memcpy(&g, &a, 8);
  std::memcpy(reinterpret_cast<char*>(&g) + 8, &b, 8);
  g.Data3 = static_cast<uint16_t>((g.Data3 & 0x0FFF) | 0x4000);  // version 4
  g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
  return g;
}

}  // namespace zuvstore
