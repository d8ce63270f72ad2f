// The write program: its knee on a recorded and on generated curves, its size
// rule, and as a real child process on loop-backed volumes checked against
// df and the kernel's counters.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <numeric>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "perf/vlmperfwrite/write.h"
#include "tests/helpers/child.h"
#include "tests/helpers/schema_check.h"
#include "tests/platform/loop_guard.h"

namespace {

using vlm::testing::tool;
const std::string kWrite = VLM_BUNDLE_DIR "/Contents/Resources/vlmperfwrite";
constexpr uint64_t kGiB = vpw::kGiB, kMiB = vpw::kMiB;

// --- the knee -------------------------------------------------------------------------

std::vector<uint64_t> series(std::initializer_list<std::pair<size_t, uint64_t>> runs, uint64_t noise = 0) {
  std::vector<uint64_t> s;
  for (auto [n, v] : runs)
    for (size_t i = 0; i < n; ++i) s.push_back(v + (noise && i % 3 == 1 ? noise : 0) - (noise && i % 3 == 2 ? noise : 0));
  return s;
}

TEST(WriteKnee, FoundOnRecordedAndGeneratedCurves) {
  std::ifstream in(VLM_FIXTURES "/write-sustained.json");
  const auto rec = nlohmann::json::parse(in);
  const auto recorded = rec["sustained"]["sliceBytes"].get<std::vector<uint64_t>>();
  struct Row {
    const char* what;
    std::vector<uint64_t> s;
    long knee;  // the slice it falls at; -1: none; -2: somewhere (the recorded run)
  } rows[] = {
      {"a real run: the page cache under a loop device fills", recorded, -2},
      {"a step", series({{50, 1000}, {80, 300}}), 50},
      {"a noisy step", series({{40, 1000}, {60, 400}}, 90), 40},
      {"a step with two spikes after it", [] { auto s = series({{40, 1000}, {60, 300}}); s[60] = s[70] = 1200; return s; }(), 40},
      {"flat with noise", series({{120, 800}}, 150), -1},
      {"a dip that recovers", series({{50, 1000}, {30, 300}, {10, 1000}}), -1},
      {"a fall of less than 30%", series({{50, 1000}, {50, 750}}), -1},
      {"rising", series({{50, 300}, {50, 1000}}), -1},
      {"too short", series({{4, 1000}, {4, 100}}), -1},
  };
  for (const Row& r : rows) {
    const auto k = vpw::findKnee(r.s);
    const std::string text = vpw::kneeText(r.s, 100 * 1000000, k);
    if (r.knee == -1) {
      EXPECT_FALSE(k) << r.what << ": " << text;
      EXPECT_TRUE(std::regex_match(text, std::regex("Writes at [0-9,]+ MB/s throughout \\([0-9.,]+ [GM]B\\)"))) << text;
      continue;
    }
    ASSERT_TRUE(k) << r.what;
    EXPECT_TRUE(std::regex_match(text, std::regex("Writes at [0-9,]+ MB/s for the first [0-9.,]+ [GM]B, then [0-9,]+ MB/s")))
        << text;
    uint64_t before = 0;
    for (size_t i = 0; i < k->slice; ++i) before += r.s[i];
    EXPECT_EQ(k->bytes, before) << r.what;
    if (r.knee >= 0) {
      EXPECT_EQ(long(k->slice), r.knee) << r.what;
      continue;
    }
    // Recorded: the ten slices before the knee wrote at least twice what the ten after did.
    ASSERT_GE(k->slice, 10u);
    ASSERT_LE(k->slice + 10, r.s.size());
    uint64_t a = 0, b = 0;
    for (size_t i = 0; i < 10; ++i) a += r.s[k->slice - 10 + i], b += r.s[k->slice + i];
    EXPECT_GT(a, 2 * b) << text;
  }
  // Binned to fit the record: nothing lost, the slice widened.
  for (size_t n : {1u, 600u, 601u, 1300u, 5000u}) {
    std::vector<uint64_t> s(n, 7);
    int64_t ns = 100;
    auto b = vpw::binSlices(s, 600, ns);
    EXPECT_LE(b.size(), 600u);
    EXPECT_EQ(std::accumulate(b.begin(), b.end(), uint64_t(0)), 7 * n);
    EXPECT_EQ(uint64_t(ns) * b.size() >= 100 * n && uint64_t(ns) * b.size() < 200 * n + 200, true) << n;
  }
}

// --- the size rule ----------------------------------------------------------------------

TEST(WriteSize, HalfTheFreeSpaceAndNeverBelowTheReserve) {
  struct Row {
    uint64_t total, free, want;
  } rows[] = {
      {100 * kGiB, 50 * kGiB, 20 * kGiB}, {100 * kGiB, 50 * kGiB, 26 * kGiB}, {100 * kGiB, 12 * kGiB, 1 * kGiB},
      {100 * kGiB, 10 * kGiB, 64 * kMiB}, {8 * kGiB, 3 * kGiB, 900 * kMiB},   {8 * kGiB, 3 * kGiB, 1200 * kMiB},
      {8 * kGiB, 2 * kGiB, 16 * kMiB},    {8 * kGiB, 7 * kGiB, 8 * kMiB},     {4 * kGiB, 4 * kGiB, 2 * kGiB},
  };
  for (const Row& r : rows) {
    // In the words of the rule: at most half the free space, and what stays
    // free is at least a tenth of the volume and at least 2 GiB.
    const uint64_t keep = std::max(r.total / 10, 2 * kGiB);
    const bool fits = r.want <= r.free / 2 && r.free >= r.want && r.free - r.want >= keep && r.want >= 16 * kMiB;
    const std::string no = vpw::refusal({r.total, r.free}, r.want);
    EXPECT_EQ(no.empty(), fits) << r.total << " " << r.free << " " << r.want << ": " << no;
    if (!no.empty() && r.want >= 16 * kMiB) {  // the numbers a user needs
      for (uint64_t n : {r.free, r.total, keep}) EXPECT_NE(no.find(vpw::sizeText(n)), std::string::npos) << no;
    }
  }
  struct Size {
    const char* text;
    std::optional<uint64_t> bytes;
  } sizes[] = {{"4096", 4096}, {"64M", 64 * kMiB}, {"2g", 2 * kGiB}, {"1T", 1024 * kGiB}, {"", {}},
               {"M", {}},      {"64MB", {}},      {"-1", {}},       {"1.5G", {}},          {"99999999999999999999", {}}};
  for (const Size& s : sizes) EXPECT_EQ(vpw::parseSize(s.text), s.bytes) << s.text;
  EXPECT_EQ(vpw::rateText(1.9e9), "1,900 MB/s");
  EXPECT_EQ(vpw::sizeText(12'400'000'000), "12.4 GB");
}

// --- the program on real volumes -----------------------------------------------------------

std::string sh(const std::string& cmd) {
  std::string out;
  vlm::testing::run({"/bin/sh", "-c", cmd + " 2>&1"}, &out);
  return out;
}
uint64_t df(const std::string& field, const std::string& dir) {  // avail, size
  return std::stoull("0" + sh("df -B1 --output=" + field + " " + dir + " | tail -n 1 | tr -d ' \\n'"));
}
uint64_t kernelWritten(const std::string& kernel) {  // bytes, from the device's stat
  std::ifstream in("/sys/block/" + kernel + "/stat");
  uint64_t f[7] = {};
  for (uint64_t& v : f) in >> v;
  return f[6] * 512;
}

// A sparse 6 GiB image with a file system, mounted in a folder of its own.
class VlmperfwriteDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = vlm::testing::loopUnavailable(); !why.empty()) GTEST_SKIP() << why;
    if (access(kWrite.c_str(), X_OK) != 0) GTEST_FAIL() << "not built: " << kWrite;
    dir_ = std::make_unique<vlm::testing::TempDir>();
    disk_ = std::make_unique<vlm::testing::LoopDisk>(dir_->path() + "/img", 6 * (long long)kGiB);
    mnt_ = dir_->path() + "/mnt";
    ASSERT_TRUE(disk_->made() && disk_->attach(0) && mkdir(mnt_.c_str(), 0755) == 0);
    ASSERT_EQ(sh("mkfs.ext4 -q -F " + disk_->node() + " && mount " + disk_->node() + " " + mnt_ + " && echo ok"), "ok\n");
  }
  void TearDown() override {
    if (!mnt_.empty()) sh("umount " + mnt_);
    disk_.reset();
    dir_.reset();
  }
  // Runs the program as the application's runner does; signals it once its output holds `when`.
  struct Run : vlmtest::Outcome {
    double afterSignal = 0;  // seconds from the signal to the end of the output
  };
  Run write(std::vector<std::string> args, const char* when = nullptr, int sig = 0, const char* env = nullptr) {
    args.insert(args.begin(), kWrite);
    double sent = -1;
    Run r{vlmtest::runChild(args, [&](const vlmtest::Child& c) {
      if (!when || c.out.find(when) == std::string::npos) return true;
      kill(c.pid, sig);
      sent = c.elapsed;
      return false;
    }, -1, {}, env)};
    if (sent >= 0) r.afterSignal = r.ended - sent;
    return r;
  }
  std::unique_ptr<vlm::testing::TempDir> dir_;
  std::unique_ptr<vlm::testing::LoopDisk> disk_;
  std::string mnt_;
};

