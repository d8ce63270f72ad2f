#include "perf/vlmperfutil/device.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "perf/testplan.h"
#include "perf/vlmperfutil/common.h"
#include "platform/devnames.h"

namespace vpu {

namespace {

std::string errText(const char* what, int err) { return std::string(what) + ": " + strerror(err); }

// --- a holder that no longer deserves the device -------------------------------

// The process holding a BSD lock on the file st describes, as /proc/locks
// lists it ("1: FLOCK  ADVISORY  WRITE 1234 00:06:321 0 EOF"); 0 when none.
pid_t lockHolder(const struct stat& st) {
  FILE* f = fopen("/proc/locks", "re");
  if (!f) return 0;
  pid_t found = 0;
  char line[256], kind[16];
  int pid;
  unsigned maj, min;
  unsigned long long ino;
  while (found == 0 && fgets(line, sizeof line, f)) {
    if (strstr(line, "->")) continue;  // a waiter
    if (sscanf(line, "%*u: %15s %*s %*s %d %x:%x:%llu", kind, &pid, &maj, &min, &ino) == 5 &&
        strcmp(kind, "FLOCK") == 0 && maj == major(st.st_dev) && min == minor(st.st_dev) && ino == st.st_ino)
      found = pid;
  }
  fclose(f);
  return found;
}

// At most cap bytes of a /proc file.
std::string procText(const std::string& path, size_t cap) {
  std::string s(cap, '\0');
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  ssize_t n = fd < 0 ? -1 : read(fd, s.data(), cap);
  if (fd >= 0) close(fd);
  s.resize(n > 0 ? size_t(n) : 0);
  return s;
}

// The program file's name, without a replaced file's " (deleted)".
std::string exeName(const std::string& link) {
  char buf[4096];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  std::string s(buf, n > 0 ? size_t(n) : 0);
  if (s.ends_with(" (deleted)")) s.resize(s.size() - 10);
  return s.substr(s.rfind('/') + 1);
}

// Why the lock's holder no longer keeps others out: stopped, or there past the
// longest possible run. Empty for an honest run, and for any process that is
// not a run of this utility (others' locks are left alone).
std::string staleWhy(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  if (exeName(dir + "/exe") != exeName("/proc/self/exe")) return "";
  const std::string st = procText(dir + "/stat", 1024);
  const size_t paren = st.rfind(')');
  if (paren == std::string::npos || paren + 2 >= st.size()) return "";
  const char state = st[paren + 2];
  if (state == 'T' || state == 't') return "while stopped";
  // Its start in clock ticks after boot, the 22nd field ("pid (comm) S" are 1 to 3).
  unsigned long long start = 0;
  const char* p = st.c_str() + paren + 2;
  for (int field = 3; field < 22 && p; ++field) p = strchr(p + 1, ' ');
  timespec boot{};
  const long hz = sysconf(_SC_CLK_TCK);
  if (!p || sscanf(p, " %llu", &start) != 1 || hz <= 0 || clock_gettime(CLOCK_BOOTTIME, &boot) != 0) return "";
  const int64_t ageMs = int64_t(boot.tv_sec) * 1000 + boot.tv_nsec / kMs - int64_t(start * 1000 / uint64_t(hz));
  if (ageMs <= vlm::testplan::kLongestRunMs) return "";
  return "for " + std::to_string(ageMs / 1000) + " s, past the longest possible run (" +
         std::to_string(vlm::testplan::kLongestRunMs / 1000) + " s)";
}

// Ends a stale holder of the lock (SIGKILL through a pidfd: a pid reused
// meanwhile is never hit) and says what it did; empty when the holder stays.
std::string endStaleHolder(const struct stat& st, const std::string& node) {
  const pid_t pid = lockHolder(st);
  if (pid <= 0) return "";
  const int pfd = int(syscall(SYS_pidfd_open, pid, 0));
  if (pfd < 0) return "";
  std::string why = staleWhy(pid);
  // Still the holder now that the pidfd pins the process.
  const bool ended = !why.empty() && lockHolder(st) == pid && syscall(SYS_pidfd_send_signal, pfd, SIGKILL, nullptr, 0) == 0;
  close(pfd);
  if (!ended) return "";
  return "Ended process " + std::to_string(pid) + ", which held " + node + " " + why;
}

}  // namespace

namespace {
std::atomic<int> gLockedFd{-1};  // the locked descriptor, for unlockDevice
}  // namespace

Device::~Device() {
  if (fd) unlockDevice();
}

void unlockDevice() {
  int fd = gLockedFd.exchange(-1);
  if (fd >= 0) flock(fd, LOCK_UN);
}

int openDevice(const std::string& name, Device& dev, std::string& why) {
  // The scan holds a few directories open at once; a tiny descriptor limit
  // would make every device look absent.
  rlimit nofile{};
  if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < 64) {
    nofile.rlim_cur = nofile.rlim_max < 64 ? nofile.rlim_max : 64;
    setrlimit(RLIMIT_NOFILE, &nofile);
  }
  if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < 16) {
    why = "too few file descriptors allowed (" + std::to_string(nofile.rlim_cur) +
          ") to scan the block devices";
    return kExitFailed;
  }
  std::vector<vlm::devnames::BlockDev> devs = vlm::devnames::scan();
  if (devs.empty()) {
    why = "can't scan the block devices in /sys/block";
    return kExitFailed;
  }
  const vlm::devnames::BlockDev* bd = vlm::devnames::findName(devs, name);
  if (!bd) {
    why = "no block device is called " + name;
    return kExitUsage;
  }
  if (bd->node.rfind("/dev/", 0) != 0 || bd->node.find("..") != std::string::npos) {
    why = "unexpected device node for " + name;
    return kExitUsage;
  }
  int fd = open(bd->node.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
  if (fd < 0) {
    why = errText(("can't open " + bd->node).c_str(), errno);
    return kExitFailed;
  }
  dev.fd = UniqueFd(fd);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != bd->devno) {
    why = bd->node + " is not the block device " + name + " names";
    return kExitUsage;
  }
  int fl = fcntl(fd, F_GETFL);
  if (fl < 0 || (fl & O_DIRECT) == 0) {
    why = bd->node + " can't be read directly (O_DIRECT refused)";
    return kExitFailed;
  }
  int lbs = 0;
  if (ioctl(fd, BLKSSZGET, &lbs) != 0 || lbs < 512 || lbs > 65536 || (lbs & (lbs - 1)) != 0) {
    why = errText(("can't read the logical block size of " + bd->node).c_str(), errno);
    return kExitFailed;
  }
  uint64_t size = 0;
  if (ioctl(fd, BLKGETSIZE64, &size) != 0) {
    why = errText(("can't read the size of " + bd->node).c_str(), errno);
    return kExitFailed;
  }
  // One measurement at a time per device: a second one would only measure
  // the two sharing the disk. One that has just ended may take a moment to
  // let go (see ~Device); one that was stopped, or outlived the longest run,
  // is ended, and has a few seconds to go.
  int locked = -1, lockErr = 0;
  std::string ended;
  for (int64_t until = nowNs() + kSec;;) {
    locked = flock(fd, LOCK_EX | LOCK_NB);
    lockErr = errno;
    if (locked == 0 || lockErr != EWOULDBLOCK || nowNs() >= until) break;
    if (ended.empty() && !(ended = endStaleHolder(st, bd->node)).empty()) until = nowNs() + 5 * kSec;
    timespec nap{0, 100 * kMs};
    nanosleep(&nap, nullptr);
  }
  if (locked == 0) gLockedFd.store(fd);
  if (locked != 0) {
    if (lockErr == EWOULDBLOCK) {
      why = "device is being measured: " + bd->node + (ended.empty() ? "" : " (" + ended + ", but it has not let go)");
      return kExitBusy;
    }
    why = errText(("can't lock " + bd->node).c_str(), lockErr);
    return kExitFailed;
  }
  if (!ended.empty()) say("%s; measuring it now.", ended.c_str());
  dev.kernel = bd->kernel;
  dev.node = bd->node;
  dev.size = size;
  dev.lbs = uint32_t(lbs);
  dev.syspath = bd->syspath;
  dev.disk = bd->whole ? bd->kernel : bd->parent;
  return kExitOk;
}

