// registry_file.cpp: parser of registry export files and the process registry.
#include "base/registry_file.h"

#include "mapi/mapiutil.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/logging.h"

namespace zuv {

namespace {

constexpr std::string_view kHeaderV5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeaderV4 = "REGEDIT4";

struct HiveName {
  std::string_view full;
  std::string_view alias;
};
constexpr HiveName kHives[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM"}, {"HKEY_CURRENT_USER", "HKCU"},
    {"HKEY_CLASSES_ROOT", "HKCR"},  {"HKEY_USERS", "HKU"},
    {"HKEY_CURRENT_CONFIG", "HKCC"},
};

char FoldChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = FoldChar(c);
  return out;
}

bool EqualsFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  }
  return true;
}

bool StartsWithFolded(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsFolded(s.substr(0, prefix.size()), prefix);
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses 1..max_digits hex digits making up all of s.
bool ParseHex(std::string_view s, size_t max_digits, uint32_t* out) {
  if (s.empty() || s.size() > max_digits) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

// UTF-16LE bytes to UTF-8; an odd last byte is dropped.
std::string Utf16LeToUtf8(const uint8_t* p, size_t n) {
  std::u16string units(n / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
  }
  return zuvstore::Utf16ToUtf8(units.data(), units.size());
}

// Turns "HKLM\A\B" into "HKEY_LOCAL_MACHINE\A\B". False when the hive is
// unknown or a name component is empty.
bool CanonicalPath(std::string_view path, std::string* out, std::string* why) {
  size_t cut = path.find('\\');
  std::string_view hive = path.substr(0, cut);
  std::string_view rest = cut == std::string_view::npos ? std::string_view() : path.substr(cut);
  const HiveName* found = nullptr;
  for (const HiveName& h : kHives) {
    if (EqualsFolded(hive, h.full) || EqualsFolded(hive, h.alias)) found = &h;
  }
  if (found == nullptr) {
    if (why) *why = "unknown hive '" + std::string(hive) + "'";
    return false;
  }
  if (cut != std::string_view::npos &&
      (rest.size() == 1 || rest.find("\\\\") != std::string_view::npos || rest.back() == '\\')) {
    if (why) *why = "empty name in key path";
    return false;
  }
  out->assign(found->full);
  out->append(rest);
  return true;
}

// Reads a quoted string starting at s[0] == '"'. Escapes: \\ and \".
// On success *end is the index just past the closing quote.
bool ParseQuoted(std::string_view s, std::string* out, size_t* end, std::string* why) {
  out->clear();
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      *end = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
        out->push_back(s[++i]);
        continue;
      }
      *why = "bad escape in quoted string (only \\\\ and \\\" are allowed)";
      return false;
    }
    out->push_back(c);
  }
  *why = "unterminated quoted string";
  return false;
}

// Comma-separated hex bytes; a trailing comma and an empty list are allowed.
bool ParseHexList(std::string_view s, std::vector<uint8_t>* out, std::string* why) {
  out->clear();
  s = Trim(s);
  if (s.empty()) return true;
  size_t pos = 0;
  while (true) {
    size_t comma = s.find(',', pos);
    std::string_view item = Trim(s.substr(pos, comma == std::string_view::npos ? s.npos : comma - pos));
    bool last = comma == std::string_view::npos;
    if (item.empty() && last && !out->empty()) return true;  // trailing comma
    uint32_t byte = 0;
    if (!ParseHex(item, 2, &byte)) {
      *why = "bad hex byte '" + std::string(item) + "'";
      return false;
    }
    out->push_back(static_cast<uint8_t>(byte));
    if (last) return true;
    pos = comma + 1;
  }
}

}  // namespace

const RegistryValue* RegistryKey::FindValue(std::string_view name) const {
  auto it = values_.find(Fold(name));
  return it == values_.end() ? nullptr : &it->second;
}

