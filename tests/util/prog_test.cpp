// String, memory and file helpers: the rules that callers rely on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "util/alerts.h"
#include "util/prog.h"
#include "tests/platform/loop_guard.h"

// A request malloc can't satisfy must come back as null, not abort the run.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

TEST(Prog, CompareAndSearchRules) {
  const struct {
    const char *a, *b;
    int cps, cpscap, cpxcap, stposc;  // stposc: a searched in b
  } cases[] = {
      {"", "", 1, 1, 1, -1},
      {"abc", "ab", 0, 0, 0, -1},  // the hay's end counts as a difference
      {"ab", "abc", 1, 1, 0, 0},
      {"disk", "DISK", 0, 1, 1, 0},
      {"Disk", "/dev/DISK0", 0, 0, 0, 5},
      {"aab", "aaab", 0, 0, 0, 1},  // resumes after a failed partial match
      {"[", "{", 0, 0, 0, -1},      // differ by 32, neither a lower-case letter
      {"\xC9", "\xE9", 0, 0, 0, -1},  // bytes above 0x7F are never folded
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("a='") + c.a + "' b='" + c.b + "'");
    EXPECT_EQ(zcps(c.a, c.b), c.cps);
    EXPECT_EQ(zcpscap(c.a, c.b), c.cpscap);
    EXPECT_EQ(zcpxcap(c.a, c.b), c.cpxcap);
    EXPECT_EQ(zstposc(c.a, c.b), c.stposc);
  }
  unsigned char x[] = {7, 0, 0x01}, y[] = {7, 0, 0xFF};
  EXPECT_EQ(zblcp(x, y, 2), 0);
  EXPECT_EQ(zblcp(x, y, 3), -254);  // unsigned, and compared past the NUL
  EXPECT_EQ(zchpos('/' + 256, "a/b/c"), 1);  // low byte only
  EXPECT_EQ(zchpos(0, "abc"), -1);
  EXPECT_EQ(zchrpos('/', "/a/b"), 2);
  EXPECT_EQ(zchrpos('/', "/"), 0);
}

TEST(Prog, CaseAndWhiteSpaceSets) {
  for (int c = 0; c < 256; ++c) {
    bool lower = c >= 'a' && c <= 'z';
    EXPECT_EQ(ztocap(c), lower ? c - 32 : c) << c;
    bool wht = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
    EXPECT_EQ(ziswht(c), wht ? 1 : 0) << c;
  }
  char s[] = "abz{\xE9Z09";
  zstcap(s);
  EXPECT_STREQ(s, "ABZ{\xE9Z09");
  const std::pair<const char*, const char*> trims[] = {
      {"  a b \r\n", "a b"}, {" \t\n\r\f", ""}, {"\va\v", "\va\v"}, {"\f\fxy", "xy"}};
  for (auto [in, out] : trims) {
    char buf[32];
    std::strcpy(buf, in);
    zrmwht(buf);
    EXPECT_STREQ(buf, out) << in;
  }
}

TEST(Prog, NumberConversions) {
  const std::pair<const char*, long> ints[] = {
      {"  42 MB", 42}, {"\t42", 0}, {"-5", 0}, {"", 0}, {"007x", 7}, {"123456789012", 123456789012L}};
  for (auto [text, v] : ints) EXPECT_EQ(zcvsiq(text), v) << text;
  zcvsiq("99999999999999999999999");  // wraps without undefined behaviour

  const std::pair<const char*, double> reals[] = {{" -3.5", -3.5}, {"--2", -2.0}, {"+-2", -2.0},
                                                  {"+7e2", 700.0}, {"\t+ 4", 4.0}, {"abc", 0.0}};
  for (auto [text, v] : reals) EXPECT_DOUBLE_EQ(zcvsd(text), v) << text;
}

TEST(Prog, BoundedCopyAndZeroedMemory) {
  char f[4];
  zcpfield(f, "abcdef");
  EXPECT_STREQ(f, "abc");
  zcpfield(f, nullptr);
  EXPECT_STREQ(f, "");
  unsigned char* p = static_cast<unsigned char*>(zmemclr(4096));
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0);
  std::free(p);
  void* z = zmemclr(0);  // never null
  EXPECT_NE(z, nullptr);
  std::free(z);
  for (long size : {-1L, 1L << 62}) {
    vlm::ScopedRecordingSeam rec;
    try {
      zmemclr(size);
      ADD_FAILURE() << "zmemclr returned for " << size;
    } catch (const vlm::FatalError& e) {
      EXPECT_EQ(e.what(), "zmemclr; out of memory.(" + std::to_string(size) + ")");
    }
  }
}

TEST(Prog, FileTypes) {
  const vlm::testing::TempDir tmp;
  const std::string d = tmp.path(), file = d + "/f", link = d + "/l", fifo = d + "/p", dangling = d + "/x";
  ASSERT_FALSE(d.empty());
  std::fclose(std::fopen(file.c_str(), "w"));
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent/vlm", dangling.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, char> cases[] = {
      {d, 'd'}, {file, '-'}, {link, '-'}, {dangling, '?'}, {fifo, 'p'}, {"/dev/null", 'c'}};
  for (const auto& [path, type] : cases) EXPECT_EQ(zftype(path.c_str()), type) << path;
}

}  // namespace