int checkIdentity(const Device& dev, const std::string& name, const std::string& ident,
                  std::string& why) {
  why = "the device changed since the list was read; refresh and try again";
  auto bd = vlm::devnames::byName(name);
  struct stat st;
  if (!bd || bd->ident != ident || fstat(dev.fd.get(), &st) != 0 || st.st_rdev != bd->devno)
    return kExitUsage;
#ifdef BLKGETDISKSEQ
  uint64_t seq = 0;
  if (bd->diskseq != 0 && ioctl(dev.fd.get(), BLKGETDISKSEQ, &seq) == 0 && seq != bd->diskseq)
    return kExitUsage;
#endif
  why.clear();
  return kExitOk;
}

bool answers(const std::string& name, int64_t ns) {
  std::vector<vlm::devnames::BlockDev> devs = vlm::devnames::scan();
  const vlm::devnames::BlockDev* bd = vlm::devnames::findName(devs, name);
  if (!bd || bd->node.rfind("/dev/", 0) != 0) return true;  // openDevice says why
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return true;
  pid_t child = fork();
  if (child < 0) {
    close(p[0]);
    close(p[1]);
    return true;  // no process to spare: the open itself will tell
  }
  if (child == 0) {
    // Nothing of the parent's but the pipe: standard output must not wait for us.
    for (int fd = 0; fd < 3; ++fd) close(fd);
    close(p[0]);
    int fd = open(bd->node.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    static char block[4096];
    if (fd >= 0) {
      ssize_t n;
      do n = pread(fd, block, sizeof block, 0);
      while (n < 0 && errno == EINTR);
    }
    char done = 1;
    ssize_t w = write(p[1], &done, 1);
    _exit(w == 1 ? 0 : 1);
  }
  close(p[1]);
  pollfd pfd{p[0], POLLIN, 0};
  const int64_t end = nowNs() + ns;
  int r = 0;
  for (int64_t left = ns; left > 0; left = end - nowNs()) {
    r = poll(&pfd, 1, int(left / kMs) + 1);
    if (r >= 0 || errno != EINTR) break;
  }
  close(p[0]);
  if (r > 0) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {}
    return true;
  }
  return false;  // left behind: it ends on its own once the device answers
}

