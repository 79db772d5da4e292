// UploadedFilePath: upload names that reach a file in the upload directory,
// and names refused before any file is looked at.
#include "handlers/uploaded_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

namespace zuv {
namespace {

namespace fs = std::filesystem;

// Runs each test in a fresh working directory with an upload directory.
class UploadedFilePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    char tmpl[] = "/tmp/zuv-upload-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    fs::current_path(dir_);
    fs::create_directory(kUploadedFilesDir);
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  fs::path old_, dir_;
};

TEST_F(UploadedFilePathTest, AnUploadNameGivesItsFile) {
  std::ofstream("ZUVFiles/127.0.0.1.20675.jpg") << "x";
  std::string path;
  EXPECT_EQ(UploadedFilePath("conn", "127.0.0.1.20675", &path), 0u);
  EXPECT_EQ(path, "ZUVFiles/127.0.0.1.20675.jpg");

  // Missing, or not a regular file.
  EXPECT_EQ(UploadedFilePath("conn", "127.0.0.1.1", &path), 1u);
  EXPECT_EQ(path, "ZUVFiles/127.0.0.1.1.jpg");
  fs::create_directory("ZUVFiles/dir.jpg");
  EXPECT_EQ(UploadedFilePath("conn", "dir", &path), 1u);
}

TEST_F(UploadedFilePathTest, NamesLeavingTheDirectoryAreRefused) {
  // Files the refused names would reach if they were used.
  std::ofstream("outside.jpg") << "x";
  std::ofstream("ZUVFiles/...jpg") << "x";
  fs::create_directory("ZUVFiles/sub");
  std::ofstream("ZUVFiles/sub/a.jpg") << "x";
  for (const std::string& bad : std::initializer_list<std::string>{
           "../outside", "..", "sub/a", "sub\\a", "", std::string("a\0b", 3), "a\nb", std::string(256, 'a')}) {
    std::string path = "untouched";
    EXPECT_EQ(UploadedFilePath("conn", bad, &path), 1u) << bad;
    EXPECT_EQ(path, "untouched") << bad;
  }
}

}  // namespace
}  // namespace zuv
