// The real utility as a child process: its argument checks, and against a
// real loop device its output, cancel, privilege drop and pread fallback.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "perf/runner.h"
#include "platform/devnames.h"
#include "tests/helpers/child.h"
#include "tests/helpers/schema_check.h"
#include "tests/platform/loop_guard.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kUtil = VLM_BUNDLE_DIR "/Contents/Resources/vlmperfutil";

using vlmtest::Child;
using vlmtest::kNoIoUring;
using vlmtest::Limits;
using vlmtest::Outcome;
using vlmtest::runChild;

// A loop device over a file of non-zero data (not sparse), read through the page cache
// or directly; detached and removed on scope exit.
class LoopDisk {
 public:
  explicit LoopDisk(uint64_t bytes, bool direct = false) : loop_(dir_.path() + "/disk.img", 0) {
    why_ = vlm::testing::loopUnavailable();
    if (!why_.empty()) return;
    std::ofstream f(loop_.image(), std::ios::binary);
    f << std::string(bytes, 'v') << std::flush;
    struct stat st {};
    if (!f || !loop_.attach(0, direct) || stat(loop_.node().c_str(), &st) != 0) {
      why_ = "can't attach a loop device";
      return;
    }
    devno_ = st.st_rdev;
    for (int tries = 0; tries < 50 && name().empty(); ++tries)  // sysfs catches up
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (name().empty()) why_ = "the loop device has no disk name";
  }
  bool ok() const { return why_.empty(); }
  const std::string& why() const { return why_; }
  // Names of virtual disks move when other loop devices come and go: look
  // it up again right before each use.
  std::string name() const {
    auto devs = vlm::devnames::scan();
    const auto* bd = vlm::devnames::findDevno(devs, devno_);
    return bd ? bd->name : std::string();
  }
  std::string kernel() const { return loop_.kernel(); }

  // Runs argv with "@" replaced by the disk's name and a leading "#" by its identity,
  // again (three times at most) when the name moved to another device before
  // the utility opened it.
  Outcome run(std::vector<std::string> argv, std::function<bool(const Child&)> onOutput = {},
              int uid = -1, const Limits& limits = {}) const {
    Outcome r;
    for (int i = 0; i < 3; ++i) {
      std::vector<std::string> av = argv;
      const std::string n = name();
      for (auto& a : av) {
        if (a == "@") a = n;
        if (a.starts_with("#")) a = vlm::devnames::identityOf(n) + a.substr(1);
      }
      r = runChild(av, onOutput, uid, limits);
      if (r.out.find(loop_.node() + ":") != std::string::npos || r.out.find(loop_.node() + " ") != std::string::npos)
        break;
    }
    return r;
  }

 private:
  vlm::testing::TempDir dir_{"/var/tmp"};  // not a tmpfs: the loop driver reads it directly
  vlm::testing::LoopDisk loop_;
  std::string why_;
  dev_t devno_ = 0;
};

const char* const kKeys[] = {"Sequential:", "Random:", "Dual:", "Threaded:"};

// The record line that closes the output, taken off it, checked against the
// schema; null when there is none.
nlohmann::json takeRecord(Outcome& r) {
  const size_t at = r.out.rfind("\n\x1e");
  if (at == std::string::npos || !r.out.ends_with('\n')) return nullptr;
  const std::string text = r.out.substr(at + 2, r.out.size() - at - 3);
  r.out.resize(at + 1);
  auto verdict = vlmtest::checkRecord(text);
  EXPECT_TRUE(verdict.available) << "python3-jsonschema is needed to check records";
  EXPECT_EQ(verdict.problem, "") << text;
  return nlohmann::json::parse(text);
}

// --- arguments -----------------------------------------------------------------

