// The platform the inventory reads: the live Linux machine, or a replayed
// machine from fixture files. Set once at start-up, before the first rebuild.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/mounts.h"
#include "platform/registry.h"

namespace vlm {

struct Platform {
  std::shared_ptr<Registry> registry;   // root() takes a fresh snapshot on each call
  std::shared_ptr<MountTable> mounts;
  std::shared_ptr<VolumeList> volumes;
};

void setPlatform(Platform p);  // all members null: back to the live machine
Platform& platform();  // the live machine unless setPlatform was called

// The live machine. sysroot replaces "/sys" (tests, benchmarks); udevDir
// replaces udev's database directory (by default "/run/udev/data" where a udev
// daemon keeps it and sysroot is "/sys", else none).
Platform linuxPlatform(const std::string& sysroot = "/sys", const std::string& udevDir = "");

// A fixture file that can't be read or parsed; what() names the file and the problem.
struct FixtureError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Fixture files: NAME.registry.json and NAME.mounts.json (mounts carry volume names).
std::shared_ptr<MemRegistry> loadRegistryFixture(const std::string& file);
void loadMountsFixture(const std::string& file, MemMountTable& mounts, MemVolumeList& volumes);
Platform fixturePlatform(const std::string& registryFile, const std::string& mountsFile);
// Saves the platform's registry and mounts in the fixture format.
void dumpRegistry(const Registry& reg, const std::string& file);
void dumpMounts(MountTable& mounts, VolumeList& volumes, const std::string& file);

}  // namespace vlm
