// Test control with a fake window and the stand-in utility (tests/helpers/stub_util).
#include "perf/testctl.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "util/alerts.h"
#include "util/startup.h"
#include "disk/disk.h"
#include "perf/store.h"
#include "platform/devnames.h"

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
    {
      std::lock_guard<std::mutex> l(m_);
      values_.push_back(v);
    }
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
  void note(const std::string& e) {
    std::lock_guard<std::mutex> l(m_);
    events_.push_back(e);
  }
  std::mutex m_;
  std::vector<std::string> events_;
  std::vector<double> values_;
};

// A display array of fake records (bsdname, finder) for the test's lifetime.
class FakeList {
 public:
  FakeList(std::initializer_list<std::pair<std::string, std::string>> init) : recs_(init.size()) {
    std::vector<std::pair<std::string, std::string>> rows(init);
    for (size_t i = 0; i < rows.size(); ++i) {
      std::memset(&recs_[i], 0, sizeof(DISKINFO_));
      std::snprintf(recs_[i].bsdname, sizeof recs_[i].bsdname, "%s", rows[i].first.c_str());
      std::snprintf(recs_[i].finder, sizeof recs_[i].finder, "%s", rows[i].second.c_str());
      ptrs_.push_back(&recs_[i]);
    }
    std::lock_guard<std::recursive_mutex> l(disklock);
    savedArray_ = diskarray;
    savedCount_ = ndiskarray;
    diskarray = ptrs_.data();
    ndiskarray = static_cast<int>(ptrs_.size());
  }
  ~FakeList() {
    std::lock_guard<std::recursive_mutex> l(disklock);
    diskarray = savedArray_;
    ndiskarray = savedCount_;
  }

 private:
  std::vector<DISKINFO_> recs_;
  std::vector<DISKINFO_*> ptrs_;
  DISKINFO_** savedArray_;
  int savedCount_;
};

// Points perfutilpath at a helper for the test's lifetime.
class UtilityPath {
 public:
  explicit UtilityPath(const std::string& path) : path_(path), saved_(perfutilpath) {
    perfutilpath = path_.c_str();
  }
  ~UtilityPath() { perfutilpath = saved_; }

 private:
  std::string path_;
  const char* saved_;
};

