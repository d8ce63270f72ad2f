// Bounded reads of sysfs and proc files relative to a directory descriptor.
// Part of the device-name library (libc and libstdc++ only), shared with the
// registry and mount readers.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vlm::sysfs {

// Move-only owner of a file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { int f = fd_; fd_ = -1; return f; }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Opens a directory relative to dirfd (AT_FDCWD for absolute paths).
UniqueFd openDir(int dirfd, const std::string& path);

// The whole content of a regular file, read once with a cap of `cap` bytes:
// empty when missing, not a regular file, longer than cap or holding a NUL.
// One trailing newline is stripped.
std::optional<std::string> readText(int dirfd, const std::string& path, size_t cap = 4096);
// The same without the text checks: raw bytes, at most cap.
std::optional<std::string> readBytes(int dirfd, const std::string& path, size_t cap = 4096);

// Strict numbers: the whole text, decimal, no sign, no blanks.
std::optional<uint64_t> parseU64(const std::string& s);
std::optional<uint64_t> readU64(int dirfd, const std::string& path);
// "MAJ:MIN" as a device number.
std::optional<dev_t> parseDevno(const std::string& s);

// Names of the entries of a directory (without "." and ".."), sorted.
std::vector<std::string> listDir(int dirfd, const std::string& path = ".");

// The target of a symbolic link, bounded; empty when it is none.
std::optional<std::string> readLink(int dirfd, const std::string& path);

// The last component of a path, and the path without it ("" when it has one component).
inline std::string baseName(const std::string& p) {
  auto s = p.rfind('/');
  return s == std::string::npos ? p : p.substr(s + 1);
}
inline std::string parentOf(const std::string& p) {
  auto s = p.rfind('/');
  return s == std::string::npos ? std::string() : p.substr(0, s);
}

// True when name is prefix followed by one or more digits ("ata1", "zram0").
inline bool numbered(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  for (size_t i = prefix.size(); i < name.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

// Runs fn(0) .. fn(n - 1), on up to `threads` threads (the caller's among
// them) when n is large enough to be worth them; the order of the calls is
// not known. fn must not throw.
void parallelFor(size_t n, unsigned threads, const std::function<void(size_t)>& fn);
// Threads worth giving to reading many devices' attributes: the processors, at most 4.
unsigned readingThreads();

// The raw serial number of a SCSI disk's VPD page 0x80 (device/vpd_pg80 in
// the disk's directory); empty when it has none.
std::string vpdSerial(int dirfd);

// Resolves a link target found in directory `base` (relative to the root, e.g.
// "block") lexically: "../devices/x" in "block" gives "devices/x". Empty when
// the target is absolute or climbs above the root.
std::optional<std::string> joinRelative(const std::string& base, const std::string& target);

}  // namespace vlm::sysfs
