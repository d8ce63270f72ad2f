// The controller with its real window under the offscreen platform: what only
// the window does (layout, keyboard, closing, hot-plug, help), and the bridge
// that shows a worker's alert on the user-interface thread; the test road
// itself is tested on its core.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSettings>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <tuple>

#include "util/alerts.h"
#include "app/appdelegate.h"
#include "app/install.h"
#include "app/gui_alerts.h"
#include "util/startup.h"
#include "perf/store.h"
#include "table/pool.h"
#include "platform/uevents.h"
#include "tests/platform/loop_guard.h"
#include "tests/table/gui_support.h"

namespace {

// Restores a start-up path global.
struct PathGuard {
  const char*& ref;
  const char* old;
  explicit PathGuard(const char*& r) : ref(r), old(r) {}
  ~PathGuard() { ref = old; }
};

struct DelegateFixture : ::testing::Test {
  guitest::ListGuard list;
  guitest::StoreGuard store;
  vlm::ScopedRecordingSeam rec;
  PathGuard util{perfutilpath}, help{perfutilrtfd};
  std::unique_ptr<QorConfigureAppDelegate> d;

  DelegateFixture() {
    guitest::ensureApp();
    guitest::smallMachine().install();
    d = std::make_unique<QorConfigureAppDelegate>();
  }
  ~DelegateFixture() override {
    d.reset();
    QorConfigureAppDelegate::setOpener(nullptr);
    Testing.store(0);
    unsetenv("VLM_STUB_MODE");
  }
  std::vector<vlm::RecordingAlertSeam::Alert>& alerts() { return rec.seam.alerts; }
  // The utility is the stand-in, run in the given VLM_STUB_MODE.
  std::string stub = std::string(VLM_HELPERS) + "/stub_util";
  void useStub(const char* mode) {
    perfutilpath = stub.c_str();
    setenv("VLM_STUB_MODE", mode, 1);
  }
  void launch() {
    d->window->show();
    d->applicationDidFinishLaunching();
    alerts().clear();  // autoauth's notice about the utility
  }
  // The row alone, current and selected (as a click without modifiers).
  void select(int row) {
    d->table->selectionModel()->setCurrentIndex(d->pool->index(row, 0),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  }
  QString cell(int row, const char* id) { return d->pool->data(d->pool->index(row, guitest::column(id))).toString(); }
};

// At 1366x768, at the usual font and half as large again, and on that screen
// scaled by 150% (a window of 870 px): every column on screen; narrow ones show
// their titles and cells whole; the wide ones share the rest, elide, and give
// the whole text as tooltip; maximising widens them.
TEST_F(DelegateFixture, ColumnsFitTheirTextsTheFontAndTheWindow) {
  // A long name beside short mount points: the last wide column's share is
  // below its minimum.
  guitest::Machine m = guitest::smallMachine();
  const std::string model = "Samsung SSD 970 EVO Plus 1TB " + std::string(20, 'x');
  const std::string longName = "*" + model;
  m.disk(2, model, 1LL << 40, guitest::kGpt);
  m.install();
  launch();
  QHeaderView* h = d->table->horizontalHeader();
  const QFont base = d->table->font();
  // Window width, font scale, and whether the long name is elided.
  for (auto [width, scale, elided] : {std::tuple{1366, 1.0, false}, {1366, 1.5, true}, {870, 1.0, true}}) {
    d->window->resize(width, 700);
    QFont f = base;
    f.setPointSizeF(base.pointSizeF() * scale);
    d->table->setFont(f);
    QApplication::processEvents();
    SCOPED_TRACE(testing::Message() << width << " px, font " << scale);
    QFontMetrics fm(f);
    int total = 0;
    for (int i = 0; i < 11; ++i) {
      const VLTableColumn& col = d->pool->columns()[i];
      total += h->sectionSize(i);
      EXPECT_GE(h->sectionSize(i), h->sectionSizeHint(i)) << col.identifier();
      for (int r = 0; !col.wide() && r < d->pool->rowCount(); ++r)
        EXPECT_LT(fm.horizontalAdvance(cell(r, col.identifier().c_str())), h->sectionSize(i))
            << col.identifier() << " row " << r;
    }
    EXPECT_EQ(total, d->table->viewport()->width());
    EXPECT_GT(d->table->rowHeight(0), fm.height());
    const int name = guitest::column("Name");
    EXPECT_EQ(fm.horizontalAdvance(QString::fromStdString(longName)) > h->sectionSize(name), elided);
    EXPECT_EQ(d->pool->data(d->pool->index(6, name), Qt::ToolTipRole).toString().toStdString(), longName);
  }
  const int name = h->sectionSize(guitest::column("Name"));
  d->window->resize(1900, 1000);
  QApplication::processEvents();
  EXPECT_GT(h->sectionSize(guitest::column("Name")), name);
  EXPECT_EQ(h->length(), d->table->viewport()->width());
  h->resizeSection(guitest::column("Size"), h->sectionSize(guitest::column("Size")) + 80);  // a drag
  EXPECT_EQ(h->length(), d->table->viewport()->width());
  d->table->setFont(base);
}

// Window size, column widths and test duration come back at the next launch;
// widths saved under another font are fitted anew.
TEST_F(DelegateFixture, LayoutAndDurationAreRemembered) {
  launch();
  d->window->resize(1000, 500);
  d->duration->setCurrentIndex(d->duration->findData(20));
  const int device = guitest::column("Device");
  d->table->setColumnWidth(device, 150);
  d->saveSettings();
  for (bool sameFont : {true, false}) {
    if (!sameFont) QSettings().setValue("table/font", "another font");
    d = std::make_unique<QorConfigureAppDelegate>();
    d->restoreSettings();
    launch();
    EXPECT_EQ(d->window->size(), QSize(1000, 500));
    EXPECT_EQ(d->duration->currentData().toInt(), 20);
    EXPECT_EQ(d->table->horizontalHeader()->sectionSize(device) == 150, sameFont);
  }
  QSettings().clear();
}

// Tab leaves the table for every control in turn; the shortcuts reach their
// actions; accessible names on the table and the controls. Help shows the page
// in the program's own window when the desktop has no handler for it.
TEST_F(DelegateFixture, KeyboardReachesEveryAction) {
  std::vector<QUrl> opened;
  QorConfigureAppDelegate::setOpener([&](const QUrl& u) {
    opened.push_back(u);
    return false;
  });
  std::string page = std::string(VLM_BUNDLE_DIR) + "/Contents/Resources/Performance.html";
  perfutilrtfd = page.c_str();
  launch();
  d->window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(d->window));
  d->table->setFocus();
  ASSERT_TRUE(guitest::spinUntil([&] { return QApplication::focusWidget() == d->table; }, 2000));
  for (const char* next : {"refresh", "testmedia", "details", "duration", "about", "help", "visit", "table"}) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), next);
    EXPECT_FALSE(QApplication::focusWidget()->accessibleName().isEmpty()) << next;
  }
  EXPECT_EQ(d->table->accessibleName(), "Disks");

  select(2);
  QSignalSpy resets(d->pool, &QAbstractItemModel::modelReset);
  struct {
    Qt::Key key;
    Qt::KeyboardModifiers mods;
    int testing;
    size_t opened, resets, questions;
    int canceled;
  } const keys[] = {
      {Qt::Key_F5, Qt::NoModifier, 0, 0, 1, 0, 0},
      {Qt::Key_T, Qt::ControlModifier, 0, 0, 0, 1, 0},
      {Qt::Key_Return, Qt::NoModifier, 0, 0, 0, 1, 0},
      {Qt::Key_Enter, Qt::KeypadModifier, 0, 0, 0, 1, 0},
      {Qt::Key_Escape, Qt::NoModifier, 1, 0, 0, 0, 1},
      {Qt::Key_Escape, Qt::NoModifier, 0, 0, 0, 0, 0},
      {Qt::Key_F1, Qt::NoModifier, 0, 1, 0, 0, 0},
  };
  for (const auto& k : keys) {
    SCOPED_TRACE(QKeySequence(k.key | k.mods).toString().toStdString());
    opened.clear();
    resets.clear();
    alerts().clear();
    rec.seam.answers = {1};  // "Cancel" at the question
    Testing.store(k.testing);
    QTest::keyClick(d->table, k.key, k.mods);
    Testing.store(0);
    EXPECT_EQ(opened.size(), k.opened);
    EXPECT_EQ(static_cast<size_t>(resets.count()), k.resets);
    EXPECT_EQ(alerts().size(), k.questions);
    EXPECT_EQ(d->Canceled->exchange(0), k.canceled);
  }
  ASSERT_TRUE(d->helpwindow && d->helpwindow->isVisible());
  auto* browser = d->helpwindow->findChild<QTextBrowser*>();
  EXPECT_EQ(browser->source(), QUrl::fromLocalFile(QString::fromStdString(page)));
  EXPECT_TRUE(browser->toPlainText().contains("Sequential"));
  // Ctrl+C: the selected rows under the column titles; a test takes the
  // current one of them.
  QTest::keyClick(d->table, Qt::Key_Up, Qt::ShiftModifier);
  EXPECT_EQ(d->uiSelectedRow(), 1);
  QApplication::clipboard()->clear();
  QTest::keyClick(d->table, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), d->pool->rowsText({1, 2}));
  // The progress window's Cancel button and close box ask to cancel too.
  d->pctwindow->findChild<QPushButton*>("cancel")->click();
  d->pctwindow->reject();
  EXPECT_EQ(d->Canceled->exchange(0), 2);
}

