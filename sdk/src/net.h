// net.h: socket helpers private to the client library. Every wait is
// bounded by a time-out given in milliseconds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zuvsdk::internal {

// Connects to host:port (name or address). Returns 0 with *fd, kNoAnswer
// when the connect did not finish in time, or kNotConnected with *err.
int ConnectTcp(const std::string& host, uint16_t port, int timeout_ms, int* fd, std::string* err);

// Sends all of bytes. Returns 0, or kNotConnected / kNoAnswer with *err.
int SendAll(int fd, std::string_view bytes, int timeout_ms, std::string* err);

// Receives at most max bytes into buf after waiting up to timeout_ms.
// Returns the byte count (> 0), 0 at end of stream, -1 on error (*err),
// -2 when nothing came in time.
long RecvSome(int fd, char* buf, size_t max, int timeout_ms, std::string* err);

}  // namespace zuvsdk::internal
