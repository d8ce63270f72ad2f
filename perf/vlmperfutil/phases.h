// The four measurements and their report.
#pragma once

#include <cstdint>
#include <string>

#include "perf/testplan.h"
#include "perf/vlmperfutil/checks.h"
#include "perf/vlmperfutil/engine.h"

namespace vpu {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kMinDevice = 2 * kMiB;
constexpr unsigned kSeqDepth = 8, kDualDepth = 4, kThreadDepth = 8, kMaxThreads = 8;
constexpr uint32_t kSeqBs = 1024 * 1024, kRandBs = 4096;

struct Plan {
  uint64_t size = 0;     // device bytes
  uint32_t lbs = 512;    // logical block size
  unsigned threads = 1;  // threaded phase
  int seconds = vlm::testplan::kDefaultSeconds;       // measured time per phase
  uint32_t seqBs() const { return lbs > kSeqBs ? lbs : kSeqBs; }
  uint32_t randBs() const { return lbs > kRandBs ? lbs : kRandBs; }
  int64_t warmNs() const;
};

// Threads for the threaded phase: the usable cores, at most kMaxThreads.
unsigned threadCount();

// Runs the phases in order, printing progress, a line of free text for each
// phase with its kernel counts, the checks' verdicts and at the end the four
// result lines. Returns the exit code: 0, 1 on a read error, 3 when canceled
// (after "Canceled" and the figures of the phases already finished).
int measure(Engine& eng, const Plan& plan, const std::string& node, Checker& chk);

// Whole kilobytes (1000 bytes) per second, 0 when nothing was timed.
uint64_t kbPerSec(uint64_t bytes, int64_t ns);

}  // namespace vpu
