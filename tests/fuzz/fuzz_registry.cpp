// fuzz_registry.cpp: the input is a registry export file.
//
// The file is parsed, the service and vendor nodes are opened and their
// values read the ways the service reads them (size query, exact buffer,
// short buffer, the settings' own readers), and ServiceSettings is built
// from it. Reading has no effect beyond log lines, which are turned off.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/registry_file.h"
#include "base/settings.h"
#include "fuzz_support.h"

namespace {

// Values the service reads, and a few it does not.
constexpr const char* kValueNames[] = {
    "ZuvPort1", "ZuvPort2", "ZuvPort3", "ZuvBinPort", "IsMAPISeparated", "ExAlias", "ExServer",
    "CAS", "ExProfile", "StorePath", "LdapUri", "LdapBindDN", "LdapBindPassword",
    "LogFolderPath", "ListenAddress", "MaxConnections", "FrameTimeoutSeconds",
    "IdleTimeoutSeconds", "MaxUploadMB", "MaxRequestMemoryMB", "", "zuvport1", "Blob", "Path",
    "Multi", "Q"};

// Every ancestor of an open key exists, under both hive spellings.
void CheckAncestors(const zuv::RegistryFile& registry, std::string_view subpath) {
  for (size_t cut = subpath.find('\\'); cut != std::string_view::npos;
       cut = subpath.find('\\', cut + 1)) {
    ZUV_FUZZ_CHECK(registry.OpenKey(subpath.substr(0, cut)) != nullptr);
  }
  ZUV_FUZZ_CHECK(registry.OpenKey("") != nullptr);
  ZUV_FUZZ_CHECK(registry.FindKey("HKLM") != nullptr);
}

void ReadValues(const zuv::RegistryKey* key) {
  for (const char* name : kValueNames) {
    uint32_t type = 0;
    uint32_t size = 0;
    uint32_t rc = zuv::QueryValue(key, name, &type, nullptr, &size);
    const zuv::RegistryValue* value = key->FindValue(name);
    if (rc == zuv::kRegNotFound) {
      ZUV_FUZZ_CHECK(value == nullptr);
      continue;
    }
    ZUV_FUZZ_CHECK(rc == zuv::kRegSuccess && value != nullptr);
    ZUV_FUZZ_CHECK(type == value->type && size == value->data.size());

    // Exact buffer: the bytes come back.
    std::vector<uint8_t> exact(size + 1, 0xAA);
    uint32_t exact_size = size;
    ZUV_FUZZ_CHECK(zuv::QueryValue(key, name, nullptr, exact.data(), &exact_size) ==
                   zuv::kRegSuccess);
    ZUV_FUZZ_CHECK(exact_size == size);
    ZUV_FUZZ_CHECK(size == 0 || std::memcmp(exact.data(), value->data.data(), size) == 0);
    ZUV_FUZZ_CHECK(exact[size] == 0xAA);

    // One byte short: more data, buffer untouched.
    if (size > 0) {
      std::vector<uint8_t> shorter(size - 1 + 1, 0x55);
      uint32_t short_size = size - 1;
      ZUV_FUZZ_CHECK(zuv::QueryValue(key, name, nullptr, shorter.data(), &short_size) ==
                     zuv::kRegMoreData);
      ZUV_FUZZ_CHECK(short_size == size);
      for (uint8_t b : shorter) ZUV_FUZZ_CHECK(b == 0x55);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zuv::fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact copy, so ASan sees a read past the end of the text.
  std::unique_ptr<char[]> copy(new char[size == 0 ? 1 : size]);
  if (size > 0) std::memcpy(copy.get(), data, size);
  const std::string_view text(copy.get(), size);

  zuv::RegistryFile registry;
  std::string err;
  uint32_t rc = registry.Parse(text, &err);
  if (rc != 0) {
    ZUV_FUZZ_CHECK(rc == zuv::kRegistryFileUnreadable && !err.empty());
    ZUV_FUZZ_CHECK(registry.KeyCount() == 0 && registry.Problems().empty());
    return 0;
  }
  for (const zuv::RegistryProblem& p : registry.Problems()) {
    ZUV_FUZZ_CHECK(p.line > 1 && !p.text.empty());
  }

  const char* const* node_lists[] = {zuv::kServiceNodePaths, zuv::kVendorNodePaths};
  for (const char* const* paths : node_lists) {
    for (int i = 0; i < 2; ++i) {
      const zuv::RegistryKey* key = registry.OpenKey(paths[i]);
      if (key == nullptr) continue;
      CheckAncestors(registry, paths[i]);
      ZUV_FUZZ_CHECK(registry.FindKey(std::string("HKLM\\") + paths[i]) == key);
      ZUV_FUZZ_CHECK(registry.FindKey(std::string("hkey_local_machine\\") + paths[i]) == key);
      ReadValues(key);
    }
  }
  ZUV_FUZZ_CHECK(zuv::QueryValue(nullptr, "ExAlias", nullptr, nullptr, nullptr) ==
                 zuv::kRegInvalidHandle);

  // The settings' own readers.
  zuv::ServiceSettings settings(registry, "/opt/zuv");
  // At most the buffer: 254 characters of a REG_SZ, 255 of other types.
  ZUV_FUZZ_CHECK(settings.ExAlias().size() <= zuv::kSettingStringBytes);
  ZUV_FUZZ_CHECK(!settings.StorePath().empty() && !settings.LdapUri().empty());
  uint32_t port = 20400;
  (void)zuv::ReadPortSetting(registry, "ZuvPort1", &port);
  std::string folder = zuv::ReadLogFolderPath(registry);
  ZUV_FUZZ_CHECK(!folder.empty() && folder.size() <= zuv::kLogFolderBytes);
  ZUV_FUZZ_CHECK(folder.find('\\') == std::string::npos);

  // Parsing again gives the same registry.
  zuv::RegistryFile again;
  ZUV_FUZZ_CHECK(again.Parse(text, nullptr) == 0);
  ZUV_FUZZ_CHECK(again.KeyCount() == registry.KeyCount());
  ZUV_FUZZ_CHECK(again.Problems().size() == registry.Problems().size());
  return 0;
}
