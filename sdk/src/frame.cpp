// frame.cpp: request and response frames, and the segment reassembly.
#include "zuvsdk/frame.h"

#include <cstdio>

namespace zuvsdk {

std::string EncodeRequestFrame(std::string_view json) {
  std::string out = std::to_string(json.size());
  out.append(json);
  return out;
}

std::string EncodeResponseFrame(std::string_view json) {
  std::string out(kResponseHeaderBytes, '\0');
  const std::string digits = std::to_string(json.size());
  out.replace(0, digits.size(), digits);
  out.append(json);
  return out;
}

int ParseResponseHeader(std::string_view header, size_t* length, std::string* err) {
  if (header.size() < kResponseHeaderBytes) {
    *err = "short frame header";
    return 1;
  }
  size_t value = 0;
  size_t i = 0;
  for (; i < kResponseHeaderBytes && header[i] >= '0' && header[i] <= '9'; ++i) {
    value = value * 10 + static_cast<size_t>(header[i] - '0');
  }
  if (i == 0 || i >= kResponseHeaderBytes || header[i] != '\0') {
    *err = "malformed frame header";
    return 1;
  }
  if (value > kMaxResponseBytes) {
    *err = "frame of " + std::to_string(value) + " bytes is over the limit";
    return 1;
  }
  *length = value;
  return 0;
}

void FrameReader::Feed(std::string_view bytes) {
  // Drop what was consumed before growing, so the buffer holds one frame.
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > (size_t{1} << 20) && start_ * 2 > buffer_.size()) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
}

bool FrameReader::expected(size_t* length) const {
  if (!failure_.empty() || buffered() < kResponseHeaderBytes) return false;
  std::string ignored;
  return ParseResponseHeader(std::string_view(buffer_).substr(start_, kResponseHeaderBytes), length, &ignored) == 0;
}

int FrameReader::Next(std::string* body, std::string* err) {
  if (!failure_.empty()) {
    *err = failure_;
    return 1;
  }
  if (buffered() < kResponseHeaderBytes) return 2;
  size_t length = 0;
  if (ParseResponseHeader(std::string_view(buffer_).substr(start_, kResponseHeaderBytes), &length, err) != 0) {
    failure_ = *err;
    return 1;
  }
  if (buffered() - kResponseHeaderBytes < length) return 2;
  body->assign(buffer_, start_ + kResponseHeaderBytes, length);
  start_ += kResponseHeaderBytes + length;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  return 0;
}

}  // namespace zuvsdk
