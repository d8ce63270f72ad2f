#include <fcntl.h>
#include "app/appdelegate.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTextBrowser>
#include <QTextDocument>
#include <QVBoxLayout>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <optional>

#include "app/install.h"
#include "perf/history.h"
#include "perf/record.h"
#include "platform/uevents.h"
#include "util/startup.h"
#include "table/pool.h"
#include "util/prog.h"

const char* const QorConfigureAppDelegate::kHomePage = "https://velmora.example/performance";

namespace {
// Hot-plug refreshes: a burst of events is waited out this long, and two
// refreshes are at least this far apart.
constexpr std::chrono::milliseconds kBurst{200};
constexpr std::chrono::milliseconds kMinGap{400};

QorConfigureAppDelegate::Opener& opener() {
  static QorConfigureAppDelegate::Opener o;
  return o;
}

// How long xdg-open has to fail before it counts as having opened: with no
// desktop of its own it runs the application in the foreground, and then
// it is still running.
constexpr int kOpenVerdictMs = 2000;

// The desktop's handler for the address's type opens it: one must exist
// (xdg-mime query default) and xdg-open must not fail. Starting xdg-open is
// no proof, so Qt's own opener, which says no more, is not used.
bool xdgOpen(const QUrl& url) {
  const QString open = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (open.isEmpty()) return false;
  const QString type = url.isLocalFile()
                           ? QMimeDatabase().mimeTypeForFile(url.toLocalFile()).name()
                           : QStringLiteral("x-scheme-handler/") + url.scheme();
  const QString mime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
  if (!mime.isEmpty()) {
    QProcess query;
    query.start(mime, {QStringLiteral("query"), QStringLiteral("default"), type});
    if (query.waitForFinished(kOpenVerdictMs) && query.exitStatus() == QProcess::NormalExit &&
        query.exitCode() == 0 && query.readAllStandardOutput().trimmed().isEmpty())
      return false;  // no handler for the type
  }
  auto* p = new QProcess(QCoreApplication::instance());
  p->setStandardOutputFile(QProcess::nullDevice());
  p->setStandardErrorFile(QProcess::nullDevice());
  p->start(open, {url.isLocalFile() ? url.toLocalFile() : url.toString(QUrl::FullyEncoded)});
  if (!p->waitForStarted(kOpenVerdictMs)) {
    p->deleteLater();
    return false;
  }
  if (p->waitForFinished(kOpenVerdictMs)) {
    const bool ok = p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0;
    p->deleteLater();
    return ok;
  }
  QObject::connect(p, &QProcess::finished, p, &QObject::deleteLater);
  return true;
}

bool openWithDesktop(const QUrl& url) {
  auto& o = opener();
  return o ? o(url) : xdgOpen(url);
}
}  // namespace

void QorConfigureAppDelegate::setOpener(Opener o) { opener() = std::move(o); }

class QorConfigureAppDelegate::Ui : public vlm::TestUi {
 public:
  explicit Ui(QorConfigureAppDelegate& d) : d_(d) {}
  int selectedRow() override { return d_.uiSelectedRow(); }
  bool hasProgressWindow() override { return d_.pctwindow != nullptr; }
  void progressStart() override { d_.uiProgressStart(); }
  void showProgressWindow(const std::string& title) override { d_.uiShowProgressWindow(title); }
  void progressReset() override { d_.uiProgressReset(); }
  void progressSet(double value) override { d_.uiProgressSet(value); }
  void progressStop() override { d_.uiProgressStop(); }
  void refresh() override { d_.uiRefresh(); }
  int testSeconds() override { return d_.duration->currentData().toInt(); }
  // An ordinary user without a usable utility is told so and offered the
  // installation; once it is in place the test goes on, no restart needed.
  bool utilityReady() override {
    const bool ready = vlm::offerinstall();
    d_.setupline->setVisible(!vlm::utilityready());
    return ready;
  }
  bool choosesFolders() override { return true; }
  std::string chooseFolder(const std::string& from) override {
    const QString dir = QFileDialog::getExistingDirectory(
        d_.window, QStringLiteral("Choose the folder to write the test file in"), QFile::decodeName(from.c_str()));
    return QFile::encodeName(dir).toStdString();
  }

