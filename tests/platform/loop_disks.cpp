// The live scan on a real loop disk: a GPT disk with an EFI, an HFS+-typed and
// a mounted ext4 partition (the other kinds: zoo_disks.cpp). Root only;
// everything made is detached and unmounted by guards, also when a check fails.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "util/alerts.h"
#include "disk/disk.h"
#include "platform/linux.h"
#include "platform/platform.h"
#include "table/poolcore.h"
#include "tests/platform/loop_guard.h"

using namespace vlm;
using namespace vlm::testing;

namespace {

constexpr long long kMiB = 1024 * 1024;

#define SKIP_UNLESS_LOOP()                                   \
  do {                                                       \
    std::string why = loopUnavailable();                     \
    if (!why.empty()) GTEST_SKIP() << "loop disks: " << why; \
  } while (0)

// The rows of one loop disk after a full reload: the whole disk, then its
// partitions in row order.
struct Rows {
  DISKINFO_* whole = nullptr;
  std::vector<DISKINFO_*> parts;
};

Rows rowsOf(const std::string& kernel) {
  Rows r;
  for (int i = 0; i < ndiskarray; ++i)
    if (diskarray[i]->whole && kernel == diskarray[i]->devloc) r.whole = diskarray[i];
  for (int i = 0; r.whole && i < ndiskarray; ++i)
    if (diskarray[i]->parent == r.whole && diskarray[i] != r.whole) r.parts.push_back(diskarray[i]);
  return r;
}

// A GPT image: EFI 32 MiB, HFS+ type 64 MiB, Linux "Data" for the rest.
bool makeGpt(const std::string& image) {
  return run({tool("sgdisk"), "-n1:0:+32M", "-t1:EF00", "-c1:EFI System", "-n2:0:+64M", "-t2:AF00",
              "-n3:0:0", "-t3:8300", "-c3:Data", image}) == 0;
}

// One GPT loop disk with its ext4 "Data" partition mounted.
struct GptMachine {
  TempDir dir;
  LoopDisk disk{dir.path() + "/gpt.img", 256 * kMiB};
  std::string mountDir = dir.path() + "/Data volume";
  std::unique_ptr<MountGuard> mount;
  std::string problem;

  GptMachine() {
    if (!disk.made() || !makeGpt(disk.image())) { problem = "can't make the GPT image"; return; }
    if (!disk.attach(3)) { problem = "the loop device or its partitions did not appear"; return; }
    if (run({tool("mkfs.ext4"), "-q", "-F", "-L", "Data", disk.part(3)}) != 0) { problem = "mkfs.ext4 failed"; return; }
    mount = std::make_unique<MountGuard>(disk.part(3), mountDir, "ext4");
    if (!mount->mounted()) problem = "can't mount the ext4 partition";
  }
};

// The live machine reloaded into a table, read under the lock; the list is emptied afterwards.
struct LiveTable {
  ScopedRecordingSeam seam;
  PoolCore core;
  std::lock_guard<std::recursive_mutex> lock{disklock};
  LiveTable() {
    setPlatform(linuxPlatform());
    core.Reload("", 0);
  }
  ~LiveTable() { diskzap(); }
};

std::string program() { return std::string(VLM_BUNDLE_DIR) + "/Contents/MacOS/VLM-Performance"; }

// The listing without the time stamp; free-space figures of other disks
// (the busy root file system) are masked.
std::string comparable(const std::string& listing, const std::string& keep) {
  std::istringstream in(listing);
  std::string line, out;
  static const std::regex freeText("[0-9]+\\.[0-9]+ Gig or [0-9]+\\.[0-9]+% Free");
  while (std::getline(in, line)) {
    if (line.rfind("Refreshed: ", 0) == 0) continue;
    if (line.find(keep) == std::string::npos) line = std::regex_replace(line, freeText, "# Gig or #% Free");
    out += line + "\n";
  }
  return out;
}

}  // namespace

