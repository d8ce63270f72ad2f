// A generated sysfs tree in a temporary directory: <root>/block/<name> links
// into <root>/devices/..., with the attributes the scan reads. Used by the
// platform tests and the sysfs benchmark.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "tests/platform/loop_guard.h"

namespace vlm::testing {

class FakeSysfs {
 public:
  // base: where the tree is made ("/dev/shm" keeps a large one in memory, as sysfs is).
  explicit FakeSysfs(const std::string& base = "/tmp") : dir_(base) {
    if (dir_.path().empty()) throw std::runtime_error("mkdtemp failed in " + base);
    mkdirs("block");
    mkdirs("devices/virtual");
  }

  const std::string& root() const { return dir_.path(); }

  void mkdirs(const std::string& rel) {
    std::string p = root();
    size_t i = 0;
    while (i <= rel.size()) {
      size_t j = rel.find('/', i);
      if (j == std::string::npos) j = rel.size();
      p += "/" + rel.substr(i, j - i);
      ::mkdir(p.c_str(), 0755);
      i = j + 1;
    }
  }
  void write(const std::string& rel, const std::string& content) {
    auto s = rel.rfind('/');
    if (s != std::string::npos) mkdirs(rel.substr(0, s));
    std::ofstream(root() + "/" + rel, std::ios::binary | std::ios::trunc) << content;
  }
  void link(const std::string& rel, const std::string& target) {
    auto s = rel.rfind('/');
    if (s != std::string::npos) mkdirs(rel.substr(0, s));
    ::unlink((root() + "/" + rel).c_str());
    if (::symlink(target.c_str(), (root() + "/" + rel).c_str()) != 0) throw std::runtime_error("symlink");
  }
  // A device directory with its subsystem link (the target's base name counts).
  void device(const std::string& rel, const std::string& subsystem) {
    mkdirs(rel);
    if (!subsystem.empty()) link(rel + "/subsystem", "/sys/bus/" + subsystem);
  }

  // A whole disk below devdir ("devices/virtual" for virtual ones); inBlockDir
  // puts it in devdir/block/<name> as most drivers do (NVMe does not).
  // Returns the disk's directory relative to the root.
  std::string disk(const std::string& name, const std::string& devno, unsigned long long sectors,
                   const std::string& devdir, bool inBlockDir = true, bool rotational = false) {
    std::string dir = devdir + (inBlockDir ? "/block/" : "/") + name;
    mkdirs(dir + "/holders");
    mkdirs(dir + "/slaves");
    write(dir + "/dev", devno + "\n");
    write(dir + "/size", std::to_string(sectors) + "\n");
    write(dir + "/ro", "0\n");
    write(dir + "/removable", "0\n");
    write(dir + "/queue/rotational", rotational ? "1\n" : "0\n");
    write(dir + "/queue/logical_block_size", "512\n");
    write(dir + "/uevent", "MAJOR=0\nDEVNAME=" + name + "\nDEVTYPE=disk\n");
    if (devdir != "devices/virtual") link(dir + "/device", inBlockDir ? "../.." : "..");
    link("block/" + name, "../" + dir);
    return dir;
  }
  // A partition directory inside a disk's directory.
  std::string part(const std::string& diskDir, const std::string& name, int partno,
                   const std::string& devno, unsigned long long sectors, const std::string& partname = "") {
    std::string dir = diskDir + "/" + name;
    mkdirs(dir + "/holders");
    write(dir + "/dev", devno + "\n");
    write(dir + "/size", std::to_string(sectors) + "\n");
    write(dir + "/partition", std::to_string(partno) + "\n");
    write(dir + "/ro", "0\n");
    const size_t colon = devno.find(':');
    std::string ue = "MAJOR=" + devno.substr(0, colon) + "\nMINOR=" + devno.substr(colon + 1) + "\nDEVNAME=" + name +
                     "\nDEVTYPE=partition\nPARTN=" + std::to_string(partno) + "\n";
    if (!partname.empty()) ue += "PARTNAME=" + partname + "\n";
    write(dir + "/uevent", ue);
    return dir;
  }

 private:
  TempDir dir_;
};

}  // namespace vlm::testing
