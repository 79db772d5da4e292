// request_parse.cpp: the pre-parse scan and the iterative parse of requests.
#include "front/request_parse.h"

#include "handlers/request_reading.h"

namespace zuv {
namespace {

// Bytes a parsed value may take: the value (16 bytes) on the parser's stack,
// whose capacity grows by half again, and its copy in the document's pool;
// object members count twice (name and value).
constexpr size_t kTreeBytesPerValue = 64;

// Bytes a byte of text may take: a string is gathered on the parser's own
// stack, which grows by half again and holds its old and new block while
// growing (2.5 times the string), then copied into the document's pool.
constexpr size_t kTreeBytesPerTextByte = 3;

}  // namespace

uint32_t ScanRequestText(const char* text, size_t len, RequestScan* out, std::string* err) {
  RequestScan scan;
  int depth = 0;
  bool in_string = false;
  size_t values = 1;
  for (size_t i = 0; i < len; ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '[':
      case '{':
        if (++depth > kMaxRequestNesting) {
          *err = "request nested more than " + std::to_string(kMaxRequestNesting) + " levels deep";
          return 1;
        }
        if (depth > scan.depth) scan.depth = depth;
        ++values;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      case ',':
      case ':':
        ++values;
        break;
      default:
        break;
    }
  }
  scan.values = values;
  scan.tree_bytes = values * kTreeBytesPerValue + len * kTreeBytesPerTextByte;
  *out = scan;
  return 0;
}

bool ParseRequestText(const char* text, size_t len, rapidjson::Document* doc) {
  doc->Parse<rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseIterativeFlag>(text, len);
  return !doc->HasParseError() && doc->IsObject();
}

RequestEnvelope ReadEnvelope(const rapidjson::Document& doc) {
  RequestEnvelope e;
  e.version = ReadIntKey(doc, "ProtocolVersion");
  e.code = ReadIntKey(doc, "Request");
  return e;
}

}  // namespace zuv
