// A zoo of real devices as people have them: a GPT and an MBR loop disk with
// a partition per file system, swap, LVM, RAID and LUKS, one mounted twice, a
// read-only loop disk holding a file system, a zram device; labels with
// accents, CJK and an emoji. Every row of --list --json is checked against
// blkid, lsblk (sfdisk where it has no type names), findmnt and df, run in the
// same test. Root only; a member whose tool is missing is left out, one whose
// file system the kernel can't mount is checked unmounted; both are said.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/platform/loop_guard.h"

using namespace vlm::testing;
using Json = nlohmann::json;

namespace {

const std::string kProgram = std::string(VLM_BUNDLE_DIR) + "/Contents/MacOS/VLM-Performance";

struct Member {
  std::string disk;               // "gpt", "mbr": a partition of it; "ro", "zram": a whole device
  const char* code;               // sgdisk's type code (for the MBR: converted by sgdisk)
  int mib;
  std::string partName;           // GPT partition name
  std::vector<std::string> mkfs;  // "@" the device, "@key" the LUKS key file
  const char* mountAs;            // the kernel's file system, or null
  int mounts;
  unsigned long flags;            // mount flags
};

const Member kZoo[] = {
    {"gpt", "8300", 16, "", {"mkfs.ext4", "-q", "-F", "-L", "D\u00e4t\u00e4 \u00e9", "@"}, "ext4", 2, 0},
    {"gpt", "0700", 16, "", {"mkfs.vfat", "-n", "ZOOFAT", "@"}, "vfat", 1, 0},
    {"gpt", "0700", 16, "", {"mkfs.exfat", "-L", "\u8cc7\u6599", "@"}, "exfat", 1, 0},
    {"gpt", "8300", 120, "", {"mkfs.btrfs", "-q", "-f", "-L", "Disk \U0001F680", "@"}, "btrfs", 1, 0},
    {"gpt", "8300", 300, "", {"mkfs.xfs", "-q", "-f", "@"}, "xfs", 1, MS_RDONLY},  // named by its mount
    {"gpt", "0700", 16, "", {"mkfs.ntfs", "-q", "-f", "-L", "\u00d1and\u00fa", "@"}, nullptr, 0, 0},
    {"gpt", "8200", 16, "swap part", {"mkswap", "-L", "swap space", "@"}, nullptr, 0, 0},
    {"gpt", "8E00", 16, "", {"pvcreate", "-q", "-f", "@"}, nullptr, 0, 0},
    {"gpt", "FD00", 16, "raid half", {}, nullptr, 0, 0},
    {"gpt", "8309", 20, "", {"cryptsetup", "luksFormat", "--batch-mode", "--key-file", "@key", "--pbkdf",
                             "pbkdf2", "--pbkdf-force-iterations", "1000", "--label", "zoo luks", "@"},
     nullptr, 0, 0},
    {"mbr", "0700", 16, "", {"mkfs.vfat", "-n", "MBRFAT", "@"}, nullptr, 0, 0},
    {"mbr", "8200", 16, "", {"mkswap", "@"}, nullptr, 0, 0},
    {"ro", "", 32, "", {"mkfs.ext4", "-q", "-F", "-L", "ro \u53ea\u8bfb", "@"}, "ext4", 1, MS_RDONLY},
    {"zram", "", 16, "", {"mkswap", "-L", "zswap", "@"}, nullptr, 0, 0},
};

bool kernelMounts(const char* fs) {
  std::ifstream in("/proc/filesystems");
  for (std::string w; in >> w;)
    if (w == fs) return true;
  return false;
}

// A zram device of the test's own, removed with it.
struct Zram {
  int n = -1;
  explicit Zram(int mib) {
    std::ifstream("/sys/class/zram-control/hot_add") >> n;
    if (n >= 0) std::ofstream("/sys/block/zram" + std::to_string(n) + "/disksize") << mib << "M";
  }
  ~Zram() {
    if (n >= 0) std::ofstream("/sys/class/zram-control/hot_remove") << n;
  }
};

std::string str(const Json& j) { return j.is_string() ? j.get<std::string>() : std::string(); }

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

Json ran(const std::vector<std::string>& argv) {
  std::string out;
  EXPECT_EQ(run(argv, &out), 0) << argv[0];
  return Json::parse(out, nullptr, false);
}

void flatten(const Json& devs, std::map<std::string, Json>& out) {
  for (const Json& d : devs) {
    out[str(d["name"])] = d;
    if (d.contains("children")) flatten(d["children"], out);
  }
}

}  // namespace

