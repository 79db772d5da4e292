// prop_tags_bench.cpp: the indexed property-name lookups, each beside the
// front-to-back scan it replaces. The scans keep the tag-table names as UTF-16
// and convert every entry they pass to ANSI (UTF-8) in a stack buffer before
// comparing; named-property names are ANSI already and are compared directly.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "mapi_access/prop_tags.h"

namespace {

using namespace zuv;

constexpr const char* kFirstName = "PR_ACKNOWLEDGEMENT_MODE";
constexpr const char* kLastName = "PR_EMS_AB_SERVER_W";
constexpr const char* kAbsentName = "PR_NO_SUCH_PROPERTY_NAME";
constexpr uint32_t kDisplayNameTag = 0x3001001E;

// The tag table's names as UTF-16, built once.
const std::vector<std::u16string>& WideNames() {
  static const std::vector<std::u16string> wide = [] {
    std::vector<std::u16string> names;
    for (size_t i = 0; i < PropTagCount(); ++i) {
      const std::string_view n = PropTagAt(i).name;
      names.emplace_back(n.begin(), n.end());  // the names are ASCII
    }
    return names;
  }();
  return wide;
}

// UTF-16 to UTF-8 into out[0..cap), NUL-terminated. False when it does not fit.
bool WideToAnsi(const std::u16string& wide, char* out, size_t cap) {
  size_t n = 0;
  for (size_t i = 0; i < wide.size(); ++i) {
    uint32_t c = wide[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    }
    char buf[4];
    size_t len;
    if (c < 0x80) {
      buf[0] = static_cast<char>(c);
      len = 1;
    } else if (c < 0x800) {
      buf[0] = static_cast<char>(0xC0 | c >> 6);
      buf[1] = static_cast<char>(0x80 | (c & 0x3F));
      len = 2;
    } else if (c < 0x10000) {
      buf[0] = static_cast<char>(0xE0 | c >> 12);
      buf[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      buf[2] = static_cast<char>(0x80 | (c & 0x3F));
      len = 3;
    } else {
      buf[0] = static_cast<char>(0xF0 | c >> 18);
      buf[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
      buf[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      buf[3] = static_cast<char>(0x80 | (c & 0x3F));
      len = 4;
    }
    if (n + len >= cap) return false;
    std::memcpy(out + n, buf, len);
    n += len;
  }
  out[n] = '\0';
  return true;
}

bool ScanTagFromName(const char* name, uint32_t* tag) {
  const std::vector<std::u16string>& wide = WideNames();
  for (size_t i = 0; i < wide.size(); ++i) {
    char ansi[256];
    if (WideToAnsi(wide[i], ansi, sizeof ansi) && std::strcmp(ansi, name) == 0) {
      *tag = PropTagAt(i).tag;
      return true;
    }
  }
  return false;
}

bool ScanNamesFromTag(uint32_t tag, std::vector<std::string>* names) {
  const std::vector<std::u16string>& wide = WideNames();
  bool found = false;
  for (size_t i = 0; i < wide.size(); ++i) {
    char ansi[256];
    if (PropTagAt(i).tag == tag && WideToAnsi(wide[i], ansi, sizeof ansi)) {
      names->emplace_back(ansi);
      found = true;
    }
  }
  return found;
}

size_t ScanNamedPropertyIndex(const char* name) {
  for (size_t i = 0; i < NamedPropertyCount(); ++i) {
    if (std::strcmp(NamedPropertyAt(i).name.data(), name) == 0) return i;
  }
  return NamedPropertyCount();
}

void BM_TagFromName(benchmark::State& state, const char* name) {
  uint32_t tag = 0;
  for (auto _ : state) benchmark::DoNotOptimize(TagFromName(name, &tag));
}

void BM_ScanTagFromName(benchmark::State& state, const char* name) {
  WideNames();
  uint32_t tag = 0;
  for (auto _ : state) benchmark::DoNotOptimize(ScanTagFromName(name, &tag));
}

void BM_NamesFromTag(benchmark::State& state) {
  std::vector<std::string> names;
  for (auto _ : state) {
    names.clear();
    benchmark::DoNotOptimize(NamesFromTag(kDisplayNameTag, &names));
  }
}

void BM_ScanNamesFromTag(benchmark::State& state) {
  WideNames();
  std::vector<std::string> names;
  for (auto _ : state) {
    names.clear();
    benchmark::DoNotOptimize(ScanNamesFromTag(kDisplayNameTag, &names));
  }
}

// The last named-property entry, or an absent name.
const char* NamedProbe(bool last) {
  return last ? NamedPropertyAt(NamedPropertyCount() - 1).name.data() : "PidLidNoSuchProperty";
}

void BM_NamedPropertyIndex(benchmark::State& state, bool last) {
  const char* name = NamedProbe(last);
  for (auto _ : state) benchmark::DoNotOptimize(NamedPropertyIndex(name));
}

void BM_ScanNamedPropertyIndex(benchmark::State& state, bool last) {
  const char* name = NamedProbe(last);
  for (auto _ : state) benchmark::DoNotOptimize(ScanNamedPropertyIndex(name));
}

BENCHMARK_CAPTURE(BM_TagFromName, first, kFirstName);
BENCHMARK_CAPTURE(BM_ScanTagFromName, first, kFirstName);
BENCHMARK_CAPTURE(BM_TagFromName, last, kLastName);
BENCHMARK_CAPTURE(BM_ScanTagFromName, last, kLastName);
BENCHMARK_CAPTURE(BM_TagFromName, absent, kAbsentName);
BENCHMARK_CAPTURE(BM_ScanTagFromName, absent, kAbsentName);
BENCHMARK(BM_NamesFromTag);
BENCHMARK(BM_ScanNamesFromTag);
BENCHMARK_CAPTURE(BM_NamedPropertyIndex, last, true);
BENCHMARK_CAPTURE(BM_ScanNamedPropertyIndex, last, true);
BENCHMARK_CAPTURE(BM_NamedPropertyIndex, absent, false);
BENCHMARK_CAPTURE(BM_ScanNamedPropertyIndex, absent, false);

}  // namespace

BENCHMARK_MAIN();
