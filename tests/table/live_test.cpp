// The live machine: a real loop disk with a GPT and a mounted ext4 partition
// shows up in the table with its mount point and free space.
#include <gtest/gtest.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "../disk/records.h"
#include "table/poolcore.h"

namespace {

// Output of a shell command, trailing newline removed; empty on failure.
std::string run(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  int rc = pclose(p);
  if (status) *status = rc;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// A 48 MiB image with one GPT partition holding ext4, attached and mounted;
// undone in reverse when the test ends.
struct LoopDisk {
  std::string image, loop, dir;
  bool mounted = false;
  std::string why;

  bool make() {
    if (geteuid() != 0) return fail("needs root");
    char tmpl[] = "/tmp/vlm-list-XXXXXX";
    if (!mkdtemp(tmpl)) return fail("mkdtemp");
    dir = tmpl;
    image = dir + ".img";
    int rc = 0;
    run("truncate -s 48M " + image + " && sgdisk -n 1:2048:0 -t 1:8300 " + image, &rc);
    if (rc) return fail("truncate/sgdisk failed");
    loop = run("losetup -f -P --show " + image, &rc);
    if (rc || loop.empty()) return fail("losetup -P failed (no loop devices?)");
    std::string part = loop + "p1";
    run("partx -a " + loop + " 2>/dev/null; test -b " + part, &rc);
    if (rc) return fail("no partition node " + part);
    run("mkfs.ext4 -q -F " + part + " && mount " + part + " " + dir, &rc);
    if (rc) return fail("mkfs.ext4/mount failed");
    mounted = true;
    return true;
  }
  bool fail(const std::string& w) {
    why = w;
    return false;
  }
  ~LoopDisk() {
    if (mounted) run("umount " + dir);
    if (!loop.empty()) run("losetup -d " + loop);
    if (!image.empty()) std::remove(image.c_str());
    if (!dir.empty()) rmdir(dir.c_str());
  }
};

TEST(Live, MountedLoopPartitionIsListed) {
  LoopDisk disk;
  if (!disk.make()) GTEST_SKIP() << "loop disk: " << disk.why;
  vlmtest::ListGuard guard;
  vlm::setPlatform(vlm::linuxPlatform("/sys"));
  vlm::PoolCore pool;
  std::lock_guard<std::recursive_mutex> lock(disklock);
  pool.Reload("", 0);
  int row = -1;
  for (int r = 0; r < pool.numberOfRows(); ++r)
    if (pool.objectValue("Mount", r).text == disk.dir) row = r;
  ASSERT_GE(row, 0) << "no row mounted at " << disk.dir;
  EXPECT_EQ(pool.objectValue("Status", row).text, "    Partition:?");
  const DISKINFO_* rec = diskarray[row];
  ASSERT_NE(rec->parent, nullptr);
  EXPECT_STREQ(rec->parent->type, "GPT");
  EXPECT_STREQ(rec->parent->devloc, disk.loop.substr(5).c_str());  // "loopN"
  EXPECT_EQ(pool.objectValue("Device", row).text, std::string("disk") + rec->parent->bsdname + "s1");

  struct statfs st {};
  ASSERT_EQ(statfs(disk.dir.c_str(), &st), 0);
  char want[128];
  uint64_t total = static_cast<uint64_t>(st.f_bsize) * st.f_blocks;
  uint64_t freeb = static_cast<uint64_t>(st.f_bsize) * st.f_bfree;
  std::snprintf(want, sizeof want, "%4.3f Gig or %3.2f%% Free", freeb / 1e9,
                freeb * 100.0 / total);
  EXPECT_EQ(pool.objectValue("Info", row).text, want);
  pool.Reload("", 0);  // rebuilding again gives the same rows
  EXPECT_EQ(pool.objectValue("Mount", row).text, disk.dir);
}

}  // namespace
