// The kernel's device events (uevents) for block devices, read from a netlink
// socket: needs no udev daemon and no privileges.
#pragma once

#include <cstddef>

#include "platform/sysfsread.h"

namespace vlm {

class BlockEvents {
 public:
  // Opens and binds the socket; on failure valid() is false and nothing is watched.
  BlockEvents();
  bool valid() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  // Reads every message waiting (never blocks). True when one of them was a
  // block device event, or when the kernel dropped messages for want of room.
  bool drain();

 private:
  sysfs::UniqueFd fd_;
};

// True when the message (ACTION@DEVPATH, then KEY=VALUE fields, each ended by
// a NUL) is the kernel's event of a block device.
bool isBlockEvent(const char* msg, size_t len);

}  // namespace vlm
