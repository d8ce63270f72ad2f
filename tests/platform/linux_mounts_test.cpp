// The mount table and volume names from fixture mountinfo texts over a
// generated sysfs tree; outside text handling.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>
#include <fstream>
#include <tuple>

#include "platform/linux.h"
#include "tests/platform/fake_sysfs.h"

using namespace vlm;
using vlm::testing::FakeSysfs;

namespace {

const char* kDev = "devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0";

// A sysfs tree with sda (8:0) and sda1 (8:1), sda2 (8:2); a mountinfo file;
// real directories to mount on (statfs must succeed on them).
struct Machine {
  FakeSysfs fs;
  std::string mountinfo, dir, spaced;
  Machine() {
    std::string sda = fs.disk("sda", "8:0", 1 << 20, kDev);
    fs.part(sda, "sda1", 1, "8:1", 1 << 19);
    fs.part(sda, "sda2", 2, "8:2", 1 << 18);
    dir = fs.root() + "/mnt/data";
    spaced = fs.root() + "/mnt/my disk\tx";
    fs.mkdirs("mnt/data");
    fs.mkdirs("mnt/my disk\tx");
    mountinfo = fs.root() + "/mountinfo";
  }
  void lines(const std::string& text) { std::ofstream(mountinfo) << text; }
};

}  // namespace

// Octal escapes (only whole, valid ones) and the lines of mountinfo.
TEST(MountText, ParseMountinfo) {
  struct { const char* in; const char* out; } cases[] = {
      {"/mnt/a\\040b", "/mnt/a b"},      {"back\\134slash", "back\\slash"},
      {"\\101\\102", "AB"},              {"end\\04", "end\\04"},
      {"end\\", "end\\"},                {"bad\\089", "bad\\089"},
      {"\\400", "\\400"},                {"plain", "plain"},
  };
  for (const auto& c : cases) EXPECT_EQ(live::unescapeMount(c.in), c.out) << c.in;

  auto ms = live::parseMountinfo(
      "27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
      "40 27 8:1 /sub /mnt/bind ro,nosuid master:3 propagate_from:2 - ext4 /dev/sda1 rw\n"
      "garbage line\n"
      "41 27 8:x / /mnt/bad rw - ext4 /dev/sdb rw\n"          // bad device number
      "42 27 8:2 / /mnt/nodash rw ext4 /dev/sdb rw x y\n"      // no separator
      "43 27 0:50 / /mnt/my\\040nfs rw - nfs4 srv:/e\\040x rw\n");
  ASSERT_EQ(ms.size(), 3u);
  EXPECT_EQ(std::tie(ms[0].devno, ms[0].mountPoint, ms[0].fstype, ms[0].readOnly),
            std::make_tuple(makedev(254, 0), std::string("/"), std::string("ext4"), false));
  EXPECT_EQ(ms[1].root, "/sub");
  EXPECT_TRUE(ms[1].readOnly);
  EXPECT_EQ(ms[1].source, "/dev/sda1");
  EXPECT_EQ(ms[2].mountPoint, "/mnt/my nfs");
  EXPECT_EQ(ms[2].source, "srv:/e x");
}

TEST(MountText, CleanAndDecode) {
  struct { std::string in; size_t max; std::string out; } cases[] = {
      {"  Samsung   SSD\t860  ", 127, "Samsung SSD 860"},
      {"a\x01\x7f" "b", 127, "a b"},
      {"\xff\xfeok", 127, "??ok"},
      {"caf\xc3\xa9", 127, "caf\xc3\xa9"},
      {"caf\xc3\xa9", 4, "caf"},              // never half a character
      {"\xc0\xaf", 127, "??"},                // overlong
      {"\xed\xa0\x80", 127, "???"},           // surrogate
      {std::string(300, 'x'), 10, std::string(10, 'x')},
  };
  for (const auto& c : cases) EXPECT_EQ(live::cleanText(c.in, c.max), c.out) << c.in;
  EXPECT_EQ(live::decodeUdev("My\\x20Disk\\x2fA"), "My Disk/A");
  EXPECT_EQ(live::decodeUdev("bad\\x2"), "bad\\x2");
  EXPECT_EQ(live::decodeUdev("bad\\xzz"), "bad\\xzz");
  EXPECT_EQ(live::cleanText(live::decodeUdev("\\x00\\x01L")), "L");
}

