// request_parse.h: checking and parsing the JSON text of a request frame.
//
// Before a text is parsed it is scanned once: a nesting deeper than
// kMaxRequestNesting refuses it, and the scan bounds the memory its parse
// tree can take, so the request memory budget is charged before the tree
// exists. Parsing is iterative: no recursion on the thread's stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <rapidjson/document.h>

namespace zuv {

constexpr int kMaxRequestNesting = 64;

struct RequestScan {
  int depth = 0;               // deepest nesting of arrays and objects
  size_t values = 0;           // upper bound of the values in the text
  size_t tree_bytes = 0;       // upper bound of the parse tree's memory
};

// Scans len bytes of JSON text. 0, or 1 with *err set when the nesting is
// deeper than kMaxRequestNesting (the scan stops there).
[[nodiscard]] uint32_t ScanRequestText(const char* text, size_t len, RequestScan* out,
                                       std::string* err);

// Parses the text into *doc without recursion. Returns true when it is a
// JSON object (trailing bytes after the object are ignored).
bool ParseRequestText(const char* text, size_t len, rapidjson::Document* doc);

// The envelope numbers: ProtocolVersion and Request count only as JSON
// integers within 32 bits; anything else reads as 0.
struct RequestEnvelope {
  int32_t version = 0;
  int32_t code = 0;
};
RequestEnvelope ReadEnvelope(const rapidjson::Document& doc);

}  // namespace zuv
