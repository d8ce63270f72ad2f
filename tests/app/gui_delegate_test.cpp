// The controller with its real window under the offscreen platform: what only
// the window does (layout, keyboard, closing, hot-plug, help), and the bridge
// that shows a worker's alert on the user-interface thread; the test road
// itself is tested on its core.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QHeaderView>
#include <QChart>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QPushButton>
#include <QCheckBox>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSettings>
#include <QStyleOptionViewItem>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <unistd.h>

#include <atomic>
#include <sys/stat.h>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <tuple>

#include "util/alerts.h"
#include "app/appdelegate.h"
#include "app/install.h"
#include "app/gui_alerts.h"
#include "app/gui_details.h"
#include "util/startup.h"
#include "perf/history.h"
#include "perf/record.h"
#include "perf/store.h"
#include "table/pool.h"
#include "platform/uevents.h"
#include "tests/helpers/schema_check.h"
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

// The room the view's own delegate asks for a cell: its text, its sign, the
// style's margins.
int cellNeeds(QTableView* t, const QModelIndex& at) {
  struct Peek : QTableView {
    using QTableView::initViewItemOption;
  };
  QStyleOptionViewItem opt;
  (t->*&Peek::initViewItemOption)(&opt);
  return t->itemDelegate()->sizeHint(opt, at).width();
}

// At 1366x768, at the usual font and half as large again, and on that screen
// scaled by 150% (a window of 870 px): every column on screen; narrow ones show
// their titles and cells whole, a figure with its warning sign too; the wide
// ones share the rest, elide, and give the whole text as tooltip; maximising
// widens them.
TEST_F(DelegateFixture, ColumnsFitTheirTextsTheFontAndTheWindow) {
  // A long name beside short mount points: the last wide column's share is
  // below its minimum.
  guitest::Machine m = guitest::smallMachine();
  const std::string model = "Samsung SSD 970 EVO Plus 1TB " + std::string(20, 'x');
  const std::string longName = "*" + model;
  m.disk(2, model, 1LL << 40, guitest::kGpt);
  m.install();
  perfcapture("disk0s2", "serial-S0-part2",
              "Warning: the device was busy\nSequential: 173069\nRandom: 81\nDual: 610\nThreaded: 1\n");
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
      for (int r = 0; !col.wide() && r < d->pool->rowCount(); ++r) {
        EXPECT_LT(fm.horizontalAdvance(cell(r, col.identifier().c_str())), h->sectionSize(i))
            << col.identifier() << " row " << r;
        EXPECT_LE(cellNeeds(d->table, d->pool->index(r, i)), h->sectionSize(i)) << col.identifier() << " row " << r;
      }
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
  // Write Test is left out: no row of this machine can be written.
  for (const char* next : {"refresh", "testmedia", "details", "duration", "remember", "about", "help", "visit", "table"}) {
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
  ASSERT_EQ(vlm::testing::run({vlm::testing::tool("mkfs.ext4"), "-q", "-F", b.image()}), 0);
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
  // A mount alone (no device event) reaches the window's Mount column; an
  // unmount and device events during a test make one refresh after it.
  auto mountCell = [&](const std::string& kernel) {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    for (int i = 0; i < ndiskarray; ++i)
      if (kernel == diskarray[i]->devloc) return cell(i, "Mount").toStdString();
    return std::string("(not listed)");
  };
  const std::string mnt = dir.path() + "/m";
  settle();
  othersMoved();
  auto mount = std::make_unique<vlm::testing::MountGuard>(b.node(), mnt, "ext4");
  ASSERT_TRUE(mount->mounted());
  EXPECT_TRUE(guitest::spinUntil([&] { return mountCell(b.kernel()) == mnt; }) || othersMoved())
      << "a mount did not refresh the window: " << mountCell(b.kernel());
  settle();
  Testing.store(1);
  before = counted->roots;
  othersMoved();
  mount.reset();
  for (int i = 0; i < 3; ++i) std::ofstream("/sys/block/" + b.kernel() + "/uevent") << "change";
  settle();
  EXPECT_EQ(counted->roots, before) << "refreshed while a test runs";
  EXPECT_EQ(mountCell(b.kernel()), mnt);
  Testing.store(0);
  EXPECT_TRUE(guitest::spinUntil([&] { return mountCell(b.kernel()).empty(); })) << mountCell(b.kernel());
  settle();
  EXPECT_TRUE(counted->roots - before == 1 || counted->roots - before == 2 || othersMoved()) << counted->roots - before;
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

// What the user's file dialog is shown and does: its folder and file name
// as offered, then the filter and name given, accepted.
struct FileDialogAnswer {
  QString filter, name;
  QString folder = {}, offered = {};
  void arm() {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [this, timer] {
      auto* dlg = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!dlg || !dlg->isVisible()) return;
      timer->stop();
      timer->deleteLater();
      folder = dlg->directory().absolutePath();
      offered = QFileInfo(dlg->selectedFiles().value(0)).fileName();
      if (!filter.isEmpty()) dlg->selectNameFilter(filter);
      dlg->selectFile(name);
      QMetaObject::invokeMethod(dlg, "accept");
    });
    timer->start(5);
  }
};