// The mount table measures the mounts of named devices and passes the others
// through; the volume list holds the named devices' mounts in mountinfo order.
TEST(LinuxMounts, NamedDevicesAreMeasuredOthersPassThrough) {
  Machine m;
  m.lines("1 0 8:2 / " + m.fs.root() + "/mnt/my\\040disk\\011x ro - fuse.averyveryverylongname /dev/sda2 ro\n"
          "2 0 8:1 / " + m.dir + " rw - ext4 /dev/mapper/odd rw\n"
          "3 0 8:1 /inner /mnt/bind rw - ext4 /dev/sda1 rw\n"
          "4 0 0:50 / /mnt/nfs rw - nfs4 server:/export rw\n"
          "5 0 8:0 / /nonexistent/mountpoint rw - ext4 /dev/sda rw\n"
          "6 0 9:9 / /mnt/unknown rw - ext4 /dev/md9 rw\n");
  live::LinuxMountTable mt(m.fs.root(), m.mountinfo);
  std::vector<vlm_statfs> all = mt.snapshot();
  ASSERT_EQ(all.size(), 5u);  // the mount whose point is gone is left out

  EXPECT_STREQ(all[0].f_mntfromname, "/dev/disk0s2");
  EXPECT_EQ(all[0].f_mntonname, m.spaced);
  EXPECT_STREQ(all[0].f_fstypename, "fuse.averyveryv");  // 15 characters
  EXPECT_EQ(all[0].f_flags, 1u);

  EXPECT_STREQ(all[1].f_mntfromname, "/dev/disk0s1");  // by device number, not by source
  EXPECT_EQ(all[1].f_mntonname, m.dir);
  EXPECT_STREQ(all[1].f_fstypename, "ext4");
  EXPECT_TRUE(all[1].f_blocks > 0 && all[1].f_bsize > 0 && all[1].f_flags == 0);

  struct { const char* from; const char* on; } passed[] = {
      {"/dev/sda1", "/mnt/bind"}, {"server:/export", "/mnt/nfs"}, {"/dev/md9", "/mnt/unknown"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_STREQ(all[2 + i].f_mntfromname, passed[i].from);
    EXPECT_STREQ(all[2 + i].f_mntonname, passed[i].on);
    EXPECT_EQ(all[2 + i].f_blocks, 0u);
  }

  live::LinuxVolumeList vl(m.fs.root(), m.mountinfo);
  std::string vols;
  for (const auto& v : vl.mountedVolumes()) vols += v.path + "|" + v.name + (v.hasName ? "|named\n" : "\n");
  EXPECT_EQ(vols, m.spaced + "|my disk\tx|named\n" + m.dir + "|data|named\n/nonexistent/mountpoint|mountpoint|named\n");
  EXPECT_EQ(vl.setName(m.dir, "New"), 1);
}

TEST(LinuxMounts, GetfsstatCountsAndBounds) {
  Machine m;
  m.lines("1 0 8:1 / " + m.dir + " rw - ext4 /dev/sda1 rw\n"
          "2 0 0:22 / /sys rw - sysfs sysfs rw\n"
          "3 0 0:23 / /proc rw - proc proc rw\n");
  live::LinuxMountTable mt(m.fs.root(), m.mountinfo);
  EXPECT_EQ(mt.getfsstat(nullptr, 0, MNT_WAIT), 3);
  std::vector<vlm_statfs> buf(4);
  std::memset(buf.data(), 0x5a, buf.size() * sizeof(vlm_statfs));
  EXPECT_EQ(mt.getfsstat(buf.data(), 2 * sizeof(vlm_statfs) + 10, MNT_WAIT), 2);
  EXPECT_STREQ(buf[1].f_mntonname, "/sys");
  EXPECT_EQ(static_cast<unsigned char>(buf[2].f_mntonname[0]), 0x5a);  // untouched

  live::LinuxMountTable missing(m.fs.root(), m.fs.root() + "/no-such-mountinfo");
  EXPECT_EQ(missing.getfsstat(nullptr, 0, MNT_WAIT), 0);
}

TEST(VolumeNames, Rules) {
  struct { const char* mp; const char* label; const char* name; } cases[] = {
      {"/", "", "Root"},
      {"/", "System", "System"},
      {"/mnt/data/", "", "data"},
      {"/mnt/x", "D\xc3\xa4ten", "D\xc3\xa4ten"},  // non-ASCII kept for the table to judge
  };
  for (const auto& c : cases) EXPECT_EQ(live::volumeName(c.mp, c.label), c.name) << c.mp;
}
