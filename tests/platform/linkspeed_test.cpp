// Link ceilings on generated sysfs trees, one machine layout per case; SATA 6,
// USB 480 and a loop device are seen in tests/fixtures/sysfs.records.txt.
#include <gtest/gtest.h>

#include <functional>

#include "platform/linkspeed.h"
#include "tests/platform/fake_sysfs.h"

using vlm::testing::FakeSysfs;

namespace {

const std::string kRoot = "devices/pci0000:00";

// A PCI function with a link; the root port above it has a faster one, which must not count.
std::string pciFunction(FakeSysfs& fs, const std::string& fn, const std::string& speed, int width) {
  fs.device(kRoot + "/0000:00:1d.0", "pci");
  fs.write(kRoot + "/0000:00:1d.0/current_link_speed", "32.0 GT/s PCIe\n");
  fs.write(kRoot + "/0000:00:1d.0/current_link_width", "16\n");
  std::string dir = kRoot + "/0000:00:1d.0/" + fn;
  fs.device(dir, "pci");
  fs.write(dir + "/current_link_speed", speed + "\n");
  fs.write(dir + "/current_link_width", std::to_string(width) + "\n");
  return dir;
}

std::string nvme(FakeSysfs& fs, const std::string& speed, int width) {
  std::string ctrl = pciFunction(fs, "0000:3d:00.0", speed, width) + "/nvme/nvme0";
  fs.device(ctrl, "nvme");
  fs.disk("nvme0n1", "259:0", 4096, ctrl, false);
  return "nvme0n1";
}

// An AHCI port: the controller's own PCIe link is farther than the SATA link.
std::string sata(FakeSysfs& fs, const std::string& spd) {
  std::string port = pciFunction(fs, "0000:00:17.0", "8.0 GT/s PCIe", 1) + "/ata1";
  fs.write(port + "/link1/ata_link/link1/sata_spd", spd + "\n");
  fs.disk("sda", "8:0", 4096, port + "/host0/target0:0:0/0:0:0:0");
  return "sda";
}

// A USB disk on a 5 Gbit/s root hub; bridge puts a SATA link below the USB device.
std::string usb(FakeSysfs& fs, const std::string& speed, bool bridge = false) {
  std::string hub = pciFunction(fs, "0000:00:14.0", "8.0 GT/s PCIe", 4) + "/usb2";
  fs.device(hub, "usb");
  fs.write(hub + "/speed", "5000\n");
  fs.device(hub + "/2-1", "usb");
  fs.write(hub + "/2-1/speed", speed + "\n");
  std::string below = hub + "/2-1/2-1:1.0";
  fs.device(below, "usb");
  if (bridge) {
    below += "/ata5";
    fs.write(below + "/link5/ata_link/link5/sata_spd", "6.0 Gbps\n");
  }
  fs.disk("sdb", "8:16", 4096, below + "/host4/target4:0:0/4:0:0:0");
  return "sdb";
}

using Build = std::function<std::string(FakeSysfs&)>;  // returns the disk's kernel name

Build nv(const char* speed, int width) { return [=](FakeSysfs& fs) { return nvme(fs, speed, width); }; }
Build sa(const char* spd) { return [=](FakeSysfs& fs) { return sata(fs, spd); }; }
Build us(const char* speed, bool bridge = false) { return [=](FakeSysfs& fs) { return usb(fs, speed, bridge); }; }

}  // namespace

TEST(LinkSpeed, CeilingOfEachInterface) {
  const struct {
    const char* what;
    Build build;
    const char* link;  // "unknown" or "<text>, ceiling N MB/s"
  } cases[] = {
      {"PCIe gen1 x1", nv("2.5 GT/s PCIe", 1), "PCIe 2.5 GT/s x1, ceiling 250 MB/s"},
      {"PCIe gen3 x2, older kernels' wording", nv("8 GT/s", 2), "PCIe 8.0 GT/s x2, ceiling 1969 MB/s"},
      {"PCIe link down", nv("Unknown", 0), "unknown"},
      {"NVMe namespace below its multipath subsystem",
       [](FakeSysfs& fs) {
         std::string ctrl = pciFunction(fs, "0000:3d:00.0", "8.0 GT/s PCIe", 4) + "/nvme/nvme0";
         fs.device(ctrl, "nvme");
         std::string sub = "devices/virtual/nvme-subsystem/nvme-subsys0";
         fs.link(sub + "/nvme0", "../../../pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0");
         fs.disk("nvme0n1", "259:0", 4096, sub, false);
         return std::string("nvme0n1");
       },
       "PCIe 8.0 GT/s x4, ceiling 3938 MB/s"},
      {"SATA 1.5", sa("1.5 Gbps"), "SATA 1.5 Gbps, ceiling 150 MB/s"},
      {"SATA link down: the controller's PCIe link is not the disk's", sa("<unknown>"), "unknown"},
      {"SAS 12",
       [](FakeSysfs& fs) {
         std::string port = pciFunction(fs, "0000:01:00.0", "8.0 GT/s PCIe", 8) + "/host0/port-0:0";
         fs.write(port + "/phy-0:0/sas_phy/phy-0:0/negotiated_linkrate", "12.0 Gbit\n");
         fs.disk("sdc", "8:32", 4096, port + "/end_device-0:0/target0:0:0/0:0:0:0");
         return std::string("sdc");
       },
       "SAS 12.0 Gbit/s, ceiling 1200 MB/s"},
      {"USB 5000", us("5000"), "USB 5000 Mbit/s, ceiling 500 MB/s"},
      {"USB 10000", us("10000"), "USB 10000 Mbit/s, ceiling 1212 MB/s"},
      {"USB-attached SATA: the USB link wins", us("480", true), "USB 480 Mbit/s, ceiling 60 MB/s"},
      {"virtio behind an emulated PCIe function",
       [](FakeSysfs& fs) {
         std::string fn = pciFunction(fs, "0000:00:02.0", "2.5 GT/s PCIe", 1) + "/virtio1";
         fs.device(fn, "virtio");
         fs.disk("vda", "254:0", 4096, fn);
         return std::string("vda");
       },
       "unknown"},
      {"device-mapper on one NVMe partition",
       [](FakeSysfs& fs) {
         nvme(fs, "16.0 GT/s PCIe", 4);
         std::string p = fs.part(kRoot + "/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1", "nvme0n1p2", 2,
                                 "259:2", 2048);
         std::string dm = fs.disk("dm-0", "253:0", 2048, "devices/virtual");
         fs.link(dm + "/slaves/nvme0n1p2", "../../../../../" + p);
         return std::string("dm-0");
       },
       "PCIe 16.0 GT/s x4, ceiling 7877 MB/s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSysfs fs;
    const std::string disk = c.build(fs);
    EXPECT_EQ(vlm::linkspeed::describe(vlm::linkspeed::ofDisk(fs.root(), disk)), c.link);
  }
}