 private:
  QorConfigureAppDelegate& d_;
};

vlm::TestUi& QorConfigureAppDelegate::testUi() { return *ui_; }

QorConfigureAppDelegate::QorConfigureAppDelegate(QObject* parent)
    : QObject(parent) {
  ui_ = std::make_unique<Ui>(*this);
  control_ = std::make_unique<vlm::TestControl>(*ui_);
  Canceled = &control_->Canceled;
  buildWindows();
  window->installEventFilter(this);
  hotplugTimer_ = new QTimer(this);
  hotplugTimer_->setSingleShot(true);
  connect(hotplugTimer_, &QTimer::timeout, this, [this] { hotplugDue(); });
}

QorConfigureAppDelegate::~QorConfigureAppDelegate() {
  shutdown();
  if (thepool == pool) thepool = nullptr;
  // The window goes after this body, with its table: none of their last
  // events may reach the filter, which would ask a half-destroyed table.
  if (table) {
    table->viewport()->removeEventFilter(this);
    table->removeEventFilter(this);
  }
  if (window) window->removeEventFilter(this);
}

void QorConfigureAppDelegate::shutdown() {
  followHotplug(false);
  if (!control_) return;
  if (Testing.load()) Testcancel();
  bridge_.shutdown();
  control_->join();
}

void QorConfigureAppDelegate::applicationDidFinishLaunching() {
  themode = 0;
  thedisk = nullptr;
  thedev[0] = '\0';
  splashwindow->show();
  splashwindow->raise();
  splashwindow->activateWindow();
  menuinit();
  perfutilinit(theargv0);
  autoauth();
  setupline->setVisible(!vlm::utilityready());
  thepool = pool;
  pool->ColorInit();
  if (remember->isChecked()) {
    vlm::historySeed();
    if (std::string n = vlm::history().takeNotice(); !n.empty()) messbox("History", n.c_str(), "Ok");
  }
  SetMode(0, nullptr);
  QTimer::singleShot(1200, splashwindow, &QWidget::close);
}

bool QorConfigureAppDelegate::eventFilter(QObject* watched, QEvent* event) {
  if (watched == table->viewport() && event->type() == QEvent::Resize) {
    spreadWideColumns();
  } else if (watched == table && event->type() == QEvent::FontChange) {
    fitColumns(true);
  } else if (watched == table && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->matches(QKeySequence::Copy)) {
      copyRows();
      return true;
    }
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      Testmedia();
      return true;
    }
  }
  if (watched != window) return QObject::eventFilter(watched, event);
  if (event->type() == QEvent::PaletteChange && thepool == pool) {
    pool->ColorInit(window->palette());
    table->viewport()->update();
  } else if (event->type() == QEvent::Close && Testing.load()) {
    // A test is running: cancel it and quit once the utility has ended, or
    // keep the window.
    event->ignore();
    if (!quitting_ && messbox2("VLM-Performance", "A test is running. Cancel the test and quit?",
                               "Ok", "Cancel")) {
      quitting_ = true;
      if (measuring_)
        Testcancel();
      else
        QCoreApplication::exit(0);  // the utility has ended already
    }
    return true;
  } else if (event->type() == QEvent::Close) {
    // The main window is the application's last window: the progress and
    // splash windows are its secondaries. Once it is really closed, end.
    QTimer::singleShot(0, this, [this] {
      if (window->isHidden() && applicationShouldTerminateAfterLastWindowClosed())
        QCoreApplication::exit(0);
    });
  }
  return QObject::eventFilter(watched, event);
}

