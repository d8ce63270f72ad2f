// String, memory, environment, file and date helpers.
// Byte-wise, locale-free; case folding touches 'a'..'z' only; white space is
// exactly " \t\n\r\f"; position searches return a 0-based index or -1.
#pragma once

#include <cstdio>
#include <ctime>

// --- comparisons --------------------------------------------------------------
int zcps(const char* a, const char* b);     // case-sensitive prefix: a is a prefix of b
int zcpscap(const char* a, const char* b);  // prefix with case folding
int zcpxcap(const char* a, const char* b);  // whole-string equality with case folding
int zblcp(const void* a, const void* b, int n);  // unsigned byte difference at first mismatch

// --- searches -----------------------------------------------------------------
int zchpos(int ch, const char* s);
int zchposc(int ch, const char* s);
int zchrpos(int ch, const char* s);
int zstpos(const char* needle, const char* hay);
int zstposc(const char* needle, const char* hay);

// --- case and white space -----------------------------------------------------
int ztocap(int ch);
int ziswht(int ch);
void zstcap(char* s);
void zrmwht(char* s);
void zrmtwht(char* s);
void zstrev(char* s);

// --- conversions --------------------------------------------------------------
long zcvsiq(const char* s);
double zcvsd(const char* s);
int zcvdi(double x);
void zexfcma(char* dst, char* digits, const char* decimals);
// A size in binary units with one decimal ("256.0 MiB"); below 1 KiB in bytes.
void zsizetext(char* buf, int n, long long bytes);

// --- memory, environment, files -------------------------------------------------
void* zmemclr(long size);  // zero-filled; fatal through zerex when out of memory
void zheaphuge(long reserve);  // the heap's next `reserve` bytes in huge pages, where asked for
char* zgetenv(const char* name, char* dst, int size);
int zftype(const char* path);
char* zpast(char* dst, char* src, int delim);
int zrmfile(const char* path);
int zmkdir(const char* path, int mode);
int zgts(FILE* fp, char* buf, int size);
void zer(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// --- bounded copy into a fixed field ---------------------------------------------
// Copies at most n-1 bytes of src and always terminates dst (n > 0). Used for
// every copy into a record's fixed-size text field.
void zcpfield(char* dst, const char* src, long n);
template <long N>
inline void zcpfield(char (&dst)[N], const char* src) { zcpfield(dst, src, N); }

// --- dates: whole minutes since 0000-01-01 00:00, proleptic Gregorian ------------
constexpr long ZPK_ERROR = 2147483648L;  // the error result of every failing conversion
extern const char* zpkerr;               // message of the last failure; never cleared
extern const int dpm[12];

// The clock the date helpers read; tests may replace it (nullptr restores time()).
using zclock_fn = time_t (*)();
void zsetclock(zclock_fn fn);
time_t znow();

long zdtuxto(time_t clock);
void zexdtno(char* buf, long packed, int code);
long zpkdmy(int minute, int hour, int day, int month, int year);
void zexdmy(long packed, int* minute, int* hour, int* day, int* month, int* year, int* weekday);
int zdtcyr();
int zdtyr224(int yy);
long zpkdt(char* text);
int zpkleap(int year, int month);
void sec2dates(time_t clock, char* buf, const char* fallback);
