// Link ceilings from sysfs: the rate of the link times its line coding
// (8b/10b for PCIe 2.5 and 5 GT/s, SATA, SAS up to 12 Gbit/s and USB 5 Gbit/s;
// 128b/130b for PCIe 8 to 32 GT/s; 242/256 for PCIe 64 GT/s flits; 128b/132b
// for USB 10 and 20 Gbit/s; 128b/150b for SAS 22.5 Gbit/s), in MB/s rounded.
#include "platform/linkspeed.h"

#include <fcntl.h>

#include <cstdio>

#include "platform/sysfsread.h"

namespace vlm::linkspeed {

namespace {

using sysfs::UniqueFd;
using sysfs::baseName;
using sysfs::numbered;
using sysfs::parentOf;

constexpr int kMaxDepth = 64;   // directories climbed from one disk
constexpr int kMaxStack = 8;    // virtual disks followed down to the one below

// A rate as a whole number of tenths: "8" and "8.0" are 80, "2.5" is 25.
std::optional<uint64_t> tenths(const std::string& s) {
  auto dot = s.find('.');
  if (dot == std::string::npos) {
    auto v = sysfs::parseU64(s);
    if (!v || *v > 1000000) return std::nullopt;
    return *v * 10;
  }
  if (dot + 2 != s.size()) return std::nullopt;
  auto whole = sysfs::parseU64(s.substr(0, dot));
  auto frac = sysfs::parseU64(s.substr(dot + 1));
  if (!whole || !frac || *whole > 1000000) return std::nullopt;
  return *whole * 10 + *frac;
}

// The first two blank-separated words of an attribute.
std::pair<std::string, std::string> words(const std::string& s) {
  auto a = s.find_first_not_of(' ');
  if (a == std::string::npos) return {};
  auto b = s.find(' ', a);
  std::string first = s.substr(a, b == std::string::npos ? std::string::npos : b - a);
  if (b == std::string::npos) return {first, ""};
  auto c = s.find_first_not_of(' ', b);
  if (c == std::string::npos) return {first, ""};
  auto d = s.find(' ', c);
  return {first, s.substr(c, d == std::string::npos ? std::string::npos : d - c)};
}

std::string rateText(uint64_t t) {
  char b[32];
  std::snprintf(b, sizeof b, "%llu.%llu", (unsigned long long)(t / 10), (unsigned long long)(t % 10));
  return b;
}

// Megabits per second on the wire, less the coding, in MB/s rounded.
Link make(std::string text, uint64_t mbit, uint64_t num, uint64_t den) {
  const uint64_t d = den * 8;
  return Link{std::move(text), (2 * mbit * num + d) / (2 * d)};
}

std::optional<Link> pcie(const std::string& speed, const std::string& width) {
  auto [rate, unit] = words(speed);
  auto t = tenths(rate);
  auto w = sysfs::parseU64(width);
  if (!t || unit != "GT/s" || !w || *w < 1 || *w > 32) return std::nullopt;
  const std::string text = "PCIe " + rateText(*t) + " GT/s x" + std::to_string(*w);
  const uint64_t mbit = *t * 100 * *w;
  switch (*t) {
    case 25: case 50: return make(text, mbit, 8, 10);
    case 80: case 160: case 320: return make(text, mbit, 128, 130);
    case 640: return make(text, mbit, 242, 256);
    default: return std::nullopt;
  }
}

std::optional<Link> sata(const std::string& spd) {
  auto [rate, unit] = words(spd);
  auto t = tenths(rate);
  if (!t || unit != "Gbps" || (*t != 15 && *t != 30 && *t != 60)) return std::nullopt;
  return make("SATA " + rateText(*t) + " Gbps", *t * 100, 8, 10);
}

std::optional<Link> sas(const std::string& rate) {
  auto [r, unit] = words(rate);
  auto t = tenths(r);
  if (!t || unit != "Gbit") return std::nullopt;
  const std::string text = "SAS " + rateText(*t) + " Gbit/s";
  switch (*t) {
    case 15: case 30: case 60: case 120: return make(text, *t * 100, 8, 10);
    case 225: return make(text, *t * 100, 128, 150);
    default: return std::nullopt;
  }
}

std::optional<Link> usb(const std::string& speed) {
  auto m = sysfs::parseU64(speed);
  if (!m) return std::nullopt;
  const std::string text = "USB " + std::to_string(*m) + " Mbit/s";
  switch (*m) {
    case 12: case 480: return make(text, *m, 1, 1);
    case 5000: return make(text, *m, 8, 10);
    case 10000: case 20000: return make(text, *m, 128, 132);
    default: return std::nullopt;
  }
}

std::string text(int rootfd, const std::string& path) {
  return sysfs::readText(rootfd, path, 256).value_or("");
}

using Seen = DirCache::Seen;

Seen linkAt(int rootfd, const std::string& dir, const std::string& subsystem) {
  if (subsystem == "pci") {
    if (auto sp = sysfs::readText(rootfd, dir + "/current_link_speed", 256))
      return {true, pcie(*sp, text(rootfd, dir + "/current_link_width"))};
    return {};
  }
  const std::string name = baseName(dir);
  if (numbered(name, "ata")) {
    for (const auto& e : sysfs::listDir(rootfd, dir))
      if (e.rfind("link", 0) == 0)
        if (auto spd = sysfs::readText(rootfd, dir + "/" + e + "/ata_link/" + e + "/sata_spd", 256))
          return {true, sata(*spd)};
    return {};
  }
  if (name.rfind("port-", 0) == 0) {
    for (const auto& e : sysfs::listDir(rootfd, dir))
      if (e.rfind("phy-", 0) == 0)
        if (auto r = sysfs::readText(rootfd, dir + "/" + e + "/sas_phy/" + e + "/negotiated_linkrate", 256))
          return {true, sas(*r)};
  }
  return {};
}

std::string subsystemOf(int rootfd, const std::string& dir) {
  auto l = sysfs::readLink(rootfd, dir + "/subsystem");
  return l ? baseName(*l) : std::string();
}

// What one of the cache's maps holds for dir, else what read() finds, kept.
// It is read outside the lock: two threads may both read a directory, and
// both find the same.
template <class V, class Read>
V remembered(std::mutex& mu, std::map<std::string, V>& known, const std::string& dir, Read read) {
  {
    std::lock_guard<std::mutex> lock(mu);
    auto it = known.find(dir);
    if (it != known.end()) return it->second;
  }
  V v = read();
  std::lock_guard<std::mutex> lock(mu);
  return known.emplace(dir, std::move(v)).first->second;
}

// Climbs from start to the devices directory: the nearest link, unless a USB
// device lies above; nothing once a virtio device is passed. Asks the cache,
// when there is one, before sysfs.
std::optional<Link> climb(int rootfd, std::string dir, DirCache* cache) {
  Seen nearest;
  for (int i = 0; i < kMaxDepth && dir.rfind("devices/", 0) == 0; ++i, dir = parentOf(dir)) {
    const std::string sub = cache ? cache->subsystem(rootfd, dir) : subsystemOf(rootfd, dir);
    if (sub == "usb") {
      if (auto sp = sysfs::readText(rootfd, dir + "/speed", 64)) return usb(*sp);
    }
    if (nearest.link) continue;
    if (sub == "virtio") return std::nullopt;
    nearest = cache ? cache->link(rootfd, dir, sub) : linkAt(rootfd, dir, sub);
  }
  return nearest.value;
}

// The canonical directory of the entry `name` of dir, which links elsewhere.
std::optional<std::string> follow(int rootfd, const std::string& dir, const std::string& name) {
  auto l = sysfs::readLink(rootfd, dir + "/" + name);
  return l ? sysfs::joinRelative(dir, *l) : std::nullopt;
}

std::optional<Link> ofDirAt(int rootfd, const std::string& diskdir, int stack, DirCache* cache) {
  if (diskdir.rfind("devices/", 0) != 0) return std::nullopt;
  const std::string up = parentOf(diskdir);
  // Multipath NVMe: the namespace hangs below its subsystem; its controllers link from there.
  if (up.rfind("devices/virtual/nvme-subsystem/", 0) == 0) {
    for (const auto& e : sysfs::listDir(rootfd, up))
      if (numbered(e, "nvme"))
        if (auto ctrl = follow(rootfd, up, e)) return climb(rootfd, *ctrl, cache);
    return std::nullopt;
  }
  if (diskdir.rfind("devices/virtual/", 0) != 0) return climb(rootfd, up, cache);
  // A stack on one disk: that disk's link (of its whole disk when it is a partition).
  auto below = sysfs::listDir(rootfd, diskdir + "/slaves");
  if (below.size() != 1 || stack >= kMaxStack) return std::nullopt;
  auto lower = follow(rootfd, diskdir + "/slaves", below[0]);
  if (!lower) return std::nullopt;
  if (sysfs::readText(rootfd, *lower + "/partition", 64)) lower = parentOf(*lower);
  return ofDirAt(rootfd, *lower, stack + 1, cache);
}

}  // namespace

std::string DirCache::subsystem(int rootfd, const std::string& dir) {
  return remembered(mu_, subsystems_, dir, [&] { return subsystemOf(rootfd, dir); });
}

DirCache::Seen DirCache::link(int rootfd, const std::string& dir, const std::string& subsystem) {
  return remembered(mu_, links_, dir, [&] { return linkAt(rootfd, dir, subsystem); });
}

std::optional<Link> ofDir(int rootfd, const std::string& diskdir, DirCache* cache) {
  return ofDirAt(rootfd, diskdir, 0, cache);
}

std::optional<Link> ofDisk(const std::string& sysroot, const std::string& kernel) {
  UniqueFd root = sysfs::openDir(AT_FDCWD, sysroot.empty() ? "/" : sysroot);
  if (!root || kernel.empty() || kernel.find('/') != std::string::npos) return std::nullopt;
  auto l = sysfs::readLink(root.get(), "block/" + kernel);
  auto rel = l ? sysfs::joinRelative("block", *l) : std::nullopt;
  return rel ? ofDir(root.get(), *rel) : std::nullopt;
}

std::string describe(const std::string& text, uint64_t mbps) {
  if (text.empty() || mbps == 0) return "unknown";
  return text + ", ceiling " + std::to_string(mbps) + " MB/s";
}

}  // namespace vlm::linkspeed
