// Test control with a fake window and the stand-in utility (tests/helpers/stub_util).
#include "perf/testctl.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "disk/disk.h"
#include "perf/store.h"
#include "util/alerts.h"
#include "util/prog.h"
#include "util/startup.h"

namespace {

std::string helper(const std::string& name) { return std::string(VLM_HELPERS) + "/" + name; }

// Records what the test road asks of the window.
class FakeUi : public vlm::TestUi {
 public:
  int row = 0;
  bool window = true;
  std::function<void(double)> onProgress;
  std::function<void()> onRefresh;

  int selectedRow() override { return row; }
  bool hasProgressWindow() override { return window; }
  void progressStart() override { note("start"); }
  void showProgressWindow(const std::string& title) override { note("show:" + title); }
  void progressReset() override { note("reset"); }
  void progressSet(double v) override {
    note("", v);
    if (onProgress) onProgress(v);
  }
  void progressStop() override { note("stop"); }
  void refresh() override {
    note("refresh");
    if (onRefresh) onRefresh();
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> l(m_);
    return events_;
  }
  std::vector<double> values() {
    std::lock_guard<std::mutex> l(m_);
    return values_;
  }

 private:
  void note(const std::string& e, double v = -1) {
    std::lock_guard<std::mutex> l(m_);
    if (v >= 0) values_.push_back(v);
    else events_.push_back(e);
  }
  std::mutex m_;
  std::vector<std::string> events_;
  std::vector<double> values_;
};

// A display array of records (bsdname, finder) for the test's lifetime.
struct FakeList {
  std::vector<DISKINFO_> recs;
  std::vector<DISKINFO_*> ptrs;
  DISKINFO_** savedArray = diskarray;
  int savedCount = ndiskarray;
  FakeList(std::initializer_list<std::pair<std::string, std::string>> rows) : recs(rows.size()) {
    for (const auto& [bsd, finder] : rows) {
      DISKINFO_& r = recs[ptrs.size()];
      zcpfield(r.bsdname, bsd.c_str());
      zcpfield(r.finder, finder.c_str());
      ptrs.push_back(&r);
    }
    std::lock_guard<std::recursive_mutex> l(disklock);
    diskarray = ptrs.data();
    ndiskarray = static_cast<int>(ptrs.size());
  }
  ~FakeList() {
    std::lock_guard<std::recursive_mutex> l(disklock);
    diskarray = savedArray;
    ndiskarray = savedCount;
  }
};

// The stand-in utility in one of its modes as perfutilpath, for the test's lifetime.
struct Utility {
  std::string path;
  const char* saved = perfutilpath;
  explicit Utility(const char* mode = "ok", std::string p = helper("stub_util")) : path(std::move(p)) {
    perfutilpath = path.c_str();
    setenv("VLM_STUB_MODE", mode, 1);
  }
  ~Utility() {
    perfutilpath = saved;
    unsetenv("VLM_STUB_MODE");
  }
};

const vlm::RecordingAlertSeam::Alert* resultAlert(const vlm::RecordingAlertSeam& seam) {
  for (auto& a : seam.alerts)
    if (a.title == "Test Media:" && a.buttons.size() == 1) return &a;
  return nullptr;
}

// Requests that end before a test starts (the last one at the question): one
// alert each, and nothing asked of the window.
TEST(TestControl, RefusedRequests) {
  const std::vector<std::string> ok{"Ok"}, question{"Ok", "Cancel"};
  const struct {
    int row;
    bool window;
    int testing;
    const char *title, *message;
    const std::vector<std::string>& buttons;
  } cases[] = {
      {-1, true, 0, "Test Media", "You must select a device to test.", ok},
      {2, true, 0, "Test Media", "You must select a device to test.", ok},
      {0, true, 1, "Test Media", "A test is already running, you must wait for it to complete.", ok},
      {0, false, 0, "Test Media", "Can't find the Percent Window?.", ok},
      {0, true, 0, "Test Media:", "You are about to test /dev/disk1. THIS WILL TAKE SERVERAL MINUTES.",
       question},
  };
  FakeList list{{"1", "A"}, {"1s1", "B"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    vlm::ScopedRecordingSeam seam;
    seam.seam.answers = {1};  // Cancel
    FakeUi ui;
    ui.row = c.row;
    ui.window = c.window;
    Testing.store(c.testing);
    {
      vlm::TestControl ctl(ui);
      ctl.Testmedia();
    }
    EXPECT_EQ(Testing.exchange(0), c.testing);
    ASSERT_EQ(seam.seam.alerts.size(), 1u);
    EXPECT_EQ(seam.seam.alerts[0].title, c.title);
    EXPECT_EQ(seam.seam.alerts[0].msg, c.message);
    EXPECT_EQ(seam.seam.alerts[0].buttons, c.buttons);
    EXPECT_TRUE(ui.events().empty());
  }
}

TEST(TestControl, WholeRunStoresFiguresAndRefreshesAfterAlert) {
  FakeList list{{"0", "System"}, {"90s2", "Data Vol"}};
  Utility util;
  vlm::ScopedRecordingSeam seam;
  FakeUi ui;
  ui.row = 1;
  size_t alertsAtRefresh = 0;
  int testingAtRefresh = -1;
  ui.onRefresh = [&] {
    alertsAtRefresh = seam.seam.alerts.size();
    testingAtRefresh = Testing.load();
  };
  vlm::TestControl ctl(ui);
  ctl.Testmedia();
  ctl.join();

  EXPECT_STREQ(Testdev, "disk90s2");
  EXPECT_STREQ(Testname, "Data Vol");
  EXPECT_EQ(ui.events(), (std::vector<std::string>{"start", "show:Testing: /dev/disk90s2", "reset",
                                                   "stop", "refresh"}));
  // Progress values arrive in the utility's order and end at 100.
  std::vector<double> v = ui.values();
  ASSERT_FALSE(v.empty());
  EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
  EXPECT_EQ(v.back(), 100);

  const auto* a = resultAlert(seam.seam);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->buttons, std::vector<std::string>{"Ok"});
  EXPECT_EQ(a->msg,
            "stub: testing /dev/disk90s2\n"
            "args: 3 [-T] [disk90s2] [Data Vol]\n"
            "Block size: 4096\n"
            "Sequential: 523.7\nRandom: 81\nDual: 610\nThreaded: 587\n");
  EXPECT_EQ(alertsAtRefresh, 2u);  // question and result, both before the refresh
  EXPECT_EQ(testingAtRefresh, 0);
  EXPECT_EQ(Testing.load(), 0);
  EXPECT_EQ(ctl.Canceled.load(), 0);

  DISKPERF_ p{};
  ASSERT_TRUE(perfget("disk90s2", "", p));
  EXPECT_EQ(std::tie(p.seqkps, p.randkps, p.dualkps, p.threadkps), std::make_tuple(523, 81, 610, 587));
}

TEST(TestControl, FailedUtilityKeepsFigures) {
  FakeList list{{"91", "Disk"}};
  vlm::ScopedRecordingSeam seam;
  FakeUi ui;
  {
    Utility util;
    vlm::TestControl ctl(ui);
    ctl.Testmedia();
    ctl.join();
  }
  Utility util("fail");
  seam.seam.alerts.clear();
  vlm::TestControl ctl(ui);
  ctl.Testmedia();
  ctl.join();

  const auto* a = resultAlert(seam.seam);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->buttons, std::vector<std::string>{"Failed"});
  EXPECT_NE(a->msg.find("stub: can't open /dev/disk91\n"), std::string::npos);
  DISKPERF_ p{};
  ASSERT_TRUE(perfget("disk91", "", p));
  EXPECT_EQ(p.seqkps, 523);  // not the failed run's 1 2 3 4
  EXPECT_EQ(p.threadkps, 587);
  EXPECT_EQ(ui.events().back(), "refresh");
  EXPECT_EQ(Testing.load(), 0);
}