// With a fresh HOME and the most open mask a user may have: nothing the
// program makes (settings, a saved record) is writable by others. Save and
// Compare start in Documents; Save offers model, identity and date as the
// name and writes the type chosen; Compare labels each side by model, node
// and time.
TEST_F(DelegateFixture, SavedFilesAndTheirDialogs) {
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  const QString docs = home.path() + "/Documents";
  ASSERT_TRUE(QDir().mkpath(docs));
  const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "/root";
  setenv("HOME", home.path().toLocal8Bit().constData(), 1);
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string oldXdg = xdg ? xdg : "";
  unsetenv("XDG_CONFIG_HOME");
  const mode_t oldMask = umask(0);
  launch();
  d->saveSettings();
  vlm::Record rec = vlmtest::fixtureRecord();
  rec["device"]["model"] = "Example Disk";
  rec["device"]["id"] = "serial-S9";
  vlm::DetailsDialog w(rec, d->window);
  // The filter chosen and the name typed; the file written, its first byte.
  for (auto [filter, name, file, first] : {std::tuple{"Table (*.csv)", "table", "table.csv", 'f'},
                                           {"Test record (*.json)", "record", "record.json", '{'},
                                           {"Test record (*.json)", "other.csv", "other.csv", 'f'}}) {
    SCOPED_TRACE(name);
    FileDialogAnswer a{filter, name};
    a.arm();
    w.findChild<QPushButton*>("save")->click();
    EXPECT_EQ(a.folder, docs);
    EXPECT_EQ(a.offered, "Example Disk serial-S9 2026-12-07 0547");
    std::ifstream in((docs + "/" + file).toStdString());
    EXPECT_EQ(in.get(), first);
  }
  FileDialogAnswer a{"", docs + "/record.json"};
  a.arm();
  w.findChild<QPushButton*>("compare")->click();
  EXPECT_EQ(a.folder, docs);
  const QString side = "Example Disk /dev/sdb 2026-12-07T05:47:29Z";
  ASSERT_EQ(w.figures()->columnCount(), 4);
  EXPECT_EQ(w.figures()->horizontalHeaderItem(1)->text(), side);
  EXPECT_EQ(w.figures()->horizontalHeaderItem(2)->text(), side);
  umask(oldMask);
  // Nothing writable by others: what the launch left and what was saved.
  std::vector<std::string> made{QSettings().fileName().toStdString(), QFileInfo(QSettings().fileName()).path().toStdString()};
  for (const auto& e : std::filesystem::recursive_directory_iterator(home.path().toStdString()))
    made.push_back(e.path().string());
  for (const std::string& p : made) {
    struct stat st {};
    ASSERT_EQ(lstat(p.c_str(), &st), 0) << p;
    EXPECT_EQ(st.st_mode & S_IWOTH, 0u) << p << " " << std::oct << st.st_mode;
  }
  setenv("HOME", oldHome.c_str(), 1);
  if (xdg) setenv("XDG_CONFIG_HOME", oldXdg.c_str(), 1);
}

