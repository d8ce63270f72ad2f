// Packed dates: packing, unpacking, text layouts and the clock, against a
// fixed clock in a fixed time zone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "util/prog.h"

namespace {

time_t fixed_clock = 0;
time_t fixedclock() { return fixed_clock; }

// Local time is UTC and the clock reads `at` for the test's duration.
class Dates : public testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (tz) old_tz_ = tz;
    setenv("TZ", "UTC0", 1);
    tzset();
    fixed_clock = 1766666400;  // 2025-12-25 12:40:00 UTC
    zsetclock(fixedclock);
  }
  void TearDown() override {
    zsetclock(nullptr);
    if (had_tz_)
      setenv("TZ", old_tz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string old_tz_;
};

struct Unpacked {
  int mi, hh, dd, mm, yy, wd;
};
Unpacked unpack(long p) {
  Unpacked u{};
  zexdmy(p, &u.mi, &u.hh, &u.dd, &u.mm, &u.yy, &u.wd);
  return u;
}

TEST_F(Dates, KnownValues) {
  EXPECT_EQ(zpkdmy(0, 0, 1, 1, 2010), 1057158720L);
  EXPECT_EQ(zpkdmy(0, 0, 1, 1, 0), 0L);
  EXPECT_EQ(zpkdmy(59, 23, 31, 12, 4000), 2104323839L);
  EXPECT_EQ(zpkdmy(0, 24, 1, 1, 2010), zpkdmy(0, 0, 1, 1, 2010));
  EXPECT_EQ(zpkdmy(0, 0, 1, 3, 0) - zpkdmy(0, 0, 28, 2, 0), 2L * 1440);  // year 0 is leap
  EXPECT_EQ(zpkdmy(0, 0, 1, 1, 1), 366L * 1440);
  Unpacked u = unpack(1057158720L);
  EXPECT_EQ(std::tie(u.mi, u.hh, u.dd, u.mm, u.yy, u.wd), std::make_tuple(0, 0, 0, 0, 2010, 5));  // a Friday
}

TEST_F(Dates, CalendarChecksInOrder) {
  const struct {
    int mi, hh, dd, mm, yy;
    const char* err;
  } cases[] = {
      {0, 0, 1, 1, 4001, "Bad year."},  {0, 0, 1, 1, -1, "Bad year."},
      {99, 99, 0, 0, 4001, "Bad year."}, {99, 99, 0, 0, 2000, "Bad month"},
      {0, 0, 1, 13, 2000, "Bad month"},  {60, 99, 0, 1, 2000, "Bad minute."},
      {-1, 0, 1, 1, 2000, "Bad minute."}, {0, 25, 0, 1, 2000, "Bad hour."},
      {0, -1, 1, 1, 2000, "Bad hour."},  {0, 0, 0, 1, 2000, "Bad day."},
      {0, 0, 29, 2, 1900, "Bad day."},   {0, 0, 29, 2, 2100, "Bad day."},
      {0, 0, 31, 4, 2000, "Bad day."},   {0, 0, 32, 12, 2000, "Bad day."},
  };
  for (const auto& c : cases) {
    zpkerr = nullptr;
    EXPECT_EQ(zpkdmy(c.mi, c.hh, c.dd, c.mm, c.yy), ZPK_ERROR) << c.err;
    ASSERT_NE(zpkerr, nullptr);
    EXPECT_STREQ(zpkerr, c.err);
  }
  EXPECT_NE(zpkdmy(0, 0, 29, 2, 2000), ZPK_ERROR);
  EXPECT_NE(zpkdmy(0, 0, 29, 2, 2400), ZPK_ERROR);
  EXPECT_NE(zpkdmy(0, 0, 29, 2, 0), ZPK_ERROR);
  EXPECT_STREQ(zpkerr, "Bad day.");  // successes never clear the last message
}

// Every day from year 0 to 4000 round-trips, days are consecutive and the
// weekday steps by one.
TEST_F(Dates, RoundTripEveryDay) {
  long prev = -1440;
  int prevwd = 5;  // 0000-01-01 was a Saturday in the proleptic calendar
  for (int y = 0; y <= 4000; ++y)
    for (int m = 1; m <= 12; ++m) {
      int days = dpm[m - 1] + zpkleap(y, m - 1);
      for (int d = 1; d <= days; ++d) {
        long p = zpkdmy(0, 0, d, m, y);
        ASSERT_EQ(p - prev, 1440) << y << "-" << m << "-" << d;
        Unpacked u = unpack(p + 61);
        ASSERT_TRUE(u.yy == y && u.mm == m - 1 && u.dd == d - 1 && u.hh == 1 && u.mi == 1)
            << y << "-" << m << "-" << d << " -> " << u.yy << "-" << u.mm << "-" << u.dd;
        ASSERT_EQ(u.wd, (prevwd + 1) % 7);
        prev = p;
        prevwd = u.wd;
      }
    }
}

TEST_F(Dates, TextLayouts) {
  long p = zpkdmy(7, 9, 3, 2, 2005);
  const struct {
    int code;
    const char* out;
  } cases[] = {{4, "0203"},       {5, "02/03"},           {6, "020305"},
               {10, "02/03/2005"}, {16, "02/03/2005 09:07"}, {7, "02/03/05"},
               {8, "02/03/05"},    {0, "02/03/05"}};
  for (const auto& c : cases) {
    char buf[17];
    std::memset(buf, 'x', sizeof buf);
    zexdtno(buf, p, c.code);
    EXPECT_STREQ(buf, c.out) << c.code;
  }
  char buf[17] = "junk";
  zexdtno(buf, 0, 16);
  EXPECT_STREQ(buf, "");
  zexdtno(buf, 1057158720L, 16);
  EXPECT_STREQ(buf, "01/01/2010 00:00");
  char small[17];
  std::memset(small, 'x', sizeof small);
  zexdtno(small, -5000000000L, 16);  // far outside the range: cut, never overrun
  EXPECT_LT(std::strlen(small), sizeof small);
}

TEST_F(Dates, ClockConversions) {
  EXPECT_EQ(zdtuxto(fixed_clock), zpkdmy(40, 12, 25, 12, 2025));
  EXPECT_EQ(zdtuxto(fixed_clock + 59), zdtuxto(fixed_clock));  // seconds dropped

  setenv("TZ", "EST5", 1);  // local time, read afresh
  EXPECT_EQ(zdtuxto(fixed_clock), zpkdmy(40, 7, 25, 12, 2025));
}

TEST_F(Dates, FarValuesUnpackQuickly) {
  Unpacked u = unpack(ZPK_ERROR);
  EXPECT_GT(u.yy, 4000);
  u = unpack(-1);  // negative values end without looping
  (void)u;
  u = unpack(1L << 45);
  EXPECT_GT(u.yy, 4000);
}

}  // namespace
