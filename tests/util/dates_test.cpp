// Packed dates: packing, unpacking, text layouts, the two-digit-year window and
// the typed-date grammar, against a fixed clock in a fixed time zone.
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
    setclock(1766666400);  // 2025-12-25 12:40:00 UTC
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
  static void setclock(time_t t) { fixed_clock = t; }
  static long pk(const char* text) {
    char buf[64];
    std::strcpy(buf, text);
    return zpkdt(buf);
  }
  static long now() { return zdtuxto(fixed_clock); }

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

TEST_F(Dates, LeapRule) {
  for (int y : {2000, 0, 2024}) EXPECT_EQ(zpkleap(y, 1), 1) << y;
  for (int y : {1900, 2100}) EXPECT_EQ(zpkleap(y, 1), 0) << y;
  EXPECT_EQ(zpkleap(2000, 0), 0);  // only February
  EXPECT_EQ(zpkleap(2000, 2), 0);
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
  EXPECT_EQ(zdtcyr(), 2025);
  char buf[32];
  sec2dates(fixed_clock, buf, "never");
  EXPECT_STREQ(buf, "12/25/2025 12:40");
  sec2dates(0, buf, "(never)");
  EXPECT_STREQ(buf, "(never)");

  setenv("TZ", "EST5", 1);  // local time, read afresh
  EXPECT_EQ(zdtuxto(fixed_clock), zpkdmy(40, 7, 25, 12, 2025));
}

TEST_F(Dates, TwoDigitYearWindow) {
  const struct {
    time_t clock;
    int yy, want;
  } cases[] = {
      {1767225600 + 86400 * 30, 76, 2076},  // current year 2026
      {1767225600 + 86400 * 30, 77, 1977},
      {1767225600 + 86400 * 30, 26, 2026},
      {1767225600 + 86400 * 30, 0, 2000},
      {2524608000 + 86400 * 30, 0, 2100},   // current year 2050
      {2524608000 + 86400 * 30, 99, 2099},
      {2524608000 + 86400 * 30, 1, 2001},
  };
  for (const auto& c : cases) {
    setclock(c.clock);
    EXPECT_EQ(zdtyr224(c.yy), c.want) << "yy=" << c.yy << " cy=" << zdtcyr();
  }
}

TEST_F(Dates, TypedDates) {
  const int cy = 2025;
  const struct {
    const char* text;
    long want;
  } cases[] = {
      {"12/25/2010 14:30", zpkdmy(30, 14, 25, 12, 2010)},
      {"12/25/2010, 14:30", zpkdmy(30, 14, 25, 12, 2010)},
      {"  12/25/2010 ,  14:30 ", zpkdmy(30, 14, 25, 12, 2010)},
      {"12/25/2010 14", zpkdmy(0, 14, 25, 12, 2010)},
      {"12/25/2010", zpkdmy(0, 0, 25, 12, 2010)},
      {"12/25/10", zpkdmy(0, 0, 25, 12, 2010)},
      {"12/25/80", zpkdmy(0, 0, 25, 12, 1980)},
      {"12/25", zpkdmy(0, 0, 25, 12, cy)},
      {"1/2", zpkdmy(0, 0, 2, 1, cy)},
      {"1225", zpkdmy(0, 0, 25, 12, cy)},
      {"122510", zpkdmy(0, 0, 25, 12, 2010)},
      {"12252010", zpkdmy(0, 0, 25, 12, 2010)},
      {"02/29/2000", zpkdmy(0, 0, 29, 2, 2000)},
      {"12/25/2010 24:00", zpkdmy(0, 0, 25, 12, 2010)},
  };
  for (const auto& c : cases) {
    ASSERT_NE(c.want, ZPK_ERROR) << c.text;
    EXPECT_EQ(pk(c.text), c.want) << c.text;
  }
}

TEST_F(Dates, TypedNow) {
  const struct {
    const char* text;
    long offset;
  } cases[] = {{"now", 0},       {"NOW", 0},      {"NOW + 1", 1440}, {"NOW-0.5", -720},
               {"NOWHERE", 0},   {" now +2 ", 2880}, {"Now - 1.5", -2160},
               {"now+0.0003", 0}, {"now+0.00035", 1}, {"now--1", 1440}};
  for (const auto& c : cases) EXPECT_EQ(pk(c.text), now() + c.offset) << c.text;
  zpkerr = nullptr;
  EXPECT_EQ(pk("now+1e300"), ZPK_ERROR);  // refused, never wrapped
  EXPECT_EQ(pk("now-nan"), ZPK_ERROR);
}

TEST_F(Dates, TypedErrors) {
  const struct {
    const char *text, *err;
  } cases[] = {
      {"12-25-2010", "Format: MM/DD/YY"}, {"1225201", "Format: MM/DD/YY"},
      {"12/25/2010 pm", "Format: MM/DD/YY"}, {"12345", "Format: MM/DD/YY"},
      {"12/25/123", "Invalid year."},      {"12/25/", "Invalid year."},
      {"12/25/ 2010", "Invalid year."},    {"13/01/2010", "Bad month"},
      {"00/01/2010", "Bad month"},         {"02/30/2010", "Bad day."},
      {"12/25/2010 14:60", "Bad minute."}, {"12/25/2010 25:00", "Bad hour."},
      {"12/25/4001", "Bad year."},         {"99999999999/1", "Bad month"},
      {"1332", "Bad month"},               {"0132", "Bad day."},
  };
  for (const auto& c : cases) {
    zpkerr = nullptr;
    EXPECT_EQ(pk(c.text), ZPK_ERROR) << c.text;
    EXPECT_STREQ(zpkerr ? zpkerr : "(null)", c.err) << c.text;
  }
  zpkerr = "earlier";
  EXPECT_EQ(pk("   "), 0);
  EXPECT_EQ(pk(""), 0);
  EXPECT_STREQ(zpkerr, "earlier");
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