TEST(VlmperfutilArgs, RefusesEverythingButTheContract) {
  if (access(kUtil.c_str(), X_OK) != 0) GTEST_FAIL() << "utility not built: " << kUtil;
  const std::string d40(40, 'd'), d31 = "disk1" + std::string(30, '1'), i128(128, 'i');
  const std::vector<std::vector<std::string>> bad = {
      {}, {"-x"}, {"-T"}, {"-T", "disk0"}, {"-T", "disk0", "v", "extra"},
      {"-T", "disk0", "v", "-T", "disk0", "v"}, {"-T", "/dev/sda", "v"}, {"-T", "..", "v"},
      {"-T", "disk0/../x", "v"}, {"-T", "/tmp", "v"}, {"-T", "/tmp/x.img", "v"}, {"-T", d40, "v"}, {"-T", d31, "v"}, {"-T", "disk01", "v"},
      {"-T", "disk0s", "v"}, {"-T", "Disk0", "v"}, {"-T", "disk999", "v"},
      {"-s", "0", "-T", "disk0", "v"}, {"-s", "61", "-T", "disk0", "v"}, {"-s", "5x", "-T", "disk0", "v"},
      {"-s", "-1", "-T", "disk0", "v"}, {"-T", "disk0", "v", "-s"}, {"-T", "disk0", "v", "-I"},
      {"-T", "disk0", "v", "-I", ""}, {"-I", "a", "-I", "a", "-T", "disk0", "v"},
      {"-I", i128, "-T", "disk0", "v"}, {"-V", "-T", "disk0", "v"}, {"-V", "-V"},
  };
  for (auto args : bad) {
    std::string shown;
    for (const auto& a : args) shown += "[" + a + "]";
    args.insert(args.begin(), kUtil);
    Outcome r = runChild(args);
    EXPECT_EQ(r.status, 2) << shown << "\n" << r.out;
    EXPECT_NE(r.out.find("vlmperfutil: "), std::string::npos) << shown << ": no message";
  }
}

// Where the block devices can't be listed (an empty file system over /sys in a
// mount namespace of its own) the utility says that, not that no device has
// the name.
TEST(VlmperfutilArgs, SaysWhenItCantListTheDevices) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hide /sys";
  Outcome r = runChild({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                        "mount -t tmpfs none /sys || exit 125; exec \"$0\" -T disk0 v", kUtil});
  // In a chroot unshare can't make the mounts private (the root is no mount point).
  if (r.status == 125 || r.out.starts_with("unshare: ")) GTEST_SKIP() << "can't mount here: " << r.out;
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(r.out, "vlmperfutil: can't scan the block devices in /sys/block\n");
}

// The set-user-ID utility, its installer and the program are hardened:
// position independent, relocations bound at start and read-only, stack
// protector and fortified calls linked in; every unit of ours compiled into
// them (the libraries' too) names the stack protector in its debug information.
// The utility says which build it is.
TEST(VlmperfutilArgs, BuiltHardened) {
  const std::string readelf = vlm::testing::tool("readelf");
  if (readelf.empty()) GTEST_SKIP() << "no readelf";
  for (const std::string& bin : {kUtil, std::string(VLM_BUNDLE_DIR "/Contents/Resources/vlmperfinstall"),
                                 std::string(VLM_BUNDLE_DIR "/Contents/MacOS/VLM-Performance")}) {
    if (access(bin.c_str(), R_OK) != 0) GTEST_FAIL() << "not built: " << bin;
    std::string elf;
    vlm::testing::run({readelf, "-W", "-h", "-l", "-d", "--dyn-syms", "--debug-dump=info", "--dwarf-depth=1", bin},
                      &elf);  // its status: warnings about debug information are no matter
    SCOPED_TRACE(bin);
    for (const char* want : {"DYN \\(Position-Independent Executable file\\)", "GNU_RELRO", "__stack_chk_fail",
                             "\\(FLAGS(_1)?\\)[^\n]*\\b(BIND_NOW|NOW)\\b"})
      EXPECT_TRUE(std::regex_search(elf, std::regex(want))) << want;
    const std::regex unit("DW_AT_producer[^\n]*: (GNU C\\+\\+20[^\n]*)");  // ours, not a sanitizer's runtime
    for (std::sregex_iterator it(elf.begin(), elf.end(), unit), end; it != end; ++it)
      EXPECT_NE((*it)[1].str().find("-fstack-protector-strong"), std::string::npos) << (*it)[1];
#ifdef NDEBUG
    EXPECT_TRUE(std::regex_search(elf, std::regex("__[a-z]+_chk\\b")));
#endif
  }
  // -V: the utility's build identity as the linker wrote it.
  std::string notes, said;
  vlm::testing::run({readelf, "-n", kUtil}, &notes);
  std::smatch id;
  ASSERT_TRUE(std::regex_search(notes, id, std::regex("Build ID: ([0-9a-f]+)"))) << notes;
  EXPECT_EQ(vlm::testing::run({kUtil, "-V"}, &said), 0);
  EXPECT_EQ(said, "vlmperfutil build " + id[1].str() + "\n");
}

