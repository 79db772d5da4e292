// registry_file.h: read-only registry kept in a Windows registry export file.
//
// The service's configuration lives in a text file in the format regedit
// exports, so settings exported from a Windows machine work unchanged:
//
//   Windows Registry Editor Version 5.00        (or REGEDIT4)
//   ; comment
//   [HKEY_LOCAL_MACHINE\SOFTWARE\tovanix\tovanixZUV]
//   "ZuvPort1"=dword:00004fb0                   REG_DWORD, 4 bytes little-endian
//   "ExAlias"="svc-zuv"                         REG_SZ, escapes \\ and \"
//   "Blob"=hex:01,02,\                          REG_BINARY, '\' continues the
//     03,04                                     list on the next line
//   "Path"=hex(2):25,00,00,00                   REG_EXPAND_SZ (hex(7) multi,
//                                               hex(b) qword, hex(N) any type)
//   "Old"=-                                     deletes the value
//   @="default"                                 the key's default value
//   [-HKEY_LOCAL_MACHINE\SOFTWARE\Old]          deletes a key and its subkeys
//
// Semantics follow an import into the Windows registry:
//  - A key exists once its line has been read, with or without values; a key
//    line also creates the key's missing ancestors.
//  - Later lines win: a repeated key line reopens the key, a repeated value
//    replaces the earlier one. Value lines under a deleted key are ignored.
//  - Key and value names match case-insensitively (ASCII letters fold).
//  - Hive names are stored in full; HKLM, HKCU, HKCR, HKU and HKCC are read
//    as aliases of HKEY_LOCAL_MACHINE and the others.
//  - Values are held as RegQueryValueExA returns them: a quoted string is its
//    bytes plus a NUL; string types written as hex (1, 2, 7) in a version 5
//    file are UTF-16LE there and are converted to UTF-8 (the ANSI code page).
//  - A file may start with a UTF-8 BOM; a UTF-16LE file (BOM FF FE, as regedit
//    writes it) is converted to UTF-8 first. CRLF line ends are accepted.
//  - A malformed line is skipped and recorded in Problems() with its line
//    number; the rest of the file is still read.
//
// Threading: a RegistryFile is not modified after Parse/Load returns; any
// number of threads may then call its const members. Parse and Load must not
// run while another thread uses the object.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zuv {

// Value types, numbered as in winnt.h.
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr uint32_t REG_LINK = 6;
inline constexpr uint32_t REG_MULTI_SZ = 7;
inline constexpr uint32_t REG_QWORD = 11;

// Results of QueryValue, numbered as the Windows error codes of the same
// meaning (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE,
// ERROR_INVALID_PARAMETER, ERROR_MORE_DATA).
inline constexpr uint32_t kRegSuccess = 0;
inline constexpr uint32_t kRegNotFound = 2;
inline constexpr uint32_t kRegInvalidHandle = 6;
inline constexpr uint32_t kRegInvalidParameter = 87;
inline constexpr uint32_t kRegMoreData = 234;

// Results of RegistryFile::Load and Parse besides 0.
inline constexpr uint32_t kRegistryFileUnreadable = 1;  // I/O error or no header line
inline constexpr uint32_t kRegistryFileMissing = 2;     // the file does not exist

// One value of a key.
struct RegistryValue {
  std::string name;           // as spelled in the file; "" is the default value
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;  // the bytes RegQueryValueExA would return
};

// One key: its full path and its values. Owned by its RegistryFile.
class RegistryKey {
 public:
  // Full path with the hive name in full, as first spelled in the file,
  // e.g. "HKEY_LOCAL_MACHINE\SOFTWARE\tovanix".
  const std::string& Path() const { return path_; }

  // The value called name (case-insensitive; "" for the default value), or
  // null when the key has none.
  const RegistryValue* FindValue(std::string_view name) const;

 private:
  friend class RegistryFile;
  std::string path_;
  std::map<std::string, RegistryValue> values_;  // keyed by folded name
};

// A malformed line: what was wrong and where (1-based physical line).
struct RegistryProblem {
  int line = 0;
  std::string text;
};

