// The size rule, the scratch file and the texts of sizes and rates.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "perf/vlmperfutil/stats.h"
#include "perf/vlmperfwrite/write.h"

namespace vpw {

std::optional<Space> spaceOf(int fd) {
  struct statvfs v {};
  if (fstatvfs(fd, &v) != 0) return std::nullopt;
  const uint64_t unit = v.f_frsize ? v.f_frsize : v.f_bsize;
  return Space{uint64_t(v.f_blocks) * unit, uint64_t(v.f_bavail) * unit};
}

uint64_t keepFree(uint64_t total) { return total / 10 > kMinKeep ? total / 10 : kMinKeep; }

uint64_t largestFile(const Space& s) {
  const uint64_t keep = keepFree(s.total);
  if (s.free <= keep) return 0;
  const uint64_t half = s.free / 2, room = s.free - keep;
  return half < room ? half : room;
}

std::string refusal(const Space& s, uint64_t want) {
  const uint64_t most = largestFile(s);
  if (want <= most && want >= kMinFile) return "";
  char b[512];
  if (want < kMinFile && want <= most)
    snprintf(b, sizeof b, "a test file of %s is too small to measure (at least %s)", sizeText(want).c_str(),
             sizeText(kMinFile).c_str());
  else
    snprintf(b, sizeof b,
             "the volume is too full for a test file of %s: %s free of %s, at least %s must stay free"
             " (10%% of it, and never less than %s), so a test may take at most %s",
             sizeText(want).c_str(), sizeText(s.free).c_str(), sizeText(s.total).c_str(),
             sizeText(keepFree(s.total)).c_str(), sizeText(kMinKeep).c_str(), sizeText(most).c_str());
  return b;
}

std::string groupThousands(uint64_t n) {
  std::string d = std::to_string(n), out;
  for (size_t i = 0; i < d.size(); ++i) {
    if (i > 0 && (d.size() - i) % 3 == 0) out += ',';
    out += d[i];
  }
  return out;
}

std::string sizeText(uint64_t bytes) {
  char b[48];
  if (bytes >= 1000000000ull)
    snprintf(b, sizeof b, "%.1f GB", double(bytes) / 1e9);
  else
    snprintf(b, sizeof b, "%s MB", groupThousands((bytes + 500000) / 1000000).c_str());
  return b;
}

std::string rateText(double bytesPerSec) {
  return groupThousands(uint64_t(bytesPerSec / 1e6 + 0.5)) + " MB/s";
}

std::optional<uint64_t> parseSize(const std::string& s) {
  if (s.empty() || s.size() > 20) return std::nullopt;
  uint64_t v = 0;
  size_t i = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (v > (UINT64_MAX - 9) / 10) return std::nullopt;
    v = v * 10 + uint64_t(s[i] - '0');
  }
  if (i == 0) return std::nullopt;
  int shift = 0;
  if (i < s.size()) {
    const char* const units = "KMGT";
    const char* u = strchr(units, s[i] & ~0x20);
    if (!u || s[i] == '\0' || i + 1 != s.size()) return std::nullopt;
    shift = 10 * int(u - units + 1);
  }
  if (shift && v > (UINT64_MAX >> shift)) return std::nullopt;
  return v << shift;
}

std::string folderRefusal(const std::string& folder, dev_t* dev) {
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) return folder + ": " + strerror(errno);
  if (dev) *dev = st.st_dev;
  if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))
    return folder + " is a device: the write test never writes a device, only a file in a folder of a mounted volume";
  if (!S_ISDIR(st.st_mode)) return folder + " is not a folder";
  struct statvfs vfs {};
  if (statvfs(folder.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY))
    return folder + " is on a read-only mount: nothing can be written there";
  if (access(folder.c_str(), W_OK | X_OK) != 0) return "you can't write in " + folder + " (" + strerror(errno) + ")";
  return "";
}

bool openScratch(const std::string& dir, Scratch& out, std::string& why) {
  const char* force = getenv("VLM_WRITE_NO_TMPFILE");
  const bool tmpfile = !(force && strcmp(force, "1") == 0);
  int fd = tmpfile ? open(dir.c_str(), O_TMPFILE | O_EXCL | O_RDWR | O_DIRECT | O_CLOEXEC, 0600) : -1;
  if (fd >= 0) {
    out = {fd, false, "unnamed (O_TMPFILE)"};
    return true;
  }
  if (tmpfile && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    why = "can't create a file in " + dir + ": " + strerror(errno);
    return false;
  }
  // No O_TMPFILE here: a hidden name no one else picks, gone as soon as it is open.
  vpu::Rng rng(vpu::freshSeed(getpid()));
  for (int tries = 0; tries < 16; ++tries) {
    char name[64];
    snprintf(name, sizeof name, "/.vlmperfwrite-%016llx", (unsigned long long)rng.next());
    const std::string path = dir + name;
    fd = open(path.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR | O_DIRECT | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) break;
    if (unlink(path.c_str()) != 0) {
      why = "can't remove the test file " + path + " right after creating it: " + strerror(errno);
      close(fd);
      return false;
    }
    out = {fd, true, "hidden name, removed right after it was opened (no O_TMPFILE here)"};
    return true;
  }
  why = "can't create a file in " + dir + ": " + strerror(errno);
  return false;
}

}  // namespace vpw
