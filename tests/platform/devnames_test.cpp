// Device names on generated sysfs trees.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/sysmacros.h>

#include "platform/devnames.h"
#include "platform/sysfsread.h"
#include "tests/helpers/golden.h"
#include "tests/platform/fake_sysfs.h"

using vlm::devnames::BlockDev;
using vlm::testing::FakeSysfs;
namespace dn = vlm::devnames;

namespace {

const char* kPci = "devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0";
const char* kPci2 = "devices/pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0";
const char* kNvme = "devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0";

// Physical disks sorted by device number, then the virtual ones.
void machine(FakeSysfs& fs) {
  std::string sdb = fs.disk("sdb", "8:16", 2048, kPci2);
  fs.part(sdb, "sdb1", 1, "8:17", 1024);
  std::string nvme = fs.disk("nvme0n1", "259:0", 4096, kNvme, false);
  fs.part(nvme, "nvme0n1p1", 1, "259:1", 100);
  fs.part(nvme, "nvme0n1p2", 2, "259:2", 200);
  std::string sda = fs.disk("sda", "8:0", 8192, kPci);
  fs.part(sda, "sda1", 1, "8:1", 4000);
  fs.part(sda, "sda5", 5, "8:5", 2000);   // a logical partition keeps its number
  fs.part(sda, "sda6", 6, "8:6", 0);      // no media: left out
  fs.disk("loop1", "7:1", 100, "devices/virtual");
  fs.disk("loop0", "7:0", 200, "devices/virtual");
  fs.disk("loop2", "7:2", 0, "devices/virtual");  // unused loop device: left out
  fs.disk("dm-0", "253:0", 300, "devices/virtual");
  fs.disk("zram0", "252:0", 0, "devices/virtual");
  // Identities: sda and sdb claim one serial number, so each falls back
  // (sdb's in the disk's own attribute, where virtio disks have theirs).
  fs.write(std::string(kPci) + "/serial", "SAME\n");
  fs.write(sdb + "/serial", "SAME\n");
  fs.write(sda + "/diskseq", "3\n");
  fs.write(std::string(kNvme) + "/model", "Fast Drive\n");
  fs.write(std::string(kNvme) + "/serial", " N1 \n");
  fs.write("devices/virtual/block/loop0/diskseq", "7\n");
  fs.write("devices/virtual/block/dm-0/wwid", "naa.5000\n");
}

}  // namespace

// Every device of the machine, one a line, against tests/fixtures/sysfs.devnames.txt:
// physical disks by device number, then the virtual ones, each disk's
// partitions after it; the identity is also what identityOf finds by name.
// Then the look-ups by name and device number.
TEST(DevNames, NumbersPhysicalThenVirtualByDeviceNumber) {
  FakeSysfs fs;
  machine(fs);
  const auto devs = dn::scan(fs.root());
  std::string got;
  for (const BlockDev& d : devs) {
    got += d.name + " " + d.kernel + " " + d.node + " " + std::to_string(major(d.devno)) + ":" +
           std::to_string(minor(d.devno)) + (d.virt ? " virtual" : " physical") + " partition " +
           std::to_string(d.partno) + " of '" + d.parent + "' bytes " + std::to_string(d.size) + " " +
           d.ident + " " + d.syspath.substr(fs.root().size()) + "\n";
    EXPECT_EQ(d.whole, d.partno == 0) << d.name;
    EXPECT_EQ(dn::identityOf(d.name, fs.root()), d.ident) << d.name;
  }
  vlmtest::expectGolden(got, "sysfs.devnames.txt");
  EXPECT_EQ(dn::byName("disk2s2", fs.root()).value().kernel, "nvme0n1p2");
  EXPECT_FALSE(dn::byName("disk02", fs.root()));  // not well formed
  EXPECT_FALSE(dn::byName("disk9", fs.root()));
  EXPECT_EQ(dn::findName(devs, "disk0s5")->kernel, "sda5");
  EXPECT_EQ(dn::findName(devs, "DISK0"), nullptr);
  EXPECT_EQ(dn::findDevno(devs, makedev(8, 17))->name, "disk1s1");
  EXPECT_EQ(dn::findDevno(devs, makedev(99, 99)), nullptr);
}

TEST(DevNames, OddSysfsContentIsSkippedNotTrusted) {
  FakeSysfs fs;
  fs.disk("sda", "8:0", 100, kPci);
  fs.write(fs.disk("sdb", "8:16", 100, kPci2) + "/dev", "8:x\n");                  // not a number
  fs.write(fs.disk("sdc", "8:32", 100, kPci2) + "/size", "12abc\n");               // trailing junk
  fs.write(fs.disk("sdd", "8:48", 100, kPci2) + "/size", std::string("10\0", 3));  // embedded NUL
  fs.link("block/sdg", "../devices/nowhere/sdg");                    // dangling link
  fs.link("block/bad name", "../" + std::string(kPci) + "/block/sda");  // not a kernel name
  std::string sdh = fs.disk("sdh", "8:112", 100, kPci2);
  fs.part(sdh, "sdh1", 1, "8:113", 10);
  fs.write(sdh + "/sdh1/uevent", "DEVTYPE=partition\n");  // no PARTN: the attribute, which is odd
  fs.write(sdh + "/sdh1/partition", "-1\n");
  fs.part(sdh, "sdh2", 2, "8:114", 10);
  fs.part(sdh, "sdh9", 2, "8:121", 10);  // a second partition 2: the first by number stays
  std::string got;
  for (const BlockDev& d : dn::scan(fs.root())) got += d.kernel + " " + d.name + "|";
  EXPECT_EQ(got, "sda disk0|sdh disk1|sdh2 disk1s2|");
  EXPECT_TRUE(dn::scan("/nonexistent/sysroot").empty());
}