// --- against a loop device -----------------------------------------------------

// The utility as it is installed (root, 4711) in a folder of dir's; "" when it can't be.
std::string installedCopy(const vlm::testing::TempDir& dir) {
  const std::string copy = dir.path() + "/vlmperfutil";
  std::error_code ec;
  std::filesystem::copy_file(kUtil, copy, ec);
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_EQ(chmod(dir.path().c_str(), 0755), 0);
  EXPECT_EQ(chown(copy.c_str(), 0, 0), 0);
  EXPECT_EQ(chmod(copy.c_str(), 04711), 0);
  return copy;
}

// The state letter of a process ('R', 'S', 'T'...), 0 when it is gone.
char procState(pid_t pid) {
  std::string st;
  std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), st);
  const size_t paren = st.rfind(") ");
  return paren == std::string::npos ? 0 : st[paren + 2];
}

class VlmperfutilDisk : public ::testing::Test {
 protected:
  // An odd size: the regions must be rounded so that no read runs past the end.
  static void SetUpTestSuite() { disk_ = std::make_unique<LoopDisk>((64ull << 20) + 4096 + 512); }
  static void TearDownTestSuite() { disk_.reset(); }
  void SetUp() override {
    if (!disk_->ok()) GTEST_SKIP() << disk_->why();
  }
  static inline std::unique_ptr<LoopDisk> disk_;
};

