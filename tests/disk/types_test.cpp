// Partition type codes and kinds.
#include <gtest/gtest.h>

#include <string>

#include <regex>
#include <sstream>

#include "records.h"
#include "tests/platform/loop_guard.h"

using vlmtest::addrec;

namespace {

struct TypeCase {
  const char* content;
  const char* fstype;  // mounted file system type name, "" when not mounted
  const char* type;
};

const TypeCase kTypeCases[] = {
    // rules the goldens of tests/fixtures do not show (GPT, HFS+, EFI, APS,
    // FDISK, HFS*, driver and "?" are there)
    {"52414944-5F4F-11AA-AA11-00306543ECAC", "", "a:RAID-"},
    {"B6FA30DA-92D2-4A9A-96F1-871EC6486200", "", "sr:Boot"},
    {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "hfsplus", "HFS"},
    {"Apple_Patches", "", "patches"},
    // letter case, prefixes and the order of the mounted-HFS rule
    {"guid_partition_scheme", "", "GPT"},
    {"48465300-0000-11aa-aa11-00306543ecac", "hfsplus", "HFS+"},
    {"Apple_HFSX", "", "?"},
    {"Apple_HFSX", "hfs", "HFS"},
    {"Velmora_HFS", "hfs", "HFS"},
    {"velmora_hfs_Extra", "", "HFS*"},
    {"Apple_Driver_ATAPI", "", "driver"},
    {"Apple_Free", "", "?"},
    {"", "", "?"},
    {"", "hfs", "HFS"},
    {"", "ext4", "?"},
    {"GUID_partition_scheme ", "", "?"},  // whole-text rules take no trailing blank
    // beyond the rules: the type tables' names give a short code for the common ones
    {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "", "Linux"},
    {"0657fd6d-a4ab-43c4-84e5-0933c84b4f4f", "", "swap"},
    {"E6D6D379-F507-44C2-A23C-238F2A3DF928", "", "LVM"},
    {"A19D880F-05FC-4D3B-A006-743F0F84911E", "", "RAID"},
    {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "", "MSdata"},
    {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "", "WinRE"},
    {"0x83", "", "Linux"},
    {"0x82", "", "swap"},
    {"0x8E", "", "LVM"},
    {"0xfd", "", "RAID"},
    {"0x07", "", "NTFS"},
    {"0x0C", "", "FAT"},
    {"0x05", "", "Ext'd"},
    {"0x42", "", "?"},  // named ("SFS") but not a common one
    {"0x83", "hfs", "HFS"},  // the rules keep precedence
};

TEST(TypeRules, GiveTheCode) {
  for (const TypeCase& c : kTypeCases) {
    vlmtest::ListGuard guard;
    DISKINFO_* rec = addrec("0s1");
    zcpfield(rec->content, c.content);
    zcpfield(rec->fs.f_fstypename, c.fstype);
    disktypes();
    EXPECT_STREQ(rec->type, c.type) << "content '" << c.content << "' fs '" << c.fstype << "'";
  }
}

// The type names are those fdisk's tables give (sfdisk lists them), for every
// GPT type and every MBR code.
TEST(TypeNames, AsSfdiskNamesThem) {
  for (const char* label : {"gpt", "dos"}) {
    std::string list;
    if (vlm::testing::run({vlm::testing::tool("sfdisk"), "-X", label, "-T"}, &list) != 0)
      GTEST_SKIP() << "sfdisk is not installed";
    std::istringstream in(list);
    int rows = 0;
    for (std::string line; std::getline(in, line);) {
      std::smatch m;
      if (!std::regex_match(line, m, std::regex(" *([0-9a-fA-F-]+)  (.+)")) || m[1] == "Id") continue;
      std::string id = m[1];
      if (std::string(label) == "dos") id = "0x" + id;
      char name[64], code[16];
      parttypename(id.c_str(), name, sizeof name, code, sizeof code);
      EXPECT_EQ(name, std::string(m[2]).substr(0, sizeof name - 1)) << label << " " << id;
      ++rows;
    }
    EXPECT_GT(rows, 20) << list;
  }
}

// Kinds of mirrors (whole disks and partitions), the same when the rules run
// again; "Disk" and "Partition" are seen in the goldens of tests/fixtures.
TEST(Kinds, MirrorBeforeDiskBeforePartition) {
  vlmtest::ListGuard guard;
  DISKINFO_* mwhole = addrec("1", 1);
  DISKINFO_* mpart = addrec("1s1", 0);
  mwhole->mirror = 1;
  mpart->mirror = -3;  // any non-zero low byte
  disktypes();
  disktypes();
  EXPECT_EQ(std::string(mwhole->kind) + " " + mpart->kind, "Mirror Mirror");
}

}  // namespace
