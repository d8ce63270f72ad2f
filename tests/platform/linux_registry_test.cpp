// The registry built from a generated sysfs tree, and the inventory scan over it.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "util/alerts.h"
#include "disk/disk.h"
#include "platform/linux.h"
#include "platform/platform.h"
#include "tests/disk/records.h"
#include "tests/helpers/golden.h"
#include "tests/platform/fake_sysfs.h"

using namespace vlm;
using vlm::testing::FakeSysfs;

namespace {

const std::string kPci = "devices/pci0000:00";
const std::string kSata = kPci + "/0000:00:1f.2";
const std::string kUsbHc = kPci + "/0000:00:14.0";
const std::string kNvmePci = kPci + "/0000:00:1d.0/0000:3d:00.0";

std::string vpd80(const std::string& serial) {
  return std::string("\0\x80\0", 3) + static_cast<char>(serial.size()) + serial;
}

// Two SATA disks on one controller, a USB stick, an NVMe drive and a loop device.
void machine(FakeSysfs& fs) {
  fs.device(kSata, "pci");
  for (int i = 0; i < 2; ++i) {
    const std::string n = std::to_string(i), host = kSata + "/ata" + std::to_string(i + 1) + "/host" + n;
    const std::string dev = host + "/target" + n + ":0:0/" + n + ":0:0:0", name = i == 0 ? "sda" : "sdb";
    for (const std::string& d : {host, host + "/target" + n + ":0:0", dev}) fs.device(d, "scsi");
    fs.write(dev + "/model", i == 0 ? "Samsung SSD 860 \n" : "WDC WD5000AAKS  \n");
    fs.write(dev + "/vendor", "ATA     \n");
    fs.write(dev + "/vpd_pg80", vpd80(i == 0 ? "S3Z9NB0K" : "  WD-123  "));
    std::string d = fs.disk(name, "8:" + std::to_string(16 * i), 1000000, dev, true, i == 1);
    fs.part(d, name + "1", 1, "8:" + std::to_string(16 * i + 1), 1000, i == 0 ? "EFI System" : "");
    fs.part(d, name + "2", 2, "8:" + std::to_string(16 * i + 2), 2000);
  }
  fs.write(kSata + "/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda2/ro", "1\n");
  fs.write(kSata + "/ata1/link1/ata_link/link1/sata_spd", "6.0 Gbps\n");
  // An md array assembled but not started (no size, not listed) holds sdb1.
  const std::string sdb1 = kSata + "/ata2/host1/target1:0:0/1:0:0:0/block/sdb/sdb1";
  fs.link(fs.disk("md127", "9:127", 0, "devices/virtual") + "/slaves/sdb1", "../../../../../" + sdb1);
  fs.mkdirs(sdb1 + "/holders/md127");

  fs.device(kUsbHc, "pci");
  fs.device(kUsbHc + "/usb2", "usb");
  std::string usbdev = kUsbHc + "/usb2/2-1";
  fs.device(usbdev, "usb");
  fs.write(usbdev + "/idVendor", "0781\n");
  fs.write(usbdev + "/serial", "U7SERIAL\n");
  fs.write(usbdev + "/product", "Flash  Drive\n");
  fs.write(usbdev + "/manufacturer", "Maker\n");
  fs.write(usbdev + "/speed", "480\n");
  std::string sdev = usbdev + "/2-1:1.0/host2/target2:0:0/2:0:0:0";
  fs.device(usbdev + "/2-1:1.0", "usb");
  fs.device(sdev, "scsi");
  fs.write(sdev + "/model", "Cruzer\n");
  std::string sdc = fs.disk("sdc", "8:32", 5000, sdev);
  fs.write(sdc + "/removable", "1\n");

  fs.device(kNvmePci, "pci");
  fs.write(kNvmePci + "/current_link_speed", "8.0 GT/s PCIe\n");
  fs.write(kNvmePci + "/current_link_width", "4\n");
  std::string ctl = kNvmePci + "/nvme/nvme0";
  fs.device(ctl, "nvme");
  fs.write(ctl + "/model", "WD Blue SN570\n");
  fs.write(ctl + "/serial", "NV123   \n");
  fs.write(fs.disk("nvme0n1", "259:0", 7000, ctl, false) + "/wwid", "eui.0025 38b5\n");

  fs.write(fs.disk("loop0", "7:0", 600, "devices/virtual") + "/diskseq", "9\n");

  // udev's database (under the generated root, given in its place): what its
  // probes found, escaped as udev writes it. sdb2 has a file without facts.
  const std::pair<const char*, const char*> udev[] = {
      {"b8:0", "E:ID_PART_TABLE_TYPE=gpt\nE:ID_MODEL_ENC=Samsung\\x20SSD\n"},
      {"b8:1", "S:disk/by-label/EFI\nE:ID_FS_TYPE=vfat\nE:ID_FS_LABEL=EFI_BOOT\nE:ID_FS_LABEL_ENC=EFI\\x20BOOT\n"
               "E:ID_PART_ENTRY_SCHEME=gpt\nE:ID_PART_ENTRY_TYPE=c12a7328-f81f-11d2-ba4b-00a0c93ec93b\n"
               "E:ID_PART_ENTRY_NAME=EFI\\x20System\\x20\\xe2\\x9c\\x93\nE:ID_PART_ENTRY_UUID=1b2c3d4e-0000-4000-8000-00000000000a\n"},
      {"b8:17", "E:ID_FS_TYPE=swap\nE:ID_PART_ENTRY_TYPE=0x82\nE:ID_PART_ENTRY_SCHEME=dos\n"},
      {"b8:18", "E:ID_SERIAL_SHORT=WD-123\n"},
      {"b8:32", "E:ID_FS_TYPE=exfat\nE:ID_FS_LABEL_ENC=\\xe3\\x83\\x87\\xe3\\x83\\xbc\\xe3\\x82\\xbf\\x20\\xf0\\x9f\\x92\\xbe\n"},
  };
  for (const auto& [file, text] : udev) fs.write(std::string("udev/") + file, text);
}

const RegEntry* media(const RegEntry* e, const std::string& bsd) {
  if (auto v = e->property("BSD Name"); v && v->bytes == bsd) return e;
  std::vector<const RegEntry*> kids;
  e->children("IOService", kids);
  for (const RegEntry* k : kids)
    if (const RegEntry* m = media(k, bsd)) return m;
  return nullptr;
}

}  // namespace

