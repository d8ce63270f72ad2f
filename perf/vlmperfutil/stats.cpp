#include "perf/vlmperfutil/stats.h"

#include <sys/random.h>

#include <algorithm>
#include <bit>
#include <ctime>

namespace vpu {

namespace {

uint64_t splitmix(uint64_t& x) {
  uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace

Rng::Rng(uint64_t seed) {
  for (auto& s : s_) s = splitmix(seed);
}

uint64_t Rng::next() {
  const uint64_t result = std::rotl(s_[1] * 5, 7) * 9;
  const uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = std::rotl(s_[3], 45);
  return result;
}

uint64_t freshSeed(unsigned index) {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    seed = uint64_t(ts.tv_sec) * 1000000000ULL + uint64_t(ts.tv_nsec);
  }
  uint64_t mix = seed + 0x632be59bd9b4e019ULL * (index + 1);
  return splitmix(mix);
}

int Histogram::index(uint64_t v) {
  if (v < kSub) return int(v);
  int msb = 63 - std::countl_zero(v);
  int shift = msb - 6;
  int idx = (msb - 5) * kSub + int((v >> shift) & (kSub - 1));
  return idx < kBuckets ? idx : kBuckets - 1;
}

uint64_t Histogram::lowerEdge(int idx) {
  if (idx < kSub) return uint64_t(idx);
  return uint64_t(kSub + idx % kSub) << (idx / kSub - 1);
}

uint64_t Histogram::midpoint(int idx) {
  if (idx < kSub) return uint64_t(idx);
  return lowerEdge(idx) + ((uint64_t(1) << (idx / kSub - 1)) >> 1);
}

void Histogram::merge(const Histogram& o) {
  for (int i = 0; i < kBuckets; ++i) b_[i] += o.b_[i];
  n_ += o.n_;
  sum_ += o.sum_;
  max_ = std::max(max_, o.max_);
  min_ = std::min(min_, o.min_);
}

void Histogram::clear() {
  std::fill(b_.begin(), b_.end(), 0);
  n_ = sum_ = max_ = 0;
  min_ = ~uint64_t(0);
}

std::vector<std::pair<uint64_t, uint64_t>> Histogram::compact() const {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (int i = 0; i < kBuckets;) {
    // Below 64 ns one bin; above, a quarter of each group of kSub buckets.
    const int end = i < kSub ? kSub : i + kSub / 4;
    uint64_t n = 0;
    for (; i < end; ++i) n += b_[i];
    const uint64_t upper = end < kBuckets ? lowerEdge(end) : ~uint64_t(0);
    if (n) out.emplace_back(upper, n);
  }
  return out;
}

uint64_t Histogram::percentile(double p) const {
  if (n_ == 0) return 0;
  const double want = p * double(n_);
  uint64_t run = 0;
  for (int i = 0; i < kBuckets; ++i) {
    run += b_[i];
    if (b_[i] != 0 && double(run) >= want) return std::clamp(midpoint(i), min_, max_);
  }
  return max_;
}

}  // namespace vpu
