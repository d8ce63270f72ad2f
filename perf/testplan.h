// The time layout of one media test, shared by the utility and the programs
// that run it: four phases of equal length, each a warm-up followed by the
// measured time given with -s, so that the progress percent alone tells the
// phase and the time left.
#pragma once

#include <cstdint>

namespace vlm::testplan {

constexpr int kPhases = 4;
constexpr int kDefaultSeconds = 5;  // without -s
constexpr int kMinSeconds = 1, kMaxSeconds = 60;
constexpr const char* kPhaseNames[kPhases] = {"Sequential", "Random", "Dual", "Threaded"};

// Warm-up of a phase: a fifth of the measured time, at most one second.
constexpr int64_t warmMs(int seconds) {
  const int64_t dur = int64_t(seconds) * 1000;
  return dur / 5 < 1000 ? dur / 5 : 1000;
}
constexpr int64_t phaseMs(int seconds) { return warmMs(seconds) + int64_t(seconds) * 1000; }
constexpr int64_t totalMs(int seconds) { return kPhases * phaseMs(seconds); }
// The longest a run of the utility can last: every phase at its longest, and
// a minute for its start, its checks and the drain of a cancel.
constexpr int64_t kLongestRunMs = totalMs(kMaxSeconds) + 60 * 1000;

// The phase (0 to 3) that a progress percent falls in.
constexpr int phaseAt(double percent) {
  if (!(percent > 0)) return 0;
  const int p = int(percent * kPhases / 100);
  return p < kPhases ? p : kPhases - 1;
}

// Time still to run at a progress percent, in whole seconds rounded up.
constexpr int secondsLeft(double percent, int seconds) {
  if (!(percent > 0)) percent = 0;
  if (percent > 100) percent = 100;
  const double ms = double(totalMs(seconds)) * (100 - percent) / 100;
  const int s = int(ms / 1000);
  return double(s) * 1000 < ms ? s + 1 : s;
}

}  // namespace vlm::testplan
