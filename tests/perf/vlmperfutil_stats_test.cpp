// The utility's statistics: its histogram against exact percentiles, and its
// offset generator. The utility is its own program, so its source is compiled
// in here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "perf/vlmperfutil/stats.cpp"  // NOLINT: the utility links no library of its own

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

TEST(VlmperfutilHistogram, PercentilesMatchTheExactOnes) {
  Rng rng(42);
  std::vector<uint64_t> v;
  Histogram h;
  for (int i = 0; i < 100000; ++i) {
    // A long tail: 20 us typical, up to 10 ms.
    uint64_t ns = 20000 + rng.below(5000) + (rng.below(100) == 0 ? rng.below(10000000) : 0);
    v.push_back(ns);
    h.add(ns);
  }
  std::sort(v.begin(), v.end());
  for (double p : {0.5, 0.9, 0.99, 0.999}) {
    double exact = double(v[size_t(std::ceil(p * double(v.size()))) - 1]);
    EXPECT_NEAR(double(h.percentile(p)), exact, exact * 0.01) << p;
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

TEST(VlmperfutilRng, UniformOverTheRangeWithoutRepeatsAcrossSeeds) {
  const uint64_t n = 16384 * 3 + 1;  // not a power of two
  Rng rng(vpu::freshSeed(0));
  std::vector<int> tenths(10, 0);
  for (int i = 0; i < 200000; ++i) {
    uint64_t x = rng.below(n);
    ASSERT_LT(x, n);
    ++tenths[x * 10 / n];
  }
  for (int c : tenths) EXPECT_NEAR(c, 20000, 1000);
  // Two threads (two indices) and two runs never share a sequence.
  Rng a(vpu::freshSeed(1)), b(vpu::freshSeed(2)), c(vpu::freshSeed(1));
  uint64_t x = a.next();
  EXPECT_NE(x, b.next());
  EXPECT_NE(x, c.next());
}

}  // namespace
