// The four measurements and their report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// One phase: how it reads, and once finished what it counted.
struct PhaseReport {
  const char* name = "";     // "Sequential", "Random", "Dual", "Threaded"
  const char* pattern = "";  // "sequential" or "random"
  uint32_t bs = 0;
  unsigned depth = 0, streams = 1, threads = 1;
  bool finished = false;
  Tally t;
};

// The four phases of a plan, in order, none finished.
std::vector<PhaseReport> planPhases(const Plan& plan);

// Runs the phases in order, printing progress, a line of free text for each
// phase with its kernel counts, the checks' verdicts and at the end the four
// result lines; phases receives what each finished phase counted. Returns the
// exit code: 0, 1 on a read error, 3 when canceled (after "Canceled" and the
// figures of the phases already finished).
int measure(Engine& eng, const Plan& plan, const std::string& node, Checker& chk,
            std::vector<PhaseReport>& phases);

// Whole kilobytes (1000 bytes) per second, 0 when nothing was timed.
uint64_t kbPerSec(uint64_t bytes, int64_t ns);

}  // namespace vpu