// One pass over the lines of a file. Problems are recorded and the line
// skipped; only a missing header stops the parse.
class RegistryFile::Parser {
 public:
  explicit Parser(RegistryFile* file) : file_(file) {}

  uint32_t Run(std::string_view text, std::string* err) {
    std::string converted;
    if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF &&
        static_cast<uint8_t>(text[1]) == 0xFE) {
      converted = Utf16LeToUtf8(reinterpret_cast<const uint8_t*>(text.data()) + 2, text.size() - 2);
      text = converted;
    } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
      text.remove_prefix(3);
    }
    SplitLines(text);

    size_t i = 0;
    for (; i < lines_.size(); ++i) {
      std::string_view line = Trim(lines_[i]);
      if (line.empty() || line.front() == ';') continue;
      if (line == kHeaderV5) {
        unicode_ = true;
      } else if (line != kHeaderV4) {
        if (err) {
          *err = "line " + std::to_string(i + 1) + ": not a registry file (expected \"" +
                 std::string(kHeaderV5) + "\" or \"" + std::string(kHeaderV4) + "\")";
        }
        return kRegistryFileUnreadable;
      }
      break;
    }
    if (i == lines_.size()) {
      if (err) *err = "not a registry file (no header line)";
      return kRegistryFileUnreadable;
    }

    for (++i; i < lines_.size(); ++i) {
      std::string_view line = Trim(lines_[i]);
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        KeyLine(static_cast<int>(i + 1), line);
      } else if (line.front() == '"' || line.front() == '@') {
        ValueLine(&i, line);
      } else {
        Problem(static_cast<int>(i + 1), "not a key, value or comment line");
      }
    }
    return 0;
  }

 private:
  void SplitLines(std::string_view text) {
    size_t pos = 0;
    while (pos <= text.size()) {
      size_t nl = text.find('\n', pos);
      if (nl == std::string_view::npos) {
        if (pos < text.size()) lines_.push_back(text.substr(pos));
        break;
      }
      lines_.push_back(text.substr(pos, nl - pos));
      pos = nl + 1;
    }
  }

  void Problem(int line, std::string text) {
    file_->problems_.push_back(RegistryProblem{line, std::move(text)});
  }

  void KeyLine(int line_no, std::string_view line) {
    // A malformed key line also drops the values that follow it, so they do
    // not land in whatever key came before.
    current_ = nullptr;
    in_key_section_ = true;
    size_t close = line.rfind(']');
    if (close == std::string_view::npos || close != line.size() - 1) {
      Problem(line_no, "key line without closing ']'");
      return;
    }
    std::string_view path = line.substr(1, close - 1);
    bool remove = !path.empty() && path.front() == '-';
    if (remove) path.remove_prefix(1);
    std::string canon, why;
    if (!CanonicalPath(path, &canon, &why)) {
      Problem(line_no, why);
      return;
    }
    std::string folded = Fold(canon);
    if (remove) {
      auto& keys = file_->keys_;
      keys.erase(folded);
      std::string prefix = folded + "\\";
      for (auto it = keys.lower_bound(prefix);
           it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
        it = keys.erase(it);
      }
      return;
    }
    // Ancestors first, as an import into the registry creates them.
    for (size_t cut = canon.find('\\'); cut != std::string::npos; cut = canon.find('\\', cut + 1)) {
      CreateKey(canon.substr(0, cut), folded.substr(0, cut));
    }
    current_ = CreateKey(canon, folded);
  }

  RegistryKey* CreateKey(const std::string& canon, const std::string& folded) {
    auto [it, inserted] = file_->keys_.try_emplace(folded);
    if (inserted) it->second.path_ = canon;
    return &it->second;
  }

  // Handles the value line at lines_[*index], consuming continuation lines
  // of a hex list; *index ends on the last line used.
  void ValueLine(size_t* index, std::string_view line) {
    int line_no = static_cast<int>(*index + 1);
    std::string name, why;
    size_t pos = 0;
    if (line.front() == '@') {
      pos = 1;
    } else if (!ParseQuoted(line, &name, &pos, &why)) {
      Problem(line_no, "value name: " + why);
      return;
    }
    std::string_view rest = Trim(line.substr(pos));
    if (rest.empty() || rest.front() != '=') {
      Problem(line_no, "expected '=' after the value name");
      return;
    }
    std::string_view data = Trim(rest.substr(1));

    // Hex lists may go on over several lines, each but the last ending in '\'.
    std::string joined;
    if (StartsWithFolded(data, "hex")) {
      joined.assign(data);
      while (!joined.empty() && joined.back() == '\\' && *index + 1 < lines_.size()) {
        joined.pop_back();
        joined.append(Trim(lines_[++*index]));
      }
      if (!joined.empty() && joined.back() == '\\') joined.pop_back();  // at end of file
      data = joined;
    }

    if (current_ == nullptr) {
      // Under a deleted or malformed key, values are dropped as on import.
      if (!in_key_section_) Problem(line_no, "value line before any key line");
      return;
    }

    RegistryValue value;
    value.name = name;
    if (data == "-") {
      current_->values_.erase(Fold(name));
      return;
    }
    if (!ParseData(data, &value, &why)) {
      Problem(line_no, why);
      return;
    }
    current_->values_[Fold(name)] = std::move(value);
  }

  bool ParseData(std::string_view data, RegistryValue* value, std::string* why) {
    if (!data.empty() && data.front() == '"') {
      std::string text;
      size_t end = 0;
      if (!ParseQuoted(data, &text, &end, why)) return false;
      if (!Trim(data.substr(end)).empty()) {
        *why = "text after the closing quote";
        return false;
      }
      value->type = REG_SZ;
      value->data.assign(text.begin(), text.end());
      value->data.push_back(0);
      return true;
    }
    if (StartsWithFolded(data, "dword:")) {
      uint32_t v = 0;
      if (!ParseHex(Trim(data.substr(6)), 8, &v)) {
        *why = "bad dword (expected up to 8 hex digits)";
        return false;
      }
      value->type = REG_DWORD;
      value->data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                     static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
      return true;
    }
    std::string_view list;
    if (StartsWithFolded(data, "hex:")) {
      value->type = REG_BINARY;
      list = data.substr(4);
    } else if (StartsWithFolded(data, "hex(")) {
      size_t close = data.find(')');
      if (close == std::string_view::npos || close + 1 >= data.size() || data[close + 1] != ':' ||
          !ParseHex(data.substr(4, close - 4), 8, &value->type)) {
        *why = "bad hex(type): prefix";
        return false;
      }
      list = data.substr(close + 2);
    } else {
      *why = "unknown value data (expected \"text\", dword:, hex:, hex(n): or -)";
      return false;
    }
    if (!ParseHexList(list, &value->data, why)) return false;
    bool string_type = value->type == REG_SZ || value->type == REG_EXPAND_SZ ||
                       value->type == REG_MULTI_SZ;
    if (unicode_ && string_type) {
      std::string utf8 = Utf16LeToUtf8(value->data.data(), value->data.size());
      value->data.assign(utf8.begin(), utf8.end());
    }
    return true;
  }

  RegistryFile* file_;
  std::vector<std::string_view> lines_;
  RegistryKey* current_ = nullptr;  // key of the last key line, null after a deletion
  bool in_key_section_ = false;     // a key line has been seen
  bool unicode_ = false;            // version 5 file: hex string data is UTF-16LE
};