// Old-layout directories in block/ use their device link; a console-style
// name ("cciss!c0d0") has its node in a folder.
TEST(DevNames, OldLayoutAndConsoleStyleNames) {
  FakeSysfs fs;
  fs.mkdirs("devices/pci0000:00");
  fs.write("block/hda/dev", "3:0\n");
  fs.write("block/hda/size", "100\n");
  fs.link("block/hda/device", "../../devices/pci0000:00");
  fs.write("block/ram0/dev", "1:0\n");
  fs.write("block/ram0/size", "100\n");
  fs.disk("cciss!c0d0", "104:0", 100, "devices/pci0000:00/0000:00:05.0");
  auto devs = dn::scan(fs.root());
  ASSERT_EQ(devs.size(), 3u);
  EXPECT_EQ(devs[0].kernel, "hda");
  EXPECT_EQ(devs[1].node, "/dev/cciss/c0d0");
  EXPECT_EQ(devs[2].kernel, "ram0");
  EXPECT_TRUE(devs[2].virt);
  EXPECT_EQ(devs[2].syspath, fs.root() + "/block/ram0");
}

TEST(DevNames, WellFormed) {
  struct { const char* name; bool ok; } cases[] = {
      {"disk0", true},   {"disk12", true},   {"disk0s1", true},  {"disk3s10", true},
      {"disk", false},   {"disk01", false},  {"disk1s01", false}, {"disk1s", false},
      {"Disk1", false},  {"rdisk1", false},  {"disk1s2s3", false}, {"disk1 ", false}, {"", false},
      {"disk12345678901234567890123456s1", false},  // 32 characters
      {"disk1234567890123456789012345s1", true},    // 31 characters
  };
  for (const auto& c : cases) EXPECT_EQ(dn::wellFormed(c.name), c.ok) << c.name;
}

TEST(SysfsRead, StrictNumbersAndLinks) {
  namespace fs = vlm::sysfs;
  EXPECT_EQ(fs::parseU64("0"), 0u);
  EXPECT_EQ(fs::parseU64("18446744073709551615"), UINT64_MAX);
  EXPECT_FALSE(fs::parseU64("18446744073709551616"));
  EXPECT_FALSE(fs::parseU64(""));
  EXPECT_FALSE(fs::parseU64("+1"));
  EXPECT_FALSE(fs::parseU64(" 1"));
  EXPECT_EQ(fs::parseDevno("259:3"), makedev(259, 3));
  EXPECT_FALSE(fs::parseDevno("259"));
  EXPECT_FALSE(fs::parseDevno("259:"));
  EXPECT_FALSE(fs::parseDevno(":3"));
  EXPECT_EQ(fs::joinRelative("block", "../devices/virtual/block/loop0"), "devices/virtual/block/loop0");
  EXPECT_EQ(fs::joinRelative("block", "./../devices//x/"), "devices/x");
  EXPECT_FALSE(fs::joinRelative("block", "../../etc"));
  EXPECT_FALSE(fs::joinRelative("block", "/sys/devices/x"));
}

// Whole files up to the cap, longer ones refused; a proc file (size 0) longer
// than the first buffer is read whole.
TEST(SysfsRead, WholeFilesWithinTheCap) {
  namespace fs = vlm::sysfs;
  FakeSysfs tree;
  struct Case { size_t len, cap; bool ok; };
  const Case cases[] = {{0, 64, true}, {64, 64, true}, {65, 64, false}, {10000, 1u << 20, true}};
  for (const Case& c : cases) {
    std::string body(c.len, 'x');
    for (size_t i = 0; i < c.len; i += 97) body[i] = static_cast<char>('a' + i % 26);
    tree.write("f", body);
    auto got = fs::readBytes(AT_FDCWD, tree.root() + "/f", c.cap);
    EXPECT_EQ(got.value_or("(refused)"), c.ok ? body : "(refused)") << c.len << " of " << c.cap;
  }
  // smaps: over 20 lines for each of the program's mappings, well over 8 KiB.
  auto smaps = fs::readText(AT_FDCWD, "/proc/self/smaps", 64u << 20);
  ASSERT_TRUE(smaps);
  EXPECT_GT(smaps->size(), 8192u);
  EXPECT_FALSE(fs::readText(AT_FDCWD, "/proc/self/smaps", 4096));
}
