// vlmperfwrite: the write test. Usage:
//   vlmperfwrite [--size N] [--sustained] [--seconds S] FOLDER
// Runs as the user; writes only into an unnamed file in FOLDER (see write.h).
// Output as the read utility's: free text, "Percent: " lines, result lines,
// and the test record behind its mark.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <linux/magic.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "perf/testplan.h"
#include "perf/vlmperfutil/common.h"
#include "perf/vlmperfwrite/write.h"
#include "platform/devnames.h"
#include "platform/linkspeed.h"
#include "platform/memserved.h"
#include "platform/sysfsread.h"

#ifndef VLM_VERSION
#define VLM_VERSION "0"
#endif

using namespace vpw;
using vpu::complain;
using vpu::kSec;
using vpu::nowNs;
using vpu::say;
using Json = nlohmann::ordered_json;

namespace {

constexpr char kMark = '\x1e';
const WritePhase kPhases[] = {
    {"Write sequential", false, uint32_t(kMiB), 8},
    {"Write random", true, 4096, 1},
    {"Write random QD32", true, 4096, 32},
};
const WritePhase kSustained{"Sustained write", false, uint32_t(kMiB), 8};
constexpr size_t kMaxSlices = 600;  // the record's bound, with room to spare

struct Args {
  std::string folder;
  std::optional<uint64_t> size;
  bool sustained = false;
  int seconds = vlm::testplan::kDefaultSeconds;
};

int usage(const std::string& why) {
  complain("%s", why.c_str());
  complain("usage: vlmperfwrite [--size N] [--sustained] [--seconds S] FOLDER");
  return vpu::kExitUsage;
}

bool parseArgs(int argc, char** argv, Args& a, std::string& why) {
  for (int i = 1; i < argc; ++i) {
    const std::string s = argv[i];
    if (s == "--sustained") {
      a.sustained = true;
    } else if ((s == "--size" || s == "--seconds") && i + 1 < argc) {
      const std::string v = argv[++i];
      auto n = parseSize(v);
      if (s == "--size") {
        if (!n || *n == 0) return why = "--size " + v + ": not a size (bytes, or with K, M, G, T)", false;
        a.size = n;
      } else {
        if (!n || *n < uint64_t(vlm::testplan::kMinSeconds) || *n > uint64_t(vlm::testplan::kMaxSeconds) ||
            v.find_first_not_of("0123456789") != std::string::npos)
          return why = "--seconds " + v + ": 1 to 60", false;
        a.seconds = int(*n);
      }
    } else if (!s.empty() && s[0] != '-' && a.folder.empty()) {
      a.folder = s;
    } else {
      return why = "unexpected argument " + s, false;
    }
  }
  if (a.folder.empty()) return why = "no folder given", false;
  return true;
}

extern "C" void onCancel(int) {
  if (vpu::gCancel.exchange(1) == 0) alarm(1);
}
// Writes in flight that never complete must not hold a cancel: the file has
// no name, so leaving at once loses nothing.
extern "C" void onAlarm(int) {
  if (vpu::gCancelReported.exchange(1) == 0) {
    static const char kLine[] = "Canceled\n";
    ssize_t w = write(1, kLine, sizeof kLine - 1);
    (void)w;
  }
  _exit(vpu::kExitCanceled);
}

void installSignals() {
  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  sa.sa_handler = onAlarm;
  sigaction(SIGALRM, &sa, nullptr);
  sa.sa_handler = onCancel;
  for (int sig : {SIGCONT, SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  // The runner starts us with SIGCONT blocked so that an early cancel waits
  // for the handler: now it may come.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The block device under the folder's file system, when it has one.
struct Volume {
  std::optional<vlm::devnames::BlockDev> dev;
  std::string whole;   // kernel name of its whole disk
  std::string fstype;  // from the mount table
  bool tmpfs = false;
};

std::string fsTypeOf(dev_t devno) {
  FILE* f = fopen("/proc/self/mountinfo", "re");
  if (!f) return "";
  char line[4096];
  std::string type;
  const std::string want = std::to_string(major(devno)) + ":" + std::to_string(minor(devno));
  while (fgets(line, sizeof line, f)) {
    char id[32] = "", fs[64] = "";
    const char* sep = strstr(line, " - ");
    if (!sep || sscanf(line, "%*s %*s %31s", id) != 1 || sscanf(sep + 3, "%63s", fs) != 1) continue;
    if (want == id) type = fs;  // the last mount of the device wins, as the kernel's view does
  }
  fclose(f);
  return type;
}

// The kernel's counters of the device, in bytes.
struct Counters {
  uint64_t read = 0, written = 0;
};
std::optional<Counters> counters(const Volume& v) {
  if (!v.dev) return std::nullopt;
  auto line = vlm::sysfs::readText(AT_FDCWD, v.dev->syspath + "/stat", 512);
  if (!line) return std::nullopt;
  unsigned long long f[7];
  if (sscanf(line->c_str(), "%llu %llu %llu %llu %llu %llu %llu", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5],
             &f[6]) != 7)
    return std::nullopt;
  return Counters{f[2] * 512, f[6] * 512};
}

// Progress over the whole run, and the free-space rule while writing.
class RunWatch : public Watch {
 public:
  RunWatch(int fd, uint64_t size, bool allocated, int64_t timedNs, bool sustained)
      : fd_(fd), size_(size), allocated_(allocated), timedNs_(timedNs), sustained_(sustained) {}
  void phase(int64_t now, int64_t lenNs) {
    doneNs_ += lenNs_;
    start_ = now;
    lenNs_ = lenNs;
  }
  void tick(int64_t now, uint64_t written) override {
    double timed = double(doneNs_ + std::min(now - start_, lenNs_)) / double(timedNs_);
    double pct = sustained_ ? (lenNs_ == 0 ? 0.5 + 0.5 * double(written) / double(size_) : 0.5 * timed) : timed;
    const int p = std::min(99, int(pct * 100));
    if (p > last_ && now - printed_ >= 250 * vpu::kMs) {
      say("Percent: %d", p);
      last_ = p;
      printed_ = now;
    }
    check();
  }
  const char* stop() override { return stop_.empty() ? nullptr : stop_.c_str(); }

 private:
  // Someone else may fill the volume meanwhile: the rule holds all along.
  void check() {
    auto s = spaceOf(fd_);
    if (!s) return;
    uint64_t pending = 0;  // of the file, not yet taken from the free space
    struct stat st {};
    if (!allocated_ && fstat(fd_, &st) == 0 && uint64_t(st.st_blocks) * 512 < size_)
      pending = size_ - uint64_t(st.st_blocks) * 512;
    const uint64_t keep = keepFree(s->total);
    if (s->free >= pending + keep) return;
    stop_ = "Stopped: the volume's free space fell to " + sizeText(s->free) + ", and at least " + sizeText(keep) +
            " must stay free";
  }
  int fd_;
  uint64_t size_;
  bool allocated_;
  int64_t timedNs_, doneNs_ = 0, start_ = 0, lenNs_ = 0, printed_ = 0;
  bool sustained_;
  int last_ = -1;
  std::string stop_;
};

Json phaseJson(const char* name, const WriteTally& t, int seconds) {
  std::vector<uint64_t> slices = t.slices;
  const size_t whole = size_t(seconds) * 10;  // the writes that completed after the time count in its last slice
  if (slices.size() > whole) {
    for (size_t i = whole; i < slices.size(); ++i) slices[whole - 1] += slices[i];
    slices.resize(whole);
  }
  Json bins = Json::array();
  for (auto [upper, n] : t.lat.compact()) bins.push_back({upper, n});
  const double secs = t.seconds();
  return {{"name", name},
          {"bytes", t.bytes},
          {"ios", t.ios},
          {"seconds", secs},
          {"kbps", t.kbps()},
          {"iops", secs > 0 ? double(t.ios) / secs : 0.0},
          {"latencyNs",
           {{"mean", uint64_t(t.lat.mean() + 0.5)},
            {"p50", t.lat.percentile(0.5)},
            {"p99", t.lat.percentile(0.99)},
            {"p999", t.lat.percentile(0.999)},
            {"max", t.lat.max()}}},
          {"histogram", std::move(bins)},
          {"flushNs", t.flushNs},
          {"sliceMs", vpu::kSliceNs / vpu::kMs},
          {"sliceBytes", std::move(slices)}};
}

double mb(uint64_t b) { return double(b) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  vpu::gProgram = "vlmperfwrite";
  installSignals();
  Args a;
  std::string why;
  if (!parseArgs(argc, argv, a, why)) return usage(why);
  // Never with borrowed powers: it writes as the user who runs it.
  if (getuid() != geteuid() || getgid() != getegid()) {
    complain("refusing to run set-user-ID or set-group-ID: the write test runs as the user");
    return vpu::kExitUsage;
  }
  dev_t devno = 0;
  if (std::string no = folderRefusal(a.folder, &devno); !no.empty()) {
    complain("%s", no.c_str());
    return vpu::kExitUsage;
  }

  Volume vol;
  vol.dev = vlm::devnames::byDevno(devno);
  if (vol.dev) vol.whole = vol.dev->whole ? vol.dev->kernel : vol.dev->parent;
  vol.fstype = fsTypeOf(devno);
  struct statfs sfs {};
  vol.tmpfs = statfs(a.folder.c_str(), &sfs) == 0 && (sfs.f_type == TMPFS_MAGIC || sfs.f_type == RAMFS_MAGIC);

  Scratch sc;
  if (!openScratch(a.folder, sc, why)) {
    if (errno == EINVAL)
      why += " (direct I/O is not possible there: memory would take the writes)";
    complain("%s", why.c_str());
    return vpu::kExitFailed;
  }
  auto space = spaceOf(sc.fd);
  if (!space) {
    complain("the free space of %s can't be read: %s", a.folder.c_str(), strerror(errno));
    return vpu::kExitFailed;
  }
  const uint64_t most = largestFile(*space);
  uint64_t size = a.size ? *a.size : a.sustained ? most : std::min(most, kDefaultFile);
  size = size / kMiB * kMiB;
  if (std::string no = refusal(*space, a.size ? *a.size : size); !no.empty()) {
    complain("%s", no.c_str());
    return vpu::kExitFailed;
  }
  bool allocated = fallocate(sc.fd, 0, 0, off_t(size)) == 0;
  if (!allocated && (errno == ENOSPC || errno == EDQUOT)) {
    complain("%s can't hold a test file of %s: %s", a.folder.c_str(), sizeText(size).c_str(), strerror(errno));
    return vpu::kExitFailed;
  }
  if (!allocated && ftruncate(sc.fd, off_t(size)) != 0) {
    complain("can't size the test file: %s", strerror(errno));
    return vpu::kExitFailed;
  }

  std::string writerWhy;
  std::unique_ptr<Writer> w = makeWriter(sc.fd, writerWhy);
  vpu::ownSession();
  const std::string node = vol.dev ? vol.dev->node : "";
  char folder[512];
  vpu::printableText(folder, sizeof folder, a.folder.c_str());
  say("vlmperfwrite %s: %s%s%s", folder, vol.fstype.empty() ? "file system" : vol.fstype.c_str(),
      node.empty() ? "" : " on ", node.c_str());
  say("Test file: %s, %s%s", sc.how.c_str(), sizeText(size).c_str(), allocated ? ", allocated before writing" : "");
  say("Free space: %s of %s; at least %s stays free", sizeText(space->free).c_str(), sizeText(space->total).c_str(),
      sizeText(keepFree(space->total)).c_str());
  say("Engine %s; direct I/O, random data; each phase ends with fdatasync, counted in its figure",
      w->describe().c_str());
  if (!writerWhy.empty()) say("(%s)", writerWhy.c_str());
  const int64_t warmNs = vlm::testplan::warmMs(a.seconds) * vpu::kMs;
  say("Each phase: %.1f s warm-up, then %d s measured", double(warmNs) / 1e9, a.seconds);

  // What else may shape the figures, as the read test says it.
  std::vector<std::string> warnings;
  auto warn = [&](const std::string& s) {
    say("%s", s.c_str());
    warnings.push_back(s);
  };
  std::optional<vlm::linkspeed::Link> link;
  if (vol.dev) {
    link = vlm::linkspeed::ofDisk("/sys", vol.whole);
    say("Link: %s", vlm::linkspeed::describe(link).c_str());
    for (const std::string& f : vlm::memserved::findings("/sys", vol.whole, node)) {
      if (f.find("sparse") != std::string::npos) continue;  // holes matter to reads only
      f.rfind("Warning: ", 0) == 0 ? warn(f) : say("%s", f.c_str());
    }
  } else {
    say("Note: no block device under %s; other programs' I/O and the link are not checked", folder);
  }
  if (vol.tmpfs) warn(std::string("Warning: ") + folder + " is in memory (tmpfs): the figures measure memory, not a disk");

  timespec wall{};
  clock_gettime(CLOCK_REALTIME, &wall);
  const int64_t phaseNs = warmNs + int64_t(a.seconds) * kSec;
  RunWatch watch(sc.fd, size, allocated, 3 * phaseNs, a.sustained);
  Json done = Json::array();
  std::vector<std::pair<const char*, uint64_t>> results;
  int rc = vpu::kExitOk;
  bool counted = true;
  auto run = [&](const WritePhase& ph, vpu::PhaseTime pt) -> std::optional<WriteTally> {
    const auto before = counters(vol);
    watch.phase(nowNs(), pt.durNs ? pt.warmNs + pt.durNs : 0);
    WriteTally t = w->run(ph, size, pt, watch);
    if (t.err) {
      complain("write error in %s at offset %llu: %s", folder, (unsigned long long)t.errOffset, strerror(t.err));
      rc = vpu::kExitFailed;
      return std::nullopt;
    }
    if (vpu::canceled()) return std::nullopt;
    if (t.stopped) {
      say("%s", t.stopped);
      rc = vpu::kExitFailed;
      return std::nullopt;
    }
    const auto after = counters(vol);
    say("%s: %s blocks, %u in flight: %.1f MB in %.2f s (flush %.1f ms), latency mean %.1f us, p99 %.1f us", ph.name,
        ph.bs >= kMiB ? "1 MiB" : "4 KiB", ph.depth, mb(t.bytes), t.seconds(), double(t.flushNs) / 1e6,
        t.lat.mean() / 1e3, double(t.lat.percentile(0.99)) / 1e3);
    if (before && after) {
      const uint64_t r = after->read - before->read, wr = after->written - before->written;
      say("Kernel counters, %s phase: %.1f MB written, %.1f MB read (this program wrote %.1f MB)", ph.name, mb(wr),
          mb(r), mb(t.written));
      char line[320];
      if (r * 50 > t.written) {
        snprintf(line, sizeof line,
                 "Warning: the device was busy: %.1f MB read by other programs during the %s phase", mb(r), ph.name);
        warn(line);
      }
      if (wr * 50 < t.written * 49) {
        snprintf(line, sizeof line,
                 "Warning: the kernel counted %.1f MB written to the device during the %s phase, less than the %.1f MB"
                 " this program wrote: memory took the writes", mb(wr), ph.name, mb(t.written));
        warn(line);
      }
    } else {
      counted = false;
    }
    if (link && t.kbps() / 1000 > link->mbps) {
      char line[256];
      snprintf(line, sizeof line, "Warning: %s %llu MB/s is above the link's ceiling of %llu MB/s: a cache took it",
               ph.name, (unsigned long long)(t.kbps() / 1000), (unsigned long long)link->mbps);
      warn(line);
    }
    return t;
  };
  for (const WritePhase& ph : kPhases) {
    auto t = run(ph, {warmNs, int64_t(a.seconds) * kSec});
    if (!t) break;
    results.emplace_back(ph.name, t->kbps());
    done.push_back(phaseJson(ph.name, *t, a.seconds));
  }
  Json sustained = nullptr;
  std::string curve;
  if (a.sustained && rc == vpu::kExitOk && !vpu::canceled()) {
    if (auto t = run(kSustained, {0, 0})) {
      const auto knee = findKnee(t->slices);
      curve = kneeText(t->slices, vpu::kSliceNs, knee);
      int64_t sliceNs = vpu::kSliceNs;
      std::vector<uint64_t> bins = binSlices(t->slices, kMaxSlices, sliceNs);
      results.emplace_back(kSustained.name, t->kbps());
      const double perSec = 1e9 / double(vpu::kSliceNs);
      sustained = {{"bytes", t->bytes},
                   {"seconds", t->seconds()},
                   {"kbps", t->kbps()},
                   {"flushNs", t->flushNs},
                   {"sliceMs", sliceNs / vpu::kMs},
                   {"sliceBytes", std::move(bins)},
                   {"knee", knee ? Json{{"bytes", knee->bytes},
                                        {"beforeKBps", uint64_t(knee->before * perSec / 1000)},
                                        {"afterKBps", uint64_t(knee->after * perSec / 1000)}}
                                 : Json(nullptr)},
                   {"summary", curve}};
    }
  }
  if (vpu::canceled()) {
    if (vpu::gCancelReported.exchange(1) == 0) say("Canceled");
    rc = vpu::kExitCanceled;
  } else if (rc == vpu::kExitOk) {
    say("Percent: 100");
    if (warnings.empty() && counted)
      say("Checked: the kernel counted the same writes; no other I/O; %s",
          link ? "within the link's ceiling" : "the link's ceiling is unknown");
  }
  for (auto [name, kbps] : results) say("%s: %llu KB/s", name, (unsigned long long)kbps);
  if (!curve.empty()) say("%s", curve.c_str());

  utsname u{};
  uname(&u);
  Json plist = Json::array();
  for (const WritePhase& ph : kPhases)
    plist.push_back({{"name", ph.name}, {"pattern", ph.random ? "random" : "sequential"}, {"blockSize", ph.bs},
                     {"queueDepth", ph.depth}, {"streams", 1}, {"threads", 1}});
  Json r;
  r["format"] = "vlm-test-record";
  r["formatVersion"] = 1;
  r["kind"] = "write";
  r["program"] = {{"name", "vlmperfwrite"}, {"version", VLM_VERSION}};
  r["time"] = vpu::isoTime(wall.tv_sec);
  r["unixTime"] = int64_t(wall.tv_sec);
  r["host"] = u.nodename;
  r["kernel"] = std::string(u.sysname) + " " + u.release;
  r["device"] = {{"name", vol.dev ? vol.dev->name : "disk0"},
                 {"node", vol.dev ? node : "/dev/null"},
                 {"size", vol.dev ? vol.dev->size : 0},
                 {"logicalBlock", 512}};
  r["folder"] = a.folder;
  r["filesystem"] = vol.fstype;
  r["parameters"] = {{"seconds", a.seconds}, {"warmUpSeconds", double(warmNs) / 1e9}, {"engine", w->describe()},
                     {"phases", std::move(plist)}, {"fileSize", size}, {"unnamedFile", !sc.named},
                     {"sustained", a.sustained}};
  r["phases"] = std::move(done);
  if (!sustained.is_null()) r["sustained"] = std::move(sustained);
  r["result"] = rc == vpu::kExitOk ? "Ok" : rc == vpu::kExitCanceled ? "Canceled" : "Failed";
  r["exitStatus"] = rc;
  const std::string line = kMark + r.dump(-1, ' ', false, Json::error_handler_t::replace) + '\n';
  vpu::writeAll(1, line.data(), line.size());
  return rc;
}
