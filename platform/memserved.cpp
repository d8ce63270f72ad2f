#include "platform/memserved.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

#include "platform/sysfsread.h"

namespace vlm::memserved {

namespace {

using sysfs::UniqueFd;
using sysfs::baseName;
using sysfs::numbered;
using sysfs::parentOf;

constexpr int kMaxStack = 8;
const char* const kMemory = "; the figures measure memory, not a disk";

std::string nodeOf(const std::string& kernel) {
  std::string n = "/dev/" + kernel;
  std::replace(n.begin(), n.end(), '!', '/');
  return n;
}

std::string mib(unsigned long long bytes) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f MiB", double(bytes) / (1024.0 * 1024.0));
  return b;
}

class Walk {
 public:
  Walk(int rootfd, std::string top) : rootfd_(rootfd), top_(std::move(top)) {}

  // dir: the canonical sysfs directory of a whole disk, relative to the root.
  void disk(const std::string& dir, int depth) {
    const std::string kernel = baseName(dir);
    if (depth > kMaxStack || !seen_.insert(dir).second) return;
    if (numbered(kernel, "zram")) warn(kernel, depth, "is a compressed RAM disk (zram)");
    else if (numbered(kernel, "ram")) warn(kernel, depth, "is a RAM disk (brd)");
    else if (auto file = sysfs::readText(rootfd_, dir + "/loop/backing_file", 4096)) loop(dir, *file, depth);
    for (const auto& e : sysfs::listDir(rootfd_, dir + "/slaves"))
      if (auto lower = wholeDisk(dir + "/slaves", e)) disk(*lower, depth + 1);
  }

  std::vector<std::string> lines;

 private:
  // The whole disk of the entry e of dir, which links to a disk or a partition.
  std::optional<std::string> wholeDisk(const std::string& dir, const std::string& e) {
    auto l = sysfs::readLink(rootfd_, dir + "/" + e);
    auto target = l ? sysfs::joinRelative(dir, *l) : std::nullopt;
    if (target && sysfs::readText(rootfd_, *target + "/partition", 64)) target = parentOf(*target);
    return target;
  }

  void warn(const std::string& kernel, int depth, const std::string& what) {
    const std::string who = depth == 0 ? top_ : top_ + " lies on " + nodeOf(kernel) + ", which";
    lines.push_back("Warning: " + who + " " + what + kMemory);
  }

  void loop(const std::string& dir, std::string file, int depth) {
    const std::string kernel = baseName(dir);
    const std::string deleted = " (deleted)";
    if (file.size() > deleted.size() && file.compare(file.size() - deleted.size(), deleted.size(), deleted) == 0)
      file.resize(file.size() - deleted.size());
    const bool cached = sysfs::readText(rootfd_, dir + "/loop/dio", 16).value_or("") == "0";
    struct statfs sf {};
    struct stat st {};
    if (file.empty() || file[0] != '/' || ::statfs(file.c_str(), &sf) != 0 || ::stat(file.c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode)) {
      if (cached) warn(kernel, depth, "reads its file through the page cache");
      lines.push_back("Note: the file behind " + nodeOf(kernel) +
                      " can't be examined by this user; whether it lies in memory or is mostly sparse is not known");
      return;
    }
    if (sf.f_type == TMPFS_MAGIC || sf.f_type == RAMFS_MAGIC)
      warn(kernel, depth, std::string("reads its file from memory (") + (sf.f_type == TMPFS_MAGIC ? "tmpfs" : "ramfs") + ")");
    else if (cached)
      warn(kernel, depth, "reads its file through the page cache");
    const unsigned long long stored = (unsigned long long)st.st_blocks * 512;
    if (st.st_size > 0 && stored * 2 < (unsigned long long)st.st_size)
      lines.push_back("Warning: the file behind " + nodeOf(kernel) + " is mostly sparse (" + mib(stored) + " of " +
                      mib((unsigned long long)st.st_size) + " stored): its holes read as zeros without touching a disk");
    // The file's own file system may lie on such a device too.
    if (major(st.st_dev) == 0) return;
    const std::string devdir = "dev/block";
    const std::string e = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    if (auto lower = wholeDisk(devdir, e)) disk(*lower, depth + 1);
  }

  int rootfd_;
  std::string top_;
  std::set<std::string> seen_;
};

}  // namespace

std::vector<std::string> findings(const std::string& sysroot, const std::string& kernel, const std::string& node) {
  UniqueFd root = sysfs::openDir(AT_FDCWD, sysroot.empty() ? "/" : sysroot);
  if (!root || kernel.empty() || kernel.find('/') != std::string::npos) return {};
  auto l = sysfs::readLink(root.get(), "block/" + kernel);
  auto dir = l ? sysfs::joinRelative("block", *l) : std::nullopt;
  if (!dir) return {};
  Walk w(root.get(), node);
  w.disk(*dir, 0);
  return w.lines;
}

}  // namespace vlm::memserved
