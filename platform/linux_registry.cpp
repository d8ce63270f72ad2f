// The registry of the live machine, one snapshot per root() call:
//
//   Root (IORegistryEntry)
//    └ one node per sysfs directory above a disk, below <sysroot>/devices,
//      shared by the disks beneath it; class from its subsystem:
//        pci IOPCIDevice, usb IOUSBDevice / IOUSBInterface, scsi IOSCSIHost /
//        IOSCSITarget / IOSCSIDevice, nvme IONVMeController, virtio
//        IOVirtioDevice, platform IOPlatformDevice, mmc IOSDDevice, ataN
//        IOATAPort, devices/virtual IOVirtualDevice, anything else IOService
//       └ IOBlockStorageDevice: the drive ("Physical Interconnect",
//         "Rotation Rate", "Serial Number", "Vendor Name", "Product Name")
//          └ IOMedia: the whole disk, named after the model (or device-mapper
//            name, or kernel name) + " Media"
//             └ IOMedia: each partition, location = partition number
//   Every IOMedia has "io-device-location" = its own kernel name and "Device
//   Identity" = the identity of devnames::BlockDev.
//
// "Content": whole disks "GUID_partition_scheme" (gpt), "FDisk_partition_scheme"
// (dos), "Apple_partition_scheme" (mac), else the libblkid table name;
// partitions the GPT type GUID in upper case, or the MBR type as "0x83";
// absent when neither libblkid nor udev can tell.
// "Open": the device is mounted or held by another block device (holders/,
// found from the other's slaves/), and a whole disk when one of its
// partitions is open.
#include <fcntl.h>

#include <algorithm>
#include <set>

#include "platform/devnames.h"
#include "platform/linkspeed.h"
#include "platform/linux.h"
#include "platform/sysfsread.h"
#include "util/prog.h"

namespace vlm::live {

using Node = MemRegistry::Node;
using devnames::BlockDev;
using sysfs::UniqueFd;

namespace {

std::string attr(int dirfd, const std::string& path, size_t max = 127) {
  auto t = sysfs::readText(dirfd, path, 4096);
  return t ? cleanText(*t, max) : std::string();
}


struct Ancestor {
  std::string cls, subsystem;
  Node* node = nullptr;
};

class Builder {
 public:
  // mounts: the machine's mount table, when sysroot is the live one.
  Builder(const std::string& sysroot, const std::vector<MountInfo>& mounts, const std::string& udevDir,
          MemRegistry& reg)
      : sysroot_(sysroot), udevDir_(udevDir), reg_(reg) {
    rootfd_ = sysfs::openDir(AT_FDCWD, sysroot.empty() ? "/" : sysroot);
    live_ = sysroot == "/sys";
    if (live_)
      for (const auto& m : mounts) mounted_.insert(m.devno);
  }

  void run(const std::vector<BlockDev>& devs) {
    // Each disk with its partitions: devs[first], devs[first + 1 .. end).
    std::vector<std::pair<size_t, size_t>> disks;
    for (size_t i = 0; i < devs.size(); ++i) {
      if (!devs[i].whole) continue;
      size_t j = i + 1;
      while (j < devs.size() && !devs[j].whole) ++j;
      disks.emplace_back(i, j);
      i = j - 1;
    }
    // The disks' attributes are read while the devices are probed (in a
    // process of their own, all side by side); the tree is built from both.
    std::vector<DiskAttrs> attrs(disks.size());
    FactsProbe probes(devs, udevDir_, live_);
    sysfs::parallelFor(disks.size(), sysfs::readingThreads(), [&](size_t k) {
      attrs[k] = readDisk(devs[disks[k].first], devs.begin() + disks[k].first + 1, devs.begin() + disks[k].second);
    });
    facts_ = probes.finish();
    for (size_t k = 0; k < disks.size(); ++k)
      addDisk(devs[disks[k].first], devs.begin() + disks[k].first + 1, devs.begin() + disks[k].second,
              attrs[k]);
  }

 private:
  // sysfs path relative to the root, when it lies there.
  std::optional<std::string> relative(const std::string& syspath) const {
    std::string pre = sysroot_ + "/";
    if (syspath.rfind(pre, 0) != 0) return std::nullopt;
    return syspath.substr(pre.size());
  }

