// gen_prop_tags.cpp: build-time generator of the property-name tables.
//
// Usage: gen_prop_tags PROPTAGS.tsv NAMEDPROPS.tsv GUIDS.tsv OUT.cpp
//
// Reads the three tab-separated tables (first line a '#' header, then one row
// per entry in table order), checks every field, and writes OUT.cpp defining
// the arrays declared in prop_tags_index.h: the tables themselves, the name
// indexes (laid out by the BuildNameIndex the runtime probes against) and the
// tag index. Names are written as the file's bytes: the tables are UTF-8, the
// service's ANSI code page. Exits 0 on success; on any error prints
// "gen_prop_tags: FILE:LINE: what" to stderr, exits 1 and leaves OUT.cpp as it
// was (the output is written to OUT.cpp.tmp and renamed).
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "mapi_access/prop_tags_index.h"

namespace {

using zuv::prop_tags_index::BuildNameIndex;
using zuv::prop_tags_index::NameSlot;

struct TsvRow {
  int line;
  std::vector<std::string> fields;
};

struct TagRow {
  uint32_t tag;
  uint32_t sort;
  std::string name;
};

struct NamedRow {
  uint32_t lid;
  size_t guid_index;
  std::string name;
  uint32_t type;
  std::string area;
};

struct GuidRow {
  GUID guid;
  std::string name;
};

// The first error met; the loaders stop at it.
std::string g_error;

bool Fail(const std::string& file, int line, const std::string& what) {
  if (g_error.empty()) g_error = file + ":" + std::to_string(line) + ": " + what;
  return false;
}

// Reads a TSV file whose rows have exactly `columns` fields.
bool ReadTsv(const std::string& path, size_t columns, std::vector<TsvRow>* rows) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail(path, 0, "cannot open");
  std::string text;
  int line_no = 0;
  while (std::getline(in, text)) {
    ++line_no;
    if (line_no == 1) {
      if (text.empty() || text[0] != '#') return Fail(path, 1, "missing '#' header line");
      continue;
    }
    if (!text.empty() && text.back() == '\r') return Fail(path, line_no, "CR line end");
    if (text.empty()) return Fail(path, line_no, "empty line");
    TsvRow row{line_no, {}};
    size_t start = 0;
    for (;;) {
      size_t tab = text.find('\t', start);
      row.fields.push_back(text.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (row.fields.size() != columns) {
      return Fail(path, line_no,
                  "expected " + std::to_string(columns) + " fields, found " +
                      std::to_string(row.fields.size()));
    }
    rows->push_back(std::move(row));
  }
  if (rows->empty()) return Fail(path, line_no, "no rows");
  return true;
}

// Parses all of `text` as a number in `base`; no sign, prefix or spaces.
bool ParseNumber(std::string_view text, int base, uint32_t* value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, *value, base);
  return ec == std::errc() && ptr == end;
}

// Exactly `digits` hex digits at text[pos..].
bool ParseHexDigits(std::string_view text, size_t pos, size_t digits, uint32_t* value) {
  return pos + digits <= text.size() && ParseNumber(text.substr(pos, digits), 16, value);
}

// "0x" followed by exactly `digits` hex digits.
bool ParseHexField(std::string_view text, size_t digits, uint32_t* value) {
  return text.size() == 2 + digits && text.substr(0, 2) == "0x" &&
         ParseHexDigits(text, 2, digits, value);
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
bool ParseGuid(std::string_view text, GUID* guid) {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
      text[19] != '-' || text[24] != '-') {
    return false;
  }
  uint32_t d1, d2, d3;
  if (!ParseHexDigits(text, 1, 8, &d1) || !ParseHexDigits(text, 10, 4, &d2) ||
      !ParseHexDigits(text, 15, 4, &d3)) {
    return false;
  }
  guid->Data1 = d1;
  guid->Data2 = static_cast<uint16_t>(d2);
  guid->Data3 = static_cast<uint16_t>(d3);
  static constexpr size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (size_t i = 0; i < 8; ++i) {
    uint32_t b;
    if (!ParseHexDigits(text, kBytePos[i], 2, &b)) return false;
    guid->Data4[i] = static_cast<uint8_t>(b);
  }
  return true;
}

// Reads the fields of one row, reporting the first bad one.
class FieldReader {
 public:
  FieldReader(const std::string& path, const TsvRow& row) : path_(path), row_(row) {}

