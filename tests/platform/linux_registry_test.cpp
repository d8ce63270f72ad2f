// The registry built from a generated sysfs tree, and the inventory scan over it.
#include <gtest/gtest.h>

#include <functional>

#include "util/alerts.h"
#include "disk/disk.h"
#include "platform/linux.h"
#include "platform/platform.h"
#include "tests/disk/records.h"
#include "tests/platform/fake_sysfs.h"

using namespace vlm;
using vlm::testing::FakeSysfs;

namespace {

const std::string kPci = "devices/pci0000:00";
const std::string kSata = kPci + "/0000:00:1f.2";
const std::string kUsbHc = kPci + "/0000:00:14.0";
const std::string kNvmePci = kPci + "/0000:00:1d.0/0000:3d:00.0";

std::string vpd80(const std::string& serial) {
  std::string v = std::string("\0\x80\0", 3) + static_cast<char>(serial.size()) + serial;
  return v;
}

// Two SATA disks on one controller, a USB stick, an NVMe drive and a loop device.
void machine(FakeSysfs& fs) {
  fs.device(kSata, "pci");
  for (int i = 0; i < 2; ++i) {
    std::string n = std::to_string(i);
    std::string dev = kSata + "/ata" + std::to_string(i + 1) + "/host" + n + "/target" + n + ":0:0/" + n + ":0:0:0";
    fs.device(kSata + "/ata" + std::to_string(i + 1) + "/host" + n, "scsi");
    fs.device(kSata + "/ata" + std::to_string(i + 1) + "/host" + n + "/target" + n + ":0:0", "scsi");
    fs.device(dev, "scsi");
    fs.write(dev + "/model", i == 0 ? "Samsung SSD 860 \n" : "WDC WD5000AAKS  \n");
    fs.write(dev + "/vendor", "ATA     \n");
    fs.write(dev + "/vpd_pg80", vpd80(i == 0 ? "S3Z9NB0K" : "  WD-123  "));
    std::string name = i == 0 ? "sda" : "sdb";
    std::string d = fs.disk(name, "8:" + std::to_string(16 * i), 1000000, dev, true, i == 1);
    fs.part(d, name + "1", 1, "8:" + std::to_string(16 * i + 1), 1000, i == 0 ? "EFI System" : "");
    fs.part(d, name + "2", 2, "8:" + std::to_string(16 * i + 2), 2000);
  }
  fs.write(kSata + "/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda2/ro", "1\n");
  fs.write(kSata + "/ata1/link1/ata_link/link1/sata_spd", "6.0 Gbps\n");
  fs.write(kSata + "/ata2/link2/ata_link/link2/sata_spd", "<unknown>\n");
  fs.mkdirs(kSata + "/ata2/host1/target1:0:0/1:0:0:0/block/sdb/sdb1/holders/dm-0");

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
}

const RegEntry* child(const RegEntry* e, const std::string& name) {
  std::vector<const RegEntry*> kids;
  if (!e->children("IOService", kids)) return nullptr;
  for (const RegEntry* k : kids) {
    std::string n;
    if (k->nameInPlane("IOService", n) && n == name) return k;
  }
  return nullptr;
}

const RegEntry* media(const RegEntry* e, const std::string& bsd) {
  if (auto v = e->property("BSD Name"); v && v->bytes == bsd) return e;
  std::vector<const RegEntry*> kids;
  e->children("IOService", kids);
  for (const RegEntry* k : kids)
    if (const RegEntry* m = media(k, bsd)) return m;
  return nullptr;
}

std::string cls(const RegEntry* e) {
  std::string c;
  return e && e->className(c) ? c : std::string("<none>");
}

std::string str(const RegEntry* e, const std::string& key) {
  auto v = e->property(key);
  return v ? v->bytes : std::string("<absent>");
}

bool flag(const RegEntry* e, const std::string& key) {
  auto v = e->property(key);
  EXPECT_TRUE(v && v->type == RegValue::Type::Boolean) << key;
  return v && v->boolean;
}

}  // namespace

