// The mount table as the inventory reads it: one statfs-like record per mounted
// file system, taken as a snapshot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vlm {

constexpr int MFSTYPENAMELEN = 16;
constexpr int MAXPATHLEN = 1024;
constexpr int MNT_WAIT = 1;
constexpr uint32_t MNT_RDONLY = 1;  // f_flags: mounted read-only

struct vlm_statfs {
  uint32_t f_bsize;    // fundamental block size
  int32_t f_iosize;    // optimal transfer size
  uint64_t f_blocks;   // total blocks
  uint64_t f_bfree;    // free blocks
  uint64_t f_bavail;   // free blocks for unprivileged users
  uint64_t f_files;    // total inodes
  uint64_t f_ffree;    // free inodes
  uint64_t f_fsid;     // file system id
  uint32_t f_owner;
  uint32_t f_type;
  uint32_t f_flags;    // mount flags
  uint32_t f_fssubtype;
  char f_fstypename[MFSTYPENAMELEN];  // kernel type name, e.g. "ext4", "hfsplus"
  char f_mntonname[MAXPATHLEN];       // mount point
  char f_mntfromname[MAXPATHLEN];     // mounted device, "/dev/diskNsM" where known
  uint32_t f_reserved[8];
};

class MountTable {
 public:
  virtual ~MountTable() = default;
  // getfsstat-like: with a null buffer returns the number of mounted file
  // systems; otherwise fills at most bufsize/sizeof(vlm_statfs) records and
  // returns how many it wrote; -1 on failure.
  virtual int getfsstat(vlm_statfs* buf, long bufsize, int flags) = 0;
};

// A fixed list of records (fixtures, dumps, tests).
class MemMountTable : public MountTable {
 public:
  std::vector<vlm_statfs> entries;
  bool fail = false;
  int getfsstat(vlm_statfs* buf, long bufsize, int flags) override;
  // Convenience for tests and fixtures.
  vlm_statfs& add(const std::string& from, const std::string& on, const std::string& fstype,
                  uint32_t bsize, uint64_t blocks, uint64_t bfree);
};

// Mounted volumes as the desktop's file manager sees them, for display names.
struct MountedVolume {
  std::string path;  // mount point
  bool hasName = false;
  std::string name;  // volume display name (may be non-ASCII)
};

class VolumeList {
 public:
  virtual ~VolumeList() = default;
  virtual std::vector<MountedVolume> mountedVolumes() = 0;
  // Renames the volume at path: 0 done, 1 refused.
  virtual int setName(const std::string& path, const std::string& name) = 0;
};

class MemVolumeList : public VolumeList {
 public:
  std::vector<MountedVolume> volumes;
  bool refuseRename = true;
  std::vector<MountedVolume> mountedVolumes() override { return volumes; }
  int setName(const std::string& path, const std::string& name) override;
};

}  // namespace vlm
