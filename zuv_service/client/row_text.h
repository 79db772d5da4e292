// row_text.h: the JSON text of cached rows, written straight into one
// growing buffer: each row's room is reserved once and its text written
// through a plain pointer, member names worked out once per column.
//
// Strings are escaped as RapidJSON's writer escapes them ('"', '\\',
// controls as \b \t \n \f \r or \u00XX, other bytes as they are), so the
// text is the same as a DOM-free RapidJSON writer would give.
//
// Threading: none; a buffer and a writer belong to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "table/zuv_row.h"

class ZUV_TextBuffer {
 public:
  ZUV_TextBuffer() = default;
  ~ZUV_TextBuffer();
  ZUV_TextBuffer(const ZUV_TextBuffer&) = delete;
  ZUV_TextBuffer& operator=(const ZUV_TextBuffer&) = delete;

  // Room for n more bytes; returns where they go. Aborts when out of memory.
  char* Reserve(size_t n) {
    if (capacity_ - size_ < n) Grow(n);
    return data_ + size_;
  }
  // Ends the text at end, a pointer into the room Reserve gave.
  void CommitTo(const char* end) { size_ = static_cast<size_t>(end - data_); }
  void Append(std::string_view s);
  void Append(char c) { *Reserve(1) = c; ++size_; }
  std::string_view View() const { return {data_, size_}; }
  const char* Data() const { return data_; }
  size_t Size() const { return size_; }
  size_t Capacity() const { return capacity_; }
  void Clear() { size_ = 0; }
  // Gives the memory back.
  void Release();

 private:
  void Grow(size_t n);
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool mapped_ = false;  // mmap'd pages, else malloc'd
};

// Bytes a string of n bytes can take once quoted and escaped.
constexpr size_t JsonStringBound(size_t n) { return 6 * n + 2; }
// Writes s quoted and escaped at out (room: JsonStringBound); returns the end.
char* WriteJsonString(char* out, std::string_view s);
void AppendJsonString(ZUV_TextBuffer* out, std::string_view s);

// Writes rows as {"KEY":[{"NAME-TYPE":value},...]}: only the columns the
// table knows by name and keeps; the name is the table's column name, else
// the tag's static name, else the decimal tag; the key cell is named
// without the type. Values: Base64 binaries, "high,low" times, strings
// as they are (empty ones left out), multi-valued strings joined by ','.
class ZUV_RowTextWriter {
 public:
  // columnNames must outlive the writer.
  explicit ZUV_RowTextWriter(const std::map<ULONG, std::string>& columnNames) : column_names_(columnNames) {}

  void WriteRow(const ZUV_Row& row, ZUV_TextBuffer* out);
  // The bytes WriteRow writes for row, counted without writing them.
  size_t MeasureRow(const ZUV_Row& row);

 private:
  // Makes last_openings_ the openings of row's tags.
  void TakeOpenings(const ZUV_Row& row);
  // `{"NAME":` for a tag, "" when the tag is not written.
  const std::string& Opening(ULONG tag);

  const std::map<ULONG, std::string>& column_names_;
  std::vector<std::pair<ULONG, std::string>> openings_;  // sorted by tag
  // The openings of the last row's tag list, by cell.
  const ULONG* last_tags_ = nullptr;
  std::vector<const std::string*> last_openings_;
  size_t last_openings_bytes_ = 0;
};