uint32_t RegistryFile::Parse(std::string_view text, std::string* err) {
  keys_.clear();
  problems_.clear();
  Parser parser(this);
  uint32_t rc = parser.Run(text, err);
  if (rc != 0) {
    keys_.clear();
    problems_.clear();
  }
  return rc;
}

uint32_t RegistryFile::Load(const std::string& path, std::string* err) {
  keys_.clear();
  problems_.clear();
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    int e = errno;
    if (err) *err = path + ": " + std::strerror(e);
    return e == ENOENT ? kRegistryFileMissing : kRegistryFileUnreadable;
  }
  std::string text;
  char buf[16384];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  bool failed = std::ferror(f) != 0;
  int e = errno;
  std::fclose(f);
  if (failed) {
    if (err) *err = path + ": " + std::strerror(e);
    return kRegistryFileUnreadable;
  }
  return Parse(text, err);
}

const RegistryKey* RegistryFile::FindKey(std::string_view full_path) const {
  std::string canon;
  if (!CanonicalPath(full_path, &canon, nullptr)) return nullptr;
  auto it = keys_.find(Fold(canon));
  return it == keys_.end() ? nullptr : &it->second;
}

const RegistryKey* RegistryFile::OpenKey(std::string_view hklm_subpath) const {
  std::string full = "HKEY_LOCAL_MACHINE";
  if (!hklm_subpath.empty()) {
    full.push_back('\\');
    full.append(hklm_subpath);
  }
  return FindKey(full);
}

