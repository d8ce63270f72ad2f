// Partition type codes and kinds.
#include <gtest/gtest.h>

#include <string>

#include "records.h"

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