// Three figures, a valid record, the device's counters at least as high as the
// record's bytes, the free space as before and nothing left in the folder:
// with O_TMPFILE and with the hidden name a file system without it gets.
TEST_F(VlmperfwriteDisk, WritesAnUnnamedFileAndLeavesNothing) {
  struct Row {
    const char* env;
    const char* file;
  } rows[] = {{nullptr, "unnamed (O_TMPFILE)"}, {"VLM_WRITE_NO_TMPFILE=1", "hidden name"}};
  if (sh("grep -w vfat /proc/filesystems || modprobe vfat && echo y").empty())
    std::cout << "[   NOTE   ] no vfat in this kernel: the fallback is taken on ext4 through VLM_WRITE_NO_TMPFILE\n";
  for (const Row& row : rows) {
    const uint64_t free0 = df("avail", mnt_), k0 = kernelWritten(disk_->kernel());
    Run r = write({"--seconds", "1", "--size", "64M", mnt_}, nullptr, 0, row.env);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Test file: " + std::string(row.file)), std::string::npos) << r.out;
    const size_t mark = r.out.find('\x1e');
    ASSERT_NE(mark, std::string::npos);
    const std::string json = r.out.substr(mark + 1, r.out.find('\n', mark) - mark - 1);
    EXPECT_EQ(vlmtest::checkRecord(json).problem, "");
    const auto rec = nlohmann::json::parse(json);
    uint64_t bytes = 0;
    for (const auto& ph : rec["phases"]) bytes += ph["bytes"].get<uint64_t>();
    EXPECT_EQ(rec["phases"].size(), 3u);
    EXPECT_GE(kernelWritten(disk_->kernel()) - k0, bytes);
    for (const char* key : {"Write sequential: ", "Write random: ", "Write random QD32: "})
      EXPECT_TRUE(std::regex_search(r.out, std::regex(std::string("\n") + key + "[1-9][0-9]* KB/s\n"))) << key;
    EXPECT_EQ(df("avail", mnt_), free0);
    EXPECT_EQ(sh("ls -A " + mnt_), "lost+found\n");
  }
}

