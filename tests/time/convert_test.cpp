// Network time <-> calendar time, in UTC and in zones set by the test.
#include <gtest/gtest.h>

#include <string>

#include "time/time.h"
#include "time_test_support.h"

namespace {

using timetest::kEastern;
using timetest::Zone;

std::string Text(const SYSTEMTIME& t) {
  char s[64];
  std::snprintf(s, sizeof s, "%04u-%02u-%02u %02u:%02u:%02u.%03u w%u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond, t.wMilliseconds, t.wDayOfWeek);
  return s;
}

SYSTEMTIME Fields(int y, int mo, int d, int h, int mi, int s) {
  SYSTEMTIME t{};
  t.wYear = WORD(y), t.wMonth = WORD(mo), t.wDay = WORD(d), t.wHour = WORD(h), t.wMinute = WORD(mi), t.wSecond = WORD(s);
  t.wDayOfWeek = 6;  // ignored
  t.wMilliseconds = 999;  // ignored
  return t;
}

TEST(TimeConvert, NetworkTimeToUtc) {
  Zone zone(kEastern);  // UTC conversions must not depend on it
  struct Case {
    uint32_t value;
    const char* utc;  // null: does not convert
  } cases[] = {
      {2208988800u, "1970-01-01 00:00:00.000 w4"},
      {3870411456u, "2022-08-25 10:17:36.000 w4"},
      {4294967295u, "2036-02-07 06:28:15.000 w4"},  // the last instant 32 bits carry
      {2208945600u, "1969-12-31 12:00:00.000 w3"},  // 12 hours before 1970 still converts
      {2208945599u, nullptr},
      {0u, nullptr},
  };
  for (auto& c : cases) {
    SYSTEMTIME t{};
    const int32_t ok = TimeToSystemTime(c.value, &t, 0);
    EXPECT_EQ(ok, c.utc ? 1 : 0) << c.value;
    if (c.utc) {
      EXPECT_EQ(Text(t), c.utc) << c.value;
    }
  }
  EXPECT_EQ(TimeToSystemTime(2208988800u, nullptr, 0), 0);
}

TEST(TimeConvert, NetworkTimeToLocalTimeFollowsTheZoneAtThatInstant) {
  Zone zone(kEastern);
  SYSTEMTIME t{};
  ASSERT_EQ(TimeToSystemTime(3870411456u, &t, 1), 1);  // August: daylight saving, UTC-4
  EXPECT_EQ(Text(t), "2022-08-25 06:17:36.000 w4");
  ASSERT_EQ(TimeToSystemTime(3870411456u + 120u * 86400u, &t, 1), 1);  // December: UTC-5
  EXPECT_EQ(Text(t), "2022-12-23 05:17:36.000 w5");
  // Nothing before 1970 converts to local time.
  EXPECT_EQ(TimeToSystemTime(2208988799u, &t, 1), 0);
  EXPECT_EQ(TimeToSystemTime(2208988800u + 5 * 3600, &t, 1), 1);
}

TEST(TimeConvert, LocalTimeToNetworkTime) {
  {
    Zone zone("UTC0");
    SYSTEMTIME t = Fields(1970, 1, 1, 0, 0, 0);
    EXPECT_EQ(TimeFromSystemTime(&t), 2208988800u);
    t = Fields(2036, 2, 7, 6, 28, 15);
    EXPECT_EQ(TimeFromSystemTime(&t), 4294967295u);
    // One second later the count would wrap round to 1900: no time instead of a wrong one.
    t = Fields(2036, 2, 7, 6, 28, 16);
    EXPECT_EQ(TimeFromSystemTime(&t), 0u);
    t = Fields(2040, 1, 1, 0, 0, 0);
    EXPECT_EQ(TimeFromSystemTime(&t), 0u);
    EXPECT_EQ(TimeFromSystemTime(nullptr), 0u);
  }
  Zone zone(kEastern);
  // Local times read back from a network time give that network time again, in summer
  // and in winter alike.
  for (uint32_t value : {3870411456u, 3870411456u + 120u * 86400u}) {
    SYSTEMTIME t{};
    ASSERT_EQ(TimeToSystemTime(value, &t, 1), 1);
    EXPECT_EQ(TimeFromSystemTime(&t), value) << Text(t);
  }
}

}  // namespace
