// Progress lines, the merge of counts, and the wait for worker threads.
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <system_error>
#include <thread>

#include "perf/vlmperfutil/common.h"
#include "perf/vlmperfutil/engine.h"

namespace vpu {

void Tally::merge(const Tally& o) {
  if (o.ios != 0 || o.bytes != 0) {
    start = (ios == 0 && bytes == 0) || o.start < start ? o.start : start;
    last = std::max(last, o.last);
  }
  bytes += o.bytes;
  ios += o.ios;
  read += o.read;
  if (perStream.size() < o.perStream.size()) perStream.resize(o.perStream.size(), 0);
  for (size_t i = 0; i < o.perStream.size(); ++i) perStream[i] += o.perStream[i];
  if (slices.size() < o.slices.size()) slices.resize(o.slices.size(), 0);
  for (size_t i = 0; i < o.slices.size(); ++i) slices[i] += o.slices[i];
  lat.merge(o.lat);
  if (err == 0 && o.err != 0) {
    err = o.err;
    errOffset = o.errOffset;
  }
}

void Progress::beginPhase(int64_t now, int64_t phaseNs) {
  doneBefore_ += phaseLen_;
  phaseStart_ = now;
  phaseLen_ = phaseNs;
  tick(now);
}

void Progress::tick(int64_t now) {
  if (lastPct_ >= 0 && now - lastPrint_ < 250 * kMs) return;
  int64_t inPhase = std::clamp<int64_t>(now - phaseStart_, 0, phaseLen_);
  int pct = planned_ > 0 ? int((doneBefore_ + inPhase) * 100 / planned_) : 0;
  print(std::clamp(pct, 0, 99), now);
}

void Progress::finish() { print(100, nowNs()); }

void Progress::print(int pct, int64_t now) {
  pct = std::max(pct, lastPct_);  // never backwards
  lastPct_ = pct;
  lastPrint_ = now;
  say("Percent: %d", pct);
}

namespace {
// The kernel's struct sched_attr (glibc 2.36 has no wrapper).
struct SchedAttr {
  uint32_t size;
  uint32_t policy;
  uint64_t flags;
  int32_t nice;
  uint32_t priority;
  uint64_t runtime, deadline, period;
  uint32_t utilMin, utilMax;
};

// runtime 0: the kernel's default slice.
void askSlice(uint64_t runtimeNs) {
  // Policy and nice stay as they are (an unprivileged caller can't raise them).
  SchedAttr a{};
  if (syscall(SYS_sched_getattr, 0, &a, sizeof a, 0) != 0 || a.policy != SCHED_OTHER) return;
  a.size = sizeof a;
  a.flags = 0;
  a.runtime = runtimeNs;
  (void)syscall(SYS_sched_setattr, 0, &a, 0);
}
}  // namespace

void askShortSlice() { askSlice(100 * 1000); }  // ns: the kernel's smallest slice
void askDefaultSlice() { askSlice(0); }

void ownSession() {
  if (!isatty(STDOUT_FILENO)) (void)setsid();  // fails only for a group leader: then as before
}

void runTogether(unsigned n, PhaseTime pt, Progress& pg,
                 const std::function<void(unsigned, const StartFn&)>& body) {
  Timeline tl;
  std::atomic<bool> refused{false};
  std::barrier sync(n + 1, [&]() noexcept {
    const int64_t t0 = nowNs();
    // Threads refused: the ones that started stop at once.
    tl = refused.load() ? Timeline{t0, t0} : Timeline{t0 + pt.warmNs, t0 + pt.warmNs + pt.durNs};
  });
  const StartFn start = [&] {
    sync.arrive_and_wait();
    return tl;
  };
  std::atomic<unsigned> finished{0};
  std::vector<std::thread> pool;
  std::error_code failure;
  try {
    for (unsigned i = 0; i < n; ++i) {
      pool.emplace_back([&, i] {
        body(i, start);
        finished.fetch_add(1, std::memory_order_release);
      });
    }
  } catch (const std::system_error& e) {  // RLIMIT_NPROC, address space
    failure = e.code();
    refused.store(true);
    const unsigned missing = n - unsigned(pool.size());
    finished.fetch_add(missing, std::memory_order_release);
    (void)sync.arrive(missing);  // in place of the threads that never started
  }
  sync.arrive_and_wait();
  while (finished.load(std::memory_order_acquire) < n) {
    timespec ts{0, 50 * kMs};
    nanosleep(&ts, nullptr);
    pg.tick(nowNs());
  }
  for (auto& t : pool) t.join();
  if (failure) throw std::system_error(failure, "can't start the measuring threads");
}

}  // namespace vpu
