// The utility's statistics: its histogram against exact percentiles, its
// offset generator and its rules for the kernel's counters. The utility is its
// own program; its statistics are the library it shares with the write test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "perf/vlmperfutil/checks.h"
#include "perf/vlmperfutil/engine.h"
#include "perf/vlmperfutil/stats.h"

namespace {

using vpu::Histogram;
using vpu::Rng;

TEST(VlmperfutilHistogram, BucketsAreContiguousAndTight) {
  // Every value lands in the bucket whose midpoint is within 1% of it (is it,
  // below 64), and bucket indices never go backwards as values grow.
  int prev = -1;
  for (uint64_t v = 0; v < (uint64_t(1) << 36); v = v < 200 ? v + 1 : v + v / 97 + 1) {
    int idx = Histogram::index(v);
    ASSERT_GE(idx, prev) << v;
    prev = idx;
    const double mid = double(Histogram::midpoint(idx));
    EXPECT_LE(std::fabs(mid - double(v)), v >= 64 ? 0.01 * double(v) : 0.0) << v;
  }
  EXPECT_EQ(Histogram::index(~uint64_t(0)), Histogram::kBuckets - 1);  // clamped, not out of range
}

// Percentiles: the value of rank ceil(p * n) among the sorted values, in its
// own bucket (under 1%), never outside the values seen; for small counts (1..100
// us, two values, one, all equal) and a long tail (20 us typical, up to 10 ms).
TEST(VlmperfutilHistogram, PercentilesTakeTheExactRank) {
  Rng rng(42);
  std::vector<uint64_t> us, two{30000, 17332300}, one{17332300}, same{777, 777, 777}, v;
  for (uint64_t i = 1; i <= 100; ++i) us.push_back(i * 1000);
  for (int i = 0; i < 100000; ++i)
    v.push_back(20000 + rng.below(5000) + (rng.below(100) == 0 ? rng.below(10000000) : 0));
  Histogram h;
  for (auto* values : {&us, &two, &one, &same, &v}) {
    h.clear();
    for (uint64_t x : *values) h.add(x);
    std::sort(values->begin(), values->end());
    for (double p : {0.01, 0.5, 0.9, 0.99, 0.999}) {
      const uint64_t got = h.percentile(p), want = (*values)[size_t(std::ceil(p * double(values->size()))) - 1];
      EXPECT_TRUE(Histogram::index(got) == Histogram::index(want) && got >= values->front() && got <= h.max())
          << p << " of " << values->size() << ": " << got << ", not " << want;
    }
  }
  double sum = 0;
  for (auto x : v) sum += double(x);
  EXPECT_NEAR(h.mean(), sum / double(v.size()), 1e-6 * h.mean());
  EXPECT_EQ(h.max(), v.back());
  // The compact form: every value below its bin's bound and above the last's, no value lost.
  uint64_t seen = 0;
  for (auto [upper, n] : h.compact()) {
    EXPECT_EQ(n, uint64_t(std::lower_bound(v.begin(), v.end(), upper) - v.begin()) - seen) << upper;
    seen += n;
  }
  EXPECT_EQ(seen, v.size());

  Histogram other;
  other.merge(h);
  other.merge(h);
  EXPECT_EQ(other.count(), 2 * h.count());
  EXPECT_EQ(other.percentile(0.99), h.percentile(0.99));
}

// A random stream's offsets: whole blocks, spread over the whole region
// (its first and last block reached), none past its end.
TEST(VlmperfutilRng, OffsetsAlignedOverTheWholeRegionWithoutRepeatsAcrossSeeds) {
  const vpu::Stream s{true, 8 * 4096, (8 + 3001) * 4096ull, 4096, 1};  // 3001 blocks: not a power of two
  const uint64_t blocks = (s.end - s.begin) / s.bs;
  Rng rng(vpu::freshSeed(0));
  std::vector<int> tenths(10, 0);
  uint64_t lo = ~0ull, hi = 0;
  for (int i = 0; i < 200000; ++i) {
    const uint64_t off = s.randomOffset(rng);
    ASSERT_EQ(off % s.bs, 0u) << off;
    ASSERT_TRUE(off >= s.begin && off + s.bs <= s.end) << off;
    ++tenths[(off - s.begin) / s.bs * 10 / blocks];
    lo = std::min(lo, off), hi = std::max(hi, off);
  }
  for (int c : tenths) EXPECT_NEAR(c, 20000, 1000);
  EXPECT_EQ(lo, s.begin);
  EXPECT_EQ(hi, s.end - s.bs);
  // Two threads (two indices) and two runs never share a sequence.
  Rng a(vpu::freshSeed(1)), b(vpu::freshSeed(2)), c(vpu::freshSeed(1));
  uint64_t x = a.next();
  EXPECT_NE(x, b.next());
  EXPECT_NE(x, c.next());
}

// The kernel's counters against this program's reads, a sector either side of
// the 2% boundaries: others' reads above 2% (or any write) make the device
// busy; the kernel counting under 98% can't confirm the figure.
TEST(VlmperfutilCounters, TwoPercentBoundaries) {
  const uint64_t own = 50 << 20, two = own / 50, none = 0;
  // Counted, read, written; busy, undercounted.
  for (auto [counted, read, written, busy, under] :
       {std::tuple{true, own + two, none, false, false}, {true, own + two + 512, none, true, false},
        {true, own, uint64_t(512), true, false}, {true, own - two, none, false, false},
        {true, own - two - 512, none, false, true}, {false, none, uint64_t(512), false, false}}) {
    const vpu::PhaseCheck p{counted, own, read, written};
    EXPECT_TRUE(p.busy() == busy && p.undercounted() == under) << read << " read, " << written << " written";
  }
}

}  // namespace