TEST(LoopDisks, GptDiskKindsTypesColoursMountAndDump) {
  SKIP_UNLESS_LOOP();
  GptMachine m;
  if (!m.problem.empty()) GTEST_SKIP() << "loop disks: " << m.problem;
  LiveTable t;
  Rows r = rowsOf(m.disk.kernel());
  ASSERT_NE(r.whole, nullptr) << "no row for " << m.disk.kernel();
  ASSERT_EQ(r.parts.size(), 3u);

  EXPECT_EQ(std::string(r.whole->kind) + ":" + r.whole->type, "Disk:GPT");
  EXPECT_EQ(r.whole->size, 256 * kMiB);
  EXPECT_EQ(r.whole->open, 1);  // a partition is mounted
  std::string seq;
  std::getline(std::ifstream("/sys/block/" + m.disk.kernel() + "/diskseq"), seq);
  EXPECT_TRUE(seq.empty() || r.whole->devid == "diskseq-" + seq) << r.whole->devid;  // no serial number

  struct Want { const char* type; long long size; int color; const char* name; };
  const Want want[] = {{"EFI", 32 * kMiB, 5, "EFI System"}, {"HFS+", 64 * kMiB, 4, ""}, {"Linux", 0, 5, "Data"}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i + 1);
    DISKINFO_* p = r.parts[i];
    EXPECT_STREQ(p->type, want[i].type);
    EXPECT_EQ(p->color, want[i].color);
    EXPECT_TRUE(!want[i].size || p->size == want[i].size) << p->size;
    EXPECT_TRUE(!*want[i].name || std::string(p->name) == want[i].name) << p->name;
    EXPECT_EQ(std::strlen(p->uuid), 36u);
    EXPECT_EQ("/dev/" + std::string(p->devloc), m.disk.part(int(i) + 1));  // its own node: loop0p2
  }
  EXPECT_STREQ(r.parts[2]->content, "0FC63DAF-8483-4772-8E79-3D69D8477DE4");

  DISKINFO_* data = r.parts[2];
  EXPECT_STREQ(data->fs.f_fstypename, "ext4");
  EXPECT_STREQ(data->finder, "Data");
  EXPECT_EQ(r.parts[0]->finder[0], '\0');  // not mounted
  const int row = int(std::find(diskarray, diskarray + ndiskarray, data) - diskarray);
  EXPECT_EQ(t.core.objectValue("Mount", row).text, m.mountDir);  // its free space: against df in the zoo
  EXPECT_NE(t.core.objectValue("Info", row).text.find("% Free"), std::string::npos);
  EXPECT_TRUE(t.seam.seam.alerts.empty());

  // The program's dump of this machine replays as the same listing.
  if (::access(program().c_str(), X_OK) != 0) GTEST_SKIP() << "the program is not built: " << program();
  std::string reg = m.dir.path() + "/live.registry.json", mnt = m.dir.path() + "/live.mounts.json";
  std::string live, replay;
  // Other loop disks may come and go between the runs: a few tries.
  for (int attempt = 0; attempt < 3; ++attempt) {
    live.clear();
    replay.clear();
    ASSERT_EQ(run({program(), "--dump-registry", reg, "--dump-mounts", mnt}), 0);
    ASSERT_EQ(run({program(), "--list"}, &live), 0);
    ASSERT_EQ(run({program(), "--registry", reg, "--mounts", mnt, "--list"}, &replay), 0);
    if (comparable(live, m.disk.kernel()) == comparable(replay, m.disk.kernel())) break;
  }
  EXPECT_EQ(comparable(live, m.disk.kernel()), comparable(replay, m.disk.kernel()));
  EXPECT_NE(live.find(m.mountDir), std::string::npos);
  EXPECT_EQ(run({program(), "--dump-registry", m.dir.path() + "/no/such/dir/r.json"}), 1);
}
