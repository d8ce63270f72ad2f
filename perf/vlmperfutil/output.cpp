// Output in whole lines, one write each, so the reader never sees a line cut
// by another writer and a progress line arrives in one piece.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "perf/vlmperfutil/common.h"

namespace vpu {

std::atomic<int> gCancel{0};
std::atomic<int> gCancelReported{0};
const char* gProgram = "vlmperfutil";

void writeAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;  // the reader is gone; nothing sensible left to do
    p += w;
    n -= size_t(w);
  }
}

namespace {

void emit(int fd, const char* prefix, const char* fmt, va_list ap) {
  char line[640];
  int n = snprintf(line, sizeof line, "%s", prefix);
  int room = int(sizeof line) - n - 1;
  int m = vsnprintf(line + n, size_t(room) + 1, fmt, ap);
  n += (m < 0) ? 0 : (m > room - 1 ? room - 1 : m);
  line[n++] = '\n';
  writeAll(fd, line, size_t(n));
}

}  // namespace

std::string isoTime(time_t s) {
  tm utc{};
  gmtime_r(&s, &utc);
  char b[32];
  strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return b;
}

void say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  emit(1, "", fmt, ap);
  va_end(ap);
}

void complain(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char prefix[64];
  snprintf(prefix, sizeof prefix, "%s: ", gProgram);
  emit(2, prefix, fmt, ap);
  va_end(ap);
}

void printable(char* dst, int size, const char* src) {
  int n = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(src);
  while (*s != '\0' && n < size - 1) {
    unsigned char c = *s++;
    if (c >= 0xc2 && c <= 0xf4) {  // a UTF-8 lead byte: its continuation bytes go with it
      int more = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : 1;
      while (more-- > 0 && (*s & 0xc0) == 0x80) ++s;
    }
    dst[n++] = (c < 0x20 || c >= 0x7f) ? '?' : (c == ':' ? '.' : char(c));
  }
  dst[n] = '\0';
}

void printableText(char* dst, int size, const char* src) {
  int n = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(src);
  while (*s != '\0' && n < size - 1) {
    unsigned c = *s;
    int len = c < 0x80 ? 1 : (c >= 0xc2 && c <= 0xdf) ? 2 : (c >= 0xe0 && c <= 0xef) ? 3 : (c >= 0xf0 && c <= 0xf4) ? 4 : 0;
    unsigned cp = len == 1 ? c : len ? (c & (0x7f >> len)) : 0;
    for (int k = 1; k < len; ++k) {
      if ((s[k] & 0xc0) != 0x80) {
        len = 0;
        break;
      }
      cp = (cp << 6) | (s[k] & 0x3f);
    }
    const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff));
    // Controls, C1 controls, surrogates and the marks that reorder a line are not shown.
    const bool hidden = cp < 0x20 || (cp >= 0x7f && cp < 0xa0) || (cp >= 0xd800 && cp <= 0xdfff) ||
                        (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069) ||
                        cp == 0x200e || cp == 0x200f || cp == 0x61c;
    if (len <= 1 || overlong || hidden) {
      dst[n++] = (len == 1 && !hidden) ? (c == ':' ? '.' : char(c)) : '?';
      ++s;
      if (len > 1) s += len - 1;
      continue;
    }
    if (n + len > size - 1) break;  // never half a character
    for (int k = 0; k < len; ++k) dst[n++] = char(s[k]);
    s += len;
  }
  dst[n] = '\0';
}

}  // namespace vpu