  // "0x" and exactly `digits` hex digits.
  bool Hex(size_t col, size_t digits, const char* what, uint32_t* value) const {
    return ParseHexField(row_.fields[col], digits, value) || Bad(col, what);
  }
  bool Decimal(size_t col, const char* what, uint32_t* value) const {
    return ParseNumber(row_.fields[col], 10, value) || Bad(col, what);
  }
  bool Guid(size_t col, const char* what, GUID* value) const {
    return ParseGuid(row_.fields[col], value) || Bad(col, what);
  }
  // Any non-empty text without NUL bytes.
  bool Text(size_t col, const char* what, std::string* value) const {
    const std::string& text = row_.fields[col];
    if (text.empty() || text.find('\0') != std::string::npos) return Bad(col, what);
    *value = text;
    return true;
  }
  bool Fail(const std::string& what) const { return ::Fail(path_, row_.line, what); }

 private:
  bool Bad(size_t col, const char* what) const {
    return Fail(std::string("bad ") + what + " '" + row_.fields[col] + "'");
  }

  const std::string& path_;
  const TsvRow& row_;
};

bool LoadGuids(const std::string& path, std::vector<GuidRow>* guids) {
  std::vector<TsvRow> rows;
  if (!ReadTsv(path, 2, &rows)) return false;
  std::set<std::string> seen;
  for (const TsvRow& r : rows) {
    const FieldReader f(path, r);
    GuidRow g{};
    if (!f.Text(0, "name", &g.name) || !f.Guid(1, "GUID", &g.guid)) return false;
    if (!seen.insert(g.name).second) return f.Fail("duplicate name " + g.name);
    guids->push_back(std::move(g));
  }
  return true;
}

bool LoadTags(const std::string& path, std::vector<TagRow>* tags) {
  std::vector<TsvRow> rows;
  if (!ReadTsv(path, 3, &rows)) return false;
  if (rows.size() > 0xFFFF) return Fail(path, 0, "too many rows for 16-bit run indexes");
  for (const TsvRow& r : rows) {
    const FieldReader f(path, r);
    TagRow t{};
    if (!f.Hex(0, 8, "tag", &t.tag) || !f.Decimal(1, "sort", &t.sort) ||
        !f.Text(2, "name", &t.name)) {
      return false;
    }
    tags->push_back(std::move(t));
  }
  return true;
}

bool LoadNamed(const std::string& path, const std::vector<GuidRow>& guids,
               std::vector<NamedRow>* named) {
  std::vector<TsvRow> rows;
  if (!ReadTsv(path, 5, &rows)) return false;
  std::map<std::string_view, size_t> guid_by_name;
  for (size_t i = 0; i < guids.size(); ++i) guid_by_name.emplace(guids[i].name, i);
  for (const TsvRow& r : rows) {
    const FieldReader f(path, r);
    NamedRow n{};
    std::string set;
    if (!f.Hex(0, 4, "lid", &n.lid) || !f.Text(1, "property set", &set) ||
        !f.Text(2, "name", &n.name) || !f.Hex(3, 4, "type", &n.type) ||
        !f.Text(4, "area", &n.area)) {
      return false;
    }
    auto it = guid_by_name.find(set);
    if (it == guid_by_name.end()) return f.Fail("unknown property set " + set);
    n.guid_index = it->second;
    named->push_back(std::move(n));
  }
  return true;
}

// A C++ string literal of `bytes`; anything but printable ASCII becomes an
// octal escape, which cannot run into the next character.
std::string Literal(std::string_view bytes) {
  std::string out = "\"";
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || u < 0x20 || u >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\%03o", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// {"bytes", length}: a string_view initialiser that needs no strlen.
std::string View(std::string_view bytes) {
  return "{" + Literal(bytes) + ", " + std::to_string(bytes.size()) + "}";
}

std::string Hex(uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*Xu", digits, v);
  return buf;
}

void WriteSlots(std::ostream& out, const char* array, const char* count,
                const std::vector<NameSlot>& slots) {
  out << "constinit const NameSlot " << array << "[] = {";
  for (size_t i = 0; i < slots.size(); ++i) {
    out << (i % 4 == 0 ? "\n    " : " ") << "{" << Hex(slots[i].hash, 8) << ", "
        << Hex(slots[i].index, 8) << "},";
  }
  out << "\n};\nconst size_t " << count << " = " << slots.size() << ";\n\n";
}

void WriteTables(std::ostream& out, const std::vector<TagRow>& tags,
                 const std::vector<NamedRow>& named, const std::vector<GuidRow>& guids) {
  out << "// Generated by gen_prop_tags from zuv_service/mapi_access/data/*.tsv. Do not edit.\n"
         "#include \"prop_tags_index.h\"\n\n"
         "namespace zuv::prop_tags_index {\n\n";

  out << "constinit const GuidEntry kGuids[] = {\n";
  for (const GuidRow& g : guids) {
    out << "    {{" << Hex(g.guid.Data1, 8) << ", " << Hex(g.guid.Data2, 4) << ", "
        << Hex(g.guid.Data3, 4) << ", {";
    for (size_t i = 0; i < 8; ++i) out << (i ? ", " : "") << Hex(g.guid.Data4[i], 2);
    out << "}}, " << View(g.name) << "},\n";
  }
  out << "};\nconst size_t kGuidCount = " << guids.size() << ";\n\n";

  std::vector<std::string_view> names;
  out << "constinit const PropTagEntry kPropTags[] = {\n";
  for (const TagRow& t : tags) {
    out << "    {" << Hex(t.tag, 8) << ", " << t.sort << "u, " << View(t.name) << "},\n";
    names.push_back(t.name);
  }
  out << "};\nconst size_t kPropTagCount = " << tags.size() << ";\n\n";
  WriteSlots(out, "kPropTagSlots", "kPropTagSlotCount", BuildNameIndex(names));

  // Entry indexes grouped by tag, ascending; table order within a tag.
  std::map<uint32_t, std::vector<size_t>> by_tag;
  for (size_t i = 0; i < tags.size(); ++i) by_tag[tags[i].tag].push_back(i);
  out << "constinit const TagRun kTagRuns[] = {\n";
  size_t first = 0;
  for (const auto& [tag, entries] : by_tag) {
    out << "    {" << Hex(tag, 8) << ", " << first << ", " << entries.size() << "},\n";
    first += entries.size();
  }
  out << "};\nconst size_t kTagRunCount = " << by_tag.size() << ";\n\n";
  out << "constinit const uint16_t kTagRunEntries[] = {";
  size_t n = 0;
  for (const auto& [tag, entries] : by_tag) {
    for (size_t e : entries) out << (n++ % 12 == 0 ? "\n    " : " ") << e << ",";
  }
  out << "\n};\n\n";

  names.clear();
  out << "constinit const NamedPropEntry kNamedProps[] = {\n";
  for (const NamedRow& r : named) {
    out << "    {" << Hex(r.lid, 4) << ", &kGuids[" << r.guid_index << "].guid, " << View(r.name)
        << ", " << Hex(r.type, 4) << ", " << View(r.area) << "},\n";
    names.push_back(r.name);
  }
  out << "};\nconst size_t kNamedPropCount = " << named.size() << ";\n\n";
  WriteSlots(out, "kNamedPropSlots", "kNamedPropSlotCount", BuildNameIndex(names));

  out << "}  // namespace zuv::prop_tags_index\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: gen_prop_tags PROPTAGS.tsv NAMEDPROPS.tsv GUIDS.tsv OUT.cpp\n");
    return 1;
  }
  std::vector<GuidRow> guids;
  std::vector<TagRow> tags;
  std::vector<NamedRow> named;
  if (LoadGuids(argv[3], &guids) && LoadTags(argv[1], &tags) && LoadNamed(argv[2], guids, &named)) {
    std::ostringstream text;
    WriteTables(text, tags, named, guids);
    const std::string out_path = argv[4];
    const std::string tmp_path = out_path + ".tmp";
    std::ofstream out(tmp_path, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.close();
    if (!out) {
      Fail(tmp_path, 0, "cannot write");
    } else if (std::rename(tmp_path.c_str(), out_path.c_str()) != 0) {
      Fail(out_path, 0, "cannot rename " + tmp_path);
    }
  }
  if (!g_error.empty()) {
    std::fprintf(stderr, "gen_prop_tags: %s\n", g_error.c_str());
    return 1;
  }
  return 0;
}
