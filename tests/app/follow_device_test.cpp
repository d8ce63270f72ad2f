// Figures follow the measured device on real loop disks: devices that come and
// go before a refresh, during a test, and between the list and the start of
// the utility. Root only; every loop disk made is detached by its guard. The
// records of real runs are checked against their schema in
// tests/perf/vlmperfutil_test.cpp.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "disk/disk.h"
#include "perf/store.h"
#include "perf/testctl.h"
#include "platform/devnames.h"
#include "platform/platform.h"
#include "table/poolcore.h"
#include "tests/disk/records.h"
#include "tests/platform/loop_guard.h"
#include "util/alerts.h"
#include "util/startup.h"

using namespace vlm;
using namespace vlm::testing;

namespace {

// Two loop disks, and the test road without a window: the row is chosen by
// the test, the refresh rebuilds the live list, and hook runs at the first
// progress value.
struct Machine : TestUi {
  ScopedRecordingSeam seam;
  PoolCore pool;
  TempDir dir;
  std::unique_ptr<LoopDisk> a = disk("a"), b = disk("b");
  const char* savedUtil = perfutilpath;
  vlmtest::StoreGuard store;
  int row = -1;
  std::function<void()> hook;

  Machine() { setPlatform(linuxPlatform()); }
  ~Machine() override {
    perfutilpath = savedUtil;
    std::lock_guard<std::recursive_mutex> lock(disklock);
    diskzap();
  }
  int selectedRow() override { return row; }
  int testSeconds() override { return 1; }
  bool hasProgressWindow() override { return true; }
  void progressStart() override {}
  void showProgressWindow(const std::string&) override {}
  void progressReset() override {}
  void progressSet(double) override {
    if (hook) std::exchange(hook, nullptr)();
  }
  void progressStop() override {}
  void refresh() override {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    pool.Reload("", 0);
  }

  std::unique_ptr<LoopDisk> disk(const std::string& name) {
    auto d = std::make_unique<LoopDisk>(dir.path() + "/" + name + ".img", 8 << 20);
    return d->made() && d->attach(0) ? std::move(d) : nullptr;
  }
  static int rowOf(const std::string& kernel) {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    for (int i = 0; i < ndiskarray; ++i)
      if (kernel == diskarray[i]->devloc) return i;
    return -1;
  }
  // "diskN" and the identity of row.
  static std::pair<std::string, std::string> nameOf(int row) {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    return {std::string("disk") + diskarray[row]->bsdname, diskarray[row]->devid};
  }
  // "kernel name: sequential figure" of each row that shows figures.
  static std::vector<std::string> withFigures() {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    std::vector<std::string> out;
    for (int i = 0; i < ndiskarray; ++i)
      if (diskarray[i]->perf.seqkps > 0)
        out.push_back(std::string(diskarray[i]->devloc) + ": " + std::to_string(diskarray[i]->perf.seqkps));
    return out;
  }
  // Runs one test of row through the test control, with utility.
  void test(int r, const std::string& utility) {
    perfutilpath = utility.c_str();
    row = r;
    TestControl ctl(*this);
    ctl.Testmedia();
    ctl.join();
  }
};

#define SKIP_UNLESS_LOOP(m)                                        \
  do {                                                             \
    std::string why = loopUnavailable();                           \
    if (!why.empty()) GTEST_SKIP() << "loop disks: " << why;       \
    if (!(m).a || !(m).b) GTEST_SKIP() << "can't attach two loop disks"; \
  } while (0)

const std::string kStub = std::string(VLM_HELPERS) + "/stub_util";
const std::string kUtil = VLM_BUNDLE_DIR "/Contents/Resources/vlmperfutil";

}  // namespace

// Both disks measured; one goes; after the refresh the other shows its own
// figures, whatever name it has now, and nothing shows the gone one's.
TEST(FollowDevice, DetachAndRefresh) {
  Machine m;
  SKIP_UNLESS_LOOP(m);
  m.refresh();
  const std::string keep = m.b->kernel();
  for (const auto& [kernel, f] : {std::pair<std::string, std::string>{m.a->kernel(), "7"}, {keep, "9"}}) {
    const auto [dev, id] = Machine::nameOf(Machine::rowOf(kernel));
    const std::string out = "Sequential: " + f + "\nRandom: " + f + "\nDual: " + f + "\nThreaded: " + f + "\n";
    ASSERT_EQ(perfcapture(dev.c_str(), id.c_str(), out.c_str()), 0);
  }
  m.a->detach();
  m.refresh();
  EXPECT_EQ(Machine::withFigures(), std::vector<std::string>{keep + ": 9"});
}

// A disk goes while the other is measured: the figures land on the measured
// disk's row after the refresh that ends the test.
TEST(FollowDevice, DetachDuringTest) {
  Machine m;
  SKIP_UNLESS_LOOP(m);
  m.refresh();
  m.hook = [&m] { m.a->detach(); };
  const std::string measured = m.b->kernel();
  // By identity: another program may attach under the kernel name.
  const std::string gone = Machine::nameOf(Machine::rowOf(m.a->kernel())).second;
  m.test(Machine::rowOf(measured), kStub);
  EXPECT_EQ(m.hook, nullptr) << "the utility made no progress";
  std::lock_guard<std::recursive_mutex> lock(disklock);
  EXPECT_EQ(diskrow(gone.c_str(), ""), -1);
  EXPECT_EQ(Machine::withFigures(), std::vector<std::string>{measured + ": 523"});
}

// Between the list and the start of the utility a disk went: the listed one,
// another taking its place, or the one before it, which renames the listed
// one. Only the listed disk may show figures; a name that now means another
// disk is refused and nothing is stored.
TEST(FollowDevice, ChangedBeforeStart) {
  if (access(kUtil.c_str(), X_OK) != 0) GTEST_SKIP() << "utility not built: " << kUtil;
  for (bool replaced : {true, false}) {
    SCOPED_TRACE(replaced ? "replaced" : "renamed");
    Machine m;
    SKIP_UNLESS_LOOP(m);
    m.refresh();
    const bool aFirst = Machine::rowOf(m.a->kernel()) < Machine::rowOf(m.b->kernel());
    auto& first = aFirst ? m.a : m.b;
    const std::string listed = (replaced ? first : aFirst ? m.b : m.a)->kernel();
    const int row = Machine::rowOf(listed);
    const auto [name, id] = Machine::nameOf(row);
    std::unique_ptr<LoopDisk> c = replaced ? nullptr : m.disk("c");  // usually after the others
    first.reset();
    if (replaced) c = m.disk("c");  // usually under the gone disk's kernel name
    const bool changed = devnames::identityOf(name) != id;
    m.test(row, kUtil);
    ASSERT_FALSE(m.seam.seam.alerts.empty());
    const auto& result = m.seam.seam.alerts.back();
    if (changed) {
      EXPECT_EQ(result.buttons, std::vector<std::string>{"Failed"}) << result.msg;
      EXPECT_NE(result.msg.find("the device changed since the list was read; refresh and try again"),
                std::string::npos) << result.msg;
    }
    for (const std::string& f : Machine::withFigures()) EXPECT_EQ(f.substr(0, f.find(':')), listed);
  }
}
