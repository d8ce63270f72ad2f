// A disk that stops answering: a loop device over a file of a small FUSE file
// system (tests/helpers/stall_fuse) whose reads block on demand. While it
// blocks, the list of every other disk, a test of another disk and the
// utility's own open of it all end in normal time. Root, /dev/fuse and
// libfuse3 only; everything made is undone by the guard, also on failure.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/platform/loop_guard.h"

using namespace vlm::testing;
using Json = nlohmann::json;

namespace {

const std::string kBundle = VLM_BUNDLE_DIR;
const std::string kProgram = kBundle + "/Contents/MacOS/VLM-Performance";
const std::string kHelper = std::string(VLM_HELPERS) + "/stall_fuse";

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The FUSE file system (started stalled), the loop device over its file and
// the mount; undone in the opposite order once the reads are let go.
struct StallingDisk {
  TempDir dir;
  std::string image, mnt, node;
  pid_t fuse = -1;
  bool ready = false;

  StallingDisk() {
    image = dir.path() + "/stall.img";
    mnt = dir.path() + "/fuse";
    ::mkdir(mnt.c_str(), 0700);
    if (run({tool("truncate"), "-s", "64M", image}) != 0 ||
        run({tool("mkfs.ext4"), "-q", "-F", "-L", "Stalled", image}) != 0)
      return;
    fuse = ::fork();
    if (fuse == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGUSR2);  // a test that dies lets the reads go
      ::setenv("VLM_STALL", "1", 1);
      int devnull = ::open("/dev/null", O_RDWR);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
      ::execl(kHelper.c_str(), kHelper.c_str(), image.c_str(), mnt.c_str(), nullptr);
      ::_exit(127);
    }
    struct stat st;
    for (int i = 0; i < 200 && ::stat((mnt + "/disk.img").c_str(), &st) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string out;
    // Read-only and without a partition scan: attaching reads nothing.
    if (run({tool("losetup"), "-f", "--show", "-r", mnt + "/disk.img"}, &out) != 0) return;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    node = out;
    ready = node.rfind("/dev/loop", 0) == 0;
  }
  void release() const {
    if (fuse > 0) ::kill(fuse, SIGUSR2);
  }
  ~StallingDisk() {
    release();
    if (!node.empty()) run({tool("losetup"), "-d", node});
    if (fuse > 0) {
      if (::umount2(mnt.c_str(), 0) != 0) ::umount2(mnt.c_str(), MNT_DETACH);
      ::kill(fuse, SIGTERM);
      ::waitpid(fuse, nullptr, 0);
    }
  }
};

// The rows of --list --json, and how long it took.
Json listing(double& took) {
  std::string out;
  auto t0 = std::chrono::steady_clock::now();
  int rc = run({kProgram, "--list", "--json"}, &out);
  took = seconds(t0);
  EXPECT_EQ(rc, 0);
  Json j = Json::parse(out, nullptr, false);
  return j.is_object() ? j["rows"] : Json::array();
}

Json rowOf(const Json& rows, const std::string& node) {
  for (const Json& r : rows)
    if (r["Node"] == node.substr(5)) return r;
  return Json();
}

}  // namespace

TEST(StallingDisk, NothingWaitsForADiskThatStopsAnswering) {
  std::string why = loopUnavailable();
  if (why.empty() && ::access("/dev/fuse", R_OK | W_OK) != 0) why = "no /dev/fuse";
  if (why.empty() && ::access(kHelper.c_str(), X_OK) != 0) why = "stall_fuse is not built (libfuse3)";
  if (why.empty() && ::access(kProgram.c_str(), X_OK) != 0) why = "the program is not built";
  if (!why.empty()) GTEST_SKIP() << "stalling disk: " << why;

  StallingDisk stalled;
  ASSERT_TRUE(stalled.ready) << "the FUSE file system or its loop device did not come up";
  TempDir dir;
  LoopDisk other(dir.path() + "/other.img", 64ll << 20);
  ASSERT_TRUE(other.made());
  ASSERT_EQ(run({tool("mkfs.ext4"), "-q", "-F", "-L", "Answers", other.image()}), 0);
  ASSERT_TRUE(other.attach(0));

  // The first listing waits for the probe's deadline once, no more.
  double took = 0;
  Json rows = listing(took);
  EXPECT_LT(took, 8.0);
  Json s = rowOf(rows, stalled.node), o = rowOf(rows, other.node());
  ASSERT_TRUE(s.is_object() && o.is_object()) << rows.dump();
  EXPECT_NE(s["Info"].get<std::string>().find("(not answering)"), std::string::npos) << s.dump();
  EXPECT_NE(s["Info"].get<std::string>().find("(read-only)"), std::string::npos) << s.dump();
  EXPECT_EQ(s["NotAnswering"], true);
  EXPECT_EQ(s["ReadOnly"], true);
  EXPECT_EQ(o["NotAnswering"], false);
  EXPECT_EQ(o["ReadOnly"], false);
  EXPECT_EQ(o["FsLabel"], blkidValue("LABEL", other.node()));

  // A test of the other disk (the stand-in utility) is not held up either.
  std::filesystem::path root = dir.path() + "/bundle/VLM-Performance.app/Contents";
  std::filesystem::create_directories(root / "MacOS");
  std::filesystem::create_directories(root / "Resources");
  std::filesystem::copy_file(kProgram, root / "MacOS/VLM-Performance");
  std::filesystem::copy_file(std::string(VLM_HELPERS) + "/stub_util", root / "Resources/vlmperfutil");
  std::string out;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(run({(root / "MacOS/VLM-Performance").string(), "--test", o["Device"], "--yes"}, &out), 0);
  EXPECT_LT(seconds(t0), 8.0);
  EXPECT_NE(out.find("Sequential"), std::string::npos) << out;

  // The utility's own open and first read end with a clear message, not a hang.
  const std::string util = kBundle + "/Contents/Resources/vlmperfutil";
  if (::access(util.c_str(), X_OK) == 0) {
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" -T \"$1\" Stalled 2>&1", util,
                                  s["Device"].get<std::string>()};
    t0 = std::chrono::steady_clock::now();
    out.clear();
    EXPECT_EQ(run(argv, &out), 5);
    EXPECT_LT(seconds(t0), 25.0);
    EXPECT_NE(out.find("the device does not answer"), std::string::npos) << out;
  }

  // Once its reads are let go, the disk is listed as blkid sees it.
  stalled.release();
  for (int i = 0; i < 30 && blkidValue("LABEL", stalled.node).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  rows = listing(took);
  s = rowOf(rows, stalled.node);
  ASSERT_TRUE(s.is_object());
  EXPECT_EQ(s["NotAnswering"], false);
  EXPECT_EQ(s["FsLabel"], blkidValue("LABEL", stalled.node));
  EXPECT_EQ(s["FsLabel"], "Stalled");
}
