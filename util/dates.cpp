// Packed dates: whole minutes since 0000-01-01 00:00 in the proleptic Gregorian
// calendar, held in one long. Failures return ZPK_ERROR and set zpkerr.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "util/prog.h"

const char* zpkerr = nullptr;
const int dpm[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

namespace {

std::atomic<zclock_fn> clock_fn{nullptr};

bool isleap(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int monthdays(int month0, long year) { return dpm[month0] + (month0 == 1 && isleap(year) ? 1 : 0); }

// Years from 0 to y that are not leap years (y >= 0).
long nonleap(long y) { return y / 100 + y % 4 + 3 * (y / 4) - y / 400; }

long fail(const char* msg) {
  zpkerr = msg;
  return ZPK_ERROR;
}

// A number read with zcvsd, truncated toward zero; out of int range gives a
// value that every calendar check rejects.
int number(const char* s) {
  double v = zcvsd(s);
  if (!(v > -2147483648.0 && v < 2147483648.0)) return -2147483647 - 1;
  return static_cast<int>(v);
}

// The number in the n bytes at s (s holds at least n bytes).
int number(const char* s, int n) {
  char tmp[16];
  std::memcpy(tmp, s, static_cast<size_t>(n));
  tmp[n] = '\0';
  return number(tmp);
}

long pknow(char* rest);
long pkslash(const char* text, int slash);

}  // namespace

void zsetclock(zclock_fn fn) { clock_fn.store(fn); }

time_t znow() {
  zclock_fn fn = clock_fn.load();
  return fn ? fn() : std::time(nullptr);
}

long zpkdmy(int minute, int hour, int day, int month, int year) {
  if (year < 0 || year > 4000) return fail("Bad year.");
  if (month < 1 || month > 12) return fail("Bad month");
  if (minute < 0 || minute > 59) return fail("Bad minute.");
  if (hour < 0 || hour > 24) return fail("Bad hour.");
  if (day < 1 || day > monthdays(month - 1, year)) return fail("Bad day.");

  long days = long(year) * 366 + (day - 1);
  for (int m = 0; m < month - 1; ++m) days += monthdays(m, year);
  if (year > 0) days -= nonleap(year - 1);
  return (days * 24 + hour % 24) * 60 + minute;
}

void zexdmy(long packed, int* minute, int* hour, int* day, int* month, int* year, int* weekday) {
  *minute = static_cast<int>(packed % 60);
  long hours = packed / 60;
  *hour = static_cast<int>(hours % 24);
  long days = hours / 24;
  *weekday = static_cast<int>((days + 6) % 7);

  long y = days / 366;
  long rest = days - y * 366;
  if (y > 0) rest += nonleap(y - 1);
  // Every 400 years hold 146097 days wherever they start: step whole cycles
  // first so that a far-off value can't keep the loop below busy.
  while (rest > 146097 + 365) {
    rest -= 146097;
    y += 400;
  }
  while (rest > 365) {
    rest -= isleap(y) ? 366 : 365;
    ++y;
  }
  int m = 0;
  while (rest >= monthdays(m, y)) {
    rest -= monthdays(m, y);
    if (++m == 12) {
      m = 0;
      ++y;
    }
  }
  *day = static_cast<int>(rest);
  *month = m;
  *year = static_cast<int>(y);
}

// Thread-safe localtime_r in place of localtime; tzset keeps localtime's
// habit of reading the time zone afresh on every call.
long zdtuxto(time_t clock) {
  struct tm tm;
  tzset();
  if (!localtime_r(&clock, &tm)) return fail("Bad year.");
  return zpkdmy(tm.tm_min, tm.tm_hour, tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
}

// buf needs 17 bytes; the text is cut to fit should a far-off value need more.
void zexdtno(char* buf, long packed, int code) {
  if (packed == 0) {
    buf[0] = '\0';
    return;
  }
  int mi, hh, dd, mm, yy, wd;
  zexdmy(packed, &mi, &hh, &dd, &mm, &yy, &wd);
  ++dd;
  ++mm;
  char tmp[64];
  switch (code) {
    case 4: std::snprintf(tmp, sizeof tmp, "%02d%02d", mm, dd); break;
    case 5: std::snprintf(tmp, sizeof tmp, "%02d/%02d", mm, dd); break;
    case 6: std::snprintf(tmp, sizeof tmp, "%02d%02d%02d", mm, dd, yy % 100); break;
    case 10: std::snprintf(tmp, sizeof tmp, "%02d/%02d/%04d", mm, dd, yy); break;
    case 16: std::snprintf(tmp, sizeof tmp, "%02d/%02d/%04d %02d:%02d", mm, dd, yy, hh, mi); break;
    default: std::snprintf(tmp, sizeof tmp, "%02d/%02d/%02d", mm, dd, yy % 100); break;
  }
  zcpfield(buf, tmp, 17);
}

int zdtcyr() {
  int mi, hh, dd, mm, yy, wd;
  zexdmy(zdtuxto(znow()), &mi, &hh, &dd, &mm, &yy, &wd);
  return yy;
}

int zdtyr224(int yy) {
  int cy = zdtcyr();
  int a = ((cy + 50) / 100) * 100 + yy;
  int b = ((cy - 49) / 100) * 100 + yy;
  return std::abs(cy - a) > std::abs(cy - b) ? b : a;
}

int zpkleap(int year, int month) { return month == 1 && isleap(year) ? 1 : 0; }

void sec2dates(time_t clock, char* buf, const char* fallback) {
  if (clock != 0) {
    zexdtno(buf, zdtuxto(clock), 16);
    return;
  }
  const char* f = fallback ? fallback : "";
  std::memcpy(buf, f, std::strlen(f) + 1);
}

long zpkdt(char* text) {
  zrmwht(text);
  if (!text[0]) return 0;
  if (zcpscap("NOW", text)) return pknow(text + 3);

  for (const char* p = text; *p; ++p)
    if (!std::strchr("0123456789/ ,:", *p)) return fail("Format: MM/DD/YY");

  int slash = zchpos('/', text);
  if (slash >= 0) return pkslash(text, slash);

  int len = static_cast<int>(std::strlen(text));
  if (len != 8 && len != 6 && len != 4) return fail("Format: MM/DD/YY");
  int month = number(text, 2);
  int day = number(text + 2, 2);
  int year = len == 8 ? number(text + 4) : len == 6 ? zdtyr224(number(text + 4)) : zdtcyr();
  return zpkdmy(0, 0, day, month, year);
}

namespace {

// "NOW", optionally followed by "+" or "-" and a count of days.
long pknow(char* rest) {
  long now = zdtuxto(znow());
  if (now == ZPK_ERROR) return now;
  zrmwht(rest);
  if (rest[0] != '+' && rest[0] != '-') return now;
  double minutes = zcvsd(rest + 1) * 1440.0;
  minutes = minutes >= 0.0 ? std::trunc(minutes + 0.5) : std::trunc(minutes - 0.5);
  // An offset past the range of a minute count is refused rather than wrapped.
  if (!(std::fabs(minutes) <= 2147483647.0)) return fail("Bad offset.");
  long m = static_cast<long>(minutes);
  return rest[0] == '+' ? now + m : now - m;
}

// MM/DD[/YY[YY][[ ][,] HH[:MI]]]; slash is the index of the first "/".
long pkslash(const char* text, int slash) {
  int month = number(text);
  int day = number(text + slash + 1);
  int second = zchpos('/', text + slash + 1);
  if (second < 0) return zpkdmy(0, 0, day, month, zdtcyr());

  const char* y = text + slash + 1 + second + 1;
  int digits = 0;
  while (y[digits] >= '0' && y[digits] <= '9') ++digits;
  if (digits != 4 && digits != 2) return fail("Invalid year.");
  int year = number(y, digits);
  if (digits == 2) year = zdtyr224(year);

  const char* p = y + digits;
  while (ziswht(*p)) ++p;
  if (*p == ',') ++p;
  while (ziswht(*p)) ++p;
  int hour = 0, minute = 0;
  if (*p) {
    hour = number(p);
    int colon = zchpos(':', p);
    if (colon >= 0) minute = number(p + colon + 1);
  }
  return zpkdmy(minute, hour, day, month, year);
}

}  // namespace