// The keys and values of one registry file.
class RegistryFile {
 public:
  RegistryFile() = default;
  RegistryFile(const RegistryFile&) = delete;
  RegistryFile& operator=(const RegistryFile&) = delete;

  // Replaces the contents with those of text (the bytes of a file).
  // Returns 0 when the header line was found; malformed lines after it are
  // skipped and listed in Problems(). Returns kRegistryFileUnreadable with *err
  // set when the first line that is neither blank nor a comment is not a
  // header; the registry is then empty. err may be null.
  // Pointers from earlier OpenKey/FindKey calls become invalid.
  [[nodiscard]] uint32_t Parse(std::string_view text, std::string* err);

  // Reads the file at path and parses it as above. Returns 0, or
  // kRegistryFileMissing when the file does not exist, or
  // kRegistryFileUnreadable when it cannot be read or has no header; in both
  // failure cases *err says why and the registry is empty. err may be null.
  [[nodiscard]] uint32_t Load(const std::string& path, std::string* err);

  // The key at hklm_subpath under HKEY_LOCAL_MACHINE, like
  // RegOpenKeyExA(HKEY_LOCAL_MACHINE, hklm_subpath), e.g.
  // "SOFTWARE\\tovanix\\tovanixZUV". Null when the key does not exist.
  // The pointer is borrowed: valid until the next Parse/Load or destruction.
  const RegistryKey* OpenKey(std::string_view hklm_subpath) const;

  // The key at a full path that starts with a hive name, in full or
  // abbreviated ("HKEY_LOCAL_MACHINE\\SOFTWARE\\x" or "HKLM\\SOFTWARE\\x").
  // Null when it does not exist or the hive name is unknown. Borrowed as above.
  const RegistryKey* FindKey(std::string_view full_path) const;

  // Number of keys, ancestors created by key lines included.
  size_t KeyCount() const { return keys_.size(); }

  // Malformed lines of the last Parse/Load, in file order.
  const std::vector<RegistryProblem>& Problems() const { return problems_; }

 private:
  class Parser;

  std::map<std::string, RegistryKey> keys_;  // keyed by folded full path
  std::vector<RegistryProblem> problems_;
};

// Reads a value like RegQueryValueExA. name null or "" is the default value.
//  - Returns kRegNotFound when key has no such value.
//  - Otherwise stores the type in *type (when type is not null) and:
//    data null: stores the value's size in *size (when size is not null) and
//    returns 0;
//    data not null, *size >= the value's size: copies the value into data,
//    stores its size in *size and returns 0;
//    data not null, *size smaller: stores the needed size in *size and returns
//    kRegMoreData; data is left unchanged.
//  - Returns kRegInvalidHandle when key is null, kRegInvalidParameter when
//    data is given without size.
// A REG_SZ value's size counts its NUL, so "20411" needs 6 bytes.
[[nodiscard]] uint32_t QueryValue(const RegistryKey* key, const char* name,
                                  uint32_t* type, void* data, uint32_t* size);

// Path of the process registry when TOVANIX_REGISTRY is unset or empty.
inline constexpr const char* kDefaultRegistryPath = "/etc/tovanix/registry.reg";

// The process-wide registry. The first call loads the file named by the
// environment variable TOVANIX_REGISTRY (default kDefaultRegistryPath) and
// logs each malformed line as a warning (logger "ZUV"); a missing file gives
// an empty registry, an unreadable one an empty registry and an error line.
// Safe from any thread; the reference lives for the whole process.
const RegistryFile& ProcessRegistry();

// Test hooks: replace the contents of the process registry with the file at
// path / with text, loaded and logged as above; return what Load/Parse return.
// Later ProcessRegistry() calls return the replaced contents. Pointers into
// the previous contents become invalid.
// REQUIRES: no other thread uses the process registry meanwhile.
[[nodiscard]] uint32_t LoadProcessRegistryForTest(const std::string& path, std::string* err);
[[nodiscard]] uint32_t SetProcessRegistryTextForTest(std::string_view text, std::string* err);

}  // namespace zuv
