// Text from outside, and what libblkid and the udev database tell about a device.
#include <blkid/blkid.h>
#include <fcntl.h>
#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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

// ---- libblkid and libudev -----------------------------------------------------

namespace {

struct ProbeFree {
  void operator()(blkid_probe p) const { blkid_free_probe(p); }
};
using ProbePtr = std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeFree>;
struct UdevFree {
  void operator()(udev* u) const { udev_unref(u); }
};
using UdevPtr = std::unique_ptr<udev, UdevFree>;
struct UdevDeviceFree {
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
using UdevDevicePtr = std::unique_ptr<udev_device, UdevDeviceFree>;

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

ProbePtr newProbe(int fd) {
  errno = 0;
  ProbePtr pr(blkid_new_probe());
  if (!pr || blkid_probe_set_device(pr.get(), fd, 0, 0) != 0) return ProbePtr();
  return pr;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// GPT type and partition GUIDs in upper case; other type names as they are.
std::string guidUpper(const std::string& s) {
  bool guid = s.size() == 36;
  for (size_t i = 0; guid && i < s.size(); ++i)
    guid = (i == 8 || i == 13 || i == 18 || i == 23) ? s[i] == '-' : std::isxdigit(static_cast<unsigned char>(s[i])) != 0;
  return guid ? upper(s) : s;
}

std::string mbrType(int t) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", t & 0xFF);
  return buf;
}

void blkidDisk(int fd, DiskProbe& out) {
  ProbePtr pr = newProbe(fd);
  if (!pr) return;
  errno = 0;
  blkid_partlist ls = blkid_probe_get_partitions(pr.get());  // owned by the probe
  if (!ls) return;
  out.known = true;
  if (blkid_parttable tab = blkid_partlist_get_table(ls))
    if (const char* t = blkid_parttable_get_type(tab)) out.scheme = cleanText(t, 15);
  int n = blkid_partlist_numof_partitions(ls);
  for (int i = 0; i < n && i < 4096; ++i) {
    blkid_partition par = blkid_partlist_get_partition(ls, i);
    if (!par) continue;
    int no = blkid_partition_get_partno(par);
    if (no <= 0) continue;
    PartInfo info;
    if (const char* ts = blkid_partition_get_type_string(par)) info.type = guidUpper(cleanText(ts, 63));
    else if (out.scheme == "dos") info.type = mbrType(blkid_partition_get_type(par));
    if (const char* nm = blkid_partition_get_name(par)) info.name = cleanText(nm, 63);
    if (const char* id = blkid_partition_get_uuid(par)) info.uuid = upper(cleanText(id, 39));
    out.parts[no] = std::move(info);
  }
}

std::string prop(udev_device* d, const char* key) {
  const char* v = udev_device_get_property_value(d, key);
  return v ? std::string(v) : std::string();
}

UdevDevicePtr udevDevice(udev* u, dev_t devno) {
  errno = 0;
  return UdevDevicePtr(udev_device_new_from_devnum(u, 'b', devno));
}

void udevDisk(dev_t devno, const std::map<int, dev_t>& partDevnos, DiskProbe& out) {
  UdevPtr u(udev_new());
  if (!u) return;
  if (UdevDevicePtr d = udevDevice(u.get(), devno)) {
    std::string t = cleanText(prop(d.get(), "ID_PART_TABLE_TYPE"), 15);
    if (!t.empty() && out.scheme.empty()) {
      out.scheme = t;
      out.known = true;
    }
    out.model = cleanText(decodeUdev(prop(d.get(), "ID_MODEL_ENC")), 57);
    out.serial = cleanText(prop(d.get(), "ID_SERIAL_SHORT"), 63);
  }
  for (const auto& [no, pdev] : partDevnos) {
    UdevDevicePtr d = udevDevice(u.get(), pdev);
    if (!d) continue;
    PartInfo& info = out.parts[no];
    if (info.type.empty()) {
      std::string t = cleanText(prop(d.get(), "ID_PART_ENTRY_TYPE"), 63);
      info.type = t.rfind("0x", 0) == 0 ? mbrType(static_cast<int>(std::strtol(t.c_str(), nullptr, 16)))
                                        : guidUpper(t);
    }
    if (info.name.empty()) info.name = cleanText(decodeUdev(prop(d.get(), "ID_PART_ENTRY_NAME")), 63);
    if (info.uuid.empty()) info.uuid = upper(cleanText(prop(d.get(), "ID_PART_ENTRY_UUID"), 39));
  }
}

}  // namespace

bool udevAvailable() {
  struct stat st;
  return ::stat("/run/udev/data", &st) == 0 && S_ISDIR(st.st_mode);
}

DiskProbe probeDisk(const std::string& node, dev_t devno, const std::map<int, dev_t>& partDevnos,
                    bool useUdev) {
  DiskProbe out;
  if (UniqueFd fd = openNode(node, devno)) blkidDisk(fd.get(), out);
  if (useUdev) udevDisk(devno, partDevnos, out);
  return out;
}

std::string probeLabel(const std::string& node, dev_t devno, bool useUdev) {
  if (UniqueFd fd = openNode(node, devno)) {
    if (ProbePtr pr = newProbe(fd.get())) {
      blkid_probe_enable_superblocks(pr.get(), 1);
      blkid_probe_set_superblocks_flags(pr.get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE);
      const char* v = nullptr;
      size_t len = 0;
      errno = 0;
      if (blkid_do_safeprobe(pr.get()) == 0 &&
          blkid_probe_lookup_value(pr.get(), "LABEL", &v, &len) == 0 && v)
        return cleanText(std::string(v, ::strnlen(v, len)), 249);
      return std::string();
    }
  }
  if (!useUdev) return std::string();
  UdevPtr u(udev_new());
  if (!u) return std::string();
  UdevDevicePtr d = udevDevice(u.get(), devno);
  if (!d) return std::string();
  return cleanText(decodeUdev(prop(d.get(), "ID_FS_LABEL_ENC")), 249);
}

}  // namespace vlm::live