// Closing the window during a test asks first: Cancel keeps the window and
// the test; Ok cancels the test, and the application ends once the utility has.
// An unmounted whole disk goes with an empty volume name; the chosen duration
// follows.
TEST_F(DelegateFixture, ClosingDuringATestAsksAndQuitsOnceTheUtilityEnded) {
  useStub("wait");
  launch();
  select(0);
  d->duration->setCurrentIndex(d->duration->findData(1));
  QSignalSpy bar(d.get(), &QorConfigureAppDelegate::progressChanged);
  d->Testmedia();
  ASSERT_TRUE(guitest::spinUntil([&] { return bar.count() > 0; }));
  alerts().clear();
  rec.seam.answers = {1};
  EXPECT_FALSE(d->window->close());
  ASSERT_EQ(alerts().size(), 1u);
  EXPECT_EQ(alerts()[0].msg, "A test is running. Cancel the test and quit?");
  EXPECT_TRUE(d->window->isVisible());
  EXPECT_EQ(d->Canceled->load(), 0);

  rec.seam.answers = {0};
  QTimer::singleShot(0, d.get(), [this] { d->window->close(); });
  QTimer::singleShot(8000, d.get(), [] { QCoreApplication::exit(-1); });  // the application did not end
  EXPECT_EQ(QCoreApplication::exec(), 0);
  QSignalSpy resets(d->pool, &QAbstractItemModel::modelReset);  // the worker's last refresh
  EXPECT_FALSE(d->pctwindow->isVisible());  // the utility's output had ended
  EXPECT_TRUE(guitest::spinUntil([&] { return Testing.load() == 0 && resets.count() > 0; }, 8000));
  d->control().join();
  ASSERT_EQ(alerts().size(), 3u);  // the question, then the result of the canceled run, as such
  EXPECT_EQ(alerts()[2].buttons, std::vector<std::string>{"Canceled"});
  for (const char* text : {"SIGCONT: 1", "args: 7 [-T] [disk0] [] [-s] [1] [-I] [serial-S0]"})
    EXPECT_NE(alerts()[2].msg.find(text), std::string::npos) << alerts()[2].msg;
}