TEST(LoopDisks, ZooListedAsUtilLinuxSeesIt) {
  std::string why = loopUnavailable();
  if (why.empty() && ::access(kProgram.c_str(), X_OK) != 0) why = "the program is not built";
  if (!why.empty()) GTEST_SKIP() << "zoo: " << why;
  for (const char* module : {"vfat", "exfat", "btrfs", "xfs", "zram"})
    if (!tool("modprobe").empty()) run({tool("modprobe"), "-q", module});

  // Who is in, and the partition tables of the two disks.
  TempDir dir;
  std::ofstream(dir.path() + "/key") << "zoo secret";
  std::vector<const Member*> in;
  std::map<std::string, std::vector<std::string>> sgdisk;
  std::map<std::string, int> parts, mib;
  std::string notes;
  for (const Member& m : kZoo) {
    if (!m.mkfs.empty() && tool(m.mkfs[0]).empty()) {
      notes += "\n  left out: " + m.mkfs[0] + " (not installed)";
      continue;
    }
    if (m.disk == "zram" && ::access("/sys/class/zram-control/hot_add", W_OK) != 0) {
      notes += "\n  left out: zram (no zram module)";
      continue;
    }
    if (m.mountAs && !kernelMounts(m.mountAs))
      notes += std::string("\n  not mounted: ") + m.mountAs + " (not in /proc/filesystems)";
    in.push_back(&m);
    if (m.disk != "gpt" && m.disk != "mbr") continue;
    const std::string n = std::to_string(++parts[m.disk]);
    mib[m.disk] += m.mib;
    sgdisk[m.disk].push_back("-n" + n + ":0:+" + std::to_string(m.mib) + "M");
    sgdisk[m.disk].push_back("-t" + n + ":" + m.code);
    if (!m.partName.empty()) sgdisk[m.disk].push_back("-c" + n + ":" + m.partName);
  }
  std::map<std::string, std::unique_ptr<LoopDisk>> disks;
  for (auto& [name, args] : sgdisk) {
    auto& d = disks[name] = std::make_unique<LoopDisk>(dir.path() + "/" + name + ".img", (mib[name] + 2ll) << 20);
    args.insert(args.begin(), tool("sgdisk"));
    if (name == "mbr") args.push_back("--gpttombr=1:2");
    args.push_back(d->image());
    ASSERT_EQ(run(args), 0) << name;
    ASSERT_TRUE(d->attach(parts[name])) << name << ": the loop device or its partitions did not appear";
  }

  // Each member's device made and mounted as its row says.
  std::unique_ptr<LoopDisk> roDisk;
  std::unique_ptr<Zram> zram;
  std::vector<std::unique_ptr<MountGuard>> mounts;
  std::vector<std::string> nodes;  // each member's device, then the whole disks
  parts.clear();
  for (const Member* m : in) {
    std::string node;
    if (m->disk == "ro") {  // formatted as a file, then attached read-only
      roDisk = std::make_unique<LoopDisk>(dir.path() + "/ro.img", static_cast<long long>(m->mib) << 20);
      node = roDisk->image();
    } else if (m->disk == "zram") {
      zram = std::make_unique<Zram>(m->mib);
      ASSERT_GE(zram->n, 0) << "zram: no device added";
      node = "/dev/zram" + std::to_string(zram->n);
    } else {
      node = disks[m->disk]->part(++parts[m->disk]);
    }
    std::vector<std::string> argv;
    for (const std::string& a : m->mkfs) argv.push_back(a == "@" ? node : a == "@key" ? dir.path() + "/key" : a);
    if (!argv.empty()) {
      argv[0] = tool(argv[0]);
      ASSERT_EQ(run(argv), 0) << m->mkfs[0] << " " << node;
    }
    if (roDisk && node == roDisk->image()) {
      ASSERT_TRUE(roDisk->attach(0, false, true));
      node = roDisk->node();
    }
    nodes.push_back(node);
    for (int k = 0; m->mountAs && kernelMounts(m->mountAs) && k < m->mounts; ++k) {
      mounts.push_back(std::make_unique<MountGuard>(node, dir.path() + "/" + node.substr(5) + "." + std::to_string(k),
                                                    m->mountAs, m->flags));
      ASSERT_TRUE(mounts.back()->mounted()) << "can't mount " << node << " as " << m->mountAs;
    }
  }
  for (auto& [name, d] : disks) nodes.push_back(d->node());

  // The program's listing and util-linux's, taken together.
  std::map<std::string, Json> rows, lsblk;
  const Json listing = ran({kProgram, "--list", "--json"});
  for (const Json& r : listing["rows"]) rows[str(r["Node"])] = r;
  std::vector<std::string> argv{tool("lsblk"), "-J", "-O", "-b"};
  argv.insert(argv.end(), nodes.begin(), nodes.end());
  flatten(ran(argv)["blockdevices"], lsblk);
  const Json findmnt = ran({tool("findmnt"), "-J", "-l", "-v", "-o", "SOURCE,TARGET,OPTIONS"})["filesystems"];

  for (const std::string& node : nodes) {
    SCOPED_TRACE(node);
    const std::string name = node.substr(5);
    ASSERT_TRUE(rows.count(name)) << "no row in\n" << listing.dump(1);
    const Json &row = rows[name], &ls = lsblk[name];
    EXPECT_EQ(row["SizeBytes"], ls["size"]);
    std::vector<std::string> targets;
    bool mountRo = false;
    for (const Json& f : findmnt)
      if (str(f["source"]) == node) {
        if (targets.empty()) mountRo = ("," + str(f["options"]) + ",").find(",ro,") != std::string::npos;
        targets.push_back(str(f["target"]));
      }
    EXPECT_EQ(row["Mounts"], Json(targets));
    EXPECT_EQ(row["ReadOnly"], ls["ro"].get<bool>() || mountRo);
    const std::string label = blkidValue("LABEL", node);
    EXPECT_EQ(row["FsType"], blkidValue("TYPE", node));
    EXPECT_EQ(row["FsLabel"], label);
    EXPECT_EQ(row["FsUuid"], blkidValue("UUID", node));
    EXPECT_EQ(upper(str(row["PartUuid"])), upper(blkidValue("PART_ENTRY_UUID", node)));
    // The partition type as lsblk names it, or sfdisk where lsblk has no udev database to ask.
    std::string typeName = str(ls["parttypename"]), code = blkidValue("PART_ENTRY_TYPE", node);
    if (!code.empty() && typeName.empty()) typeName = sfdiskType(node.substr(0, node.rfind('p')), node);
    EXPECT_EQ(str(row["TypeName"]), typeName);
    if (code.rfind("0x", 0) == 0)
      EXPECT_EQ(std::stoul(str(row["TypeCode"]), nullptr, 16), std::stoul(code, nullptr, 16));
    else
      EXPECT_EQ(str(row["TypeCode"]), upper(code));
    // Named by its label, else where it is mounted, else by its partition's name.
    std::string want = label;
    if (want.empty() && !targets.empty()) want = targets[0].substr(targets[0].rfind('/') + 1);
    if (want.empty()) want = blkidValue("PART_ENTRY_NAME", node);
    EXPECT_TRUE(want.empty() || row["Label"] == want) << row["Label"] << " is not " << want;
    if (targets.empty()) {
      EXPECT_TRUE(row["AvailableBytes"].is_null());
      continue;
    }
    // Free space of the first mount as df counts it: free blocks, reserved ones included.
    std::string out;
    ASSERT_EQ(run({tool("df"), "-B1", "--output=size,used,avail", targets[0]}, &out), 0);
    std::istringstream df(out.substr(out.find('\n') + 1));
    double size = 0, used = 0, avail = 0;
    df >> size >> used >> avail;
    EXPECT_EQ(row["AvailableBytes"], static_cast<long long>(avail));
    char info[64];
    std::snprintf(info, sizeof info, "%4.3f Gig or %3.2f%% Free", (size - used) / 1e9, (size - used) * 100 / size);
    EXPECT_EQ(str(row["Info"]).rfind(info, 0), 0u) << row["Info"];
  }
  if (!notes.empty()) std::cout << "zoo, not on this machine:" << notes << "\n";
}
