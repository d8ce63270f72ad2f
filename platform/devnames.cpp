// Device names from sysfs. Linked into the set-user-ID utility: libc and
// libstdc++ only, no environment, every read bounded and every number strict.
#include "platform/devnames.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>

#include "platform/sysfsread.h"

namespace vlm::sysfs {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) reset(o.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

UniqueFd openDir(int dirfd, const std::string& path) {
  int fd;
  do {
    fd = ::openat(dirfd, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

namespace {

// Reads on into buf (got bytes in it already) until the end of the file or
// cap + 1 bytes, growing buf as the file does: a 3 KB mountinfo under a cap
// of megabytes touches a few pages, not the whole cap.
std::optional<std::string> readOn(int fd, std::string buf, size_t got, size_t cap, off_t size) {
  const size_t limit = cap + 1;
  for (;;) {
    if (got == buf.size()) {
      if (buf.size() == limit) break;
      buf.resize(std::min(limit, std::max<size_t>(buf.size() * 2, 4096)));
    }
    size_t want = buf.size() - got;
    ssize_t n = ::read(fd, buf.data() + got, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += static_cast<size_t>(n);
    // A file with a size reads short only at its end (a sysfs attribute in
    // one read); proc files (size 0) may come in pieces.
    if (static_cast<size_t>(n) < want && size > 0) break;
  }
  if (got > cap) return std::nullopt;  // truncated: refuse rather than guess
  buf.resize(got);
  return buf;
}

}  // namespace

std::optional<std::string> readBytes(int dirfd, const std::string& path, size_t cap) {
  int raw;
  do {
    raw = ::openat(dirfd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (raw < 0 && errno == EINTR);
  UniqueFd fd(raw);
  if (!fd) return std::nullopt;
  if (dirfd != AT_FDCWD) {
    // A file under a directory descriptor is a sysfs attribute (or a file
    // standing in for one), whole in one read: no fstat for it, which is a
    // fifth of the listing's system calls, and a few bytes read on the stack.
    // A directory fails its read.
    char small[512];
    const size_t want = std::min(cap + 1, sizeof small);
    ssize_t n;
    do {
      n = ::read(fd.get(), small, want);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) < want) return std::string(small, static_cast<size_t>(n));
    return readOn(fd.get(), std::string(small, want), want, cap, 4096);
  }
  // Other paths (proc files of size 0 among them) are checked and sized.
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  size_t start = st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096;
  return readOn(fd.get(), std::string(std::min(cap + 1, start), '\0'), 0, cap, st.st_size);
}

std::optional<std::string> readText(int dirfd, const std::string& path, size_t cap) {
  auto buf = readBytes(dirfd, path, cap);
  if (!buf || buf->find('\0') != std::string::npos) return std::nullopt;
  if (!buf->empty() && buf->back() == '\n') buf->pop_back();
  return buf;
}

std::optional<uint64_t> parseU64(const std::string& s) {
  if (s.empty() || s.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::optional<uint64_t> readU64(int dirfd, const std::string& path) {
  auto t = readText(dirfd, path, 64);
  if (!t) return std::nullopt;
  return parseU64(*t);
}

std::optional<dev_t> parseDevno(const std::string& s) {
  auto colon = s.find(':');
  if (colon == std::string::npos) return std::nullopt;
  auto maj = parseU64(s.substr(0, colon));
  auto min = parseU64(s.substr(colon + 1));
  if (!maj || !min || *maj > 0xFFFFFFFFu || *min > 0xFFFFFFFFu) return std::nullopt;
  return makedev(static_cast<unsigned>(*maj), static_cast<unsigned>(*min));
}

std::vector<std::string> listDir(int dirfd, const std::string& path) {
  std::vector<std::string> out;
  UniqueFd fd = openDir(dirfd, path);
  if (!fd) return out;
  // getdents on the descriptor itself: no stream, no fstat or fcntl for it.
  alignas(8) char buf[16384];
  for (;;) {
    long n = ::syscall(SYS_getdents64, fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (long off = 0; off < n;) {
      const auto* e = reinterpret_cast<const struct dirent64*>(buf + off);
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) out.emplace_back(e->d_name);
      off += e->d_reclen;
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::optional<std::string> readLink(int dirfd, const std::string& path) {
  char buf[4097];
  ssize_t n = ::readlinkat(dirfd, path.c_str(), buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

void parallelFor(size_t n, unsigned threads, const std::function<void(size_t)>& fn) {
  // A thread costs about what a few devices' reads do: below this many each, one thread.
  constexpr size_t kPerThread = 16;
  const size_t extra = std::min<size_t>(threads > 0 ? threads - 1 : 0, n / kPerThread);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) fn(i);
  };
  std::vector<std::thread> helpers;
  for (size_t t = 0; t < extra; ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // no thread to be had: fewer do it
    }
  }
  work();
  for (auto& h : helpers) h.join();
}

unsigned readingThreads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 4u); }

std::string vpdSerial(int dirfd) {
  auto raw = readBytes(dirfd, "device/vpd_pg80", 512);
  if (!raw || raw->size() < 4 || static_cast<unsigned char>((*raw)[1]) != 0x80) return std::string();
  size_t len = (static_cast<unsigned char>((*raw)[2]) << 8) | static_cast<unsigned char>((*raw)[3]);
  return raw->substr(4, std::min(len, raw->size() - 4));
}

std::optional<std::string> joinRelative(const std::string& base, const std::string& target) {
  if (target.empty() || target[0] == '/') return std::nullopt;
  std::vector<std::string> parts;
  auto push = [&parts](const std::string& path) {
    size_t i = 0;
    while (i <= path.size()) {
      size_t j = path.find('/', i);
      if (j == std::string::npos) j = path.size();
      std::string c = path.substr(i, j - i);
      if (c == "..") {
        if (parts.empty()) return false;
        parts.pop_back();
      } else if (!c.empty() && c != ".") {
        parts.push_back(std::move(c));
      }
      i = j + 1;
    }
    return true;
  };
  if (!push(base) || !push(target) || parts.empty()) return std::nullopt;
  std::string out;
  for (const auto& c : parts) {
    if (!out.empty()) out += '/';
    out += c;
  }
  return out;
}

}  // namespace vlm::sysfs

namespace vlm::devnames {
namespace {

using sysfs::UniqueFd;

// Kernel block device names: short and of a plain alphabet ('!' stands for '/').
bool plainKernelName(const std::string& n) {
  if (n.empty() || n.size() > 64 || n[0] == '.') return false;
  for (char c : n) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.' || c == ':' || c == '+' || c == '!';
    if (!ok) return false;
  }
  return true;
}

std::string nodeFor(const std::string& kernel) {
  std::string n = "/dev/" + kernel;
  std::replace(n.begin(), n.end(), '!', '/');
  return n;
}

bool underVirtual(const std::string& rel) {
  return rel.rfind("devices/virtual/", 0) == 0;
}

// Attributes of the device directory `at` below dirfd ("" for dirfd itself,
// else "name/"): a partition's are read through its disk's descriptor.
// Size in bytes from the 512-byte sector count; empty when absent or absurd.
std::optional<uint64_t> sizeBytes(int dirfd, const std::string& at = "") {
  auto sectors = sysfs::readU64(dirfd, at + "size");
  if (!sectors || *sectors > UINT64_MAX / 512) return std::nullopt;
  return *sectors * 512;
}

std::optional<dev_t> devnoOf(int dirfd, const std::string& at = "") {
  auto t = sysfs::readText(dirfd, at + "dev", 64);
  if (!t) return std::nullopt;
  return sysfs::parseDevno(*t);
}

struct Disk {
  BlockDev dev;
  std::vector<BlockDev> parts;
  std::string fallback;  // the identity used when dev.ident is not unique
};

// Identity text: printable, no blanks or slashes, bounded.
std::string identPart(const std::string& s, size_t max) {
  std::string out;
  for (char c : s) {
    if (out.size() >= max) break;
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == ':';
    out += ok ? c : '_';
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  size_t lead = out.find_first_not_of('_');
  return lead == std::string::npos ? std::string() : out.substr(lead);
}

std::string firstAttr(int dirfd, std::initializer_list<const char*> paths, size_t max) {
  for (const char* p : paths) {
    if (!p) continue;  // known to be absent
    auto t = sysfs::readText(dirfd, p, 512);
    if (!t) continue;
    std::string v = identPart(*t, max);
    if (!v.empty()) return v;
  }
  return std::string();
}

// True when a device path (relative to the root) lies below a USB root hub
// ("usbN"), the ancestor of every USB device.
bool underUsb(const std::string& rel) {
  for (size_t i = 0, j; i < rel.size(); i = j + 1) {
    j = rel.find('/', i);
    if (j == std::string::npos) j = rel.size();
    if (sysfs::numbered(rel.substr(i, j - i), "usb")) return true;
  }
  return false;
}

// A USB disk's serial number is its USB device's: the first directory above
// the disk with an idVendor (the interface and SCSI levels between have none).
std::string usbSerial(int dfd) {
  std::string up = "device";
  for (int i = 0; i < 8; ++i) {
    up += "/..";
    struct stat st;
    if (::fstatat(dfd, (up + "/idVendor").c_str(), &st, 0) == 0)
      return firstAttr(dfd, {(up + "/serial").c_str()}, 63);
  }
  return std::string();
}

// The whole disk's identity; the diskseq (or device number) one in fallback.
// usb: the disk may be a USB device's. names: the disk directory's entries,
// so that its own attributes the kernel doesn't give aren't asked for.
void identify(int dfd, Disk& d, bool usb, const std::vector<std::string>& names) {
  auto has = [&names](const char* n) { return std::binary_search(names.begin(), names.end(), n); };
  auto seq = has("diskseq") ? sysfs::readU64(dfd, "diskseq") : std::nullopt;
  d.dev.diskseq = seq.value_or(0);
  d.fallback = seq ? "diskseq-" + std::to_string(*seq)
                   : "dev-" + std::to_string(major(d.dev.devno)) + ":" +
                         std::to_string(minor(d.dev.devno)) + "-" + std::to_string(d.dev.size);
  std::string wwid = firstAttr(dfd, {has("wwid") ? "wwid" : nullptr, "device/wwid"}, 80);
  // The serial's sources in order, read once for the identity and the
  // registry: each until it has what it takes.
  std::string serial;
  for (int k = 0; k < 3 && (d.dev.serial.empty() || (wwid.empty() && serial.empty())); ++k) {
    std::optional<std::string> t = k == 0   ? (has("serial") ? sysfs::readText(dfd, "serial", 512) : std::nullopt)
                                   : k == 1 ? sysfs::readText(dfd, "device/serial", 512)
                                            : std::optional<std::string>(sysfs::vpdSerial(dfd));
    if (!t) continue;
    if (d.dev.serial.empty() && std::any_of(t->begin(), t->end(), [](char c) {
          return static_cast<unsigned char>(c) > ' ' && c != 0x7F;
        }))
      d.dev.serial = *t;
    if (serial.empty()) serial = identPart(*t, 63);
  }
  if (!wwid.empty()) {
    d.dev.ident = "wwn-" + wwid;
    return;
  }
  if (serial.empty() && usb) serial = usbSerial(dfd);
  if (!serial.empty()) {
    std::string model = firstAttr(dfd, {"device/model", "device/name"}, 40);
    d.dev.ident = "serial-" + (model.empty() ? serial : model + "_" + serial);
    return;
  }
  d.dev.ident = d.fallback;
}

void scanPartitions(int diskfd, Disk& disk, const std::vector<std::string>& names) {
  for (const auto& e : names) {
    // The kernel names partitions after their disk (sda1, nvme0n1p1, loop0p1).
    if (e.size() <= disk.dev.kernel.size() || e.compare(0, disk.dev.kernel.size(), disk.dev.kernel) != 0 ||
        !plainKernelName(e))
      continue;
    const std::string at = e + "/";
    // uevent tells number, device number and name in one read (PARTN, MAJOR,
    // MINOR, PARTNAME); the separate attributes where it doesn't.
    const std::string ue = "\n" + sysfs::readText(diskfd, at + "uevent", 4096).value_or("") + "\n";
    auto value = [&ue](const char* key) -> std::optional<std::string> {
      const size_t k = ue.find("\n" + std::string(key) + "=");
      if (k == std::string::npos) return std::nullopt;
      const size_t v = k + std::strlen(key) + 2;
      return ue.substr(v, ue.find('\n', v) - v);
    };
    const auto pn = value("PARTN"), maj = value("MAJOR"), mnr = value("MINOR");
    auto partno = pn ? sysfs::parseU64(*pn) : sysfs::readU64(diskfd, at + "partition");
    if (!partno || *partno == 0 || *partno > 1000000) continue;
    auto devno = maj && mnr ? sysfs::parseDevno(*maj + ":" + *mnr) : devnoOf(diskfd, at);
    auto size = sizeBytes(diskfd, at);
    if (!devno || !size || *size == 0) continue;
    BlockDev p;
    p.partName = value("PARTNAME").value_or("");
    p.kernel = e;
    p.node = nodeFor(e);
    p.devno = *devno;
    p.whole = false;
    p.partno = static_cast<int>(*partno);
    p.parent = disk.dev.kernel;
    p.virt = disk.dev.virt;
    p.size = *size;
    p.syspath = disk.dev.syspath + "/" + e;
    disk.parts.push_back(std::move(p));
  }
  std::sort(disk.parts.begin(), disk.parts.end(), [](const BlockDev& a, const BlockDev& b) {
    return std::tie(a.partno, a.devno) < std::tie(b.partno, b.devno);
  });
  // One partition per number; the first by device number stays.
  disk.parts.erase(std::unique(disk.parts.begin(), disk.parts.end(),
                               [](const BlockDev& a, const BlockDev& b) { return a.partno == b.partno; }),
                   disk.parts.end());
}

// slaves: the devices this one holds (device-mapper, md), whatever its size.
std::optional<Disk> scanDisk(int blockfd, const std::string& sysroot, const std::string& name,
                             std::vector<std::string>& slaves) {
  UniqueFd dfd = sysfs::openDir(blockfd, name);
  if (!dfd) return std::nullopt;
  slaves = sysfs::listDir(dfd.get(), "slaves");
  auto devno = devnoOf(dfd.get());
  auto size = sizeBytes(dfd.get());
  if (!devno || !size || *size == 0) return std::nullopt;
  Disk d;
  d.dev.kernel = name;
  d.dev.node = nodeFor(name);
  d.dev.devno = *devno;
  d.dev.size = *size;
  auto link = sysfs::readLink(blockfd, name);
  std::optional<std::string> rel = link ? sysfs::joinRelative("block", *link) : std::nullopt;
  if (rel) {
    d.dev.syspath = sysroot + "/" + *rel;
    d.dev.virt = !(rel->rfind("devices/", 0) == 0 && !underVirtual(*rel));
  } else {
    // A real directory (old layout) or an odd link: physical only with a device link.
    d.dev.syspath = sysroot + "/block/" + name;
    struct stat st;
    d.dev.virt = link || ::fstatat(dfd.get(), "device", &st, 0) != 0;
  }
  const std::vector<std::string> names = sysfs::listDir(dfd.get());
  identify(dfd.get(), d, !rel || underUsb(*rel), names);
  scanPartitions(dfd.get(), d, names);
  return d;
}

}  // namespace

std::vector<BlockDev> scan(const std::string& sysroot, unsigned threads) {
  std::vector<BlockDev> out;
  UniqueFd rootfd = sysfs::openDir(AT_FDCWD, sysroot.empty() ? "/" : sysroot);
  if (!rootfd) return out;
  UniqueFd blockfd = sysfs::openDir(rootfd.get(), "block");
  if (!blockfd) return out;
  std::vector<std::string> names = sysfs::listDir(blockfd.get());
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& e) { return !plainKernelName(e); }),
              names.end());
  std::vector<std::optional<Disk>> found(names.size());
  std::vector<std::vector<std::string>> slaves(names.size());
  sysfs::parallelFor(names.size(), threads,
                     [&](size_t i) { found[i] = scanDisk(blockfd.get(), sysroot, names[i], slaves[i]); });
  // A device is held when another lists it among its slaves, as the kernel
  // lists the other among the device's holders: one directory a disk, not one
  // a partition.
  std::set<std::string> held;
  for (const auto& v : slaves) held.insert(v.begin(), v.end());
  std::vector<Disk> disks;
  for (auto& d : found) {
    if (!d) continue;
    d->dev.held = held.count(d->dev.kernel) > 0;
    for (auto& p : d->parts) p.held = held.count(p.kernel) > 0;
    disks.push_back(std::move(*d));
  }
  std::sort(disks.begin(), disks.end(), [](const Disk& a, const Disk& b) {
    auto key = [](const Disk& d) {
      return std::make_tuple(d.dev.virt, major(d.dev.devno), minor(d.dev.devno), d.dev.kernel);
    };
    return key(a) < key(b);
  });
  std::map<std::string, int> uses;
  for (const auto& d : disks) ++uses[d.dev.ident];
  int n = 0;
  for (auto& d : disks) {
    std::string base = "disk" + std::to_string(n++);
    d.dev.name = base;
    if (uses[d.dev.ident] > 1) d.dev.ident = d.fallback;
    out.push_back(d.dev);
    for (auto& p : d.parts) {
      p.name = base + "s" + std::to_string(p.partno);
      p.ident = d.dev.ident + "-part" + std::to_string(p.partno);
      p.diskseq = d.dev.diskseq;
      out.push_back(std::move(p));
    }
  }
  return out;
}

const BlockDev* findName(const std::vector<BlockDev>& devs, const std::string& name) {
  for (const auto& d : devs)
    if (d.name == name) return &d;
  return nullptr;
}

const BlockDev* findDevno(const std::vector<BlockDev>& devs, dev_t devno) {
  for (const auto& d : devs)
    if (d.devno == devno) return &d;
  return nullptr;
}

std::optional<BlockDev> byName(const std::string& name, const std::string& sysroot) {
  if (!wellFormed(name)) return std::nullopt;
  auto devs = scan(sysroot);
  if (const BlockDev* d = findName(devs, name)) return *d;
  return std::nullopt;
}

std::string identityOf(const std::string& name, const std::string& sysroot) {
  auto d = byName(name, sysroot);
  return d ? d->ident : std::string();
}

std::optional<BlockDev> byDevno(dev_t devno, const std::string& sysroot) {
  auto devs = scan(sysroot);
  if (const BlockDev* d = findDevno(devs, devno)) return *d;
  return std::nullopt;
}

namespace {
// A run of digits without leading zeros, starting at i; returns the end or npos.
size_t digitsEnd(const std::string& s, size_t i) {
  size_t j = i;
  while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
  if (j == i || (s[i] == '0' && j - i > 1)) return std::string::npos;
  return j;
}
}  // namespace

bool wellFormed(const std::string& name) {
  if (name.size() > 31 || name.rfind("disk", 0) != 0) return false;
  size_t j = digitsEnd(name, 4);
  if (j == std::string::npos) return false;
  if (j == name.size()) return true;
  if (name[j] != 's') return false;
  size_t k = digitsEnd(name, j + 1);
  return k == name.size();
}

}  // namespace vlm::devnames
