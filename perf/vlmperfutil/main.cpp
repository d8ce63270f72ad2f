// vlmperfutil: read-only speed measurement of one block device, installed
// set-user-ID root. Usage: vlmperfutil [-s SECONDS] [-I IDENTITY] -T DEVICE NAME,
// or vlmperfutil -V for the build it is.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "perf/vlmperfutil/args.h"
#include "perf/vlmperfutil/checks.h"
#include "perf/vlmperfutil/common.h"
#include "perf/vlmperfutil/device.h"
#include "perf/vlmperfutil/engine.h"
#include "perf/vlmperfutil/phases.h"
#include "perf/vlmperfutil/record.h"

using namespace vpu;

namespace {

int usage(const std::string& why) {
  complain("%s", why.c_str());
  complain("usage: vlmperfutil [-s SECONDS] [-I IDENTITY] -T DEVICE NAME   (DEVICE like disk2 or disk2s1)");
  return kExitUsage;
}

void header(const Args& a, const Device& dev, const Plan& plan, const Engine& eng) {
  char disk[40], vol[256], kern[40];
  printable(disk, sizeof disk, a.device.c_str());
  printableText(vol, sizeof vol, a.name.c_str());
  printable(kern, sizeof kern, dev.kernel.c_str());
  if (vol[0])
    say("vlmperfutil %s, volume \"%s\"", disk, vol);
  else
    say("vlmperfutil %s", disk);  // no volume on it
  say("Device /dev/%s: %llu bytes (%.1f MiB), logical block %u bytes", kern,
      (unsigned long long)dev.size, double(dev.size) / double(kMiB), dev.lbs);
  say("Engine %s; reading only, O_DIRECT", eng.describe().c_str());
  say("Each phase: %.1f s warm-up, then %d s measured", double(plan.warmNs()) / 1e9, plan.seconds);
}

// How long the device's open and first read may take.
constexpr int64_t kAnswerNs = 15 * kSec;  // a sleeping disk spins up in less

[[noreturn]] void noAnswer(const char* what) {
  char name[64];
  printable(name, sizeof name, what);
  complain("%s: the device does not answer", name);
  std::_Exit(kExitNoAnswer);  // what waits in the kernel is left behind
}

}  // namespace

int main(int argc, char** argv) {
  // The handler first, then every signal unblocked: a SIGCONT that a caller
  // sent before the handler was there waits, blocked, and cancels now.
  installCancelHandler();
  sanitiseProcess();
  Args args;
  std::string why;
  if (!parseArgs(argc, argv, args, why)) return usage(why);
  if (args.build) {
    const std::string id = buildId();
    if (id.empty()) return usage("this build carries no build identity");
    say("vlmperfutil build %s", id.c_str());
    return kExitOk;
  }

  Device dev;
  // A device that doesn't answer ends the run at once: never a hang.
  if (!answers(args.device, kAnswerNs)) noAnswer(args.device.c_str());
  if (int rc = openDevice(args.device, dev, why); rc != kExitOk) {
    complain("%s", why.c_str());
    return rc;
  }
  // Root only opened the device; the identity is read as the user who
  // listed it, so both see the same sysfs attributes.
  if (!dropPrivileges(why)) {
    complain("can't drop privileges: %s", why.c_str());
    return kExitFailed;
  }
  if (!args.ident.empty()) {
    if (int rc = checkIdentity(dev, args.device, args.ident, why); rc != kExitOk) {
      complain("%s", why.c_str());
      return rc;
    }
  }
  if (dev.size < kMinDevice) {
    complain("/dev/%s is too small to measure (%llu bytes, at least %llu needed)",
             dev.kernel.c_str(), (unsigned long long)dev.size, (unsigned long long)kMinDevice);
    return kExitFailed;
  }
  Plan plan;
  plan.size = dev.size;
  plan.lbs = dev.lbs;
  plan.threads = threadCount();
  plan.seconds = args.seconds;

  ownSession();
  // Rings and registered buffers as the real user: its RLIMIT_MEMLOCK bounds
  // what the kernel pins.
  std::string uringWhy;
  std::unique_ptr<Engine> eng = makeUringEngine(dev.fd.get(), kSeqDepth, plan.seqBs(),
                                                plan.threads, kThreadDepth, plan.randBs(), uringWhy);
  if (!eng) eng = makePreadEngine(dev.fd.get());
  if (!probeRead(dev, why)) {
    complain("%s", why.c_str());
    return kExitFailed;
  }
  header(args, dev, plan, *eng);
  if (!uringWhy.empty()) say("(%s)", uringWhy.c_str());
  Checker chk(dev);
  chk.header();
  try {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    std::vector<PhaseReport> phases;
    const int rc = measure(*eng, plan, "/dev/" + dev.kernel, chk, phases);
    writeRecord(recordJson(args, dev, plan, eng->describe(), phases, rc, double(wall.tv_sec)));
    return rc;
  } catch (const std::exception& e) {  // threads or memory refused
    complain("measurement failed: %s", e.what());
    return kExitFailed;
  }
}