bool QorConfigureAppDelegate::followHotplug(bool on) {
  if (!on) {
    mountNotifier_.reset();
    mountinfo_ = vlm::sysfs::UniqueFd();
    notifier_.reset();
    events_.reset();
    if (hotplugTimer_) hotplugTimer_->stop();
    hotplugPending_ = false;
    return false;
  }
  if (events_) return true;
  auto events = std::make_unique<vlm::BlockEvents>();
  if (!events->valid()) return false;
  events_ = std::move(events);
  notifier_ = std::make_unique<QSocketNotifier>(events_->fd(), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    if (events_ && events_->drain()) hotplugEvent();
  });
  // A mount or unmount: the mount table signals it as an exceptional
  // condition (POLLPRI), which polling also clears.
  mountinfo_ = vlm::sysfs::UniqueFd(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
  if (mountinfo_) {
    mountNotifier_ = std::make_unique<QSocketNotifier>(mountinfo_.get(), QSocketNotifier::Exception);
    connect(mountNotifier_.get(), &QSocketNotifier::activated, this, [this] { hotplugEvent(); });
  }
  return true;
}

void QorConfigureAppDelegate::hotplugEvent() {
  hotplugPending_ = true;
  if (hotplugTimer_->isActive()) return;
  auto since = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - lastRefresh_);
  hotplugTimer_->start(std::max(kBurst, kMinGap - since));
}

void QorConfigureAppDelegate::hotplugDue() {
  if (!hotplugPending_) return;  // a refresh came in between
  if (Testing.load() != 0 || control_->busy() || rebuilding_) {
    hotplugTimer_->start(kMinGap);  // after the test's own refresh, or the rebuild
    return;
  }
  Refresh();
}

void QorConfigureAppDelegate::SetMode(int mode, DISKINFO_* disk) {
  struct Rebuild {
    QorConfigureAppDelegate& d;
    explicit Rebuild(QorConfigureAppDelegate& o) : d(o) {
      d.rebuilding_ = true;
      d.hotplugPending_ = false;  // this rebuild sees every change so far
    }
    ~Rebuild() {
      d.rebuilding_ = false;
      d.lastRefresh_ = std::chrono::steady_clock::now();
    }
  } rebuild(*this);
  if (mode >= 0) {
    if (disk) {
      thedisk = disk;
      std::snprintf(thedev, sizeof thedev, "disk%s", disk->bsdname);
      themode = mode;
    } else {
      thedisk = nullptr;
      thedev[0] = '\0';
      themode = 0;
    }
  }
  // A reset clears the view's selection; it goes back to the row of the same
  // device, wherever the rebuild put it, and stays clear when it is gone.
  char devid[sizeof(DISKINFO_::devid)] = "";
  char bsdname[sizeof(DISKINFO_::bsdname)] = "";
  if (int sel = uiSelectedRow(); sel >= 0) {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    if (sel < ndiskarray) {
      zcpfield(devid, diskarray[sel]->devid);
      zcpfield(bsdname, diskarray[sel]->bsdname);
    }
  }
  thedisk = pool->Reload(thedev, themode);
  {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    // A machine without block devices (a container): an empty table that says so.
    if (ndiskarray == 0)
      window->statusBar()->showMessage(QStringLiteral("No disks found"));
    else
      window->statusBar()->clearMessage();
  }
  fitColumns(!fitted_);
  fitted_ = true;
  int row = bsdname[0] ? diskrow(devid, bsdname) : -1;
  if (themode == 0) {
    window->setWindowTitle(QStringLiteral("Velmora: Performance Tool"));
    testmedia->setText(QStringLiteral("Test Media"));
    testmedia->setFlat(false);
  } else {
    window->setWindowTitle(themode == 1 ? QStringLiteral("Sub-Mode-1")
                                        : QStringLiteral("Sub-Mode-2"));
  }
  // Not selectRow, which reads the keyboard's modifiers: Ctrl held would
  // toggle the row off again.
  if (row >= 0) {
    const QModelIndex at = pool->index(row, 0);
    table->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  }
  updateWriteTest();
  table->viewport()->update();
}

