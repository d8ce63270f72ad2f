// Times the live scan over a generated sysfs tree: 256 disks of 8 partitions
// on 16 SATA controllers (SCSI host, target and device directories each).
//   sysfs_bench [disks [partitions [rounds]]]
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/devnames.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "table/poolcore.h"
#include "tests/platform/fake_sysfs.h"

namespace {

std::string diskName(int i) {
  std::string n;
  for (int k = i; ; k = k / 26 - 1) {
    n.insert(n.begin(), static_cast<char>('a' + k % 26));
    if (k < 26) break;
  }
  return "sd" + n;
}

void generate(vlm::testing::FakeSysfs& fs, int disks, int parts) {
  for (int i = 0; i < disks; ++i) {
    int ctl = i / 16, port = i % 16;
    std::string pci = "devices/pci0000:00/0000:00:" + std::to_string(10 + ctl) + ".0";
    if (port == 0) fs.device(pci, "pci");
    std::string host = pci + "/ata" + std::to_string(i + 1) + "/host" + std::to_string(i);
    std::string target = host + "/target" + std::to_string(i) + ":0:0";
    std::string dev = target + "/" + std::to_string(i) + ":0:0:0";
    fs.device(host, "scsi");
    fs.device(target, "scsi");
    fs.device(dev, "scsi");
    fs.write(dev + "/model", "Bench Disk " + std::to_string(i) + "\n");
    // sd majors: 16 minors per disk, 15 partitions at most.
    unsigned major = i < 16 ? 8 : 65 + (i - 16) / 16, minor = static_cast<unsigned>(i % 16) * 16;
    std::string name = diskName(i);
    std::string d = fs.disk(name, std::to_string(major) + ":" + std::to_string(minor), 1ull << 31, dev, true,
                            i % 2 == 1);
    for (int p = 1; p <= parts; ++p)
      fs.part(d, name + std::to_string(p), p, std::to_string(major) + ":" + std::to_string(minor + p),
              1ull << 20, "Part " + std::to_string(p));
  }
}

size_t countNodes(const vlm::RegEntry* e) {
  std::vector<const vlm::RegEntry*> kids;
  e->children("IOService", kids);
  size_t n = 1;
  for (const auto* k : kids) n += countNodes(k);
  return n;
}

double ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  int disks = argc > 1 ? std::atoi(argv[1]) : 256;
  int parts = argc > 2 ? std::atoi(argv[2]) : 8;
  int rounds = argc > 3 ? std::atoi(argv[3]) : 10;
  if (disks < 1 || disks > 4096 || parts < 0 || parts > 15 || rounds < 1 || rounds > 1000) {
    std::fprintf(stderr, "usage: sysfs_bench [disks 1-4096 [partitions 0-15 [rounds 1-1000 [COPY]]]]\n");
    return 2;
  }
  struct stat st;
  vlm::testing::FakeSysfs fs(::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp");
  auto g0 = std::chrono::steady_clock::now();
  generate(fs, disks, parts);

  std::printf("generated in %.0f ms under %s\n", ms(std::chrono::steady_clock::now() - g0), fs.root().c_str());
  // A copy that stays, for timing whole programs over it (--sysroot COPY).
  if (argc > 4 && std::system(("cp -a '" + fs.root() + "' '" + argv[4] + "'").c_str()) != 0)
    std::fprintf(stderr, "can't keep a copy in %s\n", argv[4]);
  std::vector<double> scanT, regT, listT;
  size_t devs = 0, nodes = 0;
  vlm::Platform p = vlm::linuxPlatform(fs.root());
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    devs = vlm::devnames::scan(fs.root()).size();
    auto t1 = std::chrono::steady_clock::now();
    const vlm::RegEntry* root = p.registry->root();
    auto t2 = std::chrono::steady_clock::now();
    nodes = countNodes(root);
    scanT.push_back(ms(t1 - t0));
    regT.push_back(ms(t2 - t1));
  }
  // The whole listing: rebuild, volume names, selection, and every cell's text.
  vlm::setPlatform(p);
  vlm::PoolCore pool;
  size_t cells = 0;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    pool.Reload("", 0);
    std::lock_guard<std::recursive_mutex> lock(disklock);
    for (int row = 0; row < pool.numberOfRows(); ++row)
      for (const char* id : vlm::kColumnIds) cells += pool.objectValue(id, row).str().size();
    listT.push_back(ms(std::chrono::steady_clock::now() - t0));
  }
  auto report = [](const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%-24s min %8.2f ms  median %8.2f ms  max %8.2f ms\n", what, v.front(), v[v.size() / 2], v.back());
  };
  std::printf("tree: %d disks x %d partitions = %zu devices, %zu registry nodes, %d rounds\n", disks, parts,
              devs, nodes, rounds);
  report("devnames::scan", scanT);
  report("registry->root()", regT);
  report("listing (all rows)", listT);
  std::printf("(%d rows, %zu characters of cell text)\n", pool.numberOfRows(), cells / rounds);
  return 0;
}