// What the application relies on: progress lines 0..100 in order and often,
// free text first, then four figures, each key found first at its own result
// line, and a valid record of the same figures. And the method, not only the
// form: every phase measured its seconds (10%, plus the slowest read: the last
// ones in flight are waited for) after the warm-up stated (each
// phase's line came a warm-up after its measured time), as many reads in flight
// as said (Little's law: IOPS x mean latency, 20%), in blocks of the size
// recorded, with as many threads as usable cores (nproc), at most 8; each
// percentile in the histogram's bin where its rank falls, in order, none above
// the maximum.
void expectWellFormed(Outcome r, const std::string& kernel) {
  ASSERT_EQ(r.status, 0) << r.out;
  const nlohmann::json rec = takeRecord(r);
  ASSERT_FALSE(rec.is_null()) << "no record after the results\n" << r.out;
  // The four results close the output; the text before them holds no key.
  std::smatch m;
  const std::regex results("\nSequential: ([0-9]+) KB/s\nRandom: ([0-9]+) KB/s\n"
                           "Dual: ([0-9]+) KB/s\nThreaded: ([0-9]+) KB/s\n$");
  ASSERT_TRUE(std::regex_search(r.out, m, results)) << "the four results must close the output\n" << r.out;
  const std::string text = m.prefix().str() + "\n";
  int last = -1, progress = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Percent: ", 0) != 0) continue;
    EXPECT_GE(std::stoi(line.substr(9)), last) << "progress went back";
    last = std::stoi(line.substr(9));
    ++progress;
  }
  EXPECT_EQ(last, 100);
  EXPECT_GE(progress, 8) << "progress only at the phases' ends\n" << r.out;  // 4.8 s at most 4 a second
  for (const std::string& want : {"/dev/" + kernel, std::string("67113472 bytes (64.0 MiB), logical block 512 bytes"),
                                  std::string("latency mean"), std::string("p99"), std::string("1 s measured")})
    EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
  EXPECT_LT(r.out.size(), 4096u);
  EXPECT_EQ(rec["device"]["node"], "/dev/" + kernel);
  EXPECT_EQ(rec["result"], "Ok");
  ASSERT_EQ(rec["phases"].size(), 4u);
  const auto& par = rec["parameters"];
  const double secs = par["seconds"], warm = par["warmUpSeconds"];
  std::string nproc;
  ASSERT_EQ(vlm::testing::run({vlm::testing::tool("nproc")}, &nproc), 0);
  EXPECT_EQ(par["phases"][3]["threads"], std::min(std::stoi(nproc), 8));
  double lineCame = r.arrival(text.find("\nEach phase: ")), warmAll = 0, warmLeast = 1e9;
  size_t line = 0;
  for (size_t i = 0; i < 4; ++i) {
    const auto &ph = rec["phases"][i], &plan = par["phases"][i], &lat = ph["latencyNs"];
    const std::string key = kKeys[i], name = key.substr(0, key.size() - 1);
    SCOPED_TRACE(name);
    EXPECT_EQ(text.find(key), std::string::npos) << "free text holds the key";
    EXPECT_EQ(ph["name"], name);
    EXPECT_EQ(ph["kbps"].get<long long>(), std::stoll(m[i + 1]));
    uint64_t sliced = 0;
    for (const auto& b : ph["sliceBytes"]) sliced += b.get<uint64_t>();
    EXPECT_EQ(sliced, ph["bytes"].get<uint64_t>());
    EXPECT_EQ(ph["bytes"], ph["ios"].get<uint64_t>() * plan["blockSize"].get<uint64_t>());
    line = text.find("\n" + name + " read: ");
    std::smatch d;
    const std::string said = text.substr(line, text.find('\n', line + 1) - line);
    ASSERT_TRUE(std::regex_search(said, d, std::regex(" ([0-9]+) in flight"))) << said;
    EXPECT_EQ(plan["queueDepth"], std::stoi(d[1]));
    const double came = r.arrival(line + 1), over = came - lineCame - ph["seconds"].get<double>();
    warmAll += over, warmLeast = std::min(warmLeast, over), lineCame = came;
    EXPECT_NEAR(ph["seconds"].get<double>(), secs, 0.1 * secs + lat["max"].get<double>() / 1e9);
    const double inflight = plan["queueDepth"].get<double>() * plan["streams"].get<int>() * plan["threads"].get<int>();
    EXPECT_NEAR(ph["iops"].get<double>() * lat["mean"].get<double>() / 1e9, inflight, 0.2 * inflight);
    const auto& bins = ph["histogram"];
    const uint64_t n = ph["ios"];
    uint64_t run = 0, lower = 0, prev = 0;
    size_t b = 0;
    for (auto [q, p] : {std::pair{"p50", 0.5}, {"p99", 0.99}, {"p999", 0.999}, {"max", 1.0}}) {
      for (; b + 1 < bins.size() && double(run + bins[b][1].get<uint64_t>()) < p * double(n); ++b)
        run += bins[b][1].get<uint64_t>(), lower = bins[b][0];
      const uint64_t v = lat[q];
      EXPECT_TRUE(v >= std::max(lower, prev) && v < bins[b][0]) << q << " " << lat;
      prev = v;
    }
    EXPECT_TRUE(b + 1 == bins.size() && run + bins[b][1].get<uint64_t>() == n) << "the bins add up to the reads";
  }
  // Load only adds to a phase's time beyond its measured seconds: the phases together
  // must show 4 warm-ups' worth at least, and the least delayed one no more than
  // half a warm-up beyond its own (a longer warm-up lengthens every phase).
  EXPECT_GT(warmAll, 3 * warm) << warmAll << " s of warm-up in all\n" << text;
  EXPECT_LT(warmLeast, 1.5 * warm) << warmLeast << " s beyond the measured time in the least delayed phase\n" << text;
}