// A copy of stub_util under a name that selects its mode ("stub_util-fail").
class StubMode {
 public:
  explicit StubMode(const std::string& mode) {
    char tmpl[] = "/tmp/vlm-stub-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/stub_util-" + mode;
    EXPECT_EQ(symlink(helper("stub_util").c_str(), path_.c_str()), 0);
  }
  ~StubMode() {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string dir_, path_;
};

bool stored(const char* dev, DISKPERF_* out) {
  std::lock_guard<std::mutex> l(storelock);
  for (DISKSTAT_* e = diskstat0; e; e = e->next)
    if (strcasecmp(e->name, dev) == 0) {
      *out = e->perf;
      return true;
    }
  return false;
}

const vlm::RecordingAlertSeam::Alert* resultAlert(const vlm::RecordingAlertSeam& seam) {
  for (auto& a : seam.alerts)
    if (a.title == "Test Media:" && a.buttons.size() == 1) return &a;
  return nullptr;
}

TEST(TestControl, RefusedRequests) {
  struct Case {
    const char* what;
    int row;
    bool window;
    int testing;
    const char* message;
  };
  const Case cases[] = {
      {"nothing selected", -1, true, 0, "You must select a device to test."},
      {"row past the list", 2, true, 0, "You must select a device to test."},
      {"test running", 0, true, 1, "A test is already running, you must wait for it to complete."},
      {"no progress window", 0, false, 0, "Can't find the Percent Window?."},
  };
  FakeList list{{"1", "A"}, {"1s1", "B"}};
  for (const Case& c : cases) {
    vlm::ScopedRecordingSeam seam;
    FakeUi ui;
    ui.row = c.row;
    ui.window = c.window;
    Testing.store(c.testing);
    {
      vlm::TestControl ctl(ui);
      ctl.Testmedia();
    }
    EXPECT_EQ(Testing.load(), c.testing) << c.what;
    Testing.store(0);
    ASSERT_EQ(seam.seam.alerts.size(), 1u) << c.what;
    EXPECT_EQ(seam.seam.alerts[0].title, "Test Media") << c.what;
    EXPECT_EQ(seam.seam.alerts[0].msg, c.message) << c.what;
    EXPECT_EQ(seam.seam.alerts[0].buttons, std::vector<std::string>{"Ok"}) << c.what;
    EXPECT_TRUE(ui.events().empty()) << c.what;
  }
}

TEST(TestControl, CancelAtQuestionStartsNothing) {
  FakeList list{{"2s3", "Data"}};
  vlm::ScopedRecordingSeam seam;
  seam.seam.answers = {1};
  FakeUi ui;
  vlm::TestControl ctl(ui);
  ctl.Testmedia();
  ctl.join();
  ASSERT_EQ(seam.seam.alerts.size(), 1u);
  EXPECT_EQ(seam.seam.alerts[0].title, "Test Media:");
  EXPECT_EQ(seam.seam.alerts[0].msg,
            "You are about to test /dev/disk2s3. THIS WILL TAKE SERVERAL MINUTES.");
  EXPECT_EQ(seam.seam.alerts[0].buttons, (std::vector<std::string>{"Ok", "Cancel"}));
  EXPECT_EQ(Testing.load(), 0);
  EXPECT_TRUE(ui.events().empty());
}

TEST(TestControl, WholeRunStoresFiguresAndRefreshesAfterAlert) {
  FakeList list{{"0", "System"}, {"90s2", "Data Vol"}};
  UtilityPath util(helper("stub_util"));
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
  ASSERT_TRUE(stored("disk90s2", &p));
  EXPECT_EQ(p.seqkps, 523);
  EXPECT_EQ(p.randkps, 81);
  EXPECT_EQ(p.dualkps, 610);
  EXPECT_EQ(p.threadkps, 587);
}

TEST(TestControl, FailedUtilityKeepsFigures) {
  FakeList list{{"91", "Disk"}};
  vlm::ScopedRecordingSeam seam;
  FakeUi ui;
  {
    UtilityPath util(helper("stub_util"));
    vlm::TestControl ctl(ui);
    ctl.Testmedia();
    ctl.join();
  }
  StubMode fail("fail");
  UtilityPath util(fail.path());
  seam.seam.alerts.clear();
  vlm::TestControl ctl(ui);
  ctl.Testmedia();
  ctl.join();

  const auto* a = resultAlert(seam.seam);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->buttons, std::vector<std::string>{"Failed"});
  EXPECT_NE(a->msg.find("stub: can't open /dev/disk91\n"), std::string::npos);
  DISKPERF_ p{};
  ASSERT_TRUE(stored("disk91", &p));
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
  UtilityPath util(helper("stub_util"));
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
  StubMode wait("wait");
  UtilityPath util(wait.path());
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
  UtilityPath util("/nonexistent/vlmperfutil");
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

// Holds the result alert open until released, answering everything else at once.
class HoldingSeam : public vlm::AlertSeam {
 public:
  int alert(const std::string& title, const std::string& msg,
            const std::vector<std::string>& buttons) override {
    std::unique_lock<std::mutex> l(m_);
    seen.push_back(msg);
    if (title == "Test Media:" && buttons.size() == 1) {
      holding_ = true;
      cv_.notify_all();
      cv_.wait(l, [&] { return released_; });
    }
    return 0;
  }
  void quit() override {}
  void waitHolding() {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait(l, [&] { return holding_; });
  }
  void release() {
    std::lock_guard<std::mutex> l(m_);
    released_ = true;
    cv_.notify_all();
  }
  std::vector<std::string> seen;

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool holding_ = false, released_ = false;
};

TEST(TestControl, RefusedWhileResultAlertOpen) {
  FakeList list{{"94", "X"}};
  UtilityPath util(helper("stub_util"));
  HoldingSeam seam;
  vlm::AlertSeam* prev = vlm::setAlertSeam(&seam);
  FakeUi ui;
  {
    vlm::TestControl ctl(ui);
    ctl.Testmedia();
    seam.waitHolding();
    EXPECT_EQ(Testing.load(), 1);
    ctl.Testmedia();  // the refusal is answered at once
    seam.release();
    ctl.join();
  }
  vlm::setAlertSeam(prev);
  ASSERT_EQ(seam.seen.size(), 3u);
  EXPECT_EQ(seam.seen[2], "A test is already running, you must wait for it to complete.");
  EXPECT_EQ(Testing.load(), 0);
}

TEST(TestControl, NewTestWhileRefreshing) {
  // Testing is 0 during the refresh, so the user may start the next test
  // while the first worker still rebuilds the list.
  FakeList list{{"95", "Y"}};
  UtilityPath util(helper("stub_util"));
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

// A 64 MiB loop device over a temporary file, detached again at the end.
class LoopDevice {
 public:
  LoopDevice() {
    if (geteuid() != 0) {
      why_ = "needs root";
      return;
    }
    char tmpl[] = "/tmp/vlm-testctl-XXXXXX";
    int fd = mkstemp(tmpl);
    file_ = tmpl;
    if (fd < 0 || ftruncate(fd, 64 << 20) != 0) why_ = "can't make the backing file";
    if (fd >= 0) close(fd);
    if (!why_.empty()) return;
    FILE* p = popen(("losetup -f --show " + file_ + " 2>/dev/null").c_str(), "r");
    char line[64] = "";
    if (p && std::fgets(line, sizeof line, p)) node_ = line;
    if (p) pclose(p);
    if (!node_.empty() && node_.back() == '\n') node_.pop_back();
    if (node_.empty()) why_ = "no free loop device";
  }
  ~LoopDevice() {
    if (!node_.empty()) std::system(("losetup -d " + node_).c_str());
    if (!file_.empty()) unlink(file_.c_str());
  }
  const std::string& why() const { return why_; }
  const std::string& node() const { return node_; }

 private:
  std::string file_, node_, why_;
};

TEST(TestControl, CancelWithTheRealUtility) {
  std::string util = std::string(VLM_BUNDLE_DIR) + "/Contents/Resources/vlmperfutil";
  if (!std::filesystem::exists(util)) GTEST_SKIP() << "vlmperfutil is not built: " << util;
  LoopDevice loop;
  if (!loop.why().empty()) GTEST_SKIP() << "loop device: " << loop.why();
  std::string name;
  for (const auto& d : vlm::devnames::scan())
    if (d.node == loop.node()) name = d.name;
  ASSERT_FALSE(name.empty()) << loop.node();

  FakeList list{{name.substr(4), ""}};
  UtilityPath path(util);
  vlm::ScopedRecordingSeam seam;
  FakeUi ui;
  vlm::TestControl ctl(ui);
  bool once = false;
  ui.onProgress = [&](double) {
    if (!once) {
      once = true;
      ctl.Testcancel();
    }
  };
  ctl.Testmedia();
  ctl.join();
  const auto* a = resultAlert(seam.seam);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->buttons, std::vector<std::string>{"Failed"}) << a->msg;
  EXPECT_NE(a->msg.find("Canceled"), std::string::npos) << a->msg;
  EXPECT_EQ(a->msg.find("Percent: "), std::string::npos);
  EXPECT_EQ(Testing.load(), 0);
  EXPECT_EQ(ui.events().back(), "refresh");
}

}  // namespace
