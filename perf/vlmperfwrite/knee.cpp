// The knee of a sustained-write curve: where a drive's cache runs out.
#include <cstdio>

#include "perf/vlmperfwrite/write.h"

namespace vpw {

std::optional<Knee> findKnee(const std::vector<uint64_t>& s, size_t minSlices) {
  const size_t n = s.size();
  if (minSlices == 0) minSlices = 1;
  if (n < 2 * minSlices) return std::nullopt;
  std::vector<double> sum(n + 1, 0), sq(n + 1, 0);  // prefix sums of the rates and their squares
  for (size_t i = 0; i < n; ++i) {
    sum[i + 1] = sum[i] + double(s[i]);
    sq[i + 1] = sq[i] + double(s[i]) * double(s[i]);
  }
  auto sse = [&](size_t a, size_t b) {  // of [a, b) around its mean
    const double m = (sum[b] - sum[a]) / double(b - a);
    return sq[b] - sq[a] - m * (sum[b] - sum[a]);
  };
  // The best two-level step fit that falls.
  std::optional<Knee> best;
  double bestErr = 0;
  for (size_t k = minSlices; k + minSlices <= n; ++k) {
    const double before = sum[k] / double(k), after = (sum[n] - sum[k]) / double(n - k);
    if (!(after <= 0.7 * before)) continue;
    const double err = sse(0, k) + sse(k, n);
    if (best && err >= bestErr) continue;
    bestErr = err;
    best = Knee{k, uint64_t(sum[k]), before, after};
  }
  if (!best) return std::nullopt;
  // It stays lower: few later slices climb back above the middle.
  const double mid = (best->before + best->after) / 2;
  size_t above = 0;
  for (size_t i = best->slice; i < n; ++i) above += double(s[i]) > mid;
  if (above * 10 > n - best->slice) return std::nullopt;
  return best;
}

std::string kneeText(const std::vector<uint64_t>& s, int64_t sliceNs, const std::optional<Knee>& k) {
  const double perSec = 1e9 / double(sliceNs);
  uint64_t total = 0;
  for (uint64_t b : s) total += b;
  if (!k) {
    const double rate = s.empty() ? 0 : double(total) / double(s.size()) * perSec;
    return "Writes at " + rateText(rate) + " throughout (" + sizeText(total) + ")";
  }
  return "Writes at " + rateText(k->before * perSec) + " for the first " + sizeText(k->bytes) + ", then " +
         rateText(k->after * perSec);
}

std::vector<uint64_t> binSlices(const std::vector<uint64_t>& s, size_t maxItems, int64_t& sliceNs) {
  std::vector<uint64_t> out = s;
  while (maxItems > 0 && out.size() > maxItems) {
    std::vector<uint64_t> half((out.size() + 1) / 2, 0);
    for (size_t i = 0; i < out.size(); ++i) half[i / 2] += out[i];
    out = std::move(half);
    sliceNs *= 2;
  }
  return out;
}

}  // namespace vpw
