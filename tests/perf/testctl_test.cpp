// Test control with a fake window and the stand-in utility (tests/helpers/stub_util).
#include "perf/testctl.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "disk/disk.h"
#include "perf/history.h"
#include "perf/store.h"
#include "tests/helpers/schema_check.h"
#include "tests/platform/loop_guard.h"
#include "tests/disk/records.h"
#include "util/alerts.h"
#include "util/prog.h"
#include "util/startup.h"

namespace {

// Records what the test road asks of the window; read once the worker is joined.
class FakeUi : public vlm::TestUi {
 public:
  explicit FakeUi(int selected = 0, bool progressWindow = true) : row(selected), window(progressWindow) {}
  int row;
  bool window;
  std::function<void(double)> onProgress;
  std::function<void()> onRefresh;
  std::vector<std::string> events;
  std::vector<double> values;

  int seconds = 0;
  std::function<bool()> onReady;  // before the question
  int selectedRow() override { return row; }
  int testSeconds() override { return seconds; }
  bool utilityReady() override { return !onReady || onReady(); }
  bool hasProgressWindow() override { return window; }
  void progressStart() override { note("start"); }
  void showProgressWindow(const std::string& title) override { note("show:" + title); }
  void progressReset() override { note("reset"); }
  void progressSet(double v) override {
    values.push_back(v);
    if (onProgress) onProgress(v);
  }
  void progressStop() override { note("stop"); }
  void refresh() override {
    note("refresh");
    if (onRefresh) onRefresh();
  }