TEST(TestControl, VolumeNameArgument) {
  struct Case {
    std::string finder, arg;
  };
  const Case cases[] = {
      {"", "[]"},
      {"two words", "[two words]"},
      {std::string(100, 'n'), "[" + std::string(63, 'n') + "]"},
  };
  Utility util;
  for (const Case& c : cases) {
    FakeList list{{"92", c.finder}};
    vlm::ScopedRecordingSeam seam;
    FakeUi ui;
    vlm::TestControl ctl(ui);
    ctl.Testmedia();
    ctl.join();
    const auto* a = resultAlert(seam.seam);
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a->msg.find("args: 3 [-T] [disk92] " + c.arg + "\n"), std::string::npos) << a->msg;
  }
}

TEST(TestControl, CancelSendsOneSignalAndReportsNormally) {
  FakeList list{{"93", "Slow"}};
  Utility util("wait");
  vlm::ScopedRecordingSeam seam;
  FakeUi ui;
  vlm::TestControl ctl(ui);
  bool once = false;
  ui.onProgress = [&](double) {
    if (!once) {
      once = true;
      ctl.Testcancel();
      ctl.Testcancel();
    }
  };
  ctl.Testmedia();
  ctl.join();
  const auto* a = resultAlert(seam.seam);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->buttons, std::vector<std::string>{"Failed"});  // the stub exits 3 on cancel
  EXPECT_NE(a->msg.find("Canceled\nSIGCONT: 1\n"), std::string::npos) << a->msg;
  EXPECT_EQ(ctl.Canceled.load(), 0);
  EXPECT_EQ(Testing.load(), 0);
  EXPECT_EQ(ui.events().back(), "refresh");
}

