// Random offsets and latency statistics.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace vpu {

// xoshiro256**, seeded through splitmix64.
class Rng {
 public:
  explicit Rng(uint64_t seed);
  uint64_t next();
  // Uniform in [0, n) by multiply-shift: no modulo bias, no division.
  uint64_t below(uint64_t n) { return uint64_t((unsigned __int128)next() * n >> 64); }

 private:
  uint64_t s_[4];
};

// A seed from the kernel's generator, mixed with a per-thread index so that
// no two threads share a sequence and no run replays another.
uint64_t freshSeed(unsigned index);

// Log-linear latency histogram in nanoseconds: exact below 64, then 64
// sub-buckets per power of two (under 1% relative error).
class Histogram {
 public:
  static constexpr int kSub = 64;
  static constexpr int kBuckets = kSub * 59;

  Histogram() : b_(kBuckets, 0) {}
  void add(uint64_t ns) {
    ++b_[index(ns)];
    ++n_;
    sum_ += ns;
    if (ns > max_) max_ = ns;
    if (ns < min_) min_ = ns;
  }
  void merge(const Histogram& o);
  void clear();
  uint64_t count() const { return n_; }
  uint64_t max() const { return max_; }
  double mean() const { return n_ ? double(sum_) / double(n_) : 0.0; }
  // Midpoint of the first bucket whose running count reaches p * count, kept
  // within the smallest and the largest value: one value is its own every
  // percentile, and none lies above the maximum.
  uint64_t percentile(double p) const;

  // Four bins per power of two: (upper bound in ns, count) of each bin
  // that holds any value, in order.
  std::vector<std::pair<uint64_t, uint64_t>> compact() const;

  static int index(uint64_t v);
  static uint64_t midpoint(int idx);
  static uint64_t lowerEdge(int idx);

 private:
  std::vector<uint64_t> b_;
  uint64_t n_ = 0;
  uint64_t sum_ = 0;
  uint64_t max_ = 0;
  uint64_t min_ = ~uint64_t(0);
};

}  // namespace vpu
