// Figures follow the measured device on real loop disks: devices that come and
// go before a refresh, during a test, and between the list and the start of
// the utility. Root only; every loop disk made is detached by its guard.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "disk/disk.h"
#include "perf/record.h"
#include "perf/store.h"
#include "perf/testctl.h"
#include "platform/devnames.h"
#include "platform/platform.h"
#include "table/poolcore.h"
#include "tests/disk/records.h"
#include "tests/helpers/schema_check.h"
#include "tests/platform/loop_guard.h"
#include "util/alerts.h"
#include "util/startup.h"

using namespace vlm;
using namespace vlm::testing;

namespace {

// The test road without a window: the row is chosen by the test, the refresh
// rebuilds the live list, and hook runs at the first progress value.
class LoopUi : public TestUi {
 public:
  explicit LoopUi(PoolCore& pool) : pool_(pool) {}
  int row = -1;
  std::function<void()> hook;
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
    pool_.Reload("", 0);
  }

 private:
  PoolCore& pool_;
};

struct Machine {
  ScopedRecordingSeam seam;
  PoolCore pool;
  TempDir dir;
  std::unique_ptr<LoopDisk> a = disk("a"), b = disk("b");
  const char* savedUtil = perfutilpath;

  vlmtest::StoreGuard store;

  Machine() { setPlatform(linuxPlatform()); }
  ~Machine() {
    perfutilpath = savedUtil;
    std::lock_guard<std::recursive_mutex> lock(disklock);
    diskzap();
  }
  std::unique_ptr<LoopDisk> disk(const std::string& name) {
    auto d = std::make_unique<LoopDisk>(dir.path() + "/" + name + ".img", 8 << 20);
    return d->made() && d->attach(0) ? std::move(d) : nullptr;
  }
  void reload() {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    pool.Reload("", 0);
  }
  static int rowOf(const std::string& kernel) {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    for (int i = 0; i < ndiskarray; ++i)
      if (kernel == diskarray[i]->devloc) return i;
    return -1;
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
  void test(LoopUi& ui, int row, const std::string& utility) {
    perfutilpath = utility.c_str();
    ui.row = row;
    TestControl ctl(ui);
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
  m.reload();
  const std::string keep = m.b->kernel();
  {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    for (int i = 0; i < ndiskarray; ++i) {
      const DISKINFO_* r = diskarray[i];
      const char* figures = m.a->kernel() == r->devloc ? "Sequential: 7\nRandom: 7\nDual: 7\nThreaded: 7\n"
                            : keep == r->devloc        ? "Sequential: 9\nRandom: 9\nDual: 9\nThreaded: 9\n"
                                                       : nullptr;
      const std::string dev = std::string("disk") + r->bsdname;
      if (figures) {
        ASSERT_EQ(perfcapture(dev.c_str(), r->devid, figures), 0);
      }
    }
  }
  m.a->detach();
  m.reload();
  EXPECT_EQ(Machine::withFigures(), std::vector<std::string>{keep + ": 9"});
}

// A disk goes while the other is measured: the figures land on the measured
// disk's row after the refresh that ends the test.
TEST(FollowDevice, DetachDuringTest) {
  Machine m;
  SKIP_UNLESS_LOOP(m);
  m.reload();
  LoopUi ui(m.pool);
  ui.hook = [&m] { m.a->detach(); };
  const std::string measured = m.b->kernel();
  std::string gone;  // by identity: another program may attach under the kernel name
  {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    gone = diskarray[Machine::rowOf(m.a->kernel())]->devid;
  }
  m.test(ui, Machine::rowOf(measured), kStub);
  EXPECT_EQ(ui.hook, nullptr) << "the utility made no progress";
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
    m.reload();
    LoopUi ui(m.pool);
    const bool aFirst = Machine::rowOf(m.a->kernel()) < Machine::rowOf(m.b->kernel());
    auto& first = aFirst ? m.a : m.b;
    const std::string listed = (replaced ? first : aFirst ? m.b : m.a)->kernel();
    const int row = Machine::rowOf(listed);
    std::string name, id;
    {
      std::lock_guard<std::recursive_mutex> lock(disklock);
      name = std::string("disk") + diskarray[row]->bsdname;
      id = diskarray[row]->devid;
    }
    std::unique_ptr<LoopDisk> c = replaced ? nullptr : m.disk("c");  // usually after the others
    first.reset();
    if (replaced) c = m.disk("c");  // usually under the gone disk's kernel name
    const bool changed = devnames::identityOf(name) != id;
    m.test(ui, row, kUtil);
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

// A real measurement through the test control: the program's record of it is
// valid against the schema (python3-jsonschema) and names the measured disk.
TEST(FollowDevice, RecordOfARealTest) {
  Machine m;
  SKIP_UNLESS_LOOP(m);
  if (access(kUtil.c_str(), X_OK) != 0) GTEST_SKIP() << "utility not built: " << kUtil;
  m.reload();
  LoopUi ui(m.pool);
  const int row = Machine::rowOf(m.b->kernel());
  std::string dev, id;
  {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    dev = std::string("disk") + diskarray[row]->bsdname;
    id = diskarray[row]->devid;
  }
  m.test(ui, row, kUtil);
  const std::optional<Record> rec = lastRecord(dev, id.c_str());
  ASSERT_TRUE(rec.has_value()) << m.seam.seam.alerts.back().msg;
  const auto verdict = vlmtest::checkRecord(rec->dump());
  ASSERT_TRUE(verdict.available) << "python3-jsonschema is needed";
  EXPECT_EQ(verdict.problem, "") << rec->dump(2);
  EXPECT_EQ((*rec)["result"], "Ok") << m.seam.seam.alerts.back().msg;
  EXPECT_EQ((*rec)["device"]["node"], "/dev/" + m.b->kernel());
  EXPECT_EQ((*rec)["device"]["id"], id);
  EXPECT_EQ((*rec)["parameters"]["seconds"], 1);
  EXPECT_EQ((*rec)["phases"].size(), 4u);
}
