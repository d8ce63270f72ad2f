// The mount table and the mounted volumes of the live machine, from mountinfo.
//
// Only mounts of block devices that have a device name are measured (statfs),
// and only where the whole file system is mounted (mountinfo root "/"): a bind
// mount of a directory is passed through with its source unchanged and zero
// counts, like every other mount, so that nothing blocks on a network file
// system and a bind mount never stands in for the real one.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <cstring>

#include "platform/devnames.h"
#include "platform/linux.h"
#include "platform/sysfsread.h"
#include "util/prog.h"

namespace vlm::live {

namespace {

constexpr size_t kMountinfoCap = 8u << 20;

std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> f;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    size_t j = line.find(' ', i);
    if (j == std::string::npos) j = line.size();
    f.push_back(line.substr(i, j - i));
    i = j;
  }
  return f;
}

std::optional<MountInfo> parseLine(const std::string& line) {
  std::vector<std::string> f = splitFields(line);
  if (f.size() < 10) return std::nullopt;
  size_t dash = 6;
  while (dash < f.size() && f[dash] != "-") ++dash;
  if (dash + 3 > f.size()) return std::nullopt;
  auto devno = sysfs::parseDevno(f[2]);
  if (!devno) return std::nullopt;
  MountInfo m;
  m.devno = *devno;
  m.root = unescapeMount(f[3]);
  m.mountPoint = unescapeMount(f[4]);
  m.fstype = unescapeMount(f[dash + 1]);
  m.source = unescapeMount(f[dash + 2]);
  std::string opts = "," + f[5] + ",";
  m.readOnly = opts.find(",ro,") != std::string::npos;
  if (m.mountPoint.empty() || m.mountPoint[0] != '/') return std::nullopt;
  return m;
}

std::vector<MountInfo> readMountinfo(const std::string& path) {
  auto text = sysfs::readText(AT_FDCWD, path, kMountinfoCap);
  return text ? parseMountinfo(*text) : std::vector<MountInfo>();
}

// The named device a mount shows, when it is a whole file system on one (any
// subvolume of btrfs): by its device number, else, as findmnt does, by its
// source resolved to a block device (btrfs and others show an anonymous number).
const devnames::BlockDev* namedDevice(const std::vector<devnames::BlockDev>& devs, const MountInfo& m) {
  if (m.root != "/" && m.fstype != "btrfs") return nullptr;
  if (major(m.devno) != 0)
    if (const devnames::BlockDev* d = devnames::findDevno(devs, m.devno)) return d;
  struct stat st;
  if (m.source.rfind("/dev/", 0) == 0 && ::stat(m.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
    return devnames::findDevno(devs, st.st_rdev);
  return nullptr;
}

}  // namespace

std::vector<MountInfo> parseMountinfo(const std::string& text) {
  std::vector<MountInfo> out;
  size_t i = 0;
  while (i < text.size()) {
    size_t j = text.find('\n', i);
    if (j == std::string::npos) j = text.size();
    if (auto m = parseLine(text.substr(i, j - i))) out.push_back(std::move(*m));
    i = j + 1;
  }
  return out;
}

std::string volumeName(const std::string& mountPoint, const std::string& label) {
  if (!label.empty()) return label;
  std::string p = mountPoint;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.empty() || p == "/") return "Root";
  return p.substr(p.rfind('/') + 1);
}

// ---- Device names shared within one rebuild ----------------------------------

DevSnapshot::Devs DevSnapshot::fresh() {
  auto devs = std::make_shared<const std::vector<devnames::BlockDev>>(devnames::scan(sysroot_, sysfs::readingThreads()));
  std::lock_guard<std::mutex> lock(mu_);
  last_ = devs;
  mounts_.reset();
  when_ = std::chrono::steady_clock::now();
  return devs;
}

DevSnapshot::Devs DevSnapshot::recent() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (last_ && std::chrono::steady_clock::now() - when_ < std::chrono::seconds(2)) return last_;
  }
  return fresh();
}

DevSnapshot::Mounts DevSnapshot::mounts(const std::string& mountinfo) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool recent = last_ && std::chrono::steady_clock::now() - when_ < std::chrono::seconds(2);
  if (recent && mounts_ && mountsFrom_ == mountinfo) return mounts_;
  auto m = std::make_shared<const std::vector<MountInfo>>(readMountinfo(mountinfo));
  if (recent) {
    mounts_ = m;
    mountsFrom_ = mountinfo;
  }
  return m;
}

void DevSnapshot::touch() {
  std::lock_guard<std::mutex> lock(mu_);
  when_ = std::chrono::steady_clock::now();
}