// As root, without io_uring (a pread thread pool), and installed as it ships
// (root, 4711) and started by an ordinary user: it measures, and then holds
// no root and can't regain it. The user's own limits hold: no locked memory
// means no registered buffers (and nothing pinned), no threads or descriptors
// to spare end with a message. The volume name is shown as it is (UTF-8) but
// can't forge a result line nor reach the terminal with an 8-bit control
// (CSI), a mark that reverses the line, or half a character where it is cut. Devices it may not measure: one whose identity is not the listed one
// (a disk swapped since the list was read), one too small.
TEST_F(VlmperfutilDisk, MeasuresWithinTheUsersLimits) {
  LoopDisk tiny(1 << 20);
  if (!tiny.ok()) GTEST_SKIP() << tiny.why();
  vlm::testing::TempDir dir("/var/tmp");
  const std::string copy = installedCopy(dir), pad(31, 'a');
  const struct {
    int uid;
    Limits limits;
    int status;
    std::string name, says, id = "#";
    const LoopDisk* disk = disk_.get();
  } cases[] = {
      {-1, {}, 0, "Vol: Sequential: 999 KB/s\nx\x9b[2J\xe2\x80\xae" + pad + "\xc3\xa9zz" + std::string(187, 'b') + "\xc3\xa9",
       "\"Vol. Sequential. 999 KB/s?x?[2J?" + pad + "\xc3\xa9zz" + std::string(187, 'b') + "\""},
      {65534, {}, 0, "", "Engine "},
      // Without locked memory the kernel may refuse the rings themselves: then
      // the pread engine runs, and without threads it says so.
      {65534, {{RLIMIT_MEMLOCK, 0}}, 0, "", "Engine "},
      {65534, {{RLIMIT_MEMLOCK, 0}, {RLIMIT_NPROC, 1}}, 1, "",
       "vlmperfutil: measurement failed: can't start the measuring threads"},
      {65534, {{RLIMIT_NOFILE, 8}}, 1, "", "too few file descriptors allowed (8) to scan the block devices"},
      {-1, {{kNoIoUring, 0}}, 0, "", "Engine pread thread pool"},
      {-1, {}, 2, "", "vlmperfutil: the device changed since the list was read; refresh and try again\n", "#-part1"},
      {-1, {}, 1, "", "too small", "#", &tiny},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    std::string status;
    int looks = 0;
    Outcome r = c.disk->run({c.uid < 0 ? kUtil : copy, "-s", "1", "-I", c.id, "-T", "@", c.name}, [&](const Child& ch) {
      if (ch.out.find("Percent: ") == std::string::npos) return true;
      std::stringstream ss;
      ss << std::ifstream("/proc/" + std::to_string(ch.pid) + "/status").rdbuf();
      status = ss.str();
      // glibc blocks every signal for a moment while it starts a thread.
      return status.find("SigBlk:\t0000000000000000\n") == std::string::npos && ++looks < 20;
    }, c.uid, c.limits);
    if (r.status == 120) GTEST_SKIP() << "can't switch to the user nobody";
    if (r.status == 121) GTEST_SKIP() << "seccomp not available";
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("terminate"), std::string::npos) << r.out;
    if (c.status != 0) {
      EXPECT_EQ(r.status, c.status) << r.out;
      if (c.uid < 0) {
        EXPECT_EQ(r.out.find("Percent:"), std::string::npos) << "refused after reading";
      }
      continue;
    }
    expectWellFormed(r, disk_->kernel());
    if (c.uid < 0) continue;
    for (const char* want : {"Uid:\t65534\t65534\t65534\t65534", "Gid:\t65534\t65534\t65534\t65534", "NoNewPrivs:\t1",
                             "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"})
      EXPECT_NE(status.find(want), std::string::npos) << status;
    if (!c.limits.empty()) {
      EXPECT_NE(status.find("VmPin:\t       0 kB"), std::string::npos) << status;
      EXPECT_EQ(r.out.find(", registered buffers"), std::string::npos) << r.out;
      EXPECT_TRUE(r.out.find("(buffers not registered: the locked-memory limit (0 KiB) is too small)") !=
                      std::string::npos || r.out.find("Engine pread") != std::string::npos) << r.out;
    }
  }
}

