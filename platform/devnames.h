// Device names: every block device with media gets a name "diskN" (whole disk)
// or "diskNsM" (partition M of diskN). Devices with a physical parent come
// first, then virtual ones (loop, zram, device-mapper, md), each group in the
// order of their device numbers. Shared by the application and vlmperfutil.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vlm::devnames {

struct BlockDev {
  std::string name;     // "disk0", "disk0s2"
  std::string kernel;   // kernel name: "sda", "nvme0n1p2", "loop3"
  std::string node;     // device node: "/dev/sda"
  dev_t devno = 0;      // major:minor
  bool whole = true;
  int partno = 0;       // the kernel's partition number, 0 for a whole disk
  std::string parent;   // kernel name of the whole disk, for a partition
  bool virt = false;    // no physical parent device
  uint64_t size = 0;    // bytes
  std::string syspath;  // canonical sysfs directory of the device (under sysroot)
  // The medium's stable identity, the same for every scan while the medium
  // stays: "wwn-<wwid>", "serial-<model>_<serial>", "diskseq-<n>" or
  // "dev-<maj>:<min>-<bytes>", the first the whole disk has (a USB disk's
  // serial is its USB device's); a partition adds "-part<n>". Two disks that
  // would share one fall back to their diskseq.
  std::string ident;
  uint64_t diskseq = 0;  // the whole disk's diskseq, 0 when the kernel has none
  std::string partName;  // a partition's name in its table (the kernel's PARTNAME, raw bytes)
  bool held = false;     // another block device holds it (device-mapper, md: its holders/)
  // A whole disk's serial number as the kernel gives it: serial, device/serial
  // or VPD page 0x80, the first not blank; raw bytes.
  std::string serial;
};

// The identity the device named `name` has now; empty when there is no such
// device. The listing and the utility both use this one computation.
std::string identityOf(const std::string& name, const std::string& sysroot = "/sys");

// Every block device with size > 0, in name order (disk0, disk0s1, ..., disk1...);
// the disks read on up to `threads` threads.
std::vector<BlockDev> scan(const std::string& sysroot = "/sys", unsigned threads = 1);

std::optional<BlockDev> byName(const std::string& name, const std::string& sysroot = "/sys");
std::optional<BlockDev> byDevno(dev_t devno, const std::string& sysroot = "/sys");

// Look-ups in an existing scan.
const BlockDev* findName(const std::vector<BlockDev>& devs, const std::string& name);
const BlockDev* findDevno(const std::vector<BlockDev>& devs, dev_t devno);

// True when name has the form disk<digits> or disk<digits>s<digits>, with no
// leading zeros and at most 31 characters.
bool wellFormed(const std::string& name);

}  // namespace vlm::devnames