 private:
  void note(const std::string& e) {
    std::lock_guard<std::mutex> l(m_);  // the retired worker's refresh may meet the next one's start
    events.push_back(e);
  }
  std::mutex m_;
};

// A list of (bsdname, finder) records and its display array, emptied at the
// end. A disk of an "8..." name is the kernel's vd<bsd>, 1 GiB, model "Vendor
// Disk", identity id-<bsd>.
struct FakeList : vlmtest::ListGuard {
  FakeList(std::initializer_list<std::pair<const char*, std::string>> rows) {
    for (const auto& [bsd, finder] : rows) {
      DISKINFO_* r = vlmtest::addrec(bsd);
      zcpfield(r->finder, finder.c_str());
      if (bsd[0] != '8') continue;
      std::snprintf(r->devloc, sizeof r->devloc, "vd%s", bsd);
      std::snprintf(r->devid, sizeof r->devid, "id-%s", bsd);
      zcpfield(r->name, "Vendor Disk");
      r->size = 1LL << 30;
    }
    diskinfo('A');
  }
};

// The stand-in utility in one of its modes as perfutilpath, for the test's lifetime.
struct Utility {
  const char* saved = perfutilpath;
  explicit Utility(const char* mode = "ok", const char* path = VLM_HELPERS "/stub_util") {
    perfutilpath = path;
    setenv("VLM_STUB_MODE", mode, 1);
  }
  ~Utility() {
    perfutilpath = saved;
    unsetenv("VLM_STUB_MODE");
  }
};

// Requests that end before a test starts (the last one at the question): one
// alert each, and nothing asked of the window.
TEST(TestControl, RefusedRequests) {
  const std::vector<std::string> ok{"Ok"}, question{"Ok", "Cancel"};
  const struct {
    int row, testing;
    bool window;
    const char *title, *message;
    const std::vector<std::string>& buttons;
    int seconds = 0;
  } cases[] = {
      {-1, 0, true, "Test Media", "You must select a device to test.", ok},
      {3, 0, true, "Test Media", "You must select a device to test.", ok},
      {0, 1, true, "Test Media", "A test is already running, you must wait for it to complete.", ok},
      {0, 0, false, "Test Media", "Can't find the Percent Window?.", ok},
      {0, 0, true, "Test Media:", "You are about to test /dev/disk1. It reads the device for about 24 s and writes nothing.",
       question},
      {2, 0, true, "Test Media:",
       "You are about to test /dev/vd80s2 (1.0 GiB, Vendor Disk). It reads the device for about 84 s and writes "
       "nothing.",
       question, 20},
      {2, 0, true, "(the utility can't run: the request ends there)", "", ok},
  };
  FakeList list{{"1", "A"}, {"1s1", "B"}, {"80s2", "C"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    vlm::ScopedRecordingSeam seam;
    seam.seam.answers = {1};  // Cancel
    FakeUi ui(c.row, c.window);
    ui.seconds = c.seconds;
    if (!*c.message) {
      ui.onReady = [] { return false; };
      vlm::TestControl(ui).Testmedia();
      EXPECT_TRUE(seam.seam.alerts.empty());
      EXPECT_TRUE(ui.events.empty());
      continue;
    }
    Testing.store(c.testing);
    vlm::TestControl(ui).Testmedia();  // and the control's end
    EXPECT_EQ(Testing.exchange(0), c.testing);
    ASSERT_EQ(seam.seam.alerts.size(), 1u);
    const auto& a = seam.seam.alerts[0];
    EXPECT_EQ(std::tie(a.title, a.msg, a.buttons), std::tie(c.title, c.message, c.buttons));
    EXPECT_TRUE(ui.events.empty());
  }
}

// Whole runs of one device, in order: figures stored from a good run only,
// the volume name as the utility's argument (cut to 63 bytes on a character boundary), a failed,
// canceled or missing utility's run reported with its output.
TEST(TestControl, WholeRuns) {
  const char *stub = VLM_HELPERS "/stub_util", *missing = "/nonexistent/vlmperfutil";
  const struct {
    const char* mode;
    const char* path;
    std::string finder;
    int cancels;         // made at the first progress line
    const char* button;  // of the last alert ("Exit": a fatal error)
    std::string says;    // in its text
  } cases[] = {
      {"ok", stub, "Data Vol", 0, "Ok",
       "stub: testing /dev/disk90s2\nargs: 3 [-T] [disk90s2] [Data Vol]\nBlock size: 4096\n"
       "Sequential: 523.7\nRandom: 81\nDual: 610\nThreaded: 587\n"},
      {"ok", stub, "", 0, "Ok", "args: 3 [-T] [disk90s2] []\n"},
      {"ok", stub, std::string(100, 'n'), 0, "Ok", "args: 3 [-T] [disk90s2] [" + std::string(63, 'n') + "]\n"},
      {"ok", stub, std::string(62, 'n') + "\xc3\xa9", 0, "Ok", "[" + std::string(62, 'n') + "]\n"},  // not half an é
      {"fail", stub, "Disk", 0, "Failed", "stub: can't open /dev/disk90s2\n"},
      {"wait", stub, "Slow", 2, "Canceled", "Canceled\nSIGCONT: 1\n"},  // the stub exits 3 on cancel
      {"ok", missing, "Z", 0, "Failed", "run2mem: can't find: /nonexistent/vlmperfutil\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    FakeList list{{"0", "System"}, {"90s2", c.finder}};
    Utility util(c.mode, c.path);
    vlm::ScopedRecordingSeam seam;
    FakeUi ui(1);
    size_t alertsAtRefresh = 0;
    ui.onRefresh = [&] { alertsAtRefresh = seam.seam.alerts.size(); };
    vlm::TestControl ctl(ui);
    int cancels = c.cancels;
    ui.onProgress = [&](double) {
      for (; cancels > 0; --cancels) ctl.Testcancel();
    };
    ctl.Testmedia();
    ctl.join();

    const auto& a = seam.seam.alerts.back();
    const bool ran = c.path == stub;
    EXPECT_EQ(a.title, "Test Media:");
    EXPECT_EQ(a.buttons, std::vector<std::string>{c.button});
    EXPECT_NE(a.msg.find(c.says), std::string::npos) << a.msg;
    EXPECT_EQ(ui.events,
              (std::vector<std::string>{"start", "show:Testing: /dev/disk90s2", "reset", "stop", "refresh"}));
    EXPECT_EQ(alertsAtRefresh, 2u);  // question and result, both before the refresh
    // Progress values arrive in the utility's order, to 100 when it ran through.
    EXPECT_TRUE(std::is_sorted(ui.values.begin(), ui.values.end()));
    EXPECT_EQ(!ui.values.empty() && ui.values.back() == 100, ran && c.mode == std::string("ok"));
    EXPECT_EQ(Testing.load(), 0);
    EXPECT_EQ(ctl.Canceled.load(), 0);
    DISKPERF_ p{};
    ASSERT_TRUE(perfget("disk90s2", "", p));  // the first run's, whatever came after
    EXPECT_EQ(std::tie(p.seqkps, p.randkps, p.dualkps, p.threadkps), std::make_tuple(523, 81, 610, 587));
  }
}

// Devices that come and go while the question is open move the names: the
// utility gets the selected device's name of the moment, with its identity.
TEST(TestControl, FollowsTheDeviceByIdentity) {
  FakeList list{{"80", "Data"}};
  Utility util;
  vlm::ScopedRecordingSeam seam;
  FakeUi ui;
  ui.onReady = [] {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    zcpfield(diskinfo0->bsdname, "81");  // a new disk took its old name
    std::snprintf(vlmtest::addrec("80")->devid, sizeof DISKINFO_::devid, "id-new");
    diskinfo('A');
    return true;
  };
  vlm::TestControl ctl(ui);
  ctl.Testmedia();
  ctl.join();
  ASSERT_EQ(seam.seam.alerts.size(), 2u);
  EXPECT_NE(seam.seam.alerts[1].msg.find("args: 5 [-T] [disk81] [Data] [-I] [id-80]\n"), std::string::npos)
      << seam.seam.alerts[1].msg;
  EXPECT_STREQ(Testdev, "disk81");
}

// Testing is 0 during the refresh, so the user may start the next test
// while the first worker still rebuilds the list.
TEST(TestControl, NewTestWhileRefreshing) {
  FakeList list{{"95", "Y"}};
  Utility util;
  vlm::ScopedRecordingSeam seam;
  FakeUi ui;
  vlm::TestControl ctl(ui);
  std::promise<void> inRefresh, goOn;
  std::shared_future<void> go = goOn.get_future().share();
  std::atomic<int> refreshes{0};
  ui.onRefresh = [&] {
    if (++refreshes > 1) return;
    inRefresh.set_value();
    go.wait();
  };
  ctl.Testmedia();
  inRefresh.get_future().wait();
  EXPECT_EQ(Testing.load(), 0);
  ctl.Testmedia();
  EXPECT_EQ(Testing.load(), 1);
  goOn.set_value();
  ctl.join();
  EXPECT_EQ(refreshes, 2);
  EXPECT_EQ(seam.seam.alerts.size(), 4u);  // two questions, two results
}

// A history that is damaged or can't be written never stops a test: the
// figures are stored, the alert names the file, and a damaged one is set
// aside for a new one that sqlite3 finds sound, holding this test.
TEST(TestControl, HistoryFaults) {
  namespace fs = std::filesystem;
  const std::string dir = std::string(std::getenv("XDG_DATA_HOME")) + "/Velmora", db = dir + "/history.db";
  const std::string sqlite3 = vlm::testing::tool("sqlite3");
  auto filled = [&] {  // a real history of some size, closed
    vlm::Record rec = vlmtest::fixtureRecord();
    vlm::History h(db);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(h.add(rec)) << h.takeNotice();
  };
  auto mountTmpfs = [&](const char* opts) {
    fs::create_directories(dir);
    return ::mount("tmpfs", dir.c_str(), "tmpfs", 0, opts) == 0;
  };
  const struct {
    const char* name;
    std::function<bool()> make;  // false: can't be made here
    const char* says;            // in the result alert
    bool setAside;
  } cases[] = {
      {"truncated", [&] { filled(); fs::resize_file(db, fs::file_size(db) / 2); return true; },
       "was damaged: it was set aside as " , true},
      {"corrupted", [&] {
         filled();
         std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(4096);  // the second page, where the tests begin
         f << std::string(8192, '\xa5');
         return true;
       }, "was damaged: it was set aside as ", true},
      {"not SQLite", [&] { fs::create_directories(dir); std::ofstream(db) << std::string(5000, 'x'); return true; },
       "was damaged: it was set aside as ", true},
      {"read-only folder", [&] { return ::geteuid() == 0 && mountTmpfs("ro,size=1m"); },
       "Can't keep this test in the history ", false},
      {"full disk", [&] {
         if (::geteuid() != 0 || !mountTmpfs("size=64k")) return false;
         std::ofstream(dir + "/filler") << std::string(1 << 20, 'f');  // to the last block
         return true;
       }, "database or disk is full", false},
  };
  FakeList list{{"97", "H"}};
  Utility util;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    vlm::historyReset();
    if (!c.make()) continue;
    vlm::ScopedRecordingSeam seam;
    FakeUi ui;
    vlm::TestControl ctl(ui);
    ctl.Testmedia();
    ctl.join();
    const auto& a = seam.seam.alerts.back();
    EXPECT_EQ(a.buttons, std::vector<std::string>{"Ok"});
    EXPECT_NE(a.msg.find("Sequential: 523.7"), std::string::npos) << a.msg;
    EXPECT_NE(a.msg.find(c.says), std::string::npos) << a.msg;
    EXPECT_NE(a.msg.find(db), std::string::npos) << a.msg;
    DISKPERF_ p{};
    EXPECT_TRUE(perfget("disk97", "", p) && p.seqkps == 523);
    int aside = 0;
    for (const auto& e : fs::directory_iterator(dir)) aside += e.path().filename().string().rfind("history.db.damaged-", 0) == 0;
    EXPECT_EQ(aside, c.setAside ? 1 : 0);
    std::string out;
    if (c.setAside && !sqlite3.empty()) {
      EXPECT_EQ(vlm::testing::run({sqlite3, db, "PRAGMA integrity_check; SELECT count(*), min(name) FROM tests"}, &out), 0);
      EXPECT_EQ(out, "ok\n1|disk97\n");
    }
    vlm::historyReset();
    if (!c.setAside) ::umount2(dir.c_str(), MNT_DETACH);
    fs::remove_all(dir);
  }
  if (::geteuid() != 0) GTEST_SKIP() << "the read-only and full cases need root to mount";
}

}  // namespace
