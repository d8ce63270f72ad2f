// The interface link of a disk and the most it can carry, from sysfs: the
// nearest ancestor of the disk with a link attribute (a PCI function's
// current_link_speed and current_link_width, an ATA link's sata_spd, a SAS
// phy's negotiated_linkrate), except that a USB device anywhere above wins
// (a bridge behind it can't be faster than the USB link). Disks under a
// virtio device, virtual disks and unrecognised rates have no known link; a
// virtual disk on exactly one other disk (device-mapper, md) takes that
// disk's link. Part of the device-name library, shared with the utility.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace vlm::linkspeed {

struct Link {
  std::string text;   // "PCIe 8.0 GT/s x4", "SATA 6.0 Gbps", "SAS 12.0 Gbit/s", "USB 5000 Mbit/s"
  uint64_t mbps = 0;  // the ceiling in MB/s (10^6 bytes), line coding taken off
};

// What the directories above disks tell, remembered for one listing: disks
// share controllers and ports, and the registry asks for the same
// subsystems. Safe to share between threads.
class DirCache {
 public:
  // What one directory says about the link: nothing (not a link), or a link
  // that may be unknown (an attribute with a rate no rule knows).
  struct Seen {
    bool link = false;
    std::optional<Link> value;
  };
  // The subsystem a directory (relative to rootfd) belongs to, "" for none.
  std::string subsystem(int rootfd, const std::string& dir);
  // What a directory of that subsystem says about the link.
  Seen link(int rootfd, const std::string& dir, const std::string& subsystem);

 private:
  std::mutex mu_;
  std::map<std::string, std::string> subsystems_;
  std::map<std::string, Seen> links_;
};

// The link of the whole disk whose canonical directory is diskdir, relative
// to the sysfs root rootfd ("devices/pci0000:00/.../nvme0n1").
std::optional<Link> ofDir(int rootfd, const std::string& diskdir, DirCache* cache = nullptr);
// The same for the whole disk with this kernel name ("sda"), through <sysroot>/block.
std::optional<Link> ofDisk(const std::string& sysroot, const std::string& kernel);

// "PCIe 8.0 GT/s x4, ceiling 3938 MB/s", or "unknown" without a link.
std::string describe(const std::string& text, uint64_t mbps);
inline std::string describe(const std::optional<Link>& l) {
  return l ? describe(l->text, l->mbps) : describe("", 0);
}

}  // namespace vlm::linkspeed