void QorConfigureAppDelegate::Refresh() { SetMode(-1, nullptr); }

void QorConfigureAppDelegate::About() {
  char version[250] = "*Error";
  QByteArray v = QCoreApplication::applicationVersion().toUtf8();
  bool ascii = !v.isEmpty() && std::all_of(v.begin(), v.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x80;
  });
  if (ascii) zcpfield(version, v.constData());
  char buf[1024];
  std::snprintf(buf, sizeof buf,
                "Version %s\r\n(Apple RAID Mirroring Software)\r\n\r\n"
                "Copyright (c) 2026 Velmora. All rights reserved.\r\n"
                "Licensed for use with Velmora storage products; see %s\r\n",
                version, kHomePage);
  messbox("Velmora: Performance Tool", buf, "Ok");
}

// The desktop's handler for the page, else the program's own help window.
void QorConfigureAppDelegate::Help() {
  char buf[1000];
  QFileInfo doc(QString::fromLocal8Bit(perfutilrtfd));
  if (!doc.exists())
    std::snprintf(buf, sizeof buf, "Can't locate the help file? ( %s )", perfutilrtfd);
  else if (!openWithDesktop(QUrl::fromLocalFile(doc.absoluteFilePath())) && !showHelpWindow(doc))
    std::snprintf(buf, sizeof buf, "Can't open the help file? ( %s )", perfutilrtfd);
  else
    return;
  messbox("VLM-Performance", buf, "Ok");
}

bool QorConfigureAppDelegate::showHelpWindow(const QFileInfo& doc) {
  if (!doc.isFile() || !doc.isReadable()) return false;
  if (!helpwindow) {
    helpwindow = new QDialog(window);
    helpwindow->setObjectName(QStringLiteral("helpwindow"));
    helpwindow->setAttribute(Qt::WA_QuitOnClose, false);
    helpwindow->setWindowTitle(QStringLiteral("VLM-Performance Help"));
    auto* layout = new QVBoxLayout(helpwindow);
    auto* browser = new QTextBrowser;
    browser->setObjectName(QStringLiteral("helpbrowser"));
    browser->setAccessibleName(QStringLiteral("Help"));
    browser->setOpenExternalLinks(true);
    layout->addWidget(browser);
    helpwindow->resize(window->fontMetrics().averageCharWidth() * 90,
                       window->fontMetrics().height() * 36);
  }
  auto* browser = helpwindow->findChild<QTextBrowser*>();
  browser->setSource(QUrl::fromLocalFile(doc.absoluteFilePath()));
  if (browser->document()->isEmpty()) return false;
  helpwindow->show();
  helpwindow->raise();
  helpwindow->activateWindow();
  return true;
}

// The home page in the browser; its address in an alert when none opens it.
void QorConfigureAppDelegate::Visit() {
  if (openWithDesktop(QUrl(QString::fromLatin1(kHomePage)))) return;
  char buf[1000];
  std::snprintf(buf, sizeof buf, "No web browser could open the home page. Its address is:\n%s",
                kHomePage);
  messbox("VLM-Performance", buf, "Ok");
}

void QorConfigureAppDelegate::Testmedia() { control_->Testmedia(); }

void QorConfigureAppDelegate::Writetest(bool withSustained) {
  vlm::WriteOptions o;
  o.sustained = withSustained;
  control_->Writemedia(o);
}

