// fuzz_request.cpp: the input is what a client sends on a JSON connection.
//
// Frames are taken one after another as the connection loop takes them: the
// first read (up to 15 bytes, NUL after them) goes to ParseFrameStart, the
// rest of the announced count follows, and the text is scanned, parsed and
// read through a RequestContext with every reader. Nothing is sent and no
// handler runs. The loop's stops are kept: a bad frame, a refused scan, a
// wrong protocol version or a Close request ends the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <sanitizer/allocator_interface.h>

#include "base/request_codes.h"
#include "base/wire.h"
#include "front/front.h"
#include "front/request_parse.h"
#include "fuzz_support.h"
#include "handlers/request_context.h"
#include "handlers/request_reading.h"

namespace {

constexpr size_t kFirstReadBytes = 15;

// Heap bytes this thread allocates while metering is on, and their peak.
struct HeapMeter {
  bool on = false;
  int64_t now = 0;
  int64_t peak = 0;
};
thread_local HeapMeter t_meter;

void OnMalloc(const volatile void* /*p*/, size_t size) {
  if (!t_meter.on) return;
  t_meter.now += static_cast<int64_t>(size);
  if (t_meter.now > t_meter.peak) t_meter.peak = t_meter.now;
}

void OnFree(const volatile void* p) {
  if (!t_meter.on || p == nullptr) return;
  t_meter.now -= static_cast<int64_t>(__sanitizer_get_allocated_size(p));
}

// What a parse allocates whatever its text: the document's first pool chunk
// (64 KiB), the reader's and the document's first stack blocks, headers.
constexpr size_t kParserFixedBytes = 64 * 1024 + 4 * 1024;

// Extra coverage for libFuzzer: how far a parse's peak went past the scan's
// bound, in steps of 256 bytes, so inputs that take more memory than they
// are charged for are kept and grown.
__attribute__((used, section("__libfuzzer_extra_counters"))) uint8_t g_peak_over_bound[512];

void CountPeakOverBound(int64_t peak, size_t bound) {
  int64_t over = peak - static_cast<int64_t>(bound);
  size_t step = over <= 0 ? 0 : static_cast<size_t>(over / 256);
  g_peak_over_bound[std::min(step, sizeof g_peak_over_bound - 1)] = 1;
}

// Keys the handlers read, and a few near them.
constexpr const char* kKeys[] = {
    "ProtocolVersion", "Request", "Mailbox", "ServerName", "StoreDN", "UserDN", "AltMailbox",
    "EntryID", "StoreEntryID", "FolderEntryID", "ClientIdentifier", "identifier", "ColumnList",
    "FolderHierarchy", "FolderRequest", "FolderClass", "Name", "startIndex", "numEntries",
    "CacheData", "RefreshCache", "CreateIfNotExists", "NotificationURL", "SearchCriteria",
    "SetData", "PropertyList", "Email", "Count", "Type", ""};

// Walks a parsed value without recursion: deepest nesting and values held,
// object member names counted as values.
void Measure(const rapidjson::Value& root, int* depth, size_t* values) {
  struct Item {
    const rapidjson::Value* v;
    int depth;
  };
  std::vector<Item> todo{{&root, 1}};
  *depth = 0;
  *values = 0;
  while (!todo.empty()) {
    Item item = todo.back();
    todo.pop_back();
    ++*values;
    if (item.v->IsObject()) {
      *depth = std::max(*depth, item.depth);
      for (const auto& m : item.v->GetObject()) {
        ++*values;
        todo.push_back({&m.value, item.depth + 1});
      }
    } else if (item.v->IsArray()) {
      *depth = std::max(*depth, item.depth);
      for (const auto& e : item.v->GetArray()) todo.push_back({&e, item.depth + 1});
    }
  }
}

void ReadEverything(const rapidjson::Document& request, int code) {
  zuv::ConnectionContext conn;  // no socket: nothing may be sent
  std::strcpy(conn.name, "fuzz.0");
  zuv::ServerInfo server;
  server.mailbox = zuv::ReadStringKey(request, "Mailbox");
  server.server = zuv::ReadStringKey(request, "ServerName");
  zuv::RequestContext ctx(&conn, request, static_cast<zuv::RequestCode>(code), std::move(server));

  for (const char* key : kKeys) {
    std::string s = ctx.String(key);
    int32_t n = ctx.Number(key);
    bool b = ctx.Boolean(key);
    const rapidjson::Value* array = ctx.Array(key);
    std::vector<std::string> strings = ctx.StringArray(key);
    std::string id = ctx.EntryID(key);
    ZUV_FUZZ_CHECK(array != nullptr || strings.empty());
    ZUV_FUZZ_CHECK(array == nullptr || strings.size() <= array->Size());
    ZUV_FUZZ_CHECK(id == s || (id.empty() && s == "ZUV_PF_STORE_ENTRYID"));
    ZUV_FUZZ_CHECK(s.empty() || (n == 0 && !b && array == nullptr));
    (void)n;
    (void)b;
  }

  for (uint32_t accepted = 0; accepted < 16; ++accepted) {
    std::vector<search_criteria_element> criteria = zuv::ReadSearchCriteria(request, accepted);
    for (const search_criteria_element& e : criteria) {
      ZUV_FUZZ_CHECK(e.type == e.value.kind);
      ZUV_FUZZ_CHECK(!e.value.has_value || e.value.kind == 3 || e.value.kind == 11 ||
                     e.value.kind == 30 || e.value.kind == 64);
    }
    std::vector<set_data_element> data = zuv::ReadSetData(request, accepted);
    for (const set_data_element& e : data) ZUV_FUZZ_CHECK(e.type == e.value.kind);
  }
  std::vector<custom_property> properties = zuv::ReadPropertyList(request);
  (void)properties;

  // AltMailbox "1" asks the directory; that is left out.
  if (zuv::ReadStringKey(request, "AltMailbox") != "1") {
    ZUV_FUZZ_CHECK(ctx.ReadServerInfo() == 0);
  }
}

// One frame at data[0..size); returns the bytes it took, or 0 when the loop
// would close the connection after it.
size_t OneFrame(const uint8_t* data, size_t size) {
  size_t got = std::min(size, kFirstReadBytes);
  std::unique_ptr<char[]> first(new char[got + 1]);  // exact size: ASan sees any overrun
  std::memcpy(first.get(), data, got);
  first[got] = '\0';

  zuv::FrameStart frame;
  std::string err;
  if (zuv::ParseFrameStart(first.get(), got, &frame, &err) != 0) {
    ZUV_FUZZ_CHECK(!err.empty());
    return 0;
  }
  ZUV_FUZZ_CHECK(frame.count > 0 && frame.count <= zuv::kMaxRequestBytes);
  ZUV_FUZZ_CHECK(frame.json_offset <= got);
  ZUV_FUZZ_CHECK(frame.json_offset + frame.json_bytes <= got);
  ZUV_FUZZ_CHECK(frame.json_bytes <= static_cast<size_t>(frame.count));

  // The rest of the count arrives after the first read; the input may end
  // first, as a closed stream would.
  size_t count = static_cast<size_t>(frame.count);
  size_t more = std::min(count - frame.json_bytes, size - got);
  size_t held = frame.json_bytes + more;
  std::unique_ptr<char[]> body(new char[held + 1]);
  std::memcpy(body.get(), first.get() + frame.json_offset, frame.json_bytes);
  std::memcpy(body.get() + frame.json_bytes, data + got, more);
  body[held] = '\0';
  const char* text = body.get();

  zuv::RequestScan scan;
  if (zuv::ScanRequestText(text, held, &scan, &err) != 0) return 0;
  ZUV_FUZZ_CHECK(scan.depth <= zuv::kMaxRequestNesting);

  rapidjson::Document request;
  t_meter = HeapMeter{true, 0, 0};
  const bool parsed = zuv::ParseRequestText(text, held, &request);
  t_meter.on = false;
  // The scan bounds the heap the parse takes at its peak, apart from the
  // parser's fixed first blocks (one pool chunk, the two stacks' first
  // capacities).
  CountPeakOverBound(t_meter.peak, scan.tree_bytes);
  ZUV_FUZZ_CHECK(t_meter.peak <= static_cast<int64_t>(scan.tree_bytes + kParserFixedBytes));
  if (parsed) {
    // The scan bounds what the parse builds.
    int depth = 0;
    size_t values = 0;
    Measure(request, &depth, &values);
    ZUV_FUZZ_CHECK(depth <= scan.depth);
    ZUV_FUZZ_CHECK(values <= scan.values);
    ZUV_FUZZ_CHECK(request.GetAllocator().Size() <= scan.tree_bytes);
  }
  const zuv::RequestEnvelope envelope = parsed ? zuv::ReadEnvelope(request) : zuv::RequestEnvelope{};
  // The readers take any object; the loop itself stops at a wrong version.
  if (parsed) ReadEverything(request, envelope.code);
  if (envelope.version != zuv::kProtocolVersion) return 0;
  if (envelope.code == static_cast<int>(zuv::RequestCode::kClose)) return 0;
  return got + more;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zuv::fuzz::QuietLogs();
  __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  while (size > 0) {
    size_t used = OneFrame(data, size);
    if (used == 0) break;
    data += used;
    size -= used;
  }
  return 0;
}
