// Mount data of the inventory: the mounted file system of each record, the
// volume display names, and the free-space text.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "disk/disk.h"
#include "disk/nameindex.h"
#include "platform/platform.h"
#include "util/prog.h"

namespace {

constexpr char kDevDisk[] = "/dev/disk";
constexpr int kDevDiskLen = 9;
constexpr long kMaxRest = 30;  // longest device name after "/dev/disk" that is matched

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// A snapshot of the mount table, taken and freed within one routine.
struct Snapshot {
  std::unique_ptr<vlm::vlm_statfs[], FreeDeleter> buf;
  int count = 0;
};

// Terminates the text members, so that a malformed entry can't be read past its end.
void terminate(vlm::vlm_statfs& e) {
  e.f_fstypename[vlm::MFSTYPENAMELEN - 1] = '\0';
  e.f_mntonname[vlm::MAXPATHLEN - 1] = '\0';
  e.f_mntfromname[vlm::MAXPATHLEN - 1] = '\0';
}

// Count call, then a buffer of count + 16 zero-filled entries; a failure
// (-1) at either call gives an empty snapshot.
Snapshot takeSnapshot() {
  Snapshot s;
  std::shared_ptr<vlm::MountTable> mt = vlm::platform().mounts;  // own copy for the call
  if (!mt) return s;
  int n = mt->getfsstat(nullptr, 0, vlm::MNT_WAIT);
  if (n < 0) n = 0;
  long room = static_cast<long>(n) + 16;
  long bytes = room * static_cast<long>(sizeof(vlm::vlm_statfs));
  s.buf.reset(static_cast<vlm::vlm_statfs*>(zmemclr(bytes)));
  int got = mt->getfsstat(s.buf.get(), bytes, vlm::MNT_WAIT);
  if (got < 0) got = 0;
  if (got > room) got = static_cast<int>(room);  // never trust a count beyond the buffer
  for (int i = 0; i < got; ++i) terminate(s.buf[i]);
  s.count = got;
  return s;
}

}  // namespace

void diskmount() {
  Snapshot s = takeSnapshot();
  vlm::NameIndex names;  // the first record of each name, as a walk would find it
  names.build(diskinfo0);
  for (int i = 0; i < s.count; ++i) {
    const vlm::vlm_statfs& e = s.buf[i];
    if (!zcpscap(kDevDisk, e.f_mntfromname)) continue;
    const char* rest = e.f_mntfromname + kDevDiskLen;
    long len = static_cast<long>(std::strlen(rest));
    if (len < 1 || len > kMaxRest) continue;
    DISKINFO_* rec = names.find(rest);
    if (!rec) continue;
    // The first mount gives the figures; every mount point is kept.
    if (!rec->nmounts) {
      std::memcpy(&rec->fs, &e, sizeof rec->fs);
      rec->mountro = (e.f_flags & vlm::MNT_RDONLY) ? 1 : 0;
    }
    size_t used = std::strlen(rec->mounts), len2 = std::strlen(e.f_mntonname);
    if (used + len2 + 2 <= sizeof rec->mounts) {
      std::memcpy(rec->mounts + used, e.f_mntonname, len2);
      rec->mounts[used + len2] = '\n';
      rec->mounts[used + len2 + 1] = '\0';
      ++rec->nmounts;
    }
  }
}

void diskmountedname(const char* path, const char* name) {
  if (!path || !name) return;
  for (DISKINFO_* rec = diskinfo0; rec; rec = rec->next) {
    if (std::strcmp(rec->fs.f_mntonname, path) == 0) {
      zcpfield(rec->finder, name);
      return;
    }
  }
}

// The caller's buffer holds 128 bytes.
void hfsinfo(char* buf, const DISKINFO_* rec) {
  constexpr size_t kBuf = 128;
  buf[0] = '\0';
  uint64_t total = static_cast<uint64_t>(rec->fs.f_bsize) * rec->fs.f_blocks;
  if (total == 0) {
    std::snprintf(buf, kBuf, "(not mounted)");
    return;
  }
  uint64_t freeb = static_cast<uint64_t>(rec->fs.f_bsize) * rec->fs.f_bfree;
  double percent = static_cast<double>(freeb) * 100.0 / static_cast<double>(total);
  if (percent < -0.001 || percent > 100.001) return;
  if (percent < 0.0) percent = 0.0;
  if (percent > 100.0) percent = 100.0;
  double gig = static_cast<double>(freeb) / 1000.0 / 1000.0 / 1000.0;
  std::snprintf(buf, kBuf, "%4.3f Gig or %3.2f%% Free", gig, percent);
}

void dev2mount(const char* dev, char* buf, long size) {
  if (size <= 0) return;
  buf[0] = '\0';
  if (!dev) return;
  Snapshot s = takeSnapshot();
  for (int i = 0; i < s.count; ++i) {
    const vlm::vlm_statfs& e = s.buf[i];
    if (!zcpscap(kDevDisk, e.f_mntfromname)) continue;
    if (zcpxcap(e.f_mntfromname + 5, dev)) {  // the text after "/dev/"
      zcpfield(buf, e.f_mntonname, size);
      return;
    }
  }
}

void dev2mount(const char* dev, char* buf) { dev2mount(dev, buf, vlm::MAXPATHLEN); }
