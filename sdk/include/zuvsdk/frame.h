// frame.h: the frames of the ZUV wire protocol.
//
// Requests travel as the JSON byte count in ASCII digits followed directly by
// the JSON text. Responses and pushed messages travel behind a fixed 10-byte
// header: the count in decimal, a NUL, filler up to 10 bytes.
//
// Threading: a FrameReader belongs to one thread; the functions are pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zuvsdk {

inline constexpr size_t kResponseHeaderBytes = 10;
// Largest response body a reader accepts (512 MiB; a 100,000-row table is
// tens of MB).
inline constexpr size_t kMaxResponseBytes = size_t{1} << 29;

// The bytes of one request frame carrying json.
std::string EncodeRequestFrame(std::string_view json);

// The bytes of one response frame carrying json (what the service sends).
std::string EncodeResponseFrame(std::string_view json);

// Reads the byte count from a 10-byte response header. Returns 0 and sets
// *length, or 1 with *err for a header that is not digits then a NUL, or a
// count above kMaxResponseBytes.
[[nodiscard]] int ParseResponseHeader(std::string_view header, size_t* length, std::string* err);

// Cuts response frames out of a byte stream that arrives in segments of any
// size: one frame split over many segments, or several frames in one.
class FrameReader {
 public:
  // Appends received bytes.
  void Feed(std::string_view bytes);
  // Returns 0 and moves the next whole frame's body into *body; 2 when no
  // whole frame is held yet; 1 with *err when the header is malformed (the
  // stream cannot be resynchronised; the reader stays failed).
  [[nodiscard]] int Next(std::string* body, std::string* err);
  // Bytes held that do not yet form a frame.
  size_t buffered() const { return buffer_.size() - start_; }
  // The body length of the frame being received, once its header is whole.
  bool expected(size_t* length) const;

 private:
  std::string buffer_;
  size_t start_ = 0;          // first byte not yet consumed
  std::string failure_;       // set once a header was malformed
};

}  // namespace zuvsdk
