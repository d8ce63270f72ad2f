#include "perf/vlmperfutil/phases.h"

#include <sched.h>

#include <cstdio>
#include <cstring>

#include "perf/testplan.h"
#include "perf/vlmperfutil/common.h"

namespace vpu {

namespace {

enum PhaseId { kSequential, kRandom, kDual, kThreaded, kPhases };
static_assert(kPhases == vlm::testplan::kPhases);
const char* const kKeys[kPhases] = {"Sequential:", "Random:", "Dual:", "Threaded:"};

// "1 MiB" or "4 KiB".
std::string blocks(uint32_t bs) {
  char b[24];
  if (bs % kMiB == 0)
    snprintf(b, sizeof b, "%u MiB", unsigned(bs / kMiB));
  else
    snprintf(b, sizeof b, "%u KiB", bs / 1024);
  return b;
}

double mib(uint64_t b) { return double(b) / double(kMiB); }
double secs(int64_t ns) { return double(ns) / 1e9; }
double usec(double ns) { return ns / 1e3; }

// The free-text line of one finished phase (never one of the result keys).
void describe(PhaseId id, const Plan& p, const Tally& t, uint64_t mid) {
  switch (id) {
    case kSequential:
      say("Sequential read: %s blocks, %u in flight, one stream over the device: %.1f MiB in %.2f s",
          blocks(p.seqBs()).c_str(), kSeqDepth, mib(t.bytes), secs(t.elapsed()));
      break;
    case kRandom:
      say("Random read: %s blocks at random aligned offsets, 1 in flight: %llu reads in %.2f s,"
          " latency mean %.1f us, p99 %.1f us",
          blocks(p.randBs()).c_str(), (unsigned long long)t.ios, secs(t.elapsed()), usec(t.lat.mean()),
          usec(double(t.lat.percentile(0.99))));
      break;
    case kDual:
      say("Dual read: two streams of %s blocks, %u in flight each, from 0 and from %.0f MiB:"
          " %.1f + %.1f MiB in %.2f s",
          blocks(p.seqBs()).c_str(), kDualDepth, mib(mid), mib(t.perStream.size() > 0 ? t.perStream[0] : 0),
          mib(t.perStream.size() > 1 ? t.perStream[1] : 0), secs(t.elapsed()));
      break;
    case kThreaded:
      say("Threaded read: %u threads, %s blocks at random offsets, %u in flight each:"
          " %llu reads in %.2f s, latency mean %.1f us",
          p.threads, blocks(p.randBs()).c_str(), kThreadDepth, (unsigned long long)t.ios, secs(t.elapsed()),
          usec(t.lat.mean()));
      break;
    default:
      break;
  }
}

void results(const bool* have, const uint64_t* kbps) {
  for (int i = 0; i < kPhases; ++i)
    if (have[i]) say("%s %llu KB/s", kKeys[i], (unsigned long long)kbps[i]);
}

}  // namespace

int64_t Plan::warmNs() const { return vlm::testplan::warmMs(seconds) * (kSec / 1000); }

unsigned threadCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  int n = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
  if (n < 1) n = 1;
  return unsigned(n) < kMaxThreads ? unsigned(n) : kMaxThreads;
}

uint64_t kbPerSec(uint64_t bytes, int64_t ns) {
  if (ns <= 0) return 0;
  return uint64_t((unsigned __int128)bytes * 1000000 / uint64_t(ns));
}

std::vector<PhaseReport> planPhases(const Plan& plan) {
  std::vector<PhaseReport> ph(kPhases);
  ph[kSequential] = {"Sequential", "sequential", plan.seqBs(), kSeqDepth, 1, 1, false, {}};
  ph[kRandom] = {"Random", "random", plan.randBs(), 1, 1, 1, false, {}};
  ph[kDual] = {"Dual", "sequential", plan.seqBs(), kDualDepth, 2, 1, false, {}};
  ph[kThreaded] = {"Threaded", "random", plan.randBs(), kThreadDepth, 1, plan.threads, false, {}};
  return ph;
}

int measure(Engine& eng, const Plan& plan, const std::string& node, Checker& chk,
            std::vector<PhaseReport>& phases) {
  phases = planPhases(plan);
  const uint64_t seqEnd = plan.size / plan.seqBs() * plan.seqBs();
  const uint64_t randEnd = plan.size / plan.randBs() * plan.randBs();
  const uint64_t mid = plan.size / 2 / plan.seqBs() * plan.seqBs();
  const PhaseTime pt{plan.warmNs(), int64_t(plan.seconds) * kSec};
  Progress pg(kPhases * (pt.warmNs + pt.durNs));
  bool have[kPhases] = {};
  uint64_t kbps[kPhases] = {};
  for (int i = 0; i < kPhases && !canceled(); ++i) {
    const PhaseId id = PhaseId(i);
    chk.before(i);
    pg.beginPhase(nowNs(), pt.warmNs + pt.durNs);
    const PhaseReport& ph = phases[i];
    const bool rnd = ph.pattern[0] == 'r';
    const uint64_t end = rnd ? randEnd : seqEnd;
    Tally t;
    if (ph.threads > 1 || id == kThreaded)
      t = eng.runThreads({true, 0, end, ph.bs, ph.depth}, ph.threads, pt, pg);
    else if (ph.streams == 2)
      t = eng.run({{false, 0, mid, ph.bs, ph.depth}, {false, mid, end, ph.bs, ph.depth}}, pt, pg);
    else
      t = eng.run({{rnd, 0, end, ph.bs, ph.depth}}, pt, pg);
    if (t.err != 0) {
      complain("read error on %s at offset %llu: %s", node.c_str(),
               (unsigned long long)t.errOffset, strerror(t.err));
      return kExitFailed;
    }
    if (canceled()) break;
    describe(id, plan, t, mid);
    chk.after(i, kPhaseNames[i], t.read);
    have[i] = true;
    kbps[i] = kbPerSec(t.bytes, t.elapsed());
    phases[i].finished = true;
    phases[i].t = std::move(t);
  }
  chk.summary(have, kbps, !canceled());
  if (canceled()) {
    if (gCancelReported.exchange(1) == 0) say("Canceled");
    results(have, kbps);
    return kExitCanceled;
  }
  pg.finish();
  results(have, kbps);
  return kExitOk;
}

}  // namespace vpu