// ---- Mount table --------------------------------------------------------------

LinuxMountTable::LinuxMountTable(std::string sysroot, std::string mountinfo,
                                 std::shared_ptr<DevSnapshot> devs)
    : sysroot_(std::move(sysroot)), mountinfo_(std::move(mountinfo)),
      devs_(devs ? std::move(devs) : std::make_shared<DevSnapshot>(sysroot_)) {}

std::vector<vlm_statfs> LinuxMountTable::snapshot() const {
  std::vector<vlm_statfs> out;
  DevSnapshot::Devs snap = devs_->recent();
  const std::vector<devnames::BlockDev>& devs = *snap;
  DevSnapshot::Mounts mounts = devs_->mounts(mountinfo_);
  for (const MountInfo& m : *mounts) {
    vlm_statfs e;
    std::memset(&e, 0, sizeof e);
    zcpfield(e.f_fstypename, m.fstype.c_str());
    zcpfield(e.f_mntonname, m.mountPoint.c_str());
    e.f_flags = m.readOnly ? 1u : 0u;
    if (const devnames::BlockDev* d = namedDevice(devs, m)) {
      struct statfs st;
      if (::statfs(m.mountPoint.c_str(), &st) != 0) continue;  // gone or unreadable: left out
      uint64_t frag = st.f_frsize ? static_cast<uint64_t>(st.f_frsize) : static_cast<uint64_t>(st.f_bsize);
      e.f_bsize = static_cast<uint32_t>(std::min<uint64_t>(frag, UINT32_MAX));
      e.f_iosize = static_cast<int32_t>(std::min<uint64_t>(static_cast<uint64_t>(st.f_bsize), INT32_MAX));
      e.f_blocks = st.f_blocks;
      e.f_bfree = st.f_bfree;
      e.f_bavail = st.f_bavail;
      e.f_files = st.f_files;
      e.f_ffree = st.f_ffree;
      int fsid[2];
      std::memcpy(fsid, &st.f_fsid, sizeof fsid);
      e.f_fsid = (static_cast<uint64_t>(static_cast<uint32_t>(fsid[1])) << 32) | static_cast<uint32_t>(fsid[0]);
      e.f_type = static_cast<uint32_t>(st.f_type);
      zcpfield(e.f_mntfromname, ("/dev/" + d->name).c_str());
    } else {
      zcpfield(e.f_mntfromname, m.source.c_str());
    }
    out.push_back(e);
  }
  return out;
}

int LinuxMountTable::getfsstat(vlm_statfs* buf, long bufsize, int) {
  // The count needs no statfs: an upper bound of what a snapshot gives.
  if (!buf) {
    devs_->recent();  // the same names and mounts as the records that follow
    return static_cast<int>(std::min<size_t>(devs_->mounts(mountinfo_)->size(), INT32_MAX));
  }
  std::vector<vlm_statfs> all = snapshot();
  if (bufsize < 0) return -1;
  size_t room = static_cast<size_t>(bufsize) / sizeof(vlm_statfs);
  size_t n = std::min(room, all.size());
  if (n) std::memcpy(buf, all.data(), n * sizeof(vlm_statfs));
  return static_cast<int>(n);
}

// ---- Volumes ------------------------------------------------------------------

LinuxVolumeList::LinuxVolumeList(std::string sysroot, std::string mountinfo,
                                 std::shared_ptr<DevSnapshot> devs)
    : sysroot_(std::move(sysroot)), mountinfo_(std::move(mountinfo)),
      devs_(devs ? std::move(devs) : std::make_shared<DevSnapshot>(sysroot_)) {}

std::vector<MountedVolume> LinuxVolumeList::mountedVolumes() {
  std::vector<MountedVolume> out;
  DevSnapshot::Devs snap = devs_->recent();
  const std::vector<devnames::BlockDev>& devs = *snap;
  DevSnapshot::Mounts mounts = devs_->mounts(mountinfo_);
  for (const MountInfo& m : *mounts) {
    const devnames::BlockDev* d = namedDevice(devs, m);
    if (!d) continue;
    MountedVolume v;
    v.path = m.mountPoint;
    v.hasName = true;
    std::optional<DevFacts> f = knownFacts(d->devno);
    if (!f) f = deviceFacts({*d}, devs_->udevDir(), sysroot_ == "/sys")[d->devno];
    v.name = volumeName(m.mountPoint, f->fsLabel);
    out.push_back(std::move(v));
  }
  return out;
}

// Renaming a file system needs its own tool per type; the machine refuses.
int LinuxVolumeList::setName(const std::string&, const std::string&) { return 1; }

}  // namespace vlm::live
