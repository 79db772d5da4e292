// uploaded_file.h: the path of a file uploaded on the binary channel, from
// the upload name a JSON request gives in UploadedAttachmentHash.
#pragma once

#include <cstdint>
#include <string>

namespace zuv {

// Directory of the uploads, relative to the service's working directory.
inline constexpr const char* kUploadedFilesDir = "ZUVFiles";

// Sets *path to "ZUVFiles/<hash>.jpg". Returns 0 when that file exists as a
// regular file; 1, logged with connectionName and the file, when hash is not
// an upload name (empty, too long, a control character, a path separator
// or "..") or the file is missing.
[[nodiscard]] uint32_t UploadedFilePath(const char* connectionName, const std::string& hash, std::string* path);

}  // namespace zuv
