// Packed dates: packing, unpacking, the text the table shows and the clock,
// in a fixed time zone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "util/prog.h"

namespace {

// Local time is UTC for the test's duration.
class Dates : public testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) old_tz_ = tz;
    setenv("TZ", "UTC0", 1);
  }
  void TearDown() override {
    if (old_tz_) setenv("TZ", old_tz_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> old_tz_;
};

TEST_F(Dates, CalendarChecksInOrder) {
  const struct {
    int mi, hh, dd, mm, yy;
    const char* err;
  } cases[] = {
      {0, 0, 1, 1, 4001, "Bad year."},  {99, 99, 0, 0, 4001, "Bad year."},
      {99, 99, 0, 0, 2000, "Bad month"}, {0, 0, 1, 13, 2000, "Bad month"},
      {60, 99, 0, 1, 2000, "Bad minute."}, {-1, 0, 1, 1, 2000, "Bad minute."},
      {0, 25, 0, 1, 2000, "Bad hour."},  {0, 0, 0, 1, 2000, "Bad day."},
      {0, 0, 29, 2, 2100, "Bad day."},   {0, 0, 31, 4, 2000, "Bad day."},
  };
  for (const auto& c : cases) {
    zpkerr = nullptr;
    EXPECT_EQ(zpkdmy(c.mi, c.hh, c.dd, c.mm, c.yy), ZPK_ERROR) << c.err;
    EXPECT_STREQ(zpkerr ? zpkerr : "(none)", c.err);
  }
  EXPECT_EQ(zpkdmy(0, 24, 1, 1, 2010), zpkdmy(0, 0, 1, 1, 2010));  // hour 24 is midnight
}

// Every day from year 0 to 4000 round-trips, days are consecutive from 0 and
// the weekday steps by one; far values unpack without looping.
TEST_F(Dates, RoundTripEveryDay) {
  long prev = -1440;
  int prevwd = 5;  // 0000-01-01 was a Saturday in the proleptic calendar
  int mi, hh, dd, mm, yy, wd;
  for (int y = 0; y <= 4000; ++y)
    for (int m = 1; m <= 12; ++m)
      for (int d = 1; d <= dpm[m - 1] + zpkleap(y, m - 1); ++d) {
        long p = zpkdmy(0, 0, d, m, y);
        ASSERT_EQ(p - prev, 1440) << y << "-" << m << "-" << d;
        zexdmy(p + 61, &mi, &hh, &dd, &mm, &yy, &wd);
        ASSERT_TRUE(yy == y && mm == m - 1 && dd == d - 1 && hh == 1 && mi == 1 && wd == (prevwd + 1) % 7)
            << y << "-" << m << "-" << d << " -> " << yy << "-" << mm << "-" << dd << " day " << wd;
        prev = p;
        prevwd = wd;
      }
  for (long far : {long(ZPK_ERROR), 1L << 45}) {
    zexdmy(far, &mi, &hh, &dd, &mm, &yy, &wd);
    EXPECT_GT(yy, 4000);
  }
}

TEST_F(Dates, TextAndClock) {
  const long p = zpkdmy(7, 9, 3, 2, 2005);
  const std::pair<int, const char*> cases[] = {{16, "02/03/2005 09:07"}, {10, "02/03/2005"}, {0, "02/03/05"}};
  char buf[17];
  for (auto [code, text] : cases) {
    std::memset(buf, 'x', sizeof buf);
    zexdtno(buf, p, code);
    EXPECT_STREQ(buf, text) << code;
  }
  zexdtno(buf, 0, 16);
  EXPECT_STREQ(buf, "");
  zexdtno(buf, -5000000000L, 16);  // far outside the range: cut, never overrun
  EXPECT_LT(std::strlen(buf), sizeof buf);

  const time_t noon = 1766666400;  // 2025-12-25 12:40:00 UTC
  EXPECT_EQ(zdtuxto(noon + 59), zpkdmy(40, 12, 25, 12, 2025));  // seconds dropped
  setenv("TZ", "EST5", 1);  // local time, read afresh
  EXPECT_EQ(zdtuxto(noon), zpkdmy(40, 7, 25, 12, 2025));
}

}  // namespace