TEST_F(DelegateFixture, LaunchShowsTheWholeListUnderTheToolTitle) {
  d->window->show();
  d->applicationDidFinishLaunching();
  EXPECT_EQ(d->window->windowTitle(), "Velmora: Performance Tool");
  EXPECT_EQ(d->table->model()->rowCount(), 6);
  EXPECT_TRUE(d->pool->refreshtime->text().startsWith("Refreshed: "));
  // The bundle layout is not that of a test program: the utility is reported missing.
  EXPECT_EQ(alerts().size(), 1u);
  // Tests can't run: a line under the table says what to do; with a utility
  // that can run, none.
  EXPECT_TRUE(d->setupline->isVisible());
  EXPECT_TRUE(d->setupline->text().contains("--install-utility"));
  useStub("ok");
  d->applicationDidFinishLaunching();
  if (geteuid() == 0) {
    EXPECT_FALSE(d->setupline->isVisible());
  }
}

// An ordinary user without the utility: Test Media says so and offers the
// installation; a pkexec that can't ask gives the command for root instead;
// once installed, the test goes on to its question, no restart needed.
TEST_F(DelegateFixture, TestMediaOffersTheInstallationToAnOrdinaryUser) {
  const std::string util = std::string(VLM_BUNDLE_DIR) + "/Contents/Resources/vlmperfutil";
  if (geteuid() != 0 || access(util.c_str(), X_OK) != 0) GTEST_SKIP() << "needs root and the built utility";
  char tmpl[] = "/tmp/vlm-offer-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, copy = dir + "/vlmperfutil";
  PathGuard copyPath{perfutilcopy};
  perfutilcopy = copy.c_str();
  perfutilpath = util.c_str();
  // Installs as the installer would, or fails as pkexec does.
  struct Installer : vlm::PrivilegedRunner {
    int status = 0;
    std::string from, to;
    int run(const std::vector<std::string>&, std::string& out) override {
      out = "Error executing command as another user: No authentication agent found.\n";
      if (status != 0) return status;
      return std::system(("cp '" + from + "' '" + to + "' && chmod 4711 '" + to + "'").c_str());
    }
  } installer;
  installer.from = util;
  installer.to = copy;
  vlm::PrivilegedRunner* prev = vlm::setPrivilegedRunner(&installer);
  vlm::setAsRoot(0);
  rec.seam.answers = {1};  // the launch's notice declined
  launch();
  EXPECT_TRUE(d->setupline->isVisible());
  select(2);
  // pkexec's status, the answers; the second alert's start, the line under the table.
  for (auto [status, answers, second, line] :
       {std::tuple{127 << 8, std::vector<int>{0}, "The VLM-Utility was not installed.\nNo administrator's", true},
        {0, std::vector<int>{0, 1}, "You are about to test /dev/sda2 (", false}}) {
    SCOPED_TRACE(status);
    installer.status = status;
    rec.seam.answers = answers;
    alerts().clear();
    d->Testmedia();
    ASSERT_EQ(alerts().size(), 2u);
    EXPECT_EQ(alerts()[0].msg.rfind("Tests need this build's VLM-Utility installed", 0), 0u) << alerts()[0].msg;
    EXPECT_EQ(alerts()[1].msg.rfind(second, 0), 0u) << alerts()[1].msg;
    EXPECT_EQ(alerts()[1].msg.find("Run this command as root to install it:\n") != std::string::npos, status != 0);
    EXPECT_EQ(d->setupline->isVisible(), line);
    EXPECT_EQ(Testing.load(), 0);
  }
  EXPECT_STREQ(perfutilpath, copy.c_str());
  vlm::setAsRoot(-1);
  vlm::setPrivilegedRunner(prev);
  EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

// The selection stays with the device, wherever a refresh puts it; a device
// that is gone takes its selection with it.
TEST_F(DelegateFixture, SelectionFollowsTheDevice) {
  // disk0 went: disk1 (identity S1) is now called disk0.
  guitest::Machine moved;
  auto& w = guitest::Machine::identify(moved.disk(0, "Spare Drive", 1073741824LL, guitest::kGpt), 1, "");
  guitest::Machine::identify(moved.part(w, 0, 1, "Old Volume", 1073000000LL, "Apple_HFS"), 1, "1");
  // The row selected, whether disk0 went, the row selected after (-1: none).
  for (auto [before, move, after] : {std::tuple{2, false, 2}, {5, true, 1}, {2, true, -1}}) {
    guitest::smallMachine().install();
    launch();
    select(before);
    if (move) moved.install();
    d->Refresh();
    auto rows = d->table->selectionModel()->selectedRows();
    EXPECT_EQ(rows.isEmpty() ? -1 : rows.front().row(), after) << before << (move ? " moved" : "");
  }
}

// A registry that counts its snapshots: one per rebuild of the list.
struct CountingRegistry : vlm::Registry {
  std::shared_ptr<vlm::Registry> inner;
  mutable std::atomic<int> roots{0};
  const vlm::RegEntry* root() const override { return ++roots, inner->root(); }
};

// Hot-plug: a loop device attached shows up without Refresh; a burst of
// events makes one refresh; none while a test runs, and then one after it.
TEST_F(DelegateFixture, KernelEventsRefreshTheList) {
  std::string why = vlm::testing::loopUnavailable();
  if (!why.empty()) GTEST_SKIP() << "loop disks: " << why;
  vlm::Platform live = vlm::linuxPlatform();
  auto counted = std::make_shared<CountingRegistry>();
  counted->inner = std::exchange(live.registry, counted);
  vlm::setPlatform(live);
  launch();
  rlimit fds{};  // no descriptor left for the socket: the window only stops following
  getrlimit(RLIMIT_NOFILE, &fds);
  const rlimit none{0, fds.rlim_max};
  setrlimit(RLIMIT_NOFILE, &none);
  EXPECT_FALSE(d->followHotplug(true));
  setrlimit(RLIMIT_NOFILE, &fds);
  if (!d->followHotplug(true)) GTEST_SKIP() << "no kernel event socket here";
  auto idOf = [](const std::string& kernel) {  // "" when not listed
    std::lock_guard<std::recursive_mutex> lock(disklock);
    for (int i = 0; i < ndiskarray; ++i)
      if (kernel == diskarray[i]->devloc) return std::string(diskarray[i]->devid);
    return std::string();
  };
  auto settle = [] { guitest::spinUntil([] { return false; }, 1200); };
  vlm::testing::TempDir dir;
  vlm::testing::LoopDisk a(dir.path() + "/a.img", 8 << 20), b(dir.path() + "/b.img", 8 << 20);
  // Other programs' devices come and go meanwhile: refreshes are counted only
  // over a time in which the kernel announced no block device but ours.
  vlm::BlockEvents kernel;
  auto othersMoved = [&] {  // since the last call: an event of a block device but ours, or events lost
    bool any = false;
    char m[8192];
    auto name = [](const std::string& node) { return node.empty() ? std::string("-") : node.substr(5); };
    const std::regex ours("/(" + name(a.node()) + "|" + name(b.node()) + ")(/.*)?$");
    for (ssize_t n; (n = recv(kernel.fd(), m, sizeof m, MSG_DONTWAIT)) > 0 || (n < 0 && errno == ENOBUFS);)
      any = any || n < 0 || (vlm::isBlockEvent(m, size_t(n)) && !std::regex_search(m, ours));  // ACTION@DEVPATH
    return any;
  };
  ASSERT_TRUE(a.attach(0));
  EXPECT_TRUE(guitest::spinUntil([&] { return !idOf(a.kernel()).empty(); })) << a.kernel();
  settle();
  // Ten events, each handled as it comes: one refresh, two where the burst
  // outlasts the wait.
  int before = counted->roots;
  othersMoved();
  for (int i = 0; i < 10; ++i) {
    std::ofstream("/sys/block/" + a.kernel() + "/uevent") << "change";
    QApplication::processEvents();
  }
  settle();
  EXPECT_TRUE(counted->roots - before == 1 || counted->roots - before == 2 || othersMoved()) << counted->roots - before;
  Testing.store(1);
  before = counted->roots;
  othersMoved();
  ASSERT_TRUE(b.attach(0));
  settle();
  EXPECT_EQ(counted->roots, before) << "refreshed while a test runs";
  Testing.store(0);
  EXPECT_TRUE(guitest::spinUntil([&] { return !idOf(b.kernel()).empty(); })) << b.kernel();
  settle();
  EXPECT_TRUE(counted->roots - before <= 2 || othersMoved()) << counted->roots - before;
  const std::string gone = idOf(a.kernel());  // another program may take the kernel name
  a.detach();
  EXPECT_TRUE(guitest::spinUntil([&] {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    return diskrow(gone.c_str(), "") < 0;
  })) << gone;
  d->followHotplug(false);
  vlm::setPlatform({});
}

// Quitting while the utility is stuck (it ignores the cancel) ends all the
// same: the runner kills it a few seconds after the cancel.
TEST_F(DelegateFixture, QuittingDuringAStalledTestEnds) {
  useStub("stall");
  launch();
  select(0);
  QSignalSpy bar(d.get(), &QorConfigureAppDelegate::progressChanged);
  d->Testmedia();
  ASSERT_TRUE(guitest::spinUntil([&] { return bar.count() > 0; }));
  d.reset();  // the window's end: cancel, then wait for the worker
  EXPECT_EQ(Testing.load(), 0);
  int st;
  EXPECT_TRUE(waitpid(-1, &st, WNOHANG) < 0 && errno == ECHILD);  // the stub was reaped
}

// Presses the button labelled text of the next message box that opens.
void pressWhenShown(const QString& text, QString* title, QString* body) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [=] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    *title = box->windowTitle();
    *body = box->text();
    for (QAbstractButton* b : box->buttons())
      if (b->text() == text) {
        timer->stop();
        timer->deleteLater();
        b->click();
        return;
      }
  });
  timer->start(5);
}

TEST(QtAlerts, WorkerAlertIsShownOnTheUiThreadAndAnswered) {
  guitest::ensureApp();
  vlm::UiBridge bridge;
  vlm::QtAlertSeam seam(bridge);
  QString title, body;
  pressWhenShown("Cancel", &title, &body);
  std::atomic<int> answer{-2};
  std::thread worker([&] {
    answer = seam.alert("Test Media:", "100% of %s\r\nline two", {"Ok", "Cancel"});
  });
  EXPECT_TRUE(guitest::spinUntil([&] { return answer.load() != -2; }));
  worker.join();
  EXPECT_EQ(answer.load(), 1);  // "Cancel"
  EXPECT_EQ(title, "Test Media:");
  EXPECT_EQ(body, "100% of %s\nline two");  // literal text, plain line breaks
}

}  // namespace