void QorConfigureAppDelegate::updateWriteTest() {
  const int row = uiSelectedRow();
  std::string why;
  bool can = false;
  {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    if (row >= 0 && row < ndiskarray) can = !vlm::writeFolder(diskarray[row], why).empty();
  }
  writetest->setEnabled(can);
  writetest->setToolTip(can || why.empty() ? writetest->toolTip() : QString::fromStdString(why));
  const bool shown = pool->hasWriteFigures();
  for (int i = 0; i < static_cast<int>(pool->columns().size()); ++i)
    if (pool->columns()[i].identifier().rfind("Write", 0) == 0) table->setColumnHidden(i, !shown);
}

void QorConfigureAppDelegate::Testcancel() { control_->Testcancel(); }

void QorConfigureAppDelegate::Details() {
  const int row = uiSelectedRow();
  std::string dev, id;
  {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    if (row >= 0 && row < ndiskarray) {
      dev = std::string("disk") + diskarray[row]->bsdname;
      id = diskarray[row]->devid;
    }
  }
  if (dev.empty()) {
    messbox("Details", "You must select a device to show its last test.", "Ok");
    return;
  }
  // The last read test and the last write test, each in a window of its own.
  std::optional<vlm::Record> read = vlm::lastRecord(dev, id.c_str()),
                             write = vlm::lastRecord(vlm::writeKey(dev), id.c_str());
  if (!read && !write) {
    // From an earlier run: the device's last test in the history.
    std::vector<vlm::HistoryTest> last = vlm::history().tests(id.empty() ? dev : id, 1);
    if (!last.empty() && last[0].record.is_object()) read = last[0].record;
  }
  if (!read && !write) {
    messbox("Details", ("No test of " + dev + " is in the history.").c_str(), "Ok");
    return;
  }
  for (const auto& rec : {read, write}) {
    if (!rec) continue;
    auto* w = new vlm::DetailsDialog(*rec, window);
    w->setAttribute(Qt::WA_DeleteOnClose);
    detailswindow = w;
    w->show();
  }
}

// --- the test road's window operations ---------------------------------------------
// Testmedia calls these on the user-interface thread; the worker's calls are
// carried over and wait (progressSet only queues: the bar never holds up the
// utility's output).

// Of several selected rows (for Copy), the one last clicked or moved to.
int QorConfigureAppDelegate::uiSelectedRow() {
  int row = -1;
  bridge_.call([&row, this] {
    const QItemSelectionModel* sm = table->selectionModel();
    const QModelIndexList rows = sm->selectedRows();
    if (sm->currentIndex().isValid() && sm->isRowSelected(sm->currentIndex().row()))
      row = sm->currentIndex().row();
    else if (!rows.isEmpty())
      row = rows.front().row();
  });
  return row;
}

void QorConfigureAppDelegate::uiProgressStart() {
  bridge_.call([this] { Progress->setRange(0, 0); });
}

void QorConfigureAppDelegate::uiShowProgressWindow(const std::string& title) {
  bridge_.call([this, title] {
    pctwindow->setWindowTitle(QString::fromLocal8Bit(title.c_str()));
    setProgressPlan(duration->currentData().toInt());
    measuring_ = true;
    pctwindow->show();
    pctwindow->raise();
    pctwindow->activateWindow();
  });
}

void QorConfigureAppDelegate::uiProgressReset() {
  bridge_.call([this] {
    Progress->setRange(0, 100);
    Progress->setValue(0);
    showPhase(0);
  });
}

void QorConfigureAppDelegate::uiProgressSet(double value) {
  int v = static_cast<int>(std::clamp(value, 0.0, 100.0));
  bridge_.post([this, v] {
    Progress->setValue(v);
    showPhase(v);
    emit progressChanged(v);
  });
}

void QorConfigureAppDelegate::uiProgressStop() {
  bridge_.call([this] {
    Progress->setRange(0, 100);
    Progress->setValue(0);
    pctwindow->hide();
    measuring_ = false;
    if (quitting_) QCoreApplication::exit(0);  // the utility has ended
  });
}

void QorConfigureAppDelegate::uiRefresh() {
  bridge_.call([this] { Refresh(); });
}
