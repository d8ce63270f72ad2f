// String, memory, environment and file helpers: the rules that callers rely on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "util/alerts.h"
#include "util/prog.h"

// A request malloc can't satisfy must come back as null, not abort the run.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

struct Cmp {
  const char *a, *b;
  int cps, cpscap, cpxcap;
};

TEST(Prog, PrefixAndEqualityRules) {
  const Cmp cases[] = {
      {"", "", 1, 1, 1},
      {"", "a", 1, 1, 0},
      {"abc", "ab", 0, 0, 0},
      {"ab", "abc", 1, 1, 0},
      {"disk", "DISK", 0, 1, 1},
      {"disk", "disk1", 1, 1, 0},
      {"Apple_HFS", "apple_hfs", 0, 1, 1},
      {"[", "{", 0, 0, 0},          // differ by 32, neither a lower-case letter
      {"@", "`", 0, 0, 0},
      {"\xC9", "\xE9", 0, 0, 0},    // bytes above 0x7F are never folded
      {"\xE9", "\xE9", 1, 1, 1},
  };
  for (const Cmp& c : cases) {
    SCOPED_TRACE(std::string("a='") + c.a + "' b='" + c.b + "'");
    EXPECT_EQ(zcps(c.a, c.b), c.cps);
    EXPECT_EQ(zcpscap(c.a, c.b), c.cpscap);
    EXPECT_EQ(zcpxcap(c.a, c.b), c.cpxcap);
  }
}

TEST(Prog, BlockCompareIsUnsignedAndIgnoresNul) {
  unsigned char a[] = {0x01, 0, 5}, b[] = {0xFF, 0, 5};
  EXPECT_EQ(zblcp(a, b, 0), 0);
  EXPECT_EQ(zblcp(a, b, -3), 0);
  EXPECT_EQ(zblcp(a, b, 3), -254);
  EXPECT_EQ(zblcp(b, a, 3), 254);
  unsigned char c[] = {7, 0, 1}, d[] = {7, 0, 2};
  EXPECT_EQ(zblcp(c, d, 2), 0);
  EXPECT_EQ(zblcp(c, d, 3), -1);  // compared past the NUL
}

struct Search {
  const char *needle, *hay;
  int pos, posc;
};

TEST(Prog, SubstringSearch) {
  const Search cases[] = {
      {"ab", "aab", 1, 1},    // resumes after a failed partial match
      {"aab", "aaab", 1, 1},
      {"abc", "ab", -1, -1},  // the hay's end counts as a difference
      {"", "abc", -1, -1},
      {"", "", -1, -1},
      {"b", "abc", 1, 1},
      {"B", "abc", -1, 1},
      {"Disk", "/dev/DISK0", -1, 5},
      {"x", "", -1, -1},
      {"IOMedia", "IOMedia", 0, 0},
      {"[", "{[", 1, 1},
  };
  for (const Search& c : cases) {
    SCOPED_TRACE(std::string("needle='") + c.needle + "' hay='" + c.hay + "'");
    EXPECT_EQ(zstpos(c.needle, c.hay), c.pos);
    EXPECT_EQ(zstposc(c.needle, c.hay), c.posc);
  }
}

TEST(Prog, ByteSearch) {
  EXPECT_EQ(zchpos('/', "a/b/c"), 1);
  EXPECT_EQ(zchpos('x', "abc"), -1);
  EXPECT_EQ(zchpos(0, "abc"), -1);
  EXPECT_EQ(zchpos('/' + 256, "a/b"), 1);  // low byte only
  EXPECT_EQ(zchpos(0xE9, "a\xE9"), 1);     // negative char in the text
  EXPECT_EQ(zchposc('B', "abc"), 1);
  EXPECT_EQ(zchposc('b', "ABC"), 1);
  EXPECT_EQ(zchposc('{', "[{"), 1);
  EXPECT_EQ(zchrpos('/', "/a/b"), 2);
  EXPECT_EQ(zchrpos('/', ""), -1);
  EXPECT_EQ(zchrpos('/', "/"), 0);
  EXPECT_EQ(zchrpos('x', "abc"), -1);
  EXPECT_EQ(zchrpos(0, "abc"), -1);
}

TEST(Prog, CaseAndWhiteSpaceSets) {
  for (int c = 0; c < 256; ++c) {
    bool lower = c >= 'a' && c <= 'z';
    EXPECT_EQ(ztocap(c), lower ? c - 32 : c) << c;
    bool wht = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
    EXPECT_EQ(ziswht(c), wht ? 1 : 0) << c;
  }
  EXPECT_EQ(ziswht(0x0B), 0);
  EXPECT_EQ(ziswht(' ' + 256), 1);
  char s[] = "abz{\xE9Z09";
  zstcap(s);
  EXPECT_STREQ(s, "ABZ{\xE9Z09");
}

