// uploaded_file.cpp: upload names to upload file paths.
#include "handlers/uploaded_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/logging.h"

namespace zuv {
namespace {

// Upload names are connection names ("a.b.c.d.port"); anything far longer
// is not one.
constexpr size_t kLongestUploadName = 255;

bool IsUploadName(const std::string& hash) {
  if (hash.empty() || hash.size() > kLongestUploadName || hash.find("..") != std::string::npos) return false;
  for (unsigned char c : hash) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

}  // namespace

uint32_t UploadedFilePath(const char* connectionName, const std::string& hash, std::string* path) {
  if (!IsUploadName(hash)) {
    NLog_ErrorA("ZUV", "For Client %s, the upload name \"%s\" is not one the binary channel gives", connectionName,
                EscapeForLog(hash, kLongestUploadName).c_str());
    return 1;
  }
  *path = std::string(kUploadedFilesDir) + "/" + hash + ".jpg";
  struct stat st {};
  const bool found = ::stat(path->c_str(), &st) == 0;
  if (!found || !S_ISREG(st.st_mode)) {
    NLog_ErrorA("ZUV", "For Client %s, cannot use the uploaded file %s: %s", connectionName,
                EscapeForLog(*path).c_str(), found ? "not a regular file" : std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace zuv
