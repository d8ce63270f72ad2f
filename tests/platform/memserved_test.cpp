// Devices that memory serves, on generated sysfs trees whose loop devices name
// real backing files (on disk, sparse, in /dev/shm).
#include <gtest/gtest.h>
#include <sys/statfs.h>
#include <linux/magic.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/memserved.h"
#include "tests/platform/fake_sysfs.h"
#include "tests/platform/loop_guard.h"

using vlm::testing::FakeSysfs;

namespace {

// A file of size bytes, written through (full) or only truncated (sparse); its path, "" on failure.
std::string file(const vlm::testing::TempDir& dir, const char* name, long size, bool full) {
  const std::string path = dir.path() + "/" + name;
  if (dir.path().empty() || !(std::ofstream(path) << std::string(full ? size : 0, 'x'))) return std::string();
  return ::truncate(path.c_str(), size) == 0 ? path : std::string();
}

bool onDisk(const std::string& dir) {
  struct statfs sf {};
  return ::statfs(dir.c_str(), &sf) == 0 && sf.f_type != TMPFS_MAGIC && sf.f_type != RAMFS_MAGIC;
}

std::string loop(FakeSysfs& fs, const std::string& name, const std::string& file, bool dio) {
  std::string d = fs.disk(name, "7:" + name.substr(4), 2048, "devices/virtual");
  fs.write(d + "/loop/backing_file", file + "\n");
  fs.write(d + "/loop/dio", dio ? "1\n" : "0\n");
  return d;
}

const std::string kMem = "; the figures measure memory, not a disk";

}  // namespace

TEST(MemServed, NamesWhatMemoryServes) {
  if (!onDisk("/var/tmp")) GTEST_SKIP() << "/var/tmp is in memory here";
  const vlm::testing::TempDir disk("/var/tmp"), mem("/dev/shm");
  const std::string written = file(disk, "written", 1 << 20, true), sparse = file(disk, "sparse", 64 << 20, false);
  const std::string shm = file(mem, "shm", 1 << 20, true);
  ASSERT_FALSE(written.empty() || sparse.empty());
  struct Case {
    const char* what;
    std::function<std::string(FakeSysfs&)> build;  // returns the kernel name tested
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"loop device reading a disk file directly",
       [&](FakeSysfs& fs) { loop(fs, "loop0", written, true); return "loop0"; }, {}},
      {"loop device without direct I/O",
       [&](FakeSysfs& fs) { loop(fs, "loop1", written, false); return "loop1"; },
       {"Warning: /dev/loop1 reads its file through the page cache" + kMem}},
      {"loop device over tmpfs",
       [&](FakeSysfs& fs) { loop(fs, "loop2", shm, true); return "loop2"; },
       {"Warning: /dev/loop2 reads its file from memory (tmpfs)" + kMem}},
      {"mostly sparse file",
       [&](FakeSysfs& fs) { loop(fs, "loop3", sparse, true); return "loop3"; },
       {"Warning: the file behind /dev/loop3 is mostly sparse (0.0 MiB of 64.0 MiB stored): its holes read"
        " as zeros without touching a disk"}},
      {"file gone",
       [&](FakeSysfs& fs) { loop(fs, "loop4", "/nonexistent/x.img (deleted)", true); return "loop4"; },
       {"Note: the file behind /dev/loop4 can't be examined by this user; whether it lies in memory or is"
        " mostly sparse is not known"}},
      {"zram", [](FakeSysfs& fs) { fs.disk("zram0", "252:0", 2048, "devices/virtual"); return "zram0"; },
       {"Warning: /dev/zram0 is a compressed RAM disk (zram)" + kMem}},
      {"brd", [](FakeSysfs& fs) { fs.disk("ram0", "1:0", 2048, "devices/virtual"); return "ram0"; },
       {"Warning: /dev/ram0 is a RAM disk (brd)" + kMem}},
      {"device-mapper on a partition of a cached loop device and on a clean one",
       [&](FakeSysfs& fs) {
         std::string l5 = loop(fs, "loop5", written, false);
         std::string p = fs.part(l5, "loop5p1", 1, "259:5", 1024);
         loop(fs, "loop6", written, true);
         std::string dm = fs.disk("dm-0", "253:0", 2048, "devices/virtual");
         fs.link(dm + "/slaves/loop5p1", "../../../../../" + p);
         fs.link(dm + "/slaves/loop6", "../../loop6");
         return "dm-0";
       },
       {"Warning: /dev/dm-0 lies on /dev/loop5, which reads its file through the page cache" + kMem}},
      {"md on md on zram",
       [](FakeSysfs& fs) {
         fs.disk("zram1", "252:1", 2048, "devices/virtual");
         std::string md1 = fs.disk("md1", "9:1", 2048, "devices/virtual");
         fs.link(md1 + "/slaves/zram1", "../../zram1");
         std::string md0 = fs.disk("md0", "9:0", 2048, "devices/virtual");
         fs.link(md0 + "/slaves/md1", "../../md1");
         return "md0";
       },
       {"Warning: /dev/md0 lies on /dev/zram1, which is a compressed RAM disk (zram)" + kMem}},
      {"a stack that loops back on itself ends",
       [](FakeSysfs& fs) {
         std::string a = fs.disk("dm-1", "253:1", 2048, "devices/virtual");
         std::string b = fs.disk("dm-2", "253:2", 2048, "devices/virtual");
         fs.link(a + "/slaves/dm-2", "../../dm-2");
         fs.link(b + "/slaves/dm-1", "../../dm-1");
         return "dm-1";
       },
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSysfs fs;
    const std::string k = c.build(fs);
    EXPECT_EQ(vlm::memserved::findings(fs.root(), k, "/dev/" + k), c.want);
  }
}
