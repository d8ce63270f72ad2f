#include "perf/vlmperfutil/checks.h"

#include <fcntl.h>

#include "perf/vlmperfutil/common.h"
#include "platform/memserved.h"

namespace vpu {

namespace {

double mb(uint64_t bytes) { return double(bytes) / 1e6; }

// The n-th blank-separated field of a stat line, strictly a number.
std::optional<uint64_t> field(const std::string& line, int n) {
  size_t i = 0;
  for (int k = 0;; ++k) {
    i = line.find_first_not_of(' ', i);
    if (i == std::string::npos) return std::nullopt;
    size_t j = line.find(' ', i);
    if (j == std::string::npos) j = line.size();
    if (k == n) return vlm::sysfs::parseU64(line.substr(i, j - i));
    i = j;
  }
}

}  // namespace

Checker::Checker(const Device& dev, const std::string& sysroot) : node_(dev.node) {
  c_.link = vlm::linkspeed::ofDisk(sysroot, dev.disk);
  c_.findings = vlm::memserved::findings(sysroot, dev.disk, dev.node);
  if (!dev.syspath.empty()) dir_ = vlm::sysfs::openDir(AT_FDCWD, dev.syspath);
}

std::optional<Checker::Counters> Checker::counters() const {
  if (!dir_) return std::nullopt;
  auto line = vlm::sysfs::readText(dir_.get(), "stat", 512);
  if (!line) return std::nullopt;
  auto r = field(*line, 2), w = field(*line, 6);  // sectors of 512 bytes
  if (!r || !w || *r > UINT64_MAX / 512 || *w > UINT64_MAX / 512) return std::nullopt;
  return Counters{*r * 512, *w * 512};
}

void Checker::warn(const std::string& line) {
  say("%s", line.c_str());
  c_.warnings.push_back(line);
}

void Checker::header() {
  say("Link: %s", vlm::linkspeed::describe(c_.link).c_str());
  for (const std::string& f : c_.findings) {
    if (f.rfind("Warning: ", 0) == 0)
      warn(f);
    else
      say("%s", f.c_str());
  }
  if (!counters())
    say("Note: the kernel's counters of %s can't be read; other programs' I/O is not checked", node_.c_str());
}

void Checker::before(int) {
  const int64_t t0 = nowNs();
  start_ = counters();
  startCost_ = nowNs() - t0;
}

void Checker::after(int phase, const char* name, uint64_t ownBytes) {
  PhaseCheck& p = c_.phase[size_t(phase)];
  p.own = ownBytes;
  const int64_t t0 = nowNs();
  auto end = counters();
  p.costNs = startCost_ + (nowNs() - t0);
  if (!start_ || !end) return;
  p.counted = true;
  p.kernelRead = end->read >= start_->read ? end->read - start_->read : 0;
  p.kernelWritten = end->written >= start_->written ? end->written - start_->written : 0;
  say("Kernel counters, %s phase: %.1f MB read, %.1f MB written (this program read %.1f MB;"
      " counters read in %.0f us)",
      name, mb(p.kernelRead), mb(p.kernelWritten), mb(p.own), double(p.costNs) / 1e3);
  char line[256];
  if (p.busy()) {
    snprintf(line, sizeof line,
             "Warning: the device was busy: %.1f MB read and %.1f MB written by other programs during the %s phase",
             mb(p.othersRead()), mb(p.kernelWritten), name);
    warn(line);
  }
  if (p.undercounted()) {
    snprintf(line, sizeof line,
             "Warning: the kernel counted %.1f MB read during the %s phase, less than the %.1f MB this program"
             " read: its counters can't confirm the figure",
             mb(p.kernelRead), name, mb(p.own));
    warn(line);
  }
}

void Checker::summary(const bool* have, const uint64_t* kbps, bool whole) {
  bool counted = true;
  for (size_t i = 0; i < c_.phase.size(); ++i) {
    if (!have[i]) continue;
    counted = counted && c_.phase[i].counted;
    if (!c_.link || kbps[i] / 1000 <= c_.link->mbps) continue;
    char line[256];
    snprintf(line, sizeof line, "Warning: %s %llu MB/s is above the link's ceiling of %llu MB/s: a cache served it",
             kPhaseNames[i], (unsigned long long)(kbps[i] / 1000), (unsigned long long)c_.link->mbps);
    warn(line);
  }
  if (!c_.warnings.empty() || !counted || !whole) return;
  say("Checked: the kernel counted the same reads; no other I/O; %s",
      c_.link ? "within the link's ceiling" : "the link's ceiling is unknown");
  c_.clean = true;
}

}  // namespace vpu