bool probeRead(const Device& dev, std::string& why) {
  const size_t len = dev.lbs < 4096 ? 4096 : dev.lbs;
  std::unique_ptr<void, decltype(&free)> buf(aligned_alloc(4096, len), &free);
  if (!buf) {
    why = "out of memory";
    return false;
  }
  ssize_t n;
  do n = pread(dev.fd.get(), buf.get(), len, 0);
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    why = errText(("can't read " + dev.node).c_str(), errno);
    return false;
  }
  if (n == 0) {
    why = dev.node + " returned no data";
    return false;
  }
  return true;
}

bool dropPrivileges(std::string& why) {
  const uid_t ruid = getuid();
  const gid_t rgid = getgid();
  if (geteuid() == 0 && setgroups(0, nullptr) != 0) {
    why = errText("setgroups", errno);
    return false;
  }
  if (setresgid(rgid, rgid, rgid) != 0) {
    why = errText("setresgid", errno);
    return false;
  }
  if (setresuid(ruid, ruid, ruid) != 0) {
    why = errText("setresuid", errno);
    return false;
  }
  uid_t r, e, s;
  if (getresuid(&r, &e, &s) != 0 || r != ruid || e != ruid || s != ruid) {
    why = "user ids did not change";
    return false;
  }
  if (ruid != 0 && (setuid(0) == 0 || seteuid(0) == 0)) {
    why = "root could be regained after dropping it";
    return false;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    why = errText("PR_SET_NO_NEW_PRIVS", errno);
    return false;
  }
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);  // the open device stays out of reach of ptrace
  return true;
}

}  // namespace vpu