TEST(Prog, Trims) {
  const struct {
    const char *in, *both, *trail;
  } cases[] = {
      {"  a b \r\n", "a b", "  a b"},
      {" \t\n\r\f", "", ""},
      {"", "", ""},
      {"\va\v", "\va\v", "\va\v"},  // vertical tab is not white space
      {"x", "x", "x"},
      {"\f\fxy", "xy", "\f\fxy"},
  };
  for (const auto& c : cases) {
    char a[32], b[32];
    std::strcpy(a, c.in);
    std::strcpy(b, c.in);
    zrmwht(a);
    zrmtwht(b);
    EXPECT_STREQ(a, c.both) << c.in;
    EXPECT_STREQ(b, c.trail) << c.in;
  }
}

TEST(Prog, NumberConversions) {
  const std::pair<const char*, long> ints[] = {
      {"  42 MB", 42}, {"\t42", 0}, {"-5", 0}, {"", 0}, {"007x", 7}, {"123456789012", 123456789012L}};
  for (auto [text, v] : ints) EXPECT_EQ(zcvsiq(text), v) << text;
  zcvsiq("99999999999999999999999");  // wraps without undefined behaviour

  const std::pair<const char*, double> reals[] = {{" -3.5", -3.5}, {"--2", -2.0}, {"+-2", -2.0},
                                                  {"-+2", -2.0},   {"+7e2", 700.0}, {"\t+ 4", 4.0},
                                                  {"abc", 0.0}};
  for (auto [text, v] : reals) EXPECT_DOUBLE_EQ(zcvsd(text), v) << text;
}

TEST(Prog, BoundedFieldCopy) {
  char f[4];
  zcpfield(f, "abcdef");
  EXPECT_STREQ(f, "abc");
  zcpfield(f, "");
  EXPECT_STREQ(f, "");
  zcpfield(f, nullptr);
  EXPECT_STREQ(f, "");
  char g[8] = "xxxxxxx";
  zcpfield(g, "ab", 1);
  EXPECT_STREQ(g, "");
  zcpfield(g, "ab", 0);  // nothing written
  EXPECT_EQ(g[1], 'x');
}

TEST(Prog, MemoryIsZeroFilledAndExhaustionIsFatal) {
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
      ASSERT_EQ(rec.seam.alerts.size(), 1u);
      EXPECT_EQ(rec.seam.alerts[0].title, "Velmora: Fatal Error");
    }
  }
}

TEST(Prog, EnvironmentBounds) {
  char dst[16] = "untouched";
  unsetenv("VLM_TEST_VAR");
  EXPECT_EQ(zgetenv("VLM_TEST_VAR", dst, 10), nullptr);
  EXPECT_STREQ(dst, "untouched");
  for (const char* v : {"123456789", ""}) {  // size - 1 bytes fit, and so does nothing
    setenv("VLM_TEST_VAR", v, 1);
    EXPECT_EQ(zgetenv("VLM_TEST_VAR", dst, 10), dst);
    EXPECT_STREQ(dst, v);
  }
  setenv("VLM_TEST_VAR", "1234567890", 1);  // size bytes
  vlm::ScopedRecordingSeam rec;
  std::strcpy(dst, "untouched");
  try {
    zgetenv("VLM_TEST_VAR", dst, 10);
    ADD_FAILURE() << "zgetenv returned";
  } catch (const vlm::FatalError& e) {
    EXPECT_STREQ(e.what(), "zgetenv; size too small! VLM_TEST_VAR:{10/10}");
  }
  EXPECT_STREQ(dst, "untouched");
  unsetenv("VLM_TEST_VAR");
}

TEST(Prog, FileTypes) {
  char dir[] = "/tmp/vlm-ftype-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string d = dir, file = d + "/f", link = d + "/l", dlink = d + "/dl", fifo = d + "/p",
              dangling = d + "/x";
  FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink(d.c_str(), dlink.c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent/vlm", dangling.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, char> cases[] = {{d, 'd'},        {file, '-'},     {link, '-'},
                                                {dlink, 'd'},    {dangling, '?'}, {fifo, 'p'},
                                                {"/dev/null", 'c'}, {d + "/missing", '?'}};
  for (const auto& [path, type] : cases) EXPECT_EQ(zftype(path.c_str()), type) << path;
  for (const std::string& p : {file, link, dlink, dangling, fifo}) unlink(p.c_str());
  rmdir(dir);
}

}  // namespace