uint32_t QueryValue(const RegistryKey* key, const char* name, uint32_t* type, void* data,
                    uint32_t* size) {
  if (key == nullptr) return kRegInvalidHandle;
  if (data != nullptr && size == nullptr) return kRegInvalidParameter;
  const RegistryValue* value = key->FindValue(name == nullptr ? "" : name);
  if (value == nullptr) return kRegNotFound;
  if (type != nullptr) *type = value->type;
  uint32_t needed = static_cast<uint32_t>(value->data.size());
  if (data != nullptr && *size < needed) {
    *size = needed;
    return kRegMoreData;
  }
  if (data != nullptr && needed > 0) std::memcpy(data, value->data.data(), needed);
  if (size != nullptr) *size = needed;
  return kRegSuccess;
}

namespace {

// Never destroyed: threads still running at exit may read it.
RegistryFile& ProcessRegistryInstance() {
  static RegistryFile* registry = new RegistryFile;
  return *registry;
}

std::once_flag g_process_registry_once;

void LogLoadResult(const std::string& path, uint32_t rc, const std::string& err) {
  const RegistryFile& registry = ProcessRegistryInstance();
  if (rc == kRegistryFileMissing) {
    NLog_InfoA("ZUV", "Registry file %s not found: no registry keys", path.c_str());
    return;
  }
  if (rc != 0) {
    NLog_ErrorA("ZUV", "Cannot read the registry file %s: %s", path.c_str(), err.c_str());
    return;
  }
  for (const RegistryProblem& p : registry.Problems()) {
    NLog_WarnA("ZUV", "Registry file %s line %d skipped: %s", path.c_str(), p.line,
               p.text.c_str());
  }
  NLog_TraceA("ZUV", "Read the registry file %s: %zu keys", path.c_str(), registry.KeyCount());
}

uint32_t LoadAndLog(const std::string& path, std::string* err) {
  std::string text;
  uint32_t rc = ProcessRegistryInstance().Load(path, &text);
  LogLoadResult(path, rc, text);
  if (err) *err = text;
  return rc;
}

}  // namespace

const RegistryFile& ProcessRegistry() {
  std::call_once(g_process_registry_once, [] {
    const char* env = std::getenv("TOVANIX_REGISTRY");
    std::string path = (env != nullptr && *env != '\0') ? env : kDefaultRegistryPath;
    (void)LoadAndLog(path, nullptr);
  });
  return ProcessRegistryInstance();
}

uint32_t LoadProcessRegistryForTest(const std::string& path, std::string* err) {
  std::call_once(g_process_registry_once, [] {});
  return LoadAndLog(path, err);
}

uint32_t SetProcessRegistryTextForTest(std::string_view text, std::string* err) {
  std::call_once(g_process_registry_once, [] {});
  std::string why;
  uint32_t rc = ProcessRegistryInstance().Parse(text, &why);
  LogLoadResult("(test text)", rc, why);
  if (err) *err = why;
  return rc;
}

}  // namespace zuv
