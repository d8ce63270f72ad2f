// The table's data: rebuild, volume names, selection and every cell.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "../disk/records.h"
#include "util/alerts.h"
#include "perf/store.h"
#include "table/poolcore.h"

using vlm::CellValue;
using vlm::PoolCore;

namespace {

// A desktop with one GPT disk (EFI and a mounted HFS+ partition) and a
// whole disk mounted as HFS without partitions.
struct PoolFixture : ::testing::Test {
  vlmtest::ListGuard guard;
  vlmtest::PlatformParts parts;
  vlmtest::RegBuilder rb;
  PoolCore pool;
  std::unique_lock<std::recursive_mutex> lock{disklock, std::defer_lock};

  void SetUp() override {
    parts.reg = rb.reg;
    auto& ctl = rb.node(rb.reg->rootNode(), "IOAHCIBlockStorageDriver", "SATA Controller");
    auto& d0 = rb.media(ctl, "disk0", "Example Disk Media", true, 1000000000, "GUID_partition_scheme");
    rb.media(d0, "disk0s1", "EFI System Partition", false, 209715200,
             "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
    rb.media(d0, "disk0s2", "Data", false, 4096000000, "48465300-0000-11AA-AA11-00306543ECAC");
    rb.media(ctl, "disk1", "Whole Disk", true, 2048000, "");
    parts.mounts->add("/dev/disk0s2", "/Volumes/Data", "hfsplus", 4096, 1000000, 250000);
    parts.mounts->add("/dev/disk1", "/Volumes/Whole", "hfsplus", 512, 4000, 4000);
    parts.volumes->volumes = {{"/Volumes/Data", true, "Data"}, {"/", true, "Root"}};
    parts.install();
  }

  std::string cell(const char* id, int row) { return pool.objectValue(id, row).str(); }
  void reload() {
    pool.Reload("", 0);
    lock.lock();  // readers hold the lock, as the window and the listing do
  }
};

// The saved machines' goldens show every other form of these texts: here a
// whole disk that holds HFS shows its free space, a partition without its
// disk is not indented, and there are no rows before a reload.
TEST_F(PoolFixture, TextsTheGoldensDoNotShow) {
  EXPECT_EQ(pool.numberOfRows(), 0);
  reload();
  ASSERT_EQ(pool.numberOfRows(), 4);
  EXPECT_EQ(cell("Status", 3), "  Disk:HFS");
  EXPECT_EQ(cell("Info", 3), "0.002 Gig or 100.00% Free");
  diskarray[1]->parent = nullptr;
  EXPECT_EQ(cell("Status", 1), "  Partition:EFI");
}

TEST_F(PoolFixture, ResultsEmptyBelowOne) {
  ASSERT_EQ(perfcapture("disk0s2", "Sequential: 1\nRandom: 0\nDual: -4\nThreaded: 88\n"), 0);
  reload();
  CellValue seq = pool.objectValue("Sequential", 2);
  EXPECT_EQ(std::make_pair(seq.kind, seq.number), std::make_pair(CellValue::Kind::Int64, 1LL));
  EXPECT_EQ(pool.objectValue("Random", 2).kind, CellValue::Kind::Text);
  EXPECT_EQ(cell("Random", 2) + "|" + cell("Dual Seq", 2) + "|" + cell("Threaded", 2), "||88");
  EXPECT_EQ(cell("Sequential", 0), "");
}

// Rows outside the list and unknown columns, whatever asks for them.
TEST_F(PoolFixture, OutsideRowsAndUnknownColumns) {
  reload();
  EXPECT_EQ(cell("Name", -1) + cell("Sequential", pool.numberOfRows()) + cell("Foo", 0), "??Foo");
}

// A partition selected: whole disks only; a whole disk: everything; a
// selected device that is gone is fatal.
TEST_F(PoolFixture, SelectedDeviceKeepsWholeDisksOnly) {
  DISKINFO_* rec = pool.Reload("DISK0s2", 0);
  lock.lock();
  ASSERT_NE(rec, nullptr);
  EXPECT_STREQ(rec->bsdname, "0s2");
  ASSERT_EQ(pool.numberOfRows(), 2);
  EXPECT_EQ(cell("Device", 0) + " " + cell("Device", 1), "disk0 disk1");
  EXPECT_EQ(disksort_ptr, nullptr);
  EXPECT_EQ(disksort_size, 0u);
  lock.unlock();
  rec = pool.Reload("disk1", 2);  // same set: everything
  EXPECT_STREQ(rec->bsdname, "1");
  EXPECT_EQ(pool.numberOfRows(), 4);
  EXPECT_EQ(vlmtest::fatalOf([&] { pool.Reload("disk0S2", 0); }),  // the unit part is case-sensitive
            "pool:Reload: can't re-locate selected Mirror?");
}

TEST_F(PoolFixture, VolumeNamesThatAreNotAsciiOrTooLong) {
  std::string longpath = "/" + std::string(249, 'p');  // 250 characters
  parts.mounts->add("/dev/disk0s1", longpath, "msdos", 512, 100, 50);
  parts.volumes->volumes = {{"/Volumes/Data", true, "Donn\x80" "es"},
                            {longpath, true, "EFI"},
                            {"/Volumes/Whole", false, ""}};
  reload();
  EXPECT_EQ(cell("Name", 2), "   *Error");
  EXPECT_EQ(cell("Name", 1), "   *EFI System Partition");  // its path can't match
  EXPECT_EQ(cell("Name", 3), "*Error");
}

TEST_F(PoolFixture, UnmountedVolumeLosesItsName) {
  reload();
  EXPECT_EQ(cell("Name", 2), "   Data");
  lock.unlock();
  parts.mounts->entries.erase(parts.mounts->entries.begin());
  parts.volumes->volumes.erase(parts.volumes->volumes.begin());
  reload();
  EXPECT_EQ(cell("Name", 2), "   *Data");
  EXPECT_EQ(cell("Info", 2), "(not mounted)");
}

// A test's worker saves figures and reloads while the user-interface thread
// reads every cell; readers hold disklock, so no read meets a rebuild.
TEST_F(PoolFixture, ReloadOnAWorkerWhileTheTableReads) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    PoolCore other;
    for (int i = 1; i <= 30; ++i) {
      std::string text = "Sequential: " + std::to_string(i) + "\nRandom: 1\nDual: 1\nThreaded: 1\n";
      perfcapture("disk0s1", text.c_str());
      other.Reload("", 0);
    }
    done = true;
  });
  int seen = 0;
  while (!done || seen == 0) {
    std::lock_guard<std::recursive_mutex> g(disklock);
    for (int r = 0; r < pool.numberOfRows(); ++r)
      for (const char* id : vlm::kColumnIds) seen += !pool.objectValue(id, r).str().empty();
  }
  worker.join();
  reload();
  EXPECT_EQ(cell("Sequential", 1), "30");
}

TEST(PoolSelection, InputsAreClearedWhenTheSelectionIsFatal) {
  vlmtest::ListGuard guard;
  vlmtest::PlatformParts parts;
  vlmtest::RegBuilder rb;
  parts.reg = rb.reg;
  rb.media(rb.reg->rootNode(), "disk5s1", "Loose", false, 4096, "Linux_data");
  parts.install();
  PoolCore pool;
  EXPECT_EQ(vlmtest::fatalOf([&] { pool.Reload("disk5s1", 0); }), "disksort: No disks selected?");
  EXPECT_EQ(disksort_ptr, nullptr);
  EXPECT_EQ(disksort_size, 0u);
}

}  // namespace