TEST(TestControl, MissingUtilityIsFatalOnTheWorker) {
  FakeList list{{"96", "Z"}};
  Utility util("ok", "/nonexistent/vlmperfutil");
  vlm::ScopedRecordingSeam seam;
  FakeUi ui;
  vlm::TestControl ctl(ui);
  ctl.Testmedia();
  ctl.join();
  ASSERT_EQ(seam.seam.alerts.size(), 2u);
  EXPECT_EQ(seam.seam.alerts[1].title, "Velmora: Fatal Error");
  EXPECT_EQ(seam.seam.alerts[1].msg, "run2mem: can't find: /nonexistent/vlmperfutil");
  EXPECT_EQ(Testing.load(), 0);  // the test seam's fatal error returns; the run is over
}

TEST(TestControl, NewTestWhileRefreshing) {
  // Testing is 0 during the refresh, so the user may start the next test
  // while the first worker still rebuilds the list.
  FakeList list{{"95", "Y"}};
  Utility util;
  vlm::ScopedRecordingSeam seam;
  FakeUi ui;
  vlm::TestControl ctl(ui);
  std::mutex m;
  std::condition_variable cv;
  int refreshes = 0;
  bool second = false;
  ui.onRefresh = [&] {
    std::unique_lock<std::mutex> l(m);
    if (++refreshes == 1) {
      cv.notify_all();
      cv.wait(l, [&] { return second; });
    }
  };
  ctl.Testmedia();
  {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return refreshes == 1; });
  }
  EXPECT_EQ(Testing.load(), 0);
  ctl.Testmedia();
  EXPECT_EQ(Testing.load(), 1);
  {
    std::lock_guard<std::mutex> l(m);
    second = true;
    cv.notify_all();
  }
  ctl.join();
  EXPECT_EQ(refreshes, 2);
  EXPECT_EQ(Testing.load(), 0);
  EXPECT_EQ(seam.seam.alerts.size(), 4u);  // two questions, two results
}

}  // namespace
