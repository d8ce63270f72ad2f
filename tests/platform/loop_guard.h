// Real loop disks for the integration tests: an image file attached with
// partition scanning, detached by its destructor.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace vlm::testing {

// Runs argv without a shell; standard output into *out when given. The exit
// status, or -1 when the program could not be run.
inline int run(const std::vector<std::string>& argv, std::string* out = nullptr) {
  int pfd[2];
  if (::pipe2(pfd, O_CLOEXEC) != 0) return -1;
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, 0);
    ::dup2(out ? pfd[1] : devnull, 1);
    ::dup2(devnull, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(pfd[1]);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pfd[0], buf, sizeof buf)) > 0)
    if (out) out->append(buf, static_cast<size_t>(n));
  ::close(pfd[0]);
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0) {}
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// The first of the usual places that holds an executable tool, or "".
inline std::string tool(const std::string& name) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    std::string p = dir + name;
    if (::access(p.c_str(), X_OK) == 0) return p;
  }
  return std::string();
}

// One value as blkid reads it from the device now ("" when it has none).
inline std::string blkidValue(const std::string& tag, const std::string& node) {
  std::string out;
  run({tool("blkid"), "-p", "-s", tag, "-o", "value", node}, &out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// sfdisk's name of the type of node's partition on disk; "" when it has none.
inline std::string sfdiskType(const std::string& disk, const std::string& node) {
  std::string out;
  run({tool("sfdisk"), "-q", "-l", "-o", "Device,Type", disk}, &out);
  const size_t at = out.find("\n" + node + " ");  // under the heading line
  if (at == std::string::npos) return "";
  std::string t = out.substr(at + node.size() + 1, out.find('\n', at + 1) - at - node.size() - 1);
  t.erase(0, t.find_first_not_of(' '));
  t.erase(t.find_last_not_of(' ') + 1);
  return t == "unknown" ? "" : t;
}

// A mount that is undone when the guard goes.
class MountGuard {
 public:
  MountGuard(const std::string& dev, const std::string& dir, const char* fstype, unsigned long flags = 0)
      : dir_(dir) {
    ::mkdir(dir.c_str(), 0755);
    mounted_ = ::mount(dev.c_str(), dir.c_str(), fstype, flags, nullptr) == 0;
  }
  ~MountGuard() {
    if (mounted_ && ::umount2(dir_.c_str(), 0) != 0) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  MountGuard(const MountGuard&) = delete;
  MountGuard& operator=(const MountGuard&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

class TempDir {
 public:
  explicit TempDir(const std::string& in = "/tmp") {
    std::string tmpl = in + "/vlm-loop-XXXXXX";
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    if (path_.empty()) return;
    ::nftw(path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); },
           16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// An image file attached as /dev/loopN with partition scanning.
class LoopDisk {
 public:
  LoopDisk(const std::string& image, long long bytes) : image_(image) {
    int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    made_ = fd >= 0 && ::ftruncate(fd, bytes) == 0;
    if (fd >= 0) ::close(fd);
  }
  ~LoopDisk() { detach(); }
  LoopDisk(const LoopDisk&) = delete;
  LoopDisk& operator=(const LoopDisk&) = delete;

  bool made() const { return made_; }
  const std::string& image() const { return image_; }
  const std::string& node() const { return node_; }   // "/dev/loop3"
  std::string kernel() const { return node_.substr(5); }  // "loop3"
  std::string part(int n) const { return node_ + "p" + std::to_string(n); }

  // Attaches the image (read directly, not through the page cache, when
  // direct; read-only when readOnly) and waits (up to ~2 s) for nparts partitions in sysfs.
  bool attach(int nparts, bool direct = false, bool readOnly = false) {
    std::string out;
    std::vector<std::string> argv{tool("losetup"), "-f", "--show", "-P", image_};
    if (direct) argv.insert(argv.begin() + 1, "--direct-io=on");
    if (readOnly) argv.insert(argv.begin() + 1, "-r");
    if (run(argv, &out) != 0) return false;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    if (out.rfind("/dev/loop", 0) != 0) return false;
    node_ = out;
    if (nparts == 0) return true;
    for (int i = 0; i < 100; ++i) {
      if (partsVisible(nparts)) return true;
      if (i == 5) run({tool("partx"), "-a", node_});  // some kernels scan only on request
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return partsVisible(nparts);
  }

  void detach() {
    if (node_.empty()) return;
    for (int i = 0; i < 5 && run({tool("losetup"), "-d", node_}) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    node_.clear();
  }

 private:
  bool partsVisible(int nparts) const {
    std::string k = kernel();
    for (int p = 1; p <= nparts; ++p) {
      std::string sys = "/sys/block/" + k + "/" + k + "p" + std::to_string(p);
      struct stat st;
      if (::stat(sys.c_str(), &st) != 0 || ::stat(part(p).c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return false;
    }
    return true;
  }

  std::string image_, node_;
  bool made_ = false;
};

// Why the loop tests can't run here, or "" when they can.
inline std::string loopUnavailable() {
  if (::geteuid() != 0) return "needs root to attach loop devices";
  if (::access("/dev/loop-control", F_OK) != 0) return "no /dev/loop-control on this machine";
  for (const char* t : {"losetup", "partx", "sgdisk", "sfdisk", "blkid", "mkfs.ext4"})
    if (tool(t).empty()) return std::string("the tool ") + t + " is not installed";
  return std::string();
}

}  // namespace vlm::testing
