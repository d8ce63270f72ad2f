// What an engine runs (streams of reads over a region) and what it counts.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "perf/vlmperfutil/stats.h"

namespace vpu {

// Reads of bs bytes over [begin, end) (both multiples of bs), depth in flight.
// A sequential stream wraps to begin at end; a random one picks uniformly.
struct Stream {
  bool random = false;
  uint64_t begin = 0;
  uint64_t end = 0;
  uint32_t bs = 0;
  unsigned depth = 1;
  // A random stream's next offset: a whole block anywhere in the region.
  uint64_t randomOffset(Rng& rng) const { return begin + rng.below((end - begin) / bs) * bs; }
};

// Absolute CLOCK_MONOTONIC times: completions from warmEnd on count; no new
// read is submitted from stop on.
struct Timeline {
  int64_t warmEnd = 0;
  int64_t stop = 0;
};

constexpr int64_t kSliceNs = 100 * 1000000;  // throughput is kept per 100 ms
constexpr size_t kMaxSlices = 1000;

// What one worker (or a whole phase, merged) counted.
struct Tally {
  uint64_t bytes = 0;
  uint64_t ios = 0;
  uint64_t read = 0;  // every byte the reads returned, warm-up and drain included
  int64_t start = 0;  // counting started (warmEnd)
  int64_t last = 0;   // last counted completion
  std::vector<uint64_t> perStream;  // bytes of each stream
  std::vector<uint64_t> slices;     // bytes completed in each 100 ms from start
  Histogram lat;
  int err = 0;        // first errno seen, 0 if none
  uint64_t errOffset = 0;

  // One read of len bytes of the given stream, issued at `issued`, done at
  // now; counts only from start (the end of the warm-up) on.
  void count(int64_t now, int64_t issued, uint32_t len, unsigned stream) {
    if (now < start) return;
    bytes += len;
    ios++;
    perStream[stream] += len;
    last = now;
    lat.add(uint64_t(now - issued));
    const size_t slice = size_t((now - start) / kSliceNs);
    if (slice < kMaxSlices) {
      if (slices.size() <= slice) slices.resize(slice + 1, 0);
      slices[slice] += len;
    }
  }
  void merge(const Tally& o);
  int64_t elapsed() const { return last > start ? last - start : 0; }
};

// Prints progress; only the main thread calls it.
class Progress {
 public:
  explicit Progress(int64_t plannedNs) : planned_(plannedNs) {}
  void beginPhase(int64_t now, int64_t phaseNs);
  void tick(int64_t now);
  void finish();

 private:
  void print(int pct, int64_t now);
  int64_t planned_;
  int64_t doneBefore_ = 0, phaseStart_ = 0, phaseLen_ = 0, lastPrint_ = 0;
  int lastPct_ = -1;
};

// One phase's parameters besides its streams.
struct PhaseTime {
  int64_t warmNs = 0;
  int64_t durNs = 0;
};

class Engine {
 public:
  virtual ~Engine() = default;
  virtual std::string describe() const = 0;
  // All streams at once, as one worker in the calling thread's view.
  virtual Tally run(const std::vector<Stream>& streams, PhaseTime pt, Progress& pg) = 0;
  // The same random stream in each of `threads` threads, started together.
  virtual Tally runThreads(const Stream& s, unsigned threads, PhaseTime pt, Progress& pg) = 0;
};

// io_uring rings and registered buffers for a main worker (up to mainDepth
// reads of mainBs) and `threads` thread workers (threadDepth reads of
// threadBs). Null with the reason when io_uring can't be had; an engine with
// a note in why when its buffers could not be registered (RLIMIT_MEMLOCK).
std::unique_ptr<Engine> makeUringEngine(int fd, unsigned mainDepth, uint32_t mainBs,
                                        unsigned threads, unsigned threadDepth,
                                        uint32_t threadBs, std::string& why);
// Blocking pread from a pool of threads, one per read in flight.
std::unique_ptr<Engine> makePreadEngine(int fd);

// The calling thread's time slice (EEVDF's per-task slice, kernel 6.12 and
// later; elsewhere ignored). With one read in flight the shortest: a thread
// with a shorter slice than the running one takes the core when it wakes, so
// a completed read is seen at once rather than when a busy neighbour's slice
// ends. With several in flight the default: taking the core at every
// completion only preempts the kernel thread serving the next read; the
// worker reaps them together when it runs. The share of CPU time is the same.
void askShortSlice();
void askDefaultSlice();

// A session of its own, as fio's jobs have: the scheduler's automatic grouping
// (autogroup) then gives the measurement a share of its own rather than a part
// of what its caller's session runs besides (a build, the window). Not when the
// output is a terminal, where Ctrl-C must still reach the utility.
void ownSession();

// Runs body(i, start) in n threads. Each calls start() once when ready: it
// waits until all n have, and returns the timeline they share from then on.
// The calling thread prints progress until every body has returned.
using StartFn = std::function<Timeline()>;
void runTogether(unsigned n, PhaseTime pt, Progress& pg,
                 const std::function<void(unsigned, const StartFn&)>& body);

}  // namespace vpu
