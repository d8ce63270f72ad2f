// inventory_bench: how fast the disk list is rebuilt and assembled.
//
//   inventory_bench [--rounds N] [--disks D] [--fixtures DIR]
//
// A generated machine of D disks with 7 partitions each (4096 media objects
// at the default 512), under controllers and drives that carry the
// identification properties, with one mounted volume per disk; then the
// replayed fixtures. Each round is one reload as the table does it: rebuild
// (registry scan, mounts, types), volume names, selection A.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "disk/disk.h"
#include "platform/platform.h"
#include "table/poolcore.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kParts = 7;

vlm::Platform generated(int disks) {
  auto reg = std::make_shared<vlm::MemRegistry>();
  auto mounts = std::make_shared<vlm::MemMountTable>();
  auto vols = std::make_shared<vlm::MemVolumeList>();
  using vlm::RegValue;
  for (int d = 0; d < disks; ++d) {
    auto& ctl = reg->add(reg->rootNode(), "IOAHCIBlockStorageDriver", "Controller " + std::to_string(d));
    ctl.set("Physical Interconnect", RegValue::Str(d % 2 ? "SATA" : "NVMe"));
    ctl.set("Protocol Characteristics",
            RegValue::Dict({{"Physical Interconnect Location", RegValue::Str("Internal")}}));
    auto& drv = reg->add(ctl, "IOBlockStorageDevice", "Drive " + std::to_string(d));
    drv.set("Rotation Rate", RegValue::Str(d % 3 ? "Solid State" : "7200"));
    drv.set("Serial Number", RegValue::Str("SN" + std::to_string(100000 + d)));
    drv.set("Device Characteristics",
            RegValue::Dict({{"Product Name", RegValue::Str("Bench Disk")}}));
    drv.set("io-device-location", RegValue::Str("sd" + std::to_string(d)));
    std::string bsd = "disk" + std::to_string(d);
    auto& whole = reg->add(drv, "IOMedia", "Bench Disk Media");
    whole.set("BSD Name", RegValue::Str(bsd));
    whole.set("Whole", RegValue::Bool(true));
    whole.set("Size", RegValue::Num(512LL << 30));
    whole.set("Content", RegValue::Str("GUID_partition_scheme"));
    whole.set("Writable", RegValue::Bool(true));
    for (int p = 1; p <= kParts; ++p) {
      auto& part = reg->add(whole, "IOMedia", "Partition " + std::to_string(p));
      part.set("BSD Name", RegValue::Str(bsd + "s" + std::to_string(p)));
      part.set("Whole", RegValue::Bool(false));
      part.set("Size", RegValue::Num(64LL << 30));
      part.set("Content", RegValue::Str(p == 1 ? "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"
                                               : "48465300-0000-11AA-AA11-00306543ECAC"));
      part.set("Partition ID", RegValue::Num(p));
      part.set("Leaf", RegValue::Bool(true));
    }
    std::string on = "/media/bench" + std::to_string(d);
    mounts->add("/dev/" + bsd + "s2", on, "hfsplus", 4096, 16777216, 4194304);
    vols->volumes.push_back({on, true, "Bench " + std::to_string(d)});
  }
  mounts->add("proc", "/proc", "proc", 4096, 0, 0);
  mounts->add("tmpfs", "/run", "tmpfs", 4096, 1000, 900);
  return vlm::Platform{reg, mounts, vols};
}

// Seconds per reload, over rounds reloads; rows is the number of rows shown.
double timeReloads(int rounds, int& rows) {
  vlm::PoolCore pool;
  std::lock_guard<std::recursive_mutex> guard(disklock);
  pool.Reload("", 0);  // warm up
  auto t0 = Clock::now();
  for (int i = 0; i < rounds; ++i) pool.Reload("", 0);
  auto t1 = Clock::now();
  rows = pool.numberOfRows();
  return std::chrono::duration<double>(t1 - t0).count() / rounds;
}

// Milliseconds per round of each step of one reload, on the generated machine.
void phases(int rounds) {
  vlm::PoolCore pool;
  std::lock_guard<std::recursive_mutex> guard(disklock);
  double scan = 0, mount = 0, types = 0, names = 0, select = 0;
  auto ms = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
  };
  for (int i = 0; i < rounds; ++i) {
    auto t0 = Clock::now();
    diskzap();
    reginfo();
    auto t1 = Clock::now();
    diskmount();
    auto t2 = Clock::now();
    disktypes();
    auto t3 = Clock::now();
    pool.FinderNames();
    auto t4 = Clock::now();
    diskinfo('A');
    auto t5 = Clock::now();
    scan += ms(t0, t1);
    mount += ms(t1, t2);
    types += ms(t2, t3);
    names += ms(t3, t4);
    select += ms(t4, t5);
  }
  std::printf("  per step (ms): scan %.3f, mounts %.3f, types %.3f, volume names %.3f, "
              "selection A %.3f\n",
              scan / rounds, mount / rounds, types / rounds, names / rounds, select / rounds);
}

std::string defaultFixtures() {
  std::filesystem::path src(__FILE__);
  return (src.parent_path().parent_path() / "tests" / "fixtures").string();
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 50, disks = 512;
  std::string fixtures = defaultFixtures();
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--disks")) disks = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--fixtures")) fixtures = argv[i + 1];
  }
  if (rounds < 1 || disks < 1) {
    std::fputs("usage: inventory_bench [--rounds N] [--disks D] [--fixtures DIR]\n", stderr);
    return 2;
  }

  vlm::setPlatform(generated(disks));
  int rows = 0;
  double s = timeReloads(rounds, rows);
  std::printf("generated: %d media objects, %d rows, %d rounds: %.3f ms per reload, %.0f records/s\n",
              disks * (kParts + 1), rows, rounds, s * 1e3, rows / s);
  phases(rounds);

  for (const char* name : {"laptop", "desktop", "mirror"}) {
    std::string reg = fixtures + "/" + name + ".registry.json";
    std::string mnt = fixtures + "/" + name + ".mounts.json";
    try {
      vlm::setPlatform(vlm::fixturePlatform(reg, mnt));
    } catch (const std::exception& e) {
      std::printf("%s: not replayed (%s)\n", name, e.what());
      continue;
    }
    double f = timeReloads(rounds * 20, rows);
    std::printf("%s: %d rows, %d rounds: %.1f us per reload\n", name, rows, rounds * 20, f * 1e6);
  }
  return 0;
}
