// vlmperfinstall: puts the bundle's vlmperfutil in place as a set-user-ID root
// program. Started as root (through pkexec and its own polkit action, or by
// `cmake --install`); its one job:
//   1. the source: not a link, a regular file, the very utility built with
//      this program (its SHA-256 is fixed at build time);
//   2. the target directory: root's all the way up, so that no other user can
//      swap anything in it or above it (made when missing);
//   3. whatever is at the target already: nothing, this utility, or a file
//      of root's (another build's utility, replaced); a link or a file of
//      another user is refused and left alone;
//   4. a new file written from the bytes checked in 1, owner and mode set on
//      its descriptor, renamed into place.
// Usage: vlmperfinstall [--dir DIR] SOURCE. --dir is taken only from root
// itself, never through pkexec.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/vlmperfinstall/utility_sha256.h"

namespace {

constexpr const char* kName = "vlmperfutil";
constexpr size_t kMaxSize = 64u << 20;

[[noreturn]] void refuse(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void refuse(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::fputs("vlmperfinstall: ", stderr);
  std::vfprintf(stderr, fmt, ap);
  std::fputs("\n", stderr);
  va_end(ap);
  std::exit(1);
}

// Closes a descriptor on every way out.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

std::string hexsha256(const std::vector<unsigned char>& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1)
    refuse("can't compute a SHA-256");
  std::string hex;
  char b[3];
  for (unsigned i = 0; i < len; ++i) {
    std::snprintf(b, sizeof b, "%02x", md[i]);
    hex += b;
  }
  return hex;
}

// The whole content of an open regular file, at most kMaxSize bytes.
std::vector<unsigned char> slurp(int fd, const std::string& path) {
  std::vector<unsigned char> data;
  unsigned char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) refuse("can't read %s: %s", path.c_str(), std::strerror(errno));
    if (n == 0) return data;
    if (data.size() + size_t(n) > kMaxSize) refuse("%s is too large for the utility", path.c_str());
    data.insert(data.end(), buf, buf + n);
  }
}

// Step 1: the bytes of the utility built with this program, read from a
// regular file that is not a link.
std::vector<unsigned char> source(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) refuse("can't find %s: %s", path.c_str(), std::strerror(errno));
  if (S_ISLNK(st.st_mode)) refuse("%s is a symbolic link: refused", path.c_str());
  if (!S_ISREG(st.st_mode)) refuse("%s is not a regular file: refused", path.c_str());
  // The path is the user's: a directory on it may be swapped after the
  // lstat. An O_PATH handle opens no device; only a regular file is then
  // opened for reading, through that handle.
  Fd at(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (at.fd < 0) refuse("can't open %s: %s", path.c_str(), std::strerror(errno));
  if (fstat(at.fd, &st) != 0 || !S_ISREG(st.st_mode))
    refuse("%s is not a regular file: refused", path.c_str());
  Fd fd(open(("/proc/self/fd/" + std::to_string(at.fd)).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.fd < 0) refuse("can't open %s: %s", path.c_str(), std::strerror(errno));
  struct stat same;
  if (fstat(fd.fd, &same) != 0 || same.st_dev != st.st_dev || same.st_ino != st.st_ino)
    refuse("%s changed while it was examined: refused", path.c_str());
  std::vector<unsigned char> data = slurp(fd.fd, path);
  if (hexsha256(data) != VLM_UTILITY_SHA256)
    refuse("%s is not the utility built with this program: refused", path.c_str());
  return data;
}

// Step 2: opens dir component by component without following links; each
// must be root's and writable by nobody else (a sticky directory such as /tmp
// may be shared: others can't replace what root has in it). Missing ones are
// made, 0755.
int trusteddir(const std::string& dir) {
  if (dir.empty() || dir[0] != '/') refuse("the directory must be an absolute path: %s", dir.c_str());
  int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string sofar;
  size_t i = 0;
  for (;;) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) refuse("can't open %s/: %s", sofar.c_str(), std::strerror(errno));
    const bool last = dir.find_first_not_of('/', i) == std::string::npos;
    if (st.st_uid != 0) refuse("%s/ belongs to user %u, not root: refused", sofar.c_str(), unsigned(st.st_uid));
    if ((st.st_mode & 022) && (last || !(st.st_mode & S_ISVTX)))
      refuse("%s/ is writable by other users: refused", sofar.c_str());
    if (last) return fd;
    i = dir.find_first_not_of('/', i);
    size_t j = dir.find('/', i);
    std::string part = dir.substr(i, j == std::string::npos ? std::string::npos : j - i);
    i = j == std::string::npos ? dir.size() : j;
    if (part == "." || part == "..") refuse("the directory must not hold . or ..: %s", dir.c_str());
    sofar += "/" + part;
    if (mkdirat(fd, part.c_str(), 0755) != 0 && errno != EEXIST)
      refuse("can't make %s: %s", sofar.c_str(), std::strerror(errno));
    int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = next;
  }
}

