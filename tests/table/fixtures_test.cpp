// Golden replays: each recorded machine through the real scan, mounts, types,
// volume names and selection, checked row by row.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "../disk/records.h"
#include "table/poolcore.h"

namespace {

struct Row {
  const char* device;
  const char* name;
  const char* status;
  const char* info;
  const char* mount;
  int colour;
};

struct Machine {
  const char* fixture;
  std::vector<Row> rows;
};

const std::vector<Machine> kMachines = {
    {"laptop",
     {
         {"disk0", "*Samsung SSD 970 EVO Plus 1TB", "  Disk:GPT",
          "NVMe/Solid State/S4EWNX0R123456K/nvme0n1", "", 1},
         {"disk0s1", "   efi", "    Partition:EFI", "0.467 Gig or 87.12% Free", "/boot/efi", 5},
         {"disk0s2", "   *Macintosh HD", "    Partition:HFS+", "(not mounted)", "", 4},
         {"disk0s3", "   Root", "    Partition:?", "492.936 Gig or 66.80% Free", "/", 5},
     }},
    {"desktop",
     {
         {"disk0", "*WDC WD20EZRZ-00Z", "  Disk:GPT", "SATA/Rotational/WD-WCC4M1234567/sda", "", 1},
         {"disk0s1", "   home", "    Partition:?", "833.359 Gig or 44.44% Free", "/home", 5},
         {"disk0s2", "   *Linux swap", "    Partition:?", "(not mounted)", "", 5},
         {"disk1", "*Samsung SSD 860", "  Disk:FDISK", "SATA/Solid State/S3Z9NB0K123456X/sdb", "", 1},
         {"disk1s1", "   Root", "    Partition:?", "328.186 Gig or 69.08% Free", "/", 5},
         {"disk1s2", "   *sdb Partition 2", "    Partition:?", "(not mounted)", "", 5},
         {"disk2", "*DataTraveler 3.0", "  Disk:FDISK",
          "USB/Rotational/E0D55EA573F2E5A1C8A40B14/sdc", "", 1},
         {"disk2s1", "   KINGSTON", "    Partition:?", "24.612 Gig or 79.55% Free",
          "/media/anna/KINGSTON", 5},
     }},
    {"mirror",
     {
         {"disk0", "*ST1000DM010-2EP1", "  Mirror:GPT", "SATA/7200/Z9A1B2C3/sda", "", 2},
         {"disk0s1", "   *EFI System Partition", "    Partition:EFI", "(not mounted)", "", 5},
         {"disk0s2", "   *Velmora Mirror Data", "    Partition:HFS*", "(not mounted)", "", 3},
         {"disk1", "*ST1000DM010-2EP1", "  Mirror:GPT", "SATA/7200/Z9A1B2D4/sdb", "", 2},
         {"disk1s1", "   *EFI System Partition", "    Partition:EFI", "(not mounted)", "", 5},
         {"disk1s2", "   *Velmora Mirror Data", "    Partition:HFS*", "(not mounted)", "", 3},
         {"disk2", "*My Passport 0820", "  Disk:APS",
          "USB/Rotational/575837314141323437363938/sdc", "", 1},
         {"disk2s1", "   *Apple", "    Partition:APT", "(not mounted)", "", 5},
         {"disk2s2", "   *Macintosh", "    Partition:driver", "(not mounted)", "", 5},
         {"disk2s3", "   Backup", "    Partition:HFS", "250.043 Gig or 25.00% Free",
          "/media/anna/Backup", 5},
         {"disk3", "*WDC WDS500G2B0C-00PXH0", "  Disk:GPT",
          "NVMe/Solid State/2108A1801234/nvme0n1", "", 1},
         {"disk3s1", "   efi", "    Partition:EFI", "0.517 Gig or 96.57% Free", "/boot/efi", 5},
         {"disk3s2", "   Root", "    Partition:?", "404.543 Gig or 81.90% Free", "/", 5},
         {"disk4", "*Velmora Mirror", "  Disk:GPT", "Virtual//A0B8C0FFEE0001/md0", "", 1},
         {"disk4s1", "   Mirror", "    Partition:HFS+", "749.287 Gig or 75.00% Free",
          "/media/anna/Mirror", 4},
     }},
};

class Replay : public ::testing::TestWithParam<Machine> {};

TEST_P(Replay, EveryRow) {
  const Machine& m = GetParam();
  std::string base = std::string(VLM_FIXTURES) + "/" + m.fixture;
  vlmtest::ListGuard guard;
  vlm::setPlatform(vlm::fixturePlatform(base + ".registry.json", base + ".mounts.json"));
  vlm::PoolCore pool;
  std::lock_guard<std::recursive_mutex> lock(disklock);
  pool.Reload("", 0);
  ASSERT_EQ(pool.numberOfRows(), static_cast<int>(m.rows.size()));
  for (int r = 0; r < pool.numberOfRows(); ++r) {
    const Row& want = m.rows[static_cast<size_t>(r)];
    SCOPED_TRACE(std::string(m.fixture) + " row " + std::to_string(r) + " " + want.device);
    EXPECT_EQ(pool.objectValue("Seq", r).number, r + 1);
    EXPECT_EQ(pool.objectValue("Device", r).text, want.device);
    EXPECT_EQ(pool.objectValue("Name", r).text, want.name);
    EXPECT_EQ(pool.objectValue("Status", r).text, want.status);
    EXPECT_EQ(pool.objectValue("Info", r).text, want.info);
    EXPECT_EQ(pool.objectValue("Mount", r).text, want.mount);
    EXPECT_EQ(diskarray[r]->color, want.colour);
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Replay, ::testing::ValuesIn(kMachines),
                         [](const auto& info) { return std::string(info.param.fixture); });

}  // namespace