  static std::string classFor(const std::string& rel, const std::string& sub) {
    std::string name = sysfs::baseName(rel);
    if (rel == "devices/virtual") return "IOVirtualDevice";
    if (sub == "pci") return "IOPCIDevice";
    if (sub == "usb") return name.find(':') != std::string::npos ? "IOUSBInterface" : "IOUSBDevice";
    if (sub == "scsi") {
      if (name.rfind("host", 0) == 0) return "IOSCSIHost";
      if (name.rfind("target", 0) == 0) return "IOSCSITarget";
      return "IOSCSIDevice";
    }
    if (sub == "nvme") return "IONVMeController";
    if (sub == "virtio") return "IOVirtioDevice";
    if (sub == "platform") return "IOPlatformDevice";
    if (sub == "mmc") return "IOSDDevice";
    if (name.size() > 3 && name.rfind("ata", 0) == 0 &&
        std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return "IOATAPort";
    return "IOService";
  }

  const Ancestor& ancestor(const std::string& rel, Node& parent) {
    auto it = ancestors_.find(rel);
    if (it != ancestors_.end()) return it->second;
    Ancestor a;
    a.subsystem = cleanText(dirs_.subsystem(rootfd_.get(), rel), 31);
    a.cls = classFor(rel, a.subsystem);
    std::string dir = cleanText(sysfs::baseName(rel), 127);
    std::string name = dir;
    UniqueFd fd = a.cls == "IOUSBDevice" ? sysfs::openDir(rootfd_.get(), rel) : UniqueFd();
    if (fd) {
      std::string product = attr(fd.get(), "product");
      if (!product.empty()) name = product;
    }
    a.node = &reg_.add(parent, a.cls, name, dir);
    if (fd) {
      std::string serial = attr(fd.get(), "serial", 63);
      if (!serial.empty()) a.node->set("USB Serial Number", RegValue::Str(serial));
      std::string vendor = attr(fd.get(), "manufacturer");
      if (!vendor.empty()) a.node->set("USB Vendor Name", RegValue::Str(vendor));
    }
    return ancestors_.emplace(rel, a).first->second;
  }

  // The chain of directories above the disk; returns the lowest node.
  Node& chain(const BlockDev& d, std::vector<const Ancestor*>& seen) {
    Node* at = &reg_.rootNode();
    auto rel = relative(d.syspath);
    if (!rel || rel->rfind("devices/", 0) != 0) return *at;
    std::vector<std::string> parts;
    for (size_t i = 0, j; i <= rel->size(); i = j + 1) {
      j = rel->find('/', i);
      if (j == std::string::npos) j = rel->size();
      parts.push_back(rel->substr(i, j - i));
    }
    parts.pop_back();                                    // the disk itself
    if (!parts.empty() && parts.back() == "block") parts.pop_back();
    std::string path = "devices";
    for (size_t k = 1; k < parts.size(); ++k) {
      path += "/" + parts[k];
      const Ancestor& a = ancestor(path, *at);
      seen.push_back(&a);
      at = a.node;
    }
    return *at;
  }

  static std::string interconnect(const BlockDev& d, const std::vector<const Ancestor*>& chain) {
    auto has = [&](auto pred) { return std::any_of(chain.begin(), chain.end(), pred); };
    auto sub = [&](const char* s) { return has([s](const Ancestor* a) { return a->subsystem == s; }); };
    if (sub("usb")) return "USB";
    if (sub("nvme")) return "NVMe";
    if (has([](const Ancestor* a) { return a->cls == "IOATAPort"; })) return "SATA";
    if (sub("mmc")) return "SD";
    if (sub("virtio")) return "Virtio";
    if (sub("scsi")) return "SCSI";
    if (d.virt) return "Virtual";
    return std::string();
  }

  using Parts = std::vector<BlockDev>::const_iterator;

  // What a disk's sysfs directory tells, read before its nodes are made.
  struct DiskAttrs {
    bool present = false;  // its directory is still there
    std::string model;     // the drive's model, or its device-mapper name
    std::string vendor, rotational;
    std::optional<linkspeed::Link> link;
    uint64_t blockSize = 512;
    bool removable = false, writable = true, held = false;
    struct Part {
      bool present = false, writable = true, open = false;
    };
    std::vector<Part> parts;
  };

  DiskAttrs readDisk(const BlockDev& d, Parts first, Parts end) const {
    DiskAttrs a;
    auto rel = relative(d.syspath);
    UniqueFd dfd = sysfs::openDir(rootfd_.get(), rel ? *rel : std::string("block/") + d.kernel);
    if (!dfd) return a;  // vanished since the scan
    a.present = true;
    a.model = attr(dfd.get(), "device/model", 57);
    if (a.model.empty()) a.model = attr(dfd.get(), "dm/name", 57);  // device-mapper: its table name
    a.vendor = attr(dfd.get(), "device/vendor", 63);
    if (a.vendor.rfind("0x", 0) == 0) a.vendor.clear();  // a bus vendor number, not a name
    a.rotational = attr(dfd.get(), "queue/rotational", 8);
    if (rel) a.link = linkspeed::ofDir(rootfd_.get(), *rel, &dirs_);
    a.blockSize = sysfs::readU64(dfd.get(), "queue/logical_block_size").value_or(512);
    if (a.blockSize == 0 || a.blockSize > (1u << 20)) a.blockSize = 512;
    a.removable = attr(dfd.get(), "removable", 8) == "1";
    for (Parts p = first; p != end; ++p) {
      // Read through the disk's descriptor: no open per partition directory.
      const std::string at = p->kernel + "/";
      DiskAttrs::Part& pa = a.parts.emplace_back();
      auto ro = sysfs::readText(dfd.get(), at + "ro", 8);
      if (!ro) continue;  // vanished since the scan
      pa.present = true;
      pa.writable = cleanText(*ro, 8) != "1";
      pa.open = p->held || mounted_.count(p->devno);
    }
    a.held = d.held || mounted_.count(d.devno);
    a.writable = attr(dfd.get(), "ro", 8) != "1";
    return a;
  }

  Node& drive(const BlockDev& d, const DiskAttrs& a, const std::string& model, const std::string& udevSerial,
              Node& parent, const std::vector<const Ancestor*>& chain) {
    Node& n = reg_.add(parent, "IOBlockStorageDevice", model.empty() ? d.kernel : model);
    std::string ic = interconnect(d, chain);
    if (!ic.empty()) n.set("Physical Interconnect", RegValue::Str(ic));
    if (a.rotational == "0") n.set("Rotation Rate", RegValue::Str("Solid State"));
    else if (a.rotational == "1") n.set("Rotation Rate", RegValue::Str("Rotational"));
    std::string serial = cleanText(d.serial, 63);  // read by the scan
    if (serial.empty()) serial = udevSerial;
    if (!serial.empty()) n.set("Serial Number", RegValue::Str(serial));
    if (!a.vendor.empty()) n.set("Vendor Name", RegValue::Str(a.vendor));
    if (!model.empty()) n.set("Product Name", RegValue::Str(model));
    return n;
  }

  static const char* schemeContent(const std::string& scheme) {
    if (scheme == "gpt") return "GUID_partition_scheme";
    if (scheme == "dos") return "FDisk_partition_scheme";
    if (scheme == "mac") return "Apple_partition_scheme";
    return nullptr;
  }

  void mediaProps(Node& m, const BlockDev& d, bool writable, bool leaf, bool open, bool removable,
                  uint64_t blockSize) {
    m.props.reserve(16);  // these and the file system's: no growing on the way
    m.set("BSD Name", RegValue::Str(d.name));
    m.set("Size", RegValue::Num(static_cast<long long>(std::min<uint64_t>(d.size, INT64_MAX))));
    m.set("Whole", RegValue::Bool(d.whole));
    m.set("Leaf", RegValue::Bool(leaf));
    m.set("Writable", RegValue::Bool(writable));
    if (!writable) m.set("Read Only", RegValue::Bool(true));
    m.set("Removable", RegValue::Bool(removable));
    m.set("Ejectable", RegValue::Bool(removable));
    m.set("Open", RegValue::Bool(open));
    m.set("Partition ID", RegValue::Num(d.partno));
    m.set("Preferred Block Size", RegValue::Num(static_cast<long long>(blockSize)));
    m.set("Device Identity", RegValue::Str(d.ident));
    m.set("io-device-location", RegValue::Str(cleanText(d.kernel, 31)));
  }

  void addDisk(const BlockDev& d, Parts first, Parts end, const DiskAttrs& a) {
    if (!a.present) return;
    std::vector<const Ancestor*> seen;
    Node& parent = chain(d, seen);
    const DevFacts& probe = facts_[d.devno];
    const std::string& model = a.model.empty() ? probe.model : a.model;
    Node& drv = drive(d, a, model, probe.serial, parent, seen);
    if (a.link) {
      drv.set("Link Speed", RegValue::Str(a.link->text));
      drv.set("Link Ceiling", RegValue::Num(static_cast<long long>(a.link->mbps)));
    }

    // A file system on the whole disk names it as a partition's names that one.
    const bool volume = first == end && !probe.fsLabel.empty();
    Node& whole = reg_.add(drv, "IOMedia", volume ? probe.fsLabel : (model.empty() ? d.kernel : model) + " Media");
    bool anyOpen = false;
    for (Parts p = first; p != end; ++p) {
      const DiskAttrs::Part& pa = a.parts[static_cast<size_t>(p - first)];
      if (!pa.present) continue;
      anyOpen = anyOpen || pa.open;
      partition(whole, d, *p, pa.writable, pa.open, a.removable, a.blockSize);
    }
    mediaProps(whole, d, a.writable, first == end, anyOpen || a.held, a.removable, a.blockSize);
    if (const char* c = schemeContent(probe.scheme)) whole.set("Content", RegValue::Str(c));
    else if (!probe.scheme.empty()) whole.set("Content", RegValue::Str(probe.scheme));
    fsProps(whole, probe);
  }

  // What the device holds besides its partition entry.
  static void fsProps(Node& m, const DevFacts& f) {
    if (!f.fsType.empty()) m.set("Filesystem Type", RegValue::Str(f.fsType));
    if (!f.fsLabel.empty()) m.set("Filesystem Label", RegValue::Str(f.fsLabel));
    if (!f.fsUuid.empty()) m.set("Filesystem UUID", RegValue::Str(f.fsUuid));
    if (f.notAnswering) m.set("Not Answering", RegValue::Bool(true));
  }

  void partition(Node& whole, const BlockDev& d, const BlockDev& p, bool writable, bool open, bool removable,
                 uint64_t bs) {
    const DevFacts& info = facts_[p.devno];
    std::string part = info.partName.empty() ? cleanText(p.partName, 127) : info.partName;
    // Named as people know it: its file system's label, else its partition name.
    std::string name = !info.fsLabel.empty() ? info.fsLabel : part;
    if (name.empty()) name = d.kernel + " Partition " + std::to_string(p.partno);
    Node& m = reg_.add(whole, "IOMedia", name, std::to_string(p.partno));
    mediaProps(m, p, writable, true, open, removable, bs);
    if (!info.partType.empty()) m.set("Content", RegValue::Str(info.partType));
    if (!info.partUuid.empty()) m.set("UUID", RegValue::Str(info.partUuid));
    if (!part.empty()) m.set("Partition Name", RegValue::Str(part));
    fsProps(m, info);
  }

  std::string sysroot_, udevDir_;
  MemRegistry& reg_;
  UniqueFd rootfd_;
  bool live_ = false;
  std::map<dev_t, DevFacts> facts_;
  std::set<dev_t> mounted_;
  std::map<std::string, Ancestor> ancestors_;
  mutable linkspeed::DirCache dirs_;  // filled by the disks' threads, then read by the chains
};

}  // namespace

LinuxRegistry::LinuxRegistry(std::string sysroot, std::string mountinfo,
                             std::shared_ptr<DevSnapshot> devs)
    : sysroot_(std::move(sysroot)), mountinfo_(std::move(mountinfo)) {
  while (sysroot_.size() > 1 && sysroot_.back() == '/') sysroot_.pop_back();
  devs_ = devs ? std::move(devs) : std::make_shared<DevSnapshot>(sysroot_);
}

std::unique_ptr<MemRegistry> LinuxRegistry::build() const {
  auto reg = std::make_unique<MemRegistry>();
  reg->rootNode().cls = "IORegistryEntry";
  reg->rootNode().name = "Root";
  DevSnapshot::Devs devs = devs_->fresh();
  Builder(sysroot_, *devs_->mounts(mountinfo_), devs_->udevDir(), *reg).run(*devs);
  devs_->touch();  // the mount table and the volumes that follow see the same
  return reg;
}

const RegEntry* LinuxRegistry::root() const {
  auto fresh = build();
  std::lock_guard<std::mutex> lock(mu_);
  previous_ = std::move(current_);
  current_ = std::move(fresh);
  return current_->root();
}

}  // namespace vlm::live
