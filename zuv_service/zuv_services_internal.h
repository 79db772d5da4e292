// zuv_services_internal.h: pieces of the service host shared between its
// source files, not used elsewhere.
#pragma once

#include <string>

namespace zuv {

// Wakes every listener blocked in accept() so it can end. Call after the
// stopping flag is set.
void ShutdownListeners();

// Directory of upload files, relative to the module directory.
constexpr const char* kUploadDir = "ZUVFiles";

// Upload files older than this are swept at start-up and once an hour.
constexpr int64_t kUploadMaxAgeSeconds = 24 * 60 * 60;

}  // namespace zuv
