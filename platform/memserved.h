// Block devices whose reads memory serves: a loop device that reads its file
// through the page cache (loop/dio 0) or from a file in tmpfs or ramfs, zram
// and brd RAM disks, and device-mapper or md stacks on any of those; and loop
// devices whose file is mostly holes. Part of the device-name library,
// shared with the utility, which runs it as the real user.
#pragma once

#include <string>
#include <vector>

namespace vlm::memserved {

// The warnings for the whole disk with this kernel name ("loop1", "dm-0"),
// shown as node ("/dev/loop1p2" for a partition of it), one line each:
// "Warning: /dev/loop1 reads its file through the page cache; the figures
// measure memory, not a disk". Where a loop device's file can't be examined
// by this user, a line beginning "Note: " says so. Empty when nothing was found.
std::vector<std::string> findings(const std::string& sysroot, const std::string& kernel,
                                  const std::string& node);

}  // namespace vlm::memserved