// While a run measures, a second run of the device is refused with its own
// status; a cancel after the first phase then keeps the phases that had
// finished, with their record, and claims no check of the whole. In that
// order: the second run starts once the first has printed (it holds the
// device), the cancel only after the second has returned and the first phase
// has ended.
TEST_F(VlmperfutilDisk, CancelKeepsTheFinishedPhasesAndASecondRunIsRefused) {
  Outcome second;
  bool refusedYet = false;
  Outcome r = disk_->run({kUtil, "-s", "1", "-T", "@", ""}, [&](const Child& c) {
    if (c.out.empty()) return true;
    if (!refusedYet) second = runChild({kUtil, "-s", "1", "-T", disk_->name(), ""});
    refusedYet = true;
    if (c.out.find("Sequential read:") == std::string::npos) return true;
    kill(c.pid, SIGCONT);
    return false;
  });
  EXPECT_EQ(second.status, 4) << second.out;
  EXPECT_NE(second.out.find("vlmperfutil: device is being measured: /dev/" + disk_->kernel()),
            std::string::npos) << second.out;
  ASSERT_EQ(r.status, 3) << "the cancel came after the whole run\n" << r.out;
  const size_t at = r.out.find("\nCanceled\n");
  ASSERT_NE(at, std::string::npos) << r.out;
  int finished = 0;
  for (int i = 0; i < 4; ++i) {
    const std::string name = std::string(kKeys[i]).substr(0, std::strlen(kKeys[i]) - 1);
    const bool ran = r.out.rfind(name + " read:", at) != std::string::npos;
    finished += ran;
    EXPECT_EQ(std::regex_search(r.out.substr(at), std::regex("\n" + name + ": [1-9][0-9]* KB/s\n")), ran) << r.out;
  }
  EXPECT_GE(finished, 1) << r.out;
  EXPECT_EQ(r.out.find("Checked: "), std::string::npos) << "a part run is not checked\n" << r.out;
  const nlohmann::json rec = takeRecord(r);
  ASSERT_FALSE(rec.is_null()) << r.out;
  EXPECT_EQ(rec["result"], "Canceled");
  EXPECT_EQ(rec["phases"].size(), size_t(finished));
}

