// Tests of the sweep that removes old and unfinished upload files.
#include <sys/time.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "base/wire.h"
#include "front/front.h"

namespace zuv {
namespace {

namespace fs = std::filesystem;

void Touch(const fs::path& p, int64_t age_seconds) {
  std::ofstream(p) << "x";
  timeval now;
  gettimeofday(&now, nullptr);
  timeval times[2] = {{now.tv_sec - age_seconds, 0}, {now.tv_sec - age_seconds, 0}};
  utimes(p.c_str(), times);
}

TEST(UploadSweepTest, RemovesDayOldUploadsAndOnRequestEveryUnfinishedOne) {
  char tmpl[] = "/tmp/zuv-sweep-XXXXXX";
  fs::path dir = mkdtemp(tmpl);
  Touch(dir / "10.0.0.5.20675.jpg", 2 * 86400);
  Touch(dir / "10.0.0.5.20676.jpg.part", 2 * 86400);
  Touch(dir / "10.0.0.6.1000.jpg", 3600);        // recent upload stays
  Touch(dir / "test", 5 * 86400);                // the start-up probe stays
  Touch(dir / "report.pdf", 5 * 86400);          // not an upload
  fs::create_directory(dir / "old.jpg");         // not a regular file

  Touch(dir / "10.0.0.7.1000.jpg.part", 60);     // an upload in progress stays
  EXPECT_EQ(SweepUploadFiles(dir.string(), 86400, false), 2);
  EXPECT_FALSE(fs::exists(dir / "10.0.0.5.20675.jpg"));
  EXPECT_FALSE(fs::exists(dir / "10.0.0.5.20676.jpg.part"));
  EXPECT_TRUE(fs::exists(dir / "10.0.0.6.1000.jpg"));
  EXPECT_TRUE(fs::exists(dir / "test"));
  EXPECT_TRUE(fs::exists(dir / "report.pdf"));
  EXPECT_TRUE(fs::exists(dir / "old.jpg"));
  EXPECT_TRUE(fs::exists(dir / "10.0.0.7.1000.jpg.part"));
  EXPECT_EQ(SweepUploadFiles((dir / "missing").string(), 86400, false), 0);

  // At start and stop every unfinished upload goes, whatever its age, and
  // only those.
  EXPECT_EQ(SweepUploadFiles(dir.string(), kNeverOld, true), 1);
  EXPECT_FALSE(fs::exists(dir / "10.0.0.7.1000.jpg.part"));
  EXPECT_TRUE(fs::exists(dir / "10.0.0.6.1000.jpg"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zuv
