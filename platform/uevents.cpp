#include "platform/uevents.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace vlm {

BlockEvents::BlockEvents() {
  int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return;
  sysfs::UniqueFd owner(fd);
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = 1;  // the kernel's own broadcasts, not udev's
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return;
  int room = 1 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  fd_ = std::move(owner);
}

bool BlockEvents::drain() {
  bool any = false;
  alignas(8) char buf[8192];
  for (;;) {
    sockaddr_nl from{};
    socklen_t fromlen = sizeof from;
    ssize_t n = ::recvfrom(fd_.get(), buf, sizeof buf, MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&from), &fromlen);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ENOBUFS) {  // messages lost: anything may have changed
      any = true;
      continue;
    }
    if (n < 0) return any;
    if (from.nl_pid != 0) continue;  // only the kernel speaks here
    size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf;
    if (isBlockEvent(buf, len)) any = true;
  }
}

bool isBlockEvent(const char* msg, size_t len) {
  std::string_view all(msg, len);
  size_t first = all.find('\0');
  if (first == std::string_view::npos || all.substr(0, first).find('@') == std::string_view::npos)
    return false;
  for (size_t i = first + 1; i < all.size();) {
    size_t end = all.find('\0', i);
    if (end == std::string_view::npos) end = all.size();
    if (all.substr(i, end - i) == "SUBSYSTEM=block") return true;
    i = end + 1;
  }
  return false;
}

}  // namespace vlm