// Refused with a clear message: a device, a read-only mount, a volume too full
// (with df's own figure of its free space in the message).
TEST_F(VlmperfwriteDisk, RefusesDevicesReadOnlyMountsAndFullVolumes) {
  Run dev = write({disk_->node()});
  EXPECT_EQ(dev.status, 2);
  EXPECT_NE(dev.out.find("never writes a device"), std::string::npos) << dev.out;
  // Leaves a little more than the reserve free: 64 MiB are too many.
  const uint64_t keep = std::max(df("size", mnt_) / 10, 2 * kGiB);
  ASSERT_EQ(sh("fallocate -l " + std::to_string(df("avail", mnt_) - keep - 48 * kMiB) + " " + mnt_ + "/filler && echo ok"), "ok\n");
  Run full = write({"--size", "64M", mnt_});
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.out.find("too full"), std::string::npos) << full.out;
  EXPECT_NE(full.out.find(vpw::sizeText(df("avail", mnt_))), std::string::npos) << full.out;
  ASSERT_EQ(sh("mount -o remount,ro " + mnt_ + " && echo ok"), "ok\n");
  Run ro = write({mnt_});
  EXPECT_EQ(ro.status, 2);
  EXPECT_NE(ro.out.find("read-only"), std::string::npos) << ro.out;
}

// Killed mid-run (SIGKILL) or canceled (SIGCONT, the runner's cancel): the free
// space comes back; a cancel ends the program within a second.
TEST_F(VlmperfwriteDisk, KilledOrCanceledMidRunGivesTheSpaceBack) {
  const uint64_t free0 = df("avail", mnt_);
  for (int sig : {SIGKILL, SIGCONT}) {
    Run r = write({"--seconds", "2", "--size", "512M", mnt_}, "Kernel counters, Write sequential", sig);
    if (sig == SIGKILL) {
      EXPECT_EQ(r.status, -SIGKILL) << r.out;
    } else {
      EXPECT_EQ(r.status, 3) << r.out;
      EXPECT_NE(r.out.find("\nCanceled\n"), std::string::npos) << r.out;
      // Bounded by the program's own one-second alarm; the margin is for a loaded machine.
      EXPECT_LT(r.afterSignal, 2.5) << r.out;
    }
    uint64_t now = 0;
    for (int i = 0; i < 50 && (now = df("avail", mnt_)) != free0; ++i) usleep(100000);
    EXPECT_EQ(now, free0) << strsignal(sig);
  }
}

}  // namespace
