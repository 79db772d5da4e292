// propnames_bench.cpp: ZUV_Cache::PropTagFromName per call for each kind of
// name, beside the static-table scan it replaced, measured in the same run:
//   static         a name of the static table (PR_SUBJECT)
//   custom         a name registered with SetCustomProperties (cache hit)
//   named_table    a named-property table name with its ID in the store
//                  (PidLidWhere): opens the folder, one GetIDsFromNames
//   public_string  a string name in PS_PUBLIC_STRINGS (X-Bench), found on the
//                  first property set tried
//   scan           the front-to-back scan of the static table, each UTF-16
//                  name converted to ANSI before the compare: for PR_SUBJECT,
//                  and for a name it does not hold (all 3917 entries), which
//                  every custom or named lookup paid before the caches.
// The store is a private SQLite database in a temporary folder.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/wire.h"
#include "cache/zuv_cache.h"
#include "mapi/mapitags.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapiexmod.h"
#include "mapi_access/mapifolder.h"
#include "mapi_access/mapiobject.h"
#include "mapi_access/prop_tags.h"

namespace {

namespace fs = std::filesystem;

// One logged-on session on a store with the folder the lookups use.
struct Fixture {
  fs::path dir;
  std::unique_ptr<zuvstore::StoreAdmin> admin;
  std::unique_ptr<ZUV_Cache> cache;
  std::string folder;
  bool ok = false;

  Fixture() {
    char tmpl[] = "/tmp/zuv-propnames-bench-XXXXXX";
    dir = ::mkdtemp(tmpl);
    std::string err, store_id;
    const std::string path = (dir / "store.db").string();
    zuvstore::MailboxSpec spec{"svc-zuv", "ZUV Service", {"svc-zuv@example.org"}, "/o=Example/cn=svc-zuv", "EXCH1"};
    if (zuvstore::StoreAdmin::Open(path, &admin, &err) != S_OK || admin->AddServer("EXCH1", false, &err) != S_OK ||
        admin->AddMailbox(spec, &store_id, &err) != S_OK ||
        admin->CreateFolderPath("svc-zuv", false, "Inbox/Bench", "IPF.Note", &folder, &err) != S_OK) {
      std::fprintf(stderr, "store: %s\n", err.c_str());
      return;
    }
    zuvstore::SetStorePath(path);
    if (!CMapiExMod::Init(true, true)) return;
    cache = std::make_unique<ZUV_Cache>("bench", "svc-zuv");
    if (!cache->Logon(0, "svc-zuv", "EXCH1", "", true)) return;

    std::vector<custom_property> custom = {{"Colour", PT_STRING8, 0}};
    ULONG tag = 0;
    ok = cache->SetCustomProperties(nullptr, folder, kMailboxStoreKey, custom, &err, true) == 0 &&
         cache->PropTagFromName(folder, kMailboxStoreKey, "X-Bench", PT_STRING8, &tag, true) == 0 &&
         RegisterNamedTableEntry("PidLidWhere");
  }
  ~Fixture() {
    cache.reset();
    CMapiExMod::Term();
    admin.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // Gives the store an ID for a named-property table entry.
  bool RegisterNamedTableEntry(const char* name) {
    const zuv::NamedPropEntry& entry = zuv::NamedPropertyAt(zuv::NamedPropertyIndex(name));
    std::unique_ptr<CMAPIFolder> f =
        cache->Session()->OpenFolderByEntryID(folder.c_str(), kMailboxStoreKey, MAPI_MODIFY);
    if (!f) return false;
    GUID set = *entry.propset;
    MAPINAMEID id{};
    id.lpguid = &set;
    id.ulKind = MNID_ID;
    id.Kind.lID = static_cast<LONG>(entry.lid);
    LPMAPINAMEID names[1] = {&id};
    MapiBuffer<SPropTagArray> tags;
    return f->Item()->GetIDsFromNames(1, names, MAPI_CREATE, tags.put()) == S_OK;
  }
};

Fixture& TheFixture() {
  static Fixture* fixture = new Fixture;  // lives until the process ends
  return *fixture;
}

void Lookup(benchmark::State& state, const char* name, ULONG type) {
  Fixture& f = TheFixture();
  if (!f.ok) {
    state.SkipWithError("fixture failed");
    return;
  }
  ULONG tag = 0;
  if (f.cache->PropTagFromName(f.folder, kMailboxStoreKey, name, type, &tag, false) != 0) {
    state.SkipWithError("name does not resolve");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.cache->PropTagFromName(f.folder, kMailboxStoreKey, name, type, &tag, false));
  }
}

// ---- The scan baseline ----

const std::vector<std::u16string>& WideTable() {
  static const auto* table = [] {
    auto* names = new std::vector<std::u16string>;
    for (size_t i = 0; i < zuv::PropTagCount(); ++i) {
      std::string_view n = zuv::PropTagAt(i).name;
      names->emplace_back(n.begin(), n.end());
    }
    return names;
  }();
  return *table;
}

// UTF-16 (BMP) to UTF-8 in out; the table's names are ASCII.
size_t ToAnsi(const std::u16string& w, char* out, size_t cap) {
  size_t n = 0;
  for (char16_t c : w) {
    if (c < 0x80 && n + 1 < cap) {
      out[n++] = static_cast<char>(c);
    } else if (c < 0x800 && n + 2 < cap) {
      out[n++] = static_cast<char>(0xC0 | (c >> 6));
      out[n++] = static_cast<char>(0x80 | (c & 0x3F));
    } else if (n + 3 < cap) {
      out[n++] = static_cast<char>(0xE0 | (c >> 12));
      out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out[n++] = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  out[n] = '\0';
  return n;
}

bool ScanTable(const char* name, ULONG* tag) {
  const auto& table = WideTable();
  char ansi[256];
  for (size_t i = 0; i < table.size(); ++i) {
    ToAnsi(table[i], ansi, sizeof(ansi));
    if (std::strcmp(ansi, name) == 0) {
      *tag = zuv::PropTagAt(i).tag;
      return true;
    }
  }
  return false;
}

void Scan(benchmark::State& state, const char* name) {
  WideTable();
  ULONG tag = 0;
  for (auto _ : state) benchmark::DoNotOptimize(ScanTable(name, &tag));
}

BENCHMARK_CAPTURE(Lookup, static, "PR_SUBJECT", PT_UNSPECIFIED);
BENCHMARK_CAPTURE(Lookup, custom, "Colour", PT_STRING8);
BENCHMARK_CAPTURE(Lookup, named_table, "PidLidWhere", PT_UNSPECIFIED);
BENCHMARK_CAPTURE(Lookup, public_string, "X-Bench", PT_STRING8);
BENCHMARK_CAPTURE(Scan, static, "PR_SUBJECT");
BENCHMARK_CAPTURE(Scan, absent, "X-Not-In-The-Table");

}  // namespace

BENCHMARK_MAIN();