// The registry of the generated machine, saved as a fixture, against
// tests/fixtures/sysfs.registry.json: one object per sysfs directory above a
// disk, the drive's properties, and every media object's, held partitions and
// their disk open. Then the records the scan makes of it, one a line, against
// tests/fixtures/sysfs.records.txt: the extras of each disk (where, what, the
// serial number, the link) and the identity (the WWN, else serial number and
// model, else diskseq, else device number and size).
TEST(LinuxRegistry, TreeAndRecordsFollowTheSysfsAncestors) {
  FakeSysfs fs;
  machine(fs);
  const std::string dump = fs.root() + ".registry.json";
  dumpRegistry(live::LinuxRegistry(fs.root()), dump);
  std::stringstream tree;
  tree << std::ifstream(dump).rdbuf();
  std::remove(dump.c_str());
  vlmtest::expectGolden(tree.str(), "sysfs.registry.json");

  ScopedRecordingSeam seam;
  setPlatform(linuxPlatform(fs.root(), fs.root() + "/udev"));
  std::lock_guard<std::recursive_mutex> lock(disklock);
  diskzap();
  reginfo();
  disktypes();
  std::string got;
  for (const DISKINFO_* r = diskinfo0; r; r = r->next)
    got += std::string(r->bsdname) + "|" + r->name + "|" + r->interconnect + "|" + r->rotation + "|" +
           r->serial + "|" + r->devloc + "|" + r->link + "|" + std::to_string(r->linkmbps) + "|" + r->devid +
           (r->removable ? "|removable" : "") + (r->ejectable ? "|ejectable" : "") + "|" + r->content + "|" +
           r->type + "|" + r->typename_ + "|" + r->fstype + "|" + r->fslabel + "|" + r->partlabel +
           (r->readonly ? "|read-only" : "") + "\n";
  vlmtest::expectGolden(got, "sysfs.records.txt");
  diskzap();
  setPlatform(linuxPlatform());
  EXPECT_TRUE(seam.seam.alerts.empty());
}

// Each root is a fresh snapshot, the previous one still readable; no tree
// gives a bare root.
TEST(LinuxRegistry, EachRootIsAFreshSnapshot) {
  FakeSysfs fs;
  machine(fs);
  live::LinuxRegistry reg(fs.root());
  const RegEntry* first = reg.root();
  ASSERT_NE(media(first, "disk4"), nullptr);
  fs.disk("loop1", "7:1", 100, "devices/virtual");
  const RegEntry* second = reg.root();
  EXPECT_NE(media(second, "disk5"), nullptr);
  EXPECT_EQ(media(first, "disk5"), nullptr);

  live::LinuxRegistry none("/nonexistent/sysroot");
  std::vector<const RegEntry*> kids;
  ASSERT_TRUE(none.root()->children("IOService", kids));
  EXPECT_TRUE(kids.empty());
}