TEST(LinuxRegistry, TreeFollowsTheSysfsAncestors) {
  FakeSysfs fs;
  machine(fs);
  live::LinuxRegistry reg(fs.root());
  const RegEntry* root = reg.root();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(cls(root), "IORegistryEntry");

  const RegEntry* pci = child(root, "pci0000:00");
  ASSERT_NE(pci, nullptr);
  const RegEntry* sata = child(pci, "0000:00:1f.2");
  EXPECT_EQ(cls(sata), "IOPCIDevice");
  std::vector<const RegEntry*> kids;
  ASSERT_TRUE(sata->children("IOService", kids));
  EXPECT_EQ(kids.size(), 2u);  // one controller node for both ports
  const RegEntry* ata1 = child(sata, "ata1");
  EXPECT_EQ(cls(ata1), "IOATAPort");
  const RegEntry* host = child(ata1, "host0");
  EXPECT_EQ(cls(host), "IOSCSIHost");
  EXPECT_EQ(cls(child(host, "target0:0:0")), "IOSCSITarget");
  const RegEntry* scsi = child(child(host, "target0:0:0"), "0:0:0:0");
  EXPECT_EQ(cls(scsi), "IOSCSIDevice");
  const RegEntry* drive = child(scsi, "Samsung SSD 860");
  ASSERT_NE(drive, nullptr);
  EXPECT_EQ(cls(drive), "IOBlockStorageDevice");
  EXPECT_EQ(str(drive, "Physical Interconnect"), "SATA");
  EXPECT_EQ(str(drive, "Rotation Rate"), "Solid State");
  EXPECT_EQ(str(drive, "Serial Number"), "S3Z9NB0K");
  EXPECT_EQ(str(drive, "Vendor Name"), "ATA");

  const RegEntry* sda = child(drive, "Samsung SSD 860 Media");
  ASSERT_NE(sda, nullptr);
  EXPECT_EQ(cls(sda), "IOMedia");
  EXPECT_EQ(media(root, "disk0"), sda);
  EXPECT_EQ(str(sda, "io-device-location"), "sda");
  EXPECT_EQ(sda->property("Size")->number, 1000000LL * 512);
  EXPECT_TRUE(flag(sda, "Whole"));
  EXPECT_FALSE(flag(sda, "Leaf"));
  EXPECT_TRUE(flag(sda, "Writable"));
  EXPECT_FALSE(flag(sda, "Open"));
  EXPECT_EQ(sda->property("Preferred Block Size")->number, 512);
  EXPECT_EQ(str(sda, "Content"), "<absent>");  // nothing could probe a generated tree

  const RegEntry* efi = child(sda, "EFI System");
  ASSERT_NE(efi, nullptr);
  EXPECT_EQ(media(root, "disk0s1"), efi);
  std::string loc;
  EXPECT_TRUE(efi->locationInPlane("IOService", loc));
  EXPECT_EQ(loc, "1");
  EXPECT_EQ(efi->property("Partition ID")->number, 1);
  EXPECT_FALSE(flag(efi, "Whole"));
  EXPECT_TRUE(flag(efi, "Leaf"));
  const RegEntry* p2 = child(sda, "sda Partition 2");
  ASSERT_NE(p2, nullptr);
  EXPECT_FALSE(flag(p2, "Writable"));

  // Held partitions are open, and so is their disk.
  EXPECT_TRUE(flag(media(root, "disk1s1"), "Open"));
  EXPECT_FALSE(flag(media(root, "disk1s2"), "Open"));
  EXPECT_TRUE(flag(media(root, "disk1"), "Open"));
}

TEST(LinuxRegistry, ScanPicksUpTheExtrasOfEachDisk) {
  FakeSysfs fs;
  machine(fs);
  ScopedRecordingSeam seam;
  setPlatform(linuxPlatform(fs.root()));
  std::lock_guard<std::recursive_mutex> lock(disklock);
  diskzap();
  reginfo();
  struct Want {
    const char *bsd, *name, *ic, *rot, *serial, *loc, *link;
    int mbps;
    const char* id;  // the WWN, else serial number and model, else diskseq, else device number and size
  };
  const Want want[] = {
      {"0", "Samsung SSD 860", "SATA", "Solid State", "S3Z9NB0K", "sda", "SATA 6.0 Gbps", 600, "serial-Samsung_SSD_860_S3Z9NB0K"},
      {"0s1", "EFI System", "SATA", "Solid State", "S3Z9NB0K", "sda1", "SATA 6.0 Gbps", 600, "serial-Samsung_SSD_860_S3Z9NB0K-part1"},
      {"1", "WDC WD5000AAKS", "SATA", "Rotational", "WD-123", "sdb", "", 0, "serial-WDC_WD5000AAKS_WD-123"},
      {"2", "Cruzer", "USB", "Solid State", "U7SERIAL", "sdc", "USB 480 Mbit/s", 60, "serial-Cruzer_U7SERIAL"},
      {"3", "WD Blue SN570", "NVMe", "Solid State", "NV123", "nvme0n1", "PCIe 8.0 GT/s x4", 3938, "wwn-eui.0025_38b5"},
      {"4", "loop0", "Virtual", "Solid State", "", "loop0", "", 0, "diskseq-9"},
  };
  for (const Want& w : want) {
    SCOPED_TRACE(w.bsd);
    const DISKINFO_* rec = vlmtest::findrec(w.bsd);
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(rec->name, w.name);
    EXPECT_STREQ(rec->interconnect, w.ic);
    EXPECT_STREQ(rec->rotation, w.rot);
    EXPECT_STREQ(rec->serial, w.serial);
    EXPECT_STREQ(rec->devloc, w.loc);
    EXPECT_STREQ(rec->link, w.link);
    EXPECT_EQ(rec->linkmbps, w.mbps);
    EXPECT_STREQ(rec->devid, w.id);
  }
  int n = 0;
  for (const DISKINFO_* r = diskinfo0; r; r = r->next) ++n;
  EXPECT_EQ(n, 9);  // sda + 2, sdb + 2, sdc, nvme0n1, loop0
  const DISKINFO_* usb = vlmtest::findrec("2");
  ASSERT_NE(usb, nullptr);
  EXPECT_EQ(usb->removable, 1);
  EXPECT_EQ(usb->ejectable, 1);
  diskzap();
  setPlatform(linuxPlatform());
  EXPECT_TRUE(seam.seam.alerts.empty());
}

TEST(LinuxRegistry, EachRootIsAFreshSnapshot) {
  FakeSysfs fs;
  machine(fs);
  live::LinuxRegistry reg(fs.root());
  const RegEntry* first = reg.root();
  ASSERT_NE(media(first, "disk4"), nullptr);
  fs.disk("loop1", "7:1", 100, "devices/virtual");
  const RegEntry* second = reg.root();
  EXPECT_NE(media(second, "disk5"), nullptr);
  EXPECT_EQ(media(first, "disk5"), nullptr);  // the previous snapshot is still readable
  EXPECT_EQ(reg.build()->size(), reg.build()->size());
}

TEST(LinuxRegistry, EmptyOrMissingTreeGivesABareRoot) {
  live::LinuxRegistry reg("/nonexistent/sysroot");
  const RegEntry* root = reg.root();
  ASSERT_NE(root, nullptr);
  std::vector<const RegEntry*> kids;
  ASSERT_TRUE(root->children("IOService", kids));
  EXPECT_TRUE(kids.empty());
}
