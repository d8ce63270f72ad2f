// String, memory, environment and file helpers. Byte-wise and locale-free.
#include "util/prog.h"

#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "util/alerts.h"

namespace {

inline unsigned char ub(char c) { return static_cast<unsigned char>(c); }

// Upper-case fold of 'a'..'z' only; every other byte is left alone.
inline unsigned char fold(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

inline bool iswht(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Prefix test shared by zcps/zcpscap: 1 when every byte of a matches b.
template <bool Fold>
int prefix(const char* a, const char* b) {
  for (; *a; ++a, ++b) {
    unsigned char x = ub(*a), y = ub(*b);
    if (Fold ? fold(x) != fold(y) : x != y) return 0;
  }
  return 1;
}

template <bool Fold>
int chpos(int ch, const char* s) {
  unsigned char c = static_cast<unsigned char>(ch);
  if (c == 0) return -1;
  if (Fold) c = fold(c);
  for (int i = 0; s[i]; ++i) {
    unsigned char x = Fold ? fold(ub(s[i])) : ub(s[i]);
    if (x == c) return i;
  }
  return -1;
}

// Substring search: find the needle's first byte, compare the rest, and on a
// mismatch resume one byte after the found first byte.
template <bool Fold>
int stpos(const char* needle, const char* hay) {
  if (!needle[0]) return -1;
  if (!needle[1]) return chpos<Fold>(ub(needle[0]), hay);
  int start = 0;
  for (;;) {
    int at = chpos<Fold>(ub(needle[0]), hay + start);
    if (at < 0) return -1;
    int pos = start + at;
    const char* n = needle + 1;
    const char* h = hay + pos + 1;
    for (; *n; ++n, ++h) {
      unsigned char x = ub(*n), y = ub(*h);
      if (Fold ? fold(x) != fold(y) : x != y) break;  // the hay's NUL differs too
    }
    if (!*n) return pos;
    start = pos + 1;
  }
}

}  // namespace

// --- comparisons --------------------------------------------------------------

int zcps(const char* a, const char* b) { return prefix<false>(a, b); }

int zcpscap(const char* a, const char* b) { return prefix<true>(a, b); }

int zcpxcap(const char* a, const char* b) {
  if (!prefix<true>(a, b)) return 0;
  return b[std::strlen(a)] == '\0' ? 1 : 0;
}

int zblcp(const void* a, const void* b, int n) {
  const unsigned char* x = static_cast<const unsigned char*>(a);
  const unsigned char* y = static_cast<const unsigned char*>(b);
  for (int i = 0; i < n; ++i)
    if (x[i] != y[i]) return int(x[i]) - int(y[i]);
  return 0;
}

// --- searches -----------------------------------------------------------------

int zchpos(int ch, const char* s) { return chpos<false>(ch, s); }

int zchposc(int ch, const char* s) { return chpos<true>(ch, s); }

int zchrpos(int ch, const char* s) {
  unsigned char c = static_cast<unsigned char>(ch);
  if (c == 0) return -1;
  for (long i = long(std::strlen(s)) - 1; i >= 0; --i)
    if (ub(s[i]) == c) return int(i);
  return -1;
}

int zstpos(const char* needle, const char* hay) { return stpos<false>(needle, hay); }

int zstposc(const char* needle, const char* hay) { return stpos<true>(needle, hay); }

// --- case and white space -----------------------------------------------------

int ztocap(int ch) { return (ch >= 97 && ch <= 122) ? ch - 32 : ch; }

int ziswht(int ch) { return iswht(static_cast<unsigned char>(ch)) ? 1 : 0; }

void zstcap(char* s) {
  for (; *s; ++s) *s = static_cast<char>(fold(ub(*s)));
}

void zrmtwht(char* s) {
  for (long i = long(std::strlen(s)) - 1; i >= 0 && iswht(ub(s[i])); --i) s[i] = '\0';
}

void zrmwht(char* s) {
  size_t lead = 0;
  while (iswht(ub(s[lead]))) ++lead;
  if (lead) std::memmove(s, s + lead, std::strlen(s + lead) + 1);
  zrmtwht(s);
}

void zstrev(char* s) {
  size_t n = std::strlen(s);
  for (size_t i = 0; i < n / 2; ++i) {
    char t = s[i];
    s[i] = s[n - 1 - i];
    s[n - 1 - i] = t;
  }
}

// --- conversions --------------------------------------------------------------

long zcvsiq(const char* s) {
  while (*s == ' ') ++s;
  // Unsigned arithmetic: an overlong number wraps instead of overflowing.
  unsigned long v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) v = v * 10 + unsigned(*s - '0');
  return static_cast<long>(v);
}

double zcvsd(const char* s) {
  double sign = 1.0;
  for (; *s == ' ' || *s == '\t' || *s == '+' || *s == '-'; ++s)
    if (*s == '-') sign = -1.0;
  return std::atof(s) * sign;
}

int zcvdi(double x) {
  double r = x >= 0.0 ? x + 0.5 : x - 0.5;
  // NaN fails both comparisons below and gets the error value too.
  if (!(r <= 2147483647.0 && r >= -2147483647.0)) return INT32_MIN;
  return static_cast<int>(r);  // truncates toward zero
}

void zexfcma(char* dst, char* digits, const char* decimals) {
  double dd = zcvsd(decimals);
  int d = !(dd >= 0.0) ? 0 : dd >= 10.0 ? 10 : static_cast<int>(dd);
  zrmwht(digits);
  if (!digits[0]) {
    dst[0] = '\0';
    return;
  }
  zstrev(digits);  // least significant first
  bool neg = false;
  char* o = dst;  // built reversed, turned round at the end
  int placed = 0;
  for (const char* p = digits; *p; ++p) {
    if (*p == '-') {
      neg = true;
      continue;
    }
    if (d > 0 && placed == d) *o++ = '.';
    int left = placed - d;  // digits already placed left of the point
    if (left > 0 && left % 3 == 0) *o++ = ',';
    *o++ = *p;
    ++placed;
  }
  if (d > 0 && placed <= d) {
    for (; placed < d; ++placed) *o++ = '0';
    *o++ = '.';
  }
  if (neg) *o++ = '-';
  *o = '\0';
  zstrev(dst);
}

// --- memory, environment, files -------------------------------------------------

void* zmemclr(long size) {
  // A negative size can't be satisfied; a zero size still yields a block of its own.
  // calloc: memory fresh from the system is zero already and isn't cleared again.
  void* p = size >= 0 ? std::calloc(size > 0 ? static_cast<size_t>(size) : 1, 1) : nullptr;
  if (!p) zerex("zmemclr; out of memory.(%ld)", size);
  return p;
}

char* zgetenv(const char* name, char* dst, int size) {
  const char* v = std::getenv(name);
  if (!v) return nullptr;
  size_t len = std::strlen(v);
  if (size < 0 || len >= static_cast<size_t>(size))
    zerex("zgetenv; size too small! %s:{%d/%d}", name, static_cast<int>(len), size);
  std::memcpy(dst, v, len + 1);
  return dst;
}

int zftype(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return '?';
  if (S_ISDIR(st.st_mode)) return 'd';
  if (S_ISCHR(st.st_mode)) return 'c';
  if (S_ISBLK(st.st_mode)) return 'b';
  if (S_ISREG(st.st_mode)) return '-';
  if (S_ISFIFO(st.st_mode)) return 'p';
  return 'u';
}

char* zpast(char* dst, char* src, int delim) {
  dst[0] = '\0';
  if (!src || !src[0]) return nullptr;
  int at = zchpos(delim, src);
  if (at < 0) {
    std::memcpy(dst, src, std::strlen(src) + 1);
    src[0] = '\0';
    return dst;
  }
  std::memcpy(dst, src, static_cast<size_t>(at));
  dst[at] = '\0';
  std::memmove(src, src + at + 1, std::strlen(src + at + 1) + 1);
  return dst;
}

int zrmfile(const char* path) { return unlink(path); }

int zmkdir(const char* path, int mode) { return mkdir(path, static_cast<mode_t>(mode & 0xFFFF)); }

int zgts(FILE* fp, char* buf, int size) {
  int n = 0;
  while (n < size) {
    int c = std::getc(fp);
    if (c == EOF) {
      if (n == 0) {
        buf[0] = '\0';
        return -1;
      }
      break;
    }
    if (c == '\n') break;
    buf[n++] = static_cast<char>(c);
  }
  buf[n] = '\0';
  return n;
}

void zer(const char* fmt, ...) {
  std::fflush(stdout);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputs("\r\n", stderr);
}

// --- bounded copy ------------------------------------------------------------------

void zcpfield(char* dst, const char* src, long n) {
  if (n <= 0) return;
  size_t len = src ? strnlen(src, static_cast<size_t>(n - 1)) : 0;
  if (len) std::memcpy(dst, src, len);
  dst[len] = '\0';
}

void zsizetext(char* buf, int n, long long bytes) {
  if (n <= 0) return;
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) {
    std::snprintf(buf, static_cast<size_t>(n), "%lld B", bytes);
    return;
  }
  double v = static_cast<double>(bytes);
  int u = -1;
  while (v >= 1024.0 && u < 5) {
    v /= 1024.0;
    ++u;
  }
  // 1023.96 KiB would print as "1024.0 KiB": show the next unit instead.
  if (v >= 1023.95 && u < 5) {
    v /= 1024.0;
    ++u;
  }
  std::snprintf(buf, static_cast<size_t>(n), "%.1f %s", v, units[u]);
}

void zheaphuge(long reserve) {
  // Page faults are most of the cost of a long list's records and registry on
  // a virtual machine, one for every 4 KiB touched. Where the kernel gives
  // huge pages only when asked (transparent_hugepage=madvise), grow the heap
  // once by `reserve` and ask for that part in 2 MiB pages, as
  // glibc.malloc.hugetlb=1 does. Without a brk heap (a sanitizer's allocator)
  // nothing moves and nothing is asked.
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (reserve <= 0 || reserve > (1L << 30)) return;
  mallopt(M_TOP_PAD, static_cast<int>(reserve));
  auto* before = static_cast<char*>(sbrk(0));
  void* held[64] = {};
  int n = 0;
  while (n < 64 && static_cast<char*>(sbrk(0)) == before) held[n++] = std::malloc(64 * 1024);
  for (int i = 0; i < n; ++i) std::free(held[i]);
  auto* after = static_cast<char*>(sbrk(0));
  const uintptr_t from = (reinterpret_cast<uintptr_t>(before) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t to = reinterpret_cast<uintptr_t>(after) & ~(kHuge - 1);
  if (after != before && to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}
