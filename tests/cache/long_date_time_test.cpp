// Tests of the en-US long date and time text of folder times: fixed English
// names whatever the process locale, 12-hour clock, the server's time zone.
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "cache/zuv_cache.h"

namespace {

// FILETIME ticks of a UTC calendar time.
uint64_t Ticks(int year, int month, int day, int hour, int minute, int second) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<uint64_t>(static_cast<int64_t>(timegm(&t)) * 10000000 + 116444736000000000LL);
}

class LongDateTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_tz_ = tz != nullptr ? tz : "";
    had_tz_ = tz != nullptr;
    UseZone("UTC");
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    std::setlocale(LC_ALL, "C");
  }
  static void UseZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  std::string saved_tz_;
  bool had_tz_ = false;
};

TEST_F(LongDateTimeTest, WritesWeekdayMonthDayYearAndTwelveHourTime) {
  EXPECT_EQ(ZUV_Cache::LongLocalDateTime(Ticks(2026, 12, 6, 3, 4, 5)), "Sunday, December 6, 2026 3:04:05 AM");
  EXPECT_EQ(ZUV_Cache::LongLocalDateTime(Ticks(2024, 2, 29, 23, 59, 59)), "Thursday, February 29, 2024 11:59:59 PM");
  EXPECT_EQ(ZUV_Cache::LongLocalDateTime(Ticks(2025, 1, 1, 0, 0, 0)), "Wednesday, January 1, 2025 12:00:00 AM");
  EXPECT_EQ(ZUV_Cache::LongLocalDateTime(Ticks(2025, 1, 1, 12, 0, 7)), "Wednesday, January 1, 2025 12:00:07 PM");
  // Parts of a second are dropped.
  EXPECT_EQ(ZUV_Cache::LongLocalDateTime(Ticks(2025, 7, 19, 15, 30, 0) + 9999999), "Saturday, July 19, 2025 3:30:00 PM");
}

TEST_F(LongDateTimeTest, FollowsTheServerTimeZone) {
  UseZone("EST5EDT,M3.2.0,M11.1.0");
  EXPECT_EQ(ZUV_Cache::LongLocalDateTime(Ticks(2026, 12, 6, 3, 4, 5)), "Saturday, December 5, 2026 10:04:05 PM");
  EXPECT_EQ(ZUV_Cache::LongLocalDateTime(Ticks(2026, 7, 1, 12, 0, 0)), "Wednesday, July 1, 2026 8:00:00 AM");
  UseZone("<+0530>-5:30");
  EXPECT_EQ(ZUV_Cache::LongLocalDateTime(Ticks(2026, 12, 6, 3, 4, 5)), "Sunday, December 6, 2026 8:34:05 AM");
}

TEST_F(LongDateTimeTest, NamesStayEnglishUnderAnotherLocale) {
  // Where a German locale is installed, strftime would say "Sonntag".
  const bool german = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  EXPECT_EQ(ZUV_Cache::LongLocalDateTime(Ticks(2026, 12, 6, 3, 4, 5)), "Sunday, December 6, 2026 3:04:05 AM")
      << (german ? "de_DE" : "C") << " locale";
}

}  // namespace