// Write Test: enabled for a mounted row its user can write, the road with the
// real write program into that folder, the write columns shown once a row has
// figures (those the program printed), and the Details window's curve of a
// recorded sustained pass.
TEST_F(DelegateFixture, WriteTestIntoTheRowsVolume) {
  QTemporaryDir scratch(QStringLiteral("/var/tmp/vlm-write-XXXXXX"));
  ASSERT_TRUE(scratch.isValid());
  guitest::Machine m = guitest::smallMachine();
  m.mount("disk1s1", scratch.path().toStdString(), "Scratch");
  m.install();
  const std::string page = std::string(VLM_BUNDLE_DIR) + "/Contents/Resources/Performance.html";
  perfutilrtfd = page.c_str();  // the write program is found beside it
  launch();
  auto rowOf = [&](const char* dev) {
    for (int r = 0; r < d->pool->rowCount(); ++r)
      if (cell(r, "Device").trimmed() == dev) return r;
    return -1;
  };
  const int target = rowOf("disk1s1");
  for (auto [dev, enabled] : {std::pair{"disk0", false}, {"disk0s2", false}, {"disk1s1", true}}) {
    select(rowOf(dev));
    EXPECT_EQ(d->writetest->isEnabled(), enabled) << dev;
  }
  EXPECT_TRUE(d->table->isColumnHidden(guitest::column("Write Seq")));
  d->duration->setCurrentIndex(d->duration->findData(1));
  // Folders chosen from the question, and what the next alert says: another
  // volume and a read-only mount of this one refused, folders of it taken.
  const std::string top = scratch.path().toStdString(), sub = top + "/sub", ro = top + "/ro";
  ASSERT_TRUE(QDir(scratch.path()).mkpath(QStringLiteral("sub/x")) && QDir(scratch.path()).mkpath(QStringLiteral("ro")));
  const bool bound = geteuid() == 0 && mount(ro.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr) == 0;
  const std::unique_ptr<const char, int (*)(const char*)> unbind(bound ? ro.c_str() : nullptr, umount);
  if (bound) {
    ASSERT_EQ(mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
  }
  std::vector<std::tuple<std::string, bool, std::string>> choices = {
      {"/proc", false, "/proc is not on the volume of "}, {sub + "/x", true, "into " + sub + "/x ("},
      {sub, true, "into " + sub + " ("}};
  if (bound) choices.insert(choices.begin() + 1, {ro, false, ro + " is on a read-only mount: nothing can be written"});
  std::vector<std::string> starts;
  QTimer chooser;
  QObject::connect(&chooser, &QTimer::timeout, [&] {
    auto* dlg = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dlg || !dlg->isVisible() || starts.size() >= choices.size()) return;
    starts.push_back(dlg->directory().absolutePath().toStdString());
    dlg->selectFile(QString::fromStdString(std::get<0>(choices[starts.size() - 1])));
    QMetaObject::invokeMethod(dlg, "accept");
  });
  chooser.start(5);
  rec.seam.answers = {};
  for (const auto& [folder, taken, says] : choices) {
    rec.seam.answers.push_back(1);
    if (!taken) rec.seam.answers.push_back(0);
  }
  d->Writetest();
  ASSERT_TRUE(guitest::spinUntil([&] { return !d->control().busy(); }, 60000));
  d->control().join();
  EXPECT_EQ(alerts()[0].buttons, (std::vector<std::string>{"Ok", "Choose Folder\u2026", "Cancel"}));
  EXPECT_NE(alerts()[0].msg.find("It takes about 4 s."), std::string::npos) << alerts()[0].msg;
  size_t at = 0;  // the question answered by choosing
  std::string named = top;
  for (size_t i = 0; i < choices.size(); ++i) {
    const auto& [folder, taken, says] = choices[i];
    ASSERT_LT(at + 1, alerts().size());
    EXPECT_NE(alerts()[at].msg.find("into " + named + " ("), std::string::npos) << alerts()[at].msg;
    EXPECT_EQ(starts.at(i), named);  // the dialog starts at the question's folder
    EXPECT_NE(alerts()[at + 1].msg.find(says), std::string::npos) << alerts()[at + 1].msg;
    at += taken ? 1 : 2;
    if (taken) named = folder;
  }
  ASSERT_EQ(alerts().size(), at + 2);
  ASSERT_EQ(alerts().back().buttons, std::vector<std::string>{"Ok"}) << alerts().back().msg;
  EXPECT_FALSE(d->table->isColumnHidden(guitest::column("Write Seq")));
  for (auto [id, key] : {std::pair{"Write Seq", "Write sequential: "}, {"Write Rand", "Write random: "},
                         {"Write QD32", "Write random QD32: "}}) {
    QString shown = d->pool->data(d->pool->index(target, guitest::column(id))).toString();
    shown.remove(QLatin1Char(','));
    EXPECT_NE(alerts().back().msg.find(key + shown.toStdString() + " KB/s\n"), std::string::npos) << id << " " << shown.toStdString();
  }
  EXPECT_NE(alerts().back().msg.find("vlmperfwrite " + sub + ":"), std::string::npos) << alerts().back().msg;
  EXPECT_EQ(QDir(QString::fromStdString(sub)).entryList(QDir::NoDotAndDotDot | QDir::Files | QDir::Hidden).size(), 0);

  vlm::Record sus = vlmtest::fixtureRecord("write-sustained.json");
  vlm::DetailsDialog w(sus, d->window);
  ASSERT_NE(w.sustainedChart(), nullptr);
  EXPECT_EQ(w.sustainedChart()->title().toStdString(), sus["sustained"]["summary"].get<std::string>());
  EXPECT_EQ(w.sustainedChart()->series().size(), 3);  // the curve, the knee, the two levels
}

