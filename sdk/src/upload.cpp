// upload.cpp: the binary upload channel: header, 10-byte acknowledgement,
// contents, then the reply "name:count".
#include <unistd.h>

#include <string>

#include "net.h"
#include "zuvsdk/client.h"
#include "zuvsdk/frame.h"

namespace zuvsdk {

int Upload(const Endpoint& endpoint, std::string_view bytes, std::string* upload_name, std::string* err) {
  if (bytes.empty()) {
    *err = "an empty file cannot be uploaded";
    return kBadArgument;
  }
  int fd = -1;
  int rc = internal::ConnectTcp(endpoint.host, endpoint.bin_port, endpoint.timeout_ms, &fd, err);
  if (rc != kOk) return rc;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  // The contents may follow only after the acknowledgement: bytes sent
  // with the header are not kept.
  const std::string header = std::to_string(bytes.size());
  if ((rc = internal::SendAll(fd, header, endpoint.timeout_ms, err)) != kOk) return rc;
  char ack[kResponseHeaderBytes];
  size_t got = 0;
  while (got < sizeof(ack)) {
    const long n = internal::RecvSome(fd, ack + got, sizeof(ack) - got, endpoint.timeout_ms, err);
    if (n == -2) {
      *err = "no acknowledgement from the binary port within the time-out";
      return kNoAnswer;
    }
    if (n <= 0) {
      if (n == 0) *err = "the binary port closed the connection";
      return kNotConnected;
    }
    got += static_cast<size_t>(n);
  }
  if ((rc = internal::SendAll(fd, bytes, endpoint.timeout_ms, err)) != kOk) return rc;

  // The reply has no length field: it ends with the count's digits, so read
  // until the text after the last ':' is the count (or "0").
  std::string reply;
  char buf[512];
  const std::string expected_tail = ":" + header;
  for (;;) {
    if (reply.ends_with(expected_tail) || (reply.ends_with(":0") && reply.size() > 2)) break;
    const long n = internal::RecvSome(fd, buf, sizeof(buf), endpoint.timeout_ms, err);
    if (n == -2) {
      *err = "no reply from the binary port within the time-out";
      return kNoAnswer;
    }
    if (n < 0) return kNotConnected;
    if (n == 0) break;
    reply.append(buf, static_cast<size_t>(n));
    if (reply.size() > 4096) break;
  }
  const size_t colon = reply.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    *err = "unexpected reply from the binary port: " + reply.substr(0, 80);
    return kBadAnswer;
  }
  if (reply.substr(colon + 1) != header) {
    *err = "the service could not store the upload (reply " + reply.substr(0, 80) + ")";
    return kFailed;
  }
  *upload_name = reply.substr(0, colon);
  return kOk;
}

}  // namespace zuvsdk
