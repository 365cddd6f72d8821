#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/base/time.h"

namespace {

SYSTEMTIME St(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  SYSTEMTIME st{};
  st.wYear = WORD(y), st.wMonth = WORD(mo), st.wDay = WORD(d);
  st.wHour = WORD(h), st.wMinute = WORD(mi), st.wSecond = WORD(s), st.wMilliseconds = WORD(ms);
  return st;
}

// Sets TZ for one test and restores it afterwards.
class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTz() {
    if (had_) setenv("TZ", old_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

TEST(Time, FileTimeRoundTripsWithKnownValues) {
  SYSTEMTIME st = St(1970, 1, 1);
  FILETIME ft{};
  ASSERT_TRUE(plat::SystemTimeToFileTime(&st, &ft));
  EXPECT_EQ(plat::FileTimeToU64(ft), 116444736000000000ull);
  EXPECT_EQ(plat::FileTimeToUnix(ft), 0);

  SYSTEMTIME leap = St(2024, 2, 29, 23, 59, 58, 999), back{};
  ASSERT_TRUE(plat::SystemTimeToFileTime(&leap, &ft));
  ASSERT_TRUE(plat::FileTimeToSystemTime(&ft, &back));
  EXPECT_EQ(back.wYear, 2024);
  EXPECT_EQ(back.wMonth, 2);
  EXPECT_EQ(back.wDay, 29);
  EXPECT_EQ(back.wDayOfWeek, 4);  // a Thursday
  EXPECT_EQ(back.wSecond, 58);
  EXPECT_EQ(back.wMilliseconds, 999);
}

TEST(Time, InvalidFieldsAreRefused) {
  FILETIME ft{};
  for (SYSTEMTIME st : {St(2023, 2, 29), St(2023, 13, 1), St(2023, 1, 1, 24), St(1600, 12, 31)})
    EXPECT_FALSE(plat::SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
  FILETIME negative{0, 0x80000000u};
  SYSTEMTIME out{};
  EXPECT_FALSE(plat::FileTimeToSystemTime(&negative, &out));
}

TEST(Time, OleDates) {
  struct Case {
    SYSTEMTIME st;
    double date;
  } cases[] = {
      {St(1899, 12, 30), 0.0},
      {St(1900, 1, 1, 12), 2.5},
      {St(1899, 12, 29, 6), -1.25},  // negative dates: the fraction runs forward
      {St(2000, 1, 1), 36526.0},
      {St(100, 1, 1), -657434.0},
  };
  for (const auto& c : cases) {
    DATE d = 0;
    ASSERT_TRUE(plat::SystemTimeToVariantTime(&c.st, &d));
    EXPECT_DOUBLE_EQ(d, c.date);
    SYSTEMTIME back{};
    ASSERT_TRUE(plat::VariantTimeToSystemTime(c.date, &back));
    EXPECT_EQ(back.wYear, c.st.wYear);
    EXPECT_EQ(back.wMonth, c.st.wMonth);
    EXPECT_EQ(back.wDay, c.st.wDay);
    EXPECT_EQ(back.wHour, c.st.wHour);
  }
  SYSTEMTIME out{};
  // Rounded to the nearest second, also across midnight.
  ASSERT_TRUE(plat::VariantTimeToSystemTime(1.0 - 0.1 / 86400, &out));
  EXPECT_EQ(out.wDay, 31);
  EXPECT_EQ(out.wHour, 0);
  EXPECT_FALSE(plat::VariantTimeToSystemTime(3e6, &out));
  SYSTEMTIME year99 = St(99, 12, 31);
  DATE d;
  EXPECT_FALSE(plat::SystemTimeToVariantTime(&year99, &d));
}

TEST(Time, LocalTimeFollowsTzIncludingDaylightSaving) {
  ScopedTz tz("CET-1CEST,M3.5.0,M10.5.0/3");
  SYSTEMTIME winter = St(2024, 1, 15, 12), summer = St(2024, 7, 15, 12), local{}, utc{};
  ASSERT_TRUE(plat::SystemTimeToLocalTime(&winter, &local));
  EXPECT_EQ(local.wHour, 13);
  ASSERT_TRUE(plat::SystemTimeToLocalTime(&summer, &local));
  EXPECT_EQ(local.wHour, 14);
  ASSERT_TRUE(plat::LocalTimeToSystemTime(&local, &utc));
  EXPECT_EQ(utc.wHour, 12);
  EXPECT_EQ(utc.wDay, 15);
}

TEST(Time, NowAgreesWithTheCLibrary) {
  ScopedTz tz("UTC0");
  SYSTEMTIME a{}, b{};
  plat::GetSystemTime(&a);
  plat::GetLocalTime(&b);
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  EXPECT_EQ(a.wYear, tm.tm_year + 1900);
  EXPECT_EQ(a.wYear, b.wYear);
  FILETIME ft{};
  plat::GetSystemTimeAsFileTime(&ft);
  EXPECT_LE(std::llabs(plat::FileTimeToUnix(ft) - now), 2);
}

}  // namespace
