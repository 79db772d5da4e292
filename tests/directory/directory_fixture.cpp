// directory_fixture.cpp: registers the directory tests' environment, so each
// test process starts its own slapd before its first test.
#include "directory_fixture.h"

namespace zuv_test {

namespace {

DirectoryEnvironment* const g_environment = static_cast<DirectoryEnvironment*>(
    ::testing::AddGlobalTestEnvironment(new DirectoryEnvironment));

}  // namespace

DirectoryEnvironment& Directory() { return *g_environment; }

}  // namespace zuv_test
