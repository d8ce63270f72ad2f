// Mount data, volume names and the free-space text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "records.h"

using vlmtest::addrec;

namespace {

struct MountFixture : ::testing::Test {
  vlmtest::ListGuard guard;
  vlmtest::PlatformParts parts;
  void SetUp() override { parts.install(); }
};

// The mount each record takes: device names matched without regard to case,
// at most 30 characters after "/dev/disk", the later of two entries; a failed
// snapshot leaves every record unmounted.
TEST_F(MountFixture, RecordsTakeTheirDevicesMount) {
  using Mounts = std::vector<std::pair<std::string, std::string>>;
  const std::string n30(30, '9'), n31(31, '8');
  const struct {
    std::string bsdname;
    Mounts mounts;
    std::string want;  // the mount that gives the figures
    bool fail;
    std::string all;  // every mount point kept
  } cases[] = {
      {"2s1", {{"/DEV/DISK2S1", "/Volumes/Two"}}, "/Volumes/Two", false, "/Volumes/Two\n"},
      {"0", {{"/dev/disk", "/a"}, {"tmpfs", "/tmp"}, {"/dev/sda1", "/b"}, {"/dev/disk0s1", "/c"}}, "", false, ""},
      {n30, {{"/dev/disk" + n30, "/thirty"}}, "/thirty", false, "/thirty\n"},
      {n31, {{"/dev/disk" + n31, "/thirtyone"}}, "", false, ""},
      {"1s2", {{"/dev/disk1s2", "/first"}, {"/dev/disk1s2", "/second"}}, "/first", false, "/first\n/second\n"},
      {"0s1", {{"/dev/disk0s1", "/x"}}, "", true, ""},
  };
  for (const auto& c : cases) {
    vlmtest::ListGuard::clear();
    parts.mounts->entries.clear();
    parts.mounts->fail = c.fail;
    DISKINFO_* rec = addrec(c.bsdname.c_str());
    ASSERT_EQ(rec->bsdname, c.bsdname);
    for (const auto& [from, on] : c.mounts) parts.mounts->add(from, on, "hfsplus", 4096, 1000, 500);
    diskmount();
    EXPECT_EQ(rec->fs.f_mntonname, c.want) << c.bsdname;
    EXPECT_EQ(rec->fs.f_blocks, c.want.empty() ? 0u : 1000u) << c.bsdname;
    EXPECT_STREQ(rec->fs.f_fstypename, c.want.empty() ? "" : "hfsplus") << c.bsdname;
    EXPECT_EQ(rec->mounts, c.all) << c.bsdname;
  }
}

// A table that claims more entries than the buffer holds, with unterminated texts.
struct LyingMounts : vlm::MountTable {
  int getfsstat(vlm::vlm_statfs* buf, long bufsize, int) override {
    if (!buf) return 1;
    long room = bufsize / static_cast<long>(sizeof(vlm::vlm_statfs));
    for (long i = 0; i < room; ++i) {
      std::memset(&buf[i], 'x', sizeof buf[i]);
      std::memcpy(buf[i].f_mntfromname, "/dev/disk", 9);
    }
    return 100000;
  }
};

TEST_F(MountFixture, ACountBeyondTheBufferIsNotTrusted) {
  DISKINFO_* rec = addrec("0");
  vlm::setPlatform(vlm::Platform{parts.reg, std::make_shared<LyingMounts>(), parts.volumes});
  diskmount();  // must neither read past the snapshot nor past an entry's texts
  EXPECT_EQ(rec->fs.f_blocks, 0u);
}

struct FreeCase {
  uint32_t bsize;
  uint64_t blocks, bfree;
  const char* text;
};

const FreeCase kFreeCases[] = {
    {4096, 1000000, 1000000, "4.096 Gig or 100.00% Free"},
    {4096, 1000000, 0, "0.000 Gig or 0.00% Free"},
    {512, 241172480, 60293120, "30.870 Gig or 25.00% Free"},
    {4096, 0, 0, "(not mounted)"},
    {0, 0, 0, "(not mounted)"},     // a record never mounted
    {4096, 1000000, 1000011, ""},   // 100.0011%: beyond the tolerance
    {4096, 1000000, 1000009, "4.096 Gig or 100.00% Free"},  // 100.0009%: held at 100
};

TEST(FreeSpace, Texts) {
  for (const FreeCase& c : kFreeCases) {
    DISKINFO_ rec{};
    rec.fs.f_bsize = c.bsize;
    rec.fs.f_blocks = c.blocks;
    rec.fs.f_bfree = c.bfree;
    char buf[128] = "junk";
    hfsinfo(buf, &rec);
    EXPECT_STREQ(buf, c.text) << c.bsize << " x " << c.blocks << ", free " << c.bfree;
  }
}

}  // namespace
