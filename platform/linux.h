// The live Linux machine: the registry built from sysfs, libblkid and the udev
// database; the mount table from mountinfo; volume names from file-system labels.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/devnames.h"
#include "platform/mounts.h"
#include "platform/registry.h"

namespace vlm::live {

// ---- Text from outside ----------------------------------------------------

// Control characters become spaces, runs of blanks one space, both ends
// trimmed, invalid UTF-8 bytes '?'; at most max bytes, cut on a character boundary.
std::string cleanText(const std::string& raw, size_t max = 127);
// Undoes udev's \xHH escapes (the _ENC values); other text is kept as it is.
std::string decodeUdev(const std::string& enc);
// Undoes mountinfo's octal escapes (\040 \011 \012 \134 and any other \ooo).
std::string unescapeMount(const std::string& field);

// ---- What a device holds -------------------------------------------------------

// File system, partition table and partition entry of one device, as udev's
// database or libblkid tell them.
struct DevFacts {
  bool answered = false;      // udev's database or a probe told
  bool notAnswering = false;  // its probe missed the deadline (or is still stuck)
  std::string fsType, fsLabel, fsUuid;
  std::string scheme;         // the partition table on this device: "gpt", "dos"
  std::string partType;       // GPT type GUID in upper case, or the MBR type as "0x83"
  std::string partName, partUuid, partScheme;
  std::string model, serial;  // udev's database only
};

struct ProbeLimits {
  std::chrono::milliseconds device{1000};   // one probe
  std::chrono::milliseconds listing{2500};  // all probes of one listing
};
void setProbeLimits(const ProbeLimits& l);

// udev's database file of devno under dir ("/run/udev/data"); true when it
// tells the file system or partition facts.
bool readUdevFacts(const std::string& dir, dev_t devno, DevFacts& out);
// The facts of every device, by device number: udev's database in udevDir
// first; for the rest, when probe is set, libblkid on threads of its own, each
// within the limits. A device whose probe misses its deadline is marked not
// answering and not probed again while that probe is stuck and it is the same.
std::map<dev_t, DevFacts> deviceFacts(const std::vector<devnames::BlockDev>& devs,
                                      const std::string& udevDir, bool probe);
// deviceFacts in two steps: the probes start when it is made, and go on
// while the caller does other work; finish() gathers what they found.
class FactsProbe {
 public:
  FactsProbe(const std::vector<devnames::BlockDev>& devs, const std::string& udevDir, bool probe);
  ~FactsProbe();
  FactsProbe(const FactsProbe&) = delete;
  FactsProbe& operator=(const FactsProbe&) = delete;
  std::map<dev_t, DevFacts> finish();  // once

 private:
  std::map<dev_t, DevFacts> out_;
  std::vector<devnames::BlockDev> queue_;  // the devices probed
  ProbeLimits lim_;
  pid_t pid_ = -1;
  int fd_ = -1;
  std::chrono::steady_clock::time_point begin_;
};
// The facts deviceFacts found last for devno.
std::optional<DevFacts> knownFacts(dev_t devno);
// udev's database directory, where a udev daemon keeps one; else "".
std::string udevDataDir();

// ---- Device names shared within one rebuild ----------------------------------

struct MountInfo;

// One scan of the device names, and one reading of the mount table, for the
// registry, the mount table and the volume list of one platform. The registry
// scans afresh at the start of each rebuild; the mount table and the volume
// list that follow in the same rebuild then see the same names and mounts,
// and don't read them again.
class DevSnapshot {
 public:
  using Devs = std::shared_ptr<const std::vector<devnames::BlockDev>>;
  using Mounts = std::shared_ptr<const std::vector<MountInfo>>;
  // udevDir: udev's database directory, "" for none.
  explicit DevSnapshot(std::string sysroot, std::string udevDir = "")
      : sysroot_(std::move(sysroot)), udevDir_(std::move(udevDir)) {}
  const std::string& udevDir() const { return udevDir_; }
  Devs fresh();   // scans now
  Devs recent();  // the last scan while it is younger than two seconds, else fresh()
  // The mount table (a mountinfo file) as read first after the last scan,
  // while that scan is recent.
  Mounts mounts(const std::string& mountinfo);
  void touch();  // the last scan counts as recent from now (a rebuild that took long)

 private:
  std::string sysroot_, udevDir_;
  std::mutex mu_;
  Devs last_;
  Mounts mounts_;
  std::string mountsFrom_;
  std::chrono::steady_clock::time_point when_;
};

// ---- Mount table --------------------------------------------------------------

struct MountInfo {
  dev_t devno = 0;
  std::string root;        // the file system's directory mounted here ("/" for a whole mount)
  std::string mountPoint;  // unescaped
  std::string fstype;
  std::string source;      // unescaped
  bool readOnly = false;
};

// Parses mountinfo text; malformed lines are skipped.
std::vector<MountInfo> parseMountinfo(const std::string& text);

// Display name of a mounted volume: the label when there is one, else the last
// component of the mount point; "Root" for "/" without a label.
std::string volumeName(const std::string& mountPoint, const std::string& label);

class LinuxMountTable : public MountTable {
 public:
  explicit LinuxMountTable(std::string sysroot = "/sys",
                           std::string mountinfo = "/proc/self/mountinfo",
                           std::shared_ptr<DevSnapshot> devs = nullptr);
  int getfsstat(vlm_statfs* buf, long bufsize, int flags) override;
  // The records of one snapshot (what getfsstat copies out).
  std::vector<vlm_statfs> snapshot() const;

 private:
  std::string sysroot_, mountinfo_;
  std::shared_ptr<DevSnapshot> devs_;
};

class LinuxVolumeList : public VolumeList {
 public:
  explicit LinuxVolumeList(std::string sysroot = "/sys",
                           std::string mountinfo = "/proc/self/mountinfo",
                           std::shared_ptr<DevSnapshot> devs = nullptr);
  std::vector<MountedVolume> mountedVolumes() override;
  int setName(const std::string& path, const std::string& name) override;

 private:
  std::string sysroot_, mountinfo_;
  std::shared_ptr<DevSnapshot> devs_;
};

// ---- Registry -------------------------------------------------------------------

class LinuxRegistry : public Registry {
 public:
  explicit LinuxRegistry(std::string sysroot = "/sys",
                         std::string mountinfo = "/proc/self/mountinfo",
                         std::shared_ptr<DevSnapshot> devs = nullptr);
  // A fresh snapshot; it stays valid until the second call after this one.
  const RegEntry* root() const override;
  // Builds one snapshot without keeping it.
  std::unique_ptr<MemRegistry> build() const;

 private:
  std::string sysroot_, mountinfo_;
  std::shared_ptr<DevSnapshot> devs_;
  mutable std::mutex mu_;
  mutable std::unique_ptr<MemRegistry> current_, previous_;
};

}  // namespace vlm::live
