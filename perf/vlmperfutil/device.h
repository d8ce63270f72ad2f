// The device under test: opened by name, checked, and the privileges dropped.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sysfsread.h"

namespace vpu {

using UniqueFd = vlm::sysfs::UniqueFd;

struct Device {
  Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  // Unlocks the device at once: registered with io_uring, the open file
  // outlives the descriptor until the kernel has torn the rings down.
  ~Device();

  UniqueFd fd;          // O_RDONLY | O_DIRECT, locked exclusively
  std::string kernel;   // "loop3"
  std::string node;     // "/dev/loop3"
  uint64_t size = 0;    // bytes, BLKGETSIZE64
  uint32_t lbs = 512;   // logical block size, BLKSSZGET
  std::string syspath;  // its sysfs directory
  std::string disk;     // kernel name of its whole disk ("loop3" for loop3p1)
};

// Resolves the name, opens the node read-only and direct, and checks that it
// is the block device the name maps to. Returns an exit code (kExitOk, or
// kExitUsage / kExitFailed with the reason in why).
int openDevice(const std::string& name, Device& dev, std::string& why);

// Lets go of the device's lock; async-signal-safe.
void unlockDevice();

// Before anything is read: the device opened is still the one the list knew
// as name with identity ident (same identity now, same device number, same
// disk sequence number as the open descriptor). kExitOk, or kExitUsage with
// the reason in why.
int checkIdentity(const Device& dev, const std::string& name, const std::string& ident,
                  std::string& why);

// The device named name answers: a process of its own opens it and reads its
// first block within ns. False when it did not; that process is left behind
// (a read stuck in the kernel can't be called back and would keep this
// process from ending). Called before openDevice, as root.
bool answers(const std::string& name, int64_t ns);

// One aligned read at offset 0: proves the device is readable with O_DIRECT.
bool probeRead(const Device& dev, std::string& why);

// Supplementary groups, then group, then user to the real ids; checks that
// root can't be regained; no new privileges, not dumpable.
bool dropPrivileges(std::string& why);

}  // namespace vpu