// Help and Visit count as opened only when the desktop has a handler for the
// type and xdg-open did not fail; otherwise the program's own help window,
// and the home page's address on a line of its own. Stand-ins for xdg-open
// and xdg-mime on PATH.
TEST_F(DelegateFixture, HelpAndVisitOpenOnlyWhatAHandlerOpened) {
  QTemporaryDir bin;
  ASSERT_TRUE(bin.isValid());
  const std::string dir = bin.path().toStdString(), log = dir + "/opened";
  auto script = [&](const char* name, const std::string& body) {
    const std::string p = dir + "/" + name;
    std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
    chmod(p.c_str(), 0755);
  };
  script("xdg-mime", "[ \"$1 $2\" = 'query default' ] && echo \"$HANDLER\"");
  script("xdg-open", "echo \"$1\" >> '" + log + "'; exit $OPENRC");
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (dir + ":/usr/bin:/bin").c_str(), 1);
  const std::string page = std::string(VLM_BUNDLE_DIR) + "/Contents/Resources/Performance.html";
  perfutilrtfd = page.c_str();
  launch();
  // The handler xdg-mime names, xdg-open's status (-1: there is none);
  // whether they opened, how many times xdg-open ran.
  for (auto [handler, rc, opened, ran] : {std::tuple{"firefox.desktop", 0, true, 2}, {"firefox.desktop", 3, false, 2},
                                          {"", 0, false, 0}, {"firefox.desktop", -1, false, 0}}) {
    SCOPED_TRACE(testing::Message() << handler << " " << rc);
    if (rc < 0) std::remove((dir + "/xdg-open").c_str());
    setenv("HANDLER", handler, 1);
    setenv("OPENRC", std::to_string(rc).c_str(), 1);
    std::remove(log.c_str());
    if (d->helpwindow) d->helpwindow->hide();
    alerts().clear();
    d->Help();
    d->Visit();
    EXPECT_EQ(d->helpwindow && d->helpwindow->isVisible(), !opened);
    ASSERT_EQ(alerts().size(), opened ? 0u : 1u);
    if (!opened) {
      EXPECT_EQ(alerts()[0].msg, std::string("No web browser could open the home page. Its address is:\n") +
                                     QorConfigureAppDelegate::kHomePage);
    }
    std::ifstream in(log);
    std::string lines, line;
    int n = 0;
    for (; std::getline(in, line); ++n) lines += line + "\n";
    EXPECT_EQ(n, ran) << lines;
    if (ran) {
      EXPECT_EQ(lines, page + "\n" + QorConfigureAppDelegate::kHomePage + "\n");
    }
  }
  setenv("PATH", path.c_str(), 1);
  unsetenv("HANDLER");
  unsetenv("OPENRC");
}