// A run that holds the device stopped keeps nobody out: an ordinary user's
// run of the installed copy, stopped once it holds the device, is ended by
// root's next run, which says so and measures at once.
TEST_F(VlmperfutilDisk, AStoppedHolderIsEndedByTheNextRun) {
  vlm::testing::TempDir dir("/var/tmp");
  const std::string copy = installedCopy(dir);
  Outcome next;
  pid_t held = 0;
  Outcome first = disk_->run({copy, "-s", "1", "-T", "@", ""}, [&](const Child& c) {
    if (c.out.empty()) return true;
    held = c.pid;
    kill(c.pid, SIGSTOP);
    for (int i = 0; i < 100 && procState(c.pid) != 'T'; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    next = runChild({kUtil, "-s", "1", "-T", disk_->name(), ""});
    return false;
  }, 65534);
  if (first.status == 120) GTEST_SKIP() << "can't switch to the user nobody";
  EXPECT_EQ(first.status, -SIGKILL) << "the stopped run was not ended\n" << first.out;
  const std::string said = "Ended process " + std::to_string(held) + ", which held /dev/" + disk_->kernel() +
                           " while stopped; measuring it now.\n";
  EXPECT_EQ(next.out.find(said), 0u) << next.out;
  expectWellFormed(next, disk_->kernel());
}

// No cancel is lost: the runner starts the utility with SIGCONT blocked, and
// the utility unblocks it only once its handler is in place, so a single
// SIGCONT at any moment after the fork (0 to 5 ms here) ends the run before
// it measures anything.
TEST_F(VlmperfutilDisk, NoCancelIsLostAfterTheFork) {
  for (int i = 0; i < 20; ++i) {
    const auto delay = std::chrono::microseconds(250 * i);
    SCOPED_TRACE(delay.count());
    std::atomic<pid_t> tid{0};
    std::atomic<int> never{0};
    std::vector<char> buf(32768);
    int len = 0, status = -1;
    const std::string name = disk_->name();
    std::thread runner([&] {
      const char* argv[] = {kUtil.c_str(), "-s", "1", "-T", name.c_str(), "", nullptr};
      vlm::RunHooks hooks;
      hooks.canceled = &never;
      hooks.limitMs = 8000;  // a lost cancel: the whole run, or this
      tid = pid_t(syscall(SYS_gettid));
      status = Run2mem(buf.data(), int(buf.size()), &len, const_cast<char* const*>(argv), hooks);
    });
    while (tid == 0) std::this_thread::yield();
    const std::string children = "/proc/self/task/" + std::to_string(tid) + "/children";
    pid_t kid = 0;
    for (const auto t0 = Clock::now(); kid == 0 && Clock::now() - t0 < std::chrono::seconds(5);)
      std::ifstream(children) >> kid;
    if (kid > 0) {
      std::this_thread::sleep_for(delay);
      kill(kid, SIGCONT);
    }
    runner.join();
    if (kid == 0) GTEST_SKIP() << "no " << children << " to find the child with";
    const std::string out(buf.data(), size_t(len));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status << "\n" << out;
    EXPECT_NE(out.find("Canceled\n"), std::string::npos) << out;
    EXPECT_EQ(out.find(" read:"), std::string::npos) << "it measured after the cancel\n" << out;
  }
}

// A disk that stops answering (its reads throttled to nothing by a blkio
// cgroup): a cancel still ends the run while they hang, without figures; the
// reads in flight are left to the kernel.
TEST_F(VlmperfutilDisk, CancelEndsWhileReadsHang) {
  const std::string g = "/sys/fs/cgroup/blkio/vlmperfutil-test-" + std::to_string(getpid());
  if (access("/sys/fs/cgroup/blkio/blkio.throttle.read_iops_device", W_OK) != 0 || mkdir(g.c_str(), 0755) != 0)
    GTEST_SKIP() << "no blkio cgroup to throttle the disk with";
  const std::string dev = "7:" + disk_->kernel().substr(4) + " ";
  auto throttle = [&](int iops, int bps) {  // 0: no limit
    std::ofstream(g + "/blkio.throttle.read_iops_device") << dev << iops << std::flush;
    std::ofstream(g + "/blkio.throttle.read_bps_device") << dev << bps << std::flush;
  };
  // The reads stay stalled until the utility says "Canceled" (or, should it
  // wait for them, 15 s after the cancel): the exit itself needs them back.
  double stalledAt = -1, canceledAt = -1;
  bool canceledWhileStalled = false;
  Outcome r = disk_->run({kUtil, "-s", "5", "-T", "@", ""}, [&](const Child& c) {
    if (stalledAt < 0) {
      if (c.out.find("Percent: ") == std::string::npos) return true;
      std::ofstream(g + "/cgroup.procs") << c.pid << std::flush;
      throttle(1, 512);
      stalledAt = c.elapsed;
      return true;
    }
    if (c.elapsed - stalledAt < 0.5) return true;
    if (canceledAt < 0) {
      kill(c.pid, SIGCONT);
      canceledAt = c.elapsed;
    }
    canceledWhileStalled = c.out.find("\nCanceled\n") != std::string::npos;
    if (!canceledWhileStalled && c.elapsed - canceledAt < 15) return true;
    throttle(0, 0);
    return false;
  });
  throttle(0, 0);
  for (int i = 0; i < 50 && rmdir(g.c_str()) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_TRUE(canceledWhileStalled) << "the cancel waited for the hanging reads\n" << r.out;
  for (const char* k : kKeys) EXPECT_EQ(r.out.find(k), std::string::npos) << "no phase ended\n" << r.out;
}

// The checks against the kernel's counters and the cache: a loop device read
// through the page cache is named as such; one read directly is clean unless
// another program (a shell loop of direct dd reads) reads it meanwhile.
TEST(VlmperfutilChecks, NameTheCacheAndOtherReaders) {
  const struct {
    const char* what;
    bool direct, reader;
    std::string want;
    int warnings;  // "Warning: " lines; -1: some (the reader may spill into the next phase)
  } cases[] = {
      {"page cache", false, false, "reads its file through the page cache; the figures measure memory, not a disk", 1},
      {"direct and alone", true, false,
       "Checked: the kernel counted the same reads; no other I/O; the link's ceiling is unknown", 0},
      {"direct with a reader", true, true, "by other programs during the Random phase\n", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LoopDisk disk((64ull << 20) + 4096 + 512, c.direct);
    if (!disk.ok()) GTEST_SKIP() << disk.why();
    // Other programs (a listing probing every disk) may read any device now
    // and then: a clean run is tried again before that counts as a fault.
    Outcome r;
    for (int round = 0; round < 3; ++round) {
      const std::string loop =
          "while :; do dd if=/dev/" + disk.kernel() + " of=/dev/null bs=1M iflag=direct status=none; done";
      const char* sh[] = {"/bin/sh", "-c", loop.c_str(), nullptr};
      pid_t reader = 0;
      r = disk.run({kUtil, "-s", "1", "-T", "@", ""}, [&](const Child& ch) {
        if (c.reader && !reader && ch.out.find("Kernel counters, Sequential phase") != std::string::npos)
          posix_spawn(&reader, sh[0], nullptr, nullptr, const_cast<char**>(sh), environ);
        if (ch.out.find("Random read:") == std::string::npos) return true;
        if (reader > 0) kill(reader, SIGKILL);
        return false;
      });
      if (reader > 0) waitpid(reader, nullptr, 0);
      if (c.reader || r.out.find("Warning: the device was busy") == std::string::npos) break;
    }
    expectWellFormed(r, disk.kernel());
    for (const std::string& w :
         {c.want, std::string("\nLink: unknown\n"), std::string("Kernel counters, Threaded phase")})
      EXPECT_NE(r.out.find(w), std::string::npos) << w << "\n" << r.out;
    const std::regex warning("(^|\n)Warning: ");
    const auto warnings = std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), warning), {});
    EXPECT_TRUE(c.warnings < 0 || warnings == c.warnings) << r.out;
    EXPECT_EQ(r.out.find("Checked: ") != std::string::npos, warnings == 0) << r.out;
  }
}

// A run canceled after its first phase of a disk read directly, with
// nothing else reading it, found nothing wrong, yet claims no check of the
// whole.
TEST(VlmperfutilChecks, ACanceledRunClaimsNoCheck) {
  LoopDisk disk((64ull << 20) + 4096 + 512, true);
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  Outcome r = disk.run({kUtil, "-s", "1", "-T", "@", ""}, [&](const Child& c) {
    if (c.out.find("Sequential read:") == std::string::npos) return true;
    kill(c.pid, SIGCONT);
    return false;
  });
  ASSERT_EQ(r.status, 3) << r.out;
  if (r.out.find("Warning: ") != std::string::npos) GTEST_SKIP() << "another program read the disk\n" << r.out;
  EXPECT_EQ(r.out.find("Checked: "), std::string::npos) << r.out;
}

}  // namespace