// Step 3: true when this utility is in place already (root, 4711). A regular
// file of root's with other bytes is another build's utility: only root can
// have put it into this directory, and an upgrade replaces it. Anything
// else is refused.
bool inplace(int dfd, const std::string& path, const std::vector<unsigned char>& ours) {
  struct stat st;
  if (fstatat(dfd, kName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return false;
    refuse("can't examine %s: %s", path.c_str(), std::strerror(errno));
  }
  if (S_ISLNK(st.st_mode)) refuse("%s is a symbolic link: refused, nothing changed", path.c_str());
  if (!S_ISREG(st.st_mode)) refuse("%s is not a regular file: refused, nothing changed", path.c_str());
  if (st.st_uid != 0)
    refuse("%s belongs to user %u, not root: refused, nothing changed", path.c_str(), unsigned(st.st_uid));
  Fd fd(openat(dfd, kName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.fd < 0) refuse("can't open %s: %s", path.c_str(), std::strerror(errno));
  // What was examined is what was opened: the same regular file of root's.
  struct stat at;
  if (fstat(fd.fd, &at) != 0 || at.st_dev != st.st_dev || at.st_ino != st.st_ino || !S_ISREG(at.st_mode) ||
      at.st_uid != 0)
    refuse("%s changed while it was examined: refused, nothing changed", path.c_str());
  if (slurp(fd.fd, path) != ours) {
    std::printf("%s is another build's utility: replacing it\n", path.c_str());
    return false;
  }
  return (at.st_mode & 07777) == 04711;
}

// Step 4. Each step's status is checked; a failed one is named and the new
// file removed.
void install(int dfd, const std::string& path, const std::vector<unsigned char>& data) {
  const char* tmp = ".vlmperfutil.new";
  unlinkat(dfd, tmp, 0);  // a leftover of an interrupted run: only root can have made it
  int fd = openat(dfd, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
  if (fd < 0) refuse("can't create %s.new: %s", path.c_str(), std::strerror(errno));
  auto fail = [&](const char* step) {
    int e = errno;
    close(fd);
    unlinkat(dfd, tmp, 0);
    refuse("%s failed on %s: %s", step, path.c_str(), std::strerror(e));
  };
  for (size_t done = 0; done < data.size();) {
    ssize_t w = write(fd, data.data() + done, data.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) fail("write");
    done += size_t(w);
  }
  if (fsync(fd) != 0) fail("fsync");
  if (fchown(fd, 0, 0) != 0) fail("chown");  // before chmod: a change of owner clears set-user-ID
  if (fchmod(fd, 04711) != 0) fail("chmod");
  if (close(fd) != 0) {
    fd = -1;
    fail("close");
  }
  fd = -1;
  if (renameat(dfd, tmp, dfd, kName) != 0) fail("rename");
  fsync(dfd);
}

}  // namespace

int main(int argc, char** argv) {
  umask(022);
  std::string dir = VLM_UTILITY_DIR, src;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc && getuid() == 0 && !std::getenv("PKEXEC_UID")) {
      dir = argv[++i];
    } else if (src.empty() && !a.empty() && a[0] != '-') {
      src = a;
    } else {
      std::fputs("usage: vlmperfinstall SOURCE\n", stderr);
      return 2;
    }
  }
  if (src.empty()) {
    std::fputs("usage: vlmperfinstall SOURCE\n", stderr);
    return 2;
  }
  if (geteuid() != 0) refuse("must run as root");

  const std::vector<unsigned char> data = source(src);
  Fd dfd(trusteddir(dir));
  const std::string path = (dir.back() == '/' ? dir : dir + "/") + kName;
  if (inplace(dfd.fd, path, data)) {
    std::printf("%s is in place (root, 4711)\n", path.c_str());
    return 0;
  }
  install(dfd.fd, path, data);
  std::printf("%s installed (root, 4711)\n", path.c_str());
  return 0;
}