// Alerts fit the screen, at the usual font and half as large again: a short
// one keeps each word (the address) on one line; the utility's whole output
// scrolls in a dialog whose button stays on screen. Their text can be selected.
TEST(QtAlerts, AlertsFitTheScreen) {
  guitest::ensureApp();
  std::ifstream in(VLM_FIXTURES "/record.txt");
  const std::string output((std::istreambuf_iterator<char>(in)), {});
  const std::string address = QorConfigureAppDelegate::kHomePage;
  const std::string visit = "No web browser could open the home page. Its address is:\n" + address;
  const QFont base = QApplication::font();
  // The message, the font's scale, whether it is in a scrolling view, and
  // whether that must scroll (a test taller than any screen here).
  for (auto [msg, scale, view, scrolls] : {std::tuple{visit, 1.0, false, false}, {visit, 1.5, false, false},
                                           {output, 1.0, true, false}, {output, 1.5, true, true}}) {
    SCOPED_TRACE(testing::Message() << scale << (view ? " output" : " address"));
    QFont f = base;
    f.setPointSizeF(base.pointSizeF() * scale);
    QApplication::setFont(f);
    QSize size, avail;
    QRect button;
    bool selectable = false, whole = false, scrolled = false, inview = false;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (!box || !box->isVisible()) return;
      timer.stop();
      size = box->frameGeometry().size();
      avail = box->screen()->availableGeometry().size();
      auto* ok = box->findChildren<QPushButton*>().value(0);
      button = QRect(ok->mapTo(box, QPoint(0, 0)), ok->size());
      if (auto* label = box->findChild<QLabel*>("qt_msgbox_label")) {
        selectable = label->textInteractionFlags() & Qt::TextSelectableByMouse;
        whole = label->width() >= label->fontMetrics().horizontalAdvance(QString::fromStdString(address));
      }
      if (auto* text = box->findChild<QPlainTextEdit*>("alerttext")) {
        inview = true;
        selectable = text->textInteractionFlags() & Qt::TextSelectableByMouse;
        scrolled = text->verticalScrollBar()->maximum() > 0;
      }
      ok->click();
    });
    timer.start(5);
    EXPECT_EQ(vlm::showAlertBox("Test Media:", msg, {"Ok"}), 0);
    EXPECT_LE(size.height(), avail.height());
    EXPECT_LE(size.width(), avail.width());
    EXPECT_TRUE(QRect(QPoint(0, 0), size).contains(button)) << button.x() << "," << button.y();
    EXPECT_TRUE(selectable);
    EXPECT_EQ(whole, !view);
    EXPECT_EQ(inview, view);
    EXPECT_TRUE(scrolled || !scrolls) << size.width() << "x" << size.height() << " of " << avail.width() << "x"
                                      << avail.height();
  }
  QApplication::setFont(base);
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


// At launch the table shows a device's last figures from the history on that
// device only (whatever name it had then), dated in the tooltip as date(1)
// gives it; with "Remember results" off it starts empty.
TEST_F(DelegateFixture, LaunchShowsRememberedFigures) {
  const std::string sqlite3 = vlm::testing::tool("sqlite3"), date = vlm::testing::tool("date");
  if (sqlite3.empty() || date.empty()) GTEST_SKIP() << "sqlite3 or date is missing";
  vlm::Record rec = vlmtest::fixtureRecord();
  std::string figure, when;
  rec["device"]["id"] = "serial-S0-part2";
  rec["device"]["name"] = "disk7";
  ASSERT_TRUE(vlm::history().add(rec));
  ASSERT_EQ(vlm::testing::run({sqlite3, vlm::history().path(), "SELECT json_extract(record, '$.phases[0].kbps') FROM tests"}, &figure), 0);
  const std::string at = "@" + std::to_string(rec["unixTime"].get<int64_t>());
  ASSERT_EQ(vlm::testing::run({date, "-d", at, "+Measured: %m/%d/%Y %H:%M"}, &when), 0);
  for (bool remember : {false, true}) {
    SCOPED_TRACE(remember);
    d->remember->setChecked(remember);
    launch();
    std::string shown;
    for (int r = 0; r < d->pool->rowCount(); ++r) {
      QString seq = cell(r, "Sequential");
      if (seq.isEmpty()) continue;
      shown += cell(r, "Device").toStdString() + "=" + seq.remove(QRegularExpression(QStringLiteral("\\D"))).toStdString() + "\n";
      const QString tip = d->pool->data(d->pool->index(r, guitest::column("Sequential")), Qt::ToolTipRole).toString();
      EXPECT_NE(tip.toStdString().find(when.substr(0, when.size() - 1)), std::string::npos) << tip.toStdString();
    }
    EXPECT_EQ(shown, remember ? "disk0s2=" + figure : "");
  }
}

}  // namespace
