// Text from outside, and what the udev database and libblkid tell about a device.
//
// A device whose reads stall (a dead disk, a loop device over a file system
// that stopped answering) must never hold up the list: udev's database is a
// file read, and a libblkid probe runs on a thread of its own, waited for
// within a deadline. A read stuck in the kernel can't be cancelled, so a probe
// that misses its deadline is left behind and its device is remembered as not
// answering until the probe ends or the device changes.
#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <thread>

#include "platform/linux.h"
#include "platform/sysfsread.h"

namespace vlm::live {

using sysfs::UniqueFd;

namespace {

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
size_t utf8Len(const std::string& s, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  size_t n;
  unsigned min;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) { n = 2; min = 0x80; }
  else if (c >= 0xE0 && c <= 0xEF) { n = 3; min = 0x800; }
  else if (c >= 0xF0 && c <= 0xF4) { n = 4; min = 0x10000; }
  else return 0;
  if (i + n > s.size()) return 0;
  unsigned cp = c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string cleanText(const std::string& raw, size_t max) {
  std::string out;
  out.reserve(std::min(raw.size(), max));
  bool blank = false;
  for (size_t i = 0; i < raw.size();) {
    size_t n = utf8Len(raw, i);
    unsigned char c = static_cast<unsigned char>(raw[i]);
    if (n == 1 && (c < 0x20 || c == 0x7F || c == ' ')) {
      blank = true;
      ++i;
      continue;
    }
    std::string piece = n ? raw.substr(i, n) : std::string("?");
    i += n ? n : 1;
    size_t need = piece.size() + ((blank && !out.empty()) ? 1 : 0);
    if (out.size() + need > max) break;
    if (blank && !out.empty()) out += ' ';
    blank = false;
    out += piece;
  }
  return out;
}

std::string decodeUdev(const std::string& enc) {
  std::string out;
  for (size_t i = 0; i < enc.size(); ++i) {
    if (enc[i] == '\\' && i + 3 < enc.size() && enc[i + 1] == 'x') {
      int h = hexval(enc[i + 2]), l = hexval(enc[i + 3]);
      if (h >= 0 && l >= 0) {
        out += static_cast<char>(h * 16 + l);
        i += 3;
        continue;
      }
    }
    out += enc[i];
  }
  return out;
}

std::string unescapeMount(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char* p = field.c_str() + i + 1;
      if (p[0] >= '0' && p[0] <= '3' && p[1] >= '0' && p[1] <= '7' && p[2] >= '0' && p[2] <= '7') {
        out += static_cast<char>((p[0] - '0') * 64 + (p[1] - '0') * 8 + (p[2] - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

// ---- The udev database ---------------------------------------------------------

namespace {

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// GPT type and partition GUIDs in upper case; MBR types as "0x83"; other text as it is.
std::string typeText(const std::string& raw) {
  std::string s = cleanText(raw, 63);
  if (s.rfind("0x", 0) == 0 && s.size() > 2 && s.size() <= 4) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", static_cast<int>(std::strtol(s.c_str() + 2, nullptr, 16)) & 0xFF);
    return buf;
  }
  bool guid = s.size() == 36;
  for (size_t i = 0; guid && i < s.size(); ++i)
    guid = (i == 8 || i == 13 || i == 18 || i == 23) ? s[i] == '-'
                                                     : std::isxdigit(static_cast<unsigned char>(s[i])) != 0;
  return guid ? upper(s) : s;
}

// Sets one fact from a KEY=VALUE pair of either source; true when the key is one.
bool setFact(DevFacts& f, const std::string& key, const std::string& v) {
  if (key == "TYPE") f.fsType = cleanText(v, 31);
  else if (key == "LABEL") f.fsLabel = cleanText(v, 249);
  else if (key == "UUID") f.fsUuid = cleanText(v, 39);
  else if (key == "PTTYPE") f.scheme = cleanText(v, 15);
  else if (key == "PART_ENTRY_TYPE") f.partType = typeText(v);
  else if (key == "PART_ENTRY_NAME") f.partName = cleanText(v, 63);
  else if (key == "PART_ENTRY_UUID") f.partUuid = upper(cleanText(v, 39));
  else if (key == "PART_ENTRY_SCHEME") f.partScheme = cleanText(v, 15);
  else return false;
  return true;
}

}  // namespace

std::string udevDataDir() {
  struct stat st;
  return ::stat("/run/udev/data", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/udev/data" : "";
}

bool readUdevFacts(const std::string& dir, dev_t devno, DevFacts& out) {
  if (dir.empty()) return false;
  char name[48];
  std::snprintf(name, sizeof name, "/b%u:%u", major(devno), minor(devno));
  auto text = sysfs::readText(AT_FDCWD, dir + name, 1 << 16);
  if (!text) return false;
  bool told = false;
  size_t i = 0;
  while (i < text->size()) {
    size_t j = text->find('\n', i);
    if (j == std::string::npos) j = text->size();
    std::string line = text->substr(i, j - i);
    i = j + 1;
    size_t eq = line.find('=');
    if (line.rfind("E:", 0) != 0 || eq == std::string::npos) continue;
    std::string key = line.substr(2, eq - 2), v = line.substr(eq + 1);
    if (key == "ID_MODEL_ENC") out.model = cleanText(decodeUdev(v), 57);
    else if (key == "ID_SERIAL_SHORT") out.serial = cleanText(v, 63);
    else if (key == "ID_FS_LABEL_ENC") out.fsLabel = cleanText(decodeUdev(v), 249);
    else if (key == "ID_FS_LABEL") {
      if (out.fsLabel.empty()) out.fsLabel = cleanText(v, 249);
    } else if (key == "ID_PART_TABLE_TYPE") told = setFact(out, "PTTYPE", v);
    else if (key == "ID_PART_ENTRY_NAME") told = setFact(out, "PART_ENTRY_NAME", decodeUdev(v));
    else if (key.rfind("ID_FS_", 0) == 0 || key.rfind("ID_PART_ENTRY_", 0) == 0) {
      std::string k = key.rfind("ID_FS_", 0) == 0 ? key.substr(6) : "PART_ENTRY_" + key.substr(14);
      if (setFact(out, k, v)) told = true;
    }
  }
  if (told) out.answered = true;
  return told;
}

// ---- libblkid on threads of its own ----------------------------------------------

namespace {

struct ProbeFree {
  void operator()(blkid_probe p) const { blkid_free_probe(p); }
};
using ProbePtr = std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeFree>;

// The device node opened for probing: read-only, non-blocking (an empty drive
// answers at once), and only when it is the block device we mean.
UniqueFd openNode(const std::string& node, dev_t devno) {
  if (node.empty()) return UniqueFd();
  int raw;
  do {
    raw = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (raw < 0 && errno == EINTR);
  UniqueFd fd(raw);
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != devno)
    return UniqueFd();
  return fd;
}

// What udev's own probe asks: file system, partition table, and the
// partition's entry in its disk's table.
DevFacts blkidFacts(const std::string& node, dev_t devno) {
  DevFacts f;
  UniqueFd fd = openNode(node, devno);
  if (!fd) return f;
  errno = 0;
  ProbePtr pr(blkid_new_probe());
  if (!pr || blkid_probe_set_device(pr.get(), fd.get(), 0, 0) != 0) return f;
  blkid_probe_enable_superblocks(pr.get(), 1);
  blkid_probe_set_superblocks_flags(pr.get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID | BLKID_SUBLKS_TYPE);
  blkid_probe_enable_partitions(pr.get(), 1);
  blkid_probe_set_partitions_flags(pr.get(), BLKID_PARTS_ENTRY_DETAILS);
  int rc = blkid_do_safeprobe(pr.get());
  if (rc < 0) return f;
  f.answered = true;
  int n = blkid_probe_numof_values(pr.get());
  for (int i = 0; i < n && i < 256; ++i) {
    const char *name = nullptr, *data = nullptr;
    size_t len = 0;
    if (blkid_probe_get_value(pr.get(), i, &name, &data, &len) != 0 || !name || !data) continue;
    setFact(f, name, std::string(data, ::strnlen(data, len)));
  }
  return f;
}

// The probes of one listing run in a child process of their own, a thread
// per device, which nobody waits for: it is reaped once it has ended. A read
// or an open stuck in the kernel can't be called back and keeps its process
// from ending; this way it keeps only that process, never the program or its
// standard output. The process reports on a pipe, one line each:
//   "S <devno>"               the probe of devno begins
//   "F <devno> <KEY> <value>"  one fact (value with \\ and \n escaped)
//   "D <devno>"               the probe of devno has ended

void putLine(int fd, std::mutex& mu, const std::string& line) {
  std::lock_guard<std::mutex> lock(mu);
  for (size_t off = 0; off < line.size();) {
    ssize_t n = ::write(fd, line.data() + off, line.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ::_exit(0);  // nobody listens any more
    off += static_cast<size_t>(n);
  }
}

std::string escape(const std::string& v) {
  std::string o;
  for (char c : v) {
    if (c == '\\') o += "\\\\";
    else if (c == '\n') o += "\\n";
    else o += c;
  }
  return o;
}

std::string unescape(const std::string& v) {
  std::string o;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' && i + 1 < v.size()) {
      o += v[++i] == 'n' ? '\n' : v[i];
      continue;
    }
    o += v[i];
  }
  return o;
}

constexpr size_t kMaxRunning = 16;  // probes at once

[[noreturn]] void prober(int out, const std::vector<devnames::BlockDev>& devs) {
  // Only the pipe stays: the program's output must not wait for this process.
  int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd = 0; fd < 3; ++fd) ::dup2(devnull, fd);
  if (out != 3) {
    ::dup2(out, 3);
    out = 3;
  }
  ::close_range(4, ~0u, 0);
  std::mutex mu;
  std::vector<std::thread> threads;
  std::atomic<size_t> next{0};
  for (size_t t = 0; t < std::min(kMaxRunning, devs.size()); ++t) {
    threads.emplace_back([&] {
      for (size_t i; (i = next.fetch_add(1)) < devs.size();) {
        const devnames::BlockDev& d = devs[i];
        const std::string id = std::to_string(static_cast<unsigned long long>(d.devno));
        putLine(out, mu, "S " + id + "\n");
        DevFacts f = blkidFacts(d.node, d.devno);
        std::string lines;
        auto fact = [&](const char* k, const std::string& v) {
          if (!v.empty()) lines += "F " + id + " " + k + " " + escape(v) + "\n";
        };
        fact("ANSWERED", f.answered ? "1" : "");
        fact("TYPE", f.fsType);
        fact("LABEL", f.fsLabel);
        fact("UUID", f.fsUuid);
        fact("PTTYPE", f.scheme);
        fact("PART_ENTRY_TYPE", f.partType);
        fact("PART_ENTRY_NAME", f.partName);
        fact("PART_ENTRY_UUID", f.partUuid);
        fact("PART_ENTRY_SCHEME", f.partScheme);
        putLine(out, mu, lines + "D " + id + "\n");
      }
    });
  }
  for (auto& t : threads) t.join();
  ::_exit(0);
}

// Devices left behind by an earlier listing: what they were, and the process
// still stuck on them. Not probed again while that process lives and the
// device is the same.
struct Stuck {
  std::string key;
  pid_t pid;
};
std::mutex stuckMu;
std::map<dev_t, Stuck> stuck;
std::map<dev_t, DevFacts> lastFacts;  // the latest facts of each device
ProbeLimits limits;

std::map<dev_t, DevFacts>& rememberLocked(std::map<dev_t, DevFacts>& facts) {
  for (const auto& [devno, f] : facts) lastFacts[devno] = f;
  return facts;
}

std::map<dev_t, DevFacts>& remember(std::map<dev_t, DevFacts>& facts) {
  std::lock_guard<std::mutex> lock(stuckMu);
  return rememberLocked(facts);
}

// True while pid runs (a process that has ended but is not reaped yet does not).
bool running(pid_t pid) {
  auto text = sysfs::readText(AT_FDCWD, "/proc/" + std::to_string(pid) + "/stat", 4096);
  if (!text) return false;
  size_t paren = text->rfind(')');
  return paren != std::string::npos && paren + 2 < text->size() && (*text)[paren + 2] != 'Z' &&
         (*text)[paren + 2] != 'X';
}

std::string keyOf(const devnames::BlockDev& d) {
  return d.node + "|" + std::to_string(d.size) + "|" + std::to_string(d.diskseq) + "|" + d.ident;
}

// Probers that have ended or may end: reaped when they have, never waited for.
std::vector<pid_t> unreaped;

void reapLocked() {
  auto gone = [](pid_t p) {
    if (::waitpid(p, nullptr, WNOHANG) == 0) return false;
    // Its pid may be another process's from now on: nothing waits for it any more.
    for (auto it = stuck.begin(); it != stuck.end();) it = it->second.pid == p ? stuck.erase(it) : std::next(it);
    return true;
  };
  unreaped.erase(std::remove_if(unreaped.begin(), unreaped.end(), gone), unreaped.end());
}

// Starts the prober, a child of ours; its pid, and the read end of its pipe (-1 on failure).
pid_t startProber(const std::vector<devnames::BlockDev>& devs, int& readEnd) {
  readEnd = -1;
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    ::close(p[0]);
    prober(p[1], devs);
  }
  ::close(p[1]);
  if (child < 0) {
    ::close(p[0]);
    return -1;
  }
  readEnd = p[0];
  return child;
}

}  // namespace

void setProbeLimits(const ProbeLimits& l) {
  std::lock_guard<std::mutex> lock(stuckMu);
  limits = l;
}

FactsProbe::FactsProbe(const std::vector<devnames::BlockDev>& devs, const std::string& udevDir, bool probe) {
  std::lock_guard<std::mutex> lock(stuckMu);
  reapLocked();
  lim_ = limits;
  for (const auto& d : devs) {
    DevFacts& f = out_[d.devno];
    if (readUdevFacts(udevDir, d.devno, f) || !probe || d.node.empty()) continue;
    auto it = stuck.find(d.devno);
    if (it != stuck.end() && it->second.key == keyOf(d) && running(it->second.pid)) {
      f.notAnswering = true;  // its earlier probe is still stuck
      continue;
    }
    stuck.erase(d.devno);
    queue_.push_back(d);
  }
  if (!queue_.empty()) pid_ = startProber(queue_, fd_);
  begin_ = std::chrono::steady_clock::now();
}

FactsProbe::~FactsProbe() {
  if (fd_ >= 0) ::close(fd_);
}

std::map<dev_t, DevFacts> FactsProbe::finish() {
  using clock = std::chrono::steady_clock;
  if (pid_ < 0) return remember(out_);
  const auto listEnd = begin_ + lim_.listing;
  std::map<dev_t, clock::time_point> started;
  std::set<dev_t> ended;
  std::string buf;
  bool eof = false;
  while (!eof && ended.size() < queue_.size()) {
    auto now = clock::now();
    auto wake = listEnd;
    for (const auto& [devno, when] : started)
      if (!ended.count(devno)) wake = std::min(wake, when + lim_.device);
    if (now >= wake) break;
    struct pollfd pfd {fd_, POLLIN, 0};
    int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wake - now).count());
    int r = ::poll(&pfd, 1, ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    char chunk[4096];
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof = true;
      break;
    }
    buf.append(chunk, static_cast<size_t>(n));
    size_t nl;
    while ((nl = buf.find('\n')) != std::string::npos) {
      std::string line = buf.substr(0, nl);
      buf.erase(0, nl + 1);
      if (line.size() < 3) continue;
      char* end = nullptr;
      dev_t devno = static_cast<dev_t>(std::strtoull(line.c_str() + 2, &end, 10));
      if (line[0] == 'S') started[devno] = clock::now();
      else if (line[0] == 'D') ended.insert(devno);
      else if (line[0] == 'F' && end && *end == ' ') {
        std::string rest(end + 1);
        size_t sp = rest.find(' ');
        if (sp == std::string::npos) continue;
        std::string key = rest.substr(0, sp), value = unescape(rest.substr(sp + 1));
        DevFacts& f = out_[devno];
        if (key == "ANSWERED") f.answered = true;
        else setFact(f, key, value);
      }
    }
  }
  ::close(fd_);
  fd_ = -1;
  std::lock_guard<std::mutex> lock(stuckMu);
  for (const auto& d : queue_) {
    // One never begun (the whole listing's time ran out) is only not known.
    if (ended.count(d.devno) || !started.count(d.devno)) continue;
    DevFacts& f = out_[d.devno];
    f = DevFacts();  // half a probe tells nothing sure
    f.notAnswering = true;
    stuck[d.devno] = Stuck{keyOf(d), pid_};
  }
  unreaped.push_back(pid_);  // it ends after its last probe
  reapLocked();
  return rememberLocked(out_);
}

std::map<dev_t, DevFacts> deviceFacts(const std::vector<devnames::BlockDev>& devs,
                                      const std::string& udevDir, bool probe) {
  return FactsProbe(devs, udevDir, probe).finish();
}

std::optional<DevFacts> knownFacts(dev_t devno) {
  std::lock_guard<std::mutex> lock(stuckMu);
  auto it = lastFacts.find(devno);
  if (it == lastFacts.end()) return std::nullopt;
  return it->second;
}

}  // namespace vlm::live
